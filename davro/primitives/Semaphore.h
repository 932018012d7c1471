// YSemaphore: a process-private kernel counting semaphore as a waitable object.
#pragma once

#include <davro/primitives/Mutex.h>

// A counting semaphore between 0 and a maximum.
//
// lock()/wait() take one unit (258 on time-out); unlock() gives one back and
// unlock(n, &previous) gives n back. getCount() reports the count by borrowing one unit
// without waiting and giving it back; a private mutex, `countMutex`, keeps two getCount()
// calls from overlapping (it does not hold off lock or unlock). Its display name is the
// semaphore's name followed by "CountMutex" when the semaphore is constructed with a name.
// Copies duplicate both handles (semaphore and count mutex); each object closes its own.
// If creation fails the handle is 0: waits return -1, unlock() returns 0, getCount() 0.
class DAVRO_API YSemaphore : public YSyncObject {
public:
    YSemaphore(int initialCount, int maximumCount);
    YSemaphore(int initialCount, int maximumCount, const YString& name);
    YSemaphore(const YSemaphore& other);
    YSemaphore& operator=(const YSemaphore& other);
    ~YSemaphore() override;

    using YSyncObject::unlock;
    // Gives one unit back: unlock(1, nullptr).
    int unlock() override;

    // ReleaseSemaphore(handle, releaseCount, previousCount): nonzero on success; 0 when
    // the count would pass the maximum (count unchanged) or the handle is bad.
    // `previousCount`, which may be null, receives the count before the release.
    virtual int unlock(int releaseCount, int* previousCount);

    // The count as it stood before the call: 0 when no unit could be borrowed (count 0,
    // or a bad handle), the maximum when the borrowed unit could not be given back
    // because other threads filled the semaphore meanwhile.
    virtual int getCount();

protected:
    int maxCount;
    YMutex countMutex;
};
