// The file of a named object.
//
// Where: in a directory that only the user can create files in, so that no other user can
// take a name first: $XDG_RUNTIME_DIR/davro, else /run/user/<uid>/davro, each checked to be
// the user's own and closed to others; where neither exists, /dev/shm with the file names
// prefixed "davro.<uid>." and every file checked to be ours (another user can then still
// block a name by creating its file first, but never take it over).
//
// Lifetime follows Windows: a name exists while some process holds a handle to it. Each
// process that holds the name keeps a shared open-file-description lock on byte 0 of the
// file through a description of its own. Opening, creating and giving up a name happen
// under an exclusive lock on byte 1 (the gate): a process that finds byte 0 free for an
// exclusive lock there is alone, and (re)creates the record or, giving it up, removes the
// file. Every lock is released explicitly before its descriptor is closed: a mapping of the
// file keeps the description, and its locks, alive. The locks vanish with a process that
// dies, so a killed process never keeps a name alive or the gate shut.
#include "NamedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "StopScope.h"

namespace davro::win32::detail {
namespace {

constexpr std::uint32_t kMagic = 0x44564E4F;  // "DVNO"
constexpr std::uint32_t kVersion = 6;

std::uint64_t fnv1a(const std::u32string& text, std::uint64_t seed) {
    std::uint64_t h = seed;
    for (const char32_t c : text) {
        for (int shift = 0; shift < 32; shift += 8) {
            h = (h ^ ((static_cast<std::uint32_t>(c) >> shift) & 0xFF)) * 0x100000001B3ULL;
        }
    }
    return h;
}

// A directory of the user's own that nobody else may write to.
bool privateDirectory(const std::string& dir) {
    struct stat st {};
    return lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 022) == 0;
}

// The directory and file-name prefix of this user's names, chosen once per process.
const std::string& namePrefix() {
    static const std::string prefix = [] {
        std::string base;
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");  // NOLINT(concurrency-mt-unsafe)
        if (runtime != nullptr && runtime[0] == '/' && privateDirectory(runtime)) {
            base = runtime;
        } else if (const std::string run = "/run/user/" + std::to_string(::geteuid());
                   privateDirectory(run)) {
            base = run;
        }
        if (!base.empty()) {
            const std::string dir = base + "/davro";
            if ((mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) && privateDirectory(dir)) {
                return dir + "/";
            }
        }
        return "/dev/shm/davro." + std::to_string(::geteuid()) + ".";
    }();
    return prefix;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool isScalar(char32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

// The file name of a name: [A-Za-z0-9_-] as they are, every other code unit as "%" and six
// hex digits (its value, which may lie outside Unicode), or "." and eight for a unit beyond
// 24 bits, so that different names never meet; long ones are cut and completed with a
// 128-bit hash.
std::string fileNameOf(const std::u32string& name) {
    static const char* hex = "0123456789ABCDEF";
    std::string escaped;
    for (const char32_t c : name) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '-') {
            escaped += static_cast<char>(c);
            continue;
        }
        const bool wide = c > 0xFFFFFF;
        escaped += wide ? '.' : '%';
        for (int shift = wide ? 28 : 20; shift >= 0; shift -= 4) {
            escaped += hex[(static_cast<std::uint32_t>(c) >> shift) & 15];
        }
    }
    if (escaped.size() > 160) {
        char digest[40];
        std::snprintf(digest, sizeof digest, "~%016llx%016llx",
                      static_cast<unsigned long long>(fnv1a(name, 0xCBF29CE484222325ULL)),
                      static_cast<unsigned long long>(fnv1a(name, 0x84222325CBF29CE4ULL)));
        escaped.resize(120);
        escaped += digest;
    }
    return escaped;
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

constexpr off_t kHoldByte = 0;
constexpr off_t kGateByte = 1;

void unlockByte(int fd, off_t byte) { ofdLock(fd, F_UNLCK, byte, false); }

void initRecord(SharedRecord* rec, const NameKey& key, const NewRecord& fresh) {
    std::memset(static_cast<void*>(rec), 0, sizeof(SharedRecord));
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&rec->mutex, &attr);  // cannot fail for these attributes
    pthread_mutexattr_destroy(&attr);
    rec->kind = fresh.kind;
    rec->counting = fresh.kind == NamedKind::AutoTimer     ? NamedKind::AutoEvent
                    : fresh.kind == NamedKind::ManualTimer ? NamedKind::ManualEvent
                                                           : fresh.kind;
    rec->due.store(kTimerDisarmed, std::memory_order_relaxed);
    rec->setGen.store(0, std::memory_order_relaxed);
    rec->maximum = fresh.maximum;
    rec->counted.store(fresh.count, std::memory_order_relaxed);
    rec->size = sizeof(SharedRecord);
    rec->version = kVersion;
    rec->nameLength = static_cast<std::uint32_t>(key.name.size());
    std::memcpy(rec->name, key.name.data(), key.name.size() * sizeof(char32_t));
    rec->utf8Length = static_cast<std::uint32_t>(key.utf8.size());
    std::memcpy(rec->utf8, key.utf8.data(), key.utf8.size());
    std::atomic_thread_fence(std::memory_order_release);
    rec->magic = kMagic;
}

void* mapRecord(int fd) {
    void* map = mmap(nullptr, kRecordSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return map == MAP_FAILED ? nullptr : map;
}

// An existing record, checked before and after it is mapped: a file that another process
// of this user truncated or filled with something else is refused, never read past its end.
DWORD checkExisting(int fd, SharedRecord*& rec, const NameKey& key, unsigned family) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kRecordSize)) {
        return ERROR_FILE_INVALID;
    }
    rec = static_cast<SharedRecord*>(mapRecord(fd));
    if (rec == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (rec->magic != kMagic || rec->version != kVersion || rec->size != sizeof(SharedRecord) ||
        rec->nameLength > kMaxPath || rec->utf8Length > sizeof rec->utf8) {
        return ERROR_FILE_INVALID;
    }
    if (rec->nameLength != key.name.size() ||
        std::memcmp(rec->name, key.name.data(), key.name.size() * sizeof(char32_t)) != 0) {
        return ERROR_INVALID_HANDLE;  // another name with the same shortened file name
    }
    const auto kind = static_cast<std::uint32_t>(rec->kind);
    if (kind >= 32 || (family & (1U << kind)) == 0) {
        return ERROR_INVALID_HANDLE;  // the name belongs to an object of another kind
    }
    return ERROR_SUCCESS;
}

