// YCondition: a condition variable built from two auto-reset events and a section, that
// may be tied to a lock of the caller's.
#pragma once

#include <davro/primitives/CriticalSection.h>
#include <davro/primitives/Event.h>

// Threads wait() until another thread wakes one of them (signal()) or all of them
// (signalAll()).
//
// Tied to an external lock (any YSyncObject: a section, a mutex...), wait() is called
// with that lock held; it releases the lock (its virtual unlock()) while the thread is
// blocked and takes it again (its virtual lock(INFINITE)) before it returns, also after a
// time-out. signal() and signalAll() may be called with or without the external lock held.
// As with any condition variable, waiters re-check their predicate in a loop: a wait may
// also return 0 because a broadcast was in progress, and two signal() calls that find two
// waiters both still on their way into the kernel wait can merge into one wake-up.
//
// Kept signals: with keepSignals non-zero, a signal() that finds nobody waiting is
// counted, and later waits consume those counts and return 0 at once (keeping the
// external lock throughout). A broadcast that finds nobody waiting is never kept.
//
// Broadcasts release every registered waiter. An auto-reset event set several times
// while nobody is blocked on it holds a single signal, so a waiter that registered but had
// not yet begun its kernel wait when signalAll() set the event could miss the broadcast,
// and signalAll(), which waits for the last waiter to leave, would then wait forever.
// Here every waiter that a broadcast wakes sets the event again while registered waiters
// remain, so the signal is handed on until each of them has had one; the last waiter of a
// broadcast clears the event again, so no stale signal outlives the broadcast. A
// signalAll() that finds another broadcast in progress returns at once: that broadcast
// already releases every registered waiter, and nobody can register until it ends.
//
// Display names: tied to a lock whose display name L is not empty, the inner objects are
// named L + ".event", L + ".waitersDone" and L + ".waitersLock" for the deadlock log;
// otherwise their names stay empty.
//
// Ownership and copies: the condition owns its events and section and never owns the
// external lock, which must outlive it. A copy duplicates the inner handles (each object
// closes its own) and copies the counters, the external lock pointer and keepSignals;
// copy and source then share the kernel objects but not the counters, so copy only a
// condition that nobody waits on, and use one of the two afterwards.
//
// Thread safety: wait, signal and signalAll may be called from any thread at once. The
// lock order is the external lock before the inner section. Failures show only as wait
// results.
class DAVRO_API YCondition {
public:
    // `keep` non-zero keeps the signals that find nobody waiting (see above).
    explicit YCondition(int keep = 0);
    explicit YCondition(YSyncObject& lock, int keep = 0);
    // `lock` may be null: the condition then has no external lock.
    explicit YCondition(YSyncObject* lock, int keep = 0);
    YCondition(const YCondition& other);
    YCondition& operator=(const YCondition& other);
    // Neither unlocks nor destroys the external lock.
    virtual ~YCondition();

    // Waits until signalled or until `timeout` ms have passed, releasing the external
    // lock meanwhile and holding it again on return. Returns 0 when signalled, when a
    // kept signal was taken or when a broadcast was in progress (the last two at once,
    // without releasing the external lock); otherwise the result of the event wait: 258
    // timed out, -1 failed. INFINITE runs under the deadlock watchdog and never returns
    // 258.
    virtual int wait(unsigned int timeout);

    // Wakes one registered waiter; with nobody waiting, counts a kept signal when
    // keepSignals is non-zero and does nothing otherwise. Never blocks for long.
    virtual void signal();

    // Wakes every registered waiter and returns once the last of them has deregistered,
    // before they take the external lock again (so a caller may hold that lock). With
    // nobody waiting it returns at once and keeps nothing.
    virtual void signalAll();

protected:
    YEventObject event;            // auto reset; waiters block on it
    YEventObject waitersDone;      // auto reset; set by the last waiter of a broadcast
    YCriticalSection waitersLock;  // guards the three counters below
    int waiters;                   // registered waiters
    int pendingSignals;            // kept signals
    int broadcasting;              // 1 while signalAll() runs
    YSyncObject* externalLock;     // the caller's lock or null; not owned
    int keepSignals;               // non-zero: keep signals that find nobody waiting
};
