// YSemaphore: counts, releases of several units, getCount's borrowed unit, the count
// mutex's name and copies of both handles.
#include <davro/primitives/Event.h>
#include <davro/primitives/Semaphore.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

using namespace davro::win32;
using davro::test::kWaitMs;
using davro::test::WaitProbe;
using namespace std::chrono_literals;

constexpr int kSignalled = 0;
constexpr int kTimedOut = 258;
constexpr int kFailed = -1;

// Opens the semaphore's protected parts to the test.
class SemaphoreProbe : public YSemaphore {
public:
    using YSemaphore::YSemaphore;
    const YString& countMutexName() const { return countMutex.getName(); }
    int lockCountMutex(unsigned timeout) { return countMutex.lock(timeout); }
    int unlockCountMutex() { return countMutex.unlock(); }
    int maximum() const { return maxCount; }
};

TEST(SemaphoreTest, GetCountReportsAndKeepsTheCount) {
    YSemaphore semaphore(2, 5);
    EXPECT_EQ(2, semaphore.getCount());
    EXPECT_EQ(2, semaphore.getCount());
    EXPECT_EQ(kSignalled, semaphore.lock(0));
    EXPECT_EQ(1, semaphore.getCount());

    YSemaphore empty(0, 3);
    EXPECT_EQ(0, empty.getCount());
    EXPECT_EQ(kTimedOut, empty.lock(0));
    EXPECT_EQ(0, empty.getCount());
}

TEST(SemaphoreTest, ReleasePastTheMaximumFailsAndChangesNothing) {
    YSemaphore full(5, 5);
    EXPECT_EQ(5, full.getCount());
    int previous = -7;
    EXPECT_EQ(0, full.unlock());
    EXPECT_EQ(0, full.unlock(1, &previous));
    EXPECT_EQ(5, full.getCount());
}

TEST(SemaphoreTest, ReleaseOfSeveralUnitsReportsThePreviousCount) {
    YSemaphore semaphore(1, 5);
    int previous = -7;
    EXPECT_NE(0, semaphore.unlock(2, &previous));
    EXPECT_EQ(1, previous);
    EXPECT_EQ(3, semaphore.getCount());
    EXPECT_NE(0, semaphore.unlock(1, nullptr));
    EXPECT_EQ(4, semaphore.getCount());
    EXPECT_EQ(0, semaphore.unlock(2, &previous));  // 6 > 5
    EXPECT_EQ(4, semaphore.getCount());
}

TEST(SemaphoreTest, InheritedReleasesGiveBackExactlyOneUnit) {
    YSemaphore semaphore(0, 10);
    long sentinel = 0x5A5A;
    EXPECT_NE(0, semaphore.signal(5, &sentinel));
    EXPECT_EQ(1, semaphore.getCount());
    YSyncObject& base = semaphore;
    EXPECT_NE(0, base.unlock(3, &sentinel));
    EXPECT_NE(0, base.unlock());
    EXPECT_NE(0, semaphore.signal());
    EXPECT_EQ(4, semaphore.getCount());
    EXPECT_EQ(0x5A5A, sentinel);
}

// While another thread holds the count mutex, getCount waits; lock and unlock do not.
TEST(SemaphoreTest, CountMutexSerialisesOnlyGetCount) {
    SemaphoreProbe semaphore(3, 5);
    ASSERT_EQ(kSignalled, semaphore.lockCountMutex(0));
    {
        WaitProbe other([&] {
            const int taken = semaphore.lock(0);
            const int given = semaphore.unlock();
            return taken == kSignalled && given != 0 ? 1 : 0;
        });
        EXPECT_EQ(1, other.result());
    }
    WaitProbe counter([&] { return semaphore.getCount(); });
    EXPECT_TRUE(counter.stillBlockedAfter(50ms));
    EXPECT_NE(0, semaphore.unlockCountMutex());
    EXPECT_EQ(3, counter.result());
}

TEST(SemaphoreTest, ConcurrentGetCountNeverChangesTheCount) {
    YSemaphore semaphore(2, 3);
    YManualEventObject go;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            go.lock(kWaitMs);
            for (int i = 0; i < 200; ++i) {
                if (semaphore.getCount() != 2) {
                    ++wrong;
                }
            }
        });
    }
    go.unlock();
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(2, semaphore.getCount());
}

TEST(SemaphoreTest, CountMutexIsNamedAfterTheSemaphore) {
    const SemaphoreProbe named(1, 2, L"Pool");
    EXPECT_STREQ(L"Pool", named.getName());
    EXPECT_STREQ(L"PoolCountMutex", named.countMutexName());
    EXPECT_EQ(2, named.maximum());

    const SemaphoreProbe emptyName(1, 2, L"");
    EXPECT_STREQ(L"CountMutex", emptyName.countMutexName());

    const SemaphoreProbe unnamed(1, 2);
    EXPECT_EQ(0, unnamed.getName().length());
    EXPECT_EQ(0, unnamed.countMutexName().length());
}

TEST(SemaphoreTest, CopyDuplicatesTheSemaphoreAndTheCountMutex) {
    auto* original = new SemaphoreProbe(1, 4, L"Pool");
    SemaphoreProbe copy(*original);
    EXPECT_STREQ(L"PoolCountMutex", copy.countMutexName());
    EXPECT_EQ(4, copy.maximum());

    original->unlock();
    EXPECT_EQ(2, copy.getCount());  // one kernel semaphore

    ASSERT_EQ(kSignalled, original->lockCountMutex(0));
    {
        WaitProbe other([&] { return copy.lockCountMutex(0); });
        EXPECT_EQ(kTimedOut, other.result());  // one kernel count mutex
    }
    EXPECT_NE(0, original->unlockCountMutex());

    delete original;
    EXPECT_EQ(kSignalled, copy.lock(0));  // both of the copy's handles still work
    EXPECT_EQ(kSignalled, copy.lockCountMutex(0));
    EXPECT_NE(0, copy.unlockCountMutex());
    EXPECT_EQ(1, copy.getCount());

    YSemaphore assigned(0, 1);
    assigned = copy;
    assigned.unlock();
    EXPECT_EQ(2, copy.getCount());
}

TEST(SemaphoreTest, FailedCreationLeavesEverythingFailing) {
    YSemaphore invalid(3, 1);  // initial count above the maximum: the kernel refuses
    EXPECT_EQ(kFailed, invalid.lock(0));
    EXPECT_EQ(kFailed, invalid.lock(INFINITE));
    EXPECT_EQ(0, invalid.unlock());
    EXPECT_EQ(0, invalid.getCount());
}

}  // namespace
