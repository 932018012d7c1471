// Conformance of the thread functions: _beginthreadex and the thread handle as a waitable
// object, exit codes, GetCurrentThread, suspend counts, TerminateThread and priorities.
// Threads are ordered with events; the only sleeps are one-sided "still stopped" probes.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "PlatformTestSupport.h"

namespace davro::test {
namespace {

using Body = std::function<unsigned()>;

unsigned runBody(void* body) {
    const std::unique_ptr<Body> owned(static_cast<Body*>(body));
    return (*owned)();
}

// Starts `body` on a thread of _beginthreadex; the handle, or null.
HANDLE start(Body body, unsigned flags = 0, unsigned* id = nullptr) {
    auto* heap = new Body(std::move(body));
    const std::uintptr_t h = _beginthreadex(nullptr, 0, &runBody, heap, flags, id);
    if (h == 0) {
        delete heap;
    }
    return reinterpret_cast<HANDLE>(h);  // NOLINT(performance-no-int-to-ptr)
}

// Starts `body`, which the caller keeps alive until the thread has ended: for threads that
// are terminated, whose frames are left behind without running destructors.
unsigned runBorrowed(void* body) { return (*static_cast<Body*>(body))(); }
HANDLE startBorrowed(Body& body, unsigned flags = 0) {
    return reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
        _beginthreadex(nullptr, 0, &runBorrowed, &body, flags, nullptr));
}

DWORD exitCodeOf(HANDLE thread) {
    DWORD code = 0xDEADBEEF;
    return GetExitCodeThread(thread, &code) ? code : 0xDEADBEEF;
}

// Waits (bounded) until `counter` moves past `from`; false if it never does.
bool movesPast(const std::atomic<long>& counter, long from) {
    for (int i = 0; i < 5000; ++i) {
        if (counter.load() > from) {
            return true;
        }
        Sleep(1);
    }
    return false;
}

// A thread that counts as fast as it can until `stop` is set.
struct Busy {
    std::atomic<long> counter{0};
    std::atomic<bool> stop{false};
    HANDLE handle = nullptr;

    Busy() {
        handle = start([this] {
            while (!stop.load(std::memory_order_relaxed)) {
                counter.fetch_add(1, std::memory_order_relaxed);
            }
            return 5u;
        });
    }
    ~Busy() {
        stop = true;
        WaitForSingleObject(handle, kBoundMs);
        CloseHandle(handle);
    }
};

// ---- Creation, end and the handle as a waitable object ----

TEST(ThreadHandleTest, RunsReportsItsIdAndEndsWithTheRoutinesResult) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> seenId{0};
    unsigned id = 0;
    HANDLE t = start(
        [&] {
            seenId = GetCurrentThreadId();
            WaitForSingleObject(go, kBoundMs);
            return 42u;
        },
        0, &id);
    ASSERT_NE(nullptr, t);
    EXPECT_NE(0u, id);
    EXPECT_NE(GetCurrentThreadId(), id);
    EXPECT_EQ(STILL_ACTIVE, exitCodeOf(t));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));
    SetEvent(go);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    EXPECT_EQ(id, seenId.load());
    EXPECT_EQ(42u, exitCodeOf(t));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 0));  // stays signalled
    EXPECT_TRUE(CloseHandle(t));
    CloseHandle(go);
}

TEST(ThreadHandleTest, CreateSuspendedHoldsTheRoutineUntilResumed) {
    std::atomic<bool> ran{false};
    HANDLE t = start([&] { return ran = true, 3u; }, CREATE_SUSPENDED);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 100));  // one-sided probe
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(1u, SuspendThread(t));  // counts from 1
    EXPECT_EQ(2u, ResumeThread(t));
    EXPECT_EQ(1u, ResumeThread(t));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(0u, ResumeThread(t));  // ended, never suspended again: 0, nothing happens
    EXPECT_EQ(3u, exitCodeOf(t));
    CloseHandle(t);
}

TEST(ThreadHandleTest, ThreadsTakePartInWaitsOnSeveralObjects) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE running = start([&] { return WaitForSingleObject(release, kBoundMs); });
    HANDLE ended = start([] { return 0u; });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ended, kBoundMs));
    const HANDLE both[] = {running, ended};
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, both, FALSE, kBoundMs));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, TRUE, 50));
    SetEvent(release);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, kBoundMs));
    EXPECT_EQ(WAIT_OBJECT_0, exitCodeOf(running));
    CloseHandle(running);
    CloseHandle(ended);
    CloseHandle(release);
}

