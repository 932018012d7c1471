// YSyncObject: the abstract base of every waitable object of the library, and the
// deadlock log that its endless waits write to.
#pragma once

#include <davro/Export.h>
#include <davro/platform/Win32.h>
#include <davro/string/String.h>

// A kernel object handle and a display name, with the library's waiting rules.
//
// A finite wait is one kernel wait whose result is returned unchanged. A wait with
// INFINITE is a series of ten-minute kernel waits: each one that expires writes a line
// naming the object to the deadlock log "c:/deadlock.out" (rewritten for every line), and
// the wait goes on. Derived classes create their kernel object in their constructor, store
// its handle in `handle` (0 when creation failed) and implement unlock().
//
// Ownership and copies: the object owns its handle and closes it when destroyed. A copy
// duplicates the handle (DuplicateHandle), so source and copy each own and close a handle
// of their own that refers to the same kernel object; assignment closes the handle the
// target held before. A handle of 0 is copied as 0.
//
// Thread safety: any number of threads may wait on and release one object at once; the
// kernel object decides. setName() must not race with other uses of the object.
//
// Failure: a handle of 0 (creation failed) makes every wait return -1 at once, INFINITE
// included, and writes no deadlock line. Nothing is thrown.
class DAVRO_API YSyncObject {
public:
    YSyncObject();
    YSyncObject(const YString& name);  // NOLINT(google-explicit-constructor)
    YSyncObject(const YSyncObject& other);
    YSyncObject& operator=(const YSyncObject& other);
    virtual ~YSyncObject();

    // Waits for the object and returns the kernel's wait result: 0 signalled or acquired,
    // 0x80 an abandoned mutex acquired, 258 timed out, -1 failed. `timeout` is in ms;
    // INFINITE waits in ten-minute slices and writes a deadlock line for each slice that
    // expires ("YSyncObject: <name> Count: <n> timed out at: <time> (<ms>)", n from 0), so
    // it never returns 258. A time-out of 0 polls.
    virtual int lock(unsigned int timeout);

    // As lock(), but the calling thread's window messages are dispatched while it waits:
    // each time input arrives the queue is emptied and the wait resumes for the time left,
    // with one last poll when no time is left. Same results as lock(); a WM_QUIT met in the
    // queue is removed and dropped. INFINITE runs in ten-minute pieces with the same
    // deadlock lines. Call it on the thread whose windows must stay served.
    virtual int dispatchLock(unsigned int timeout);

    // Ignores both arguments and returns unlock().
    virtual int unlock(long count, long* previous);

    // Releases or signals the object; the result is each class's own.
    virtual int unlock() = 0;

    // Returns unlock(long, long*) with the same arguments, that is unlock().
    virtual int signal(long count, long* previous);

    // Second names: wait() is lock(), signal() is unlock(), dispatchWait() is
    // dispatchLock(), each called through the virtual table.
    int wait(unsigned int timeout);
    int signal();
    int dispatchWait(unsigned int timeout);

    const YString& getName() const;
    void setName(const YString& name);

    // Waits for any (waitAll 0) or all (waitAll nonzero) of `count` objects in one kernel
    // wait, without watchdog. Returns 0 at once for count 0; -1 at once, before any wait,
    // when an entry is null or has no handle; otherwise the kernel's result: 0 + i the
    // lowest signalled position (wait-any) or all signalled (wait-all), 0x80 + i an
    // abandoned mutex among them, 258 timed out, -1 failed (more than 64 objects, one
    // listed twice). A negative count throws std::bad_alloc, as any failed allocation.
    static int lockMultiple(YSyncObject* const* objects, int count, int waitAll,
                            unsigned int timeout);
    static int waitMultiple(YSyncObject* const* objects, int count, int waitAll,
                            unsigned int timeout);

protected:
    // Writes one line, "YSyncObject: " + message + " timed out at: " + the local time +
    // " (" + its milliseconds + ")", to the deadlock log, replacing what it held. Reports
    // of all threads are serialised. Never blocks on the log: one that is not a regular
    // file (a FIFO, a symbolic link, a directory) or cannot be written loses the line. Only
    // a failed allocation can throw, and the log lock is released on that path too. With
    // DAVRO_WAIT_CHAIN_LOG set, the calling thread's wait chain is written to that file
    // too, once the thread waits again (docs/deadlocks.md).
    static void reportDeadlock(const YString& message);

    davro::win32::HANDLE handle;
    YString name;

private:
    // lock() past its lock-free attempt: the kernel wait, in watchdog slices for INFINITE.
    static int lockSlowly(const YSyncObject& object, unsigned int timeout);
};
