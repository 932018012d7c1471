// Mutexes, events, semaphores and the waits on them; thread ids and the thread-end hook.
//
// DESIGN.md gives the whole picture. In short: every object keeps its state in one atomic
// word; uncontended acquire and release are one compare-and-swap on it. Blocked waiters
// queue a WaitEntry on each object and sleep on their thread's futex word. Whoever sets an
// event, releases a semaphore or ends a thread hands the object directly to queued waiters
// that can take it (under the object's lock bit). A mutex release instead frees the mutex
// and wakes one queued waiter to try again, so that a running thread may take it meanwhile
// (barging: no convoy of hand-offs between cores); a waiter that keeps losing is handed the
// mutex directly. Either way a wake-up can never be lost: a waiter that times out either
// won the race on its own status word or passes its wake on. Wait-all waiters are checked
// and satisfied under one process-wide lock plus the objects' own locks.
#include <davro/platform/Environment.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "Kernel.h"

#define DAVRO_TLS __attribute__((tls_model("initial-exec")))

namespace davro::win32::detail {

// ---- Time and spinning ----

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t deadlineAfter(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        return -1;
    }
    return monotonicNs() + static_cast<std::int64_t>(milliseconds) * 1000000 /
                               static_cast<std::int64_t>(davro::platform::timeScale());
}

void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

namespace {

// Spins briefly, then yields: lock bits are held for a few hundred cycles at most, unless
// the holder was preempted, in which case yielding lets it run.
void backoff(unsigned& n) {
    if (n < 64) {
        cpuRelax();
    } else {
        sched_yield();
    }
    ++n;
}

// Spin budgets, measured with bench/PlatformBench.cpp (two threads on this 2-core machine).
// Before queueing, a waiter for an event or a semaphore tries the object this many times, a
// pause apart, so that a quick signal needs no futex call on either side. A mutex is tried
// once only: every poll of a waiter pulls the mutex's cache line away from its owner, and an
// owner that releases and re-locks in a loop then crawls (two threads hammering one mutex:
// 290 ns per lock with 100 polls, 50 ns with none).
constexpr int kSpinBeforeQueue = 100;
// After queueing, a waiter watches its own status word this many times, a pause apart,
// before it sleeps: a hand-off or a retry request that comes quickly needs no futex call, and
// watching its own line costs the owner nothing. Not after a retry that lost the mutex: its
// owner is running and re-locking, and waking us at each of its releases would put the slow
// path into every one of them (290 ns per lock instead of 50 in the test above).
constexpr int kSpinAfterQueue = 100;
// A waiter that mutex releases have asked to retry for this long without its getting the
// mutex is handed the mutex directly by the next release.
constexpr std::int64_t kStarveNs = 1000000;

std::uint32_t* futexAddress(std::atomic<std::uint32_t>* word) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    return reinterpret_cast<std::uint32_t*>(word);
}

