// How long a waiting thread spins before it sleeps (Spinning.cpp).
#pragma once

#include <cstdint>

#include "ThreadContext.h"

namespace davro::win32::detail {

// Spinning: how long (ns) the calling thread may watch its status in its next wait before
// it sleeps, and the report of that wait: the spin it had and how long it took if it slept
// (0 if not). A thread spins only while spinning pays for it (the signal came within its
// spin), doubling its budget each time it does and halving it each time it sleeps all the
// same, so that where the thread that would signal cannot run meanwhile (one processor,
// more runnable threads than processors, a preempted owner) it soon stops spinning. Then it
// probes now and then (less often after each probe that did not pay) with a spin as long as
// its last sleeping wait, if that was short enough for a spin to cover. startSpinning sets
// a new thread's state.
void startSpinning(ThreadContext* c);
std::uint32_t spinBudget(ThreadContext* c);
void spinOutcome(ThreadContext* c, std::uint32_t spin, std::int64_t sleptFor);

}  // namespace davro::win32::detail
