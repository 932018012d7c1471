// Wait threads, the pool's wait objects and registered waits (RegisterWaitForSingleObject).
//
// A wait thread watches up to 63 registrations with one WaitForMultipleObjects, its control
// event first; registering, cancelling and retiring go through the registration lists under
// one lock and set the control event, so the thread rebuilds its array. Each registration
// watches a duplicate of the caller's handle, made when it is set and closed by the wait
// thread once it no longer waits on it: closing the caller's handle changes nothing, and no
// handle of a thread's array is ever closed while the thread may be waiting on it.
#include <algorithm>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "ThreadPool.h"

namespace davro::win32 {
namespace detail::pool {
namespace {

constexpr std::size_t kPerThread = MAXIMUM_WAIT_OBJECTS - 1;

struct WaitThread;

struct WaitItem;

// A registration taken off its thread: the duplicate it watched and its reference to the
// item, until the thread closes the one and drops the other. Made when the registration is
// made, so that taking it off needs no memory.
struct Retired {
    HANDLE handle = nullptr;
    WaitItem* item = nullptr;
    Retired* next = nullptr;
};

struct WaitItem : Item {
    WaitItem(Kind itemKind, Pool* owner, void* function, void* argument, bool runsLong,
             ULONG options)
        : Item(itemKind, owner, function, argument, runsLong), flags(options) {}

    const ULONG flags;  // registered waits: the WT_ flags
    // The wait lock.
    WaitThread* thread = nullptr;  // the thread that watches it, while set
    HANDLE handle = nullptr;       // the duplicate it watches
    std::int64_t deadlineUs = -1;  // -1: no time-out
    DWORD repeatMs = INFINITE;     // registered waits: the time-out after each call
    bool oneShot = true;
    Retired* retiring = nullptr;  // while set: the record its taking off will fill
    unsigned generation = 0;      // bumped at each setting
    unsigned stops = 0;           // bumped at each stop (a NULL setting, a close, an unregister)
    unsigned firing = 0;          // wait threads between deciding to call back and counting it

