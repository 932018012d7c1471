// The test hooks of davro/platform/Testing.h that are not kept beside what they look at.
#include <davro/platform/Testing.h>
#include <sched.h>

#include "Futex.h"
#include "HandleTable.h"
#include "NamedObject.h"
#include "WaitQueue.h"

namespace davro::win32::testing {

std::uint32_t waitersOn(HANDLE object) {
    using namespace detail;
    Object* o = acquireRef(object);
    if (o == nullptr) {
        return 0;
    }
    // Waiters on a named object sleep on its shared futex word, not in a queue.
    const std::uint32_t n =
        isNamedKind(o->kind.load(std::memory_order_relaxed)) ? namedSleepers(o) : queuedWaiters(o);
    release(o);
    return n;
}

bool waitForWaiters(HANDLE object, std::uint32_t count, DWORD milliseconds) {
    const std::int64_t deadline =
        detail::monotonicNs() + static_cast<std::int64_t>(milliseconds) * 1000000;
    while (waitersOn(object) < count) {
        if (detail::monotonicNs() >= deadline) {
            return false;
        }
        sched_yield();
    }
    return true;
}

void useFutexWaitv(bool on) { detail::gFutexWaitv.store(on ? 0 : 2); }

std::string namedObjectFile(LPCWSTR name) {
    detail::NameKey key;
    return detail::makeKey(name, key) == ERROR_SUCCESS ? key.path : std::string();
}

}  // namespace davro::win32::testing
