/* A ported C program in the shape of the usual timer-queue use: a queue of its own with a
 * one-shot timer whose routine reports its parameter and sets an event that the main thread
 * waits for (the routine cast to WAITORTIMERCALLBACK, as Windows' sample has it); a second
 * queue with a periodic timer, deleted with a completion event that is set once its routines
 * are done; then a periodic timer on the default queue that is sped up with
 * ChangeTimerQueueTimer, and the clean-up that waits for every routine. Exit code 0 when each
 * timer fired as set and nothing fired after its delete completed. */
#define _WIN32 1
#include <stdio.h>
#include <windows.h>

static HANDLE fired;
static CRITICAL_SECTION counting;

/* Adds one to a count that several pool threads share. */
static void countOne(volatile LONG* count) {
    EnterCriticalSection(&counting);
    ++*count;
    LeaveCriticalSection(&counting);
}

/* Reads a count that pool threads may still add to. */
static LONG readCount(volatile LONG* count) {
    LONG value;
    EnterCriticalSection(&counting);
    value = *count;
    LeaveCriticalSection(&counting);
    return value;
}
static volatile LONG ticks = 0;
static volatile LONG afterDelete = 0;
static volatile LONG deleted = 0;

static VOID CALLBACK once(PVOID parameter, BOOLEAN timerOrWaitFired) {
    const int* value = (const int*)parameter;
    printf("one-shot timer: parameter %d, fired by the timer: %s\n", *value,
           timerOrWaitFired ? "yes" : "no");
    SetEvent(fired);
}

static volatile LONG queued = 0;

static VOID CALLBACK onSecondQueue(PVOID parameter, BOOLEAN timerOrWaitFired) {
    (void)timerOrWaitFired;
    countOne(&queued);
    SetEvent((HANDLE)parameter);
}

/* The second queue (see the top of this file); 0 when it went as asked. */
static int runQueueDeletedWithEvent(void) {
    HANDLE queue = CreateTimerQueue();
    HANDLE ticked = CreateEvent(NULL, FALSE, FALSE, NULL);
    HANDLE done = CreateEvent(NULL, TRUE, FALSE, NULL);
    HANDLE timer = NULL;
    LONG seen;
    int failed = 0;
    if (queue == NULL || ticked == NULL || done == NULL ||
        !CreateTimerQueueTimer(&timer, queue, onSecondQueue, ticked, 1, 2, WT_EXECUTEDEFAULT)) {
        printf("creating the second queue's timer failed (%lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    if (WaitForSingleObject(ticked, 5000) != WAIT_OBJECT_0) {
        printf("the second queue's timer did not fire\n");
        failed = 1;
    }
    /* Reported as pending; the event tells when the routines are done. */
    if (!DeleteTimerQueueEx(queue, done) && GetLastError() != ERROR_IO_PENDING) {
        printf("DeleteTimerQueueEx failed (%lu)\n", (unsigned long)GetLastError());
        failed = 1;
    }
    if (WaitForSingleObject(done, 5000) != WAIT_OBJECT_0) {
        printf("the completion event of DeleteTimerQueueEx was not set\n");
        failed = 1;
    }
    seen = readCount(&queued);
    Sleep(30);
    if (readCount(&queued) != seen) {
        printf("the deleted queue's timer fired after its completion event\n");
        failed = 1;
    }
    CloseHandle(ticked);
    CloseHandle(done);
    return failed;
}

static VOID CALLBACK periodic(PVOID parameter, BOOLEAN timerOrWaitFired) {
    (void)parameter;
    (void)timerOrWaitFired;
    if (readCount(&deleted)) {
        countOne(&afterDelete);
    }
    countOne(&ticks);
}

int main(void) {
    HANDLE queue;
    HANDLE timer = NULL;
    HANDLE every = NULL;
    int parameter = 42;
    int failed = 0;

    InitializeCriticalSection(&counting);
    fired = CreateEvent(NULL, TRUE, FALSE, NULL);
    queue = CreateTimerQueue();
    if (fired == NULL || queue == NULL) {
        return 10;
    }
    if (!CreateTimerQueueTimer(&timer, queue, (WAITORTIMERCALLBACK)once, &parameter, 20, 0, 0)) {
        printf("CreateTimerQueueTimer failed (%lu)\n", (unsigned long)GetLastError());
        return 11;
    }
    if (WaitForSingleObject(fired, 5000) != WAIT_OBJECT_0) {
        printf("the one-shot timer did not fire\n");
        failed = 1;
    }
    /* The queue and its timers go; NULL: without waiting, reported as pending. */
    if (!DeleteTimerQueue(queue) && GetLastError() != ERROR_IO_PENDING) {
        printf("DeleteTimerQueue failed (%lu)\n", (unsigned long)GetLastError());
        failed = 1;
    }

    if (runQueueDeletedWithEvent() != 0) {
        failed = 1;
    }

    /* A periodic timer on the default queue: first every second, then every 5 ms. */
    if (!CreateTimerQueueTimer(&every, NULL, periodic, NULL, 1000, 1000, WT_EXECUTEDEFAULT)) {
        return 12;
    }
    if (!ChangeTimerQueueTimer(NULL, every, 1, 5)) {
        failed = 1;
    }
    {
        DWORD start = GetTickCount();
        while (readCount(&ticks) < 5 && GetTickCount() - start < 5000) {
            Sleep(1);
        }
    }
    if (readCount(&ticks) < 5) {
        printf("the periodic timer fired %ld times\n", (long)readCount(&ticks));
        failed = 1;
    }
    if (!DeleteTimerQueueTimer(NULL, every, INVALID_HANDLE_VALUE)) {
        failed = 1;
    }
    countOne(&deleted);
    Sleep(30);
    if (readCount(&afterDelete) != 0) {
        printf("the deleted timer fired %ld times more\n", (long)readCount(&afterDelete));
        failed = 1;
    }
    CloseHandle(fired);
    DeleteCriticalSection(&counting);
    if (!failed) {
        printf("timer queue sample: all checks held\n");
    }
    return failed;
}
