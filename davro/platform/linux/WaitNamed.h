// The wait engine's part for named objects (WaitEngine.cpp): a blocking wait tries them
// itself, since their waiters are not queued on them, and sleeps on their futex words.
#pragma once

#include <cstdint>

#include "Futex.h"
#include "Object.h"
#include "ThreadContext.h"

namespace davro::win32::detail {

inline bool isNamed(const Object* o) {
    return isNamedKind(o->kind.load(std::memory_order_relaxed));
}

// Tries named object `o` for entry `i` of the wait-any of `c`; true when the wait is decided
// (by this attempt or by someone else). A take that comes too late to decide is given back.
bool pollNamed(ThreadContext* c, Object* o, std::uint32_t i);
// Tries the named objects of a wait-any in order; true when the wait is decided.
bool pollNamedAny(ThreadContext* c, Object* const* objs, std::uint32_t n);
// The futex words of the named objects of the wait of `c`, after its own status, with the
// values they hold now, read before the objects are tried, so that a change after the
// attempt ends the sleep at once. Returns their number; `changed` gets a bit per word that
// changed since the last sleep to something a waiter could take, and `free` a bit per object
// (by its index in `objs`) whose word showed something to take.
unsigned watchNamed(ThreadContext* c, Object* const* objs, std::uint32_t n, FutexWatch* watches,
                    bool again, std::uint64_t& changed, std::uint64_t& free);
// Whether the named objects of the wait of `c` look takeable now: any of them for a wait-any,
// all for a wait-all. Plain loads, for a spinning waiter: another process changes their
// words, never the waiter's status.
bool namedLookReady(ThreadContext* c, Object* const* objs, std::uint32_t n);
// A wake-up on a word may go to one sleeper only, and a waiter may decline what it was woken
// for (a wait-all whose set is not complete): each word in `changed` that the waiter's
// attempt left alone is passed on to every sleeper, once per change seen.
void passOnNamed(const FutexWatch* watches, unsigned count, std::uint64_t changed);

}  // namespace davro::win32::detail
