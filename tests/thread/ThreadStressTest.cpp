// Stress of the thread classes: YThread create/wait cycles from several threads, and a
// busy YSynchronizedThread suspended and resumed by two threads while a third asks for its
// state. Meant to run under ThreadSanitizer as well; every wait is bounded.
#include <davro/primitives/Guard.h>
#include <davro/thread/SynchronizedThread.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;

class Returns : public YThread {
public:
    explicit Returns(int value) : value_(value) {}
    HANDLE threadHandle() const { return handle; }

protected:
    int run() override { return value_; }

private:
    int value_;
};

class Busy : public YSynchronizedThread {
public:
    ~Busy() override {
        stop();
        waitThread(kWaitMs);
    }
    std::atomic<long> slices{0};

protected:
    int runBody() override {
        ++slices;
        const YGuard guard(monitor);
        return 1;
    }
};

TEST(ThreadStressTest, ManyCreateAndWaitCyclesFromSeveralThreads) {
    std::atomic<int> failures{0};
    std::vector<std::thread> creators;
    for (int c = 0; c < 3; ++c) {
        creators.emplace_back([&, c] {
            Returns t(c + 1);
            for (int i = 0; i < 400; ++i) {
                DWORD code = 0;
                if (t.create(i % 2) != 1 || (i % 2 == 1 && t.resume() != 1) ||
                    t.waitThread(kWaitMs) != 0 ||
                    WaitForSingleObject(t.threadHandle(), kWaitMs) != WAIT_OBJECT_0 ||
                    !GetExitCodeThread(t.threadHandle(), &code) ||
                    code != static_cast<DWORD>(c + 1)) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    for (auto& c : creators) {
        c.join();
    }
    EXPECT_EQ(0, failures.load());
}

TEST(ThreadStressTest, SuspendAndResumeOfABusySynchronizedThreadNeverDeadlocks) {
    Busy busy;
    ASSERT_EQ(0, busy.start());
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    auto suspender = [&] {
        for (int i = 0; i < 300; ++i) {
            if (busy.suspend() == 0xFFFFFFFF || busy.resume() == 0) {
                failures.fetch_add(1);
            }
        }
    };
    std::thread observer([&] {
        while (!done.load()) {
            if (busy.isRunning() != 1) {
                failures.fetch_add(1);
            }
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
    EXPECT_GT(busy.slices.load(), before);
    busy.stop();
    EXPECT_EQ(0, busy.waitThread(kWaitMs));
    EXPECT_EQ(0, failures.load());
}

}  // namespace
