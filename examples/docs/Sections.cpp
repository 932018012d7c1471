// Sections and guards: a YCriticalSection entered again by its owner and given up for an
// inner scope, and a YReadWriteSection shared by readers while a writer updates it.
#include <davro/primitives/CriticalSection.h>
#include <davro/primitives/Guard.h>
#include <davro/primitives/ReadWriteSection.h>

#include <atomic>
#include <cstdio>
#include <thread>

int main() {
    YCriticalSection section(L"example.section");
    int value = 0;
    {
        YGuard hold(section);
        ++value;
        {
            YGuard again(section);  // the owner enters again
            ++value;
        }
        {
            YUnGuard release(hold);  // given up for this scope: another thread gets in
            std::thread([&] {
                YGuard other(section);
                ++value;
            }).join();
        }  // taken back here
    }

    // Readers check that the writer never leaves the pair half updated.
    YReadWriteSection pairLock(L"example.pair");
    int first = 0;
    int second = 0;
    std::atomic<int> torn{0};
    std::thread writer([&] {
        for (int i = 1; i <= 10000; ++i) {
            YGuard write(pairLock);  // a plain guard takes the write side
            first = i;
            second = i;
        }
    });
    auto reader = [&] {
        for (int i = 0; i < 10000; ++i) {
            YReadGuard read(pairLock);  // readers share the section
            if (first != second) {
                ++torn;
            }
        }
    };
    std::thread reader1(reader);
    std::thread reader2(reader);
    writer.join();
    reader1.join();
    reader2.join();

    std::printf("value %d, torn reads %d, pair %d/%d\n", value, torn.load(), first, second);
    return value == 3 && torn == 0 && first == 10000 ? 0 : 1;
}
