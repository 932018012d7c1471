// Conformance of the per-thread message queue: posting, peeking and removing with filters,
// the quit message, message-only windows and their procedures, SendMessageW across threads
// (either side may end meanwhile), and MsgWaitForMultipleObjects on objects and input, with
// the rule that input the thread has already looked at is no longer new.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "PlatformTestSupport.h"
#include "TestSupport.h"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace davro::test {
namespace {

constexpr UINT kFirst = WM_USER + 1;
constexpr UINT kSecond = WM_USER + 2;
// Ends the thread that runs the procedure as wParam says, after setting the event in lParam.
constexpr UINT kEndInside = WM_USER + 3;
enum How : WPARAM { kEndThreadEx, kTerminated, kPthreadExit };
constexpr LRESULT kAnswer = 0x1234;
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1));
constexpr const wchar_t* kClassName = L"DavroMessageQueueTest";

// A message as "<name> <wParam> <lParam> <thread|window>", named "quit", "user+N" or
// "app+N", so that one comparison checks every field.
std::string describe(const MSG& m) {
    const std::string name = m.message == WM_QUIT  ? "quit"
                             : m.message >= WM_APP ? "app+" + std::to_string(m.message - WM_APP)
                                                   : "user+" + std::to_string(m.message - WM_USER);
    return name + " " + std::to_string(m.wParam) + " " + std::to_string(m.lParam) +
           (m.hwnd == nullptr ? " thread" : " window");
}

// What PeekMessageW finds: the message described, or "none" (with the MSG untouched).
std::string peek(UINT flags = PM_REMOVE, HWND window = nullptr, UINT first = 0, UINT last = 0) {
    MSG m{};
    m.message = 0x5EED;
    if (!PeekMessageW(&m, window, first, last, flags)) {
        return m.message == 0x5EED ? "none" : "none, but the MSG was written";
    }
    return describe(m);
}

BOOL post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return PostThreadMessageW(GetCurrentThreadId(), message, wParam, lParam);
}

DWORD msgWait(DWORD count, const HANDLE* handles, BOOL all, DWORD ms, DWORD mask = QS_ALLINPUT) {
    return MsgWaitForMultipleObjects(count, handles, all, ms, mask);
}

// Removes whatever the calling thread's queue holds, so that each test starts empty.
void drainQueue() {
    while (peek() != "none") {
    }
}

// What the test window procedure saw. It runs on the window's thread; the tests read the
// log on that thread or after joining it.
struct ProcedureLog {
    int calls = 0;
    int destroys = 0;
    MSG last{};
    DWORD thread = 0;
    std::string life;  // the creation and destruction messages, in order
};
ProcedureLog procedureLog;
char refuseNc, refuseCreate;  // lpCreateParams that refuse at WM_NCCREATE, WM_CREATE

LRESULT testProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    const LONG_PTR data = GetWindowLongPtrW(window, GWLP_USERDATA);
    if (message == WM_NCCREATE) {  // keeps lpCreateParams with the window
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        procedureLog.life = "nccreate";
        procedureLog.last.hwnd = window;
        return create->lpCreateParams != &refuseNc;
    }
    if (message == WM_CREATE) {
        procedureLog.life +=
            reinterpret_cast<LONG_PTR>(create->lpCreateParams) == data ? " create" : " create?";
        return create->lpCreateParams == &refuseCreate ? -1 : 0;
    }
    if (message == WM_NCDESTROY) {
        procedureLog.life += " ncdestroy";
    }
    if (message == kEndInside) {
        SetEvent(reinterpret_cast<HANDLE>(lParam));  // NOLINT(performance-no-int-to-ptr)
        if (wParam == kEndThreadEx) {
            _endthreadex(5);
        }
#ifndef _WIN32
        if (wParam == kPthreadExit) {
            pthread_exit(nullptr);
        }
#endif
        WaitForSingleObject(GetCurrentProcess(), 10 * kBoundMs);  // terminated long before
    }
    if (message == WM_DESTROY) {
        procedureLog.life += " destroy";
        ++procedureLog.destroys;
        return 0;
    }
    if (message < WM_USER) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    procedureLog.last.hwnd = window;
    procedureLog.last.message = message;
    procedureLog.last.wParam = wParam;
    procedureLog.last.lParam = lParam;
    procedureLog.thread = GetCurrentThreadId();
    ++procedureLog.calls;
    return kAnswer;
}

