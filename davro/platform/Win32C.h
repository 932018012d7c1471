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
 * Every constant is defined only where the program has not defined it already. */
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
#ifndef MAX_PATH
#define MAX_PATH 260
#endif
#ifndef MAXDWORD
#define MAXDWORD 0xFFFFFFFFU
#endif
#ifndef MAXLONG
#define MAXLONG 0x7FFFFFFF
#endif
#ifndef MAXBYTE
#define MAXBYTE 0xFF
#endif
#ifndef MAXWORD
#define MAXWORD 0xFFFF
#endif
#ifndef S_OK
#define S_OK ((HRESULT)0)
#endif
#ifndef S_FALSE
#define S_FALSE ((HRESULT)1)
#endif
#ifndef E_FAIL
#define E_FAIL ((HRESULT)0x80004005L)
#endif
#ifndef E_NOTIMPL
#define E_NOTIMPL ((HRESULT)0x80004001L)
#endif
#ifndef E_OUTOFMEMORY
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#endif
#ifndef E_INVALIDARG
#define E_INVALIDARG ((HRESULT)0x80070057L)
#endif
#ifndef E_ABORT
#define E_ABORT ((HRESULT)0x80004004L)
#endif
#ifndef E_ACCESSDENIED
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#endif
#ifndef E_UNEXPECTED
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#endif
#ifndef FACILITY_WIN32
#define FACILITY_WIN32 7
#endif
#ifndef INFINITE
#define INFINITE 0xFFFFFFFFU
#endif
#ifndef MAXIMUM_WAIT_OBJECTS
#define MAXIMUM_WAIT_OBJECTS 64
#endif
#ifndef WAIT_OBJECT_0
#define WAIT_OBJECT_0 0x00000000U
#endif
#ifndef WAIT_ABANDONED
#define WAIT_ABANDONED 0x00000080U
#endif
#ifndef WAIT_ABANDONED_0
#define WAIT_ABANDONED_0 0x00000080U
#endif
#ifndef WAIT_TIMEOUT
#define WAIT_TIMEOUT 0x00000102U
#endif
#ifndef WAIT_FAILED
#define WAIT_FAILED 0xFFFFFFFFU
#endif
#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0
#endif
#ifndef ERROR_FILE_NOT_FOUND
#define ERROR_FILE_NOT_FOUND 2
#endif
#ifndef ERROR_ACCESS_DENIED
#define ERROR_ACCESS_DENIED 5
#endif
#ifndef ERROR_INVALID_HANDLE
#define ERROR_INVALID_HANDLE 6
#endif
#ifndef ERROR_NOT_ENOUGH_MEMORY
#define ERROR_NOT_ENOUGH_MEMORY 8
#endif
#ifndef ERROR_NOT_SUPPORTED
#define ERROR_NOT_SUPPORTED 50
#endif
#ifndef ERROR_INVALID_PARAMETER
#define ERROR_INVALID_PARAMETER 87
#endif
#ifndef ERROR_INSUFFICIENT_BUFFER
#define ERROR_INSUFFICIENT_BUFFER 122
#endif
#ifndef ERROR_INVALID_NAME
#define ERROR_INVALID_NAME 123
#endif
#ifndef ERROR_MOD_NOT_FOUND
#define ERROR_MOD_NOT_FOUND 126
#endif
#ifndef ERROR_PROC_NOT_FOUND
#define ERROR_PROC_NOT_FOUND 127
#endif
#ifndef ERROR_BAD_PATHNAME
#define ERROR_BAD_PATHNAME 161
#endif
#ifndef ERROR_ALREADY_EXISTS
#define ERROR_ALREADY_EXISTS 183
#endif
#ifndef ERROR_FILENAME_EXCED_RANGE
#define ERROR_FILENAME_EXCED_RANGE 206
#endif
#ifndef ERROR_MORE_DATA
#define ERROR_MORE_DATA 234
#endif
#ifndef ERROR_NOT_OWNER
#define ERROR_NOT_OWNER 288
#endif
#ifndef ERROR_TOO_MANY_POSTS
#define ERROR_TOO_MANY_POSTS 298
#endif
#ifndef ERROR_TOO_MANY_THREADS
#define ERROR_TOO_MANY_THREADS 565
#endif
#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004
#endif
#ifndef ERROR_FILE_INVALID
#define ERROR_FILE_INVALID 1006
#endif
#ifndef ERROR_INVALID_WINDOW_HANDLE
#define ERROR_INVALID_WINDOW_HANDLE 1400
#endif
#ifndef ERROR_CANNOT_FIND_WND_CLASS
#define ERROR_CANNOT_FIND_WND_CLASS 1407
#endif
#ifndef ERROR_CLASS_ALREADY_EXISTS
#define ERROR_CLASS_ALREADY_EXISTS 1410
#endif
#ifndef ERROR_CLASS_DOES_NOT_EXIST
#define ERROR_CLASS_DOES_NOT_EXIST 1411
#endif
#ifndef ERROR_CLASS_HAS_WINDOWS
#define ERROR_CLASS_HAS_WINDOWS 1412
#endif
#ifndef ERROR_INVALID_INDEX
#define ERROR_INVALID_INDEX 1413
#endif
#ifndef ERROR_INVALID_THREAD_ID
#define ERROR_INVALID_THREAD_ID 1444
#endif
#ifndef ERROR_OBJECT_NOT_FOUND
#define ERROR_OBJECT_NOT_FOUND 4312
#endif
#ifndef DUPLICATE_CLOSE_SOURCE
#define DUPLICATE_CLOSE_SOURCE 0x00000001U
#endif
#ifndef DUPLICATE_SAME_ACCESS
#define DUPLICATE_SAME_ACCESS 0x00000002U
#endif
#ifndef DELETE
#define DELETE 0x00010000U
#endif
#ifndef READ_CONTROL
#define READ_CONTROL 0x00020000U
#endif
#ifndef WRITE_DAC
#define WRITE_DAC 0x00040000U
#endif
#ifndef WRITE_OWNER
#define WRITE_OWNER 0x00080000U
#endif
#ifndef ACCESS_SYSTEM_SECURITY
#define ACCESS_SYSTEM_SECURITY 0x01000000U
#endif
#ifndef MAXIMUM_ALLOWED
#define MAXIMUM_ALLOWED 0x02000000U
#endif
#ifndef EVENT_QUERY_STATE
#define EVENT_QUERY_STATE 0x0001
#endif
#ifndef SEMAPHORE_QUERY_STATE
#define SEMAPHORE_QUERY_STATE 0x0001
#endif
#ifndef ERROR_PRIVILEGE_NOT_HELD
#define ERROR_PRIVILEGE_NOT_HELD 1314
#endif
#ifndef SYNCHRONIZE
#define SYNCHRONIZE 0x00100000U
#endif
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000U
#endif
#ifndef GENERIC_WRITE
#define GENERIC_WRITE 0x40000000U
#endif
#ifndef GENERIC_EXECUTE
#define GENERIC_EXECUTE 0x20000000U
#endif
#ifndef GENERIC_ALL
#define GENERIC_ALL 0x10000000U
#endif
#ifndef MUTEX_MODIFY_STATE
#define MUTEX_MODIFY_STATE 0x0001
#endif
#ifndef MUTEX_ALL_ACCESS
#define MUTEX_ALL_ACCESS 0x001F0001U
#endif
#ifndef EVENT_MODIFY_STATE
#define EVENT_MODIFY_STATE 0x0002
#endif
#ifndef EVENT_ALL_ACCESS
#define EVENT_ALL_ACCESS 0x001F0003U
#endif
#ifndef SEMAPHORE_MODIFY_STATE
#define SEMAPHORE_MODIFY_STATE 0x0002
#endif
#ifndef SEMAPHORE_ALL_ACCESS
#define SEMAPHORE_ALL_ACCESS 0x001F0003U
#endif
#ifndef CREATE_SUSPENDED
#define CREATE_SUSPENDED 0x00000004U
#endif
#ifndef STILL_ACTIVE
#define STILL_ACTIVE 259
#endif
#ifndef THREAD_PRIORITY_IDLE
#define THREAD_PRIORITY_IDLE (-15)
#endif
#ifndef THREAD_PRIORITY_LOWEST
#define THREAD_PRIORITY_LOWEST (-2)
#endif
#ifndef THREAD_PRIORITY_BELOW_NORMAL
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#endif
#ifndef THREAD_PRIORITY_NORMAL
#define THREAD_PRIORITY_NORMAL 0
#endif
#ifndef THREAD_PRIORITY_ABOVE_NORMAL
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#endif
#ifndef THREAD_PRIORITY_HIGHEST
#define THREAD_PRIORITY_HIGHEST 2
#endif
#ifndef THREAD_PRIORITY_TIME_CRITICAL
#define THREAD_PRIORITY_TIME_CRITICAL 15
#endif
#ifndef THREAD_PRIORITY_ERROR_RETURN
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF
#endif
#ifndef STACK_SIZE_PARAM_IS_A_RESERVATION
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000U
#endif
#ifndef THREAD_TERMINATE
#define THREAD_TERMINATE 0x0001
#endif
#ifndef THREAD_SUSPEND_RESUME
#define THREAD_SUSPEND_RESUME 0x0002
#endif
#ifndef THREAD_GET_CONTEXT
#define THREAD_GET_CONTEXT 0x0008
#endif
#ifndef THREAD_SET_CONTEXT
#define THREAD_SET_CONTEXT 0x0010
#endif
#ifndef THREAD_SET_INFORMATION
#define THREAD_SET_INFORMATION 0x0020
#endif
#ifndef THREAD_QUERY_INFORMATION
#define THREAD_QUERY_INFORMATION 0x0040
#endif
#ifndef THREAD_SET_LIMITED_INFORMATION
#define THREAD_SET_LIMITED_INFORMATION 0x0400
#endif
#ifndef THREAD_QUERY_LIMITED_INFORMATION
#define THREAD_QUERY_LIMITED_INFORMATION 0x0800
#endif
#ifndef THREAD_ALL_ACCESS
#define THREAD_ALL_ACCESS 0x001FFFFFU
#endif
#ifndef CRITICAL_SECTION_NO_DEBUG_INFO
#define CRITICAL_SECTION_NO_DEBUG_INFO 0x01000000U
#endif
#ifndef ALL_PROCESSOR_GROUPS
#define ALL_PROCESSOR_GROUPS 0xFFFF
#endif
#ifndef PROCESSOR_ARCHITECTURE_INTEL
#define PROCESSOR_ARCHITECTURE_INTEL 0
#endif
#ifndef PROCESSOR_ARCHITECTURE_ARM
#define PROCESSOR_ARCHITECTURE_ARM 5
#endif
#ifndef PROCESSOR_ARCHITECTURE_AMD64
#define PROCESSOR_ARCHITECTURE_AMD64 9
#endif
#ifndef PROCESSOR_ARCHITECTURE_ARM64
#define PROCESSOR_ARCHITECTURE_ARM64 12
#endif
#ifndef PROCESSOR_ARCHITECTURE_UNKNOWN
#define PROCESSOR_ARCHITECTURE_UNKNOWN 0xFFFF
#endif
#ifndef LOCALE_USER_DEFAULT
#define LOCALE_USER_DEFAULT 0x0400
#endif
#ifndef LOCALE_SYSTEM_DEFAULT
#define LOCALE_SYSTEM_DEFAULT 0x0800
#endif
#ifndef LOCALE_INVARIANT
#define LOCALE_INVARIANT 0x007F
#endif
#ifndef DATE_SHORTDATE
#define DATE_SHORTDATE 0x00000001U
#endif
#ifndef DATE_LONGDATE
#define DATE_LONGDATE 0x00000002U
#endif
#ifndef TIME_NOMINUTESORSECONDS
#define TIME_NOMINUTESORSECONDS 0x00000001U
#endif
#ifndef TIME_NOSECONDS
#define TIME_NOSECONDS 0x00000002U
#endif
#ifndef TIME_NOTIMEMARKER
#define TIME_NOTIMEMARKER 0x00000004U
#endif
#ifndef TIME_FORCE24HOURFORMAT
#define TIME_FORCE24HOURFORMAT 0x00000008U
#endif
#ifndef WM_NULL
#define WM_NULL 0x0000
#endif
#ifndef WM_CREATE
#define WM_CREATE 0x0001
#endif
#ifndef WM_DESTROY
#define WM_DESTROY 0x0002
#endif
#ifndef WM_CLOSE
#define WM_CLOSE 0x0010
#endif
#ifndef WM_QUIT
#define WM_QUIT 0x0012
#endif
#ifndef WM_NCCREATE
#define WM_NCCREATE 0x0081
#endif
#ifndef WM_NCDESTROY
#define WM_NCDESTROY 0x0082
#endif
#ifndef WM_TIMER
#define WM_TIMER 0x0113
#endif
#ifndef WM_USER
#define WM_USER 0x0400
#endif
#ifndef WM_APP
#define WM_APP 0x8000
#endif
#ifndef PM_NOREMOVE
#define PM_NOREMOVE 0x0000
#endif
#ifndef PM_REMOVE
#define PM_REMOVE 0x0001
#endif
#ifndef PM_NOYIELD
#define PM_NOYIELD 0x0002
#endif
#ifndef QS_KEY
#define QS_KEY 0x0001
#endif
#ifndef QS_MOUSEMOVE
#define QS_MOUSEMOVE 0x0002
#endif
#ifndef QS_MOUSEBUTTON
#define QS_MOUSEBUTTON 0x0004
#endif
#ifndef QS_POSTMESSAGE
#define QS_POSTMESSAGE 0x0008
#endif
#ifndef QS_TIMER
#define QS_TIMER 0x0010
#endif
#ifndef QS_PAINT
#define QS_PAINT 0x0020
#endif
#ifndef QS_SENDMESSAGE
#define QS_SENDMESSAGE 0x0040
#endif
#ifndef QS_HOTKEY
#define QS_HOTKEY 0x0080
#endif
#ifndef QS_ALLPOSTMESSAGE
#define QS_ALLPOSTMESSAGE 0x0100
#endif
#ifndef QS_RAWINPUT
#define QS_RAWINPUT 0x0400
#endif
#ifndef QS_TOUCH
#define QS_TOUCH 0x0800
#endif
#ifndef QS_POINTER
#define QS_POINTER 0x1000
#endif
#ifndef QS_MOUSE
#define QS_MOUSE (QS_MOUSEMOVE | QS_MOUSEBUTTON)
#endif
#ifndef QS_INPUT
#define QS_INPUT (QS_MOUSE | QS_KEY | QS_RAWINPUT | QS_TOUCH | QS_POINTER)
#endif
#ifndef QS_ALLEVENTS
#define QS_ALLEVENTS (QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY)
#endif
#ifndef QS_ALLINPUT
#define QS_ALLINPUT (QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY | QS_SENDMESSAGE)
#endif
#ifndef GWLP_WNDPROC
#define GWLP_WNDPROC (-4)
#endif
#ifndef GWLP_USERDATA
#define GWLP_USERDATA (-21)
#endif
#ifndef WCT_MAX_NODE_COUNT
#define WCT_MAX_NODE_COUNT 16
#endif
#ifndef WCT_OBJNAME_LENGTH
#define WCT_OBJNAME_LENGTH 128
#endif
#ifndef WCT_ASYNC_OPEN_FLAG
#define WCT_ASYNC_OPEN_FLAG 0x1
#endif
#ifndef WCT_OUT_OF_PROC_FLAG
#define WCT_OUT_OF_PROC_FLAG 0x1
#endif
#ifndef WCT_OUT_OF_PROC_COM_FLAG
#define WCT_OUT_OF_PROC_COM_FLAG 0x2
#endif
#ifndef WCT_OUT_OF_PROC_CS_FLAG
#define WCT_OUT_OF_PROC_CS_FLAG 0x4
#endif
#ifndef WCT_NETWORK_IO_FLAG
#define WCT_NETWORK_IO_FLAG 0x8
#endif

