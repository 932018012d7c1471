// The shared record of a named object and the file that holds it: where the file lives, how
// it is named, and the file locks through which processes hold the name (NamedFile.cpp;
// DESIGN.md, "Named objects").
#pragma once

#include <davro/platform/Win32.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "RobustList.h"

namespace davro::win32::detail {

inline constexpr std::size_t kMaxPath = 260;  // Win32's MAX_PATH: the longest object name
inline constexpr std::size_t kRecordSize = 4096;

// What a name holds. One namespace for all kinds: a name taken by one kind is refused to
// the others.
enum class NamedKind : std::uint32_t {
    Mutex = 1,
    AutoEvent = 2,
    ManualEvent = 3,
    Semaphore = 4,
    ManualTimer = 5,
    AutoTimer = 6,
};

// A timer's due time as its record keeps it: kTimerDisarmed, a monotonic time in ns (>= 0),
// or an absolute UTC FILETIME count stored complemented (< 0), converted at each look so that
// it follows the system clock.
inline constexpr std::int64_t kTimerDisarmed = INT64_MAX;

// The shared record, one per name. The mutex is a robust futex laid out as the C library's
// robust mutex; events, semaphores and timers keep [waiters:32][count:32] in one word whose
// low half is the futex word their waiters sleep on (a timer's waiters sleep on `timerSeq`
// instead). `counting` is how that word is counted: a synchronization timer counts as an auto
// event, a manual timer as a manual event. `name` is the name as given, compared on open,
// since long names are shortened with a hash in the file name; `utf8` is its text for
// reports.
struct SharedRecord {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t size;
    NamedKind kind;
    NamedKind counting;
    pthread_mutex_t mutex;
    // Written only by the owner: the mutex was abandoned and the next wait that takes it
    // reports WAIT_ABANDONED (set on EOWNERDEAD and by a thread that ends owning it).
    std::uint32_t abandoned;
    std::int32_t maximum;  // semaphore
    std::atomic<std::uint64_t> counted;
    // Timers: the due time (kTimerDisarmed or as above) and the period in ns, moved on by the
    // one look that wins a compare-and-swap on `due`; `timerSeq` moves at every set, cancel
    // and fire, and wakes the waiters that sleep on it. `setGen` moves at every set and
    // cancel, before `due` is written: a process whose thread set the timer with a completion
    // routine tells by it that the routine was dropped by a later set, from any process.
    std::atomic<std::int64_t> due;
    std::atomic<std::int64_t> periodNs;
    std::atomic<std::uint32_t> timerSeq;
    std::atomic<std::uint32_t> setGen;
    std::uint32_t nameLength;
    std::uint32_t utf8Length;
    std::uint32_t name[kMaxPath];
    char utf8[kMaxPath * 4];
};
static_assert(sizeof(SharedRecord) <= kRecordSize);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

inline constexpr std::uint64_t kOneWaiter = std::uint64_t{1} << 32;
inline constexpr std::uint32_t countOf(std::uint64_t w) { return static_cast<std::uint32_t>(w); }
inline constexpr std::uint32_t waitersOf(std::uint64_t w) {
    return static_cast<std::uint32_t>(w >> 32);
}

// The futex word of the count: the low half of `counted` (little-endian).
inline std::atomic<std::uint32_t>* countWord(SharedRecord* rec) {
    return reinterpret_cast<std::atomic<std::uint32_t>*>(&rec->counted);
}

inline std::atomic<std::uint32_t>* futexWord(SharedRecord* rec) {
    // The robust-futex ABI of the kernel: the mutex's first word holds the owner's thread id
    // with the FUTEX_WAITERS and FUTEX_OWNER_DIED flags.
    return reinterpret_cast<std::atomic<std::uint32_t>*>(&rec->mutex);
}

// The mutex's entry in its owner's robust list, where the C library keeps its own.
#if DAVRO_LINK_ROBUST_LIST
static_assert(offsetof(pthread_mutex_t, __data.__list) - offsetof(pthread_mutex_t, __data.__lock) ==
              kRobustLinksOffset);
#endif
inline RobustLinks* robustLinks(SharedRecord* rec) {
    return reinterpret_cast<RobustLinks*>(reinterpret_cast<char*>(&rec->mutex) +
                                          kRobustLinksOffset);
}

// The C library's calls on the record's mutex, for threads whose robust list is not linked
// into directly: as tryLockRecord and unlockRecord.
int tryLockWithCLibrary(SharedRecord* rec);
void unlockWithCLibrary(SharedRecord* rec);

// One attempt to take the record's mutex for the calling thread `tid`, through its robust
// list `head`, or with the C library's call when `head` is null: 0, EOWNERDEAD (taken, and
// made consistent: the caller records the abandonment), or EBUSY. Both ways speak the
// kernel's protocol on the same word, so threads of either kind share the mutex.
__attribute__((always_inline)) inline int tryLockRecord(RobustHead* head, SharedRecord* rec,
                                                        std::uint32_t tid) {
    return head != nullptr ? robustTryLock(head, futexWord(rec), robustLinks(rec), tid)
                           : tryLockWithCLibrary(rec);
}

// Gives back the mutex that the calling thread took with tryLockRecord through `head`.
__attribute__((always_inline)) inline void unlockRecord(RobustHead* head, SharedRecord* rec) {
    if (head != nullptr) {
        robustUnlock(head, futexWord(rec), robustLinks(rec));
    } else {
        unlockWithCLibrary(rec);
    }
}

// A name as given, with its file's path: `name` holds the code units exactly (names that
// differ in any unit stay apart, valid Unicode or not), `utf8` a text for reports.
struct NameKey {
    std::u32string name;
    std::string utf8;
    std::string path;
};
// Builds the key of a name less its Global\ or Local\ prefix: ERROR_SUCCESS, or the error of
// a bad name. May throw std::bad_alloc.
DWORD makeKey(const wchar_t* name, NameKey& key);

// What a new record starts as: its kind and first state.
struct NewRecord {
    NamedKind kind;
    std::uint32_t count;   // events: 1 when set; semaphores: the initial count
    std::int32_t maximum;  // semaphores
    bool owned;            // mutexes: taken by thread `tid` through `head` (tryLockRecord)
    RobustHead* head;
    std::uint32_t tid;
};

// Opens the record of `key`, or unless `openOnly` creates it as `fresh` says, and holds the
// name for this process: the descriptor, with the record mapped into `rec` and `existed`
// set. -1 with the last error set on failure: ERROR_FILE_NOT_FOUND for a missing name with
// `openOnly`, ERROR_INVALID_HANDLE for a name that another kind holds (`family` says which
// kinds are accepted: the kinds whose bits are set, 1 << kind), ERROR_ACCESS_DENIED or
// ERROR_FILE_INVALID for a file that is not ours or not a record.
int openRecordFile(const NameKey& key, bool openOnly, unsigned family, const NewRecord& fresh,
                   bool& existed, SharedRecord*& rec);

// Gives up this process's hold on the name of `path`, opened as `fd`; the descriptor is
// closed, and every lock it held is released first, whatever still maps the record. True
// when no other process held the name: the file is then gone. The record stays mapped.
bool closeRecordFile(const std::string& path, int fd);

// fork(): a child must hold each name through its own open file description, or a close
// on one side would count for both. Before the fork, holdForChild opens `fd`'s file anew
// and holds the name through it (-1 if it cannot); after it, the parent closes that
// descriptor and the child uses it in place of `fd`, which it closes.
int holdForChild(int fd);
// In the child, for a name that holdForChild could not hold (no descriptor to spare before
// the fork): closes `inherited`, the parent's description, and holds the name through a
// description of its own if the file under `path` is still the one inherited; else -1, and
// the child holds nothing (its object lives on, but others no longer find it by the name).
int holdAgain(const std::string& path, int inherited);

}  // namespace davro::win32::detail
