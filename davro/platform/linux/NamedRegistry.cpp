// The registry of named objects: one object per name in this process, the name's record
// opened, held and given up (NamedFile.cpp), the rights of Open*W, the last close, and the
// names across fork().
//
// DESIGN.md, "Named objects", has the lifetime protocol.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <new>
#include <string>

#include "NamedObject.h"
#include "NamedShared.h"

namespace davro::win32::detail {
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
        case NamedKind::ManualTimer:
            return Kind::NamedManualTimer;
        case NamedKind::AutoTimer:
            return Kind::NamedAutoTimer;
    }
    return Kind::Free;
}

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

// Forgets `shared`, whose mutex's owner kept it mapped without an object: the owner let go.
void forgetRetired(Registry& reg, NamedShared* shared) {
    const auto found = reg.byPath.find(shared->path);
    if (found != reg.byPath.end() && found->second == shared) {
        reg.byPath.erase(found);
    }
    recycle(reg, shared);
}

// A hold of this process's own on a name that it does not hold yet (or whose object is
// dying), with a new object for it; null with the last error set. Registry lock held.
// `retired`: what the process kept of the name for the owner of its mutex, taken up again
// if the name is still that file, so that the owner finds the mutex it owns.
Object* holdName(Registry& reg, ThreadContext* c, const NameKey& key, bool openOnly,
                 unsigned family, const NamedCreation& creation, NamedShared* retired,
                 bool& existed) {
    NamedShared* shared = reg.free != nullptr ? reg.free : new (std::nothrow) NamedShared;
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
    struct stat st {};
    fstat(fd, &st);  // cannot fail on a descriptor just opened
    if (retired != nullptr && existed && retired->fileDevice == st.st_dev &&
        retired->fileInode == st.st_ino) {
        // The retired mapping keeps the file, so its inode is not another file's.
        munmap(rec, kRecordSize);
        rec = retired->record;
        recycle(reg, shared);
        shared = retired;
    }
    const bool revived = shared == retired;
    shared->fd = fd;
    shared->record = rec;
    shared->fileDevice = st.st_dev;
    shared->fileInode = st.st_ino;
    Object* o = newObject(localKind(rec->kind), 0);
    try {
        shared->path = key.path;
        if (o != nullptr) {
            reg.byPath[key.path] = shared;
        }
    } catch (const std::bad_alloc&) {
        release(o);  // `named` is still null: nothing to destroy
        o = nullptr;
    }
    if (o == nullptr) {
        if (!existed && fresh.owned) {
            unlockRecord(fresh.head, rec);
        }
        closeRecordFile(key.path, fd);
        shared->fd = -1;
        if (!revived) {
            recycle(reg, shared);
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    shared->retired = false;
    shared->retiredOwner = 0;
    o->named = shared;
    shared->object = o;
    shared->incarnation = incarnationOf(o);
    if (!existed && fresh.owned) {
        keep(c, shared);
    }
    return o;
}

// Create and open, the registry lock held. `toRelease` gets a reference to drop once the
// lock is given up (dropping the last one takes the lock again).
HANDLE openLocked(Registry& reg, ThreadContext* c, const NameKey& key, bool openOnly,
                  unsigned family, DWORD desiredAccess, const NamedCreation& creation,
                  Object*& toRelease, bool& existed) {
    Object* o = nullptr;
    const auto found = reg.byPath.find(key.path);
    NamedShared* retired =
        found != reg.byPath.end() && found->second->retired ? found->second : nullptr;
    if (found != reg.byPath.end() && found->second->object != nullptr &&
        tryAddRef(found->second->object, found->second->incarnation)) {
        o = found->second->object;
        existed = true;
        if ((family & (1U << static_cast<unsigned>(found->second->record->kind))) == 0) {
            toRelease = o;
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
    } else if ((o = holdName(reg, c, key, openOnly, family, creation, retired, existed)) ==
               nullptr) {
        return nullptr;
    }
    std::uint32_t access = kFullAccess;
    if (!openOnly && desiredAccess != 0) {
        access = accessFor(o->kind.load(std::memory_order_relaxed), desiredAccess);
    } else if (openOnly) {
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

// The code point that a UTF-8 sequence at `p` encodes and the sequence's length; 0 when
// it is not valid UTF-8 (a stray or missing continuation byte, an overlong form, a
// surrogate, a value above U+10FFFF).
int decodeUtf8(const unsigned char* p, char32_t& unit) {
    const unsigned char b = p[0];
    if (b < 0x80) {
        unit = b;
        return 1;
    }
    const int extra = b >= 0xF0 && b < 0xF5   ? 3
                      : b >= 0xE0 && b < 0xF0 ? 2
                      : b >= 0xC2 && b < 0xE0 ? 1
                                              : 0;
    if (extra == 0) {
        return 0;
    }
    std::uint32_t cp = b & (0x3F >> extra);
    for (int n = 1; n <= extra; ++n) {
        if ((p[n] & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (p[n] & 0x3F);
    }
    constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    unit = cp;
    return extra + 1;
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
    if (c == nullptr || !c->named.owned.reserve(1)) {
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

HANDLE createNamed(const wchar_t* name, const NamedCreation& creation, DWORD desiredAccess) {
    // Either kind of event joins an event of that name, and either kind of timer a timer, as
    // on Windows.
    const unsigned self = 1U << static_cast<unsigned>(creation.kind);
    const unsigned family = (kEventFamily & self) != 0   ? kEventFamily
                            : (kTimerFamily & self) != 0 ? kTimerFamily
                                                         : self;
    return openOrCreate(name, false, family, desiredAccess, creation);
}

HANDLE openNamed(const wchar_t* name, unsigned family, DWORD desiredAccess) {
    return openOrCreate(name, true, family, desiredAccess,
                        NamedCreation{NamedKind::Mutex, FALSE, 0, 0});
}

bool wideName(const char* narrow, std::wstring& wide) {
    try {
        wide.clear();
        for (const auto* p = reinterpret_cast<const unsigned char*>(narrow); *p != 0;) {
            char32_t unit = 0;
            const int length = decodeUtf8(p, unit);
            if (length != 0) {
                wide += static_cast<wchar_t>(unit);
                p += length;
            } else {
                wide += static_cast<wchar_t>(0xDC80 + *p);  // a byte of its own
                ++p;
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// The heavy fence pairs with the light one
// of enterRecord: a thread that is not seen here sees the object dead. A hazard is held for
// a few instructions inside a no-stop scope, so this wait is short.
void waitForHazards(const NamedShared* shared) {
    heavyFence();
    forEachContext([&](const ThreadContext* c) {
        unsigned n = 0;
        while (c->named.hazard.load(std::memory_order_acquire) == shared) {
            backoff(n);
        }
    });
}

void abandonNamedMutexes(ThreadContext* c, bool ghost) {
    while (!c->named.owned.empty()) {
        const OwnedNamedMutex m = c->named.owned.pop();
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
            forgetRetired(reg, shared);  // no handle is left: this thread kept it mapped
        }
    }
}

void destroyNamed(Object* object) {
    NamedShared* shared = object->named;
    if (shared == nullptr) {
        return;
    }
    Registry& reg = registry();
    const std::lock_guard<std::mutex> guard(reg.lock);
    shared->object = nullptr;
    waitForHazards(shared);
    const bool last = shared->fd >= 0 && closeRecordFile(shared->path, shared->fd);
    shared->fd = -1;
    SharedRecord* rec = shared->record;
    const std::uint32_t owner = rec->kind == NamedKind::Mutex ? ownerTid(rec) : 0;
    ThreadContext* self = tlsContext;
    if (owner != 0 && self != nullptr && owner == self->tid && last) {
        // The object dies with its last handle, and an owned mutex is released as abandoned:
        // nobody can see it any more, so the caller simply stops owning it.
        self->named.owned.removeLast(
            [shared](const OwnedNamedMutex& m) { return m.shared == shared; });
        unlock(self, rec);
    } else if (owner != 0 && threadOfThisProcess(owner)) {
        // A thread of ours owns it (other processes may still wait for it): the mapping
        // stays until that thread gives it up at its end, and stays the name's in the
        // registry, for a handle opened again meanwhile.
        shared->retired = true;
        shared->retiredOwner = owner;
        return;
    }
    forgetRetired(reg, shared);
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
        // The parent's description stays the parent's: closing our descriptor of it leaves
        // the parent's hold alone, where locking through it would change the parent's.
        if (shared->childFd >= 0) {
            ::close(shared->fd);
            shared->fd = shared->childFd;
            shared->childFd = -1;
        } else if (shared->fd >= 0) {
            shared->fd = holdAgain(shared->path, shared->fd);
        }
    }
    reg.lock.unlock();
}
}  // namespace davro::win32::detail
