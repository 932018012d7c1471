// Named objects between two processes: how soon a sleeping waiter in one process wakes when
// another process releases a named mutex or sets a named event, alone and in a wait-any
// beside an unnamed event, and a ping-pong of two named auto-reset events; each beside the
// same done with a futex word in shared memory, the floor.
//
// A wake-up is timed from just before the release to the waiter's return, on the monotonic
// clock that both processes share, once the waiter is known to be asleep: the figures are
// the median of the samples of each run (manual time), not a throughput.
#include <benchmark/benchmark.h>
#include <davro/platform/Win32.h>

#include "BenchMain.h"

#if !defined(_WIN32)
#include <davro/platform/Testing.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>
#endif

namespace {

using namespace davro::win32;

#if !defined(_WIN32)

std::int64_t nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void futexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT, expected, nullptr,
            nullptr, 0);
}

void futexWake(std::atomic<std::uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE, INT_MAX, nullptr,
            nullptr, 0);
}

// What the two processes share: a round counter that the parent bumps to start a round, the
// waiter's announcement that it is about to sleep, its time of return, and the futex word of
// the baseline.
struct Shared {
    std::atomic<std::uint32_t> round;
    std::atomic<std::uint32_t> sleeping;
    std::atomic<std::uint32_t> done;
    std::atomic<std::uint32_t> word;
    std::atomic<std::int64_t> wokeAt;
};

// Waits, spinning and yielding, until `word` holds `value`.
void awaitValue(const std::atomic<std::uint32_t>& word, std::uint32_t value) {
    while (word.load() != value) {
        std::this_thread::yield();
    }
}

// How long to leave a waiter that has announced its sleep before it is woken: long enough
// for it to be in the kernel, as a waiter that a release finds asleep is.
constexpr useconds_t kSettleUs = 200;

enum class Wake { Futex, NamedEvent, NamedEventAny, NamedMutex, NamedMutexAny };

// One process waits, the other wakes it, `state.range` rounds per iteration.
void wakeAcrossProcesses(benchmark::State& state, Wake how) {
    auto* shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (shared == MAP_FAILED) {
        state.SkipWithError("mmap failed");
        return;
    }
    const std::wstring name = L"davro-bench-wake-" + std::to_wstring(GetCurrentProcessId());
    const bool mutex = how == Wake::NamedMutex || how == Wake::NamedMutexAny;
    HANDLE object = mutex ? CreateMutexW(nullptr, FALSE, name.c_str())
                          : CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    const pid_t child = fork();
    if (child == 0) {
        HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const HANDLE any[] = {never, object};
        const bool inAny = how == Wake::NamedEventAny || how == Wake::NamedMutexAny;
        for (std::uint32_t round = 1;; ++round) {
            awaitValue(shared->round, round);
            shared->sleeping.store(round);
            if (how == Wake::Futex) {
                while (shared->word.load() != round) {
                    futexWait(&shared->word, round - 1);
                }
            } else if (inAny) {
                WaitForMultipleObjects(2, any, FALSE, INFINITE);
            } else {
                WaitForSingleObject(object, INFINITE);
            }
            shared->wokeAt.store(nowNs());
            if (mutex) {
                ReleaseMutex(object);
            }
            shared->done.store(round);
        }
    }
    std::vector<double> samples;
    std::uint32_t round = 0;
    for (auto _ : state) {
        ++round;
        if (mutex) {
            WaitForSingleObject(object, INFINITE);
        }
        shared->round.store(round);
        awaitValue(shared->sleeping, round);
        if (how != Wake::Futex) {
            while (davro::win32::testing::waitersOn(object) == 0) {
                std::this_thread::yield();
            }
        }
        usleep(kSettleUs);
        const std::int64_t start = nowNs();
        if (how == Wake::Futex) {
            shared->word.store(round);
            futexWake(&shared->word);
        } else if (mutex) {
            ReleaseMutex(object);
        } else {
            SetEvent(object);
        }
        awaitValue(shared->done, round);
        const double seconds = static_cast<double>(shared->wokeAt.load() - start) / 1e9;
        samples.push_back(seconds);
        state.SetIterationTime(seconds);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    CloseHandle(object);
    munmap(shared, sizeof(Shared));
    if (!samples.empty()) {
        std::sort(samples.begin(), samples.end());
        state.counters["median_us"] = samples[samples.size() / 2] * 1e6;
    }
}

void BM_WakeFutex(benchmark::State& state) { wakeAcrossProcesses(state, Wake::Futex); }
void BM_WakeNamedEvent(benchmark::State& state) { wakeAcrossProcesses(state, Wake::NamedEvent); }
void BM_WakeNamedEventAny(benchmark::State& state) {
    wakeAcrossProcesses(state, Wake::NamedEventAny);
}
void BM_WakeNamedMutex(benchmark::State& state) { wakeAcrossProcesses(state, Wake::NamedMutex); }
void BM_WakeNamedMutexAny(benchmark::State& state) {
    wakeAcrossProcesses(state, Wake::NamedMutexAny);
}
DAVRO_BENCHMARK(BM_WakeFutex)->Name("Named/Wake/futex")->UseManualTime();
DAVRO_BENCHMARK(BM_WakeNamedEvent)->Name("Named/EventWake/win32")->UseManualTime();
DAVRO_BENCHMARK(BM_WakeNamedEventAny)->Name("Named/EventWakeInWaitAny/win32")->UseManualTime();
DAVRO_BENCHMARK(BM_WakeNamedMutex)->Name("Named/MutexWake/win32")->UseManualTime();
DAVRO_BENCHMARK(BM_WakeNamedMutexAny)->Name("Named/MutexWakeInWaitAny/win32")->UseManualTime();

// A ping-pong between two processes: each round trip is two wake-ups of a sleeping waiter.
void pingPongAcrossProcesses(benchmark::State& state, bool named) {
    auto* shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (shared == MAP_FAILED) {
        state.SkipWithError("mmap failed");
        return;
    }
    const std::wstring base = L"davro-bench-pingpong-" + std::to_wstring(GetCurrentProcessId());
    HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, (base + L"-ping").c_str());
    HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, (base + L"-pong").c_str());
    const pid_t child = fork();
    if (child == 0) {
        for (std::uint32_t n = 1;; n += 2) {
            if (named) {
                WaitForSingleObject(ping, INFINITE);
                SetEvent(pong);
            } else {
                while (shared->word.load() < n) {
                    futexWait(&shared->word, n - 1);
                }
                shared->word.store(n + 1);
                futexWake(&shared->word);
            }
        }
    }
    std::uint32_t n = 0;
    for (auto _ : state) {
        if (named) {
            SetEvent(ping);
            WaitForSingleObject(pong, INFINITE);
        } else {
            shared->word.store(n + 1);
            futexWake(&shared->word);
            while (shared->word.load() < n + 2) {
                futexWait(&shared->word, n + 1);
            }
            n += 2;
        }
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    CloseHandle(ping);
    CloseHandle(pong);
    munmap(shared, sizeof(Shared));
}

void BM_PingPongNamedEvents(benchmark::State& state) { pingPongAcrossProcesses(state, true); }
void BM_PingPongFutex(benchmark::State& state) { pingPongAcrossProcesses(state, false); }
DAVRO_BENCHMARK(BM_PingPongNamedEvents)->Name("Named/PingPong/win32")->UseRealTime();
DAVRO_BENCHMARK(BM_PingPongFutex)->Name("Named/PingPong/futex")->UseRealTime();

#endif

}  // namespace

int main(int argc, char** argv) { return davro::bench::runBenchmarks(argc, argv); }
