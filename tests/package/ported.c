/* A ported C program built against the installed library: <windows.h> is the port header.
 * It is a Unicode program with a main of its own, which the installed davro::port keeps. */
#define _WIN32 1
#define UNICODE
#define _UNICODE
#include <windows.h>

static CRITICAL_SECTION section;
static long total = 0;

static DWORD WINAPI add(LPVOID parameter) {
    int i;
    for (i = 0; i < 1000; ++i) {
        EnterCriticalSection(&section);
        total += (long)(ULONG_PTR)parameter;
        LeaveCriticalSection(&section);
    }
    return 0;
}

int main(void) {
    HANDLE threads[2];
    InitializeCriticalSectionAndSpinCount(&section, 1000);
    threads[0] = CreateThread(NULL, 0, add, (LPVOID)1, 0, NULL);
    threads[1] = CreateThread(NULL, 0, add, (LPVOID)2, 0, NULL);
    if (threads[0] == NULL || threads[1] == NULL ||
        WaitForMultipleObjects(2, threads, TRUE, 10000) != WAIT_OBJECT_0) {
        return 1;
    }
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);
    DeleteCriticalSection(&section);
    return total == 3000 ? 0 : 2;
}
