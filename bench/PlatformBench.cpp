// The kernel objects and waits of the platform layer, each beside a std/POSIX/futex
// baseline measured in the same run (bench/report.py sets the ratios against their targets).
// On Windows the semaphore baselines are the POSIX semaphores of the compiler's pthread
// library and the futex is WaitOnAddress; the Linux-only figures are left out there.
#include <benchmark/benchmark.h>
#include <davro/platform/Win32.h>
#include <semaphore.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BenchMain.h"
#include "TwoThreads.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "RobustSharedMutex.h"
#endif

namespace {

using namespace davro::win32;
using davro::bench::FutexEvent;

// ---- Uncontended acquire + release ----

void BM_MutexWaitRelease(benchmark::State& state) {
    HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
    for (auto _ : state) {
        WaitForSingleObject(m, INFINITE);
        ReleaseMutex(m);
    }
    CloseHandle(m);
}
DAVRO_BENCHMARK(BM_MutexWaitRelease)->Name("Kernel/MutexWaitRelease/win32");

void BM_StdRecursiveMutexLockUnlock(benchmark::State& state) {
    std::recursive_mutex m;
    for (auto _ : state) {
        m.lock();
        m.unlock();
    }
}
DAVRO_BENCHMARK(BM_StdRecursiveMutexLockUnlock)->Name("Kernel/MutexWaitRelease/std");

void BM_SemaphoreWaitRelease(benchmark::State& state) {
    HANDLE s = CreateSemaphoreW(nullptr, 1, 1, nullptr);
    for (auto _ : state) {
        WaitForSingleObject(s, INFINITE);
        ReleaseSemaphore(s, 1, nullptr);
    }
    CloseHandle(s);
}
DAVRO_BENCHMARK(BM_SemaphoreWaitRelease)->Name("Kernel/SemaphoreWaitRelease/win32");

void BM_AutoEventSetWait(benchmark::State& state) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (auto _ : state) {
        SetEvent(e);
        WaitForSingleObject(e, INFINITE);
    }
    CloseHandle(e);
}
DAVRO_BENCHMARK(BM_AutoEventSetWait)->Name("Kernel/AutoEventSetWait/win32");

void BM_PosixSemWaitPost(benchmark::State& state) {
    sem_t s;
    sem_init(&s, 0, 1);
    for (auto _ : state) {
        sem_wait(&s);
        sem_post(&s);
    }
    sem_destroy(&s);
}
DAVRO_BENCHMARK(BM_PosixSemWaitPost)->Name("Kernel/SemaphoreWaitRelease/posix");

void BM_PosixSemPostWait(benchmark::State& state) {
    sem_t s;
    sem_init(&s, 0, 0);
    for (auto _ : state) {
        sem_post(&s);
        sem_wait(&s);
    }
    sem_destroy(&s);
}
DAVRO_BENCHMARK(BM_PosixSemPostWait)->Name("Kernel/AutoEventSetWait/posix");

// ---- Ping-pong between two threads through two auto-reset events ----

// Keeps the calling thread on one CPU for its lifetime, the first that the process may
// run on, and gives it back its previous CPUs at the end. With both sides of a ping-pong
// on one CPU, every hand-over is a switch between two threads of one run queue instead of
// a wake-up on another CPU.
class OneCpu {
public:
    OneCpu() {
#if defined(_WIN32)
        DWORD_PTR process = 0;
        DWORD_PTR system = 0;
        GetProcessAffinityMask(GetCurrentProcess(), &process, &system);
        previous_ = SetThreadAffinityMask(GetCurrentThread(), process & (~process + 1));
#else
        pthread_getaffinity_np(pthread_self(), sizeof previous_, &previous_);
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &previous_)) {
                CPU_SET(cpu, &one);
                break;
            }
        }
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
#endif
    }
    ~OneCpu() {
#if defined(_WIN32)
        if (previous_ != 0) {
            SetThreadAffinityMask(GetCurrentThread(), previous_);
        }
#else
        pthread_setaffinity_np(pthread_self(), sizeof previous_, &previous_);
#endif
    }
    OneCpu(const OneCpu&) = delete;
    OneCpu& operator=(const OneCpu&) = delete;

private:
#if defined(_WIN32)
    DWORD_PTR previous_ = 0;
#else
    cpu_set_t previous_{};
#endif
};

