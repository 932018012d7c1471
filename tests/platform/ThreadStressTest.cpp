// Stress of the thread functions: creation and end from several threads at once, a busy
// thread that uses kernel objects suspended and resumed by two threads in a loop, and
// threads terminated at arbitrary points of their kernel calls. Every wait is bounded: a
// time-out means a lost wake-up or a thread stopped inside the layer's own work.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "PlatformTestSupport.h"
#include "TestSupport.h"

namespace davro::test {
namespace {

// Threads that take a shared mutex, create, poll and close an event, and give the mutex
// back, until told to stop.
struct Loop {
    std::atomic<long> rounds{0};
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    Handles hs;
    HANDLE mutex = hs.mutex();
};

unsigned kernelWork(void* argument) {
    auto* loop = static_cast<Loop*>(argument);
    while (!loop->stop.load()) {
        const DWORD r = WaitForSingleObject(loop->mutex, kBoundMs);
        if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) {
            loop->failures.fetch_add(1);
        }
        HANDLE scratch = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        WaitForSingleObject(scratch, 0);
        CloseHandle(scratch);
        ReleaseMutex(loop->mutex);
        loop->rounds.fetch_add(1);
    }
    return 0;
}

HANDLE begin(unsigned (*routine)(void*), void* argument, unsigned flags = 0) {
    return reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
        _beginthreadex(nullptr, 0, routine, argument, flags, nullptr));
}

TEST(ThreadStressTest, ManyThreadsCreatedAndWaitedForFromSeveralThreads) {
    constexpr int kCreators = 3;
    constexpr int kCycles = 600;
    std::atomic<int> failures{0};
    std::vector<std::thread> creators;
    for (int c = 0; c < kCreators; ++c) {
        creators.emplace_back([&, c] {
            for (int i = 0; i < kCycles; ++i) {
                const auto code = static_cast<std::uintptr_t>(c * kCycles + i);
                const bool suspended = i % 3 == 0;
                HANDLE t = begin(
                    [](void* p) {
                        return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p));
                    },
                    reinterpret_cast<void*>(code), suspended ? CREATE_SUSPENDED : 0);
                DWORD exitCode = 0;
                if (t == nullptr || (suspended && ResumeThread(t) != 1) ||
                    WaitForSingleObject(t, kBoundMs) != WAIT_OBJECT_0 ||
                    !GetExitCodeThread(t, &exitCode) || exitCode != code) {
                    failures.fetch_add(1);
                }
                CloseHandle(t);
            }
        });
    }
    for (auto& c : creators) {
        c.join();
    }
    EXPECT_EQ(0, failures.load());
}

TEST(ThreadStressTest, SuspendAndResumeOfABusyThreadInALoopNeverDeadlocks) {
    Loop loop;
    // A partner keeps handing the mutex back and forth with the worker.
    const HANDLE both[] = {loop.hs.add(begin(&kernelWork, &loop)),
                           loop.hs.add(begin(&kernelWork, &loop))};
    HANDLE worker = both[0];
    ASSERT_NE(nullptr, worker);
    std::atomic<int> failures{0};
    auto suspender = [&] {
        for (int i = 0; i < 400; ++i) {
            if (SuspendThread(worker) == 0xFFFFFFFF) {
                failures.fetch_add(1);
            }
            // Wherever the worker stopped, the layer's own work goes on for everyone else
            // (the mutex itself may be the worker's, so it is only polled).
            HANDLE scratch = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            SetEvent(scratch);
            if (WaitForSingleObject(scratch, kBoundMs) != WAIT_OBJECT_0 || !CloseHandle(scratch)) {
                failures.fetch_add(1);
            }
            const DWORD r = WaitForSingleObject(loop.mutex, 0);
            if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
                ReleaseMutex(loop.mutex);
            } else if (r != WAIT_TIMEOUT) {
                failures.fetch_add(1);
            }
            if (ResumeThread(worker) == 0) {
                failures.fetch_add(1);
            }
        }
    };
    std::thread first(suspender);
    std::thread second(suspender);
    first.join();
    second.join();
    const long before = loop.rounds.load();
    for (int i = 0; i < 5000 && loop.rounds.load() < before + 100; ++i) {
        Sleep(1);
    }
    EXPECT_GE(loop.rounds.load(), before + 100) << "the worker does not go on";
    loop.stop = true;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, kBoundMs));
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, loop.failures.load());
}

TEST(ThreadStressTest, ThreadsTerminatedInTheMiddleOfKernelCallsLeaveObjectsUsable) {
    if (runningUnderWine()) {
        GTEST_SKIP()
            << "Wine runs kernel calls in user mode under locks that a killed thread keeps";
    }
    Loop loop;
    HANDLE partner = loop.hs.add(begin(&kernelWork, &loop));
    for (int i = 0; i < 150; ++i) {
        const long start = loop.rounds.load();
        HANDLE victim = begin(&kernelWork, &loop);
        ASSERT_NE(nullptr, victim);
        for (int n = 0; n < 5000 && loop.rounds.load() < start + 2 + i % 7; ++n) {
            std::this_thread::yield();
        }
        EXPECT_TRUE(TerminateThread(victim, 77));
        DWORD code = 0;
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(victim, kBoundMs));
        EXPECT_TRUE(GetExitCodeThread(victim, &code));
        EXPECT_EQ(77u, code);
        CloseHandle(victim);
        // The mutex is free, owned by the partner, or abandoned by the victim: never lost.
        const DWORD r = WaitForSingleObject(loop.mutex, kBoundMs);
        EXPECT_TRUE(r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) << r;
        ReleaseMutex(loop.mutex);
    }
    loop.stop = true;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(partner, kBoundMs));
    EXPECT_EQ(0, loop.failures.load());
}

}  // namespace
}  // namespace davro::test
