// The Win32 kernel-object calls: creating mutexes, events and semaphores, releasing and
// setting them, and the waits on one or several objects. Also the two signals that other
// parts of the layer give: a thread's end and the abandonment of a thread's mutexes.
//
// Uncontended calls are one compare-and-swap on the object's state word; the slow paths are
// kept out of line so that the fast ones stay small. Every fast path runs inside a
// NoStopScope, so a thread is never suspended between reading an object's incarnation and
// its compare-and-swap, and never between taking a mutex and listing it as owned.
#include <cstdint>

#include "HandleTable.h"
#include "NamedMutex.h"
#include "StopScope.h"
#include "ThreadContext.h"
#include "WaitEngine.h"
#include "WaitQueue.h"

namespace davro::win32::detail {

void signalForever(Object* o) {
    signalObject(o, [](std::uint64_t& s) {
        s |= word::kSignalled;
        return true;
    });
}

void abandonOwnedMutexes(ThreadContext* c) {
    const NoStopScope noStop;
    while (!c->owned.empty()) {
        const OwnedMutex m = c->owned.pop();
        if (!tryAddRef(m.object, m.incarnation)) {
            continue;  // destroyed while owned
        }
        signalObject(m.object, [o = m.object, tid = c->tid](std::uint64_t& s) {
            if (o->kind.load(std::memory_order_relaxed) != Kind::Mutex || word::ownerOf(s) != tid) {
                return false;
            }
            s = (s & ~word::kOwner) | word::kAbandoned;
            o->recursion = 0;
            return true;
        });
        release(m.object);
    }
}

void renumberOwnedMutexes(ThreadContext* c, std::uint32_t oldTid) {
    for (std::uint32_t i = 0; i < c->owned.size(); ++i) {
        const OwnedMutex m = c->owned[i];
        std::uint64_t s = m.object->state.load(std::memory_order_relaxed);
        while (word::incarnation(s) == m.incarnation && word::ownerOf(s) == oldTid &&
               !m.object->state.compare_exchange_weak(s, (s & ~word::kOwner) | c->tid,
                                                      std::memory_order_relaxed)) {
        }
    }
}

}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;

