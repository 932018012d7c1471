// Waitable timers and APCs, each beside a Linux baseline measured in the same run: how late a
// periodic timer wakes its waiter (median and 99th percentile over a batch of periods) against
// a timerfd loop, and the round trip of an APC to a thread that sleeps alertably against an
// eventfd pair. The baselines are Linux-only; on Windows the davro figures stand alone.
#include <benchmark/benchmark.h>
#include <davro/platform/Win32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "BenchMain.h"

#if !defined(_WIN32)
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

using namespace davro::win32;

constexpr std::int64_t kPeriodNs = 1000000;  // 1 ms
constexpr int kFiresPerBatch = 200;
constexpr int kBatches = 10;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// How late each wake-up of a batch came after its period's due time (start + k periods, k the
// last period that had begun): the median or the 99th percentile of the batch, in seconds.
double statistic(std::vector<std::int64_t>& lateness, bool p99) {
    std::sort(lateness.begin(), lateness.end());
    const std::size_t at = p99 ? lateness.size() * 99 / 100 : lateness.size() / 2;
    return static_cast<double>(lateness[at]) / 1e9;
}

template <typename Arm, typename Await>
void periodicLateness(benchmark::State& state, bool p99, Arm arm, Await await) {
    std::vector<std::int64_t> lateness;
    lateness.reserve(kFiresPerBatch);
    for (auto _ : state) {
        lateness.clear();
        const std::int64_t start = nowNs();
        arm();
        for (int i = 0; i < kFiresPerBatch; ++i) {
            await();
            const std::int64_t since = nowNs() - start;
            lateness.push_back(since % kPeriodNs);
        }
        state.SetIterationTime(statistic(lateness, p99));
    }
}

void timerLateness(benchmark::State& state, bool p99) {
    HANDLE timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    periodicLateness(
        state, p99,
        [&] {
            LARGE_INTEGER due{};
            due.QuadPart = -kPeriodNs / 100;
            SetWaitableTimer(timer, &due, kPeriodNs / 1000000, nullptr, nullptr, FALSE);
        },
        [&] { WaitForSingleObject(timer, INFINITE); });
    CancelWaitableTimer(timer);
    CloseHandle(timer);
}
void BM_TimerLatenessMedian(benchmark::State& state) { timerLateness(state, false); }
void BM_TimerLatenessP99(benchmark::State& state) { timerLateness(state, true); }
DAVRO_BENCHMARK(BM_TimerLatenessMedian)
    ->Name("Timer/LatenessMedian/win32")
    ->UseManualTime()
    ->Iterations(kBatches);
DAVRO_BENCHMARK(BM_TimerLatenessP99)
    ->Name("Timer/LatenessP99/win32")
    ->UseManualTime()
    ->Iterations(kBatches);

#if !defined(_WIN32)
// The same with a timerfd, read by a thread whose timer slack is the least the system allows
// (the waitable timer's waiter sets its own so).
void timerfdLateness(benchmark::State& state, bool p99) {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const int fd = timerfd_create(CLOCK_MONOTONIC, 0);
    periodicLateness(
        state, p99,
        [&] {
            itimerspec spec{};
            spec.it_interval.tv_nsec = kPeriodNs;
            spec.it_value.tv_nsec = kPeriodNs;
            timerfd_settime(fd, 0, &spec, nullptr);
        },
        [&] {
            std::uint64_t expirations = 0;
            (void)!read(fd, &expirations, sizeof expirations);
        });
    close(fd);
}
void BM_TimerfdLatenessMedian(benchmark::State& state) { timerfdLateness(state, false); }
void BM_TimerfdLatenessP99(benchmark::State& state) { timerfdLateness(state, true); }
DAVRO_BENCHMARK(BM_TimerfdLatenessMedian)
    ->Name("Timer/LatenessMedian/timerfd")
    ->UseManualTime()
    ->Iterations(kBatches);
DAVRO_BENCHMARK(BM_TimerfdLatenessP99)
    ->Name("Timer/LatenessP99/timerfd")
    ->UseManualTime()
    ->Iterations(kBatches);
#endif

// ---- APC round trip: queued to a thread asleep in SleepEx, answered with an event ----

std::atomic<bool> gApcStop{false};
HANDLE gApcAnswer = nullptr;

void CALLBACK answerApc(ULONG_PTR) { SetEvent(gApcAnswer); }

void BM_ApcRoundTrip(benchmark::State& state) {
    gApcAnswer = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE target = nullptr;
    gApcStop = false;
    std::thread sleeper([&] {
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &target, 0,
                        FALSE, DUPLICATE_SAME_ACCESS);
        SetEvent(ready);
        while (!gApcStop.load()) {
            SleepEx(INFINITE, TRUE);
        }
    });
    WaitForSingleObject(ready, INFINITE);
    for (auto _ : state) {
        QueueUserAPC(&answerApc, target, 0);
        WaitForSingleObject(gApcAnswer, INFINITE);
    }
    gApcStop = true;
    QueueUserAPC(&answerApc, target, 0);
    sleeper.join();
    CloseHandle(target);
    CloseHandle(ready);
    CloseHandle(gApcAnswer);
}
DAVRO_BENCHMARK(BM_ApcRoundTrip)->Name("Timer/ApcRoundTrip/win32")->UseRealTime();

#if !defined(_WIN32)
// The same round trip over two eventfds: written by the caller, read by the other thread,
// which answers on the second.
void BM_EventfdRoundTrip(benchmark::State& state) {
    const int request = eventfd(0, 0);
    const int answer = eventfd(0, 0);
    std::thread sleeper([&] {
        for (;;) {
            std::uint64_t value = 0;
            (void)!read(request, &value, sizeof value);
            if (value > 1) {
                return;
            }
            (void)!write(answer, &value, sizeof value);
        }
    });
    for (auto _ : state) {
        std::uint64_t value = 1;
        (void)!write(request, &value, sizeof value);
        (void)!read(answer, &value, sizeof value);
    }
    const std::uint64_t stop = 2;
    (void)!write(request, &stop, sizeof stop);
    sleeper.join();
    close(request);
    close(answer);
}
DAVRO_BENCHMARK(BM_EventfdRoundTrip)->Name("Timer/ApcRoundTrip/eventfd")->UseRealTime();
#endif

}  // namespace

int main(int argc, char** argv) { return davro::bench::runBenchmarks(argc, argv); }
