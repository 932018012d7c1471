// The two environment settings of the platform layer, shared by both systems.
//
//   DAVRO_TIME_SCALE=<N>  time runs N times faster (read once, at first use; absent, zero
//                         or not a number: 1). On Linux every time-out, sleep and the
//                         platform clock; on Windows, whose waits and clocks are the
//                         system's, only the time limits the library picks itself (the
//                         watchdog's slice).
//   DAVRO_DRIVE_C=<dir>   paths that begin with "c:/" or "C:\" name files under <dir>.
#pragma once

#include <davro/Export.h>

#include <string>

namespace davro::platform {

// The time scale N of DAVRO_TIME_SCALE, at least 1. Read once and cached; thread-safe.
DAVRO_API unsigned timeScale();

// Maps a path on drive C to the directory that stands in for it and returns the native
// path. "c:/dir/file" and "C:\dir\file" become "<drive>/dir/file" where <drive> is
// DAVRO_DRIVE_C when set. Without it, Linux uses a per-user directory (see
// Environment.cpp) created on first use with mode 0700; Windows uses the real drive C.
// Any other path is returned unchanged.
DAVRO_API std::string mapDrivePath(const std::string& path);

}  // namespace davro::platform
