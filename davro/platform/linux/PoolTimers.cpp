// Timer threads, the pool's timer objects and timer queues. A timer thread keeps its set
// entries ordered by due time and sleeps on a condition variable until the earliest, so one
// thread serves any number of timers; the layer's condition-variable time-outs and clock are
// both scaled by DAVRO_TIME_SCALE, so timers are too.
#include <davro/platform/Environment.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "Check.h"
#include "Futex.h"
#include "ThreadPool.h"

namespace davro::win32 {
namespace detail::pool {

std::int64_t nowUs() {
    return monotonicNs() / 1000 * static_cast<std::int64_t>(davro::platform::timeScale());
}

std::int64_t delayUs(const FILETIME& due) {
    const std::uint64_t bits =
        (static_cast<std::uint64_t>(due.dwHighDateTime) << 32) | due.dwLowDateTime;
    const auto ticks = static_cast<std::int64_t>(bits);
    if (ticks < 0) {
        return static_cast<std::int64_t>((0 - bits) / 10);  // the most negative one too
    }
    if (ticks == 0) {
        return 0;
    }
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const auto current = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    return ticks > current ? (ticks - current) / 10 : 0;
}

std::int64_t dueUs(std::int64_t delayUs) {
    const std::int64_t now = nowUs();
    return delayUs > INT64_MAX - now ? INT64_MAX : now + delayUs;
}

DWORD timeoutMs(std::int64_t us) {
    if (us <= 0) {
        return 0;
    }
    const std::int64_t ms = (us + 999) / 1000;
    return ms >= static_cast<std::int64_t>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
}

// ---- Timer threads ----

bool TimerThread::set(TimerEntry* entry, std::int64_t delayUs, DWORD periodMs, bool unlessSpent) {
    Hold hold(lock_);
    if (unlessSpent && !entry->armed && entry->firedOnce) {
        return true;
    }
    if (!started_) {
        refs_.fetch_add(1, std::memory_order_relaxed);  // the thread's
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            refs_.fetch_sub(1, std::memory_order_relaxed);  // the caller holds another
            return false;
        } catch (const std::bad_alloc&) {
            refs_.fetch_sub(1, std::memory_order_relaxed);
            return false;
        }
        started_ = true;
    }
    const std::int64_t due = dueUs(delayUs);
    if (entry->armed) {
        // The entry's node moves to its new place: setting again never needs memory.
        auto node = due_.extract(entry->place);
        node.key() = due;
        entry->place = due_.insert(std::move(node));
    } else {
        try {
            entry->place = due_.emplace(due, entry);
        } catch (const std::bad_alloc&) {
            return false;  // the entry stays as it was: not set
        }
        if (entry->counted) {
            entry->held();  // the thread's reference while the entry is set
        }
    }
    entry->armed = true;
    entry->firedOnce = false;
    entry->periodUs = static_cast<std::int64_t>(periodMs) * 1000;
    WakeConditionVariable(&changed_);
    return true;
}

bool TimerThread::cancel(TimerEntry* entry) {
    bool wasSet = false;
    {
        Hold hold(lock_);
        wasSet = entry->armed;
        if (wasSet) {
            due_.erase(entry->place);
            entry->armed = false;
        }
        if (!onThisThread()) {
            while (entry->firing) {
                SleepConditionVariableSRW(&fired_, &lock_, INFINITE, 0);
            }
        }
    }
    if (wasSet && entry->counted) {
        entry->released();
    }
    return wasSet;
}

void TimerThread::firedInline(TimerEntry* entry) {
    Hold hold(lock_);
    entry->firing = false;
    WakeAllConditionVariable(&fired_);
}

bool TimerThread::onThisThread() const {
    return threadId_.load(std::memory_order_relaxed) == GetCurrentThreadId();
}

// Each holder drops its reference only after its last use of lock_, whose release may still
// write to the lock after another thread has taken it; the last one frees this object.
void TimerThread::release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

void TimerThread::retire(bool join) {
    bool started = false;
    bool own = false;
    {
        Hold hold(lock_);
        retired_ = true;
        started = started_;
        own = onThisThread();
        WakeConditionVariable(&changed_);
    }
    if (started) {
        // Not waited for without `join`: a callback of it that still runs (one of
        // WT_EXECUTEINTIMERTHREAD) would hold up a delete that must return at once.
        if (join && !own) {
            thread_.join();
        } else {
            thread_.detach();
        }
    }
    release();
}

void TimerThread::run() {
    threadId_.store(GetCurrentThreadId(), std::memory_order_relaxed);
    AcquireSRWLockExclusive(&lock_);
    for (;;) {
        if (due_.empty()) {
            if (retired_) {
                break;
            }
            SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
            continue;
        }
        const auto first = due_.begin();
        const std::int64_t now = nowUs();
        if (first->first > now) {
            SleepConditionVariableSRW(&changed_, &lock_, timeoutMs(first->first - now), 0);
            continue;
        }
        TimerEntry* const entry = first->second;
        std::int64_t next = first->first;
        auto node = due_.extract(first);
        if (entry->periodUs > 0) {
            // The next period after this one; periods missed meanwhile are skipped. The
            // entry's node is reused, so a periodic timer never needs memory to go on.
            do {
                next += entry->periodUs;
            } while (next <= now);
            node.key() = next;
            entry->place = due_.insert(std::move(node));
            if (entry->counted) {
                entry->held();  // for the firing; the setting keeps its own
            }
        } else {
            entry->armed = false;  // the setting's reference now covers the firing
        }
        entry->firing = true;
        entry->firedOnce = true;
        const bool counted = entry->counted;
        ReleaseSRWLockExclusive(&lock_);
        entry->fire();
        AcquireSRWLockExclusive(&lock_);
        entry->firing = false;
        WakeAllConditionVariable(&fired_);
        if (counted) {
            ReleaseSRWLockExclusive(&lock_);
            entry->released();
            AcquireSRWLockExclusive(&lock_);
        }
    }
    ReleaseSRWLockExclusive(&lock_);
    release();  // the thread's
}

TimerThread& poolTimerThread() {
    static auto* const thread = new TimerThread;  // never retired
    return *thread;
}

// ---- Pool timers ----

namespace {

struct PoolTimer : Item, TimerEntry {
    PoolTimer(Pool* owner, PTP_TIMER_CALLBACK function, void* argument, bool runsLong)
        : Item(Kind::kTimer, owner, reinterpret_cast<void*>(function), argument, runsLong),
          TimerEntry(true) {}
    void fire() override { submit(this); }
    void held() override { addRef(); }
    void released() override { release(); }

