// The deadlock watchdog at work: a thread waits without time limit for a mutex that main
// holds, and every ten minutes of that wait write a line to c:/deadlock.out.
//
// Run it with DAVRO_TIME_SCALE=60000 (ten minutes pass in 10 ms) and, to keep the log out
// of your home directory, DAVRO_DRIVE_C=<a directory>.
#include <davro/platform/Environment.h>
#include <davro/primitives/Mutex.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

using namespace davro::win32;

namespace {

std::string firstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

}  // namespace

int main() {
    if (davro::platform::timeScale() < 1000) {
        std::puts("Run with DAVRO_TIME_SCALE=60000 to see the watchdog within a second.");
        return 0;
    }
    // Where "c:/deadlock.out" lives on this machine.
    const std::string log = davro::platform::mapDrivePath("c:/deadlock.out");
    std::remove(log.c_str());

    YMutex mutex(L"example.mutex");
    mutex.lock(INFINITE);
    int result = -1;
    std::thread waiter([&] {
        result = mutex.lock(INFINITE);  // ten-minute slices, a log line for each one
        mutex.unlock();
    });
    // Hold the mutex until the watchdog has written its first line (five seconds at most).
    for (int i = 0; i < 500 && firstLine(log).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    mutex.unlock();
    waiter.join();

    const std::string line = firstLine(log);
    std::printf("lock returned %d; %s holds:\n%s\n", result, log.c_str(), line.c_str());
    return result == 0 && line.rfind("YSyncObject: example.mutex Count: ", 0) == 0 ? 0 : 1;
}
