/* A ported C program in the shape of a waitable timer with a completion routine: the main
 * thread sets a periodic timer whose routine is given a record of its own, then sleeps
 * alertably; each time the timer fires, its routine runs on the main thread during that sleep
 * (SleepEx returns WAIT_IO_COMPLETION), prints the time it was given, and counts. After the
 * fifth call the timer is cancelled. Exit code 0 when the routine ran five times, on the main
 * thread, in rising fire times, and the sleeps returned as documented. */
#define _WIN32 1
#include <stdio.h>
#include <windows.h>

#define CALLS 5

typedef struct {
    DWORD thread;
    int calls;
    int wrongThread;
    int backwards;
    ULONGLONG lastFired;
} Record;

static VOID CALLBACK onTimer(LPVOID argument, DWORD lowTime, DWORD highTime) {
    Record* record = (Record*)argument;
    ULARGE_INTEGER fired;
    FILETIME asFileTime;
    SYSTEMTIME when;
    fired.LowPart = lowTime;
    fired.HighPart = highTime;
    if (GetCurrentThreadId() != record->thread) {
        ++record->wrongThread;
    }
    if (fired.QuadPart < record->lastFired) {
        ++record->backwards;
    }
    record->lastFired = fired.QuadPart;
    asFileTime.dwLowDateTime = lowTime;
    asFileTime.dwHighDateTime = highTime;
    FileTimeToSystemTime(&asFileTime, &when);
    ++record->calls;
    printf("call %d: the timer fired at %02u:%02u:%02u.%03u UTC\n", record->calls,
           (unsigned)when.wHour, (unsigned)when.wMinute, (unsigned)when.wSecond,
           (unsigned)when.wMilliseconds);
}

int main(void) {
    Record record = {0, 0, 0, 0, 0};
    LARGE_INTEGER due;
    HANDLE timer;
    int sleeps = 0;
    record.thread = GetCurrentThreadId();
    timer = CreateWaitableTimerW(NULL, FALSE, NULL);
    if (timer == NULL) {
        printf("CreateWaitableTimer failed (%lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    due.QuadPart = -200000; /* 20 ms from now, in 100 ns units */
    if (!SetWaitableTimer(timer, &due, 30, onTimer, &record, FALSE)) {
        printf("SetWaitableTimer failed (%lu)\n", (unsigned long)GetLastError());
        CloseHandle(timer);
        return 2;
    }
    while (record.calls < CALLS) {
        /* Alertable: the routine runs inside this sleep, which then returns. */
        const DWORD result = SleepEx(5000, TRUE);
        ++sleeps;
        if (result != WAIT_IO_COMPLETION) {
            printf("SleepEx returned %lu instead of WAIT_IO_COMPLETION\n", (unsigned long)result);
            break;
        }
    }
    CancelWaitableTimer(timer);
    /* Cancelled: nothing more is queued to this thread. */
    if (SleepEx(100, TRUE) != 0) {
        printf("a routine ran after CancelWaitableTimer\n");
        record.calls = -1;
    }
    CloseHandle(timer);
    printf("%d calls in %d alertable sleeps\n", record.calls, sleeps);
    return record.calls == CALLS && record.wrongThread == 0 && record.backwards == 0 ? 0 : 3;
}
