// YSynchronizedThread: the state table, start and stop from any state (a stop during a
// slice, a start whose thread cannot be created), the run loop with its own and a test's
// runBody(), suspension under the monitor (also under stress), copies, and the destructor
// that stops and waits for the slice under way.
#include <davro/primitives/Event.h>
#include <davro/primitives/Guard.h>
#include <davro/thread/SynchronizedThread.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include "TestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;

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
    DWORD exitCode() const {
        DWORD code = 0xDEADBEEF;
        WaitForSingleObject(handle, kWaitMs);
        return GetExitCodeThread(handle, &code) ? code : 0xDEADBEEF;
    }
    YCriticalSection& theMonitor() { return monitor; }

    std::atomic<long> slices{0};

protected:
    int runBody() override {
        ++slices;
        return body_ ? body_(*this) : YSynchronizedThread::runBody();
    }

private:
    Body body_;
};

// Without a thread: stop() or finish() before start() leave Finished for good. A copy
// shares the monitor (one kernel mutex) and copies the state.
TEST(SynchronizedThreadTest, StateTableWithoutAThreadAndCopies) {
    Worker unnamed;
    EXPECT_STREQ(L"YSynchronizedThread.monitor", unnamed.theMonitor().getName());
    EXPECT_EQ(YSynchronizedThread::NotStarted, unnamed.currentState());
    EXPECT_EQ(1, unnamed.isNotStarted());
    EXPECT_EQ(0, unnamed.isRunning());
    unnamed.stop();
    EXPECT_EQ(YSynchronizedThread::Finished, unnamed.currentState());
    EXPECT_EQ(0, unnamed.isNotStarted());
    EXPECT_EQ(-1, unnamed.start());
    EXPECT_EQ(0u, unnamed.getThreadId());
    unnamed.stop();
    EXPECT_EQ(YSynchronizedThread::Finished, unnamed.currentState());

    Worker named([](Worker&) { return 1; }, L"pump");
    EXPECT_STREQ(L"pump.monitor", named.theMonitor().getName());
    named.finish();
    EXPECT_EQ(-1, named.start());
    Worker copy(named);
    EXPECT_STREQ(L"pump.monitor", copy.theMonitor().getName());
    EXPECT_EQ(YSynchronizedThread::Finished, copy.currentState());
    copy.theMonitor().enterSection();
    WaitProbe held([&] { return named.theMonitor().dispatchLock(0); });
    EXPECT_EQ(kTimedOut, held.result());
    copy.theMonitor().leaveSection();
}

TEST(SynchronizedThreadTest, OwnRunBodyLoopsUntilStopThenFinishes) {
    Worker t;  // the class's own runBody(): 100 ms sleeps
    ASSERT_EQ(0, t.start());
    EXPECT_NE(0u, t.getThreadId());
    EXPECT_EQ(1, t.isRunning());
    EXPECT_EQ(0, t.isNotStarted());
    EXPECT_EQ(-1, t.start());  // a second start creates nothing
    EXPECT_EQ(kTimedOut, t.waitThread(150));
    t.stop();
    EXPECT_EQ(0, t.isRunning());
    ASSERT_EQ(0, t.waitThread(kWaitMs));
    EXPECT_EQ(YSynchronizedThread::Finished, t.currentState());
    EXPECT_EQ(0u, t.exitCode());
    EXPECT_GE(t.slices.load(), 1);
    EXPECT_EQ(-1, t.start());
}

// A stop() during a slice leaves Stopping, which neither a second stop() nor start() changes,
// until the slice returns and the loop's next test finishes it.
TEST(SynchronizedThreadTest, StopDuringASliceIsStoppingUntilTheSliceReturns) {
    YManualEventObject inSlice;
    YManualEventObject release;
    Worker t([&](Worker&) {
        inSlice.unlock();
        release.lock(kWaitMs);
        return 1;
    });
    ASSERT_EQ(0, t.start());
    ASSERT_EQ(kSignalled, inSlice.lock(kWaitMs));
    t.stop();
    EXPECT_EQ(YSynchronizedThread::Stopping, t.currentState());
    EXPECT_EQ(0, t.isRunning());
    EXPECT_EQ(0, t.isNotStarted());
    t.stop();
    EXPECT_EQ(-1, t.start());
    EXPECT_EQ(YSynchronizedThread::Stopping, t.currentState());
    EXPECT_EQ(kTimedOut, t.waitThread(20));  // still in the slice
    release.unlock();
    ASSERT_EQ(kSignalled, t.waitThread(kWaitMs));
    EXPECT_EQ(YSynchronizedThread::Finished, t.currentState());
    EXPECT_EQ(1, t.slices.load());
    EXPECT_EQ(0u, t.exitCode());
}

