// Conformance of the thread functions: _beginthreadex, CreateThread and the thread handle as a
// waitable object, exit codes, GetCurrentThread, OpenThread, suspend counts, TerminateThread,
// priorities and ExitProcess.
// Threads are ordered with events; the only sleeps are one-sided "still stopped" probes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "ChildProcess.h"
#include "PlatformTestSupport.h"
#include "TestSupport.h"

#ifndef _WIN32
#include <davro/platform/Testing.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace davro::test {
namespace {

using Body = std::function<unsigned()>;

unsigned runBody(void* body) { return (*static_cast<Body*>(body))(); }

// Starts `body` on a thread of _beginthreadex; the handle, or null. The caller keeps `body`
// alive until the thread has ended: a thread that is terminated, or ends in _endthreadex,
// leaves its frames without running their destructors.
HANDLE start(Body& body, unsigned flags = 0, unsigned* id = nullptr) {
    return reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
        _beginthreadex(nullptr, 0, &runBody, &body, flags, id));
}

DWORD exitCodeOf(HANDLE thread) {
    DWORD code = 0xDEADBEEF;
    return GetExitCodeThread(thread, &code) ? code : 0xDEADBEEF;
}

// Waits (bounded) until `counter` moves past `from`; false if it never does.
bool movesPast(const std::atomic<long>& counter, long from) {
    for (int i = 0; i < 5000 && counter.load() <= from; ++i) {
        Sleep(1);
    }
    return counter.load() > from;
}

// One thread runs until released, one is created suspended and then ends: their handles in
// single and multiple waits, exit codes and suspend counts, and the running thread's view
// of itself.
TEST(ThreadHandleTest, RunsEndsWithItsResultAndWaitsAsAHandle) {
    Handles hs;
    HANDLE go = hs.event(TRUE);
    std::atomic<DWORD> seenId{0};
    std::atomic<bool> sawItselfRunning{false};
    std::atomic<HANDLE> own{nullptr};
    std::atomic<bool> ran{false};
    Body running = [&] {
        seenId = GetCurrentThreadId();
        DWORD code = 0;
        HANDLE copy = nullptr;
        sawItselfRunning =
            WaitForSingleObject(GetCurrentThread(), 0) == WAIT_TIMEOUT &&
            GetExitCodeThread(GetCurrentThread(), &code) && code == STILL_ACTIVE &&
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &copy, 0,
                            FALSE, DUPLICATE_SAME_ACCESS);
        own = copy;
        WaitForSingleObject(go, kBoundMs);
        return 42u;
    };
    Body quick = [&] { return ran = true, 3u; };
    unsigned id = 0;
    HANDLE t = hs.add(start(running, 0, &id));
    HANDLE held = hs.add(start(quick, CREATE_SUSPENDED));
    EXPECT_NE(nullptr, t);
    EXPECT_NE(0u, id);
    EXPECT_NE(GetCurrentThreadId(), id);
    EXPECT_EQ(STILL_ACTIVE, exitCodeOf(t));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));
    // Created suspended: held until its count is back to 0.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(held, 100));  // one-sided probe
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(1u, SuspendThread(held));  // counts from 1
    EXPECT_EQ(2u, ResumeThread(held));
    EXPECT_EQ(1u, ResumeThread(held));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held, kBoundMs));
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(0u, ResumeThread(held));  // ended, never suspended again: 0, nothing happens
    EXPECT_EQ(3u, exitCodeOf(held));
    // Both in waits on several objects.
    const HANDLE both[] = {t, held};
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, both, FALSE, kBoundMs));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, TRUE, 50));
    SetEvent(go);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, kBoundMs));
    EXPECT_EQ(42u, exitCodeOf(t));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 0));  // stays signalled
    EXPECT_EQ(id, seenId.load());
    EXPECT_TRUE(sawItselfRunning.load());
    HANDLE copy = hs.add(own.load());  // a real handle to that thread
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(copy, 0));
    EXPECT_EQ(42u, exitCodeOf(copy));
}

