// YThread: the start-up handshake (held before run() with create(1)), exit codes, the
// waits for a thread's end, the start-up time-out, re-creation, suspension, priorities,
// copies and the static helpers.
#include <davro/primitives/Event.h>
#include <davro/thread/Thread.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

#include "TestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;

// A YThread that runs a function of the test, and opens the protected parts to it.
class Worker : public YThread {
public:
    using Body = std::function<int(Worker&)>;
    explicit Worker(Body body, const YString& displayName = YString())
        : YThread(displayName), body_(std::move(body)) {}
    Worker(const Worker& other) : YThread(other), body_(other.body_) {}
    Worker& operator=(const Worker& other) {
        YThread::operator=(other);
        body_ = other.body_;
        return *this;
    }

    HANDLE threadHandle() const { return handle; }
    DWORD exitCode() const {
        DWORD code = 0xDEADBEEF;
        return GetExitCodeThread(handle, &code) ? code : 0xDEADBEEF;
    }
    using YThread::setAboveNormalPriority;
    using YThread::setBelowNormalPriority;
    using YThread::setHighestPriority;
    using YThread::setIdlePriority;
    using YThread::setLowestPriority;
    using YThread::setNormalPriority;
    using YThread::setTimeCriticalPriority;
    using YThread::unlock;

    std::atomic<int> runs{0};

protected:
    int run() override {
        ++runs;
        return body_(*this);
    }

private:
    Body body_;
};

// Waits (bounded) until `counter` moves past `from`.
bool movesPast(const std::atomic<long>& counter, long from) {
    for (int i = 0; i < 5000; ++i) {
        if (counter.load() > from) {
            return true;
        }
        YThread::sleep(1);
    }
    return false;
}

TEST(ThreadTest, CreateOneHoldsTheThreadBeforeRunUntilResumed) {
    YManualEventObject entered;
    YManualEventObject leave;
    Worker t([&](Worker&) {
        entered.unlock();
        leave.lock(kWaitMs);
        return 1234;
    });
    ASSERT_EQ(1, t.create(1));
    EXPECT_NE(0u, t.getThreadId());
    EXPECT_EQ(258, entered.lock(100));  // one-sided: held before run()
    EXPECT_EQ(0, t.runs.load());
    EXPECT_EQ(1u, t.resume());
    ASSERT_EQ(0, entered.lock(kWaitMs));
    EXPECT_EQ(258, t.waitThread(20));
    leave.unlock();
    ASSERT_EQ(0, t.waitThread(kWaitMs));
    EXPECT_EQ(0u, t.getThreadId());
    // run() has returned; the handle is signalled once the thread has exited.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t.threadHandle(), kWaitMs));
    EXPECT_EQ(1234u, t.exitCode());
    EXPECT_EQ(1, t.runs.load());
}

TEST(ThreadTest, EveryOtherValueLetsTheThreadRun) {
    for (int value : {0, 2, -1}) {
        YManualEventObject entered;
        Worker t([&](Worker&) { return entered.unlock(), value; });
        ASSERT_EQ(1, t.create(value));
        EXPECT_EQ(0, entered.lock(kWaitMs)) << value;
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t.threadHandle(), kWaitMs));
        EXPECT_EQ(static_cast<DWORD>(value), t.exitCode());
    }
}

TEST(ThreadTest, WaitThreadIsMinusOneInsideRunAndZeroWithoutAThread) {
    std::atomic<int> inside{0};
    Worker t([&](Worker& self) { return inside = self.waitThread(kWaitMs), 0; });
    EXPECT_EQ(0, t.waitThread(kWaitMs));  // never created
    EXPECT_EQ(0u, t.getThreadId());
    EXPECT_EQ(0xFFFFFFFFu, t.resume());
    EXPECT_EQ(0xFFFFFFFFu, t.suspend());
    ASSERT_EQ(1, t.create(0));
    ASSERT_EQ(0, t.waitThread(kWaitMs));
    EXPECT_EQ(-1, inside.load());
    EXPECT_EQ(0, t.waitThread(kWaitMs));  // finished: at once
    EXPECT_EQ(0, t.unlock());
}

