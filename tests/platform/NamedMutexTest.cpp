// Conformance of named mutexes: one mutex per name across handles, threads and processes.
// Abandonment by an ending thread and wait-all with a named mutex are in KernelObjectTest
// and WaitTest, beside the unnamed kinds.
#include <gtest/gtest.h>

#include <string>

#include "ChildProcess.h"
#include "PlatformTestSupport.h"
#include "TestSupport.h"

#ifndef _WIN32
#include <sys/stat.h>

#include <filesystem>
#endif

namespace davro::test {
namespace {

// Every handle to a name reaches one mutex, whichever thread opened it; the last close
// removes the name. A blocked wait-any elsewhere takes it when it comes free.
TEST(NamedMutexTest, SecondCreateOpensTheSameMutexAndIgnoresInitialOwner) {
    const std::wstring name = uniqueName(L"same");
    SetLastError(0xDEAD);
    HANDLE first = CreateMutexW(nullptr, TRUE, name.c_str());
    ASSERT_NE(nullptr, first);
    EXPECT_NE(ERROR_ALREADY_EXISTS, GetLastError());
    // Opened from another thread, with initial ownership asked for: not granted.
    HANDLE second = nullptr;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), onOtherThread([&] {
                  SetLastError(0);
                  second = CreateMutexW(nullptr, TRUE, name.c_str());
                  return GetLastError();
              }));
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(WAIT_TIMEOUT, pollMutexElsewhere(second));       // we own it through `first`
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));  // recursion, through `second`
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_EQ(WAIT_TIMEOUT, pollMutexElsewhere(first));
    HANDLE opened = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    ASSERT_NE(nullptr, opened);
    Handles hs;
    const HANDLE list[] = {opened, hs.event()};
    WaitProbe any([&] {
        const DWORD r = WaitForMultipleObjects(2, list, FALSE, kBoundMs);
        return static_cast<int>(r) + (ReleaseMutex(first) ? 0 : 1000);
    });
    EXPECT_TRUE(any.stillBlockedAfter(30ms));
    EXPECT_TRUE(ReleaseMutex(second));
    DAVRO_EXPECT_ERROR(FALSE, ERROR_NOT_OWNER, ReleaseMutex(opened));
    EXPECT_EQ(0, any.result());
    EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(first));
    for (HANDLE h : {first, second, opened}) {
        EXPECT_TRUE(CloseHandle(h));
    }
    // With every handle closed the name is gone.
    DAVRO_EXPECT_ERROR(nullptr, ERROR_FILE_NOT_FOUND, OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
    SetLastError(0);
    HANDLE again = CreateMutexW(nullptr, FALSE, name.c_str());
    EXPECT_NE(ERROR_ALREADY_EXISTS, GetLastError());
    CloseHandle(again);
}

TEST(NamedMutexTest, StrangeAndLongNamesStayInsideTheNamespace) {
    const std::wstring base = uniqueName(L"odd");
    const std::wstring names[] = {base + L"/slash", base + L"/../../etc/x", L"../" + base,
                                  base + L" space\u00e9\u4e2d", L".." + base};
    for (const std::wstring& name : names) {
        HANDLE m = CreateMutexW(nullptr, FALSE, name.c_str());
        ASSERT_NE(nullptr, m);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
        EXPECT_TRUE(ReleaseMutex(m));
        CloseHandle(m);
    }
    // Names that differ only after the part that fits a file name stay distinct.
    const std::wstring longName = base + std::wstring(250 - base.size(), L'x');
    Handles hs;
    HANDLE a = hs.mutex(TRUE, (longName + L"A").c_str());
    HANDLE b = hs.mutex(FALSE, (longName + L"B").c_str());
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(b));
    EXPECT_EQ(WAIT_TIMEOUT, pollMutexElsewhere(a));
    EXPECT_TRUE(ReleaseMutex(a));
    if (!runningUnderWine()) {  // Wine takes names longer than MAX_PATH
        SetLastError(0);
        EXPECT_EQ(nullptr, CreateMutexW(nullptr, FALSE, std::wstring(300, L'n').c_str()));
        EXPECT_NE(0u, GetLastError());
    }
#ifndef _WIN32  // the backing files are a Linux detail
    namespace fs = std::filesystem;
    EXPECT_FALSE(fs::exists("/etc/x"));
    for (const auto& entry : fs::directory_iterator("/dev/shm")) {
        const std::string file = entry.path().filename().string();
        struct stat st {};
        // A file may go while we look: another test closed its mutex meanwhile.
        if (file.rfind("davro.", 0) == 0 && stat(entry.path().c_str(), &st) == 0) {
            EXPECT_EQ(0u, st.st_mode & 077) << file;
        }
    }
#endif
}

// The child's side of the next test: it opens the mutex that the parent holds, sees it held,
// waits for it and holds it until it is killed.
DAVRO_CHILD_BODY(takesTheParentsMutex) {
    HANDLE mine = CreateMutexW(nullptr, FALSE, uniqueName(L"procs").c_str());
    if (mine == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) {
        return 1;
    }
    if (WaitForSingleObject(mine, 0) != WAIT_TIMEOUT || !reportStep('a')) {
        return 2;
    }
    if (WaitForSingleObject(mine, kBoundMs) != WAIT_OBJECT_0 || !reportStep('b')) {
        return 3;
    }
    // Holds it until killed: the event is never set.
    WaitForSingleObject(CreateEventW(nullptr, TRUE, FALSE, nullptr), 10 * kBoundMs);
    return 4;
}

// A child process opens the mutex that the parent holds, waits for it and gets it when the
// parent lets go; killed while it owns it, it leaves the mutex abandoned to the parent's
// waiter, which owns it then.
TEST(NamedMutexTest, ProcessesShareItAndAKilledOwnerAbandonsIt) {
    Handles hs;
    HANDLE m = hs.mutex(TRUE, uniqueName(L"procs").c_str());
    ASSERT_NE(nullptr, m);
    ChildProcess child(takesTheParentsMutex);
    EXPECT_EQ('a', child.nextStep());  // it saw the mutex held
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ('b', child.nextStep());  // and got it
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m, 0));
    WaitProbe waiter([&] {
        const DWORD r = WaitForSingleObject(m, kBoundMs);
        return static_cast<int>(r) + (ReleaseMutex(m) ? 0 : 1000);
    });
    EXPECT_TRUE(waiter.stillBlockedAfter(30ms));
    child.kill();
    EXPECT_EQ(static_cast<int>(WAIT_ABANDONED), waiter.result());
    EXPECT_EQ(ChildProcess::kKilled, child.wait());
    EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(m));  // reported once only
}

}  // namespace
}  // namespace davro::test
