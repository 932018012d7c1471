// Conformance of named objects: one object per name across handles, threads and processes,
// one namespace for every kind, rights as Windows has them, and lifetimes across closes,
// forks, stops and cancellation.
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
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <vector>
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
    const fs::path dir = fs::path(win32::testing::namedObjectFile(L"x")).parent_path();
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string file = entry.path().filename().string();
        struct stat st {};
        // A file may go while we look: another test closed its mutex meanwhile.
        if (file.find("davro") != std::string::npos && stat(entry.path().c_str(), &st) == 0) {
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

// Rights as Windows grants and checks them: Open*W takes any right that the type defines
// (and the generic ones, mapped per type), refuses an empty mask and undefined rights, and
// reports a missing name first. Waits need SYNCHRONIZE and signals their type's
// MODIFY_STATE, but ReleaseMutex needs no right: the single-instance idiom (open for
// SYNCHRONIZE, wait, release) must give the mutex back.
TEST(NamedMutexTest, OpenedHandlesHaveTheRightsWindowsGrants) {
    const std::wstring name = uniqueName(L"access");
    Handles hs;
    HANDLE full = hs.mutex(FALSE, name.c_str());
    HANDLE waitOnly = hs.add(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
    HANDLE releaseOnly = hs.add(OpenMutexW(MUTEX_MODIFY_STATE, FALSE, name.c_str()));
    DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_ACCESS_DENIED, WaitForSingleObject(releaseOnly, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waitOnly, 0));
    EXPECT_TRUE(ReleaseMutex(waitOnly));
    EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(full));
    EXPECT_EQ(WAIT_OBJECT_0,
              WaitForSingleObject(hs.add(OpenMutexW(GENERIC_EXECUTE, FALSE, name.c_str())), 0));
    EXPECT_TRUE(ReleaseMutex(full));
    for (const DWORD granted : {DWORD{READ_CONTROL}, DWORD{DELETE | WRITE_DAC | WRITE_OWNER},
                                DWORD{MAXIMUM_ALLOWED}, DWORD{GENERIC_READ | GENERIC_WRITE}}) {
        EXPECT_NE(nullptr, hs.add(OpenMutexW(granted, FALSE, name.c_str()))) << granted;
    }
    HANDLE readWrite = hs.add(OpenMutexW(GENERIC_READ | GENERIC_WRITE, FALSE, name.c_str()));
    DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_ACCESS_DENIED, WaitForSingleObject(readWrite, 0));
    if (!runningUnderWine()) {  // Wine grants any mask
        DAVRO_EXPECT_ERROR(nullptr, ERROR_ACCESS_DENIED, OpenMutexW(0, FALSE, name.c_str()));
        DAVRO_EXPECT_ERROR(nullptr, ERROR_ACCESS_DENIED, OpenMutexW(0x0004, FALSE, name.c_str()));
        DAVRO_EXPECT_ERROR(nullptr, ERROR_PRIVILEGE_NOT_HELD,
                           OpenMutexW(ACCESS_SYSTEM_SECURITY, FALSE, name.c_str()));
    }
    DAVRO_EXPECT_ERROR(nullptr, ERROR_FILE_NOT_FOUND,
                       OpenMutexW(0, FALSE, uniqueName(L"access-missing").c_str()));
    // An event's handle needs EVENT_MODIFY_STATE to set it, a semaphore's to release it.
    const std::wstring eventName = uniqueName(L"access-event");
    HANDLE event = hs.add(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    HANDLE eventWait = hs.add(OpenEventW(SYNCHRONIZE, FALSE, eventName.c_str()));
    DAVRO_EXPECT_ERROR(FALSE, ERROR_ACCESS_DENIED, SetEvent(eventWait));
    EXPECT_TRUE(SetEvent(hs.add(OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str()))));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(eventWait, 0));
    EXPECT_TRUE(ResetEvent(event));
    const std::wstring semName = uniqueName(L"access-sem");
    hs.add(CreateSemaphoreW(nullptr, 0, 1, semName.c_str()));
    HANDLE semWait = hs.add(OpenSemaphoreW(SYNCHRONIZE, FALSE, semName.c_str()));
    DAVRO_EXPECT_ERROR(FALSE, ERROR_ACCESS_DENIED, ReleaseSemaphore(semWait, 1, nullptr));
}

// Events and semaphores have names too, in the one namespace of every kind: a name of
// another kind is refused with ERROR_INVALID_HANDLE, a missing one with ERROR_FILE_NOT_FOUND,
// the narrow calls reach the same objects, and the state is one for every handle and process.
DAVRO_CHILD_BODY(usesTheNamedEventAndSemaphore) {
    HANDLE event = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE,
                              narrow(uniqueName(L"kinds-event")).c_str());
    HANDLE sem = CreateSemaphoreA(nullptr, 0, 5, narrow(uniqueName(L"kinds-sem")).c_str());
    if (event == nullptr || sem == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) {
        return 1;
    }
    LONG previous = -1;
    if (!ReleaseSemaphore(sem, 2, &previous) || previous != 1 || !reportStep('a')) {
        return 2;
    }
    return WaitForSingleObject(event, kBoundMs) == WAIT_OBJECT_0 && ResetEvent(event) ? 0 : 3;
}

