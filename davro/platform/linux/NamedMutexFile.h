// The shared-memory file that holds one named mutex: its name under /dev/shm, the record in
// it, and the file locks through which processes hold the name (NamedMutexFile.cpp).
#pragma once

#include <davro/platform/Win32.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

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

// The shared-memory file name for an object name in UTF-8.
std::string fileFor(const std::string& utf8);

// Opens (or, unless openOnly, creates) the file `file` for the name `utf8` and holds the
// name: the descriptor, with the record mapped into `rec` and `existed` set; a new record
// is owned by the caller when `initialOwner`. -1 with the last error set on failure.
int openRecordFile(const std::string& file, const std::string& utf8, bool openOnly,
                   BOOL initialOwner, bool& existed, SharedRecord*& rec);

// Gives up this process's hold on the name of `file`, opened as `fd`: the file goes when no
// other process holds the name, and the descriptor is closed. The record stays mapped.
void closeRecordFile(const std::string& file, int fd);

}  // namespace davro::win32::detail