#ifndef LMEM_FIXED
#define LMEM_FIXED 0x0000
#endif
#ifndef LMEM_MOVEABLE
#define LMEM_MOVEABLE 0x0002
#endif
#ifndef LMEM_ZEROINIT
#define LMEM_ZEROINIT 0x0040
#endif
#ifndef LPTR
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
#endif
#ifndef ERROR_GEN_FAILURE
#define ERROR_GEN_FAILURE 31
#endif
#ifndef ERROR_NO_MORE_ITEMS
#define ERROR_NO_MORE_ITEMS 259
#endif
#ifndef ERROR_TIMEOUT
#define ERROR_TIMEOUT 1460
#endif
#ifndef SRWLOCK_INIT
#define SRWLOCK_INIT \
    { 0 }
#endif
#ifndef CONDITION_VARIABLE_INIT
#define CONDITION_VARIABLE_INIT \
    { 0 }
#endif
#ifndef CONDITION_VARIABLE_LOCKMODE_SHARED
#define CONDITION_VARIABLE_LOCKMODE_SHARED 0x1
#endif
#ifndef INIT_ONCE_STATIC_INIT
#define INIT_ONCE_STATIC_INIT \
    { 0 }
#endif
#ifndef INIT_ONCE_CHECK_ONLY
#define INIT_ONCE_CHECK_ONLY 0x1U
#endif
#ifndef INIT_ONCE_ASYNC
#define INIT_ONCE_ASYNC 0x2U
#endif
#ifndef INIT_ONCE_INIT_FAILED
#define INIT_ONCE_INIT_FAILED 0x4U
#endif
#ifndef INIT_ONCE_CTX_RESERVED_BITS
#define INIT_ONCE_CTX_RESERVED_BITS 2
#endif
#ifndef SYNCHRONIZATION_BARRIER_FLAGS_SPIN_ONLY
#define SYNCHRONIZATION_BARRIER_FLAGS_SPIN_ONLY 0x01
#endif
#ifndef SYNCHRONIZATION_BARRIER_FLAGS_BLOCK_ONLY
#define SYNCHRONIZATION_BARRIER_FLAGS_BLOCK_ONLY 0x02
#endif
#ifndef SYNCHRONIZATION_BARRIER_FLAGS_NO_DELETE
#define SYNCHRONIZATION_BARRIER_FLAGS_NO_DELETE 0x04
#endif
#ifndef MEMORY_ALLOCATION_ALIGNMENT
#define MEMORY_ALLOCATION_ALIGNMENT 16
#endif
#ifndef TLS_OUT_OF_INDEXES
#define TLS_OUT_OF_INDEXES 0xFFFFFFFFU
#endif
#ifndef TLS_MINIMUM_AVAILABLE
#define TLS_MINIMUM_AVAILABLE 64
#endif
#ifndef FLS_OUT_OF_INDEXES
#define FLS_OUT_OF_INDEXES 0xFFFFFFFFU
#endif
#ifndef FLS_MAXIMUM_AVAILABLE
#define FLS_MAXIMUM_AVAILABLE 4080
#endif

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
typedef struct _TP_CALLBACK_ENVIRON_V1 {
    TP_VERSION Version;
    PTP_POOL Pool;
    PTP_CLEANUP_GROUP CleanupGroup;
    PTP_CLEANUP_GROUP_CANCEL_CALLBACK CleanupGroupCancelCallback;
    PVOID RaceDll;
    struct _ACTIVATION_CONTEXT* ActivationContext;
    PTP_SIMPLE_CALLBACK FinalizationCallback;
    union {
        DWORD Flags;
        struct {
            DWORD LongFunction : 1;
            DWORD Persistent : 1;
            DWORD Private : 30;
        } s;
    } u;
} TP_CALLBACK_ENVIRON_V1, TP_CALLBACK_ENVIRON, *PTP_CALLBACK_ENVIRON;