TEST(ThreadHandleTest, BadHandlesFailCleanly) {
    Body quick = [] { return 0u; };
    HANDLE closed = start(quick);
    WaitForSingleObject(closed, kBoundMs);
    CloseHandle(closed);
    Handles hs;
    for (HANDLE h : {static_cast<HANDLE>(nullptr), hs.event(TRUE), closed}) {
        DAVRO_EXPECT_ERROR(0xFFFFFFFFu, ERROR_INVALID_HANDLE, SuspendThread(h));
        DAVRO_EXPECT_ERROR(0xFFFFFFFFu, ERROR_INVALID_HANDLE, ResumeThread(h));
        DWORD code = kSentinel;
        EXPECT_FALSE(GetExitCodeThread(h, &code));
        EXPECT_EQ(static_cast<DWORD>(kSentinel), code);
        EXPECT_EQ(THREAD_PRIORITY_ERROR_RETURN, GetThreadPriority(h));
        EXPECT_FALSE(SetThreadPriority(h, THREAD_PRIORITY_NORMAL));
        EXPECT_FALSE(TerminateThread(h, 0));
    }
}

TEST(SuspendThreadTest, ABusyThreadStopsAndGoesOnWhenTheCountReturnsToZero) {
    std::atomic<long> counter{0};
    std::atomic<bool> stop{false};
    Body body = [&] {
        while (!stop.load(std::memory_order_relaxed)) {
            counter.fetch_add(1, std::memory_order_relaxed);
        }
        return 5u;
    };
    Handles hs;
    HANDLE t = hs.add(start(body));
    ASSERT_TRUE(movesPast(counter, 0));
    EXPECT_EQ(0u, SuspendThread(t));
    EXPECT_EQ(1u, SuspendThread(t));
    const long frozen = counter.load();
    Sleep(50);  // one-sided: a running thread would have counted on
    EXPECT_EQ(frozen, counter.load());
    EXPECT_EQ(2u, ResumeThread(t));
    Sleep(20);
    EXPECT_EQ(frozen, counter.load());  // still suspended once
    EXPECT_EQ(1u, ResumeThread(t));
    EXPECT_TRUE(movesPast(counter, frozen));
    EXPECT_EQ(0u, ResumeThread(t));
    stop = true;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
}

// A waiter suspended in its wait is out of it: the mutex released meanwhile goes to the
// next thread that asks, and the suspended one cannot end. Resumed, it takes the mutex.
TEST(SuspendThreadTest, ASuspendedWaiterIsPassedByAndTakesItsObjectOnceResumed) {
    Handles hs;
    HANDLE mutex = hs.mutex(TRUE);
    HANDLE waiting = hs.event(TRUE);
    Body body = [&] {
        SetEvent(waiting);
        const DWORD r = WaitForSingleObject(mutex, kBoundMs);
        return r + (ReleaseMutex(mutex) ? 0 : 1000);
    };
    HANDLE t = hs.add(start(body));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waiting, kBoundMs));
    EXPECT_TRUE(awaitWaiters(mutex, 1));  // queued on the mutex
    EXPECT_EQ(0u, SuspendThread(t));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WAIT_OBJECT_0, onOtherThread([&] {
                  const DWORD r = WaitForSingleObject(mutex, kBoundMs);
                  ReleaseMutex(mutex);
                  return r;
              }));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 50));  // suspended: cannot end
    EXPECT_EQ(1u, ResumeThread(t));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    EXPECT_EQ(WAIT_OBJECT_0, exitCodeOf(t));
}

TEST(SuspendThreadTest, AThreadCanSuspendItself) {
    std::atomic<bool> after{false};
    Body body = [&] {
        const DWORD previous = SuspendThread(GetCurrentThread());
        after = true;
        return previous;
    };
    Handles hs;
    HANDLE t = hs.add(start(body));
    // ResumeThread returns 0 and does nothing until the thread has suspended itself.
    DWORD count = 0;
    for (int i = 0; i < 5000 && (count = ResumeThread(t)) == 0; ++i) {
        EXPECT_FALSE(after.load());
        Sleep(1);
    }
    EXPECT_EQ(1u, count);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    EXPECT_TRUE(after.load());
    EXPECT_EQ(0u, exitCodeOf(t));
}

