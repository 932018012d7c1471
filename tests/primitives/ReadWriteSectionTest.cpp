// YReadWriteSection: shared reading, exclusive writing, writers ahead of later readers,
// re-entry, the inner objects' names, copies, and readers and writers under stress.
#include <davro/primitives/Guard.h>
#include <davro/primitives/ReadWriteSection.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "SyncTestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;

// Reads the inner state back. Only used while no other thread changes it.
class SectionState : public YReadWriteSection {
public:
    using YReadWriteSection::YReadWriteSection;
    int readers() const { return readerCount; }
    bool noReaderSignalled() { return readerDoneEvent.lock(0) == kSignalled; }
    const YString& readerSectionName() const { return readerSection.getName(); }
    const YString& eventName() const { return readerDoneEvent.getName(); }
};

TEST(ReadWriteSectionTest, DisplayNamesOfTheSectionAndItsInnerObjects) {
    const SectionState unnamed;
    EXPECT_STREQ(L"ReadWriteSection.writerSection", unnamed.getName());
    EXPECT_STREQ(L"ReadWriteSection.readerSection", unnamed.readerSectionName());
    EXPECT_STREQ(L"ReadWriteSection.readerDoneEvent", unnamed.eventName());
    const SectionState named(L"Cache");
    EXPECT_STREQ(L"Cache.writerSection", named.getName());
    EXPECT_STREQ(L"Cache.readerSection", named.readerSectionName());
    EXPECT_STREQ(L"Cache.readerDoneEvent", named.eventName());
    EXPECT_STREQ(L".writerSection", SectionState(YString(L"")).getName());
}

