// An asymmetric memory fence, for the Dekker-style handshakes where one side runs on a hot
// path and the other rarely: the fork gate, and the named-object hazard that keeps a record
// mapped while a thread uses it.
//
// Both sides store a flag and then load the other side's flag; each must see the other's
// store, or both would go ahead. Instead of a full fence on both sides, the hot side issues
// only a compiler barrier (light()) and the rare side asks the kernel to run a full barrier
// on every thread of the process (heavy(): membarrier's private expedited command). Where
// the kernel lacks that command or refuses it when the library loads, both sides fall back
// to a full fence; once registered, a failure of the command stops the process.
#pragma once

#include <atomic>

namespace davro::win32::detail {

// Whether membarrier's private expedited command is registered for this process.
bool asymmetricFencesWork();
extern std::atomic<bool> gAsymmetricFences;

// The hot side: after its store, before its load.
__attribute__((always_inline)) inline void lightFence() {
    if (gAsymmetricFences.load(std::memory_order_relaxed)) {
        std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
}

// The rare side: after its store, before its load. A system call.
void heavyFence();

}  // namespace davro::win32::detail
