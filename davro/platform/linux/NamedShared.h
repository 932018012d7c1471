// The named objects' own parts, shared by their calls (NamedObject.cpp) and their registry
// (NamedRegistry.cpp): what a process keeps for a name, a thread's hold on a mutex, and the
// hazard through which calls without a reference use a record.
#pragma once

#include <linux/futex.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#include "Fence.h"
#include "HandleTable.h"
#include "NamedFile.h"
#include "Object.h"
#include "ThreadContext.h"

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
    // Opened again by name meanwhile, the same file takes this mapping up again.
    bool retired = false;
    std::uint32_t retiredOwner = 0;
    std::uint64_t fileDevice = 0;  // the file's identity, to tell it from a newer one
    std::uint64_t fileInode = 0;
    NamedShared* next = nullptr;  // the free list
    // A named timer: the completion routine a thread of this process set on it (WaitableTimer.cpp).
    TimerRecord* timer = nullptr;
};

// ---- Mutexes ----

// The owner of the mutex; 0 when free or when its owner died.
inline std::uint32_t ownerTid(SharedRecord* rec) {
    return futexWord(rec)->load(std::memory_order_relaxed) & FUTEX_TID_MASK;
}

// The calling thread's robust list (null: the C library's calls lock), looked up once.
inline RobustHead* robustHeadOf(ThreadContext* c) {
    if (__builtin_expect(!c->named.robustKnown, 0)) {
        c->named.robustHead = robustHeadOfThisThread();
        c->named.robustKnown = true;
    }
    return c->named.robustHead;
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
    unlockRecord(c->named.robustHead, rec);
}

inline OwnedNamedMutex* findOwned(ThreadContext* c, const NamedShared* shared) {
    return c->named.owned.findLast(
        [shared](const OwnedNamedMutex& m) { return m.shared == shared; });
}

// A take that decided a wait lists the mutex (or counts one more level); the room was
// reserved by the caller.
inline void keep(ThreadContext* c, NamedShared* shared) {
    if (OwnedNamedMutex* m = findOwned(c, shared)) {
        ++m->depth;
        return;
    }
    shared->record->abandoned = 0;  // reported by the wait that took it
    c->named.owned.push(OwnedNamedMutex{shared, 1});
}

// ---- Hazards: calls without a reference ----

// Publishes the record of `r` as the calling thread's hazard and sets `rec`; false if the
// handle died meanwhile (the hazard is then already cleared).
__attribute__((always_inline)) inline bool enterRecord(ThreadContext* c, const Resolved& r,
                                                       SharedRecord*& rec) {
    NamedShared* shared = r.object->named;  // checked below: the object may be recycled
    c->named.hazard.store(shared, std::memory_order_relaxed);
    lightFence();
    // The incarnation moves before a dying object gives up its record (ObjectPool.cpp), and
    // the record is unmapped only once no thread has it as its hazard, so while the
    // incarnation is unchanged here the record stays mapped until the hazard is cleared.
    if (incarnationOf(r.object) != r.incarnation) {
        c->named.hazard.store(nullptr, std::memory_order_release);
        return false;
    }
    rec = shared->record;
    return true;
}

__attribute__((always_inline)) inline void leaveRecord(ThreadContext* c) {
    c->named.hazard.store(nullptr, std::memory_order_release);
}

// Waits until no thread has `shared` as its hazard (NamedRegistry.cpp).
void waitForHazards(const NamedShared* shared);

}  // namespace davro::win32::detail
