// The calling thread's robust-futex list, and locking a robust futex through it
// (RobustList.cpp; DESIGN.md, "Named mutexes").
//
// The kernel keeps, per thread, the address of a list of the futexes the thread holds; when
// the thread ends, however it ends, the kernel marks each word it still owns
// FUTEX_OWNER_DIED and wakes a sleeper. The C library registers that list for every thread
// and links its robust pthread mutexes into it. A thread has one list, so a named mutex
// links its entry into the same one, laid out as the library lays out its own: a doubly
// linked entry whose `next` the kernel follows, and whose `prev` points at the `next` link
// of the entry before it. Entries of both kinds then sit side by side, and either side can
// unlink its own. Before the first use, a probe checks that the library's list really looks
// like that; where it does not, the library's own robust mutex calls are used instead.
#pragma once

#include <linux/futex.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "Futex.h"

// Whether named mutexes may be linked into the C library's robust lists at all: only where
// the C library is glibc, whose pthread_mutex_t names its links (`__data.__list`) so that the
// layout can be checked, at compile time here and by the probe at run time. Elsewhere it is
// 0, nothing names glibc's private fields, and every thread locks named mutexes through the
// C library's calls. Code that names those fields is compiled only where it is 1.
// A build may also set it to 0 itself (-DDAVRO_LINK_ROBUST_LIST=0).
#ifndef DAVRO_LINK_ROBUST_LIST
#if defined(__GLIBC__)
#define DAVRO_LINK_ROBUST_LIST 1
#else
#define DAVRO_LINK_ROBUST_LIST 0
#endif
#endif

namespace davro::win32::detail {

// The kernel's head of a thread's list (struct robust_list_head).
struct RobustHead {
    void* list;        // the first entry's `next` link; the head itself when empty
    long futexOffset;  // from an entry's `next` link to its futex word
    void* pending;     // the entry of a lock or unlock in progress
};

// An entry's links. Bit 0 of a `next` value marks a priority-inheritance futex for the
// kernel; it is kept as found and masked off to reach the entry.
struct RobustLinks {
    void* prev;
    void* next;
};

// From a word to its links: the word comes first, the links this many bytes later. A named
// mutex's record places them where a pthread mutex has its own (NamedFile.h).
inline constexpr long kRobustLinksOffset = 24;
inline constexpr long kRobustFutexOffset =  // from the `next` link back to the word
    -(kRobustLinksOffset + static_cast<long>(offsetof(RobustLinks, next)));

// The calling thread's head when its list is one this file can link into, else null: the
// C library's calls must then do the locking. Asks the kernel, and checks the head of every
// thread, not only the probing one: its size and futex offset, and that it lies where the
// probe found the C library's head, at the same place in the thread's descriptor (a list
// that something else registered for the thread is not linked into, as linking into an empty
// list writes just before its head). The caller keeps the answer.
RobustHead* robustHeadOfThisThread();

namespace robust {

// The links of the entry whose `next` link is at `link` (or the head's, whose `prev` is the
// C library's slot just before the head: the probe checks that it exists).
inline RobustLinks* entryOf(void* link) {
    char* const untagged = static_cast<char*>(link) - (reinterpret_cast<std::uintptr_t>(link) & 1);
    return reinterpret_cast<RobustLinks*>(untagged - offsetof(RobustLinks, next));
}

// Only this thread reads or writes its list while it lives, and the kernel reads it only
// once the thread has ended: compiler barriers order the steps, no fence is needed.
inline void barrier() { std::atomic_signal_fence(std::memory_order_seq_cst); }

// Adds `entry` at the front of the list, as the C library adds its own.
inline void link(RobustHead* head, RobustLinks* entry) {
    void* const first = head->list;
    entryOf(first)->prev = &entry->next;
    entry->next = first;
    entry->prev = head;  // the head's `list` is its first member
    barrier();
    head->list = &entry->next;
}

inline void unlink(RobustLinks* entry) {
    void* const next = entry->next;
    void* const prev = entry->prev;
    entryOf(next)->prev = prev;
    entryOf(prev)->next = next;
}

}  // namespace robust

// One attempt to take the robust futex `word`, whose links are `links`, for thread `tid`:
// 0, EOWNERDEAD (taken from an owner that died) or EBUSY. A word without an owner is taken
// whatever its flags, keeping the waiters flag so that the release wakes the next sleeper.
// While the word changes hands the entry is the list's pending one: a thread killed in
// between still has the word released by the kernel.
__attribute__((always_inline)) inline int robustTryLock(RobustHead* head,
                                                        std::atomic<std::uint32_t>* word,
                                                        RobustLinks* links, std::uint32_t tid) {
    head->pending = &links->next;
    robust::barrier();
    std::uint32_t seen = 0;
    while (!word->compare_exchange_weak(seen, tid | (seen & FUTEX_WAITERS),
                                        std::memory_order_acquire, std::memory_order_relaxed)) {
        if ((seen & FUTEX_TID_MASK) != 0) {
            robust::barrier();
            head->pending = nullptr;
            return EBUSY;
        }
    }
    robust::link(head, links);
    robust::barrier();
    head->pending = nullptr;
    return (seen & FUTEX_OWNER_DIED) != 0 ? EOWNERDEAD : 0;
}

// Gives back a word that the calling thread took with robustTryLock. The entry leaves the
// list before the word is released, and its links are left as they are: the next owner,
// maybe in another process, writes its own.
__attribute__((always_inline)) inline void robustUnlock(RobustHead* head,
                                                        std::atomic<std::uint32_t>* word,
                                                        RobustLinks* links) {
    head->pending = &links->next;
    robust::barrier();
    robust::unlink(links);
    robust::barrier();
    if ((word->exchange(0, std::memory_order_release) & FUTEX_WAITERS) != 0) {
        futexWake(word, 1, true);
    }
    robust::barrier();
    head->pending = nullptr;
}

}  // namespace davro::win32::detail