    void startedInline() override;
};

// What a wait thread waited on: a registration as it was at the snapshot.
struct SeenEntry {
    WaitItem* item;
    unsigned generation;
    unsigned stops;
};
// A callback to queue or run: the registration, its result, and its stop count when found
// due (a stop since then drops it). `current`: the registration's own setting fired, rather
// than one that a new setting replaced after it took a signal.
struct DueEntry {
    WaitItem* item;
    DWORD result;
    unsigned stops;
    bool current;
};
using Seen = std::vector<SeenEntry>;
using Due = std::vector<DueEntry>;

// A thread and the registrations it watches. Registrations taken off wait in `retired` until
// the thread closes their duplicates and drops its references.
struct WaitThread {
    HANDLE control = nullptr;
    std::vector<WaitItem*> watched;
    Retired* retired = nullptr;
    // The thread's own arrays, with room for every registration made before it starts, so
    // that its loop never needs memory.
    std::vector<HANDLE> handles;
    Seen seen;
    Due due;
};

SRWLOCK gLock = SRWLOCK_INIT;
CONDITION_VARIABLE gFired = CONDITION_VARIABLE_INIT;
std::vector<WaitThread*>* gThreads = nullptr;  // made at the first registration, never freed

// Takes `item` off its thread, under the wait lock; the thread drops it later.
void detach(WaitItem* item) {
    WaitThread* const t = item->thread;
    if (t == nullptr) {
        return;
    }
    t->watched.erase(std::find(t->watched.begin(), t->watched.end(), item));
    Retired* const r = item->retiring;
    r->handle = item->handle;
    r->item = item;
    r->next = t->retired;
    t->retired = r;
    item->retiring = nullptr;
    item->thread = nullptr;
    item->handle = nullptr;
    SetEvent(t->control);
}

// Fills the wait array of `t` (its control event first) and what it watches; returns the
// earliest deadline, or -1. Under the wait lock.
std::int64_t snapshot(const WaitThread* t, std::vector<HANDLE>& handles, Seen& seen) {
    handles.assign(1, t->control);
    seen.clear();
    std::int64_t deadline = -1;
    for (WaitItem* item : t->watched) {
        handles.push_back(item->handle);
        seen.push_back({item, item->generation, item->stops});
        if (item->deadlineUs >= 0 && (deadline < 0 || item->deadlineUs < deadline)) {
            deadline = item->deadlineUs;
        }
    }
    return deadline;
}

// The registrations that the wait's `result` fired, and those whose time-out passed. Under the
// wait lock. A signal taken for a registration that was set again since the snapshot still
// calls back (its old setting took it), one taken for a registration stopped since is dropped
// as a queued callback of it would be.
void findDue(WaitThread* t, DWORD result, const std::vector<HANDLE>& handles, const Seen& seen,
             std::int64_t now, Due& due) {
    const auto current = [&](std::size_t i) {
        return seen[i].item->thread == t && seen[i].item->generation == seen[i].generation;
    };
    const auto fired = [&](std::size_t i) {
        if (seen[i].item->stops == seen[i].stops) {
            due.push_back({seen[i].item, WAIT_OBJECT_0, seen[i].stops, current(i)});
        }
    };
    due.clear();
    const std::size_t n = seen.size();
    if (result >= WAIT_OBJECT_0 + 1 && result <= WAIT_OBJECT_0 + n) {
        fired(result - WAIT_OBJECT_0 - 1);
    } else if (result >= WAIT_ABANDONED_0 + 1 && result <= WAIT_ABANDONED_0 + n) {
        fired(result - WAIT_ABANDONED_0 - 1);
    } else if (result == WAIT_FAILED) {
        // One handle cannot be waited on (one without SYNCHRONIZE, say). Each is polled on
        // its own: the signalled ones fire as they would have, the failing ones are dropped,
        // and the others stay watched.
        for (std::size_t i = 0; i < n; ++i) {
            if (seen[i].item->stops != seen[i].stops) {
                continue;
            }
            const DWORD one = WaitForSingleObject(handles[i + 1], 0);
            if (one == WAIT_OBJECT_0 || one == WAIT_ABANDONED_0) {
                fired(i);
            } else if (one == WAIT_FAILED && current(i)) {
                detach(seen[i].item);
            }
        }
    }
    for (WaitItem* item : t->watched) {
        const bool signalled = std::any_of(due.begin(), due.end(),
                                           [item](const DueEntry& d) { return d.item == item; });
        if (!signalled && item->deadlineUs >= 0 && item->deadlineUs <= now) {
            due.push_back({item, WAIT_TIMEOUT, item->stops, true});
        }
    }
}

// Readies the due registrations for their firing, under the wait lock: each gets a reference
// for it; a one-shot registration is taken off, a repeating one starts its time-out again and
// goes to the end of the array, so that an object signalled all the time does not keep the
// others from being seen. A signal of a replaced setting leaves the new setting alone.
void prepareFiring(WaitThread* t, const Due& due, std::int64_t now) {
    for (const DueEntry& d : due) {
        WaitItem* const item = d.item;
        item->addRef();
        if (!d.current) {
            continue;
        }
        if (item->oneShot) {
            detach(item);  // the thread's reference goes with the retired entry
            continue;
        }
        item->deadlineUs = item->repeatMs == INFINITE
                               ? -1
                               : now + static_cast<std::int64_t>(item->repeatMs) * 1000;
        auto& list = t->watched;
        const auto place = std::find(list.begin(), list.end(), item);
        std::rotate(place, place + 1, list.end());
    }
}

// Ends a firing once its callback is counted (queued, or running on the wait thread), so that
// a stop waiting for it goes on.
void endFiring(WaitItem* item) {
    Hold hold(gLock);
    --item->firing;
    WakeAllConditionVariable(&gFired);
}

// Queues or runs the callback of one due registration unless it was stopped since it was
// found due. From the decision until the callback is counted, the registration is marked
// firing, and a stop waits for that; no callback of it starts once a stop has returned but
// those counted before.
void fire(const DueEntry& d) {
    WaitItem* const item = d.item;
    {
        Hold hold(gLock);
        if (item->stops != d.stops) {
            return;
        }
        ++item->firing;
    }
    if ((item->flags & WT_EXECUTEINWAITTHREAD) != 0) {
        runInline(item, d.result);  // startedInline() ends the firing
    } else {
        submit(item, d.result);
        endFiring(item);
    }
}

void waitThreadMain(WaitThread* t) {
    std::vector<HANDLE>& handles = t->handles;
    Seen& seen = t->seen;
    Due& due = t->due;
    AcquireSRWLockExclusive(&gLock);
    for (;;) {
        const std::int64_t deadline = snapshot(t, handles, seen);
        Retired* retired = t->retired;
        t->retired = nullptr;
        ReleaseSRWLockExclusive(&gLock);

        while (Retired* const r = retired) {
            retired = r->next;
            CloseHandle(r->handle);
            r->item->release();
            delete r;
        }
        const DWORD timeout = deadline < 0 ? INFINITE : timeoutMs(deadline - nowUs());
        const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                    handles.data(), FALSE, timeout);

        AcquireSRWLockExclusive(&gLock);
        const std::int64_t now = nowUs();
        findDue(t, result, handles, seen, now, due);
        if (due.empty()) {
            continue;
        }
        prepareFiring(t, due, now);
        ReleaseSRWLockExclusive(&gLock);
        for (const DueEntry& d : due) {
            fire(d);
        }
        for (const DueEntry& d : due) {
            d.item->release();
        }
        AcquireSRWLockExclusive(&gLock);
    }
}

// Hands `item` (its handle, deadline and mode set) to a thread with room, starting one when
// none has. Under the wait lock. False when no thread could be started.
bool attach(WaitItem* item) {
    if (gThreads == nullptr) {
        gThreads = new (std::nothrow) std::vector<WaitThread*>;
        if (gThreads == nullptr) {
            return false;
        }
    }
    WaitThread* chosen = nullptr;
    for (WaitThread* t : *gThreads) {
        if (t->watched.size() < kPerThread) {
            chosen = t;
            break;
        }
    }
    // Room is made before anything changes, so that a registration without memory fails
    // leaving every list as it was.
    auto* const retiring = new (std::nothrow) Retired;
    if (retiring == nullptr) {
        return false;
    }
    try {
        if (chosen == nullptr) {
            gThreads->reserve(gThreads->size() + 1);
        } else {
            chosen->watched.reserve(chosen->watched.size() + 1);
        }
    } catch (const std::bad_alloc&) {
        delete retiring;
        return false;
    }
    if (chosen == nullptr) {
        HANDLE control = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (control == nullptr) {
            delete retiring;
            return false;
        }
        auto* const t = new (std::nothrow) WaitThread;
        if (t == nullptr) {
            CloseHandle(control);
            delete retiring;
            return false;
        }
        t->control = control;
        try {
            t->watched.reserve(kPerThread);
            t->handles.reserve(kPerThread + 1);
            t->seen.reserve(kPerThread);
            t->due.reserve(2 * kPerThread);  // a registration may be signalled and time out
            std::thread(waitThreadMain, t).detach();
        } catch (const std::system_error&) {
            CloseHandle(control);
            delete t;
            delete retiring;
            return false;
        } catch (const std::bad_alloc&) {
            CloseHandle(control);
            delete t;
            delete retiring;
            return false;
        }
        gThreads->push_back(t);
        chosen = t;
    }
    item->addRef();  // the wait thread's
    ++item->generation;
    item->thread = chosen;
    item->retiring = retiring;
    chosen->watched.push_back(item);
    SetEvent(chosen->control);
    return true;
}

// Sets `item` to watch a duplicate of `object`. False when the handle cannot be duplicated
// (the last error says why) or no thread could be started.
bool watch(WaitItem* item, HANDLE object, std::int64_t deadlineUs) {
    HANDLE copy = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), object, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) == FALSE) {
        return false;
    }
    Hold hold(gLock);
    detach(item);
    item->handle = copy;
    item->deadlineUs = deadlineUs;
    if (!attach(item)) {
        item->handle = nullptr;
        CloseHandle(copy);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

WaitItem* waitItemOf(PTP_WAIT wait) {
    return static_cast<WaitItem*>(reinterpret_cast<Item*>(wait));
}

}  // namespace

