// The message-pumping waits: dispatchLock/dispatchWait on one object while the calling
// thread's window messages are dispatched, and YThread::dispatchMessages.
//
// Runs with DAVRO_TIME_SCALE=1000 (on Linux): every time-out below is written in scaled
// milliseconds. The infinite case, with its watchdog slices, is DeadlockLogTest's.
#include <davro/core/SyncObject.h>
#include <davro/primitives/Event.h>
#include <davro/thread/Thread.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "TestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;
using Clock = std::chrono::steady_clock;

constexpr UINT kCount = WM_USER + 1;     // counted and acknowledged
constexpr UINT kSignal = WM_USER + 2;    // sets the test's target object
constexpr UINT kNested = WM_USER + 3;    // waits on a second object from inside the procedure
constexpr UINT kQuitHere = WM_USER + 4;  // PostQuitMessage from inside the procedure

// What the window procedure saw and the objects it acts on; reset by each test's window.
struct WindowState {
    std::atomic<int> counted{0};
    std::atomic<int> signals{0};
    std::atomic<DWORD> thread{0};
    YSyncObject* target = nullptr;   // set by kSignal
    YSyncObject* ack = nullptr;      // set after each kCount
    YSyncObject* inner = nullptr;    // waited on by kNested
    YSyncObject* entered = nullptr;  // set by kNested before its wait
    YSyncObject* after = nullptr;    // set by kNested after its wait
    std::atomic<int> innerResult{-2};
};
WindowState state;

LRESULT procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kCount:
            ++state.counted;
            state.thread = GetCurrentThreadId();
            if (state.ack != nullptr) {
                state.ack->unlock();
            }
            return 0;
        case kSignal:
            ++state.signals;
            state.target->unlock();
            return 0;
        case kNested:
            state.entered->unlock();
            state.innerResult = state.inner->dispatchLock(scaled(kWaitMs));
            state.after->unlock();
            return 0;
        case kQuitHere:
            PostQuitMessage(3);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

// A message-only window of the calling thread with `procedure`, and an empty queue.
class TestWindow {
public:
    TestWindow() {
        state.counted = state.signals = 0;
        state.thread = 0;
        state.target = state.ack = state.inner = state.entered = state.after = nullptr;
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"DavroDispatchWaitTest";
        RegisterClassW(&windowClass);
        window_ = createMessageWindow(L"DavroDispatchWaitTest");
        MSG m{};
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    ~TestWindow() {
        DestroyWindow(window_);
        UnregisterClassW(L"DavroDispatchWaitTest", GetModuleHandleW(nullptr));
    }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    bool post(UINT message) const { return PostMessageW(window_, message, 0, 0) != FALSE; }
    HWND get() const { return window_; }

private:
    HWND window_ = nullptr;
};

// The first message in the calling thread's queue, or 0 when it is empty.
UINT firstQueued() {
    MSG m{};
    return PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE) ? m.message : 0;
}

TEST(DispatchWaitTest, ZeroTimeOutPollsAndDispatchesWhatIsQueued) {
    TestWindow window;
    ASSERT_NE(nullptr, window.get());
    YEventObject event;
    state.target = &event;
    EXPECT_EQ(kTimedOut, event.dispatchLock(0));  // unsignalled, empty queue
    event.unlock();
    EXPECT_EQ(kSignalled, event.dispatchWait(0));  // signalled: taken
    EXPECT_EQ(kTimedOut, event.lock(0));

    // Queued input is dispatched, then the final poll decides.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(window.post(kCount));
    }
    EXPECT_EQ(kTimedOut, event.dispatchLock(0));
    EXPECT_EQ(3, state.counted.load());
    EXPECT_EQ(0u, firstQueued());

    // Signalled by a procedure run during the dispatch: the final poll acquires it.
    ASSERT_TRUE(window.post(kCount));
    ASSERT_TRUE(window.post(kSignal));
    EXPECT_EQ(kSignalled, event.dispatchLock(0));
    EXPECT_EQ(4, state.counted.load());
    EXPECT_EQ(kTimedOut, event.lock(0));  // consumed by the wait
}

