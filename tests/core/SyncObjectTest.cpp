// YSyncObject: handle ownership and copies, the single-object waits and their second
// names, and the message-pumping wait where no message is queued.
#include <davro/core/SyncObject.h>
#include <davro/primitives/Event.h>
#include <davro/primitives/Mutex.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "TestSupport.h"

namespace {

using namespace davro::win32;
using davro::test::kWaitMs;
using davro::test::WaitProbe;
using namespace std::chrono_literals;

constexpr int kSignalled = 0;
constexpr int kTimedOut = 258;
constexpr int kFailed = -1;

// An object that never gets a kernel object, as after a failed creation; unlock() counts
// its calls so that the second names can be seen to reach it.
class Bare : public YSyncObject {
public:
    Bare() = default;
    explicit Bare(const YString& displayName) : YSyncObject(displayName) {}
    using YSyncObject::unlock;
    int unlock() override {
        ++unlocks;
        return 42;
    }
    HANDLE rawHandle() const { return handle; }
    int unlocks = 0;
};

// A real event whose handle the test can look at.
class PeekEvent : public YEventObject {
public:
    using YEventObject::YEventObject;
    HANDLE rawHandle() const { return handle; }
};

// lock() is overridden, as the critical section does; wait() must come here too.
class CountingLock : public Bare {
public:
    int lock(unsigned int timeout) override {
        lastTimeout = timeout;
        return 7;
    }
    unsigned lastTimeout = 0;
};

TEST(SyncObjectTest, ZeroHandleFailsAtOnceEvenWithInfinite) {
    Bare bare;
    EXPECT_EQ(nullptr, bare.rawHandle());
    EXPECT_EQ(kFailed, bare.lock(0));
    EXPECT_EQ(kFailed, bare.lock(kWaitMs));
    EXPECT_EQ(kFailed, bare.wait(INFINITE));  // no watchdog slice: -1 is not a time-out
    EXPECT_EQ(kFailed, bare.lock(INFINITE));
}

TEST(SyncObjectTest, LockZeroPollsWithoutBlocking) {
    YEventObject event;
    WaitProbe poll([&] { return event.lock(0); });
    ASSERT_TRUE(poll.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    EXPECT_EQ(kTimedOut, poll.result());
    event.unlock();
    EXPECT_EQ(kSignalled, event.lock(0));
}

TEST(SyncObjectTest, SecondNamesGoThroughTheVirtualTable) {
    CountingLock object;
    EXPECT_EQ(7, object.wait(1234));
    EXPECT_EQ(1234U, object.lastTimeout);

    long sentinel = 0x5A5A;
    EXPECT_EQ(42, object.signal());
    EXPECT_EQ(42, object.unlock(5, &sentinel));
    EXPECT_EQ(42, object.signal(5, &sentinel));
    EXPECT_EQ(42, object.signal(-1, nullptr));
    EXPECT_EQ(4, object.unlocks);
    EXPECT_EQ(0x5A5A, sentinel);
}

TEST(SyncObjectTest, SignalWithArgumentsReleasesAMutexExactlyOnce) {
    YMutex mutex;
    ASSERT_EQ(kSignalled, mutex.lock(0));
    ASSERT_EQ(kSignalled, mutex.lock(0));  // owned twice

    long sentinel = 0x5A5A;
    EXPECT_NE(0, mutex.signal(5, &sentinel));
    EXPECT_EQ(0x5A5A, sentinel);
    {
        WaitProbe other([&] { return mutex.lock(0); });
        EXPECT_EQ(kTimedOut, other.result());  // one of the two acquisitions is left
    }
    EXPECT_NE(0, mutex.signal(5, nullptr));
    WaitProbe other([&] {
        const int result = mutex.lock(0);
        mutex.unlock();
        return result;
    });
    EXPECT_EQ(kSignalled, other.result());
    EXPECT_EQ(0, mutex.signal(5, &sentinel));  // no longer owned
    EXPECT_EQ(0x5A5A, sentinel);
}

// Copies duplicate the handle: two handles, one kernel object, each closed once.
TEST(SyncObjectTest, CopyOwnsAHandleOfItsOwnToTheSameObject) {
    PeekEvent original(0, 1);  // manual reset, so that state can be read without change
    HANDLE copyHandle = nullptr;
    {
        PeekEvent copy(original);
        copyHandle = copy.rawHandle();
        ASSERT_NE(nullptr, copyHandle);
        EXPECT_NE(original.rawHandle(), copyHandle);

        original.unlock();
        EXPECT_EQ(kSignalled, copy.lock(0));
        PeekEvent(copy).resetEvent();  // through a copy of the copy
        EXPECT_EQ(kTimedOut, original.lock(0));
    }
    // The copy closed its own handle and left the original's alone.
    EXPECT_FALSE(CloseHandle(copyHandle));
    original.unlock();
    EXPECT_EQ(kSignalled, original.lock(0));
}

TEST(SyncObjectTest, AssignmentClosesTheOldHandleAndDuplicatesTheNew) {
    PeekEvent target(0, 1);
    PeekEvent source(0, 1);
    const HANDLE oldHandle = target.rawHandle();

    target = source;
    EXPECT_FALSE(CloseHandle(oldHandle));  // already closed by the assignment
    EXPECT_NE(source.rawHandle(), target.rawHandle());
    source.unlock();
    EXPECT_EQ(kSignalled, target.lock(0));

    // Self-assignment keeps the handle open.
    PeekEvent& alias = target;
    target = alias;
    EXPECT_EQ(kSignalled, target.lock(0));

    // A zero handle is copied as zero, and assigning it drops the old handle.
    Bare bare;
    const Bare bareCopy(bare);
    EXPECT_EQ(nullptr, bareCopy.rawHandle());
    const HANDLE sourceHandle = source.rawHandle();
    static_cast<YSyncObject&>(source) = bare;
    EXPECT_EQ(nullptr, source.rawHandle());
    EXPECT_FALSE(CloseHandle(sourceHandle));
    EXPECT_EQ(kFailed, source.lock(0));
    EXPECT_EQ(kSignalled, target.lock(0));  // the other handle lives on
}

// The message-pumping wait with an empty queue: one kernel wait and its result.
TEST(SyncObjectTest, DispatchLockWithoutMessagesReturnsTheWaitResult) {
    YEventObject event;
    EXPECT_EQ(kTimedOut, event.dispatchLock(0));
    EXPECT_EQ(kTimedOut, event.dispatchWait(20));
    event.unlock();
    EXPECT_EQ(kSignalled, event.dispatchLock(0));
    EXPECT_EQ(kTimedOut, event.dispatchLock(0));  // the auto-reset event was consumed

    YManualEventObject manual(1);
    EXPECT_EQ(kSignalled, manual.dispatchWait(INFINITE));

    Bare bare;
    EXPECT_EQ(kFailed, bare.dispatchLock(0));
    EXPECT_EQ(kFailed, bare.dispatchLock(kWaitMs));
    EXPECT_EQ(kFailed, bare.dispatchLock(INFINITE));
}

// Waits with messages in the queue.

// What the test window's procedure has seen, and the objects it signals.
struct WindowLog {
    std::atomic<int> dispatched{0};
    YSyncObject* setOnSignalMessage = nullptr;
    YSyncObject* ackEachMessage = nullptr;
};
WindowLog windowLog;

constexpr UINT kCountMessage = WM_USER;
constexpr UINT kSignalMessage = WM_USER + 1;

LRESULT testWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kCountMessage) {
        ++windowLog.dispatched;
        if (windowLog.ackEachMessage != nullptr) {
            windowLog.ackEachMessage->unlock();
        }
        return 0;
    }
    if (message == kSignalMessage && windowLog.setOnSignalMessage != nullptr) {
        windowLog.setOnSignalMessage->unlock();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A message-only window of the calling thread, whose messages testWindowProcedure gets.
class TestWindow {
public:
    TestWindow() {
        windowLog.dispatched = 0;
        windowLog.setOnSignalMessage = nullptr;
        windowLog.ackEachMessage = nullptr;
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = testWindowProcedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"DavroSyncObjectTest";
        RegisterClassW(&windowClass);  // already registered by an earlier test: fine
        window_ = CreateWindowExW(0, L"DavroSyncObjectTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~TestWindow() { DestroyWindow(window_); }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    HWND get() const { return window_; }

private:
    HWND window_ = nullptr;
};

TEST(SyncObjectTest, DispatchLockDispatchesQueuedInputThenPolls) {
    TestWindow window;
    ASSERT_NE(nullptr, window.get());
    YEventObject event;
    windowLog.setOnSignalMessage = &event;

    for (int i = 0; i < 3; ++i) {
        PostMessageW(window.get(), kCountMessage, 0, 0);
    }
    EXPECT_EQ(kTimedOut, event.dispatchLock(0));
    EXPECT_EQ(3, windowLog.dispatched.load());

    // Signalled while the queue is dispatched: the final poll acquires it.
    PostMessageW(window.get(), kSignalMessage, 0, 0);
    EXPECT_EQ(kSignalled, event.dispatchLock(0));
    EXPECT_EQ(kTimedOut, event.lock(0));  // consumed by that poll
}

TEST(SyncObjectTest, DispatchLockTakesAQuitMessageAndDropsIt) {
    TestWindow window;
    ASSERT_NE(nullptr, window.get());
    PostMessageW(window.get(), kCountMessage, 0, 0);
    PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0);
    PostMessageW(window.get(), kCountMessage, 0, 0);

    YEventObject event;
    EXPECT_EQ(kTimedOut, event.dispatchLock(0));
    EXPECT_EQ(1, windowLog.dispatched.load());  // the pump stopped at the quit message

    MSG message{};
    ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(kCountMessage, message.message);  // the quit message is gone
    EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
}

// Each message is acknowledged from inside the wait before the next is sent, so the
// messages can only have been dispatched while the caller was in dispatchLock.
TEST(SyncObjectTest, DispatchLockServesMessagesWhileItWaits) {
    TestWindow window;
    ASSERT_NE(nullptr, window.get());
    YEventObject target;
    YEventObject ack;
    windowLog.ackEachMessage = &ack;
    const HWND handle = window.get();
    std::atomic<int> acknowledged{0};
    std::thread poster([&] {
        for (int i = 0; i < 5; ++i) {
            PostMessageW(handle, kCountMessage, 0, 0);
            if (ack.lock(kWaitMs) == kSignalled) {
                ++acknowledged;
            }
        }
        target.unlock();
    });
    const int result = target.dispatchLock(4 * kWaitMs);
    poster.join();
    EXPECT_EQ(kSignalled, result);
    EXPECT_EQ(5, acknowledged.load());
    EXPECT_EQ(5, windowLog.dispatched.load());
}

// A steady stream of messages neither ends a finite wait early nor makes it restart from
// the full time-out.
TEST(SyncObjectTest, FiniteDispatchLockTimesOutDespiteSteadyMessages) {
    TestWindow window;
    ASSERT_NE(nullptr, window.get());
    const HWND handle = window.get();
    std::atomic<bool> stop{false};
    std::thread poster([&] {
        while (!stop) {
            PostMessageW(handle, kCountMessage, 0, 0);
            std::this_thread::sleep_for(1ms);  // pacing, not ordering
        }
    });
    YEventObject never;
    const auto begin = std::chrono::steady_clock::now();
    const int result = never.dispatchLock(300);
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    stop = true;
    poster.join();
    EXPECT_EQ(kTimedOut, result);
    EXPECT_GE(elapsed, 280ms);  // the clock behind the deadline counts whole ms
}

}  // namespace
