// Pools, their threads and queue, and the callback instance. Work objects, simple callbacks
// and QueueUserWorkItem are in PoolWork.cpp, cleanup groups and the requests of a running
// callback for its return in PoolCallbacks.cpp, timers in PoolTimers.cpp, waits in
// PoolWaits.cpp.
#include "ThreadPool.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "Check.h"

namespace davro::win32 {

namespace detail::pool {
namespace {

constexpr DWORD kDefaultMaximum = 512;
// An idle thread above the pool's minimum ends after this long without work.
constexpr DWORD kIdleMs = 10000;
// How often a pool whose queue does not move gets one more thread.
constexpr std::int64_t kStarvationUs = 50000;

// Read once: the C library reads it from /sys at every call.
DWORD processorCount() {
    static const DWORD count = [] {
        const unsigned n = std::thread::hardware_concurrency();
        return n == 0 ? 1U : n;
    }();
    return count;
}

thread_local Instance* tCurrent = nullptr;

}  // namespace

// A pool: its queue of items with pending callbacks, its threads and their counts, all under
// `lock`. Threads sleep on `work` when the queue is empty; threads waiting for an object's
// callbacks sleep on `done`.
//
// Lifetime: the creator's handle, every object bound to it (`items`) and every thread
// (`threads`) hold a reference in `refs`, dropped only after the holder has left `lock` for
// the last time, since a release of an SRW lock may still write to it after another thread
// has taken it; the last reference frees the pool. The default pool is never freed.
struct Pool : TimerEntry {
    explicit Pool(bool defaultOne) : TimerEntry(false), isDefault(defaultOne) {}
    ~Pool() override = default;
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // The starvation check, on the pool timer thread: a queue that has not moved since the
    // last check gets one more thread, up to the maximum.
    void fire() override;

