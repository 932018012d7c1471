/* Ported C programs in the shape of Windows' documented samples of the slim primitives,
 * through the port header as <windows.h>, with UNICODE defined:
 *   - a bounded buffer: producers and consumers on a critical section and two condition
 *     variables (not full, not empty); a flag and a wake of all stop the consumers;
 *   - one-time initialisation of an event handle, synchronous (InitOnceExecuteOnce) and
 *     asynchronous (InitOnceBeginInitialize with INIT_ONCE_ASYNC: losers close their own);
 *   - an interlocked singly linked list of items from _aligned_malloc;
 *   - thread-local storage: each thread keeps a LocalAlloc block in a TlsAlloc slot.
 * Exit code 0 when everything held; otherwise each failure is printed. */
#define _WIN32 1
#define UNICODE
#define _UNICODE
#include <malloc.h>
#include <stdio.h>
#include <windows.h>

#include "Check.h"

/* Starts `count` threads on `routine` and checks that each ends with 0 within 20 s. */
static void runThreads(LPTHREAD_START_ROUTINE routine, DWORD count) {
    HANDLE threads[8];
    DWORD i;
    for (i = 0; i < count; ++i) {
        threads[i] = CreateThread(NULL, 0, routine, (LPVOID)(ULONG_PTR)i, 0, NULL);
        CHECK(threads[i] != NULL);
    }
    CHECK(WaitForMultipleObjects(count, threads, TRUE, 20000) == WAIT_OBJECT_0);
    for (i = 0; i < count; ++i) {
        DWORD code = 99;
        CHECK(GetExitCodeThread(threads[i], &code) && code == 0);
        CloseHandle(threads[i]);
    }
}

/* ---- The bounded buffer ---- */
#define BUFFER_SIZE 10
#define PRODUCERS 2
#define ITEMS_EACH 5000

static LONG buffer[BUFFER_SIZE];
static ULONG queueSize;
static ULONG queueStart;
static LONG lastItem;
static LONG consumed;
static LONG64 consumedSum;
static CONDITION_VARIABLE notEmpty = CONDITION_VARIABLE_INIT;
static CONDITION_VARIABLE notFull;
static CRITICAL_SECTION bufferLock;
static BOOL stopRequested;

/* A sleep that times out means a lost wake-up: the thread gives up with 1. */
static DWORD WINAPI producer(LPVOID parameter) {
    int i;
    (void)parameter;
    for (i = 0; i < ITEMS_EACH; ++i) {
        const LONG item = InterlockedIncrement(&lastItem);
        EnterCriticalSection(&bufferLock);
        while (queueSize == BUFFER_SIZE) {
            if (!SleepConditionVariableCS(&notFull, &bufferLock, 5000)) {
                LeaveCriticalSection(&bufferLock);
                return 1;
            }
        }
        buffer[(queueStart + queueSize) % BUFFER_SIZE] = item;
        ++queueSize;
        LeaveCriticalSection(&bufferLock);
        WakeConditionVariable(&notEmpty);
    }
    return 0;
}

static DWORD WINAPI consumer(LPVOID parameter) {
    (void)parameter;
    for (;;) {
        LONG item;
        EnterCriticalSection(&bufferLock);
        while (queueSize == 0 && !stopRequested) {
            if (!SleepConditionVariableCS(&notEmpty, &bufferLock, 5000)) {
                LeaveCriticalSection(&bufferLock);
                return GetLastError() == ERROR_TIMEOUT ? 1 : 2;
            }
        }
        if (queueSize == 0) { /* stopped, and drained */
            LeaveCriticalSection(&bufferLock);
            return 0;
        }
        item = buffer[queueStart];
        queueStart = (queueStart + 1) % BUFFER_SIZE;
        --queueSize;
        LeaveCriticalSection(&bufferLock);
        WakeConditionVariable(&notFull);
        InterlockedIncrement(&consumed);
        InterlockedExchangeAdd64(&consumedSum, item);
    }
}

static void runBoundedBuffer(void) {
    const LONG64 n = (LONG64)PRODUCERS * ITEMS_EACH;
    HANDLE consumers[2];
    DWORD i;
    InitializeConditionVariable(&notFull);
    InitializeCriticalSection(&bufferLock);
    for (i = 0; i < 2; ++i) {
        consumers[i] = CreateThread(NULL, 0, consumer, NULL, 0, NULL);
        CHECK(consumers[i] != NULL);
    }
    runThreads(producer, PRODUCERS);
    EnterCriticalSection(&bufferLock);
    stopRequested = TRUE;
    LeaveCriticalSection(&bufferLock);
    WakeAllConditionVariable(&notEmpty);
    CHECK(WaitForMultipleObjects(2, consumers, TRUE, 20000) == WAIT_OBJECT_0);
    for (i = 0; i < 2; ++i) {
        DWORD code = 99;
        CHECK(GetExitCodeThread(consumers[i], &code) && code == 0);
        CloseHandle(consumers[i]);
    }
    CHECK(consumed == n && consumedSum == n * (n + 1) / 2 && queueSize == 0);
    DeleteCriticalSection(&bufferLock);
}

