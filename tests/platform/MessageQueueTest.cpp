// Conformance of the per-thread message queue: posting, peeking and removing with filters,
// the quit message, message-only windows and their procedures, SendMessageW across
// threads, and MsgWaitForMultipleObjects on input, with the rule that input the thread has
// already looked at is no longer new.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "PlatformTestSupport.h"
#include "TestSupport.h"

namespace davro::test {
namespace {

constexpr UINT kFirst = WM_USER + 1;
constexpr UINT kSecond = WM_USER + 2;
constexpr LRESULT kAnswer = 0x1234;
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1));

// Everything the test window procedure saw. Tests run one at a time, so one log serves all.
struct ProcedureLog {
    std::atomic<int> calls{0};
    std::atomic<int> destroys{0};
    std::atomic<UINT> message{0};
    std::atomic<WPARAM> wParam{0};
    std::atomic<LPARAM> lParam{0};
    std::atomic<HWND> window{nullptr};
    std::atomic<DWORD> thread{0};
    void clear() {
        calls = 0;
        destroys = 0;
        message = 0;
        wParam = 0;
        lParam = 0;
        window = nullptr;
        thread = 0;
    }
};
ProcedureLog procedureLog;

LRESULT testProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        ++procedureLog.destroys;
        return 0;
    }
    if (message < WM_USER) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    procedureLog.message = message;
    procedureLog.wParam = wParam;
    procedureLog.lParam = lParam;
    procedureLog.window = window;
    procedureLog.thread = GetCurrentThreadId();
    ++procedureLog.calls;
    return kAnswer;
}

constexpr const wchar_t* kClassName = L"DavroMessageQueueTest";

// The test window class, registered for the life of the object.
class TestClass {
public:
    TestClass() {
        procedureLog.clear();
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = testProcedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClassName;
        atom_ = RegisterClassW(&windowClass);
    }
    ~TestClass() { UnregisterClassW(kClassName, GetModuleHandleW(nullptr)); }
    TestClass(const TestClass&) = delete;
    TestClass& operator=(const TestClass&) = delete;
    ATOM atom() const { return atom_; }

private:
    ATOM atom_ = 0;
};

HWND createTestWindow() {
    return CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

// Removes whatever the calling thread's queue holds, so that each test starts empty.
void drainQueue() {
    MSG m{};
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
}

TEST(MessageQueueTest, PostedMessagesComeBackInOrderWithTheirFields) {
    drainQueue();
    const DWORD self = GetCurrentThreadId();
    ASSERT_TRUE(PostThreadMessageW(self, kFirst, 11, 22));
    ASSERT_TRUE(PostThreadMessageW(self, kSecond, 33, 44));

    MSG m{};
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));  // looks, leaves it
    EXPECT_EQ(kFirst, m.message);
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(nullptr, m.hwnd);
    EXPECT_EQ(kFirst, m.message);
    EXPECT_EQ(11u, m.wParam);
    EXPECT_EQ(22, m.lParam);
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(kSecond, m.message);
    EXPECT_EQ(33u, m.wParam);
    EXPECT_EQ(44, m.lParam);

    m.message = 0x5EED;
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(0x5EEDu, m.message);  // untouched when nothing is there

    // A null window posts to the calling thread, as PostThreadMessageW does.
    ASSERT_TRUE(PostMessageW(nullptr, kFirst, 1, 2));
    ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(kFirst, m.message);
    EXPECT_EQ(nullptr, m.hwnd);
}