// Two kernel auto-reset events.
class KernelEvent {
public:
    KernelEvent() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~KernelEvent() { CloseHandle(event_); }
    KernelEvent(const KernelEvent&) = delete;
    KernelEvent& operator=(const KernelEvent&) = delete;
    void set() { SetEvent(event_); }
    void wait() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

// One round trip per iteration; with `oneCpu` both threads run on the same CPU.
template <class Event>
void pingPong(benchmark::State& state, bool oneCpu) {
    Event ping;
    Event pong;
    std::optional<OneCpu> pinned;
    if (oneCpu) {
        pinned.emplace();
    }
    // The partner keeps to the CPU of the benchmark thread, the first allowed.
    davro::bench::pingPong(state, ping, pong, [oneCpu] {
        return oneCpu ? std::optional<OneCpu>(std::in_place) : std::optional<OneCpu>();
    });
}

void BM_EventPingPong(benchmark::State& state) { pingPong<KernelEvent>(state, false); }
DAVRO_BENCHMARK(BM_EventPingPong)->Name("Kernel/EventPingPong/win32")->UseRealTime();

void BM_FutexPingPong(benchmark::State& state) { pingPong<FutexEvent>(state, false); }
DAVRO_BENCHMARK(BM_FutexPingPong)->Name("Kernel/EventPingPong/futex")->UseRealTime();

void BM_EventPingPongOneCpu(benchmark::State& state) { pingPong<KernelEvent>(state, true); }
DAVRO_BENCHMARK(BM_EventPingPongOneCpu)->Name("Kernel/EventPingPongOneCpu/win32")->UseRealTime();

void BM_FutexPingPongOneCpu(benchmark::State& state) { pingPong<FutexEvent>(state, true); }
DAVRO_BENCHMARK(BM_FutexPingPongOneCpu)->Name("Kernel/EventPingPongOneCpu/futex")->UseRealTime();

// ---- Two threads: each its own mutex, or both one mutex ----

void BM_MutexOwnPerThread(benchmark::State& state) {
    HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
    for (auto _ : state) {
        WaitForSingleObject(m, INFINITE);
        ReleaseMutex(m);
    }
    CloseHandle(m);
    state.SetItemsProcessed(state.iterations());
}
DAVRO_BENCHMARK(BM_MutexOwnPerThread)
    ->Name("Kernel/MutexOwnPerThread/win32")
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

HANDLE sharedMutex() {
    static HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
    return m;
}

void BM_MutexContended(benchmark::State& state) {
    HANDLE m = sharedMutex();
    long counter = 0;
    for (auto _ : state) {
        WaitForSingleObject(m, INFINITE);
        benchmark::DoNotOptimize(++counter);
        ReleaseMutex(m);
    }
    state.SetItemsProcessed(state.iterations());
}
DAVRO_BENCHMARK(BM_MutexContended)
    ->Name("Kernel/MutexContended/win32")
    ->Threads(2)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime();

std::mutex gStdMutex;

void BM_StdMutexContended(benchmark::State& state) {
    long counter = 0;
    for (auto _ : state) {
        gStdMutex.lock();
        benchmark::DoNotOptimize(++counter);
        gStdMutex.unlock();
    }
    state.SetItemsProcessed(state.iterations());
}
DAVRO_BENCHMARK(BM_StdMutexContended)
    ->Name("Kernel/MutexContended/std")
    ->Threads(2)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime();

// ---- Wait-any over 64 handles, only the last signalled ----

void BM_WaitAny64LastSignalled(benchmark::State& state) {
    HANDLE list[MAXIMUM_WAIT_OBJECTS];
    for (HANDLE& h : list) {
        h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    SetEvent(list[MAXIMUM_WAIT_OBJECTS - 1]);
    for (auto _ : state) {
        benchmark::DoNotOptimize(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, list, FALSE, 0));
    }
    for (HANDLE h : list) {
        CloseHandle(h);
    }
}
DAVRO_BENCHMARK(BM_WaitAny64LastSignalled)->Name("Kernel/WaitAny64LastSignalled/win32");

void BM_ManualEventPoll(benchmark::State& state) {
    HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    for (auto _ : state) {
        benchmark::DoNotOptimize(WaitForSingleObject(e, 0));
    }
    CloseHandle(e);
}
DAVRO_BENCHMARK(BM_ManualEventPoll)->Name("Kernel/ManualEventPoll/win32");

// ---- Named mutex ----

void BM_NamedMutexWaitRelease(benchmark::State& state) {
    const std::wstring name = L"davro-bench-" + std::to_wstring(GetCurrentProcessId());
    HANDLE m = CreateMutexW(nullptr, FALSE, name.c_str());
    for (auto _ : state) {
        WaitForSingleObject(m, INFINITE);
        ReleaseMutex(m);
    }
    CloseHandle(m);
}
DAVRO_BENCHMARK(BM_NamedMutexWaitRelease)->Name("Kernel/NamedMutexWaitRelease/win32");

// ---- Named semaphore and auto-reset event: take + give, uncontended ----

void BM_NamedSemaphoreWaitRelease(benchmark::State& state) {
    const std::wstring name = L"davro-bench-sem-" + std::to_wstring(GetCurrentProcessId());
    HANDLE s = CreateSemaphoreW(nullptr, 1, 1, name.c_str());
    for (auto _ : state) {
        WaitForSingleObject(s, INFINITE);
        ReleaseSemaphore(s, 1, nullptr);
    }
    CloseHandle(s);
}
DAVRO_BENCHMARK(BM_NamedSemaphoreWaitRelease)->Name("Kernel/NamedSemaphoreWaitRelease/win32");

void BM_NamedAutoEventSetWait(benchmark::State& state) {
    const std::wstring name = L"davro-bench-event-" + std::to_wstring(GetCurrentProcessId());
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    for (auto _ : state) {
        SetEvent(e);
        WaitForSingleObject(e, INFINITE);
    }
    CloseHandle(e);
}
DAVRO_BENCHMARK(BM_NamedAutoEventSetWait)->Name("Kernel/NamedAutoEventSetWait/win32");

#if !defined(_WIN32)
// The baseline of both: a named POSIX semaphore, as sem_open shares it between processes.
void BM_NamedPosixSemaphore(benchmark::State& state) {
    const std::string name = "/davro-bench-posix-" + std::to_string(getpid());
    sem_t* s = sem_open(name.c_str(), O_CREAT | O_EXCL, 0600, 1);
    if (s == SEM_FAILED) {
        state.SkipWithError("sem_open failed");
        return;
    }
    for (auto _ : state) {
        sem_wait(s);
        sem_post(s);
    }
    sem_close(s);
    sem_unlink(name.c_str());
}
DAVRO_BENCHMARK(BM_NamedPosixSemaphore)->Name("Kernel/NamedSemaphoreWaitRelease/posix");

void BM_RobustSharedPthreadMutex(benchmark::State& state) {
    const davro::bench::RobustSharedMutex mutex;
    pthread_mutex_t* m = mutex.get();
    for (auto _ : state) {
        pthread_mutex_lock(m);
        pthread_mutex_unlock(m);
    }
}
DAVRO_BENCHMARK(BM_RobustSharedPthreadMutex)->Name("Kernel/NamedMutexWaitRelease/pthread");

// ---- Memory: a million objects created and closed, twice ----

long residentKb() {
    long pages = 0;
    long resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void BM_MillionObjectsCreatedAndClosed(benchmark::State& state) {
    constexpr int kObjects = 1000000;
    std::vector<HANDLE> handles(kObjects);
    long before = 0;
    long peak = 0;
    long afterFirst = 0;
    long afterSecond = 0;
    for (auto _ : state) {
        before = residentKb();
        for (int round = 0; round < 2; ++round) {
            for (int i = 0; i < kObjects; ++i) {
                handles[i] = (i % 3 == 0)   ? CreateMutexW(nullptr, FALSE, nullptr)
                             : (i % 3 == 1) ? CreateEventW(nullptr, TRUE, FALSE, nullptr)
                                            : CreateSemaphoreW(nullptr, 0, 5, nullptr);
            }
            peak = std::max(peak, residentKb());
            for (HANDLE h : handles) {
                CloseHandle(h);
            }
            (round == 0 ? afterFirst : afterSecond) = residentKb();
        }
    }
    state.counters["bytes_per_object"] = static_cast<double>(peak - before) * 1024 / kObjects;
    state.counters["growth_kb_round2"] = static_cast<double>(afterSecond - afterFirst);
}
DAVRO_BENCHMARK(BM_MillionObjectsCreatedAndClosed)
    ->Name("Kernel/MillionObjectsCreatedAndClosed/win32")
    ->Iterations(1)
    ->Repetitions(1)  // a later repetition reuses the first one's memory and would show 0
    ->Unit(benchmark::kMillisecond);
#endif

}  // namespace

int main(int argc, char** argv) { return davro::bench::runBenchmarks(argc, argv); }
