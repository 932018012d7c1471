// GetLastError and SetLastError: one error value per thread, 0 in a new thread.
#include "LastError.h"

namespace davro::win32 {

namespace detail {

__thread DWORD tlsLastError = ERROR_SUCCESS;

}  // namespace detail

DWORD GetLastError() { return detail::tlsLastError; }

void SetLastError(DWORD error) { detail::tlsLastError = error; }

}  // namespace davro::win32
