// YCriticalSection: the library's section lock, a recursive kernel mutex whose lock and
// unlock go through the overridable enterSection() and leaveSection().
#pragma once

#include <davro/primitives/Mutex.h>

// A section that one thread owns at a time; the owner may enter again and leaves once per
// entry.
//
// Use enterSection()/leaveSection(), or lock()/unlock() and their second names wait() and
// signal(), which route through the two virtual operations: a subclass that redefines
// entering and leaving (YReadWriteSection) thereby redefines every plain use of the
// object as a lock, the scope guards included. lock() waits without time limit whatever
// its time-out says, under the deadlock watchdog, and always returns 0; unlock() always
// returns 1. The inherited dispatchLock() bypasses the section: it waits on the kernel
// mutex itself, honours its time-out (258) and pumps window messages meanwhile. Being a
// kernel mutex, the section can also be given to the waits on several objects.
//
// The name is a display name for the deadlock log only. Copies duplicate the handle (see
// YSyncObject): both objects then enter the same section, and each closes its own handle.
//
// Failure shows nowhere: a section whose mutex could not be created (handle 0) is
// "entered" at once and protects nothing; an abandoned section (its owner thread ended
// inside) counts as entered; leaving a section that the caller does not own changes
// nothing.
class DAVRO_API YCriticalSection : public YMutex {
public:
    YCriticalSection();
    YCriticalSection(const YString& sectionName);  // NOLINT(google-explicit-constructor)
    YCriticalSection(const YCriticalSection& other);
    YCriticalSection& operator=(const YCriticalSection& other);
    ~YCriticalSection() override;

    // Enters the section through the virtual enterSection() and returns 0. `timeout` is
    // not used: the call waits until the section is entered, 0 included, and never
    // reports a time-out.
    int lock(unsigned int timeout) override;

    using YMutex::unlock;
    // Leaves the section through the virtual leaveSection() and returns 1, also when the
    // caller did not own it.
    int unlock() override;

    // Waits without time limit until the calling thread owns the section (the base's
    // lock(INFINITE), so under the deadlock watchdog); the wait result is dropped.
    virtual void enterSection();

    // Releases one entry of the calling thread (the mutex release); a caller that does
    // not own the section changes nothing.
    virtual void leaveSection();
};
