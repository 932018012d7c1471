// Internal to the library: a look at a mutex without taking it. Not installed, not exported;
// one implementation per system (linux/MutexQuery.cpp, windows/MutexQuery.cpp).
#pragma once

#include <davro/platform/Win32.h>

namespace davro::platform {

// Whether a thread other than the caller owns the in-process mutex `mutex` right now:
// false for a free mutex, one the caller owns, and a handle that is not a mutex. Never
// blocks. On Linux one load, no atomic read-modify-write, and it reads the owner as a
// full barrier after the caller's own read-modify-writes sees it: a caller that counts
// itself in with one and then finds the mutex free may rely on a later owner seeing the
// count. On Windows a try-lock and release.
bool mutexOwnedElsewhere(davro::win32::HANDLE mutex);

}  // namespace davro::platform