TEST(ThreadHandleTest, GetCurrentThreadIsTheCallerAndCanBeDuplicated) {
    EXPECT_EQ(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2)), GetCurrentThread());
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE own = nullptr;
    DWORD codeInside = 0;
    DWORD waitInside = 0;
    HANDLE t = start([&] {
        waitInside = WaitForSingleObject(GetCurrentThread(), 0);
        GetExitCodeThread(GetCurrentThread(), &codeInside);
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &own, 0,
                        FALSE, DUPLICATE_SAME_ACCESS);
        WaitForSingleObject(go, kBoundMs);
        return 11u;
    });
    ASSERT_NE(nullptr, t);
    SetEvent(go);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    EXPECT_EQ(WAIT_TIMEOUT, waitInside);
    EXPECT_EQ(STILL_ACTIVE, codeInside);
    ASSERT_NE(nullptr, own);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(own, 0));  // a real handle to that thread
    EXPECT_EQ(11u, exitCodeOf(own));
    CloseHandle(own);
    CloseHandle(t);
    CloseHandle(go);
}

TEST(ThreadHandleTest, EndthreadexEndsTheThreadWithItsCodeAtOnce) {
    std::atomic<bool> after{false};
    // Borrowed: _endthreadex leaves the thread's frames without running their destructors.
    Body body = [&] {
        _endthreadex(7);
        after = true;  // never reached
        return 1u;
    };
    HANDLE t = startBorrowed(body);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    EXPECT_EQ(7u, exitCodeOf(t));
    EXPECT_FALSE(after.load());
    CloseHandle(t);
}

TEST(ThreadHandleTest, BadHandlesFailCleanly) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE closed = start([] { return 0u; });
    WaitForSingleObject(closed, kBoundMs);
    CloseHandle(closed);
    for (HANDLE h : {static_cast<HANDLE>(nullptr), event, closed}) {
        SetLastError(0);
        EXPECT_EQ(0xFFFFFFFFu, SuspendThread(h));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        SetLastError(0);
        EXPECT_EQ(0xFFFFFFFFu, ResumeThread(h));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        DWORD code = kSentinel;
        EXPECT_FALSE(GetExitCodeThread(h, &code));
        EXPECT_EQ(static_cast<DWORD>(kSentinel), code);
        EXPECT_EQ(THREAD_PRIORITY_ERROR_RETURN, GetThreadPriority(h));
        EXPECT_FALSE(SetThreadPriority(h, THREAD_PRIORITY_NORMAL));
        EXPECT_FALSE(TerminateThread(h, 0));
    }
    CloseHandle(event);
}

// ---- Suspension ----

TEST(SuspendThreadTest, ABusyThreadStopsAndGoesOnWhenTheCountReturnsToZero) {
    Busy busy;
    ASSERT_NE(nullptr, busy.handle);
    ASSERT_TRUE(movesPast(busy.counter, 0));
    EXPECT_EQ(0u, SuspendThread(busy.handle));
    EXPECT_EQ(1u, SuspendThread(busy.handle));
    const long frozen = busy.counter.load();
    Sleep(50);  // one-sided: a running thread would have counted on
    EXPECT_EQ(frozen, busy.counter.load());
    EXPECT_EQ(2u, ResumeThread(busy.handle));
    Sleep(20);
    EXPECT_EQ(frozen, busy.counter.load());  // still suspended once
    EXPECT_EQ(1u, ResumeThread(busy.handle));
    EXPECT_TRUE(movesPast(busy.counter, frozen));
    EXPECT_EQ(0u, ResumeThread(busy.handle));
}

TEST(SuspendThreadTest, ASuspendedWaiterGetsItsObjectOnceResumed) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE waiting = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = start([&] {
        SetEvent(waiting);
        return WaitForSingleObject(event, kBoundMs);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waiting, kBoundMs));
    Sleep(20);  // most likely inside its wait by now; either way the result is the same
    EXPECT_EQ(0u, SuspendThread(t));
    SetEvent(event);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 50));  // suspended: cannot end
    EXPECT_EQ(1u, ResumeThread(t));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    EXPECT_EQ(WAIT_OBJECT_0, exitCodeOf(t));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));  // consumed by the thread
    CloseHandle(t);
    CloseHandle(waiting);
    CloseHandle(event);
}

