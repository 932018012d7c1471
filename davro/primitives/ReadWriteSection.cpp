#include <davro/primitives/ReadWriteSection.h>

#include <cassert>

using namespace davro::win32;

#ifndef NDEBUG
namespace {

// Debug builds keep, per thread, how often the thread is inside each section in read
// mode, so that a write entry from inside a read (which would wait for itself forever)
// fails an assert instead. A fixed table keeps the thread-local trivially destructible;
// a thread reading more sections at once than it holds is simply not checked for the
// rest.
struct ReadRecord {
    const YReadWriteSection* section;
    int count;
};
constexpr int kTrackedSections = 16;
thread_local ReadRecord readRecords[kTrackedSections];

ReadRecord* findRecord(const YReadWriteSection* section) {
    for (ReadRecord& record : readRecords) {
        if (record.section == section) {
            return &record;
        }
    }
    return nullptr;
}

void noteReadEntry(const YReadWriteSection* section) {
    ReadRecord* record = findRecord(section);
    if (record == nullptr) {
        record = findRecord(nullptr);
        if (record == nullptr) {
            return;
        }
        record->section = section;
    }
    ++record->count;
}

void noteReadExit(const YReadWriteSection* section) {
    ReadRecord* record = findRecord(section);
    if (record != nullptr && --record->count == 0) {
        record->section = nullptr;
    }
}

bool isReadingOnThisThread(const YReadWriteSection* section) {
    return findRecord(section) != nullptr;
}

}  // namespace
#endif

YReadWriteSection::YReadWriteSection()
    : YCriticalSection(YString(L"ReadWriteSection.writerSection")),
      readerSection(YString(L"ReadWriteSection.readerSection")),
      readerDoneEvent(1, 1, YString(L"ReadWriteSection.readerDoneEvent")),
      readerCount(0) {}

YReadWriteSection::YReadWriteSection(const YString& sectionName)
    : YCriticalSection(sectionName + L".writerSection"),
      readerSection(sectionName + L".readerSection"),
      readerDoneEvent(1, 1, sectionName + L".readerDoneEvent"),
      readerCount(0) {}

// Member-wise: each inner object duplicates its own handle.
YReadWriteSection::YReadWriteSection(const YReadWriteSection& other) = default;

YReadWriteSection& YReadWriteSection::operator=(const YReadWriteSection& other) = default;

YReadWriteSection::~YReadWriteSection() = default;

void YReadWriteSection::enterSection() {
    // Checked before the writer section: a reader asking to write may already be stuck
    // there behind another writer that waits for this very read to end.
    assert(!isReadingOnThisThread(this) &&
           "YReadWriteSection: write entry from inside a read on the same thread deadlocks");
    // Qualified calls throughout: the virtual ones lead back into this class.
    YCriticalSection::enterSection();
    // Manual reset: the wait leaves the event set, so a writer may enter again.
    readerDoneEvent.wait(INFINITE);
}

void YReadWriteSection::leaveSection() { YCriticalSection::leaveSection(); }

void YReadWriteSection::enterSectionWrite() { enterSection(); }

void YReadWriteSection::leaveSectionWrite() { leaveSection(); }

void YReadWriteSection::enterSectionRead() {
    // Passing through the writer section makes a reader queue behind a waiting writer.
    YCriticalSection::enterSection();
    readerSection.enterSection();
    if (readerCount++ == 0) {
        readerDoneEvent.resetEvent();
    }
    readerSection.leaveSection();
    YCriticalSection::leaveSection();
#ifndef NDEBUG
    noteReadEntry(this);
#endif
}

void YReadWriteSection::leaveSectionRead() {
#ifndef NDEBUG
    noteReadExit(this);
#endif
    // The writer section is not taken: a writer waiting for the event holds it.
    readerSection.enterSection();
    // An exit without a reader inside is ignored, so the count cannot go negative and the
    // event keeps following the readers.
    if (readerCount > 0 && --readerCount == 0) {
        readerDoneEvent.signal();
    }
    readerSection.leaveSection();
}
