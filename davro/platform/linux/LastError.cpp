// GetLastError and SetLastError: one error value per thread, 0 in a new thread, kept beside
// the thread's thread-local slots (Win32Sync.h, LocalStorage.cpp).
#include <davro/platform/Win32.h>

namespace davro::win32 {

DWORD GetLastError() { return detail::threadWords.lastError; }

void SetLastError(DWORD error) { detail::threadWords.lastError = error; }

}  // namespace davro::win32
