// Helpers of the Win32-subset conformance suite. Only Win32 names and the standard library
// are used.
#pragma once

#include <davro/platform/Win32.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace davro::test {

using namespace davro::win32;

// Bound for waits that are expected to succeed.
inline constexpr DWORD kBoundMs = 5000;
// Sentinels for output parameters that must stay untouched.
inline constexpr LONG kSentinel = 0x5EED;
inline const HANDLE kSentinelHandle = reinterpret_cast<HANDLE>(std::uintptr_t{0x5EED0});

// Expects `call` to return `result` and to set the last error to `error` (read at once, before
// anything else can change it).
#define DAVRO_EXPECT_ERROR(result, error, call)                    \
    do {                                                           \
        SetLastError(0);                                           \
        const auto davroResult = (call);                           \
        const DWORD davroError = GetLastError();                   \
        EXPECT_EQ(result, davroResult) << #call;                   \
        EXPECT_EQ(static_cast<DWORD>(error), davroError) << #call; \
    } while (false)

// Starts routine(argument) on a thread of _beginthreadex; its handle, or null.
inline HANDLE beginThread(unsigned (*routine)(void*), void* argument, unsigned flags = 0) {
    return reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
        _beginthreadex(nullptr, 0, routine, argument, flags, nullptr));
}

// Runs `body` on a new std::thread and returns its result once it has ended.
inline DWORD onOtherThread(const std::function<DWORD()>& body) {
    DWORD result = 0xDEADBEEF;
    std::thread([&] { result = body(); }).join();
    return result;
}

// Polls a mutex from another thread, giving it back if that thread got it: WAIT_OBJECT_0
// when it is free, WAIT_TIMEOUT when someone else owns it, WAIT_ABANDONED once abandoned.
inline DWORD pollMutexElsewhere(HANDLE mutex) {
    return onOtherThread([&] {
        const DWORD r = WaitForSingleObject(mutex, 0);
        if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
            ReleaseMutex(mutex);
        }
        return r;
    });
}

// Owns the handles it creates and closes them at the end of the scope.
struct Handles {
    std::vector<HANDLE> list;
    Handles() = default;
    Handles(const Handles&) = delete;
    Handles& operator=(const Handles&) = delete;
    ~Handles() {
        for (HANDLE h : list) {
            CloseHandle(h);
        }
    }
    HANDLE add(HANDLE h) {
        list.push_back(h);
        return h;
    }
    HANDLE event(BOOL manual = FALSE, BOOL set = FALSE) {
        return add(CreateEventW(nullptr, manual, set, nullptr));
    }
    HANDLE mutex(BOOL owned = FALSE, const wchar_t* name = nullptr) {
        return add(CreateMutexW(nullptr, owned, name));
    }
    HANDLE semaphore(LONG initial, LONG maximum) {
        return add(CreateSemaphoreW(nullptr, initial, maximum, nullptr));
    }
    HANDLE duplicate(HANDLE h) {
        HANDLE copy = nullptr;
        DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        return add(copy);
    }
};

// The id of the process that runs the test. A child process started by ChildProcess takes
// its parent's, so that both make the same names with uniqueName().
inline DWORD& testProcessId() {
    static DWORD id = GetCurrentProcessId();
    return id;
}

// A name that no other test run uses at the same time.
inline std::wstring uniqueName(const wchar_t* base) {
    return std::wstring(L"davro-test-") + base + L"-" + std::to_wstring(testProcessId());
}

// An ASCII name for the narrow calls.
inline std::string narrow(const std::wstring& ascii) {
    std::string text;
    for (const wchar_t c : ascii) {
        text += static_cast<char>(c);
    }
    return text;
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

// Calendar fields with the day of week left 0.
inline SYSTEMTIME fields(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(y);
    t.wMonth = static_cast<WORD>(mo);
    t.wDay = static_cast<WORD>(d);
    t.wHour = static_cast<WORD>(h);
    t.wMinute = static_cast<WORD>(mi);
    t.wSecond = static_cast<WORD>(s);
    t.wMilliseconds = static_cast<WORD>(ms);
    return t;
}

}  // namespace davro::test
