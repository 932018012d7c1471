// A first program: two threads add to one counter under a YCriticalSection, and the main
// thread waits, with a time limit, for the event that the last of them sets.
#include <davro/primitives/CriticalSection.h>
#include <davro/primitives/Event.h>
#include <davro/primitives/Guard.h>

#include <cstdio>
#include <thread>

int main() {
    YCriticalSection section(L"counter");  // the name shows in deadlock reports only
    YManualEventObject done(L"done");
    int counter = 0;
    int finished = 0;

    auto work = [&] {
        for (int i = 0; i < 10000; ++i) {
            YGuard hold(section);  // enters the section; leaves it at the end of the scope
            ++counter;
        }
        YGuard hold(section);
        if (++finished == 2) {
            done.signal();
        }
    };
    std::thread first(work);
    std::thread second(work);

    const int result = done.wait(30000);  // 0: set; 258: thirty seconds passed first
    first.join();
    second.join();
    std::printf("wait result %d, counter %d\n", result, counter);
    return result == 0 && counter == 20000 ? 0 : 1;
}
