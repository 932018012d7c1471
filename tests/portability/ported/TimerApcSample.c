/* A ported C program in the shape of a waitable timer with a completion routine, written for
 * UNICODE and _UNICODE as Windows' samples are: a manual-reset timer is waited for first;
 * then the main thread sets a periodic timer whose routine is given a record of its own (the
 * due time an __int64 copied into a LARGE_INTEGER by halves), then sleeps alertably inside a
 * __try whose __finally closes the timer. Each time the timer fires, its routine runs on the
 * main thread during that sleep (SleepEx returns WAIT_IO_COMPLETION), prints the record's
 * TCHAR text with _tprintf and the time it was given, and counts. After the fifth call the
 * timer is cancelled. Exit code 0 when the routine ran five times, on the main thread, in
 * rising fire times, and the waits and sleeps returned as documented. */
#define _WIN32 1
#define UNICODE 1
#define _UNICODE 1
#include <stdio.h>
#include <tchar.h>
#include <windows.h>

#define CALLS 5

typedef struct {
    LPCTSTR text;
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
    _tprintf(TEXT("%s, call %d: the timer fired at %02u:%02u:%02u.%03u UTC\n"), record->text,
             record->calls, (unsigned)when.wHour, (unsigned)when.wMinute, (unsigned)when.wSecond,
             (unsigned)when.wMilliseconds);
}

int main(void) {
    Record record = {TEXT("the record"), 0, 0, 0, 0, 0};
    LARGE_INTEGER due;
    __int64 dueTime;
    HANDLE timer;
    int sleeps = 0;
    int failed = 0;
    record.thread = GetCurrentThreadId();

    /* A manual-reset timer stays signalled once it has fired. */
    timer = CreateWaitableTimer(NULL, TRUE, NULL);
    if (timer == NULL) {
        printf("CreateWaitableTimer failed (%lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    due.QuadPart = -100000; /* 10 ms from now, in 100 ns units */
    if (!SetWaitableTimer(timer, &due, 0, NULL, NULL, 0) ||
        WaitForSingleObject(timer, 5000) != WAIT_OBJECT_0 ||
        WaitForSingleObject(timer, 0) != WAIT_OBJECT_0) {
        printf("the manual-reset timer was not signalled\n");
        failed = 1;
    }
    CloseHandle(timer);

    timer = CreateWaitableTimer(NULL, FALSE, NULL);
    if (timer == NULL) {
        printf("CreateWaitableTimer failed (%lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    __try {
        dueTime = -200000; /* 20 ms from now */
        due.LowPart = (DWORD)(dueTime & 0xFFFFFFFF);
        due.HighPart = (LONG)(dueTime >> 32);
        if (!SetWaitableTimer(timer, &due, 30, onTimer, &record, FALSE)) {
            printf("SetWaitableTimer failed (%lu)\n", (unsigned long)GetLastError());
            failed = 1;
        }
        while (!failed && record.calls < CALLS) {
            /* Alertable: the routine runs inside this sleep, which then returns. */
            const DWORD result = SleepEx(5000, TRUE);
            ++sleeps;
            if (result != WAIT_IO_COMPLETION) {
                printf("SleepEx returned %lu instead of WAIT_IO_COMPLETION\n",
                       (unsigned long)result);
                failed = 1;
            }
        }
        CancelWaitableTimer(timer);
        /* Cancelled: nothing more is queued to this thread. */
        if (SleepEx(100, TRUE) != 0) {
            printf("a routine ran after CancelWaitableTimer\n");
            failed = 1;
        }
    } __finally {
        CloseHandle(timer);
    }
    printf("%d calls in %d alertable sleeps\n", record.calls, sleeps);
    return !failed && record.calls == CALLS && record.wrongThread == 0 && record.backwards == 0 ? 0
                                                                                                : 3;
}
