// Named mutexes: one mutex per name, shared by every process of the same user.
//
// The mutex is a robust, process-shared, recursive pthread mutex in a small shared-memory
// file under /dev/shm. The kernel's robust-futex list marks it "owner died" when the
// owning thread ends, also when its whole process is killed, so the next locker in any
// process gets EOWNERDEAD and reports WAIT_ABANDONED.
//
// Object lifetime follows Windows: a name exists while some process holds a handle to it.
// Each process that holds the name keeps a shared open-file-description lock on byte 0 of
// the file; creating takes byte 1 exclusively (one creator at a time) and then tries to
// take byte 0 exclusively: if that succeeds nobody else holds the name, the record is
// (re)initialised, and the lock is turned into a shared one. Those locks vanish when the
// process dies, so a killed process never keeps a name alive.
#include <davro/platform/detail/Utf8.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "Kernel.h"
#include "ThreadRecord.h"

#if defined(__SANITIZE_THREAD__)
#define DAVRO_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DAVRO_TSAN 1
#endif
#endif

namespace davro::win32::detail {

// The named mutex whose blocking lock the calling thread is in. Its caller, the
// single-object wait, holds a reference on it for the time of the lock; a thread that
// TerminateThread stops there never returns to drop it, so its end does (dropNamedLock).
__thread Object* tlsNamedLock __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

constexpr std::uint32_t kMagic = 0x44564E4D;  // "DVNM"
constexpr std::uint32_t kKindMutex = 1;
constexpr std::size_t kMaxPath = 260;  // Win32's MAX_PATH: the longest object name
constexpr std::size_t kRecordSize = 4096;

// The shared record. `name` is the full UTF-8 name, checked on open, because long names are
// shortened with a hash in the file name.
struct SharedRecord {
    std::uint32_t magic;
    std::uint32_t kind;
    pthread_mutex_t mutex;
    std::uint32_t nameLength;
    char name[kMaxPath * 4];
};
static_assert(sizeof(SharedRecord) <= kRecordSize);

}  // namespace

// What one process keeps for one name.
struct NamedMutexShared {
    std::string file;
    int fd = -1;
    SharedRecord* record = nullptr;
    int users = 0;  // objects of this process that use the record
};

namespace {

struct Registry {
    std::mutex lock;
    std::map<std::string, NamedMutexShared*> byFile;
};

Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

std::uint64_t fnv1a(const std::string& text, std::uint64_t seed) {
    std::uint64_t h = seed;
    for (unsigned char c : text) {
        h = (h ^ c) * 0x100000001B3ULL;
    }
    return h;
}

// The shared-memory file name for an object name: "davro.<uid>.<name>" with every byte
// outside [A-Za-z0-9_-] escaped as %XX, so "/" and ".." stay inside the one directory;
// names whose escaped form is long are cut and completed with a 128-bit hash.
std::string fileFor(const std::string& utf8) {
    static const char* hex = "0123456789ABCDEF";
    std::string escaped;
    for (unsigned char c : utf8) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '-') {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += hex[c >> 4];
            escaped += hex[c & 15];
        }
    }
    if (escaped.size() > 160) {
        char digest[40];
        std::snprintf(digest, sizeof digest, "~%016llx%016llx",
                      static_cast<unsigned long long>(fnv1a(utf8, 0xCBF29CE484222325ULL)),
                      static_cast<unsigned long long>(fnv1a(utf8, 0x84222325CBF29CE4ULL)));
        escaped.resize(120);
        escaped += digest;
    }
    return "/davro." + std::to_string(::geteuid()) + "." + escaped;
}

