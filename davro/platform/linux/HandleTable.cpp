// The handle table: making, closing and duplicating handles, and the lookups that the
// inline resolve() leaves out (pseudo-handles, sign-extended values, a table that grew
// under the reader).
//
// Every change happens under one spin lock; lookups take none. A slot's word is published
// with release after its link, and a link, once set, always names an object, so a reader
// that pairs a word with a later link still reads an object (whose incarnation then tells).
#include "HandleTable.h"

#include <sys/mman.h>
#include <unistd.h>

#include "Locks.h"
#include "ThreadRecord.h"

namespace davro::win32::detail {

namespace {

using namespace handle;

constexpr std::uint32_t kNone = 0xFFFFFFFFU;

// Where lookups land before the first handle is made: one slot that matches nothing.
Slot gNoSlots[1];

}  // namespace

SlotTable gSlotTable{{gNoSlots}, {0}};

namespace {

struct Table {
    SpinLock lock;
    Slot* slots = nullptr;       // the reserved array, once made
    std::uint32_t reserved = 0;  // slots it can hold
    std::uint32_t capacity = 0;
    std::uint32_t inUse = 0;
    // Free slots in first-in, first-out order, linked through their words.
    std::uint32_t freeHead = kNone;
    std::uint32_t freeTail = kNone;
    std::uint32_t freeCount = 0;
};
Table gTable;

constexpr std::uint64_t slotWord(std::uint32_t number, std::uint32_t inc, std::uint32_t access,
                                 bool live) {
    const bool plain = live && access == kFullAccess;
    return (std::uint64_t{access} << kAccessShift) | (std::uint64_t{inc} << kIncShift) |
           (std::uint64_t{number} << kNumberShift) | (plain ? kPlain : 0) | (live ? kLive : 0);
}

constexpr std::uint32_t numberOf(std::uint64_t w) {
    return static_cast<std::uint32_t>(w >> kNumberShift) & kNumberMask;
}

constexpr bool isLive(std::uint64_t w) { return (w & kLive) != 0; }

Resolved resolvedFrom(const Slot* s, std::uint64_t w) {
    auto* o = reinterpret_cast<Object*>(  // NOLINT(performance-no-int-to-ptr)
        s->link.load(std::memory_order_acquire));
    return {o, static_cast<std::uint32_t>(w >> kIncShift) & word::kIncMask,
            o->kind.load(std::memory_order_relaxed),
            static_cast<std::uint8_t>((w >> kAccessShift) & kAccessMask)};
}

// The following helpers run under gTable.lock.

Slot* slotAt(std::uint32_t s) { return gTable.slots + s; }

// Reserves the address space of the slot array once: as much as the system grants, from
// room for 2^25 slots (512 MiB, never touched beyond what is used) down to 2^12.
bool reserveSlots() {
    if (gTable.slots != nullptr) {
        return true;
    }
    for (unsigned bits = kMaxCapacityBits; bits >= 12; --bits) {
        const std::size_t bytes = (std::size_t{1} << bits) * sizeof(Slot);
        void* map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (map != MAP_FAILED) {
            gTable.slots = static_cast<Slot*>(map);
            gTable.reserved = 1U << bits;
            gSlotTable.slots.store(gTable.slots, std::memory_order_release);
            return true;
        }
    }
    return false;
}

// A free slot's word keeps its last number in its low half and links the next free slot in
// its upper half; its link keeps naming the object of its last use (see Slot).
void setNextFree(std::uint32_t s, std::uint32_t next) {
    Slot* slot = slotAt(s);
    const std::uint64_t w = slot->word.load(std::memory_order_relaxed);
    slot->word.store((w & 0xFFFFFFFFU) | (std::uint64_t{next} << 32), std::memory_order_relaxed);
}

// Slot `s`, whose word has just been made free, goes to the end of the free list.
void pushFree(std::uint32_t s) {
    setNextFree(s, kNone);
    if (gTable.freeTail != kNone) {
        setNextFree(gTable.freeTail, s);
    } else {
        gTable.freeHead = s;
    }
    gTable.freeTail = s;
    ++gTable.freeCount;
}

std::uint32_t popFree() {
    const std::uint32_t s = gTable.freeHead;
    gTable.freeHead =
        static_cast<std::uint32_t>(slotAt(s)->word.load(std::memory_order_relaxed) >> 32);
    if (gTable.freeHead == kNone) {
        gTable.freeTail = kNone;
    }
    --gTable.freeCount;
    return s;
}

// The number that slot `s` hands out next: the smallest number of its residue class above
// the last one it handed out (`last`), wrapping to the smallest of the class past the top.
std::uint32_t nextNumber(std::uint32_t last, std::uint32_t s, std::uint32_t capacity) {
    std::uint32_t n = last + ((s - last) & (capacity - 1));
    if (n == last) {
        n += capacity;
    }
    if (n > kMaxNumber) {
        n = s != 0 ? s : capacity;
    }
    return n;
}

// Doubles the capacity. A slot s of the old table splits into s and s + old capacity; a
// handle in use moves to the one that its number now selects. Both halves continue above
// the last number that s handed out, so no number is handed out twice within its cycle.
// Readers that read the old mask find the moved handle in both places until the mask is
// published; a reader that misses looks again if the mask has changed (resolveOther).
bool grow() {
    const std::uint32_t old = gTable.capacity;
    const std::uint32_t capacity = old == 0 ? (1U << kMinCapacityBits) : old * 2;
    if (!reserveSlots() || capacity > gTable.reserved) {
        return false;
    }
    // A handle moves when its number selects the new half.
    const auto movesUp = [capacity, old](std::uint64_t w, std::uint32_t s) {
        return isLive(w) && (numberOf(w) & (capacity - 1)) == s + old;
    };
    for (std::uint32_t s = 0; s < old; ++s) {
        const Slot* from = slotAt(s);
        Slot* to = slotAt(s + old);
        const std::uint64_t w = from->word.load(std::memory_order_relaxed);
        if (movesUp(w, s)) {
            to->link.store(from->link.load(std::memory_order_relaxed), std::memory_order_release);
            to->word.store(w, std::memory_order_release);
        } else {
            to->word.store(slotWord(numberOf(w), 0, 0, false), std::memory_order_relaxed);
            pushFree(s + old);
        }
    }
    gTable.capacity = capacity;
    gSlotTable.mask.store(capacity - 1, std::memory_order_release);
    // Only now may the old places of the moved handles go.
    for (std::uint32_t s = 0; s < (old == 0 ? capacity : old); ++s) {
        Slot* slot = slotAt(s);
        const std::uint64_t w = slot->word.load(std::memory_order_relaxed);
        if (old == 0 || movesUp(w, s)) {
            slot->word.store(slotWord(numberOf(w), 0, 0, false), std::memory_order_release);
            pushFree(s);
        }
    }
    return true;
}

// The number of a handle value, or 0 when the value is none of ours: tag bits dropped, and
// a 32-bit value taken zero- or sign-extended.
std::uint32_t numberOfHandle(HANDLE h) {
    const auto v = reinterpret_cast<std::uintptr_t>(h);
    const auto low = static_cast<std::uint32_t>(v);
    if ((v >> 32) != 0 && static_cast<std::intptr_t>(v) != static_cast<std::int32_t>(low)) {
        return 0;
    }
    const std::uint32_t number = low >> 2;
    return number - 1 < kMaxNumber ? number : 0;
}

bool isPseudoHandle(HANDLE h) {
    const auto v = reinterpret_cast<std::intptr_t>(h);
    return v == -1 || v == -2;
}

}  // namespace

__attribute__((noinline)) Resolved resolveOther(HANDLE h) {
    const auto v = reinterpret_cast<std::intptr_t>(h);
    if (v == -1 || v == -2) {
        Object* o = v == -1 ? processObject() : currentThreadObject();
        if (o == nullptr) {
            return {};
        }
        return {o, incarnationOf(o), o->kind.load(std::memory_order_relaxed), kFullAccess};
    }
    const std::uint32_t number = numberOfHandle(h);
    if (number == 0) {
        return {};
    }
    for (;;) {
        const std::uint32_t mask = gSlotTable.mask.load(std::memory_order_acquire);
        const Slot* s = gSlotTable.slots.load(std::memory_order_relaxed) + (number & mask);
        const std::uint64_t w = s->word.load(std::memory_order_acquire);
        if (numberOf(w) == number && isLive(w)) {
            return resolvedFrom(s, w);
        }
        if (gSlotTable.mask.load(std::memory_order_acquire) == mask) {
            return {};  // not there, and the table did not grow meanwhile
        }
    }
}

HANDLE newHandle(Object* object, std::uint32_t access) {
    std::uint32_t number = 0;
    {
        const SpinGuard guard(gTable.lock);
        if (gTable.inUse >= kMaxHandles) {
            return nullptr;
        }
        // Keep at least half of the slots free, so that a slot comes back only after as
        // many others have been used; without room to grow, reuse what is free.
        if ((gTable.inUse + 1) * 2 > gTable.capacity && !grow() && gTable.freeCount == 0) {
            return nullptr;
        }
        const std::uint32_t s = popFree();
        Slot* slot = slotAt(s);
        number =
            nextNumber(numberOf(slot->word.load(std::memory_order_relaxed)), s, gTable.capacity);
        slot->link.store(reinterpret_cast<std::uintptr_t>(object), std::memory_order_release);
        slot->word.store(slotWord(number, incarnationOf(object), access, true),
                         std::memory_order_release);
        ++gTable.inUse;
    }
    return reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
        static_cast<std::uintptr_t>(number) << 2);
}

