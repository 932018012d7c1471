// mutexOwnedElsewhere on Linux: the owner's thread id is in the mutex's state word.
#include <davro/platform/detail/MutexQuery.h>

#include "HandleTable.h"
#include "ThreadContext.h"

namespace davro::platform {

bool mutexOwnedElsewhere(davro::win32::HANDLE mutex) {
    using namespace davro::win32::detail;
    const Resolved r = resolveHandle(mutex);
    if (r.object == nullptr || r.kind != Kind::Mutex) {
        return false;
    }
    // Sequentially consistent: the caller's count and an owner's compare-and-swap meet here.
    // A held lock bit counts as owned: a release may be handing the mutex over under it, and
    // its new owner may already go on before the state word says so.
    const std::uint64_t s = r.object->state.load(std::memory_order_seq_cst);
    const std::uint32_t owner = word::ownerOf(s);
    return word::incarnation(s) == r.incarnation &&
           ((s & word::kLock) != 0 || (owner != 0 && owner != currentThreadId()));
}

}  // namespace davro::platform
