// Named mutexes: one mutex per name, shared by every process of the same user.
//
// The mutex is a robust, process-shared, recursive pthread mutex in a small shared-memory
// file under /dev/shm. The kernel's robust-futex list marks it "owner died" when its owner's
// process is killed; a thread that ends here marks its named mutexes abandoned itself,
// before its handle is signalled. Either way the next taker in any process reports
// WAIT_ABANDONED. Blocking locks sleep on the mutex's futex word through the layer's own
// loop, so that a sleeping waiter can be suspended or terminated at a known point.
//
// Lifetime follows Windows: a name exists while some process holds a handle to it. Each
// process that holds the name keeps a shared open-file-description lock on byte 0 of the
// file; creating takes byte 1 exclusively (one creator at a time) and then tries to take
// byte 0 exclusively: if that succeeds nobody else holds the name, the record is
// (re)initialised, and the lock is turned into a shared one. Those locks vanish with the
// process, so a killed process never keeps a name alive.
//
// Within the process, a record stays mapped while a handle, an owner or a call in progress
// uses it: calls that hold no reference publish the record as their hazard first, and the
// last close unmaps only records that no thread has as its hazard (DESIGN.md).
#include "NamedMutex.h"

#include <davro/platform/detail/Utf8.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "Fence.h"
#include "Futex.h"
#include "StopScope.h"
#include "WaitChain.h"

namespace davro::win32::detail {
namespace {

constexpr std::uint32_t kMagic = 0x44564E4D;  // "DVNM"
constexpr std::uint32_t kVersion = 2;
constexpr std::uint32_t kKindMutex = 1;
constexpr std::size_t kMaxPath = 260;  // Win32's MAX_PATH: the longest object name
constexpr std::size_t kRecordSize = 4096;
constexpr DWORD kErrorFileInvalid = 1006;  // ERROR_FILE_INVALID

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

}  // namespace

// What one process keeps for one name. Never freed, only recycled, so that a thread that
// read an object's pointer to it and then finds the object dead reads valid memory.
struct NamedMutexShared {
    std::string file;
    int fd = -1;
    SharedRecord* record = nullptr;
    int users = 0;                     // objects of this process that use the record
    NamedMutexShared* next = nullptr;  // the free or the retired list
};

namespace {

struct Registry {
    std::mutex lock;
    std::map<std::string, NamedMutexShared*> byFile;
    NamedMutexShared* free = nullptr;
    // Closed records that are still mapped: some thread had them as its hazard or owned them.
    NamedMutexShared* retired = nullptr;
};

Registry& registry() {
    static auto* r = new Registry;  // never destroyed: threads may still end during exit
    return *r;
}

std::atomic<std::uint32_t>* futexWord(SharedRecord* rec) {
    // The robust-futex ABI of the kernel: the mutex's first word holds the owner's thread id
    // with the FUTEX_WAITERS and FUTEX_OWNER_DIED flags.
    return reinterpret_cast<std::atomic<std::uint32_t>*>(&rec->mutex);
}

// The owner of the mutex; 0 when free or when its owner died.
std::uint32_t ownerTid(SharedRecord* rec) {
    return futexWord(rec)->load(std::memory_order_relaxed) & FUTEX_TID_MASK;
}

// Whether a live thread of this process owns the mutex. The path is built in place: this
// runs when the last handle is closed, and CloseHandle must not throw when memory is short.
bool heldByThisProcess(SharedRecord* rec) {
    const std::uint32_t tid = ownerTid(rec);
    if (tid == 0) {
        return false;
    }
    char task[32];
    std::snprintf(task, sizeof task, "/proc/self/task/%u", static_cast<unsigned>(tid));
    return access(task, F_OK) == 0;
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

// Opens (or, unless openOnly, creates) the record for `file`. Sets `existed`. On failure
// returns null with the last error set. Registry lock held.
// NOLINTNEXTLINE(readability-function-cognitive-complexity): each step checked in order
NamedMutexShared* openRecord(Registry& reg, const std::string& file, const std::string& utf8,
                             bool openOnly, BOOL initialOwner, bool& existed) {
    const int fd = openLocked(file, openOnly);
    if (fd < 0) {
        return nullptr;
    }
    DWORD error = ERROR_SUCCESS;
    SharedRecord* rec = nullptr;
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
        } else if (initialOwner && pthread_mutex_trylock(&rec->mutex) != 0) {
            // Taken before anybody else can open the name, so it cannot be busy; a try-lock
            // also never waits under the registry lock.
            error = ERROR_NOT_ENOUGH_MEMORY;
        } else {
            ofdLock(fd, F_RDLCK, 0, false);  // exclusive -> shared, atomically
        }
    }
    unlockCreators(fd);
    NamedMutexShared* shared = nullptr;
    if (error == ERROR_SUCCESS) {
        shared = reg.free != nullptr ? reg.free : new (std::nothrow) NamedMutexShared;
        if (shared == nullptr) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        } else if (shared == reg.free) {
            reg.free = shared->next;
        }
    }
    if (error != ERROR_SUCCESS) {
        if (rec != nullptr) {
            if (!existed && initialOwner) {
                pthread_mutex_unlock(&rec->mutex);
            }
            munmap(rec, kRecordSize);
        }
        ::close(fd);
        SetLastError(error);
        return nullptr;
    }
    shared->file = file;
    shared->fd = fd;
    shared->record = rec;
    shared->users = 0;
    shared->next = nullptr;
    return shared;
}

