/* <windows.h> for Windows programs ported to Linux over davro's Win32 layer.
 *
 * Put this folder (davro/platform/port, installed as include/davro/platform/port) on the
 * include path, link libdavro, and a ported file's `#include <windows.h>` (or <Windows.h>,
 * <tchar.h>, <process.h>) finds this header, from C or C++:
 *   - C++: davro/platform/Win32.h, with its names in the global namespace
 *     (`using namespace davro::win32;`);
 *   - C: davro/platform/Win32C.h, the same functions with C linkage and Windows' C types;
 *   - both: TCHAR, TEXT, LPTSTR and the names without A or W (CreateEvent, GetMessage...)
 *     following UNICODE, and _T, _TCHAR, _tmain, _tprintf... following _UNICODE, as
 *     <windows.h> and <tchar.h> have them; ZeroMemory and the word macros (LOWORD,
 *     MAKELONG...); __try, __finally and __except.
 *
 * The program may define _WIN32 itself to select its Windows branches: the library decides
 * what it is compiled for by the compiler's own target macros (DAVRO_WINDOWS in
 * davro/Export.h), never by _WIN32. Nothing that the program or a Linux header has defined
 * already is defined again: each macro here is defined only where it is not.
 *
 * What differs from Windows, by design:
 *   - __try/__finally/__except are plain blocks: this compiler has no structured exceptions.
 *     `__try { A } __finally { B }` runs A then B, but B is skipped when A leaves by return,
 *     goto, break or a C++ exception; an __except block never runs. (In C++ with exceptions,
 *     __try is `try`, as the C++ library defines it, and __finally and __except rethrow.)
 *   - With _UNICODE, _tmain is wmain: the main of the static library davro_wmain (which
 *     davro::port links; the linker takes it only for a program without a main of its own)
 *     converts the arguments from UTF-8 and calls it. _tprintf and its family read formats
 *     as Windows' wide printf does (%s wide) and write UTF-8, so that printf and _tprintf
 *     mix on one stream; wprintf itself is the C library's, whose %s takes a char string
 *     (Windows' takes a wide one; write %ls), and a stream written with both printf and
 *     wprintf loses the second kind of output on Linux.
 *   - wchar_t (WCHAR) is 32 bits wide.
 *   - Window classes and windows have W calls only (RegisterClassW, CreateWindowExW): without
 *     UNICODE, RegisterClass and CreateWindowEx name A calls that do not exist here.
 *   - There are no min and max macros (as with NOMINMAX). */
#ifndef DAVRO_PORT_WINDOWS_H
#define DAVRO_PORT_WINDOWS_H

#include <davro/Export.h>

#if DAVRO_WINDOWS

/* On Windows the system's own header is the one wanted. */
#if defined(__GNUC__)
#include_next <windows.h>
#else
#error "davro/platform/port is for Linux: on Windows use the system's <windows.h>"
#endif

#else /* Linux */

#include <errno.h>
#include <malloc.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <wchar.h>

#ifdef __cplusplus

/* Win32.h declares these names; a program may have them as macros already (TRUE and FALSE
 * often are). They are set aside while it is read and come back as they were. */
#pragma push_macro("TRUE")
#pragma push_macro("FALSE")
#pragma push_macro("MAX_PATH")
#pragma push_macro("INFINITE")
#pragma push_macro("__int64")
#undef TRUE
#undef FALSE
#undef MAX_PATH
#undef INFINITE
#undef __int64
#include <davro/platform/Win32.h>
#pragma pop_macro("__int64")
#pragma pop_macro("INFINITE")
#pragma pop_macro("MAX_PATH")
#pragma pop_macro("FALSE")
#pragma pop_macro("TRUE")

// The Win32 names in the global namespace, as a ported file calls them.
using namespace davro::win32;  // NOLINT(google-global-names-in-headers)

#define DAVRO_PORT_EXTERN_C extern "C"
#define DAVRO_PORT_CAST(type, value) static_cast<type>(value)
#define DAVRO_PORT_NULL nullptr

#else /* C */

#include <davro/platform/Win32C.h>

#define DAVRO_PORT_EXTERN_C
#define DAVRO_PORT_CAST(type, value) ((type)(value))
#define DAVRO_PORT_NULL NULL

#endif /* __cplusplus */

/* ---- The sized integer types of the Windows compilers (keywords there) ----
 * Macros, so that `unsigned __int64` reads as it does there. */
#ifndef __int64
#define __int64 long long
#endif
#ifndef __int32
#define __int32 int
#endif
#ifndef __int16
#define __int16 short
#endif
#ifndef __int8
#define __int8 char
#endif