// Time spent suspended counts as slept: a thread suspended in Sleep(600) for 1200 ms returns
// soon after it is resumed, not with the rest of its sleep still to go. The thread gets
// 100 ms to be well inside its Sleep before it is suspended; a thread that was not (a
// loaded machine) starts sleeping only once resumed, so such a round is repeated, up to
// three rounds in all. A stretched sleep returns about 500 ms after the resumption in every
// round.
TEST(SuspendThreadTest, SuspensionDuringSleepCountsAsSlept) {
    using std::chrono::milliseconds;
    using Clock = std::chrono::steady_clock;
    constexpr milliseconds kSleep{600};
    constexpr DWORD kSuspendedMs = 1200;
    milliseconds late{-1};  // from the resumption to the end of Sleep, in the last round
    for (int round = 0; round < 3 && (late < milliseconds(0) || late >= kSleep / 2); ++round) {
        Handles hs;
        HANDLE sleeping = hs.event(TRUE);
        std::atomic<Clock::time_point> ended{};
        Body body = [&] {
            SetEvent(sleeping);
            Sleep(static_cast<DWORD>(kSleep.count()));
            ended = Clock::now();
            return 0u;
        };
        HANDLE t = hs.add(start(body));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sleeping, kBoundMs));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 100));  // lets it get into Sleep
        ASSERT_EQ(0u, SuspendThread(t));
        // Suspended: it cannot end, although its sleep runs out meanwhile.
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, kSuspendedMs));
        const Clock::time_point resumed = Clock::now();
        ASSERT_EQ(1u, ResumeThread(t));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
        late = std::chrono::duration_cast<milliseconds>(ended.load() - resumed);
    }
    EXPECT_LT(late.count(), (kSleep / 2).count()) << "ms: Sleep went on after the resumption";
}

// A running thread that owns a mutex, one asleep in a wait, one created suspended: each
// stops with the code given, and the mutex is abandoned; _endthreadex ends a thread alike.
TEST(TerminateThreadTest, StopsRunningWaitingAndSuspendedThreadsWithTheirCodes) {
    Handles hs;
    HANDLE mutex = hs.mutex();
    HANDLE event = hs.event();
    HANDLE ready = hs.semaphore(0, 2);
    std::atomic<long> counter{0};
    std::atomic<bool> ranPastTheEnd{false};
    Body spin = [&] {
        WaitForSingleObject(mutex, kBoundMs);
        ReleaseSemaphore(ready, 1, nullptr);
        for (;;) {
            counter.fetch_add(1, std::memory_order_relaxed);
        }
        return 0u;
    };
    Body wait = [&] {
        ReleaseSemaphore(ready, 1, nullptr);
        return WaitForSingleObject(event, 60000);
    };
    Body held = [&] { return ranPastTheEnd = true, 1u; };
    Body self = [&] {
        _endthreadex(7);
        ranPastTheEnd = true;
        return 1u;
    };
    const HANDLE threads[] = {hs.add(start(spin)), hs.add(start(wait)),
                              hs.add(start(held, CREATE_SUSPENDED)), hs.add(start(self))};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, kBoundMs));
    }
    EXPECT_TRUE(awaitWaiters(event, 1));  // the waiter is in its wait
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(TerminateThread(threads[i], 90 + i));
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(4, threads, TRUE, kBoundMs));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(90u + i, exitCodeOf(threads[i]));
    }
    EXPECT_EQ(7u, exitCodeOf(threads[3]));
    EXPECT_FALSE(ranPastTheEnd.load());
    const long last = counter.load();
    Sleep(20);
    EXPECT_EQ(last, counter.load());
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(mutex, kBoundMs));
    EXPECT_TRUE(ReleaseMutex(mutex));
    // The dead waiter no longer queues on the event: a set stays for the next wait.
    SetEvent(event);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
}

