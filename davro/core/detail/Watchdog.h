// Internal to the library: the deadlock watchdog's slice and the report it writes.
//
// Not part of the public interface; the waits of YSyncObject share these so that lock()
// and dispatchLock() write the same line. Tests include it for the slice length.
#pragma once

#include <davro/string/String.h>

namespace davro::detail {

// The time-out of each kernel wait of an INFINITE single-object wait, in ms (ten minutes).
inline constexpr unsigned kWatchdogSliceMs = 600000;

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
