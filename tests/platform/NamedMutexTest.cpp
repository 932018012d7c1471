// Conformance of named mutexes: one mutex per name across handles, threads and processes.
// Abandonment by an ending thread and wait-all with a named mutex are in KernelObjectTest
// and WaitTest, beside the unnamed kinds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "PlatformTestSupport.h"
#include "TestSupport.h"

#ifndef _WIN32
#include <davro/platform/Testing.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#endif

namespace davro::test {
namespace {

// Every handle to a name reaches one mutex, whichever thread opened it; the last close
// removes the name. A blocked wait-any elsewhere takes it when it comes free.
TEST(NamedMutexTest, SecondCreateOpensTheSameMutexAndIgnoresInitialOwner) {
    const std::wstring name = uniqueName(L"same");
    SetLastError(kSentinel);  // a new mutex, named or not, leaves the last error 0
    CloseHandle(CreateMutexW(nullptr, TRUE, nullptr));
    EXPECT_EQ(0u, GetLastError());
    SetLastError(kSentinel);
    HANDLE first = CreateMutexW(nullptr, TRUE, name.c_str());
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(0u, GetLastError());
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
    SetLastError(kSentinel);
    HANDLE opened = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    ASSERT_NE(nullptr, opened);
    EXPECT_EQ(static_cast<DWORD>(kSentinel), GetLastError());  // left alone
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

// A handle opened with some rights allows only those; a mask with neither is refused. Wine
// opens with any mask and lets any handle release.
TEST(NamedMutexTest, OpenedHandlesHaveTheAccessAskedFor) {
    const std::wstring name = uniqueName(L"access");
    Handles hs;
    HANDLE full = hs.mutex(FALSE, name.c_str());
    HANDLE waitOnly = hs.add(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
    HANDLE releaseOnly = hs.add(OpenMutexW(MUTEX_MODIFY_STATE, FALSE, name.c_str()));
    DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_ACCESS_DENIED, WaitForSingleObject(releaseOnly, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waitOnly, 0));
    if (!runningUnderWine()) {
        DAVRO_EXPECT_ERROR(nullptr, ERROR_ACCESS_DENIED,
                           OpenMutexW(0x00020000 /* READ_CONTROL */, FALSE, name.c_str()));
        DAVRO_EXPECT_ERROR(FALSE, ERROR_ACCESS_DENIED, ReleaseMutex(waitOnly));
    }
    EXPECT_TRUE(ReleaseMutex(runningUnderWine() ? waitOnly : releaseOnly));
    EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(full));
}

// The child's side of the next tests: takes the mutex and holds it until it is killed.
DAVRO_CHILD_BODY(holdsTheName) {
    HANDLE m = CreateMutexW(nullptr, FALSE, uniqueName(L"child").c_str());
    if (m == nullptr || WaitForSingleObject(m, 0) != WAIT_OBJECT_0 || !reportStep('a')) {
        return 1;
    }
    WaitForSingleObject(CreateEventW(nullptr, TRUE, FALSE, nullptr), 10 * kBoundMs);
    return 2;
}

// A wait-all over a mutex abandoned by a killed process and one that another thread holds
// times out without using up the abandonment: the next wait reports it, once.
TEST(NamedMutexTest, AWaitAllThatTimesOutLeavesTheAbandonmentForTheNextWait) {
    Handles hs;
    const HANDLE both[] = {hs.mutex(FALSE, uniqueName(L"child").c_str()),
                           hs.mutex(FALSE, uniqueName(L"held").c_str())};
    {
        ChildProcess child(holdsTheName);
        ASSERT_EQ('a', child.nextStep());
        child.kill();
        EXPECT_EQ(ChildProcess::kKilled, child.wait());
    }
    HANDLE taken = hs.event(TRUE);
    HANDLE done = hs.event(TRUE);
    std::thread holder([&] {
        WaitForSingleObject(both[1], 0);
        SetEvent(taken);
        WaitForSingleObject(done, kBoundMs);
        ReleaseMutex(both[1]);
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(taken, kBoundMs));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, TRUE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, TRUE, 30));
    SetEvent(done);
    holder.join();
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(both[0], 0));
    EXPECT_TRUE(ReleaseMutex(both[0]));
    EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(both[0]));
}

