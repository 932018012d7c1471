// WaitForMultipleObjects and MsgWaitForMultipleObjects: the array of handles resolved all or
// nothing, the lock-free pass of a wait-any, then the blocking wait (WaitEngine.cpp) with a
// reference on every object. Declared in WaitEngine.h.
#include <algorithm>
#include <cstdint>

#include "Apc.h"
#include "MessageQueue.h"
#include "NamedObject.h"
#include "StopScope.h"
#include "WaitEngine.h"

namespace davro::win32::detail {
namespace {

// Whether the object of `r` is an event, a semaphore or a thread handle that is seen not
// signalled now. Mutexes, named objects and the process are left to the lock-free pass.
bool seenUnsignalled(const Resolved& r) {
    const unsigned fromManualEvent =
        static_cast<unsigned>(r.kind) - static_cast<unsigned>(Kind::ManualEvent);
    if (fromManualEvent >
        static_cast<unsigned>(Kind::Semaphore) - static_cast<unsigned>(Kind::ManualEvent)) {
        return false;
    }
    // Their payload is the signalled bit or the count (Object.h).
    const std::uint64_t s = r.object->state.load(std::memory_order_acquire);
    return word::incarnation(s) == r.incarnation && (s & word::kCount) == 0;
}

// Resolves every handle of a multi-object wait, all or nothing. `firstReady`, if given, gets
// the index from which a wait-any's lock-free pass must look: every handle before it was seen
// not signalled on the way, as the pass would have seen it a moment later.
DWORD resolveAll(DWORD count, const HANDLE* handles, bool waitAll, Resolved* rs,
                 DWORD* firstReady = nullptr) {
    const SlotView view = slotView();  // one for all: a handle it misses is looked up again
    DWORD ready = firstReady != nullptr ? count : 0;  // count: none found yet
    for (DWORD i = 0; i < count; ++i) {
        if (resolveFast(view, handles[i], rs[i])) {
            // A plain handle: full access, never a pseudo-handle.
            if (ready == count && !seenUnsignalled(rs[i])) {
                ready = i;
            }
            continue;
        }
        ready = std::min(ready, i);
        const auto v = reinterpret_cast<std::intptr_t>(handles[i]);
        if (v == -1 || v == -2 || !resolve(handles[i], rs[i])) {
            return ERROR_INVALID_HANDLE;
        }
        if ((rs[i].access & kMayWait) == 0) {
            return ERROR_ACCESS_DENIED;
        }
    }
    for (DWORD i = 0; waitAll && i < count; ++i) {
        for (DWORD j = i + 1; j < count; ++j) {
            if (rs[i].object == rs[j].object) {
                return ERROR_INVALID_PARAMETER;  // never satisfiable; Windows refuses it
            }
        }
    }
    if (firstReady != nullptr) {
        *firstReady = ready;
    }
    return ERROR_SUCCESS;
}

// The lock-free pass of a wait-any, in index order from `first` (the lowest signalled index
// wins): a result, or WAIT_TIMEOUT when nothing could be taken.
DWORD tryAny(ThreadContext* c, DWORD first, DWORD count, const Resolved* rs) {
    for (DWORD i = first; i < count; ++i) {
        if (isNamedKind(rs[i].kind)) {
            Object* o = rs[i].object;
            if (!tryAddRef(o, rs[i].incarnation)) {
                return failWith(ERROR_INVALID_HANDLE);
            }
            const DWORD r = tryTakeNamed(c, o, false);
            if (r != WAIT_TIMEOUT) {
                keepNamed(c, o);
            }
            release(o);
            if (r != WAIT_TIMEOUT) {
                return r + i;
            }
            continue;
        }
        if (isTimerKind(rs[i].kind)) {
            fireTimer(rs[i].object, rs[i].incarnation);  // if it is due, this look fires it
        }
        switch (tryTake(rs[i], c->tid)) {
            case Fast::Taken:
                return WAIT_OBJECT_0 + i;
            case Fast::TakenNew:
                ++c->ownedMutexes;
                return WAIT_OBJECT_0 + i;
            case Fast::Abandoned:
                ++c->ownedMutexes;
                return WAIT_ABANDONED_0 + i;
            case Fast::Stale:
                return failWith(ERROR_INVALID_HANDLE);
            case Fast::NotSignalled:
                break;
        }
    }
    return WAIT_TIMEOUT;
}

}  // namespace

DWORD checkWaitHandles(DWORD count, const HANDLE* handles, bool waitAll) {
    Resolved rs[MAXIMUM_WAIT_OBJECTS];
    return resolveAll(count, handles, waitAll, rs);
}

// NOLINTNEXTLINE(readability-function-cognitive-complexity): the steps of a wait, in order
DWORD waitMultiple(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds,
                   bool messages, DWORD inputMask) {
    // Never stopped while it holds references or queue entries, except in its sleep.
    const NoStopScope noStop;
    const DWORD limit = messages ? MAXIMUM_WAIT_OBJECTS - 1 : MAXIMUM_WAIT_OBJECTS;
    if ((count == 0 && !messages) || count > limit || (count != 0 && handles == nullptr)) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    Resolved rs[MAXIMUM_WAIT_OBJECTS];
    DWORD firstReady = 0;
    const DWORD error = resolveAll(count, handles, waitAll, rs, waitAll ? nullptr : &firstReady);
    if (error != ERROR_SUCCESS) {
        return failWith(error);
    }
    ThreadContext* c = currentContext();
    if (c == nullptr || !c->named.owned.reserve(count)) {
        return failWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!waitAll) {
        const DWORD result = tryAny(c, firstReady, count, rs);
        if (result != WAIT_TIMEOUT) {
            return result;
        }
        if (messages && hasNewInput(c, inputMask)) {
            return WAIT_OBJECT_0 + count;
        }
        if (milliseconds == 0) {
            return WAIT_TIMEOUT;
        }
    }
    const std::int64_t deadline = deadlineAfter(milliseconds);
    Object* objs[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        if (!tryAddRef(rs[i].object, rs[i].incarnation)) {
            for (DWORD j = 0; j < i; ++j) {
                release(objs[j]);
            }
            return failWith(ERROR_INVALID_HANDLE);
        }
        objs[i] = rs[i].object;
    }
    const DWORD result =
        waitAll && milliseconds == 0
            ? pollAll(c, objs, count)
            : waitBlocking(c, objs, count, waitAll, deadline, messages ? inputMask : 0);
    c->count = 0;  // the wait holds nothing any more
    for (DWORD i = 0; i < count; ++i) {
        release(objs[i]);
    }
    return result;
}

}  // namespace davro::win32::detail
