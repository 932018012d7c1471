// The Win32 critical section on Linux: a small recursive lock built on a futex, stored
// inside the 40 opaque bytes of CRITICAL_SECTION.
//
// The futex word follows the usual three states (0 free, 1 held, 2 held with possible
// waiters), so an uncontended enter and leave are one atomic operation each and no system
// call. Ownership is a per-thread id, which makes re-entry a plain counter increment.
#include <davro/platform/Win32.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "Futex.h"

using namespace davro::win32;
using davro::win32::detail::futexWait;
using davro::win32::detail::futexWake;

namespace {

struct Section {
    std::atomic<std::uint32_t> word{0};
    // Written only by the owner; read by others only to learn that they are not the owner,
    // which a stale value never gets wrong (it can never equal the reader's own id).
    std::atomic<std::uint64_t> owner{0};
    std::uint32_t recursion = 0;
};

static_assert(sizeof(Section) <= sizeof(CRITICAL_SECTION), "Section must fit the opaque bytes");
static_assert(alignof(Section) <= alignof(CRITICAL_SECTION), "Section must fit the alignment");
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "futex word must be lock-free");

Section* sectionOf(LPCRITICAL_SECTION section) {
    return std::launder(reinterpret_cast<Section*>(section->opaque));
}

// A nonzero id per thread, never reused in the process.
std::uint64_t threadId() {
    static std::atomic<std::uint64_t> next{1};
    thread_local const std::uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

void acquire(Section& s) {
    std::uint32_t state = 0;
    if (s.word.compare_exchange_strong(state, 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return;
    }
    // Contended: mark the word as having waiters and sleep until it is free.
    if (state != 2) {
        state = s.word.exchange(2, std::memory_order_acquire);
    }
    while (state != 0) {
        futexWait(&s.word, 2);
        state = s.word.exchange(2, std::memory_order_acquire);
    }
}

}  // namespace

namespace davro::win32 {

void InitializeCriticalSection(LPCRITICAL_SECTION section) { new (section->opaque) Section(); }

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    Section& s = *sectionOf(section);
    const std::uint64_t me = threadId();
    if (s.owner.load(std::memory_order_relaxed) == me) {
        ++s.recursion;
        return;
    }
    acquire(s);
    s.owner.store(me, std::memory_order_relaxed);
    s.recursion = 1;
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    Section& s = *sectionOf(section);
    const std::uint64_t me = threadId();
    if (s.owner.load(std::memory_order_relaxed) == me) {
        ++s.recursion;
        return TRUE;
    }
    std::uint32_t state = 0;
    if (!s.word.compare_exchange_strong(state, 1, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
        return FALSE;
    }
    s.owner.store(me, std::memory_order_relaxed);
    s.recursion = 1;
    return TRUE;
}

// Leaving a section that the thread does not hold is a caller error on Windows with
// undefined results; here it is ignored.
void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    Section& s = *sectionOf(section);
    if (s.owner.load(std::memory_order_relaxed) != threadId()) {
        return;
    }
    if (--s.recursion != 0) {
        return;
    }
    s.owner.store(0, std::memory_order_relaxed);
    if (s.word.exchange(0, std::memory_order_release) == 2) {
        futexWake(&s.word);
    }
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) { sectionOf(section)->~Section(); }

}  // namespace davro::win32
