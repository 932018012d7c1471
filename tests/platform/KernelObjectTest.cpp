// Conformance of handles, mutexes, events and semaphores. Object state is read back with
// polls (WaitForSingleObject(h, 0)) after each step.
#include <gtest/gtest.h>

#include <thread>

#include "PlatformTestSupport.h"
#include "TestSupport.h"

namespace davro::test {
namespace {

// ---- Mutexes ----

TEST(MutexTest, RecursionIsCountedAndOthersWaitUntilTheLastRelease) {
    HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
    EXPECT_EQ(WAIT_TIMEOUT, onOtherThread([&] { return WaitForSingleObject(m, 0); }));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WAIT_TIMEOUT, onOtherThread([&] { return WaitForSingleObject(m, 0); }));
    EXPECT_TRUE(ReleaseMutex(m));
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(ERROR_NOT_OWNER, GetLastError());
    // Free now: another thread takes it, and it is abandoned when that thread ends.
    EXPECT_EQ(WAIT_OBJECT_0, onOtherThread([&] {
                  const DWORD r = WaitForSingleObject(m, 0);
                  ReleaseMutex(m);
                  return r;
              }));
    EXPECT_TRUE(CloseHandle(m));
}

TEST(MutexTest, InitialOwnerOwnsItOnce) {
    HANDLE m = CreateMutexW(nullptr, TRUE, nullptr);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(WAIT_TIMEOUT, onOtherThread([&] { return WaitForSingleObject(m, 0); }));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(WAIT_OBJECT_0, onOtherThread([&] {
                  const DWORD r = WaitForSingleObject(m, 0);
                  ReleaseMutex(m);
                  return r;
              }));
    CloseHandle(m);
}

TEST(MutexTest, ReleaseByAnotherThreadFailsAndChangesNothing) {
    HANDLE m = CreateMutexW(nullptr, TRUE, nullptr);
    DWORD error = 0;
    EXPECT_EQ(static_cast<DWORD>(FALSE), onOtherThread([&] {
                  SetLastError(0);
                  const BOOL ok = ReleaseMutex(m);
                  error = GetLastError();
                  return static_cast<DWORD>(ok);
              }));
    EXPECT_EQ(ERROR_NOT_OWNER, error);
    EXPECT_EQ(WAIT_TIMEOUT, onOtherThread([&] { return WaitForSingleObject(m, 0); }));
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST(MutexTest, ThreadThatEndsOwningItAbandonsIt) {
    HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
    // Taken twice (recursively) by a std::thread that then ends.
    std::thread([&] {
        WaitForSingleObject(m, 0);
        WaitForSingleObject(m, 0);
    }).join();
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(m, 0));  // and now we own it, once
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
    EXPECT_EQ(WAIT_TIMEOUT, onOtherThread([&] { return WaitForSingleObject(m, 0); }));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    // The abandonment was reported once only.
    EXPECT_EQ(WAIT_OBJECT_0, onOtherThread([&] {
                  const DWORD r = WaitForSingleObject(m, 0);
                  ReleaseMutex(m);
                  return r;
              }));
    CloseHandle(m);
}

TEST(MutexTest, AbandonmentWakesABlockedWaiter) {
    HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE finish = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        WaitForSingleObject(m, 0);
        SetEvent(taken);
        WaitForSingleObject(finish, kBoundMs);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(taken, kBoundMs));
    WaitProbe waiter([&] {
        const DWORD r = WaitForSingleObject(m, kBoundMs);
        ReleaseMutex(m);
        return static_cast<int>(r);
    });
    EXPECT_TRUE(waiter.stillBlockedAfter(50ms));
    SetEvent(finish);
    owner.join();
    EXPECT_EQ(static_cast<int>(WAIT_ABANDONED), waiter.result());
    for (HANDLE h : {m, taken, finish}) {
        CloseHandle(h);
    }
}

TEST(MutexTest, ReleaseHandsTheMutexToABlockedWaiter) {
    HANDLE m = CreateMutexW(nullptr, TRUE, nullptr);
    WaitProbe waiter([&] {
        const DWORD r = WaitForSingleObject(m, kBoundMs);
        // Still ours after the main thread has polled it below.
        const BOOL released = ReleaseMutex(m);
        return static_cast<int>(r) + (released ? 0 : 1000);
    });
    EXPECT_TRUE(waiter.stillBlockedAfter(50ms));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(static_cast<int>(WAIT_OBJECT_0), waiter.result());
    CloseHandle(m);
}

// ---- Events ----

TEST(EventTest, AutoResetEventServesOneWaitPerSet) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    EXPECT_TRUE(SetEvent(e));
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    EXPECT_TRUE(SetEvent(e));
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    CloseHandle(e);
    HANDLE initiallySet = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(initiallySet, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(initiallySet, 0));
    CloseHandle(initiallySet);
}

TEST(EventTest, ManualResetEventStaysSetUntilReset) {
    HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    CloseHandle(e);
}

