// Synchronisation barriers, in the 32 bytes of SYNCHRONIZATION_BARRIER.
//
// `left` counts the threads still to come in this phase; the last one to arrive sets it back
// to the total and then bumps `phase`, the futex word that the others spin on and sleep on.
// Each thread reads `phase` before it counts itself, so a bump it has not seen is still to
// come. `inside` counts the threads between entry and return that did not pass
// SYNCHRONIZATION_BARRIER_FLAGS_NO_DELETE, for DeleteSynchronizationBarrier to wait on.
#include <davro/platform/Win32.h>
#include <sched.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "Futex.h"

namespace davro::win32 {
namespace {

using detail::cpuRelax;
using detail::futexWait;
using detail::futexWakeAll;

// The spin count of -1 (Windows' default).
constexpr std::uint32_t kDefaultSpins = 2000;

struct Barrier {
    std::atomic<std::uint32_t> left;
    std::atomic<std::uint32_t> phase;
    std::atomic<std::uint32_t> sleepers;
    std::atomic<std::uint32_t> inside;
    std::uint32_t total;
    std::uint32_t spins;
};
static_assert(sizeof(Barrier) <= sizeof(SYNCHRONIZATION_BARRIER), "Barrier must fit");
static_assert(alignof(Barrier) <= alignof(SYNCHRONIZATION_BARRIER), "Barrier alignment");

Barrier& barrierOf(LPSYNCHRONIZATION_BARRIER barrier) {
    return *std::launder(reinterpret_cast<Barrier*>(barrier));
}

}  // namespace

BOOL InitializeSynchronizationBarrier(LPSYNCHRONIZATION_BARRIER barrier, LONG totalThreads,
                                      LONG spinCount) {
    if (totalThreads < 1 || spinCount < -1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* b = new (barrier) Barrier{};
    b->total = static_cast<std::uint32_t>(totalThreads);
    b->left.store(b->total, std::memory_order_relaxed);
    b->spins = spinCount == -1 ? kDefaultSpins : static_cast<std::uint32_t>(spinCount);
    return TRUE;
}

BOOL EnterSynchronizationBarrier(LPSYNCHRONIZATION_BARRIER barrier, DWORD flags) {
    Barrier& b = barrierOf(barrier);
    const bool counted = (flags & SYNCHRONIZATION_BARRIER_FLAGS_NO_DELETE) == 0;
    if (counted) {
        b.inside.fetch_add(1, std::memory_order_relaxed);
    }
    const std::uint32_t phase = b.phase.load(std::memory_order_acquire);
    BOOL last = FALSE;
    if (b.left.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        last = TRUE;
        b.left.store(b.total, std::memory_order_relaxed);
        b.phase.fetch_add(1, std::memory_order_seq_cst);
        if (b.sleepers.load(std::memory_order_seq_cst) != 0) {
            futexWakeAll(&b.phase);
        }
    } else {
        const bool spinOnly = (flags & SYNCHRONIZATION_BARRIER_FLAGS_SPIN_ONLY) != 0;
        const std::uint32_t spins =
            (flags & SYNCHRONIZATION_BARRIER_FLAGS_BLOCK_ONLY) != 0 ? 0 : b.spins;
        for (std::uint32_t turn = 0;
             (spinOnly || turn < spins) && b.phase.load(std::memory_order_acquire) == phase;
             ++turn) {
            cpuRelax();
            if (spinOnly && turn % 1024 == 1023) {
                sched_yield();  // spinning only, but not starving a preempted last thread
            }
        }
        if (b.phase.load(std::memory_order_acquire) == phase) {
            b.sleepers.fetch_add(1, std::memory_order_seq_cst);
            while (b.phase.load(std::memory_order_seq_cst) == phase) {
                futexWait(&b.phase, phase);
            }
            b.sleepers.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    if (counted) {
        b.inside.fetch_sub(1, std::memory_order_release);
    }
    return last;
}

BOOL DeleteSynchronizationBarrier(LPSYNCHRONIZATION_BARRIER barrier) {
    Barrier& b = barrierOf(barrier);
    while (b.inside.load(std::memory_order_acquire) != 0) {
        sched_yield();  // threads released a moment ago, on their way out
    }
    b.~Barrier();
    return TRUE;
}

}  // namespace davro::win32
