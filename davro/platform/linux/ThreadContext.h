// The per-thread context: everything the layer keeps for one thread, in one place, with one
// teardown.
//
// A context holds the thread's id, its wait state (the futex word that signallers claim and
// one queue link per object of a wait), the in-process and named mutexes it owns, its thread
// record and message queue, and its flag for the fork gate. Contexts are pooled and never
// freed, so a late wake-up or claim aimed at a thread that has gone lands on valid memory
// and is at worst spurious. DESIGN.md, "Threads", gives the teardown order and the fork
// rules.
#pragma once

#include <davro/platform/Win32.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "Check.h"
#include "Fence.h"
#include "Object.h"

namespace davro::win32::detail {

// ---- Wait status: the futex word of a thread's current wait ----

inline constexpr std::uint32_t kStatusWaiting = 0xFFFFFFF0U;   // registered, maybe spinning
inline constexpr std::uint32_t kStatusSleeping = 0xFFFFFFF1U;  // in futex wait: wake needed
// Stopped by SuspendThread in its sleep: taken out of the wait, so no signaller can hand
// it anything until it is resumed and rejoins (withdrawWait / rejoinWait).
inline constexpr std::uint32_t kStatusSuspended = 0xFFFFFFF2U;
// Still waiting, but a release has freed a mutex and taken this waiter off that mutex's
// queue (WaitEntry::woken): the waiter must look at the mutex again, taking it or queueing
// anew, or pass the wake on if its wait ends otherwise. Claimable like kStatusWaiting.
inline constexpr std::uint32_t kStatusRetry = 0xFFFFFFF3U;

// Decided (a result), or suspended (unclaimable until it rejoins).
inline bool isDone(std::uint32_t status) {
    return status != kStatusWaiting && status != kStatusSleeping && status != kStatusRetry;
}

struct ThreadContext;
struct Queue;
struct RobustHead;

// One queue link per object of a wait.
struct WaitEntry {
    WaitEntry* prev = nullptr;
    WaitEntry* next = nullptr;
    ThreadContext* waiter = nullptr;
    Object* object = nullptr;
    std::uint32_t index = 0;
    // Guarded by the object's lock bit.
    bool linked = false;
    bool woken = false;    // unlinked by a mutex release that asked the waiter to retry
    bool handoff = false;  // the waiter has retried too long: the next release hands over
};

// A growable array for the short per-thread lists (owned mutexes). Only its thread touches
// it, except in a forked child, where the one thread left cleans up after the others.
// Allocation failure is reported, never thrown: reserve() before taking what must be listed.
template <typename T, std::uint32_t kInline>
class SmallList {
public:
    SmallList() = default;
    SmallList(const SmallList&) = delete;
    SmallList& operator=(const SmallList&) = delete;
    ~SmallList() {
        if (items_ != inline_) {
            delete[] items_;
        }
    }
    // Room for `more` pushes; false when memory is short.
    bool reserve(std::uint32_t more) { return count_ + more <= capacity_ || grow(count_ + more); }
    bool hasRoom() const { return count_ < capacity_; }
    // Appends; the room must have been reserved.
    void push(const T& item) {
        DAVRO_ASSERT(count_ < capacity_, "SmallList: push without reserve");
        items_[count_++] = item;
    }
    // Removes the last item that `match` accepts (the last taken is usually the first given
    // back); false if none does.
    template <typename Match>
    bool removeLast(Match match) {
        for (std::uint32_t i = count_; i-- > 0;) {
            if (match(items_[i])) {
                items_[i] = items_[--count_];
                return true;
            }
        }
        return false;
    }
    template <typename Match>
    T* findLast(Match match) {
        for (std::uint32_t i = count_; i-- > 0;) {
            if (match(items_[i])) {
                return &items_[i];
            }
        }
        return nullptr;
    }
    // The last item, which must exist.
    T& back() { return items_[count_ - 1]; }
    bool empty() const { return count_ == 0; }
    std::uint32_t size() const { return count_; }
    T& operator[](std::uint32_t i) { return items_[i]; }
    T pop() { return items_[--count_]; }
    void clear() { count_ = 0; }

private:
    bool grow(std::uint32_t needed) {
        std::uint32_t capacity = capacity_ * 2;
        while (capacity < needed) {
            capacity *= 2;
        }
        T* bigger = new (std::nothrow) T[capacity];
        if (bigger == nullptr) {
            return false;
        }
        for (std::uint32_t i = 0; i < count_; ++i) {
            bigger[i] = items_[i];
        }
        if (items_ != inline_) {
            delete[] items_;
        }
        items_ = bigger;
        capacity_ = capacity;
        return true;
    }