// Sleeps while *word == expected, until woken or the absolute CLOCK_MONOTONIC deadline
// (-1: none). Spurious returns are fine: every caller loops.
void futexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected, std::int64_t deadline) {
    timespec limit{};
    timespec* limitPtr = nullptr;
    if (deadline >= 0) {
        limit.tv_sec = static_cast<time_t>(deadline / 1000000000);
        limit.tv_nsec = static_cast<long>(deadline % 1000000000);
        limitPtr = &limit;
    }
    // FUTEX_WAIT_BITSET takes an absolute time-out on CLOCK_MONOTONIC.
    syscall(SYS_futex, futexAddress(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected,
            limitPtr, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void futexWake(std::atomic<std::uint32_t>* word) {
    syscall(SYS_futex, futexAddress(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0);
}

// A test-and-test-and-set lock for short sections; resettable after fork.
class SpinLock {
public:
    void lock() {
        unsigned n = 0;
        while (locked_.exchange(true, std::memory_order_acquire)) {
            while (locked_.load(std::memory_order_relaxed)) {
                backoff(n);
            }
        }
    }
    void unlock() { locked_.store(false, std::memory_order_release); }
    void reset() { locked_.store(false, std::memory_order_relaxed); }

private:
    std::atomic<bool> locked_{false};
};

// The one process-wide lock: held to register a wait-all and to satisfy one. Signals on
// objects that no wait-all waiter uses never touch it.
SpinLock gAllLock;

std::atomic<InputProbe> gInputProbe{nullptr};

// ---- Thread ids and per-thread state ----

thread_local std::uint32_t tlsTid DAVRO_TLS = 0;
thread_local ThreadState* tlsState DAVRO_TLS = nullptr;

void onThreadEnd(void* state);

struct ThreadRegistry {
    pthread_key_t key{};
    SpinLock lock;
    ThreadState* freeList = nullptr;
};

void afterForkInChild();

std::atomic<ThreadRegistry*> gRegistry{nullptr};

ThreadRegistry& threads() {
    static ThreadRegistry* registry = [] {
        auto* r = new ThreadRegistry;
        pthread_key_create(&r->key, &onThreadEnd);
        gRegistry.store(r, std::memory_order_release);
        return r;
    }();
    return *registry;
}

void afterForkInChild() {
    // The child runs only the forking thread, with a new id; locks held by other threads
    // of the parent are gone with them. In-process mutexes that this thread owned are
    // copies that nobody will ever wait for.
    gAllLock.reset();
    if (ThreadRegistry* r = gRegistry.load(std::memory_order_acquire)) {
        r->lock.reset();
    }
    tlsTid = 0;
    if (tlsState != nullptr) {
        tlsState->tid = currentThreadId();
        tlsState->owned.clear();
    }
}

void onThreadEnd(void* state) {
    auto* ts = static_cast<ThreadState*>(state);
    abandonOwnedMutexes(ts);
    tlsState = nullptr;
    ThreadRegistry& r = threads();
    r.lock.lock();
    ts->nextFree = r.freeList;
    r.freeList = ts;
    r.lock.unlock();
}

ThreadState* createThreadState() {
    const NoStopScope noStop;  // the registry's spin lock
    ThreadRegistry& r = threads();
    r.lock.lock();
    ThreadState* ts = r.freeList;
    if (ts != nullptr) {
        r.freeList = ts->nextFree;
    }
    r.lock.unlock();
    if (ts == nullptr) {
        ts = new ThreadState;
    }
    ts->tid = currentThreadId();
    ts->inputMask.store(0, std::memory_order_relaxed);
    tlsState = ts;
    // The key's destructor is our thread-end hook; it runs for every thread that ends
    // through pthread_exit or by returning, whoever created it.
    pthread_setspecific(r.key, ts);
    return ts;
}

// ---- Object lock and queue ----

std::uint64_t lockObject(Object* o) {
    std::uint64_t s = o->state.load(std::memory_order_relaxed);
    for (unsigned n = 0;;) {
        if ((s & word::kLock) == 0) {
            if (o->state.compare_exchange_weak(s, s | word::kLock, std::memory_order_acquire,
                                               std::memory_order_relaxed)) {
                return s | word::kLock;
            }
            continue;
        }
        backoff(n);
        s = o->state.load(std::memory_order_relaxed);
    }
}

// Stores the new state `s` and drops the lock; the waiters bit follows the queue.
void unlockObject(Object* o, std::uint64_t s) {
    s &= ~(word::kLock | word::kWaiters);
    if (o->head != nullptr) {
        s |= word::kWaiters;
    }
    o->state.store(s, std::memory_order_release);
}

void enqueue(Object* o, WaitEntry* e) {
    e->next = nullptr;
    e->prev = o->tail;
    if (o->tail != nullptr) {
        o->tail->next = e;
    } else {
        o->head = e;
    }
    o->tail = e;
    e->linked = true;
}

// Queues `e` first: a waiter that a release asked to retry and that lost keeps its place.
void enqueueFront(Object* o, WaitEntry* e) {
    e->prev = nullptr;
    e->next = o->head;
    if (o->head != nullptr) {
        o->head->prev = e;
    } else {
        o->tail = e;
    }
    o->head = e;
    e->linked = true;
}

void unlink(Object* o, WaitEntry* e) {
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

// ---- What "signalled" and "taking" mean for each kind ----

constexpr std::uint64_t kCountMask = 0x7FFFFFFF;

std::uint32_t ownerOf(std::uint64_t s) { return static_cast<std::uint32_t>(s & word::kOwner); }

bool signalledFor(Kind k, std::uint64_t s, std::uint32_t tid) {
    switch (k) {
        case Kind::Mutex:
            return ownerOf(s) == 0 || ownerOf(s) == tid;
        case Kind::ManualEvent:
        case Kind::AutoEvent:
        case Kind::Thread:
            return (s & word::kSignalled) != 0;
        case Kind::Semaphore:
            return (s & kCountMask) != 0;
        default:
            return false;
    }
}

// The state after thread `tid` has taken the object, which must be signalled for it.
std::uint64_t takenState(Kind k, std::uint64_t s, std::uint32_t tid, bool& abandoned) {
    abandoned = false;
    switch (k) {
        case Kind::Mutex:
            if (ownerOf(s) == tid) {
                return s;
            }
            abandoned = (s & word::kAbandoned) != 0;
            return (s & ~(word::kOwner | word::kAbandoned)) | tid;
        case Kind::AutoEvent:
            return s & ~word::kSignalled;
        case Kind::Semaphore:
            return s - 1;
        default:
            return s;  // manual events and ended threads stay signalled
    }
}

// Decided (a result), or suspended (unclaimable until it rejoins).
bool isDone(std::uint32_t status) {
    return status != kStatusWaiting && status != kStatusSleeping && status != kStatusRetry;
}

// Gives waiter `w` its result (or kStatusRetry), if it is still waiting. `sleeping` says
// whether it needs a futex wake. Only callers that hold the lock of an object on which `w` is
// queued (or `w` itself) may claim, so a claim can never land in a later wait of the same thread.
bool claim(ThreadState* w, std::uint32_t result, bool& sleeping) {
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

// Threads to wake once the object locks are dropped. ThreadStates are never freed, so a
// late wake is at worst spurious.
struct WakeList {
    ThreadState* items[MAXIMUM_WAIT_OBJECTS];
    int count = 0;
    void add(ThreadState* w) {
        if (count == MAXIMUM_WAIT_OBJECTS) {
            flush();
        }
        items[count++] = w;
    }
    void flush() {
        for (int i = 0; i < count; ++i) {
            futexWake(&items[i]->status);
        }
        count = 0;
    }
};

// Takes object `o` (locked, state `s`) for waiter `w` as entry `index`, if `w` is still
// waiting. The mutex recursion is written before the claim publishes it and put back if
// the claim fails; the waiter cannot touch it meanwhile, since it is blocked in its wait
// or about to need this object's lock for its clean-up.
bool takeFor(Object* o, std::uint64_t& s, ThreadState* w, std::uint32_t index, bool& sleeping) {
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

// Takes every object of wait-all waiter `w` at once, if all are signalled for it; the
// caller holds the all-lock and every object's lock, with the states in `states`.
// `namedResults` gives the lock results already obtained for named mutexes.
bool takeAllFor(ThreadState* w, std::uint64_t* states, const DWORD* namedResults, bool& sleeping) {
    const std::uint32_t n = w->count;
    std::uint64_t next[MAXIMUM_WAIT_OBJECTS];
    std::uint32_t saved[MAXIMUM_WAIT_OBJECTS];
    std::uint32_t abandonedAt = UINT32_MAX;
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* o = w->entries[i].object;
        const Kind k = o->kind.load(std::memory_order_relaxed);
        if (k == Kind::NamedMutex) {
            if (namedResults[i] == WAIT_ABANDONED && abandonedAt == UINT32_MAX) {
                abandonedAt = i;
            }
            continue;
        }
        if (!signalledFor(k, states[i], w->tid)) {
            return false;
        }
        bool abandoned = false;
        next[i] = takenState(k, states[i], w->tid, abandoned);
        if (abandoned && abandonedAt == UINT32_MAX) {
            abandonedAt = i;
        }
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* o = w->entries[i].object;
        saved[i] = o->recursion;
        if (o->kind.load(std::memory_order_relaxed) == Kind::Mutex) {
            o->recursion = ownerOf(states[i]) == w->tid ? saved[i] + 1 : 1;
        }
    }
    const std::uint32_t result =
        abandonedAt == UINT32_MAX ? WAIT_OBJECT_0 : WAIT_ABANDONED_0 + abandonedAt;
    if (!claim(w, result, sleeping)) {
        for (std::uint32_t i = 0; i < n; ++i) {
            w->entries[i].object->recursion = saved[i];
        }
        return false;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        if (w->entries[i].object->kind.load(std::memory_order_relaxed) != Kind::NamedMutex) {
            states[i] = next[i];
        }
    }
    return true;
}

// Wait-all waiter `w`, queued on `o` (locked, state `s`) through entry `e`: locks its other
// objects (safe: we hold the all-lock, and nobody else ever holds two object locks) and
// satisfies it if everything is signalled.
void tryWakeAll(ThreadState* w, WaitEntry* e, Object* o, std::uint64_t& s, WakeList& wakes) {
    std::uint64_t states[MAXIMUM_WAIT_OBJECTS];
    const std::uint32_t n = w->count;
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* other = w->entries[i].object;
        states[i] = other == o ? s : lockObject(other);
    }
    bool sleeping = false;
    if (takeAllFor(w, states, nullptr, sleeping)) {
        unlink(o, e);
        if (sleeping) {
            wakes.add(w);
        }
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
// be asleep and would leave it unusable until that waiter has woken (a convoy: every
// contended release and re-lock would move it between cores), the mutex stays free and
// the first single waiter still waiting is woken to retry: its entry is unlinked and its
// status set to kStatusRetry. Until it has retried, any running thread may take the mutex.
// Whoever is woken either takes the mutex, queues again (and is woken by the next
// release), or passes the wake on (passOnWake), so none is lost. A waiter that has been
// asked to retry for kStarveNs is marked `handoff` and given the mutex directly, so nobody
// starves.
// Queued wait-all waiters whose whole set is signalled still take it first (the caller
// holds the all-lock whenever such waiters may be queued).
void wakeMutexWaiters(Object* o, std::uint64_t& s, bool haveAllLock, WakeList& wakes) {
    bool woke = false;
    for (WaitEntry* e = o->head; e != nullptr && ownerOf(s) == 0;) {
        WaitEntry* next = e->next;
        ThreadState* w = e->waiter;
        if (isDone(w->status.load(std::memory_order_acquire))) {
            // Decided (its clean-up unlinks it) or suspended (it looks again on resumption).
        } else if (w->waitAll) {
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

// Hands object `o` (locked, state `s`, just made signalled) to queued waiters in FIFO
// order while it stays signalled for them. Wait-all waiters are considered only when the
// caller holds the all-lock (it does whenever such waiters may be queued: see lockForSignal).
// A mutex is freed and its waiters woken instead (wakeMutexWaiters).
void satisfyWaiters(Object* o, std::uint64_t& s, bool haveAllLock, WakeList& wakes) {
    const Kind k = o->kind.load(std::memory_order_relaxed);
    if (k == Kind::Mutex) {
        wakeMutexWaiters(o, s, haveAllLock, wakes);
        return;
    }
    for (WaitEntry* e = o->head; e != nullptr;) {
        WaitEntry* next = e->next;
        ThreadState* w = e->waiter;
        if (!signalledFor(k, s, w->tid)) {
            break;  // nobody else can take it either
        }
        if (!isDone(w->status.load(std::memory_order_acquire))) {
            if (!w->waitAll) {
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

// A waiter whose wait ends, or is suspended, before it has retried a mutex that a release
// asked it to retry: if that mutex is still free with waiters queued, one of them is woken
// in its place. `o` is locked, with state `s`.
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

// Locks `o` for a signal. Takes the all-lock first when wait-all waiters may be queued on
// it; a wait-all registration raises allHint before it locks the object, so a hint seen as
// zero under the object lock means no wait-all entry is in the queue.
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

// ---- Owned mutexes ----

void noteOwned(ThreadState* ts, Object* o, std::uint32_t incarnation) {
    ts->owned.push(o, incarnation);
}

void forgetOwned(ThreadState* ts, Object* o) { ts->owned.remove(o); }

// ---- Lock-free attempts ----

// TakenNew: a mutex that the caller did not own before (it goes on the owned list).
enum class Fast { Taken, TakenNew, Abandoned, NotSignalled, Stale };

// One attempt to take a resolved object without locking it. Inlined: it is most of the
// uncontended WaitForSingleObject.
__attribute__((always_inline)) inline Fast tryTake(const Resolved& r, std::uint32_t tid) {
    Object* o = r.object;
    std::uint64_t s = o->state.load(std::memory_order_acquire);
    for (unsigned n = 0;;) {
        if (word::incarnation(s) != r.incarnation) {
            return Fast::Stale;
        }
        if (!signalledFor(r.kind, s, tid)) {
            return Fast::NotSignalled;
        }
        if (r.kind == Kind::ManualEvent || r.kind == Kind::Thread) {
            return Fast::Taken;  // nothing to consume
        }
        if (r.kind == Kind::Mutex && ownerOf(s) == tid) {
            if (o->recursion == 0x7FFFFFFF) {
                return Fast::NotSignalled;  // Windows' recursion limit
            }
            ++o->recursion;  // we own it: nobody else touches the count
            return Fast::Taken;
        }
        if ((s & word::kLock) != 0) {
            backoff(n);
            s = o->state.load(std::memory_order_acquire);
            continue;
        }
        bool abandoned = false;
        const std::uint64_t next = takenState(r.kind, s, tid, abandoned);
        if (o->state.compare_exchange_weak(s, next, std::memory_order_acquire,
                                           std::memory_order_acquire)) {
            if (r.kind == Kind::Mutex) {
                o->recursion = 1;
                return abandoned ? Fast::Abandoned : Fast::TakenNew;
            }
            return Fast::Taken;
        }
    }
}

// After a successful wait by the calling thread: mutexes that it has just come to own go
// on its owned list (recursion 1 means newly owned, more means it owned them already).
void recordOwnership(ThreadState* ts, Object* o) {
    if (o->kind.load(std::memory_order_relaxed) == Kind::Mutex && o->recursion == 1) {
        noteOwned(ts, o, word::incarnation(o->state.load(std::memory_order_relaxed)));
    }
}

// ---- Blocking waits ----

// Queues `ts` on each in-process object in order, stopping early if one can be taken
// (or another thread has already satisfied us). Named mutexes are polled, not queued.
// True when the wait is already decided.
bool registerAny(ThreadState* ts, Object* const* objs, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* o = objs[i];
        const Kind k = o->kind.load(std::memory_order_relaxed);
        if (k == Kind::NamedMutex) {
            const DWORD r = lockNamedMutex(o, 0);
            if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
                bool sleeping = false;
                if (!claim(ts, r + i, sleeping)) {
                    unlockNamedMutex(o);
                }
                return true;
            }
            continue;
        }
        std::uint64_t s = lockObject(o);
        if (isDone(ts->status.load(std::memory_order_acquire))) {
            unlockObject(o, s);
            return true;
        }
        if (signalledFor(k, s, ts->tid)) {
            bool sleeping = false;
            takeFor(o, s, ts, i, sleeping);
            unlockObject(o, s);
            return true;
        }
        enqueue(o, &ts->entries[i]);
        unlockObject(o, s);
    }
    return false;
}

// Looks again, in index order and under each object's lock, at every in-process object of
// the wait-any of `ts`: takes the first one signalled for it and queues again (first in
// line) where a mutex release took its entry off the queue. `starving` marks its mutex
// entries for a direct hand-off. True when the wait is decided.
bool registerAgain(ThreadState* ts, Object* const* objs, std::uint32_t n, bool starving) {
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* o = objs[i];
        const Kind k = o->kind.load(std::memory_order_relaxed);
        if (k == Kind::NamedMutex) {
            continue;
        }
        WaitEntry* e = &ts->entries[i];
        std::uint64_t s = lockObject(o);
        bool done = isDone(ts->status.load(std::memory_order_acquire));
        if (!done && signalledFor(k, s, ts->tid)) {
            bool sleeping = false;
            if (takeFor(o, s, ts, i, sleeping)) {
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

// The waiter's answer to kStatusRetry: looks at its objects again. True when decided.
bool retryWait(ThreadState* ts, Object* const* objs, std::uint32_t n) {
    std::uint32_t cur = kStatusRetry;
    // Back to waiting first, so that a release after this point can ask again.
    if (!ts->status.compare_exchange_strong(cur, kStatusWaiting, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
        return true;  // only a claim (a result) replaces kStatusRetry under our feet
    }
    if (n == 1 && objs[0]->kind.load(std::memory_order_relaxed) == Kind::Mutex) {
        Object* o = objs[0];
        // Our only entry is off the queue, so nobody else can decide this wait now: try the
        // mutex without its lock first, as a new arrival does, so that the lock bit does
        // not get in the way of a running owner.
        const Resolved r{o, word::incarnation(o->state.load(std::memory_order_relaxed)),
                         Kind::Mutex};
        const Fast f = tryTake(r, ts->tid);
        if (f == Fast::TakenNew || f == Fast::Abandoned) {
            ts->entries[0].woken = false;
            ts->status.store(f == Fast::Abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0,
                             std::memory_order_release);
            return true;
        }
    }
    const std::int64_t now = monotonicNs();
    if (ts->firstRetry == 0) {
        ts->firstRetry = now;
    }
    return registerAgain(ts, objs, n, now - ts->firstRetry >= kStarveNs);
}

// Registers a wait-all over in-process objects only: takes them all at once if possible,
// otherwise queues on every one. True when already satisfied.
bool registerAll(ThreadState* ts, Object* const* objs, std::uint32_t n) {
    std::uint64_t states[MAXIMUM_WAIT_OBJECTS];
    gAllLock.lock();
    for (std::uint32_t i = 0; i < n; ++i) {
        objs[i]->allHint.fetch_add(1, std::memory_order_seq_cst);
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        states[i] = lockObject(objs[i]);
    }
    bool sleeping = false;
    const bool done = takeAllFor(ts, states, nullptr, sleeping);
    if (!done) {
        for (std::uint32_t i = 0; i < n; ++i) {
            enqueue(objs[i], &ts->entries[i]);
        }
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        unlockObject(objs[i], states[i]);
        if (done) {
            objs[i]->allHint.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    gAllLock.unlock();
    return done;
}

// One atomic attempt at a wait-all that may include named mutexes: everything is taken,
// or nothing is touched (a named mutex already locked by this attempt is unlocked again;
// other processes may see it held for that instant).
bool tryAllOnce(ThreadState* ts, Object* const* objs, std::uint32_t n) {
    std::uint64_t states[MAXIMUM_WAIT_OBJECTS];
    DWORD named[MAXIMUM_WAIT_OBJECTS];
    gAllLock.lock();
    for (std::uint32_t i = 0; i < n; ++i) {
        if (objs[i]->kind.load(std::memory_order_relaxed) != Kind::NamedMutex) {
            states[i] = lockObject(objs[i]);
        }
    }
    bool ready = true;
    for (std::uint32_t i = 0; i < n && ready; ++i) {
        const Kind k = objs[i]->kind.load(std::memory_order_relaxed);
        if (k != Kind::NamedMutex) {
            ready = signalledFor(k, states[i], ts->tid);
        }
    }
    bool lockedNamed[MAXIMUM_WAIT_OBJECTS] = {};
    for (std::uint32_t i = 0; i < n && ready; ++i) {
        if (objs[i]->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
            named[i] = lockNamedMutex(objs[i], 0);
            ready = named[i] == WAIT_OBJECT_0 || named[i] == WAIT_ABANDONED;
            lockedNamed[i] = ready;
        }
    }
    bool sleeping = false;
    if (ready) {
        ready = takeAllFor(ts, states, named, sleeping);
    }
    if (!ready) {
        for (std::uint32_t i = 0; i < n; ++i) {
            if (lockedNamed[i]) {
                unlockNamedMutex(objs[i]);
            }
        }
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        if (objs[i]->kind.load(std::memory_order_relaxed) != Kind::NamedMutex) {
            unlockObject(objs[i], states[i]);
        }
    }
    gAllLock.unlock();
    return ready;
}

// Polls the named mutexes of a wait-any in order; true when the wait is decided.
bool pollNamedAny(ThreadState* ts, Object* const* objs, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        if (isDone(ts->status.load(std::memory_order_acquire))) {
            return true;
        }
        if (objs[i]->kind.load(std::memory_order_relaxed) != Kind::NamedMutex) {
            continue;
        }
        const DWORD r = lockNamedMutex(objs[i], 0);
        if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
            bool sleeping = false;
            if (!claim(ts, r + i, sleeping)) {
                unlockNamedMutex(objs[i]);
            }
            return true;
        }
    }
    return false;
}

// Input check of MsgWaitForMultipleObjects, made by the waiting thread itself.
bool inputPending(DWORD mask) {
    const InputProbe probe = gInputProbe.load(std::memory_order_acquire);
    return probe != nullptr && probe(mask);
}

// Sleeps until the wait of `ts` is decided or its deadline passes. `poll` is set when
// named mutexes must be polled (in slices of 1 ms growing to 16 ms) or when the wait is a
// wait-all with named mutexes, which is retried whole in each slice. A mutex release may
// ask the waiter to retry (kStatusRetry): it looks at its objects again and goes on.
std::uint32_t sleepUntilDone(ThreadState* ts, Object* const* objs, std::uint32_t n,
                             std::int64_t deadline, bool pollAny, bool pollAll, DWORD inputMask) {
    std::int64_t slice = 1000000;
    bool spin = true;
    for (;;) {
        std::uint32_t cur = ts->status.load(std::memory_order_acquire);
        // Watch the status for a while first: a quick hand-off or retry request needs no
        // futex call on either side.
        for (int i = 0; spin && i < kSpinAfterQueue && cur == kStatusWaiting; ++i) {
            cpuRelax();
            cur = ts->status.load(std::memory_order_acquire);
        }
        spin = false;
        if (isDone(cur)) {
            return cur;
        }
        bool sleeping = false;
        if (cur == kStatusRetry) {
            if (retryWait(ts, objs, n)) {
                return ts->status.load(std::memory_order_acquire);
            }
            // Lost to a running owner and queued again: sleep at once (see kSpinAfterQueue).
        } else if (ts->status.compare_exchange_strong(cur, kStatusSleeping,
                                                      std::memory_order_seq_cst,
                                                      std::memory_order_acquire)) {
            // Announced as sleeping (seq_cst) before looking at the input, so that input
            // added after this check is followed by a nudge that finds us sleeping.
            if (inputMask != 0 && inputPending(inputMask) &&
                claim(ts, WAIT_OBJECT_0 + n, sleeping)) {
                return WAIT_OBJECT_0 + n;
            }
            std::int64_t wakeAt = deadline;
            if (pollAny || pollAll) {
                const std::int64_t sliceEnd = monotonicNs() + slice;
                wakeAt = deadline < 0 ? sliceEnd : std::min(deadline, sliceEnd);
                slice = std::min<std::int64_t>(slice * 2, 16000000);
            }
            {
                // The one point of a blocking wait where the thread may be suspended (it
                // leaves the wait meanwhile) or terminated (abandonWait finishes the wait).
                const StoppableSleep stoppable;
                futexWait(&ts->status, kStatusSleeping, wakeAt);
            }
            cur = ts->status.load(std::memory_order_acquire);
            if (isDone(cur)) {
                return cur;
            }
            if (cur != kStatusRetry && (pollAny || pollAll)) {
                cur = kStatusSleeping;
                ts->status.compare_exchange_strong(cur, kStatusWaiting, std::memory_order_acq_rel);
                if (pollAny && pollNamedAny(ts, objs, n)) {
                    return ts->status.load(std::memory_order_acquire);
                }
                if (pollAll && tryAllOnce(ts, objs, n)) {
                    return ts->status.load(std::memory_order_acquire);
                }
            }
        } else if (isDone(cur)) {
            return cur;
        }
        // A retry request that is still to be answered is answered first at the top.
        if (deadline >= 0 && monotonicNs() >= deadline) {
            if (claim(ts, WAIT_TIMEOUT, sleeping)) {
                return WAIT_TIMEOUT;
            }
            return ts->status.load(std::memory_order_acquire);
        }
    }
}

// Removes every queue entry of the finished wait of `ts`, and passes on the retry requests
// that it has not answered.
void cleanup(ThreadState* ts, Object* const* objs, std::uint32_t n, bool all) {
    WakeList wakes;
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* o = objs[i];
        if (o->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
            continue;
        }
        WaitEntry* e = &ts->entries[i];
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

// The blocking part of every wait; `objs` are referenced by the caller, `n` may be 0 (a
// message wait with no handles). Returns the wait result and records new ownerships.
DWORD waitBlocking(ThreadState* ts, Object* const* objs, std::uint32_t n, bool all,
                   std::int64_t deadline, DWORD inputMask) {
    bool hasNamed = false;
    ts->count = n;
    ts->waitAll = all;
    ts->firstRetry = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        WaitEntry& e = ts->entries[i];
        e.prev = e.next = nullptr;
        e.waiter = ts;
        e.object = objs[i];
        e.index = i;
        e.linked = false;
        e.woken = false;
        e.handoff = false;
        hasNamed = hasNamed || objs[i]->kind.load(std::memory_order_relaxed) == Kind::NamedMutex;
    }
    ts->status.store(kStatusWaiting, std::memory_order_seq_cst);
    std::uint32_t result;
    if (all && hasNamed) {
        result = tryAllOnce(ts, objs, n)
                     ? ts->status.load(std::memory_order_acquire)
                     : sleepUntilDone(ts, objs, n, deadline, false, true, inputMask);
    } else {
        const bool decided = all ? registerAll(ts, objs, n) : registerAny(ts, objs, n);
        result = decided ? ts->status.load(std::memory_order_acquire)
                         : sleepUntilDone(ts, objs, n, deadline, hasNamed, false, inputMask);
        cleanup(ts, objs, n, all && !decided);
    }
    if (result < WAIT_OBJECT_0 + n ||
        (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + n)) {
        if (all) {
            for (std::uint32_t i = 0; i < n; ++i) {
                recordOwnership(ts, objs[i]);
            }
        } else {
            recordOwnership(ts, objs[result & 0x7F]);
        }
    }
    return result;
}

DWORD failWith(DWORD error) {
    SetLastError(error);
    return WAIT_FAILED;
}

// Every multi-object wait. `inputMask` != 0 for MsgWaitForMultipleObjects.
DWORD waitMultiple(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds,
                   bool messages, DWORD inputMask) {
    // Never stopped while it holds references or queue entries, except in its sleep.
    const NoStopScope noStop;
    const DWORD limit = messages ? MAXIMUM_WAIT_OBJECTS - 1 : MAXIMUM_WAIT_OBJECTS;
    if ((count == 0 && !messages) || count > limit || (count != 0 && handles == nullptr)) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    Resolved rs[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        if (!resolve(handles[i], rs[i])) {
            return failWith(ERROR_INVALID_HANDLE);
        }
    }
    if (waitAll) {
        // One object twice in a wait-all can never be satisfied; Windows refuses it.
        for (DWORD i = 0; i < count; ++i) {
            for (DWORD j = i + 1; j < count; ++j) {
                if (rs[i].object == rs[j].object) {
                    return failWith(ERROR_INVALID_PARAMETER);
                }
            }
        }
    }
    const std::uint32_t tid = currentThreadId();
    if (!waitAll) {
        // Lock-free pass in index order: the lowest signalled index wins.
        for (DWORD i = 0; i < count; ++i) {
            if (rs[i].kind == Kind::NamedMutex) {
                Object* o = acquireRef(handles[i]);
                if (o == nullptr) {
                    return failWith(ERROR_INVALID_HANDLE);
                }
                const DWORD r = lockNamedMutex(o, 0);
                release(o);
                if (r != WAIT_TIMEOUT) {
                    return r == WAIT_FAILED ? r : r + i;
                }
                continue;
            }
            switch (tryTake(rs[i], tid)) {
                case Fast::Taken:
                    return WAIT_OBJECT_0 + i;
                case Fast::TakenNew:
                    noteOwned(currentThreadState(), rs[i].object, rs[i].incarnation);
                    return WAIT_OBJECT_0 + i;
                case Fast::Abandoned:
                    noteOwned(currentThreadState(), rs[i].object, rs[i].incarnation);
                    return WAIT_ABANDONED_0 + i;
                case Fast::Stale:
                    return failWith(ERROR_INVALID_HANDLE);
                case Fast::NotSignalled:
                    break;
            }
        }
        if (messages && inputPending(inputMask)) {
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
    ThreadState* ts = currentThreadState();
    DWORD result;
    if (waitAll && milliseconds == 0) {
        ts->count = count;
        ts->waitAll = true;
        for (DWORD i = 0; i < count; ++i) {
            ts->entries[i].object = objs[i];
        }
        ts->status.store(kStatusWaiting, std::memory_order_relaxed);
        result =
            tryAllOnce(ts, objs, count) ? ts->status.load(std::memory_order_relaxed) : WAIT_TIMEOUT;
        if (result != WAIT_TIMEOUT) {
            for (DWORD i = 0; i < count; ++i) {
                recordOwnership(ts, objs[i]);
            }
        }
    } else {
        result = waitBlocking(ts, objs, count, waitAll, deadline, messages ? inputMask : 0);
    }
    for (DWORD i = 0; i < count; ++i) {
        release(objs[i]);
    }
    return result;
}

// Resolves a handle for a signal-type call on an object of the given kinds.
bool resolveKind(HANDLE handle, Resolved& r, Kind a, Kind b = Kind::Free) {
    if (!resolve(handle, r) || (r.kind != a && (b == Kind::Free || r.kind != b))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

}  // namespace

// ---- Shared with the rest of the layer ----

std::uint32_t currentThreadId() {
    if (tlsTid == 0) {
        // Registered before any id is cached, so that a forked child never keeps its
        // parent's id.
        static const int forkHook = pthread_atfork(nullptr, nullptr, &afterForkInChild);
        (void)forkHook;
        tlsTid = static_cast<std::uint32_t>(syscall(SYS_gettid));
    }
    return tlsTid;
}

ThreadState* currentThreadState() {
    ThreadState* ts = tlsState;
    return ts != nullptr ? ts : createThreadState();
}

void abandonOwnedMutexes(ThreadState* ts) {
    while (!ts->owned.empty()) {
        const OwnedMutex m = ts->owned.pop();
        if (!tryAddRef(m.object, m.incarnation)) {
            continue;  // destroyed while owned
        }
        Object* o = m.object;
        WakeList wakes;
        std::uint64_t s = 0;
        const bool haveAllLock = lockForSignal(o, s);
        if (o->kind.load(std::memory_order_relaxed) == Kind::Mutex && ownerOf(s) == ts->tid) {
            s = (s & ~word::kOwner) | word::kAbandoned;
            o->recursion = 0;
            satisfyWaiters(o, s, haveAllLock, wakes);
        }
        unlockAfterSignal(o, s, haveAllLock, wakes);
        release(o);
    }
}

bool withdrawWait(ThreadState* ts) {
    std::uint32_t cur = ts->status.load(std::memory_order_acquire);
    while (!isDone(cur)) {
        if (ts->status.compare_exchange_weak(cur, kStatusSuspended, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
            if (cur == kStatusRetry) {
                // Asked to retry a mutex: while we are stopped, another waiter must be.
                // The entries stay off those queues until rejoinWait queues them again.
                WakeList wakes;
                for (std::uint32_t i = 0; i < ts->count; ++i) {
                    Object* o = ts->entries[i].object;
                    if (o->kind.load(std::memory_order_relaxed) == Kind::Mutex) {
                        std::uint64_t s = lockObject(o);
                        passOnWake(o, s, &ts->entries[i], wakes);
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

void rejoinWait(ThreadState* ts) {
    const NoStopScope noStop;  // holds object locks
    // Only this thread changes a suspended status, so the exchange cannot fail.
    ts->status.store(kStatusWaiting, std::memory_order_seq_cst);
    const std::uint32_t n = ts->count;
    Object* objs[MAXIMUM_WAIT_OBJECTS];
    bool hasNamed = false;
    for (std::uint32_t i = 0; i < n; ++i) {
        objs[i] = ts->entries[i].object;
        hasNamed = hasNamed || objs[i]->kind.load(std::memory_order_relaxed) == Kind::NamedMutex;
    }
    if (hasNamed && ts->waitAll) {
        return;  // retried whole by the sleep loop in each slice anyway
    }
    if (ts->waitAll) {
        std::uint64_t states[MAXIMUM_WAIT_OBJECTS];
        gAllLock.lock();
        for (std::uint32_t i = 0; i < n; ++i) {
            states[i] = lockObject(objs[i]);
        }
        bool sleeping = false;
        takeAllFor(ts, states, nullptr, sleeping);  // entries stay linked until cleanup()
        for (std::uint32_t i = 0; i < n; ++i) {
            unlockObject(objs[i], states[i]);
        }
        gAllLock.unlock();
        return;
    }
    // Wait-any, in index order as at registration (named mutexes are polled by the loop);
    // entries that a mutex release took off while we were stopped are queued again.
    registerAgain(ts, objs, n, false);
}

void abandonWait(ThreadState* ts) {
    // The thread was terminated in the sleep of waitBlocking: everything before the sleep
    // was done, nothing after it. Finish as waitBlocking would, with a failure unless a
    // signaller had already satisfied the wait.
    const std::uint32_t n = ts->count;
    Object* objs[MAXIMUM_WAIT_OBJECTS];
    bool hasNamed = false;
    for (std::uint32_t i = 0; i < n; ++i) {
        objs[i] = ts->entries[i].object;
        hasNamed = hasNamed || objs[i]->kind.load(std::memory_order_relaxed) == Kind::NamedMutex;
    }
    bool sleeping = false;
    claim(ts, WAIT_FAILED, sleeping);
    const std::uint32_t result = ts->status.load(std::memory_order_acquire);
    if (!(ts->waitAll && hasNamed)) {
        cleanup(ts, objs, n, ts->waitAll);  // a wait-all that reached its sleep was queued
    }
    if (result < WAIT_OBJECT_0 + n ||
        (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + n)) {
        if (ts->waitAll) {
            for (std::uint32_t i = 0; i < n; ++i) {
                recordOwnership(ts, objs[i]);
            }
        } else {
            recordOwnership(ts, objs[result & 0x7F]);
        }
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        release(objs[i]);  // the references of WaitForSingleObject / waitMultiple
    }
}

void signalForever(Object* o) {
    WakeList wakes;
    std::uint64_t s = 0;
    const bool haveAllLock = lockForSignal(o, s);
    s |= word::kSignalled;
    satisfyWaiters(o, s, haveAllLock, wakes);
    unlockAfterSignal(o, s, haveAllLock, wakes);
}

DWORD waitObjectsOrInput(DWORD count, const HANDLE* handles, DWORD milliseconds, DWORD wakeMask) {
    return waitMultiple(count, handles, false, milliseconds, true, wakeMask);
}

void setInputProbe(InputProbe probe) { gInputProbe.store(probe, std::memory_order_release); }

void notifyInput(ThreadState* thread) {
    // Turn "sleeping" back into "waiting" so that a futex wait that has not started yet
    // returns at once, then wake: the waiter runs its input probe again. The queue publishes
    // its input with a seq_cst operation before calling us, and the waiter announces
    // "sleeping" with a seq_cst CAS before probing: one of the two sees the other.
    std::uint32_t cur = kStatusSleeping;
    if (thread->status.compare_exchange_strong(cur, kStatusWaiting, std::memory_order_seq_cst)) {
        futexWake(&thread->status);
    }
}

}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;

namespace {

// A handle that takes over the creation reference of `o`. Null, with ERROR_NOT_ENOUGH_MEMORY,
// when the object (o null) or its handle could not be had; the object is then released.
HANDLE publish(Object* o) {
    HANDLE h = o != nullptr ? newHandle(o) : nullptr;
    if (h == nullptr) {
        if (o != nullptr) {
            release(o);
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return h;
}

// The slow paths are kept out of line, so that the uncontended calls stay small.

// ReleaseMutex by the owner, with waiters queued or the lock bit busy: frees the mutex
// under the lock and wakes a waiter.
__attribute__((noinline)) BOOL releaseMutexSlowly(Object* o, std::uint32_t incarnation) {
    const NoStopScope noStop;  // a release is never left half done
    if (!tryAddRef(o, incarnation)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    WakeList wakes;
    std::uint64_t s = 0;
    const bool haveAllLock = lockForSignal(o, s);
    o->recursion = 0;
    s &= ~word::kOwner;
    satisfyWaiters(o, s, haveAllLock, wakes);
    unlockAfterSignal(o, s, haveAllLock, wakes);
    forgetOwned(currentThreadState(), o);
    release(o);
    return TRUE;
}

// SetEvent with waiters queued or the lock bit busy: sets the event under the lock and
// hands it to the waiters.
__attribute__((noinline)) BOOL setEventSlowly(Object* o, std::uint32_t incarnation) {
    const NoStopScope noStop;  // a hand-off is never left half done
    if (!tryAddRef(o, incarnation)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    WakeList wakes;
    std::uint64_t s = 0;
    const bool haveAllLock = lockForSignal(o, s);
    s |= word::kSignalled;
    satisfyWaiters(o, s, haveAllLock, wakes);
    unlockAfterSignal(o, s, haveAllLock, wakes);
    release(o);
    return TRUE;
}

// WaitForSingleObject on a named mutex.
__attribute__((noinline)) DWORD waitNamedMutex(const Resolved& r, DWORD milliseconds) {
    if (word::incarnation(r.object->state.load(std::memory_order_acquire)) != r.incarnation) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    // A try-lock needs no reference; a blocking lock holds one, so that closing the
    // handle meanwhile cannot unmap the mutex under the waiter.
    DWORD result = lockNamedMutex(r.object, 0);
    if (result != WAIT_TIMEOUT || milliseconds == 0) {
        return result;
    }
    if (!tryAddRef(r.object, r.incarnation)) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    result = lockNamedMutex(r.object, deadlineAfter(milliseconds));
    release(r.object);
    return result;
}

// WaitForSingleObject past its first attempt, inside its NoStopScope: an event or a
// semaphore is tried a while longer (a mutex is not: see kSpinBeforeQueue), then the
// thread blocks.
__attribute__((noinline)) DWORD waitSlowly(const Resolved& r, std::uint32_t tid,
                                           DWORD milliseconds) {
    Fast f = Fast::NotSignalled;
    if (r.kind != Kind::Mutex) {
        for (int i = 0; i < kSpinBeforeQueue && f == Fast::NotSignalled; ++i) {
            cpuRelax();
            f = tryTake(r, tid);
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
    const DWORD result =
        waitBlocking(currentThreadState(), objs, 1, false, deadlineAfter(milliseconds), 0);
    release(r.object);
    return result;
}

}  // namespace

DWORD GetCurrentThreadId() { return currentThreadId(); }

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL initialOwner, LPCWSTR name) {
    const NoStopScope noStop;
    if (name != nullptr && *name != L'\0') {
        return createNamedMutex(initialOwner, name, false);
    }
    const std::uint32_t tid = currentThreadId();
    Object* o = newObject(Kind::Mutex, initialOwner ? tid : 0);
    HANDLE h = publish(o);
    if (h == nullptr) {
        return nullptr;
    }
    if (initialOwner) {
        o->recursion = 1;
        noteOwned(currentThreadState(), o,
                  word::incarnation(o->state.load(std::memory_order_relaxed)));
    }
    return h;
}

HANDLE OpenMutexW(DWORD /*desiredAccess*/, BOOL /*inheritHandle*/, LPCWSTR name) {
    const NoStopScope noStop;
    if (name == nullptr || *name == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return createNamedMutex(FALSE, name, true);
}

BOOL ReleaseMutex(HANDLE mutex) {
    Resolved r;
    if (!resolveKind(mutex, r, Kind::Mutex, Kind::NamedMutex)) {
        return FALSE;
    }
    if (r.kind == Kind::NamedMutex) {
        // Unlocking never blocks, so no reference is needed: the handle's incarnation is
        // checked after `named` could have been read.
        if (word::incarnation(r.object->state.load(std::memory_order_acquire)) != r.incarnation) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return unlockNamedMutex(r.object);
    }
    Object* o = r.object;
    const std::uint32_t tid = currentThreadId();
    std::uint64_t s = o->state.load(std::memory_order_acquire);
    for (;;) {
        if (word::incarnation(s) != r.incarnation) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (ownerOf(s) != tid) {
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
            forgetOwned(currentThreadState(), o);
            return TRUE;
        }
    }
    return releaseMutexSlowly(o, r.incarnation);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
    const NoStopScope noStop;
    if (name != nullptr && *name != L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);  // named events are not supported
        return nullptr;
    }
    Object* o = newObject(manualReset ? Kind::ManualEvent : Kind::AutoEvent,
                          initialState ? word::kSignalled : 0);
    return publish(o);
}

BOOL SetEvent(HANDLE event) {
    Resolved r;
    if (!resolveKind(event, r, Kind::ManualEvent, Kind::AutoEvent)) {
        return FALSE;
    }
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
    return setEventSlowly(o, r.incarnation);
}

BOOL ResetEvent(HANDLE event) {
    Resolved r;
    if (!resolveKind(event, r, Kind::ManualEvent, Kind::AutoEvent)) {
        return FALSE;
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
        SetLastError(ERROR_INVALID_PARAMETER);  // named semaphores are not supported
        return nullptr;
    }
    Object* o = newObject(Kind::Semaphore, static_cast<std::uint64_t>(initialCount));
    if (o == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    o->maximum = maximumCount;  // set before any handle can reach the object
    return publish(o);
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount) {
    if (releaseCount <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Resolved r;
    if (!resolveKind(semaphore, r, Kind::Semaphore)) {
        return FALSE;
    }
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
        const std::uint64_t count = s & kCountMask;
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
    const NoStopScope noStop;  // a hand-off is never left half done
    if (!tryAddRef(o, r.incarnation)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    WakeList wakes;
    const bool haveAllLock = lockForSignal(o, s);
    const std::uint64_t count = s & kCountMask;
    const bool fits = count + add <= static_cast<std::uint64_t>(o->maximum);
    if (fits) {
        s += add;
        satisfyWaiters(o, s, haveAllLock, wakes);
    }
    unlockAfterSignal(o, s, haveAllLock, wakes);
    release(o);
    if (!fits) {
        SetLastError(ERROR_TOO_MANY_POSTS);
        return FALSE;
    }
    if (previousCount != nullptr) {
        *previousCount = static_cast<LONG>(count);
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    Resolved r;
    if (!resolve(object, r)) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    if (r.kind == Kind::NamedMutex) {
        return waitNamedMutex(r, milliseconds);
    }
    // Not stopped between taking a mutex and listing it as owned (a terminated thread would
    // keep it for ever), nor while it holds a reference; only in the sleep of waitBlocking.
    const NoStopScope noStop;
    const std::uint32_t tid = currentThreadId();
    switch (tryTake(r, tid)) {
        case Fast::Taken:
            return WAIT_OBJECT_0;
        case Fast::TakenNew:
            noteOwned(currentThreadState(), r.object, r.incarnation);
            return WAIT_OBJECT_0;
        case Fast::Abandoned:
            noteOwned(currentThreadState(), r.object, r.incarnation);
            return WAIT_ABANDONED;
        case Fast::Stale:
            return failWith(ERROR_INVALID_HANDLE);
        case Fast::NotSignalled:
            break;
    }
    return milliseconds == 0 ? WAIT_TIMEOUT : waitSlowly(r, tid, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    return waitMultiple(count, handles, waitAll != FALSE, milliseconds, false, 0);
}

}  // namespace davro::win32