#ifndef _WIN32  // Windows gives a closed value to the next handle made, so polls would hit it
// Polls from one thread while another closes the last handle: each takes the mutex (and
// gives it back) or, once it is closed, fails with ERROR_INVALID_HANDLE.
TEST(NamedMutexTest, PollingWhileTheLastHandleIsClosedFailsCleanly) {
    const std::wstring name = uniqueName(L"closing");
    for (int i = 0; i < 200; ++i) {
        HANDLE m = CreateMutexW(nullptr, FALSE, name.c_str());
        ASSERT_NE(nullptr, m);
        std::atomic<int> polls{0};
        std::atomic<bool> closed{false};
        WaitProbe poller([&] {  // the number of wrong answers
            int wrong = 0;
            for (int after = 0; after < 20; after += closed.load() ? 1 : 0, ++polls) {
                SetLastError(0);
                const DWORD r = WaitForSingleObject(m, 0);
                if (r == WAIT_OBJECT_0) {
                    ReleaseMutex(m);  // fails after the close: the thread ends owning it
                } else {
                    wrong += r != WAIT_FAILED || GetLastError() != ERROR_INVALID_HANDLE ? 1 : 0;
                }
            }
            return wrong;
        });
        while (polls.load() < 1 + i % 8) {  // closed after some polls, or soon after the first
            std::this_thread::yield();
        }
        closed = CloseHandle(m);
        EXPECT_EQ(0, poller.result()) << i;
    }
}

// The file of a live named mutex (held by a child process) cut short, emptied or zeroed by
// someone else: creating and opening fail cleanly instead of reading past its end (SIGBUS).
TEST(NamedMutexTest, ATruncatedOrForeignFileIsRefusedCleanly) {
    const std::wstring name = uniqueName(L"child");
    const std::string file =
        "/dev/shm/davro." + std::to_string(geteuid()) + "." + std::string(name.begin(), name.end());
    ChildProcess child(holdsTheName);
    ASSERT_EQ('a', child.nextStep());
    for (const off_t size : {0, 100, 4096}) {  // the last: the right size, but zeros
        ASSERT_EQ(0, truncate(file.c_str(), 0));
        ASSERT_EQ(0, truncate(file.c_str(), size));
        DAVRO_EXPECT_ERROR(nullptr, ERROR_FILE_INVALID, CreateMutexW(nullptr, FALSE, name.c_str()));
        DAVRO_EXPECT_ERROR(nullptr, ERROR_FILE_INVALID,
                           OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
    }
    child.kill();
    child.wait();
    Handles hs;  // with nobody holding the name, the leftover file is remade
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hs.mutex(TRUE, name.c_str()), 0));
}

// The number of entries on the calling thread's robust list, checked on the way: each
// holds a word that this thread owns and is pointed back at by the entry after it (as the
// C library lays entries out); -1 at the first that is not.
int heldOnRobustList() {
    struct Head {
        void* list;
        long futexOffset;
        void* pending;
    };
    Head* head = nullptr;
    std::size_t length = 0;
    if (syscall(SYS_get_robust_list, 0, &head, &length) != 0) {
        return -1;
    }
    const auto prevOf = [](void* next) { return static_cast<void**>(next)[-1]; };
    const auto tid = static_cast<unsigned>(syscall(SYS_gettid));
    int count = 0;
    for (void* link = head->list; link != head; link = *static_cast<void**>(link), ++count) {
        const auto word =
            *reinterpret_cast<unsigned*>(static_cast<char*>(link) + head->futexOffset);
        if ((word & 0x3fffffff) != tid || prevOf(*static_cast<void**>(link)) != link) {
            return -1;
        }
    }
    return prevOf(head->list) == head ? count : -1;
}

