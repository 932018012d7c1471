// GetLastError and SetLastError: one error value per thread, 0 in a new thread.
#include "LastError.h"

namespace davro::win32 {

namespace detail {

__thread ThreadWords threadWords = {ERROR_SUCCESS, &noLocalBlock};

}  // namespace detail

DWORD GetLastError() { return detail::threadWords.lastError; }

void SetLastError(DWORD error) { detail::threadWords.lastError = error; }

}  // namespace davro::win32