TEST(NamedObjectTest, EveryKindSharesOneNamespaceAcrossProcesses) {
    Handles hs;
    const std::wstring eventName = uniqueName(L"kinds-event");
    const std::wstring semName = uniqueName(L"kinds-sem");
    DAVRO_EXPECT_ERROR(nullptr, ERROR_FILE_NOT_FOUND,
                       OpenEventW(SYNCHRONIZE, FALSE, eventName.c_str()));
    HANDLE event = hs.add(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_NE(nullptr, event);
    HANDLE sem = hs.add(CreateSemaphoreW(nullptr, 1, 5, semName.c_str()));
    ASSERT_NE(nullptr, sem);
    DAVRO_EXPECT_ERROR(nullptr, ERROR_INVALID_HANDLE,
                       CreateMutexW(nullptr, FALSE, eventName.c_str()));
    DAVRO_EXPECT_ERROR(nullptr, ERROR_INVALID_HANDLE,
                       OpenSemaphoreW(SYNCHRONIZE, FALSE, eventName.c_str()));
    DAVRO_EXPECT_ERROR(nullptr, ERROR_INVALID_HANDLE,
                       CreateEventW(nullptr, FALSE, FALSE, semName.c_str()));
    // Joining ignores the creation arguments, whichever kind of event is asked for.
    HANDLE again = hs.add(CreateEventW(nullptr, FALSE, TRUE, eventName.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(again, 0));
    ChildProcess child(usesTheNamedEventAndSemaphore);
    ASSERT_EQ('a', child.nextStep());
    LONG previous = -1;
    EXPECT_TRUE(ReleaseSemaphore(sem, 1, &previous));
    EXPECT_EQ(3, previous);  // 1 + the child's 2
    EXPECT_TRUE(SetEvent(again));
    EXPECT_EQ(0, child.wait());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));  // reset by the child
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sem, 0));
    }
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(sem, 0));
}

// Two sets of a named auto-reset event with two threads blocked on it release both: a set
// that finds a waiter is never lost, whatever the event's state.
TEST(NamedObjectTest, AutoEventSetsReachEveryWaiter) {
    Handles hs;
    const std::wstring name = uniqueName(L"auto");
    HANDLE event = hs.add(CreateEventW(nullptr, FALSE, FALSE, name.c_str()));
    HANDLE other = hs.add(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
    HANDLE stop = hs.event(TRUE);
    WaitProbe first([&] { return static_cast<int>(WaitForSingleObject(event, kBoundMs)); });
    WaitProbe second([&] {
        const HANDLE list[] = {stop, other};
        return static_cast<int>(WaitForMultipleObjects(2, list, FALSE, kBoundMs));
    });
#ifndef _WIN32
    ASSERT_TRUE(win32::testing::waitForWaiters(event, 2, kBoundMs));
#else
    EXPECT_TRUE(first.stillBlockedAfter(50ms));
#endif
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(static_cast<int>(WAIT_OBJECT_0), first.result());
    EXPECT_EQ(static_cast<int>(WAIT_OBJECT_0 + 1), second.result());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
}

// The classic writer and readers: readers started with _beginthreadex block on a named
// manual-reset event until the writer sets it, then all run; the writer waits for all of
// them with one wait-all on their handles.
TEST(NamedObjectTest, ReadersWaitForTheWritersNamedManualEvent) {
    constexpr int kReaders = 4;
    const std::wstring name = uniqueName(L"write-event");
    HANDLE written = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(nullptr, written);
    static std::atomic<int> reads{0};
    static std::wstring* eventName = nullptr;
    eventName = new std::wstring(name);
    reads = 0;
    HANDLE readers[kReaders] = {};
    for (HANDLE& reader : readers) {
        reader = reinterpret_cast<HANDLE>(_beginthreadex(
            nullptr, 0,
            [](void*) -> unsigned {
                HANDLE mine = OpenEventW(SYNCHRONIZE, FALSE, eventName->c_str());
                const DWORD r = WaitForSingleObject(mine, kBoundMs);
                CloseHandle(mine);
                if (r != WAIT_OBJECT_0) {
                    return 1;
                }
                ++reads;
                return 0;
            },
            nullptr, 0, nullptr));
        ASSERT_NE(nullptr, reader);
    }
    EXPECT_EQ(0, reads.load());
    EXPECT_TRUE(SetEvent(written));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(kReaders, readers, TRUE, kBoundMs));
    EXPECT_EQ(kReaders, reads.load());
    for (HANDLE reader : readers) {
        DWORD code = 99;
        EXPECT_TRUE(GetExitCodeThread(reader, &code));
        EXPECT_EQ(0u, code);
        CloseHandle(reader);
    }
    CloseHandle(written);
    delete eventName;
}

// Timers: a due time `ms` from now.
LARGE_INTEGER dueIn(LONGLONG ms) {
    LARGE_INTEGER due{};
    due.QuadPart = -ms * 10000;
    return due;
}

