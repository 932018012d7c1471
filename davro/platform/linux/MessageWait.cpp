// MsgWaitForMultipleObjects: a wait on objects and on new input of the calling thread's
// message queue (MessageQueue.cpp), through the wait engine's message waits.
#include <davro/platform/Environment.h>

#include <cstdint>

#include "Futex.h"
#include "MessageQueue.h"
#include "WaitEngine.h"

namespace davro::win32::detail {
namespace {

// Time left to an absolute deadline of deadlineAfter(), back in (scaled) milliseconds.
DWORD millisecondsLeft(std::int64_t deadline) {
    if (deadline == kNoDeadline) {
        return INFINITE;
    }
    const std::int64_t left = deadline - monotonicNs();
    if (left <= 0) {
        return 0;
    }
    const std::int64_t ms =
        (left * static_cast<std::int64_t>(davro::platform::timeScale()) + 999999) / 1000000;
    return ms >= static_cast<std::int64_t>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
}

// MsgWaitForMultipleObjects with bWaitAll: all objects signalled and new input. New input
// stays new until this thread looks at its queue, which it cannot do while it is in here,
// so the input is awaited first and then the objects for the time left. Nothing is taken
// before everything is there, as in a wait-all.
DWORD waitAllAndInput(Queue* q, DWORD count, const HANDLE* handles, DWORD milliseconds,
                      DWORD wakeMask) {
    if (count > MAXIMUM_WAIT_OBJECTS - 1 || (count != 0 && handles == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    const DWORD error = checkWaitHandles(count, handles, true);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return WAIT_FAILED;
    }
    const std::int64_t deadline = deadlineAfter(milliseconds);
    DWORD result = waitMultiple(0, nullptr, false, milliseconds, true, wakeMask);
    if (result != WAIT_OBJECT_0) {
        return result;
    }
    if (count != 0) {
        result = WaitForMultipleObjects(count, handles, TRUE, millisecondsLeft(deadline));
        // Ended without the objects (an alertable wait's APCs among the ways): the input has
        // not been reported and stays new.
        if (result == WAIT_TIMEOUT || result == WAIT_FAILED || result == WAIT_IO_COMPLETION) {
            return result;
        }
    }
    forgetInput(q, wakeMask);
    return result;
}

}  // namespace
}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask) {
    Queue* q = currentQueue();
    if (q == nullptr) {
        return WAIT_FAILED;
    }
    wakeMask &= ~kNotInput;  // not a QS_ kind: the private bit of the senders' waits
    if (waitAll) {
        return waitAllAndInput(q, count, handles, milliseconds, wakeMask);
    }
    const DWORD result = waitMultiple(count, handles, false, milliseconds, true, wakeMask);
    if (result == WAIT_OBJECT_0 + count) {
        // The input that ended the wait is no longer new.
        forgetInput(q, wakeMask);
    }
    return result;
}

DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds,
                                  DWORD wakeMask, DWORD flags) {
    // With MWMO_INPUTAVAILABLE, input already in the queue counts as new, whether or not the
    // thread has looked at it. Flags that Windows does not define are ignored.
    if ((flags & MWMO_INPUTAVAILABLE) != 0) {
        Queue* q = currentQueue();
        if (q == nullptr) {
            return WAIT_FAILED;
        }
        markQueuedInputNew(q);
    }
    const BOOL waitAll = (flags & MWMO_WAITALL) != 0 ? TRUE : FALSE;
    if ((flags & MWMO_ALERTABLE) == 0) {
        return MsgWaitForMultipleObjects(count, handles, waitAll, milliseconds, wakeMask);
    }
    return alertableWait([=](ThreadContext*) {
        return MsgWaitForMultipleObjects(count, handles, waitAll, milliseconds, wakeMask);
    });
}

}  // namespace davro::win32
