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

// ---- Handle values ----
// A handle is (generation << 26) | ((slot + 1) << 2): never 0, never negative (so never
// INVALID_HANDLE_VALUE or a pseudo-handle), a multiple of 4 as on Windows. The slot word
// holds [generation:24][incarnation:16][object index + 1:24]; closing a handle bumps the
// generation, so the old value never resolves again until 2^24 reuses of that slot.
constexpr unsigned kSlotBits = 24;
constexpr unsigned kGenBits = 24;
constexpr std::uint64_t kSlotMask = (std::uint64_t{1} << kSlotBits) - 1;
constexpr std::uint64_t kGenMask = (std::uint64_t{1} << kGenBits) - 1;
constexpr unsigned kHandleGenShift = 2 + kSlotBits;
constexpr unsigned kSlotGenShift = 40;
constexpr unsigned kSlotIncShift = 24;

constexpr std::uint32_t kChunkBits = 12;
constexpr std::uint32_t kChunkSize = 1u << kChunkBits;
constexpr std::uint32_t kMaxEntries = (1u << kSlotBits) - 1;  // index + 1 fits 24 bits
constexpr std::uint32_t kChunks = (kMaxEntries >> kChunkBits) + 1;

// A grow-only array of T in chunks of kChunkSize, with a lock-free `at`.
template <typename T>
class ChunkedArray {
public:
    // Pointer to element i, which must be below size().
    T* at(std::uint32_t i) const {
        return &chunks_[i >> kChunkBits].load(std::memory_order_acquire)[i & (kChunkSize - 1)];
    }
    std::uint32_t size() const { return size_.load(std::memory_order_acquire); }
    // Appends one element; the caller holds the owner's allocation lock. kMaxEntries when
    // the array is full or memory is out.
    std::uint32_t grow() {
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

private:
    std::atomic<T*> chunks_[kChunks] = {};
    std::atomic<std::uint32_t> size_{0};
};

struct Slot {
    std::atomic<std::uint64_t> word{0};
};

struct Tables {
    ChunkedArray<Object> objects;
    ChunkedArray<Slot> slots;
    std::mutex lock;  // allocation and free lists only; lookups never take it
    std::uint32_t freeObject = kMaxEntries;
    std::vector<std::uint32_t> freeSlots;
};

Tables& tables() {
    // Never destroyed: threads may still close handles while the process exits.
    static Tables* t = new Tables;
    return *t;
}

constexpr std::uint64_t slotWord(std::uint64_t gen, std::uint64_t inc, std::uint64_t obj1) {
    return (gen << kSlotGenShift) | (inc << kSlotIncShift) | obj1;
}

// Decodes a handle value to its slot; false if the value cannot be one of ours.
bool decode(HANDLE handle, std::uint32_t& slot, std::uint64_t& gen) {
    const auto v = reinterpret_cast<std::uintptr_t>(handle);
    if ((v & 3) != 0 || (v >> (kHandleGenShift + kGenBits)) != 0) {
        return false;
    }
    const auto slot1 = static_cast<std::uint32_t>((v >> 2) & kSlotMask);
    if (slot1 == 0 || slot1 - 1 >= tables().slots.size()) {
        return false;
    }
    slot = slot1 - 1;
    gen = (v >> kHandleGenShift) & kGenMask;
    return true;
}

bool isPseudoHandle(HANDLE handle) {
    const auto v = reinterpret_cast<std::intptr_t>(handle);
    return v == -1 || v == -2;
}

}  // namespace

Object* newObject(Kind kind, std::uint64_t payload) {
    Tables& t = tables();
    std::uint32_t index;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        if (t.freeObject != kMaxEntries) {
            index = t.freeObject;
            t.freeObject = t.objects.at(index)->nextFree;
        } else {
            index = t.objects.grow();
            if (index == kMaxEntries) {
                return nullptr;
            }
        }
    }
    Object* o = t.objects.at(index);
    const std::uint64_t inc = word::incarnation(o->state.load(std::memory_order_relaxed));
    o->index = index;
    o->recursion = 0;
    o->maximum = 0;
    o->head = nullptr;
    o->tail = nullptr;
    o->named = nullptr;
    o->extra = nullptr;
    o->allHint.store(0, std::memory_order_relaxed);
    o->kind.store(kind, std::memory_order_relaxed);
    o->refs.store(1, std::memory_order_relaxed);
    o->state.store((inc << word::kIncShift) | payload, std::memory_order_release);
    return o;
}

HANDLE newHandle(Object* object) {
    Tables& t = tables();
    std::uint32_t slot;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        if (!t.freeSlots.empty()) {
            slot = t.freeSlots.back();
            t.freeSlots.pop_back();
        } else {
            slot = t.slots.grow();
            if (slot == kMaxEntries) {
                return nullptr;
            }
        }
    }
    Slot* s = t.slots.at(slot);
    const std::uint64_t gen = s->word.load(std::memory_order_relaxed) >> kSlotGenShift;
    const std::uint64_t inc = word::incarnation(object->state.load(std::memory_order_relaxed));
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
    if (object->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
        destroyNamedMutex(object);
    }
    // Nobody holds a reference, so nobody holds the lock bit or is queued. Bumping the
    // incarnation makes every compare-and-swap through a stale handle fail from now on.
    const std::uint64_t inc =
        (word::incarnation(object->state.load(std::memory_order_relaxed)) + 1) & 0xFFFF;
    object->kind.store(Kind::Free, std::memory_order_relaxed);
    object->state.store(inc << word::kIncShift, std::memory_order_release);
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    object->nextFree = t.freeObject;
    t.freeObject = object->index;
}

Object* processObject() {
    // One reference is kept for ever, so it never dies.
    static Object* process = newObject(Kind::Process, 0);
    return process;
}

bool resolve(HANDLE handle, Resolved& out) {
    if (isPseudoHandle(handle)) {
        Object* p = processObject();
        out = {p, word::incarnation(p->state.load(std::memory_order_relaxed)), Kind::Process};
        return true;
    }
    std::uint32_t slot;
    std::uint64_t gen;
    if (!decode(handle, slot, gen)) {
        return false;
    }
    const std::uint64_t w = tables().slots.at(slot)->word.load(std::memory_order_acquire);
    const auto obj1 = static_cast<std::uint32_t>(w & kSlotMask);
    if ((w >> kSlotGenShift) != gen || obj1 == 0) {
        return false;
    }
    Object* o = tables().objects.at(obj1 - 1);
    out.object = o;
    out.incarnation = static_cast<std::uint32_t>((w >> kSlotIncShift) & 0xFFFF);
    out.kind = o->kind.load(std::memory_order_relaxed);
    return out.kind != Kind::Free;
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

BOOL CloseHandle(HANDLE object) {
    if (isPseudoHandle(object)) {
        return TRUE;  // closing a pseudo-handle does nothing, as on Windows
    }
    std::uint32_t slot;
    std::uint64_t gen;
    if (decode(object, slot, gen)) {
        Tables& t = tables();
        auto& word = t.slots.at(slot)->word;
        std::uint64_t w = word.load(std::memory_order_acquire);
        while ((w >> kSlotGenShift) == gen && (w & kSlotMask) != 0) {
            const std::uint64_t closed = slotWord((gen + 1) & kGenMask, 0, 0);
            if (word.compare_exchange_weak(w, closed, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
                Object* o = t.objects.at(static_cast<std::uint32_t>((w & kSlotMask) - 1));
                {
                    std::lock_guard<std::mutex> guard(t.lock);
                    t.freeSlots.push_back(slot);
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
    // Only this process exists for us: both process arguments must name it.
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
