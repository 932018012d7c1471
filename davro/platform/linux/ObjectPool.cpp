// The object pool: object memory, reference counts and the end of an object's life.
//
// Objects live in a grow-only chunked array and are recycled through a free list, so their
// memory always holds an Object. An object dies when its last reference goes: handles,
// blocking waits, slow signal paths and thread records each hold one. Dying bumps the
// incarnation in the state word, which every lock-free path compares, so nothing made
// through a stale handle can reach the object that takes the memory over.
#include <davro/platform/Testing.h>

#include "Apc.h"
#include "ChunkedArray.h"
#include "Locks.h"
#include "NamedObject.h"
#include "Object.h"
#include "ThreadRecord.h"
#include "WaitQueue.h"

namespace davro::win32::detail {
namespace {

constexpr std::uint32_t kMaxObjects = (1U << 24) - 1;
constexpr std::uint32_t kNone = 0xFFFFFFFFU;

ChunkedArray<Object, 12, kMaxObjects> gObjects;

struct Pool {
    SpinLock lock;  // the free list and the growth of gObjects
    std::uint32_t freeHead = kNone;
    std::uint32_t live = 0;
    std::uint32_t limit = kMaxObjects;
    // Incarnations come from one counter for all objects, so two objects never share one
    // until two billion objects have been made (see Slot in HandleTable.h).
    std::uint32_t nextIncarnation = 1;
};
Pool gPool;  // constant-initialised: usable before and after static construction

// The object behind GetCurrentProcess(). It holds one reference for ever.
Object gProcess{{0}, {1}, {0}, {Kind::Process}, 0, 0, 0, 0, nullptr, nullptr, {nullptr}};

}  // namespace

Object* newObject(Kind kind, std::uint64_t payload) {
    Object* o = nullptr;
    std::uint64_t inc = 0;
    {
        const SpinGuard guard(gPool.lock);
        if (gPool.live >= gPool.limit) {
            return nullptr;
        }
        if (gPool.freeHead != kNone) {
            o = gObjects.at(gPool.freeHead);
            gPool.freeHead = o->nextFree;
        } else {
            const std::uint32_t index = gObjects.size();
            if (!gObjects.growTo(index + 1)) {
                return nullptr;
            }
            o = gObjects.at(index);
            // Written once, while no handle can name the object yet.
            o->index = index;
        }
        ++gPool.live;
        inc = gPool.nextIncarnation;
        gPool.nextIncarnation = (inc + 1) & word::kIncMask;
    }
    o->recursion = 0;
    o->maximum = 0;
    o->head = nullptr;
    o->tail = nullptr;
    o->named = nullptr;  // and so `thread`
    o->allHint.store(0, std::memory_order_relaxed);
    o->kind.store(kind, std::memory_order_relaxed);
    o->refs.store(1, std::memory_order_relaxed);
    // A slow signal that resolved a stale handle may hold the lock bit of the dead object
    // this memory held (see release()): the new state goes in under the lock.
    const NoStopScope noStop;
    lockObject(o);
    unlockObject(o, (inc << word::kIncShift) | payload);
    return o;
}

void addRef(Object* object) { object->refs.fetch_add(1, std::memory_order_relaxed); }

bool tryAddRef(Object* object, std::uint32_t incarnation) {
    std::uint32_t n = object->refs.load(std::memory_order_relaxed);
    do {
        if (n == 0) {
            return false;  // dying or free
        }
    } while (!object->refs.compare_exchange_weak(n, n + 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed));
    // The count was not zero, but the memory may already hold a newer object.
    if (incarnationOf(object) != incarnation) {
        release(object);
        return false;
    }
    return true;
}

void release(Object* object) {
    if (object->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) {
        return;
    }
    DAVRO_ASSERT(object != &gProcess, "release: the process object's own reference went");
    DAVRO_ASSERT(!insideGate(), "release: last reference dropped under a spin lock");
    const NoStopScope noStop;
    // Nobody holds a reference, so nobody is queued; a slow signal may still hold the lock
    // bit (it takes no reference), so the incarnation is bumped under it. That makes every
    // compare-and-swap through a stale handle fail from now on, tells a signal that takes
    // the lock later that the object is gone, and tells calls that use a named object's
    // record without a reference that it is going (NamedObject.cpp) before it can go.
    const std::uint64_t locked = lockObject(object);
    unlockObject(
        object, std::uint64_t{(word::incarnation(locked) + 1) & word::kIncMask} << word::kIncShift);
    const Kind kind = object->kind.load(std::memory_order_relaxed);
    if (isNamedKind(kind)) {
        if (isNamedTimerKind(kind)) {
            dropNamedTimerRoutine(object);
        }
        destroyNamed(object);
    } else if (kind == Kind::Thread) {
        destroyThread(object);
    } else if (isTimerKind(kind)) {
        destroyTimer(object);
    }
    object->kind.store(Kind::Free, std::memory_order_relaxed);
    const SpinGuard guard(gPool.lock);
    object->nextFree = gPool.freeHead;
    gPool.freeHead = object->index;
    --gPool.live;
}

Object* processObject() { return &gProcess; }

void forEachObject(void (*visit)(Object*, void*), void* context) {
    const std::uint32_t size = gObjects.size();
    for (std::uint32_t i = 0; i < size; ++i) {
        visit(gObjects.at(i), context);
    }
}

}  // namespace davro::win32::detail

namespace davro::win32::testing {

void limitObjects(std::uint32_t limit) {
    using namespace detail;
    const SpinGuard guard(gPool.lock);
    gPool.limit = limit == 0 || limit > kMaxObjects ? kMaxObjects : limit;
}

std::uint32_t liveObjects() {
    using namespace detail;
    const SpinGuard guard(gPool.lock);
    return gPool.live;
}

}  // namespace davro::win32::testing
