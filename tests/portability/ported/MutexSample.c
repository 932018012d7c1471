/* A ported C program in the shape of a mutex-guarded shared record: writer threads started
 * with CreateThread each take the mutex, add their entries to the record and release it; one
 * writer ends with ExitThread while it holds the mutex, and the next taker is told the mutex
 * was abandoned, takes it all the same and repairs the record. Exit code 0 when the record
 * holds every entry and the abandonment was seen exactly once. */
#define _WIN32 1
#define UNICODE /* with a main of its own, as Windows' samples have */
#define _UNICODE
#include <stdio.h>
#include <windows.h>

#define WRITERS 4
#define ENTRIES 1000

static HANDLE mutex;
static long entries = 0;
static int half = 0; /* set while a writer is half-way through its update */
static LONG abandonments = 0;

static DWORD WINAPI writer(LPVOID parameter) {
    const int quitter = parameter != NULL;
    int i;
    for (i = 0; i < ENTRIES; ++i) {
        const DWORD result = WaitForSingleObject(mutex, 5000);
        if (result == WAIT_ABANDONED) {
            ++abandonments; /* the mutex is ours: the record is repaired under it */
            half = 0;
        } else if (result != WAIT_OBJECT_0) {
            return 1;
        }
        if (half) {
            printf("the record was left half-written\n");
            return 2;
        }
        ++entries;
        if (quitter && i == ENTRIES / 2) {
            half = 1;
            ExitThread(3); /* ends holding the mutex */
        }
        if (!ReleaseMutex(mutex)) {
            return 4;
        }
    }
    return 0;
}

int main(void) {
    HANDLE threads[WRITERS];
    DWORD expected[WRITERS];
    DWORD id = 0;
    int i;
    int failed = 0;
    mutex = CreateMutexW(NULL, FALSE, NULL);
    if (mutex == NULL) {
        return 10;
    }
    for (i = 0; i < WRITERS; ++i) {
        threads[i] = CreateThread(NULL, 0, writer, i == 0 ? (LPVOID)&id : NULL, 0, &id);
        expected[i] = i == 0 ? 3 : 0;
        if (threads[i] == NULL) {
            return 11;
        }
    }
    if (WaitForMultipleObjects(WRITERS, threads, TRUE, 30000) != WAIT_OBJECT_0) {
        return 12;
    }
    for (i = 0; i < WRITERS; ++i) {
        DWORD code = 99;
        if (!GetExitCodeThread(threads[i], &code) || code != expected[i]) {
            printf("writer %d ended with %lu\n", i, (unsigned long)code);
            failed = 1;
        }
        CloseHandle(threads[i]);
    }
    /* The quitter's abandonment is reported once, to the next taker, unless it took the
     * mutex last of all; then this wait sees it. */
    if (WaitForSingleObject(mutex, 0) == WAIT_ABANDONED) {
        ++abandonments;
    }
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    if (entries != (long)WRITERS * ENTRIES - (ENTRIES - ENTRIES / 2 - 1) || abandonments != 1) {
        printf("entries %ld, abandonments %ld\n", entries, (long)abandonments);
        failed = 1;
    }
    if (!failed) {
        printf("mutex sample: all checks held\n");
    }
    return failed;
}