bool ofdLock(int fd, short type, off_t byte, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

HANDLE fail(DWORD error) {
    SetLastError(error);
    return nullptr;
}

bool initRecord(SharedRecord* rec, const std::string& utf8) {
    std::memset(rec, 0, sizeof(SharedRecord));
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    const int rc = pthread_mutex_init(&rec->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        return false;
    }
    rec->kind = kKindMutex;
    rec->nameLength = static_cast<std::uint32_t>(utf8.size());
    std::memcpy(rec->name, utf8.data(), utf8.size());
    rec->magic = kMagic;
    return true;
}

// Opens (or, unless openOnly, creates) the record for `file`. Sets `existed`. On failure
// returns null with the last error set.
NamedMutexShared* openRecord(const std::string& file, const std::string& utf8, bool openOnly,
                             BOOL initialOwner, bool& existed) {
    int fd = -1;
    for (;;) {
        fd = shm_open(file.c_str(), O_RDWR | O_CLOEXEC | (openOnly ? 0 : O_CREAT), 0600);
        if (fd < 0) {
            SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
            return nullptr;
        }
        // Refuse a file that another user planted or that others could read or change.
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
            (st.st_mode & 077) != 0) {
            ::close(fd);
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        ofdLock(fd, F_WRLCK, 1, true);  // one creator (or remover) at a time
        // The last holder may have removed the file between our open and our lock: then
        // start again, or we would live on in a file that nobody else can find.
        struct stat now {};
        const std::string path = "/dev/shm" + file;
        if (stat(path.c_str(), &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev) {
            break;
        }
        ::close(fd);
    }
    DWORD error = ERROR_SUCCESS;
    SharedRecord* rec = nullptr;
    existed = !ofdLock(fd, F_WRLCK, 0, false);
    if (!existed && openOnly) {
        error = ERROR_FILE_NOT_FOUND;  // a leftover file, not a live object
    } else if (!existed && ftruncate(fd, kRecordSize) != 0) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        void* map = mmap(nullptr, kRecordSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        } else {
            rec = static_cast<SharedRecord*>(map);
            if (!existed) {
                if (!initRecord(rec, utf8)) {
                    error = ERROR_NOT_ENOUGH_MEMORY;
                } else if (initialOwner && pthread_mutex_trylock(&rec->mutex) != 0) {
                    // Taken before anybody else can open the name, so it cannot be busy;
                    // a try-lock also never waits under the registry lock.
                    error = ERROR_NOT_ENOUGH_MEMORY;
                }
            } else if (!ofdLock(fd, F_RDLCK, 0, false) || rec->magic != kMagic) {
                error = ERROR_ACCESS_DENIED;
            } else if (rec->kind != kKindMutex || rec->nameLength != utf8.size() ||
                       std::memcmp(rec->name, utf8.data(), utf8.size()) != 0) {
                error = ERROR_INVALID_HANDLE;  // the name belongs to another kind of object
            }
            if (error != ERROR_SUCCESS) {
                munmap(map, kRecordSize);
                rec = nullptr;
            }
        }
    }
    if (error == ERROR_SUCCESS && !existed) {
        ofdLock(fd, F_RDLCK, 0, false);  // exclusive -> shared, atomically
    }
    struct flock unlockGuard {};
    unlockGuard.l_type = F_UNLCK;
    unlockGuard.l_whence = SEEK_SET;
    unlockGuard.l_start = 1;
    unlockGuard.l_len = 1;
    fcntl(fd, F_OFD_SETLK, &unlockGuard);
    if (error != ERROR_SUCCESS) {
        ::close(fd);
        SetLastError(error);
        return nullptr;
    }
    auto* shared = new NamedMutexShared;
    shared->file = file;
    shared->fd = fd;
    shared->record = rec;
    return shared;
}

// The owner of the mutex: a robust mutex's futex word holds the owner's thread id (the
// kernel's robust-futex ABI); a dead owner's id is cleared. 0 when free.
std::uint32_t ownerTid(SharedRecord* rec) {
    const auto* futexWord = reinterpret_cast<const std::atomic<std::uint32_t>*>(&rec->mutex);
    return futexWord->load(std::memory_order_relaxed) & FUTEX_TID_MASK;
}

// Whether a live thread of this process owns the mutex.
bool heldByThisProcess(SharedRecord* rec) {
    const std::uint32_t tid = ownerTid(rec);
    if (tid == 0) {
        return false;
    }
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    return access(task.c_str(), F_OK) == 0;
}

// A lock attempt until `deadlineNs` on CLOCK_MONOTONIC.
int timedLock(pthread_mutex_t* m, std::int64_t deadlineNs) {
#if defined(DAVRO_TSAN)
    // ThreadSanitizer does not intercept pthread_mutex_clocklock, and it sees an owner's
    // death (EOWNERDEAD) only through pthread_mutex_lock and pthread_mutex_trylock; its
    // annotation interface cannot express it. Sanitizer builds therefore poll with
    // try-locks every 1 ms: slower to notice a release, identical in outcome.
    for (;;) {
        const int rc = pthread_mutex_trylock(m);
        const std::int64_t left = deadlineNs - monotonicNs();
        if (rc != EBUSY || left <= 0) {
            return rc;
        }
        timespec pause{0, static_cast<long>(std::min<std::int64_t>(left, 1000000))};
        nanosleep(&pause, nullptr);
    }
#else
    timespec limit{};
    limit.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
    limit.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
    return pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &limit);
#endif
}

}  // namespace

