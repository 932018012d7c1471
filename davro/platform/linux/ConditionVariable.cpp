// Condition variables: a wake counter and a count of sleepers, two 32-bit words in the
// pointer of CONDITION_VARIABLE.
//
// A sleeper counts itself and reads the counter while it still holds the lock, then leaves
// the lock and sleeps while the counter keeps that value. A wake bumps the counter and
// calls the kernel only when someone sleeps: the sleeper counts itself before it reads the
// counter and the waker bumps before it reads the count (all sequentially consistent), so
// either the waker sees the sleeper or the sleeper's futex sleep finds the counter moved.
// Every thread that had read the counter before a wake is either in the kernel (one of those
// is woken, or all) or returns without sleeping: no wake-up is lost. Threads that have not
// yet reached the kernel may return as well; callers re-check their predicate, as Win32 asks.
#include <davro/platform/Win32.h>

#include <atomic>
#include <climits>
#include <cstdint>

#include "Futex.h"
#include "SlimSync.h"

namespace davro::win32 {
namespace {

using detail::deadlineAfter;
using detail::futexWait;
using detail::futexWake;
using detail::kNoDeadline;
using detail::monotonicNs;

struct Words {
    std::atomic<std::uint32_t> wakes;
    std::atomic<std::uint32_t> sleepers;
};
static_assert(sizeof(Words) == sizeof(CONDITION_VARIABLE), "CONDITION_VARIABLE is one pointer");

Words& wordsOf(PCONDITION_VARIABLE condition) { return *reinterpret_cast<Words*>(condition); }

// Leaves the lock with `leave`, sleeps until a wake or the time-out, takes the lock again
// with `enter`: TRUE when woken, FALSE + ERROR_TIMEOUT when the time ran out.
template <typename Leave, typename Enter>
BOOL sleepOn(PCONDITION_VARIABLE condition, DWORD milliseconds, Leave leave, Enter enter) {
    Words& w = wordsOf(condition);
    const std::int64_t deadline = deadlineAfter(milliseconds);
    w.sleepers.fetch_add(1, std::memory_order_seq_cst);
    const std::uint32_t seen = w.wakes.load(std::memory_order_seq_cst);
    leave();
    BOOL woken = TRUE;
    for (;;) {
        futexWait(&w.wakes, seen, deadline);
        if (w.wakes.load(std::memory_order_acquire) != seen) {
            break;
        }
        // A signal or a spurious return: sleep on until the deadline.
        if (deadline != kNoDeadline && monotonicNs() >= deadline) {
            woken = FALSE;
            break;
        }
    }
    w.sleepers.fetch_sub(1, std::memory_order_relaxed);
    enter();
    if (!woken) {
        SetLastError(ERROR_TIMEOUT);
    }
    return woken;
}

void wake(PCONDITION_VARIABLE condition, int count) {
    Words& w = wordsOf(condition);
    w.wakes.fetch_add(1, std::memory_order_seq_cst);
    if (w.sleepers.load(std::memory_order_seq_cst) != 0) {
        futexWake(&w.wakes, count);
    }
}

}  // namespace

void InitializeConditionVariable(PCONDITION_VARIABLE condition) {
    *condition = CONDITION_VARIABLE_INIT;
}

BOOL SleepConditionVariableCS(PCONDITION_VARIABLE condition, PCRITICAL_SECTION section,
                              DWORD milliseconds) {
    std::uint32_t depth = 0;
    return sleepOn(
        condition, milliseconds, [&] { depth = detail::leaveCriticalSectionWholly(section); },
        [&] { detail::reenterCriticalSection(section, depth); });
}

BOOL SleepConditionVariableSRW(PCONDITION_VARIABLE condition, PSRWLOCK lock, DWORD milliseconds,
                               ULONG flags) {
    // Other bits are ignored, as Windows (under Wine, as far as the black box shows) does.
    if ((flags & CONDITION_VARIABLE_LOCKMODE_SHARED) != 0) {
        return sleepOn(
            condition, milliseconds, [&] { ReleaseSRWLockShared(lock); },
            [&] { AcquireSRWLockShared(lock); });
    }
    return sleepOn(
        condition, milliseconds, [&] { ReleaseSRWLockExclusive(lock); },
        [&] { AcquireSRWLockExclusive(lock); });
}

void WakeConditionVariable(PCONDITION_VARIABLE condition) { wake(condition, 1); }

void WakeAllConditionVariable(PCONDITION_VARIABLE condition) { wake(condition, INT_MAX); }

}  // namespace davro::win32
