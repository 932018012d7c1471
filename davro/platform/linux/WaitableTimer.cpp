// Waitable timers: CreateWaitableTimer*, SetWaitableTimer*, CancelWaitableTimer, and firing.
//
// A timer needs no thread. Its due time is part of its state; whoever looks at it at or after
// that time fires it through the ordinary signal path (fireTimer): signalled, handed to its
// queued waiters, its due time moved on by its period or disarmed, its completion routine
// queued to the thread that set it. Waiters take the due times of their timers into their
// sleep's deadline, a thread with completion routines takes theirs into its alertable waits,
// and setting a timer nudges its queued waiters so that they compute their deadlines anew.
// Lock order: the timer object's lock (and the all-lock before it) before a thread's APC
// queue lock; nothing takes an object lock while it holds an APC queue lock.
#include <davro/platform/Environment.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>

#include "Apc.h"
#include "HandleTable.h"
#include "NamedObject.h"
#include "NamedShared.h"
#include "StopScope.h"
#include "ThreadRecord.h"
#include "WaitQueue.h"

namespace davro::win32::detail {
namespace {

constexpr std::int64_t kNsPerTick = 100;  // a FILETIME tick
constexpr std::int64_t kNsPerMs = 1000000;
// How long a sleep that waits for an absolute due time may last before the due time is
// converted again, so that a change of the system clock is followed within that time.
constexpr std::int64_t kClockRecheckNs = 1000000000;
// Due times further off than this (about 228 years) are treated as this far: the
// arithmetic below stays inside 64 bits.
constexpr std::int64_t kFarTicks = std::int64_t{1} << 56;

std::int64_t scale() { return static_cast<std::int64_t>(davro::platform::timeScale()); }

std::uint64_t systemTicks() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

// The monotonic time at which the (scaled) system clock will read `ticks`, as of now.
std::int64_t monotonicAt(std::uint64_t ticks, std::int64_t now) {
    const auto diff = static_cast<std::int64_t>(ticks - systemTicks());
    return now + std::clamp(diff, -kFarTicks, kFarTicks) * kNsPerTick / scale();
}

// When the timer is due now, in monotonic ns; kNoDeadline when it is not armed.
std::int64_t dueNow(const TimerRecord* t, std::int64_t now) {
    // Sequentially consistent: a sleeper reads it after announcing its sleep with a seq_cst
    // exchange, and a set stores it (seq_cst) before it looks for sleepers to nudge, so either
    // the sleeper reads the new due time or the set finds it asleep. An acquire load could be
    // ordered before the announcement where acquire loads are weaker than that (RCpc).
    const std::int64_t due = t->dueNs.load(std::memory_order_seq_cst);
    if (due == kNoDeadline) {
        return kNoDeadline;
    }
    const std::uint64_t absolute = t->absoluteTicks.load(std::memory_order_acquire);
    return absolute != 0 ? monotonicAt(absolute, now) : due;
}

std::int64_t wakeFor(const TimerRecord* t, std::int64_t now) {
    const std::int64_t due = dueNow(t, now);
    if (due != kNoDeadline && t->absoluteTicks.load(std::memory_order_relaxed) != 0) {
        return std::min(due, now + kClockRecheckNs);
    }
    return due;
}

// The timers of a thread's APC queue with a completion routine: linked while armed.
void linkToThread(TimerRecord* t) {
    ApcQueue& q = recordOf(t->apcThread)->apcs;
    const SpinGuard guard(q.lock);
    if (!t->onThread) {
        t->prevOfThread = nullptr;
        t->nextOfThread = q.timers;
        if (q.timers != nullptr) {
            q.timers->prevOfThread = t;
        }
        q.timers = t;
        t->onThread = true;
        t->look = 0;  // a look of the thread it was linked to before means nothing here
    }
}

void unlinkFromThread(TimerRecord* t) {
    ApcQueue& q = recordOf(t->apcThread)->apcs;
    const SpinGuard guard(q.lock);
    if (t->onThread) {
        if (t->prevOfThread != nullptr) {
            t->prevOfThread->nextOfThread = t->nextOfThread;
        } else {
            q.timers = t->nextOfThread;
        }
        if (t->nextOfThread != nullptr) {
            t->nextOfThread->prevOfThread = t->prevOfThread;
        }
        t->prevOfThread = t->nextOfThread = nullptr;
        t->onThread = false;
    }
}

// Detaches the timer (locked) from the thread that runs its completion routine: its routine
// not yet run is dropped, as Windows drops it when a timer is set again or cancelled. Returns
// that thread's object, whose reference the caller drops once every lock is left.
Object* detachFromThread(TimerRecord* t) {
    Object* thread = t->apcThread;
    if (thread != nullptr) {
        unqueueTimerApc(recordOf(thread), &t->apc);
        unlinkFromThread(t);
        t->apcThread = nullptr;
    }
    t->routine = nullptr;
    t->argument = nullptr;
    return thread;
}

// Resolves a timer handle for a change: false with the last error set.
bool resolveTimer(HANDLE timer, Resolved& r) {
    if (!resolve(timer, r) || (!isTimerKind(r.kind) && !isNamedTimerKind(r.kind))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if ((r.access & kMayModify) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

}  // namespace

std::int64_t timerWakeNs(const Object* o, std::int64_t now) { return wakeFor(o->timer, now); }

// ---- Named timers ----
//
// The due time and period live in the record, where every process reads them: a waiter in
// any process takes the due time into its deadline and fires the timer when it looks at it
// after that time. Exactly one look fires each due time: the one whose compare-and-swap
// moves `due` on (to the next period, or disarmed); it then sets the counted word, as a
// manual event for a manual timer and as an auto event for a synchronization timer, so that
// one waiter is released per fire.

namespace {

// When the named timer's due time `d` (as the record keeps it) falls, in monotonic ns;
// kNoDeadline when disarmed.
std::int64_t namedDueNow(std::int64_t d, std::int64_t now) {
    if (d == kTimerDisarmed) {
        return kNoDeadline;
    }
    return d < 0 ? monotonicAt(~static_cast<std::uint64_t>(d), now) : d;
}

}  // namespace

bool fireNamedTimer(SharedRecord* rec, std::int64_t now) {
    std::int64_t d = rec->due.load(std::memory_order_acquire);
    if (d == kTimerDisarmed) {
        return false;
    }
    if (now == 0) {
        now = monotonicNs();
    }
    for (;;) {
        const std::int64_t due = namedDueNow(d, now);
        if (due == kNoDeadline || due > now) {
            return false;
        }
        const std::int64_t period = rec->periodNs.load(std::memory_order_acquire);
        std::int64_t next = kTimerDisarmed;
        if (period > 0) {
            // As for a timer of the process: whole periods from the first due time, the ones
            // nobody looked at skipped.
            next = due + period;
            if (next <= now) {
                next += ((now - next) / period + 1) * period;
            }
        }
        // A failure reloads `d`: another look fired this due time, or the timer was set
        // again meanwhile; look at what it holds now.
        if (rec->due.compare_exchange_weak(d, next, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            signalNamedTimer(rec);
            return true;
        }
    }
}

std::int64_t namedTimerWakeNs(const Object* o, std::int64_t now) {
    const std::int64_t d = o->named->record->due.load(std::memory_order_acquire);
    const std::int64_t due = namedDueNow(d, now);
    return due != kNoDeadline && d < 0 ? std::min(due, now + kClockRecheckNs) : due;
}

// ---- Completion routines on named timers ----
//
// The routine belongs to the thread that set the timer, in its own process: one registration
// per named timer per process (NamedShared::timer, the latest set by generation wins), a
// TimerRecord linked to the thread's APC queue as an unnamed timer's is. Its
// dueNs/absoluteTicks hold the due time that the set (or the last fire seen) left, so that
// the thread's alertable waits wake then even when another process fired the timer first; at
// that look the thread fires the timer if nobody did, and a due time moved on under the same
// set generation queues the routine. A set generation that moved drops the registration and
// its queued call.

namespace {

SpinLock gNamedRoutines;  // guards NamedShared::timer and the registrations' fields

// Unlinks and frees a registration (under gNamedRoutines); returns its thread's object,
// whose reference the caller drops once the lock is left.
Object* dropRegistration(TimerRecord* t) {
    Object* thread = detachFromThread(t);
    delete t;
    return thread;
}

}  // namespace

void replaceNamedRoutine(NamedShared* shared, TimerRecord* fresh, std::uint32_t gen) {
    Object* previous = nullptr;
    {
        const SpinGuard guard(gNamedRoutines);
        TimerRecord* current = shared->timer;
        // Two sets of this process may overlap: the one whose generation came later may
        // have registered first. Its registration stays, and the earlier set's goes.
        if (current != nullptr && static_cast<std::int32_t>(current->namedGen - gen) > 0) {
            previous = fresh != nullptr ? dropRegistration(fresh) : nullptr;
        } else {
            if (current != nullptr) {
                previous = dropRegistration(current);
            }
            shared->timer = fresh;
            if (fresh != nullptr) {
                linkToThread(fresh);
            }
        }
    }
    if (previous != nullptr) {
        release(previous);
    }
}

void dropNamedTimerRoutine(Object* o) {
    Object* previous = nullptr;
    {
        const SpinGuard guard(gNamedRoutines);
        NamedShared* shared = o->named;
        if (shared->timer != nullptr) {
            previous = dropRegistration(shared->timer);
            shared->timer = nullptr;
        }
    }
    if (previous != nullptr) {
        release(previous);
    }
}

namespace {

// The look of the setting thread at its named timer `o` (of incarnation `incarnation`).
void fireNamedOwn(Object* o, std::uint32_t incarnation, std::int64_t now) {
    Object* dropped = nullptr;
    WakeList wakes;
    {
        const SpinGuard guard(gNamedRoutines);
        if (incarnationOf(o) != incarnation ||
            !isNamedTimerKind(o->kind.load(std::memory_order_relaxed))) {
            return;
        }
        NamedShared* shared = o->named;
        TimerRecord* t = shared->timer;
        if (t == nullptr) {
            return;
        }
        SharedRecord* rec = shared->record;
        fireNamedTimer(rec, now);  // if nobody fired it yet, this look does
        const std::int64_t d = rec->due.load(std::memory_order_seq_cst);
        if (rec->setGen.load(std::memory_order_seq_cst) != t->namedGen) {
            shared->timer = nullptr;  // set again or cancelled, here or elsewhere
            dropped = dropRegistration(t);
        } else if (d != t->namedDue) {
            t->namedDue = d;
            FILETIME firedAt{};
            GetSystemTimeAsFileTime(&firedAt);
            queueTimerApc(recordOf(t->apcThread), &t->apc, t->routine, t->argument, firedAt, wakes);
            t->absoluteTicks.store(0, std::memory_order_relaxed);
            // Left linked when disarmed: while its call is queued, a set from another process
            // must still find it here to drop that call.
            t->dueNs.store(namedDueNow(d, now), std::memory_order_relaxed);
        }
    }
    wakes.flush();
    if (dropped != nullptr) {
        release(dropped);
    }
}

}  // namespace

void nudgeQueuedWaiters(Object* o, WakeList& wakes) {
    for (WaitEntry* e = o->head; e != nullptr; e = e->next) {
        std::uint32_t cur = kStatusSleeping;
        if (e->waiter->status.compare_exchange_strong(cur, kStatusWaiting,
                                                      std::memory_order_seq_cst)) {
            wakes.add(e->waiter);
        }
    }
}

void fireTimer(Object* o, std::uint32_t incarnation, std::int64_t now) {
    const NoStopScope noStop;
    changeIfAlive(o, incarnation, [&](std::uint64_t& s, bool haveAllLock, WakeList& wakes) {
        if (!isTimerKind(o->kind.load(std::memory_order_relaxed))) {
            return;
        }
        TimerRecord* t = o->timer;
        if (now == 0) {
            now = monotonicNs();
        }
        const std::int64_t due = dueNow(t, now);
        if (due != kNoDeadline && due <= now) {
            s |= word::kSignalled;
            if (t->periodNs > 0) {
                // Each period's due time follows from the first, so lateness does not add
                // up; periods that passed unobserved are skipped, not fired in a burst.
                std::int64_t next = due + t->periodNs;
                if (next <= now) {
                    next += ((now - next) / t->periodNs + 1) * t->periodNs;
                }
                t->dueNs.store(next, std::memory_order_release);
            } else {
                t->dueNs.store(kNoDeadline, std::memory_order_release);
            }
            t->absoluteTicks.store(0, std::memory_order_release);
            if (t->apcThread != nullptr) {
                FILETIME firedAt{};
                GetSystemTimeAsFileTime(&firedAt);
                queueTimerApc(recordOf(t->apcThread), &t->apc, t->routine, t->argument, firedAt,
                              wakes);
                if (t->periodNs == 0) {
                    unlinkFromThread(t);  // nothing more for the thread's waits to wake for
                }
            }
            satisfyWaiters(o, s, haveAllLock, wakes);
        }
    });
}

std::int64_t ownTimersWakeNs(ThreadContext* c, std::int64_t now) {
    ThreadRecord* r = c->record;
    if (r == nullptr) {
        return kNoDeadline;
    }
    ApcQueue& q = r->apcs;
    std::int64_t wake = kNoDeadline;
    const SpinGuard guard(q.lock);
    for (const TimerRecord* t = q.timers; t != nullptr; t = t->nextOfThread) {
        const std::int64_t w = wakeFor(t, now);
        if (w != kNoDeadline && (wake == kNoDeadline || w < wake)) {
            wake = w;
        }
    }
    return wake;
}

namespace {

// A new look of a thread at its timers with completion routines (fireOwnTimers): a number
// that no timer holds from an earlier look, never 0.
std::uint32_t newLook(ApcQueue& q) {
    const SpinGuard guard(q.lock);
    if (++q.looks == 0) {
        ++q.looks;
    }
    return q.looks;
}

}  // namespace

void fireOwnTimers(ThreadContext* c) {
    ThreadRecord* r = c->record;
    if (r == nullptr) {
        return;
    }
    ApcQueue& q = r->apcs;
    const std::uint32_t look = newLook(q);
    for (;;) {
        // Collected under the queue lock, fired after it (fireTimer takes the object lock):
        // the incarnation tells fireTimer whether the timer died meanwhile.
        constexpr int kBatch = 16;
        Object* due[kBatch];
        std::uint32_t incarnations[kBatch];
        int count = 0;
        bool more = false;
        const std::int64_t now = monotonicNs();
        {
            const SpinGuard guard(q.lock);
            for (TimerRecord* t = q.timers; t != nullptr; t = t->nextOfThread) {
                const std::int64_t d = dueNow(t, now);
                // A named timer's queued call is looked at too: a set made in another process
                // since it was queued drops it before it runs. Each timer once per look: a
                // fired timer's call stays queued, and a later batch must go past it.
                if (((d == kNoDeadline || d > now) && !t->apc.queued) || t->look == look) {
                    continue;
                }
                if (count == kBatch) {
                    more = true;
                    break;
                }
                t->look = look;
                due[count] = t->object;
                incarnations[count] = t->incarnation;
                ++count;
            }
        }
        for (int i = 0; i < count; ++i) {
            if (isNamedTimerKind(due[i]->kind.load(std::memory_order_relaxed))) {
                fireNamedOwn(due[i], incarnations[i], now);
            } else {
                fireTimer(due[i], incarnations[i], now);
            }
        }
        if (!more) {
            return;
        }
    }
}

void destroyTimer(Object* o) {
    TimerRecord* t = o->timer;
    Object* thread = detachFromThread(t);
    delete t;
    o->timer = nullptr;
    if (thread != nullptr) {
        release(thread);
    }
}

}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;

HANDLE CreateWaitableTimerExW(LPSECURITY_ATTRIBUTES /*attributes*/, LPCWSTR name, DWORD flags,
                              DWORD desiredAccess) {
    const NoStopScope noStop;
    const bool manual = (flags & CREATE_WAITABLE_TIMER_MANUAL_RESET) != 0;
    if (name != nullptr && *name != L'\0') {
        // Either kind joins a timer of that name, as on Windows, with the rights asked for.
        return createNamed(
            name,
            NamedCreation{manual ? NamedKind::ManualTimer : NamedKind::AutoTimer, FALSE, 0, 0},
            desiredAccess);
    }
    const Kind kind =
        (flags & CREATE_WAITABLE_TIMER_MANUAL_RESET) != 0 ? Kind::ManualTimer : Kind::AutoTimer;
    auto* t = new (std::nothrow) TimerRecord;
    Object* o = t != nullptr ? newObject(kind, 0) : nullptr;
    HANDLE h = nullptr;
    if (o != nullptr) {
        t->object = o;
        t->incarnation = incarnationOf(o);
        o->timer = t;  // before any handle can reach the object
        h = newHandle(o, accessFor(kind, desiredAccess));
        if (h == nullptr) {
            release(o);  // frees the record too
        }
    } else {
        delete t;
    }
    if (h == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

HANDLE CreateWaitableTimerW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, LPCWSTR name) {
    return CreateWaitableTimerExW(
        attributes, name, manualReset ? CREATE_WAITABLE_TIMER_MANUAL_RESET : 0, TIMER_ALL_ACCESS);
}

HANDLE OpenWaitableTimerW(DWORD desiredAccess, BOOL /*inheritHandle*/, LPCWSTR name) {
    if (name == nullptr || *name == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const NoStopScope noStop;
    return openNamed(name, kTimerFamily, desiredAccess);
}

namespace {

// A relative due time (negative, in 100 ns units) in ns of the monotonic clock.
std::int64_t relativeNs(LONGLONG due) {
    return (due < -kFarTicks ? kFarTicks : -due) * kNsPerTick / scale();
}

std::int64_t periodNsOf(LONG period) {
    return period == 0 ? 0
                       : std::max<std::int64_t>(1000, std::int64_t{period} * kNsPerMs / scale());
}

// Runs change(object, state, wakes) on the in-process timer of `r` under its object lock, and
// then hands out and wakes; FALSE with ERROR_INVALID_HANDLE, and nothing changed, when the
// handle has died meanwhile.
template <class Change>
BOOL changeTimer(const Resolved& r, Change change) {
    Object* o = r.object;
    if (!changeIfAlive(o, r.incarnation,
                       [&](std::uint64_t& s, bool, WakeList& wakes) { change(o, s, wakes); })) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// SetWaitableTimer on a named timer: the due time and period go to its record, the completion
// routine to this process's registration for it.
BOOL setNamed(const Resolved& r, LONGLONG due, LONG period, PTIMERAPCROUTINE routine,
              LPVOID argument, BOOL resume) {
    const NoStopScope noStop;
    Object* thread = nullptr;
    TimerRecord* fresh = nullptr;
    if (routine != nullptr) {
        thread = currentThreadObject();  // the routine runs on the thread that sets the timer
        fresh = thread != nullptr ? new (std::nothrow) TimerRecord : nullptr;
        if (fresh == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        addRef(thread);
    }
    // An absolute due time is kept as such, complemented, so that every look converts it.
    const std::int64_t shared = due >= 0
                                    ? static_cast<std::int64_t>(~static_cast<std::uint64_t>(due))
                                    : monotonicNs() + relativeNs(due);
    std::uint32_t gen = 0;
    if (setNamedTimer(r, shared, periodNsOf(period), &gen) == FALSE) {
        delete fresh;
        if (thread != nullptr) {
            release(thread);
        }
        return FALSE;
    }
    if (fresh != nullptr) {
        fresh->object = r.object;
        fresh->incarnation = r.incarnation;
        fresh->routine = routine;
        fresh->argument = argument;
        fresh->apcThread = thread;
        fresh->namedDue = shared;
        fresh->namedGen = gen;
        fresh->absoluteTicks.store(due >= 0 ? static_cast<std::uint64_t>(due) : 0,
                                   std::memory_order_relaxed);
        fresh->dueNs.store(due >= 0 ? 0 : shared, std::memory_order_relaxed);
    }
    replaceNamedRoutine(r.object->named, fresh, gen);
    if (resume != FALSE) {
        SetLastError(ERROR_NOT_SUPPORTED);  // set, but nothing wakes a suspended system here
    }
    return TRUE;
}

}  // namespace

BOOL SetWaitableTimer(HANDLE timer, const LARGE_INTEGER* dueTime, LONG period,
                      PTIMERAPCROUTINE completionRoutine, LPVOID argument, BOOL resume) {
    if (dueTime == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (period < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Resolved r{};
    if (!resolveTimer(timer, r)) {
        return FALSE;
    }
    if (isNamedTimerKind(r.kind)) {
        return setNamed(r, dueTime->QuadPart, period, completionRoutine, argument, resume);
    }
    const NoStopScope noStop;
    Object* thread = nullptr;
    if (completionRoutine != nullptr) {
        thread = currentThreadObject();  // the routine runs on the thread that sets the timer
        if (thread == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        addRef(thread);
    }
    // Negative: relative, in 100 ns units; otherwise an absolute UTC FILETIME.
    const std::int64_t now = monotonicNs();
    const LONGLONG due = dueTime->QuadPart;
    const std::uint64_t absolute = due >= 0 ? static_cast<std::uint64_t>(due) : 0;
    const std::int64_t dueNs = due >= 0 ? monotonicAt(absolute, now) : now + relativeNs(due);
    const std::int64_t periodNs = periodNsOf(period);

    Object* previous = nullptr;
    const BOOL alive = changeTimer(r, [&](Object* o, std::uint64_t& s, WakeList& wakes) {
        TimerRecord* t = o->timer;
        previous = detachFromThread(t);
        s &= ~word::kSignalled;  // setting a timer makes it not signalled
        t->periodNs = periodNs;
        t->absoluteTicks.store(absolute, std::memory_order_release);
        t->dueNs.store(absolute == 0 && due >= 0 ? now : dueNs, std::memory_order_seq_cst);
        if (thread != nullptr) {
            t->routine = completionRoutine;
            t->argument = argument;
            t->apcThread = thread;
            linkToThread(t);
        }
        // Sleepers queued on the timer compute their deadlines again (they read the due
        // time after announcing their sleep, which this nudge then finds).
        nudgeQueuedWaiters(o, wakes);
    });
    if (!alive) {
        if (thread != nullptr) {
            release(thread);
        }
        return FALSE;
    }
    if (previous != nullptr) {
        release(previous);
    }
    if (resume != FALSE) {
        SetLastError(ERROR_NOT_SUPPORTED);  // set, but nothing wakes a suspended system here
    }
    return TRUE;
}

BOOL SetWaitableTimerEx(HANDLE timer, const LARGE_INTEGER* dueTime, LONG period,
                        PTIMERAPCROUTINE completionRoutine, LPVOID argument,
                        PREASON_CONTEXT /*wakeContext*/, ULONG /*tolerableDelay*/) {
    // No power management and no coalescing: the wake context is accepted and not used, and
    // the timer fires as promptly as a timer without a tolerable delay.
    return SetWaitableTimer(timer, dueTime, period, completionRoutine, argument, FALSE);
}

BOOL CancelWaitableTimer(HANDLE timer) {
    Resolved r{};
    if (!resolveTimer(timer, r)) {
        return FALSE;
    }
    const NoStopScope noStop;
    if (isNamedTimerKind(r.kind)) {
        std::uint32_t gen = 0;
        if (setNamedTimer(r, kTimerDisarmed, 0, &gen) == FALSE) {  // its signalled state stays
            return FALSE;
        }
        replaceNamedRoutine(r.object->named, nullptr, gen);
        return TRUE;
    }
    Object* previous = nullptr;
    const BOOL alive = changeTimer(r, [&](Object* o, std::uint64_t& /*s*/, WakeList& /*wakes*/) {
        TimerRecord* t = o->timer;
        t->dueNs.store(kNoDeadline, std::memory_order_release);
        t->absoluteTicks.store(0, std::memory_order_release);
        t->periodNs = 0;
        previous = detachFromThread(t);  // its signalled state stays as it is
    });
    if (previous != nullptr) {
        release(previous);
    }
    return alive;
}

}  // namespace davro::win32
