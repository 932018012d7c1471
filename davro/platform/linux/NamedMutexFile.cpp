// The shared-memory file of a named mutex.
//
// Lifetime follows Windows: a name exists while some process holds a handle to it. Each
// process that holds the name keeps a shared open-file-description lock on byte 0 of the
// file; creating takes byte 1 exclusively (one creator at a time) and then tries to take
// byte 0 exclusively: if that succeeds nobody else holds the name, the record is
// (re)initialised, and the lock is turned into a shared one. Those locks vanish with the
// process, so a killed process never keeps a name alive.
#include "NamedMutexFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace davro::win32::detail {
namespace {

constexpr std::uint32_t kMagic = 0x44564E4D;  // "DVNM"
constexpr std::uint32_t kVersion = 3;
constexpr std::uint32_t kKindMutex = 1;
constexpr DWORD kErrorFileInvalid = 1006;  // ERROR_FILE_INVALID

std::uint64_t fnv1a(const std::string& text, std::uint64_t seed) {
    std::uint64_t h = seed;
    for (unsigned char c : text) {
        h = (h ^ c) * 0x100000001B3ULL;
    }
    return h;
}

}  // namespace

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

namespace {

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

bool initRecord(SharedRecord* rec, const std::string& utf8) {
    std::memset(rec, 0, sizeof(SharedRecord));
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    const int rc = pthread_mutex_init(&rec->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        return false;
    }
    rec->kind = kKindMutex;
    rec->size = sizeof(SharedRecord);
    rec->version = kVersion;
    rec->nameLength = static_cast<std::uint32_t>(utf8.size());
    std::memcpy(rec->name, utf8.data(), utf8.size());
    std::atomic_thread_fence(std::memory_order_release);
    rec->magic = kMagic;
    return true;
}

// An existing record, checked before and after it is mapped: a file that another process
// of this user truncated or filled with something else is refused, never read past its end.
DWORD checkExisting(int fd, SharedRecord*& rec, const std::string& utf8) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kRecordSize)) {
        return kErrorFileInvalid;
    }
    void* map = mmap(nullptr, kRecordSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    rec = static_cast<SharedRecord*>(map);
    if (rec->magic != kMagic || rec->version != kVersion || rec->size != sizeof(SharedRecord) ||
        rec->nameLength > sizeof rec->name) {
        return kErrorFileInvalid;
    }
    if (rec->kind != kKindMutex || rec->nameLength != utf8.size() ||
        std::memcmp(rec->name, utf8.data(), utf8.size()) != 0) {
        return ERROR_INVALID_HANDLE;  // the name belongs to another object
    }
    return ERROR_SUCCESS;
}

// Opens the file of `file` and takes the creators' lock on it; -1 with the last error set.
int openLocked(const std::string& file, bool openOnly) {
    for (;;) {
        const int fd = shm_open(file.c_str(),
                                O_RDWR | O_CLOEXEC | O_NOFOLLOW | (openOnly ? 0 : O_CREAT), 0600);
        if (fd < 0) {
            SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
            return -1;
        }
        // Refuse a file that another user planted or that others could read or change.
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
            (st.st_mode & 077) != 0) {
            ::close(fd);
            SetLastError(ERROR_ACCESS_DENIED);
            return -1;
        }
        if (!ofdLock(fd, F_WRLCK, 1, true)) {  // one creator (or remover) at a time
            ::close(fd);
            SetLastError(ERROR_ACCESS_DENIED);
            return -1;
        }
        // The last holder may have removed the file between our open and our lock: then
        // start again, or we would live on in a file that nobody else can find.
        struct stat now {};
        const std::string path = "/dev/shm" + file;
        if (stat(path.c_str(), &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev) {
            return fd;
        }
        ::close(fd);
    }
}

void unlockCreators(int fd) {
    struct flock fl {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 1;
    fl.l_len = 1;
    fcntl(fd, F_OFD_SETLK, &fl);
}

}  // namespace

int openRecordFile(const std::string& file, const std::string& utf8, bool openOnly,
                   BOOL initialOwner, RobustHead* head, std::uint32_t tid, bool& existed,
                   SharedRecord*& rec) {
    const int fd = openLocked(file, openOnly);
    if (fd < 0) {
        return -1;
    }
    DWORD error = ERROR_SUCCESS;
    rec = nullptr;
    existed = !ofdLock(fd, F_WRLCK, 0, false);
    if (!existed && openOnly) {
        error = ERROR_FILE_NOT_FOUND;  // a leftover file, not a live object
    } else if (existed) {
        error = checkExisting(fd, rec, utf8);
        if (error == ERROR_SUCCESS && !ofdLock(fd, F_RDLCK, 0, false)) {
            error = ERROR_ACCESS_DENIED;
        }
    } else if (ftruncate(fd, kRecordSize) != 0) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        void* map = mmap(nullptr, kRecordSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        rec = map == MAP_FAILED ? nullptr : static_cast<SharedRecord*>(map);
        if (rec == nullptr || !initRecord(rec, utf8)) {  // NOLINT(bugprone-branch-clone)
            error = ERROR_NOT_ENOUGH_MEMORY;
        } else if (initialOwner && tryLockRecord(head, rec, tid) != 0) {
            // Taken before anybody else can open the name, so it cannot be busy; a try-lock
            // also never waits under the caller's locks.
            error = ERROR_NOT_ENOUGH_MEMORY;
        } else {
            ofdLock(fd, F_RDLCK, 0, false);  // exclusive -> shared, atomically
        }
    }
    unlockCreators(fd);
    if (error != ERROR_SUCCESS) {
        if (rec != nullptr) {
            munmap(rec, kRecordSize);
            rec = nullptr;
        }
        ::close(fd);
        SetLastError(error);
        return -1;
    }
    return fd;
}

int tryLockWithCLibrary(SharedRecord* rec) {
    const int rc = pthread_mutex_trylock(&rec->mutex);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(&rec->mutex);
    }
    return rc;
}

void unlockWithCLibrary(SharedRecord* rec) { pthread_mutex_unlock(&rec->mutex); }

void closeRecordFile(const std::string& file, int fd) {
    // Under the creators' lock, and creators check that the file they opened is still the
    // one under the name.
    ofdLock(fd, F_WRLCK, 1, true);
    if (ofdLock(fd, F_WRLCK, 0, false)) {
        shm_unlink(file.c_str());
    }
    ::close(fd);
}

}  // namespace davro::win32::detail