TEST(MessageQueueTest, RangeAndWindowFiltersPickTheirMessages) {
    drainQueue();
    TestClass windowClass;
    const HWND window = createTestWindow();
    ASSERT_NE(nullptr, window);
    const DWORD self = GetCurrentThreadId();
    ASSERT_TRUE(PostMessageW(window, kFirst, 1, 0));
    ASSERT_TRUE(PostThreadMessageW(self, kSecond, 2, 0));
    ASSERT_TRUE(PostThreadMessageW(self, WM_APP, 3, 0));
    ASSERT_TRUE(PostMessageW(window, WM_APP + 1, 4, 0));

    MSG m{};
    // A range skips earlier messages outside it.
    ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_APP, WM_APP + 10, PM_REMOVE));
    EXPECT_EQ(3u, m.wParam);
    // -1: thread messages only.
    ASSERT_TRUE(PeekMessageW(&m, kThreadMessagesOnly, 0, 0, PM_REMOVE));
    EXPECT_EQ(2u, m.wParam);
    EXPECT_FALSE(PeekMessageW(&m, kThreadMessagesOnly, 0, 0, PM_NOREMOVE));
    // A window: that window's messages only.
    ASSERT_TRUE(PeekMessageW(&m, window, 0, 0, PM_REMOVE));
    EXPECT_EQ(1u, m.wParam);
    EXPECT_EQ(window, m.hwnd);
    // Range and window together.
    EXPECT_FALSE(PeekMessageW(&m, window, kFirst, kSecond, PM_REMOVE));
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(4u, m.wParam);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(DestroyWindow(window));
}

TEST(MessageQueueTest, QuitComesAfterThePostedMessagesAndOnlyOnce) {
    drainQueue();
    PostQuitMessage(7);
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kFirst, 0, 0));

    MSG m{};
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(kFirst, m.message);
    // Found whatever the range filter; PM_NOREMOVE leaves it.
    ASSERT_TRUE(PeekMessageW(&m, nullptr, kFirst, kSecond, PM_NOREMOVE));
    EXPECT_EQ(WM_QUIT, m.message);
    EXPECT_EQ(7u, m.wParam);
    EXPECT_EQ(nullptr, m.hwnd);
    EXPECT_EQ(FALSE, GetMessageW(&m, nullptr, 0, 0));  // 0 for WM_QUIT, which it removes
    EXPECT_EQ(WM_QUIT, m.message);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));

    // A WM_QUIT posted as a message is an ordinary message in its place.
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 3, 0));
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kFirst, 0, 0));
    EXPECT_EQ(FALSE, GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(3u, m.wParam);
    EXPECT_EQ(TRUE, GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(kFirst, m.message);
}

TEST(MessageQueueTest, PostingNeedsATargetThreadWithAQueue) {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> tid{0};
    std::atomic<UINT> received{0};
    std::thread target([&] {
        tid = GetCurrentThreadId();
        SetEvent(ready);
        WaitForSingleObject(go, kBoundMs);  // no message function called yet: no queue
        MSG m{};
        PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // the usual way to get a queue
        ResetEvent(go);
        SetEvent(ready);
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, kBoundMs, QS_ALLINPUT) == WAIT_OBJECT_0 &&
            PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            received = m.message;
        }
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, kBoundMs));
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(tid, kFirst, 0, 0));
    EXPECT_EQ(ERROR_INVALID_THREAD_ID, GetLastError());
    ResetEvent(ready);
    SetEvent(go);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, kBoundMs));
    EXPECT_TRUE(PostThreadMessageW(tid, kSecond, 0, 0));
    target.join();
    EXPECT_EQ(kSecond, received.load());
    CloseHandle(ready);
    CloseHandle(go);
}

TEST(MessageWindowTest, DispatchCallsTheProcedureOfTheMessagesWindow) {
    drainQueue();
    TestClass windowClass;
    ASSERT_NE(0, windowClass.atom());
    const HWND window = createTestWindow();
    ASSERT_NE(nullptr, window);
    ASSERT_TRUE(PostMessageW(window, kFirst, 5, 6));
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kSecond, 0, 0));

    MSG m{};
    ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(window, m.hwnd);
    EXPECT_FALSE(TranslateMessage(&m));  // not a key message
    EXPECT_EQ(kAnswer, DispatchMessageW(&m));
    EXPECT_EQ(1, procedureLog.calls.load());
    EXPECT_EQ(kFirst, procedureLog.message.load());
    EXPECT_EQ(5u, procedureLog.wParam.load());
    EXPECT_EQ(6, procedureLog.lParam.load());
    EXPECT_EQ(window, procedureLog.window.load());

    // A thread message has no window procedure.
    ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(0, DispatchMessageW(&m));
    EXPECT_EQ(1, procedureLog.calls.load());

    // On the owner's thread SendMessageW is a direct call and queues nothing.
    EXPECT_EQ(kAnswer, SendMessageW(window, kSecond, 7, 8));
    EXPECT_EQ(2, procedureLog.calls.load());
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));

    EXPECT_TRUE(DestroyWindow(window));
}