// The test window class, registered for the life of the object, with an empty log.
struct TestClass {
    WNDCLASSW windowClass{};
    ATOM atom = 0;
    TestClass() {
        procedureLog = {};
        windowClass.lpfnWndProc = testProcedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClassName;
        atom = RegisterClassW(&windowClass);
    }
    ~TestClass() { UnregisterClassW(kClassName, GetModuleHandleW(nullptr)); }
    TestClass(const TestClass&) = delete;
    TestClass& operator=(const TestClass&) = delete;
};

HWND createTestWindow() { return createMessageWindow(kClassName); }

TEST(MessageQueueTest, PostPeekRemoveInOrderWithRangeAndWindowFilters) {
    drainQueue();
    TestClass windowClass;
    const HWND window = createTestWindow();
    ASSERT_NE(nullptr, window);
    ASSERT_TRUE(post(kFirst, 11, 22));
    ASSERT_TRUE(PostMessageW(window, kSecond, 33, 44));
    ASSERT_TRUE(post(WM_APP, 3));
    ASSERT_TRUE(PostMessageW(window, WM_APP + 1, 4, 0));
    EXPECT_EQ("user+1 11 22 thread", peek(PM_NOREMOVE));  // the oldest, left in place
    // A range skips earlier messages outside it, alone and with a window.
    EXPECT_EQ("app+0 3 0 thread", peek(PM_REMOVE, nullptr, WM_APP, WM_APP + 10));
    EXPECT_EQ("app+1 4 0 window", peek(PM_REMOVE, window, WM_APP, WM_APP + 10));
    EXPECT_EQ("none", peek(PM_REMOVE, window, kFirst, kFirst));
    // -1: thread messages only; a window: that window's messages only.
    EXPECT_EQ("user+1 11 22 thread", peek(PM_NOREMOVE, kThreadMessagesOnly));
    EXPECT_EQ("user+2 33 44 window", peek(PM_REMOVE, window));
    EXPECT_EQ("none", peek(PM_REMOVE, window));
    EXPECT_EQ("user+1 11 22 thread", peek());
    EXPECT_EQ("none", peek());
    // A null window posts to the calling thread, as PostThreadMessageW does.
    ASSERT_TRUE(PostMessageW(nullptr, kFirst, 1, 2));
    MSG m{};
    ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ("user+1 1 2 thread", describe(m));
    EXPECT_TRUE(DestroyWindow(window));
}

// The narrow calls share the queue and the windows with the wide ones.
TEST(MessageQueueTest, NarrowCallsShareTheQueueAndTheWindows) {
    drainQueue();
    TestClass windowClass;
    const HWND window = createTestWindow();
    ASSERT_NE(nullptr, window);
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), kFirst, 5, 6));
    ASSERT_TRUE(PostMessageA(window, kSecond, 7, 8));
    MSG m{};
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ("user+1 5 6 thread", describe(m));
    EXPECT_EQ("user+1 5 6 thread", peek());
    ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
    EXPECT_EQ("user+2 7 8 window", describe(m));
    EXPECT_EQ(kAnswer, DispatchMessageA(&m));  // the window's procedure answers
    EXPECT_EQ(kSecond, procedureLog.last.message);
    EXPECT_EQ(0, SetWindowLongPtrA(window, GWLP_USERDATA, 42));
    EXPECT_EQ(42, GetWindowLongPtrW(window, GWLP_USERDATA));
    EXPECT_EQ(42, GetWindowLongPtrA(window, GWLP_USERDATA));
    EXPECT_EQ(0, DefWindowProcA(window, WM_APP + 5, 1, 2));  // nothing to do for it
    EXPECT_TRUE(DestroyWindow(window));
}

