// YCriticalSection: recursion, the routing of lock/unlock through enterSection and
// leaveSection, the fixed results, and dispatchLock bypassing the section.
#include <davro/primitives/CriticalSection.h>
#include <gtest/gtest.h>

#include <thread>

#include "SectionTestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;
using namespace std::chrono_literals;

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
    int entries = 0;
    int exits = 0;
};

TEST(CriticalSectionTest, EnteredTwiceKeepsOthersOutUntilLeftTwice) {
    YCriticalSection section(L"Table");
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));
    section.enterSection();
    EXPECT_EQ(0, section.lock(0));
    EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    section.leaveSection();
    EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    EXPECT_EQ(1, section.unlock());
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));
}

TEST(CriticalSectionTest, LockOnSectionOwnedElsewhereIgnoresTheTimeOutAndReturnsZero) {
    YCriticalSection section;
    Holder owner([&] { section.enterSection(); }, [&] { section.leaveSection(); });
    ASSERT_TRUE(owner.entered());
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

TEST(CriticalSectionTest, DispatchLockBypassesTheSectionAndHonoursItsTimeOut) {
    CountingSection section;
    {
        Holder owner([&] { section.enterSection(); }, [&] { section.leaveSection(); });
        ASSERT_TRUE(owner.entered());
        EXPECT_EQ(kTimedOut, section.dispatchLock(0));
        EXPECT_EQ(kTimedOut, section.dispatchWait(20));
    }
    EXPECT_EQ(kSignalled, section.dispatchLock(0));  // the kernel mutex itself
    EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    section.leaveSection();
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));
    EXPECT_EQ(1, section.entries);  // the holder's only
    EXPECT_EQ(2, section.exits);    // the holder's and ours
}

TEST(CriticalSectionTest, EveryPlainUseGoesThroughTheVirtualSectionCalls) {
    CountingSection section;
    long untouched = 77;
    EXPECT_EQ(0, section.lock(0));
    EXPECT_EQ(0, section.wait(12345));
    EXPECT_EQ(0, section.lock(INFINITE));
    EXPECT_EQ(3, section.entries);
    EXPECT_EQ(1, section.unlock());
    EXPECT_EQ(1, section.signal());
    EXPECT_EQ(1, section.signal(5, &untouched));
    EXPECT_EQ(3, section.exits);
    EXPECT_EQ(77, untouched);
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));
    // Leaving a section that nobody holds is refused by the kernel and still reports 1.
    EXPECT_EQ(1, section.unlock());
    EXPECT_EQ(1, section.unlock(0, nullptr));
    EXPECT_EQ(5, section.exits);
}

TEST(CriticalSectionTest, SectionLeftByAnEndedOwnerCountsAsEntered) {
    YCriticalSection section;
    std::thread([&] { section.enterSection(); }).join();
    EXPECT_EQ(0, section.lock(0));
    EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    section.unlock();
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));
}

TEST(CriticalSectionTest, NamesAndCopies) {
    const YCriticalSection unnamed;
    EXPECT_EQ(0, unnamed.getName().length());
    YCriticalSection section(L"Queue");
    EXPECT_STREQ(L"Queue", section.getName());
    {
        YCriticalSection copy(section);
        EXPECT_STREQ(L"Queue", copy.getName());
        copy.enterSection();  // one section behind both objects
        EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
        copy.leaveSection();
        YCriticalSection assigned;
        assigned = section;
        EXPECT_STREQ(L"Queue", assigned.getName());
    }
    // The copies closed only their own handles.
    section.enterSection();
    EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    section.leaveSection();
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));
}

}  // namespace
