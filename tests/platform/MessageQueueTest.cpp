// Conformance of the per-thread message queue: posting, peeking and removing with filters,
// the quit message, message-only windows and their procedures, SendMessageW across
// threads (also when either side ends in the middle), and MsgWaitForMultipleObjects on
// objects and input, with the rule that input the thread has already looked at is no longer
// new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "PlatformTestSupport.h"
#include "TestSupport.h"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace davro::test {
namespace {

constexpr UINT kFirst = WM_USER + 1;
constexpr UINT kSecond = WM_USER + 2;
// Ends the thread that runs the procedure: wParam says how (kHow...), and the event in
// lParam is set first.
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
};
ProcedureLog procedureLog;

HANDLE begin(unsigned (*routine)(void*), void* argument) {
    return reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
        _beginthreadex(nullptr, 0, routine, argument, 0, nullptr));
}

LRESULT testProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
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
        Sleep(10 * kBoundMs);  // terminated long before
    }
    if (message == WM_DESTROY) {
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

HWND createTestWindow(const wchar_t* className = kClassName) {
    return CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

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
    EXPECT_EQ(nullptr, createTestWindow(L"DavroNoSuchClass"));
    // Wine answers ERROR_CLASS_DOES_NOT_EXIST here; Windows and ours
    // ERROR_CANNOT_FIND_WND_CLASS.
    EXPECT_TRUE(GetLastError() == ERROR_CANNOT_FIND_WND_CLASS ||
                (runningUnderWine() && GetLastError() == ERROR_CLASS_DOES_NOT_EXIST));
    const HWND window = createTestWindow();
    ASSERT_NE(nullptr, window);
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
// its queue, and the sender blocks until then; one whose sender was terminated meanwhile is
// run or dropped. A sender to a window whose thread ends without looking gets 0, and so do
// later senders.
TEST(MessageWindowTest, SendFromAnotherThreadRunsOnTheOwnerOrReturnsZeroWhenItEnds) {
    drainQueue();
    TestClass windowClass;
    const HWND window = createTestWindow();
    ASSERT_NE(nullptr, window);
    HANDLE orphan = begin(
        [](void* w) {
            return static_cast<unsigned>(SendMessageW(static_cast<HWND>(w), kFirst, 0, 0));
        },
        window);
    ASSERT_EQ(WAIT_OBJECT_0, msgWait(0, nullptr, FALSE, kBoundMs, QS_SENDMESSAGE));
    EXPECT_TRUE(TerminateThread(orphan, 3));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(orphan, kBoundMs));
    CloseHandle(orphan);
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

// The thread that owns a window is told of the window from CreateWindowExW and
// DestroyWindow, in Win32's order; the procedure may keep data with the window from its
// first message on, and refuses the window with FALSE to WM_NCCREATE or -1 to WM_CREATE.
// lpCreateParams is a tag: "refuse-nc" and "refuse-create" refuse.
std::string lifeLog;
HWND lifeWindow = nullptr;

LRESULT lifeProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    const auto* data = reinterpret_cast<const char*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_NCCREATE:
            lifeWindow = window;
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
            lifeLog += "nccreate ";
            return std::strcmp(static_cast<const char*>(create->lpCreateParams), "refuse-nc") != 0;
        case WM_CREATE:
            lifeLog += std::string("create:") + (data == create->lpCreateParams ? data : "?") + " ";
            return std::strcmp(data, "refuse-create") == 0 ? -1 : 0;
        case WM_DESTROY:
            lifeLog += std::string("destroy:") + data + " ";
            return 0;
        case WM_NCDESTROY:
            lifeLog += "ncdestroy";
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

TEST(MessageWindowTest, CreationAndDestructionMessagesComeInOrder) {
    WNDCLASSW life{};
    life.lpfnWndProc = lifeProcedure;
    life.hInstance = GetModuleHandleW(nullptr);
    life.lpszClassName = L"DavroLifeTest";
    ASSERT_NE(0, RegisterClassW(&life));
    auto create = [](const char* tag) {
        lifeLog.clear();
        lifeWindow = nullptr;
        return CreateWindowExW(0, L"DavroLifeTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               GetModuleHandleW(nullptr), const_cast<char*>(tag));
    };
    const HWND window = create("kept");
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(window, lifeWindow);
    EXPECT_EQ("nccreate create:kept ", lifeLog);
    EXPECT_STREQ("kept", reinterpret_cast<const char*>(GetWindowLongPtrW(window, GWLP_USERDATA)));
    lifeLog.clear();
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_EQ("destroy:kept ncdestroy", lifeLog);
    // Refused: no window, and none left behind.
    EXPECT_EQ(nullptr, create("refuse-nc"));
    EXPECT_EQ(0u, lifeLog.rfind("nccreate ", 0)) << lifeLog;
    EXPECT_EQ(std::string::npos, lifeLog.find("create:")) << lifeLog;
    DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_WINDOW_HANDLE, PostMessageW(lifeWindow, kFirst, 0, 0));
    EXPECT_EQ(nullptr, create("refuse-create"));
    EXPECT_EQ("nccreate create:refuse-create destroy:refuse-create ncdestroy", lifeLog);
    DAVRO_EXPECT_ERROR(FALSE, ERROR_INVALID_WINDOW_HANDLE, PostMessageW(lifeWindow, kFirst, 0, 0));
    EXPECT_TRUE(UnregisterClassW(L"DavroLifeTest", GetModuleHandleW(nullptr)));
}

// A thread that runs a window, serving the messages sent to it until it ends.
struct Receiver {
    Handles hs;
    HANDLE created = hs.event(TRUE);
    std::atomic<HWND> window{nullptr};
};

unsigned serveWindow(void* argument) {
    auto* receiver = static_cast<Receiver*>(argument);
    receiver->window = createTestWindow();
    SetEvent(receiver->created);
    for (int i = 0; i < 3; ++i) {  // it should end in the first
        msgWait(0, nullptr, FALSE, kBoundMs, QS_SENDMESSAGE);
        peek(PM_NOREMOVE);
    }
    return 1;
}

// A receiver that ends inside the procedure of a message sent to it (by _endthreadex,
// terminated by another thread, or on Linux by pthread_exit) answers its sender 0.
TEST(MessageWindowTest, AReceiverThatEndsInsideTheProcedureAnswersItsSenderZero) {
    TestClass windowClass;
#ifdef _WIN32
    const How ways[] = {kEndThreadEx, kTerminated};
#else
    const How ways[] = {kEndThreadEx, kTerminated, kPthreadExit};
#endif
    for (How how : ways) {
        SCOPED_TRACE(how);
        Receiver receiver;
        HANDLE inside = receiver.hs.event(TRUE);
        std::thread plain;
        HANDLE t = nullptr;
        if (how == kPthreadExit) {
            plain = std::thread(serveWindow, &receiver);
        } else {
            t = receiver.hs.add(begin(&serveWindow, &receiver));
        }
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(receiver.created, kBoundMs));
        WaitProbe sender([&] {
            return static_cast<int>(
                SendMessageW(receiver.window, kEndInside, how, reinterpret_cast<LPARAM>(inside)));
        });
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inside, kBoundMs));
        if (how == kTerminated) {
            EXPECT_TRUE(TerminateThread(t, 9));
        }
        EXPECT_EQ(0, sender.result());
        if (plain.joinable()) {
            plain.join();
        } else {
            DWORD code = 0;
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kBoundMs));
            EXPECT_TRUE(GetExitCodeThread(t, &code));
            EXPECT_EQ(how == kTerminated ? 9u : 5u, code);
        }
        EXPECT_EQ(0, SendMessageW(receiver.window, kFirst, 0, 0));  // gone with its thread
    }
}

