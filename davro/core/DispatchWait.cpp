// YSyncObject::dispatchLock: the single-object wait that keeps the calling thread's window
// messages flowing.
#include <davro/core/SyncObject.h>
#include <davro/core/detail/MessagePump.h>
#include <davro/core/detail/Watchdog.h>
#include <davro/datetime/DateTime.h>

using namespace davro::win32;

namespace {

constexpr __int64 kTicksPerMs = 10000;  // FILETIME counts 100 ns units

}  // namespace

int YSyncObject::dispatchLock(unsigned int timeout) {
    if (timeout == INFINITE) {
        // The same watchdog as lock(): ten-minute pieces, each one a finite dispatchLock
        // with its own deadline, and a report for each piece that expires.
        const unsigned sliceMs = davro::detail::watchdogSliceTimeoutMs();
        for (int slice = 0;; ++slice) {
            const int result = dispatchLock(sliceMs);
            if (result != static_cast<int>(WAIT_TIMEOUT)) {
                return result;
            }
            reportDeadlock(davro::detail::watchdogMessage(name, slice));
        }
    }

    const __int64 deadline =
        YDateTime().getFileTimeInt64() + static_cast<__int64>(timeout) * kTicksPerMs;
    DWORD remaining = timeout;
    for (;;) {
        const DWORD result = MsgWaitForMultipleObjects(1, &handle, FALSE, remaining, QS_ALLINPUT);
        // WAIT_OBJECT_0 + 1 means new input in the queue; it never reaches the caller.
        if (result != WAIT_OBJECT_0 + 1) {
            return static_cast<int>(result);
        }
        // A quit message met here is taken from the queue and dropped.
        davro::detail::dispatchMessages(0);
        // Kept in 64 bits: the time left after a dispatch is at most `timeout`, which fits
        // a DWORD but not always an int. Less than one ms left counts as none.
        const __int64 left = (deadline - YDateTime().getFileTimeInt64()) / kTicksPerMs;
        if (left <= 0) {
            // One last look, so that an object signalled while the last messages were
            // dispatched is still acquired.
            return static_cast<int>(WaitForSingleObject(handle, 0));
        }
        remaining = static_cast<DWORD>(left);
    }
}