/* ---- Characters: TCHAR and TEXT follow UNICODE (as in <windows.h>) ---- */
#ifdef UNICODE
typedef WCHAR TCHAR;
#ifndef __TEXT
#define __TEXT(quote) L##quote
#endif
#else
typedef char TCHAR;
#ifndef __TEXT
#define __TEXT(quote) quote
#endif
#endif
typedef TCHAR* LPTSTR;
typedef const TCHAR* LPCTSTR;
typedef TCHAR* PTSTR;
typedef const TCHAR* PCTSTR;
typedef TCHAR* PTCHAR;
#ifndef TEXT
#define TEXT(quote) __TEXT(quote)
#endif

/* ---- Names without A or W: the W function with UNICODE, the A one without ---- */
#ifdef UNICODE
#define DAVRO_PORT_AW(name) name##W
#else
#define DAVRO_PORT_AW(name) name##A
#endif
#ifndef CreateMutex
#define CreateMutex DAVRO_PORT_AW(CreateMutex)
#endif
#ifndef OpenMutex
#define OpenMutex DAVRO_PORT_AW(OpenMutex)
#endif
#ifndef CreateEvent
#define CreateEvent DAVRO_PORT_AW(CreateEvent)
#endif
#ifndef OpenEvent
#define OpenEvent DAVRO_PORT_AW(OpenEvent)
#endif
#ifndef CreateSemaphore
#define CreateSemaphore DAVRO_PORT_AW(CreateSemaphore)
#endif
#ifndef OpenSemaphore
#define OpenSemaphore DAVRO_PORT_AW(OpenSemaphore)
#endif
#ifndef CreateWaitableTimer
#define CreateWaitableTimer DAVRO_PORT_AW(CreateWaitableTimer)
#endif
#ifndef CreateWaitableTimerEx
#define CreateWaitableTimerEx DAVRO_PORT_AW(CreateWaitableTimerEx)
#endif
#ifndef OpenWaitableTimer
#define OpenWaitableTimer DAVRO_PORT_AW(OpenWaitableTimer)
#endif
#ifndef PeekMessage
#define PeekMessage DAVRO_PORT_AW(PeekMessage)
#endif
#ifndef GetMessage
#define GetMessage DAVRO_PORT_AW(GetMessage)
#endif
#ifndef DispatchMessage
#define DispatchMessage DAVRO_PORT_AW(DispatchMessage)
#endif
#ifndef PostThreadMessage
#define PostThreadMessage DAVRO_PORT_AW(PostThreadMessage)
#endif
#ifndef PostMessage
#define PostMessage DAVRO_PORT_AW(PostMessage)
#endif
#ifndef SendMessage
#define SendMessage DAVRO_PORT_AW(SendMessage)
#endif
#ifndef DefWindowProc
#define DefWindowProc DAVRO_PORT_AW(DefWindowProc)
#endif
#ifndef RegisterClass
#define RegisterClass DAVRO_PORT_AW(RegisterClass)
#endif
#ifndef UnregisterClass
#define UnregisterClass DAVRO_PORT_AW(UnregisterClass)
#endif
#ifndef CreateWindowEx
#define CreateWindowEx DAVRO_PORT_AW(CreateWindowEx)
#endif
#ifndef SetWindowLongPtr
#define SetWindowLongPtr DAVRO_PORT_AW(SetWindowLongPtr)
#endif
#ifndef GetWindowLongPtr
#define GetWindowLongPtr DAVRO_PORT_AW(GetWindowLongPtr)
#endif
#ifndef GetModuleHandle
#define GetModuleHandle DAVRO_PORT_AW(GetModuleHandle)
#endif
#ifndef GetDateFormat
#define GetDateFormat DAVRO_PORT_AW(GetDateFormat)
#endif
#ifndef GetTimeFormat
#define GetTimeFormat DAVRO_PORT_AW(GetTimeFormat)
#endif
#ifndef WNDCLASS
#define WNDCLASS DAVRO_PORT_AW(WNDCLASS)
#endif
#ifndef CREATESTRUCT
#define CREATESTRUCT DAVRO_PORT_AW(CREATESTRUCT)
#endif
#ifndef LPCREATESTRUCT
#define LPCREATESTRUCT DAVRO_PORT_AW(LPCREATESTRUCT)
#endif

