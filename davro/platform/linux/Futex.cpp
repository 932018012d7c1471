// The monotonic clock, deadlines, futex calls and back-off.
#include "Futex.h"

#include <davro/platform/Environment.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "Check.h"

namespace davro::win32::detail {
namespace {

// Pauses before a waiter for a lock bit starts to yield.
constexpr unsigned kPausesBeforeYield = 64;

std::uint32_t* futexAddress(std::atomic<std::uint32_t>* word) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    return reinterpret_cast<std::uint32_t*>(word);
}

// The absolute CLOCK_MONOTONIC time-out of the futex calls for `deadline`, in `limit`; null
// for none.
timespec* timeLimit(std::int64_t deadline, timespec& limit) {
    if (deadline == kNoDeadline) {
        return nullptr;
    }
    limit.tv_sec = static_cast<time_t>(deadline / 1000000000);
    limit.tv_nsec = static_cast<long>(deadline % 1000000000);
    return &limit;
}

}  // namespace

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t deadlineAfter(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        return kNoDeadline;
    }
    return monotonicNs() + static_cast<std::int64_t>(milliseconds) * 1000000 /
                               static_cast<std::int64_t>(davro::platform::timeScale());
}

void futexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected, std::int64_t deadline,
               bool shared) {
    timespec limit{};
    timespec* limitPtr = timeLimit(deadline, limit);
    // FUTEX_WAIT_BITSET takes an absolute time-out on CLOCK_MONOTONIC. The word changed
    // (EAGAIN), a signal (EINTR) and the deadline (ETIMEDOUT) are the caller's to look at;
    // anything else (a word that is not mapped, a call that the kernel or a seccomp filter
    // refuses) would turn every wait into a spin that never sleeps, so it stops the process.
    if (syscall(SYS_futex, futexAddress(word),
                FUTEX_WAIT_BITSET | (shared ? 0 : FUTEX_PRIVATE_FLAG), expected, limitPtr, nullptr,
                FUTEX_BITSET_MATCH_ANY) != 0) {
        const int error = errno;
        DAVRO_CHECK(error == EAGAIN || error == EINTR || error == ETIMEDOUT,
                    "futex wait failed: a wait could no longer sleep");
    }
}

void futexWake(std::atomic<std::uint32_t>* word, int count, bool shared) {
    // EFAULT is allowed: a release wakes after it has given the word back, and by then the
    // word's memory may be gone (a critical section that the next owner deleted and freed),
    // with nobody left to wake. Anything else (the call refused) would leave sleepers asleep
    // for ever, so it stops the process.
    if (syscall(SYS_futex, futexAddress(word), FUTEX_WAKE | (shared ? 0 : FUTEX_PRIVATE_FLAG),
                count, nullptr, nullptr, 0) < 0) {
        DAVRO_CHECK(errno == EFAULT, "futex wake failed: a sleeper would never wake");
    }
}

void futexWakeAll(std::atomic<std::uint32_t>* word) { futexWake(word, INT_MAX); }

// Whether futex_waitv may be used: 0 not known yet, 1 it exists, 2 it does not (learnt from
// the first sleep, or set by the test hook useFutexWaitv).
std::atomic<int> gFutexWaitv{0};

bool futexWaitMany(const FutexWatch* watches, unsigned n, std::int64_t deadline) {
#ifdef SYS_futex_waitv
    std::atomic<int>& available = gFutexWaitv;
    if (available.load(std::memory_order_relaxed) == 2 || n > kMaxFutexWatches) {
        return false;
    }
    futex_waitv entries[kMaxFutexWatches];
    for (unsigned i = 0; i < n; ++i) {
        entries[i] = futex_waitv{};
        entries[i].val = watches[i].expected;
        entries[i].uaddr = reinterpret_cast<std::uintptr_t>(futexAddress(watches[i].word));
        entries[i].flags = FUTEX_32 | (watches[i].shared ? 0 : FUTEX_PRIVATE_FLAG);
    }
    timespec limit{};
    timespec* limitPtr = timeLimit(deadline, limit);
    if (syscall(SYS_futex_waitv, entries, n, 0, limitPtr, CLOCK_MONOTONIC) != 0 &&
        errno == ENOSYS) {
        available.store(2, std::memory_order_relaxed);
        return false;
    }
    available.store(1, std::memory_order_relaxed);
    return true;
#else
    (void)watches;
    (void)n;
    (void)deadline;
    return false;
#endif
}

void backoff(unsigned& n) {
    if (n < kPausesBeforeYield) {
        cpuRelax();
    } else {
        sched_yield();
    }
    ++n;
}

}  // namespace davro::win32::detail
