// The thread pool's parts that its four files share (ThreadPool.cpp: pools and callbacks;
// PoolCallbacks.cpp: cleanup groups and a callback's requests for its return; PoolTimers.cpp: the
// timer threads, pool timers and timer queues; PoolWaits.cpp: the wait threads, pool waits and
// registered waits). DESIGN.md, "Thread pool and timer queues", says how they fit together.
#pragma once

#include <davro/platform/Win32.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <thread>
#include <vector>

namespace davro::win32 {
struct TP_CALLBACK_INSTANCE {};  // the type of the instance pointers; never made
}  // namespace davro::win32

namespace davro::win32::detail::pool {

// An exclusive hold of an SRW lock for a scope.
class Hold {
public:
    explicit Hold(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Hold() { ReleaseSRWLockExclusive(&lock_); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    SRWLOCK& lock_;
};

// The layer's clock in microseconds: monotonic, N times faster under DAVRO_TIME_SCALE, so
// that due times agree with the layer's time-outs.
std::int64_t nowUs();
// The microseconds until a due time given as Win32 gives them to the pool calls: negative
// relative in 100 ns units, positive an absolute UTC FILETIME (on the layer's clock), 0 now.
// Never negative.
std::int64_t delayUs(const FILETIME& due);
// The time on that clock `delayUs` from now, the latest time it can hold when that is too far.
std::int64_t dueUs(std::int64_t delayUs);
// A sleep of `us` microseconds as the millisecond time-out of a layer wait, rounded up so that
// a sleep never ends early.
DWORD timeoutMs(std::int64_t us);

struct Pool;
struct Group;

// What an item calls: one kind per Win32 object or call that queues callbacks.
enum class Kind : std::uint8_t {
    kWork,            // TP_WORK: PTP_WORK_CALLBACK
    kTimer,           // TP_TIMER: PTP_TIMER_CALLBACK
    kWait,            // TP_WAIT: PTP_WAIT_CALLBACK with the wait's result
    kSimple,          // TrySubmitThreadpoolCallback: PTP_SIMPLE_CALLBACK, freed after its run
    kUserWorkItem,    // QueueUserWorkItem: LPTHREAD_START_ROUTINE, freed after its run
    kRegisteredWait,  // RegisterWaitForSingleObject: WAITORTIMERCALLBACK, TRUE on a time-out
    kQueueTimer,      // CreateTimerQueueTimer: WAITORTIMERCALLBACK, always TRUE
};

// Set when a deleted object's last callback has returned: one count per object, the event
// set (and the record freed) by the last.
struct Completion {
    std::atomic<int> remaining;
    HANDLE event;
};
void completeOne(Completion* completion);
// Makes the completion record of a delete that sets `event` when `count` parts are done; none
// for a NULL event. False, with ERROR_NOT_ENOUGH_MEMORY, when there is no memory for it.
bool makeCompletion(HANDLE event, int count, Completion*& made);

// One object whose callbacks the pool runs. Counts and queue links are guarded by the pool's
// lock. A callback is `pending` from its submission until a thread takes it, then `running`
// until it has returned and its instance actions are done.
//
// References: the creator's (dropped by Close*, Unregister*, Delete*), one while any callback
// is pending or running, one while a timer thread or a wait thread holds the object. The
// last one frees it and lets the pool go.
struct Item {
    Item(Kind itemKind, Pool* owner, void* function, void* argument, bool runsLong);
    virtual ~Item();
    Item(const Item&) = delete;
    Item& operator=(const Item&) = delete;

    void addRef() { refs.fetch_add(1, std::memory_order_relaxed); }
    void release();
    // Called by runInline once the run is counted as running, before the callback: the timer
    // or wait thread that runs it marks its firing done there, so that a stop that waits for
    // the firing does not wait for the callback too.
    virtual void startedInline() {}

    const Kind kind;
    Pool* const pool;
    void* const callback;
    void* const context;
    const bool longFunction;

    // Cleanup group membership (the group's lock).
    Group* group = nullptr;
    PTP_CLEANUP_GROUP_CANCEL_CALLBACK cancelCallback = nullptr;
    Item* groupPrev = nullptr;
    Item* groupNext = nullptr;
    bool inGroup = false;

    // The pool's lock.
    Item* prev = nullptr;
    Item* next = nullptr;
    bool queued = false;
    unsigned pending = 0;
    unsigned running = 0;
    unsigned waiters = 0;  // threads in a wait for this object's callbacks
    // kWait, kRegisteredWait: one per pending callback, oldest first (a vector: unlike a
    // deque it takes no memory while empty, so making an item needs one allocation only).
    std::vector<DWORD> results;
    Completion* completion = nullptr;  // deleted: counted down when idle

    std::atomic<int> refs{1};
};

// Queues one callback of `item` (with the wait result of kWait and kRegisteredWait).
void submit(Item* item, DWORD result = 0);
// Runs one callback of `item` on the calling thread (a timer or wait thread), counted as
// running like one that a pool thread runs; calls item->startedInline() once it is counted.
void runInline(Item* item, DWORD result = 0);
// Drops the callbacks of `item` that have not started; returns how many.
unsigned cancelPending(Item* item);
// Waits until `item` has no callback pending or running (its own callback, when the caller
// is it, excepted).
void waitIdle(Item* item);
// Arranges for `completion` to be counted down when `item` has no callback pending or
// running, at once if it has none. Returns whether any was.
bool completeWhenIdle(Item* item, Completion* completion);
// The pool of an environment: its own, or the default pool.
Pool* poolOf(PTP_CALLBACK_ENVIRON environment);
// Whether the environment says its callbacks run long (SetThreadpoolCallbackRunsLong).
inline bool longFunction(PTP_CALLBACK_ENVIRON environment) {
    return environment != nullptr && environment->u.s.LongFunction != 0;
}
Pool* defaultPool();
// Enters `item` into the environment's cleanup group, if it names one.
void joinGroup(Item* item, PTP_CALLBACK_ENVIRON environment);
// Takes `item` out of its cleanup group, if it is in one.
void leaveGroup(Item* item);
// Whether the calling thread is running a callback of `item` now.
bool runningOnThisThread(const Item* item);

// ---- Timer threads (PoolTimers.cpp) ----

// Something a timer thread calls at a due time, once, or every `periodUs`. While it is set,
// and while it fires, the thread holds it through held()/released() (a reference, for items);
// an entry that is not `counted` must outlive its setting and firing in another way (a pool
// cancels its entry before it goes).
struct TimerEntry {
    explicit TimerEntry(bool isCounted) : counted(isCounted) {}
    virtual ~TimerEntry() = default;
    TimerEntry(const TimerEntry&) = delete;
    TimerEntry& operator=(const TimerEntry&) = delete;
    // Called on the timer thread with no lock held.
    virtual void fire() = 0;
    virtual void held() {}
    virtual void released() {}

    const bool counted;
    // The timer thread's lock.
    std::multimap<std::int64_t, TimerEntry*>::iterator place;
    bool armed = false;
    bool firing = false;
    bool firedOnce = false;
    std::int64_t periodUs = 0;
};

// One thread that sleeps until the earliest due time of its entries and fires them.
class TimerThread {
public:
    TimerThread() = default;
    TimerThread(const TimerThread&) = delete;
    TimerThread& operator=(const TimerThread&) = delete;

    // Sets `entry` to fire `delayUs` from now and then every `periodMs` (0: once), replacing
    // a previous setting; with `unlessSpent`, an entry that fired and is no longer set stays
    // as it is. Returns false, the entry unchanged, when the thread cannot be started or there
    // is no memory for an entry not set yet (setting a set entry again needs none).
    bool set(TimerEntry* entry, std::int64_t delayUs, DWORD periodMs, bool unlessSpent = false);
    // Takes `entry` off and, unless called from this thread, waits until a firing of it that
    // is under way has returned (or said it is done with firedInline). Returns whether it was
    // set.
    bool cancel(TimerEntry* entry);
    // Called by an entry's fire() that runs a callback on this thread, once that callback is
    // counted as running: the firing is done for cancel, which then need not wait for it.
    void firedInline(TimerEntry* entry);
    bool onThisThread() const;
    // References besides the owner's: one per entry that may still call cancel, set or
    // firedInline, so that this object outlives them.
    void addRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release();
    // Drops the owner's reference and ends the thread once it has nothing left (every entry
    // cancelled). With `join`, and not called from the thread itself, waits for its end.
    void retire(bool join);

private:
    void run();

    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE fired_ = CONDITION_VARIABLE_INIT;
    std::multimap<std::int64_t, TimerEntry*> due_;
    bool started_ = false;
    bool retired_ = false;
    std::atomic<int> refs_{1};  // the owner's and the running thread's, besides addRef's
    std::atomic<DWORD> threadId_{0};
    std::thread thread_;
};

// The thread of the pool timers and of the pools' starvation checks.
TimerThread& poolTimerThread();

// What a running callback asked for with the *WhenCallbackReturns calls.
struct Instance : TP_CALLBACK_INSTANCE {
    Item* item = nullptr;
    HANDLE event = nullptr;
    HANDLE mutex = nullptr;
    HANDLE semaphore = nullptr;
    DWORD semaphoreCount = 0;
    PCRITICAL_SECTION section = nullptr;
    bool runsLong = false;
    Instance* outer = nullptr;  // the callback that this one runs inside (inline runs)
};

}  // namespace davro::win32::detail::pool
