// Inside the library: an error of the library's own carried in a std::error_code. The
// category is not exported, so this compiles only as part of the library (or, as here,
// without being linked).
#include <davro/error/ErrorCategory.h>

#include <string>
#include <system_error>

std::error_code notImplemented() {
    return {detail::Yaskel_Error_category::NotImplemented, detail::getErrorCategory()};
}

bool isNullValue(const std::error_code& code) {
    // Equal only to the same value in the same category.
    return code ==
           std::error_code(detail::Yaskel_Error_category::NullValue, detail::getErrorCategory());
}

std::string describe(const std::error_code& code) {
    // "Strell Files - Error: ..." for the library's values.
    return std::string(code.category().name()) + ": " + code.message();
}
