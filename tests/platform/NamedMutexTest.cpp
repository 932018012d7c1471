// Conformance of named mutexes: one mutex per name across handles, threads and processes.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "PlatformTestSupport.h"
#include "TestSupport.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#endif

namespace davro::test {
namespace {

DWORD pollFromOtherThread(HANDLE m) {
    return onOtherThread([&] {
        const DWORD r = WaitForSingleObject(m, 0);
        if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
            ReleaseMutex(m);
        }
        return r;
    });
}

TEST(NamedMutexTest, SecondCreateOpensTheSameMutexAndIgnoresInitialOwner) {
    const std::wstring name = uniqueName(L"same");
    SetLastError(0xDEAD);
    HANDLE first = CreateMutexW(nullptr, TRUE, name.c_str());
    ASSERT_NE(nullptr, first);
    EXPECT_NE(ERROR_ALREADY_EXISTS, GetLastError());
    // Opened from another thread, with initial ownership asked for: not granted.
    HANDLE second = nullptr;
    DWORD error = 0;
    onOtherThread([&] {
        SetLastError(0);
        second = CreateMutexW(nullptr, TRUE, name.c_str());
        error = GetLastError();
        return 0;
    });
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(ERROR_ALREADY_EXISTS, error);
    EXPECT_EQ(WAIT_TIMEOUT, pollFromOtherThread(second));      // we own it through `first`
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));  // recursion, through `second`
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_EQ(WAIT_TIMEOUT, pollFromOtherThread(first));
    EXPECT_TRUE(ReleaseMutex(second));
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(second));
    EXPECT_EQ(ERROR_NOT_OWNER, GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, pollFromOtherThread(first));

    SetLastError(0);
    HANDLE opened = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    ASSERT_NE(nullptr, opened);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(opened, 0));
    EXPECT_EQ(WAIT_TIMEOUT, pollFromOtherThread(first));
    EXPECT_TRUE(ReleaseMutex(opened));
    for (HANDLE h : {first, second, opened}) {
        EXPECT_TRUE(CloseHandle(h));
    }
    // With every handle closed the name is gone.
    SetLastError(0);
    EXPECT_EQ(nullptr, OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
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
    std::wstring longA = base + std::wstring(250 - base.size(), L'x') + L"A";
    std::wstring longB = base + std::wstring(250 - base.size(), L'x') + L"B";
    HANDLE a = CreateMutexW(nullptr, TRUE, longA.c_str());
    HANDLE b = CreateMutexW(nullptr, FALSE, longB.c_str());
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(WAIT_OBJECT_0, pollFromOtherThread(b));
    EXPECT_EQ(WAIT_TIMEOUT, pollFromOtherThread(a));
    ReleaseMutex(a);
    CloseHandle(a);
    CloseHandle(b);

    const std::wstring tooLong(300, L'n');
    if (!runningUnderWine()) {  // Wine takes names longer than MAX_PATH
        SetLastError(0);
        EXPECT_EQ(nullptr, CreateMutexW(nullptr, FALSE, tooLong.c_str()));
        EXPECT_NE(0u, GetLastError());
    }
#ifndef _WIN32  // the backing files are a Linux detail
    namespace fs = std::filesystem;
    EXPECT_FALSE(fs::exists("/etc/x"));
    for (const auto& entry : fs::directory_iterator("/dev/shm")) {
        const std::string file = entry.path().filename().string();
        if (file.rfind("davro.", 0) == 0) {
            struct stat st {};
            if (stat(entry.path().c_str(), &st) != 0)
                continue;  // another test closed its mutex meanwhile
            EXPECT_EQ(0u, st.st_mode & 077) << file;
        }
    }
#endif
}

TEST(NamedMutexTest, ThreadThatEndsOwningItAbandonsIt) {
    const std::wstring name = uniqueName(L"thread");
    HANDLE m = CreateMutexW(nullptr, FALSE, name.c_str());
    std::thread([&] { WaitForSingleObject(m, 0); }).join();
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(m, 0));
    EXPECT_EQ(WAIT_TIMEOUT, pollFromOtherThread(m));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WAIT_OBJECT_0, pollFromOtherThread(m));
    CloseHandle(m);
}

