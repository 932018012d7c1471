// Conformance of handles, mutexes, events and semaphores. Object state is read back with
// polls (WaitForSingleObject(h, 0)) after each step.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "PlatformTestSupport.h"
#include "TestSupport.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#endif

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

        // The release lets a blocked waiter take it, which then owns it.
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
// unnamed and named mutexes alike; the next acquirer is told once, in single and multiple
// waits, and owns it.
TEST(MutexTest, ThreadThatEndsOwningItAbandonsIt) {
    const std::wstring name = uniqueName(L"abandoned");
    for (const wchar_t* n : {static_cast<const wchar_t*>(nullptr), name.c_str()}) {
        SCOPED_TRACE(n == nullptr ? "unnamed" : "named");
        Handles hs;
        HANDLE m = hs.mutex(FALSE, n);
        HANDLE e = hs.event();
        const HANDLE list[] = {e, m};
        std::thread([&] {
            WaitForSingleObject(m, 0);
            WaitForSingleObject(m, 0);
        }).join();
        EXPECT_EQ(WAIT_ABANDONED_0 + 1, WaitForMultipleObjects(2, list, FALSE, 0));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));  // ours now, once
        EXPECT_EQ(WAIT_TIMEOUT, pollMutexElsewhere(m));
        EXPECT_TRUE(ReleaseMutex(m));
        EXPECT_TRUE(ReleaseMutex(m));
        EXPECT_FALSE(ReleaseMutex(m));
        EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(m));  // reported once only

        // An owner ending while another thread is blocked on the mutex wakes it; that one
        // ends owning it too, and a wait-all reports that.
        HANDLE taken = hs.event(TRUE);
        HANDLE finish = hs.event(TRUE);
        std::thread owner([&] {
            WaitForSingleObject(m, 0);
            SetEvent(taken);
            WaitForSingleObject(finish, kBoundMs);
        });
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(taken, kBoundMs));
        {
            WaitProbe waiter([&] { return static_cast<int>(WaitForSingleObject(m, kBoundMs)); });
            EXPECT_TRUE(waiter.stillBlockedAfter(50ms));
            SetEvent(finish);
            owner.join();
            EXPECT_EQ(static_cast<int>(WAIT_ABANDONED), waiter.result());
        }
        SetEvent(e);
        // A satisfied wait-all has one status, whichever of its mutexes was abandoned.
        EXPECT_EQ(WAIT_ABANDONED_0, WaitForMultipleObjects(2, list, TRUE, 0));
        EXPECT_FALSE(eventIsSet(e, true));
        EXPECT_TRUE(ReleaseMutex(m));
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
        }
    }
}

// PulseEvent releases the waiters there are (all of them for a manual event, one for an
// auto event) and leaves the event reset, whatever its state was.
TEST(EventTest, PulseReleasesTheCurrentWaitersAndLeavesTheEventReset) {
    for (BOOL manual : {FALSE, TRUE}) {
        SCOPED_TRACE(manual ? "manual" : "auto");
        Handles hs;
        HANDLE e = hs.event(manual, TRUE);
        EXPECT_TRUE(PulseEvent(e));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
        EXPECT_TRUE(PulseEvent(e));  // nobody waits: nothing is kept for later
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
        WaitProbe first([&] { return static_cast<int>(WaitForSingleObject(e, kBoundMs)); });
        WaitProbe second([&] { return static_cast<int>(WaitForSingleObject(e, kBoundMs)); });
        ASSERT_TRUE(awaitWaiters(e, 2));
        EXPECT_TRUE(PulseEvent(e));
        if (manual) {
            EXPECT_EQ(0, first.result());
            EXPECT_EQ(0, second.result());
        } else {
            // One of the two got it; the other still waits, and a set releases it.
            WaitProbe* other = nullptr;
            for (int i = 0; other == nullptr && i < 500; ++i) {
                if (first.finishesWithin(10ms)) {
                    other = &second;
                } else if (second.finishesWithin(0ms)) {
                    other = &first;
                }
            }
            ASSERT_NE(nullptr, other);
            EXPECT_TRUE(other->stillBlockedAfter(50ms));
            EXPECT_TRUE(SetEvent(e));
            EXPECT_EQ(0, first.result());
            EXPECT_EQ(0, second.result());
        }
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    }
    Handles hs;
    DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_HANDLE, PulseEvent(hs.semaphore(0, 1)));
}

