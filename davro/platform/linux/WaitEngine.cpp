// The blocking wait: registration on the objects, the sleep, retries after a mutex release,
// suspension and termination inside the sleep, and the clean-up.
//
// DESIGN.md, "Waiting and waking" and "Wait-all", explains the rules this code keeps: a
// wake-up is never lost (the waiter's own time-out and every signaller's hand-off race on
// one compare-and-swap of its status), nothing of a wait-all is taken until all of it can
// be, and a waiter that leaves without answering a mutex retry request passes it on.
#include "WaitEngine.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#include "Apc.h"
#include "Futex.h"
#include "Locks.h"
#include "MessageQueue.h"
#include "NamedObject.h"
#include "StopScope.h"
#include "WaitChain.h"
#include "WaitNamed.h"
#include "WaitQueue.h"

namespace davro::win32::detail {
namespace {

// How often a waiter looks at a mutex before it queues (pollMutex).
constexpr std::int64_t kMutexLookGapNs = 2000;
// A waiter that releases have asked to retry for this long without its getting the mutex is
// handed the mutex directly by the next release.
constexpr std::int64_t kStarveNs = 1000000;
// Where a thread cannot sleep on several futex words at once (before Linux 5.16), a wait
// with named objects polls them: first after this long, doubling up to kNamedPollMaxNs.
constexpr std::int64_t kNamedPollFirstNs = 1000000;
constexpr std::int64_t kNamedPollMaxNs = 16000000;

// After a successful wait by the calling thread: what it has just come to own goes on its
// lists (an in-process mutex at recursion 1 is newly owned; more means it owned it already).
// A `ghost` (in a forked child, a thread that is not there) takes no named mutex: what its
// parent's thread took stays that thread's.
void recordOwnership(ThreadContext* c, Object* o, bool ghost) {
    const Kind k = o->kind.load(std::memory_order_relaxed);
    if (k == Kind::Mutex && o->recursion == 1) {
        ++c->ownedMutexes;
    } else if (isNamedKind(k) && !ghost) {
        keepNamed(c, o);
    }
}

// Records what a decided wait of `c` over `objs` has taken.
void recordResult(ThreadContext* c, Object* const* objs, std::uint32_t n, bool all,
                  std::uint32_t result, bool ghost = false) {
    const bool taken =
        result < WAIT_OBJECT_0 + n || (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + n);
    if (!taken) {
        return;
    }
    if (all) {
        for (std::uint32_t i = 0; i < n; ++i) {
            recordOwnership(c, objs[i], ghost);
        }
    } else {
        recordOwnership(c, objs[result & 0x7F], ghost);
    }
}

// Queues `c` on each in-process object in order, stopping early if one can be taken (or
// another thread has already satisfied us). Named objects are tried, not queued: their
// waiters sleep on their futex words (sleepUntilDone). True when the wait is already
// decided.
bool registerAny(ThreadContext* c, Object* const* objs, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* o = objs[i];
        if (isNamed(o)) {
            if (pollNamed(c, o, i)) {
                return true;
            }
            continue;
        }
        std::uint64_t s = lockObject(o);
        if (isDone(c->status.load(std::memory_order_acquire))) {
            unlockObject(o, s);
            return true;
        }
        if (signalledFor(o->kind.load(std::memory_order_relaxed), s, c->tid)) {
            bool sleeping = false;
            takeFor(o, s, c, i, sleeping);
            unlockObject(o, s);
            return true;
        }
        enqueue(o, &c->entries[i]);
        unlockObject(o, s);
    }
    return false;
}

// Looks again, in index order and under each object's lock, at every in-process object of
// the wait-any of `c`: takes the first one signalled for it and queues again (first in
// line) where a mutex release took its entry off. `starving` marks its mutex entries for a
// direct hand-off. True when the wait is decided.
bool registerAgain(ThreadContext* c, Object* const* objs, std::uint32_t n, bool starving) {
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* o = objs[i];
        if (isNamed(o)) {
            continue;
        }
        const Kind k = o->kind.load(std::memory_order_relaxed);
        WaitEntry* e = &c->entries[i];
        std::uint64_t s = lockObject(o);
        bool done = isDone(c->status.load(std::memory_order_acquire));
        if (!done && signalledFor(k, s, c->tid)) {
            bool sleeping = false;
            if (takeFor(o, s, c, i, sleeping)) {
                e->woken = false;  // taken: nothing to pass on
            }
            done = true;
        }
        if (!done) {
            if (!e->linked) {
                enqueueFront(o, e);
            }
            e->woken = false;
            e->handoff = e->handoff || (starving && k == Kind::Mutex);
        }
        unlockObject(o, s);
        if (done) {
            return true;  // entries still marked woken are passed on by cleanup()
        }
    }
    return false;
}