/* ---- Memory and words ---- */
#ifndef ZeroMemory
#define ZeroMemory(destination, length) memset((destination), 0, (length))
#endif
#ifndef FillMemory
#define FillMemory(destination, length, fill) memset((destination), (fill), (length))
#endif
#ifndef CopyMemory
#define CopyMemory(destination, source, length) memcpy((destination), (source), (length))
#endif
#ifndef MoveMemory
#define MoveMemory(destination, source, length) memmove((destination), (source), (length))
#endif
#ifndef LOWORD
#define LOWORD(l) DAVRO_PORT_CAST(WORD, DAVRO_PORT_CAST(DWORD_PTR, l) & 0xFFFF)
#endif
#ifndef HIWORD
#define HIWORD(l) DAVRO_PORT_CAST(WORD, (DAVRO_PORT_CAST(DWORD_PTR, l) >> 16) & 0xFFFF)
#endif
#ifndef LOBYTE
#define LOBYTE(w) DAVRO_PORT_CAST(BYTE, DAVRO_PORT_CAST(DWORD_PTR, w) & 0xFF)
#endif
#ifndef HIBYTE
#define HIBYTE(w) DAVRO_PORT_CAST(BYTE, (DAVRO_PORT_CAST(DWORD_PTR, w) >> 8) & 0xFF)
#endif
#ifndef MAKEWORD
#define MAKEWORD(low, high) \
    DAVRO_PORT_CAST(WORD, LOBYTE(low) | (DAVRO_PORT_CAST(WORD, LOBYTE(high)) << 8))
#endif
#ifndef MAKELONG
#define MAKELONG(low, high) \
    DAVRO_PORT_CAST(LONG, LOWORD(low) | (DAVRO_PORT_CAST(DWORD, LOWORD(high)) << 16))
#endif
#ifndef UNREFERENCED_PARAMETER
#define UNREFERENCED_PARAMETER(parameter) ((void)(parameter))
#endif
#ifndef ARRAYSIZE
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#endif
#ifndef _countof
#define _countof(a) (sizeof(a) / sizeof((a)[0]))
#endif

/* ---- <malloc.h> of Windows' C run-time: blocks on a power-of-two boundary ----
 * The block is the C library's (memalign), so _aligned_free is free. Another alignment:
 * NULL and errno EINVAL, as there. */
#ifndef _aligned_malloc
static inline void* davro_port_aligned_malloc(size_t size, size_t alignment) {
    if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
        errno = EINVAL;
        return DAVRO_PORT_NULL;
    }
    return memalign(alignment < sizeof(void*) ? sizeof(void*) : alignment, size);
}
#define _aligned_malloc davro_port_aligned_malloc
#endif
#ifndef _aligned_free
#define _aligned_free free
#endif

/* ---- Structured exception handling, as plain blocks (see the top of this file) ---- */
#if defined(__cplusplus) && defined(__cpp_exceptions)
#ifndef __try
#define __try try
#endif
#ifndef __finally
#define __finally \
    catch (...) { \
        throw;    \
    }
#endif
/* clang-format takes __except for a keyword and would put a space before its parameter list,
 * which makes the macro object-like. */
/* clang-format off */
#ifndef __except
#define __except(filter) catch (...) { throw; } if (false)
#endif
/* clang-format on */
#else
#ifndef __try
#define __try if (1)
#endif
#ifndef __finally
#define __finally
#endif
/* clang-format off */
#ifndef __except
#define __except(filter) else
#endif
/* clang-format on */
#endif
#ifndef EXCEPTION_EXECUTE_HANDLER
#define EXCEPTION_EXECUTE_HANDLER 1
#endif
#ifndef EXCEPTION_CONTINUE_SEARCH
#define EXCEPTION_CONTINUE_SEARCH 0
#endif

/* ---- <tchar.h>: _T, _TCHAR and the generic-text functions follow _UNICODE ---- */
#ifdef _UNICODE
typedef wchar_t _TCHAR;
typedef wchar_t _TSCHAR;
typedef wchar_t _TUCHAR;
#ifndef __T
#define __T(x) L##x
#endif
#ifndef _tmain
#define _tmain wmain
#endif
/* Windows' wide printf family: %s and %c take wide text, %S and %C narrow, I64 is a size
 * prefix; written to the stream as UTF-8 (platform/port/WidePrintf.cpp, in davro_wmain). */
DAVRO_PORT_EXTERN_C int davro_port_wprintf(const wchar_t* format, ...);
DAVRO_PORT_EXTERN_C int davro_port_fwprintf(FILE* stream, const wchar_t* format, ...);
DAVRO_PORT_EXTERN_C int davro_port_vwprintf(const wchar_t* format, va_list arguments);
DAVRO_PORT_EXTERN_C int davro_port_vfwprintf(FILE* stream, const wchar_t* format,
                                             va_list arguments);
