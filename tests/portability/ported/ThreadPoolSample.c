/* A ported C program in the shape of the usual thread-pool use. First a wait on the default
 * pool (no environment), set again before each of five signals of an auto-reset event (a
 * wait fires once per SetThreadpoolWait), then set with a time-out on an event that stays
 * unsignalled, then unset with a NULL handle and closed. Then a private pool made persistent
 * (one thread, both its minimum and maximum), a callback environment bound to it and to a
 * cleanup group, and on it a work object submitted several times, a one-shot timer due 10 ms
 * from now and a wait on an event; a simple callback sets an event when it returns. The
 * cleanup group then closes every object, the group and the pool go. Exit code 0 when each
 * callback ran as many times as asked, with the wait results asked. */
#define _WIN32 1
#include <stdio.h>
#include <windows.h>

static volatile LONG works = 0;
static volatile LONG timers = 0;
static volatile LONG waits = 0;
static volatile LONG simples = 0;
static volatile LONG signalled = 0;
static volatile LONG timeouts = 0;
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

static VOID CALLBACK defaultWaitCallback(PTP_CALLBACK_INSTANCE instance, PVOID context,
                                         PTP_WAIT wait, TP_WAIT_RESULT result) {
    (void)wait;
    countOne(result == WAIT_OBJECT_0 ? &signalled : result == WAIT_TIMEOUT ? &timeouts : &waits);
    SetEventWhenCallbackReturns(instance, (HANDLE)context);
}

/* The wait on the default pool (see the top of this file); 0 when it went as asked. */
static int runDefaultPoolWait(void) {
    HANDLE signal = CreateEvent(NULL, FALSE, FALSE, NULL);
    HANDLE done = CreateEvent(NULL, FALSE, FALSE, NULL);
    HANDLE never = CreateEvent(NULL, TRUE, FALSE, NULL);
    PTP_WAIT wait = CreateThreadpoolWait(defaultWaitCallback, done, NULL);
    ULARGE_INTEGER due;
    FILETIME timeout;
    int i;
    int failed = 0;
    if (signal == NULL || done == NULL || never == NULL || wait == NULL) {
        printf("creating the default pool's wait failed (%lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    for (i = 0; i < 5; ++i) {
        SetThreadpoolWait(wait, signal, NULL);
        SetEvent(signal);
        if (WaitForSingleObject(done, 5000) != WAIT_OBJECT_0) {
            failed = 1;
        }
        WaitForThreadpoolWaitCallbacks(wait, FALSE);
    }
    due.QuadPart = (ULONGLONG) - (20 * 10 * 1000); /* 20 ms from now */
    timeout.dwLowDateTime = due.LowPart;
    timeout.dwHighDateTime = due.HighPart;
    SetThreadpoolWait(wait, never, &timeout);
    if (WaitForSingleObject(done, 5000) != WAIT_OBJECT_0) {
        failed = 1;
    }
    WaitForThreadpoolWaitCallbacks(wait, FALSE);
    SetThreadpoolWait(wait, NULL, NULL);
    CloseThreadpoolWait(wait);
    CloseHandle(signal);
    CloseHandle(done);
    CloseHandle(never);
    if (failed || signalled != 5 || timeouts != 1) {
        printf("default pool's wait: signalled %ld, timed out %ld\n", (long)signalled,
               (long)timeouts);
        return 1;
    }
    return 0;
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
    failed = runDefaultPoolWait();
    InitializeThreadpoolEnvironment(&environment);
    pool = CreateThreadpool(NULL);
    if (pool == NULL) {
        printf("CreateThreadpool failed (%lu)\n", (unsigned long)GetLastError());
        return 10;
    }
    SetThreadpoolThreadMaximum(pool, 1);
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
