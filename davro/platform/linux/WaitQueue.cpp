// The waiter queues of objects and the hand-off of signalled objects to their waiters.
//
// Events, semaphores and threads: a signalled object has no queued waiter that could take
// it; whoever signals hands it to the queued waiters in FIFO order under the lock bit, so a
// woken waiter never retries. Mutexes: a release frees the mutex and wakes one waiter to
// retry, so that a running thread may take it meanwhile (no convoy of hand-offs between
// cores); a waiter that keeps losing is handed the mutex directly. DESIGN.md, "Waiting and
// waking", has the invariants.
#include "WaitQueue.h"

#include <cstdint>

#include "Futex.h"
#include "Locks.h"
#include "StopScope.h"

namespace davro::win32::detail {
namespace {

using word::ownerOf;

// The one process-wide lock: held to register a wait-all and to satisfy one. Signals on
// objects that no wait-all waiter uses never touch it.
SpinLock gAllLock;

bool isSingleWaiter(const ThreadContext* w) { return !w->waitAll; }

// Wait-all waiter `w`, queued on `o` (locked, state `s`) through entry `e`: locks its other
// objects (safe: we hold the all-lock, and nobody else ever holds two object locks) and
// satisfies it if everything is signalled.
void tryWakeAll(ThreadContext* w, WaitEntry* e, Object* o, std::uint64_t& s, WakeList& wakes) {
    DAVRO_ASSERT(gAllLock.isLocked(), "tryWakeAll: the all-lock is not held");
    std::uint64_t states[MAXIMUM_WAIT_OBJECTS];
    const std::uint32_t n = w->count;
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* other = w->entries[i].object;
        states[i] = other == o ? s : lockObject(other);
    }
    bool sleeping = false;
    if (takeAllFor(w, states, nullptr, sleeping)) {
        unlink(o, e);
    }
    if (sleeping) {
        wakes.add(w);  // satisfied, or nudged to take its named objects itself
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* other = w->entries[i].object;
        if (other == o) {
            s = states[i];
        } else {
            unlockObject(other, states[i]);
        }
    }
}

// Mutex `o` (locked, state `s`) has just been freed, by a release, an abandonment or a
// waiter passing its wake on. Rather than handing it to the first queued waiter, which may
// be asleep and would leave it unusable until it has woken, the mutex stays free and the
// first single waiter still waiting is woken to retry: its entry is unlinked and its status
// set to kStatusRetry. Until it has retried, any running thread may take the mutex. The
// woken waiter takes the mutex, queues again (the next release wakes it again), or passes
// the wake on (passOnWake), so none is lost. A waiter marked `handoff` (it has retried for
// too long) is given the mutex directly, so nobody starves. Queued wait-all waiters whose
// whole set is signalled take it first (the caller then holds the all-lock).
void wakeMutexWaiters(Object* o, std::uint64_t& s, bool haveAllLock, WakeList& wakes) {
    bool woke = false;
    for (WaitEntry* e = o->head; e != nullptr && ownerOf(s) == 0;) {
        WaitEntry* next = e->next;
        ThreadContext* w = e->waiter;
        if (isDone(w->status.load(std::memory_order_acquire))) {
            // Decided (its clean-up unlinks it) or suspended (it looks again on resumption).
        } else if (!isSingleWaiter(w)) {
            if (haveAllLock) {
                tryWakeAll(w, e, o, s, wakes);
            }
        } else if (!woke) {
            bool sleeping = false;
            if (e->handoff) {
                if (takeFor(o, s, w, e->index, sleeping)) {
                    unlink(o, e);
                    woke = true;
                }
            } else if (claim(w, kStatusRetry, sleeping)) {
                unlink(o, e);
                e->woken = true;
                woke = true;
            }
            if (sleeping) {
                wakes.add(w);
            }
        } else if (!haveAllLock) {
            break;  // the rest are single waiters: one retry at a time is enough
        }
        e = next;
    }
}

}  // namespace