// Named timers share the one namespace, join either kind under their name, and take the
// rights that Windows grants a timer: setting and cancelling need TIMER_MODIFY_STATE, waits
// SYNCHRONIZE, and the generic rights map as for events.
TEST(NamedObjectTest, TimersShareTheNamespaceWithTheRightsWindowsGrants) {
    Handles hs;
    const std::wstring name = uniqueName(L"timer-kinds");
    DAVRO_EXPECT_ERROR(nullptr, ERROR_FILE_NOT_FOUND,
                       OpenWaitableTimerW(SYNCHRONIZE, FALSE, name.c_str()));
    HANDLE timer = hs.add(CreateWaitableTimerW(nullptr, TRUE, name.c_str()));
    ASSERT_NE(nullptr, timer);
    EXPECT_EQ(0u, GetLastError());
    // Either kind joins it, the creation arguments ignored: it stays a manual timer.
    HANDLE again = hs.add(CreateWaitableTimerA(nullptr, FALSE, narrow(name).c_str()));
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    DAVRO_EXPECT_ERROR(nullptr, ERROR_INVALID_HANDLE,
                       CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    DAVRO_EXPECT_ERROR(nullptr, ERROR_INVALID_HANDLE, OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
    const std::wstring eventName = uniqueName(L"timer-kinds-event");
    ASSERT_NE(nullptr, hs.add(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str())));
    DAVRO_EXPECT_ERROR(nullptr, ERROR_INVALID_HANDLE,
                       CreateWaitableTimerW(nullptr, TRUE, eventName.c_str()));
    DAVRO_EXPECT_ERROR(nullptr, ERROR_INVALID_HANDLE,
                       OpenWaitableTimerW(SYNCHRONIZE, FALSE, eventName.c_str()));

    HANDLE waitOnly = hs.add(OpenWaitableTimerW(SYNCHRONIZE, FALSE, name.c_str()));
    HANDLE modifyOnly = hs.add(OpenWaitableTimerA(TIMER_MODIFY_STATE, FALSE, narrow(name).c_str()));
    HANDLE execute = hs.add(OpenWaitableTimerW(GENERIC_EXECUTE, FALSE, name.c_str()));
    HANDLE write = hs.add(OpenWaitableTimerW(GENERIC_WRITE, FALSE, name.c_str()));
    ASSERT_TRUE(waitOnly != nullptr && modifyOnly != nullptr && execute != nullptr &&
                write != nullptr);
    for (const DWORD granted :
         {DWORD{TIMER_QUERY_STATE}, DWORD{READ_CONTROL}, DWORD{DELETE | WRITE_DAC | WRITE_OWNER},
          DWORD{MAXIMUM_ALLOWED}, DWORD{TIMER_ALL_ACCESS}, DWORD{GENERIC_READ}}) {
        EXPECT_NE(nullptr, hs.add(OpenWaitableTimerW(granted, FALSE, name.c_str()))) << granted;
    }
    const LARGE_INTEGER due = dueIn(1);
    DAVRO_EXPECT_ERROR(FALSE, ERROR_ACCESS_DENIED,
                       SetWaitableTimer(waitOnly, &due, 0, nullptr, nullptr, FALSE));
    DAVRO_EXPECT_ERROR(FALSE, ERROR_ACCESS_DENIED, CancelWaitableTimer(execute));
    DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_ACCESS_DENIED, WaitForSingleObject(write, 0));
    DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_ACCESS_DENIED, WaitForSingleObject(modifyOnly, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(waitOnly, 0));
    ASSERT_TRUE(SetWaitableTimer(modifyOnly, &due, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(execute, kBoundMs));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(again, 0));  // manual: it stays signalled
    EXPECT_TRUE(CancelWaitableTimer(write));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waitOnly, 0));  // cancelling keeps the state
    const LARGE_INTEGER distant = dueIn(60000);
    ASSERT_TRUE(SetWaitableTimer(write, &distant, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(timer, 0));  // setting clears it
    if (!runningUnderWine()) {                               // Wine grants any mask
        DAVRO_EXPECT_ERROR(nullptr, ERROR_ACCESS_DENIED,
                           OpenWaitableTimerW(0, FALSE, name.c_str()));
        DAVRO_EXPECT_ERROR(nullptr, ERROR_ACCESS_DENIED,
                           OpenWaitableTimerW(0x0004, FALSE, name.c_str()));
        DAVRO_EXPECT_ERROR(nullptr, ERROR_PRIVILEGE_NOT_HELD,
                           OpenWaitableTimerW(ACCESS_SYSTEM_SECURITY, FALSE, name.c_str()));
    }
}

// Two processes wait on one named periodic synchronization timer until they have taken
// kSharedFires fires between them. Each fire releases one waiter in one process: fires taken
// twice would reach the total in half the time.
constexpr LONG kSharedFires = 24;
constexpr LONG kSharedPeriodMs = 20;

// Takes fires of `timer` until `done` is set, counting each in `tally` and setting `done` at
// the last one: the number taken, or -1 when a wait fails.
int takeSharedFires(HANDLE timer, HANDLE tally, HANDLE done) {
    const HANDLE list[] = {done, timer};  // `done` first: the lowest index wins
    for (int taken = 0;;) {
        const DWORD r = WaitForMultipleObjects(2, list, FALSE, kBoundMs);
        if (r == WAIT_OBJECT_0) {
            return taken;
        }
        LONG previous = 0;
        if (r != WAIT_OBJECT_0 + 1 || !ReleaseSemaphore(tally, 1, &previous)) {
            return -1;
        }
        ++taken;
        if (previous + 1 >= kSharedFires && !SetEvent(done)) {
            return -1;
        }
    }
}

DAVRO_CHILD_BODY(takesFiresOfTheSharedTimer) {
    HANDLE timer = OpenWaitableTimerW(SYNCHRONIZE, FALSE, uniqueName(L"shared-timer").c_str());
    HANDLE tally =
        OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, uniqueName(L"shared-tally").c_str());
    HANDLE done =
        OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, uniqueName(L"shared-done").c_str());
    if (timer == nullptr || tally == nullptr || done == nullptr || !reportStep('a')) {
        return 1;
    }
    const int taken = takeSharedFires(timer, tally, done);
    return taken < 0 ? 2 : 100 + taken;
}

