// A queue between a producer and a consumer: a YCondition tied to the YCriticalSection
// that guards the queue.
#include <davro/primitives/Condition.h>
#include <davro/primitives/CriticalSection.h>
#include <davro/primitives/Guard.h>

#include <cstdio>
#include <deque>
#include <thread>

using namespace davro::win32;  // INFINITE

int main() {
    YCriticalSection lock(L"queue");
    YCondition changed(lock);  // its inner objects are named "queue.event"...
    std::deque<int> queue;
    bool closed = false;
    long sum = 0;

    std::thread consumer([&] {
        YGuard hold(lock);
        for (;;) {
            while (queue.empty() && !closed) {
                changed.wait(INFINITE);  // releases the lock while it waits
            }
            if (queue.empty()) {
                break;  // closed and drained
            }
            sum += queue.front();
            queue.pop_front();
        }
    });
    for (int i = 1; i <= 1000; ++i) {
        YGuard hold(lock);
        queue.push_back(i);
        changed.signal();
    }
    {
        YGuard hold(lock);
        closed = true;
        changed.signalAll();
    }
    consumer.join();

    std::printf("sum %ld\n", sum);
    return sum == 500500 ? 0 : 1;
}
