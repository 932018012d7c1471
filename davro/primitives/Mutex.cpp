// YMutex and YNamedMutex: kernel mutexes behind the waitable-object interface.
#include <davro/core/detail/Hot.h>
#include <davro/primitives/Mutex.h>

using namespace davro::win32;

// Default security (the handle is not inherited). The base's name is a display name only:
// YMutex never names its kernel mutex.
YMutex::YMutex() { handle = CreateMutexW(nullptr, FALSE, nullptr); }

YMutex::YMutex(int initialOwner) { handle = CreateMutexW(nullptr, initialOwner, nullptr); }

YMutex::YMutex(const YString& displayName) : YSyncObject(displayName) {
    handle = CreateMutexW(nullptr, FALSE, nullptr);
}

YMutex::YMutex(int initialOwner, const YString& displayName) : YSyncObject(displayName) {
    handle = CreateMutexW(nullptr, initialOwner, nullptr);
}

// Copies go through YSyncObject's, which duplicate the handle.
YMutex::YMutex(const YMutex& other) = default;
YMutex& YMutex::operator=(const YMutex& other) = default;
YMutex::~YMutex() = default;

DAVRO_HOT int YMutex::unlock() { return ReleaseMutex(handle); }

// The name reaches the kernel unchanged. When the mutex already exists the kernel opens it
// and ignores `initialOwner`; whether it was created or opened is not kept.
YNamedMutex::YNamedMutex(const YString& displayName) : YSyncObject(displayName) {
    handle = CreateMutexW(nullptr, FALSE, static_cast<const wchar_t*>(displayName));
}

YNamedMutex::YNamedMutex(int initialOwner, const YString& displayName) : YSyncObject(displayName) {
    handle = CreateMutexW(nullptr, initialOwner, static_cast<const wchar_t*>(displayName));
}

YNamedMutex::YNamedMutex(const YNamedMutex& other) = default;
YNamedMutex& YNamedMutex::operator=(const YNamedMutex& other) = default;
YNamedMutex::~YNamedMutex() = default;

int YNamedMutex::unlock() { return ReleaseMutex(handle); }
