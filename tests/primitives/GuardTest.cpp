// YGuard, YUnGuard, YReadGuard, YReadUnGuard: what each constructor and destructor does
// over references, pointers, null pointers and guards, and the lock()/unlock() results.
#include <davro/primitives/CriticalSection.h>
#include <davro/primitives/Guard.h>
#include <davro/primitives/Mutex.h>
#include <davro/primitives/ReadWriteSection.h>
#include <gtest/gtest.h>

#include <optional>
#include <type_traits>

#include "SectionTestSupport.h"

namespace {

using namespace davro::test;
using namespace std::chrono_literals;

static_assert(!std::is_copy_constructible_v<YGuard> && !std::is_copy_assignable_v<YGuard>);
static_assert(!std::is_copy_constructible_v<YUnGuard>);
static_assert(!std::is_copy_constructible_v<YReadGuard>);
static_assert(!std::is_copy_constructible_v<YReadUnGuard>);

class ReaderCount : public YReadWriteSection {
public:
    int readers() const { return readerCount; }
};

// Whether a writer could get in right now: write entry from another thread, bounded.
bool writerGetsIn(YReadWriteSection& section, std::chrono::milliseconds within) {
    WaitProbe writer([&] {
        section.enterSectionWrite();
        section.leaveSectionWrite();
        return 0;
    });
    return writer.finishesWithin(within);
}

TEST(GuardTest, HoldsTheObjectForItsScopeOverReferenceAndPointer) {
    YMutex mutex;
    {
        YGuard guard(mutex);
        EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
    }
    EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
    {
        YGuard guard(&mutex);
        EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
    }
    EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
}

TEST(GuardTest, UnlockThenLockInMidScopeLeavesTheObjectHeldOnce) {
    YMutex mutex;
    {
        YGuard guard(mutex);
        EXPECT_NE(0, guard.unlock());  // ReleaseMutex's answer
        EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
        EXPECT_EQ(kSignalled, guard.lock());
        EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
    }
    EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
    EXPECT_EQ(0, mutex.unlock());  // not held any more
}

TEST(GuardTest, ExtraLockIsReleasedOnlyOnceByTheGuardsEnd) {
    YMutex mutex;
    {
        YGuard guard(mutex);
        EXPECT_EQ(kSignalled, guard.lock());
    }
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
    EXPECT_NE(0, mutex.unlock());
    EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
}

TEST(GuardTest, NullGuardDoesNothing) {
    YGuard guard(static_cast<YSyncObject*>(nullptr));
    EXPECT_EQ(-1, guard.lock());
    EXPECT_EQ(0, guard.unlock());
}

TEST(GuardTest, OverSectionsLockReturnsZeroAndUnlockOne) {
    YCriticalSection section;
    {
        YGuard guard(section);
        EXPECT_EQ(1, guard.unlock());
        EXPECT_EQ(0, guard.lock());
        EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    }
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));

    YReadWriteSection cache;  // a plain guard takes the write side
    {
        YGuard guard(cache);
        WaitProbe reader([&] {
            cache.enterSectionRead();
            cache.leaveSectionRead();
            return 0;
        });
        EXPECT_TRUE(reader.stillBlockedAfter(50ms));
        EXPECT_EQ(1, guard.unlock());
        EXPECT_TRUE(reader.finishesWithin(std::chrono::milliseconds(kWaitMs)));
        EXPECT_EQ(0, guard.lock());
    }
    EXPECT_TRUE(writerGetsIn(cache, std::chrono::milliseconds(kWaitMs)));
}

TEST(UnGuardTest, GivesTheObjectUpForItsScopeWhateverItIsMadeFrom) {
    YMutex mutex;
    YGuard guard(mutex);
    {
        YUnGuard unGuard(guard);
        EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
    }
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
    {
        YUnGuard unGuard(&guard);
        EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
    }
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
    {
        YUnGuard unGuard(mutex);
        EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
    }
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
    {
        YUnGuard unGuard(static_cast<YSyncObject*>(&mutex));
        EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
        EXPECT_EQ(kSignalled, unGuard.lock());  // back early
        EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
        EXPECT_NE(0, unGuard.unlock());  // and given up again
        EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
    }
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
}

TEST(UnGuardTest, NullFormsDoNothing) {
    YMutex mutex;
    YGuard held(mutex);
    YGuard nullGuard(static_cast<YSyncObject*>(nullptr));
    YUnGuard fromNullGuard(nullGuard);
    YUnGuard fromNullGuardPointer(static_cast<YGuard*>(nullptr));
    YUnGuard fromNullObject(static_cast<YSyncObject*>(nullptr));
    for (YUnGuard* unGuard : {&fromNullGuard, &fromNullGuardPointer, &fromNullObject}) {
        EXPECT_EQ(-1, unGuard->lock());
        EXPECT_EQ(0, unGuard->unlock());
    }
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));  // still held by `held`
}

TEST(ReadGuardTest, HoldsTheReadSideForItsScope) {
    ReaderCount section;
    {
        std::optional<WaitProbe> writer;  // ends after the guard, which lets it in
        YReadGuard guard(section);
        EXPECT_EQ(1, section.readers());
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

TEST(ReadUnGuardTest, GivesTheReadSideUpForItsScope) {
    ReaderCount section;
    YReadGuard guard(section);
    {
        YReadUnGuard unGuard(guard);
        EXPECT_EQ(0, section.readers());
        EXPECT_TRUE(writerGetsIn(section, std::chrono::milliseconds(kWaitMs)));
        EXPECT_EQ(0, unGuard.lock());
        EXPECT_EQ(1, section.readers());
        EXPECT_EQ(1, unGuard.unlock());
        EXPECT_EQ(0, section.readers());
    }
    EXPECT_EQ(1, section.readers());
    {
        YReadUnGuard fromPointer(&guard);
        EXPECT_EQ(0, section.readers());
    }
    {
        YReadUnGuard fromSection(section);
        EXPECT_EQ(0, section.readers());
    }
    {
        YReadUnGuard fromSectionPointer(static_cast<YReadWriteSection*>(&section));
        EXPECT_EQ(0, section.readers());
    }
    EXPECT_EQ(1, section.readers());

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