// Holds the new thread back through the platform: the thread is suspended once more
// before create() resumes it, so it never reports its start.
class HeldBack : public Worker {
public:
    HeldBack() : Worker([](Worker&) { return 1; }) {}
    ~HeldBack() override {
        if (copy != nullptr) {
            CloseHandle(copy);
        }
    }
    unsigned int resume() override {
        DuplicateHandle(GetCurrentProcess(), threadHandle(), GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        SuspendThread(threadHandle());
        return YThread::resume();
    }
    HANDLE copy = nullptr;
};

TEST(ThreadTest, AStartThatTimesOutTerminatesTheThread) {
    HeldBack t;
    EXPECT_EQ(0, t.create(100, 0));
    EXPECT_EQ(nullptr, t.threadHandle());
    EXPECT_EQ(0u, t.getThreadId());
    ASSERT_NE(nullptr, t.copy);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t.copy, kWaitMs));
    DWORD code = 0xDEADBEEF;
    EXPECT_TRUE(GetExitCodeThread(t.copy, &code));
    EXPECT_EQ(0u, code);
    EXPECT_EQ(0, t.runs.load());
}

TEST(ThreadTest, ATimedCreateThatStartsInTimeBehavesAsTheUntimedOne) {
    YManualEventObject entered;
    Worker t([&](Worker&) { return entered.unlock(), 8; });
    ASSERT_EQ(1, t.create(kWaitMs, 1));
    EXPECT_EQ(258, entered.lock(50));
    EXPECT_EQ(1u, t.resume());
    ASSERT_EQ(0, t.waitThread(kWaitMs));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t.threadHandle(), kWaitMs));
    EXPECT_EQ(8u, t.exitCode());
}

TEST(ThreadTest, CreateAgainAfterTheFirstThreadEnded) {
    Worker t([](Worker& self) { return self.runs.load(); });
    ASSERT_EQ(1, t.create(0));
    ASSERT_EQ(0, t.waitThread(kWaitMs));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t.threadHandle(), kWaitMs));
    EXPECT_EQ(1u, t.exitCode());
    ASSERT_EQ(1, t.create(0));
    EXPECT_NE(nullptr, t.threadHandle());
    ASSERT_EQ(0, t.waitThread(kWaitMs));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t.threadHandle(), kWaitMs));
    EXPECT_EQ(2u, t.exitCode());
}

TEST(ThreadTest, WaitThreadsCountsOnlyTheThreadsKept) {
    YManualEventObject release;
    Worker running([&](Worker&) { return release.lock(kWaitMs); });
    // Ends its thread without returning from run(), so its id stays set and it is kept.
    Worker ended([](Worker&) { return _endthreadex(3), 0; });
    ASSERT_EQ(1, running.create(0));
    ASSERT_EQ(1, ended.create(0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ended.threadHandle(), kWaitMs));
    ASSERT_NE(0u, ended.getThreadId());
    YThread* list[] = {nullptr, &running, &ended};
    EXPECT_EQ(1, YThread::waitThreads(list, 3, 0, kWaitMs));  // the second thread kept
    EXPECT_EQ(258, YThread::waitThreads(list, 3, 1, 20));
    // From inside a thread: itself, null and a thread with id 0 leave nothing to wait for.
    Worker finished([](Worker&) { return 0; });
    ASSERT_EQ(1, finished.create(0));
    ASSERT_EQ(0, finished.waitThread(kWaitMs));
    ASSERT_EQ(0u, finished.getThreadId());
    std::atomic<int> inside{-5};
    Worker self([&](Worker& me) {
        YThread* own[] = {&me, nullptr, &finished};
        return inside = YThread::waitThreads(own, 3, 1, kWaitMs), 0;
    });
    ASSERT_EQ(1, self.create(0));
    ASSERT_EQ(0, self.waitThread(kWaitMs));
    EXPECT_EQ(0, inside.load());
    release.unlock();
    YThread* both[] = {&running, &ended};
    EXPECT_EQ(0, YThread::waitThreads(both, 2, 1, kWaitMs));
    EXPECT_EQ(0, YThread::waitThreads(nullptr, 0, 0, kWaitMs));
}

