// The one way the layer gives up: a message on standard error, then abort().
#include "Check.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace davro::win32::detail {

void fatal(const char* what) noexcept {
    constexpr char kPrefix[] = "davro: ";
    // write() only: this may run in a signal handler or with the allocator's lock held.
    (void)!::write(STDERR_FILENO, kPrefix, sizeof kPrefix - 1);
    (void)!::write(STDERR_FILENO, what, std::strlen(what));
    (void)!::write(STDERR_FILENO, "\n", 1);
    std::abort();
}

}  // namespace davro::win32::detail
