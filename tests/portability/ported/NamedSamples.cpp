// A ported C++ program in the shape of Windows' documented samples of named objects and of
// waits on several objects, through the port header as <windows.h>, with UNICODE defined:
//   - a master writes a buffer and sets a named manual-reset event ("WriteEvent"); readers
//     open the event by its name and wait on it;
//   - a named mutex, created by one part of the program and opened by name by another
//     (OpenMutex), is one object under both handles;
//   - a wait on two events reports the one that was set, the lowest index first.
// The names carry the process id, so that parallel runs never meet. Exit code 0 when
// everything held; otherwise each failure is printed.
#define _WIN32 1
#define UNICODE
#define _UNICODE
#include <windows.h>

#include <cstdio>

#include "Check.h"

namespace {

// The name `base` made unique to this process.
void nameOf(TCHAR* name, size_t size, const TCHAR* base) {
    swprintf(name, size, TEXT("%ls-%lu"), base, static_cast<unsigned long>(GetCurrentProcessId()));
}

constexpr DWORD kReaders = 4;
TCHAR gWriteEventName[64];
int gBuffer[16];

DWORD WINAPI reader(LPVOID) {
    HANDLE written = OpenEvent(SYNCHRONIZE, FALSE, gWriteEventName);
    if (written == nullptr) {
        return 1000;
    }
    const DWORD result = WaitForSingleObject(written, 5000);
    CloseHandle(written);
    if (result != WAIT_OBJECT_0) {
        return 1001;
    }
    DWORD sum = 0;
    for (int value : gBuffer) {
        sum += static_cast<DWORD>(value);
    }
    return sum;  // 120
}

void runWriteEvent() {
    nameOf(gWriteEventName, ARRAYSIZE(gWriteEventName), TEXT("WriteEvent"));
    HANDLE written = CreateEvent(nullptr, TRUE, FALSE, gWriteEventName);
    CHECK(written != nullptr && GetLastError() != ERROR_ALREADY_EXISTS);
    HANDLE again = CreateEvent(nullptr, TRUE, FALSE, gWriteEventName);
    CHECK(again != nullptr && GetLastError() == ERROR_ALREADY_EXISTS);
    CloseHandle(again);

    HANDLE threads[kReaders] = {};
    for (HANDLE& t : threads) {
        t = CreateThread(nullptr, 0, reader, nullptr, 0, nullptr);
        CHECK(t != nullptr);
    }
    CHECK(WaitForMultipleObjects(kReaders, threads, FALSE, 50) == WAIT_TIMEOUT);
    for (int i = 0; i < 16; ++i) {
        gBuffer[i] = i;
    }
    CHECK(SetEvent(written));
    CHECK(WaitForMultipleObjects(kReaders, threads, TRUE, 5000) == WAIT_OBJECT_0);
    for (HANDLE t : threads) {
        DWORD code = 0;
        CHECK(GetExitCodeThread(t, &code) && code == 120);
        CloseHandle(t);
    }
    CloseHandle(written);
}

TCHAR gMutexName[64];
HANDLE gHeld = nullptr;     // set by the holder once it owns the mutex
HANDLE gRelease = nullptr;  // set by the main thread to let it go

DWORD WINAPI holder(LPVOID) {
    HANDLE mutex = OpenMutex(MUTEX_ALL_ACCESS, FALSE, gMutexName);
    if (mutex == nullptr) {
        return 1;
    }
    DWORD result = WaitForSingleObject(mutex, 5000) == WAIT_OBJECT_0 ? 0 : 2;
    SetEvent(gHeld);
    if (WaitForSingleObject(gRelease, 5000) != WAIT_OBJECT_0 || !ReleaseMutex(mutex)) {
        result = 3;
    }
    CloseHandle(mutex);
    return result;
}

void runNamedMutex() {
    nameOf(gMutexName, ARRAYSIZE(gMutexName), TEXT("NameOfMutexObject"));
    SetLastError(ERROR_SUCCESS);
    CHECK(OpenMutex(MUTEX_ALL_ACCESS, FALSE, gMutexName) == nullptr &&
          GetLastError() == ERROR_FILE_NOT_FOUND);
    HANDLE mutex = CreateMutex(nullptr, FALSE, gMutexName);
    CHECK(mutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS);
    gHeld = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    gRelease = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, holder, nullptr, 0, nullptr);
    CHECK(thread != nullptr);
    CHECK(WaitForSingleObject(gHeld, 5000) == WAIT_OBJECT_0);
    CHECK(WaitForSingleObject(mutex, 0) == WAIT_TIMEOUT);  // held through the other handle
    CHECK(SetEvent(gRelease));
    CHECK(WaitForSingleObject(mutex, 5000) == WAIT_OBJECT_0);
    CHECK(ReleaseMutex(mutex));
    CHECK(WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0);
    DWORD code = 99;
    CHECK(GetExitCodeThread(thread, &code) && code == 0);
    CloseHandle(thread);
    CloseHandle(gHeld);
    CloseHandle(gRelease);
    CloseHandle(mutex);
}

HANDLE gEvents[2];

DWORD WINAPI setSecond(LPVOID) { return SetEvent(gEvents[1]) ? 0 : 1; }

void runWaitOnSeveral() {
    for (HANDLE& e : gEvents) {
        e = CreateEvent(nullptr, FALSE, FALSE, nullptr);  // auto-reset
        CHECK(e != nullptr);
    }
    HANDLE thread = CreateThread(nullptr, 0, setSecond, nullptr, 0, nullptr);
    CHECK(WaitForMultipleObjects(2, gEvents, FALSE, 5000) == WAIT_OBJECT_0 + 1);
    CHECK(WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0);
    CloseHandle(thread);
    CHECK(SetEvent(gEvents[1]) && SetEvent(gEvents[0]));
    CHECK(WaitForMultipleObjects(2, gEvents, FALSE, 0) == WAIT_OBJECT_0);
    CHECK(WaitForMultipleObjects(2, gEvents, FALSE, 0) == WAIT_OBJECT_0 + 1);
    CHECK(WaitForMultipleObjects(2, gEvents, FALSE, 0) == WAIT_TIMEOUT);
    for (HANDLE e : gEvents) {
        CloseHandle(e);
    }
}

}  // namespace

int _tmain(int, _TCHAR**) {
    runWriteEvent();
    runNamedMutex();
    runWaitOnSeveral();
    if (failures == 0) {
        std::printf("named samples: all checks held\n");
    }
    return failures == 0 ? 0 : 1;
}
