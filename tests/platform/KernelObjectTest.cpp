// Conformance of handles, mutexes, events and semaphores. Object state is read back with
// polls (WaitForSingleObject(h, 0)) after each step.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "PlatformTestSupport.h"
#include "TestSupport.h"

namespace davro::test {
namespace {

// ---- Mutexes ----

TEST(MutexTest, RecursionIsCountedOnlyTheOwnerReleasesAndAWaiterGetsItLast) {
    for (BOOL initialOwner : {FALSE, TRUE}) {
        SCOPED_TRACE(initialOwner ? "initial owner" : "taken by a wait");
        Handles hs;
        HANDLE m = hs.mutex(initialOwner);
        ASSERT_NE(nullptr, m);
        if (!initialOwner) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
        }
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));  // held twice now
        EXPECT_EQ(WAIT_TIMEOUT, pollMutexElsewhere(m));
        EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER),
                  onOtherThread([&] { return ReleaseMutex(m) ? 0 : GetLastError(); }));
        EXPECT_TRUE(ReleaseMutex(m));
        EXPECT_EQ(WAIT_TIMEOUT, pollMutexElsewhere(m));  // still held once
        EXPECT_TRUE(ReleaseMutex(m));
        DAVRO_EXPECT_ERROR(FALSE, ERROR_NOT_OWNER, ReleaseMutex(m));
        EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(m));

        // The release hands it to a blocked waiter, which then owns it.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
        WaitProbe waiter([&] {
            const DWORD r = WaitForSingleObject(m, kBoundMs);
            return static_cast<int>(r) + (ReleaseMutex(m) ? 0 : 1000);
        });
        EXPECT_TRUE(waiter.stillBlockedAfter(50ms));
        EXPECT_TRUE(ReleaseMutex(m));
        EXPECT_EQ(0, waiter.result());
    }
}

// Threads that this layer did not create (std::thread) abandon what they own when they end,
// unnamed and named mutexes alike; the next acquirer is told once and owns it.
TEST(MutexTest, ThreadThatEndsOwningItAbandonsIt) {
    const std::wstring name = uniqueName(L"abandoned");
    for (const wchar_t* n : {static_cast<const wchar_t*>(nullptr), name.c_str()}) {
        SCOPED_TRACE(n == nullptr ? "unnamed" : "named");
        Handles hs;
        HANDLE m = hs.mutex(FALSE, n);
        ASSERT_NE(nullptr, m);
        std::thread([&] {
            WaitForSingleObject(m, 0);
            WaitForSingleObject(m, 0);
        }).join();
        EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(m, 0));  // ours now, once
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
        EXPECT_EQ(WAIT_TIMEOUT, pollMutexElsewhere(m));
        EXPECT_TRUE(ReleaseMutex(m));
        EXPECT_TRUE(ReleaseMutex(m));
        EXPECT_FALSE(ReleaseMutex(m));
        EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(m));  // reported once only

        // An owner that ends while another thread is blocked on the mutex wakes it.
        HANDLE taken = hs.event(TRUE);
        HANDLE finish = hs.event(TRUE);
        std::thread owner([&] {
            WaitForSingleObject(m, 0);
            SetEvent(taken);
            WaitForSingleObject(finish, kBoundMs);
        });
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(taken, kBoundMs));
        WaitProbe waiter([&] {
            const DWORD r = WaitForSingleObject(m, kBoundMs);
            ReleaseMutex(m);
            return static_cast<int>(r);
        });
        EXPECT_TRUE(waiter.stillBlockedAfter(50ms));
        SetEvent(finish);
        owner.join();
        EXPECT_EQ(static_cast<int>(WAIT_ABANDONED), waiter.result());
        EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(m));
    }
}

// ---- Events and semaphores ----

TEST(EventTest, SetResetAndPollsInEveryModeAndInitialState) {
    for (BOOL manual : {FALSE, TRUE}) {
        for (BOOL initial : {FALSE, TRUE}) {
            SCOPED_TRACE(std::string(manual ? "manual" : "auto") + (initial ? ", set" : ""));
            Handles hs;
            HANDLE e = hs.event(manual, initial);
            ASSERT_NE(nullptr, e);
            EXPECT_EQ(initial ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(e, 0));
            // An auto-reset event was consumed by that poll; a manual one is unchanged.
            EXPECT_EQ(manual && initial ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(e, 0));
            EXPECT_TRUE(SetEvent(e));
            EXPECT_TRUE(SetEvent(e));  // two sets, one signal
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
            EXPECT_EQ(manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(e, 0));
            EXPECT_TRUE(ResetEvent(e));
            EXPECT_TRUE(ResetEvent(e));
            EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
            EXPECT_TRUE(SetEvent(e));
            EXPECT_TRUE(ResetEvent(e));
            EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
        }
    }
}

