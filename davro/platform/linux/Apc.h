// Asynchronous procedure calls: each thread's queue of them (in its ThreadRecord), the
// alertable waits that run them, and the waitable timers whose completion routines are
// queued as APCs (WaitableTimer.cpp). DESIGN.md, "APCs and alertable waits" and "Waitable
// timers", has the rules.
#pragma once

#include <davro/platform/Win32.h>

#include <atomic>
#include <cstdint>

#include "Futex.h"
#include "Locks.h"
#include "Object.h"

namespace davro::win32::detail {

struct NamedShared;
struct SharedRecord;
struct ThreadContext;
struct ThreadRecord;
struct WakeList;

// One queued call. A user APC is allocated by QueueUserAPC and freed once it has run or been
// dropped; a timer's is part of its TimerRecord and is never freed here. Everything but the
// two user fields is written under the queue's lock, so the thread that runs it copies it
// there without looking at the timer.
struct Apc {
    Apc* prev = nullptr;
    Apc* next = nullptr;
    PAPCFUNC routine = nullptr;  // user APC
    ULONG_PTR data = 0;
    bool ofTimer = false;  // a timer's completion routine, with what it is called with:
    PTIMERAPCROUTINE timerRoutine = nullptr;
    LPVOID timerArgument = nullptr;
    FILETIME firedAt{};
    bool queued = false;
};

// A thread's APCs, FIFO, and the timers whose completion routines it will run (so that its
// alertable waits wake when one of them is due). Everything under `lock`; `pending` mirrors
// "the list is not empty" for the lock-free look of a wait, set with a sequentially
// consistent store before the thread is nudged.
struct ApcQueue {
    SpinLock lock;
    Apc* head = nullptr;
    Apc* tail = nullptr;
    TimerRecord* timers = nullptr;  // armed timers with a completion routine for this thread
    std::uint32_t looks = 0;        // the thread's looks at `timers` (fireOwnTimers), never 0
    std::atomic<std::uint32_t> pending{0};
    bool closed = false;  // the thread has ended: nothing is queued any more
};

// The state of a waitable timer beside its object (Object::timer). Changed under the timer
// object's lock bit; `dueNs` and `absoluteTicks` are also read without it by waiters that
// compute their deadlines (a stale value only costs a wake-up: setters nudge the waiters).
struct TimerRecord {
    Object* object = nullptr;
    // The object's incarnation when the record was made. A thread's alertable waits fire
    // their timers without a reference (fireOwnTimers): read from the state word instead, the
    // incarnation of a timer whose last handle is being closed could be the bumped one,
    // which fireTimer would take for a live timer's while the record is freed.
    std::uint32_t incarnation = 0;
    // Monotonic due time in ns, kNoDeadline while the timer is not armed.
    std::atomic<std::int64_t> dueNs{kNoDeadline};
    // An absolute due time as a FILETIME count of the (scaled) system clock, 0 for a relative
    // one: recomputed into `dueNs` at each look, so that it follows changes of the clock.
    std::atomic<std::uint64_t> absoluteTicks{0};
    std::int64_t periodNs = 0;
    PTIMERAPCROUTINE routine = nullptr;
    LPVOID argument = nullptr;
    Object* apcThread = nullptr;  // the Thread object of the setter, referenced, with a routine
    Apc apc;                      // the completion routine when it is queued
    // Link in the setter's ApcQueue::timers (under that queue's lock).
    TimerRecord* prevOfThread = nullptr;
    TimerRecord* nextOfThread = nullptr;
    bool onThread = false;
    std::uint32_t look = 0;  // the look of that queue's thread that last took it (ApcQueue::looks)
    // A named timer's routine in this process: the due time as the record held it after the
    // set (or the last fire seen) and the set generation it belongs to. A due time moved on
    // under the same generation is a fire, made by whichever process looked first.
    std::int64_t namedDue = 0;
    std::uint32_t namedGen = 0;
};

// ---- Apc.cpp ----

// Queues `apc` to the thread of `record`; false when the thread has ended. If the thread is
// asleep in a wait, its status is moved back to waiting and it is added to `wakes` (or woken
// at once without them), so that an alertable wait looks again.
bool queueApc(ThreadRecord* record, Apc* apc, WakeList* wakes);
// Queues a timer's completion routine through its node `apc`, unless it is queued already
// (a periodic timer whose last call has not run yet: it runs once). As queueApc.
bool queueTimerApc(ThreadRecord* record, Apc* apc, PTIMERAPCROUTINE routine, LPVOID argument,
                   const FILETIME& firedAt, WakeList& wakes);
// Takes a timer's queued completion routine back off its thread's queue, if it is there.
void unqueueTimerApc(ThreadRecord* record, Apc* apc);
// Whether APCs wait for the thread of `c`.
bool apcPending(const ThreadContext* c);
// Runs the thread's APCs in order until none is left (those they queue included), outside
// every lock; true when any ran.
bool runApcs(ThreadContext* c);
// At the thread's end: closes its queue and drops what is queued.
void closeApcs(ThreadContext* c);

// ---- WaitableTimer.cpp ----

// Fires the timer object `o` if it is due: signalled, its waiters served, its due time moved
// on by its period or disarmed, its completion routine queued. Takes no reference: the
// incarnation is checked under the lock. `now`: monotonic ns, 0 to read the clock.
void fireTimer(Object* o, std::uint32_t incarnation, std::int64_t now = 0);
// When the timer of `o` must next be looked at, in monotonic ns (kNoDeadline: never). An
// absolute due time is looked at again at least every second, to follow the system clock.
std::int64_t timerWakeNs(const Object* o, std::int64_t now);
// The earliest wake time of the timers whose completion routines the thread of `c` runs,
// and firing those that are due (its alertable waits).
std::int64_t ownTimersWakeNs(ThreadContext* c, std::int64_t now);
void fireOwnTimers(ThreadContext* c);
// Named timers, whose record holds the due time and period: fires the timer if it is due,
// exactly once whichever processes look (the look that moves the due time on fires it);
// true when this look fired it. The caller keeps the record mapped.
bool fireNamedTimer(SharedRecord* rec, std::int64_t now = 0);
// When the named timer of `o` must next be looked at, as timerWakeNs.
std::int64_t namedTimerWakeNs(const Object* o, std::int64_t now);
// Kind-specific clean-up when the last reference to a timer goes (ObjectPool.cpp).
void destroyTimer(Object* o);
// The same for a named timer: drops this process's completion routine on it.
void dropNamedTimerRoutine(Object* o);
// Replaces this process's completion routine on a named timer by `fresh` (null: none), the
// registration of the set or cancel of generation `gen`, dropping the old one and its call
// not yet run; unless the old one belongs to a later set of this process, which stays while
// `fresh` is dropped.
void replaceNamedRoutine(NamedShared* shared, TimerRecord* fresh, std::uint32_t gen);
// Moves the threads sleeping in a wait queued on `o` (locked) back to waiting and adds them
// to `wakes`, so that they look at their objects again and recompute their deadlines.
void nudgeQueuedWaiters(Object* o, WakeList& wakes);

}  // namespace davro::win32::detail