std::uint64_t lockObject(Object* o) {
    DAVRO_ASSERT(inNoStopScope(), "lockObject: outside a NoStopScope");
    enterGate();
    std::uint64_t s = o->state.load(std::memory_order_relaxed);
    for (unsigned n = 0;;) {
        if ((s & word::kLock) == 0) {
            // Sequentially consistent: see mutexOwnedElsewhere() (the same instruction on
            // x86-64 as an acquire).
            if (o->state.compare_exchange_weak(s, s | word::kLock, std::memory_order_seq_cst,
                                               std::memory_order_relaxed)) {
                return s | word::kLock;
            }
            continue;
        }
        backoff(n);
        s = o->state.load(std::memory_order_relaxed);
    }
}

void unlockObject(Object* o, std::uint64_t s) {
    DAVRO_ASSERT((o->state.load(std::memory_order_relaxed) & word::kLock) != 0,
                 "unlockObject: the lock bit is not held");
    s &= ~(word::kLock | word::kWaiters);
    if (o->head != nullptr) {
        s |= word::kWaiters;
    }
    o->state.store(s, std::memory_order_release);
    leaveGate();
}

namespace {

// Links `e` into the queue between `before` and `after`, neighbours or null at an end.
void linkBetween(Object* o, WaitEntry* e, WaitEntry* before, WaitEntry* after) {
    e->prev = before;
    e->next = after;
    if (before != nullptr) {
        before->next = e;
    } else {
        o->head = e;
    }
    if (after != nullptr) {
        after->prev = e;
    } else {
        o->tail = e;
    }
    e->linked = true;
}

}  // namespace

void enqueue(Object* o, WaitEntry* e) {
    DAVRO_ASSERT(!e->linked, "enqueue: entry already linked");
    linkBetween(o, e, o->tail, nullptr);
}

void enqueueFront(Object* o, WaitEntry* e) {
    DAVRO_ASSERT(!e->linked, "enqueueFront: entry already linked");
    linkBetween(o, e, nullptr, o->head);
}

void unlink(Object* o, WaitEntry* e) {
    DAVRO_ASSERT(e->linked && e->object == o, "unlink: entry not on this queue");
    if (e->prev != nullptr) {
        e->prev->next = e->next;
    } else {
        o->head = e->next;
    }
    if (e->next != nullptr) {
        e->next->prev = e->prev;
    } else {
        o->tail = e->prev;
    }
    e->prev = e->next = nullptr;
    e->linked = false;
}

bool claim(ThreadContext* w, std::uint32_t result, bool& sleeping) {
    std::uint32_t cur = w->status.load(std::memory_order_relaxed);
    while (!isDone(cur)) {
        if (w->status.compare_exchange_weak(cur, result, std::memory_order_acq_rel,
                                            std::memory_order_relaxed)) {
            sleeping = cur == kStatusSleeping;
            return true;
        }
    }
    return false;
}

void WakeList::add(ThreadContext* w) {
    if (count == MAXIMUM_WAIT_OBJECTS) {
        flush();
    }
    items[count++] = w;
}

void WakeList::flush() {
    for (int i = 0; i < count; ++i) {
        futexWake(&items[i]->status);
    }
    count = 0;
}