bool isLoneMutex(Object* const* objs, std::uint32_t n) {
    return n == 1 && objs[0]->kind.load(std::memory_order_relaxed) == Kind::Mutex;
}

// Tries mutex `o`, the only object of the wait of `c`, without its lock, as a new arrival
// does, so that the lock bit does not get in the way of a running owner; on success the
// result goes into the status. Only while nobody else can decide the wait: no entry queued.
bool takeLoneMutex(ThreadContext* c, Object* o) {
    const Resolved r{o, incarnationOf(o), Kind::Mutex, kFullAccess};
    const Fast f = tryTake(r, c->tid);
    if (f != Fast::TakenNew && f != Fast::Abandoned) {
        return false;
    }
    c->status.store(f == Fast::Abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0,
                    std::memory_order_release);
    return true;
}

// Before a lone mutex is queued, looks at it about every kMutexLookGapNs for up to `ns` (or
// the deadline) and takes it when it is seen free. Not queued, the waiter leaves the owner's
// releases on their fast path; looking no more often, it leaves the owner's line mostly to
// the owner. True when taken.
bool pollMutex(ThreadContext* c, Object* o, std::uint32_t ns, std::int64_t deadline) {
    c->spin.spun = true;
    std::int64_t now = monotonicNs();
    const std::int64_t end = deadline == kNoDeadline ? now + ns : std::min(now + ns, deadline);
    while (now < end) {
        const std::int64_t look = std::min(end, now + kMutexLookGapNs);
        do {
            for (int i = 0; i < 8; ++i) {
                cpuRelax();
            }
            now = monotonicNs();
        } while (now < look);
        if (takeLoneMutex(c, o)) {
            return true;
        }
    }
    return false;
}

// The waiter's answer to kStatusRetry: looks at its objects again. True when decided.
bool retryWait(ThreadContext* c, Object* const* objs, std::uint32_t n) {
    std::uint32_t cur = kStatusRetry;
    // Back to waiting first, so that a release after this point can ask again.
    if (!c->status.compare_exchange_strong(cur, kStatusWaiting, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
        return true;  // only a claim (a result) replaces kStatusRetry under our feet
    }
    // Our only entry is off the queue, so nobody else can decide this wait now.
    if (isLoneMutex(objs, n) && takeLoneMutex(c, objs[0])) {
        c->entries[0].woken = false;
        return true;
    }
    const std::int64_t now = monotonicNs();
    if (c->firstRetry == 0) {
        c->firstRetry = now;
    }
    return registerAgain(c, objs, n, now - c->firstRetry >= kStarveNs);
}

// Registers a wait-all: takes everything at once if possible, otherwise queues on every
// in-process object. With named objects (`hasNamed`) nothing is taken here: the waiter
// takes the whole set itself (tryAllOnce), and its queue entries only get it woken when its
// in-process objects are all signalled. True when already satisfied.
bool registerAll(ThreadContext* c, Object* const* objs, std::uint32_t n, bool hasNamed) {
    std::uint64_t states[MAXIMUM_WAIT_OBJECTS];
    lockAll();
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!isNamed(objs[i])) {
            objs[i]->allHint.fetch_add(1, std::memory_order_seq_cst);
        }
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!isNamed(objs[i])) {
            states[i] = lockObject(objs[i]);
        }
    }
    bool sleeping = false;
    const bool done = !hasNamed && takeAllFor(c, states, nullptr, sleeping);
    for (std::uint32_t i = 0; i < n; ++i) {
        if (isNamed(objs[i])) {
            continue;
        }
        if (!done) {
            enqueue(objs[i], &c->entries[i]);
        }
        unlockObject(objs[i], states[i]);
        if (done) {
            objs[i]->allHint.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    c->hintsRaised = !done;  // cleanup() lowers them
    unlockAll();
    return done;
}

// One atomic attempt at a wait-all that includes named objects: everything is taken, or
// nothing is changed for the waiter. A named object taken by a failed attempt is given back
// at once (other processes may see it taken for that instant), and an abandonment it showed
// stays for the next acquirer. `registered`: the waiter counts among their waiters.
// `failedAt`, when given, gets the index of the named object whose take failed (n if none).
bool tryAllOnce(ThreadContext* c, Object* const* objs, std::uint32_t n, bool registered,
                std::uint32_t* failedAt = nullptr) {
    std::uint64_t states[MAXIMUM_WAIT_OBJECTS];
    DWORD named[MAXIMUM_WAIT_OBJECTS];
    bool lockedNamed[MAXIMUM_WAIT_OBJECTS] = {};
    lockAll();
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!isNamed(objs[i])) {
            states[i] = lockObject(objs[i]);
        }
    }
    bool ready = true;
    for (std::uint32_t i = 0; i < n && ready; ++i) {
        if (!isNamed(objs[i])) {
            ready = signalledFor(objs[i]->kind.load(std::memory_order_relaxed), states[i], c->tid);
        }
    }
    for (std::uint32_t i = 0; i < n && ready; ++i) {
        if (isNamed(objs[i])) {
            named[i] = tryTakeNamed(c, objs[i], registered);
            ready = named[i] == WAIT_OBJECT_0 || named[i] == WAIT_ABANDONED;
            lockedNamed[i] = ready;
            if (!ready && failedAt != nullptr) {
                *failedAt = i;
            }
        }
    }
    bool sleeping = false;
    ready = ready && takeAllFor(c, states, named, sleeping);
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!isNamed(objs[i])) {
            unlockObject(objs[i], states[i]);
        } else if (lockedNamed[i] && !ready) {
            giveBackNamed(c, objs[i], registered);
        }
    }
    unlockAll();
    return ready;
}

