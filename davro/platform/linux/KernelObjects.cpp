// The Win32 kernel-object calls: creating mutexes, events and semaphores, releasing and
// setting them, and the waits on one or several objects. Also the two signals that other
// parts of the layer give: a thread's end and the abandonment of a thread's mutexes.
//
// Uncontended calls are one compare-and-swap on the object's state word, without a stack
// frame; the slow paths are kept out of line so that the fast ones stay small.
#include "KernelObjects.h"

#include <davro/platform/detail/TryWait.h>

#include <cstdint>
#include <string>

#include "Apc.h"
#include "HandleTable.h"
#include "NamedObject.h"
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

namespace {

// The in-process mutexes that thread `tid` owns are found by searching the pool, and each
// is abandoned (newTid 0) or handed to thread `newTid`, under its lock with a reference.
struct OwnerSearch {
    std::uint32_t tid;
    std::uint32_t newTid;
};

void visitOwned(Object* o, void* context) {
    const auto* search = static_cast<const OwnerSearch*>(context);
    const std::uint64_t seen = o->state.load(std::memory_order_acquire);
    if (o->kind.load(std::memory_order_relaxed) != Kind::Mutex ||
        word::ownerOf(seen) != search->tid || !tryAddRef(o, word::incarnation(seen))) {
        return;
    }
    const std::uint32_t tid = search->tid;
    const std::uint32_t newTid = search->newTid;
    signalObject(o, [o, tid, newTid](std::uint64_t& s) {
        if (o->kind.load(std::memory_order_relaxed) != Kind::Mutex || word::ownerOf(s) != tid) {
            return false;
        }
        if (newTid != 0) {
            s = (s & ~word::kOwner) | newTid;
            return false;  // still owned: nothing to hand out
        }
        s = (s & ~word::kOwner) | word::kAbandoned;
        o->recursion = 0;
        return true;
    });
    release(o);
}

void searchOwned(std::uint32_t tid, std::uint32_t newTid) {
    const NoStopScope noStop;
    OwnerSearch search{tid, newTid};
    forEachObject(&visitOwned, &search);
}

}  // namespace

void abandonOwnedMutexes(ThreadContext* c) {
    if (c->ownedMutexes != 0) {  // the usual end: nothing owned, nothing to search
        searchOwned(c->tid, 0);
        c->ownedMutexes = 0;
    }
}

