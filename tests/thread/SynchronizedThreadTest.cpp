// YSynchronizedThread: the state table, start and stop from any state, the run loop with
// its own and a test's runBody(), suspension under the monitor, and the destructor that
// stops and waits for the slice under way.
#include <davro/primitives/Event.h>
#include <davro/primitives/Guard.h>
#include <davro/thread/SynchronizedThread.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "TestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;
using namespace std::chrono_literals;

// Opens the state, the handle and the monitor to the tests; runBody() is the test's
// function, or the class's own when none is given.
class Worker : public YSynchronizedThread {
public:
    using Body = std::function<int(Worker&)>;
    Worker() = default;
    explicit Worker(Body body, const YString& displayName = L"worker")
        : YSynchronizedThread(displayName), body_(std::move(body)) {}
    Worker(const Worker& other) : YSynchronizedThread(other), body_(other.body_) {}
    Worker& operator=(const Worker&) = delete;
    // The derived part must not be destroyed under a running slice.
    ~Worker() override {
        stop();
        waitThread(kWaitMs);
    }

    int currentState() {
        const YGuard guard(monitor);
        return state;
    }
    const YString& monitorName() const { return monitor.getName(); }
    DWORD exitCode() const {
        DWORD code = 0xDEADBEEF;
        WaitForSingleObject(handle, kWaitMs);
        return GetExitCodeThread(handle, &code) ? code : 0xDEADBEEF;
    }
    YCriticalSection& theMonitor() { return monitor; }

    std::atomic<int> slices{0};

protected:
    int runBody() override {
        ++slices;
        return body_ ? body_(*this) : YSynchronizedThread::runBody();
    }

private:
    Body body_;
};

std::wstring text(const YString& s) { return static_cast<const wchar_t*>(s); }

TEST(SynchronizedThreadTest, StateTableWithoutAThread) {
    Worker unnamed;
    EXPECT_EQ(std::wstring(L"YSynchronizedThread.monitor"), text(unnamed.monitorName()));
    EXPECT_EQ(YSynchronizedThread::NotStarted, unnamed.currentState());
    EXPECT_EQ(1, unnamed.isNotStarted());
    EXPECT_EQ(0, unnamed.isRunning());
    unnamed.stop();  // before start: Finished, and start is refused for good
    EXPECT_EQ(YSynchronizedThread::Finished, unnamed.currentState());
    EXPECT_EQ(0, unnamed.isNotStarted());
    EXPECT_EQ(-1, unnamed.start());
    EXPECT_EQ(0u, unnamed.getThreadId());
    unnamed.stop();
    EXPECT_EQ(YSynchronizedThread::Finished, unnamed.currentState());

    Worker named([](Worker&) { return 1; }, L"pump");
    EXPECT_EQ(std::wstring(L"pump.monitor"), text(named.monitorName()));
    named.finish();
    EXPECT_EQ(YSynchronizedThread::Finished, named.currentState());
    EXPECT_EQ(-1, named.start());
    EXPECT_EQ(0u, named.getThreadId());
}

TEST(SynchronizedThreadTest, OwnRunBodyLoopsUntilStopThenFinishes) {
    Worker t;  // the class's own runBody(): 100 ms sleeps
    ASSERT_EQ(0, t.start());
    EXPECT_NE(0u, t.getThreadId());
    EXPECT_EQ(1, t.isRunning());
    EXPECT_EQ(0, t.isNotStarted());
    EXPECT_EQ(-1, t.start());  // a second start creates nothing
    EXPECT_EQ(258, t.waitThread(150));
    t.stop();
    EXPECT_EQ(0, t.isRunning());
    EXPECT_EQ(0, t.isNotStarted());
    const int stopping = t.currentState();
    EXPECT_TRUE(stopping == YSynchronizedThread::Stopping ||
                stopping == YSynchronizedThread::Finished);
    t.stop();  // Stopping stays Stopping (or Finished stays)
    EXPECT_NE(YSynchronizedThread::Running, t.currentState());
    ASSERT_EQ(0, t.waitThread(kWaitMs));
    EXPECT_EQ(YSynchronizedThread::Finished, t.currentState());
    EXPECT_EQ(0u, t.exitCode());
    EXPECT_GE(t.slices.load(), 1);
    EXPECT_EQ(-1, t.start());
}

TEST(SynchronizedThreadTest, ARunBodyReturningZeroEndsTheThreadWithoutStop) {
    Worker t([](Worker& self) { return self.slices.load() < 3 ? 1 : 0; });
    ASSERT_EQ(0, t.start());
    ASSERT_EQ(0, t.waitThread(kWaitMs));
    EXPECT_EQ(3, t.slices.load());
    EXPECT_EQ(YSynchronizedThread::Finished, t.currentState());
    EXPECT_EQ(0u, t.exitCode());
}