TEST(MessageWindowTest, ClassesAndWindowsComeAndGo) {
    TestClass windowClass;
    ASSERT_NE(0, windowClass.atom());
    WNDCLASSW again{};
    again.lpfnWndProc = testProcedure;
    again.hInstance = GetModuleHandleW(nullptr);
    again.lpszClassName = kClassName;
    SetLastError(0);
    EXPECT_EQ(0, RegisterClassW(&again));
    EXPECT_EQ(ERROR_CLASS_ALREADY_EXISTS, GetLastError());

    SetLastError(0);
    EXPECT_EQ(nullptr, CreateWindowExW(0, L"DavroNoSuchClass", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                       nullptr, GetModuleHandleW(nullptr), nullptr));
#if defined(_WIN32)
    // Wine answers ERROR_CLASS_DOES_NOT_EXIST here; Windows ERROR_CANNOT_FIND_WND_CLASS.
    EXPECT_TRUE(GetLastError() == ERROR_CANNOT_FIND_WND_CLASS ||
                GetLastError() == ERROR_CLASS_DOES_NOT_EXIST);
#else
    EXPECT_EQ(ERROR_CANNOT_FIND_WND_CLASS, GetLastError());
#endif

    const HWND window = createTestWindow();
    ASSERT_NE(nullptr, window);
    SetLastError(0);
    EXPECT_FALSE(UnregisterClassW(kClassName, GetModuleHandleW(nullptr)));
    EXPECT_EQ(ERROR_CLASS_HAS_WINDOWS, GetLastError());

    ASSERT_TRUE(PostMessageW(window, kFirst, 0, 0));
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_EQ(1, procedureLog.destroys.load());
    SetLastError(0);
    EXPECT_FALSE(PostMessageW(window, kFirst, 0, 0));
    EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
    EXPECT_EQ(0, SendMessageW(window, kFirst, 0, 0));
    EXPECT_FALSE(DestroyWindow(window));
    drainQueue();

    EXPECT_TRUE(UnregisterClassW(kClassName, GetModuleHandleW(nullptr)));
    SetLastError(0);
    EXPECT_FALSE(UnregisterClassW(kClassName, GetModuleHandleW(nullptr)));
    EXPECT_EQ(ERROR_CLASS_DOES_NOT_EXIST, GetLastError());
}

// The sender blocks until the owner looks at its queue; the procedure runs on the owner's
// thread and the sender gets its result.
TEST(MessageWindowTest, SendFromAnotherThreadRunsOnTheOwnerWhenItLooks) {
    drainQueue();
    TestClass windowClass;
    const HWND window = createTestWindow();
    ASSERT_NE(nullptr, window);
    const DWORD owner = GetCurrentThreadId();
    std::atomic<LRESULT> answer{0};
    std::thread sender([&] { answer = SendMessageW(window, kFirst, 9, 10); });

    // The sent message wakes a message wait but is not run by it.
    EXPECT_EQ(WAIT_OBJECT_0,
              MsgWaitForMultipleObjects(0, nullptr, FALSE, kBoundMs, QS_SENDMESSAGE));
    EXPECT_EQ(0, procedureLog.calls.load());
    MSG m{};
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));  // runs it, returns nothing
    EXPECT_EQ(1, procedureLog.calls.load());
    EXPECT_EQ(owner, procedureLog.thread.load());
    EXPECT_EQ(9u, procedureLog.wParam.load());
    sender.join();
    EXPECT_EQ(kAnswer, answer.load());
    EXPECT_TRUE(DestroyWindow(window));
}

