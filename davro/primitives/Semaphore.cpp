// YSemaphore: a kernel counting semaphore behind the waitable-object interface.
#include <davro/core/detail/Hot.h>
#include <davro/primitives/Semaphore.h>

using namespace davro::win32;

// unlock(int, int*) hands the caller's int to the kernel as its LONG.
static_assert(sizeof(LONG) == sizeof(int), "LONG and int must have the same size");

YSemaphore::YSemaphore(int initialCount, int maximumCount) : maxCount(maximumCount), countMutex(0) {
    handle = CreateSemaphoreW(nullptr, initialCount, maximumCount, nullptr);
}

// Only the display names follow the semaphore's; both kernel objects stay unnamed.
YSemaphore::YSemaphore(int initialCount, int maximumCount, const YString& displayName)
    : YSyncObject(displayName), maxCount(maximumCount), countMutex(0, displayName + L"CountMutex") {
    handle = CreateSemaphoreW(nullptr, initialCount, maximumCount, nullptr);
}

// Member-wise: the base and countMutex each duplicate their own handle.
YSemaphore::YSemaphore(const YSemaphore& other) = default;
YSemaphore& YSemaphore::operator=(const YSemaphore& other) = default;
YSemaphore::~YSemaphore() = default;

DAVRO_HOT int YSemaphore::unlock() { return unlock(1, static_cast<int*>(nullptr)); }

DAVRO_HOT int YSemaphore::unlock(int releaseCount, int* previousCount) {
    // LONG is long on Windows and int32_t on Linux; both are the int the caller passed.
    return ReleaseSemaphore(handle, releaseCount,
                            reinterpret_cast<LONG*>(previousCount));  // NOLINT
}

DAVRO_HOT int YSemaphore::getCount() {
    // The kernel has no query for the count: borrow one unit without waiting and give it
    // back, which tells the count before the return. countMutex keeps two of these
    // borrowings apart; lock and unlock from other threads go on meanwhile.
    countMutex.lock(INFINITE);
    const int taken = lock(0);
    if (taken != static_cast<int>(WAIT_OBJECT_0) && taken != static_cast<int>(WAIT_ABANDONED)) {
        countMutex.unlock();
        return 0;
    }
    LONG previous = 0;
    const BOOL released = ReleaseSemaphore(handle, 1, &previous);
    countMutex.unlock();
    if (!released) {
        // Other threads filled the semaphore while the unit was borrowed: it is full.
        return maxCount;
    }
    return static_cast<int>(previous) + 1;
}