// Opens the file of `path` and shuts the gate; -1 with the last error set.
int openGated(const std::string& path, bool openOnly) {
    for (;;) {
        const int fd =
            ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (openOnly ? 0 : O_CREAT), 0600);
        if (fd < 0) {
            SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND
                         : errno == EMFILE || errno == ENFILE || errno == ENOMEM
                             ? ERROR_NOT_ENOUGH_MEMORY
                             : ERROR_ACCESS_DENIED);
            return -1;
        }
        // Refuse a file that another user planted or that others could read or change.
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
            (st.st_mode & 077) != 0 || !ofdLock(fd, F_WRLCK, kGateByte, true)) {
            ::close(fd);
            SetLastError(ERROR_ACCESS_DENIED);
            return -1;
        }
        // The last holder may have removed the file between our open and our lock: then
        // start again, or we would live on in a file that nobody else can find.
        struct stat now {};
        if (stat(path.c_str(), &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev) {
            return fd;
        }
        unlockByte(fd, kGateByte);
        ::close(fd);
        if (openOnly) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return -1;
        }
    }
}

}  // namespace

DWORD makeKey(const wchar_t* name, NameKey& key) {
    std::wstring_view wide(name);
    // "Global\" and "Local\" select a session namespace on Windows; there is one here.
    for (const std::wstring_view prefix : {L"Global\\", L"Local\\"}) {
        if (wide.substr(0, prefix.size()) == prefix) {
            wide.remove_prefix(prefix.size());
            break;
        }
    }
    if (wide.size() > kMaxPath) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    if (wide.empty() || wide.find(L'\\') != std::wstring_view::npos) {
        return ERROR_BAD_PATHNAME;
    }
    key.name.clear();
    key.utf8.clear();
    for (const wchar_t c : wide) {
        const auto unit = static_cast<char32_t>(static_cast<std::uint32_t>(c));
        key.name += unit;
        appendUtf8(key.utf8, isScalar(unit) ? unit : U'\uFFFD');
    }
    key.path = namePrefix() + fileNameOf(key.name);
    return ERROR_SUCCESS;
}