    T inline_[kInline] = {};
    T* items_ = inline_;
    std::uint32_t count_ = 0;
    std::uint32_t capacity_ = kInline;
};

// An owned named mutex and how often the thread has taken it (NamedObject.cpp).
struct OwnedNamedMutex {
    NamedShared* shared;
    std::uint32_t depth;
};

// What the thread is blocked on right now, kept for GetThreadWaitChain (WaitChain.h has the
// rules). Written only by the thread itself, in the slow paths of its waits; read by other
// threads as a seqlock, without a lock.
struct WaitNote {
    std::atomic<std::uint32_t> seq{0};      // odd while the note changes
    std::atomic<std::uint32_t> peekers{0};  // readers following the note to what it names
    std::atomic<std::uint32_t> tid{0};      // the thread's id while the context is in use
    std::atomic<std::uint32_t> kind{0};     // NoteKind (WaitChain.h)
    std::atomic<std::uint32_t> count{0};    // objects of the wait
    std::atomic<std::uint32_t> all{0};      // a wait-all
    std::atomic<std::uintptr_t> target{0};  // a critical section's address, a receiver's id
    std::atomic<std::int64_t> since{0};     // monotonic ns at the start of the wait
    std::atomic<Object*> objects[MAXIMUM_WAIT_OBJECTS] = {};
};

// ---- The parts of the context that belong to other modules ----
//
// Each module that keeps something per thread has its part here, by value, so that its hot
// paths reach it through the one context pointer; its thread-end and fork steps are in the
// list in ThreadContext.cpp (kThreadSteps).

// Adaptive spinning (Spinning.cpp): how long this thread watches its status before it
// sleeps, in ns, grown while spinning pays and shrunk while it does not; how long its last
// wait that slept took, when a spin could have covered it (0 otherwise); the waits to go
// until it probes, and the gap between probes.
struct SpinState {
    std::uint32_t budgetNs = 0;
    std::uint32_t sleptNs = 0;
    std::uint32_t probeIn = 0;
    std::uint32_t probeGap = 0;
    bool singleProcessor = false;  // bound to one processor: never spins
    bool spun = false;             // the current wait spun (or polled a mutex)
    bool slept = false;            // the current wait went to sleep
};

// Named mutexes (NamedObject.cpp, NamedRegistry.cpp): the ones the thread owns; its robust
// list, which they join (RobustList.h; null when the C library's calls lock them), looked up
// by its first named-mutex call; and the record it is using right now, which is never
// unmapped while some thread has it as its hazard.
struct NamedState {
    SmallList<OwnedNamedMutex, 4> owned;
    RobustHead* robustHead = nullptr;
    bool robustKnown = false;
    std::atomic<NamedShared*> hazard{nullptr};
};

// The context: the wait engine's own fields first (WaitEngine.cpp), then the other modules'
// parts, then the context's own bookkeeping.
struct ThreadContext {
    // The futex word of the current wait: kStatusWaiting/kStatusSleeping while waiting,
    // otherwise the wait's result, written by whoever satisfied it.
    std::atomic<std::uint32_t> status{0};
    std::uint32_t tid = 0;
    std::uint32_t count = 0;  // objects of the blocking wait in progress (references held)
    bool waitAll = false;
    bool hintsRaised = false;     // the wait-all registration raised the objects' allHint
    std::int64_t firstRetry = 0;  // monotonic ns of the current wait's first retry, 0: none
    // The wait in progress is alertable: queued APCs end it with WAIT_IO_COMPLETION, and the
    // thread's own timers with completion routines bound its sleep (Apc.h).
    bool alertable = false;
    bool lowSlack = false;  // the thread's timer slack has been lowered for timer waits
    // MsgWaitForMultipleObjects: the wake mask while in such a wait, 0 otherwise.
    std::atomic<DWORD> inputMask{0};
    WaitEntry entries[MAXIMUM_WAIT_OBJECTS];

