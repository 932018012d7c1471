#include <davro/core/SyncObject.h>
#include <davro/primitives/Guard.h>
#include <davro/primitives/ReadWriteSection.h>

using namespace davro::win32;

// The constructors over references do not test for null: a reference names an object.

YGuard::YGuard(YSyncObject& target) : object(&target) { object->lock(INFINITE); }

YGuard::YGuard(YSyncObject* target) : object(target) {
    if (object != nullptr) {
        object->lock(INFINITE);
    }
}

YGuard::~YGuard() {
    if (object != nullptr) {
        object->unlock();
    }
}

int YGuard::lock() { return object != nullptr ? object->lock(INFINITE) : -1; }

int YGuard::unlock() { return object != nullptr ? object->unlock() : 0; }

YUnGuard::YUnGuard(YGuard& guard) : YUnGuard(guard.object) {}

YUnGuard::YUnGuard(YSyncObject& target) : object(&target) { object->unlock(); }

YUnGuard::YUnGuard(YGuard* guard) : YUnGuard(guard != nullptr ? guard->object : nullptr) {}

YUnGuard::YUnGuard(YSyncObject* target) : object(target) {
    if (object != nullptr) {
        object->unlock();
    }
}

YUnGuard::~YUnGuard() {
    if (object != nullptr) {
        object->lock(INFINITE);
    }
}

int YUnGuard::lock() { return object != nullptr ? object->lock(INFINITE) : -1; }

int YUnGuard::unlock() { return object != nullptr ? object->unlock() : 0; }

YReadGuard::YReadGuard(YReadWriteSection& target) : section(&target) {
    section->enterSectionRead();
}

YReadGuard::YReadGuard(YReadWriteSection* target) : section(target) {
    if (section != nullptr) {
        section->enterSectionRead();
    }
}

YReadGuard::~YReadGuard() {
    if (section != nullptr) {
        section->leaveSectionRead();
    }
}

int YReadGuard::lock() {
    if (section == nullptr) {
        return -1;
    }
    section->enterSectionRead();
    return 0;
}

int YReadGuard::unlock() {
    if (section == nullptr) {
        return 0;
    }
    section->leaveSectionRead();
    return 1;
}

YReadUnGuard::YReadUnGuard(YReadGuard& guard) : YReadUnGuard(guard.section) {}

YReadUnGuard::YReadUnGuard(YReadWriteSection& target) : section(&target) {
    section->leaveSectionRead();
}

YReadUnGuard::YReadUnGuard(YReadGuard* guard)
    : YReadUnGuard(guard != nullptr ? guard->section : nullptr) {}

YReadUnGuard::YReadUnGuard(YReadWriteSection* target) : section(target) {
    if (section != nullptr) {
        section->leaveSectionRead();
    }
}

YReadUnGuard::~YReadUnGuard() {
    if (section != nullptr) {
        section->enterSectionRead();
    }
}

int YReadUnGuard::lock() {
    if (section == nullptr) {
        return -1;
    }
    section->enterSectionRead();
    return 0;
}

int YReadUnGuard::unlock() {
    if (section == nullptr) {
        return 0;
    }
    section->leaveSectionRead();
    return 1;
}