/* ---- One-time initialisation of an event handle ---- */
#define INITIALISERS 4

static INIT_ONCE syncOnce = INIT_ONCE_STATIC_INIT;
static INIT_ONCE asyncOnce;
static LONG syncCreations;
static LONG asyncLosses;
static HANDLE syncResults[INITIALISERS];
static HANDLE asyncResults[INITIALISERS];

static BOOL CALLBACK createEvent(PINIT_ONCE once, PVOID parameter, PVOID* context) {
    HANDLE event = CreateEvent(NULL, TRUE, TRUE, NULL);
    (void)once;
    (void)parameter;
    if (event == NULL) {
        return FALSE;
    }
    InterlockedIncrement(&syncCreations);
    *context = event;
    return TRUE;
}

static HANDLE eventOnceSync(void) {
    PVOID context = NULL;
    return InitOnceExecuteOnce(&syncOnce, createEvent, NULL, &context) ? (HANDLE)context
                                                                       : INVALID_HANDLE_VALUE;
}

static HANDLE eventOnceAsync(void) {
    PVOID context = NULL;
    BOOL pending = FALSE;
    HANDLE event;
    if (!InitOnceBeginInitialize(&asyncOnce, INIT_ONCE_ASYNC, &pending, &context)) {
        return INVALID_HANDLE_VALUE;
    }
    if (!pending) {
        return (HANDLE)context;
    }
    event = CreateEvent(NULL, TRUE, TRUE, NULL);
    if (event == NULL) {
        return INVALID_HANDLE_VALUE;
    }
    if (InitOnceComplete(&asyncOnce, INIT_ONCE_ASYNC, event)) {
        return event;
    }
    CloseHandle(event); /* another thread's completion won: use its event */
    InterlockedIncrement(&asyncLosses);
    if (InitOnceBeginInitialize(&asyncOnce, INIT_ONCE_CHECK_ONLY, &pending, &context) && !pending) {
        return (HANDLE)context;
    }
    return INVALID_HANDLE_VALUE;
}

static DWORD WINAPI initialiser(LPVOID parameter) {
    const ULONG_PTR i = (ULONG_PTR)parameter;
    syncResults[i] = eventOnceSync();
    asyncResults[i] = eventOnceAsync();
    return 0;
}

static void runOneTimeInitialisation(void) {
    int i;
    InitOnceInitialize(&asyncOnce);
    runThreads(initialiser, INITIALISERS);
    CHECK(syncCreations == 1 && asyncLosses < INITIALISERS);
    for (i = 0; i < INITIALISERS; ++i) {
        CHECK(syncResults[i] == syncResults[0] && asyncResults[i] == asyncResults[0]);
    }
    CHECK(syncResults[0] != INVALID_HANDLE_VALUE && asyncResults[0] != INVALID_HANDLE_VALUE);
    CHECK(WaitForSingleObject(syncResults[0], 0) == WAIT_OBJECT_0);
    CHECK(WaitForSingleObject(asyncResults[0], 0) == WAIT_OBJECT_0);
    CHECK(eventOnceSync() == syncResults[0] && eventOnceAsync() == asyncResults[0]);
    CloseHandle(syncResults[0]);
    CloseHandle(asyncResults[0]);
}

/* ---- An interlocked singly linked list ---- */
typedef struct _LIST_ITEM {
    SLIST_ENTRY entry; /* first, so that an entry's address is its item's */
    ULONG signature;
} LIST_ITEM, *PLIST_ITEM;

static void runSList(void) {
    PSLIST_HEADER head =
        (PSLIST_HEADER)_aligned_malloc(sizeof(SLIST_HEADER), MEMORY_ALLOCATION_ALIGNMENT);
    PSLIST_ENTRY previous = NULL;
    PSLIST_ENTRY entry;
    ULONG i;
    ULONG expected = 9;
    if (head == NULL) {
        CHECK(head != NULL);
        return;
    }
    CHECK((ULONG_PTR)head % MEMORY_ALLOCATION_ALIGNMENT == 0);
    InitializeSListHead(head);
    for (i = 1; i <= 10; ++i) {
        PLIST_ITEM item =
            (PLIST_ITEM)_aligned_malloc(sizeof(LIST_ITEM), MEMORY_ALLOCATION_ALIGNMENT);
        CHECK(item != NULL);
        if (item != NULL) {
            item->signature = i;
            CHECK(InterlockedPushEntrySList(head, &item->entry) == previous);
            previous = &item->entry;
        }
    }
    entry = InterlockedPopEntrySList(head);
    CHECK(entry != NULL && ((PLIST_ITEM)entry)->signature == 10);
    _aligned_free(entry);
    CHECK(QueryDepthSList(head) == 9);
    for (entry = InterlockedFlushSList(head); entry != NULL; --expected) {
        PSLIST_ENTRY next = entry->Next;
        CHECK(((PLIST_ITEM)entry)->signature == expected);
        _aligned_free(entry);
        entry = next;
    }
    CHECK(expected == 0 && QueryDepthSList(head) == 0 && InterlockedPopEntrySList(head) == NULL);
    _aligned_free(head);
}

