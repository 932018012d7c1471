// The shared-memory file that holds one named mutex: its name under /dev/shm, the record in
// it, and the file locks through which processes hold the name (NamedMutexFile.cpp).
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

// The shared record. `name` is the full UTF-8 name, checked on open, because long names are
// shortened with a hash in the file name.
struct SharedRecord {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t size;
    std::uint32_t kind;
    pthread_mutex_t mutex;
    // Written only by the owner: the mutex was abandoned and the next wait that takes it
    // reports WAIT_ABANDONED (set on EOWNERDEAD and by a thread that ends owning it).
    std::uint32_t abandoned;
    std::uint32_t nameLength;
    char name[kMaxPath * 4];
};
static_assert(sizeof(SharedRecord) <= kRecordSize);

inline std::atomic<std::uint32_t>* futexWord(SharedRecord* rec) {
    // The robust-futex ABI of the kernel: the mutex's first word holds the owner's thread id
    // with the FUTEX_WAITERS and FUTEX_OWNER_DIED flags.
    return reinterpret_cast<std::atomic<std::uint32_t>*>(&rec->mutex);
}

// The mutex's entry in its owner's robust list, where the C library keeps its own.
static_assert(offsetof(pthread_mutex_t, __data.__list) - offsetof(pthread_mutex_t, __data.__lock) ==
              kRobustLinksOffset);
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

// The shared-memory file name for an object name in UTF-8.
std::string fileFor(const std::string& utf8);

// Opens (or, unless openOnly, creates) the file `file` for the name `utf8` and holds the
// name: the descriptor, with the record mapped into `rec` and `existed` set; a new record
// is owned by thread `tid`, through its robust list `head` (see tryLockRecord), when
// `initialOwner`. -1 with the last error set on failure.
int openRecordFile(const std::string& file, const std::string& utf8, bool openOnly,
                   BOOL initialOwner, RobustHead* head, std::uint32_t tid, bool& existed,
                   SharedRecord*& rec);

// Gives up this process's hold on the name of `file`, opened as `fd`: the file goes when no
// other process holds the name, and the descriptor is closed. The record stays mapped.
void closeRecordFile(const std::string& file, int fd);

}  // namespace davro::win32::detail
