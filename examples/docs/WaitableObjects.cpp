// Waits on one object with a time limit, and on several objects at once.
#include <davro/primitives/Event.h>
#include <davro/primitives/Semaphore.h>

#include <cstdio>

int main() {
    YEventObject ready(L"ready");      // auto-reset, not set
    YSemaphore slots(0, 4, L"slots");  // count 0, at most 4

    // A finite wait returns the kernel's result: 258 (time-out) after 10 ms here.
    const int timedOut = ready.lock(10);

    // Wait-any: the result is 0 + the position of the object taken.
    slots.unlock();  // count 1
    YSyncObject* objects[] = {&ready, &slots};
    const int any = YSyncObject::waitMultiple(objects, 2, 0, 1000);  // 1: the semaphore

    // Wait-all: nothing is taken until every object can be taken at once.
    ready.signal();
    slots.unlock();
    const int all = YSyncObject::waitMultiple(objects, 2, 1, 1000);  // 0

    std::printf("timed out: %d, any: %d, all: %d\n", timedOut, any, all);
    return timedOut == 258 && any == 1 && all == 0 ? 0 : 1;
}