    SpinState spin;
    // In-process mutexes (KernelObjects.cpp): how many the thread owns, raised before a mutex
    // is taken and lowered after it is given back, so that it is never below the truth, even
    // for a thread stopped in between. Only a thread that ends with a count above 0 searches
    // the pool for its mutexes to abandon them: no list to keep on the fast paths.
    std::uint32_t ownedMutexes = 0;
    NamedState named;
    ThreadRecord* record = nullptr;  // its handle record, once it has one (Threads.cpp)
    Queue* queue = nullptr;          // its message queue, once it has one (MessageQueue.cpp)

    // Fork gate (see enterGate): set while the thread holds any of the layer's spin locks.
    std::atomic<std::uint32_t> inGate{0};
    std::uint32_t gateDepth = 0;

    // Registry: every context ever made (for fork and diagnostics) and the free ones.
    std::atomic<bool> live{false};
    ThreadContext* nextAll = nullptr;
    ThreadContext* nextFree = nullptr;

    // Last, away from the fields of the wait itself: read only by wait chain traversal.
    WaitNote note;
};

extern __thread ThreadContext* tlsContext __attribute__((tls_model("initial-exec")));
extern __thread std::uint32_t tlsTid __attribute__((tls_model("initial-exec")));

// The calling thread's id (gettid(), cached; renewed in a forked child).
std::uint32_t cacheThreadId();
inline std::uint32_t currentThreadId() {
    const std::uint32_t tid = tlsTid;
    return tid != 0 ? tid : cacheThreadId();
}

// The calling thread's context, made on first use; null only when memory is short (the
// caller fails with ERROR_NOT_ENOUGH_MEMORY). Its teardown runs when the thread ends.
ThreadContext* createContext();
// The two halves of createContext, for a context that a creating thread gets ready for a new
// thread (so that _beginthreadex fails cleanly when memory is short): allocateContext (null
// when memory is short) on any thread, installContext on the thread that it is for.
// discardContext gives back one that was never installed.
ThreadContext* allocateContext();
void installContext(ThreadContext* context);
void discardContext(ThreadContext* context);
inline ThreadContext* currentContext() {
    ThreadContext* c = tlsContext;
    return c != nullptr ? c : createContext();
}

// The end of a thread, on the thread itself, in this order: no stop can reach it any more;
// its in-process mutexes are abandoned, then its named mutexes; messages sent to it and
// still unanswered get 0, what it was sending is dropped, its queue and windows go; its
// handle gets `exitCode` and is signalled (so a waiter on the handle finds everything above
// done); the context goes back to the pool. Runs for threads of _beginthreadex at their
// end and, through a thread-specific-data destructor, for every other thread.
void endThread(ThreadContext* context, DWORD exitCode);

// Calls `visit` for every context in use by a thread (diagnostics). Contexts are never
// freed, so the pointers stay valid; their contents may be changing.
template <typename Visit>
void forEachContext(Visit visit);

// ---- The fork gate ----
//
// fork() copies memory but only the calling thread. A spin lock that another thread holds
// at that instant would stay locked in the child for ever, and what it guards half changed.
// So every spin lock of the layer is held inside the gate: the thread's `inGate` flag is
// set while it holds any, and the at-fork handler closes the gate (new entrants wait) and
// waits until no other thread is inside before the process forks. No thread ever sleeps or
// takes a sleeping lock inside the gate, the allocator's included (records are allocated
// before a spin lock is taken and freed after it is left; DESIGN.md names the one exception,
// the object pool's growth), so the handler's wait always ends.

extern std::atomic<std::uint32_t> gForkPending;
void waitForFork(ThreadContext* context);
ThreadContext* allContexts();

inline void enterGate() {
    ThreadContext* c = currentContext();  // null when memory is short: ungated
    if (c != nullptr && c->gateDepth++ == 0) {
        c->inGate.store(1, std::memory_order_relaxed);
        lightFence();  // the at-fork handler's heavy fence pairs with it
        if (gForkPending.load(std::memory_order_relaxed) != 0) {
            waitForFork(c);
        }
    }
}

inline void leaveGate() {
    ThreadContext* c = tlsContext;
    if (c != nullptr && c->gateDepth != 0 && --c->gateDepth == 0) {
        c->inGate.store(0, std::memory_order_release);
    }
}

inline bool insideGate() {
    const ThreadContext* c = tlsContext;
    return c != nullptr && c->gateDepth != 0;
}

template <typename Visit>
void forEachContext(Visit visit) {
    for (ThreadContext* c = allContexts(); c != nullptr; c = c->nextAll) {
        if (c->live.load(std::memory_order_acquire)) {
            visit(c);
        }
    }
}

}  // namespace davro::win32::detail