TEST(NamedObjectTest, TwoProcessesTakeEachFireOfAPeriodicSyncTimerOnce) {
    Handles hs;
    HANDLE timer =
        hs.add(CreateWaitableTimerW(nullptr, FALSE, uniqueName(L"shared-timer").c_str()));
    HANDLE tally = hs.add(CreateSemaphoreW(nullptr, 0, 1000, uniqueName(L"shared-tally").c_str()));
    HANDLE done = hs.add(CreateEventW(nullptr, TRUE, FALSE, uniqueName(L"shared-done").c_str()));
    ASSERT_TRUE(timer != nullptr && tally != nullptr && done != nullptr);
    ChildProcess child(takesFiresOfTheSharedTimer);
    ASSERT_EQ('a', child.nextStep());
    const auto start = std::chrono::steady_clock::now();
    const LARGE_INTEGER due = dueIn(kSharedPeriodMs);
    ASSERT_TRUE(SetWaitableTimer(timer, &due, kSharedPeriodMs, nullptr, nullptr, FALSE));
    const int ours = takeSharedFires(timer, tally, done);
    const int code = child.wait();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    ASSERT_TRUE(CancelWaitableTimer(timer));
    ASSERT_GE(ours, 0);
    ASSERT_GE(code, 100);
    LONG total = -1;
    ASSERT_TRUE(ReleaseSemaphore(tally, 1, &total));
    EXPECT_EQ(total, ours + code - 100);  // every take counted once
    EXPECT_GE(total, kSharedFires);
    // Fire k comes k periods after the set; a timer's wait may end a tick early on Windows.
    EXPECT_GE(elapsed, (total - 1) * kSharedPeriodMs - 16);
}

// A named timer's completion routine belongs to the process and thread that set it: a fire
// is seen by both processes, and a set from the other process drops the routine's call.
DAVRO_CHILD_BODY(watchesAndResetsTheRoutinesTimer) {
    HANDLE timer = OpenWaitableTimerW(SYNCHRONIZE | TIMER_MODIFY_STATE, FALSE,
                                      uniqueName(L"routine-timer").c_str());
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, uniqueName(L"routine-go").c_str());
    if (timer == nullptr || go == nullptr || !reportStep('a')) {
        return 1;
    }
    if (WaitForSingleObject(timer, kBoundMs) != WAIT_OBJECT_0 || !reportStep('b')) {
        return 2;
    }
    LARGE_INTEGER distant{};
    distant.QuadPart = -600000000LL;  // a minute
    if (WaitForSingleObject(go, kBoundMs) != WAIT_OBJECT_0 ||
        !SetWaitableTimer(timer, &distant, 0, nullptr, nullptr, FALSE) || !reportStep('c')) {
        return 3;
    }
    return 0;
}

std::atomic<int> gSharedRoutineCalls{0};

TEST(NamedObjectTest, ANamedTimersRoutineRunsInTheSettingProcessUntilAnotherSetsIt) {
    Handles hs;
    HANDLE timer =
        hs.add(CreateWaitableTimerW(nullptr, TRUE, uniqueName(L"routine-timer").c_str()));
    HANDLE go = hs.add(CreateEventW(nullptr, TRUE, FALSE, uniqueName(L"routine-go").c_str()));
    ASSERT_TRUE(timer != nullptr && go != nullptr);
    gSharedRoutineCalls = 0;
    ChildProcess child(watchesAndResetsTheRoutinesTimer);
    ASSERT_EQ('a', child.nextStep());
    auto routine = [](LPVOID, DWORD, DWORD) { ++gSharedRoutineCalls; };
    LARGE_INTEGER due = dueIn(30);
    ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, routine, nullptr, FALSE));
    EXPECT_EQ(WAIT_IO_COMPLETION, SleepEx(kBoundMs, TRUE));
    EXPECT_EQ(1, gSharedRoutineCalls.load());
    EXPECT_EQ('b', child.nextStep());  // the child saw the same fire

    // Fired again, its call not run yet: the child's set drops it.
    due = dueIn(10);
    ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, routine, nullptr, FALSE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(timer, kBoundMs));
    ASSERT_TRUE(SetEvent(go));
    EXPECT_EQ('c', child.nextStep());
    EXPECT_EQ(0U, SleepEx(0, TRUE));
    EXPECT_EQ(1, gSharedRoutineCalls.load());
    EXPECT_EQ(0, child.wait());
}

// A named manual timer releases every waiter in every process when it fires, in a wait-any
// there and a wait-all here, and stays signalled until it is set again.
DAVRO_CHILD_BODY(waitsForTheManualTimer) {
    HANDLE timer = OpenWaitableTimerW(SYNCHRONIZE, FALSE, uniqueName(L"manual-timer").c_str());
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (timer == nullptr || never == nullptr || !reportStep('a')) {
        return 1;
    }
    const HANDLE list[] = {never, timer};
    if (WaitForMultipleObjects(2, list, FALSE, kBoundMs) != WAIT_OBJECT_0 + 1) {
        return 2;
    }
    return WaitForSingleObject(timer, 0) == WAIT_OBJECT_0 ? 0 : 3;
}

TEST(NamedObjectTest, AManualTimerReleasesWaitersInEveryProcess) {
    Handles hs;
    HANDLE timer = hs.add(CreateWaitableTimerW(nullptr, TRUE, uniqueName(L"manual-timer").c_str()));
    ASSERT_NE(nullptr, timer);
    HANDLE set = hs.event(TRUE);
    SetEvent(set);
    ChildProcess child(waitsForTheManualTimer);
    ASSERT_EQ('a', child.nextStep());
    WaitProbe here([&] {
        const HANDLE both[] = {timer, set};
        return static_cast<int>(WaitForMultipleObjects(2, both, TRUE, kBoundMs));
    });
    WaitProbe single([&] { return static_cast<int>(WaitForSingleObject(timer, kBoundMs)); });
    const LARGE_INTEGER due = dueIn(100);
    ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(static_cast<int>(WAIT_OBJECT_0), here.result());
    EXPECT_EQ(static_cast<int>(WAIT_OBJECT_0), single.result());
    EXPECT_EQ(0, child.wait());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(timer, 0));
}

