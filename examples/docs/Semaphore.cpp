// A YSemaphore lets at most two of four workers use a resource at once.
#include <davro/primitives/Semaphore.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

using namespace davro::win32;  // INFINITE

int main() {
    YSemaphore slots(2, 2, L"slots");  // two units free, at most two
    std::atomic<int> inside{0};
    std::atomic<int> most{0};

    auto worker = [&] {
        for (int i = 0; i < 1000; ++i) {
            slots.lock(INFINITE);  // take a unit
            const int now = ++inside;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            --inside;
            slots.unlock();  // give it back
        }
    };
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        workers.emplace_back(worker);
    }
    for (std::thread& thread : workers) {
        thread.join();
    }

    const int count = slots.getCount();  // 2: every unit is back
    slots.lock(INFINITE);
    slots.lock(INFINITE);
    int previous = -1;
    slots.unlock(2, &previous);                    // previous: 0
    const int tooMany = slots.unlock(1, nullptr);  // 0: would pass the maximum

    std::printf("at most %d inside, count %d, previous %d, over the maximum %d\n", most.load(),
                count, previous, tooMany);
    return most <= 2 && count == 2 && previous == 0 && tooMany == 0 ? 0 : 1;
}
