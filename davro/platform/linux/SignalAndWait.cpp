// SignalObjectAndWait: a signal given from inside the blocking wait, once the waiter is
// queued on the object it waits for, so that no other thread can see the signal before the
// waiter is in line.
#include <davro/platform/Win32.h>

#include "HandleTable.h"
#include "KernelObjects.h"
#include "StopScope.h"
#include "WaitEngine.h"

namespace davro::win32 {

using namespace detail;

namespace {

// SignalObjectAndWait's signal, given by the wait once it is queued.
struct SignalOf {
    HANDLE handle;
    Kind kind;
};

bool giveSignal(const void* context) {
    const auto* signal = static_cast<const SignalOf*>(context);
    if ((kMutexKinds & kindBit(signal->kind)) != 0) {
        return ReleaseMutex(signal->handle) != FALSE;
    }
    if ((kSemaphoreKinds & kindBit(signal->kind)) != 0) {
        return ReleaseSemaphore(signal->handle, 1, nullptr) != FALSE;
    }
    return SetEvent(signal->handle) != FALSE;
}

// Checks what can be checked of the signal before the wait starts, so that a signal that
// must fail fails before anything is waited for: false with the last error set.
bool signalPossible(HANDLE handle, SignalOf& signal) {
    Resolved r{};
    if (!resolveToModify(handle, r, kMutexKinds | kEventKinds | kSemaphoreKinds)) {
        return false;
    }
    signal = SignalOf{handle, r.kind};
    const std::uint64_t s = r.object->state.load(std::memory_order_acquire);
    if (r.kind == Kind::Mutex && word::ownerOf(s) != currentThreadId()) {
        SetLastError(ERROR_NOT_OWNER);
        return false;
    }
    if (r.kind == Kind::Semaphore &&
        (s & word::kCount) >= static_cast<std::uint64_t>(r.object->maximum)) {
        SetLastError(ERROR_TOO_MANY_POSTS);
        return false;
    }
    return true;
}

DWORD signalAndWait(ThreadContext* c, const SignalOf& signal, HANDLE waitOn, DWORD milliseconds) {
    Resolved r{};
    if (!resolve(waitOn, r)) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    if ((r.access & kMayWait) == 0) {
        return failWith(ERROR_ACCESS_DENIED);
    }
    if (isNamedKind(r.kind)) {
        // Its waiters are not queued on it (they sleep on its shared word): the signal comes
        // first, then the wait.
        if (!giveSignal(&signal)) {
            return WAIT_FAILED;
        }
        return WaitForSingleObject(waitOn, milliseconds);
    }
    const NoStopScope noStop;
    if (!tryAddRef(r.object, r.incarnation)) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    Object* objs[1] = {r.object};
    const WaitSignal step{&giveSignal, &signal};
    const DWORD result = waitBlocking(c, objs, 1, false, deadlineAfter(milliseconds), 0, &step);
    c->count = 0;
    release(r.object);
    return result;
}

}  // namespace

DWORD SignalObjectAndWait(HANDLE signal, HANDLE waitOn, DWORD milliseconds, BOOL alertable) {
    SignalOf what{};
    if (!signalPossible(signal, what)) {
        return WAIT_FAILED;
    }
    if (alertable == FALSE) {
        ThreadContext* c = currentContext();
        return c != nullptr ? signalAndWait(c, what, waitOn, milliseconds)
                            : failWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    return alertableWait(
        [&](ThreadContext* c) { return signalAndWait(c, what, waitOn, milliseconds); });
}

}  // namespace davro::win32
