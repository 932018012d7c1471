// The wait engine: the lock-free attempt that most waits end with, and the blocking wait
// behind WaitForSingleObject, WaitForMultipleObjects and MsgWaitForMultipleObjects.
//
// A blocked thread queues one WaitEntry per object, spins briefly on its own status word,
// then sleeps on it with an absolute deadline; whoever satisfies the wait claims the status
// with one compare-and-swap. DESIGN.md, "Waiting and waking", has the whole picture.
#pragma once

#include <cstdint>

#include "Futex.h"
#include "HandleTable.h"
#include "Object.h"
#include "Spinning.h"
#include "ThreadContext.h"

namespace davro::win32::detail {

// Outcome of one lock-free attempt. TakenNew: a mutex that the caller did not own before
// (it goes on the owned list).
enum class Fast { Taken, TakenNew, Abandoned, NotSignalled, Stale };

// One attempt to take a resolved object without locking it (waiting out a signaller that
// holds the lock bit). Inlined: it is most of an uncontended wait.
__attribute__((always_inline)) inline Fast tryTake(const Resolved& r, std::uint32_t tid) {
    Object* o = r.object;
    std::uint64_t s = o->state.load(std::memory_order_acquire);
    for (unsigned n = 0;;) {
        if (word::incarnation(s) != r.incarnation) {
            return Fast::Stale;
        }
        if (!signalledFor(r.kind, s, tid)) {
            return Fast::NotSignalled;
        }
        if (r.kind == Kind::ManualEvent || r.kind == Kind::Thread || r.kind == Kind::ManualTimer) {
            return Fast::Taken;  // nothing to consume
        }
        if (r.kind == Kind::Mutex && word::ownerOf(s) == tid) {
            if (o->recursion == 0x7FFFFFFF) {
                return Fast::NotSignalled;  // Windows' recursion limit
            }
            ++o->recursion;  // we own it: nobody else touches the count
            return Fast::Taken;
        }
        if ((s & word::kLock) != 0) {
            backoff(n);
            s = o->state.load(std::memory_order_acquire);
            continue;
        }
        bool abandoned = false;
        const std::uint64_t next = takenState(r.kind, s, tid, abandoned);
        if (o->state.compare_exchange_weak(s, next, std::memory_order_acquire,
                                           std::memory_order_acquire)) {
            if (r.kind == Kind::Mutex) {
                o->recursion = 1;
                return abandoned ? Fast::Abandoned : Fast::TakenNew;
            }
            return Fast::Taken;
        }
    }
}

// SignalObjectAndWait's signal: given by the blocking wait once the waiter is queued on its
// objects (whether or not that decided the wait), exactly once; `give` returns false with
// the last error set when the signal could not be given.
struct WaitSignal {
    bool (*give)(const void* context);
    const void* context;
};

// The blocking part of every wait: `objs` are referenced by the caller, `n` may be 0 (a
// message wait with no handles, or SleepEx), `inputMask` is MsgWaitForMultipleObjects' wake
// mask or 0. With `signal`, a wait whose signal fails ends with WAIT_FAILED unless it was
// already decided. An alertable wait (ThreadContext::alertable) ends with WAIT_IO_COMPLETION
// when APCs are pending and nothing else decided it; the caller runs them (alertableWait).
// Returns the wait result and records new ownerships. Runs inside the caller's NoStopScope.
DWORD waitBlocking(ThreadContext* c, Object* const* objs, std::uint32_t n, bool all,
                   std::int64_t deadline, DWORD inputMask, const WaitSignal* signal = nullptr);

// Runs `wait(context)` as an alertable wait of the calling thread: its timers with completion
// routines that are due are fired first; a wait that ends with WAIT_IO_COMPLETION, or times
// out with APCs pending, runs them outside every lock and returns WAIT_IO_COMPLETION. The
// caller must not be inside a NoStopScope: the APCs run as ordinary code.
DWORD alertableWait(DWORD (*wait)(ThreadContext* c, const void* arg), const void* arg);
template <typename Wait>
DWORD alertableWait(Wait wait) {
    return alertableWait(
        [](ThreadContext* c, const void* arg) -> DWORD {
            return (*static_cast<const Wait*>(arg))(c);
        },
        &wait);
}

// Fires the timers among `objs` that are due (a wait is about to look at them).
void fireDueTimers(Object* const* objs, std::uint32_t n);

// When the sleep of a wait of `c` over `objs` must end: `deadline`, or earlier when a timer
// among them (`hasTimer`), or for an alertable wait one whose completion routine the thread
// runs, must be fired then. Read after the sleep is announced, so that a timer set after this
// look nudges the sleeper. Lowers the thread's timer slack at its first wait for a timer.
std::int64_t sleepDeadline(ThreadContext* c, Object* const* objs, std::uint32_t n,
                           std::int64_t deadline, bool hasTimer);

// A wait-all with a time-out of 0: one attempt to take all of `objs` at once, recorded as
// waitBlocking records its result; WAIT_TIMEOUT when they are not all signalled. Runs
// inside the caller's NoStopScope.
DWORD pollAll(ThreadContext* c, Object* const* objs, std::uint32_t n);

// Every multi-object wait (WaitMultiple.cpp). `messages` for MsgWaitForMultipleObjects (at
// most 63 handles, and input of `inputMask` ends the wait with WAIT_OBJECT_0 + count).
DWORD waitMultiple(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds,
                   bool messages, DWORD inputMask);

// Checks the handles of a multi-object wait without touching the objects: ERROR_SUCCESS, or
// ERROR_INVALID_HANDLE for a bad handle or a pseudo-handle (Windows refuses those in the
// array), ERROR_ACCESS_DENIED for one that may not be waited on, ERROR_INVALID_PARAMETER for
// an object listed twice in a wait-all.
DWORD checkWaitHandles(DWORD count, const HANDLE* handles, bool waitAll);

// WaitForSingleObject past a first attempt that found the object not signalled, for a
// time-out other than 0: the checks again, then the blocking wait (KernelObjects.cpp).
DWORD waitAfterFirstTry(HANDLE object, DWORD milliseconds);

// Sets the last error and returns WAIT_FAILED.
DWORD failWith(DWORD error);

// For a thread stopped in the sleep of a blocking wait (Suspend.cpp, Threads.cpp): a
// suspended thread leaves its wait while it is stopped, as on Windows: withdrawWait makes
// it unclaimable (false if the wait was decided already) and passes on a retry request it
// has not answered; rejoinWait, once it is resumed, makes it claimable again, takes what
// became signalled meanwhile and queues again where a release took its entries off. A
// terminated thread's wait is finished by abandonWait: it fails unless it had been
// satisfied already (a mutex handed over is then recorded as owned, to be abandoned), its
// entries are removed and the references its caller held are dropped. All run on the
// thread itself.
// abandonWait also serves a forked child, for the threads that do not exist there
// (`ghost`): their waits on named objects, and what they took of them, stay the parent's.
bool withdrawWait(ThreadContext* c);
void rejoinWait(ThreadContext* c);
void abandonWait(ThreadContext* c, bool ghost = false);

}  // namespace davro::win32::detail

namespace davro::win32::detail {

// Wakes `c` out of the futex sleep of a wait, if it is in one: its status goes from
// sleeping back to waiting, so that a sleep that has not started yet returns at once, and
// it looks again at what it waits for (new input, a stop). Whatever it should see must be
// published with a sequentially consistent operation first: the waiter announces its sleep
// with one before it looks. Harmless at any other time.
void nudgeWait(ThreadContext* c);

}  // namespace davro::win32::detail