// Watches its status (and its named objects) for `spin` ns, then sleeps until the wait of
// `c` is decided or its deadline passes. With named objects (`hasNamed`) the waiter tries
// them itself each time it has announced its sleep, and then sleeps on their futex words and
// its status at once, so that a change in any process wakes it; where that sleep is not
// available it sleeps in slices (1 ms growing to 16 ms) and tries them after each. A
// wait-all tries its whole set at once. A mutex release may ask the waiter to retry
// (kStatusRetry): it looks at its objects again and goes on.
// NOLINTNEXTLINE(readability-function-cognitive-complexity): every way a sleep ends, in one loop
std::uint32_t sleepUntilDone(ThreadContext* c, Object* const* objs, std::uint32_t n,
                             std::int64_t deadline, bool hasNamed, bool hasTimer, DWORD inputMask,
                             std::uint32_t spin) {
    std::int64_t slice = kNamedPollFirstNs;
    // The words of the last sleep, kept for the next one (watchNamed).
    FutexWatch watches[MAXIMUM_WAIT_OBJECTS + 1];
    unsigned watched = 0;
    for (;;) {
        std::uint32_t cur = c->status.load(std::memory_order_acquire);
        // Watch the status, and the words of the named objects, for a while first: a quick
        // hand-off or retry request needs no futex call on either side, and watching our own
        // line costs the signaller nothing. Not after a retry that lost the mutex: its owner
        // is running and re-locking, and waking us at each of its releases would put the
        // slow path into every one of them.
        if (cur == kStatusWaiting && spin != 0) {
            c->spin.spun = true;
            // An APC queued meanwhile ends the spin of an alertable wait: its queuer nudges
            // only sleepers.
            spinUntil(spin, [&] {
                cur = c->status.load(std::memory_order_acquire);
                return cur != kStatusWaiting || (c->alertable && apcPending(c)) ||
                       (hasNamed && namedLookReady(c, objs, n));
            });
        }
        spin = 0;
        if (isDone(cur)) {
            return cur;
        }
        bool sleeping = false;
        if (cur == kStatusRetry) {
            if (retryWait(c, objs, n)) {
                return c->status.load(std::memory_order_acquire);
            }
            // Lost to a running owner and queued again: sleep at once (see above).
        } else if (c->status.compare_exchange_strong(cur, kStatusSleeping,
                                                     std::memory_order_seq_cst,
                                                     std::memory_order_acquire)) {
            // Announced as sleeping (seq_cst) before looking at the input and the named
            // objects, so that a change after this look is followed by a nudge that finds us
            // sleeping, or changes a word that the sleep expects unchanged.
            if (inputMask != 0 && hasNewInput(c, inputMask) &&
                claim(c, WAIT_OBJECT_0 + n, sleeping)) {
                return WAIT_OBJECT_0 + n;
            }
            if (c->alertable && apcPending(c) && claim(c, WAIT_IO_COMPLETION, sleeping)) {
                return WAIT_IO_COMPLETION;
            }
            bool sleep = true;
            if (hasNamed) {
                std::uint64_t changed = 0;
                std::uint64_t free = 0;
                std::uint32_t failedAt = n;
                watched = watchNamed(c, objs, n, watches, watched != 0, changed, free);
                if (c->waitAll ? tryAllOnce(c, objs, n, true, &failedAt)
                               : pollNamedAny(c, objs, n)) {
                    return c->status.load(std::memory_order_acquire);
                }
                passOnNamed(watches, watched, changed);
                // A wait-any that saw something free and did not get it lost it to another
                // taker, who may have given it back already (a wait-all's attempt in another
                // process takes and gives back): the word may hold what it held and nobody
                // would wake us, so look again instead of sleeping. So does a wait-all whose
                // take failed on an object it saw free; one that declined free objects because
                // others were not, sleeps.
                sleep = c->waitAll ? failedAt >= n || ((free >> failedAt) & 1) == 0 : free == 0;
            }
            // After the named timers' words are read (watchNamed): a set after this look of
            // their due times moves a word that the sleep expects unchanged.
            const std::int64_t wake = sleepDeadline(c, objs, n, deadline, hasTimer);
            if (sleep) {
                // The one point of a blocking wait where the thread may be suspended (it
                // leaves the wait meanwhile) or terminated (abandonWait finishes the wait).
                const StoppableSleep stoppable;
                c->spin.slept = true;
                if (!hasNamed) {
                    futexWait(&c->status, kStatusSleeping, wake);
                } else if (!futexWaitMany(watches, watched, wake)) {
                    const std::int64_t sliceEnd = monotonicNs() + slice;
                    slice = std::min(slice * 2, kNamedPollMaxNs);
                    futexWait(&c->status, kStatusSleeping, earlier(wake, sliceEnd));
                }
            }
            cur = c->status.load(std::memory_order_acquire);
            if (isDone(cur)) {
                return cur;
            }
            if (cur == kStatusSleeping) {
                // Woken by a named object or a timer, or not asleep at all: look again.
                c->status.compare_exchange_strong(cur, kStatusWaiting, std::memory_order_acq_rel);
            }
            // Timers fire when somebody looks at them after their due time: a timer we wait
            // for is handed to its waiters (us among them), one whose routine we run queues it.
            if (hasTimer) {
                fireDueTimers(objs, n);
            }
            if (c->alertable) {
                fireOwnTimers(c);
            }
            cur = c->status.load(std::memory_order_acquire);
            if (isDone(cur)) {
                return cur;
            }
        } else if (isDone(cur)) {
            return cur;
        }
        // A retry request that is still to be answered is answered first at the top.
        if (deadline != kNoDeadline && monotonicNs() >= deadline) {
            if (claim(c, WAIT_TIMEOUT, sleeping)) {
                return WAIT_TIMEOUT;
            }
            return c->status.load(std::memory_order_acquire);
        }
    }
}

