// Helpers shared by the test suites: a probe that runs a blocking call on its own thread,
// and a private temporary directory.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace davro::test {

using namespace std::chrono_literals;

// Bound for any wait in a test that is expected to succeed; generous for a loaded machine.
inline constexpr unsigned kWaitMs = 5000;

// Runs `call` on a thread of its own and lets the test ask whether it has returned.
//
// stillBlockedAfter(d) is the one-sided "still blocked" probe: it may pass wrongly on a
// slow machine but never fails wrongly. finishesWithin(d) waits for the call to return.
// The destructor joins the thread, so the call must be bounded (never INFINITE).
class WaitProbe {
public:
    explicit WaitProbe(std::function<int()> call);
    ~WaitProbe();
    WaitProbe(const WaitProbe&) = delete;
    WaitProbe& operator=(const WaitProbe&) = delete;

    bool stillBlockedAfter(std::chrono::milliseconds delay);
    bool finishesWithin(std::chrono::milliseconds limit);
    int result();  // waits for the call to return

private:
    std::packaged_task<int()> task_;
    std::future<int> future_;
    std::thread thread_;
};

// A fresh directory under the system's temporary directory, removed with its contents
// when the object ends.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace davro::test