void WaitItem::startedInline() { endFiring(this); }

// Takes the wait off its thread, drops the firings of it not yet begun and waits until those
// under way have counted their callbacks. A wait thread is never marked firing while it runs
// a callback, so this never waits for its caller.
void stopWait(Item* item) {
    auto* const w = static_cast<WaitItem*>(item);
    Hold hold(gLock);
    ++w->stops;
    detach(w);
    while (w->firing > 0) {
        SleepConditionVariableSRW(&gFired, &gLock, INFINITE, 0);
    }
}

}  // namespace detail::pool

using detail::pool::Item;
using detail::pool::Kind;
using detail::pool::WaitItem;

PTP_WAIT CreateThreadpoolWait(PTP_WAIT_CALLBACK callback, PVOID context,
                              PTP_CALLBACK_ENVIRON environment) {
    if (callback == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool runsLong = detail::pool::longFunction(environment);
    auto* const wait =
        new (std::nothrow) WaitItem(Kind::kWait, detail::pool::poolOf(environment),
                                    reinterpret_cast<void*>(callback), context, runsLong, 0);
    if (wait == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    detail::pool::joinGroup(wait, environment);
    return reinterpret_cast<PTP_WAIT>(static_cast<Item*>(wait));
}

void SetThreadpoolWait(PTP_WAIT wait, HANDLE object, PFILETIME timeout) {
    WaitItem* const w = detail::pool::waitItemOf(wait);
    if (object == nullptr) {
        detail::pool::stopWait(w);
        return;
    }
    const std::int64_t deadline =
        timeout == nullptr ? -1 : detail::pool::dueUs(detail::pool::delayUs(*timeout));
    detail::pool::watch(w, object, deadline);
}

void WaitForThreadpoolWaitCallbacks(PTP_WAIT wait, BOOL cancelPending) {
    WaitItem* const w = detail::pool::waitItemOf(wait);
    if (cancelPending != FALSE) {
        detail::pool::cancelPending(w);
    }
    detail::pool::waitIdle(w);
}

void CloseThreadpoolWait(PTP_WAIT wait) {
    WaitItem* const w = detail::pool::waitItemOf(wait);
    detail::pool::stopWait(w);
    detail::pool::leaveGroup(w);
    w->release();
}

BOOL RegisterWaitForSingleObject(PHANDLE newWaitObject, HANDLE object, WAITORTIMERCALLBACK callback,
                                 PVOID context, ULONG milliseconds, ULONG flags) {
    if (newWaitObject == nullptr || callback == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* const w = new (std::nothrow) WaitItem(Kind::kRegisteredWait, detail::pool::defaultPool(),
                                                reinterpret_cast<void*>(callback), context,
                                                (flags & WT_EXECUTELONGFUNCTION) != 0, flags);
    if (w == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    w->oneShot = (flags & WT_EXECUTEONLYONCE) != 0;
    w->repeatMs = milliseconds;
    const std::int64_t deadline =
        milliseconds == INFINITE
            ? -1
            : detail::pool::dueUs(static_cast<std::int64_t>(milliseconds) * 1000);
    if (!detail::pool::watch(w, object, deadline)) {
        w->release();
        return FALSE;
    }
    *newWaitObject = static_cast<Item*>(w);
    return TRUE;
}

BOOL UnregisterWaitEx(HANDLE waitHandle, HANDLE completionEvent) {
    if (waitHandle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto* const w = static_cast<WaitItem*>(static_cast<Item*>(waitHandle));
    const bool wait = completionEvent == INVALID_HANDLE_VALUE;
    // Made before the wait is touched, so that a call without memory leaves it registered.
    detail::pool::Completion* completion = nullptr;
    if (!wait && !detail::pool::makeCompletion(completionEvent, 1, completion)) {
        return FALSE;
    }
    detail::pool::stopWait(w);
    detail::pool::cancelPending(w);
    bool busy = false;
    if (wait) {
        detail::pool::waitIdle(w);
    } else {
        busy = detail::pool::completeWhenIdle(w, completion);
    }
    w->release();
    if (busy) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    return TRUE;
}

BOOL UnregisterWait(HANDLE waitHandle) { return UnregisterWaitEx(waitHandle, nullptr); }

}  // namespace davro::win32