// A window's thread ends while a send to it is pending: the sender gets 0, and later sends
// to the window, which went with its thread, get 0 too.
TEST(MessageWindowTest, SendToAWindowWhoseThreadEndsReturnsZero) {
    TestClass windowClass;
    std::atomic<HWND> window{nullptr};
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        window = createTestWindow();
        SetEvent(created);
        // Ends as soon as a message is sent, without looking at it.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kBoundMs, QS_SENDMESSAGE);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(created, kBoundMs));
    ASSERT_NE(nullptr, window.load());
    EXPECT_EQ(0, SendMessageW(window, kFirst, 0, 0));
    owner.join();
    EXPECT_EQ(0, procedureLog.calls.load());
    EXPECT_EQ(0, SendMessageW(window, kFirst, 0, 0));
    CloseHandle(created);
}

TEST(MessageWaitTest, PostedInputWakesTheWaitAfterTheObjects) {
    drainQueue();
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // Input from another thread, before or during the wait: new either way.
    const DWORD self = GetCurrentThreadId();
    std::thread poster([self] { PostThreadMessageW(self, kFirst, 0, 0); });
    EXPECT_EQ(WAIT_OBJECT_0 + 1,
              MsgWaitForMultipleObjects(1, &event, FALSE, kBoundMs, QS_ALLINPUT));
    poster.join();
    drainQueue();

    // Objects come first when both are there.
    ASSERT_TRUE(PostThreadMessageW(self, kFirst, 0, 0));
    SetEvent(event);
    EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT));
    drainQueue();

    // Only the kinds in the mask count.
    ASSERT_TRUE(PostThreadMessageW(self, kFirst, 0, 0));
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_SENDMESSAGE));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_POSTMESSAGE));
    drainQueue();
    CloseHandle(event);
}

// Looking at the queue makes what it holds old: a wait returns only for input that arrives
// afterwards, even with the old message still queued.
TEST(MessageWaitTest, InputAlreadySeenDoesNotWakeTheWait) {
    drainQueue();
    const DWORD self = GetCurrentThreadId();
    ASSERT_TRUE(PostThreadMessageW(self, kFirst, 0, 0));
    MSG m{};
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT));
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT));

    ASSERT_TRUE(PostThreadMessageW(self, kSecond, 0, 0));
    EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT));
#if !defined(_WIN32)
    // The wait that reported it has made it old too, as on Windows, whose check of the
    // queue state is a test-and-clear. Wine keeps it new until the queue is looked at.
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT));
#endif

    // Removing one of two messages makes the other one old as well.
    drainQueue();
    ASSERT_TRUE(PostThreadMessageW(self, kFirst, 0, 0));
    ASSERT_TRUE(PostThreadMessageW(self, kSecond, 0, 0));
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT));
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(kSecond, m.message);

    // A filtered look leaves posted messages new for QS_ALLPOSTMESSAGE only.
    ASSERT_TRUE(PostThreadMessageW(self, kFirst, 0, 0));
    EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_APP, WM_APP, PM_NOREMOVE));
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_POSTMESSAGE));
    EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLPOSTMESSAGE));
    drainQueue();
}

// Wait-all: every object signalled and new input. Nothing is taken before both hold.
TEST(MessageWaitTest, WaitAllNeedsTheObjectsAndInput) {
    drainQueue();
    HANDLE events[2] = {CreateEventW(nullptr, FALSE, TRUE, nullptr),
                        CreateEventW(nullptr, FALSE, TRUE, nullptr)};
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(2, events, TRUE, 0, QS_ALLINPUT));
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(2, events, TRUE, 20, QS_ALLINPUT));
    EXPECT_TRUE(eventIsSet(events[0], true));  // not consumed
    EXPECT_TRUE(eventIsSet(events[1], true));

    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kFirst, 0, 0));
    EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(2, events, TRUE, 0, QS_ALLINPUT));
    EXPECT_FALSE(eventIsSet(events[0], true));  // both taken
    EXPECT_FALSE(eventIsSet(events[1], true));
    MSG m{};
    EXPECT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));  // input is never taken

    // The objects are awaited while input is there.
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kFirst, 0, 0));
    SetEvent(events[0]);
    std::thread setter([&] { SetEvent(events[1]); });
    EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(2, events, TRUE, kBoundMs, QS_ALLINPUT));
    setter.join();
    drainQueue();
    CloseHandle(events[0]);
    CloseHandle(events[1]);
}

}  // namespace
}  // namespace davro::test