// Pulses while threads keep waiting: every pulse leaves the manual event reset.
TEST(EventTest, StressPulsesNeverLeaveAManualEventSet) {
    Handles hs;
    HANDLE e = hs.event(TRUE);
    std::atomic<bool> stop{false};
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            while (!stop.load()) {
                if (WaitForSingleObject(e, 20) == WAIT_OBJECT_0) {
                    ++released;
                }
            }
        });
    }
    int setAfterPulse = 0;
    // At least 2000 pulses, and on until one has released a waiter (the waiters may start late
    // on a loaded machine), for at most 10 s.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; i < 2000 || (released.load() == 0 && std::chrono::steady_clock::now() < giveUp);
         ++i) {
        PulseEvent(e);
        if (WaitForSingleObject(e, 0) == WAIT_OBJECT_0) {
            ++setAfterPulse;
        }
    }
    stop = true;
    for (std::thread& t : waiters) {
        t.join();
    }
    EXPECT_EQ(0, setAfterPulse);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    EXPECT_GT(released.load(), 0);
}

// SignalObjectAndWait signals by the kind of its first handle, fails as that signal would,
// and is queued on its second handle before anyone can see the signal: a partner that
// answers each signal with a pulse never misses it.
TEST(EventTest, SignalObjectAndWaitSignalsAndIsQueuedBeforeTheSignalShows) {
    Handles hs;
    HANDLE ping = hs.event();
    HANDLE pong = hs.event();
    constexpr int kRounds = 300;
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (WaitForSingleObject(ping, kBoundMs) != WAIT_OBJECT_0) {
                return;
            }
            PulseEvent(pong);
        }
    });
    int answered = 0;
    for (int i = 0; i < kRounds; ++i) {
        if (SignalObjectAndWait(ping, pong, kBoundMs, FALSE) == WAIT_OBJECT_0) {
            ++answered;
        }
    }
    partner.join();
    EXPECT_EQ(kRounds, answered);

    // A mutex is released and a semaphore counted up by one.
    HANDLE mutex = hs.mutex(TRUE);
    HANDLE semaphore = hs.semaphore(0, 2);
    HANDLE set = hs.event(TRUE, TRUE);
    EXPECT_EQ(WAIT_OBJECT_0, SignalObjectAndWait(mutex, set, 0, FALSE));
    EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(mutex));
    EXPECT_EQ(WAIT_OBJECT_0, SignalObjectAndWait(semaphore, set, kBoundMs, FALSE));
    EXPECT_EQ(1, semaphoreCount(semaphore));
    EXPECT_EQ(WAIT_TIMEOUT, SignalObjectAndWait(semaphore, pong, 10, FALSE));
    EXPECT_EQ(2, semaphoreCount(semaphore));
    // Errors of the signal come first, and nothing is waited for.
    DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_TOO_MANY_POSTS,
                       SignalObjectAndWait(semaphore, set, 0, FALSE));
    DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_NOT_OWNER, SignalObjectAndWait(mutex, set, 0, FALSE));
    HANDLE timer = hs.add(CreateWaitableTimerW(nullptr, TRUE, nullptr));
    DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_INVALID_HANDLE,
                       SignalObjectAndWait(timer, set, 0, FALSE));
    DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_INVALID_HANDLE,
                       SignalObjectAndWait(GetCurrentProcess(), set, 0, FALSE));
    EXPECT_EQ(2, semaphoreCount(semaphore));
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
// event one, a semaphore released by two two, a manual-reset event all) and the others stay
// blocked; more signals wake them one by one, and the object is left as its kind says.
TEST(WakeTest, OneSignalWakesAsManyBlockedWaitersAsItServes) {
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind == 0 ? "auto-reset event" : kind == 1 ? "semaphore" : "manual event");
        Handles hs;
        HANDLE h = kind == 1 ? hs.semaphore(0, 10) : hs.event(kind == 2);
        auto signal = [&](LONG n) {
            return kind == 1 ? ReleaseSemaphore(h, n, nullptr) : SetEvent(h);
        };
        auto wait = [h] { return static_cast<int>(WaitForSingleObject(h, kBoundMs)); };
        WaitProbe waiters[] = {WaitProbe(wait), WaitProbe(wait), WaitProbe(wait)};
        auto ended = [&] {
            int n = 0;
            for (WaitProbe& w : waiters) {
                n += w.finishesWithin(0ms) ? 1 : 0;
            }
            return n;
        };
        auto awaitEnded = [&](int n) {
            for (int i = 0; i < static_cast<int>(kBoundMs) && ended() < n; ++i) {
                Sleep(1);
            }
            return ended();
        };
        const int woken = kind + 1;
        ASSERT_TRUE(awaitWaiters(h, 3));  // all blocked
        EXPECT_EQ(0, ended());
        EXPECT_TRUE(signal(2));
        EXPECT_EQ(woken, awaitEnded(woken));
        Sleep(50);  // one-sided: a waiter woken too many would show by now
        EXPECT_EQ(woken, ended());
        for (int n = woken + 1; n <= 3; ++n) {
            EXPECT_TRUE(signal(1));
            EXPECT_EQ(n, awaitEnded(n));
        }
        for (WaitProbe& w : waiters) {
            EXPECT_EQ(0, w.result());
        }
        EXPECT_EQ(kind == 2 ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(h, 0));
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
        EXPECT_EQ(nullptr, copy);  // never the stale value left for a handle
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

    HANDLE waitOnly = nullptr;  // without DUPLICATE_SAME_ACCESS: the rights asked for only
    HANDLE setOnly = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), copy, GetCurrentProcess(), &waitOnly,
                                SYNCHRONIZE, FALSE, 0) &&
                DuplicateHandle(GetCurrentProcess(), copy, GetCurrentProcess(), &setOnly,
                                EVENT_MODIFY_STATE, FALSE, 0));
    hs.list.insert(hs.list.end(), {waitOnly, setOnly});
    DAVRO_EXPECT_ERROR(FALSE, ERROR_ACCESS_DENIED, SetEvent(waitOnly));
    DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_ACCESS_DENIED, WaitForSingleObject(setOnly, 0));
    EXPECT_TRUE(SetEvent(setOnly));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waitOnly, 0));

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
    EXPECT_NE(0u, GetCurrentProcessId());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(self, 10));  // never signalled
    EXPECT_TRUE(CloseHandle(self));                          // a no-op
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(self, 0));
    // Thread ids are non-zero, stable, and distinct between two live threads.
    const DWORD mine = GetCurrentThreadId();
    const DWORD other = onOtherThread([] { return GetCurrentThreadId(); });
    EXPECT_NE(0u, mine);
    EXPECT_EQ(mine, GetCurrentThreadId());
    EXPECT_NE(0u, other);
    EXPECT_NE(mine, other);
}