TEST(EventTest, SetWakesExactlyOneWaiterOfAnAutoResetEvent) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    WaitProbe first([&] { return static_cast<int>(WaitForSingleObject(e, kBoundMs)); });
    WaitProbe second([&] { return static_cast<int>(WaitForSingleObject(e, kBoundMs)); });
    EXPECT_TRUE(first.stillBlockedAfter(50ms));
    EXPECT_TRUE(second.stillBlockedAfter(0ms));
    SetEvent(e);
    // One of them returns; the other stays blocked and the event is consumed.
    bool firstWoke = false;
    for (int i = 0; i < static_cast<int>(kBoundMs); ++i) {
        if (first.finishesWithin(1ms)) {
            firstWoke = true;
            break;
        }
        if (second.finishesWithin(0ms)) {
            break;
        }
    }
    WaitProbe& other = firstWoke ? second : first;
    EXPECT_TRUE(other.stillBlockedAfter(50ms));
    SetEvent(e);
    EXPECT_EQ(0, first.result());
    EXPECT_EQ(0, second.result());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    CloseHandle(e);
}

TEST(EventTest, SetReleasesEveryWaiterOfAManualResetEvent) {
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WaitProbe first([&] { return static_cast<int>(WaitForSingleObject(e, kBoundMs)); });
    WaitProbe second([&] { return static_cast<int>(WaitForSingleObject(e, kBoundMs)); });
    EXPECT_TRUE(first.stillBlockedAfter(50ms));
    SetEvent(e);
    EXPECT_EQ(0, first.result());
    EXPECT_EQ(0, second.result());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    CloseHandle(e);
}

TEST(EventTest, EventCallsOnOtherKindsFail) {
    HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(m));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(ResetEvent(m));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(e));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(ReleaseSemaphore(e, 1, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));  // the mutex is untouched
    ReleaseMutex(m);
    CloseHandle(m);
    CloseHandle(e);
}

// ---- Semaphores ----

TEST(SemaphoreTest, CreationChecksItsCounts) {
    const LONG bad[][2] = {{-1, 5}, {6, 5}, {0, 0}, {0, -3}, {1, 0}};
    for (const auto& counts : bad) {
        SetLastError(0);
        EXPECT_EQ(nullptr, CreateSemaphoreW(nullptr, counts[0], counts[1], nullptr))
            << counts[0] << "/" << counts[1];
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    }
    HANDLE full = CreateSemaphoreW(nullptr, 5, 5, nullptr);
    ASSERT_NE(nullptr, full);
    EXPECT_EQ(5, semaphoreCount(full));
    CloseHandle(full);
    HANDLE big = CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr);
    ASSERT_NE(nullptr, big);
    LONG previous = kSentinel;
    EXPECT_TRUE(ReleaseSemaphore(big, 0x7FFFFFFF, &previous));
    EXPECT_EQ(0, previous);
    EXPECT_FALSE(ReleaseSemaphore(big, 1, nullptr));
    CloseHandle(big);
}

TEST(SemaphoreTest, ReleaseReportsThePreviousCountAndRefusesToPassTheMaximum) {
    HANDLE s = CreateSemaphoreW(nullptr, 1, 5, nullptr);
    LONG previous = kSentinel;
    EXPECT_TRUE(ReleaseSemaphore(s, 2, &previous));
    EXPECT_EQ(1, previous);
    EXPECT_EQ(3, semaphoreCount(s));
    EXPECT_TRUE(ReleaseSemaphore(s, 1, nullptr));  // the count pointer may be null
    EXPECT_EQ(4, semaphoreCount(s));

    previous = kSentinel;
    SetLastError(0);
    EXPECT_FALSE(ReleaseSemaphore(s, 2, &previous));
    EXPECT_EQ(ERROR_TOO_MANY_POSTS, GetLastError());
    EXPECT_EQ(kSentinel, previous);
    EXPECT_EQ(4, semaphoreCount(s));

    // Wine accepts a count of 0 and reports ERROR_TOO_MANY_POSTS for -1.
    if (!runningUnderWine()) {
        for (LONG zeroOrLess : {0, -1}) {
            SetLastError(0);
            EXPECT_FALSE(ReleaseSemaphore(s, zeroOrLess, &previous));
            EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
            EXPECT_EQ(kSentinel, previous);
        }
    }
    EXPECT_EQ(4, semaphoreCount(s));
    CloseHandle(s);
}

TEST(SemaphoreTest, ReleaseWakesAsManyWaitersAsItsCount) {
    HANDLE s = CreateSemaphoreW(nullptr, 0, 10, nullptr);
    WaitProbe a([&] { return static_cast<int>(WaitForSingleObject(s, kBoundMs)); });
    WaitProbe b([&] { return static_cast<int>(WaitForSingleObject(s, kBoundMs)); });
    WaitProbe c([&] { return static_cast<int>(WaitForSingleObject(s, kBoundMs)); });
    EXPECT_TRUE(a.stillBlockedAfter(50ms));
    EXPECT_TRUE(ReleaseSemaphore(s, 2, nullptr));
    int finished = 0;
    for (WaitProbe* p : {&a, &b, &c}) {
        finished += p->finishesWithin(200ms) ? 1 : 0;
    }
    EXPECT_GE(2, finished);  // the third one can only be waiting
    EXPECT_TRUE(ReleaseSemaphore(s, 1, nullptr));
    EXPECT_EQ(0, a.result());
    EXPECT_EQ(0, b.result());
    EXPECT_EQ(0, c.result());
    EXPECT_EQ(0, semaphoreCount(s));
    CloseHandle(s);
}

