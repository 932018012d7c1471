// The Win32 critical section on Linux: a small recursive lock built on a futex, stored
// inside the 40 opaque bytes of CRITICAL_SECTION.
//
// The futex word follows the usual three states (0 free, 1 held, 2 held with possible
// waiters), so an uncontended enter and leave are one atomic operation each and no system
// call. Ownership is a per-thread id, which makes re-entry a plain counter increment; its low
// half is the owner's thread id, which wait chain traversal reports (WaitChain.cpp), so the
// enter path stores nothing more for it, and a forked child renumbers it. A thread that has to
// sleep notes the section it waits for in its wait note, in that slow path only.
//
// The spin count is how many times a thread that finds the section held looks at it again,
// with a pause between looks, before it sleeps, as Windows counts it: worth it when the
// holder runs on another processor and leaves soon. On one processor the holder cannot
// leave while the thread spins, and the count is 0, as Windows sets it there.
#include <davro/platform/Win32.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "Futex.h"
#include "SlimSync.h"
#include "StopScope.h"
#include "ThreadContext.h"
#include "WaitChain.h"

using namespace davro::win32;
using davro::win32::detail::cpuRelax;
using davro::win32::detail::futexWait;
using davro::win32::detail::futexWake;

namespace {

struct Section {
    std::atomic<std::uint32_t> word{0};
    // Written only by the owner; read by others only to learn that they are not the owner,
    // which a stale value never gets wrong (it can never equal the reader's own id), and by
    // wait chain traversal for the owner's thread id.
    std::atomic<std::uint64_t> owner{0};
    std::uint32_t recursion = 0;
    // Looks at a held section before sleeping. Changed by SetCriticalSectionSpinCount at any
    // time, so an atomic.
    std::atomic<std::uint32_t> spinCount{0};
};

// The spin counts of Windows have 24 bits; the byte above is flags there.
constexpr DWORD kSpinCountMask = 0x00FFFFFF;

// The spin count as Windows keeps it: 0 on a machine with one processor.
std::uint32_t effectiveSpinCount(DWORD spinCount) {
    static const bool oneProcessor = sysconf(_SC_NPROCESSORS_ONLN) <= 1;
    return oneProcessor ? 0 : (spinCount & kSpinCountMask);
}

static_assert(sizeof(Section) <= sizeof(CRITICAL_SECTION), "Section must fit the opaque bytes");
static_assert(alignof(Section) <= alignof(CRITICAL_SECTION), "Section must fit the alignment");
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "futex word must be lock-free");

Section* sectionOf(LPCRITICAL_SECTION section) {
    return std::launder(reinterpret_cast<Section*>(section->opaque));
}

// The calling thread's owner id, 0 until its first enter: a serial number, never reused in
// the process, above the thread's id, so that the owner's thread id costs no store. A forked
// child gives the forking thread its new id and keeps the serial (renumberSectionOwner), so
// the sections that the thread held across the fork are still its own.
__thread std::uint64_t tlsOwnerId __attribute__((tls_model("initial-exec"))) = 0;
std::atomic<std::uint32_t> gNextSerial{1};
// In a forked child, the forking thread's owner id there: a section it entered before the
// fork still shows the parent's thread id in its low half, which wait chains read as this.
std::atomic<std::uint64_t> gForkedOwner{0};

__attribute__((noinline)) std::uint64_t makeOwnerId() {
    tlsOwnerId = (std::uint64_t{gNextSerial.fetch_add(1, std::memory_order_relaxed)} << 32) |
                 davro::win32::detail::currentThreadId();
    return tlsOwnerId;
}

std::uint64_t threadId() {
    const std::uint64_t id = tlsOwnerId;
    return id != 0 ? id : makeOwnerId();
}

// Whether owner id `owner` is `me`'s: their serials match (0, no owner, matches no thread).
bool ownedBy(std::uint64_t owner, std::uint64_t me) { return ((owner ^ me) >> 32) == 0; }

// The thread id in an owner id.
std::uint32_t tidOf(std::uint64_t id) { return static_cast<std::uint32_t>(id); }

