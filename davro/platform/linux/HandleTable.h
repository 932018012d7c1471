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

#include "ChunkedArray.h"
#include "Object.h"

namespace davro::win32::detail {

namespace handle {
inline constexpr unsigned kNumberShift = 34;  // slot word: [number:30][inc:31][access:2][live]
inline constexpr unsigned kIncShift = 3;
inline constexpr std::uint64_t kLive = 1;
inline constexpr unsigned kAccessShift = 1;
// 0 is NULL, and 0x3FFFFFFF is what -1 to -4 (INVALID_HANDLE_VALUE and the pseudo-handles)
// become with their tag bits dropped; neither is ever a number.
inline constexpr std::uint32_t kMaxNumber = 0x3FFFFFFE;
inline constexpr unsigned kMinCapacityBits = 8;
inline constexpr unsigned kMaxCapacityBits = 25;  // 2^24 handles in use at the most
inline constexpr std::uint32_t kMaxHandles = 1u << (kMaxCapacityBits - 1);
}  // namespace handle

// What a handle may be used for, beside naming its object (Win32 access rights, reduced to
// the two that the layer checks).
inline constexpr std::uint32_t kMayWait = 1;    // SYNCHRONIZE
inline constexpr std::uint32_t kMayModify = 2;  // MUTEX_MODIFY_STATE, EVENT_MODIFY_STATE, ...
inline constexpr std::uint32_t kFullAccess = kMayWait | kMayModify;

// A slot: its word, and its link: the object while the slot is in use (stored before the
// word is published), the next free slot while it is free. A lookup reads word, link and
// word again: the same word twice means the link belongs to it, since a slot's number
// changes at every reuse.
struct Slot {
    std::atomic<std::uint64_t> word{0};
    std::atomic<std::uintptr_t> link{0};
};

extern ChunkedArray<Slot, 12, (1u << handle::kMaxCapacityBits)> gSlots;
extern std::atomic<std::uint32_t> gSlotMask;  // capacity - 1; 0 before the first handle

// A handle looked up without taking a reference: the object, the incarnation it had when
// the handle was made, its kind, and the handle's access. Lock-free paths act only through
// compare-and-swaps that check the incarnation.
struct Resolved {
    Object* object;
    std::uint32_t incarnation;
    Kind kind;
    std::uint32_t access;
};

// Pseudo-handles, values that are not 32-bit, and a slot that moved while it was read
// (resolve's slow path).
bool resolveOther(HANDLE h, Resolved& out);

// Looks a handle up; false for null, closed, stale, garbage and pseudo-handles that cannot
// be had. Never dereferences anything outside the table.
inline bool resolve(HANDLE h, Resolved& out) {
    const auto v = reinterpret_cast<std::uintptr_t>(h);
    const std::uint32_t number = static_cast<std::uint32_t>(v) >> 2;
    if (__builtin_expect((v >> 32) != 0 || number - 1 >= handle::kMaxNumber, 0)) {
        return resolveOther(h, out);
    }
    const std::uint32_t mask = gSlotMask.load(std::memory_order_acquire);
    if (__builtin_expect(mask == 0, 0)) {
        return false;  // no handle has ever been made
    }
    const Slot* s = gSlots.at(number & mask);
    const std::uint64_t w = s->word.load(std::memory_order_acquire);
    const std::uintptr_t link = s->link.load(std::memory_order_acquire);
    if (__builtin_expect((w >> handle::kNumberShift) != number || (w & handle::kLive) == 0 ||
                             s->word.load(std::memory_order_relaxed) != w,
                         0)) {
        return resolveOther(h, out);
    }
    Object* o = reinterpret_cast<Object*>(link);  // NOLINT(performance-no-int-to-ptr)
    out.object = o;
    out.incarnation = static_cast<std::uint32_t>(w >> handle::kIncShift) & word::kIncMask;
    out.access = static_cast<std::uint32_t>(w >> handle::kAccessShift) & kFullAccess;
    out.kind = o->kind.load(std::memory_order_relaxed);
    return out.kind != Kind::Free;
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