TEST(MessageQueueTest, QuitComesAfterThePostedMessagesAndOnlyOnce) {
    drainQueue();
    PostQuitMessage(7);
    ASSERT_TRUE(post(kFirst));
    EXPECT_EQ("user+1 0 0 thread", peek());
    // Found whatever the range filter; PM_NOREMOVE leaves it.
    EXPECT_EQ("quit 7 0 thread", peek(PM_NOREMOVE, nullptr, kFirst, kSecond));
    MSG m{};
    EXPECT_EQ(FALSE, GetMessageW(&m, nullptr, 0, 0));  // 0 for WM_QUIT, which it removes
    EXPECT_EQ("quit 7 0 thread", describe(m));
    EXPECT_EQ("none", peek());
    // A WM_QUIT posted as a message is an ordinary message in its place.
    ASSERT_TRUE(post(WM_QUIT, 3));
    ASSERT_TRUE(post(kFirst));
    EXPECT_EQ(FALSE, GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ("quit 3 0 thread", describe(m));
    EXPECT_EQ(TRUE, GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ("user+1 0 0 thread", describe(m));
}

// A thread has no queue until its first message function; that first look finds nothing.
TEST(MessageQueueTest, PostingNeedsATargetThreadWithAQueue) {
    Handles hs;
    HANDLE ready = hs.event(TRUE);
    HANDLE go = hs.event(TRUE);
    std::atomic<DWORD> tid{0};
    WaitProbe target([&] {
        tid = GetCurrentThreadId();
        SetEvent(ready);
        WaitForSingleObject(go, kBoundMs);
        return peek(PM_NOREMOVE) == "none" ? 1 : 0;
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, kBoundMs));
    DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_THREAD_ID, PostThreadMessageW(tid, kFirst, 0, 0));
    SetEvent(go);
    EXPECT_EQ(1, target.result());
    // Posting to itself makes the queue, and the message is there for the first look.
    EXPECT_EQ(1u,
              onOtherThread([] { return post(kFirst, 4, 5) && peek() == "user+1 4 5 thread"; }));
}

TEST(MessageWindowTest, ClassesWindowsAndDispatchToTheProcedure) {
    drainQueue();
    TestClass windowClass;
    ASSERT_NE(0, windowClass.atom);
    DAVRO_EXPECT_ERROR(0, ERROR_CLASS_ALREADY_EXISTS, RegisterClassW(&windowClass.windowClass));
    SetLastError(0);
    EXPECT_EQ(nullptr, CreateWindowExW(0, L"DavroNoSuchClass", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                       nullptr, GetModuleHandleW(nullptr), nullptr));
    // Wine answers ERROR_CLASS_DOES_NOT_EXIST here; Windows and ours
    // ERROR_CANNOT_FIND_WND_CLASS.
    EXPECT_TRUE(GetLastError() == ERROR_CANNOT_FIND_WND_CLASS ||
                (runningUnderWine() && GetLastError() == ERROR_CLASS_DOES_NOT_EXIST));
    const HWND window = createTestWindow();
    ASSERT_NE(nullptr, window) << "error " << GetLastError();
    DAVRO_EXPECT_ERROR(FALSE, ERROR_CLASS_HAS_WINDOWS,
                       UnregisterClassW(kClassName, GetModuleHandleW(nullptr)));

    ASSERT_TRUE(PostMessageW(window, kFirst, 5, 6));
    ASSERT_TRUE(post(kSecond));
    MSG m{};
    ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(window, m.hwnd);
    EXPECT_FALSE(TranslateMessage(&m));  // not a key message
    EXPECT_EQ(kAnswer, DispatchMessageW(&m));
    EXPECT_EQ(1, procedureLog.calls);
    EXPECT_EQ(window, procedureLog.last.hwnd);
    EXPECT_EQ("user+1 5 6 window", describe(procedureLog.last));
    // A thread message has no window procedure.
    ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(0, DispatchMessageW(&m));
    EXPECT_EQ(1, procedureLog.calls);
    // On the owner's thread SendMessageW is a direct call and queues nothing.
    EXPECT_EQ(kAnswer, SendMessageW(window, kSecond, 7, 8));
    EXPECT_EQ(2, procedureLog.calls);
    EXPECT_EQ("none", peek(PM_NOREMOVE));

    ASSERT_TRUE(PostMessageW(window, kFirst, 0, 0));
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_EQ(1, procedureLog.destroys);
    DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_WINDOW_HANDLE, PostMessageW(window, kFirst, 0, 0));
    EXPECT_EQ(0, SendMessageW(window, kFirst, 0, 0));
    EXPECT_FALSE(DestroyWindow(window));
    drainQueue();
    EXPECT_TRUE(UnregisterClassW(kClassName, GetModuleHandleW(nullptr)));
    DAVRO_EXPECT_ERROR(FALSE, ERROR_CLASS_DOES_NOT_EXIST,
                       UnregisterClassW(kClassName, GetModuleHandleW(nullptr)));
}

