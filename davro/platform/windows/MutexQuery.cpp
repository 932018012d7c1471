// mutexOwnedElsewhere on Windows: the kernel has no query of a mutex's owner in the Win32
// subset, so the mutex is tried and, if it was free (or ours), given back at once.
#include <davro/platform/detail/MutexQuery.h>

namespace davro::platform {

bool mutexOwnedElsewhere(davro::win32::HANDLE mutex) {
    const DWORD result = WaitForSingleObject(mutex, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        ReleaseMutex(mutex);
        return false;
    }
    return result == WAIT_TIMEOUT;
}

}  // namespace davro::platform