DAVRO_PORT_EXTERN_C int davro_port_snwprintf(wchar_t* buffer, size_t count, const wchar_t* format,
                                             ...);
DAVRO_PORT_EXTERN_C int davro_port_vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format,
                                              va_list arguments);
#ifndef _tprintf
#define _tprintf davro_port_wprintf
#endif
#ifndef _ftprintf
#define _ftprintf davro_port_fwprintf
#endif
#ifndef _vtprintf
#define _vtprintf davro_port_vwprintf
#endif
#ifndef _vftprintf
#define _vftprintf davro_port_vfwprintf
#endif
#ifndef _sntprintf
#define _sntprintf davro_port_snwprintf
#endif
#ifndef _vsntprintf
#define _vsntprintf davro_port_vsnwprintf
#endif
#ifndef _tcslen
#define _tcslen wcslen
#endif
#ifndef _tcscpy
#define _tcscpy wcscpy
#endif
#ifndef _tcsncpy
#define _tcsncpy wcsncpy
#endif
#ifndef _tcscat
#define _tcscat wcscat
#endif
#ifndef _tcscmp
#define _tcscmp wcscmp
#endif
#ifndef _tcsncmp
#define _tcsncmp wcsncmp
#endif
#ifndef _tcsicmp
#define _tcsicmp wcscasecmp
#endif
#ifndef _tcschr
#define _tcschr wcschr
#endif
#ifndef _tcsrchr
#define _tcsrchr wcsrchr
#endif
#ifndef _tcsstr
#define _tcsstr wcsstr
#endif
#ifndef _tcsdup
#define _tcsdup wcsdup
#endif
#ifndef _tcstol
#define _tcstol wcstol
#endif
#ifndef _tcstoul
#define _tcstoul wcstoul
#endif
#ifndef _ttoi
#define _ttoi(text) DAVRO_PORT_CAST(int, wcstol((text), DAVRO_PORT_NULL, 10))
#endif
#ifndef _fgetts
#define _fgetts fgetws
#endif
#ifndef _fputts
#define _fputts fputws
#endif

/* wmain has C linkage, also in C++ (as Microsoft's compiler gives it). A program whose entry
 * is wmain gets its main from the static library davro_wmain (platform/port/WMain.cpp), which
 * the CMake target davro::port links: the linker takes it only when the program has no main
 * of its own. */
DAVRO_PORT_EXTERN_C int wmain(int argc, wchar_t** argv);

#else /* !_UNICODE */
typedef char _TCHAR;
typedef signed char _TSCHAR;
typedef unsigned char _TUCHAR;
#ifndef __T
#define __T(x) x
#endif
#ifndef _tmain
#define _tmain main
#endif
#ifndef _tprintf
#define _tprintf printf
#endif
#ifndef _ftprintf
#define _ftprintf fprintf
#endif
#ifndef _vtprintf
#define _vtprintf vprintf
#endif
#ifndef _vftprintf
#define _vftprintf vfprintf
#endif
#ifndef _sntprintf
#define _sntprintf snprintf
#endif
#ifndef _vsntprintf
#define _vsntprintf vsnprintf
#endif
#ifndef _tcslen
#define _tcslen strlen
#endif
#ifndef _tcscpy
#define _tcscpy strcpy
#endif
#ifndef _tcsncpy
#define _tcsncpy strncpy
#endif
#ifndef _tcscat
#define _tcscat strcat
#endif
#ifndef _tcscmp
#define _tcscmp strcmp
#endif
#ifndef _tcsncmp
#define _tcsncmp strncmp
#endif
#ifndef _tcsicmp
#define _tcsicmp strcasecmp
#endif
#ifndef _tcschr
#define _tcschr strchr
#endif
#ifndef _tcsrchr
#define _tcsrchr strrchr
#endif
#ifndef _tcsstr
#define _tcsstr strstr
#endif
#ifndef _tcsdup
#define _tcsdup strdup
#endif
#ifndef _tcstol
#define _tcstol strtol
#endif
#ifndef _tcstoul
#define _tcstoul strtoul
#endif
#ifndef _ttoi
#define _ttoi atoi
#endif
#ifndef _fgetts
#define _fgetts fgets
#endif
#ifndef _fputts
#define _fputts fputs
#endif
#endif /* _UNICODE */
#ifndef _T
#define _T(x) __T(x)
#endif
#ifndef _TEXT
#define _TEXT(x) __T(x)
#endif

#endif /* Linux */

#endif /* DAVRO_PORT_WINDOWS_H */