TEST(SemaphoreTest, CountsAreCheckedReportedAndNeverPassTheMaximum) {
    const LONG bad[][2] = {{-1, 5}, {6, 5}, {0, 0}, {0, -3}, {1, 0}};
    for (const auto& c : bad) {
        DAVRO_EXPECT_ERROR(nullptr, ERROR_INVALID_PARAMETER,
                           CreateSemaphoreW(nullptr, c[0], c[1], nullptr));
    }
    Handles hs;
    EXPECT_EQ(5, semaphoreCount(hs.semaphore(5, 5)));
    HANDLE big = hs.semaphore(0, 0x7FFFFFFF);
    LONG previous = kSentinel;
    EXPECT_TRUE(ReleaseSemaphore(big, 0x7FFFFFFF, &previous));
    EXPECT_EQ(0, previous);
    EXPECT_FALSE(ReleaseSemaphore(big, 1, nullptr));

    HANDLE s = hs.semaphore(1, 5);
    EXPECT_EQ(1, semaphoreCount(s));
    EXPECT_TRUE(ReleaseSemaphore(s, 2, &previous));
    EXPECT_EQ(1, previous);
    EXPECT_EQ(3, semaphoreCount(s));
    EXPECT_TRUE(ReleaseSemaphore(s, 1, nullptr));  // the count pointer may be null
    EXPECT_EQ(4, semaphoreCount(s));
    previous = kSentinel;
    DAVRO_EXPECT_ERROR(FALSE, ERROR_TOO_MANY_POSTS, ReleaseSemaphore(s, 2, &previous));
    EXPECT_EQ(kSentinel, previous);
    EXPECT_EQ(4, semaphoreCount(s));
    if (!runningUnderWine()) {  // Wine accepts 0 and reports ERROR_TOO_MANY_POSTS for -1
        for (LONG zeroOrLess : {0, -1}) {
            DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_PARAMETER,
                               ReleaseSemaphore(s, zeroOrLess, &previous));
            EXPECT_EQ(kSentinel, previous);
        }
    }
    EXPECT_EQ(4, semaphoreCount(s));
}

// Three waiters block on one object. One signal wakes as many as it serves (an auto-reset
// event one, a semaphore released by two two, a manual-reset event all); the others stay
// blocked until a signal each, and the object is left as its kind says.
TEST(WakeTest, OneSignalWakesAsManyBlockedWaitersAsItServes) {
    Handles hs;
    auto set = [](HANDLE h) { return SetEvent(h); };
    auto releaseOne = [](HANDLE h) { return ReleaseSemaphore(h, 1, nullptr); };
    struct Case {
        const char* what;
        HANDLE object;
        int woken;
        std::function<BOOL(HANDLE)> signal;
        std::function<BOOL(HANDLE)> signalOneMore;
        DWORD finalPoll;
    };
    const Case cases[] = {
        {"auto-reset event", hs.event(), 1, set, set, WAIT_TIMEOUT},
        {"semaphore", hs.semaphore(0, 10), 2,
         [](HANDLE h) { return ReleaseSemaphore(h, 2, nullptr); }, releaseOne, WAIT_TIMEOUT},
        {"manual-reset event", hs.event(TRUE), 3, set, set, WAIT_OBJECT_0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::unique_ptr<WaitProbe>> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.push_back(std::make_unique<WaitProbe>(
                [h = c.object] { return static_cast<int>(WaitForSingleObject(h, kBoundMs)); }));
        }
        auto ended = [&] {
            int n = 0;
            for (auto& w : waiters) {
                n += w->finishesWithin(0ms) ? 1 : 0;
            }
            return n;
        };
        auto awaitEnded = [&](int n) {
            for (int i = 0; i < static_cast<int>(kBoundMs) && ended() < n; ++i) {
                Sleep(1);
            }
            return ended();
        };
        EXPECT_TRUE(waiters[0]->stillBlockedAfter(50ms));
        EXPECT_EQ(0, ended());
        EXPECT_TRUE(c.signal(c.object));
        EXPECT_EQ(c.woken, awaitEnded(c.woken));
        Sleep(50);  // one-sided: a waiter woken too many would show by now
        EXPECT_EQ(c.woken, ended());
        for (int n = c.woken + 1; n <= 3; ++n) {
            EXPECT_TRUE(c.signalOneMore(c.object));
            EXPECT_EQ(n, awaitEnded(n));
        }
        for (auto& w : waiters) {
            EXPECT_EQ(0, w->result());
        }
        EXPECT_EQ(c.finalPoll, WaitForSingleObject(c.object, 0));
    }
}

// ---- Handles ----