TEST(NamedMutexTest, TakesPartInMultipleWaitsWithInProcessObjects) {
    const std::wstring name = uniqueName(L"multi");
    HANDLE m = CreateMutexW(nullptr, FALSE, name.c_str());
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const HANDLE list[] = {m, e};
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, list, FALSE, 0));  // lowest index
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, list, TRUE, 0));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WAIT_OBJECT_0, pollFromOtherThread(m));  // the failed wait-all left it free

    HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        WaitForSingleObject(m, 0);
        SetEvent(taken);
        WaitForSingleObject(release, kBoundMs);
        ReleaseMutex(m);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(taken, kBoundMs));
    WaitProbe any(
        [&] { return static_cast<int>(WaitForMultipleObjects(2, list, FALSE, kBoundMs)); });
    EXPECT_TRUE(any.stillBlockedAfter(30ms));
    SetEvent(e);
    EXPECT_EQ(1, any.result());

    WaitProbe all([&] {
        const DWORD r = WaitForMultipleObjects(2, list, TRUE, kBoundMs);
        ReleaseMutex(m);
        return static_cast<int>(r);
    });
    SetEvent(e);
    EXPECT_TRUE(all.stillBlockedAfter(30ms));
    EXPECT_TRUE(eventIsSet(e, true));  // not taken while the mutex is held elsewhere
    SetEvent(release);
    owner.join();
    EXPECT_EQ(0, all.result());
    EXPECT_FALSE(eventIsSet(e, true));
    for (HANDLE h : {m, e, taken, release}) {
        CloseHandle(h);
    }
}

#ifndef _WIN32  // the second process is made with fork()
TEST(NamedMutexTest, TwoProcessesShareOneMutex) {
    const std::wstring name = uniqueName(L"procs");
    HANDLE m = CreateMutexW(nullptr, TRUE, name.c_str());
    ASSERT_NE(nullptr, m);
    // 10: saw it held; 20: got it after our release; other values: failure.
    const int code = runInChild([&] {
        HANDLE mine = CreateMutexW(nullptr, FALSE, name.c_str());
        if (mine == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) {
            return 1;
        }
        if (WaitForSingleObject(mine, 0) != WAIT_TIMEOUT) {
            return 2;
        }
        return 10;
    });
    EXPECT_EQ(10, code);
    EXPECT_TRUE(ReleaseMutex(m));
    const int second = runInChild([&] {
        HANDLE mine = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
        if (mine == nullptr) {
            return 1;
        }
        const DWORD r = WaitForSingleObject(mine, kBoundMs);
        ReleaseMutex(mine);
        return r == WAIT_OBJECT_0 ? 20 : 3;
    });
    EXPECT_EQ(20, second);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
    ReleaseMutex(m);
    CloseHandle(m);
}

TEST(NamedMutexTest, ProcessKilledWhileOwningItAbandonsIt) {
    const std::wstring name = uniqueName(L"killed");
    HANDLE m = CreateMutexW(nullptr, FALSE, name.c_str());
    ASSERT_NE(nullptr, m);
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    const int code = runInChild(
        [&] {
            HANDLE mine = CreateMutexW(nullptr, FALSE, name.c_str());
            if (mine == nullptr || WaitForSingleObject(mine, 0) != WAIT_OBJECT_0) {
                return 1;
            }
            const char byte = 1;
            (void)!write(ready[1], &byte, 1);
            pause();  // until killed
            return 2;
        },
        [&](pid_t child) {
            char byte = 0;
            close(ready[1]);
            ASSERT_EQ(1, read(ready[0], &byte, 1));
            EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m, 0));
            kill(child, SIGKILL);
        });
    close(ready[0]);
    EXPECT_EQ(128 + SIGKILL, code);
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(m, kBoundMs));
    EXPECT_EQ(WAIT_TIMEOUT, pollFromOtherThread(m));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WAIT_OBJECT_0, pollFromOtherThread(m));
    CloseHandle(m);
}

TEST(NamedMutexTest, BlockedWaiterInAnotherProcessGetsTheAbandonedMutex) {
    const std::wstring name = uniqueName(L"waiter");
    HANDLE m = CreateMutexW(nullptr, FALSE, name.c_str());
    ASSERT_NE(nullptr, m);
    int locked[2];
    int go[2];
    ASSERT_EQ(0, pipe(locked));
    ASSERT_EQ(0, pipe(go));
    DWORD parentResult = WAIT_FAILED;
    // In the child, a std::thread takes the mutex and ends without releasing it while the
    // parent is (very likely) blocked waiting for it.
    const int code = runInChild(
        [&] {
            HANDLE mine = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
            if (mine == nullptr) {
                return 1;
            }
            std::thread([&] {
                WaitForSingleObject(mine, 0);
                char byte = 1;
                (void)!write(locked[1], &byte, 1);
                (void)!read(go[0], &byte, 1);
            }).join();
            return 0;
        },
        [&](pid_t) {
            char byte = 1;
            ASSERT_EQ(1, read(locked[0], &byte, 1));
            EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m, 0));
            ASSERT_EQ(1, write(go[1], &byte, 1));
            parentResult = WaitForSingleObject(m, kBoundMs);
        });
    for (int fd : {locked[0], locked[1], go[0], go[1]}) {
        close(fd);
    }
    EXPECT_EQ(0, code);
    EXPECT_EQ(WAIT_ABANDONED, parentResult);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}
#endif

}  // namespace
}  // namespace davro::test