/* Inline, as in Windows' headers. */
static inline void InitializeThreadpoolEnvironment(PTP_CALLBACK_ENVIRON environment) {
    static const TP_CALLBACK_ENVIRON fresh; /* all zero */
    *environment = fresh;
    environment->Version = 1;
}
static inline void SetThreadpoolCallbackPool(PTP_CALLBACK_ENVIRON environment, PTP_POOL pool) {
    environment->Pool = pool;
}
static inline void SetThreadpoolCallbackCleanupGroup(
    PTP_CALLBACK_ENVIRON environment, PTP_CLEANUP_GROUP group,
    PTP_CLEANUP_GROUP_CANCEL_CALLBACK cancelCallback) {
    environment->CleanupGroup = group;
    environment->CleanupGroupCancelCallback = cancelCallback;
}
static inline void SetThreadpoolCallbackRunsLong(PTP_CALLBACK_ENVIRON environment) {
    environment->u.s.LongFunction = 1;
}
static inline void DestroyThreadpoolEnvironment(PTP_CALLBACK_ENVIRON environment) {
    (void)environment;
}

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

/* Every function of the C interface, once: DAVRO_WIN32_C_FUNCTIONS(X) calls
 * X(result type, name, (parameters), (arguments)) for each. It declares them below; the
 * library defines them with it and finds them by name for GetProcAddress. */
