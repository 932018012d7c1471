// YThread: the library's abstract thread, with its start-up handshake, suspension,
// priorities and the waits for a thread's end.
#pragma once

#include <davro/core/SyncObject.h>

#include <atomic>

// One kernel thread that runs the derived class's run() once and ends with its result as
// the exit code.
//
// Derive, implement run(), call create(). create() returns only after the new thread has
// started and before it enters run(): with create(1) the thread stays suspended there until
// resume(); with any other value it goes on at once. The object is a waitable object whose
// handle is the thread's handle, but not publicly a YSyncObject: wait for the end with
// waitThread() or the static waitThreads(), not with lock() or a guard.
//
// Ownership: the object owns the thread handle of its last successful create() and closes
// it in the next create() or its destructor, never when the thread ends. The destructor
// neither waits for nor stops a running thread, so the object must outlive run() (see
// YSynchronizedThread, whose destructor waits). A copy duplicates the handle and copies
// the name and the thread id; it starts no thread, and the thread resets only its own
// object's id when run() returns.
//
// Thread safety: resume(), suspend(), waitThread(), getThreadId() and the priority
// setters may be called from any thread; create() must not race with other calls on the
// same object. getThreadId() is 0 before create(), after a failed one and from the moment
// run() has returned.
//
// Failure: create() returns 0 and leaves handle and id 0; resume() and suspend() on an
// object without a thread return 0xFFFFFFFF; the priority setters report nothing.
class DAVRO_API YThread : protected YSyncObject {
public:
    YThread();
    YThread(const YString& name);  // NOLINT(google-explicit-constructor)
    YThread(const YThread& other);
    YThread& operator=(const YThread& other);
    ~YThread() override;

    // Starts the thread and waits, at most `startTimeout` ms, for it to report that it has
    // started; if it does not, the thread is terminated (exit code 0) and 0 returned. Then,
    // when `createSuspended` is 1, suspends it before run(); returns 1. A previous thread's
    // handle is closed first, without waiting for or stopping that thread. Every thread
    // gets the default stack. A resume() that fails shows up as the start-up time-out.
    virtual int create(unsigned int startTimeout, int createSuspended);

    // As above without a start-up time-out; 0 also when the new thread cannot be resumed
    // (it is then left suspended, never run). Only `createSuspended` 1 holds the thread.
    virtual int create(int createSuspended);

    // ResumeThread / SuspendThread on the handle: the suspend count before the call, or
    // 0xFFFFFFFF (no thread, closed handle, thread that has ended for suspend()).
    // suspend() returns once the thread has stopped.
    virtual unsigned int resume();
    virtual unsigned int suspend();

    // Waits for the thread's end: -1 at once when called by the thread itself; 0 at once
    // when there is no thread or its run() has returned; otherwise the wait on the handle:
    // 0 ended, 258 timed out, -1 failed. INFINITE waits in ten-minute slices and writes a
    // deadlock line naming the thread for each one that expires.
    virtual int waitThread(unsigned int timeout);

    // The kernel id of the thread; 0 while there is none or once its run() has returned.
    virtual unsigned int getThreadId() const;

    // The calling thread's kernel id.
    static unsigned int getCurrentThreadId();

    // Sleeps the calling thread for `milliseconds`.
    static void sleep(int milliseconds);

    // Dispatches the calling thread's window messages until its queue is empty and
    // `timeout` ms have passed: 1 as soon as WM_QUIT is taken from the queue, else 0. A
    // timeout of 0 or less dispatches only what is queued and what arrives meanwhile.
    static int dispatchMessages(int timeout);

    // Waits for any (waitAll 0) or all of the threads in `threads` to end, in one kernel
    // wait without watchdog. Null entries, the calling thread's own object and threads
    // with id 0 are left out; 0 at once if none is left. Otherwise the result counts the
    // threads kept: 0 + i the i-th kept thread ended (or all did), 258 timed out, -1
    // failed (more than 64 kept).
    static int waitThreads(YThread* const* threads, int count, int waitAll, unsigned int timeout);

protected:
    // The thread's work; its result becomes the exit code.
    virtual int run() = 0;

    using YSyncObject::unlock;
    // Does nothing and returns 0: releasing a thread means nothing.
    int unlock() override;

    // SetThreadPriority on the handle with -15, -2, -1, 0, 1, 2 and 15; the result is
    // dropped. On Linux, levels above the thread's current one may not be honoured without
    // privileges (GetThreadPriority still reads the level back).
    void setIdlePriority();
    void setLowestPriority();
    void setBelowNormalPriority();
    void setNormalPriority();
    void setAboveNormalPriority();
    void setHighestPriority();
    void setTimeCriticalPriority();

private:
    int createThread(unsigned int startTimeout, bool timed, int createSuspended);
    static unsigned threadEntry(void* argument);

    std::atomic<unsigned int> threadId;
};
