/* A ported C program in the shape of the usual thread-pool use: a private pool of one to
 * four threads, a callback environment bound to it and to a cleanup group, and on it a work
 * object submitted several times, a one-shot timer due 10 ms from now and a wait on an event;
 * a simple callback sets an event when it returns. The cleanup group then closes every
 * object, the group and the pool go. Exit code 0 when each callback ran as many times as
 * asked. */
#define _WIN32 1
#include <stdio.h>
#include <windows.h>

static volatile LONG works = 0;
static volatile LONG timers = 0;
static volatile LONG waits = 0;
static volatile LONG simples = 0;
static CRITICAL_SECTION counting;

/* Adds one to a count that several pool threads share. */
static void countOne(volatile LONG* count) {
    EnterCriticalSection(&counting);
    ++*count;
    LeaveCriticalSection(&counting);
}

static VOID CALLBACK workCallback(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WORK work) {
    (void)instance;
    (void)context;
    (void)work;
    countOne(&works);
}

static VOID CALLBACK timerCallback(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_TIMER timer) {
    (void)timer;
    countOne(&timers);
    SetEventWhenCallbackReturns(instance, (HANDLE)context);
}

static VOID CALLBACK waitCallback(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WAIT wait,
                                  TP_WAIT_RESULT result) {
    (void)wait;
    if (result == WAIT_OBJECT_0) {
        countOne(&waits);
    }
    SetEventWhenCallbackReturns(instance, (HANDLE)context);
}

static VOID CALLBACK simpleCallback(PTP_CALLBACK_INSTANCE instance, PVOID context) {
    countOne(&simples);
    SetEventWhenCallbackReturns(instance, (HANDLE)context);
}

int main(void) {
    TP_CALLBACK_ENVIRON environment;
    PTP_POOL pool;
    PTP_CLEANUP_GROUP group;
    PTP_WORK work;
    PTP_TIMER timer;
    PTP_WAIT wait;
    HANDLE signal;
    HANDLE timerDone;
    HANDLE simpleDone;
    HANDLE waitDone;
    ULARGE_INTEGER due;
    FILETIME dueTime;
    int i;
    int failed = 0;

    InitializeCriticalSection(&counting);
    InitializeThreadpoolEnvironment(&environment);
    pool = CreateThreadpool(NULL);
    if (pool == NULL) {
        printf("CreateThreadpool failed (%lu)\n", (unsigned long)GetLastError());
        return 10;
    }
    SetThreadpoolThreadMaximum(pool, 4);
    if (!SetThreadpoolThreadMinimum(pool, 1)) {
        printf("SetThreadpoolThreadMinimum failed (%lu)\n", (unsigned long)GetLastError());
        return 11;
    }
    group = CreateThreadpoolCleanupGroup();
    if (group == NULL) {
        return 12;
    }
    SetThreadpoolCallbackPool(&environment, pool);
    SetThreadpoolCallbackCleanupGroup(&environment, group, NULL);

    signal = CreateEventW(NULL, FALSE, FALSE, NULL);
    timerDone = CreateEventW(NULL, TRUE, FALSE, NULL);
    simpleDone = CreateEventW(NULL, TRUE, FALSE, NULL);
    waitDone = CreateEventW(NULL, TRUE, FALSE, NULL);

    work = CreateThreadpoolWork(workCallback, NULL, &environment);
    timer = CreateThreadpoolTimer(timerCallback, timerDone, &environment);
    wait = CreateThreadpoolWait(waitCallback, waitDone, &environment);
    if (work == NULL || timer == NULL || wait == NULL) {
        return 13;
    }
    for (i = 0; i < 5; ++i) {
        SubmitThreadpoolWork(work);
    }
    /* Due 10 ms from now: a negative count of 100 ns units. */
    due.QuadPart = (ULONGLONG) - (10 * 10 * 1000);
    dueTime.dwLowDateTime = due.LowPart;
    dueTime.dwHighDateTime = due.HighPart;
    SetThreadpoolTimer(timer, &dueTime, 0, 0);
    SetThreadpoolWait(wait, signal, NULL);
    SetEvent(signal);
    if (!TrySubmitThreadpoolCallback(simpleCallback, simpleDone, &environment)) {
        return 14;
    }
    if (WaitForSingleObject(timerDone, 5000) != WAIT_OBJECT_0 ||
        WaitForSingleObject(simpleDone, 5000) != WAIT_OBJECT_0 ||
        WaitForSingleObject(waitDone, 5000) != WAIT_OBJECT_0) {
        printf("a callback did not run\n");
        failed = 1;
    }
    WaitForThreadpoolWaitCallbacks(wait, FALSE);

    /* Every member at once: waits for outstanding callbacks, then frees the objects. */
    CloseThreadpoolCleanupGroupMembers(group, FALSE, NULL);
    CloseThreadpoolCleanupGroup(group);
    CloseThreadpool(pool);
    DestroyThreadpoolEnvironment(&environment);
    CloseHandle(signal);
    CloseHandle(timerDone);
    CloseHandle(simpleDone);
    CloseHandle(waitDone);

    DeleteCriticalSection(&counting);
    if (works != 5 || timers != 1 || waits != 1 || simples != 1) {
        printf("work %ld, timer %ld, wait %ld, simple %ld\n", (long)works, (long)timers,
               (long)waits, (long)simples);
        failed = 1;
    }
    if (!failed) {
        printf("thread pool sample: all checks held\n");
    }
    return failed;
}