#ifndef _WIN32  // the objects alive are counted by a hook of the Linux layer
// A handle call is never split by a stop: a thread that duplicates a handle and closes the
// copy in a loop, terminated anywhere, leaves no reference behind once the copy it may have
// made and the source are closed. The objects alive come back to their number before.
TEST(TerminateThreadTest, AThreadStoppedInHandleCallsLeavesNoReferenceBehind) {
    struct Shared {
        HANDLE source = nullptr;
        HANDLE copy = nullptr;  // written by DuplicateHandle itself, so no copy goes unseen
        std::atomic<long> rounds{0};
    } s;
    const std::uint32_t before = davro::win32::testing::liveObjects();
    s.source = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Body churn = [&s] {
        for (;;) {
            DuplicateHandle(GetCurrentProcess(), s.source, GetCurrentProcess(), &s.copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
            CloseHandle(s.copy);
            s.rounds.fetch_add(1, std::memory_order_relaxed);
        }
        return 0u;
    };
    for (int i = 0; i < 300; ++i) {
        HANDLE t = start(churn);
        ASSERT_TRUE(movesPast(s.rounds, s.rounds.load()));
        EXPECT_TRUE(TerminateThread(t, 1));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
        CloseHandle(t);
        if (s.copy != nullptr) {
            CloseHandle(s.copy);  // made before the stop (or closed already: this then fails)
            s.copy = nullptr;
        }
    }
    EXPECT_TRUE(CloseHandle(s.source));
    std::uint32_t now = davro::win32::testing::liveObjects();
    for (int i = 0; i < 5000 && now > before; ++i) {
        Sleep(1);  // the last thread's object goes when that thread is wholly gone
        now = davro::win32::testing::liveObjects();
    }
    EXPECT_EQ(before, now);
}
#endif

TEST(ThreadPriorityTest, TheSevenLevelsReadBackAndOthersAreRefused) {
    Body quick = [] { return 0u; };
    Handles hs;
    HANDLE t = hs.add(start(quick, CREATE_SUSPENDED));
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(THREAD_PRIORITY_NORMAL, GetThreadPriority(t));
    for (int level : {THREAD_PRIORITY_IDLE, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_BELOW_NORMAL,
                      THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                      THREAD_PRIORITY_TIME_CRITICAL}) {
        EXPECT_TRUE(SetThreadPriority(t, level)) << level;
        EXPECT_EQ(level, GetThreadPriority(t));
    }
    for (int bad : {3, -3, 14, 16, -16}) {
        DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_PARAMETER, SetThreadPriority(t, bad));
        EXPECT_EQ(THREAD_PRIORITY_TIME_CRITICAL, GetThreadPriority(t));
    }
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(1u, ResumeThread(t));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
}

// ---- CreateThread and the calls around it ----

DWORD WINAPI runCreated(LPVOID body) { return (*static_cast<Body*>(body))(); }

HANDLE create(Body& body, DWORD flags = 0, DWORD* id = nullptr, SIZE_T stack = 0) {
    return CreateThread(nullptr, stack, &runCreated, &body, flags, id);
}

