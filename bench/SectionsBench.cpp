// Sections and condition beside their standard counterparts, measured in the same run:
// YCriticalSection against std::recursive_mutex (alone and contended by 2, 4 and 8
// threads), both sides of YReadWriteSection against std::shared_mutex, and a YCondition
// signal-and-wake round trip against std::condition_variable.
#include <benchmark/benchmark.h>
#include <davro/primitives/Condition.h>
#include <davro/primitives/CriticalSection.h>
#include <davro/primitives/ReadWriteSection.h>

#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "BenchMain.h"
#include "TwoThreads.h"

namespace {

using namespace davro::win32;

// ---- lock + unlock, uncontended (one thread) and contended (two threads) ----

YCriticalSection& sharedSection() {
    static YCriticalSection section(L"Bench");
    return section;
}

std::recursive_mutex& sharedRecursiveMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

void BM_CriticalSectionLockUnlock(benchmark::State& state) {
    YCriticalSection& section = sharedSection();
    for (auto _ : state) {
        section.lock(INFINITE);
        section.unlock();
    }
    state.SetItemsProcessed(state.iterations());
}
DAVRO_BENCHMARK(BM_CriticalSectionLockUnlock)
    ->Name("Section/LockUnlock/davro")
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime();

void BM_StdRecursiveMutexLockUnlock(benchmark::State& state) {
    std::recursive_mutex& mutex = sharedRecursiveMutex();
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
    state.SetItemsProcessed(state.iterations());
}
DAVRO_BENCHMARK(BM_StdRecursiveMutexLockUnlock)
    ->Name("Section/LockUnlock/std")
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime();

// ---- read entry + exit, one and two reader threads ----

YReadWriteSection& sharedReadWriteSection() {
    static YReadWriteSection section(L"Bench");
    return section;
}

std::shared_mutex& sharedSharedMutex() {
    static std::shared_mutex mutex;
    return mutex;
}

void BM_ReadWriteSectionRead(benchmark::State& state) {
    YReadWriteSection& section = sharedReadWriteSection();
    for (auto _ : state) {
        section.enterSectionRead();
        section.leaveSectionRead();
    }
}
DAVRO_BENCHMARK(BM_ReadWriteSectionRead)
    ->Name("Section/ReadEnterLeave/davro")
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

void BM_StdSharedMutexRead(benchmark::State& state) {
    std::shared_mutex& mutex = sharedSharedMutex();
    for (auto _ : state) {
        mutex.lock_shared();
        mutex.unlock_shared();
    }
}
DAVRO_BENCHMARK(BM_StdSharedMutexRead)
    ->Name("Section/ReadEnterLeave/std")
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

// ---- write entry + exit, one thread ----
// Compared with YCriticalSection's lock + unlock above: the writer section is such a
// section, and a write entry also checks that no reader is inside.

void BM_ReadWriteSectionWrite(benchmark::State& state) {
    YReadWriteSection& section = sharedReadWriteSection();
    for (auto _ : state) {
        section.enterSectionWrite();
        section.leaveSectionWrite();
    }
}
DAVRO_BENCHMARK(BM_ReadWriteSectionWrite)->Name("Section/WriteEnterLeave/davro")->UseRealTime();

void BM_StdSharedMutexWrite(benchmark::State& state) {
    std::shared_mutex& mutex = sharedSharedMutex();
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
DAVRO_BENCHMARK(BM_StdSharedMutexWrite)->Name("Section/WriteEnterLeave/std")->UseRealTime();

// ---- signal-and-wake round trip between two threads ----
// The benchmark thread hands the turn to a partner thread and waits until it is handed
// back: two signals and two wake-ups per iteration, both sides under one lock.

void BM_ConditionRoundTrip(benchmark::State& state) {
    YCriticalSection lock;
    YCondition toPartner(lock);
    YCondition toMain(lock);
    int turn = 0;  // 1: the partner's turn
    bool stop = false;
    std::thread partner([&] {
        lock.enterSection();
        for (;;) {
            while (turn != 1 && !stop) {
                toPartner.wait(INFINITE);
            }
            if (stop) {
                break;
            }
            turn = 0;
            toMain.signal();
        }
        lock.leaveSection();
    });
    for (auto _ : state) {
        lock.enterSection();
        turn = 1;
        toPartner.signal();
        while (turn == 1) {
            toMain.wait(INFINITE);
        }
        lock.leaveSection();
    }
    lock.enterSection();
    stop = true;
    lock.leaveSection();
    toPartner.signal();
    partner.join();
}
DAVRO_BENCHMARK(BM_ConditionRoundTrip)->Name("Condition/RoundTrip/davro")->UseRealTime();

void BM_StdConditionVariableRoundTrip(benchmark::State& state) {
    davro::bench::stdConditionVariableRoundTrip(state);
}
DAVRO_BENCHMARK(BM_StdConditionVariableRoundTrip)->Name("Condition/RoundTrip/std")->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return davro::bench::runBenchmarks(argc, argv); }
