// Where waits meet timers and APCs: the sleep deadline that a wait's timers (and, for an
// alertable wait, the thread's own timers with completion routines) bring forward, the firing
// of the due timers among a wait's objects, and the alertable wait that runs the APCs once
// the wait is over. DESIGN.md, "Waitable timers" and "APCs and alertable waits".
#include <sys/prctl.h>

#include <cstdint>

#include "Apc.h"
#include "Futex.h"
#include "NamedObject.h"
#include "WaitEngine.h"

namespace davro::win32::detail {
namespace {

bool isTimer(const Object* o) { return isTimerKind(o->kind.load(std::memory_order_relaxed)); }

bool isNamedTimer(const Object* o) {
    return isNamedTimerKind(o->kind.load(std::memory_order_relaxed));
}

}  // namespace

// When the sleep of `c` must end: its own deadline, or earlier when a timer among its
// objects, or (alertable) one whose completion routine it runs, must be fired then. Read
// after the sleep is announced, so that a timer set after this look nudges the sleeper.
std::int64_t sleepDeadline(ThreadContext* c, Object* const* objs, std::uint32_t n,
                           std::int64_t deadline, bool hasTimer) {
    if (!hasTimer && !c->alertable) {
        return deadline;
    }
    const std::int64_t now = monotonicNs();
    std::int64_t wake = deadline;
    for (std::uint32_t i = 0; hasTimer && i < n; ++i) {
        if (isTimer(objs[i])) {
            wake = earlier(wake, timerWakeNs(objs[i], now));
        } else if (isNamedTimer(objs[i])) {
            wake = earlier(wake, namedTimerWakeNs(objs[i], now));
        }
    }
    if (c->alertable) {
        wake = earlier(wake, ownTimersWakeNs(c, now));
    }
    if (wake != deadline && !c->lowSlack) {
        // A timer is late by the sleep's slack (50 us by default): the least the system
        // allows, for a thread that waits for timers, from its first such wait on.
        c->lowSlack = true;
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    return wake;
}

void fireDueTimers(Object* const* objs, std::uint32_t n) {
    std::int64_t now = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        Object* o = objs[i];
        if (!isTimer(o)) {
            continue;
        }
        if (now == 0) {
            now = monotonicNs();
        }
        const std::int64_t wake = timerWakeNs(o, now);
        if (wake != kNoDeadline && wake <= now) {
            fireTimer(o, incarnationOf(o), now);
        }
    }
}

DWORD alertableWait(DWORD (*wait)(ThreadContext* c, const void* arg), const void* arg) {
    ThreadContext* c = currentContext();
    if (c == nullptr) {
        return failWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    fireOwnTimers(c);
    const bool outer = c->alertable;
    c->alertable = true;
    const DWORD result = wait(c, arg);
    c->alertable = outer;
    if (result == WAIT_IO_COMPLETION || (result == WAIT_TIMEOUT && apcPending(c))) {
        runApcs(c);
        return WAIT_IO_COMPLETION;
    }
    return result;
}

}  // namespace davro::win32::detail
