// YEventObject and YManualEventObject: kernel events behind the waitable-object interface.
#include <davro/core/detail/Hot.h>
#include <davro/primitives/Event.h>

using namespace davro::win32;

// Events are never named in the kernel: the name is a display name only. Note the order:
// the constructors take (initial state, manual reset), CreateEventW takes the reverse.
YEventObject::YEventObject() { handle = CreateEventW(nullptr, FALSE, FALSE, nullptr); }

YEventObject::YEventObject(const YString& displayName) : YSyncObject(displayName) {
    handle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

YEventObject::YEventObject(int initialState, int manualReset) {
    handle = CreateEventW(nullptr, manualReset, initialState, nullptr);
}

YEventObject::YEventObject(int initialState, int manualReset, const YString& displayName)
    : YSyncObject(displayName) {
    handle = CreateEventW(nullptr, manualReset, initialState, nullptr);
}

YEventObject::YEventObject(const YEventObject& other) = default;
YEventObject& YEventObject::operator=(const YEventObject& other) = default;
YEventObject::~YEventObject() = default;

DAVRO_HOT int YEventObject::unlock() {
    SetEvent(handle);
    return 1;
}

int YEventObject::resetEvent() {
    ResetEvent(handle);
    return 1;
}

YManualEventObject::YManualEventObject() : YEventObject(0, 1) {}

YManualEventObject::YManualEventObject(int initialState) : YEventObject(initialState, 1) {}

YManualEventObject::YManualEventObject(const YString& displayName)
    : YEventObject(0, 1, displayName) {}

YManualEventObject::YManualEventObject(int initialState, const YString& displayName)
    : YEventObject(initialState, 1, displayName) {}

YManualEventObject::YManualEventObject(const YManualEventObject& other) = default;
YManualEventObject& YManualEventObject::operator=(const YManualEventObject& other) = default;
YManualEventObject::~YManualEventObject() = default;