    // Whether a due time is set: from a setting until a NULL due time, also after a one-shot
    // timer has fired, as Windows answers IsThreadpoolTimerSet.
    std::atomic<bool> dueTimeSet{false};
};

PoolTimer* poolTimerOf(PTP_TIMER timer) {
    return static_cast<PoolTimer*>(reinterpret_cast<Item*>(timer));
}

}  // namespace

void stopTimer(Item* item) { poolTimerThread().cancel(static_cast<PoolTimer*>(item)); }

// ---- Timer queues ----

namespace {

struct TimerQueue;

// A timer of a queue. It holds a reference to its queue's timer thread, which a delete of the
// queue that runs meanwhile would otherwise free under it.
struct QueueTimer : Item, TimerEntry {
    QueueTimer(TimerThread* owner, WAITORTIMERCALLBACK function, void* argument, ULONG options)
        : Item(Kind::kQueueTimer, defaultPool(), reinterpret_cast<void*>(function), argument,
               (options & WT_EXECUTELONGFUNCTION) != 0),
          TimerEntry(true),
          thread(owner),
          flags(options) {
        thread->addRef();
    }
    ~QueueTimer() override { thread->release(); }
    QueueTimer(const QueueTimer&) = delete;
    QueueTimer& operator=(const QueueTimer&) = delete;

    void fire() override {
        if ((flags & WT_EXECUTEINTIMERTHREAD) != 0) {
            runInline(this);  // startedInline() ends the firing
        } else {
            submit(this);
        }
    }
    void startedInline() override { thread->firedInline(this); }
    void held() override { addRef(); }
    void released() override { release(); }

    TimerThread* const thread;
    const ULONG flags;
    QueueTimer* before = nullptr;  // the queue's list, under its lock
    QueueTimer* after = nullptr;
    bool listed = false;
};

// A queue: its timers (a list under `lock`) and the thread that fires them, retired when the
// queue is deleted.
struct TimerQueue {
    TimerQueue() = default;
    ~TimerQueue() = default;
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;