// A message sent from another thread runs on the owner's thread when the owner looks at
// its queue, and the sender blocks until then (or is terminated: its message is run or
// dropped). A sender to a window whose thread ends without looking gets 0, as later ones.
TEST(MessageWindowTest, SendFromAnotherThreadRunsOnTheOwnerOrReturnsZeroWhenItEnds) {
    drainQueue();
    TestClass windowClass;
    const HWND window = createTestWindow();
    ASSERT_NE(nullptr, window);
    HANDLE orphan = beginThread(
        [](void* w) {
            return static_cast<unsigned>(SendMessageW(static_cast<HWND>(w), kFirst, 0, 0));
        },
        window);
    ASSERT_EQ(WAIT_OBJECT_0, msgWait(0, nullptr, FALSE, kBoundMs, QS_SENDMESSAGE));
    EXPECT_TRUE(TerminateThread(orphan, 3) &&
                WaitForSingleObject(orphan, kBoundMs) == WAIT_OBJECT_0 && CloseHandle(orphan));
    EXPECT_EQ("none", peek(PM_NOREMOVE));
    EXPECT_LE(procedureLog.calls, 1);
    procedureLog = {};
    WaitProbe sender([&] { return static_cast<int>(SendMessageW(window, kFirst, 9, 10)); });
    // The sent message wakes a message wait but is not run by it.
    EXPECT_EQ(WAIT_OBJECT_0, msgWait(0, nullptr, FALSE, kBoundMs, QS_SENDMESSAGE));
    EXPECT_EQ(0, procedureLog.calls);
    EXPECT_TRUE(sender.stillBlockedAfter(20ms));
    EXPECT_EQ("none", peek(PM_NOREMOVE));  // runs it, returns nothing
    EXPECT_EQ(1, procedureLog.calls);
    EXPECT_EQ(GetCurrentThreadId(), procedureLog.thread);
    EXPECT_EQ("user+1 9 10 window", describe(procedureLog.last));
    EXPECT_EQ(kAnswer, sender.result());
    EXPECT_TRUE(DestroyWindow(window));

    std::atomic<HWND> remote{nullptr};
    Handles hs;
    HANDLE created = hs.event(TRUE);
    std::thread owner([&] {
        remote = createTestWindow();
        SetEvent(created);
        // Ends as soon as a message is sent, without looking at it.
        msgWait(0, nullptr, FALSE, kBoundMs, QS_SENDMESSAGE);
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(created, kBoundMs));
    EXPECT_NE(nullptr, remote.load());
    EXPECT_EQ(0, SendMessageW(remote, kFirst, 0, 0));
    owner.join();
    EXPECT_EQ(0, SendMessageW(remote, kFirst, 0, 0));
    EXPECT_EQ(1, procedureLog.calls);
}

// The procedure hears of its window from CreateWindowExW and DestroyWindow in Win32's order,
// keeps data with it from the first message on, and refuses it with FALSE to WM_NCCREATE or
// -1 to WM_CREATE (no window then).
TEST(MessageWindowTest, CreationAndDestructionMessagesComeInOrder) {
    TestClass windowClass;
    auto create = [](void* param) {
        return CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               GetModuleHandleW(nullptr), param);
    };
    const HWND window = createMessageWindow(kClassName, &windowClass);
    ASSERT_NE(nullptr, window);
    EXPECT_EQ("nccreate create", procedureLog.life);
    EXPECT_EQ(reinterpret_cast<LONG_PTR>(&windowClass), GetWindowLongPtrW(window, GWLP_USERDATA));
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_EQ("nccreate create destroy ncdestroy", procedureLog.life);
    for (char* refusal : {&refuseNc, &refuseCreate}) {
        EXPECT_EQ(nullptr, create(refusal));
        const std::string& life = procedureLog.life;  // Wine: no WM_DESTROY after WM_CREATE
        EXPECT_TRUE(life == (refusal == &refuseNc ? "nccreate ncdestroy"
                                                  : "nccreate create destroy ncdestroy") ||
                    (runningUnderWine() && life == "nccreate create ncdestroy"))
            << life;
        DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_WINDOW_HANDLE,
                           PostMessageW(procedureLog.last.hwnd, 0, 0, 0));
    }
}