// Removes every queue entry of the finished wait of `c`, passes on the retry requests that
// it has not answered, and lowers the wait-all hints that its registration raised. A `ghost`
// leaves the named objects' shared words alone: its parent's thread still waits on them.
void cleanup(ThreadContext* c, Object* const* objs, std::uint32_t n, bool ghost = false) {
    const bool all = c->hintsRaised;
    c->hintsRaised = false;
    WakeList wakes;
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* o = objs[i];
        if (isNamed(o)) {
            if (!ghost) {
                leaveNamedWaiters(o, c->spin.slept);
            }
            continue;
        }
        WaitEntry* e = &c->entries[i];
        std::uint64_t s = lockObject(o);
        if (e->linked) {
            unlink(o, e);
        }
        passOnWake(o, s, e, wakes);
        unlockObject(o, s);
        if (all) {
            o->allHint.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    wakes.flush();
}

}  // namespace

DWORD failWith(DWORD error) {
    SetLastError(error);
    return WAIT_FAILED;
}

namespace {

// The kinds among the objects of a wait that change how it waits.
struct WaitKinds {
    bool named = false;  // named objects: tried, not queued on, and slept on by word
    bool timer = false;  // timers: fired by the waiter when due
};

// Readies the entries of the wait of `c` on `objs` and counts it among the waiters of its
// named objects (cleanup() leaves them).
WaitKinds prepareEntries(ThreadContext* c, Object* const* objs, std::uint32_t n) {
    WaitKinds kinds;
    for (std::uint32_t i = 0; i < n; ++i) {
        WaitEntry& e = c->entries[i];
        e.prev = e.next = nullptr;
        e.waiter = c;
        e.object = objs[i];
        e.index = i;
        e.linked = false;
        e.woken = false;
        e.handoff = false;
        const Kind kind = objs[i]->kind.load(std::memory_order_relaxed);
        const bool named = isNamedKind(kind);
        if (named) {
            joinNamedWaiters(objs[i]);
        }
        kinds.named = kinds.named || named;
        kinds.timer = kinds.timer || isTimerKind(kind) || isNamedTimerKind(kind);
    }
    return kinds;
}

}  // namespace