    TimerThread* const thread = new (std::nothrow) TimerThread;  // checked by its creator
    SRWLOCK lock = SRWLOCK_INIT;
    QueueTimer* first = nullptr;
};

TimerQueue* defaultQueue() {
    static auto* const queue = [] {
        auto* const made = new TimerQueue;  // never deleted
        DAVRO_CHECK(made->thread != nullptr, "no memory for the default timer queue");
        return made;
    }();
    return queue;
}

// The default queue and the pool timer thread are made when the library loads, so that no
// call finds them missing later for want of memory (a call cannot fail for its queue).
[[maybe_unused]] TimerQueue* const gDefaultQueueAtLoad = defaultQueue();
[[maybe_unused]] TimerThread* const gPoolTimerThreadAtLoad = &poolTimerThread();

TimerQueue* queueOf(HANDLE queue) {
    return queue == nullptr ? defaultQueue() : static_cast<TimerQueue*>(queue);
}

void addTimer(TimerQueue* q, QueueTimer* t) {
    Hold hold(q->lock);
    t->after = q->first;
    if (q->first != nullptr) {
        q->first->before = t;
    }
    q->first = t;
    t->listed = true;
}

// Takes the timer out of its queue's list, which is locked.
void unlistTimer(TimerQueue* q, QueueTimer* t) {
    (t->before != nullptr ? t->before->after : q->first) = t->after;
    if (t->after != nullptr) {
        t->after->before = t->before;
    }
    t->before = t->after = nullptr;
    t->listed = false;
}

// Takes the timer out of its queue's list; false when it was not in it (deleted already).
bool removeTimer(TimerQueue* q, QueueTimer* t) {
    Hold hold(q->lock);
    if (!t->listed) {
        return false;
    }
    unlistTimer(q, t);
    return true;
}

// Takes the first timer out of the queue's list, or returns nullptr when it has none.
QueueTimer* removeFirstTimer(TimerQueue* q) {
    Hold hold(q->lock);
    QueueTimer* const t = q->first;
    if (t != nullptr) {
        unlistTimer(q, t);
    }
    return t;
}

// Stops a timer taken out of its list: no callback starts once this returns but those already
// running. With `wait` it also waits for them; otherwise `completion` is counted down when
// they are done. Drops the creator's reference. Returns whether callbacks were still running.
bool stopQueueTimer(QueueTimer* t, bool wait, Completion* completion) {
    t->thread->cancel(t);
    cancelPending(t);
    bool busy = false;
    if (wait) {
        waitIdle(t);
    } else {
        busy = completeWhenIdle(t, completion);
    }
    t->release();
    return busy;
}

// The result of a delete that did not wait: ERROR_IO_PENDING while callbacks still run, and
// always without a completion event (the caller cannot learn when they end), as Windows.
BOOL pendingResult(bool busy, HANDLE completionEvent) {
    if (busy || completionEvent == nullptr) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    return TRUE;
}

}  // namespace
}  // namespace detail::pool

using detail::pool::Item;
using detail::pool::PoolTimer;
using detail::pool::QueueTimer;
using detail::pool::TimerQueue;