// Readers are inside together and leave the writer section free. A writer then waits in
// the writer section for them to leave, and a reader that comes later waits until the
// writer has written.
TEST(ReadWriteSectionTest, ManyReadersAtOnceAndAWaitingWriterHoldsOffNewReaders) {
    SectionState section;
    std::optional<Holder> otherReader;
    otherReader.emplace([&] { section.enterSectionRead(); }, [&] { section.leaveSectionRead(); });
    ASSERT_TRUE(otherReader->entered());
    section.enterSectionRead();  // a second, on this thread
    EXPECT_EQ(2, section.readers());
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));

    YManualEventObject writerMayLeave;
    WaitProbe writer([&] {
        section.enterSectionWrite();
        writerMayLeave.lock(kWaitMs);
        section.leaveSectionWrite();
        return 0;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    // The writer waits for us once it holds the writer section and has reset the event;
    // it takes the section first, so both are looked for.
    const auto writerWaits = [&] {
        return pollFromOtherThread(section) == kTimedOut && !section.noReaderSignalled();
    };
    while (!writerWaits() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(writerWaits());
    WaitProbe lateReader([&] {
        section.enterSectionRead();
        section.leaveSectionRead();
        return 0;
    });
    EXPECT_TRUE(lateReader.stillBlockedAfter(100ms));
    EXPECT_TRUE(writer.stillBlockedAfter(1ms));

    otherReader.reset();
    section.leaveSectionRead();  // the writer gets in; the late reader still waits
    EXPECT_TRUE(lateReader.stillBlockedAfter(100ms));
    writerMayLeave.unlock();
    ASSERT_TRUE(writer.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    ASSERT_TRUE(lateReader.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    EXPECT_EQ(0, section.readers());
    EXPECT_TRUE(section.noReaderSignalled());
}

// A plain lock() is a write entry and waits for the readers inside; dispatchLock() takes
// only the section's own mutex (the writer section) and does not wait for them.
TEST(ReadWriteSectionTest, LockWaitsForTheReadersInsideButDispatchLockDoesNot) {
    SectionState section;
    Holder reader([&] { section.enterSectionRead(); }, [&] { section.leaveSectionRead(); });
    ASSERT_TRUE(reader.entered());
    EXPECT_EQ(kSignalled, section.dispatchLock(0));
    EXPECT_EQ(1, section.readers());
    section.leaveSection();
    WaitProbe locker([&] {
        const int result = section.lock(0);
        const int readersInside = section.readers();
        return section.unlock() == 1 && readersInside == 0 ? result : kFailed;
    });
    EXPECT_TRUE(locker.stillBlockedAfter(100ms));
    reader.release();
    ASSERT_TRUE(locker.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    EXPECT_EQ(0, locker.result());
}

TEST(ReadWriteSectionTest, WriterMayReadAndWriteAgainInsideItsWriteSection) {
    SectionState section;
    section.enterSectionWrite();
    section.enterSectionRead();
    EXPECT_EQ(1, section.readers());
    section.leaveSectionRead();
    section.enterSectionWrite();  // no reader inside: the event is set
    section.leaveSectionWrite();
    EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    section.leaveSectionWrite();
    EXPECT_EQ(0, section.readers());
    EXPECT_TRUE(section.noReaderSignalled());
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));
}

TEST(ReadWriteSectionTest, ReadExitWithoutEntryIsIgnored) {
    SectionState section;
    section.leaveSectionRead();
    EXPECT_EQ(0, section.readers());
    section.enterSectionRead();
    section.leaveSectionRead();
    section.leaveSectionRead();
    EXPECT_EQ(0, section.readers());
    EXPECT_TRUE(section.noReaderSignalled());
    section.enterSectionRead();  // the count still follows the readers
    EXPECT_EQ(1, section.readers());
    section.leaveSectionRead();
    EXPECT_EQ(0, section.readers());
    EXPECT_TRUE(section.noReaderSignalled());
}

// Copy and assignment duplicate all three inner handles: with the source gone, a writer
// through one copy keeps a reader through the other out and the reverse, and each copy
// closes only its own handles, so the last one left still works.
TEST(ReadWriteSectionTest, CopiesShareTheInnerObjectsAndOutliveTheSource) {
    auto source = std::make_unique<SectionState>(L"Shared");
    auto copy = std::make_unique<SectionState>(*source);
    SectionState assigned;  // its own objects are closed by the assignment
    assigned = *source;
    source.reset();
    EXPECT_STREQ(L"Shared.writerSection", assigned.getName());
    EXPECT_STREQ(L"Shared.readerSection", assigned.readerSectionName());
    EXPECT_STREQ(L"Shared.readerDoneEvent", assigned.eventName());

    copy->enterSectionWrite();
    {
        WaitProbe reader([&] {
            assigned.enterSectionRead();
            assigned.leaveSectionRead();
            return 0;
        });
        EXPECT_TRUE(reader.stillBlockedAfter(100ms));
        copy->leaveSectionWrite();
        ASSERT_TRUE(reader.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    }
    {
        Holder reader([&] { copy->enterSectionRead(); }, [&] { copy->leaveSectionRead(); });
        ASSERT_TRUE(reader.entered());
        EXPECT_EQ(1, assigned.readers());  // one count
        WaitProbe writer([&] {
            assigned.enterSectionWrite();
            assigned.leaveSectionWrite();
            return 0;
        });
        EXPECT_TRUE(writer.stillBlockedAfter(100ms));
        reader.release();
        ASSERT_TRUE(writer.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    }
    copy.reset();
    assigned.enterSectionWrite();
    EXPECT_EQ(kTimedOut, pollFromOtherThread(assigned));
    assigned.leaveSectionWrite();
    assigned.enterSectionRead();
    EXPECT_EQ(1, assigned.readers());
    assigned.leaveSectionRead();
    EXPECT_EQ(0, assigned.readers());
    EXPECT_TRUE(assigned.noReaderSignalled());
    EXPECT_EQ(kSignalled, pollFromOtherThread(assigned));
}

#ifndef NDEBUG
TEST(ReadWriteSectionDeathTest, UpgradeFromReadToWriteFailsAnAssertInDebugBuilds) {
    EXPECT_DEATH(
        {
            YReadWriteSection section;
            section.enterSectionRead();
            section.enterSectionWrite();
        },
        "deadlocks");
}
#endif

// Readers check an invariant (every slot equal) inside every read; writers change all
// slots inside their writes, one through the write calls, one through the plain lock.
TEST(ReadWriteSectionTest, StressReadersSeeOnlyWholeWrites) {
    constexpr int kSlots = 16;
    constexpr int kWrites = 400;
    constexpr int kReads = 2000;
    YReadWriteSection section(L"Stress");
    std::array<int, kSlots> slots{};
    YManualEventObject go;
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            go.lock(kWaitMs);
            for (int i = 0; i < kWrites; ++i) {
                w == 0 ? section.enterSectionWrite() : static_cast<void>(section.lock(0));
                for (int& slot : slots) {
                    ++slot;
                }
                w == 0 ? section.leaveSectionWrite() : static_cast<void>(section.unlock());
            }
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            go.lock(kWaitMs);
            for (int i = 0; i < kReads; ++i) {
                YReadGuard guard(section);
                for (const int slot : slots) {
                    if (slot != slots[0]) {
                        ++torn;
                        break;
                    }
                }
            }
        });
    }
    go.unlock();
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, torn.load());
    for (const int slot : slots) {
        EXPECT_EQ(2 * kWrites, slot);
    }
}

}  // namespace