namespace {

// A handle that takes over the creation reference of `o`. Null, with ERROR_NOT_ENOUGH_MEMORY,
// when the object (o null) or its handle could not be had; the object is then released.
// A successful creation leaves the last error 0, as Windows does.
HANDLE publish(Object* o) {
    HANDLE h = o != nullptr ? newHandle(o) : nullptr;
    if (h == nullptr) {
        if (o != nullptr) {
            release(o);
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

// Resolves a handle for a call that changes an object of the given kinds: false with
// ERROR_INVALID_HANDLE for a bad handle or another kind, ERROR_ACCESS_DENIED for a handle
// without the right to change the object.
bool resolveToModify(HANDLE handle, Resolved& r, Kind a, Kind b) {
    if (!resolve(handle, r) || (r.kind != a && r.kind != b)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if ((r.access & kMayModify) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

// The slow half of a signal: with a reference (the object may be closed meanwhile), lets
// `change` alter the locked state and hands the object to its waiters. False with
// ERROR_INVALID_HANDLE if the object died since it was resolved.
template <typename Change>
__attribute__((noinline)) BOOL signalSlowly(const Resolved& r, Change change) {
    const NoStopScope noStop;  // a hand-off is never left half done
    if (!tryAddRef(r.object, r.incarnation)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    signalObject(r.object, change);
    release(r.object);
    return TRUE;
}

// WaitForSingleObject past its first attempt: an event or a semaphore is tried a while
// longer (a mutex is not: see WaitEngine.cpp), then the thread blocks.
__attribute__((noinline)) DWORD waitSlowly(ThreadContext* c, const Resolved& r,
                                           DWORD milliseconds) {
    constexpr int kSpinBeforeQueue = 100;
    Fast f = Fast::NotSignalled;
    if (r.kind != Kind::Mutex) {
        for (int i = 0; i < kSpinBeforeQueue && f == Fast::NotSignalled; ++i) {
            cpuRelax();
            f = tryTake(r, c->tid);
        }
    }
    // Only mutexes are ever TakenNew or Abandoned, and they are not tried here.
    if (f == Fast::Taken) {
        return WAIT_OBJECT_0;
    }
    if (f == Fast::Stale || !tryAddRef(r.object, r.incarnation)) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    Object* objs[1] = {r.object};
    const DWORD result = waitBlocking(c, objs, 1, false, deadlineAfter(milliseconds), 0);
    c->count = 0;
    release(r.object);
    return result;
}

}  // namespace

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL initialOwner, LPCWSTR name) {
    const NoStopScope noStop;
    if (name != nullptr && *name != L'\0') {
        return createNamedMutex(initialOwner, name, false, MUTEX_ALL_ACCESS);
    }
    ThreadContext* c = initialOwner ? currentContext() : nullptr;
    if (initialOwner && (c == nullptr || !c->owned.reserve(1))) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Object* o = newObject(Kind::Mutex, initialOwner ? c->tid : 0);
    if (o != nullptr && initialOwner) {
        o->recursion = 1;
    }
    HANDLE h = publish(o);
    if (h != nullptr && initialOwner) {
        noteOwned(c, o, incarnationOf(o));
    }
    return h;
}

HANDLE OpenMutexW(DWORD desiredAccess, BOOL /*inheritHandle*/, LPCWSTR name) {
    const NoStopScope noStop;
    if (name == nullptr || *name == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return createNamedMutex(FALSE, name, true, desiredAccess);
}

BOOL ReleaseMutex(HANDLE mutex) {
    Resolved r{};
    if (!resolveToModify(mutex, r, Kind::Mutex, Kind::NamedMutex)) {
        return FALSE;
    }
    if (r.kind == Kind::NamedMutex) {
        return releaseNamedMutex(r);
    }
    const NoStopScope noStop;
    Object* o = r.object;
    const std::uint32_t tid = currentThreadId();
    std::uint64_t s = o->state.load(std::memory_order_acquire);
    for (;;) {
        if (word::incarnation(s) != r.incarnation) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (word::ownerOf(s) != tid) {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (o->recursion > 1) {
            --o->recursion;
            return TRUE;
        }
        if ((s & (word::kLock | word::kWaiters)) != 0) {
            break;
        }
        if (o->state.compare_exchange_weak(s, s & ~word::kOwner, std::memory_order_release,
                                           std::memory_order_acquire)) {
            forgetOwned(tlsContext, o);
            return TRUE;
        }
    }
    // Waiters queued or the lock bit busy: free the mutex under the lock and wake a waiter.
    const BOOL released = signalSlowly(r, [o](std::uint64_t& state) {
        o->recursion = 0;
        state &= ~word::kOwner;
        return true;
    });
    if (released) {
        forgetOwned(tlsContext, o);
    }
    return released;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
    const NoStopScope noStop;
    if (name != nullptr && *name != L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);  // named events are not supported
        return nullptr;
    }
    return publish(newObject(manualReset ? Kind::ManualEvent : Kind::AutoEvent,
                             initialState ? word::kSignalled : 0));
}

BOOL SetEvent(HANDLE event) {
    Resolved r{};
    if (!resolveToModify(event, r, Kind::ManualEvent, Kind::AutoEvent)) {
        return FALSE;
    }
    const NoStopScope noStop;
    Object* o = r.object;
    std::uint64_t s = o->state.load(std::memory_order_relaxed);
    for (;;) {
        if (word::incarnation(s) != r.incarnation) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if ((s & word::kSignalled) != 0) {
            return TRUE;  // already set, and a set event has no waiter that could take it
        }
        if ((s & (word::kLock | word::kWaiters)) != 0) {
            break;
        }
        if (o->state.compare_exchange_weak(s, s | word::kSignalled, std::memory_order_release,
                                           std::memory_order_relaxed)) {
            return TRUE;
        }
    }
    return signalSlowly(r, [](std::uint64_t& state) {
        state |= word::kSignalled;
        return true;
    });
}

BOOL ResetEvent(HANDLE event) {
    Resolved r{};
    if (!resolveToModify(event, r, Kind::ManualEvent, Kind::AutoEvent)) {
        return FALSE;
    }
    const NoStopScope noStop;
    Object* o = r.object;
    std::uint64_t s = o->state.load(std::memory_order_relaxed);
    for (unsigned n = 0;;) {
        if (word::incarnation(s) != r.incarnation) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if ((s & word::kSignalled) == 0) {
            return TRUE;
        }
        if ((s & word::kLock) != 0) {
            backoff(n);
            s = o->state.load(std::memory_order_relaxed);
            continue;
        }
        if (o->state.compare_exchange_weak(s, s & ~word::kSignalled, std::memory_order_relaxed,
                                           std::memory_order_relaxed)) {
            return TRUE;
        }
    }
}

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES /*attributes*/, LONG initialCount, LONG maximumCount,
                        LPCWSTR name) {
    const NoStopScope noStop;
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (name != nullptr && *name != L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);  // named semaphores are not supported
        return nullptr;
    }
    Object* o = newObject(Kind::Semaphore, static_cast<std::uint64_t>(initialCount));
    if (o != nullptr) {
        o->maximum = maximumCount;  // set before any handle can reach the object
    }
    return publish(o);
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount) {
    if (releaseCount <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Resolved r{};
    if (!resolveToModify(semaphore, r, Kind::Semaphore, Kind::Semaphore)) {
        return FALSE;
    }
    const NoStopScope noStop;
    Object* o = r.object;
    const auto add = static_cast<std::uint64_t>(releaseCount);
    std::uint64_t s = o->state.load(std::memory_order_relaxed);
    for (unsigned n = 0;;) {
        if (word::incarnation(s) != r.incarnation) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if ((s & word::kLock) != 0) {
            backoff(n);
            s = o->state.load(std::memory_order_relaxed);
            continue;
        }
        const std::uint64_t count = s & word::kCount;
        if (count + add > static_cast<std::uint64_t>(o->maximum)) {
            SetLastError(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
        if ((s & word::kWaiters) != 0) {
            break;
        }
        if (o->state.compare_exchange_weak(s, s + add, std::memory_order_release,
                                           std::memory_order_relaxed)) {
            if (previousCount != nullptr) {
                *previousCount = static_cast<LONG>(count);
            }
            return TRUE;
        }
    }
    std::uint64_t before = 0;
    bool fits = false;
    const BOOL alive = signalSlowly(r, [&](std::uint64_t& state) {
        before = state & word::kCount;
        fits = before + add <= static_cast<std::uint64_t>(o->maximum);
        if (fits) {
            state += add;
        }
        return fits;
    });
    if (!alive) {
        return FALSE;
    }
    if (!fits) {
        SetLastError(ERROR_TOO_MANY_POSTS);
        return FALSE;
    }
    if (previousCount != nullptr) {
        *previousCount = static_cast<LONG>(before);
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    Resolved r{};
    if (!resolve(object, r)) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    if ((r.access & kMayWait) == 0) {
        return failWith(ERROR_ACCESS_DENIED);
    }
    if (r.kind == Kind::NamedMutex) {
        return waitNamedMutex(r, milliseconds);
    }
    // Not stopped between taking a mutex and listing it as owned (a terminated thread would
    // keep it for ever), nor while it holds a reference; only in the sleep of waitBlocking.
    const NoStopScope noStop;
    ThreadContext* c = currentContext();
    if (c == nullptr || !c->owned.reserve(1)) {
        return failWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    switch (tryTake(r, c->tid)) {
        case Fast::Taken:
            return WAIT_OBJECT_0;
        case Fast::TakenNew:
            noteOwned(c, r.object, r.incarnation);
            return WAIT_OBJECT_0;
        case Fast::Abandoned:
            noteOwned(c, r.object, r.incarnation);
            return WAIT_ABANDONED;
        case Fast::Stale:
            return failWith(ERROR_INVALID_HANDLE);
        case Fast::NotSignalled:
            break;
    }
    return milliseconds == 0 ? WAIT_TIMEOUT : waitSlowly(c, r, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    return waitMultiple(count, handles, waitAll != FALSE, milliseconds, false, 0);
}

}  // namespace davro::win32
