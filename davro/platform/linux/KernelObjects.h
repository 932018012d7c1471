// The signals that the rest of the layer gives to kernel objects (KernelObjects.cpp).
#pragma once

#include "HandleTable.h"
#include "Object.h"
#include "ThreadContext.h"

namespace davro::win32::detail {

// The kinds a signal applies to, as bit masks of Kind.
constexpr unsigned kindBit(Kind k) { return 1U << static_cast<unsigned>(k); }
constexpr unsigned kMutexKinds = kindBit(Kind::Mutex) | kindBit(Kind::NamedMutex);
constexpr unsigned kEventKinds = kindBit(Kind::ManualEvent) | kindBit(Kind::AutoEvent) |
                                 kindBit(Kind::NamedManualEvent) | kindBit(Kind::NamedAutoEvent);
constexpr unsigned kSemaphoreKinds = kindBit(Kind::Semaphore) | kindBit(Kind::NamedSemaphore);

// Resolves a handle for a call that changes an object of one of `kinds`: false with
// ERROR_INVALID_HANDLE for a bad handle or another kind, ERROR_ACCESS_DENIED for a handle
// without the right to change the object. A mutex needs no right: only its owner may
// release it, whatever handle it uses.
bool resolveToModify(HANDLE handle, Resolved& r, unsigned kinds);

// ReleaseSemaphore's result once the release was tried on a semaphore of either kind:
// FALSE when the object died meanwhile (`alive` false, the error set) or when `add` units
// would not fit (ERROR_TOO_MANY_POSTS, nothing released); else TRUE with the count before.
inline BOOL semaphoreReleased(BOOL alive, bool fits, std::uint64_t before, LPLONG previousCount) {
    if (!alive) {
        return FALSE;
    }
    if (!fits) {
        SetLastError(ERROR_TOO_MANY_POSTS);
        return FALSE;
    }
    if (previousCount != nullptr) {
        *previousCount = static_cast<LONG>(before);
    }
    return TRUE;
}

// Marks a Thread-kind object as ended (signalled for ever) and wakes its waiters.
void signalForever(Object* object);

// Abandons every in-process mutex still owned by the thread of `context`: each becomes free
// with its abandoned flag set, which the next acquirer reports as WAIT_ABANDONED.
void abandonOwnedMutexes(ThreadContext* context);

// In a forked child: the mutexes that the forking thread owned under its old id are its
// own under the new one.
void renumberOwnedMutexes(ThreadContext* context, std::uint32_t oldTid);

}  // namespace davro::win32::detail
