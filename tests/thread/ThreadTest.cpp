// YThread: the start-up handshake (held before run() with create(1)), exit codes, the
// waits for a thread's end, the start-up time-out, re-creation, suspension, copies, and
// many create/wait cycles at once.
#include <davro/primitives/Event.h>
#include <davro/thread/Thread.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;

// A YThread that runs a function of the test, and opens the protected parts to it.
class Worker : public YThread {
public:
    using Body = std::function<int(Worker&)>;
    explicit Worker(Body body) : body_(std::move(body)) {}
    Worker(const Worker& other) : YThread(other), body_(other.body_) {}
    Worker& operator=(const Worker& other) {
        YThread::operator=(other);
        body_ = other.body_;
        return *this;
    }

    HANDLE threadHandle() const { return handle; }
    // The exit code once the thread has ended (bounded wait), else 0xDEADBEEF.
    DWORD exitCode() const {
        DWORD code = 0xDEADBEEF;
        return WaitForSingleObject(handle, kWaitMs) == WAIT_OBJECT_0 &&
                       GetExitCodeThread(handle, &code)
                   ? code
                   : 0xDEADBEEF;
    }

    std::atomic<int> runs{0};

protected:
    int run() override {
        ++runs;
        return body_(*this);
    }

private:
    Body body_;
};

TEST(ThreadTest, CreateOneHoldsTheThreadBeforeRunUntilResumed) {
    for (const bool timed : {false, true}) {
        YManualEventObject entered;
        YManualEventObject leave;
        Worker t([&](Worker&) {
            entered.unlock();
            leave.lock(kWaitMs);
            return 1234;
        });
        ASSERT_EQ(1, timed ? t.create(kWaitMs, 1) : t.create(1));
        EXPECT_NE(0u, t.getThreadId());
        EXPECT_EQ(kTimedOut, entered.lock(100));  // one-sided: held before run()
        EXPECT_EQ(0, t.runs.load());
        EXPECT_EQ(1u, t.resume());
        ASSERT_EQ(kSignalled, entered.lock(kWaitMs));
        EXPECT_EQ(kTimedOut, t.waitThread(20));
        leave.unlock();
        ASSERT_EQ(kSignalled, t.waitThread(kWaitMs));
        EXPECT_EQ(0u, t.getThreadId());
        EXPECT_EQ(1234u, t.exitCode());
        EXPECT_EQ(1, t.runs.load());
    }
}

// Without a thread, waitThread() is 0 at once and resume()/suspend() fail; from inside run()
// it is -1; once run() has returned, 0 at once. The same object creates again after its
// previous thread has ended: each create() holds the new thread's handle, whose exit code is
// that run's result, and its id, the one the thread itself sees, until run() returns.
TEST(ThreadTest, EveryOtherValueRunsTheThreadAtOnceAndWaitThreadIsMinusOneInsideRun) {
    std::atomic<int> value{0};
    std::atomic<int> inside{0};
    std::atomic<unsigned> idSeen{0};
    std::atomic<unsigned> ownId{0};
    Worker t([&](Worker& self) {
        idSeen = self.getThreadId();
        ownId = YThread::getCurrentThreadId();
        return inside = self.waitThread(kWaitMs), value.load();
    });
    EXPECT_EQ(0, t.waitThread(kWaitMs));
    EXPECT_EQ(0xFFFFFFFFu, t.resume());
    EXPECT_EQ(0xFFFFFFFFu, t.suspend());
    [[maybe_unused]] HANDLE previous = nullptr;  // read on Linux only
    for (const int v : {0, 2, -1}) {
        value = v;
        inside = 0;
        idSeen = 0;
        ownId = 0xFFFFFFFF;  // sentinels that differ, so a run that never happened shows
        ASSERT_EQ(1, t.create(v));
        ASSERT_NE(nullptr, t.threadHandle());
        EXPECT_EQ(static_cast<DWORD>(v), t.exitCode()) << v;
        EXPECT_EQ(-1, inside.load()) << v;
        EXPECT_NE(0u, idSeen.load()) << v;
        EXPECT_EQ(ownId.load(), idSeen.load()) << v;
        EXPECT_NE(YThread::getCurrentThreadId(), idSeen.load());
        EXPECT_EQ(0u, t.getThreadId());
        EXPECT_EQ(kSignalled, t.waitThread(0));
#ifndef _WIN32  // Windows may give a new handle a closed value; ours never reuses one
        if (previous != nullptr) {
            EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(previous, 0));  // closed by create()
        }
#endif
        previous = t.threadHandle();
    }
    EXPECT_EQ(3, t.runs.load());
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