#define DAVRO_WIN32_C_FUNCTIONS(X)                                                                 \
    /* errors */                                                                                   \
    X(DWORD, GetLastError, (void), ())                                                             \
    X(void, SetLastError, (DWORD error), (error))                                                  \
    /* handles and processes */                                                                    \
    X(BOOL, CloseHandle, (HANDLE object), (object))                                                \
    X(BOOL, DuplicateHandle,                                                                       \
      (HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target,                 \
       DWORD desiredAccess, BOOL inheritHandle, DWORD options),                                    \
      (sourceProcess, source, targetProcess, target, desiredAccess, inheritHandle, options))       \
    X(HANDLE, GetCurrentProcess, (void), ())                                                       \
    X(DWORD, GetCurrentProcessId, (void), ())                                                      \
    X(BOOL, GetExitCodeProcess, (HANDLE process, LPDWORD exitCode), (process, exitCode))           \
    X(void, ExitProcess, (UINT exitCode), (exitCode))                                              \
    /* local memory */                                                                             \
    X(HLOCAL, LocalAlloc, (UINT flags, SIZE_T bytes), (flags, bytes))                              \
    X(HLOCAL, LocalFree, (HLOCAL memory), (memory))                                                \
    /* kernel objects */                                                                           \
    X(HANDLE, CreateMutexW, (LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name),   \
      (attributes, initialOwner, name))                                                            \
    X(HANDLE, OpenMutexW, (DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name),                 \
      (desiredAccess, inheritHandle, name))                                                        \
    X(BOOL, ReleaseMutex, (HANDLE mutex), (mutex))                                                 \
    X(HANDLE, CreateEventW,                                                                        \
      (LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name),       \
      (attributes, manualReset, initialState, name))                                               \
    X(BOOL, SetEvent, (HANDLE event), (event))                                                     \
    X(BOOL, ResetEvent, (HANDLE event), (event))                                                   \
    X(HANDLE, CreateSemaphoreW,                                                                    \
      (LPSECURITY_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount, LPCWSTR name),      \
      (attributes, initialCount, maximumCount, name))                                              \
    X(BOOL, ReleaseSemaphore, (HANDLE semaphore, LONG releaseCount, LPLONG previousCount),         \
      (semaphore, releaseCount, previousCount))                                                    \
    X(HANDLE, OpenEventW, (DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name),                 \
      (desiredAccess, inheritHandle, name))                                                        \
    X(HANDLE, OpenSemaphoreW, (DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name),             \
      (desiredAccess, inheritHandle, name))                                                        \
    X(HANDLE, CreateMutexA, (LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name),    \
      (attributes, initialOwner, name))                                                            \
    X(HANDLE, OpenMutexA, (DWORD desiredAccess, BOOL inheritHandle, LPCSTR name),                  \
      (desiredAccess, inheritHandle, name))                                                        \
    X(HANDLE, CreateEventA,                                                                        \
      (LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name),        \
      (attributes, manualReset, initialState, name))                                               \
    X(HANDLE, OpenEventA, (DWORD desiredAccess, BOOL inheritHandle, LPCSTR name),                  \
      (desiredAccess, inheritHandle, name))                                                        \
    X(HANDLE, CreateSemaphoreA,                                                                    \
      (LPSECURITY_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount, LPCSTR name),       \
      (attributes, initialCount, maximumCount, name))                                              \
    X(HANDLE, OpenSemaphoreA, (DWORD desiredAccess, BOOL inheritHandle, LPCSTR name),              \
      (desiredAccess, inheritHandle, name))                                                        \
    /* waits */                                                                                    \
    X(DWORD, WaitForSingleObject, (HANDLE object, DWORD milliseconds), (object, milliseconds))     \
    X(DWORD, WaitForMultipleObjects,                                                               \
      (DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds),                      \
      (count, handles, waitAll, milliseconds))                                                     \
    X(DWORD, MsgWaitForMultipleObjects,                                                            \
      (DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds, DWORD wakeMask),      \
      (count, handles, waitAll, milliseconds, wakeMask))                                           \
    X(void, Sleep, (DWORD milliseconds), (milliseconds))                                           \
    /* critical sections */                                                                        \
    X(void, InitializeCriticalSection, (LPCRITICAL_SECTION section), (section))                    \
    X(BOOL, InitializeCriticalSectionAndSpinCount, (LPCRITICAL_SECTION section, DWORD spins),      \
      (section, spins))                                                                            \
    X(BOOL, InitializeCriticalSectionEx, (LPCRITICAL_SECTION section, DWORD spins, DWORD flags),   \
      (section, spins, flags))                                                                     \
    X(DWORD, SetCriticalSectionSpinCount, (LPCRITICAL_SECTION section, DWORD spins),               \
      (section, spins))                                                                            \
    X(void, EnterCriticalSection, (LPCRITICAL_SECTION section), (section))                         \
    X(BOOL, TryEnterCriticalSection, (LPCRITICAL_SECTION section), (section))                      \
    X(void, LeaveCriticalSection, (LPCRITICAL_SECTION section), (section))                         \
    X(void, DeleteCriticalSection, (LPCRITICAL_SECTION section), (section))                        \
    /* threads */                                                                                  \
    X(uintptr_t, _beginthreadex,                                                                   \
      (void* security, unsigned stackSize, _beginthreadex_proc_type startAddress, void* argument,  \
       unsigned initFlag, unsigned* threadId),                                                     \
      (security, stackSize, startAddress, argument, initFlag, threadId))                           \
    X(void, _endthreadex, (unsigned exitCode), (exitCode))                                         \
    X(HANDLE, CreateThread,                                                                        \
      (LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE startAddress,    \
       LPVOID parameter, DWORD creationFlags, LPDWORD threadId),                                   \
      (attributes, stackSize, startAddress, parameter, creationFlags, threadId))                   \
    X(void, ExitThread, (DWORD exitCode), (exitCode))                                              \
    X(HANDLE, OpenThread, (DWORD desiredAccess, BOOL inheritHandle, DWORD threadId),               \
      (desiredAccess, inheritHandle, threadId))                                                    \
    X(DWORD, GetCurrentThreadId, (void), ())                                                       \
    X(HANDLE, GetCurrentThread, (void), ())                                                        \
    X(DWORD, GetThreadId, (HANDLE thread), (thread))                                               \
    X(BOOL, SwitchToThread, (void), ())                                                            \
    X(DWORD, ResumeThread, (HANDLE thread), (thread))                                              \
    X(DWORD, SuspendThread, (HANDLE thread), (thread))                                             \
    X(BOOL, SetThreadPriority, (HANDLE thread, int priority), (thread, priority))                  \
    X(int, GetThreadPriority, (HANDLE thread), (thread))                                           \
    X(BOOL, TerminateThread, (HANDLE thread, DWORD exitCode), (thread, exitCode))                  \
    X(BOOL, GetExitCodeThread, (HANDLE thread, LPDWORD exitCode), (thread, exitCode))              \
    /* slim reader/writer locks */                                                                 \
    X(void, InitializeSRWLock, (PSRWLOCK lock), (lock))                                            \
    X(void, AcquireSRWLockExclusive, (PSRWLOCK lock), (lock))                                      \
    X(void, AcquireSRWLockShared, (PSRWLOCK lock), (lock))                                         \
    X(void, ReleaseSRWLockExclusive, (PSRWLOCK lock), (lock))                                      \
    X(void, ReleaseSRWLockShared, (PSRWLOCK lock), (lock))                                         \
    X(BOOLEAN, TryAcquireSRWLockExclusive, (PSRWLOCK lock), (lock))                                \
    X(BOOLEAN, TryAcquireSRWLockShared, (PSRWLOCK lock), (lock))                                   \
    /* condition variables */                                                                      \
    X(void, InitializeConditionVariable, (PCONDITION_VARIABLE condition), (condition))             \
    X(BOOL, SleepConditionVariableCS,                                                              \
      (PCONDITION_VARIABLE condition, PCRITICAL_SECTION section, DWORD milliseconds),              \
      (condition, section, milliseconds))                                                          \
    X(BOOL, SleepConditionVariableSRW,                                                             \
      (PCONDITION_VARIABLE condition, PSRWLOCK lock, DWORD milliseconds, ULONG flags),             \
      (condition, lock, milliseconds, flags))                                                      \
    X(void, WakeConditionVariable, (PCONDITION_VARIABLE condition), (condition))                   \
    X(void, WakeAllConditionVariable, (PCONDITION_VARIABLE condition), (condition))                \
    /* one-time initialisation */                                                                  \
    X(void, InitOnceInitialize, (PINIT_ONCE initOnce), (initOnce))                                 \
    X(BOOL, InitOnceExecuteOnce,                                                                   \
      (PINIT_ONCE initOnce, PINIT_ONCE_FN function, PVOID parameter, LPVOID * context),            \
      (initOnce, function, parameter, context))                                                    \
    X(BOOL, InitOnceBeginInitialize,                                                               \
      (LPINIT_ONCE initOnce, DWORD flags, PBOOL pending, LPVOID * context),                        \
      (initOnce, flags, pending, context))                                                         \
    X(BOOL, InitOnceComplete, (LPINIT_ONCE initOnce, DWORD flags, LPVOID context),                 \
      (initOnce, flags, context))                                                                  \
    /* waits on addresses */                                                                       \
    X(BOOL, WaitOnAddress,                                                                         \
      (volatile VOID * address, PVOID compareAddress, SIZE_T size, DWORD milliseconds),            \
      (address, compareAddress, size, milliseconds))                                               \
    X(void, WakeByAddressSingle, (PVOID address), (address))                                       \
    X(void, WakeByAddressAll, (PVOID address), (address))                                          \
    /* synchronisation barriers */                                                                 \
    X(BOOL, InitializeSynchronizationBarrier,                                                      \
      (LPSYNCHRONIZATION_BARRIER barrier, LONG totalThreads, LONG spinCount),                      \
      (barrier, totalThreads, spinCount))                                                          \
    X(BOOL, EnterSynchronizationBarrier, (LPSYNCHRONIZATION_BARRIER barrier, DWORD flags),         \
      (barrier, flags))                                                                            \
    X(BOOL, DeleteSynchronizationBarrier, (LPSYNCHRONIZATION_BARRIER barrier), (barrier))          \
    /* interlocked singly linked lists */                                                          \
    X(void, InitializeSListHead, (PSLIST_HEADER head), (head))                                     \
    X(PSLIST_ENTRY, InterlockedPushEntrySList, (PSLIST_HEADER head, PSLIST_ENTRY entry),           \
      (head, entry))                                                                               \
    X(PSLIST_ENTRY, InterlockedPopEntrySList, (PSLIST_HEADER head), (head))                        \
    X(PSLIST_ENTRY, InterlockedFlushSList, (PSLIST_HEADER head), (head))                           \
    X(USHORT, QueryDepthSList, (PSLIST_HEADER head), (head))                                       \
    /* thread-local and fiber-local storage */                                                     \
    X(DWORD, TlsAlloc, (void), ())                                                                 \
    X(BOOL, TlsFree, (DWORD index), (index))                                                       \
    X(LPVOID, TlsGetValue, (DWORD index), (index))                                                 \
    X(BOOL, TlsSetValue, (DWORD index, LPVOID value), (index, value))                              \
    X(DWORD, FlsAlloc, (PFLS_CALLBACK_FUNCTION callback), (callback))                              \
    X(BOOL, FlsFree, (DWORD index), (index))                                                       \
    X(PVOID, FlsGetValue, (DWORD index), (index))                                                  \
    X(BOOL, FlsSetValue, (DWORD index, PVOID data), (index, data))                                 \
    /* processors and the system */                                                                \
    X(DWORD_PTR, SetThreadAffinityMask, (HANDLE thread, DWORD_PTR mask), (thread, mask))           \
    X(BOOL, GetProcessAffinityMask,                                                                \
      (HANDLE process, PDWORD_PTR processMask, PDWORD_PTR systemMask),                             \
      (process, processMask, systemMask))                                                          \
    X(BOOL, SetProcessAffinityMask, (HANDLE process, DWORD_PTR mask), (process, mask))             \
    X(void, GetSystemInfo, (LPSYSTEM_INFO info), (info))                                           \
    X(void, GetNativeSystemInfo, (LPSYSTEM_INFO info), (info))                                     \
    X(DWORD, GetActiveProcessorCount, (WORD group), (group))                                       \
    /* wait chain traversal */                                                                     \
    X(HWCT, OpenThreadWaitChainSession, (DWORD flags, PWAITCHAINCALLBACK callback),                \
      (flags, callback))                                                                           \
    X(void, CloseThreadWaitChainSession, (HWCT session), (session))                                \
    X(BOOL, GetThreadWaitChain,                                                                    \
      (HWCT session, DWORD_PTR context, DWORD flags, DWORD threadId, LPDWORD nodeCount,            \
       PWAITCHAIN_NODE_INFO nodes, LPBOOL isCycle),                                                \
      (session, context, flags, threadId, nodeCount, nodes, isCycle))                              \
    /* message queue and message-only windows */                                                   \
    X(BOOL, PeekMessageW,                                                                          \
      (LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage),            \
      (message, window, filterMin, filterMax, removeMessage))                                      \
    X(BOOL, GetMessageW, (LPMSG message, HWND window, UINT filterMin, UINT filterMax),             \
      (message, window, filterMin, filterMax))                                                     \
    X(BOOL, TranslateMessage, (const MSG* message), (message))                                     \
    X(LRESULT, DispatchMessageW, (const MSG* message), (message))                                  \
    X(BOOL, PostThreadMessageW, (DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam),      \
      (threadId, message, wParam, lParam))                                                         \
    X(BOOL, PostMessageW, (HWND window, UINT message, WPARAM wParam, LPARAM lParam),               \
      (window, message, wParam, lParam))                                                           \
    X(LRESULT, SendMessageW, (HWND window, UINT message, WPARAM wParam, LPARAM lParam),            \
      (window, message, wParam, lParam))                                                           \
    X(void, PostQuitMessage, (int exitCode), (exitCode))                                           \
    X(ATOM, RegisterClassW, (const WNDCLASSW* windowClass), (windowClass))                         \
    X(BOOL, UnregisterClassW, (LPCWSTR className, HINSTANCE instance), (className, instance))      \
    X(HWND, CreateWindowExW,                                                                       \
      (DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int width, \
       int height, HWND parent, HMENU menu, HINSTANCE instance, void* param),                      \
      (exStyle, className, windowName, style, x, y, width, height, parent, menu, instance, param)) \
    X(BOOL, DestroyWindow, (HWND window), (window))                                                \
    X(LRESULT, DefWindowProcW, (HWND window, UINT message, WPARAM wParam, LPARAM lParam),          \
      (window, message, wParam, lParam))                                                           \
    X(LONG_PTR, SetWindowLongPtrW, (HWND window, int index, LONG_PTR value),                       \
      (window, index, value))                                                                      \
    X(LONG_PTR, GetWindowLongPtrW, (HWND window, int index), (window, index))                      \
    X(BOOL, PeekMessageA,                                                                          \
      (LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage),            \
      (message, window, filterMin, filterMax, removeMessage))                                      \
    X(BOOL, GetMessageA, (LPMSG message, HWND window, UINT filterMin, UINT filterMax),             \
      (message, window, filterMin, filterMax))                                                     \
    X(LRESULT, DispatchMessageA, (const MSG* message), (message))                                  \
    X(BOOL, PostThreadMessageA, (DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam),      \
      (threadId, message, wParam, lParam))                                                         \
    X(BOOL, PostMessageA, (HWND window, UINT message, WPARAM wParam, LPARAM lParam),               \
      (window, message, wParam, lParam))                                                           \
    X(LRESULT, SendMessageA, (HWND window, UINT message, WPARAM wParam, LPARAM lParam),            \
      (window, message, wParam, lParam))                                                           \
    X(LRESULT, DefWindowProcA, (HWND window, UINT message, WPARAM wParam, LPARAM lParam),          \
      (window, message, wParam, lParam))                                                           \
    X(LONG_PTR, SetWindowLongPtrA, (HWND window, int index, LONG_PTR value),                       \
      (window, index, value))                                                                      \
    X(LONG_PTR, GetWindowLongPtrA, (HWND window, int index), (window, index))                      \
    /* modules */                                                                                  \
    X(HMODULE, GetModuleHandleW, (LPCWSTR moduleName), (moduleName))                               \
    X(HMODULE, GetModuleHandleA, (LPCSTR moduleName), (moduleName))                                \
    X(FARPROC, GetProcAddress, (HMODULE module, LPCSTR procName), (module, procName))              \
    /* time */                                                                                     \
    X(void, GetSystemTime, (LPSYSTEMTIME systemTime), (systemTime))                                \
    X(void, GetLocalTime, (LPSYSTEMTIME systemTime), (systemTime))                                 \
    X(void, GetSystemTimeAsFileTime, (LPFILETIME fileTime), (fileTime))                            \
    X(BOOL, SystemTimeToFileTime, (const SYSTEMTIME* systemTime, LPFILETIME fileTime),             \
      (systemTime, fileTime))                                                                      \
    X(BOOL, FileTimeToSystemTime, (const FILETIME* fileTime, LPSYSTEMTIME systemTime),             \
      (fileTime, systemTime))                                                                      \
    X(BOOL, FileTimeToLocalFileTime, (const FILETIME* fileTime, LPFILETIME localFileTime),         \
      (fileTime, localFileTime))                                                                   \
    X(BOOL, LocalFileTimeToFileTime, (const FILETIME* localFileTime, LPFILETIME fileTime),         \
      (localFileTime, fileTime))                                                                   \
    X(LONG, CompareFileTime, (const FILETIME* first, const FILETIME* second), (first, second))     \
    X(DWORD, GetTickCount, (void), ())                                                             \
    X(ULONGLONG, GetTickCount64, (void), ())                                                       \
    /* locale */                                                                                   \
    X(int, GetDateFormatW,                                                                         \
      (LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR format, LPWSTR text, int size),   \
      (locale, flags, date, format, text, size))                                                   \
    X(int, GetTimeFormatW,                                                                         \
      (LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR format, LPWSTR text, int size),   \
      (locale, flags, time, format, text, size))                                                   \
    X(int, GetDateFormatA,                                                                         \
      (LCID locale, DWORD flags, const SYSTEMTIME* date, LPCSTR format, LPSTR text, int size),     \
      (locale, flags, date, format, text, size))                                                   \
    X(int, GetTimeFormatA,                                                                         \
      (LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR format, LPSTR text, int size),     \
      (locale, flags, time, format, text, size))                                                   \
    /* waitable timers, APCs and alertable waits */                                                \
    X(DWORD, SleepEx, (DWORD milliseconds, BOOL alertable), (milliseconds, alertable))             \
    X(DWORD, WaitForSingleObjectEx, (HANDLE object, DWORD milliseconds, BOOL alertable),           \
      (object, milliseconds, alertable))                                                           \
    X(DWORD, WaitForMultipleObjectsEx,                                                             \
      (DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds, BOOL alertable),      \
      (count, handles, waitAll, milliseconds, alertable))                                          \
    X(DWORD, MsgWaitForMultipleObjectsEx,                                                          \
      (DWORD count, const HANDLE* handles, DWORD milliseconds, DWORD wakeMask, DWORD flags),       \
      (count, handles, milliseconds, wakeMask, flags))                                             \
    X(DWORD, QueueUserAPC, (PAPCFUNC apc, HANDLE thread, ULONG_PTR data), (apc, thread, data))     \
    X(DWORD, SignalObjectAndWait,                                                                  \
      (HANDLE signal, HANDLE waitOn, DWORD milliseconds, BOOL alertable),                          \
      (signal, waitOn, milliseconds, alertable))                                                   \
    X(BOOL, PulseEvent, (HANDLE event), (event))                                                   \
    X(HANDLE, CreateWaitableTimerW,                                                                \
      (LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, LPCWSTR name),                          \
      (attributes, manualReset, name))                                                             \
    X(HANDLE, CreateWaitableTimerA,                                                                \
      (LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, LPCSTR name),                           \
      (attributes, manualReset, name))                                                             \
    X(HANDLE, CreateWaitableTimerExW,                                                              \
      (LPSECURITY_ATTRIBUTES attributes, LPCWSTR name, DWORD flags, DWORD desiredAccess),          \
      (attributes, name, flags, desiredAccess))                                                    \
    X(HANDLE, CreateWaitableTimerExA,                                                              \
      (LPSECURITY_ATTRIBUTES attributes, LPCSTR name, DWORD flags, DWORD desiredAccess),           \
      (attributes, name, flags, desiredAccess))                                                    \
    X(HANDLE, OpenWaitableTimerW, (DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name),         \
      (desiredAccess, inheritHandle, name))                                                        \
    X(HANDLE, OpenWaitableTimerA, (DWORD desiredAccess, BOOL inheritHandle, LPCSTR name),          \
      (desiredAccess, inheritHandle, name))                                                        \
    X(BOOL, SetWaitableTimer,                                                                      \
      (HANDLE timer, const LARGE_INTEGER* dueTime, LONG period, PTIMERAPCROUTINE routine,          \
       LPVOID argument, BOOL resume),                                                              \
      (timer, dueTime, period, routine, argument, resume))                                         \
    X(BOOL, SetWaitableTimerEx,                                                                    \
      (HANDLE timer, const LARGE_INTEGER* dueTime, LONG period, PTIMERAPCROUTINE routine,          \
       LPVOID argument, PREASON_CONTEXT wakeContext, ULONG tolerableDelay),                        \
      (timer, dueTime, period, routine, argument, wakeContext, tolerableDelay))                    \
    X(BOOL, CancelWaitableTimer, (HANDLE timer), (timer))                                          \
    /* the thread pool, timer queues and registered waits */                                       \
    X(PTP_POOL, CreateThreadpool, (PVOID reserved), (reserved))                                    \
    X(void, CloseThreadpool, (PTP_POOL pool), (pool))                                              \
    X(void, SetThreadpoolThreadMaximum, (PTP_POOL pool, DWORD most), (pool, most))                 \
    X(BOOL, SetThreadpoolThreadMinimum, (PTP_POOL pool, DWORD least), (pool, least))               \
    X(PTP_CLEANUP_GROUP, CreateThreadpoolCleanupGroup, (void), ())                                 \
    X(void, CloseThreadpoolCleanupGroupMembers,                                                    \
      (PTP_CLEANUP_GROUP group, BOOL cancelPending, PVOID cleanupContext),                         \
      (group, cancelPending, cleanupContext))                                                      \
    X(void, CloseThreadpoolCleanupGroup, (PTP_CLEANUP_GROUP group), (group))                       \
    X(PTP_WORK, CreateThreadpoolWork,                                                              \
      (PTP_WORK_CALLBACK callback, PVOID context, PTP_CALLBACK_ENVIRON environment),               \
      (callback, context, environment))                                                            \
    X(void, SubmitThreadpoolWork, (PTP_WORK work), (work))                                         \
    X(void, WaitForThreadpoolWorkCallbacks, (PTP_WORK work, BOOL cancelPending),                   \
      (work, cancelPending))                                                                       \
    X(void, CloseThreadpoolWork, (PTP_WORK work), (work))                                          \
    X(BOOL, TrySubmitThreadpoolCallback,                                                           \
      (PTP_SIMPLE_CALLBACK callback, PVOID context, PTP_CALLBACK_ENVIRON environment),             \
      (callback, context, environment))                                                            \
    X(PTP_TIMER, CreateThreadpoolTimer,                                                            \
      (PTP_TIMER_CALLBACK callback, PVOID context, PTP_CALLBACK_ENVIRON environment),              \
      (callback, context, environment))                                                            \
    X(void, SetThreadpoolTimer, (PTP_TIMER timer, PFILETIME dueTime, DWORD period, DWORD window),  \
      (timer, dueTime, period, window))                                                            \
    X(BOOL, IsThreadpoolTimerSet, (PTP_TIMER timer), (timer))                                      \
    X(void, WaitForThreadpoolTimerCallbacks, (PTP_TIMER timer, BOOL cancelPending),                \
      (timer, cancelPending))                                                                      \
    X(void, CloseThreadpoolTimer, (PTP_TIMER timer), (timer))                                      \
    X(PTP_WAIT, CreateThreadpoolWait,                                                              \
      (PTP_WAIT_CALLBACK callback, PVOID context, PTP_CALLBACK_ENVIRON environment),               \
      (callback, context, environment))                                                            \
    X(void, SetThreadpoolWait, (PTP_WAIT wait, HANDLE object, PFILETIME timeout),                  \
      (wait, object, timeout))                                                                     \
    X(void, WaitForThreadpoolWaitCallbacks, (PTP_WAIT wait, BOOL cancelPending),                   \
      (wait, cancelPending))                                                                       \
    X(void, CloseThreadpoolWait, (PTP_WAIT wait), (wait))                                          \
    X(void, SetEventWhenCallbackReturns, (PTP_CALLBACK_INSTANCE instance, HANDLE event),           \
      (instance, event))                                                                           \
    X(void, ReleaseMutexWhenCallbackReturns, (PTP_CALLBACK_INSTANCE instance, HANDLE mutex),       \
      (instance, mutex))                                                                           \
    X(void, ReleaseSemaphoreWhenCallbackReturns,                                                   \
      (PTP_CALLBACK_INSTANCE instance, HANDLE semaphore, DWORD releaseCount),                      \
      (instance, semaphore, releaseCount))                                                         \
    X(void, LeaveCriticalSectionWhenCallbackReturns,                                               \
      (PTP_CALLBACK_INSTANCE instance, PCRITICAL_SECTION section), (instance, section))            \
    X(BOOL, CallbackMayRunLong, (PTP_CALLBACK_INSTANCE instance), (instance))                      \
    X(BOOL, QueueUserWorkItem, (LPTHREAD_START_ROUTINE function, PVOID context, ULONG flags),      \
      (function, context, flags))                                                                  \
    X(BOOL, RegisterWaitForSingleObject,                                                           \
      (PHANDLE newWaitObject, HANDLE object, WAITORTIMERCALLBACK callback, PVOID context,          \
       ULONG milliseconds, ULONG flags),                                                           \
      (newWaitObject, object, callback, context, milliseconds, flags))                             \
    X(BOOL, UnregisterWait, (HANDLE waitHandle), (waitHandle))                                     \
    X(BOOL, UnregisterWaitEx, (HANDLE waitHandle, HANDLE completionEvent),                         \
      (waitHandle, completionEvent))                                                               \
    X(HANDLE, CreateTimerQueue, (void), ())                                                        \
    X(BOOL, CreateTimerQueueTimer,                                                                 \
      (PHANDLE newTimer, HANDLE queue, WAITORTIMERCALLBACK callback, PVOID parameter,              \
       DWORD dueTime, DWORD period, ULONG flags),                                                  \
      (newTimer, queue, callback, parameter, dueTime, period, flags))                              \
    X(BOOL, ChangeTimerQueueTimer, (HANDLE queue, HANDLE timer, ULONG dueTime, ULONG period),      \
      (queue, timer, dueTime, period))                                                             \
    X(BOOL, DeleteTimerQueueTimer, (HANDLE queue, HANDLE timer, HANDLE completionEvent),           \
      (queue, timer, completionEvent))                                                             \
    X(BOOL, DeleteTimerQueueEx, (HANDLE queue, HANDLE completionEvent), (queue, completionEvent))  \
    X(BOOL, DeleteTimerQueue, (HANDLE queue), (queue))

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
