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
    c->spinNs = c->singleProcessor ? 0 : kSpinMinNs * 4;
    c->sleptNs = 0;
    c->probeIn = kProbeGapFirst;
    c->probeGap = kProbeGapFirst;
}

std::uint32_t spinBudget(ThreadContext* c) {
    if (c->spinNs != 0 || c->singleProcessor || c->sleptNs == 0) {
        return c->spinNs;
    }
    if (--c->probeIn != 0) {
        return 0;
    }
    // A probe: a spin as long as the last wait that slept (twice, since waking up from the
    // sleep took part of that time on this side as well).
    c->probeIn = c->probeGap;
    return std::min(kSpinMaxNs, c->sleptNs * 2);
}

void spinOutcome(ThreadContext* c, std::uint32_t spin, std::int64_t sleptFor) {
    if (spin != 0 && sleptFor == 0) {
        c->spinNs = std::min(kSpinMaxNs, std::max(c->spinNs * 2, spin));
        c->probeGap = kProbeGapFirst;
    } else if (spin != 0) {
        const bool probe = c->spinNs == 0;
        c->spinNs = c->spinNs / 2 < kSpinMinNs ? 0 : c->spinNs / 2;
        if (probe) {
            c->probeGap = std::min(c->probeGap * 2, kProbeGapMax);
            c->probeIn = c->probeGap;
        }
    }
    if (sleptFor != 0) {
        c->sleptNs = sleptFor < kSpinMaxNs ? static_cast<std::uint32_t>(sleptFor) : 0;
    }
}

}  // namespace davro::win32::detail