// A receiver that ends inside the procedure of a message sent to it (_endthreadex,
// TerminateThread, pthread_exit on Linux) answers its sender 0.
std::atomic<HWND> servedWindow{nullptr};

unsigned serveWindow(void* created) {
    servedWindow = createTestWindow();
    SetEvent(created);
    msgWait(0, nullptr, FALSE, kBoundMs, QS_SENDMESSAGE);
    peek(PM_NOREMOVE);  // ends the thread inside the procedure
    return 1;
}

TEST(MessageWindowTest, AReceiverThatEndsInsideTheProcedureAnswersItsSenderZero) {
    TestClass windowClass;
    for (const How how : {kEndThreadEx, kTerminated, kPthreadExit}) {
#ifdef _WIN32  // Wine never answers the sender when it terminates the receiver
        if (how == kPthreadExit || (how == kTerminated && runningUnderWine())) {
            continue;
        }
#endif
        Handles hs;
        HANDLE created = hs.event(TRUE);
        HANDLE inside = hs.event(TRUE);
        HANDLE t = hs.add(beginThread(&serveWindow, created));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(created, kBoundMs));
        WaitProbe sender([&] {
            return static_cast<int>(
                SendMessageW(servedWindow, kEndInside, how, reinterpret_cast<LPARAM>(inside)));
        });
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inside, kBoundMs));
        EXPECT_TRUE(how != kTerminated || TerminateThread(t, 9));
        EXPECT_EQ(0, sender.result()) << how;
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
        EXPECT_EQ(0, SendMessageW(servedWindow, kFirst, 0, 0));  // gone with its thread
    }
}

// Threads terminated anywhere in PeekMessageW (serving sends) and PostThreadMessageW leave
// senders answered and queues working. They allocate nothing: one killed there keeps a lock.
struct Churn {
    DWORD main = GetCurrentThreadId();
    std::atomic<long> rounds{0};
    std::atomic<HWND> window{nullptr};
};

unsigned churnMessages(void* argument) {
    auto* churn = static_cast<Churn*>(argument);
    churn->window = createTestWindow();
    MSG m{};
    for (;;) {
        post(kFirst);
        PostThreadMessageW(churn->main, kSecond, 0, 0);
        PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE);
        churn->rounds.fetch_add(1);
    }
}