// Whether some thread has `shared` as its hazard. The heavy fence pairs with the light one
// of enterRecord, so a thread that is not seen here sees the object dead.
bool hazarded(const NamedMutexShared* shared) {
    bool found = false;
    forEachContext([&](const ThreadContext* c) {
        // Acquire: a user that has cleared its hazard (a release) is done with the record.
        found = found || c->namedHazard.load(std::memory_order_acquire) == shared;
    });
    return found;
}

// Unmaps what the retired list holds and nobody uses any more. Registry lock held.
void sweepRetired(Registry& reg) {
    if (reg.retired == nullptr) {
        return;
    }
    heavyFence();
    for (NamedMutexShared** p = &reg.retired; *p != nullptr;) {
        NamedMutexShared* s = *p;
        if (hazarded(s) || heldByThisProcess(s->record)) {
            p = &s->next;
            continue;
        }
        *p = s->next;
        munmap(s->record, kRecordSize);
        s->record = nullptr;
        s->next = reg.free;
        reg.free = s;
    }
}

// The record of `r`, published as the calling thread's hazard, for a call that holds no
// reference; null if the handle died meanwhile (the hazard is then already cleared).
SharedRecord* enterRecord(ThreadContext* c, const Resolved& r) {
    NamedMutexShared* shared = r.object->named;  // checked below: the object may be recycled
    c->namedHazard.store(shared, std::memory_order_relaxed);
    lightFence();
    // The incarnation moves before a dying object gives up its record (ObjectPool.cpp), so
    // while it is unchanged here the record stays mapped until the hazard is cleared.
    if (incarnationOf(r.object) != r.incarnation) {
        c->namedHazard.store(nullptr, std::memory_order_release);
        return nullptr;
    }
    return shared->record;
}

void leaveRecord(ThreadContext* c) { c->namedHazard.store(nullptr, std::memory_order_release); }

// One lock attempt: 0, EOWNERDEAD (made consistent and recorded as abandoned), EBUSY or
// another error.
int tryLock(SharedRecord* rec) {
    const int rc = pthread_mutex_trylock(&rec->mutex);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(&rec->mutex);
        rec->abandoned = 1;
        return 0;
    }
    return rc;
}

OwnedNamedMutex* findOwned(ThreadContext* c, const NamedMutexShared* shared) {
    return c->ownedNamed.findLast(
        [shared](const OwnedNamedMutex& m) { return m.shared == shared; });
}