// Another thread posts one message after another, each as soon as the previous one has
// been dispatched; the wait serves them all and still ends at its deadline.
TEST(DispatchWaitTest, FiniteWaitServesASteadyStreamAndStillTimesOut) {
    TestWindow window;
    ASSERT_NE(nullptr, window.get());
    YEventObject never;
    YEventObject ack;
    state.ack = &ack;
    std::atomic<bool> stop{false};
    std::thread poster([&] {
        while (!stop) {
            window.post(kCount);
            ack.lock(scaled(kWaitMs));
        }
    });
    const auto begin = Clock::now();
    const int result = never.dispatchLock(scaled(300));
    const auto elapsed = Clock::now() - begin;
    stop = true;
    ack.unlock();  // frees a poster that waits for a message nobody will dispatch now
    poster.join();

    EXPECT_EQ(kTimedOut, result);
    EXPECT_GE(elapsed, 290ms);
    EXPECT_LT(elapsed, 300ms + 5s);
    EXPECT_GE(state.counted.load(), 3);  // a stream, not a single batch
    EXPECT_EQ(GetCurrentThreadId(), state.thread.load());
}

TEST(DispatchWaitTest, QuitIsDroppedByTheWaitsAndReportedAsOneByThePump) {
    TestWindow window;
    ASSERT_NE(nullptr, window.get());
    YEventObject event;
    state.target = &event;

    // A posted WM_QUIT stops the wait's pump; it is gone, the message behind it is still there.
    ASSERT_TRUE(window.post(kCount));
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0));
    ASSERT_TRUE(window.post(kCount));
    EXPECT_EQ(kTimedOut, event.dispatchLock(0));
    EXPECT_EQ(1, state.counted.load());
    EXPECT_EQ(kCount, firstQueued());
    MSG m{};
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(0u, firstQueued());

    // From another thread during a finite wait: a procedure posts a quit, which is dropped
    // while the wait goes on, and another signals the object waited for, which is taken.
    std::thread poster([&] {
        window.post(kQuitHere);
        window.post(kSignal);
    });
    EXPECT_EQ(kSignalled, event.dispatchLock(scaled(kWaitMs)));
    poster.join();
    EXPECT_EQ(1, state.signals.load());
    EXPECT_EQ(kTimedOut, event.lock(0));
    EXPECT_NE(static_cast<UINT>(WM_QUIT), firstQueued());

    // YThread::dispatchMessages reports a quit message as 1 and takes -5 as 0.
    state.counted = 0;
    ASSERT_TRUE(window.post(kCount));
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0));
    ASSERT_TRUE(window.post(kCount));
    EXPECT_EQ(1, YThread::dispatchMessages(scaled(kWaitMs)));
    EXPECT_EQ(1, state.counted.load());
    EXPECT_EQ(0, YThread::dispatchMessages(0));
    EXPECT_EQ(2, state.counted.load());
    PostQuitMessage(0);
    EXPECT_EQ(1, YThread::dispatchMessages(-5));
    ASSERT_TRUE(window.post(kCount));
    const auto begin = Clock::now();
    EXPECT_EQ(0, YThread::dispatchMessages(-5));  // as 0: what is queued, then back
    EXPECT_LT(Clock::now() - begin, 5s);
    EXPECT_EQ(3, state.counted.load());
    EXPECT_EQ(0u, firstQueued());
}

// A procedure dispatched by one wait makes a second dispatchLock, which serves the
// message that ends it.
TEST(DispatchWaitTest, NestedWaitFromAWindowProcedure) {
    TestWindow window;
    ASSERT_NE(nullptr, window.get());
    YEventObject outer;
    YEventObject inner;
    YEventObject entered;
    state.target = state.inner = &inner;
    state.entered = &entered;
    state.after = &outer;
    state.innerResult = -2;
    std::thread poster([&] {
        window.post(kNested);
        if (entered.lock(scaled(kWaitMs)) == kSignalled) {
            window.post(kSignal);  // posted while the nested wait runs: new input for it
        }
    });
    const int result = outer.dispatchLock(scaled(kWaitMs));
    poster.join();
    EXPECT_EQ(kSignalled, state.innerResult.load());
    EXPECT_EQ(1, state.signals.load());
    EXPECT_EQ(kSignalled, result);  // set by the procedure after its nested wait
}

}  // namespace