TEST(ThreadTest, SuspendStopsABusyThreadAndResumeLetsItGoOn) {
    std::atomic<long> counter{0};
    std::atomic<bool> stop{false};
    Worker t([&](Worker&) {
        while (!stop.load(std::memory_order_relaxed)) {
            counter.fetch_add(1, std::memory_order_relaxed);
        }
        return 0;
    });
    ASSERT_EQ(1, t.create(0));
    ASSERT_TRUE(movesPast(counter, 0));
    EXPECT_EQ(0u, t.suspend());
    const long frozen = counter.load();
    YThread::sleep(50);  // one-sided: a running thread would have counted on
    EXPECT_EQ(frozen, counter.load());
    EXPECT_EQ(1u, t.resume());
    EXPECT_TRUE(movesPast(counter, frozen));
    stop = true;
    EXPECT_EQ(0, t.waitThread(kWaitMs));
}

TEST(ThreadTest, PrioritySettersPassTheSevenLevels) {
    Worker t([](Worker&) { return 0; });
    ASSERT_EQ(1, t.create(1));
    const std::pair<void (Worker::*)(), int> setters[] = {
        {&Worker::setIdlePriority, THREAD_PRIORITY_IDLE},
        {&Worker::setLowestPriority, THREAD_PRIORITY_LOWEST},
        {&Worker::setBelowNormalPriority, THREAD_PRIORITY_BELOW_NORMAL},
        {&Worker::setAboveNormalPriority, THREAD_PRIORITY_ABOVE_NORMAL},
        {&Worker::setHighestPriority, THREAD_PRIORITY_HIGHEST},
        {&Worker::setTimeCriticalPriority, THREAD_PRIORITY_TIME_CRITICAL},
        {&Worker::setNormalPriority, THREAD_PRIORITY_NORMAL},
    };
    for (const auto& [setter, level] : setters) {
        (t.*setter)();
        EXPECT_EQ(level, GetThreadPriority(t.threadHandle()));
    }
    EXPECT_EQ(1u, t.resume());
    EXPECT_EQ(0, t.waitThread(kWaitMs));
    Worker none([](Worker&) { return 0; });
    none.setHighestPriority();  // no thread: nothing happens, nothing is reported
}

TEST(ThreadTest, ACopyHoldsItsOwnHandleToTheSameThread) {
    YManualEventObject release;
    auto original = std::make_unique<Worker>([&](Worker&) { return release.lock(kWaitMs), 6; });
    ASSERT_EQ(1, original->create(0));
    Worker copy(*original);
    EXPECT_EQ(original->getThreadId(), copy.getThreadId());
    EXPECT_NE(nullptr, copy.threadHandle());
    EXPECT_NE(original->threadHandle(), copy.threadHandle());
    EXPECT_EQ(258, copy.waitThread(20));
    release.unlock();
    ASSERT_EQ(0, original->waitThread(kWaitMs));
    original.reset();  // closes only the original's handle
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(copy.threadHandle(), kWaitMs));
    EXPECT_EQ(6u, copy.exitCode());
    Worker never([](Worker&) { return 0; });
    copy = never;
    EXPECT_EQ(nullptr, copy.threadHandle());
    EXPECT_EQ(0u, copy.getThreadId());
}

TEST(ThreadTest, StaticHelpersActOnTheCallingThread) {
    EXPECT_EQ(GetCurrentThreadId(), YThread::getCurrentThreadId());
    EXPECT_EQ(0, YThread::dispatchMessages(0));
    EXPECT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0));
    EXPECT_EQ(1, YThread::dispatchMessages(-5));
    EXPECT_EQ(0, YThread::dispatchMessages(0));  // the quit message was taken
    YThread::sleep(0);
}

}  // namespace
