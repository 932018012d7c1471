// A mutex under contention: a running thread may take a released mutex before the waiter
// that the release woke (Win32 promises no order), but a queued waiter still gets it while
// another thread re-locks it in a loop, a wait-all still gets its whole set, ownership stays
// exclusive, waits that time out lose nobody's wake-up and abandonment reaches exactly one
// acquirer.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <davro/platform/Testing.h>
#endif

#include "PlatformTestSupport.h"
#include "TestSupport.h"

namespace davro::test {
namespace {

// Locks and releases `mutex` in a tight loop on its own thread until stopped.
class Hammer {
public:
    explicit Hammer(HANDLE mutex)
        : thread_([this, mutex] {
              while (!stop_.load()) {
                  if (WaitForSingleObject(mutex, kBoundMs) == WAIT_OBJECT_0) {
                      ++locks_;
                      ReleaseMutex(mutex);
                  }
              }
          }) {}
    ~Hammer() {
        stop_ = true;
        thread_.join();
    }
    Hammer(const Hammer&) = delete;
    Hammer& operator=(const Hammer&) = delete;

    // Waits (bounded) until the loop has locked at least `count` more times.
    void waitForLocks(long count) {
        const long target = locks_.load() + count;
        for (int i = 0; i < 5000 && locks_.load() < target; ++i) {
            Sleep(1);
        }
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> locks_{0};
    std::thread thread_;
};

TEST(MutexContentionTest, QueuedWaiterGetsTheMutexWhileOthersRelockItInALoop) {
    HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
    for (int hammers = 1; hammers <= 2; ++hammers) {
        std::vector<std::unique_ptr<Hammer>> loops;
        for (int i = 0; i < hammers; ++i) {
            loops.push_back(std::make_unique<Hammer>(m));
            loops.back()->waitForLocks(100);
        }
        for (int round = 0; round < 20; ++round) {
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, kBoundMs)) << round;
            EXPECT_TRUE(ReleaseMutex(m));
        }
    }
    CloseHandle(m);
}

TEST(MutexContentionTest, WaitAllGetsItsWholeSetWhileAnotherThreadRelocksTheMutex) {
    HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE s = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    const HANDLE set[] = {m, e, s};
    Hammer loop(m);
    loop.waitForLocks(100);
    for (int round = 0; round < 20; ++round) {
        // Queued first while the event and the semaphore are not signalled, then both are
        // signalled; the mutex is free only between the loop's releases and re-locks.
        std::thread signaller([&] {
            SetEvent(e);
            ReleaseSemaphore(s, 1, nullptr);
        });
        ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, set, TRUE, kBoundMs)) << round;
        signaller.join();
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));  // all taken at once
        EXPECT_EQ(0, semaphoreCount(s));
        EXPECT_TRUE(ReleaseMutex(m));
        EXPECT_FALSE(ReleaseMutex(m));  // owned once
    }
    for (HANDLE h : set) {
        CloseHandle(h);
    }
}

// Four threads take `m` by long waits, wait-anys, polls and 1 ms waits; the count of takes
// must match a counter that only the owner touches. A named mutex is polled in a wait-any,
// so its threads wait alone instead. On Linux every other thread of a named one locks
// through the C library's calls, beside threads that link into their robust list.
void expectExclusiveUnderContention(HANDLE m, bool named, int iterations) {
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE any[] = {never, m};
    std::atomic<DWORD> owner{0};
    std::atomic<int> failures{0};
    long counter = 0;  // guarded by the mutex
    constexpr int kThreads = 4;
    std::atomic<long> taken{0};
    std::mutex firstCalls;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const DWORD me = GetCurrentThreadId();
#ifndef _WIN32
            if (named) {  // the first call decides how the thread locks
                const std::lock_guard<std::mutex> guard(firstCalls);
                win32::testing::useCLibraryRobustLocks(t % 2 == 1);
                if (WaitForSingleObject(m, kBoundMs) == WAIT_OBJECT_0) {
                    ReleaseMutex(m);
                }
                win32::testing::useCLibraryRobustLocks(false);
            }
#endif
            for (int i = 0; i < iterations; ++i) {
                // Long waits must succeed (a lost wake-up would leave one asleep until its
                // bound); short ones may time out, also after a release asked them to retry.
                const int mode = (i + t) % 4;
                DWORD r = WAIT_FAILED;
                if (mode == 0 || (mode == 1 && named)) {
                    r = WaitForSingleObject(m, kBoundMs);
                } else if (mode == 1) {
                    r = WaitForMultipleObjects(2, any, FALSE, kBoundMs) == WAIT_OBJECT_0 + 1
                            ? WAIT_OBJECT_0
                            : WAIT_FAILED;
                } else {
                    r = WaitForSingleObject(m, mode == 2 ? 0 : 1);
                    if (r == WAIT_TIMEOUT) {
                        continue;
                    }
                }
                if (r != WAIT_OBJECT_0 || owner.exchange(me) != 0) {
                    ++failures;
                    return;
                }
                ++counter;
                owner.store(0);
                ++taken;
                ReleaseMutex(m);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(taken.load(), counter);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));  // free again
    ReleaseMutex(m);
    CloseHandle(never);
}

