/* A Windows C program as it is ported: it defines _WIN32 to take its Windows branches, and
 * UNICODE/_UNICODE, and includes <windows.h>, which the port header provides (davro::port).
 * It checks the C interface: Windows' C types and macros, the C entry points, module lookups,
 * TCHAR, the wide _tmain and _tprintf's family, __int64, and plain-block __try/__finally. It also
 * runs the master/readers pattern of an event: readers started with CreateThread wait on a
 * manual-reset event that the master sets once the shared buffer is written, and the master waits
 * for them all. Exit code 0 when everything held; otherwise each failure is printed. */
#define _WIN32 1
#define UNICODE
#define _UNICODE
#include <stdio.h>
#include <tchar.h>
#include <windows.h>

#ifndef _WIN32
#error "the program's own _WIN32 must survive the port header"
#endif

#include "Check.h"

/* ---- The event: a master writes a buffer, readers wait for it ---- */
#define READERS 4

static HANDLE written;
static int buffer[16];

static DWORD WINAPI reader(LPVOID parameter) {
    const DWORD index = (DWORD)(ULONG_PTR)parameter;
    DWORD sum = 0;
    int i;
    if (WaitForSingleObject(written, 5000) != WAIT_OBJECT_0) {
        return 1000;
    }
    for (i = 0; i < 16; ++i) {
        sum += (DWORD)buffer[i];
    }
    return sum + index; /* 120 + index */
}

static void runEventPattern(void) {
    HANDLE threads[READERS];
    DWORD ids[READERS];
    DWORD i;
    int k;
    written = CreateEvent(NULL, TRUE, FALSE, NULL); /* CreateEventW: UNICODE is defined */
    CHECK(written != NULL);
    for (i = 0; i < READERS; ++i) {
        threads[i] = CreateThread(NULL, 0, reader, (LPVOID)(ULONG_PTR)i, 0, &ids[i]);
        CHECK(threads[i] != NULL);
        CHECK(ids[i] != 0 && ids[i] == GetThreadId(threads[i]));
    }
    CHECK(WaitForMultipleObjects(READERS, threads, FALSE, 50) == WAIT_TIMEOUT);
    for (k = 0; k < 16; ++k) {
        buffer[k] = k;
    }
    CHECK(SetEvent(written));
    CHECK(WaitForMultipleObjects(READERS, threads, TRUE, 5000) == WAIT_OBJECT_0);
    for (i = 0; i < READERS; ++i) {
        DWORD code = 0;
        CHECK(GetExitCodeThread(threads[i], &code) && code == 120 + i);
        CHECK(CloseHandle(threads[i]));
    }
    CHECK(CloseHandle(written));
}

/* ---- Types, macros, modules ---- */
typedef HANDLE(WINAPI* CreateThreadFunction)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE,
                                             LPVOID, DWORD, LPDWORD);

static DWORD WINAPI returnsSeven(LPVOID parameter) {
    (void)parameter;
    return 7;
}

