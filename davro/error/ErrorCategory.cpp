#include <davro/error/ErrorCategory.h>

namespace detail {

const char* Yaskel_Error_category::name() const noexcept { return "Strell Files - Error"; }

std::string Yaskel_Error_category::message(int value) const {
    if (value == NotImplemented) {
        return "Attempting to call functionality which is not implemented.";
    }
    if (value == NullValue) {
        return "Null value found when expecting allocated memory.";
    }
    return "Unknown Error Code.";
}

const std::error_category& getErrorCategory() {
    // A function-local static: constructed once even when first called from several
    // threads, and destroyed at exit after everything created later.
    static const Yaskel_Error_category category;
    return category;
}

}  // namespace detail