TEST(ThreadTest, WaitThreadsCountsOnlyTheThreadsKept) {
    YManualEventObject release;
    Worker running([&](Worker&) { return release.lock(kWaitMs); });
    // Ends its thread without returning from run(), so its id stays set and it is kept.
    Worker ended([](Worker&) { return _endthreadex(3), 0; });
    ASSERT_EQ(1, running.create(0));
    ASSERT_EQ(1, ended.create(0));
    ASSERT_EQ(3u, ended.exitCode());
    ASSERT_NE(0u, ended.getThreadId());
    YThread* list[] = {nullptr, &running, &ended};
    EXPECT_EQ(1, YThread::waitThreads(list, 3, 0, kWaitMs));  // the second thread kept
    EXPECT_EQ(kTimedOut, YThread::waitThreads(list, 3, 1, 20));
    // From inside a thread: itself, null and a thread with id 0 leave nothing to wait for.
    Worker finished([](Worker&) { return 0; });
    ASSERT_EQ(1, finished.create(0));
    ASSERT_EQ(0, finished.waitThread(kWaitMs));
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
    // Waits, bounded, until the counter moves past `from`.
    const auto movesPast = [&](long from) {
        for (int i = 0; i < 5000 && counter.load() <= from; ++i) {
            YThread::sleep(1);
        }
        return counter.load() > from;
    };
    ASSERT_EQ(1, t.create(0));
    ASSERT_TRUE(movesPast(0));
    EXPECT_EQ(0u, t.suspend());
    const long frozen = counter.load();
    YThread::sleep(50);  // one-sided: a running thread would have counted on
    EXPECT_EQ(frozen, counter.load());
    EXPECT_EQ(1u, t.resume());
    EXPECT_TRUE(movesPast(frozen));
    stop = true;
    EXPECT_EQ(0, t.waitThread(kWaitMs));
}

TEST(ThreadTest, ACopyHoldsItsOwnHandleToTheSameThread) {
    YManualEventObject release;
    auto original = std::make_unique<Worker>([&](Worker&) { return release.lock(kWaitMs), 6; });
    ASSERT_EQ(1, original->create(0));
    Worker copy(*original);
    EXPECT_EQ(original->getThreadId(), copy.getThreadId());
    EXPECT_NE(original->threadHandle(), copy.threadHandle());
    EXPECT_EQ(kTimedOut, copy.waitThread(20));
    release.unlock();
    ASSERT_EQ(0, original->waitThread(kWaitMs));
    original.reset();  // closes only the original's handle
    EXPECT_EQ(6u, copy.exitCode());
    copy = Worker([](Worker&) { return 0; });
    EXPECT_EQ(nullptr, copy.threadHandle());
    EXPECT_EQ(0u, copy.getThreadId());
}

// Three threads each create and wait for 400 threads, half of them held and resumed.
TEST(ThreadTest, StressManyCreateAndWaitCyclesFromSeveralThreads) {
    std::atomic<int> failures{0};
    std::vector<std::thread> creators;
    for (int c = 0; c < 3; ++c) {
        creators.emplace_back([&, c] {
            Worker t([c](Worker&) { return c + 1; });
            for (int i = 0; i < 400; ++i) {
                if (t.create(i % 2) != 1 || (i % 2 == 1 && t.resume() != 1) ||
                    t.waitThread(kWaitMs) != 0 || t.exitCode() != static_cast<DWORD>(c + 1)) {
                    ++failures;
                }
            }
        });
    }
    for (auto& c : creators) {
        c.join();
    }
    EXPECT_EQ(0, failures.load());
}

}  // namespace