Object* acquireRef(HANDLE handle) {
    Resolved r{};
    if (!resolve(handle, r) || !tryAddRef(r.object, r.incarnation)) {
        return nullptr;
    }
    return r.object;
}

std::uint32_t accessFor(Kind kind, DWORD desired) {
    // Generic rights as Windows maps them for mutants, events and semaphores.
    constexpr DWORD kQueryState = 0x0001;
    const bool mutex = kind == Kind::Mutex || kind == Kind::NamedMutex;
    const DWORD modifyRight = mutex ? MUTEX_MODIFY_STATE : EVENT_MODIFY_STATE;
    DWORD mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if ((desired & GENERIC_READ) != 0) {
        mapped |= kQueryState;
    }
    if ((desired & GENERIC_WRITE) != 0 && !mutex) {
        mapped |= modifyRight;
    }
    if ((desired & GENERIC_EXECUTE) != 0) {
        mapped |= SYNCHRONIZE;
    }
    if ((desired & GENERIC_ALL) != 0) {
        mapped |= SYNCHRONIZE | modifyRight;
    }
    std::uint32_t access = (mapped & SYNCHRONIZE) != 0 ? kMayWait : 0;
    if (kind == Kind::Thread || kind == Kind::Process || (mapped & modifyRight) != 0) {
        access |= kMayModify;  // threads and the process: only SYNCHRONIZE is checked
    }
    return access;
}

}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;
using namespace detail::handle;

