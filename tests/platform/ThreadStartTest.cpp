// Start-up and end of _beginthreadex threads: the id handed to the creator, which the
// creator learns without waiting for the new thread, and what a thread terminated in a
// named-mutex wait leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "PlatformTestSupport.h"
#include "TestSupport.h"

namespace davro::test {
namespace {

struct IdReport {
    std::atomic<DWORD> id{0};
};

unsigned reportId(void* report) {
    static_cast<IdReport*>(report)->id = GetCurrentThreadId();
    return 7;
}

// Alternately suspended and running: a suspended thread must not run before ResumeThread,
// and a running one usually ends before its creator has returned.
TEST(ThreadStartTest, TheIdOutIsTheThreadsOwnWhetherItStartsSuspendedOrNot) {
    for (int i = 0; i < 100; ++i) {
        IdReport report;
        unsigned id = 0;
        const unsigned flags = i % 2 == 0 ? CREATE_SUSPENDED : 0;
        HANDLE t = reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
            _beginthreadex(nullptr, 0, &reportId, &report, flags, &id));
        ASSERT_NE(nullptr, t);
        EXPECT_NE(0u, id);
        if (flags == CREATE_SUSPENDED) {
            EXPECT_EQ(0u, report.id.load());
            EXPECT_EQ(1u, ResumeThread(t));
        }
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
        EXPECT_EQ(report.id.load(), id);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(7u, code);
        CloseHandle(t);
    }
}

struct NamedWaiter {
    HANDLE mutex;
    HANDLE ready;
};

unsigned waitOnNamed(void* argument) {
    auto* w = static_cast<NamedWaiter*>(argument);
    SetEvent(w->ready);
    return WaitForSingleObject(w->mutex, 10 * kBoundMs);  // terminated long before
}

// When the last handle goes, so does the name: the terminated wait holds nothing on it.
TEST(ThreadStartTest, AThreadTerminatedInANamedMutexWaitLeavesNoHoldOnTheName) {
    const std::wstring name = uniqueName(L"terminated-waiter");
    HANDLE owned = CreateMutexW(nullptr, TRUE, name.c_str());
    ASSERT_NE(nullptr, owned);
    NamedWaiter w{OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()),
                  CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ASSERT_NE(nullptr, w.mutex);
    HANDLE t = beginThread(&waitOnNamed, &w);
    ASSERT_NE(nullptr, t);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(w.ready, kBoundMs));
    EXPECT_TRUE(awaitWaiters(owned, 1));  // blocked in the lock
    ASSERT_TRUE(TerminateThread(t, 9));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(9u, code);
    CloseHandle(t);
    CloseHandle(w.ready);
    CloseHandle(w.mutex);
    EXPECT_TRUE(ReleaseMutex(owned));
    CloseHandle(owned);
    DAVRO_EXPECT_ERROR(nullptr, ERROR_FILE_NOT_FOUND, OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
}

}  // namespace
}  // namespace davro::test