DWORD waitBlocking(ThreadContext* c, Object* const* objs, std::uint32_t n, bool all,
                   std::int64_t deadline, DWORD inputMask, const WaitSignal* signal) {
    DAVRO_ASSERT(inNoStopScope(), "waitBlocking: outside a NoStopScope");
    c->count = n;
    c->waitAll = all;
    c->hintsRaised = false;
    c->firstRetry = 0;
    const WaitKinds kinds = prepareEntries(c, objs, n);
    if (kinds.timer) {
        fireDueTimers(objs, n);
    }
    const OuterNote outer = beginNote(c, NoteKind::Objects, 0, objs, n, all);
    c->status.store(kStatusWaiting, std::memory_order_seq_cst);
    // The thread's spin: a lone mutex is polled with it before it is queued, and then not
    // watched (its owner is running and re-locking, and a waiter awake for its retry
    // requests would put the slow path into each of its releases); anything else is queued
    // and then watched, named objects by their words. A wait on nothing (SleepEx) has
    // nothing to watch. A lone mutex is not polled when a signal must follow the queueing or
    // queued APCs may end the wait.
    const std::uint32_t spin = spinBudget(c);
    const bool loneMutex = isLoneMutex(objs, n) && signal == nullptr && !c->alertable;
    const std::uint32_t watch = loneMutex || n == 0 ? 0 : spin;
    c->spin.spun = false;
    c->spin.slept = false;
    std::uint32_t result = 0;
    if (loneMutex && spin != 0 && pollMutex(c, objs[0], spin, deadline)) {
        result = c->status.load(std::memory_order_acquire);
    } else {
        bool decided = all ? registerAll(c, objs, n, kinds.named) : registerAny(c, objs, n);
        if (signal != nullptr && !signal->give(signal->context)) {
            bool sleeping = false;
            decided = true;
            claim(c, WAIT_FAILED, sleeping);  // unless the registration decided it already
        }
        result = decided ? c->status.load(std::memory_order_acquire)
                         : sleepUntilDone(c, objs, n, deadline, kinds.named, kinds.timer, inputMask,
                                          watch);
        cleanup(c, objs, n);
    }
    if (c->spin.spun || c->spin.slept) {
        // How long the wait took, if it slept: its note holds its start.
        const std::int64_t since = c->note.since.load(std::memory_order_relaxed);
        spinOutcome(c, c->spin.spun ? spin : 0,
                    c->spin.slept ? std::max<std::int64_t>(1, monotonicNs() - since) : 0);
    }
    recordResult(c, objs, n, all, result);
    endNote(c, outer);
    return result;
}