// A handle works with its two low tag bits set, as on Windows, and fits 32 bits (extended
// back with zeros or its sign). On Linux also after a million handles came and went, while
// one closed before them, whose object's memory was reused as often, names nothing.
TEST(HandleTest, TagBitsAreIgnoredAndValuesFit32Bits) {
    HANDLE stale = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(stale);
#ifndef _WIN32
    for (int i = 0; i < 1000000; ++i) {
        CloseHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
#endif
    Handles hs;
    HANDLE e = hs.event(TRUE);
    const auto v = reinterpret_cast<std::uintptr_t>(e);
    const auto low = static_cast<std::uint32_t>(v);
    const HANDLE forms[] = {
        // NOLINTBEGIN(performance-no-int-to-ptr)
        reinterpret_cast<HANDLE>(std::uintptr_t{low}),
        reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(static_cast<std::int32_t>(low))),
        reinterpret_cast<HANDLE>(v | 1), reinterpret_cast<HANDLE>(v | 2),
        reinterpret_cast<HANDLE>(v | 3)};  // NOLINTEND(performance-no-int-to-ptr)
    EXPECT_TRUE(forms[0] == e || forms[1] == e) << e;
    for (HANDLE h : forms) {
        EXPECT_TRUE(SetEvent(h) && WaitForSingleObject(e, 0) == WAIT_OBJECT_0 && ResetEvent(h) &&
                    WaitForSingleObject(h, 0) == WAIT_TIMEOUT)
            << h;
    }
#ifndef _WIN32  // Windows hands closed values out again at once
    DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_HANDLE, SetEvent(stale));
    DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_INVALID_HANDLE, WaitForSingleObject(stale, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));  // the newest object is untouched
#endif
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// With the heap full (RLIMIT_AS; not under the sanitizers, whose allocators cannot run so),
// posting until the queue cannot grow and closing an owned named mutex and an event never
// throw. The long name: what the close frees then cannot serve its own small allocations.
int closeAndPostWithTheHeapFull() {
    HANDLE named =
        CreateMutexW(nullptr, TRUE, (uniqueName(L"oom") + std::wstring(99, L'x')).c_str());
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlimit limit{static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE)) + (64u << 20),
                       RLIM_INFINITY};
    if (named == nullptr || event == nullptr || pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) {
        return 1;
    }
    void* volatile kept = nullptr;  // never freed: the heap stays full
    for (std::size_t size = 1u << 20; size > 0; size /= 2) {
        while ((kept = std::malloc(size)) != nullptr) {
        }
    }
    try {
        int posts = 0;
        while (PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0) && ++posts < 10000) {
        }
        const bool full = posts < 10000 && GetLastError() == ERROR_NOT_ENOUGH_MEMORY;
        return full && CloseHandle(named) && CloseHandle(event) ? 0 : 2;
    } catch (...) {
        return 3;
    }
}

TEST(HandleTest, ClosingAndPostingNeverThrowWhenMemoryRunsOut) {
    EXPECT_EQ(0, runForked(closeAndPostWithTheHeapFull, 4 * kBoundMs));
}
#endif

}  // namespace
}  // namespace davro::test