TEST(MutexContentionTest, OwnershipStaysExclusiveAndTimedOutWaitersLoseNoWakeUp) {
    Handles hs;
    expectExclusiveUnderContention(hs.mutex(FALSE, nullptr), false, 100000);
    expectExclusiveUnderContention(hs.mutex(FALSE, uniqueName(L"contended").c_str()), true, 20000);
}

TEST(MutexContentionTest, AWaiterWokenForTheMutexThatEndsOtherwisePassesTheWakeOn) {
    HANDLE m = CreateMutexW(nullptr, TRUE, nullptr);
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const HANDLE any[] = {e, m};
    // The release wakes the first waiter (a wait-any) to retry, and the event ends its
    // wait before it has woken up; the mutex must then reach the second waiter.
    WaitProbe first([&] {
        const DWORD r = WaitForMultipleObjects(2, any, FALSE, kBoundMs);
        if (r == WAIT_OBJECT_0 + 1) {
            ReleaseMutex(m);  // took the mutex after all: a valid order too
        }
        return static_cast<int>(r);
    });
    ASSERT_TRUE(awaitWaiters(m, 1));  // the first is queued before the second
    WaitProbe second([&] {
        const DWORD r = WaitForSingleObject(m, kBoundMs);
        ReleaseMutex(m);
        return static_cast<int>(r);
    });
    ASSERT_TRUE(awaitWaiters(m, 2));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(SetEvent(e));
    const int r = first.result();
    EXPECT_TRUE(r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1) << r;
    EXPECT_EQ(static_cast<int>(WAIT_OBJECT_0), second.result());
    EXPECT_EQ(r == WAIT_OBJECT_0 ? WAIT_TIMEOUT : WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    CloseHandle(m);
    CloseHandle(e);
}

TEST(MutexContentionTest, AbandonmentUnderContentionReachesExactlyOneAcquirer) {
    for (int round = 0; round < 10; ++round) {
        HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
        HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE end = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::thread owner([&] {
            WaitForSingleObject(m, 0);
            SetEvent(taken);
            WaitForSingleObject(end, kBoundMs);
        });  // ends owning the mutex
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(taken, kBoundMs));
        DWORD results[3] = {};
        std::vector<std::thread> waiters;
        for (DWORD& result : results) {
            waiters.emplace_back([&m, &result] {
                result = WaitForSingleObject(m, kBoundMs);
                ReleaseMutex(m);
            });
        }
        EXPECT_TRUE(awaitWaiters(m, 3));  // all queued (the threads are joined below)
        SetEvent(end);
        owner.join();
        for (std::thread& t : waiters) {
            t.join();
        }
        int abandoned = 0;
        for (DWORD r : results) {
            abandoned += r == WAIT_ABANDONED ? 1 : 0;
            EXPECT_TRUE(r == WAIT_ABANDONED || r == WAIT_OBJECT_0) << r;
        }
        EXPECT_EQ(1, abandoned) << round;
        for (HANDLE h : {m, taken, end}) {
            CloseHandle(h);
        }
    }
}

}  // namespace
}  // namespace davro::test