// A thread of CreateThread is a thread like those of _beginthreadex: created suspended with
// its id out, counted, resumed, given a message queue, waited for, with its routine's result.
TEST(CreateThreadTest, AThreadTakesPartInSuspensionMessagesAndWaits) {
    Handles hs;
    HANDLE ready = hs.event(TRUE);
    std::atomic<DWORD> seenId{0};
    Body body = [&] {
        seenId = GetCurrentThreadId();
        MSG m{};
        PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
        SetEvent(ready);
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, kBoundMs, QS_POSTMESSAGE) !=
                WAIT_OBJECT_0 ||
            !PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            return 1000u;
        }
        return static_cast<unsigned>(m.wParam);
    };
    DWORD id = kSentinel;
    HANDLE t = hs.add(create(body, CREATE_SUSPENDED, &id));
    ASSERT_NE(nullptr, t);
    EXPECT_NE(static_cast<DWORD>(kSentinel), id);
    EXPECT_NE(0u, id);
    EXPECT_EQ(id, GetThreadId(t));
    EXPECT_EQ(STILL_ACTIVE, exitCodeOf(t));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(ready, 50));  // one-sided: held suspended
    EXPECT_EQ(1u, SuspendThread(t));
    EXPECT_EQ(2u, ResumeThread(t));
    EXPECT_EQ(1u, ResumeThread(t));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, kBoundMs));
    EXPECT_EQ(id, seenId.load());
    EXPECT_TRUE(PostThreadMessageW(id, WM_APP, 7, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    EXPECT_EQ(7u, exitCodeOf(t));
    EXPECT_EQ(id, GetThreadId(t));  // the id stays readable after the end
    EXPECT_EQ(GetCurrentThreadId(), GetThreadId(GetCurrentThread()));
    DAVRO_EXPECT_ERROR(0u, ERROR_INVALID_HANDLE, GetThreadId(ready));
}

// ExitThread leaves at once with its code, without returning into the routine; what the thread
// owned is abandoned before its handle is signalled. A reservation of a stack size is honoured
// as far as the thread runs.
TEST(CreateThreadTest, ExitThreadEndsWithItsCodeAndAbandonsWhatTheThreadOwned) {
    Handles hs;
    HANDLE mutex = hs.mutex();
    std::atomic<bool> returned{false};
    Body body = [&] {
        WaitForSingleObject(mutex, kBoundMs);
        [] { ExitThread(5); }();
        returned = true;
        return 6u;
    };
    HANDLE t = hs.add(create(body, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr, 256 * 1024));
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    EXPECT_EQ(5u, exitCodeOf(t));
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(mutex, 0));
    EXPECT_TRUE(ReleaseMutex(mutex));
}

// OpenThread gives a handle to a live thread by its id with the access asked for: waits need
// SYNCHRONIZE (MAXIMUM_ALLOWED has it). The calling thread can open itself; an id of no thread
// gives NULL.
TEST(CreateThreadTest, OpenThreadOpensByIdWithTheAccessAskedFor) {
    Handles hs;
    HANDLE go = hs.event(TRUE);
    Body body = [&] { return WaitForSingleObject(go, kBoundMs) == WAIT_OBJECT_0 ? 9u : 1000u; };
    DWORD id = 0;
    HANDLE t = hs.add(create(body, 0, &id));
    ASSERT_NE(nullptr, t);
    HANDLE waitable = hs.add(OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, id));
    ASSERT_NE(nullptr, waitable);
    EXPECT_NE(t, waitable);
    EXPECT_EQ(id, GetThreadId(waitable));
    HANDLE queryOnly = hs.add(OpenThread(THREAD_QUERY_INFORMATION, FALSE, id));
    ASSERT_NE(nullptr, queryOnly);
    DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_ACCESS_DENIED, WaitForSingleObject(queryOnly, 0));
    EXPECT_EQ(STILL_ACTIVE, exitCodeOf(queryOnly));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(waitable, 0));
    SetEvent(go);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waitable, kBoundMs));
    EXPECT_EQ(9u, exitCodeOf(waitable));
    HANDLE self = hs.add(OpenThread(THREAD_ALL_ACCESS, FALSE, GetCurrentThreadId()));
    ASSERT_NE(nullptr, self);
    EXPECT_EQ(GetCurrentThreadId(), GetThreadId(self));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(self, 0));
    HANDLE maximal = hs.add(OpenThread(MAXIMUM_ALLOWED, FALSE, id));
    ASSERT_NE(nullptr, maximal);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(maximal, 0));  // MAXIMUM_ALLOWED: waits too
    DAVRO_EXPECT_ERROR(static_cast<HANDLE>(nullptr), ERROR_INVALID_PARAMETER,
                       OpenThread(SYNCHRONIZE, FALSE, 0));
}

