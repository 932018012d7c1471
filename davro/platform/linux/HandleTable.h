// The handle table: from a HANDLE value to the object it names, without a lock.
//
// A handle value is (number << 2) plus two tag bits that are ignored, as on Windows. Numbers
// are at most 30 bits, so every value fits 32 bits: a handle kept in a DWORD or an int and
// extended back (with zeros or with its sign) still works. The number selects a slot:
// slot = number mod capacity, where the capacity is a power of two that doubles when more
// than half of the slots are in use. Free slots are reused in first-in, first-out order and
// each slot hands out rising numbers of its own residue class, so a closed value names
// nothing until about 2^29 other handles have been made (DESIGN.md, "Handles").
#pragma once

#include <davro/platform/Win32.h>

#include <atomic>
#include <cstdint>

#include "Object.h"

namespace davro::win32::detail {

namespace handle {
// The slot word: [incarnation:30][access:2] above [number:30][plain:1][live:1]; a free slot
// has [next free slot:32] above [last number:30][0][0]. The low half
// of a slot in use is its handle value with both tag bits set when the handle has full
// access (`plain`), so that the fast paths check number, use and access with one compare
// against the handle value; other handles go the slow way. The incarnation stands where it
// stands in the object's state word, so that one exclusive-or compares the two.
inline constexpr std::uint64_t kLive = 1;
inline constexpr std::uint64_t kPlain = 2;
inline constexpr unsigned kNumberShift = 2;
inline constexpr std::uint32_t kNumberMask = 0x3FFFFFFF;
inline constexpr unsigned kIncShift = word::kIncShift;
inline constexpr unsigned kAccessShift = 32;
inline constexpr std::uint64_t kAccessMask = 3;
// 0 is NULL, and 0x3FFFFFFF is what -1 to -4 (INVALID_HANDLE_VALUE and the pseudo-handles)
// become with their tag bits dropped; neither is ever a number.
inline constexpr std::uint32_t kMaxNumber = 0x3FFFFFFE;
inline constexpr unsigned kMinCapacityBits = 8;
inline constexpr unsigned kMaxCapacityBits = 25;  // 2^24 handles in use at the most
inline constexpr std::uint32_t kMaxHandles = 1U << (kMaxCapacityBits - 1);
}  // namespace handle

// What a handle may be used for, beside naming its object (Win32 access rights, reduced to
// the two that the layer checks).
inline constexpr std::uint32_t kMayWait = 1;    // SYNCHRONIZE
inline constexpr std::uint32_t kMayModify = 2;  // MUTEX_MODIFY_STATE, EVENT_MODIFY_STATE, ...
inline constexpr std::uint32_t kFullAccess = kMayWait | kMayModify;

// A slot: its word, and its link: the object of its last use, stored before the word is
// published and left in place when the handle is closed, so that it is never anything but
// an object (pool memory always holds one). A lookup that reads a word and then a link may
// pair an old word with the link of the slot's next use; the object's
// incarnation then differs from the word's, since incarnations are handed out by one
// counter for all objects (ObjectPool.cpp), and every use of the object checks it first.
struct Slot {
    std::atomic<std::uint64_t> word{0};
    std::atomic<std::uintptr_t> link{0};
};

// The slots: one flat array in address space reserved at the first handle, so that a lookup
// is one masked index. Before it, `slots` is a single empty slot and `mask` 0. The array
// never moves; `mask` (capacity - 1) is published after the slots it covers.
struct SlotTable {
    std::atomic<Slot*> slots;
    std::atomic<std::uint32_t> mask;
};
extern SlotTable gSlotTable;

// A handle looked up without taking a reference: the object (null when the handle names
// none), the incarnation it had when the handle was made, its kind, and the handle's
// access. Sixteen bytes, so that it travels in two registers. Lock-free paths act only
// through compare-and-swaps that check the incarnation.
struct Resolved {
    Object* object;
    std::uint32_t incarnation;
    Kind kind;
    std::uint8_t access;
};
static_assert(sizeof(Resolved) == 16, "a resolved handle fits two registers");

// Pseudo-handles, values that are not 32-bit, and a slot that moved while it was read
// (the lookup's slow path).
Resolved resolveOther(HANDLE h);

// The table as one lookup sees it: its base and its mask. A view may be kept for several
// lookups: a handle that has moved since it was read is missed, and the slow path looks again.
struct SlotView {
    const Slot* slots;
    std::uint32_t mask;
};

inline SlotView slotView() {
    const std::uint32_t mask = gSlotTable.mask.load(std::memory_order_acquire);
    return {gSlotTable.slots.load(std::memory_order_relaxed), mask};
}

// The lookup of a plain handle (a zero-extended value with full access) whose slot is where
// the view's mask says: false for everything else (pseudo-handles, sign-extended values,
// restricted access, a table growing under the reader, and every bad value), which
// resolveOther() sorts out. The fast paths use this alone and leave the rest to their slow
// paths, so that they need no stack frame.
__attribute__((always_inline)) inline bool resolveFast(SlotView view, HANDLE h, Resolved& out) {
    const auto v = reinterpret_cast<std::uintptr_t>(h);
    // The compare is made on 64 bits, so that a value with any of its upper half set fails
    // it too; 0 and 0x3FFFFFFF are never numbers, so they fail it as well.
    const Slot* s = view.slots + ((static_cast<std::uint32_t>(v) >> 2) & view.mask);
    const std::uint64_t w = s->word.load(std::memory_order_acquire);
    if (__builtin_expect(std::uint64_t{static_cast<std::uint32_t>(w)} != (v | 3), 0)) {
        return false;  // another number, free, restricted access, or not a 32-bit value
    }
    auto* o = reinterpret_cast<Object*>(  // NOLINT(performance-no-int-to-ptr)
        s->link.load(std::memory_order_acquire));
    out = {o, static_cast<std::uint32_t>(w >> handle::kIncShift) & word::kIncMask,
           o->kind.load(std::memory_order_relaxed), static_cast<std::uint8_t>(kFullAccess)};
    return true;
}

__attribute__((always_inline)) inline bool resolveFast(HANDLE h, Resolved& out) {
    return resolveFast(slotView(), h, out);
}

// Looks a handle up; object null for null, closed, stale, garbage and pseudo-handles that
// cannot be had. Never dereferences anything outside the table. A result may still name an
// object that has died meanwhile (kind Free, or an incarnation that no longer matches):
// every user compares the incarnation before it relies on the object.
inline Resolved resolveHandle(HANDLE h) {
    Resolved r{};
    return resolveFast(h, r) ? r : resolveOther(h);
}

inline bool resolve(HANDLE h, Resolved& out) {
    out = resolveHandle(h);
    return out.object != nullptr;
}

// A new handle for `object` with `access`, taking over one reference of the caller's; null
// when the table is full or memory is short (the reference is then still the caller's).
HANDLE newHandle(Object* object, std::uint32_t access = kFullAccess);

// Looks a handle up and takes a reference; null as for resolve().
Object* acquireRef(HANDLE handle);

}  // namespace davro::win32::detail

namespace davro::win32::detail {

// The layer's access bits for a Win32 access mask asked for an object of `kind`: generic
// rights are mapped as Windows maps them for that kind of object first.
std::uint32_t accessFor(Kind kind, DWORD desiredAccess);

}  // namespace davro::win32::detail