BOOL CloseHandle(HANDLE object) {
    if (isPseudoHandle(object)) {
        return TRUE;  // closing a pseudo-handle does nothing, as on Windows
    }
    // The slot freed and the reference dropped in one step: a thread stopped in between
    // would have closed the handle and kept the object alive for ever.
    const NoStopScope noStop;
    const std::uint32_t number = numberOfHandle(object);
    Object* o = nullptr;
    if (number != 0) {
        const SpinGuard guard(gTable.lock);
        const std::uint32_t s = number & (gTable.capacity - 1);
        Slot* slot = gTable.capacity != 0 ? slotAt(s) : nullptr;
        const std::uint64_t w = slot != nullptr ? slot->word.load(std::memory_order_relaxed) : 0;
        if (numberOf(w) == number && isLive(w)) {
            o = reinterpret_cast<Object*>(  // NOLINT(performance-no-int-to-ptr)
                slot->link.load(std::memory_order_relaxed));
            slot->word.store(slotWord(number, 0, 0, false), std::memory_order_release);
            pushFree(s);
            --gTable.inUse;
        }
    }
    if (o == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    release(o);
    return TRUE;
}

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target,
                     DWORD desiredAccess, BOOL /*inheritHandle*/, DWORD options) {
    // Only this process exists for us: both process arguments must name it. A failed call
    // leaves NULL in the target, as Windows does, so no stale value passes for a handle; a
    // source to be closed is closed whatever the outcome, as Windows does too.
    if (target != nullptr) {
        *target = nullptr;
    }
    // All or nothing, as a kernel call: a thread stopped between taking the reference, making
    // the handle, handing it out and closing the source would leave a reference or a handle
    // that nobody can give back.
    const NoStopScope noStop;
    Resolved sp{};
    Resolved tp{};
    DWORD error = ERROR_SUCCESS;
    Resolved r{};
    Object* o = nullptr;
    // The first failure decides the error, so the checks keep their order although a bad
    // process and a bad source give the same one.
    if (!resolve(sourceProcess, sp) || sp.kind != Kind::Process || !resolve(targetProcess, tp) ||
        tp.kind != Kind::Process) {  // NOLINT(bugprone-branch-clone)
        error = ERROR_INVALID_HANDLE;
    } else if (target == nullptr) {
        error = ERROR_INVALID_PARAMETER;
    } else if (!resolve(source, r) || (o = acquireRef(source)) == nullptr) {
        // A pseudo-handle fails only when the calling thread's object cannot be made.
        error = isPseudoHandle(source) ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_HANDLE;
    } else {
        const std::uint32_t access =
            (options & DUPLICATE_SAME_ACCESS) != 0 ? r.access : accessFor(r.kind, desiredAccess);
        HANDLE copy = newHandle(o, access);
        if (copy == nullptr) {
            release(o);
            error = ERROR_NOT_ENOUGH_MEMORY;
        } else {
            *target = copy;
        }
    }
    if ((options & DUPLICATE_CLOSE_SOURCE) != 0) {
        CloseHandle(source);
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));  // NOLINT
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

}  // namespace davro::win32
