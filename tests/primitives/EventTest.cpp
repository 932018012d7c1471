// YEventObject and YManualEventObject: auto and manual reset, constructor argument order,
// the fixed results, also after a failed creation. State is read with lock(0), a poll that never
// blocks.
#include <davro/primitives/Event.h>
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;

class FailedEvent : public YEventObject {
public:
    FailedEvent() {
        CloseHandle(handle);
        handle = nullptr;
    }
};

TEST(EventObjectTest, AutoResetServesOneWaitPerSetManualResetStaysSetAndReleasesReportOne) {
    YEventObject event;
    EXPECT_EQ(kTimedOut, event.lock(0));
    EXPECT_EQ(1, event.unlock());
    EXPECT_EQ(1, event.unlock());  // two sets with no waiter: still one signal
    EXPECT_EQ(kSignalled, event.lock(0));
    EXPECT_EQ(kTimedOut, event.lock(0));

    YEventObject setAuto(1, 0);  // (initial state, manual reset)
    EXPECT_EQ(kSignalled, setAuto.lock(0));
    EXPECT_EQ(kTimedOut, setAuto.lock(0));
    YEventObject manual(0, 7, L"Manual");  // any nonzero value means true
    EXPECT_EQ(kTimedOut, manual.lock(0));
    manual.unlock();
    EXPECT_EQ(kSignalled, manual.lock(0));
    EXPECT_EQ(kSignalled, manual.lock(0));
    EXPECT_EQ(1, manual.resetEvent());
    EXPECT_EQ(kTimedOut, manual.lock(0));

    YManualEventObject open(1, L"Open");
    EXPECT_EQ(kSignalled, open.lock(0));
    EXPECT_EQ(kSignalled, open.lock(0));
    EXPECT_EQ(1, open.resetEvent());
    EXPECT_EQ(kTimedOut, open.lock(0));
    EXPECT_EQ(kTimedOut, YManualEventObject().lock(0));

    // The name is for the deadlock log only: two events of one name are unrelated.
    YEventObject first(L"Same");
    YEventObject second(L"Same");
    first.unlock();
    EXPECT_EQ(kTimedOut, second.lock(0));
    EXPECT_EQ(kSignalled, first.lock(0));

    // Creation failed, as a failed CreateEventW would leave it: handle 0, still 1.
    FailedEvent failed;
    EXPECT_EQ(kFailed, failed.lock(0));
    EXPECT_EQ(1, failed.unlock());
    EXPECT_EQ(1, failed.resetEvent());
    EXPECT_EQ(1, failed.signal());
}

TEST(EventObjectTest, SetWakesABlockedWaiterAndIsConsumedByIt) {
    YEventObject event;
    WaitProbe waiter([&] { return event.lock(kWaitMs); });
    EXPECT_TRUE(waiter.stillBlockedAfter(50ms));
    event.unlock();
    EXPECT_EQ(kSignalled, waiter.result());
    EXPECT_EQ(kTimedOut, event.lock(0));  // the signal went to the waiter
}

}  // namespace
