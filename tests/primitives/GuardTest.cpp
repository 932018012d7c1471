// YGuard, YUnGuard, YReadGuard, YReadUnGuard: what each constructor and destructor does
// over references, pointers, null pointers and guards, and the lock()/unlock() results.
#include <davro/primitives/CriticalSection.h>
#include <davro/primitives/Guard.h>
#include <davro/primitives/Mutex.h>
#include <davro/primitives/ReadWriteSection.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <type_traits>

#include "SyncTestSupport.h"

namespace {

using namespace davro::test;

static_assert(!std::is_copy_constructible_v<YGuard> && !std::is_copy_assignable_v<YGuard>);
static_assert(!std::is_copy_constructible_v<YUnGuard>);
static_assert(!std::is_copy_constructible_v<YReadGuard>);
static_assert(!std::is_copy_constructible_v<YReadUnGuard>);

class ReaderCount : public YReadWriteSection {
public:
    int readers() const { return readerCount; }
};

// Whether a writer gets in right now: write entry from another thread, bounded.
bool writerGetsIn(YReadWriteSection& section) {
    WaitProbe writer([&] {
        section.enterSectionWrite();
        section.leaveSectionWrite();
        return 0;
    });
    return writer.finishesWithin(std::chrono::milliseconds(kWaitMs));
}

TEST(GuardTest, HoldsTheObjectForItsScopeAndReleasesItOnceWhateverCameBetween) {
    YMutex mutex;
    {
        YGuard guard(mutex);
        EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
        EXPECT_NE(0, guard.unlock());  // ReleaseMutex's answer
        EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
        EXPECT_EQ(kSignalled, guard.lock());
    }
    EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
    EXPECT_EQ(0, mutex.unlock());  // not held any more
    {
        YGuard guard(&mutex);
        EXPECT_EQ(kSignalled, guard.lock());  // held twice now
    }
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));  // the guard's end released once
    EXPECT_NE(0, mutex.unlock());
    YGuard nullGuard(static_cast<YSyncObject*>(nullptr));
    EXPECT_EQ(-1, nullGuard.lock());
    EXPECT_EQ(0, nullGuard.unlock());
}

TEST(GuardTest, OverASectionLockReturnsZeroAndUnlockOne) {
    YCriticalSection section;
    {
        YGuard guard(section);
        EXPECT_EQ(1, guard.unlock());
        EXPECT_EQ(0, guard.lock());
        EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    }
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));
}

TEST(UnGuardTest, GivesTheObjectUpForItsScopeWhateverItIsMadeFrom) {
    YMutex mutex;
    YGuard guard(mutex);
    const std::function<void(std::optional<YUnGuard>&)> forms[] = {
        [&](auto& unGuard) { unGuard.emplace(guard); },
        [&](auto& unGuard) { unGuard.emplace(&guard); },
        [&](auto& unGuard) { unGuard.emplace(mutex); },
        [&](auto& unGuard) { unGuard.emplace(static_cast<YSyncObject*>(&mutex)); }};
    for (const auto& make : forms) {
        std::optional<YUnGuard> unGuard;
        make(unGuard);
        EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
        EXPECT_EQ(kSignalled, unGuard->lock());
        EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
        EXPECT_NE(0, unGuard->unlock());
        unGuard.reset();
        EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));  // held again by `guard`
    }
    YGuard nullGuard(static_cast<YSyncObject*>(nullptr));
    YUnGuard fromNullGuard(nullGuard);
    YUnGuard fromNullGuardPointer(static_cast<YGuard*>(nullptr));
    YUnGuard fromNullObject(static_cast<YSyncObject*>(nullptr));
    for (YUnGuard* unGuard : {&fromNullGuard, &fromNullGuardPointer, &fromNullObject}) {
        EXPECT_EQ(-1, unGuard->lock());
        EXPECT_EQ(0, unGuard->unlock());
    }
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
}

TEST(ReadGuardTest, HoldsTheReadSideForItsScope) {
    ReaderCount section;
    {
        std::optional<WaitProbe> writer;  // ends after the guard, which lets it in
        YReadGuard guard(section);
        EXPECT_EQ(0, guard.lock());
        EXPECT_EQ(2, section.readers());
        EXPECT_EQ(1, guard.unlock());
        EXPECT_EQ(1, section.readers());
        writer.emplace([&] {
            section.enterSectionWrite();
            section.leaveSectionWrite();
            return 0;
        });
        EXPECT_TRUE(writer->stillBlockedAfter(50ms));
    }
    EXPECT_EQ(0, section.readers());
    {
        YReadGuard guard(&section);
        EXPECT_EQ(1, section.readers());
    }
    EXPECT_EQ(0, section.readers());
    YReadGuard nullGuard(static_cast<YReadWriteSection*>(nullptr));
    EXPECT_EQ(-1, nullGuard.lock());
    EXPECT_EQ(0, nullGuard.unlock());
}

TEST(ReadUnGuardTest, GivesTheReadSideUpForItsScopeWhateverItIsMadeFrom) {
    ReaderCount section;
    YReadGuard guard(section);
    const std::function<void(std::optional<YReadUnGuard>&)> forms[] = {
        [&](auto& unGuard) { unGuard.emplace(guard); },
        [&](auto& unGuard) { unGuard.emplace(&guard); },
        [&](auto& unGuard) { unGuard.emplace(section); },
        [&](auto& unGuard) { unGuard.emplace(static_cast<YReadWriteSection*>(&section)); }};
    for (const auto& make : forms) {
        std::optional<YReadUnGuard> unGuard;
        make(unGuard);
        EXPECT_EQ(0, section.readers());
        EXPECT_EQ(0, unGuard->lock());
        EXPECT_EQ(1, section.readers());
        EXPECT_EQ(1, unGuard->unlock());
        EXPECT_TRUE(writerGetsIn(section));
        unGuard.reset();
        EXPECT_EQ(1, section.readers());  // back with `guard`
    }
    YReadGuard nullGuard(static_cast<YReadWriteSection*>(nullptr));
    YReadUnGuard fromNullGuard(nullGuard);
    YReadUnGuard fromNullGuardPointer(static_cast<YReadGuard*>(nullptr));
    YReadUnGuard fromNullSection(static_cast<YReadWriteSection*>(nullptr));
    for (YReadUnGuard* unGuard : {&fromNullGuard, &fromNullGuardPointer, &fromNullSection}) {
        EXPECT_EQ(-1, unGuard->lock());
        EXPECT_EQ(0, unGuard->unlock());
    }
    EXPECT_EQ(1, section.readers());
}

}  // namespace
