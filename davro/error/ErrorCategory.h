// The library's error category, for carrying its error values in a std::error_code.
//
// Internal: neither the class nor the accessor is exported from the shared library.
#pragma once

#include <string>
#include <system_error>

namespace detail {

// A std::error_category named "Strell Files - Error" whose messages know two values,
// NotImplemented (1000) and NullValue (1002); every other value is "Unknown Error Code.".
// Conditions and equivalence keep the standard behaviour (same category, same value).
// Immutable, so safe from any thread. Obtain the one instance through getErrorCategory().
class Yaskel_Error_category : public std::error_category {  // NOLINT(readability-identifier-naming)
public:
    static constexpr int NotImplemented = 1000;
    static constexpr int NullValue = 1002;

    // The fixed name, a static text.
    const char* name() const noexcept override;
    // A new string with the value's text; only allocation failure can throw.
    std::string message(int value) const override;
};

// The single instance, created on the first call (thread-safe) and destroyed at exit.
const std::error_category& getErrorCategory();

}  // namespace detail
