// YReadWriteSection: shared reading, exclusive writing, writers ahead of later readers,
// re-entry, names, copies, and readers and writers under stress.
#include <davro/primitives/Guard.h>
#include <davro/primitives/ReadWriteSection.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "SectionTestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;
using namespace std::chrono_literals;

// Reads the inner state back. Only used while no other thread changes it.
class SectionState : public YReadWriteSection {
public:
    using YReadWriteSection::YReadWriteSection;
    int readers() const { return readerCount; }
    bool noReaderSignalled() { return readerDoneEvent.lock(0) == kSignalled; }
    const YString& readerSectionName() const { return readerSection.getName(); }
    const YString& eventName() const { return readerDoneEvent.getName(); }
    YCriticalSection& readerLock() { return readerSection; }
};

// Waits, bounded, until some thread owns the writer section (the section's own mutex).
bool writerSectionTakenSoon(YReadWriteSection& section) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (pollFromOtherThread(section) != kTimedOut) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

TEST(ReadWriteSectionTest, DisplayNamesOfTheSectionAndItsInnerObjects) {
    const SectionState unnamed;
    EXPECT_STREQ(L"ReadWriteSection.writerSection", unnamed.getName());
    EXPECT_STREQ(L"ReadWriteSection.readerSection", unnamed.readerSectionName());
    EXPECT_STREQ(L"ReadWriteSection.readerDoneEvent", unnamed.eventName());

    const SectionState named(L"Cache");
    EXPECT_STREQ(L"Cache.writerSection", named.getName());
    EXPECT_STREQ(L"Cache.readerSection", named.readerSectionName());
    EXPECT_STREQ(L"Cache.readerDoneEvent", named.eventName());

    const SectionState emptyName(YString(L""));
    EXPECT_STREQ(L".writerSection", emptyName.getName());
}

TEST(ReadWriteSectionTest, FreshSectionIsFreeAndWriteEntryReturnsAtOnce) {
    SectionState section;
    EXPECT_EQ(0, section.readers());
    EXPECT_TRUE(section.noReaderSignalled());
    section.enterSectionWrite();
    EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    section.leaveSectionWrite();
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));
}

TEST(ReadWriteSectionTest, ManyReadersAreInsideAtOnce) {
    SectionState section;
    Holder first([&] { section.enterSectionRead(); }, [&] { section.leaveSectionRead(); });
    Holder second([&] { section.enterSectionRead(); }, [&] { section.leaveSectionRead(); });
    ASSERT_TRUE(first.entered());
    ASSERT_TRUE(second.entered());
    section.enterSectionRead();  // a third, on this thread
    section.readerLock().enterSection();
    EXPECT_EQ(3, section.readers());
    section.readerLock().leaveSection();
    EXPECT_FALSE(section.noReaderSignalled());
    EXPECT_EQ(kSignalled, pollFromOtherThread(section));  // readers leave the writer section
    section.leaveSectionRead();
}

TEST(ReadWriteSectionTest, WaitingWriterHoldsOffNewReadersUntilItHasWritten) {
    SectionState section;
    section.enterSectionRead();
    YManualEventObject writerMayLeave;
    WaitProbe writer([&] {
        section.enterSectionWrite();
        writerMayLeave.lock(kWaitMs);
        section.leaveSectionWrite();
        return 0;
    });
    ASSERT_TRUE(writerSectionTakenSoon(section));  // the writer waits for our read
    WaitProbe lateReader([&] {
        section.enterSectionRead();
        section.leaveSectionRead();
        return 0;
    });
    EXPECT_TRUE(lateReader.stillBlockedAfter(100ms));
    EXPECT_TRUE(writer.stillBlockedAfter(1ms));

    section.leaveSectionRead();  // the writer gets in; the late reader still waits
    EXPECT_TRUE(lateReader.stillBlockedAfter(100ms));
    writerMayLeave.unlock();
    ASSERT_TRUE(writer.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    ASSERT_TRUE(lateReader.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    EXPECT_EQ(0, section.readers());
    EXPECT_TRUE(section.noReaderSignalled());
}

TEST(ReadWriteSectionTest, LockTakesWriteModeAndWaitsForTheReadersInside) {
    SectionState section;
    Holder reader([&] { section.enterSectionRead(); }, [&] { section.leaveSectionRead(); });
    ASSERT_TRUE(reader.entered());
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

TEST(ReadWriteSectionTest, DispatchLockTakesTheWriterSectionWithoutWaitingForReaders) {
    SectionState section;
    Holder reader([&] { section.enterSectionRead(); }, [&] { section.leaveSectionRead(); });
    ASSERT_TRUE(reader.entered());
    EXPECT_EQ(kSignalled, section.dispatchLock(0));
    EXPECT_EQ(1, section.readers());
    section.leaveSection();
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
    WaitProbe otherWriter([&] {
        section.enterSectionWrite();
        section.leaveSectionWrite();
        return 0;
    });
    EXPECT_TRUE(otherWriter.finishesWithin(std::chrono::milliseconds(kWaitMs)));
}

TEST(ReadWriteSectionTest, ReadExitWithoutEntryIsIgnored) {
    SectionState section;
    section.leaveSectionRead();
    EXPECT_EQ(0, section.readers());
    EXPECT_TRUE(section.noReaderSignalled());
    section.enterSectionRead();
    section.leaveSectionRead();
    section.leaveSectionRead();
    EXPECT_EQ(0, section.readers());
    section.enterSectionRead();  // the count still follows the readers
    EXPECT_FALSE(section.noReaderSignalled());
    section.leaveSectionRead();
    EXPECT_TRUE(section.noReaderSignalled());
}

TEST(ReadWriteSectionTest, CopySharesTheWriterSectionAndEvent) {
    SectionState section(L"Cache");
    {
        SectionState copy(section);
        EXPECT_STREQ(L"Cache.writerSection", copy.getName());
        EXPECT_STREQ(L"Cache.readerDoneEvent", copy.eventName());
        section.enterSectionRead();
        WaitProbe writer([&] {
            copy.enterSectionWrite();  // waits for the reader of the source
            copy.leaveSectionWrite();
            return 0;
        });
        EXPECT_TRUE(writer.stillBlockedAfter(100ms));
        section.leaveSectionRead();
        EXPECT_TRUE(writer.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    }
    section.enterSectionWrite();  // the source's handles outlive the copy
    EXPECT_EQ(kTimedOut, pollFromOtherThread(section));
    section.leaveSectionWrite();
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
// slots inside their writes, half of them through the plain lock interface.
TEST(ReadWriteSectionTest, StressReadersSeeOnlyWholeWrites) {
    constexpr int kSlots = 16;
    constexpr int kWrites = 400;
    constexpr int kReads = 2000;
    YReadWriteSection section(L"Stress");
    std::array<int, kSlots> slots{};
    YManualEventObject go;
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            go.lock(kWaitMs);
            for (int i = 0; i < kWrites; ++i) {
                if (w == 0) {
                    section.enterSectionWrite();
                } else {
                    section.lock(0);
                }
                for (int& slot : slots) {
                    ++slot;
                }
                if (w == 0) {
                    section.leaveSectionWrite();
                } else {
                    section.unlock();
                }
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
                ++reads;
            }
        });
    }
    go.unlock();
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, torn.load());
    EXPECT_EQ(2 * kReads, reads.load());
    for (const int slot : slots) {
        EXPECT_EQ(2 * kWrites, slot);
    }
}

}  // namespace
