// Internal to the library: the lock-free attempt of a wait, for the class layer's lock(),
// so that an uncontended lock ends there and only the rest is a kernel wait. Not installed,
// not exported.
#pragma once

#include <davro/platform/Win32.h>

namespace davro::platform {

// Takes `object` if that can be done at once without blocking, as WaitForSingleObject with
// a time-out of 0 would: true with the wait result (WAIT_OBJECT_0 or WAIT_ABANDONED) in
// `result`; false when the object is not signalled, the handle is bad, or the attempt was
// not tried (a named mutex; on Windows, always), and the caller then makes the real wait.
#if DAVRO_WINDOWS
inline bool tryWait(davro::win32::HANDLE /*object*/, davro::win32::DWORD& /*result*/) {
    return false;
}
#else
bool tryWait(davro::win32::HANDLE object, davro::win32::DWORD& result);
#endif

}  // namespace davro::platform