DWORD pollAll(ThreadContext* c, Object* const* objs, std::uint32_t n) {
    DAVRO_ASSERT(inNoStopScope(), "pollAll: outside a NoStopScope");
    c->count = n;
    c->waitAll = true;
    for (std::uint32_t i = 0; i < n; ++i) {
        c->entries[i].object = objs[i];
    }
    c->status.store(kStatusWaiting, std::memory_order_relaxed);
    const std::uint32_t result =
        tryAllOnce(c, objs, n, false) ? c->status.load(std::memory_order_relaxed) : WAIT_TIMEOUT;
    recordResult(c, objs, n, true, result);
    return result;
}

bool withdrawWait(ThreadContext* c) {
    std::uint32_t cur = c->status.load(std::memory_order_acquire);
    while (!isDone(cur)) {
        if (c->status.compare_exchange_weak(cur, kStatusSuspended, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
            if (cur == kStatusRetry) {
                // Asked to retry a mutex: while we are stopped, another waiter must be. The
                // entries stay off those queues until rejoinWait queues them again.
                const NoStopScope noStop;
                WakeList wakes;
                for (std::uint32_t i = 0; i < c->count; ++i) {
                    Object* o = c->entries[i].object;
                    if (o->kind.load(std::memory_order_relaxed) == Kind::Mutex) {
                        std::uint64_t s = lockObject(o);
                        passOnWake(o, s, &c->entries[i], wakes);
                        unlockObject(o, s);
                    }
                }
                wakes.flush();
            }
            return true;
        }
    }
    return false;
}

void rejoinWait(ThreadContext* c) {
    const NoStopScope noStop;  // holds object locks
    // Only this thread changes a suspended status, so the store cannot race a claim.
    c->status.store(kStatusWaiting, std::memory_order_seq_cst);
    const std::uint32_t n = c->count;
    Object* objs[MAXIMUM_WAIT_OBJECTS];
    bool hasNamed = false;
    for (std::uint32_t i = 0; i < n; ++i) {
        objs[i] = c->entries[i].object;
        hasNamed = hasNamed || isNamed(objs[i]);
    }
    if (hasNamed && c->waitAll) {
        return;  // tried whole by the sleep loop each time it wakes
    }
    if (c->waitAll) {
        std::uint64_t states[MAXIMUM_WAIT_OBJECTS];
        lockAll();
        for (std::uint32_t i = 0; i < n; ++i) {
            states[i] = lockObject(objs[i]);
        }
        bool sleeping = false;
        takeAllFor(c, states, nullptr, sleeping);  // entries stay linked until cleanup()
        for (std::uint32_t i = 0; i < n; ++i) {
            unlockObject(objs[i], states[i]);
        }
        unlockAll();
        return;
    }
    // Wait-any, in index order as at registration (named objects are tried by the loop);
    // entries that a mutex release took off while we were stopped are queued again.
    registerAgain(c, objs, n, false);
}

void abandonWait(ThreadContext* c, bool ghost) {
    // The thread was terminated in the sleep of waitBlocking (or, in a forked child, does
    // not exist): everything before that point was done, nothing after it. Finish as
    // waitBlocking and its caller would, with a failure unless a signaller had already
    // satisfied the wait. `count` is 0 once the caller has dropped its references.
    const NoStopScope noStop;
    const std::uint32_t n = c->count;
    if (n == 0) {
        return;
    }
    Object* objs[MAXIMUM_WAIT_OBJECTS];
    for (std::uint32_t i = 0; i < n; ++i) {
        objs[i] = c->entries[i].object;
    }
    bool sleeping = false;
    claim(c, WAIT_FAILED, sleeping);
    const std::uint32_t result = c->status.load(std::memory_order_acquire);
    cleanup(c, objs, n, ghost);
    recordResult(c, objs, n, c->waitAll, result, ghost);
    endNote(c, OuterNote{});  // before the references go: no reader follows the note then
    c->count = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        release(objs[i]);  // the references of the wait's caller
    }
}

}  // namespace davro::win32::detail

namespace davro::win32::detail {

void nudgeWait(ThreadContext* c) {
    std::uint32_t cur = kStatusSleeping;
    if (c->status.compare_exchange_strong(cur, kStatusWaiting, std::memory_order_seq_cst)) {
        futexWake(&c->status);
    }
}

}  // namespace davro::win32::detail