static void checkInterface(void) {
    LARGE_INTEGER large;
    ULARGE_INTEGER ularge;
    SYSTEM_INFO info;
    CRITICAL_SECTION section;
    CONST DWORD constant = MAX_PATH;
    PUSHORT pointer = NULL;
    KAFFINITY affinity = 1;
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    TCHAR text[] = TEXT("wide");
    _TCHAR other[] = _T("text");
    FARPROC found;
    int order = 0;
    unsigned __int64 big = 0x100000000ULL;
    __int64 negative = -5;
    TCHAR formatted[64];
    char bytes[64] = {0};
    FILE* file = tmpfile();

    large.QuadPart = -2;
    CHECK(large.LowPart == 0xFFFFFFFEU && large.HighPart == -1 && large.u.HighPart == -1);
    ularge.QuadPart = 0x100000002ULL;
    CHECK(ularge.LowPart == 2 && ularge.HighPart == 1);
    CHECK(sizeof(LARGE_INTEGER) == 8 && sizeof(CRITICAL_SECTION) == 40 && sizeof(MSG) == 48);
    CHECK(sizeof(SYSTEM_INFO) == 48 && sizeof(DWORD) == 4 && sizeof(LONG) == 4);
    CHECK(constant == 260 && pointer == NULL && affinity == 1 && INFINITE == 0xFFFFFFFFU);
    CHECK(SUCCEEDED(S_OK) && FAILED(E_FAIL) &&
          HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) == E_ACCESSDENIED);
    CHECK(sizeof(TCHAR) == sizeof(wchar_t) && sizeof(_TCHAR) == sizeof(wchar_t));
    CHECK(_tcslen(text) == 4 && _tcscmp(other, L"text") == 0);
    CHECK(LOWORD(0x12345678) == 0x5678 && HIWORD(0x12345678) == 0x1234);
    CHECK(MAKELONG(1, 2) == 0x20001);

    /* _tprintf's family reads formats as Windows' wide printf: %s wide, %S narrow, I64. */
    CHECK(_sntprintf(formatted, 64, _T("%s|%S|%c|%C|%I64u|%I64d|%5.2s|%%"), text, "narrow", L'w',
                     'n', big, negative, text) == 37);
    CHECK(_tcscmp(formatted, L"wide|narrow|w|n|4294967296|-5|   wi|%") == 0);
    CHECK(_sntprintf(formatted, 3, _T("%s"), text) == -1 && formatted[2] == L'd');
    /* ... and writes UTF-8, so that printf and _tprintf mix on one stream. */
    CHECK(file != NULL);
    if (file != NULL) {
        CHECK(_ftprintf(file, _T("%s %d|"), L"gr\u00fc\u00dfe", 1) == 8);
        fprintf(file, "narrow|");
        CHECK(_ftprintf(file, _T("%s\n"), text) == 5);
        rewind(file);
        CHECK(fgets(bytes, sizeof bytes, file) != NULL);
        CHECK(strcmp(bytes,
                     "gr\xc3\xbc\xc3\x9f"
                     "e 1|narrow|wide\n") == 0);
        fclose(file);
    }

    GetSystemInfo(&info);
    CHECK(info.dwNumberOfProcessors >= 1 &&
          info.dwNumberOfProcessors == GetActiveProcessorCount(0));

    CHECK(InitializeCriticalSectionAndSpinCount(&section, 4000));
    EnterCriticalSection(&section);
    CHECK(TryEnterCriticalSection(&section));
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);

    /* Probing for optional calls, as ported code does. */
    CHECK(kernel != NULL);
    SetLastError(0);
    CHECK(GetProcAddress(kernel, "SetThreadGroupAffinity") == NULL);
    CHECK(GetLastError() == ERROR_PROC_NOT_FOUND);
    found = GetProcAddress(kernel, "CreateThread");
    CHECK(found != NULL);
    if (found != NULL) {
        CreateThreadFunction create = (CreateThreadFunction)(void (*)(void))found;
        HANDLE t = create(NULL, 0, returnsSeven, NULL, CREATE_SUSPENDED, NULL);
        DWORD code = 0;
        CHECK(t != NULL && ResumeThread(t) == 1);
        CHECK(WaitForSingleObject(t, 5000) == WAIT_OBJECT_0);
        CHECK(GetExitCodeThread(t, &code) && code == 7);
        CloseHandle(t);
    }
    SetLastError(0);
    CHECK(GetModuleHandleA("no-such-module.dll") == NULL && GetLastError() == ERROR_MOD_NOT_FOUND);

    __try {
        order = order * 10 + 1;
    } __finally {
        order = order * 10 + 2;
    }
    CHECK(order == 12);
    __try {
        order = order * 10 + 3;
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        order = 0; /* no exception: the handler never runs */
    }
    CHECK(order == 123);
}

int _tmain(int argc, _TCHAR* argv[]) {
    CHECK(argc >= 1 && argv[0] != NULL && wcslen(argv[0]) > 0);
    checkInterface();
    runEventPattern();
    if (failures == 0) {
        printf("ported C program: all checks held\n");
    }
    return failures == 0 ? 0 : 1;
}