// Stands for a thread that cannot be created: start() refuses with -1 and leaves Finished.
class Uncreatable : public Worker {
public:
    using Worker::create;
    int create(int) override {
        ++creates;
        return 0;
    }
    int creates = 0;
};

TEST(SynchronizedThreadTest, AStartWhoseThreadCannotBeCreatedLeavesFinished) {
    auto t = std::make_unique<Uncreatable>();
    EXPECT_EQ(-1, t->start());
    EXPECT_EQ(1, t->creates);
    EXPECT_EQ(YSynchronizedThread::Finished, t->currentState());
    EXPECT_EQ(0, t->isRunning());
    EXPECT_EQ(0, t->isNotStarted());
    EXPECT_EQ(0u, t->getThreadId());
    EXPECT_EQ(-1, t->start());
    EXPECT_EQ(1, t->creates);  // refused without another attempt
    WaitProbe destroy([&] { return t.reset(), 0; });
    EXPECT_TRUE(destroy.finishesWithin(std::chrono::milliseconds(kWaitMs)));
}

// A runBody() returning 0 ends the loop without stop(); a thread made with create()
// instead of start() finds the state NotStarted at the loop's first test and runs nothing.
TEST(SynchronizedThreadTest, ARunBodyReturningZeroEndsTheThreadWithoutStop) {
    Worker t([](Worker& self) { return self.slices.load() < 3 ? 1 : 0; });
    ASSERT_EQ(0, t.start());
    ASSERT_EQ(0, t.waitThread(kWaitMs));
    EXPECT_EQ(3, t.slices.load());
    EXPECT_EQ(YSynchronizedThread::Finished, t.currentState());
    EXPECT_EQ(0u, t.exitCode());

    Worker created([](Worker&) { return 1; });
    ASSERT_EQ(1, created.create(0));
    ASSERT_EQ(0, created.waitThread(kWaitMs));
    EXPECT_EQ(0, created.slices.load());
    EXPECT_EQ(YSynchronizedThread::Finished, created.currentState());
}

// The thread is in and out of the monitor all the time; suspend() waits until it is out,
// so a suspended thread never holds the monitor and the state queries return at once.
// Then two threads suspend and resume it while a third asks for its state.
TEST(SynchronizedThreadTest, SuspendWaitsForTheMonitorAndNeverBlocksTheOthersEvenUnderStress) {
    Worker busy([](Worker& self) {
        const YGuard guard(self.theMonitor());
        return 1;
    });
    ASSERT_EQ(0, busy.start());
    for (int i = 0; i < 5000 && busy.slices.load() == 0; ++i) {
        YThread::sleep(1);
    }
    for (int round = 0; round < 20; ++round) {
        EXPECT_EQ(0u, busy.suspend());
        const long frozen = busy.slices.load();
        EXPECT_EQ(1, busy.isRunning());
        EXPECT_EQ(0, busy.isNotStarted());
        EXPECT_EQ(frozen, busy.slices.load());
        EXPECT_EQ(1u, busy.resume());
    }

    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    auto suspender = [&] {
        for (int i = 0; i < 300; ++i) {
            if (busy.suspend() == 0xFFFFFFFF || busy.resume() == 0) {
                ++failures;
            }
        }
    };
    std::thread observer([&] {
        while (!done.load()) {
            failures += busy.isRunning() != 1 ? 1 : 0;
        }
    });
    std::thread first(suspender);
    std::thread second(suspender);
    first.join();
    second.join();
    done = true;
    observer.join();
    const long before = busy.slices.load();
    for (int i = 0; i < 5000 && busy.slices.load() <= before; ++i) {
        YThread::sleep(1);
    }
    EXPECT_GT(busy.slices.load(), before);  // resumed as often as suspended
    busy.stop();
    EXPECT_EQ(0, busy.waitThread(kWaitMs));
    EXPECT_EQ(YSynchronizedThread::Finished, busy.currentState());
    EXPECT_EQ(0, failures.load());
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
    auto fresh = std::make_unique<YSynchronizedThread>(L"never");
    WaitProbe destroyFresh([&] { return fresh.reset(), 0; });
    EXPECT_TRUE(destroyFresh.finishesWithin(std::chrono::milliseconds(kWaitMs)));

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

}  // namespace