// A thread's named mutexes join its robust list beside the C library's robust mutexes. Taken
// and given back interleaved, each side unlinking entries whose neighbours are the other's,
// the list stays whole: when the process is killed, the kernel releases every lock it still
// holds, of either kind. The same holds for a thread that locks through the C library's
// calls (as where the list is not recognised), and threads of both kinds share a mutex.
TEST(NamedMutexTest, ItSharesTheThreadsRobustListWithTheCLibrary) {
    void* memory = mmap(nullptr, 3 * sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, memory);
    auto* p = static_cast<pthread_mutex_t*>(memory);
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    for (int i = 0; i < 3; ++i) {
        pthread_mutex_init(&p[i], &attributes);
    }
    Handles hs;
    HANDLE n[3];
    for (int i = 0; i < 3; ++i) {
        n[i] = hs.mutex(FALSE, (uniqueName(L"list") + std::to_wstring(i)).c_str());
    }
    const auto take = [](HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; };
    for (const bool cLibrary : {false, true}) {
        const int code = runForked(
            [&] {
                std::thread own([&] {  // a thread that asks afresh how to lock
                    testing::useCLibraryRobustLocks(cLibrary);
                    // The list, newest first: p1 n1 p0 n0, then p1 n1 n0, p1 n0, n2 p2 p1 n0,
                    // and last n2 p2 p1, held when the process is killed.
                    const bool ok = take(n[0]) && pthread_mutex_lock(&p[0]) == 0 && take(n[1]) &&
                                    pthread_mutex_lock(&p[1]) == 0 &&
                                    pthread_mutex_unlock(&p[0]) == 0 && ReleaseMutex(n[1]) &&
                                    pthread_mutex_lock(&p[2]) == 0 && take(n[2]) &&
                                    ReleaseMutex(n[0]);
                    if (ok && heldOnRobustList() == 3) {
                        std::raise(SIGKILL);
                    }
                });
                own.join();
                return 1;
            },
            4 * kBoundMs);
        EXPECT_EQ(128 + SIGKILL, code) << cLibrary;
        for (int i = 0; i < 3; ++i) {
            const int rc = pthread_mutex_trylock(&p[i]);
            EXPECT_EQ(i == 0 ? 0 : EOWNERDEAD, rc) << cLibrary << i;
            if (rc == EOWNERDEAD) {
                pthread_mutex_consistent(&p[i]);
            }
            pthread_mutex_unlock(&p[i]);
            EXPECT_EQ(i == 2 ? WAIT_ABANDONED : WAIT_OBJECT_0, pollMutexElsewhere(n[i]))
                << cLibrary << i;
        }
    }
    // One mutex, a thread of each kind, each woken by the other's release (a lost wake-up
    // would leave it asleep for its whole time-out): the C library's kind gets it from this
    // thread, and this thread gets it back when that one ends, abandoning it.
    ASSERT_TRUE(take(n[0]));
    HANDLE got = hs.event();
    WaitProbe other([&] {
        testing::useCLibraryRobustLocks(true);
        const DWORD r = WaitForSingleObject(n[0], 10 * kBoundMs);
        testing::useCLibraryRobustLocks(false);
        SetEvent(got);
        testing::waitForWaiters(n[0], 1, kBoundMs);
        return static_cast<int>(r);
    });
    EXPECT_TRUE(awaitWaiters(n[0], 1));
    EXPECT_TRUE(other.stillBlockedAfter(30ms));  // asleep by now, as a rule
    EXPECT_TRUE(ReleaseMutex(n[0]));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(got, kBoundMs));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(n[0], 10 * kBoundMs));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kBoundMs));
    EXPECT_EQ(static_cast<int>(WAIT_OBJECT_0), other.result());
    EXPECT_TRUE(ReleaseMutex(n[0]));
    munmap(memory, 3 * sizeof(pthread_mutex_t));
}
#endif

}  // namespace
}  // namespace davro::test