TEST(MessageQueueTest, ThreadsTerminatedInsideMessageCallsLeaveTheQueuesWorking) {
    if (runningUnderWine()) {
        GTEST_SKIP() << "Wine runs message calls in user mode under locks a killed thread keeps";
    }
    drainQueue();
    TestClass windowClass;
    Churn churn;
    std::atomic<bool> done{false};
    WaitProbe sender([&] {
        while (!done.load()) {
            SendMessageW(churn.window, kFirst, 0, 0);
        }
        return 0;
    });
    for (int i = 0; i < 100; ++i) {
        const long start = churn.rounds.load();
        HANDLE victim = beginThread(&churnMessages, &churn);
        for (int n = 0; n < 100000 && churn.rounds.load() < start + i % 5; ++n) {
            std::this_thread::yield();
        }
        EXPECT_TRUE(TerminateThread(victim, 7) &&
                    WaitForSingleObject(victim, kBoundMs) == WAIT_OBJECT_0 && CloseHandle(victim));
    }
    done = true;
    EXPECT_EQ(0, sender.result());  // a send left unanswered would hang here
    drainQueue();
    const DWORD self = GetCurrentThreadId();  // a new thread posts to itself and to us
    EXPECT_EQ(1u, onOtherThread([self] {
                  return post(kFirst, 1) && peek() == "user+1 1 0 thread" &&
                         PostThreadMessageW(self, kSecond, 2, 0);
              }));
    EXPECT_EQ("user+2 2 0 thread", peek());
}