TEST(SynchronizedThreadTest, CreateInsteadOfStartEndsAtTheFirstTest) {
    Worker t([](Worker&) { return 1; });
    ASSERT_EQ(1, t.create(0));
    ASSERT_EQ(0, t.waitThread(kWaitMs));
    EXPECT_EQ(0, t.slices.load());
    EXPECT_EQ(YSynchronizedThread::Finished, t.currentState());
}

TEST(SynchronizedThreadTest, SuspendWaitsForTheMonitorAndNeverBlocksTheOthers) {
    std::atomic<long> counter{0};
    Worker t([&](Worker& self) {
        counter.fetch_add(1);
        const YGuard guard(self.theMonitor());  // in and out of the monitor all the time
        return 1;
    });
    ASSERT_EQ(0, t.start());
    for (int i = 0; i < 5000 && counter.load() == 0; ++i) {
        YThread::sleep(1);
    }
    for (int round = 0; round < 20; ++round) {
        EXPECT_EQ(0u, t.suspend());
        const long frozen = counter.load();
        // The suspended thread holds no monitor: these return at once.
        EXPECT_EQ(1, t.isRunning());
        EXPECT_EQ(0, t.isNotStarted());
        EXPECT_EQ(frozen, counter.load());
        EXPECT_EQ(1u, t.resume());
    }
    t.stop();
    EXPECT_EQ(0, t.waitThread(kWaitMs));
    EXPECT_EQ(YSynchronizedThread::Finished, t.currentState());
}

TEST(SynchronizedThreadTest, DestroyingAFreshOneReturnsAtOnce) {
    auto t = std::make_unique<YSynchronizedThread>(L"never");
    WaitProbe destroy([&] { return t.reset(), 0; });
    EXPECT_TRUE(destroy.finishesWithin(std::chrono::milliseconds(kWaitMs)));
}

// What the slice of SliceHolder below waits for and reports.
struct Slice {
    YManualEventObject inSlice;
    YManualEventObject endSlice;
    std::atomic<bool> ended{false};
    std::atomic<int> count{0};
};

// No destructor and no members of its own, so that the library's destructor is the one
// that stops the thread and waits for it.
class SliceHolder : public YSynchronizedThread {
public:
    explicit SliceHolder(Slice* slice) : slice_(slice) {}

protected:
    int runBody() override {
        // The object may be destroyed around this slice: nothing of it is touched after the
        // slice has been announced.
        Slice* slice = slice_;
        ++slice->count;
        slice->inSlice.unlock();
        slice->endSlice.lock(kWaitMs);
        slice->ended = true;
        return 1;
    }

private:
    Slice* slice_;
};

TEST(SynchronizedThreadTest, DestroyingARunningOneReturnsAfterTheSliceUnderWay) {
    Slice slice;
    auto* t = new SliceHolder(&slice);
    ASSERT_EQ(0, t->start());
    ASSERT_EQ(0, slice.inSlice.lock(kWaitMs));
    WaitProbe destroy([&] { return delete t, 0; });
    // Until the destructor's stop() is through (read without a virtual call: the object is
    // being destroyed), then hold the slice a little longer.
    for (int i = 0; i < 5000 && t->YSynchronizedThread::isRunning() != 0; ++i) {
        YThread::sleep(1);
    }
    EXPECT_TRUE(destroy.stillBlockedAfter(50ms));
    EXPECT_FALSE(slice.ended.load());
    slice.endSlice.unlock();
    ASSERT_TRUE(destroy.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    EXPECT_TRUE(slice.ended.load());
    EXPECT_EQ(1, slice.count.load());  // the loop saw the stop at its next test
}

TEST(SynchronizedThreadTest, ACopySharesTheMonitorButKeepsItsOwnState) {
    Worker original([](Worker&) { return 1; }, L"copied");
    original.finish();
    Worker copy(original);
    EXPECT_EQ(std::wstring(L"copied.monitor"), text(copy.monitorName()));
    EXPECT_EQ(YSynchronizedThread::Finished, copy.currentState());
    // One kernel mutex: held through the copy, the original's polls time out.
    copy.theMonitor().enterSection();
    WaitProbe held([&] { return original.theMonitor().dispatchLock(0); });
    EXPECT_EQ(258, held.result());
    copy.theMonitor().leaveSection();
    WaitProbe free([&] {
        const int r = original.theMonitor().dispatchLock(0);
        original.theMonitor().leaveSection();
        return r;
    });
    EXPECT_EQ(0, free.result());
}

}  // namespace
