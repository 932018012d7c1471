// YMutex: taken again by its owner, abandoned by a thread that ends owning it; YNamedMutex:
// one mutex for every object of the same name.
#include <davro/platform/Win32.h>
#include <davro/primitives/Mutex.h>

#include <cstdio>
#include <thread>

using namespace davro::win32;

int main() {
    // The owner may lock again; every lock needs its unlock.
    YMutex mutex(L"example.mutex");
    const int first = mutex.lock(INFINITE);  // 0
    const int again = mutex.lock(0);         // 0: the owner's poll succeeds
    mutex.unlock();
    mutex.unlock();

    // A thread that ends while it owns the mutex abandons it; the next owner is told so.
    std::thread([&] { mutex.lock(INFINITE); }).join();
    const int abandoned = mutex.lock(1000);  // 0x80: acquired, but abandoned
    mutex.unlock();

    // Two objects of one name are one kernel mutex (in every process of the user).
    YString name(L"davro-example-");
    name += static_cast<int>(GetCurrentProcessId());
    YNamedMutex one(name);
    YNamedMutex two(name);
    one.lock(INFINITE);
    int other = -1;
    std::thread([&] { other = two.lock(0); }).join();  // 258: held by the main thread
    one.unlock();

    std::printf("first %d, again %d, abandoned 0x%x, other thread %d\n", first, again,
                static_cast<unsigned>(abandoned), other);
    return first == 0 && again == 0 && abandoned == 0x80 && other == 258 ? 0 : 1;
}