// ---- Handles ----

TEST(HandleTest, ClosedAndNeverValidHandlesFailCleanly) {
    HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(nullptr, e);
    EXPECT_NE(INVALID_HANDLE_VALUE, e);
    EXPECT_TRUE(CloseHandle(e));
    // Windows hands a closed handle's value to the next object created, so the closed value
    // is tried before anything else is created. Ours never reuses a value for a new object:
    // the stale value must not reach it.
#ifndef _WIN32
    HANDLE newer = CreateEventW(nullptr, TRUE, TRUE, nullptr);
#endif
    const HANDLE garbage[] = {e,
                              nullptr,
                              reinterpret_cast<HANDLE>(std::uintptr_t{1}),
                              reinterpret_cast<HANDLE>(std::uintptr_t{0x1234567}),
                              reinterpret_cast<HANDLE>(std::uintptr_t{0x7FFF12345678}),
                              reinterpret_cast<HANDLE>(~std::uintptr_t{0} - 7)};
    for (HANDLE h : garbage) {
        SetLastError(0);
        EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(h, 0)) << h;
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        SetLastError(0);
        EXPECT_FALSE(SetEvent(h));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        EXPECT_FALSE(ResetEvent(h));
        EXPECT_FALSE(ReleaseMutex(h));
        EXPECT_FALSE(ReleaseSemaphore(h, 1, nullptr));
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        HANDLE copy = kSentinelHandle;
        EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS));
#ifndef _WIN32
        EXPECT_EQ(kSentinelHandle, copy);  // Windows writes NULL here on failure; ours leaves it
#endif
    }
#ifndef _WIN32
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(newer, 0));  // untouched by the stale calls
    CloseHandle(newer);
#endif
}

TEST(HandleTest, DuplicateReachesTheSameObjectAndKeepsItAlive) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE copy = kSentinelHandle;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_NE(e, copy);
    EXPECT_NE(nullptr, copy);
    EXPECT_TRUE(SetEvent(copy));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_TRUE(CloseHandle(e));
    EXPECT_TRUE(SetEvent(copy));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(copy, 0));

    HANDLE moved = kSentinelHandle;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), copy, GetCurrentProcess(), &moved, 0, FALSE,
                                DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
#ifndef _WIN32
    // Windows may give the new handle the value it just closed; ours never reuses a value.
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(copy, 0));
#endif
    EXPECT_TRUE(SetEvent(moved));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(moved, 0));
    EXPECT_TRUE(CloseHandle(moved));
}

TEST(HandleTest, ClosingAHandleDoesNotEndAWaitOnItsObject) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    WaitProbe waiter([&] { return static_cast<int>(WaitForSingleObject(e, kBoundMs)); });
    EXPECT_TRUE(waiter.stillBlockedAfter(50ms));
    EXPECT_TRUE(CloseHandle(e));
    EXPECT_TRUE(waiter.stillBlockedAfter(50ms));
    EXPECT_TRUE(SetEvent(copy));
    EXPECT_EQ(0, waiter.result());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(copy, 0));  // consumed by the waiter
    CloseHandle(copy);
}

TEST(HandleTest, CurrentProcessIsAPseudoHandleThatIsNeverSignalled) {
    HANDLE self = GetCurrentProcess();
    EXPECT_EQ(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)), self);
    EXPECT_NE(0u, GetCurrentProcessId());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(self, 0));
    EXPECT_TRUE(CloseHandle(self));  // closing a pseudo-handle is a no-op
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(self, 10));
}

TEST(HandleTest, ThreadIdsAreNonZeroAndDistinctAmongLiveThreads) {
    const DWORD mine = GetCurrentThreadId();
    EXPECT_NE(0u, mine);
    EXPECT_EQ(mine, GetCurrentThreadId());
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD a = 0;
    DWORD b = 0;
    std::thread first([&] {
        a = GetCurrentThreadId();
        WaitForSingleObject(go, kBoundMs);
    });
    std::thread second([&] {
        b = GetCurrentThreadId();
        WaitForSingleObject(go, kBoundMs);
    });
    SetEvent(go);
    first.join();
    second.join();
    EXPECT_NE(0u, a);
    EXPECT_NE(0u, b);
    EXPECT_NE(a, b);
    EXPECT_NE(mine, a);
    EXPECT_NE(mine, b);
    CloseHandle(go);
}

}  // namespace
}  // namespace davro::test