    const bool isDefault;
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE work = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE done = CONDITION_VARIABLE_INIT;
    Item* head = nullptr;
    Item* tail = nullptr;
    DWORD minimum = 0;
    DWORD maximum = kDefaultMaximum;
    DWORD threads = 0;          // started and not ended, those being started included
    DWORD idle = 0;             // asleep on `work`
    DWORD wakes = 0;            // wake-ups sent that no thread has taken yet
    DWORD longRunning = 0;      // callbacks that said they may run long
    std::uint64_t started = 0;  // callbacks taken from the queue, ever
    std::uint64_t startedAtCheck = 0;
    bool checking = false;  // the starvation check is set
    unsigned items = 0;
    bool closed = false;
    std::atomic<unsigned> refs{1};
};

namespace {

void link(Pool* p, Item* item) {
    item->prev = p->tail;
    item->next = nullptr;
    (p->tail != nullptr ? p->tail->next : p->head) = item;
    p->tail = item;
    item->queued = true;
}

void unlink(Pool* p, Item* item) {
    (item->prev != nullptr ? item->prev->next : p->head) = item->next;
    (item->next != nullptr ? item->next->prev : p->tail) = item->prev;
    item->prev = item->next = nullptr;
    item->queued = false;
}

void releasePool(Pool* p, unsigned count = 1) {
    if (count > 0 && p->refs.fetch_sub(count, std::memory_order_acq_rel) == count) {
        poolTimerThread().cancel(p);
        delete p;
    }
}

void workerMain(Pool* p);

// How a queue that just grew is to be served, decided under the pool's lock and carried out
// by the caller after leaving it (so that the woken thread does not find the lock held).
struct Service {
    bool wake = false;  // wake one idle thread
    DWORD start = 0;    // threads reserved, to be started with startThreads
};

// An idle thread is woken, or one more thread is reserved, or, when the running threads
// already match the processors, the starvation check is set.
Service serveQueue(Pool* p) {
    Service service;
    if (p->head == nullptr) {
        return service;
    }
    if (p->idle > p->wakes) {
        ++p->wakes;
        service.wake = true;
        return service;
    }
    if (p->threads >= p->maximum) {
        return service;
    }
    const DWORD active = p->threads - std::min(p->threads, p->longRunning);
    if (active < std::max(processorCount(), p->minimum)) {
        ++p->threads;
        p->refs.fetch_add(1, std::memory_order_relaxed);  // the thread's
        service.start = 1;
        return service;
    }
    if (!p->checking) {
        p->startedAtCheck = p->started;
        // Not set without memory: the next submission tries again.
        p->checking = poolTimerThread().set(p, kStarvationUs, 0);
    }
    return service;
}

// Starts `count` threads reserved in p->threads; gives back the reservations of those that
// cannot be started. Returns how many started.
DWORD startThreads(Pool* p, DWORD count) {
    DWORD startedCount = 0;
    for (; startedCount < count; ++startedCount) {
        try {
            std::thread(workerMain, p).detach();
        } catch (const std::system_error&) {
            break;
        }
    }
    if (startedCount < count) {
        {
            Hold hold(p->lock);
            p->threads -= count - startedCount;
        }
        releasePool(p, count - startedCount);
    }
    return startedCount;
}

void carryOut(Pool* p, const Service& service) {
    if (service.wake) {
        WakeConditionVariable(&p->work);
    }
    startThreads(p, service.start);
}

void invoke(Item* item, Instance* instance, DWORD result) {
    void* const context = item->context;
    switch (item->kind) {
        case Kind::kWork:
            reinterpret_cast<PTP_WORK_CALLBACK>(item->callback)(instance, context,
                                                                reinterpret_cast<PTP_WORK>(item));
            break;
        case Kind::kTimer:
            reinterpret_cast<PTP_TIMER_CALLBACK>(item->callback)(instance, context,
                                                                 reinterpret_cast<PTP_TIMER>(item));
            break;
        case Kind::kWait:
            reinterpret_cast<PTP_WAIT_CALLBACK>(item->callback)(
                instance, context, reinterpret_cast<PTP_WAIT>(item), result);
            break;
        case Kind::kSimple:
            reinterpret_cast<PTP_SIMPLE_CALLBACK>(item->callback)(instance, context);
            break;
        case Kind::kUserWorkItem:
            reinterpret_cast<LPTHREAD_START_ROUTINE>(item->callback)(context);
            break;
        case Kind::kRegisteredWait:
            reinterpret_cast<WAITORTIMERCALLBACK>(item->callback)(
                context, static_cast<BOOLEAN>(result == WAIT_TIMEOUT ? TRUE : FALSE));
            break;
        case Kind::kQueueTimer:
            reinterpret_cast<WAITORTIMERCALLBACK>(item->callback)(context, TRUE);
            break;
    }
}

// Takes one pending callback of the queue's first item, under the pool's lock: it becomes
// running, and the item moves to the end of the queue if it has more, so that items share
// the threads.
Item* takeFirst(Pool* p, DWORD& result) {
    Item* item = p->head;
    --item->pending;
    ++item->running;
    ++p->started;
    result = 0;
    if (!item->results.empty()) {
        result = item->results.front();
        item->results.erase(item->results.begin());
    }
    unlink(p, item);
    if (item->pending > 0) {
        link(p, item);
    }
    return item;
}

// What ending a callback leaves to do outside the pool's lock.
struct Ended {
    Item* idle = nullptr;  // the item, when it has nothing pending or running any more
    Completion* completion = nullptr;
};

// Runs a taken callback on the calling thread, then the actions its instance asked for.
void call(Item* item, Instance& instance, DWORD result) {
    instance.item = item;
    instance.outer = tCurrent;
    tCurrent = &instance;
    invoke(item, &instance, result);
    tCurrent = instance.outer;
    if (instance.section != nullptr) {
        LeaveCriticalSection(instance.section);
    }
    if (instance.mutex != nullptr) {
        ReleaseMutex(instance.mutex);
    }
    if (instance.semaphore != nullptr) {
        ReleaseSemaphore(instance.semaphore, static_cast<LONG>(instance.semaphoreCount), nullptr);
    }
    if (instance.event != nullptr) {
        SetEvent(instance.event);
    }
}

// Counts a callback as ended; the pool's lock is held.
Ended endCall(Pool* p, Item* item, const Instance& instance) {
    Ended ended;
    if (instance.runsLong) {
        --p->longRunning;
    }
    --item->running;
    if (item->pending == 0 && item->running == 0) {
        ended.idle = item;
        ended.completion = item->completion;
        item->completion = nullptr;
        if (item->waiters > 0) {
            WakeAllConditionVariable(&p->done);
        }
    }
    return ended;
}

// The rest of an ended callback, without the lock: the completion of a deleted object, and
// the references of its busy time (and, for the kinds that run once, of its creator).
void afterEnd(const Ended& ended) {
    if (ended.completion != nullptr) {
        completeOne(ended.completion);
    }
    if (Item* done = ended.idle) {
        if (done->kind == Kind::kSimple || done->kind == Kind::kUserWorkItem) {
            leaveGroup(done);
            done->release();
        }
        done->release();
    }
}

// Marks a callback that may run long from its start (its environment or flags say so); the
// pool's lock is held.
void startCall(Pool* p, Item* item, Instance& instance) {
    if (item->longFunction) {
        instance.runsLong = true;
        ++p->longRunning;
    }
}

// Unwinding a pool thread that a callback ends (ExitThread, pthread_exit: a forced unwind):
// the callback never returns, so its object keeps it counted as running, but the thread
// leaves the pool's count, and the pool starts another in its place when work is queued.
class EndedInCallback {
public:
    EndedInCallback(Pool* p, const Instance& instance) : pool_(p), instance_(instance) {}
    ~EndedInCallback() {
        if (returned_) {
            return;
        }
        Service service;
        {
            Hold hold(pool_->lock);
            if (instance_.runsLong) {
                --pool_->longRunning;
            }
            --pool_->threads;
            service = serveQueue(pool_);
        }
        carryOut(pool_, service);
        releasePool(pool_);
    }
    EndedInCallback(const EndedInCallback&) = delete;
    EndedInCallback& operator=(const EndedInCallback&) = delete;
    void returned() { returned_ = true; }

private:
    Pool* const pool_;
    const Instance& instance_;
    bool returned_ = false;
};

void workerMain(Pool* p) {
    AcquireSRWLockExclusive(&p->lock);
    for (;;) {
        if (p->threads > p->maximum) {
            break;  // the maximum was lowered below the threads there are
        }
        if (p->head != nullptr) {
            DWORD result = 0;
            Item* item = takeFirst(p, result);
            Instance instance;
            startCall(p, item, instance);
            ReleaseSRWLockExclusive(&p->lock);
            {
                EndedInCallback ending(p, instance);
                call(item, instance, result);
                ending.returned();
            }
            AcquireSRWLockExclusive(&p->lock);
            const Ended ended = endCall(p, item, instance);
            if (ended.idle != nullptr || ended.completion != nullptr) {
                ReleaseSRWLockExclusive(&p->lock);
                afterEnd(ended);
                AcquireSRWLockExclusive(&p->lock);
            }
            continue;
        }
        if (p->closed && p->items == 0) {
            break;
        }
        ++p->idle;
        const BOOL woken = SleepConditionVariableSRW(&p->work, &p->lock, kIdleMs, 0);
        --p->idle;
        if (p->wakes > 0) {
            --p->wakes;
        }
        if (!woken && p->head == nullptr && p->threads > p->minimum) {
            break;
        }
    }
    --p->threads;
    ReleaseSRWLockExclusive(&p->lock);
    releasePool(p);
}

}  // namespace

void Pool::fire() {
    DWORD start = 0;
    {
        Hold hold(lock);
        if (head != nullptr && started == startedAtCheck && threads < maximum) {
            ++threads;
            refs.fetch_add(1, std::memory_order_relaxed);
            start = 1;
        }
        startedAtCheck = started;
        checking = head != nullptr && poolTimerThread().set(this, kStarvationUs, 0);
    }
    startThreads(this, start);
}

// ---- Items ----

Item::Item(Kind itemKind, Pool* owner, void* function, void* argument, bool runsLong)
    : kind(itemKind), pool(owner), callback(function), context(argument), longFunction(runsLong) {
    pool->refs.fetch_add(1, std::memory_order_relaxed);
    Hold hold(pool->lock);
    ++pool->items;
}

Item::~Item() {
    leaveGroup(this);  // the group's reference, when it still has one
    {
        Hold hold(pool->lock);
        --pool->items;
        if (pool->closed && pool->items == 0) {
            WakeAllConditionVariable(&pool->work);  // threads end once nothing is bound
        }
    }
    releasePool(pool);
}

void Item::release() {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

void completeOne(Completion* completion) {
    if (completion->remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        if (completion->event != nullptr) {
            SetEvent(completion->event);
        }
        delete completion;
    }
}

bool makeCompletion(HANDLE event, int count, Completion*& made) {
    made = nullptr;
    if (event == nullptr) {
        return true;
    }
    made = new (std::nothrow) Completion{{count}, event};
    if (made == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

void submit(Item* item, DWORD result) {
    Pool* const p = item->pool;
    Service service;
    {
        Hold hold(p->lock);
        if (item->pending == 0 && item->running == 0) {
            item->addRef();
        }
        ++item->pending;
        if (item->kind == Kind::kWait || item->kind == Kind::kRegisteredWait) {
            item->results.push_back(result);
        }
        if (!item->queued) {
            link(p, item);
        }
        service = serveQueue(p);
    }
    carryOut(p, service);
}

void runInline(Item* item, DWORD result) {
    Pool* const p = item->pool;
    Instance instance;
    {
        Hold hold(p->lock);
        if (item->pending == 0 && item->running == 0) {
            item->addRef();
        }
        ++item->running;
        startCall(p, item, instance);
    }
    item->startedInline();
    call(item, instance, result);
    Ended ended;
    {
        Hold hold(p->lock);
        ended = endCall(p, item, instance);
    }
    afterEnd(ended);
}

unsigned cancelPending(Item* item) {
    Pool* const p = item->pool;
    unsigned dropped = 0;
    Completion* completion = nullptr;
    bool idle = false;
    {
        Hold hold(p->lock);
        dropped = item->pending;
        if (dropped == 0) {
            return 0;
        }
        item->pending = 0;
        item->results.clear();
        unlink(p, item);
        if (item->running == 0) {
            idle = true;
            completion = item->completion;
            item->completion = nullptr;
            if (item->waiters > 0) {
                WakeAllConditionVariable(&p->done);
            }
        }
    }
    if (completion != nullptr) {
        completeOne(completion);
    }
    if (idle) {
        item->release();
    }
    return dropped;
}

bool runningOnThisThread(const Item* item) {
    for (const Instance* i = tCurrent; i != nullptr; i = i->outer) {
        if (i->item == item) {
            return true;
        }
    }
    return false;
}

void waitIdle(Item* item) {
    Pool* const p = item->pool;
    const unsigned own = runningOnThisThread(item) ? 1 : 0;
    Hold hold(p->lock);
    ++item->waiters;
    while (item->pending + item->running > own) {
        SleepConditionVariableSRW(&p->done, &p->lock, INFINITE, 0);
    }
    --item->waiters;
}

bool completeWhenIdle(Item* item, Completion* completion) {
    {
        Hold hold(item->pool->lock);
        if (item->pending + item->running > 0) {
            item->completion = completion;
            return true;
        }
    }
    if (completion != nullptr) {
        completeOne(completion);
    }
    return false;
}

Pool* defaultPool() {
    static Pool* const instance = new Pool(true);  // never freed: threads may outlive main
    return instance;
}

namespace {
// Made when the library loads, so that no call finds it missing later for want of memory.
[[maybe_unused]] Pool* const gDefaultPoolAtLoad = defaultPool();
}  // namespace

Pool* poolOf(PTP_CALLBACK_ENVIRON environment) {
    if (environment != nullptr && environment->Pool != nullptr) {
        return reinterpret_cast<Pool*>(environment->Pool);
    }
    return defaultPool();
}

}  // namespace detail::pool

using detail::pool::Hold;
using detail::pool::Pool;

// ---- Pools ----

PTP_POOL CreateThreadpool(PVOID /*reserved*/) {
    auto* const p = new (std::nothrow) Pool(false);
    if (p == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return reinterpret_cast<PTP_POOL>(p);
}

void CloseThreadpool(PTP_POOL pool) {
    auto* const p = reinterpret_cast<Pool*>(pool);
    {
        Hold hold(p->lock);
        p->closed = true;
        if (p->items == 0) {
            WakeAllConditionVariable(&p->work);
        }
    }
    detail::pool::releasePool(p);
}

void SetThreadpoolThreadMaximum(PTP_POOL pool, DWORD most) {
    auto* const p = reinterpret_cast<Pool*>(pool);
    Hold hold(p->lock);
    p->maximum = std::max<DWORD>(most, 1);
    p->minimum = std::min(p->minimum, p->maximum);
}

BOOL SetThreadpoolThreadMinimum(PTP_POOL pool, DWORD least) {
    auto* const p = reinterpret_cast<Pool*>(pool);
    DWORD start = 0;
    DWORD previousMinimum = 0;
    DWORD previousMaximum = 0;
    {
        // The minimum is in force from here on, so that an idle thread counted among the
        // `least` does not end meanwhile for being above the old one.
        Hold hold(p->lock);
        previousMinimum = p->minimum;
        previousMaximum = p->maximum;
        p->maximum = std::max(p->maximum, least);
        p->minimum = least;
        start = least > p->threads ? least - p->threads : 0;
        p->threads += start;
        p->refs.fetch_add(start, std::memory_order_relaxed);
    }
    const DWORD started = detail::pool::startThreads(p, start);
    if (started < start) {
        Hold hold(p->lock);
        if (p->minimum == least) {  // not changed again meanwhile
            p->minimum = previousMinimum;
        }
        if (p->maximum == least && least > previousMaximum) {
            p->maximum = previousMaximum;
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

// ---- The running callback ----

BOOL CallbackMayRunLong(PTP_CALLBACK_INSTANCE instance) {
    auto* const i = static_cast<detail::pool::Instance*>(instance);
    Pool* const p = i->item->pool;
    detail::pool::Service service;
    bool available = false;
    {
        Hold hold(p->lock);
        if (!i->runsLong) {
            i->runsLong = true;
            ++p->longRunning;
        }
        available = p->idle > p->wakes || p->threads < p->maximum;
        service = detail::pool::serveQueue(p);
    }
    detail::pool::carryOut(p, service);
    return available ? TRUE : FALSE;
}

}  // namespace davro::win32
