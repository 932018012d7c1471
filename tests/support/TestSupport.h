// Helpers shared by the test suites: the wait results, a probe that runs a blocking call on
// its own thread, an ordering point after threads have blocked, a private temporary
// directory, drive C and the time scale, the local-time offset, checks for Wine and locales.
#pragma once

#include <davro/platform/Win32.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace davro::test {

using namespace std::chrono_literals;

// Bound for any wait in a test that is expected to succeed; generous for a loaded machine.
inline constexpr unsigned kWaitMs = 5000;

// The wait results of the kernel waits and of the library's lock(), as tests compare them.
inline constexpr int kSignalled = 0;
inline constexpr int kAbandoned = 0x80;
inline constexpr int kTimedOut = 258;
inline constexpr int kFailed = -1;

// Runs `call` on a thread of its own and lets the test ask whether it has returned.
//
// stillBlockedAfter(d) is the one-sided "still blocked" probe: it may pass wrongly on a
// slow machine but never fails wrongly. finishesWithin(d) waits for the call to return.
// The destructor joins the thread, so the call must end: bounded, or INFINITE only where
// the test signals its objects on every path.
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

// Whether `count` threads are blocked on the object of `handle` (a HANDLE) within kWaitMs,
// asked of the layer on Linux (a bounded poll of its count of queued waiters).
//
// On Windows nothing here can see a thread blocked on an object, so this pauses 250 ms and
// answers true: the system has no query of an object's waiters, and the two ways to see a
// thread in a wait are blind under Wine, where the Windows build is tested (wait chain
// traversal answers ERROR_NOT_SUPPORTED, and the thread states of NtQuerySystemInformation
// read 0, not waiting, for every thread, blocked or running). The pause is long beside the
// few microseconds a thread needs from its last step before the wait into it, but a heavily
// loaded machine can still make it too short, and a test that needs the order may then fail.
bool awaitWaiters(void* handle, unsigned count);

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

// Points drive C (DAVRO_DRIVE_C) at `path` for the rest of the process.
void setDriveC(const std::string& path);

// How much faster than real time the library's waits run: DAVRO_TIME_SCALE on Linux; 1 on
// Windows, whose kernel takes its time-outs as they are.
unsigned waitScale();

// `ms` of real time as a time-out for a library wait, whatever the time scale.
inline unsigned scaled(unsigned ms) { return ms * waitScale(); }

// The whole file as bytes; empty when it cannot be read.
std::string readFile(const std::string& path);

// The offset of local time in force now (summer time included), in seconds east of UTC,
// found without the library: on Linux from the C library and TZ; on Windows from the
// system's time-zone settings, as Windows' C library does not read a zone name from TZ.
long long localOffsetNowSeconds();

// Whether this Windows build runs under Wine rather than on Windows; always false on Linux.
// A few checks of documented Win32 behaviour are skipped under Wine, which departs from it.
bool runningUnderWine();

// A message-only window of the registered class `className`, made by the calling thread;
// null when creation fails. Under Wine, whose desktop process ends a few seconds after the
// last window of the run and is started again by the next one, a window asked for while one
// desktop process goes and the next comes can be refused: creation is then tried again for
// up to a minute.
davro::win32::HWND createMessageWindow(const wchar_t* className, void* param = nullptr);

// Whether the C++ runtime can open the named locale (e.g. "de_DE.UTF-8"): tests that pin
// texts to a locale skip where it has not been generated.
bool localeInstalled(const char* name);

}  // namespace davro::test

// Skips the calling test, with the reason, when the named locale is not installed.
#define DAVRO_REQUIRE_LOCALE(name)           \
    if (!davro::test::localeInstalled(name)) \
    GTEST_SKIP() << (name) << " is not installed here (generate it with locale-gen)"
