#include <davro/platform/detail/MutexQuery.h>
#include <davro/primitives/ReadWriteSection.h>

#include <atomic>
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

struct YReadWriteSection::ReaderCount::Shared {
    int count = 0;
    std::atomic<int> references{1};
};

YReadWriteSection::ReaderCount::ReaderCount() : shared_(new Shared) {}

YReadWriteSection::ReaderCount::ReaderCount(const ReaderCount& other) : shared_(other.shared_) {
    shared_->references.fetch_add(1, std::memory_order_relaxed);
}

// Safe for self-assignment: the new reference is taken before the old one is dropped.
// NOLINTNEXTLINE(bugprone-unhandled-self-assignment)
YReadWriteSection::ReaderCount& YReadWriteSection::ReaderCount::operator=(
    const ReaderCount& other) {
    other.shared_->references.fetch_add(1, std::memory_order_relaxed);
    Shared* old = shared_;
    shared_ = other.shared_;
    if (old->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete old;
    }
    return *this;
}

YReadWriteSection::ReaderCount::~ReaderCount() {
    if (shared_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete shared_;
    }
}

YReadWriteSection::ReaderCount::operator int() const {
    return __atomic_load_n(&shared_->count, __ATOMIC_SEQ_CST);
}

int& YReadWriteSection::ReaderCount::value() const { return shared_->count; }

YReadWriteSection::YReadWriteSection()
    : YCriticalSection(YString(L"ReadWriteSection.writerSection")),
      readerSection(YString(L"ReadWriteSection.readerSection")),
      readerDoneEvent(1, 1, YString(L"ReadWriteSection.readerDoneEvent")) {}

YReadWriteSection::YReadWriteSection(const YString& sectionName)
    : YCriticalSection(sectionName + L".writerSection"),
      readerSection(sectionName + L".readerSection"),
      readerDoneEvent(1, 1, sectionName + L".readerDoneEvent") {}

// Member-wise: each inner object duplicates its own handle, the count is shared.
YReadWriteSection::YReadWriteSection(const YReadWriteSection& other) = default;

YReadWriteSection& YReadWriteSection::operator=(const YReadWriteSection& other) = default;

YReadWriteSection::~YReadWriteSection() = default;

// The reader count is read and changed atomically; readers that find no other thread in
// the writer section pass by it and touch nothing else (one atomic add, one look at the
// writer section's mutex), and so does the last reader out unless a writer waits. The
// writer section, the reader lock and the event are used as before whenever a writer is
// about: a reader that finds the writer section held steps back and queues in it, a writer
// that finds readers inside waits for the event. A reader counts itself in before it looks
// at the writer section, and a writer takes the writer section before it looks at the
// count (both atomic read-modify-writes before a sequentially consistent look), so that
// whichever comes second sees the other.
namespace {

int readersIn(const int& count) { return __atomic_load_n(&count, __ATOMIC_SEQ_CST); }

void countIn(int& count) { __atomic_add_fetch(&count, 1, __ATOMIC_SEQ_CST); }

// Counts one reader out; false when none was inside (the exit is ignored), else sets
// `last` when it was the last.
bool countOut(int& count, bool& last) {
    int n = __atomic_load_n(&count, __ATOMIC_RELAXED);
    do {
        if (n <= 0) {
            return false;
        }
    } while (
        !__atomic_compare_exchange_n(&count, &n, n - 1, true, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED));
    last = n == 1;
    return true;
}

}  // namespace

void YReadWriteSection::enterSection() {
    // Checked before the writer section: a reader asking to write may already be stuck
    // there behind another writer that waits for this very read to end.
    assert(!isReadingOnThisThread(this) &&
           "YReadWriteSection: write entry from inside a read on the same thread deadlocks");
    // Qualified calls throughout: the virtual ones lead back into this class.
    YCriticalSection::enterSection();
    if (readersIn(readerCount.value()) != 0) {
        waitForReaders();
    }
}

void YReadWriteSection::waitForReaders() {
    // The event is reset under the reader lock and the count looked at after: the last
    // reader out sets it under the same lock after its count reached 0, so either this
    // sees 0 or the event is set after the reset.
    for (;;) {
        readerSection.enterSection();
        readerDoneEvent.resetEvent();
        readerSection.leaveSection();
        if (readersIn(readerCount.value()) == 0) {
            break;
        }
        readerDoneEvent.wait(INFINITE);  // under the watchdog, which names the event
    }
    readerDoneEvent.signal();  // set again: no reader is inside
}

void YReadWriteSection::leaveSection() { YCriticalSection::leaveSection(); }

void YReadWriteSection::enterSectionWrite() { enterSection(); }

void YReadWriteSection::leaveSectionWrite() { leaveSection(); }

void YReadWriteSection::enterSectionRead() {
    countIn(readerCount.value());
    if (davro::platform::mutexOwnedElsewhere(handle)) {
        // A writer is inside or waits for the readers: step back, and pass through the
        // writer section, which queues this reader behind it.
        leaveReadCount();
        YCriticalSection::enterSection();
        countIn(readerCount.value());
        YCriticalSection::leaveSection();
    }
#ifndef NDEBUG
    noteReadEntry(this);
#endif
}

void YReadWriteSection::leaveSectionRead() {
#ifndef NDEBUG
    noteReadExit(this);
#endif
    leaveReadCount();
}

void YReadWriteSection::leaveReadCount() {
    // An exit without a reader inside is ignored, so the count cannot go negative.
    bool last = false;
    if (countOut(readerCount.value(), last) && last &&
        davro::platform::mutexOwnedElsewhere(handle)) {
        // The last reader out, and a writer may be waiting for the event. The writer
        // section is not taken: a writer waiting for the event holds it.
        readerSection.enterSection();
        readerDoneEvent.signal();
        readerSection.leaveSection();
    }
}
