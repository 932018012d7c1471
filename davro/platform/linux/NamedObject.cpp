// Named objects: one object per name, shared by every process of the same user.
//
// The state lives in the name's shared record (NamedFile.h). A mutex is a robust futex that
// its owner links into the thread's robust list (RobustList.h), so the kernel marks it
// "owner died" when its owner's process is killed; a thread that ends here marks its named
// mutexes abandoned itself. Recursion is counted in the thread's list of the named mutexes
// it owns, never in the shared record. Events and semaphores are a count with the number of
// registered waiters beside it. Blocking waits go through the wait engine, which sleeps on
// the records' futex words and the thread's own status at once (WaitEngine.cpp).
//
// Within the process, one object stands for a name while any handle names it; its record
// stays mapped while a handle, an owner or a call in progress uses it. Calls that hold no
// reference publish the record as their hazard first, and the last close waits until no
// thread has it as its hazard (DESIGN.md, "Named objects").
#include "NamedObject.h"

#include <linux/futex.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "Fence.h"
#include "Futex.h"
#include "StopScope.h"
#include "WaitEngine.h"

namespace davro::win32::detail {

// What one process keeps for one name. Never freed, only recycled, so that a thread that
// read an object's pointer to it and then finds the object dead reads valid memory.
struct NamedShared {
    std::string path;
    int fd = -1;       // holds the name for this process (NamedFile.cpp)
    int childFd = -1;  // across fork(): the child's hold
    SharedRecord* record = nullptr;
    Object* object = nullptr;  // this process's object for the name, while it lives
    std::uint32_t incarnation = 0;
    // No handle is left, but a thread of this process still owns the mutex: its end (or the
    // fork of a child, for a thread that is not there) unmaps the record.
    bool retired = false;
    std::uint32_t retiredOwner = 0;
    NamedShared* next = nullptr;  // the free list
};

namespace {

struct Registry {
    std::mutex lock;  // held across file operations: a sleeping lock, outside the fork gate
    std::map<std::string, NamedShared*> byPath;
    NamedShared* free = nullptr;
};

Registry& registry() {
    static auto* r = new Registry;  // never destroyed: threads may still end during exit
    return *r;
}

Kind localKind(NamedKind k) {
    switch (k) {
        case NamedKind::Mutex:
            return Kind::NamedMutex;
        case NamedKind::AutoEvent:
            return Kind::NamedAutoEvent;
        case NamedKind::ManualEvent:
            return Kind::NamedManualEvent;
        case NamedKind::Semaphore:
            return Kind::NamedSemaphore;
    }
    return Kind::Free;
}

// ---- Events and semaphores: the counted word ----
//
// Low half, the futex word: a semaphore's count; a manual event's signalled bit; an auto
// event's signalled bit (bit 0) and its hand-offs (above it). High half: registered waiters.
// A set of an auto event with more waiters than hand-offs adds a hand-off, which only a
// registered waiter takes, so that a set with a waiter is never lost to a reset or to a
// thread that only tried; otherwise it sets the signalled bit, which anybody takes.

constexpr std::uint32_t kSetBit = 1;
constexpr std::uint32_t kHandOff = 2;

std::uint32_t handOffs(std::uint32_t low) { return low >> 1; }

bool takeable(NamedKind kind, std::uint32_t low, bool registered) {
    if (kind == NamedKind::AutoEvent && !registered) {
        return (low & kSetBit) != 0;
    }
    return low != 0;
}

// One attempt to take a counted object: true when taken (a manual event is only looked at).
bool takeCounted(SharedRecord* rec, bool registered) {
    const NamedKind kind = rec->kind;
    std::uint64_t w = rec->counted.load(std::memory_order_acquire);
    for (;;) {
        const std::uint32_t low = countOf(w);
        if (!takeable(kind, low, registered)) {
            return false;
        }
        if (kind == NamedKind::ManualEvent) {
            return true;
        }
        std::uint64_t next = w - 1;  // a semaphore's unit
        if (kind == NamedKind::AutoEvent) {
            next = registered && handOffs(low) != 0 ? w - kHandOff : w & ~std::uint64_t{kSetBit};
        }
        if (rec->counted.compare_exchange_weak(w, next, std::memory_order_acquire,
                                               std::memory_order_acquire)) {
            return true;
        }
    }
}

void wakeCounted(SharedRecord* rec, int count) { futexWake(countWord(rec), count, true); }

// SetEvent on an auto event, and a registered waiter giving back what it took.
void setAutoEvent(SharedRecord* rec) {
    std::uint64_t w = rec->counted.load(std::memory_order_relaxed);
    std::uint64_t next = 0;
    do {
        const std::uint32_t low = countOf(w);
        if (waitersOf(w) > handOffs(low)) {
            next = w + kHandOff;
        } else if ((low & kSetBit) == 0) {
            next = w | kSetBit;
        } else {
            return;  // set already, and every waiter has its hand-off
        }
    } while (!rec->counted.compare_exchange_weak(w, next, std::memory_order_seq_cst,
                                                 std::memory_order_relaxed));
    if (waitersOf(next) != 0) {
        wakeCounted(rec, 1);
    }
}

// ---- Mutexes ----

// The owner of the mutex; 0 when free or when its owner died.
std::uint32_t ownerTid(SharedRecord* rec) {
    return futexWord(rec)->load(std::memory_order_relaxed) & FUTEX_TID_MASK;
}

// The calling thread's robust list (null: the C library's calls lock), looked up once.
RobustHead* robustHeadOf(ThreadContext* c) {
    if (__builtin_expect(!c->robustKnown, 0)) {
        c->robustHead = robustHeadOfThisThread();
        c->robustKnown = true;
    }
    return c->robustHead;
}

// One lock attempt by the calling thread: 0 (an owner that died is recorded as abandoned),
// or EBUSY.
__attribute__((always_inline)) inline int tryLock(ThreadContext* c, SharedRecord* rec) {
    const int rc = tryLockRecord(robustHeadOf(c), rec, c->tid);
    if (rc == EOWNERDEAD) {
        rec->abandoned = 1;
        return 0;
    }
    return rc;
}

__attribute__((always_inline)) inline void unlock(ThreadContext* c, SharedRecord* rec) {
    unlockRecord(c->robustHead, rec);
}

OwnedNamedMutex* findOwned(ThreadContext* c, const NamedShared* shared) {
    return c->ownedNamed.findLast(
        [shared](const OwnedNamedMutex& m) { return m.shared == shared; });
}

// A take that decided a wait lists the mutex (or counts one more level); the room was
// reserved by the caller.
void keep(ThreadContext* c, NamedShared* shared) {
    if (OwnedNamedMutex* m = findOwned(c, shared)) {
        ++m->depth;
        return;
    }
    shared->record->abandoned = 0;  // reported by the wait that took it
    c->ownedNamed.push(OwnedNamedMutex{shared, 1});
}

// One attempt at the mutex, listed or not: WAIT_OBJECT_0, WAIT_ABANDONED or WAIT_TIMEOUT. A
// mutex on the thread's list is taken again without touching the shared word.
DWORD tryMutex(ThreadContext* c, NamedShared* shared) {
    if (findOwned(c, shared) != nullptr) {
        return WAIT_OBJECT_0;
    }
    SharedRecord* rec = shared->record;
    if (tryLock(c, rec) != 0) {
        return WAIT_TIMEOUT;
    }
    return rec->abandoned != 0 ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

// ---- Hazards: calls without a reference ----

// Publishes the record of `r` as the calling thread's hazard and sets `rec`; false if the
// handle died meanwhile (the hazard is then already cleared).
__attribute__((always_inline)) inline bool enterRecord(ThreadContext* c, const Resolved& r,
                                                       SharedRecord*& rec) {
    NamedShared* shared = r.object->named;  // checked below: the object may be recycled
    c->namedHazard.store(shared, std::memory_order_relaxed);
    lightFence();
    rec = shared->record;
    // The incarnation moves before a dying object gives up its record (ObjectPool.cpp), and
    // the record is unmapped only once no thread has it as its hazard, so while the
    // incarnation is unchanged here the record stays mapped until the hazard is cleared.
    if (incarnationOf(r.object) != r.incarnation) {
        c->namedHazard.store(nullptr, std::memory_order_release);
        return false;
    }
    return true;
}

__attribute__((always_inline)) inline void leaveRecord(ThreadContext* c) {
    c->namedHazard.store(nullptr, std::memory_order_release);
}

// Waits until no thread has `shared` as its hazard. The heavy fence pairs with the light one
// of enterRecord: a thread that is not seen here sees the object dead. A hazard is held for
// a few instructions inside a no-stop scope, so this wait is short.
void waitForHazards(const NamedShared* shared) {
    heavyFence();
    forEachContext([&](const ThreadContext* c) {
        unsigned n = 0;
        while (c->namedHazard.load(std::memory_order_acquire) == shared) {
            backoff(n);
        }
    });
}

// Runs `use` on the record of `r` under the calling thread's hazard; ERROR_INVALID_HANDLE
// when the handle has died.
template <typename Use>
BOOL withRecord(const Resolved& r, Use use) {
    ThreadContext* c = currentContext();
    if (c == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const NoStopScope noStop;
    SharedRecord* rec = nullptr;
    if (!enterRecord(c, r, rec)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const BOOL result = use(rec);
    leaveRecord(c);
    return result;
}

// ---- The registry ----

void recycle(Registry& reg, NamedShared* s) {
    if (s->record != nullptr) {
        munmap(s->record, kRecordSize);
    }
    s->record = nullptr;
    s->object = nullptr;
    s->retired = false;
    s->retiredOwner = 0;
    s->fd = -1;
    s->next = reg.free;
    reg.free = s;
}

// Whether thread `tid` is a live thread of this process.
bool threadOfThisProcess(std::uint32_t tid) {
    bool found = false;
    forEachContext([&](const ThreadContext* c) { found = found || c->tid == tid; });
    return found;
}

// Open*W's rights: what the type defines, as Windows checks them. ERROR_SUCCESS with the
// handle's access, or the error.
DWORD openAccess(Kind kind, DWORD desired, std::uint32_t& access) {
    constexpr DWORD kStandard = 0x001F0000;  // DELETE ... SYNCHRONIZE
    constexpr DWORD kGeneric = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
    const DWORD specific = kind == Kind::NamedMutex ? 0x0001 : 0x0003;
    if ((desired & ACCESS_SYSTEM_SECURITY) != 0) {
        return ERROR_PRIVILEGE_NOT_HELD;
    }
    if (desired == 0 || (desired & ~(kStandard | specific | MAXIMUM_ALLOWED | kGeneric)) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    access = (desired & MAXIMUM_ALLOWED) != 0 ? kFullAccess : accessFor(kind, desired);
    return ERROR_SUCCESS;
}

// Create and open, the registry lock held. `toRelease` gets a reference to drop once the
// lock is given up (dropping the last one takes the lock again).
HANDLE openLocked(Registry& reg, ThreadContext* c, const NameKey& key, bool openOnly,
                  unsigned family, DWORD desiredAccess, const NamedCreation& creation,
                  Object*& toRelease, bool& existed) {
    NamedShared* shared = nullptr;
    Object* o = nullptr;
    const auto found = reg.byPath.find(key.path);
    if (found != reg.byPath.end() && found->second->object != nullptr &&
        tryAddRef(found->second->object, found->second->incarnation)) {
        shared = found->second;
        o = shared->object;
        existed = true;
        const auto kind = static_cast<unsigned>(shared->record->kind);
        if ((family & (1U << kind)) == 0) {
            toRelease = o;
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
    } else {
        // A name this process does not hold, or whose object is dying: a hold of its own.
        shared = reg.free != nullptr ? reg.free : new (std::nothrow) NamedShared;
        if (shared == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        reg.free = shared == reg.free ? shared->next : reg.free;
        shared->next = nullptr;
        const NewRecord fresh{
            creation.kind,    static_cast<std::uint32_t>(creation.count),
            creation.maximum, creation.kind == NamedKind::Mutex && creation.initialOwner != FALSE,
            robustHeadOf(c),  c->tid};
        SharedRecord* rec = nullptr;
        const int fd = openRecordFile(key, openOnly, family, fresh, existed, rec);
        if (fd < 0) {
            recycle(reg, shared);
            return nullptr;
        }
        o = newObject(localKind(rec->kind), 0);
        try {
            shared->path = key.path;
            if (o != nullptr) {
                reg.byPath[key.path] = shared;
            }
        } catch (const std::bad_alloc&) {
            release(o);  // `named` is still null: nothing to destroy
            o = nullptr;
        }
        shared->fd = fd;
        shared->record = rec;
        if (o == nullptr) {
            if (!existed && fresh.owned) {
                unlockRecord(fresh.head, rec);
            }
            closeRecordFile(key.path, fd);
            recycle(reg, shared);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        o->named = shared;
        shared->object = o;
        shared->incarnation = incarnationOf(o);
        if (!existed && fresh.owned) {
            keep(c, shared);
        }
    }
    std::uint32_t access = kFullAccess;
    if (openOnly) {
        const DWORD error =
            openAccess(o->kind.load(std::memory_order_relaxed), desiredAccess, access);
        if (error != ERROR_SUCCESS) {
            toRelease = o;
            SetLastError(error);
            return nullptr;
        }
    }
    HANDLE h = newHandle(o, access);
    if (h == nullptr) {
        toRelease = o;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return h;
}

HANDLE openOrCreate(const wchar_t* name, bool openOnly, unsigned family, DWORD desiredAccess,
                    const NamedCreation& creation) {
    ThreadContext* c = currentContext();
    NameKey key;
    try {
        const DWORD error = makeKey(name, key);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        c = nullptr;
    }
    if (c == nullptr || !c->ownedNamed.reserve(1)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Registry& reg = registry();
    Object* toRelease = nullptr;
    bool existed = false;
    HANDLE h = nullptr;
    {
        const std::lock_guard<std::mutex> guard(reg.lock);
        h = openLocked(reg, c, key, openOnly, family, desiredAccess, creation, toRelease, existed);
    }
    if (toRelease != nullptr) {
        const DWORD error = GetLastError();
        release(toRelease);
        SetLastError(error);
    }
    // A new object leaves the last error 0; an existing one says so. Open*W leaves it.
    if (h != nullptr && !openOnly) {
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    }
    return h;
}

}  // namespace

HANDLE createNamed(const wchar_t* name, const NamedCreation& creation) {
    // Either kind of event joins an event of that name, as on Windows.
    const bool event =
        creation.kind == NamedKind::AutoEvent || creation.kind == NamedKind::ManualEvent;
    const unsigned family = event ? kEventFamily : 1U << static_cast<unsigned>(creation.kind);
    return openOrCreate(name, false, family, 0, creation);
}

HANDLE openNamed(const wchar_t* name, unsigned family, DWORD desiredAccess) {
    return openOrCreate(name, true, family, desiredAccess,
                        NamedCreation{NamedKind::Mutex, FALSE, 0, 0});
}

bool wideName(const char* narrow, std::wstring& wide) {
    try {
        wide.clear();
        const auto* p = reinterpret_cast<const unsigned char*>(narrow);
        while (*p != 0) {
            const unsigned char b = *p;
            const int extra = b >= 0xF0 && b < 0xF5   ? 3
                              : b >= 0xE0             ? 2
                              : b >= 0xC2 && b < 0xE0 ? 1
                                                      : 0;
            std::uint32_t cp = extra == 3 ? b & 0x07 : extra == 2 ? b & 0x0F : b & 0x1F;
            int n = 1;
            while (n <= extra && (p[n] & 0xC0) == 0x80) {
                cp = (cp << 6) | (p[n] & 0x3F);
                ++n;
            }
            const bool valid = b < 0x80 || (extra != 0 && n == extra + 1 &&
                                            cp >= (extra == 1   ? 0x80U
                                                   : extra == 2 ? 0x800U
                                                                : 0x10000U) &&
                                            cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF));
            if (valid) {
                wide += static_cast<wchar_t>(b < 0x80 ? b : cp);
                p += b < 0x80 ? 1 : extra + 1;
            } else {
                wide += static_cast<wchar_t>(0xDC80 + b);  // a byte of its own
                ++p;
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// ---- Waits and signals through a handle ----

namespace {

// WaitForSingleObject's first attempt on a named mutex, every case: a thread's first
// named-mutex call, the C library's calls, recursion, and a mutex that is busy.
__attribute__((noinline)) DWORD tryMutexSlowly(Resolved r) {
    ThreadContext* c = currentContext();
    if (c == nullptr || !c->ownedNamed.reserve(1)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WAIT_FAILED;
    }
    const NoStopScope noStop;  // never stopped with the word or the list half changed
    SharedRecord* rec = nullptr;
    if (!enterRecord(c, r, rec)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    NamedShared* shared = r.object->named;
    const DWORD result = tryMutex(c, shared);
    if (result != WAIT_TIMEOUT) {
        keep(c, shared);
    }
    leaveRecord(c);
    return result;
}

__attribute__((noinline)) BOOL releaseMutexSlowly(Resolved r) {
    ThreadContext* c = tlsContext;
    if (c == nullptr) {
        SetLastError(ERROR_NOT_OWNER);  // a thread without a context has taken nothing
        return FALSE;
    }
    const NoStopScope noStop;
    SharedRecord* rec = nullptr;
    if (!enterRecord(c, r, rec)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The thread's list says what it owns, so a non-owner never reaches the mutex at all.
    OwnedNamedMutex* m = findOwned(c, r.object->named);
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

// The usual mutex calls take a short way, for a thread that locks through its robust list:
// the word's compare-and-swap succeeds only when no thread owns the mutex, so a wait that
// takes it needs no look at what the thread owns, and a release finds the mutex it took last
// at the end of its list. Everything else goes the general way.
__attribute__((always_inline)) inline DWORD tryWaitMutex(Resolved r) {
    ThreadContext* c = tlsContext;
    if (c == nullptr || c->robustHead == nullptr || !c->ownedNamed.hasRoom()) {
        return tryMutexSlowly(r);
    }
    DWORD result = WAIT_OBJECT_0;
    {
        const NoStopScope noStop;
        SharedRecord* rec = nullptr;
        if (!enterRecord(c, r, rec)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        const int rc = robustTryLock(c->robustHead, futexWord(rec), robustLinks(rec), c->tid);
        if (rc != EBUSY) {
            c->ownedNamed.push(OwnedNamedMutex{r.object->named, 1});
            if (__builtin_expect(rc != 0 || rec->abandoned != 0, 0)) {
                rec->abandoned = 0;  // reported now
                result = WAIT_ABANDONED;
            }
        } else {
            result = WAIT_TIMEOUT;
        }
        leaveRecord(c);
    }
    // Busy: maybe ours already, maybe a wait.
    return result == WAIT_TIMEOUT ? tryMutexSlowly(r) : result;
}

}  // namespace

namespace {

__attribute__((noinline)) DWORD tryWaitCounted(Resolved r) {
    DWORD result = WAIT_TIMEOUT;
    const BOOL alive = withRecord(r, [&](SharedRecord* rec) {
        if (takeCounted(rec, false)) {
            result = WAIT_OBJECT_0;
        }
        return TRUE;
    });
    return alive ? result : WAIT_FAILED;
}

}  // namespace

DWORD tryWaitNamed(Resolved r) {
    return r.kind == Kind::NamedMutex ? tryWaitMutex(r) : tryWaitCounted(r);
}

__attribute__((noinline)) DWORD waitNamed(HANDLE object, Resolved r, DWORD milliseconds) {
    const DWORD first = r.kind == Kind::NamedMutex ? tryWaitMutex(r) : tryWaitCounted(r);
    if (__builtin_expect(first != WAIT_TIMEOUT || milliseconds == 0, 1)) {
        return first;
    }
    return waitAfterFirstTry(object, milliseconds);
}

__attribute__((noinline)) BOOL releaseNamedMutex(Resolved r) {
    ThreadContext* c = tlsContext;
    if (c == nullptr || c->robustHead == nullptr || c->ownedNamed.empty() ||
        c->ownedNamed.back().shared != r.object->named || c->ownedNamed.back().depth != 1) {
        return releaseMutexSlowly(r);
    }
    const NoStopScope noStop;
    SharedRecord* rec = nullptr;
    if (!enterRecord(c, r, rec)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    c->ownedNamed.pop();
    robustUnlock(c->robustHead, futexWord(rec), robustLinks(rec));
    leaveRecord(c);
    return TRUE;
}

BOOL setNamedEvent(const Resolved& r) {
    return withRecord(r, [](SharedRecord* rec) {
        if (rec->kind == NamedKind::AutoEvent) {
            setAutoEvent(rec);
            return TRUE;
        }
        const std::uint64_t before = rec->counted.fetch_or(kSetBit, std::memory_order_seq_cst);
        if ((before & kSetBit) == 0 && waitersOf(before) != 0) {
            wakeCounted(rec, INT_MAX);
        }
        return TRUE;
    });
}

BOOL resetNamedEvent(const Resolved& r) {
    return withRecord(r, [](SharedRecord* rec) {
        // Hand-offs went to waiters that a set released: a reset does not take them back.
        rec->counted.fetch_and(~std::uint64_t{kSetBit}, std::memory_order_relaxed);
        return TRUE;
    });
}

BOOL releaseNamedSemaphore(const Resolved& r, LONG releaseCount, LPLONG previousCount) {
    bool fits = false;
    std::uint32_t before = 0;
    const BOOL alive = withRecord(r, [&](SharedRecord* rec) {
        const auto add = static_cast<std::uint64_t>(releaseCount);
        std::uint64_t w = rec->counted.load(std::memory_order_relaxed);
        do {
            before = countOf(w);
            fits = before + add <= static_cast<std::uint64_t>(rec->maximum);
            if (!fits) {
                return TRUE;
            }
        } while (!rec->counted.compare_exchange_weak(w, w + add, std::memory_order_seq_cst,
                                                     std::memory_order_relaxed));
        if (waitersOf(w) != 0) {
            wakeCounted(rec, static_cast<int>(std::min<std::uint64_t>(add, waitersOf(w))));
        }
        return TRUE;
    });
    if (!alive) {
        return FALSE;
    }
    if (!fits) {
        SetLastError(ERROR_TOO_MANY_POSTS);
        return FALSE;
    }
    if (previousCount != nullptr) {
        *previousCount = static_cast<LONG>(before);
    }
    return TRUE;
}

// ---- The wait engine's calls ----

DWORD tryTakeNamed(ThreadContext* c, Object* o, bool registered) {
    NamedShared* shared = o->named;
    if (o->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
        const DWORD result = tryMutex(c, shared);
        if (registered && result != WAIT_TIMEOUT) {
            // A blocking waiter may have taken the mutex from under sleepers whose flag the
            // release cleared: its own release must wake one of them, as the C library
            // does after a lock that had to wait.
            std::uint32_t expected = c->tid;
            futexWord(shared->record)
                ->compare_exchange_strong(expected, c->tid | FUTEX_WAITERS,
                                          std::memory_order_relaxed);
        }
        return result;
    }
    return takeCounted(shared->record, registered) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void keepNamed(ThreadContext* c, Object* o) {
    if (o->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
        keep(c, o->named);
    }
}

void giveBackNamed(ThreadContext* c, Object* o) {
    SharedRecord* rec = o->named->record;
    switch (o->kind.load(std::memory_order_relaxed)) {
        case Kind::NamedMutex:
            // A level taken again by an owner was never counted: nothing to undo.
            if (findOwned(c, o->named) == nullptr) {
                unlock(c, rec);
            }
            break;
        case Kind::NamedAutoEvent:
            setAutoEvent(rec);
            break;
        case Kind::NamedSemaphore: {
            const std::uint64_t before = rec->counted.fetch_add(1, std::memory_order_seq_cst);
            if (waitersOf(before) > 1) {
                wakeCounted(rec, 1);
            }
            break;
        }
        default:
            break;
    }
}

void joinNamedWaiters(Object* o) {
    if (o->kind.load(std::memory_order_relaxed) != Kind::NamedMutex) {
        o->named->record->counted.fetch_add(kOneWaiter, std::memory_order_seq_cst);
    }
}

void leaveNamedWaiters(Object* o, bool slept) {
    SharedRecord* rec = o->named->record;
    if (o->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
        if (!slept) {
            return;
        }
        // A release may have woken us for a mutex we did not take, and cleared the waiters
        // flag as it did: wake another sleeper if the mutex is free, or set the flag again
        // so that its owner's release does.
        std::atomic<std::uint32_t>* word = futexWord(rec);
        std::uint32_t w = word->load(std::memory_order_seq_cst);
        while ((w & FUTEX_TID_MASK) != 0 && (w & FUTEX_WAITERS) == 0 &&
               !word->compare_exchange_weak(w, w | FUTEX_WAITERS, std::memory_order_seq_cst)) {
        }
        if ((w & FUTEX_TID_MASK) == 0) {
            futexWake(word, 1, true);
        }
        return;
    }
    std::uint64_t w = rec->counted.load(std::memory_order_relaxed);
    std::uint64_t next = 0;
    do {
        next = w - kOneWaiter;
        // Hand-offs beyond the waiters left are sets that no waiter took: the event stays set.
        if (rec->kind == NamedKind::AutoEvent && handOffs(countOf(next)) > waitersOf(next)) {
            next = (next - kHandOff) | kSetBit;
        }
    } while (!rec->counted.compare_exchange_weak(w, next, std::memory_order_seq_cst,
                                                 std::memory_order_relaxed));
    if (waitersOf(next) != 0 && countOf(next) != 0) {
        wakeCounted(rec, 1);  // a wake-up that came to us may have been meant for another
    }
}

void namedSleepWord(ThreadContext* c, Object* o, std::atomic<std::uint32_t>*& word,
                    std::uint32_t& expected) {
    SharedRecord* rec = o->named->record;
    if (o->kind.load(std::memory_order_relaxed) != Kind::NamedMutex) {
        word = countWord(rec);
        expected = word->load(std::memory_order_seq_cst);
        return;
    }
    word = futexWord(rec);
    std::uint32_t w = word->load(std::memory_order_relaxed);
    // A failed compare-and-swap reloads `w`: go on until the flag is set or the mutex free.
    while ((w & FUTEX_TID_MASK) != 0 && (w & FUTEX_TID_MASK) != c->tid &&
           (w & FUTEX_WAITERS) == 0 &&
           !word->compare_exchange_weak(w, w | FUTEX_WAITERS, std::memory_order_relaxed)) {
    }
    expected = (w & FUTEX_TID_MASK) != 0 && (w & FUTEX_TID_MASK) != c->tid ? w | FUTEX_WAITERS : w;
}

bool namedWordFree(Object* o, std::uint32_t value) {
    if (o->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
        return (value & FUTEX_TID_MASK) == 0;
    }
    return takeable(o->named->record->kind, value, true);
}

void abandonNamedMutexes(ThreadContext* c, bool ghost) {
    while (!c->ownedNamed.empty()) {
        const OwnedNamedMutex m = c->ownedNamed.pop();
        NamedShared* shared = m.shared;
        if (!ghost) {
            // Owned, so still mapped (see destroyNamed). The flag is written while we own the
            // mutex, then the mutex is given back.
            shared->record->abandoned = 1;
            unlock(c, shared->record);
        }
        Registry& reg = registry();
        const std::lock_guard<std::mutex> guard(reg.lock);
        if (shared->retired && shared->retiredOwner == c->tid) {
            recycle(reg, shared);  // no handle is left: this thread kept it mapped
        }
    }
}

std::uint32_t namedMutexOwner(Object* o, bool& ownerDied) {
    const std::uint32_t word = futexWord(o->named->record)->load(std::memory_order_relaxed);
    ownerDied = (word & FUTEX_OWNER_DIED) != 0;
    return word & FUTEX_TID_MASK;
}

std::string_view namedName(Object* o) {
    const SharedRecord* rec = o->named->record;  // its name never changes once made
    return {rec->utf8, std::min<std::size_t>(rec->utf8Length, sizeof rec->utf8)};
}

bool namedPasses(Object* o, std::uint32_t tid) {
    SharedRecord* rec = o->named->record;
    if (o->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
        const std::uint32_t owner = ownerTid(rec);
        return owner == 0 || owner == tid;
    }
    return countOf(rec->counted.load(std::memory_order_relaxed)) != 0;
}

std::uint32_t namedSleepers(Object* o) {
    SharedRecord* rec = o->named->record;
    if (o->kind.load(std::memory_order_relaxed) == Kind::NamedMutex) {
        return (futexWord(rec)->load(std::memory_order_relaxed) & FUTEX_WAITERS) != 0 ? 1 : 0;
    }
    return waitersOf(rec->counted.load(std::memory_order_relaxed));
}

void destroyNamed(Object* object) {
    NamedShared* shared = object->named;
    if (shared == nullptr) {
        return;
    }
    Registry& reg = registry();
    const std::lock_guard<std::mutex> guard(reg.lock);
    const auto found = reg.byPath.find(shared->path);
    if (found != reg.byPath.end() && found->second == shared) {
        reg.byPath.erase(found);
    }
    shared->object = nullptr;
    waitForHazards(shared);
    const bool last = closeRecordFile(shared->path, shared->fd);
    shared->fd = -1;
    SharedRecord* rec = shared->record;
    const std::uint32_t owner = rec->kind == NamedKind::Mutex ? ownerTid(rec) : 0;
    ThreadContext* self = tlsContext;
    if (owner != 0 && self != nullptr && owner == self->tid && last) {
        // The object dies with its last handle, and an owned mutex is released as abandoned:
        // nobody can see it any more, so the caller simply stops owning it.
        self->ownedNamed.removeLast(
            [shared](const OwnedNamedMutex& m) { return m.shared == shared; });
        unlock(self, rec);
    } else if (owner != 0 && threadOfThisProcess(owner)) {
        // A thread of ours owns it (other processes may still wait for it): the mapping
        // stays until that thread gives it up at its end.
        shared->retired = true;
        shared->retiredOwner = owner;
        return;
    }
    recycle(reg, shared);
}

void prepareNamedForFork() {
    Registry& reg = registry();
    reg.lock.lock();
    for (const auto& [path, shared] : reg.byPath) {
        shared->childFd = shared->fd >= 0 ? holdForChild(shared->fd) : -1;
    }
}

void namedAfterForkInParent() {
    Registry& reg = registry();
    for (const auto& [path, shared] : reg.byPath) {
        if (shared->childFd >= 0) {
            ::close(shared->childFd);  // the child's description keeps the child's hold
            shared->childFd = -1;
        }
    }
    reg.lock.unlock();
}

void namedAfterForkInChild() {
    Registry& reg = registry();
    for (const auto& [path, shared] : reg.byPath) {
        if (shared->childFd >= 0) {
            // The parent's description stays the parent's: closing our descriptor of it
            // leaves the parent's hold alone.
            ::close(shared->fd);
            shared->fd = shared->childFd;
            shared->childFd = -1;
        }
    }
    reg.lock.unlock();
}

}  // namespace davro::win32::detail
