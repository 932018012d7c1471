// Internal to the library: how DAVRO_TIME_SCALE reaches the time limits that the library
// picks itself. Not installed, not exported; one implementation per system
// (linux/ScaledTimeout.cpp, windows/ScaledTimeout.cpp).
#pragma once

namespace davro::platform {

// A time limit that the library picks itself (not one a caller passed), `ms` ms of scaled
// time, as the time-out to give a davro::win32 wait. On Linux the platform layer divides
// every wait by DAVRO_TIME_SCALE already, so `ms` is returned unchanged; on Windows the
// kernel takes time-outs as they are, so `ms` / N is returned, at least 1 so that a timed
// wait never becomes a poll. INFINITE is returned unchanged.
unsigned scaledTimeoutMs(unsigned ms);

}  // namespace davro::platform
