// The thread pool, each figure beside its baseline in the same run: work-item throughput of a
// private pool against a plain std::thread pool over a std::mutex and a
// std::condition_variable with as many threads, and the wake-up of a registered wait among
// 1,000 registrations against one futex wake (WaitOnAddress on Windows), both as a round
// trip that ends with the same futex wake back to the benchmark thread.
#include <benchmark/benchmark.h>
#include <davro/platform/Win32.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "BenchMain.h"
#include "TwoThreads.h"

namespace {

using namespace davro::win32;
using davro::bench::FutexEvent;

constexpr int kBatch = 256;

DWORD threadCount() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

// ---- Work-item throughput: a batch of trivial items, then a wait for all of them ----

std::atomic<long> gWorkDone{0};

void CALLBACK countItem(PTP_CALLBACK_INSTANCE, PVOID, PTP_WORK) {
    gWorkDone.fetch_add(1, std::memory_order_relaxed);
}

void BM_PoolWorkItems(benchmark::State& state) {
    PTP_POOL pool = CreateThreadpool(nullptr);
    SetThreadpoolThreadMaximum(pool, threadCount());
    SetThreadpoolThreadMinimum(pool, threadCount());
    TP_CALLBACK_ENVIRON env;
    InitializeThreadpoolEnvironment(&env);
    SetThreadpoolCallbackPool(&env, pool);
    PTP_WORK work = CreateThreadpoolWork(countItem, nullptr, &env);
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            SubmitThreadpoolWork(work);
        }
        WaitForThreadpoolWorkCallbacks(work, FALSE);
    }
    CloseThreadpoolWork(work);
    DestroyThreadpoolEnvironment(&env);
    CloseThreadpool(pool);
    state.SetItemsProcessed(state.iterations() * kBatch);
}
DAVRO_BENCHMARK(BM_PoolWorkItems)->Name("ThreadPool/WorkItems/win32")->UseRealTime();

// The baseline: a fixed set of std::threads taking items from a deque under one mutex, woken
// by notify_one for each item; the submitter waits on a second condition variable until the
// count of unfinished items is 0.
class StdPool {
public:
    struct Task {
        void (*function)(void*);
        void* argument;
    };

    explicit StdPool(unsigned threads) {
        for (unsigned i = 0; i < threads; ++i) {
            threads_.emplace_back([this] { run(); });
        }
    }
    ~StdPool() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stop_ = true;
        }
        ready_.notify_all();
        for (std::thread& t : threads_) {
            t.join();
        }
    }
    StdPool(const StdPool&) = delete;
    StdPool& operator=(const StdPool&) = delete;

    void submit(Task task) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            tasks_.push_back(task);
            ++unfinished_;
        }
        ready_.notify_one();
    }
    void waitAll() {
        std::unique_lock<std::mutex> hold(mutex_);
        done_.wait(hold, [this] { return unfinished_ == 0; });
    }

private:
    void run() {
        std::unique_lock<std::mutex> hold(mutex_);
        for (;;) {
            ready_.wait(hold, [this] { return stop_ || !tasks_.empty(); });
            if (tasks_.empty()) {
                return;
            }
            const Task task = tasks_.front();
            tasks_.pop_front();
            hold.unlock();
            task.function(task.argument);
            hold.lock();
            if (--unfinished_ == 0) {
                done_.notify_all();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable done_;
    std::deque<Task> tasks_;
    long unfinished_ = 0;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

void countTask(void*) { gWorkDone.fetch_add(1, std::memory_order_relaxed); }

void BM_StdPoolWorkItems(benchmark::State& state) {
    StdPool pool(threadCount());
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            pool.submit({countTask, nullptr});
        }
        pool.waitAll();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
DAVRO_BENCHMARK(BM_StdPoolWorkItems)->Name("ThreadPool/WorkItems/std")->UseRealTime();

// ---- Registered-wait wake-up among 1,000 registrations ----

constexpr int kRegistered = 1000;

void CALLBACK answer(PVOID context, BOOLEAN) { static_cast<FutexEvent*>(context)->set(); }

// One round trip per iteration: an event of the 1,000 is set (each in turn, so every wait
// thread takes part), its registration's callback runs on the wait thread and sets the
// futex event that the benchmark thread waits for.
void BM_RegisteredWaitWake(benchmark::State& state) {
    FutexEvent back;
    std::vector<HANDLE> events;
    std::vector<HANDLE> registrations;
    for (int i = 0; i < kRegistered; ++i) {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HANDLE registration = nullptr;
        RegisterWaitForSingleObject(&registration, event, answer, &back, INFINITE,
                                    WT_EXECUTEINWAITTHREAD);
        events.push_back(event);
        registrations.push_back(registration);
    }
    std::size_t next = 0;
    for (auto _ : state) {
        SetEvent(events[next]);
        next = next + 1 == events.size() ? 0 : next + 1;
        back.wait();
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
        UnregisterWaitEx(registrations[i], INVALID_HANDLE_VALUE);
        CloseHandle(events[i]);
    }
}
DAVRO_BENCHMARK(BM_RegisteredWaitWake)
    ->Name("ThreadPool/RegisteredWaitWake1000/win32")
    ->UseRealTime();

// The baseline: a thread asleep on one futex word is woken and answers the same way.
void BM_FutexWake(benchmark::State& state) {
    FutexEvent there;
    FutexEvent back;
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            there.wait();
            if (stop.load(std::memory_order_relaxed)) {
                return;
            }
            back.set();
        }
    });
    for (auto _ : state) {
        there.set();
        back.wait();
    }
    stop = true;
    there.set();
    partner.join();
}
DAVRO_BENCHMARK(BM_FutexWake)->Name("ThreadPool/RegisteredWaitWake1000/futex")->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return davro::bench::runBenchmarks(argc, argv); }
