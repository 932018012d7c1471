// Stress of the thread functions: creation and end from several threads at once, a busy
// thread that uses kernel objects suspended and resumed by two threads in a loop, threads
// terminated at arbitrary points of their kernel calls, and (on Linux) thousands of ended
// threads that must leave nothing behind. Every wait is bounded: a time-out means a lost
// wake-up or a thread stopped inside the layer's own work.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <malloc.h>

#include <filesystem>
#include <fstream>
#include <string>
#endif

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

#ifndef _WIN32  // what a process holds is read from Linux's /proc
// The process's live threads, open descriptors, heap bytes in use and address space (kB).
// Resident memory is no measure here: cached stacks and transparent huge pages move it by
// megabytes with nothing lost.
struct ProcessUse {
    long threads = 0;
    long descriptors = 0;
    size_t heapBytes = 0;
    long addressSpaceKb = 0;
};

long entries(const char* directory) {
    long n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
        ++n;
    }
    return n;
}

ProcessUse processUse() {
    ProcessUse use{entries("/proc/self/task"), entries("/proc/self/fd"), mallinfo2().uordblks, 0};
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmSize:", 0) == 0) {
            use.addressSpaceKb = std::stol(line.substr(7));
        }
    }
    return use;
}

// A handle is signalled a moment before its thread's kernel task has gone: waits, bounded,
// until no more than `threads` are left.
ProcessUse processUseOnceSettled(long threads) {
    ProcessUse use = processUse();
    for (int i = 0; i < 5000 && use.threads > threads; ++i) {
        Sleep(1);
        use = processUse();
    }
    return use;
}

struct Blocked {
    HANDLE never;    // a manual-reset event that is never set
    HANDLE entered;  // one unit per thread about to wait
};

unsigned waitUntilTerminated(void* argument) {
    const auto* blocked = static_cast<const Blocked*>(argument);
    ReleaseSemaphore(blocked->entered, 1, nullptr);
    return WaitForSingleObject(blocked->never, 12 * kBoundMs);
}

// 2000 threads that return, then 200 terminated inside a wait, 20 at a time. The number of
// threads that did not end as expected.
int createAndEndThreads() {
    int failures = 0;
    for (int i = 0; i < 2000; ++i) {
        HANDLE t = begin([](void*) -> unsigned { return 5; }, nullptr);
        DWORD code = 0;
        if (t == nullptr || WaitForSingleObject(t, kBoundMs) != WAIT_OBJECT_0 ||
            !GetExitCodeThread(t, &code) || code != 5) {
            ++failures;
        }
        CloseHandle(t);
    }
    Handles hs;
    Blocked blocked{hs.event(TRUE, FALSE), hs.semaphore(0, 20)};
    for (int round = 0; round < 10; ++round) {
        HANDLE victims[20];
        for (HANDLE& victim : victims) {
            victim = begin(&waitUntilTerminated, &blocked);
        }
        for (HANDLE victim : victims) {
            if (victim != nullptr &&
                WaitForSingleObject(blocked.entered, kBoundMs) != WAIT_OBJECT_0) {
                ++failures;
            }
        }
        for (HANDLE victim : victims) {
            DWORD code = 0;
            if (!TerminateThread(victim, 77) ||
                WaitForSingleObject(victim, kBoundMs) != WAIT_OBJECT_0 ||
                !GetExitCodeThread(victim, &code) || code != 77) {
                ++failures;
            }
            CloseHandle(victim);
        }
    }
    return failures;
}

// A thread that ends, by returning or terminated in a wait, leaves no kernel task, descriptor
// or memory behind. The first pass fills the layer's pools and the C library's stack cache;
// the second must not grow anything: one thread or descriptor kept per thread would show in
// the thousands, 30 heap bytes per thread past the heap bound, one stack per thread in
// gigabytes of address space.
TEST(ThreadStressTest, ThreadsThatEndLeaveNoTaskDescriptorOrMemoryBehind) {
    const long threadsAtStart = processUse().threads;
    ASSERT_EQ(0, createAndEndThreads());
    const ProcessUse before = processUseOnceSettled(threadsAtStart);
    ASSERT_EQ(0, createAndEndThreads());
    const ProcessUse after = processUseOnceSettled(before.threads);
    EXPECT_LE(after.threads, before.threads);
    EXPECT_LE(after.descriptors, before.descriptors);
    EXPECT_LE(after.heapBytes, before.heapBytes + 64 * 1024);
    EXPECT_LE(after.addressSpaceKb, before.addressSpaceKb + 1024 * 1024);
}
#endif

}  // namespace
}  // namespace davro::test
