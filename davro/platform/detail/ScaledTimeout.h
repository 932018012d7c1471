// Internal to the library: how DAVRO_TIME_SCALE reaches the time limits that the library
// picks itself. Not installed, not exported; the identity on Linux, windows/ScaledTimeout.cpp
// on Windows.
#pragma once

#include <davro/Export.h>

namespace davro::platform {

// A time limit that the library picks itself (not one a caller passed), `ms` ms of scaled
// time, as the time-out to give a davro::win32 wait. On Linux the platform layer divides
// every wait by DAVRO_TIME_SCALE already, so `ms` is returned unchanged; on Windows the
// kernel takes time-outs as they are, so `ms` / N is returned, at least 1 so that a timed
// wait never becomes a poll. INFINITE is returned unchanged.
#if DAVRO_WINDOWS
unsigned scaledTimeoutMs(unsigned ms);
#else
inline unsigned scaledTimeoutMs(unsigned ms) { return ms; }
#endif

}  // namespace davro::platform