// A wait-all on two handles of one name names one object twice, which Windows refuses.
TEST(NamedObjectTest, AWaitAllOnTwoHandlesOfOneNameIsRefused) {
    Handles hs;
    const std::wstring name = uniqueName(L"twice");
    const HANDLE both[] = {hs.mutex(FALSE, name.c_str()),
                           hs.add(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()))};
    if (!runningUnderWine()) {  // Wine compares handles, not objects (see WaitTest)
        DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_INVALID_PARAMETER,
                           WaitForMultipleObjects(2, both, TRUE, 0));
    }
}

// A process that owns a named mutex and closes its last handle to it, while another process
// holds one, never blocks the other's closes and creates; the mutex is abandoned to it when
// the owner ends. Opened again meanwhile, it is the same mutex, still the owner's.
DAVRO_CHILD_BODY(closesAnOwnedName) {
    const std::wstring name = uniqueName(L"closed-owned");
    HANDLE m = CreateMutexW(nullptr, FALSE, name.c_str());
    HANDLE opened = OpenEventW(SYNCHRONIZE, FALSE, uniqueName(L"closed-owned-go").c_str());
    if (m == nullptr || opened == nullptr || WaitForSingleObject(m, 0) != WAIT_OBJECT_0 ||
        !reportStep('a') || WaitForSingleObject(opened, kBoundMs) != WAIT_OBJECT_0 ||
        !CloseHandle(m)) {
        return 1;
    }
    HANDLE again = CreateMutexW(nullptr, FALSE, name.c_str());
    if (again == nullptr || WaitForSingleObject(again, 0) != WAIT_OBJECT_0 ||
        !ReleaseMutex(again) || !CloseHandle(again) || !reportStep('b')) {
        return 3;
    }
    WaitForSingleObject(CreateEventW(nullptr, TRUE, FALSE, nullptr), 10 * kBoundMs);
    return 2;
}

TEST(NamedObjectTest, AnOwnerClosingItsLastHandleBlocksNobody) {
    const std::wstring name = uniqueName(L"closed-owned");
    Handles hs;
    HANDLE opened =
        hs.add(CreateEventW(nullptr, TRUE, FALSE, uniqueName(L"closed-owned-go").c_str()));
    ChildProcess child(closesAnOwnedName);
    ASSERT_EQ('a', child.nextStep());
    HANDLE m = hs.mutex(FALSE, name.c_str());  // the child's, which it holds alone so far
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_TRUE(SetEvent(opened));
    ASSERT_EQ('b', child.nextStep());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m, 0));  // the child's thread still owns it
    HANDLE second = CreateMutexW(nullptr, FALSE, name.c_str());
    EXPECT_NE(nullptr, second);
    EXPECT_TRUE(CloseHandle(second));
    child.kill();
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(m, kBoundMs));
    EXPECT_TRUE(ReleaseMutex(m));
}

#ifndef _WIN32
// The number of this process's mappings of named-object files, and of its open descriptors.
int namedMappings() {
    const std::string dir = win32::testing::namedObjectFile(L"x").substr(0, 10);
    int n = 0;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        n += line.find(dir) != std::string::npos ? 1 : 0;
    }
    return n;
}

int openDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

// The last close of a name destroys it, releasing an owned mutex, at a cost that does not
// grow with the closes before it: nothing stays mapped or open, and no file stays behind.
TEST(NamedObjectTest, TheLastCloseDestroysTheObjectAndLeavesNothing) {
    const std::wstring name = uniqueName(L"churn");
    const int mappings = namedMappings();
    const int descriptors = openDescriptors();
    for (int i = 0; i < 2000; ++i) {
        HANDLE m = CreateMutexW(nullptr, TRUE, name.c_str());
        ASSERT_NE(nullptr, m);
        ASSERT_TRUE(CloseHandle(m));
    }
    EXPECT_EQ(mappings, namedMappings());
    EXPECT_EQ(descriptors, openDescriptors());
    EXPECT_FALSE(std::filesystem::exists(win32::testing::namedObjectFile(name.c_str())));
    // A process killed as the only holder leaves the file; an open finds no object there and
    // removes it.
    const std::wstring killed = uniqueName(L"killed-holder");
    EXPECT_EQ(128 + SIGKILL, runForked(
                                 [&] {
                                     CreateMutexW(nullptr, TRUE, killed.c_str());
                                     return raise(SIGKILL);
                                 },
                                 kBoundMs));
    const std::string left = win32::testing::namedObjectFile(killed.c_str());
    EXPECT_TRUE(std::filesystem::exists(left));
    DAVRO_EXPECT_ERROR(nullptr, ERROR_FILE_NOT_FOUND,
                       OpenMutexW(SYNCHRONIZE, FALSE, killed.c_str()));
    EXPECT_FALSE(std::filesystem::exists(left));
    // Released with its last handle: a new object of that name is free and new.
    Handles hs;
    SetLastError(kSentinel);
    HANDLE m = hs.mutex(FALSE, name.c_str());
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(m));
}

