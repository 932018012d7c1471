// A Windows C++ program as it is ported: it defines _WIN32 itself (and TRUE, as some Linux
// headers do) and includes <windows.h>, which the port header provides (davro::port). It
// calls the Win32 names unqualified in the global namespace and runs two patterns:
//   - workers started with CreateThread add to a shared total under a critical section
//     initialised with a spin count, and the main thread waits for all of their handles;
//   - a semaphore of 2 units admits at most two workers into a region at a time.
// Exit code 0 when everything held; otherwise each failure is printed.
#define _WIN32 1
#define TRUE 1
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Check.h"

namespace {

constexpr DWORD kWorkers = 4;
constexpr int kRounds = 20000;

CRITICAL_SECTION gSection;
long gTotal = 0;

DWORD WINAPI addUnderTheSection(LPVOID) {
    for (int i = 0; i < kRounds; ++i) {
        EnterCriticalSection(&gSection);
        ++gTotal;
        LeaveCriticalSection(&gSection);
    }
    return 0;
}

void runSectionPattern() {
    CHECK(InitializeCriticalSectionAndSpinCount(&gSection, 0x400));
    HANDLE threads[kWorkers] = {};
    for (HANDLE& t : threads) {
        t = CreateThread(nullptr, 0, addUnderTheSection, nullptr, 0, nullptr);
        CHECK(t != nullptr);
    }
    CHECK(WaitForMultipleObjects(kWorkers, threads, TRUE, 20000) == WAIT_OBJECT_0);
    for (HANDLE t : threads) {
        CloseHandle(t);
    }
    CHECK(gTotal == static_cast<long>(kWorkers) * kRounds);
    DeleteCriticalSection(&gSection);
}

HANDLE gSemaphore = nullptr;
std::atomic<int> gInside{0};
std::atomic<int> gMostInside{0};

DWORD WINAPI enterTheRegion(LPVOID) {
    for (int i = 0; i < 200; ++i) {
        if (WaitForSingleObject(gSemaphore, 5000) != WAIT_OBJECT_0) {
            return 1;
        }
        const int now = ++gInside;
        int most = gMostInside.load();
        while (now > most && !gMostInside.compare_exchange_weak(most, now)) {
        }
        SwitchToThread();
        --gInside;
        if (!ReleaseSemaphore(gSemaphore, 1, nullptr)) {
            return 2;
        }
    }
    return 0;
}

void runSemaphorePattern() {
    gSemaphore = CreateSemaphoreW(nullptr, 2, 2, nullptr);
    CHECK(gSemaphore != nullptr);
    HANDLE threads[kWorkers] = {};
    for (HANDLE& t : threads) {
        t = CreateThread(nullptr, 0, enterTheRegion, nullptr, 0, nullptr);
    }
    CHECK(WaitForMultipleObjects(kWorkers, threads, TRUE, 20000) == WAIT_OBJECT_0);
    for (HANDLE t : threads) {
        DWORD code = 99;
        CHECK(GetExitCodeThread(t, &code) && code == 0);
        CloseHandle(t);
    }
    CHECK(gMostInside.load() >= 1 && gMostInside.load() <= 2);
    CloseHandle(gSemaphore);
}

void checkInterface() {
    LARGE_INTEGER large{};
    large.QuadPart = 0x0000000500000006LL;
    CHECK(large.LowPart == 6 && large.HighPart == 5 && large.u.LowPart == 6);
    CHECK(TRUE == 1 && MAX_PATH == 260 && INFINITE == 0xFFFFFFFF);
    CHECK(FAILED(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)) && SUCCEEDED(S_FALSE));
    CHECK(sizeof(TCHAR) == 1 && sizeof(_TCHAR) == 1);  // neither UNICODE nor _UNICODE
    const TCHAR* text = TEXT("narrow");
    CHECK(_tcslen(text) == 6);
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    CHECK(GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0);
    HMODULE kernel = GetModuleHandleA("KERNEL32");
    CHECK(kernel != nullptr && GetProcAddress(kernel, "WaitForSingleObject") != nullptr);
    CHECK(GetProcAddress(kernel, "NoSuchFunction") == nullptr &&
          GetLastError() == ERROR_PROC_NOT_FOUND);
    // Names without A or W are the A calls: UNICODE is not defined.
    SYSTEMTIME day{};
    day.wYear = 2026;
    day.wMonth = 12;
    day.wDay = 7;
    char date[32] = {};
    CHECK(GetDateFormat(LOCALE_INVARIANT, 0, &day, "yyyy-MM-dd", date, sizeof date) == 11 &&
          std::strcmp(date, "2026-12-07") == 0);
    MSG message{};
    PeekMessage(&message, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
    CHECK(PostThreadMessage(GetCurrentThreadId(), WM_APP, 3, 4));
    CHECK(PeekMessage(&message, nullptr, 0, 0, PM_REMOVE) && message.message == WM_APP &&
          message.wParam == 3 && message.lParam == 4);
    int order = 0;
    __try {
        order = 1;
    } __finally {
        order = order * 10 + 2;
    }
    CHECK(order == 12);
    __try {
        order = order * 10 + 3;
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        order = 0;  // no exception: the handler never runs
    }
    CHECK(order == 123);
    bool rethrown = false;
    try {
        __try {
            throw std::runtime_error("through");
        } __finally {
        }
    } catch (const std::runtime_error&) {
        rethrown = true;
    }
    CHECK(rethrown);
}

}  // namespace

int _tmain(int argc, _TCHAR* argv[]) {
    CHECK(argc >= 1 && argv[0] != nullptr);
    checkInterface();
    runSectionPattern();
    runSemaphorePattern();
    if (failures == 0) {
        _tprintf(_T("ported C++ program: all checks held\n"));
    }
    return failures == 0 ? 0 : 1;
}