TEST(CreateThreadTest, TheCurrentProcessIsStillActive) {
    DWORD code = kSentinel;
    EXPECT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    Handles hs;
    code = kSentinel;
    DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_HANDLE, GetExitCodeProcess(hs.event(), &code));
    EXPECT_EQ(static_cast<DWORD>(kSentinel), code);
    SwitchToThread();  // TRUE or FALSE, as other threads are ready or not: it returns
}

DAVRO_CHILD_BODY(exitsThroughExitProcess) {
    reportStep('a');
#if !defined(__SANITIZE_THREAD__)  // which starts no thread in a child forked from threads
    // Another thread is still running when the process ends.
    Body spin = [] {
        for (;;) {
            Sleep(1);
        }
        return 0u;
    };
    create(spin);
#endif
    ExitProcess(23);
}

TEST(CreateThreadTest, ExitProcessEndsTheProcessWithItsCode) {
    ChildProcess child(exitsThroughExitProcess);
    EXPECT_EQ('a', child.nextStep());
    EXPECT_EQ(23, child.wait());
}

// ---- Processors ----

int bitCount(DWORD_PTR mask) {
    int n = 0;
    for (; mask != 0; mask &= mask - 1) {
        ++n;
    }
    return n;
}

DWORD_PTR lowestBit(DWORD_PTR mask) { return mask & (~mask + 1); }

TEST(ProcessorTest, TheSystemInfoCountsTheProcessorsTheMasksName) {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    EXPECT_GE(info.dwNumberOfProcessors, 1u);
    EXPECT_EQ(static_cast<int>(info.dwNumberOfProcessors), bitCount(info.dwActiveProcessorMask));
    EXPECT_EQ(info.dwNumberOfProcessors, GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
    EXPECT_EQ(info.dwNumberOfProcessors, GetActiveProcessorCount(0));
    EXPECT_GE(info.dwPageSize, 4096u);
    EXPECT_EQ(0u, info.dwPageSize & (info.dwPageSize - 1));
    EXPECT_EQ(0x10000u, info.dwAllocationGranularity);
#if defined(__x86_64__) || defined(_M_X64)
    EXPECT_EQ(PROCESSOR_ARCHITECTURE_AMD64, info.wProcessorArchitecture);
#endif
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
    EXPECT_EQ(info.dwActiveProcessorMask, system);
    EXPECT_NE(0u, process);
    EXPECT_EQ(0u, process & ~system);
}

// A thread's mask changes through any handle to it, the previous one coming back; masks
// outside the process's are refused and change nothing.
TEST(ProcessorTest, ThreadAffinityIsSetThroughAnyHandleAndReadBackAsThePreviousMask) {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
    const DWORD_PTR one = lowestBit(process);
    Handles hs;
    HANDLE go = hs.event(TRUE);
    std::atomic<DWORD_PTR> seen{0};
    Body body = [&] {
        WaitForSingleObject(go, kBoundMs);
        seen = SetThreadAffinityMask(GetCurrentThread(), process);  // back to all
        return 0u;
    };
    HANDLE t = hs.add(create(body));
    ASSERT_NE(nullptr, t);
    const DWORD_PTR before = SetThreadAffinityMask(t, one);
    EXPECT_NE(0u, before);
    EXPECT_EQ(0u, before & ~process);
    DAVRO_EXPECT_ERROR(DWORD_PTR{0}, ERROR_INVALID_PARAMETER, SetThreadAffinityMask(t, 0));
    if (system != ~DWORD_PTR{0}) {
        DAVRO_EXPECT_ERROR(DWORD_PTR{0}, ERROR_INVALID_PARAMETER,
                           SetThreadAffinityMask(t, ~system));
    }
    SetEvent(go);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    EXPECT_EQ(one, seen.load());
    DAVRO_EXPECT_ERROR(DWORD_PTR{0}, ERROR_INVALID_HANDLE, SetThreadAffinityMask(go, one));
    DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_HANDLE, SetProcessAffinityMask(go, one));
}

