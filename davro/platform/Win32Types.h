// The types of the Win32 subset on Linux, in namespace davro::win32: the basic types with
// Win32's sizes (LLP64: LONG and DWORD are 32 bits), the structures with the layouts of
// 64-bit Windows, and the types, limits and HRESULT helpers that ported Windows code
// expects. Included by davro/platform/Win32.h, which declares the constants and functions
// over them; on Windows the names are <windows.h>'s own.
#pragma once

#include <davro/Export.h>

#if !DAVRO_WINDOWS

#include <cstddef>
#include <cstdint>

// The 64-bit integer type of the Windows compilers, used in YDateTime's signatures.
using __int64 = long long;  // NOLINT(bugprone-reserved-identifier)

// Macros of <windows.h> that declarations of ported code are written with.
#include <davro/platform/Win32Decl.h>

namespace davro::win32 {

// ---- Basic types, with Win32's sizes (LLP64: LONG and DWORD are 32 bits) ----
using BOOL = int;
using INT = int;
using UINT = unsigned int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = DWORD;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;

// Integers as wide as a pointer, and the message parameters and results held in them.
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using UINT_PTR = ULONG_PTR;
using DWORD_PTR = ULONG_PTR;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;

// Characters and texts, pointers to values, handles, locales and atoms.
using WCHAR = wchar_t;
using LPCWSTR = const wchar_t*;
using LPWSTR = wchar_t*;
using LPLONG = LONG*;
using LPDWORD = DWORD*;
using LPBOOL = BOOL*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using LPHANDLE = HANDLE*;
using LCID = DWORD;
using ATOM = WORD;

struct HWND__;  // NOLINT(bugprone-reserved-identifier): Win32's name
using HWND = HWND__*;
struct HINSTANCE__;  // NOLINT(bugprone-reserved-identifier)
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HMENU__;  // NOLINT(bugprone-reserved-identifier)
using HMENU = HMENU__*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// ---- Structures ----
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
using LPMSG = MSG*;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct WNDCLASSW {
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
};

struct CREATESTRUCTW {
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
};
using LPCREATESTRUCTW = CREATESTRUCTW*;

// A 64-bit signed integer, also seen as two 32-bit halves, named directly (an anonymous
// structure, a GCC and Clang extension that `__extension__` admits under -Wpedantic) and in
// `u`, as Win32 names them. Same size and layout as on Windows.
union LARGE_INTEGER {
    __extension__ struct {
        DWORD LowPart;
        LONG HighPart;
    };
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

// The unsigned twin of LARGE_INTEGER.
union ULARGE_INTEGER {
    __extension__ struct {
        DWORD LowPart;
        DWORD HighPart;
    };
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
};
using PULARGE_INTEGER = ULARGE_INTEGER*;

// ---- Types, values and macros that ported Windows code expects ----
// The library itself does not use them; a ported file finds them where <windows.h> has
// them. Function-like macros of Windows are constexpr functions here, so that they can be
// called unqualified after `using namespace davro::win32;` like the rest.
using CHAR = char;
using UCHAR = unsigned char;
using SHORT = short;
using USHORT = unsigned short;
using FLOAT = float;
using BOOLEAN = BYTE;
using INT_PTR = std::intptr_t;
using SIZE_T = std::size_t;
using SSIZE_T = std::intptr_t;
using LONG64 = std::int64_t;
using ULONG64 = std::uint64_t;
using DWORD64 = std::uint64_t;
using DWORDLONG = std::uint64_t;
using INT8 = std::int8_t;
using UINT8 = std::uint8_t;
using INT16 = std::int16_t;
using UINT16 = std::uint16_t;
using INT32 = std::int32_t;
using UINT32 = std::uint32_t;
using INT64 = std::int64_t;
using UINT64 = std::uint64_t;
using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using PCHAR = CHAR*;
using PUCHAR = UCHAR*;
using PSHORT = SHORT*;
using PUSHORT = USHORT*;
using PINT = INT*;
using LPINT = INT*;
using PUINT = UINT*;
using LPUINT = UINT*;
using PBOOL = BOOL*;
using PBOOLEAN = BOOLEAN*;
using PBYTE = BYTE*;
using LPBYTE = BYTE*;
using PWORD = WORD*;
using LPWORD = WORD*;
using PDWORD = DWORD*;
using PLONG = LONG*;
using PULONG = ULONG*;
using PLONGLONG = LONGLONG*;
using PULONGLONG = ULONGLONG*;
using PLONG_PTR = LONG_PTR*;
using PULONG_PTR = ULONG_PTR*;
using PDWORD_PTR = DWORD_PTR*;
using PSIZE_T = SIZE_T*;
using LPSTR = CHAR*;
using LPCSTR = const CHAR*;
using PSTR = CHAR*;
using PCSTR = const CHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using PWCHAR = WCHAR*;
using KAFFINITY = ULONG_PTR;
using PKAFFINITY = KAFFINITY*;
using HRESULT = LONG;
using FARPROC = INT_PTR (*)();

inline constexpr int MAX_PATH = 260;
inline constexpr DWORD MAXDWORD = 0xFFFFFFFF;
inline constexpr LONG MAXLONG = 0x7FFFFFFF;
inline constexpr int MAXBYTE = 0xFF;
inline constexpr int MAXWORD = 0xFFFF;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004);
inline constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
inline constexpr int FACILITY_WIN32 = 7;

// An HRESULT that carries a Win32 error: 0 (and every value that is already negative) as it
// is, otherwise the code in FACILITY_WIN32 with the failure bit set.
constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {  // NOLINT(readability-identifier-naming)
    return static_cast<HRESULT>(error) <= 0
               ? static_cast<HRESULT>(error)
               : static_cast<HRESULT>((error & 0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000);
}
constexpr bool SUCCEEDED(HRESULT result) { return result >= 0; }  // NOLINT
constexpr bool FAILED(HRESULT result) { return result < 0; }      // NOLINT
constexpr DWORD HRESULT_CODE(HRESULT result) {                    // NOLINT
    return static_cast<DWORD>(result) & 0xFFFF;
}
constexpr DWORD HRESULT_FACILITY(HRESULT result) {  // NOLINT
    return (static_cast<DWORD>(result) >> 16) & 0x1FFF;
}

// A process-private recursive lock. Same size as on 64-bit Windows; the contents are
// private to the implementation.
struct CRITICAL_SECTION {
    alignas(8) unsigned char opaque[40];
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;
using PCRITICAL_SECTION = CRITICAL_SECTION*;

// What GetSystemInfo reports of the machine. Same size and layout as on 64-bit Windows.
struct SYSTEM_INFO {
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
};
using LPSYSTEM_INFO = SYSTEM_INFO*;

// The routine of a thread started by CreateThread.
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
using PTHREAD_START_ROUTINE = LPTHREAD_START_ROUTINE;
// An asynchronous procedure call (QueueUserAPC) and a timer's completion routine, which gets
// the argument given to SetWaitableTimer and the UTC FILETIME at which the timer fired.
using PAPCFUNC = void (*)(ULONG_PTR);
using PTIMERAPCROUTINE = void (*)(LPVOID, DWORD, DWORD);
// SetWaitableTimerEx's wake context, accepted and not used (no power management here).
struct REASON_CONTEXT {
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
};
using PREASON_CONTEXT = REASON_CONTEXT*;

}  // namespace davro::win32

#endif  // !DAVRO_WINDOWS