// The mutex recursion is written before the claim publishes it and put back if the claim
// fails; the waiter cannot touch it meanwhile, since it is blocked in its wait or about to
// need this object's lock for its clean-up.
bool takeFor(Object* o, std::uint64_t& s, ThreadContext* w, std::uint32_t index, bool& sleeping) {
    const Kind k = o->kind.load(std::memory_order_relaxed);
    bool abandoned = false;
    const std::uint64_t next = takenState(k, s, w->tid, abandoned);
    const std::uint32_t savedRecursion = o->recursion;
    if (k == Kind::Mutex) {
        o->recursion = ownerOf(s) == w->tid ? savedRecursion + 1 : 1;
    }
    if (!claim(w, (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + index, sleeping)) {
        o->recursion = savedRecursion;
        return false;
    }
    s = next;
    return true;
}

// A satisfied wait-all reports one status, as the NT kernel does: WAIT_ABANDONED_0 when any
// of its mutexes was abandoned, whichever it was, otherwise WAIT_OBJECT_0.
bool takeAllFor(ThreadContext* w, std::uint64_t* states, const DWORD* namedResults,
                bool& sleeping) {
    const std::uint32_t n = w->count;
    std::uint64_t next[MAXIMUM_WAIT_OBJECTS];
    std::uint32_t saved[MAXIMUM_WAIT_OBJECTS];
    bool anyAbandoned = false;
    bool needsWaiter = false;
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* o = w->entries[i].object;
        const Kind k = o->kind.load(std::memory_order_relaxed);
        if (isNamedKind(k)) {
            needsWaiter = needsWaiter || namedResults == nullptr;
            anyAbandoned =
                anyAbandoned || (namedResults != nullptr && namedResults[i] == WAIT_ABANDONED);
            continue;
        }
        if (!signalledFor(k, states[i], w->tid)) {
            return false;
        }
        bool abandoned = false;
        next[i] = takenState(k, states[i], w->tid, abandoned);
        anyAbandoned = anyAbandoned || abandoned;
    }
    if (needsWaiter) {
        // Its named objects are taken only by the waiter itself (WaitEngine.cpp): with the
        // rest signalled, it is woken to try them all at once.
        std::uint32_t cur = kStatusSleeping;
        sleeping =
            w->status.compare_exchange_strong(cur, kStatusWaiting, std::memory_order_acq_rel);
        return false;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* o = w->entries[i].object;
        saved[i] = o->recursion;
        if (o->kind.load(std::memory_order_relaxed) == Kind::Mutex) {
            o->recursion = ownerOf(states[i]) == w->tid ? saved[i] + 1 : 1;
        }
    }
    if (!claim(w, anyAbandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0, sleeping)) {
        for (std::uint32_t i = 0; i < n; ++i) {
            w->entries[i].object->recursion = saved[i];
        }
        return false;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!isNamedKind(w->entries[i].object->kind.load(std::memory_order_relaxed))) {
            states[i] = next[i];
        }
    }
    return true;
}

void satisfyWaiters(Object* o, std::uint64_t& s, bool haveAllLock, WakeList& wakes) {
    const Kind k = o->kind.load(std::memory_order_relaxed);
    if (k == Kind::Mutex) {
        wakeMutexWaiters(o, s, haveAllLock, wakes);
        return;
    }
    for (WaitEntry* e = o->head; e != nullptr;) {
        WaitEntry* next = e->next;
        ThreadContext* w = e->waiter;
        if (!signalledFor(k, s, w->tid)) {
            break;  // nobody else can take it either
        }
        if (!isDone(w->status.load(std::memory_order_acquire))) {
            if (isSingleWaiter(w)) {
                bool sleeping = false;
                if (takeFor(o, s, w, e->index, sleeping)) {
                    unlink(o, e);
                    if (sleeping) {
                        wakes.add(w);
                    }
                }
            } else if (haveAllLock) {
                tryWakeAll(w, e, o, s, wakes);
            }
        }
        e = next;
    }
}

void passOnWake(Object* o, std::uint64_t& s, WaitEntry* e, WakeList& wakes) {
    if (!e->woken) {
        return;
    }
    e->woken = false;
    if (ownerOf(s) == 0 && o->head != nullptr) {
        // Wait-all waiters were offered the mutex when it was freed; a single waiter is all
        // that this wake owes, so the all-lock is not needed.
        wakeMutexWaiters(o, s, false, wakes);
    }
}

void lockAll() { gAllLock.lock(); }

void unlockAll() { gAllLock.unlock(); }

// A wait-all registration raises allHint before it locks the object, so a hint seen as zero
// under the object lock means that no wait-all entry is in the queue.
bool lockForSignal(Object* o, std::uint64_t& s) {
    bool haveAllLock = false;
    if (o->allHint.load(std::memory_order_seq_cst) != 0) {
        gAllLock.lock();
        haveAllLock = true;
    }
    s = lockObject(o);
    if (!haveAllLock && o->allHint.load(std::memory_order_seq_cst) != 0) {
        unlockObject(o, s);
        gAllLock.lock();
        haveAllLock = true;
        s = lockObject(o);
    }
    return haveAllLock;
}

void unlockAfterSignal(Object* o, std::uint64_t s, bool haveAllLock, WakeList& wakes) {
    unlockObject(o, s);
    if (haveAllLock) {
        gAllLock.unlock();
    }
    wakes.flush();
}

std::uint32_t queuedWaiters(Object* o) {
    const NoStopScope noStop;
    const std::uint64_t s = lockObject(o);
    std::uint32_t n = 0;
    for (const WaitEntry* e = o->head; e != nullptr; e = e->next) {
        ++n;
    }
    unlockObject(o, s);
    return n;
}

}  // namespace davro::win32::detail