TEST(MessageWaitTest, ObjectsComeFirstAndNewInputWakesTheWait) {
    drainQueue();
    Handles hs;
    const HANDLE list[] = {hs.event(), hs.event(FALSE, TRUE)};
    // Without input: a wait-any over the objects.
    EXPECT_EQ(WAIT_TIMEOUT, msgWait(0, nullptr, FALSE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, msgWait(0, nullptr, FALSE, 10));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, msgWait(2, list, FALSE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, msgWait(2, list, FALSE, 10));
    {
        WaitProbe waiter([&] { return static_cast<int>(msgWait(2, list, FALSE, kBoundMs)); });
        EXPECT_TRUE(waiter.stillBlockedAfter(30ms));
        SetEvent(list[0]);
        EXPECT_EQ(0, waiter.result());
    }
    DAVRO_EXPECT_ERROR(WAIT_FAILED, ERROR_INVALID_PARAMETER,
                       msgWait(MAXIMUM_WAIT_OBJECTS, list, FALSE, 0));
    // Input from another thread, before or during the wait: new either way.
    const DWORD self = GetCurrentThreadId();
    std::thread poster([self] { PostThreadMessageW(self, kFirst, 0, 0); });
    EXPECT_EQ(WAIT_OBJECT_0 + 2, msgWait(2, list, FALSE, kBoundMs));
    poster.join();
    drainQueue();
    // Objects come first when both are there.
    ASSERT_TRUE(post(kFirst));
    SetEvent(list[1]);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, msgWait(2, list, FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0 + 2, msgWait(2, list, FALSE, 0));
    drainQueue();
    // Only the kinds in the mask count.
    ASSERT_TRUE(post(kFirst));
    EXPECT_EQ(WAIT_TIMEOUT, msgWait(2, list, FALSE, 0, QS_SENDMESSAGE));
    EXPECT_EQ(WAIT_OBJECT_0 + 2, msgWait(2, list, FALSE, 0, QS_POSTMESSAGE));
    drainQueue();
}

// Looking at the queue makes what it holds old: a wait returns only for input that arrives
// afterwards, even with the old message still queued, unless it asks for MWMO_INPUTAVAILABLE.
TEST(MessageWaitTest, InputAlreadySeenDoesNotWakeTheWait) {
    drainQueue();
    ASSERT_TRUE(post(kFirst));
    EXPECT_EQ("user+1 0 0 thread", peek(PM_NOREMOVE));
    EXPECT_EQ(WAIT_TIMEOUT, msgWait(0, nullptr, FALSE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, msgWait(0, nullptr, FALSE, 20));
    ASSERT_TRUE(post(kSecond));
    EXPECT_EQ(WAIT_OBJECT_0, msgWait(0, nullptr, FALSE, 0));
#if !defined(_WIN32)
    // The wait that reported it has made it old too, as on Windows, whose check of the
    // queue state is a test-and-clear. Wine keeps it new until the queue is looked at.
    EXPECT_EQ(WAIT_TIMEOUT, msgWait(0, nullptr, FALSE, 0));
#endif
    // Removing one of two messages makes the other one old as well.
    drainQueue();
    ASSERT_TRUE(post(kFirst));
    ASSERT_TRUE(post(kSecond));
    EXPECT_EQ("user+1 0 0 thread", peek());
    EXPECT_EQ(WAIT_TIMEOUT, msgWait(0, nullptr, FALSE, 0));
    EXPECT_EQ("user+2 0 0 thread", peek());
    // A filtered look leaves posted messages new for QS_ALLPOSTMESSAGE only.
    ASSERT_TRUE(post(kFirst));
    EXPECT_EQ("none", peek(PM_NOREMOVE, nullptr, WM_APP, WM_APP));
    EXPECT_EQ(WAIT_TIMEOUT, msgWait(0, nullptr, FALSE, 0, QS_POSTMESSAGE));
    EXPECT_EQ(WAIT_OBJECT_0, msgWait(0, nullptr, FALSE, 0, QS_ALLPOSTMESSAGE));
    // MWMO_INPUTAVAILABLE: a message seen but still queued wakes the wait, alone or with an
    // object in a wait-all; the kinds outside the mask still do not.
    EXPECT_EQ("user+1 0 0 thread", peek(PM_NOREMOVE));
    EXPECT_EQ(WAIT_TIMEOUT, msgWait(0, nullptr, FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0,
              MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_ALLINPUT, MWMO_INPUTAVAILABLE));
    EXPECT_EQ(WAIT_TIMEOUT,
              MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_KEY, MWMO_INPUTAVAILABLE));
    const HANDLE set = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjectsEx(1, &set, 0, QS_ALLINPUT,
                                                         MWMO_INPUTAVAILABLE | MWMO_WAITALL));
    CloseHandle(set);
    drainQueue();
    EXPECT_EQ(WAIT_TIMEOUT,
              MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_ALLINPUT, MWMO_INPUTAVAILABLE));
}

// Wait-all: every object signalled and new input. Nothing is taken before both hold, and
// input is never taken.
TEST(MessageWaitTest, WaitAllNeedsTheObjectsAndInput) {
    drainQueue();
    Handles hs;
    const HANDLE events[] = {hs.event(FALSE, TRUE), hs.event(FALSE, TRUE)};
    EXPECT_EQ(WAIT_TIMEOUT, msgWait(2, events, TRUE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, msgWait(2, events, TRUE, 20));
    EXPECT_TRUE(eventIsSet(events[0], true) && eventIsSet(events[1], true));
    ASSERT_TRUE(post(kFirst));
    EXPECT_EQ(WAIT_OBJECT_0, msgWait(2, events, TRUE, 0));
    EXPECT_FALSE(eventIsSet(events[0], true) || eventIsSet(events[1], true));
    EXPECT_EQ("user+1 0 0 thread", peek());
    // The objects are awaited while input is there.
    ASSERT_TRUE(post(kFirst));
    SetEvent(events[0]);
    std::thread setter([&] { SetEvent(events[1]); });
    EXPECT_EQ(WAIT_OBJECT_0, msgWait(2, events, TRUE, kBoundMs));
    setter.join();
    drainQueue();
}

}  // namespace
}  // namespace davro::test
