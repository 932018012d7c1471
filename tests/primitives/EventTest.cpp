// YEventObject and YManualEventObject: auto and manual reset, constructor argument order,
// fixed results, copies. State is read with lock(0), a poll that never blocks.
#include <davro/primitives/Event.h>
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using namespace davro::win32;
using davro::test::kWaitMs;
using davro::test::WaitProbe;
using namespace std::chrono_literals;

constexpr int kSignalled = 0;
constexpr int kTimedOut = 258;
constexpr int kFailed = -1;

// An event whose creation "failed": the handle is set to 0 after construction, as a
// failed CreateEventW would leave it.
class FailedEvent : public YEventObject {
public:
    FailedEvent() {
        CloseHandle(handle);
        handle = nullptr;
    }
};

TEST(EventObjectTest, AutoResetServesOneWaitPerSet) {
    YEventObject event;
    EXPECT_EQ(kTimedOut, event.lock(0));
    EXPECT_EQ(1, event.unlock());
    EXPECT_EQ(1, event.unlock());  // two sets with no waiter: still one signal
    EXPECT_EQ(kSignalled, event.lock(0));
    EXPECT_EQ(kTimedOut, event.lock(0));
}

TEST(EventObjectTest, TwoIntConstructorTakesInitialStateThenManualReset) {
    YEventObject setAuto(1, 0);
    EXPECT_EQ(kSignalled, setAuto.lock(0));
    EXPECT_EQ(kTimedOut, setAuto.lock(0));

    YEventObject clearManual(0, 1, L"Manual");
    EXPECT_EQ(kTimedOut, clearManual.lock(0));
    clearManual.unlock();
    EXPECT_EQ(kSignalled, clearManual.lock(0));
    EXPECT_EQ(kSignalled, clearManual.lock(0));
    EXPECT_EQ(1, clearManual.resetEvent());
    EXPECT_EQ(kTimedOut, clearManual.lock(0));

    YEventObject anyNonZero(7, 9);  // any nonzero value means true
    EXPECT_EQ(kSignalled, anyNonZero.lock(0));
    EXPECT_EQ(kSignalled, anyNonZero.lock(0));
}

TEST(EventObjectTest, SetWakesABlockedWaiterAndIsConsumedByIt) {
    YEventObject event;
    WaitProbe waiter([&] { return event.lock(kWaitMs); });
    EXPECT_TRUE(waiter.stillBlockedAfter(50ms));
    event.unlock();
    EXPECT_EQ(kSignalled, waiter.result());
    EXPECT_EQ(kTimedOut, event.lock(0));  // the signal went to the waiter
}

TEST(EventObjectTest, SameDisplayNameGivesIndependentEvents) {
    YEventObject first(L"Same");
    YEventObject second(L"Same");
    first.unlock();
    EXPECT_EQ(kTimedOut, second.lock(0));
    EXPECT_EQ(kSignalled, first.lock(0));
}

TEST(EventObjectTest, FailedCreationStillReportsOne) {
    FailedEvent event;
    EXPECT_EQ(1, event.unlock());
    EXPECT_EQ(1, event.resetEvent());
    EXPECT_EQ(1, event.signal());
    EXPECT_EQ(kFailed, event.lock(0));
    EXPECT_EQ(kFailed, event.wait(INFINITE));
}

TEST(EventObjectTest, CopySetsAndWaitsOnTheSameEvent) {
    auto* original = new YEventObject(L"Original");
    YEventObject copy(*original);
    original->unlock();
    EXPECT_EQ(kSignalled, copy.lock(0));
    copy.unlock();
    delete original;
    EXPECT_EQ(kSignalled, copy.lock(0));  // the copy's handle outlives the original

    YEventObject assigned;
    assigned = copy;
    EXPECT_STREQ(L"Original", assigned.getName());
    assigned.unlock();
    EXPECT_EQ(kSignalled, copy.lock(0));
}

TEST(ManualEventObjectTest, StaysSetUntilReset) {
    YManualEventObject event(1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(kSignalled, event.lock(0));
    }
    EXPECT_EQ(1, event.resetEvent());
    EXPECT_EQ(kTimedOut, event.lock(0));

    YManualEventObject clear;
    EXPECT_EQ(kTimedOut, clear.lock(0));
    YManualEventObject named(L"Gate");
    EXPECT_EQ(kTimedOut, named.lock(0));
    EXPECT_STREQ(L"Gate", named.getName());
    YManualEventObject namedSet(1, L"Open");
    EXPECT_EQ(kSignalled, namedSet.lock(0));
    EXPECT_EQ(kSignalled, namedSet.lock(0));
}

}  // namespace
