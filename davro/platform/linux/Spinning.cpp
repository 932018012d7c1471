// The spinning policy of the blocking wait: each thread learns from its own waits whether a
// spin pays, and stops spinning where the thread that would signal it cannot run meanwhile.
#include "Spinning.h"

#include <algorithm>

namespace davro::win32::detail {

// The longest spin, in ns: it must outlast the time a sleeping thread takes to wake up and
// answer (tens of µs in a virtual machine), so that two threads that signal each other can
// both come to spin.
constexpr std::uint32_t kSpinMaxNs = 64000;
// The shortest budget kept, in ns: below it the thread stops spinning.
constexpr std::uint32_t kSpinMinNs = 500;
// The gap, in waits, between two probes, doubling after each probe that did not pay.
constexpr std::uint32_t kProbeGapFirst = 16;
constexpr std::uint32_t kProbeGapMax = 1024;

void startSpinning(ThreadContext* c) {
    c->spin.budgetNs = c->spin.singleProcessor ? 0 : kSpinMinNs * 4;
    c->spin.sleptNs = 0;
    c->spin.probeIn = kProbeGapFirst;
    c->spin.probeGap = kProbeGapFirst;
}

std::uint32_t spinBudget(ThreadContext* c) {
    if (c->spin.budgetNs != 0 || c->spin.singleProcessor || c->spin.sleptNs == 0) {
        return c->spin.budgetNs;
    }
    if (--c->spin.probeIn != 0) {
        return 0;
    }
    // A probe: a spin as long as the last wait that slept (twice, since waking up from the
    // sleep took part of that time on this side as well).
    c->spin.probeIn = c->spin.probeGap;
    return std::min(kSpinMaxNs, c->spin.sleptNs * 2);
}

void spinOutcome(ThreadContext* c, std::uint32_t spin, std::int64_t sleptFor) {
    if (spin != 0 && sleptFor == 0) {
        c->spin.budgetNs = std::min(kSpinMaxNs, std::max(c->spin.budgetNs * 2, spin));
        c->spin.probeGap = kProbeGapFirst;
    } else if (spin != 0) {
        const bool probe = c->spin.budgetNs == 0;
        c->spin.budgetNs = c->spin.budgetNs / 2 < kSpinMinNs ? 0 : c->spin.budgetNs / 2;
        if (probe) {
            c->spin.probeGap = std::min(c->spin.probeGap * 2, kProbeGapMax);
            c->spin.probeIn = c->spin.probeGap;
        }
    }
    if (sleptFor != 0) {
        c->spin.sleptNs = sleptFor < kSpinMaxNs ? static_cast<std::uint32_t>(sleptFor) : 0;
    }
}

}  // namespace davro::win32::detail
