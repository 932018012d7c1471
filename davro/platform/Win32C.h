/* The Win32 subset for C callers: the functions of davro::win32 under their Win32 names with
 * C linkage, and Windows' C types and constants, on Linux.
 *
 * A ported C file includes this header (usually through the port header, davro/platform/port,
 * as <windows.h>) and calls CreateThread, WaitForSingleObject, EnterCriticalSection... as on
 * Windows; libdavro.so exports each of them as a plain C symbol that forwards to the function
 * of the same name in davro::win32, with the same behaviour (docs/platform.md). The types have
 * Windows' sizes and layouts (64-bit, LLP64: LONG and DWORD are 32 bits); wchar_t, the
 * character of the W functions, is 32 bits here.
 *
 * On Windows the real <windows.h> is included instead: kernel32 and user32 have the same
 * names. C++ code uses davro/platform/Win32.h; in C++ this header declares the C entry
 * points in namespace davro::win32::c (with C linkage all the same), so that they never
 * clash with the C++ functions that `using namespace davro::win32;` brings in.
 *
 * In C this header defines the types; the constants are in Win32CConstants.h, each defined
 * only where the program has not defined it already, and the list of functions, which the
 * library defines from too, in Win32CFunctions.h. */
#ifndef DAVRO_PLATFORM_WIN32C_H
#define DAVRO_PLATFORM_WIN32C_H

#include <davro/Export.h>

#if DAVRO_WINDOWS

#include <windows.h>

#elif defined(__cplusplus)

#include <davro/platform/Win32.h>

#else /* C */

#include <stddef.h>
#include <stdint.h>

/* ---- Types, with Win32's sizes ---- */
typedef int BOOL;
typedef int INT;
typedef unsigned int UINT;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef DWORD ULONG;
typedef int32_t LONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR UINT_PTR;
typedef ULONG_PTR DWORD_PTR;
typedef intptr_t INT_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef float FLOAT;
typedef BYTE BOOLEAN;
typedef size_t SIZE_T;
typedef intptr_t SSIZE_T;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef uint64_t DWORD64;
typedef uint64_t DWORDLONG;
typedef int8_t INT8;
typedef uint8_t UINT8;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef wchar_t WCHAR;
typedef LONG HRESULT;
typedef ULONG_PTR KAFFINITY;
typedef KAFFINITY* PKAFFINITY;
typedef DWORD LCID;
typedef WORD ATOM;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef HANDLE HLOCAL;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef CHAR* PCHAR;
typedef UCHAR* PUCHAR;
typedef SHORT* PSHORT;
typedef USHORT* PUSHORT;
typedef INT* PINT;
typedef INT* LPINT;
typedef UINT* PUINT;
typedef UINT* LPUINT;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef BOOLEAN* PBOOLEAN;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef WORD* PWORD;
typedef WORD* LPWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef LONG* LPLONG;
typedef ULONG* PULONG;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef LONG_PTR* PLONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef DWORD_PTR* PDWORD_PTR;
typedef SIZE_T* PSIZE_T;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef WCHAR* PWCHAR;
typedef INT_PTR (*FARPROC)(void);

typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HMENU__* HMENU;

/* ---- Structures: the layouts of 64-bit Windows ---- */
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *PPOINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *PMSG, *LPMSG;

typedef LRESULT (*WNDPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagWNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HANDLE hIcon;
    HANDLE hCursor;
    HANDLE hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
} WNDCLASSW, *PWNDCLASSW;