PTP_TIMER CreateThreadpoolTimer(PTP_TIMER_CALLBACK callback, PVOID context,
                                PTP_CALLBACK_ENVIRON environment) {
    if (callback == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool runsLong = detail::pool::longFunction(environment);
    auto* const timer = new (std::nothrow)
        PoolTimer(detail::pool::poolOf(environment), callback, context, runsLong);
    if (timer == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    detail::pool::joinGroup(timer, environment);
    return reinterpret_cast<PTP_TIMER>(static_cast<Item*>(timer));
}

void SetThreadpoolTimer(PTP_TIMER timer, PFILETIME dueTime, DWORD period, DWORD /*window*/) {
    PoolTimer* const t = detail::pool::poolTimerOf(timer);
    if (dueTime == nullptr) {
        t->dueTimeSet = false;
        detail::pool::poolTimerThread().cancel(t);
        return;
    }
    // Without memory for a first setting the timer stays unset, which IsThreadpoolTimerSet
    // then reports.
    t->dueTimeSet = detail::pool::poolTimerThread().set(t, detail::pool::delayUs(*dueTime), period);
}

BOOL IsThreadpoolTimerSet(PTP_TIMER timer) {
    return detail::pool::poolTimerOf(timer)->dueTimeSet ? TRUE : FALSE;
}

void WaitForThreadpoolTimerCallbacks(PTP_TIMER timer, BOOL cancelPending) {
    PoolTimer* const t = detail::pool::poolTimerOf(timer);
    if (cancelPending != FALSE) {
        detail::pool::cancelPending(t);
    }
    detail::pool::waitIdle(t);
}

void CloseThreadpoolTimer(PTP_TIMER timer) {
    PoolTimer* const t = detail::pool::poolTimerOf(timer);
    detail::pool::poolTimerThread().cancel(t);
    detail::pool::leaveGroup(t);
    t->release();
}

HANDLE CreateTimerQueue() {
    auto* queue = new (std::nothrow) TimerQueue;
    if (queue != nullptr && queue->thread == nullptr) {
        delete queue;
        queue = nullptr;
    }
    if (queue == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return queue;
}

BOOL CreateTimerQueueTimer(PHANDLE newTimer, HANDLE queue, WAITORTIMERCALLBACK callback,
                           PVOID parameter, DWORD dueTime, DWORD period, ULONG flags) {
    if (newTimer == nullptr || callback == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TimerQueue* const q = detail::pool::queueOf(queue);
    auto* const t = new (std::nothrow) QueueTimer(q->thread, callback, parameter, flags);
    if (t == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    detail::pool::addTimer(q, t);
    const DWORD every = (flags & WT_EXECUTEONLYONCE) != 0 ? 0 : period;
    if (!q->thread->set(t, static_cast<std::int64_t>(dueTime) * 1000, every)) {
        detail::pool::removeTimer(q, t);
        t->release();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *newTimer = static_cast<Item*>(t);
    return TRUE;
}

BOOL ChangeTimerQueueTimer(HANDLE queue, HANDLE timer, ULONG dueTime, ULONG period) {
    if (timer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* const t = static_cast<QueueTimer*>(static_cast<Item*>(timer));
    TimerQueue* const q = detail::pool::queueOf(queue);
    if ((t->flags & WT_EXECUTEONLYONCE) != 0) {
        return TRUE;  // such a timer is not set again
    }
    // A one-shot timer that has fired stays spent.
    q->thread->set(t, static_cast<std::int64_t>(dueTime) * 1000, period, true);
    return TRUE;
}

BOOL DeleteTimerQueueTimer(HANDLE queue, HANDLE timer, HANDLE completionEvent) {
    if (timer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* const t = static_cast<QueueTimer*>(static_cast<Item*>(timer));
    const bool wait = completionEvent == INVALID_HANDLE_VALUE;
    // Made before the timer is touched, so that a delete without memory leaves it as it was.
    detail::pool::Completion* completion = nullptr;
    if (!wait && !detail::pool::makeCompletion(completionEvent, 1, completion)) {
        return FALSE;
    }
    if (!detail::pool::removeTimer(detail::pool::queueOf(queue), t)) {
        delete completion;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const bool busy = detail::pool::stopQueueTimer(t, wait, completion);
    return wait ? TRUE : detail::pool::pendingResult(busy, completionEvent);
}

BOOL DeleteTimerQueueEx(HANDLE queue, HANDLE completionEvent) {
    if (queue == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);  // the default queue cannot be deleted
        return FALSE;
    }
    auto* const q = static_cast<TimerQueue*>(queue);
    const bool wait = completionEvent == INVALID_HANDLE_VALUE;
    // One count for this call, so that the event is set only after every timer's; made before
    // anything is touched, so that a delete without memory leaves the queue as it was.
    detail::pool::Completion* completion = nullptr;
    if (!wait && !detail::pool::makeCompletion(completionEvent, 1, completion)) {
        return FALSE;
    }
    // Taken off one at a time under the queue's lock, so that a timer another thread deletes
    // meanwhile is stopped by one of the two calls only.
    while (QueueTimer* t = detail::pool::removeFirstTimer(q)) {
        if (completion != nullptr) {
            completion->remaining.fetch_add(1, std::memory_order_relaxed);
        }
        detail::pool::stopQueueTimer(t, wait, completion);
    }
    if (completion != nullptr) {
        detail::pool::completeOne(completion);
    }
    q->thread->retire(wait);
    delete q;
    // Windows reports a queue deleted without waiting as pending, whatever its timers did.
    if (wait) {
        return TRUE;
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL DeleteTimerQueue(HANDLE queue) { return DeleteTimerQueueEx(queue, nullptr); }

}  // namespace davro::win32