// Locks the mutex until `deadline` (0: one attempt): 0, ETIMEDOUT or EBUSY, or an error.
// The thread's list of named mutexes is the truth about what it owns: a mutex on it is
// taken again without touching the pthread mutex, whose own count therefore stays 1 while
// the thread owns it (`again` says so). The sleeps are the thread's stop points; the
// caller holds a reference on the object or the record as its hazard.
int lockRecord(ThreadContext* c, NamedMutexShared* shared, std::int64_t deadline, bool& again) {
    again = findOwned(c, shared) != nullptr;
    if (again) {
        return 0;
    }
    SharedRecord* rec = shared->record;
    bool waited = false;
    for (;;) {
        const int rc = tryLock(rec);
        if (rc != EBUSY) {
            if (rc == 0 && waited) {
                // Others may sleep as we did: make our release wake one of them, as the C
                // library does after a lock that had to wait.
                std::uint32_t expected = c->tid;
                futexWord(rec)->compare_exchange_strong(expected, c->tid | FUTEX_WAITERS,
                                                        std::memory_order_relaxed);
            }
            return rc;
        }
        if (deadline == 0 || (deadline != kNoDeadline && monotonicNs() >= deadline)) {
            return deadline == 0 ? EBUSY : ETIMEDOUT;
        }
        std::uint32_t seen = futexWord(rec)->load(std::memory_order_relaxed);
        if ((seen & FUTEX_TID_MASK) == 0) {
            continue;  // released (or its owner died) meanwhile: try again
        }
        if ((seen & FUTEX_WAITERS) == 0 &&
            !futexWord(rec)->compare_exchange_strong(seen, seen | FUTEX_WAITERS,
                                                     std::memory_order_relaxed)) {
            continue;
        }
        waited = true;
        const StoppableSleep stoppable;
        futexWait(futexWord(rec), seen | FUTEX_WAITERS, deadline, true);
    }
}

DWORD resultOf(int rc, SharedRecord* rec, bool again) {
    switch (rc) {
        case 0:
            return !again && rec->abandoned != 0 ? WAIT_ABANDONED : WAIT_OBJECT_0;
        case EBUSY:
        case ETIMEDOUT:
            return WAIT_TIMEOUT;
        default:
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
    }
}

// A wait that took the mutex lists it (or counts one more level); the room was reserved.
void keep(ThreadContext* c, NamedMutexShared* shared) {
    if (OwnedNamedMutex* m = findOwned(c, shared)) {
        ++m->depth;
        return;
    }
    shared->record->abandoned = 0;  // reported by the wait that took it
    c->ownedNamed.push(OwnedNamedMutex{shared, 1});
}

// This process gives up a name that none of its handles uses any more. If no other process
// holds it, its file goes (under the creators' lock, and creators check that the file they
// opened is still the one under the name); closing the descriptor drops our locks, and with
// them our hold on the name. The mapping outlives the descriptor until no thread uses or
// owns it (an owner's robust list points into it). `ownedByUs`: the creator's initial
// ownership, given back first. Registry lock held.
void closeShared(Registry& reg, NamedMutexShared* shared, bool ownedByUs) {
    if (ownedByUs) {
        pthread_mutex_unlock(&shared->record->mutex);
    }
    reg.byFile.erase(shared->file);
    ofdLock(shared->fd, F_WRLCK, 1, true);
    if (ofdLock(shared->fd, F_WRLCK, 0, false)) {
        shm_unlink(shared->file.c_str());
    }
    ::close(shared->fd);
    shared->fd = -1;
    shared->next = reg.retired;
    reg.retired = shared;
    sweepRetired(reg);
}

}  // namespace

