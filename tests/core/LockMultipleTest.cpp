// YSyncObject::lockMultiple and waitMultiple: one kernel wait over several objects, with the
// list checked before any wait.
#include <davro/core/SyncObject.h>
#include <davro/primitives/Event.h>
#include <davro/primitives/Mutex.h>
#include <davro/primitives/Semaphore.h>
#include <gtest/gtest.h>

#include <new>
#include <thread>

#include "TestSupport.h"

namespace {

using namespace davro::win32;
using davro::test::kWaitMs;

constexpr int kTimedOut = 258;
constexpr int kFailed = -1;
constexpr int kAbandoned0 = 0x80;

// An object whose kernel object was never created.
class Bare : public YSyncObject {
public:
    int unlock() override { return 0; }
};

// Both names give the same answer for the same arguments; a state the first call changes
// is set up again before the second.
template <typename Setup>
void expectBothNames(int expected, Setup setup, YSyncObject* const* objects, int count, int waitAll,
                     unsigned timeout) {
    setup();
    EXPECT_EQ(expected, YSyncObject::lockMultiple(objects, count, waitAll, timeout));
    setup();
    EXPECT_EQ(expected, YSyncObject::waitMultiple(objects, count, waitAll, timeout));
}

TEST(LockMultipleTest, EmptyListReturnsZeroWithoutWaiting) {
    EXPECT_EQ(0, YSyncObject::lockMultiple(nullptr, 0, 0, kWaitMs));
    EXPECT_EQ(0, YSyncObject::waitMultiple(nullptr, 0, 1, INFINITE));
}

// "Before any wait": an auto-reset event in the same list would be consumed by a wait-any
// that reached the kernel; it must still be set afterwards.
TEST(LockMultipleTest, NullEntryOrZeroHandleFailsBeforeAnyWait) {
    YEventObject set(1, 0);
    Bare bare;
    YSyncObject* withNull[] = {&set, nullptr};
    YSyncObject* withBare[] = {&set, &bare};
    YSyncObject* bareFirst[] = {&bare, &set};

    EXPECT_EQ(kFailed, YSyncObject::lockMultiple(withNull, 2, 0, kWaitMs));
    EXPECT_EQ(kFailed, YSyncObject::lockMultiple(withBare, 2, 0, kWaitMs));
    EXPECT_EQ(kFailed, YSyncObject::waitMultiple(bareFirst, 2, 1, INFINITE));
    EXPECT_EQ(kFailed, YSyncObject::waitMultiple(withNull, 2, 1, 0));
    EXPECT_EQ(0, set.lock(0));  // still set: no wait consumed it
}

TEST(LockMultipleTest, WaitAnyReturnsTheLowestSignalledPosition) {
    YEventObject first;
    YEventObject second;
    YEventObject third;
    YSyncObject* objects[] = {&first, &second, &third};

    expectBothNames(
        1, [&] { second.unlock(); }, objects, 3, 0, kWaitMs);

    expectBothNames(
        0,
        [&] {
            third.unlock();
            first.unlock();
        },
        objects, 3, 0, kWaitMs);
    EXPECT_EQ(0, third.lock(0));  // only the lowest one was consumed, each time
    EXPECT_EQ(kTimedOut, first.lock(0));

    EXPECT_EQ(kTimedOut, YSyncObject::lockMultiple(objects, 3, 0, 0));
}

TEST(LockMultipleTest, WaitAllChangesNothingUntilEveryObjectIsSignalled) {
    YEventObject first;
    YEventObject second;
    YSyncObject* objects[] = {&first, &second};

    second.unlock();
    EXPECT_EQ(kTimedOut, YSyncObject::lockMultiple(objects, 2, 1, 20));
    EXPECT_EQ(kTimedOut, YSyncObject::waitMultiple(objects, 2, 1, 0));

    first.unlock();
    EXPECT_EQ(0, YSyncObject::lockMultiple(objects, 2, 1, kWaitMs));
    EXPECT_EQ(kTimedOut, first.lock(0));  // both consumed together
    EXPECT_EQ(kTimedOut, second.lock(0));
}

TEST(LockMultipleTest, AbandonedMutexReportsItsPosition) {
    YEventObject never;
    YMutex mutex;
    std::thread([&] { mutex.lock(0); }).join();  // ends while owning it

    YSyncObject* objects[] = {&never, &mutex};
    EXPECT_EQ(kAbandoned0 + 1, YSyncObject::lockMultiple(objects, 2, 0, kWaitMs));
    EXPECT_NE(0, mutex.unlock());  // the caller owns it now
}

TEST(LockMultipleTest, NegativeCountThrowsBadAlloc) {
    EXPECT_THROW(YSyncObject::lockMultiple(nullptr, -1, 0, 0), std::bad_alloc);
}

}  // namespace