TEST(HandleTest, ClosedNeverValidAndWrongKindHandlesFailCleanly) {
    // GoogleTest on Windows opens handles for a thread's first trace: done before the test.
    SCOPED_TRACE("invalid handles");
    HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(nullptr, e);
    EXPECT_NE(INVALID_HANDLE_VALUE, e);
    EXPECT_TRUE(CloseHandle(e));
    // Windows hands a closed handle's value to the next object created, so the closed value
    // is tried before anything else is created. Ours never reuses a value for a new object:
    // the stale value must not reach it.
    Handles hs;
#ifndef _WIN32
    HANDLE newer = hs.event(TRUE, TRUE);
#endif
    const HANDLE garbage[] = {e,
                              nullptr,
                              reinterpret_cast<HANDLE>(std::uintptr_t{1}),
                              reinterpret_cast<HANDLE>(std::uintptr_t{0x1234567}),
                              reinterpret_cast<HANDLE>(std::uintptr_t{0x7FFF12345678}),
                              reinterpret_cast<HANDLE>(~std::uintptr_t{0} - 7)};
    for (HANDLE h : garbage) {
        SCOPED_TRACE(h);
        DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_INVALID_HANDLE, WaitForSingleObject(h, 0));
        DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_HANDLE, SetEvent(h));
        DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_HANDLE, ResetEvent(h));
        DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_HANDLE, ReleaseMutex(h));
        DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_HANDLE, ReleaseSemaphore(h, 1, nullptr));
        DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_HANDLE, CloseHandle(h));
        HANDLE copy = kSentinelHandle;
        EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS));
#ifndef _WIN32
        EXPECT_EQ(kSentinelHandle, copy);  // Windows writes NULL here on failure; ours leaves it
#endif
    }
#ifndef _WIN32
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(newer, 0));  // untouched by the stale calls
#endif
    // Calls meant for another kind of object fail alike and change nothing.
    HANDLE m = hs.mutex();
    HANDLE autoEvent = hs.event();
    DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_HANDLE, SetEvent(m));
    DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_HANDLE, ResetEvent(m));
    DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_HANDLE, ReleaseMutex(autoEvent));
    DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_HANDLE, ReleaseSemaphore(autoEvent, 1, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(m));
    EXPECT_FALSE(eventIsSet(autoEvent, true));
}

// A duplicate reaches the same object and keeps it alive; closing a handle while waits on
// its object are under way, alone or in a wait-all, neither ends nor breaks them.
TEST(HandleTest, DuplicatesAndWaitsOutliveTheHandleTheyCameFrom) {
    Handles hs;
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE copy = kSentinelHandle;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_NE(e, copy);
    EXPECT_NE(nullptr, copy);
    EXPECT_TRUE(SetEvent(copy));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(copy, 0));

    HANDLE other = hs.event();
    HANDLE entering = hs.semaphore(0, 2);
    const HANDLE pair[] = {e, other};
    WaitProbe single([&] {
        ReleaseSemaphore(entering, 1, nullptr);
        return static_cast<int>(WaitForSingleObject(e, kBoundMs));
    });
    WaitProbe all([&] {
        ReleaseSemaphore(entering, 1, nullptr);
        return static_cast<int>(WaitForMultipleObjects(2, pair, TRUE, kBoundMs));
    });
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entering, kBoundMs));
    }
    EXPECT_TRUE(single.stillBlockedAfter(50ms));
    EXPECT_TRUE(CloseHandle(e));
    EXPECT_TRUE(single.stillBlockedAfter(50ms));
    EXPECT_TRUE(all.stillBlockedAfter(0ms));
    EXPECT_TRUE(SetEvent(copy));
    EXPECT_EQ(0, single.result());
    EXPECT_TRUE(all.stillBlockedAfter(20ms));  // still waits for `other`
    EXPECT_TRUE(SetEvent(other));
    EXPECT_EQ(0, all.result());
    EXPECT_FALSE(eventIsSet(other, true));

    HANDLE moved = kSentinelHandle;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), copy, GetCurrentProcess(), &moved, 0, FALSE,
                                DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
#ifndef _WIN32
    // Windows may give the new handle the value it just closed; ours never reuses a value.
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(copy, 0));
#endif
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(moved, 0));
    EXPECT_TRUE(CloseHandle(moved));
}

TEST(HandleTest, PseudoHandleOfTheProcessAndIdsOfLiveThreads) {
    HANDLE self = GetCurrentProcess();
    EXPECT_EQ(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)), self);
    EXPECT_NE(0u, GetCurrentProcessId());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(self, 10));  // never signalled
    EXPECT_TRUE(CloseHandle(self));                          // a no-op
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(self, 0));

    // Two threads alive at the same time, and this one, have three distinct non-zero ids.
    Handles hs;
    const HANDLE ready[] = {hs.event(TRUE), hs.event(TRUE)};
    HANDLE go = hs.event(TRUE);
    std::atomic<DWORD> ids[2] = {{0}, {0}};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            ids[i] = GetCurrentThreadId();
            SetEvent(ready[i]);
            WaitForSingleObject(go, kBoundMs);
        });
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, ready, TRUE, kBoundMs));
    const DWORD mine = GetCurrentThreadId();
    EXPECT_EQ(mine, GetCurrentThreadId());
    EXPECT_NE(0u, mine);
    EXPECT_NE(0u, ids[0]);
    EXPECT_NE(0u, ids[1]);
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(mine, ids[0]);
    EXPECT_NE(mine, ids[1]);
    SetEvent(go);
    for (std::thread& t : threads) {
        t.join();
    }
}

}  // namespace
}  // namespace davro::test
