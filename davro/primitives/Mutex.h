// Kernel mutexes as waitable objects: YMutex (private to the object) and YNamedMutex
// (one kernel mutex per name, shared by every process of the user).
#pragma once

#include <davro/core/SyncObject.h>

// A process-private kernel mutex.
//
// lock()/wait() acquire it (0, or 0x80 when its previous owner thread ended while owning
// it; the caller owns it either way); unlock()/signal() release it. The owner may acquire
// it again and must release it as often. Ownership belongs to threads: the thread that
// acquired the mutex releases it. The name is a display name for the deadlock log only;
// two mutexes with one name are unrelated. Copies duplicate the handle (see YSyncObject):
// both objects then lock the same mutex. If creation fails the handle is 0: waits return
// -1 and unlock() returns 0.
class DAVRO_API YMutex : public YSyncObject {
public:
    YMutex();
    explicit YMutex(int initialOwner);
    YMutex(const YString& name);  // NOLINT(google-explicit-constructor)
    YMutex(int initialOwner, const YString& name);
    YMutex(const YMutex& other);
    YMutex& operator=(const YMutex& other);
    ~YMutex() override;

    using YSyncObject::unlock;
    // ReleaseMutex: nonzero when released, 0 when the caller does not own the mutex or
    // the handle is 0 or invalid.
    int unlock() override;
};

// A kernel mutex named by `name`, shared by every object of that name in any process of
// the same user.
//
// Behaves as YMutex. When a mutex of that name already exists the object opens it and
// `initialOwner` has no effect. When its owner ends, the process killed included, the
// next acquirer gets 0x80. The name is passed to the kernel unchanged; a name held by an
// object of another kind leaves the handle 0. Copies duplicate the handle.
class DAVRO_API YNamedMutex : public YSyncObject {
public:
    YNamedMutex(const YString& name);  // NOLINT(google-explicit-constructor)
    YNamedMutex(int initialOwner, const YString& name);
    YNamedMutex(const YNamedMutex& other);
    YNamedMutex& operator=(const YNamedMutex& other);
    ~YNamedMutex() override;

    using YSyncObject::unlock;
    // ReleaseMutex's result, as YMutex::unlock().
    int unlock() override;
};