int openRecordFile(const NameKey& key, bool openOnly, unsigned family, const NewRecord& fresh,
                   bool& existed, SharedRecord*& rec) {
    const NoCancelScope noCancel;
    const int fd = openGated(key.path, openOnly);
    if (fd < 0) {
        return -1;
    }
    DWORD error = ERROR_SUCCESS;
    rec = nullptr;
    existed = !ofdLock(fd, F_WRLCK, kHoldByte, false);
    if (!existed && openOnly) {
        // A leftover of a holder that was killed, not a live object: removed, as the last
        // close would have (under the gate, so no opener can be holding it).
        ::unlink(key.path.c_str());
        error = ERROR_FILE_NOT_FOUND;
    } else if (existed) {
        error = checkExisting(fd, rec, key, family);
        if (error == ERROR_SUCCESS && !ofdLock(fd, F_RDLCK, kHoldByte, false)) {
            error = ERROR_ACCESS_DENIED;
        }
    } else if (ftruncate(fd, kRecordSize) != 0 ||
               (rec = static_cast<SharedRecord*>(mapRecord(fd))) == nullptr) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        initRecord(rec, key, fresh);
        // Taken before anybody else can open the name, so it cannot be busy.
        if (fresh.owned) {
            tryLockRecord(fresh.head, rec, fresh.tid);
        }
        ofdLock(fd, F_RDLCK, kHoldByte, false);  // exclusive -> shared, atomically
    }
    if (error != ERROR_SUCCESS && !existed) {
        unlockByte(fd, kHoldByte);
    }
    unlockByte(fd, kGateByte);
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

bool closeRecordFile(const std::string& path, int fd) {
    const NoCancelScope noCancel;
    ofdLock(fd, F_WRLCK, kGateByte, true);
    unlockByte(fd, kHoldByte);
    // Under the gate, and openers check that the file they opened is still the one under
    // the name.
    const bool last = ofdLock(fd, F_WRLCK, kHoldByte, false);
    if (last) {
        ::unlink(path.c_str());
        unlockByte(fd, kHoldByte);
    }
    unlockByte(fd, kGateByte);
    ::close(fd);
    return last;
}

int holdAgain(const std::string& path, int inherited) {
    const NoCancelScope noCancel;
    struct stat was {};
    const bool known = fstat(inherited, &was) == 0;
    ::close(inherited);  // the parent's description: its locks stay the parent's
    if (!known) {
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return -1;
    }
    // Under the gate, as an opener: the file must still be the one the parent holds, and
    // still under the name (the parent's last close may have removed it since the fork).
    struct stat opened {};
    struct stat named {};
    bool held = false;
    if (ofdLock(fd, F_WRLCK, kGateByte, true)) {
        held = fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
               opened.st_ino == was.st_ino && opened.st_dev == was.st_dev &&
               named.st_ino == was.st_ino && named.st_dev == was.st_dev &&
               ofdLock(fd, F_RDLCK, kHoldByte, false);
        unlockByte(fd, kGateByte);
    }
    if (!held) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int holdForChild(int fd) {
    const NoCancelScope noCancel;
    char self[40];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    const int copy = ::open(self, O_RDWR | O_CLOEXEC);
    if (copy < 0) {
        return -1;
    }
    // Never refused: every other holder holds byte 0 shared, and an exclusive lock there is
    // only taken under the gate by a process that holds no other lock, which cannot be while
    // we hold ours through `fd`.
    if (!ofdLock(copy, F_RDLCK, kHoldByte, false)) {
        ::close(copy);
        return -1;
    }
    return copy;
}

}  // namespace davro::win32::detail