// The process mask, set in a child so that this process keeps its own: threads made later
// run within it.
DAVRO_CHILD_BODY(bindsItselfToOneProcessor) {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        return 1;
    }
    const DWORD_PTR one = lowestBit(process);
    if (!SetProcessAffinityMask(GetCurrentProcess(), one) ||
        !GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process != one) {
        return 2;
    }
    if (system != ~DWORD_PTR{0} && SetProcessAffinityMask(GetCurrentProcess(), ~system)) {
        return 3;
    }
#if defined(__SANITIZE_THREAD__)
    return 0;  // ThreadSanitizer starts no thread in a child forked from threads (Linux)
#endif
    Body body = [] { return 0u; };
    HANDLE t = create(body, CREATE_SUSPENDED);
    const DWORD_PTR inherited = SetThreadAffinityMask(t, one);
    ResumeThread(t);
    WaitForSingleObject(t, kBoundMs);
    CloseHandle(t);
    return inherited == one ? 0 : 4;
}

TEST(ProcessorTest, TheProcessMaskBindsTheThreadsMadeAfterIt) {
    ChildProcess child(bindsItselfToOneProcessor);
    EXPECT_EQ(0, child.wait());
}

#ifndef _WIN32
// fork right after CreateThread: the new thread may not have started yet, and it is not in the
// child either, so there its handle is signalled (exit code 0) and nothing can be queued to it.
TEST(CreateThreadTest, AThreadStillStartingAtAForkHasEndedInTheChild) {
    for (int i = 0; i < 20; ++i) {
        HANDLE t = CreateThread(
            nullptr, 0, [](LPVOID) -> DWORD { return 1; }, nullptr, 0, nullptr);
        ASSERT_NE(nullptr, t);
        const int child = runForked(
            [t] {
                DWORD code = STILL_ACTIVE;
                const bool ended = WaitForSingleObject(t, kBoundMs) == WAIT_OBJECT_0 &&
                                   GetExitCodeThread(t, &code) != FALSE && (code == 0 || code == 1);
                const bool closed = QueueUserAPC([](ULONG_PTR) {}, t, 0) == 0;
                return (ended ? 0 : 1) | (closed ? 0 : 2);
            },
            4 * kBoundMs);
        EXPECT_EQ(0, child) << "at fork " << i;
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
        CloseHandle(t);
    }
}

// 100 * (nice - normal) + level of a thread made by one at normal + 5 (Linux: a nice value per
// thread). It starts at normal, as on Windows, unless raising is refused: then it says so.
int createdAtNicePlus5(int normal) {
    int seen = -1;
    std::thread([&] {
        setpriority(PRIO_PROCESS, 0, normal + 5);
        std::atomic<int> nice{99};
        Body body = [&] { return nice = getpriority(PRIO_PROCESS, 0), 0u; };
        HANDLE t = start(body);
        WaitForSingleObject(t, kBoundMs);
        seen = (nice - normal) * 100 + GetThreadPriority(t);
        CloseHandle(t);
    }).join();
    return seen;
}

TEST(ThreadPriorityTest, ANewThreadStartsAtNormalWhateverItsCreatorsPriority) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to raise a nice value here and to give that up in a child";
    }
    const int normal = getpriority(PRIO_PROCESS, 0);
    EXPECT_EQ(THREAD_PRIORITY_NORMAL, createdAtNicePlus5(normal));
    const rlimit none{0, 0};
    auto refusedInAChild = [&] {
        return setrlimit(RLIMIT_NICE, &none) != 0 || setuid(65534) != 0 ||
               createdAtNicePlus5(normal) != 500 + THREAD_PRIORITY_LOWEST;
    };
    EXPECT_EQ(0, runForked(refusedInAChild, 4 * kBoundMs));
}
#endif

}  // namespace
}  // namespace davro::test
