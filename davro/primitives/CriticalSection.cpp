#include <davro/primitives/CriticalSection.h>

using namespace davro::win32;

YCriticalSection::YCriticalSection() = default;

YCriticalSection::YCriticalSection(const YString& sectionName) : YMutex(sectionName) {}

YCriticalSection::YCriticalSection(const YCriticalSection& other) = default;

YCriticalSection& YCriticalSection::operator=(const YCriticalSection& other) = default;

YCriticalSection::~YCriticalSection() = default;

int YCriticalSection::lock(unsigned int /*timeout*/) {
    enterSection();
    return 0;
}

int YCriticalSection::unlock() {
    leaveSection();
    return 1;
}

void YCriticalSection::enterSection() {
    // Qualified: the virtual lock() would come back here.
    YSyncObject::lock(INFINITE);
}

void YCriticalSection::leaveSection() {
    // Qualified: the virtual unlock() would come back here.
    YMutex::unlock();
}