/* ---- Thread-local storage ---- */
static DWORD tlsIndex;

/* What every thread calls: its own block, written by it alone. */
static DWORD useThreadData(void) {
    DWORD* data;
    SetLastError(ERROR_INVALID_HANDLE);
    data = (DWORD*)TlsGetValue(tlsIndex);
    if (data == NULL || GetLastError() != ERROR_SUCCESS) {
        return 2;
    }
    return data[0] == GetCurrentThreadId() && data[1] == 0 ? 0 : 3;
}

static DWORD WINAPI tlsThread(LPVOID parameter) {
    DWORD* data = (DWORD*)LocalAlloc(LPTR, 256); /* zero-filled */
    DWORD result;
    (void)parameter;
    if (data == NULL || !TlsSetValue(tlsIndex, data)) {
        return 1;
    }
    data[0] = GetCurrentThreadId();
    result = useThreadData();
    data = (DWORD*)TlsGetValue(tlsIndex);
    if (data != NULL) {
        CHECK(LocalFree((HLOCAL)data) == NULL);
    }
    return result;
}

static void runThreadLocalStorage(void) {
    tlsIndex = TlsAlloc();
    CHECK(tlsIndex != TLS_OUT_OF_INDEXES);
    SetLastError(ERROR_INVALID_HANDLE);
    CHECK(TlsGetValue(tlsIndex) == NULL && GetLastError() == ERROR_SUCCESS);
    runThreads(tlsThread, 4);
    CHECK(TlsGetValue(tlsIndex) == NULL); /* the main thread's own stayed untouched */
    CHECK(TlsFree(tlsIndex));
}

/* ---- The other slim calls, once each from C: results of C's types through C linkage ---- */
static void runOtherCalls(void) {
    static SRWLOCK lock = SRWLOCK_INIT;
    static CONDITION_VARIABLE nobodyWakes = CONDITION_VARIABLE_INIT;
    SYNCHRONIZATION_BARRIER barrier;
    PVOID pointer = NULL;
    LONG value = 1;
    LONG other = 2;
    DWORD fls;
    CHECK(TryAcquireSRWLockShared(&lock) == TRUE && TryAcquireSRWLockExclusive(&lock) == FALSE);
    ReleaseSRWLockShared(&lock);
    AcquireSRWLockExclusive(&lock);
    SetLastError(ERROR_SUCCESS);
    CHECK(!SleepConditionVariableSRW(&nobodyWakes, &lock, 1, 0) && GetLastError() == ERROR_TIMEOUT);
    ReleaseSRWLockExclusive(&lock);
    CHECK(WaitOnAddress(&value, &other, sizeof(LONG), 0)); /* differs: TRUE at once */
    WakeByAddressAll(&value);
    CHECK(InitializeSynchronizationBarrier(&barrier, 1, -1));
    CHECK(EnterSynchronizationBarrier(&barrier, 0) && DeleteSynchronizationBarrier(&barrier));
    fls = FlsAlloc(NULL);
    CHECK(fls != FLS_OUT_OF_INDEXES && FlsSetValue(fls, &value) && FlsGetValue(fls) == &value);
    CHECK(FlsFree(fls));
    CHECK(InterlockedCompareExchange(&value, 5, 1) == 1 && InterlockedOr(&value, 2) == 5);
    CHECK(InterlockedCompareExchangePointer(&pointer, &value, NULL) == NULL && pointer == &value);
    MemoryBarrier();
}

int _tmain(int argc, _TCHAR* argv[]) {
    HMODULE kernel = GetModuleHandle(TEXT("kernel32.dll"));
    (void)argc;
    (void)argv;
    /* The slim calls are C entry points too, found by name like the others. */
    CHECK(GetProcAddress(kernel, "InitOnceExecuteOnce") != NULL);
    CHECK(GetProcAddress(kernel, "SleepConditionVariableCS") != NULL);
    runBoundedBuffer();
    runOneTimeInitialisation();
    runSList();
    runThreadLocalStorage();
    runOtherCalls();
    if (failures == 0) {
        printf("slim samples: all checks held\n");
    }
    return failures == 0 ? 0 : 1;
}
