// The calls on named objects: waits, releases and sets through a handle, and their part in
// the wait engine. The registry that makes and closes them is NamedRegistry.cpp.
//
// The state lives in the name's shared record (NamedFile.h). A mutex is a robust futex that
// its owner links into the thread's robust list (RobustList.h), so the kernel marks it
// "owner died" when its owner's process is killed; a thread that ends here marks its named
// mutexes abandoned itself. Recursion is counted in the thread's list of the named mutexes
// it owns, never in the shared record. Events and semaphores are a count with the number of
// registered waiters beside it. Blocking waits go through the wait engine, which sleeps on
// the records' futex words and the thread's own status at once (WaitEngine.cpp).
//
// Within the process, one object stands for a name while any handle names it; its record
// stays mapped while a handle, an owner or a call in progress uses it. Calls that hold no
// reference publish the record as their hazard first, and the last close waits until no
// thread has it as its hazard (DESIGN.md, "Named objects").
#include "NamedObject.h"

#include <linux/futex.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <string_view>

#include "Apc.h"
#include "Fence.h"
#include "Futex.h"
#include "KernelObjects.h"
#include "NamedShared.h"
#include "StopScope.h"
#include "WaitEngine.h"

namespace davro::win32::detail {

namespace {

// ---- Events and semaphores: the counted word ----
//
// Low half, the futex word: a semaphore's count; a manual event's signalled bit; an auto
// event's signalled bit (bit 0) and its hand-offs (above it). High half: registered waiters.
// A set of an auto event with more waiters than hand-offs adds a hand-off, which only a
// registered waiter takes, so that a set with a waiter is never lost to a reset or to a
// thread that only tried; otherwise it sets the signalled bit, which anybody takes.

constexpr std::uint32_t kSetBit = 1;
constexpr std::uint32_t kHandOff = 2;

std::uint32_t handOffs(std::uint32_t low) { return low >> 1; }

bool takeable(NamedKind kind, std::uint32_t low, bool registered) {
    if (kind == NamedKind::AutoEvent && !registered) {
        return (low & kSetBit) != 0;
    }
    return low != 0;
}

// One attempt to take a counted object: true when taken (a manual event is only looked at).
__attribute__((always_inline)) inline bool takeCounted(SharedRecord* rec, bool registered) {
    const NamedKind kind = rec->counting;
    std::uint64_t w = rec->counted.load(std::memory_order_acquire);
    for (;;) {
        const std::uint32_t low = countOf(w);
        if (!takeable(kind, low, registered)) {
            return false;
        }
        if (kind == NamedKind::ManualEvent) {
            return true;
        }
        std::uint64_t next = w - 1;  // a semaphore's unit
        if (kind == NamedKind::AutoEvent) {
            next = registered && handOffs(low) != 0 ? w - kHandOff : w & ~std::uint64_t{kSetBit};
        }
        if (rec->counted.compare_exchange_weak(w, next, std::memory_order_acquire,
                                               std::memory_order_acquire)) {
            return true;
        }
    }
}

void wakeCounted(SharedRecord* rec, int count) { futexWake(countWord(rec), count, true); }

// Sets an auto event's word: a hand-off for a registered waiter that has none, else the
// signalled bit. Returns the word as set, 0 when it was set already and every waiter had its
// hand-off.
__attribute__((always_inline)) inline std::uint64_t setAutoEventWord(SharedRecord* rec) {
    std::uint64_t w = rec->counted.load(std::memory_order_relaxed);
    std::uint64_t next = 0;
    do {
        const std::uint32_t low = countOf(w);
        if (waitersOf(w) > handOffs(low)) {
            next = w + kHandOff;
        } else if ((low & kSetBit) == 0) {
            next = w | kSetBit;
        } else {
            return 0;
        }
    } while (!rec->counted.compare_exchange_weak(w, next, std::memory_order_seq_cst,
                                                 std::memory_order_relaxed));
    return next;
}

// SetEvent on an auto event, and a registered waiter giving back what it took.
__attribute__((always_inline)) inline void setAutoEvent(SharedRecord* rec) {
    if (waitersOf(setAutoEventWord(rec)) != 0) {
        wakeCounted(rec, 1);
    }
}

// A timer's waiters sleep on its sequence word, which every change moves.
void wakeTimerWaiters(SharedRecord* rec, int count) {
    rec->timerSeq.fetch_add(1, std::memory_order_seq_cst);
    futexWake(&rec->timerSeq, count, true);
}

// One attempt at the mutex, listed or not: WAIT_OBJECT_0, WAIT_ABANDONED or WAIT_TIMEOUT. A
// mutex on the thread's list is taken again without touching the shared word.
DWORD tryMutex(ThreadContext* c, NamedShared* shared) {
    if (findOwned(c, shared) != nullptr) {
        return WAIT_OBJECT_0;
    }
    SharedRecord* rec = shared->record;
    if (tryLock(c, rec) != 0) {
        return WAIT_TIMEOUT;
    }
    return rec->abandoned != 0 ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

// Runs `use` on the record of `r` under the calling thread's hazard; ERROR_INVALID_HANDLE
// when the handle has died.
template <typename Use>
__attribute__((always_inline)) inline BOOL withRecord(const Resolved& r, Use use) {
    ThreadContext* c = currentContext();
    if (c == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const NoStopScope noStop;
    SharedRecord* rec = nullptr;
    if (!enterRecord(c, r, rec)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const BOOL result = use(rec);
    leaveRecord(c);
    return result;
}

// Sets a named mutex's waiters flag while a thread other than `self` holds it, so that its
// release wakes a sleeper; returns the word as it then stands (free: unchanged).
std::uint32_t flagWaiters(std::atomic<std::uint32_t>* word, std::uint32_t self) {
    std::uint32_t w = word->load(std::memory_order_seq_cst);
    // A failed compare-and-swap reloads `w`: go on until the flag is set or the mutex free.
    while ((w & FUTEX_TID_MASK) != 0 && (w & FUTEX_TID_MASK) != self && (w & FUTEX_WAITERS) == 0) {
        if (word->compare_exchange_weak(w, w | FUTEX_WAITERS, std::memory_order_seq_cst)) {
            return w | FUTEX_WAITERS;
        }
    }
    return w;
}

}  // namespace

// ---- Waits and signals through a handle ----

namespace {

// WaitForSingleObject's first attempt on a named mutex, every case: a thread's first
// named-mutex call, the C library's calls, recursion, and a mutex that is busy.
__attribute__((noinline)) DWORD tryMutexSlowly(Resolved r) {
    ThreadContext* c = currentContext();
    if (c == nullptr || !c->named.owned.reserve(1)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WAIT_FAILED;
    }
    const NoStopScope noStop;  // never stopped with the word or the list half changed
    SharedRecord* rec = nullptr;
    if (!enterRecord(c, r, rec)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    NamedShared* shared = r.object->named;
    const DWORD result = tryMutex(c, shared);
    if (result != WAIT_TIMEOUT) {
        keep(c, shared);
    }
    leaveRecord(c);
    return result;
}

__attribute__((noinline)) BOOL releaseMutexSlowly(Resolved r) {
    ThreadContext* c = tlsContext;
    if (c == nullptr) {
        SetLastError(ERROR_NOT_OWNER);  // a thread without a context has taken nothing
        return FALSE;
    }
    const NoStopScope noStop;
    SharedRecord* rec = nullptr;
    if (!enterRecord(c, r, rec)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The thread's list says what it owns, so a non-owner never reaches the mutex at all.
    OwnedNamedMutex* m = findOwned(c, r.object->named);
    if (m != nullptr && --m->depth == 0) {
        *m = c->named.owned.back();
        c->named.owned.pop();
        unlock(c, rec);
    }
    leaveRecord(c);
    if (m == nullptr) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

// The rest of WaitForSingleObject on a named mutex that the short way did not take (a
// handle of null when the time-out is 0).
__attribute__((noinline)) DWORD waitMutexSlowly(HANDLE object, Resolved r, DWORD milliseconds) {
    const DWORD first = tryMutexSlowly(r);
    return first == WAIT_TIMEOUT && milliseconds != 0 ? waitAfterFirstTry(object, milliseconds)
                                                      : first;
}

// The short way's first try ended with a stop to carry out: carried out now, the wait goes on.
__attribute__((noinline)) DWORD waitMutexAfterStop(DWORD first, HANDLE object, Resolved r,
                                                   DWORD milliseconds) {
    runPendingStop();
    return first == WAIT_TIMEOUT ? waitMutexSlowly(object, r, milliseconds) : first;
}

// WaitForSingleObject on a named counted object (event, semaphore, timer) after its first try.
__attribute__((noinline)) DWORD waitCountedAfterTry(DWORD first, HANDLE object, Resolved r,
                                                    DWORD milliseconds) {
    if (first != WAIT_TIMEOUT) {
        return first;
    }
    // A timer may be due: the slow path's look fires it, even for a poll. (The kind is read
    // from the object, whose pointer is at hand, rather than kept from the handle.)
    if (milliseconds == 0 && !isNamedTimerKind(r.object->kind.load(std::memory_order_relaxed))) {
        return first;
    }
    return waitAfterFirstTry(object, milliseconds);
}

__attribute__((noinline)) DWORD waitCountedAfterStop(DWORD first, HANDLE object, Resolved r,
                                                     DWORD milliseconds) {
    runPendingStop();
    return waitCountedAfterTry(first, object, r, milliseconds);
}

// WaitForSingleObject's short ways keep no value across a call that returns to them:
// whatever follows their first try (the general way, a stop to carry out, the blocking wait)
// is a call in tail position, so that they save only the registers their own work needs.
//
// The usual mutex calls take a short way, for a thread that locks through its robust list:
// the word's compare-and-swap succeeds only when no thread owns the mutex, so a wait that
// takes it needs no look at what the thread owns, and a release finds the mutex it took last
// at the end of its list. Everything else goes the general way.
__attribute__((noinline)) DWORD waitNamedMutex(HANDLE object, Resolved r, DWORD milliseconds) {
    ThreadContext* c = tlsContext;
    if (c == nullptr || c->named.robustHead == nullptr || !c->named.owned.hasRoom()) {
        return waitMutexSlowly(object, r, milliseconds);
    }
    DWORD result = WAIT_FAILED;
    enterNoStop();
    SharedRecord* rec = nullptr;
    if (enterRecord(c, r, rec)) {
        const int rc = robustTryLock(c->named.robustHead, futexWord(rec), robustLinks(rec), c->tid);
        result = WAIT_TIMEOUT;  // busy: maybe ours already, maybe a wait
        if (rc != EBUSY) {
            c->named.owned.push(OwnedNamedMutex{r.object->named, 1});
            result = WAIT_OBJECT_0;
            if (__builtin_expect(rc != 0 || rec->abandoned != 0, 0)) {
                rec->abandoned = 0;  // reported now
                result = WAIT_ABANDONED;
            }
        }
        leaveRecord(c);
    } else {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    if (leaveNoStop()) {
        return waitMutexAfterStop(result, object, r, milliseconds);
    }
    return result == WAIT_TIMEOUT ? waitMutexSlowly(object, r, milliseconds) : result;
}

// Events, semaphores and timers: one attempt at the word, then the blocking wait.
__attribute__((noinline)) DWORD waitNamedCounted(HANDLE object, Resolved r, DWORD milliseconds) {
    ThreadContext* c = currentContext();
    if (c == nullptr) {
        return failWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    DWORD result = WAIT_FAILED;
    enterNoStop();
    SharedRecord* rec = nullptr;
    if (enterRecord(c, r, rec)) {
        result = takeCounted(rec, false) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        leaveRecord(c);
    } else {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    if (leaveNoStop()) {
        return waitCountedAfterStop(result, object, r, milliseconds);
    }
    return result == WAIT_TIMEOUT ? waitCountedAfterTry(result, object, r, milliseconds) : result;
}

}  // namespace

// Not inlined into WaitForSingleObject, nor cloned with its arguments split up (GCC's noipa):
// either would change how that function's short path uses its registers.
#if __has_attribute(noipa)
__attribute__((noipa))
#else
__attribute__((noinline))
#endif
DWORD waitNamed(HANDLE object, Resolved r, DWORD milliseconds) {
    return r.kind == Kind::NamedMutex ? waitNamedMutex(object, r, milliseconds)
                                      : waitNamedCounted(object, r, milliseconds);
}

DWORD tryWaitNamed(Resolved r) {
    if (r.kind == Kind::NamedMutex) {
        return waitNamedMutex(nullptr, r, 0);
    }
    DWORD result = WAIT_TIMEOUT;  // a timer is looked at, not fired
    const BOOL alive = withRecord(r, [&](SharedRecord* rec) {
        if (takeCounted(rec, false)) {
            result = WAIT_OBJECT_0;
        }
        return TRUE;
    });
    return alive ? result : WAIT_FAILED;
}

DWORD pollNamedTimer(const Resolved& r) {
    DWORD result = WAIT_TIMEOUT;
    const BOOL alive = withRecord(r, [&](SharedRecord* rec) {
        if (takeCounted(rec, false) || (fireNamedTimer(rec) && takeCounted(rec, false))) {
            result = WAIT_OBJECT_0;
        }
        return TRUE;
    });
    return alive ? result : WAIT_FAILED;
}

__attribute__((noinline)) BOOL releaseNamedMutex(Resolved r) {
    ThreadContext* c = tlsContext;
    if (c == nullptr || c->named.robustHead == nullptr || c->named.owned.empty() ||
        c->named.owned.back().shared != r.object->named || c->named.owned.back().depth != 1) {
        return releaseMutexSlowly(r);
    }
    const NoStopScope noStop;
    SharedRecord* rec = nullptr;
    if (!enterRecord(c, r, rec)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    c->named.owned.pop();
    robustUnlock(c->named.robustHead, futexWord(rec), robustLinks(rec));
    leaveRecord(c);
    return TRUE;
}

__attribute__((noinline)) BOOL setNamedEvent(Resolved r) {
    return withRecord(r, [](SharedRecord* rec) {
        if (rec->kind == NamedKind::AutoEvent) {
            setAutoEvent(rec);
            return TRUE;
        }
        const std::uint64_t before = rec->counted.fetch_or(kSetBit, std::memory_order_seq_cst);
        if ((before & kSetBit) == 0 && waitersOf(before) != 0) {
            wakeCounted(rec, INT_MAX);
        }
        return TRUE;
    });
}

BOOL resetNamedEvent(const Resolved& r) {
    return withRecord(r, [](SharedRecord* rec) {
        // Hand-offs went to waiters that a set released: a reset does not take them back.
        rec->counted.fetch_and(~std::uint64_t{kSetBit}, std::memory_order_relaxed);
        return TRUE;
    });
}

__attribute__((noinline)) BOOL releaseNamedSemaphore(Resolved r, LONG releaseCount,
                                                     LPLONG previousCount) {
    bool fits = false;
    std::uint32_t before = 0;
    const BOOL alive = withRecord(r, [&](SharedRecord* rec) {
        const auto add = static_cast<std::uint64_t>(releaseCount);
        std::uint64_t w = rec->counted.load(std::memory_order_relaxed);
        do {
            before = countOf(w);
            fits = before + add <= static_cast<std::uint64_t>(rec->maximum);
            if (!fits) {
                return TRUE;
            }
        } while (!rec->counted.compare_exchange_weak(w, w + add, std::memory_order_seq_cst,
                                                     std::memory_order_relaxed));
        if (waitersOf(w) != 0) {
            wakeCounted(rec, static_cast<int>(std::min<std::uint64_t>(add, waitersOf(w))));
        }
        return TRUE;
    });
    return semaphoreReleased(alive, fits, before, previousCount);
}

void signalNamedTimer(SharedRecord* rec) {
    if (rec->counting == NamedKind::ManualEvent) {
        const std::uint64_t before = rec->counted.fetch_or(kSetBit, std::memory_order_seq_cst);
        if (waitersOf(before) != 0) {
            wakeTimerWaiters(rec, INT_MAX);
        }
        return;
    }
    // One waiter released per fire: a registered waiter gets a hand-off and one sleeper is
    // woken for it.
    if (waitersOf(setAutoEventWord(rec)) != 0) {
        wakeTimerWaiters(rec, 1);
    }
}

BOOL setNamedTimer(const Resolved& r, std::int64_t due, std::int64_t periodNs,
                   std::uint32_t* generation) {
    return withRecord(r, [&](SharedRecord* rec) {
        // The generation first: a process that reads the new due time reads the new generation.
        const std::uint32_t gen = rec->setGen.fetch_add(1, std::memory_order_seq_cst) + 1;
        if (generation != nullptr) {
            *generation = gen;
        }
        // The period first: a look that reads the new due time reads the new period too.
        rec->periodNs.store(periodNs, std::memory_order_release);
        rec->due.store(due, std::memory_order_seq_cst);
        if (due != kTimerDisarmed) {
            // Setting makes the timer not signalled; its waiters read the new due time.
            rec->counted.fetch_and(~std::uint64_t{kSetBit}, std::memory_order_seq_cst);
            wakeTimerWaiters(rec, INT_MAX);
        }
        return TRUE;
    });
}

// ---- The wait engine's calls ----

DWORD tryTakeNamed(ThreadContext* c, Object* o, bool registered) {
    NamedShared* shared = o->named;
    if (o->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
        const DWORD result = tryMutex(c, shared);
        if (registered && result != WAIT_TIMEOUT) {
            // A blocking waiter may have taken the mutex from under sleepers whose flag the
            // release cleared: its own release must wake one of them, as the C library
            // does after a lock that had to wait.
            std::uint32_t expected = c->tid;
            futexWord(shared->record)
                ->compare_exchange_strong(expected, c->tid | FUTEX_WAITERS,
                                          std::memory_order_relaxed);
        }
        return result;
    }
    if (isNamedTimerKind(o->kind.load(std::memory_order_relaxed))) {
        fireNamedTimer(shared->record);  // if it is due, this look fires it
    }
    return takeCounted(shared->record, registered) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void keepNamed(ThreadContext* c, Object* o) {
    if (o->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
        keep(c, o->named);
    }
}

void giveBackNamed(ThreadContext* c, Object* o, bool registered) {
    SharedRecord* rec = o->named->record;
    switch (o->kind.load(std::memory_order_relaxed)) {
        case Kind::NamedMutex:
            // A level taken again by an owner was never counted: nothing to undo.
            if (findOwned(c, o->named) == nullptr) {
                unlock(c, rec);
            }
            break;
        case Kind::NamedAutoEvent:
            setAutoEvent(rec);
            break;
        case Kind::NamedAutoTimer:
            signalNamedTimer(rec);
            break;
        case Kind::NamedSemaphore: {
            // A waiter that saw the unit taken may sleep on the count as it stands again: wake
            // one, unless the only waiter is ourselves.
            const std::uint64_t before = rec->counted.fetch_add(1, std::memory_order_seq_cst);
            if (waitersOf(before) > (registered ? 1U : 0U)) {
                wakeCounted(rec, 1);
            }
            break;
        }
        default:
            break;
    }
}

void joinNamedWaiters(Object* o) {
    if (o->kind.load(std::memory_order_relaxed) != Kind::NamedMutex) {
        o->named->record->counted.fetch_add(kOneWaiter, std::memory_order_seq_cst);
    }
}

void leaveNamedWaiters(Object* o, bool slept) {
    SharedRecord* rec = o->named->record;
    if (o->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
        if (!slept) {
            return;
        }
        // A release may have woken us for a mutex we did not take, and cleared the waiters
        // flag as it did: wake another sleeper if the mutex is free, or set the flag again
        // so that its owner's release does.
        if ((flagWaiters(futexWord(rec), 0) & FUTEX_TID_MASK) == 0) {
            futexWake(futexWord(rec), 1, true);
        }
        return;
    }
    std::uint64_t w = rec->counted.load(std::memory_order_relaxed);
    std::uint64_t next = 0;
    do {
        next = w - kOneWaiter;
        // Hand-offs beyond the waiters left are sets that no waiter took: the event stays set.
        if (rec->counting == NamedKind::AutoEvent && handOffs(countOf(next)) > waitersOf(next)) {
            next = (next - kHandOff) | kSetBit;
        }
    } while (!rec->counted.compare_exchange_weak(w, next, std::memory_order_seq_cst,
                                                 std::memory_order_relaxed));
    if (waitersOf(next) != 0 && countOf(next) != 0) {
        // A wake-up that came to us may have been meant for another.
        if (isNamedTimerKind(o->kind.load(std::memory_order_relaxed))) {
            wakeTimerWaiters(rec, 1);
        } else {
            wakeCounted(rec, 1);
        }
    }
}

void namedSleepWord(ThreadContext* c, Object* o, std::atomic<std::uint32_t>*& word,
                    std::uint32_t& expected) {
    SharedRecord* rec = o->named->record;
    const Kind kind = o->kind.load(std::memory_order_relaxed);
    if (isNamedTimerKind(kind)) {
        // Read before the due time that the sleep's deadline takes in: a set after that look
        // moves the word.
        word = &rec->timerSeq;
        expected = word->load(std::memory_order_seq_cst);
        return;
    }
    if (kind != Kind::NamedMutex) {
        word = countWord(rec);
        expected = word->load(std::memory_order_seq_cst);
        return;
    }
    word = futexWord(rec);
    expected = flagWaiters(word, c->tid);
}

bool namedWordFree(Object* o, std::uint32_t value) {
    const Kind kind = o->kind.load(std::memory_order_relaxed);
    if (kind == Kind::NamedMutex) {
        return (value & FUTEX_TID_MASK) == 0;
    }
    SharedRecord* rec = o->named->record;
    if (isNamedTimerKind(kind)) {
        value = countOf(rec->counted.load(std::memory_order_seq_cst));  // not the watched word
    }
    return takeable(rec->counting, value, true);
}

std::uint32_t namedMutexOwner(Object* o, bool& ownerDied) {
    const std::uint32_t word = futexWord(o->named->record)->load(std::memory_order_relaxed);
    ownerDied = (word & FUTEX_OWNER_DIED) != 0;
    return word & FUTEX_TID_MASK;
}

std::string_view namedName(Object* o) {
    const SharedRecord* rec = o->named->record;  // its name never changes once made
    return {rec->utf8, std::min<std::size_t>(rec->utf8Length, sizeof rec->utf8)};
}

bool namedPasses(Object* o, std::uint32_t tid) {
    SharedRecord* rec = o->named->record;
    if (o->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
        const std::uint32_t owner = ownerTid(rec);
        return owner == 0 || owner == tid;
    }
    return countOf(rec->counted.load(std::memory_order_relaxed)) != 0;
}

std::uint32_t namedSleepers(Object* o) {
    SharedRecord* rec = o->named->record;
    if (o->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
        return (futexWord(rec)->load(std::memory_order_relaxed) & FUTEX_WAITERS) != 0 ? 1 : 0;
    }
    return waitersOf(rec->counted.load(std::memory_order_relaxed));
}

}  // namespace davro::win32::detail