HANDLE createNamedMutex(BOOL initialOwner, LPCWSTR name, bool openOnly) {
    std::wstring wide(name);
    // "Global\" and "Local\" select a session namespace on Windows; there is one here.
    for (const wchar_t* prefix : {L"Global\\", L"Local\\"}) {
        const std::wstring p(prefix);
        if (wide.compare(0, p.size(), p) == 0) {
            wide.erase(0, p.size());
            break;
        }
    }
    if (wide.size() > kMaxPath) {
        return fail(ERROR_FILENAME_EXCED_RANGE);
    }
    if (wide.empty() || wide.find(L'\\') != std::wstring::npos) {
        return fail(ERROR_BAD_PATHNAME);
    }
    const std::string utf8 = davro::platform::toUtf8(wide);
    const std::string file = fileFor(utf8);

    Registry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.lock);
    bool existed = true;
    NamedMutexShared* shared = nullptr;
    auto found = reg.byFile.find(file);
    if (found != reg.byFile.end()) {
        shared = found->second;
    } else {
        shared = openRecord(file, utf8, openOnly, initialOwner, existed);
        if (shared == nullptr) {
            return nullptr;
        }
        reg.byFile.emplace(file, shared);
    }
    Object* o = newObject(Kind::NamedMutex, 0);
    HANDLE h = o != nullptr ? newHandle(o) : nullptr;
    if (h == nullptr) {
        if (o != nullptr) {
            o->named = nullptr;
            release(o);
        }
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    o->named = shared;
    ++shared->users;
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

DWORD lockNamedMutex(Object* object, std::int64_t deadlineNs) {
    NamedMutexShared* shared = object->named;
    pthread_mutex_t* m = &shared->record->mutex;
    int rc;
    if (deadlineNs == 0) {
        rc = pthread_mutex_trylock(m);
    } else {
        tlsNamedLock = object;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        rc = deadlineNs < 0 ? pthread_mutex_lock(m) : timedLock(m, deadlineNs);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        tlsNamedLock = nullptr;
    }
    switch (rc) {
        case 0:
            return WAIT_OBJECT_0;
        case EOWNERDEAD:
            // We own it now; make it usable again and report the abandonment.
            pthread_mutex_consistent(m);
            return WAIT_ABANDONED;
        case EBUSY:
        case ETIMEDOUT:
            return WAIT_TIMEOUT;
        default:
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
    }
}

BOOL unlockNamedMutex(Object* object) {
    NamedMutexShared* shared = object->named;
    // Ownership is read from the futex word rather than left to pthread_mutex_unlock's
    // EPERM, so that a non-owner's attempt never reaches the mutex at all.
    if (ownerTid(shared->record) != currentThreadId() ||
        pthread_mutex_unlock(&shared->record->mutex) != 0) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

void dropNamedLock() {
    Object* o = tlsNamedLock;
    if (o == nullptr) {
        return;
    }
    tlsNamedLock = nullptr;
    // The C library notes the mutex of a lock in progress in the thread's robust list
    // head, and the kernel looks at that note when the thread ends. Unless the lock was
    // taken after all (then the record stays mapped, and the note lets the kernel mark it
    // abandoned), the note goes, since the release below may unmap the record.
    SharedRecord* rec = o->named->record;
    robust_list_head* head = nullptr;
    std::size_t length = 0;
    if (ownerTid(rec) != currentThreadId() &&
        syscall(SYS_get_robust_list, 0, &head, &length) == 0 && head != nullptr) {
        const auto pending = reinterpret_cast<std::uintptr_t>(head->list_op_pending);
        const auto base = reinterpret_cast<std::uintptr_t>(rec);
        if (pending >= base && pending < base + kRecordSize) {
            head->list_op_pending = nullptr;
        }
    }
    release(o);  // the waiting caller's reference
}

void destroyNamedMutex(Object* object) {
    NamedMutexShared* shared = object->named;
    if (shared == nullptr) {
        return;
    }
    Registry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.lock);
    if (--shared->users > 0) {
        return;
    }
    // A mutex that a thread of ours still holds stays mapped: that thread's robust list
    // points into it. The record then lives until the process ends.
    if (heldByThisProcess(shared->record)) {
        return;
    }
    reg.byFile.erase(shared->file);
    munmap(shared->record, kRecordSize);
    // If no other process holds the name, remove its file (under the creators' lock, and
    // creators check that the file they opened is still the one under the name).
    ofdLock(shared->fd, F_WRLCK, 1, true);
    if (ofdLock(shared->fd, F_WRLCK, 0, false)) {
        shm_unlink(shared->file.c_str());
    }
    ::close(shared->fd);  // drops our locks, and with them our hold on the name
    delete shared;
}

}  // namespace davro::win32::detail