typedef struct tagCREATESTRUCTW {
    void* lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTW, *LPCREATESTRUCTW;

/* The halves by name need C11's anonymous structures; __extension__ admits them in C99. */
typedef union _LARGE_INTEGER {
    __extension__ struct {
        DWORD LowPart;
        LONG HighPart;
    };
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    __extension__ struct {
        DWORD LowPart;
        DWORD HighPart;
    };
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

/* Opaque: the contents are private to the implementation. */
typedef struct _CRITICAL_SECTION {
    unsigned char opaque[40] __attribute__((aligned(8)));
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

typedef struct _SYSTEM_INFO {
    __extension__ union {
        DWORD dwOemId;
        __extension__ struct {
            WORD wProcessorArchitecture;
            WORD wReserved;
        };
    };
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID);
typedef LPTHREAD_START_ROUTINE PTHREAD_START_ROUTINE;
typedef unsigned (*_beginthreadex_proc_type)(void*);

/* Wait chain traversal. */
typedef void* HWCT;
typedef enum _WCT_OBJECT_TYPE {
    WctCriticalSectionType = 1,
    WctSendMessageType,
    WctMutexType,
    WctAlpcType,
    WctComType,
    WctThreadWaitType,
    WctProcessWaitType,
    WctThreadType,
    WctComActivationType,
    WctUnknownType
} WCT_OBJECT_TYPE;
typedef enum _WCT_OBJECT_STATUS {
    WctStatusNoAccess = 1,
    WctStatusRunning,
    WctStatusBlocked,
    WctStatusPidOnly,
    WctStatusPidOnlyRpcss,
    WctStatusOwned,
    WctStatusNotOwned,
    WctStatusAbandoned,
    WctStatusUnknown,
    WctStatusError
} WCT_OBJECT_STATUS;
typedef struct _WAITCHAIN_NODE_INFO {
    WCT_OBJECT_TYPE ObjectType;
    WCT_OBJECT_STATUS ObjectStatus;
    __extension__ union {
        struct {
            WCHAR ObjectName[128];
            LARGE_INTEGER Timeout;
            BOOL Alertable;
        } LockObject;
        struct {
            DWORD ProcessId;
            DWORD ThreadId;
            DWORD WaitTime;
            DWORD ContextSwitches;
        } ThreadObject;
    };
} WAITCHAIN_NODE_INFO, *PWAITCHAIN_NODE_INFO;
typedef void (*PWAITCHAINCALLBACK)(HWCT, DWORD_PTR, DWORD, LPDWORD, PWAITCHAIN_NODE_INFO, LPBOOL);

/* ---- Slim synchronisation ----
 * The structures and the inline interlocked operations are the C++ ones, written once in
 * Win32SyncCommon.h; here are their C names and the pointer types. */
#include <davro/platform/Win32SyncCommon.h>

typedef struct SRWLOCK SRWLOCK, *PSRWLOCK;
typedef struct CONDITION_VARIABLE CONDITION_VARIABLE, *PCONDITION_VARIABLE;
typedef struct INIT_ONCE INIT_ONCE, *PINIT_ONCE, *LPINIT_ONCE;
typedef BOOL (*PINIT_ONCE_FN)(PINIT_ONCE initOnce, PVOID parameter, PVOID* context);
typedef struct SYNCHRONIZATION_BARRIER SYNCHRONIZATION_BARRIER, *PSYNCHRONIZATION_BARRIER,
    *LPSYNCHRONIZATION_BARRIER;
typedef struct SLIST_ENTRY SLIST_ENTRY, *PSLIST_ENTRY;
typedef struct SLIST_HEADER SLIST_HEADER, *PSLIST_HEADER;
typedef void (*PFLS_CALLBACK_FUNCTION)(PVOID data);

/* What 64-bit Windows has, as the C++ declarations have it (Win32Names.cpp checks those
 * against <windows.h>); C and C++ callers of the same library must agree. */
__extension__ _Static_assert(sizeof(SRWLOCK) == 8 && _Alignof(SRWLOCK) == 8, "SRWLOCK");
__extension__ _Static_assert(sizeof(CONDITION_VARIABLE) == 8 && _Alignof(CONDITION_VARIABLE) == 8,
                             "CONDITION_VARIABLE");
__extension__ _Static_assert(sizeof(INIT_ONCE) == 8 && _Alignof(INIT_ONCE) == 8, "INIT_ONCE");
__extension__ _Static_assert(sizeof(SYNCHRONIZATION_BARRIER) == 32, "SYNCHRONIZATION_BARRIER");
__extension__ _Static_assert(sizeof(SLIST_ENTRY) == 16 && _Alignof(SLIST_ENTRY) == 16,
                             "SLIST_ENTRY");
__extension__ _Static_assert(sizeof(SLIST_HEADER) == 16 && _Alignof(SLIST_HEADER) == 16,
                             "SLIST_HEADER");
__extension__ _Static_assert(sizeof(LONG) == 4 && sizeof(LONG64) == 8, "interlocked operands");

/* ---- Macros of declarations and results ---- */
#include <davro/platform/Win32Decl.h>
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef SUCCEEDED
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#endif
#ifndef FAILED
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#endif
#ifndef HRESULT_FROM_WIN32
#define HRESULT_FROM_WIN32(x) \
    ((HRESULT)(x) <= 0 ? (HRESULT)(x) : (HRESULT)(((x)&0x0000FFFF) | (7 << 16) | 0x80000000U))
#endif
#ifndef HRESULT_CODE
#define HRESULT_CODE(hr) ((hr)&0xFFFF)
#endif
#ifndef HRESULT_FACILITY
#define HRESULT_FACILITY(hr) (((hr) >> 16) & 0x1FFF)
#endif
#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#endif
#ifndef HWND_MESSAGE
#define HWND_MESSAGE ((HWND)(intptr_t)-3)
#endif

/* ---- Constants: the values of davro/platform/Win32.h ---- */
#include <davro/platform/Win32CConstants.h>

/* ---- Waitable timers, APCs and alertable waits ---- */
typedef void (*PAPCFUNC)(ULONG_PTR);
typedef void (*PTIMERAPCROUTINE)(LPVOID, DWORD, DWORD);
typedef struct _REASON_CONTEXT {
    ULONG Version;
    DWORD Flags;
    union {
        struct {
            HMODULE LocalizedReasonModule;
            ULONG LocalizedReasonId;
            ULONG ReasonStringCount;
            LPWSTR* ReasonStrings;
        } Detailed;
        LPWSTR SimpleReasonString;
    } Reason;
} REASON_CONTEXT, *PREASON_CONTEXT;
#ifndef WAIT_IO_COMPLETION
#define WAIT_IO_COMPLETION 0x000000C0U
#endif
#ifndef ERROR_NOACCESS
#define ERROR_NOACCESS 998U
#endif
#ifndef TIMER_QUERY_STATE
#define TIMER_QUERY_STATE 0x0001U
#endif
#ifndef TIMER_MODIFY_STATE
#define TIMER_MODIFY_STATE 0x0002U
#endif
#ifndef TIMER_ALL_ACCESS
#define TIMER_ALL_ACCESS 0x001F0003U
#endif
#ifndef CREATE_WAITABLE_TIMER_MANUAL_RESET
#define CREATE_WAITABLE_TIMER_MANUAL_RESET 0x00000001U
#endif
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002U
#endif
#ifndef MWMO_WAITALL
#define MWMO_WAITALL 0x0001U
#endif
#ifndef MWMO_ALERTABLE
#define MWMO_ALERTABLE 0x0002U
#endif
#ifndef MWMO_INPUTAVAILABLE
#define MWMO_INPUTAVAILABLE 0x0004U
#endif
/* ---- The thread pool, timer queues and registered waits ---- */
typedef struct _TP_POOL TP_POOL, *PTP_POOL;
typedef struct _TP_WORK TP_WORK, *PTP_WORK;
typedef struct _TP_TIMER TP_TIMER, *PTP_TIMER;
typedef struct _TP_WAIT TP_WAIT, *PTP_WAIT;
typedef struct _TP_CLEANUP_GROUP TP_CLEANUP_GROUP, *PTP_CLEANUP_GROUP;
typedef struct _TP_CALLBACK_INSTANCE TP_CALLBACK_INSTANCE, *PTP_CALLBACK_INSTANCE;
typedef DWORD TP_VERSION, *PTP_VERSION;
typedef DWORD TP_WAIT_RESULT;
typedef void (*PTP_SIMPLE_CALLBACK)(PTP_CALLBACK_INSTANCE, PVOID);
typedef void (*PTP_WORK_CALLBACK)(PTP_CALLBACK_INSTANCE, PVOID, PTP_WORK);
typedef void (*PTP_TIMER_CALLBACK)(PTP_CALLBACK_INSTANCE, PVOID, PTP_TIMER);
typedef void (*PTP_WAIT_CALLBACK)(PTP_CALLBACK_INSTANCE, PVOID, PTP_WAIT, TP_WAIT_RESULT);
typedef void (*PTP_CLEANUP_GROUP_CANCEL_CALLBACK)(PVOID, PVOID);
typedef void (*WAITORTIMERCALLBACKFUNC)(PVOID, BOOLEAN);
typedef WAITORTIMERCALLBACKFUNC WAITORTIMERCALLBACK;
/* The callback environment and its inline set-up, which C++ callers share. */
#include <davro/platform/Win32PoolCommon.h>
typedef struct TP_CALLBACK_ENVIRON_V1 TP_CALLBACK_ENVIRON_V1, TP_CALLBACK_ENVIRON,
    *PTP_CALLBACK_ENVIRON;

#ifndef ERROR_IO_PENDING
#define ERROR_IO_PENDING 997
#endif
#ifndef WT_EXECUTEDEFAULT
#define WT_EXECUTEDEFAULT 0x00000000U
#endif
#ifndef WT_EXECUTEINIOTHREAD
#define WT_EXECUTEINIOTHREAD 0x00000001U
#endif
#ifndef WT_EXECUTEINUITHREAD
#define WT_EXECUTEINUITHREAD 0x00000002U
#endif
#ifndef WT_EXECUTEINWAITTHREAD
#define WT_EXECUTEINWAITTHREAD 0x00000004U
#endif
#ifndef WT_EXECUTEONLYONCE
#define WT_EXECUTEONLYONCE 0x00000008U
#endif
#ifndef WT_EXECUTELONGFUNCTION
#define WT_EXECUTELONGFUNCTION 0x00000010U
#endif
#ifndef WT_EXECUTEINTIMERTHREAD
#define WT_EXECUTEINTIMERTHREAD 0x00000020U
#endif
#ifndef WT_EXECUTEINPERSISTENTIOTHREAD
#define WT_EXECUTEINPERSISTENTIOTHREAD 0x00000040U
#endif
#ifndef WT_EXECUTEINPERSISTENTTHREAD
#define WT_EXECUTEINPERSISTENTTHREAD 0x00000080U
#endif
#ifndef WT_TRANSFER_IMPERSONATION
#define WT_TRANSFER_IMPERSONATION 0x00000100U
#endif

#endif /* C */

#if !DAVRO_WINDOWS

/* Every function of the C interface, once (DAVRO_WIN32_C_FUNCTIONS). */
#include <davro/platform/Win32CFunctions.h>

#define DAVRO_WIN32_C_DECLARE(result, name, parameters, arguments) DAVRO_API result name parameters;

#ifdef __cplusplus
namespace davro::win32::c {
using namespace davro::win32;  // the types, for the declarations below
extern "C" {
#endif

DAVRO_WIN32_C_FUNCTIONS(DAVRO_WIN32_C_DECLARE)

#ifdef __cplusplus
}  // extern "C"
}  // namespace davro::win32::c
#endif

#endif /* !DAVRO_WINDOWS */

#endif /* DAVRO_PLATFORM_WIN32C_H */
