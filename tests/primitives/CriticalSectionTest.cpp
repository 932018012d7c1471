// YCriticalSection: recursion, the routing of lock/unlock through enterSection and
// leaveSection, the fixed results, and dispatchLock bypassing the section.
#include <davro/primitives/CriticalSection.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SyncTestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;

// Counts the calls that reach the two virtual operations.
class CountingSection : public YCriticalSection {
public:
    using YCriticalSection::YCriticalSection;
    void enterSection() override {
        ++entries;
        YCriticalSection::enterSection();
    }
    void leaveSection() override {
        ++exits;
        YCriticalSection::leaveSection();
    }
    std::atomic<int> entries{0};
    std::atomic<int> exits{0};
};

// Every plain use is a section entry or exit; the section entered three times keeps other
// threads out until it has been left three times.
TEST(CriticalSectionTest, EveryPlainUseGoesThroughTheSectionCallsAndEntriesNeedAsManyExits) {
    CountingSection section(L"Table");
    EXPECT_STREQ(L"Table", section.getName());
    long untouched = 77;
    EXPECT_EQ(0, section.lock(0));
    EXPECT_EQ(0, section.wait(12345));
    EXPECT_EQ(0, section.lock(INFINITE));
    EXPECT_EQ(3, section.entries);
    EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    EXPECT_EQ(1, section.unlock());
    EXPECT_EQ(1, section.signal());
    EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    EXPECT_EQ(1, section.signal(5, &untouched));
    EXPECT_EQ(3, section.exits);
    EXPECT_EQ(77, untouched);
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));
    // Leaving a section that nobody holds is refused by the kernel and still reports 1.
    EXPECT_EQ(1, section.unlock());
    EXPECT_EQ(1, section.unlock(0, nullptr));
    EXPECT_EQ(5, section.exits);

    // A section whose owner ended while inside is entered as usual: lock() reports 0.
    std::thread([&] { section.enterSection(); }).join();
    EXPECT_EQ(0, section.lock(0));
    EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    section.unlock();
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));
}

// lock() enters the section whatever its time-out; dispatchLock() waits on the kernel mutex
// itself with its time-out and without entering.
TEST(CriticalSectionTest, LockIgnoresItsTimeOutWhileDispatchLockHonoursIt) {
    CountingSection section;
    {
        Holder owner([&] { section.enterSection(); }, [&] { section.leaveSection(); });
        ASSERT_TRUE(owner.entered());
        EXPECT_EQ(kTimedOut, section.dispatchLock(0));
        EXPECT_EQ(kTimedOut, section.dispatchWait(20));
        WaitProbe locker([&] {
            const int result = section.lock(0);
            section.unlock();
            return result;
        });
        EXPECT_TRUE(locker.stillBlockedAfter(100ms));
        owner.release();
        ASSERT_TRUE(locker.finishesWithin(std::chrono::milliseconds(kWaitMs)));
        EXPECT_EQ(0, locker.result());
    }
    EXPECT_EQ(2, section.entries);                   // the holder's and the locker's
    EXPECT_EQ(kSignalled, section.dispatchLock(0));  // the kernel mutex, not entered
    EXPECT_EQ(2, section.entries);
    EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    section.leaveSection();
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));
}

}  // namespace