// A fork child holds the names through its own descriptions: a close on either side leaves
// the name to the other, and a process that starts later still finds the same object.
TEST(NamedObjectTest, AForkChildsHandlesCountOnTheirOwn) {
    const std::wstring name = uniqueName(L"forked");
    HANDLE sem = CreateSemaphoreW(nullptr, 0, 10, name.c_str());
    ASSERT_NE(nullptr, sem);
    // The child closes its handle and ends with exit(), as a program with a static object
    // would; then a child forked before the name existed must still find it.
    EXPECT_EQ(0, runForked([&] { return CloseHandle(sem) ? 0 : 1; }, kBoundMs));
    EXPECT_EQ(0, runForked([&]() -> int { std::exit(ReleaseSemaphore(sem, 1, nullptr) ? 0 : 1); },
                           kBoundMs));
    EXPECT_EQ(
        0, runForked(
               [&] {
                   HANDLE mine = OpenSemaphoreW(SYNCHRONIZE, FALSE, name.c_str());
                   return mine != nullptr && WaitForSingleObject(mine, 0) == WAIT_OBJECT_0 ? 0 : 1;
               },
               kBoundMs));
    // A thread of the parent blocked on the name at the fork stays its waiter: the child,
    // where the thread is not, leaves its wait without leaving the shared count.
    std::thread waiter([&] { EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sem, kBoundMs)); });
    EXPECT_TRUE(win32::testing::waitForWaiters(sem, 1, kBoundMs));
    EXPECT_EQ(0, runForked([] { return 0; }, kBoundMs));
    EXPECT_EQ(1u, win32::testing::waitersOn(sem));
    EXPECT_TRUE(ReleaseSemaphore(sem, 1, nullptr));
    waiter.join();
    const std::string file = win32::testing::namedObjectFile(name.c_str());
    EXPECT_TRUE(std::filesystem::exists(file));
    // Forked with no descriptor to spare, the child still holds the name on its own: its
    // close leaves the parent's hold alone.
    rlimit files{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &files));
    const int lowestFree = dup(0);
    ::close(lowestFree);
    const rlimit none{static_cast<rlim_t>(lowestFree), files.rlim_max};
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &none));
    const int closed = runForked([&] { return CloseHandle(sem) ? 0 : 1; }, kBoundMs);
    setrlimit(RLIMIT_NOFILE, &files);
    EXPECT_EQ(0, closed);
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(0, runForked([&] { return OpenSemaphoreW(SYNCHRONIZE, FALSE, name.c_str()) ? 0 : 1; },
                           kBoundMs));
    CloseHandle(sem);
    EXPECT_FALSE(std::filesystem::exists(file));
}

// A thread blocked on a busy named mutex, after named-mutex calls of its own, is suspended
// and terminated promptly, like a thread blocked on anything else.
TEST(NamedObjectTest, AThreadBlockedOnANamedMutexCanBeSuspendedAndTerminated) {
    Handles hs;
    const std::wstring name = uniqueName(L"stop");
    HANDLE m = hs.mutex(TRUE, name.c_str());
    HANDLE started = hs.event(TRUE);
    struct Args {
        HANDLE mutex;
        HANDLE started;
    } args{m, started};
    HANDLE thread = hs.add(reinterpret_cast<HANDLE>(_beginthreadex(
        nullptr, 0,
        [](void* p) -> unsigned {
            auto* a = static_cast<Args*>(p);
            HANDLE own = CreateMutexW(nullptr, FALSE, nullptr);
            WaitForSingleObject(a->mutex, 0);  // an earlier named-mutex call: it fails
            SetEvent(a->started);
            CloseHandle(own);
            return WaitForSingleObject(a->mutex, INFINITE);
        },
        &args, 0, nullptr)));
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started, kBoundMs));
    ASSERT_TRUE(win32::testing::waitForWaiters(m, 1, kBoundMs));
    EXPECT_NE(static_cast<DWORD>(-1), SuspendThread(thread));  // returns once it has stopped
    EXPECT_NE(static_cast<DWORD>(-1), ResumeThread(thread));
    EXPECT_TRUE(TerminateThread(thread, 7));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kBoundMs));
    EXPECT_TRUE(ReleaseMutex(m));
}