TEST(SuspendThreadTest, ASuspendedWaiterIsPassedByUntilResumed) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
    HANDLE waiting = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = start([&] {
        SetEvent(waiting);
        const DWORD r = WaitForSingleObject(mutex, kBoundMs);
        ReleaseMutex(mutex);
        return r;
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waiting, kBoundMs));
    Sleep(20);  // most likely queued on the mutex by now
    EXPECT_EQ(0u, SuspendThread(t));
    EXPECT_TRUE(ReleaseMutex(mutex));
    // A suspended thread is out of its wait: the mutex goes to the next one who asks.
    EXPECT_EQ(WAIT_OBJECT_0, onOtherThread([&] {
                  const DWORD r = WaitForSingleObject(mutex, kBoundMs);
                  ReleaseMutex(mutex);
                  return r;
              }));
    EXPECT_EQ(1u, ResumeThread(t));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    EXPECT_EQ(WAIT_OBJECT_0, exitCodeOf(t));
    CloseHandle(t);
    CloseHandle(waiting);
    CloseHandle(mutex);
}

TEST(SuspendThreadTest, AThreadCanSuspendItself) {
    std::atomic<bool> after{false};
    HANDLE t = start([&] {
        const DWORD previous = SuspendThread(GetCurrentThread());
        after = true;
        return previous;
    });
    // ResumeThread returns 0 and does nothing until the thread has suspended itself.
    DWORD count = 0;
    for (int i = 0; i < 5000 && count == 0; ++i) {
        count = ResumeThread(t);
        if (count == 0) {
            EXPECT_FALSE(after.load());
            Sleep(1);
        }
    }
    EXPECT_EQ(1u, count);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    EXPECT_TRUE(after.load());
    EXPECT_EQ(0u, exitCodeOf(t));
    CloseHandle(t);
}

// ---- Termination ----

TEST(TerminateThreadTest, StopsARunningThreadWithTheCodeAndAbandonsItsMutex) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE holding = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<long> counter{0};
    Body body = [&] {
        WaitForSingleObject(mutex, kBoundMs);
        SetEvent(holding);
        for (;;) {
            counter.fetch_add(1, std::memory_order_relaxed);
        }
        return 0u;
    };
    HANDLE t = startBorrowed(body);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holding, kBoundMs));
    EXPECT_TRUE(TerminateThread(t, 99));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    EXPECT_EQ(99u, exitCodeOf(t));
    const long last = counter.load();
    Sleep(20);
    EXPECT_EQ(last, counter.load());
    EXPECT_EQ(static_cast<DWORD>(WAIT_ABANDONED), WaitForSingleObject(mutex, kBoundMs));
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(t);
    CloseHandle(holding);
    CloseHandle(mutex);
}

TEST(TerminateThreadTest, StopsAWaiterAndASuspendedThreadWithoutTouchingTheirObjects) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE waiting = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Body waitBody = [&] {
        SetEvent(waiting);
        return WaitForSingleObject(event, 60000);
    };
    HANDLE waiter = startBorrowed(waitBody);
    std::atomic<bool> ran{false};
    Body heldBody = [&] { return ran = true, 1u; };
    HANDLE held = startBorrowed(heldBody, CREATE_SUSPENDED);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waiting, kBoundMs));
    Sleep(20);  // most likely asleep in its wait by now
    EXPECT_TRUE(TerminateThread(waiter, 4));
    EXPECT_TRUE(TerminateThread(held, 6));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waiter, kBoundMs));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held, kBoundMs));
    EXPECT_EQ(4u, exitCodeOf(waiter));
    EXPECT_EQ(6u, exitCodeOf(held));
    EXPECT_FALSE(ran.load());
    // The dead waiter no longer queues on the event: a set stays for the next wait.
    SetEvent(event);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    CloseHandle(waiter);
    CloseHandle(held);
    CloseHandle(waiting);
    CloseHandle(event);
}

// ---- Priorities ----

TEST(ThreadPriorityTest, TheSevenLevelsReadBackAndOthersAreRefused) {
    HANDLE t = start([] { return 0u; }, CREATE_SUSPENDED);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(THREAD_PRIORITY_NORMAL, GetThreadPriority(t));
    for (int level : {THREAD_PRIORITY_IDLE, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_BELOW_NORMAL,
                      THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                      THREAD_PRIORITY_TIME_CRITICAL}) {
        EXPECT_TRUE(SetThreadPriority(t, level)) << level;
        EXPECT_EQ(level, GetThreadPriority(t));
    }
    for (int bad : {3, -3, 14, 16, -16}) {
        SetLastError(0);
        EXPECT_FALSE(SetThreadPriority(t, bad)) << bad;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
        EXPECT_EQ(THREAD_PRIORITY_TIME_CRITICAL, GetThreadPriority(t));
    }
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(1u, ResumeThread(t));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    CloseHandle(t);
}

}  // namespace
}  // namespace davro::test
