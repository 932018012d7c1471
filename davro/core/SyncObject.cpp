// YSyncObject: handle ownership, the single-object wait with its deadlock watchdog, the
// second names of the virtual operations, and the waits on several objects.
#include <davro/core/SyncObject.h>
#include <davro/core/detail/Hot.h>
#include <davro/core/detail/Watchdog.h>
#include <davro/platform/detail/TryWait.h>

#include <memory>

using namespace davro::win32;

namespace {

// A handle of our own to the kernel object behind `source`, or 0 when `source` is 0 or
// cannot be duplicated (the copy then behaves as an object whose creation failed).
HANDLE duplicateOf(HANDLE source) {
    if (source == nullptr) {
        return nullptr;
    }
    HANDLE copy = nullptr;
    const HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, source, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

}  // namespace

YSyncObject::YSyncObject() : handle(nullptr) {}

// The exported signature takes the name by reference.
YSyncObject::YSyncObject(const YString& displayName)  // NOLINT(modernize-pass-by-value)
    : handle(nullptr), name(displayName) {}

YSyncObject::YSyncObject(const YSyncObject& other)
    : handle(duplicateOf(other.handle)), name(other.name) {}

YSyncObject& YSyncObject::operator=(const YSyncObject& other) {
    if (this == &other) {
        return *this;
    }
    // Duplicate before closing, so that assigning an object to a copy of itself (two
    // handles of one kernel object) never leaves the kernel object without a handle.
    const HANDLE copy = duplicateOf(other.handle);
    name = other.name;
    if (handle != nullptr) {
        CloseHandle(handle);
    }
    handle = copy;
    return *this;
}

YSyncObject::~YSyncObject() {
    if (handle != nullptr) {
        CloseHandle(handle);
    }
}

DAVRO_HOT int YSyncObject::lock(unsigned int timeout) {
    // An uncontended wait ends in the attempt, without a kernel wait.
    DWORD result = 0;
    if (davro::platform::tryWait(handle, result)) {
        return static_cast<int>(result);
    }
    return lockSlowly(*this, timeout);
}

__attribute__((noinline)) int YSyncObject::lockSlowly(const YSyncObject& object,
                                                      unsigned int timeout) {
    if (timeout != INFINITE) {
        return static_cast<int>(WaitForSingleObject(object.handle, timeout));
    }
    // The watchdog: never one endless wait. Only WAIT_TIMEOUT goes round again, so a
    // failed wait (handle 0, closed handle) returns -1 at once and writes nothing.
    const DWORD sliceMs = davro::detail::watchdogSliceTimeoutMs();
    for (int slice = 0;; ++slice) {
        const DWORD result = WaitForSingleObject(object.handle, sliceMs);
        if (result != WAIT_TIMEOUT) {
            return static_cast<int>(result);
        }
        reportDeadlock(davro::detail::watchdogMessage(object.name, slice));
    }
}

int YSyncObject::unlock(long /*unused*/, long* /*unused*/) { return unlock(); }

int YSyncObject::signal(long count, long* previous) { return unlock(count, previous); }

int YSyncObject::wait(unsigned int timeout) { return lock(timeout); }

int YSyncObject::signal() { return unlock(); }

int YSyncObject::dispatchWait(unsigned int timeout) { return dispatchLock(timeout); }

const YString& YSyncObject::getName() const { return name; }

void YSyncObject::setName(const YString& displayName) { name = displayName; }

int YSyncObject::lockMultiple(YSyncObject* const* objects, int count, int waitAll,
                              unsigned int timeout) {
    // new[] with a negative count throws std::bad_array_new_length, a std::bad_alloc.
    const std::unique_ptr<HANDLE[]> handles(new HANDLE[count]);
    DWORD gathered = 0;
    for (int i = 0; i < count; ++i) {
        // Checked before any wait: an object without a kernel object fails the whole call
        // and nothing in the list is acquired.
        if (objects[i] == nullptr || objects[i]->handle == nullptr) {
            return static_cast<int>(WAIT_FAILED);
        }
        handles[gathered++] = objects[i]->handle;
    }
    if (gathered == 0) {
        return 0;
    }
    return static_cast<int>(WaitForMultipleObjects(gathered, handles.get(), waitAll, timeout));
}

int YSyncObject::waitMultiple(YSyncObject* const* objects, int count, int waitAll,
                              unsigned int timeout) {
    return lockMultiple(objects, count, waitAll, timeout);
}
