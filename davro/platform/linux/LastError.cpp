// GetLastError and SetLastError: one error value per thread, 0 in a new thread.
#include <davro/platform/Win32.h>

namespace davro::win32 {
namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

}  // namespace

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD error) { lastError = error; }

}  // namespace davro::win32
