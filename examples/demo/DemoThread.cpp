#include "DemoThread.h"

#include <cstdio>
#include <cstdlib>

namespace demo {

bool endThreads(Report& report, const std::vector<YThread*>& threads, unsigned timeoutMs) {
    // waitAll 1: the result is 0 once every thread has ended (threads already past their
    // run() are left out of the wait, and an empty wait returns 0 at once).
    const int result =
        YThread::waitThreads(threads.data(), static_cast<int>(threads.size()), 1, timeoutMs);
    if (result == 0) {
        return true;
    }
    report.check(false,
                 "waitThreads(%zu threads, %u ms) returned %d; exiting, as the threads "
                 "still use the stage's objects",
                 threads.size(), timeoutMs, result);
    report.endProgress();
    std::fflush(stdout);
    std::_Exit(1);
}

}  // namespace demo
