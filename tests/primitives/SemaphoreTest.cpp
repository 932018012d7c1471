// YSemaphore: counts, releases of several units, getCount's borrowed unit, the count
// mutex's name and copies of both handles.
#include <davro/primitives/Semaphore.h>
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;

// Opens the semaphore's protected parts to the test.
class SemaphoreProbe : public YSemaphore {
public:
    using YSemaphore::YSemaphore;
    const YString& countMutexName() const { return countMutex.getName(); }
    int lockCountMutex(unsigned timeout) { return countMutex.lock(timeout); }
    int unlockCountMutex() { return countMutex.unlock(); }
};

// getCount() borrows its unit through the virtual lock(0). This one, armed, then fills the
// semaphore to its maximum before returning, as other threads may do while the unit is
// borrowed, so that the unit cannot be given back.
class FilledWhileBorrowed : public SemaphoreProbe {
public:
    using SemaphoreProbe::SemaphoreProbe;
    int lock(unsigned timeout) override {
        const int taken = YSemaphore::lock(timeout);
        if (fillOnNextLock && taken == kSignalled) {
            fillOnNextLock = false;
            while (unlock() != 0) {
            }
        }
        return taken;
    }
    bool fillOnNextLock = false;
};

TEST(SemaphoreTest, ReleasesReportThePreviousCountAndStopAtTheMaximum) {
    YSemaphore semaphore(1, 5);
    EXPECT_EQ(1, semaphore.getCount());
    EXPECT_EQ(1, semaphore.getCount());  // the borrowed unit is given back
    int previous = -7;
    EXPECT_NE(0, semaphore.unlock(2, &previous));
    EXPECT_EQ(1, previous);
    EXPECT_NE(0, semaphore.unlock(1, nullptr));
    EXPECT_EQ(4, semaphore.getCount());
    previous = -7;
    EXPECT_EQ(0, semaphore.unlock(2, &previous));  // 6 > 5: refused, nothing changes
    EXPECT_EQ(4, semaphore.getCount());
    EXPECT_NE(0, semaphore.unlock());
    EXPECT_EQ(0, semaphore.unlock());
    EXPECT_EQ(5, semaphore.getCount());
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(kSignalled, semaphore.lock(0));
    }
    EXPECT_EQ(kTimedOut, semaphore.lock(0));
    EXPECT_EQ(0, semaphore.getCount());

    // The inherited forms ignore their arguments and give back exactly one unit.
    long sentinel = 0x5A5A;
    EXPECT_NE(0, semaphore.signal(5, &sentinel));
    YSyncObject& base = semaphore;
    EXPECT_NE(0, base.unlock(3, &sentinel));
    EXPECT_NE(0, semaphore.signal());
    EXPECT_EQ(3, semaphore.getCount());
    EXPECT_EQ(0x5A5A, sentinel);
}

// While another thread holds the count mutex, getCount waits; lock and unlock do not.
TEST(SemaphoreTest, CountMutexSerialisesOnlyGetCount) {
    SemaphoreProbe semaphore(3, 5);
    ASSERT_EQ(kSignalled, semaphore.lockCountMutex(0));
    {
        WaitProbe other([&] {
            const int taken = semaphore.lock(0);
            return taken == kSignalled && semaphore.unlock() != 0 ? 1 : 0;
        });
        EXPECT_EQ(1, other.result());
    }
    WaitProbe counter([&] { return semaphore.getCount(); });
    EXPECT_TRUE(counter.stillBlockedAfter(50ms));
    EXPECT_NE(0, semaphore.unlockCountMutex());
    EXPECT_EQ(3, counter.result());
}

TEST(SemaphoreTest, GetCountReportsTheMaximumWhenTheBorrowedUnitCannotGoBack) {
    FilledWhileBorrowed semaphore(2, 5);
    semaphore.fillOnNextLock = true;
    EXPECT_EQ(5, semaphore.getCount());
    EXPECT_FALSE(semaphore.fillOnNextLock);  // the borrowing went through the override
    WaitProbe other([&] {
        const int result = semaphore.lockCountMutex(0);
        return result == kSignalled && semaphore.unlockCountMutex() != 0 ? result : kFailed;
    });
    EXPECT_EQ(kSignalled, other.result());  // that path released the count mutex too
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(kSignalled, semaphore.lock(0));
    }
    EXPECT_EQ(kTimedOut, semaphore.lock(0));  // the failed give-back left it at the maximum
}

TEST(SemaphoreTest, CountMutexIsNamedAfterTheSemaphoreAndCopiedWithIt) {
    EXPECT_STREQ(L"CountMutex", SemaphoreProbe(1, 2, L"").countMutexName());
    EXPECT_EQ(0, SemaphoreProbe(1, 2).countMutexName().length());

    auto* original = new SemaphoreProbe(1, 4, L"Pool");
    EXPECT_STREQ(L"PoolCountMutex", original->countMutexName());
    SemaphoreProbe copy(*original);
    EXPECT_STREQ(L"PoolCountMutex", copy.countMutexName());
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
    EXPECT_EQ(1, copy.getCount());
    EXPECT_NE(0, copy.unlock(3, nullptr));
    EXPECT_EQ(0, copy.unlock());  // the maximum came with the copy
}

}  // namespace
