// YSynchronizedThread: a YThread with a start/stop protocol, whose run() calls runBody()
// in a loop for as long as it is running, all under a monitor.
#pragma once

#include <davro/primitives/CriticalSection.h>
#include <davro/thread/Thread.h>

// A worker thread that is started once and stopped from any thread.
//
// Override runBody() with one slice of work (nonzero: go on, 0: end) and call start().
// The thread's run() calls runBody() while the state is Running; stop() ends the loop
// after the slice under way; the destructor stops the thread and waits for its end. Every
// test and change of the state happens under `monitor`, a YCriticalSection named after
// the thread (name + ".monitor", or "YSynchronizedThread.monitor"), held through YGuard;
// suspend() takes it too, so the thread is never suspended while it holds the monitor and
// no other operation is ever blocked by a suspended thread.
//
// States: NotStarted (only then does start() work), Running, Stopping (stop() while
// running; the loop ends at its next test), Finished (the loop has ended, or stop() or
// finish() came first). Nothing returns to NotStarted: the object runs at most once.
//
// Ownership and copies: the object owns its thread handle and its monitor's handle; a copy
// duplicates both and copies the state, so it shares the monitor and can wait for the
// same thread, but its state is its own (a copy's destructor waits until the shared
// thread ends, so stop the original first).
//
// Destruction: the destructor stops and waits without limit (deadlock lines every ten
// minutes while the thread does not end). A class derived from this one should call
// stop() and waitThread() in its own destructor, so that the thread no longer calls the
// derived runBody() while the derived part is being destroyed.
//
// Failure: start() reports -1 both when it is refused (not NotStarted) and when the
// thread cannot be created; in the second case the state becomes Finished, so the object
// never runs and its destructor returns at once.
class DAVRO_API YSynchronizedThread : public YThread {
public:
    enum State { NotStarted = 0, Running = 1, Stopping = 2, Finished = 3 };

    YSynchronizedThread();
    YSynchronizedThread(const YString& name);  // NOLINT(google-explicit-constructor)
    YSynchronizedThread(const YSynchronizedThread& other);
    YSynchronizedThread& operator=(const YSynchronizedThread& other);
    ~YSynchronizedThread() override;

    // YThread::suspend() while holding the monitor: waits for the thread to leave the
    // monitor if it is inside. The suspend count before the call, or 0xFFFFFFFF.
    unsigned int suspend() override;

    // From NotStarted: sets Running and creates the thread (create(0)), holding the monitor
    // throughout, and returns 0; -1 in any other state, or when the thread could not be
    // created (the state is then Finished).
    virtual int start();

    // Running becomes Stopping, NotStarted becomes Finished; Stopping and Finished stay.
    // Does not wait: follow it with waitThread() to wait for the end.
    virtual void stop();

    // Sets Finished, from any state.
    virtual void finish();

    // 1 when the state is NotStarted (Running), else 0.
    virtual int isNotStarted();
    virtual int isRunning();

protected:
    // The loop: while isRunning() and runBody() is nonzero; then finish(); returns 0.
    int run() override;

    // One slice of work: nonzero asks for another. This one sleeps 100 ms, enters and
    // leaves the monitor, and returns 1.
    virtual int runBody();

    YCriticalSection monitor;
    int state;  // guarded by monitor
};