void renumberOwnedMutexes(ThreadContext* c, std::uint32_t oldTid) {
    if (c->ownedMutexes != 0) {
        searchOwned(oldTid, c->tid);
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

// The slow half of a signal: under the object's lock bit, lets `change` alter the state and
// hands the object to its waiters. No reference is taken: an object cannot die while its
// lock bit is held (release() takes it to bump the incarnation), so the incarnation checked
// under the lock says whether it is still the handle's. False with ERROR_INVALID_HANDLE if
// the object died since it was resolved; nothing is changed then.
template <typename Change>
BOOL signalSlowly(const Resolved& r, Change change) {
    const NoStopScope noStop;  // a hand-off is never left half done
    bool alive = true;
    signalObject(r.object, [&](std::uint64_t& s) {
        alive = word::incarnation(s) == r.incarnation;
        return alive && change(s);
    });
    if (!alive) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// The fast paths below are a few loads and one compare-and-swap, with no reference and no
// no-stop scope: a thread stopped between its load and its compare-and-swap fails the
// compare-and-swap if the object has died meanwhile (its incarnation moved, and another
// object gets the same one only after a billion creations), and the owner's count of mutexes
// goes up before a mutex is taken and down after it is given back, so that a thread stopped
// in between is never thought to own none (its end then searches and finds nothing). Anything else
// goes to the slow path, which checks every argument again and reports the errors.

// WaitForSingleObject past its lock-free attempt: errors, named objects, a busy lock bit,
// a short spin for events and semaphores, then the blocking wait. `triedNamed`: a named
// object was tried once already.
__attribute__((noinline)) DWORD waitSlowly(HANDLE object, DWORD milliseconds,
                                           bool triedNamed = false) {
    Resolved r{};
    if (!resolve(object, r)) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    if ((r.access & kMayWait) == 0) {
        return failWith(ERROR_ACCESS_DENIED);
    }
    const bool named = isNamedKind(r.kind);
    if (named && !triedNamed) {
        const DWORD first = tryWaitNamed(r);
        if (first != WAIT_TIMEOUT || (milliseconds == 0 && !isNamedTimerKind(r.kind))) {
            return first;
        }
    }
    // Never stopped while it holds a reference or queue entries; only in its sleep.
    const NoStopScope noStop;
    ThreadContext* c = currentContext();
    if (c == nullptr || (named && !c->named.owned.reserve(1))) {
        return failWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (isTimerKind(r.kind)) {
        fireTimer(r.object, r.incarnation);  // if it is due, this look fires it
    }
    const Fast f = named ? Fast::NotSignalled : tryTake(r, c->tid);
    switch (f) {
        case Fast::Taken:
            return WAIT_OBJECT_0;
        case Fast::TakenNew:
        case Fast::Abandoned:
            ++c->ownedMutexes;
            return f == Fast::Abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
        case Fast::Stale:
            return failWith(ERROR_INVALID_HANDLE);
        case Fast::NotSignalled:
            break;
    }
    if (milliseconds == 0) {
        return isNamedTimerKind(r.kind) ? pollNamedTimer(r) : WAIT_TIMEOUT;
    }
    if (!tryAddRef(r.object, r.incarnation)) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    Object* objs[1] = {r.object};
    const DWORD result = waitBlocking(c, objs, 1, false, deadlineAfter(milliseconds), 0);
    c->count = 0;
    release(r.object);
    return result;
}

// ReleaseMutex past its fast path: errors, named mutexes, recursion, the slow release.
__attribute__((noinline)) BOOL releaseMutexSlowly(HANDLE mutex) {
    Resolved r{};
    if (!resolveToModify(mutex, r, kMutexKinds)) {
        return FALSE;
    }
    if (r.kind == Kind::NamedMutex) {
        return releaseNamedMutex(r);
    }
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
            --tlsContext->ownedMutexes;  // owner: so it has a context
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
        --tlsContext->ownedMutexes;
    }
    return released;
}

__attribute__((noinline)) BOOL setEventSlowly(HANDLE event) {
    Resolved r{};
    if (!resolveToModify(event, r, kEventKinds)) {
        return FALSE;
    }
    if (isNamedKind(r.kind)) {
        return setNamedEvent(r);
    }
    return signalSlowly(r, [](std::uint64_t& state) {
        state |= word::kSignalled;
        return true;
    });
}

__attribute__((noinline)) BOOL releaseSemaphoreSlowly(HANDLE semaphore, LONG releaseCount,
                                                      LPLONG previousCount) {
    if (releaseCount <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Resolved r{};
    if (!resolveToModify(semaphore, r, kSemaphoreKinds)) {
        return FALSE;
    }
    if (isNamedKind(r.kind)) {
        return releaseNamedSemaphore(r, releaseCount, previousCount);
    }
    Object* o = r.object;
    const auto add = static_cast<std::uint64_t>(releaseCount);
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
    return semaphoreReleased(alive, fits, before, previousCount);
}

// The lock-free attempt of WaitForSingleObject: true with the result when the object was
// taken at once. `r` is left resolved (object null when the handle is not a plain one).
__attribute__((always_inline)) inline bool tryWaitFast(HANDLE object, DWORD& result, Resolved& r) {
    r.object = nullptr;
    if (!resolveFast(object, r)) {
        return false;
    }
    if (isNamedKind(r.kind)) {
        return false;  // its state is in shared memory (NamedObject.cpp)
    }
    Object* o = r.object;
    // The value a compare-and-swap expects has the lock bit clear, so that it fails while a
    // signaller holds the object.
    std::uint64_t s = o->state.load(std::memory_order_acquire) & ~word::kLock;
    if (word::incarnation(s) != r.incarnation) {
        return false;
    }
    if (kindPair(r.kind) == kCountedDown) {
        if ((s & word::kCount) != 0 &&
            o->state.compare_exchange_strong(s, s - 1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
            result = WAIT_OBJECT_0;
            return true;
        }
    } else if (r.kind == Kind::Mutex) {
        ThreadContext* c = tlsContext;
        const std::uint32_t owner = word::ownerOf(s);
        if (c != nullptr && owner == c->tid && o->recursion < 0x7FFFFFFF) {
            ++o->recursion;  // we own it: nobody else touches the count
            result = WAIT_OBJECT_0;
            return true;
        }
        if (c != nullptr && owner == 0) {
            ++c->ownedMutexes;  // first: see above
            // Sequentially consistent, as mutexOwnedElsewhere() relies on.
            if (o->state.compare_exchange_strong(
                    s, (s & ~(word::kOwner | word::kAbandoned)) | c->tid, std::memory_order_seq_cst,
                    std::memory_order_relaxed)) {
                o->recursion = 1;
                result = (s & word::kAbandoned) != 0 ? WAIT_ABANDONED : WAIT_OBJECT_0;
                return true;
            }
            --c->ownedMutexes;
        }
    } else if (kindPair(r.kind) == kSignalledOnly && (s & word::kSignalled) != 0) {
        result = WAIT_OBJECT_0;
        return true;
    }
    return false;
}

}  // namespace

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL initialOwner, LPCWSTR name) {
    const NoStopScope noStop;
    if (name != nullptr && *name != L'\0') {
        return createNamed(name, NamedCreation{NamedKind::Mutex, initialOwner, 0, 0});
    }
    ThreadContext* c = initialOwner ? currentContext() : nullptr;
    if (initialOwner && c == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Object* o = newObject(Kind::Mutex, initialOwner ? c->tid : 0);
    if (o != nullptr && initialOwner) {
        o->recursion = 1;
    }
    HANDLE h = publish(o);
    if (h != nullptr && initialOwner) {
        ++c->ownedMutexes;
    }
    return h;
}

namespace {

HANDLE openByName(DWORD desiredAccess, LPCWSTR name, unsigned family) {
    const NoStopScope noStop;
    if (name == nullptr || *name == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return openNamed(name, family, desiredAccess);
}

}  // namespace

HANDLE OpenMutexW(DWORD desiredAccess, BOOL /*inheritHandle*/, LPCWSTR name) {
    return openByName(desiredAccess, name, kMutexFamily);
}

HANDLE OpenEventW(DWORD desiredAccess, BOOL /*inheritHandle*/, LPCWSTR name) {
    return openByName(desiredAccess, name, kEventFamily);
}

HANDLE OpenSemaphoreW(DWORD desiredAccess, BOOL /*inheritHandle*/, LPCWSTR name) {
    return openByName(desiredAccess, name, kSemaphoreFamily);
}

BOOL ReleaseMutex(HANDLE mutex) {
    Resolved r;
    if (!resolveFast(mutex, r)) {
        return releaseMutexSlowly(mutex);
    }
    if (r.kind == Kind::NamedMutex) {
        return releaseNamedMutex(r);
    }
    ThreadContext* c = tlsContext;
    if (r.kind == Kind::Mutex && c != nullptr) {
        Object* o = r.object;
        std::uint64_t s = o->state.load(std::memory_order_acquire);
        if (word::incarnation(s) == r.incarnation && word::ownerOf(s) == c->tid) {
            if (o->recursion > 1) {
                --o->recursion;  // we own it: nobody else touches the count
                return TRUE;
            }
            if ((s & (word::kLock | word::kWaiters)) == 0 &&
                o->state.compare_exchange_strong(s, s & ~word::kOwner, std::memory_order_release,
                                                 std::memory_order_relaxed)) {
                --c->ownedMutexes;
                return TRUE;
            }
        }
    }
    return releaseMutexSlowly(mutex);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
    const NoStopScope noStop;
    if (name != nullptr && *name != L'\0') {
        return createNamed(
            name, NamedCreation{manualReset ? NamedKind::ManualEvent : NamedKind::AutoEvent, FALSE,
                                initialState ? 1 : 0, 0});
    }
    return publish(newObject(manualReset ? Kind::ManualEvent : Kind::AutoEvent,
                             initialState ? word::kSignalled : 0));
}

BOOL SetEvent(HANDLE event) {
    Resolved r;
    if (!resolveFast(event, r)) {
        return setEventSlowly(event);
    }
    if (r.kind == Kind::AutoEvent || r.kind == Kind::ManualEvent) {
        Object* o = r.object;
        std::uint64_t s = o->state.load(std::memory_order_relaxed) & ~word::kLock;
        if (word::incarnation(s) == r.incarnation) {
            // Already set: a set event has no waiter that could take it. With waiters queued
            // the slow path hands it to them.
            if ((s & word::kSignalled) != 0 ||
                ((static_cast<std::uint32_t>(s) & static_cast<std::uint32_t>(word::kWaiters)) ==
                     0 &&
                 o->state.compare_exchange_strong(s, s | word::kSignalled,
                                                  std::memory_order_release,
                                                  std::memory_order_relaxed))) {
                return TRUE;
            }
        }
    } else if (r.kind == Kind::NamedAutoEvent || r.kind == Kind::NamedManualEvent) {
        return setNamedEvent(r);  // a plain handle to a named event: checked already
    }
    return setEventSlowly(event);
}

BOOL ResetEvent(HANDLE event) {
    Resolved r{};
    if (!resolveToModify(event, r, kEventKinds)) {
        return FALSE;
    }
    if (isNamedKind(r.kind)) {
        return resetNamedEvent(r);
    }
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
        return createNamed(name,
                           NamedCreation{NamedKind::Semaphore, FALSE, initialCount, maximumCount});
    }
    Object* o = newObject(Kind::Semaphore, static_cast<std::uint64_t>(initialCount));
    if (o != nullptr) {
        o->maximum = maximumCount;  // set before any handle can reach the object
    }
    return publish(o);
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount) {
    Resolved r;
    if (!resolveFast(semaphore, r)) {
        return releaseSemaphoreSlowly(semaphore, releaseCount, previousCount);
    }
    if (r.kind == Kind::Semaphore) {
        Object* o = r.object;
        std::uint64_t s = o->state.load(std::memory_order_relaxed) & ~word::kLock;
        // The low half holds the count and the waiters bit above it, so with waiters queued
        // the sum is too large as well. A count of 0 or below becomes huge as unsigned - 1.
        const auto low = static_cast<std::uint32_t>(s);
        const auto addMinusOne = static_cast<std::uint32_t>(releaseCount - 1);
        if (word::incarnation(s) == r.incarnation &&
            std::uint64_t{low} + addMinusOne < static_cast<std::uint64_t>(o->maximum) &&
            o->state.compare_exchange_strong(s, s + addMinusOne + 1, std::memory_order_release,
                                             std::memory_order_relaxed)) {
            if (previousCount != nullptr) {
                *previousCount = static_cast<LONG>(low);
            }
            return TRUE;
        }
    } else if (r.kind == Kind::NamedSemaphore && releaseCount > 0) {
        return releaseNamedSemaphore(r, releaseCount, previousCount);  // a plain handle
    }
    return releaseSemaphoreSlowly(semaphore, releaseCount, previousCount);
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    Resolved r;
    DWORD result = 0;
    if (tryWaitFast(object, result, r)) {
        return result;
    }
    if (r.object != nullptr && isNamedKind(r.kind)) {
        return waitNamed(object, r, milliseconds);  // out of line: no frame here
    }
    return waitSlowly(object, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    return waitMultiple(count, handles, waitAll != FALSE, milliseconds, false, 0);
}

DWORD WaitForSingleObjectEx(HANDLE object, DWORD milliseconds, BOOL alertable) {
    if (alertable == FALSE) {
        return WaitForSingleObject(object, milliseconds);
    }
    // The object first: signalled, it wins over APCs that are queued (they stay queued).
    Resolved r;
    DWORD result = 0;
    if (tryWaitFast(object, result, r)) {
        return result;
    }
    return alertableWait([=](ThreadContext*) { return WaitForSingleObject(object, milliseconds); });
}

DWORD WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                               BOOL alertable) {
    if (alertable == FALSE) {
        return WaitForMultipleObjects(count, handles, waitAll, milliseconds);
    }
    return alertableWait([=](ThreadContext*) {
        return waitMultiple(count, handles, waitAll != FALSE, milliseconds, false, 0);
    });
}

BOOL PulseEvent(HANDLE event) {
    Resolved r{};
    if (!resolveToModify(event, r, kEventKinds)) {
        return FALSE;
    }
    if (isNamedKind(r.kind)) {
        // Its waiters sleep on its shared word and take it themselves: a set and a reset is
        // all there is. An auto event's set goes to a registered waiter as a hand-off that the
        // reset leaves alone; a manual event's sleepers may wake to find it reset already.
        return setNamedEvent(r) != FALSE && resetNamedEvent(r) != FALSE ? TRUE : FALSE;
    }
    // Set, handed to the queued waiters (all of them for a manual event, the first for an
    // auto event), and reset, under one hold of the lock: nobody else ever sees it set.
    const NoStopScope noStop;
    Object* o = r.object;
    if (!changeIfAlive(o, r.incarnation, [&](std::uint64_t& s, bool haveAllLock, WakeList& wakes) {
            s |= word::kSignalled;
            satisfyWaiters(o, s, haveAllLock, wakes);
            s &= ~word::kSignalled;
        })) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // namespace davro::win32

namespace davro::win32::detail {

bool resolveToModify(HANDLE handle, Resolved& r, unsigned kinds) {
    if (!resolve(handle, r) || (kinds & kindBit(r.kind)) == 0 ||
        word::incarnation(r.object->state.load(std::memory_order_acquire)) != r.incarnation) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if ((r.access & kMayModify) == 0 && kinds != kMutexKinds) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

DWORD waitAfterFirstTry(HANDLE object, DWORD milliseconds) {
    return waitSlowly(object, milliseconds, true);
}

}  // namespace davro::win32::detail

namespace davro::platform {

bool tryWait(davro::win32::HANDLE object, davro::win32::DWORD& result) {
    davro::win32::detail::Resolved r;
    return davro::win32::tryWaitFast(object, result, r);
}

}  // namespace davro::platform