// A cancellation pending in the last close of a name does not cut it short: the name goes,
// and the cancellation takes effect at the thread's next cancellation point.
TEST(NamedObjectTest, CancellationNeverCutsACallShort) {
    const std::wstring name = uniqueName(L"cancel");
    HANDLE m = CreateMutexW(nullptr, FALSE, name.c_str());
    ASSERT_NE(nullptr, m);
    std::atomic<bool> closed{false};
    std::thread canceller([&] {
        pthread_cancel(pthread_self());  // pending until a cancellation point
        closed = CloseHandle(m) != FALSE;
        pthread_testcancel();
    });
    canceller.join();
    EXPECT_TRUE(closed);
    EXPECT_FALSE(std::filesystem::exists(win32::testing::namedObjectFile(name.c_str())));
    DAVRO_EXPECT_ERROR(nullptr, ERROR_FILE_NOT_FOUND, OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
}

// What the processes of the stress below share, in anonymous shared memory.
struct StressBoard {
    std::atomic<int> inMutex;         // holders of the named mutex right now
    std::atomic<int> semHeld;         // units of the named semaphore taken right now
    std::atomic<int> violations;      // broken invariants, each counted once
    std::atomic<int> abandonsSeen;    // waits that reported the mutex abandoned
    std::atomic<int> victimHolds;     // pid of a victim that holds the mutex, 0 when none
    std::atomic<int> eventsReceived;  // sets of the auto event that reached its waiter
};

constexpr LONG kStressUnits = 2;

// One worker: takes and gives back the named mutex and semaphore through handles it opens
// and closes again, now and then in a child it forks, checking exclusion and the count.
int stressWorker(StressBoard* board, const std::wstring& base, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        HANDLE m = CreateMutexW(nullptr, FALSE, (base + L"-m").c_str());
        HANDLE s = CreateSemaphoreW(nullptr, kStressUnits, kStressUnits, (base + L"-s").c_str());
        if (m == nullptr || s == nullptr) {
            return 1;
        }
        const HANDLE both[] = {s, m};
        for (int j = 0; j < 20; ++j) {
            const DWORD r = j % 2 == 0 ? WaitForSingleObject(m, kBoundMs)
                                       : WaitForMultipleObjects(2, both, TRUE, kBoundMs);
            if (r == WAIT_ABANDONED || r == WAIT_ABANDONED_0) {
                board->abandonsSeen.fetch_add(1);
            } else if (r != WAIT_OBJECT_0) {
                return 2;
            }
            if (board->inMutex.fetch_add(1) != 0) {
                board->violations.fetch_add(1);
            }
            board->inMutex.fetch_sub(1);
            if (j % 2 == 1) {
                if (board->semHeld.fetch_add(1) >= kStressUnits) {
                    board->violations.fetch_add(1);
                }
                board->semHeld.fetch_sub(1);
                ReleaseSemaphore(s, 1, nullptr);
            }
            ReleaseMutex(m);
            if (WaitForSingleObject(s, kBoundMs) != WAIT_OBJECT_0) {
                return 3;
            }
            if (board->semHeld.fetch_add(1) >= kStressUnits) {
                board->violations.fetch_add(1);
            }
            board->semHeld.fetch_sub(1);
            LONG previous = -1;
            if (!ReleaseSemaphore(s, 1, &previous) || previous >= kStressUnits) {
                board->violations.fetch_add(1);
            }
        }
        if (i % 4 == 3) {
            const int child = runForked([&] { return stressWorker(board, base, 1); }, 4 * kBoundMs);
            if (child != 0) {
                return 10 + child;
            }
        }
        CloseHandle(s);
        CloseHandle(m);
    }
    return 0;
}

// Processes create, open, wait on, set, release and close the names of every kind while
// others fork and some are killed holding the mutex: one owner at a time, no semaphore unit
// lost or made up, no set of the auto event with a waiter lost, each abandonment reported
// once, and no file left once every handle is closed.
TEST(NamedObjectTest, ProcessesStressEveryKindWhileSomeAreKilled) {
    auto* board = static_cast<StressBoard*>(mmap(
        nullptr, sizeof(StressBoard), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, static_cast<void*>(board));
    new (board) StressBoard{};
    const std::wstring base = uniqueName(L"stress");
    constexpr int kSets = 200;
    // Held here throughout, so that the names outlive every other process, killed or not.
    HANDLE m = CreateMutexW(nullptr, FALSE, (base + L"-m").c_str());
    HANDLE s = CreateSemaphoreW(nullptr, kStressUnits, kStressUnits, (base + L"-s").c_str());
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, (base + L"-e").c_str());
    ASSERT_TRUE(m != nullptr && s != nullptr && e != nullptr);
    std::vector<pid_t> pids;
    const auto start = [&](const std::function<int()>& body) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::_Exit(body());
        }
        pids.push_back(pid);
    };
    for (int w = 0; w < 3; ++w) {
        start([&] { return stressWorker(board, base, 30); });
    }
    // The auto event: every set made while its waiter waits must reach it.
    start([&] {
        for (int i = 0; i < kSets; ++i) {
            if (WaitForSingleObject(e, kBoundMs) != WAIT_OBJECT_0) {
                return 1;
            }
            board->eventsReceived.fetch_add(1);
        }
        return 0;
    });
    start([&] {
        for (int i = 0; i < kSets; ++i) {
            if (!win32::testing::waitForWaiters(e, 1, kBoundMs)) {
                return 1;
            }
            SetEvent(e);
            for (int spins = 0; board->eventsReceived.load() <= i; ++spins) {
                if (spins == 10000000) {
                    return 2;
                }
                sched_yield();
            }
        }
        return 0;
    });
    // Victims: each takes the mutex and is killed holding it.
    int killed = 0;
    for (int v = 0; v < 6; ++v) {
        const pid_t victim = fork();
        if (victim == 0) {
            const DWORD r = WaitForSingleObject(m, kBoundMs);
            if (r == WAIT_ABANDONED) {
                board->abandonsSeen.fetch_add(1);  // the victim before this one
            } else if (r != WAIT_OBJECT_0) {
                std::_Exit(1);
            }
            board->victimHolds.store(getpid());
            pause();
            std::_Exit(2);
        }
        for (int waited = 0; board->victimHolds.load() != victim && waited < 5000; ++waited) {
            usleep(1000);  // a bounded poll: the victim sits in pause() once it holds it
        }
        ASSERT_EQ(victim, board->victimHolds.load());
        board->victimHolds.store(0);
        kill(victim, SIGKILL);
        waitpid(victim, nullptr, 0);
        ++killed;
    }
    for (const pid_t pid : pids) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(0, board->violations.load());
    EXPECT_EQ(kSets, board->eventsReceived.load());
    // The victim killed last may have left its abandonment to the next taker: that is us.
    const DWORD last = WaitForSingleObject(m, 0);
    EXPECT_TRUE(last == WAIT_OBJECT_0 || last == WAIT_ABANDONED) << last;
    EXPECT_EQ(killed, board->abandonsSeen.load() + (last == WAIT_ABANDONED ? 1 : 0));
    EXPECT_TRUE(ReleaseMutex(m));
    DAVRO_EXPECT_ERROR(FALSE, ERROR_TOO_MANY_POSTS, ReleaseSemaphore(s, 1, nullptr));  // all back
    CloseHandle(m);
    CloseHandle(s);
    CloseHandle(e);
    for (const wchar_t* suffix : {L"-m", L"-s", L"-e"}) {
        EXPECT_FALSE(
            std::filesystem::exists(win32::testing::namedObjectFile((base + suffix).c_str())));
    }
    munmap(board, sizeof(StressBoard));
}

