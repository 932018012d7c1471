// The message queue: a post and a peek of one message beside a mutex-guarded std::deque,
// and the wake-up of a thread blocked in MsgWaitForMultipleObjects by a posted message
// beside its wake-up by an event, measured in the same run.
#include <benchmark/benchmark.h>
#include <davro/platform/Win32.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

#include "BenchMain.h"

namespace {

using namespace davro::win32;

constexpr UINT kPing = WM_USER + 1;

// ---- One message through the calling thread's own queue ----

void BM_PostPeekOneMessage(benchmark::State& state) {
    const DWORD self = GetCurrentThreadId();
    MSG m{};
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before timing
    for (auto _ : state) {
        PostThreadMessageW(self, kPing, 1, 2);
        PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE);
        benchmark::DoNotOptimize(m);
    }
}
DAVRO_BENCHMARK(BM_PostPeekOneMessage)->Name("Message/PostPeek/win32");

void BM_MutexDequePushPop(benchmark::State& state) {
    std::mutex lock;
    std::deque<MSG> queue;
    MSG m{};
    for (auto _ : state) {
        {
            const std::lock_guard<std::mutex> guard(lock);
            queue.push_back(MSG{nullptr, kPing, 1, 2, 0, {0, 0}});
        }
        {
            const std::lock_guard<std::mutex> guard(lock);
            m = queue.front();
            queue.pop_front();
        }
        benchmark::DoNotOptimize(m);
    }
}
DAVRO_BENCHMARK(BM_MutexDequePushPop)->Name("Message/PostPeek/std");

// ---- Wake-up of a thread in MsgWaitForMultipleObjects ----

// A partner thread blocked in MsgWaitForMultipleObjects on `ping` with QS_ALLINPUT. Each
// round wakes it either with a posted message or by setting `ping`; it answers by setting
// `pong`. A round trip is one wake-up of each kind measured plus one event wake-up back.
class Partner {
public:
    Partner() {
        ready_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ping_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        pong_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        thread_ = std::thread([this] { run(); });
        WaitForSingleObject(ready_, INFINITE);
    }
    ~Partner() {
        PostThreadMessageW(tid_, WM_QUIT, 0, 0);
        thread_.join();
        CloseHandle(ready_);
        CloseHandle(ping_);
        CloseHandle(pong_);
    }
    Partner(const Partner&) = delete;
    Partner& operator=(const Partner&) = delete;

    void byMessage() {
        PostThreadMessageW(tid_, kPing, 0, 0);
        WaitForSingleObject(pong_, INFINITE);
    }
    void byEvent() {
        SetEvent(ping_);
        WaitForSingleObject(pong_, INFINITE);
    }

private:
    void run() {
        MSG m{};
        PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // creates the queue
        tid_ = GetCurrentThreadId();
        SetEvent(ready_);
        for (;;) {
            const DWORD r = MsgWaitForMultipleObjects(1, &ping_, FALSE, INFINITE, QS_ALLINPUT);
            if (r == WAIT_OBJECT_0) {
                SetEvent(pong_);
                continue;
            }
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
                if (m.message == WM_QUIT) {
                    return;
                }
                SetEvent(pong_);
            }
        }
    }

    HANDLE ready_ = nullptr;
    HANDLE ping_ = nullptr;
    HANDLE pong_ = nullptr;
    std::atomic<DWORD> tid_{0};
    std::thread thread_;
};

void BM_MsgWaitWokenByMessage(benchmark::State& state) {
    Partner partner;
    for (auto _ : state) {
        partner.byMessage();
    }
}
DAVRO_BENCHMARK(BM_MsgWaitWokenByMessage)->Name("Message/MsgWaitWokenByPost/win32")->UseRealTime();

void BM_MsgWaitWokenByEvent(benchmark::State& state) {
    Partner partner;
    for (auto _ : state) {
        partner.byEvent();
    }
}
DAVRO_BENCHMARK(BM_MsgWaitWokenByEvent)->Name("Message/MsgWaitWokenByEvent/win32")->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return davro::bench::runBenchmarks(argc, argv); }
