// The object pool and the handle table: CloseHandle, DuplicateHandle, GetCurrentProcess.
//
// Both are two-level arrays that only grow. Chunks are allocated under a small lock and
// never freed, so a lookup is a bounds check plus two acquire loads, without a lock, and
// no pointer-sized garbage value is ever dereferenced outside the table.
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include "Kernel.h"

namespace davro::win32::detail {
namespace {

using namespace handle;

struct FreeLists {
    std::mutex lock;  // allocation and free lists only; lookups never take it
    std::uint32_t freeObject = kMaxEntries;
    std::vector<std::uint32_t> freeSlots;
};

FreeLists& freeLists() {
    // Never destroyed: threads may still close handles while the process exits.
    static FreeLists* f = new FreeLists;
    return *f;
}

constexpr std::uint64_t slotWord(std::uint64_t gen, std::uint64_t inc, std::uint64_t obj1) {
    return (gen << kSlotGenShift) | (inc << kSlotIncShift) | obj1;
}

}  // namespace

ChunkedArray<Object> gObjects;
ChunkedArray<Slot> gSlots;

template <typename T>
std::uint32_t ChunkedArray<T>::grow() {
    const std::uint32_t i = size_.load(std::memory_order_relaxed);
    if (i >= kMaxEntries) {
        return kMaxEntries;
    }
    auto& chunk = chunks_[i >> kChunkBits];
    if (chunk.load(std::memory_order_relaxed) == nullptr) {
        T* fresh = new (std::nothrow) T[kChunkSize];
        if (fresh == nullptr) {
            return kMaxEntries;
        }
        chunk.store(fresh, std::memory_order_release);
    }
    size_.store(i + 1, std::memory_order_release);
    return i;
}

Object* newObject(Kind kind, std::uint64_t payload) {
    FreeLists& f = freeLists();
    std::uint32_t index;
    bool fresh = false;
    {
        const NoStopScope noStop;  // never suspended holding the free-list lock
        std::lock_guard<std::mutex> guard(f.lock);
        if (f.freeObject != kMaxEntries) {
            index = f.freeObject;
            f.freeObject = gObjects.at(index)->nextFree;
        } else {
            index = gObjects.grow();
            if (index == kMaxEntries) {
                return nullptr;
            }
            fresh = true;
        }
    }
    Object* o = gObjects.at(index);
    const std::uint64_t inc = word::incarnation(o->state.load(std::memory_order_relaxed));
    if (fresh) {
        // Written once: handle lookups read it, without a lock, also on a recycled object.
        o->index = index;
    }
    o->recursion = 0;
    o->maximum = 0;
    o->head = nullptr;
    o->tail = nullptr;
    o->named = nullptr;  // and so `extra`
    o->allHint.store(0, std::memory_order_relaxed);
    o->kind.store(kind, std::memory_order_relaxed);
    o->refs.store(1, std::memory_order_relaxed);
    o->state.store((inc << word::kIncShift) | payload, std::memory_order_release);
    return o;
}

HANDLE newHandle(Object* object) {
    FreeLists& f = freeLists();
    std::uint32_t slot;
    {
        const NoStopScope noStop;
        std::lock_guard<std::mutex> guard(f.lock);
        if (!f.freeSlots.empty()) {
            slot = f.freeSlots.back();
            f.freeSlots.pop_back();
        } else {
            slot = gSlots.grow();
            if (slot == kMaxEntries) {
                return nullptr;
            }
        }
    }
    Slot* s = gSlots.at(slot);
    const std::uint64_t gen = s->word.load(std::memory_order_relaxed) >> kSlotGenShift;
    const std::uint64_t inc = word::incarnation(object->state.load(std::memory_order_relaxed));
    s->object.store(object, std::memory_order_release);
    s->word.store(slotWord(gen, inc, object->index + 1), std::memory_order_release);
    return reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
        static_cast<std::uintptr_t>((gen << kHandleGenShift) | ((slot + 1) << 2)));
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
    if (word::incarnation(object->state.load(std::memory_order_acquire)) != incarnation) {
        release(object);
        return false;
    }
    return true;
}

