// YReadWriteSection: a section that many threads may hold for reading at once while a
// writer holds it alone.
#pragma once

#include <davro/primitives/CriticalSection.h>
#include <davro/primitives/Event.h>

// Shared reading, exclusive writing, with writers preferred.
//
// Readers call enterSectionRead()/leaveSectionRead() (or use YReadGuard); writers call
// enterSectionWrite()/leaveSectionWrite(). Every plain use as a lock (lock, unlock, wait,
// signal, YGuard, YUnGuard) takes the WRITE side, because the section's enterSection() and
// leaveSection() are the write entry and exit. The section's own mutex is the writer
// section: a writer keeps it while it waits for the readers inside to leave, so readers
// that come after a waiting writer wait behind it and a stream of readers cannot starve a
// writer. All waits are without time limit, under the deadlock watchdog; a deadlock line
// names the inner object a thread was stuck on. The inherited dispatchLock() waits for
// the writer section's mutex alone: it keeps new readers and writers out but does not
// wait for the readers already inside.
//
// Cost: a reader that finds no other thread in the writer section counts itself in and out
// with one atomic operation each and touches no inner object; only when a writer is about
// (inside, or waiting for readers to leave) do readers pass through the writer section,
// and the last reader out set the event for the waiting writer. The event is reset exactly
// while a writer waits for the readers inside to leave, and set otherwise.
//
// Display names: constructed with name N, the section is N + ".writerSection", its reader
// lock N + ".readerSection", its event N + ".readerDoneEvent"; the default constructor
// uses "ReadWriteSection" for N. getName() therefore ends in ".writerSection".
//
// Re-entry: a writer may enter write mode again and may enter and leave read mode inside
// its write section; each entry needs its own exit. Upgrading is not supported: a thread
// that asks for write mode while it is in read mode on the same section waits for its own
// read to end and deadlocks (the watchdog then names the ".readerDoneEvent"). Builds
// without NDEBUG detect the attempt and fail an assert instead; for that they keep a
// per-thread record of read entries, so there a read must be left on the thread that
// entered it.
//
// Unbalanced read exits: a read exit that finds no reader inside is ignored, so the count
// never goes below 0. An extra exit while other readers are
// inside cannot be told apart from theirs; keep entries and exits paired (YReadGuard).
//
// Copies duplicate all three handles (each object closes its own) and share the reader
// count: copy and source are one section, and readers and writers may use any of them.
//
// Thread safety: every operation may be called from any thread at once; the lock order
// is the writer section before the reader lock. Failures are not reported.
class DAVRO_API YReadWriteSection : public YCriticalSection {
public:
    YReadWriteSection();
    YReadWriteSection(const YString& sectionName);  // NOLINT(google-explicit-constructor)
    YReadWriteSection(const YReadWriteSection& other);
    YReadWriteSection& operator=(const YReadWriteSection& other);
    ~YReadWriteSection() override;

    // Write entry: enters the writer section, then waits until no reader is inside.
    // Returns owning the section in write mode. Blocks without time limit.
    void enterSection() override;

    // Write exit: releases one write entry of the calling thread; nothing when the caller
    // is not in write mode.
    void leaveSection() override;

    // Second names of enterSection() and leaveSection() (called through the virtual table).
    virtual void enterSectionWrite();
    virtual void leaveSectionWrite();

    // Read entry: waits while a writer is inside or waiting, then counts the caller in.
    // Blocks without time limit; never waits for other readers.
    virtual void enterSectionRead();

    // Read exit: counts the caller out and, for the last reader, lets a waiting writer
    // in. Never blocks on the writer section. Ignored when no reader is inside.
    virtual void leaveSectionRead();

    // The number of threads inside in read mode, kept once for a section and all its copies
    // and changed atomically. Reads as an int. Made with the section (std::bad_alloc when
    // memory is short, as every allocation of the library); copies share it.
    class DAVRO_API ReaderCount {
    public:
        ReaderCount();
        ReaderCount(const ReaderCount& other);
        ReaderCount& operator=(const ReaderCount& other);
        ~ReaderCount();
        operator int() const;  // NOLINT(google-explicit-constructor)
        // The shared count itself, for atomic access.
        int& value() const;

    private:
        struct Shared;
        Shared* shared_;
    };

protected:
    YCriticalSection readerSection;  // orders the changes of the event
    YEventObject readerDoneEvent;    // manual reset; reset while a writer waits for readers
    ReaderCount readerCount;         // threads inside in read mode

private:
    void waitForReaders();
    void leaveReadCount();
};