// NOLINTNEXTLINE(readability-function-cognitive-complexity): each step checked in order
HANDLE createNamedMutex(BOOL initialOwner, LPCWSTR name, bool openOnly, DWORD desiredAccess) {
    const std::uint32_t access = accessFor(Kind::NamedMutex, desiredAccess);
    if (access == 0) {
        SetLastError(ERROR_ACCESS_DENIED);  // neither waiting nor releasing would be allowed
        return nullptr;
    }
    ThreadContext* c = currentContext();
    std::string utf8;
    std::string file;
    try {
        std::wstring_view wide(name);
        // "Global\" and "Local\" select a session namespace on Windows; there is one here.
        for (const std::wstring_view prefix : {L"Global\\", L"Local\\"}) {
            if (wide.substr(0, prefix.size()) == prefix) {
                wide.remove_prefix(prefix.size());
                break;
            }
        }
        if (wide.size() > kMaxPath) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return nullptr;
        }
        if (wide.empty() || wide.find(L'\\') != std::wstring_view::npos) {
            SetLastError(ERROR_BAD_PATHNAME);
            return nullptr;
        }
        utf8 = davro::platform::toUtf8(wide);
        file = fileFor(utf8);
    } catch (const std::bad_alloc&) {
        c = nullptr;
    }
    if (c == nullptr || !c->ownedNamed.reserve(1)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }

    Registry& reg = registry();
    const std::lock_guard<std::mutex> guard(reg.lock);
    sweepRetired(reg);
    bool existed = true;
    NamedMutexShared* shared = nullptr;
    const auto found = reg.byFile.find(file);
    if (found != reg.byFile.end()) {
        shared = found->second;
    } else {
        shared = openRecord(reg, file, utf8, openOnly, initialOwner, existed);
        if (shared == nullptr) {
            return nullptr;
        }
        try {
            reg.byFile.emplace(file, shared);
        } catch (const std::bad_alloc&) {
            closeShared(reg, shared, !existed && initialOwner);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    Object* o = newObject(Kind::NamedMutex, 0);
    HANDLE h = o != nullptr ? newHandle(o, access) : nullptr;
    if (h == nullptr) {
        if (o != nullptr) {
            release(o);  // `named` is still null: nothing to destroy, no registry lock taken
        }
        if (shared->users == 0) {
            closeShared(reg, shared, !existed && initialOwner);
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    o->named = shared;
    ++shared->users;
    if (!existed && initialOwner) {
        keep(c, shared);
    }
    // A new object leaves the last error 0; an existing one says so. OpenMutexW leaves it.
    if (!openOnly) {
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    }
    return h;
}

DWORD lockNamedMutex(Object* o, std::int64_t deadlineNs) {
    bool again = false;
    const int rc = lockRecord(tlsContext, o->named, deadlineNs, again);
    return resultOf(rc, o->named->record, again);
}

void keepNamedMutex(ThreadContext* c, Object* o) { keep(c, o->named); }

bool namedMutexHasSleepers(Object* o) {
    return (futexWord(o->named->record)->load(std::memory_order_relaxed) & FUTEX_WAITERS) != 0;
}

void unlockNamedMutex(Object* o) {
    // A level taken again by a thread that owns the mutex was never counted: nothing to undo.
    if (findOwned(tlsContext, o->named) == nullptr) {
        pthread_mutex_unlock(&o->named->record->mutex);
    }
}

namespace {

// WaitForSingleObject on a named mutex past its try-lock: with a reference on the object,
// recorded as the thread's wait so that a termination in the sleep drops it (abandonWait).
__attribute__((noinline)) DWORD waitNamedMutexBlocking(ThreadContext* c, const Resolved& r,
                                                       DWORD milliseconds) {
    if (!tryAddRef(r.object, r.incarnation)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    c->count = 1;  // a terminated thread drops this reference at its end (abandonWait)
    c->waitAll = false;
    c->hintsRaised = false;
    c->entries[0] = WaitEntry{};
    c->entries[0].object = r.object;
    c->status.store(kStatusWaiting, std::memory_order_relaxed);
    Object* const objs[1] = {r.object};
    const OuterNote outer = beginNote(c, NoteKind::Objects, 0, objs, 1, false);
    const DWORD result = lockNamedMutex(r.object, deadlineAfter(milliseconds));
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        keep(c, r.object->named);
    }
    endNote(c, outer);
    c->count = 0;
    release(r.object);
    return result;
}

}  // namespace

__attribute__((noinline)) DWORD waitNamedMutex(Resolved r, DWORD milliseconds) {
    const NoStopScope noStop;  // never stopped inside the C library's lock calls
    ThreadContext* c = currentContext();
    if (c == nullptr || !c->ownedNamed.reserve(1)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WAIT_FAILED;
    }
    // A try-lock holds the record as its hazard; a blocking lock holds a reference, so that
    // closing the handle meanwhile cannot unmap the mutex under the waiter.
    SharedRecord* rec = enterRecord(c, r);
    if (rec == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    NamedMutexShared* shared = r.object->named;
    DWORD result = WAIT_OBJECT_0;
    if (OwnedNamedMutex* m = findOwned(c, shared)) {
        ++m->depth;  // taken again: see lockRecord
    } else {
        const int rc = tryLock(rec);
        result = resultOf(rc, rec, false);
        if (rc == 0) {
            rec->abandoned = 0;  // reported now
            c->ownedNamed.push(OwnedNamedMutex{shared, 1});
        }
    }
    leaveRecord(c);
    if (result != WAIT_TIMEOUT || milliseconds == 0) {
        return result;
    }
    return waitNamedMutexBlocking(c, r, milliseconds);
}

__attribute__((noinline)) BOOL releaseNamedMutex(Resolved r) {
    ThreadContext* c = tlsContext;
    if (c == nullptr) {
        SetLastError(ERROR_NOT_OWNER);  // a thread without a context has taken nothing
        return FALSE;
    }
    const NoStopScope noStop;
    SharedRecord* rec = enterRecord(c, r);
    if (rec == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The thread's list says what it owns, so a non-owner never reaches the mutex at all.
    NamedMutexShared* shared = r.object->named;
    OwnedNamedMutex* m = findOwned(c, shared);
    if (m != nullptr && --m->depth == 0) {
        *m = c->ownedNamed.back();
        c->ownedNamed.pop();
        pthread_mutex_unlock(&rec->mutex);
    }
    leaveRecord(c);
    if (m == nullptr) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

std::uint32_t namedMutexOwner(Object* o, bool& ownerDied) {
    const std::uint32_t word = futexWord(o->named->record)->load(std::memory_order_relaxed);
    ownerDied = (word & FUTEX_OWNER_DIED) != 0;
    return word & FUTEX_TID_MASK;
}

std::string_view namedMutexName(Object* o) {
    const SharedRecord* rec = o->named->record;  // its name never changes once made
    return {rec->name, rec->nameLength};
}

void abandonNamedMutexes(ThreadContext* c, bool ghost) {
    while (!c->ownedNamed.empty()) {
        const OwnedNamedMutex m = c->ownedNamed.pop();
        if (ghost) {
            continue;
        }
        // Owned, so still mapped (see closeShared). The flag is written while we own the
        // mutex, then the mutex is given back.
        m.shared->record->abandoned = 1;
        pthread_mutex_unlock(&m.shared->record->mutex);  // its count is 1 (see lockRecord)
    }
}

void destroyNamedMutex(Object* object) {
    NamedMutexShared* shared = object->named;
    if (shared == nullptr) {
        return;
    }
    Registry& reg = registry();
    const std::lock_guard<std::mutex> guard(reg.lock);
    if (--shared->users == 0) {
        closeShared(reg, shared, false);
    }
}

void lockNamedMutexesForFork() { registry().lock.lock(); }

void unlockNamedMutexesAfterFork() { registry().lock.unlock(); }

}  // namespace davro::win32::detail