// Sleeps until the section is free and takes it; `state` is what the failed first attempt
// saw. The wait is noted for wait chain traversal while the thread sleeps.
__attribute__((noinline)) void acquireContended(Section& s, std::uint32_t state) {
    using namespace davro::win32::detail;
    // Mark the word as having waiters and sleep until it is free.
    if (state != 2) {
        state = s.word.exchange(2, std::memory_order_acquire);
    }
    if (state == 0) {
        return;
    }
    ThreadContext* c = currentContext();  // null when memory is short: the wait goes unnoted
    OuterNote outer{};
    if (c != nullptr) {
        const NoStopScope noStop;
        outer = beginNote(c, NoteKind::Section, reinterpret_cast<std::uintptr_t>(&s), nullptr, 0,
                          false);
    }
    while (state != 0) {
        futexWait(&s.word, 2);
        state = s.word.exchange(2, std::memory_order_acquire);
    }
    if (c != nullptr) {
        const NoStopScope noStop;
        endNote(c, outer);
    }
}

// Looks at a held section up to its spin count times and takes it if it comes free; false
// with `state` the last word seen when it stays held.
__attribute__((noinline)) bool acquireSpinning(Section& s, std::uint32_t& state) {
    const std::uint32_t spins = s.spinCount.load(std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < spins; ++i) {
        cpuRelax();
        state = s.word.load(std::memory_order_relaxed);
        if (state == 0 && s.word.compare_exchange_strong(state, 1, std::memory_order_acquire,
                                                         std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

void acquire(Section& s) {
    std::uint32_t state = 0;
    if (s.word.compare_exchange_strong(state, 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return;
    }
    if (s.spinCount.load(std::memory_order_relaxed) != 0 && acquireSpinning(s, state)) {
        return;
    }
    acquireContended(s, state);
}

}  // namespace

namespace davro::win32 {

void InitializeCriticalSection(LPCRITICAL_SECTION section) { new (section->opaque) Section(); }

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount) {
    auto* s = new (section->opaque) Section();
    s->spinCount.store(effectiveSpinCount(spinCount), std::memory_order_relaxed);
    return TRUE;
}

// The flags (CRITICAL_SECTION_NO_DEBUG_INFO...) concern debug information, of which none is
// kept here; they are accepted whatever they are, as Wine accepts them.
BOOL InitializeCriticalSectionEx(LPCRITICAL_SECTION section, DWORD spinCount, DWORD /*flags*/) {
    return InitializeCriticalSectionAndSpinCount(section, spinCount);
}

DWORD SetCriticalSectionSpinCount(LPCRITICAL_SECTION section, DWORD spinCount) {
    return sectionOf(section)->spinCount.exchange(effectiveSpinCount(spinCount),
                                                  std::memory_order_relaxed);
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    Section& s = *sectionOf(section);
    const std::uint64_t me = threadId();
    if (ownedBy(s.owner.load(std::memory_order_relaxed), me)) {
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
    if (ownedBy(s.owner.load(std::memory_order_relaxed), me)) {
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
    if (!ownedBy(s.owner.load(std::memory_order_relaxed), threadId())) {
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

namespace davro::win32::detail {

std::uint32_t criticalSectionOwner(std::uintptr_t section) {
    // A Section's address, as noted by acquireContended.
    const auto* s = reinterpret_cast<const Section*>(section);  // NOLINT(performance-no-int-to-ptr)
    const std::uint64_t owner = s->owner.load(std::memory_order_relaxed);
    const std::uint64_t forked = gForkedOwner.load(std::memory_order_relaxed);
    return tidOf(owner != 0 && forked != 0 && ownedBy(owner, forked) ? forked : owner);
}

void renumberSectionOwner(std::uint32_t tid) {
    if (tlsOwnerId != 0) {
        tlsOwnerId = (tlsOwnerId & ~std::uint64_t{0xFFFFFFFFU}) | tid;
        gForkedOwner.store(tlsOwnerId, std::memory_order_relaxed);
    }
}

}  // namespace davro::win32::detail

namespace davro::win32::detail {

std::uint32_t leaveCriticalSectionWholly(LPCRITICAL_SECTION section) {
    Section& s = *sectionOf(section);
    // By serial, as every ownership test: in a forked child the thread id part differs.
    if (!ownedBy(s.owner.load(std::memory_order_relaxed), threadId())) {
        return 0;
    }
    const std::uint32_t depth = s.recursion;
    s.recursion = 1;
    LeaveCriticalSection(section);
    return depth;
}

void reenterCriticalSection(LPCRITICAL_SECTION section, std::uint32_t depth) {
    if (depth == 0) {
        return;  // the caller did not hold it: nothing was left
    }
    EnterCriticalSection(section);
    if (depth > 1) {
        sectionOf(section)->recursion = depth;
    }
}

}  // namespace davro::win32::detail