// Threads terminated at arbitrary points of PeekMessageW (serving a flood of sends) and
// PostThreadMessageW (to themselves and to this thread), their first calls included, leave
// every message function of the process working, and their senders answered. The victims
// allocate nothing themselves: a thread terminated inside the allocator would block the
// heap, on Windows as here.
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
        GTEST_SKIP() << "Wine runs message calls in user mode under locks that a killed thread "
                        "keeps";
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
        HANDLE victim = begin(&churnMessages, &churn);
        EXPECT_NE(nullptr, victim);
        for (int n = 0; n < 100000 && churn.rounds.load() < start + i % 5; ++n) {
            std::this_thread::yield();
        }
        EXPECT_TRUE(TerminateThread(victim, 7));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(victim, kBoundMs));
        CloseHandle(victim);
        drainQueue();
        EXPECT_TRUE(post(kFirst, static_cast<WPARAM>(i)));
        EXPECT_EQ("user+1 " + std::to_string(i) + " 0 thread", peek());
    }
    done = true;
    if (!sender.finishesWithin(std::chrono::milliseconds(kBoundMs))) {
        std::fprintf(stderr, "a send to a terminated thread was never answered\n");
        std::abort();  // the sender cannot be joined
    }
    const DWORD self = GetCurrentThreadId();  // a new thread posts to itself and to us
    EXPECT_EQ(1u, onOtherThread([self] {
                  return post(kFirst, 1) && peek() == "user+1 1 0 thread" &&
                         PostThreadMessageW(self, kSecond, 2, 0);
              }));
    EXPECT_EQ("user+2 2 0 thread", peek());
}

#ifndef _WIN32
// fork: the child's thread (under a new id) posts to itself and finds the message, whether
// the forking thread had a queue (whose messages the child inherits) or not.
TEST(MessageQueueTest, AForkedChildPostsToItselfAndFindsTheMessage) {
    auto postAndPeek = [] { return post(kFirst, 6) && peek() == "user+1 6 0 thread" ? 0 : 1; };
    EXPECT_EQ(0u, onOtherThread([&] { return runForked(postAndPeek, 4 * kBoundMs); }));
    drainQueue();
    ASSERT_TRUE(post(kSecond));
    EXPECT_EQ(0, runForked([&] { return peek() == "user+2 0 0 thread" ? postAndPeek() : 2; },
                           4 * kBoundMs));
    drainQueue();
}
#endif

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
// afterwards, even with the old message still queued.
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
    drainQueue();
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