void release(Object* object) {
    if (object->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) {
        return;
    }
    const NoStopScope noStop;
    if (object->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
        destroyNamedMutex(object);
    } else if (object->kind.load(std::memory_order_relaxed) == Kind::Thread) {
        destroyThread(object);
    }
    // Nobody holds a reference, so nobody holds the lock bit or is queued. Bumping the
    // incarnation makes every compare-and-swap through a stale handle fail from now on.
    const std::uint64_t inc =
        (word::incarnation(object->state.load(std::memory_order_relaxed)) + 1) & 0xFFFF;
    object->kind.store(Kind::Free, std::memory_order_relaxed);
    object->state.store(inc << word::kIncShift, std::memory_order_release);
    FreeLists& f = freeLists();
    std::lock_guard<std::mutex> guard(f.lock);
    object->nextFree = f.freeObject;
    f.freeObject = object->index;
}

Object* processObject() {
    // One reference is kept for ever, so it never dies.
    static Object* process = newObject(Kind::Process, 0);
    return process;
}

Resolved resolvePseudo(HANDLE h) {
    if (reinterpret_cast<std::intptr_t>(h) == -2) {
        Object* t = currentThreadObject();
        if (t == nullptr) {
            return {nullptr, 0, Kind::Free};
        }
        return {t, word::incarnation(t->state.load(std::memory_order_relaxed)), Kind::Thread};
    }
    Object* p = processObject();
    return {p, word::incarnation(p->state.load(std::memory_order_relaxed)), Kind::Process};
}

Object* acquireRef(HANDLE handle) {
    Resolved r;
    if (!resolve(handle, r) || !tryAddRef(r.object, r.incarnation)) {
        return nullptr;
    }
    return r.object;
}

}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;
using namespace detail::handle;

BOOL CloseHandle(HANDLE object) {
    if (isPseudoHandle(object)) {
        return TRUE;  // closing a pseudo-handle does nothing, as on Windows
    }
    const NoStopScope noStop;
    std::uint32_t slot;
    std::uint64_t gen;
    if (decodeHandle(object, slot, gen)) {
        auto& word = gSlots.at(slot)->word;
        std::uint64_t w = word.load(std::memory_order_acquire);
        while ((w >> kSlotGenShift) == gen && (w & kSlotMask) != 0) {
            const std::uint64_t closed = slotWord((gen + 1) & kGenMask, 0, 0);
            if (word.compare_exchange_weak(w, closed, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
                Object* o = gObjects.at(static_cast<std::uint32_t>((w & kSlotMask) - 1));
                {
                    FreeLists& f = freeLists();
                    std::lock_guard<std::mutex> guard(f.lock);
                    f.freeSlots.push_back(slot);
                }
                release(o);
                return TRUE;
            }
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target,
                     DWORD /*desiredAccess*/, BOOL /*inheritHandle*/, DWORD options) {
    // Only this process exists for us: both process arguments must name it. A failed call
    // leaves NULL in the target, as Windows does, so no stale value passes for a handle.
    const NoStopScope noStop;
    if (target != nullptr) {
        *target = nullptr;
    }
    Resolved sp;
    Resolved tp;
    if (!resolve(sourceProcess, sp) || sp.kind != Kind::Process || !resolve(targetProcess, tp) ||
        tp.kind != Kind::Process) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Object* o = acquireRef(source);
    if (o == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    HANDLE copy = newHandle(o);
    if (copy == nullptr) {
        release(o);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if ((options & DUPLICATE_CLOSE_SOURCE) != 0) {
        CloseHandle(source);
    }
    *target = copy;
    return TRUE;
}

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));  // NOLINT
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

}  // namespace davro::win32
