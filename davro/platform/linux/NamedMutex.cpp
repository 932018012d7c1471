// Named mutexes: one mutex per name, shared by every process of the same user.
//
// The mutex is a robust futex in a small shared-memory file under /dev/shm, laid out as a
// robust, process-shared pthread mutex. Its owner links it into the thread's robust list
// (RobustList.h), so the kernel marks it "owner died" when its owner's process is killed; a
// thread that ends here marks its named mutexes abandoned itself, before its handle is
// signalled. Either way the next taker in any process reports WAIT_ABANDONED. Recursion is
// counted in the thread's list of the named mutexes it owns, never in the shared record. Blocking
// locks sleep on the mutex's futex word through the layer's own loop, so that a sleeping waiter can
// be suspended or terminated at a known point. How the file is named, checked and shared between
// processes: NamedMutexFile.cpp.
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
#include "NamedMutexFile.h"
#include "StopScope.h"
#include "WaitChain.h"

namespace davro::win32::detail {

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

// The calling thread's robust list (null: the C library's calls lock), looked up once.
RobustHead* robustHeadOf(ThreadContext* c) {
    if (__builtin_expect(!c->robustKnown, 0)) {
        c->robustHead = robustHeadOfThisThread();
        c->robustKnown = true;
    }
    return c->robustHead;
}

// Opens (or, unless openOnly, creates) the record for `file`. Sets `existed`. On failure
// returns null with the last error set. Registry lock held.
NamedMutexShared* openRecord(Registry& reg, const std::string& file, const std::string& utf8,
                             bool openOnly, BOOL initialOwner, ThreadContext* c, bool& existed) {
    NamedMutexShared* shared = reg.free != nullptr ? reg.free : new (std::nothrow) NamedMutexShared;
    if (shared == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    reg.free = shared == reg.free ? shared->next : reg.free;
    shared->next = nullptr;
    shared->fd = openRecordFile(file, utf8, openOnly, initialOwner, robustHeadOf(c), c->tid,
                                existed, shared->record);
    if (shared->fd < 0) {
        shared->next = reg.free;  // kept for the next open
        reg.free = shared;
        return nullptr;
    }
    shared->file = file;
    shared->users = 0;
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
__attribute__((always_inline)) inline SharedRecord* enterRecord(ThreadContext* c,
                                                                const Resolved& r) {
    NamedMutexShared* shared = r.object->named;  // checked below: the object may be recycled
    c->namedHazard.store(shared, std::memory_order_relaxed);
    lightFence();
    // The incarnation moves before a dying object gives up its record (ObjectPool.cpp), so
    // while it is unchanged here the record stays mapped until the hazard is cleared.
    if (incarnationOf(r.object) != r.incarnation) {
        c->namedHazard.store(nullptr, std::memory_order_release);
        return nullptr;
    }
    SharedRecord* rec = shared->record;
    if (rec == nullptr) {
        __builtin_unreachable();  // a live object's record is mapped
    }
    return rec;
}

__attribute__((always_inline)) inline void leaveRecord(ThreadContext* c) {
    c->namedHazard.store(nullptr, std::memory_order_release);
}

// One lock attempt by the calling thread: 0 (an owner that died is recorded as abandoned),
// EBUSY or another error.
__attribute__((always_inline)) inline int tryLock(ThreadContext* c, SharedRecord* rec) {
    const int rc = tryLockRecord(robustHeadOf(c), rec, c->tid);
    if (rc == EOWNERDEAD) {
        rec->abandoned = 1;
        return 0;
    }
    return rc;
}

// Gives back a mutex that the calling thread took.
__attribute__((always_inline)) inline void unlock(ThreadContext* c, SharedRecord* rec) {
    unlockRecord(c->robustHead, rec);
}

OwnedNamedMutex* findOwned(ThreadContext* c, const NamedMutexShared* shared) {
    return c->ownedNamed.findLast(
        [shared](const OwnedNamedMutex& m) { return m.shared == shared; });
}

// Locks the mutex until `deadline` (0: one attempt): 0, ETIMEDOUT or EBUSY, or an error.
// The thread's list of named mutexes is the truth about what it owns: a mutex on it is
// taken again without touching the shared word (`again` says so). The sleeps are the thread's stop
// points; the caller holds a reference on the object or the record as its hazard.
int lockRecord(ThreadContext* c, NamedMutexShared* shared, std::int64_t deadline, bool& again) {
    again = findOwned(c, shared) != nullptr;
    if (again) {
        return 0;
    }
    SharedRecord* rec = shared->record;
    bool waited = false;
    for (;;) {
        const int rc = tryLock(c, rec);
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

// This process gives up a name that none of its handles uses any more (closeRecordFile). The
// mapping outlives the descriptor until no thread uses or owns it (an owner's robust list
// points into it). `creator`: the calling thread, whose initial ownership is given back
// first; null when it has none. Registry lock held.
void closeShared(Registry& reg, NamedMutexShared* shared, ThreadContext* creator) {
    if (creator != nullptr) {
        unlock(creator, shared->record);
    }
    reg.byFile.erase(shared->file);
    closeRecordFile(shared->file, shared->fd);
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
        shared = openRecord(reg, file, utf8, openOnly, initialOwner, c, existed);
        if (shared == nullptr) {
            return nullptr;
        }
        try {
            reg.byFile.emplace(file, shared);
        } catch (const std::bad_alloc&) {
            closeShared(reg, shared, !existed && initialOwner ? c : nullptr);
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
            closeShared(reg, shared, !existed && initialOwner ? c : nullptr);
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
        unlock(tlsContext, o->named->record);
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

// WaitForSingleObject on a named mutex, every case: a thread's first named-mutex call, the C
// library's calls, recursion, and a mutex that is busy.
__attribute__((noinline)) DWORD waitNamedMutexSlowly(Resolved r, DWORD milliseconds) {
    const NoStopScope noStop;  // never stopped with the word or the list half changed
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
        const int rc = tryLock(c, rec);
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

__attribute__((noinline)) BOOL releaseNamedMutexSlowly(Resolved r) {
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
        unlock(c, rec);
    }
    leaveRecord(c);
    if (m == nullptr) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

// The usual calls take a short way, for a thread that locks through its robust list: the
// word's compare-and-swap succeeds only when no thread owns the mutex, so a wait that takes
// it needs no look at what the thread owns, and a release finds the mutex it took last at
// the end of its list. Everything else goes the general way.
__attribute__((noinline)) DWORD waitNamedMutex(Resolved r, DWORD milliseconds) {
    ThreadContext* c = tlsContext;
    if (c == nullptr || c->robustHead == nullptr || !c->ownedNamed.hasRoom()) {
        return waitNamedMutexSlowly(r, milliseconds);
    }
    const NoStopScope noStop;
    SharedRecord* rec = enterRecord(c, r);
    if (rec == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const int rc = robustTryLock(c->robustHead, futexWord(rec), robustLinks(rec), c->tid);
    if (rc == EBUSY) {
        leaveRecord(c);
        return waitNamedMutexSlowly(r, milliseconds);  // maybe ours already, maybe a wait
    }
    c->ownedNamed.push(OwnedNamedMutex{r.object->named, 1});
    DWORD result = WAIT_OBJECT_0;
    if (__builtin_expect(rc != 0 || rec->abandoned != 0, 0)) {
        rec->abandoned = 0;  // reported now
        result = WAIT_ABANDONED;
    }
    leaveRecord(c);
    return result;
}

__attribute__((noinline)) BOOL releaseNamedMutex(Resolved r) {
    ThreadContext* c = tlsContext;
    if (c == nullptr || c->robustHead == nullptr || c->ownedNamed.empty() ||
        c->ownedNamed.back().shared != r.object->named || c->ownedNamed.back().depth != 1) {
        return releaseNamedMutexSlowly(r);
    }
    const NoStopScope noStop;
    SharedRecord* rec = enterRecord(c, r);
    if (rec == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    c->ownedNamed.pop();
    robustUnlock(c->robustHead, futexWord(rec), robustLinks(rec));
    leaveRecord(c);
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
        unlock(c, m.shared->record);
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
        closeShared(reg, shared, nullptr);
    }
}

void lockNamedMutexesForFork() { registry().lock.lock(); }

void unlockNamedMutexesAfterFork() { registry().lock.unlock(); }

}  // namespace davro::win32::detail
