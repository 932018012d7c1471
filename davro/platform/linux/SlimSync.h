// What the slim synchronisation files of the layer share: the critical section's whole
// leave and re-entry for condition variables, and the address waits that one-time
// initialisation sleeps in.
#pragma once

#include <davro/platform/Win32.h>

#include <cstdint>

namespace davro::win32::detail {

// Leaves a critical section that the calling thread holds, however deeply, and returns the
// depth (0, leaving nothing, when the thread does not hold it).
std::uint32_t leaveCriticalSectionWholly(LPCRITICAL_SECTION section);
// Enters the section and restores the depth that leaveCriticalSectionWholly returned (0:
// does nothing).
void reenterCriticalSection(LPCRITICAL_SECTION section, std::uint32_t depth);

// Sleeps while the 8 bytes at `address` hold `expected`, until a wakeAddress on the address
// or `deadline` (kNoDeadline: none) passes. May return spuriously: callers loop.
void waitOnAddress64(const void* address, std::uint64_t expected, std::int64_t deadline);
// Wakes every thread in waitOnAddress64 or WaitOnAddress on `address`.
void wakeAddressAll(const void* address);

}  // namespace davro::win32::detail
