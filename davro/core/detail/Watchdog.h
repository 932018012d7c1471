// Internal to the library: the deadlock watchdog's slice and the report it writes.
//
// Not part of the public interface; the waits of YSyncObject share these so that lock()
// and dispatchLock() write the same line. Tests include it for the slice length (they may
// use the constant, not the function, which is not exported).
#pragma once

#include <davro/platform/detail/ScaledTimeout.h>
#include <davro/string/String.h>

namespace davro::detail {

// The length of a slice of an INFINITE single-object wait, in ms of scaled time (ten minutes;
// 600000 / N ms of real time under DAVRO_TIME_SCALE=N, on both systems).
inline constexpr unsigned kWatchdogSliceMs = 600000;

// The slice as the time-out to give each kernel wait. The Linux layer scales its waits
// itself, the Windows kernel does not: scaledTimeoutMs() divides on Windows only, so the
// slice is scaled exactly once on either system.
inline unsigned watchdogSliceTimeoutMs() {
    return davro::platform::scaledTimeoutMs(kWatchdogSliceMs);
}

// The message of the deadlock report for the expired slice `slice` (0 for the first):
// `name`, " Count: ", then the slice number in decimal. An empty name leaves the message
// starting with the blank of " Count: ".
inline YString watchdogMessage(const YString& name, int slice) {
    YString message(name);
    message += L" Count: ";
    message += slice;
    return message;
}

}  // namespace davro::detail
