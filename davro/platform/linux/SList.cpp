// Interlocked singly linked lists: a lock-free stack whose 16-byte header holds the first
// entry and, beside it, the depth (16 bits) and a sequence number (48 bits) that every change
// bumps. One 16-byte compare-and-swap changes both, so a pop that read an entry's Next and
// lost the entry to other pops and pushes meanwhile fails its compare even when the same
// entry is first again (the ABA problem).
//
// x86-64 has the instruction (cmpxchg16b) on every processor that runs a current Linux or
// Windows, and it is used directly; elsewhere, and under ThreadSanitizer, which must see the
// operation, the compiler's 16-byte atomics (libatomic) do the same work.
//
// A pop reads the first entry's Next before its compare-and-swap tells it whether that entry
// was still first; when it was not, the entry may have been popped and freed meanwhile. The
// read is harmless while the memory stays mapped (the value is discarded with the failed
// compare). Windows catches the fault that an unmapped entry would raise; here the entries'
// memory must stay readable (docs/platform.md).
#include <davro/platform/Win32.h>

#include <cstdint>

namespace davro::win32 {
namespace {

#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define DAVRO_SLIST_CMPXCHG16B 1
#endif

// A 16-byte integer, which ISO C++ lacks.
__extension__ typedef unsigned __int128 Word128;  // NOLINT(modernize-use-using)

// The header's two words: the first entry, and [sequence:48][depth:16].
struct Head {
    std::uint64_t first;
    std::uint64_t count;
};

constexpr std::uint64_t kDepthMask = 0xFFFF;
constexpr std::uint64_t kSequenceUnit = std::uint64_t{1} << 16;

static_assert(sizeof(SLIST_HEADER) == 16, "as 64-bit Windows");
static_assert(alignof(SLIST_HEADER) == 16, "as 64-bit Windows");
static_assert(alignof(SLIST_ENTRY) == 16, "entries aligned as Windows requires");

std::uint64_t* wordsOf(PSLIST_HEADER head) { return reinterpret_cast<std::uint64_t*>(head); }

// The header as it is now. The two halves may come from different moments; a compare-and-
// swap with a torn value fails and returns the whole current one.
Head read(PSLIST_HEADER head) {
    const std::uint64_t* w = wordsOf(head);
    return {__atomic_load_n(&w[0], __ATOMIC_ACQUIRE), __atomic_load_n(&w[1], __ATOMIC_ACQUIRE)};
}

// Replaces `expected` by `desired`; on failure `expected` receives the current header.
bool compareExchange(PSLIST_HEADER head, Head& expected, Head desired) {
#if defined(DAVRO_SLIST_CMPXCHG16B)
    bool done = false;
    auto* target = reinterpret_cast<Word128*>(head);
    asm volatile("lock cmpxchg16b %1"
                 : "=@ccz"(done), "+m"(*target), "+a"(expected.first), "+d"(expected.count)
                 : "b"(desired.first), "c"(desired.count)
                 : "memory");
    return done;
#else
    auto* target = reinterpret_cast<Word128*>(head);
    Word128 old = (static_cast<Word128>(expected.count) << 64) | expected.first;
    const Word128 now = (static_cast<Word128>(desired.count) << 64) | desired.first;
    if (__atomic_compare_exchange_n(target, &old, now, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
        return true;
    }
    expected = {static_cast<std::uint64_t>(old), static_cast<std::uint64_t>(old >> 64)};
    return false;
#endif
}

PSLIST_ENTRY entryOf(std::uint64_t word) {
    return reinterpret_cast<PSLIST_ENTRY>(word);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

void InitializeSListHead(PSLIST_HEADER head) {
    std::uint64_t* w = wordsOf(head);
    __atomic_store_n(&w[0], 0, __ATOMIC_RELAXED);
    __atomic_store_n(&w[1], 0, __ATOMIC_RELEASE);
}

PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER head, PSLIST_ENTRY entry) {
    Head old = read(head);
    for (;;) {
        __atomic_store_n(&entry->Next, entryOf(old.first), __ATOMIC_RELAXED);
        const Head next{
            reinterpret_cast<std::uint64_t>(entry),
            ((old.count & ~kDepthMask) + kSequenceUnit) | ((old.count + 1) & kDepthMask)};
        if (compareExchange(head, old, next)) {
            return entryOf(old.first);
        }
    }
}

PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER head) {
    Head old = read(head);
    for (;;) {
        if (old.first == 0) {
            return nullptr;
        }
        // May read an entry that another thread popped (and reused) meanwhile: see above.
        PSLIST_ENTRY next = __atomic_load_n(&entryOf(old.first)->Next, __ATOMIC_RELAXED);
        const Head desired{
            reinterpret_cast<std::uint64_t>(next),
            ((old.count & ~kDepthMask) + kSequenceUnit) | ((old.count - 1) & kDepthMask)};
        if (compareExchange(head, old, desired)) {
            return entryOf(old.first);
        }
    }
}

PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER head) {
    Head old = read(head);
    for (;;) {
        if (old.first == 0) {
            return nullptr;
        }
        const Head empty{0, (old.count & ~kDepthMask) + kSequenceUnit};
        if (compareExchange(head, old, empty)) {
            return entryOf(old.first);
        }
    }
}

USHORT QueryDepthSList(PSLIST_HEADER head) {
    return static_cast<USHORT>(__atomic_load_n(&wordsOf(head)[1], __ATOMIC_RELAXED) & kDepthMask);
}

}  // namespace davro::win32
