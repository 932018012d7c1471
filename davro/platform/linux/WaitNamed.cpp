// The wait engine's part for named objects: tries, looks and the futex words a waiter sleeps
// on (WaitNamed.h).
#include "WaitNamed.h"

#include <climits>

#include "NamedObject.h"
#include "WaitQueue.h"

namespace davro::win32::detail {

bool pollNamed(ThreadContext* c, Object* o, std::uint32_t i) {
    const DWORD r = tryTakeNamed(c, o, true);
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) {
        return false;
    }
    bool sleeping = false;
    if (!claim(c, r + i, sleeping)) {
        giveBackNamed(c, o, true);
    }
    return true;
}

bool pollNamedAny(ThreadContext* c, Object* const* objs, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        if (isDone(c->status.load(std::memory_order_acquire))) {
            return true;
        }
        if (isNamed(objs[i]) && pollNamed(c, objs[i], i)) {
            return true;
        }
    }
    return false;
}

unsigned watchNamed(ThreadContext* c, Object* const* objs, std::uint32_t n, FutexWatch* watches,
                    bool again, std::uint64_t& changed, std::uint64_t& free) {
    watches[0] = FutexWatch{&c->status, kStatusSleeping, false};
    unsigned count = 1;
    changed = 0;
    free = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!isNamed(objs[i])) {
            continue;
        }
        FutexWatch& w = watches[count];
        const std::uint32_t before = w.expected;
        w.shared = true;
        namedSleepWord(c, objs[i], w.word, w.expected);
        const bool wordFree = namedWordFree(objs[i], w.expected);
        free |= wordFree ? std::uint64_t{1} << i : 0;
        if (again && w.expected != before && wordFree) {
            changed |= std::uint64_t{1} << count;
        }
        ++count;
    }
    return count;
}

bool namedLookReady(ThreadContext* c, Object* const* objs, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!isNamed(objs[i])) {
            continue;
        }
        const bool passes = namedPasses(objs[i], c->tid);
        // The first that passes decides a wait-any, the first that does not a wait-all.
        if (passes != c->waitAll) {
            return passes;
        }
    }
    return c->waitAll;
}

void passOnNamed(const FutexWatch* watches, unsigned count, std::uint64_t changed) {
    for (unsigned k = 1; changed != 0 && k < count; ++k) {
        if ((changed & (std::uint64_t{1} << k)) != 0) {
            futexWake(watches[k].word, INT_MAX, true);
        }
    }
}

}  // namespace davro::win32::detail