// A wait-any over a named event and an unnamed one is woken by a set of the named one from
// another thread, as fast as the system lets it sleep on both words, and by the slices of
// its poll where it cannot (before Linux 5.16).
TEST(NamedObjectTest, AWaitAnyWakesForANamedEventWithAndWithoutFutexWaitv) {
    Handles hs;
    HANDLE named = hs.add(CreateEventW(nullptr, FALSE, FALSE, uniqueName(L"waitv").c_str()));
    const HANDLE list[] = {hs.event(), named};
    for (const bool waitv : {true, false}) {
        win32::testing::useFutexWaitv(waitv);
        WaitProbe waiter(
            [&] { return static_cast<int>(WaitForMultipleObjects(2, list, FALSE, kBoundMs)); });
        ASSERT_TRUE(win32::testing::waitForWaiters(named, 1, kBoundMs));
        EXPECT_TRUE(SetEvent(named));
        EXPECT_EQ(static_cast<int>(WAIT_OBJECT_0 + 1), waiter.result()) << waitv;
    }
    win32::testing::useFutexWaitv(true);
}

// Names that differ in any code unit are different objects, valid Unicode or not.
TEST(NamedObjectTest, NamesThatDifferNeverMeet) {
    const std::wstring base = uniqueName(L"units");
    Handles hs;
    HANDLE beyond = hs.mutex(TRUE, (base + static_cast<wchar_t>(0x110000)).c_str());
    HANDLE replacement = hs.mutex(FALSE, (base + L"\uFFFD").c_str());
    ASSERT_NE(nullptr, beyond);
    ASSERT_NE(nullptr, replacement);
    EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(replacement));
    // A unit beyond 24 bits is not cut to the escape of a unit below it.
    HANDLE wide = hs.mutex(TRUE, (base + static_cast<wchar_t>(0x1000025)).c_str());
    HANDLE percent = hs.mutex(FALSE, (base + L"%").c_str());
    ASSERT_NE(nullptr, wide);
    ASSERT_NE(nullptr, percent);
    EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(percent));
    EXPECT_TRUE(ReleaseMutex(wide));
    // A narrow name that is not UTF-8 is a name of its own too.
    const std::string narrowBase = narrow(base);
    HANDLE invalid = hs.add(CreateEventA(nullptr, TRUE, FALSE, (narrowBase + "\xff").c_str()));
    HANDLE valid = hs.add(CreateEventA(nullptr, TRUE, FALSE, (narrowBase + "\xc3\xbf").c_str()));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_TRUE(SetEvent(invalid));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(valid, 0));
    EXPECT_TRUE(ReleaseMutex(beyond));
}
// Two processes take all of two named objects at once, in opposite orders, over and over. A
// wait-all takes named objects one by one and gives back what it took when the set is
// incomplete, so an attempt may find one taken for an instant by the other process's: it
// must look again rather than sleep on words that show no change. (A fork child: the
// attempts of one process's threads do not overlap.)
TEST(NamedObjectTest, WaitAllsInTwoProcessesNeverStrandEachOther) {
    Handles hs;
    const HANDLE mutexes[] = {hs.mutex(FALSE, uniqueName(L"all-a").c_str()),
                              hs.mutex(FALSE, uniqueName(L"all-b").c_str())};
    const HANDLE semaphores[] = {
        hs.add(CreateSemaphoreW(nullptr, 1, 1, uniqueName(L"all-c").c_str())),
        hs.add(CreateSemaphoreW(nullptr, 1, 1, uniqueName(L"all-d").c_str()))};
    for (const HANDLE* pair : {mutexes, semaphores}) {
        const bool mutex = pair == mutexes;
        const HANDLE reversed[] = {pair[1], pair[0]};
        std::atomic<int> stranded{0};
        auto takeAndGive = [&](const HANDLE* set) {
            for (int i = 0; i < 20000 && stranded.load() == 0; ++i) {
                if (WaitForMultipleObjects(2, set, TRUE, kBoundMs) != WAIT_OBJECT_0) {
                    ++stranded;
                    return;
                }
                for (int k = 0; k < 2; ++k) {
                    mutex ? ReleaseMutex(set[k]) : ReleaseSemaphore(set[k], 1, nullptr);
                }
            }
        };
        const pid_t child = fork();
        if (child == 0) {
            takeAndGive(reversed);
            std::_Exit(stranded.load());
        }
        ASSERT_GT(child, 0);
        takeAndGive(pair);
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_EQ(0, stranded.load()) << (mutex ? "mutexes" : "semaphores");
        EXPECT_EQ(0, status) << (mutex ? "mutexes" : "semaphores");
    }
}

#endif

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
    const std::string file = win32::testing::namedObjectFile(name.c_str());
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
