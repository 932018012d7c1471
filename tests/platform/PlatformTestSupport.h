// Helpers of the Win32-subset conformance suite. Only Win32 names and the standard library
// are used, except in runInChild, which forks on Linux.
#pragma once

#include <davro/platform/Win32.h>

#include <functional>
#include <string>
#include <thread>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace davro::test {

using namespace davro::win32;

// Bound for waits that are expected to succeed.
inline constexpr DWORD kBoundMs = 5000;
// Sentinels for output parameters that must stay untouched.
inline constexpr LONG kSentinel = 0x5EED;
inline const HANDLE kSentinelHandle = reinterpret_cast<HANDLE>(std::uintptr_t{0x5EED0});

// Runs `body` on a new std::thread and returns its result once it has ended.
inline DWORD onOtherThread(const std::function<DWORD()>& body) {
    DWORD result = 0xDEADBEEF;
    std::thread([&] { result = body(); }).join();
    return result;
}

// A name that no other test run uses at the same time.
inline std::wstring uniqueName(const wchar_t* base) {
    return std::wstring(L"davro-test-") + base + L"-" + std::to_wstring(GetCurrentProcessId());
}

// The semaphore's count, read by taking every unit with polls and giving them back.
inline LONG semaphoreCount(HANDLE semaphore) {
    LONG taken = 0;
    while (WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) {
        ++taken;
    }
    if (taken > 0) {
        ReleaseSemaphore(semaphore, taken, nullptr);
    }
    return taken;
}

// Whether an event is set, read without changing it (an auto-reset event is set again).
inline bool eventIsSet(HANDLE event, bool autoReset) {
    if (WaitForSingleObject(event, 0) != WAIT_OBJECT_0) {
        return false;
    }
    if (autoReset) {
        SetEvent(event);
    }
    return true;
}

#ifndef _WIN32
// Runs `body` in a forked child process and returns its exit code (or 128 + signal).
// `onStarted`, if given, runs in the parent with the child's pid before it is reaped.
inline int runInChild(const std::function<int()>& body,
                      const std::function<void(pid_t)>& onStarted = nullptr) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    if (onStarted) {
        onStarted(pid);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif

}  // namespace davro::test
