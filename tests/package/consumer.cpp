// A program outside the project that uses the installed library: its headers, its exported
// classes and statics.
#include <davro/datetime/DateTime.h>
#include <davro/primitives/Mutex.h>
#include <davro/string/String.h>

#include <cstdio>

int main() {
    YMutex mutex;
    const int locked = mutex.lock(0);
    const int unlocked = mutex.unlock();
    YString epoch = YDateTime::UnixEpochDateTime.getShortGMTString();
    YGenericString text(epoch);
    std::printf("davro consumer: lock %d, unlock %d, Unix epoch %s\n", locked, unlocked,
                static_cast<char*>(text));
    return locked == 0 && unlocked != 0 && epoch.length() > 0 ? 0 : 1;
}
