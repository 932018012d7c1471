// Named mutexes: one mutex per name, shared by every process of the same user
// (NamedMutex.cpp; DESIGN.md, "Named mutexes").
#pragma once

#include <davro/platform/Win32.h>

#include <cstdint>
#include <string_view>

#include "HandleTable.h"
#include "Object.h"
#include "ThreadContext.h"

namespace davro::win32::detail {

// CreateMutexW with a name (openOnly false) and OpenMutexW (openOnly true). `desiredAccess`
// is the Win32 access mask the handle gets; OpenMutexW refuses a mask that allows neither
// waiting nor releasing.
HANDLE createNamedMutex(BOOL initialOwner, LPCWSTR name, bool openOnly, DWORD desiredAccess);

// WaitForSingleObject and ReleaseMutex on a named mutex handle.
DWORD waitNamedMutex(Resolved r, DWORD milliseconds);
BOOL releaseNamedMutex(Resolved r);

// For the multi-object waits, which hold a reference on `o`. lockNamedMutex tries once
// (deadlineNs 0) or until the deadline: WAIT_OBJECT_0 or WAIT_ABANDONED with the lock held,
// WAIT_TIMEOUT, or WAIT_FAILED. An abandonment stays recorded until a wait that took the
// mutex calls keepNamedMutex (which also lists it as owned); a lock that did not decide the
// wait is given back with unlockNamedMutex and the abandonment is kept for the next taker.
DWORD lockNamedMutex(Object* o, std::int64_t deadlineNs);
void keepNamedMutex(ThreadContext* context, Object* o);
void unlockNamedMutex(Object* o);

// At a thread's end: every named mutex it owns is marked abandoned and released, so that
// the next taker in any process gets WAIT_ABANDONED. `ghost`: in a forked child, for a
// thread that does not exist there; its locks belong to the parent's thread and are only
// forgotten.
void abandonNamedMutexes(ThreadContext* context, bool ghost);

// For wait chain traversal, whose caller keeps `o` alive (WaitChain.h): the thread id that
// holds named mutex `o`, 0 when none does (it may be a thread of another process), with
// `ownerDied` set when a process died holding it; and its name in UTF-8, as given to
// CreateMutexW less a Global\ or Local\ prefix.
std::uint32_t namedMutexOwner(Object* o, bool& ownerDied);
std::string_view namedMutexName(Object* o);
// Whether the futex word of the named mutex of `o` has its waiters flag: a thread of some
// process sleeps, or is about to sleep, on it (the flag may outlast the sleep). For the test
// hook waitersOn; the caller holds a reference on `o`.
bool namedMutexHasSleepers(Object* o);

// The last reference of a named-mutex object has gone (ObjectPool.cpp).
void destroyNamedMutex(Object* object);

// fork(): the registry's lock is held across it.
void lockNamedMutexesForFork();
void unlockNamedMutexesAfterFork();

}  // namespace davro::win32::detail
