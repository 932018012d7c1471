// Test hooks of the Linux implementation of the Win32 subset: queries and limits that the
// Win32 interface does not offer, so that tests can order threads without sleeping and can
// drive the layer into exhaustion. Not for production use; Linux builds only.
#pragma once

#include <davro/Export.h>
#include <davro/platform/Win32.h>

#include <cstdint>
#include <string>

#if !DAVRO_WINDOWS

namespace davro::win32::testing {

// The number of threads queued on the object behind `object` right now (0 for a bad handle).
// A named object's waiters sleep on its shared futex word instead: for an event or a
// semaphore it is the number of threads of any process in a blocking wait on it; for a mutex
// it is 1 once a thread of any process sleeps or is about to sleep on it (a flag that may
// outlast the sleep), else 0. Waiting until it reaches n orders a test after n threads have
// blocked, instead of sleeping and hoping.
DAVRO_API std::uint32_t waitersOn(HANDLE object);

// Waits until waitersOn(object) is at least `count`, for at most `milliseconds` (real time);
// true when it was reached.
DAVRO_API bool waitForWaiters(HANDLE object, std::uint32_t count, DWORD milliseconds);

// Lowers the number of kernel objects that may exist at once, so that the pool's limit can
// be reached in a test (0 restores the real limit). Objects that exist stay.
DAVRO_API void limitObjects(std::uint32_t limit);
// The number of kernel objects alive now (handles, threads, waits in progress keep them).
DAVRO_API std::uint32_t liveObjects();

// Named mutexes are locked through the thread's robust list, beside the C library's robust
// mutexes, where the C library keeps that list as expected, and through the C library's own
// calls elsewhere. On: threads that take their first named mutex from now on use the C
// library's calls, as where the list is not recognised; the two kinds work side by side.
DAVRO_API void useCLibraryRobustLocks(bool on);

// Off: waits on several futex words behave as where the system lacks futex_waitv (before
// Linux 5.16), and poll named objects in growing slices; on: as the system allows.
DAVRO_API void useFutexWaitv(bool on);

// The file that holds the named object `name` (which need not exist), or an empty text for
// a name that cannot be one.
DAVRO_API std::string namedObjectFile(LPCWSTR name);

}  // namespace davro::win32::testing

#endif
