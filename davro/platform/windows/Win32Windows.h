// The Win32 subset on Windows: the real <windows.h> and <process.h>, with every function and
// type that davro/platform/Win32.h names brought into namespace davro::win32.
//
// Library code writes `using namespace davro::win32;` and calls the names unqualified; here
// each name in davro::win32 is the global Windows one, so the two never clash. Constants
// (INFINITE, WAIT_TIMEOUT, TRUE, ERROR_...) are macros on Windows and need nothing.
//
// Included only through davro/platform/Win32.h. The header asks for a lean <windows.h> with
// no min/max macros unless the includer chose otherwise before; a program that needs the
// parts that WIN32_LEAN_AND_MEAN leaves out includes <windows.h> itself before any davro
// header.
#pragma once

#if !DAVRO_WINDOWS
#error "davro/platform/windows/Win32Windows.h is for Windows builds only"
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <process.h>
#include <windows.h>
// After <windows.h>, which it needs. Wait chain traversal lives in advapi32.
#include <wct.h>

#include <cstddef>
#include <cstdint>

// Values that Windows' own headers define and mingw-w64's leave out.
#ifndef WCT_MAX_NODE_COUNT
#define WCT_MAX_NODE_COUNT 16
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
#ifndef ERROR_TOO_MANY_THREADS
#define ERROR_TOO_MANY_THREADS 565L
#endif
// Windows 10 raised the fiber-local slots to 4080; mingw-w64's header still says 128.
#if defined(FLS_MAXIMUM_AVAILABLE) && FLS_MAXIMUM_AVAILABLE < 4080
#undef FLS_MAXIMUM_AVAILABLE
#endif
#ifndef FLS_MAXIMUM_AVAILABLE
#define FLS_MAXIMUM_AVAILABLE 4080
#endif

namespace davro::win32 {

// ---- Basic types ----
using ::ATOM;
using ::BOOL;
using ::BYTE;
using ::DWORD;
using ::DWORD_PTR;
using ::HANDLE;
using ::HINSTANCE;
using ::HMENU;
using ::HMODULE;
using ::HWND;
using ::INT;
using ::LCID;
using ::LONG;
using ::LONG_PTR;
using ::LONGLONG;
using ::LPARAM;
using ::LPBOOL;
using ::LPCSTR;
using ::LPCWSTR;
using ::LPDWORD;
using ::LPHANDLE;
using ::LPLONG;
using ::LPWSTR;
using ::LRESULT;
using ::PHANDLE;
using ::UINT;
using ::UINT_PTR;
using ::ULONG;
using ::ULONG_PTR;
using ::ULONGLONG;
using ::WCHAR;
using ::WORD;
using ::WPARAM;

// ---- Types that ported code expects (the library itself does not use them) ----
using ::BOOLEAN;
using ::CHAR;
using ::DWORD64;
using ::DWORDLONG;
using ::FARPROC;
using ::FLOAT;
using ::HRESULT;
using ::INT16;
using ::INT32;
using ::INT64;
using ::INT8;
using ::INT_PTR;
using ::KAFFINITY;
using ::LONG64;
using ::LPBYTE;
using ::LPCSTR;
using ::LPCVOID;
using ::LPINT;
using ::LPSTR;
using ::LPUINT;
using ::LPVOID;
using ::LPWORD;
using ::PBOOL;
using ::PBOOLEAN;
using ::PBYTE;
using ::PCHAR;
using ::PCSTR;
using ::PCWSTR;
using ::PDWORD;
using ::PDWORD_PTR;
using ::PINT;
using ::PKAFFINITY;
using ::PLARGE_INTEGER;
using ::PLONG;
using ::PLONG_PTR;
using ::PLONGLONG;
using ::PSHORT;
using ::PSIZE_T;
using ::PSTR;
using ::PUCHAR;
using ::PUINT;
using ::PULARGE_INTEGER;
using ::PULONG;
using ::PULONG_PTR;
using ::PULONGLONG;
using ::PUSHORT;
using ::PVOID;
using ::PWCHAR;
using ::PWORD;
using ::PWSTR;
using ::SHORT;
using ::SIZE_T;
using ::SSIZE_T;
using ::UCHAR;
using ::UINT16;
using ::UINT32;
using ::UINT64;
using ::UINT8;
using ::ULARGE_INTEGER;
using ::ULONG64;
using ::USHORT;

// ---- Structures ----
using ::CREATESTRUCTW;
using ::CRITICAL_SECTION;
using ::FILETIME;
using ::LARGE_INTEGER;
using ::LPCREATESTRUCTW;
using ::LPCRITICAL_SECTION;
using ::LPFILETIME;
using ::LPMSG;
using ::LPSECURITY_ATTRIBUTES;
using ::LPSYSTEM_INFO;
using ::LPSYSTEMTIME;
using ::LPTHREAD_START_ROUTINE;
using ::MSG;
using ::PCRITICAL_SECTION;
using ::POINT;
using ::PTHREAD_START_ROUTINE;
using ::SECURITY_ATTRIBUTES;
using ::SYSTEM_INFO;
using ::SYSTEMTIME;
using ::WNDCLASSW;
using ::WNDPROC;

// ---- Errors ----
using ::GetLastError;
using ::SetLastError;

// ---- Handles and processes ----
using ::CloseHandle;
using ::DuplicateHandle;
using ::GetCurrentProcess;
using ::GetCurrentProcessId;

// ---- Local memory (LMEM_FIXED, LMEM_ZEROINIT, LPTR are macros) ----
using ::HLOCAL;
using ::LocalAlloc;
using ::LocalFree;

// ---- Kernel objects ----
using ::CreateEventA;
using ::CreateEventW;
using ::CreateMutexA;
using ::CreateMutexW;
using ::CreateSemaphoreA;
using ::CreateSemaphoreW;
using ::OpenEventA;
using ::OpenEventW;
using ::OpenMutexA;
using ::OpenMutexW;
using ::OpenSemaphoreA;
using ::OpenSemaphoreW;
using ::ReleaseMutex;
using ::ReleaseSemaphore;
using ::ResetEvent;
using ::SetEvent;

// ---- Waits ----
using ::MsgWaitForMultipleObjects;
using ::Sleep;
using ::WaitForMultipleObjects;
using ::WaitForSingleObject;

// ---- Critical sections ----
using ::DeleteCriticalSection;
using ::EnterCriticalSection;
using ::InitializeCriticalSection;
using ::InitializeCriticalSectionAndSpinCount;
using ::InitializeCriticalSectionEx;
using ::LeaveCriticalSection;
using ::SetCriticalSectionSpinCount;
using ::TryEnterCriticalSection;

// ---- Threads (the C run-time's thread start, so that its per-thread data is set up) ----
using ::_beginthreadex;
using ::_beginthreadex_proc_type;
using ::_endthreadex;
using ::CreateThread;
using ::ExitProcess;
using ::ExitThread;
using ::GetCurrentThread;
using ::GetCurrentThreadId;
using ::GetExitCodeProcess;
using ::GetExitCodeThread;
using ::GetThreadId;
using ::GetThreadPriority;
using ::OpenThread;
using ::ResumeThread;
using ::SetThreadPriority;
using ::SuspendThread;
using ::SwitchToThread;
using ::TerminateThread;

// ---- Processors, the system and modules ----
using ::GetActiveProcessorCount;
using ::GetModuleHandleA;
using ::GetNativeSystemInfo;
using ::GetProcAddress;
using ::GetProcessAffinityMask;
using ::GetSystemInfo;
using ::SetProcessAffinityMask;
using ::SetThreadAffinityMask;

// ---- Narrow (A) variants ----
using ::DefWindowProcA;
using ::DispatchMessageA;
using ::GetDateFormatA;
using ::GetMessageA;
using ::GetTimeFormatA;
using ::GetWindowLongPtrA;
using ::PeekMessageA;
using ::PostMessageA;
using ::PostThreadMessageA;
using ::SendMessageA;
using ::SetWindowLongPtrA;

// ---- Wait chain traversal (advapi32) ----
using ::CloseThreadWaitChainSession;
using ::GetThreadWaitChain;
using ::HWCT;
using ::OpenThreadWaitChainSession;
using ::PWAITCHAIN_NODE_INFO;
using ::PWAITCHAINCALLBACK;
using ::WAITCHAIN_NODE_INFO;
using ::WCT_OBJECT_STATUS;
using ::WCT_OBJECT_TYPE;

// ---- Message queue and message-only windows ----
using ::CreateWindowExW;
using ::DefWindowProcW;
using ::DestroyWindow;
using ::DispatchMessageW;
using ::GetMessageW;
using ::GetModuleHandleW;
using ::GetWindowLongPtrW;
using ::PeekMessageW;
using ::PostMessageW;
using ::PostQuitMessage;
using ::PostThreadMessageW;
using ::RegisterClassW;
using ::SendMessageW;
using ::SetWindowLongPtrW;
using ::TranslateMessage;
using ::UnregisterClassW;

// ---- Time ----
using ::CompareFileTime;
using ::FileTimeToLocalFileTime;
using ::FileTimeToSystemTime;
using ::GetLocalTime;
using ::GetSystemTime;
using ::GetSystemTimeAsFileTime;
using ::GetTickCount;
using ::GetTickCount64;
using ::LocalFileTimeToFileTime;
using ::SystemTimeToFileTime;

// ---- Locale ----
using ::GetDateFormatW;
using ::GetTimeFormatW;

// ---- Slim synchronisation (davro/platform/Win32Sync.h on Linux) ----
// The Interlocked* family and MemoryBarrier are macros over compiler intrinsics here, as are
// the *_INIT values and the flags: they need nothing.
using ::BOOLEAN;
using ::LONG64;
using ::LPVOID;
using ::PBOOL;
using ::PCRITICAL_SECTION;
using ::PVOID;
using ::SIZE_T;
using ::USHORT;

using ::AcquireSRWLockExclusive;
using ::AcquireSRWLockShared;
using ::InitializeSRWLock;
using ::PSRWLOCK;
using ::ReleaseSRWLockExclusive;
using ::ReleaseSRWLockShared;
using ::SRWLOCK;
using ::TryAcquireSRWLockExclusive;
using ::TryAcquireSRWLockShared;

using ::CONDITION_VARIABLE;
using ::InitializeConditionVariable;
using ::PCONDITION_VARIABLE;
using ::SleepConditionVariableCS;
using ::SleepConditionVariableSRW;
using ::WakeAllConditionVariable;
using ::WakeConditionVariable;

using ::INIT_ONCE;
using ::InitOnceBeginInitialize;
using ::InitOnceComplete;
using ::InitOnceExecuteOnce;
using ::InitOnceInitialize;
using ::LPINIT_ONCE;
using ::PINIT_ONCE;
using ::PINIT_ONCE_FN;

using ::WaitOnAddress;  // synchronization.lib
using ::WakeByAddressAll;
using ::WakeByAddressSingle;

using ::DeleteSynchronizationBarrier;
using ::EnterSynchronizationBarrier;
using ::InitializeSynchronizationBarrier;
using ::LPSYNCHRONIZATION_BARRIER;
using ::PSYNCHRONIZATION_BARRIER;
using ::SYNCHRONIZATION_BARRIER;

using ::InitializeSListHead;
using ::InterlockedFlushSList;
using ::InterlockedPopEntrySList;
using ::InterlockedPushEntrySList;
using ::PSLIST_ENTRY;
using ::PSLIST_HEADER;
using ::QueryDepthSList;
using ::SLIST_ENTRY;
using ::SLIST_HEADER;

using ::FlsAlloc;
using ::FlsFree;
using ::FlsGetValue;
using ::FlsSetValue;
using ::PFLS_CALLBACK_FUNCTION;
using ::TlsAlloc;
using ::TlsFree;
using ::TlsGetValue;
using ::TlsSetValue;

// ---- Waitable timers, APCs and alertable waits ----
// Windows 10's flag, which mingw-w64's headers leave out.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
using ::CancelWaitableTimer;
using ::CreateWaitableTimerA;
using ::CreateWaitableTimerExA;
using ::CreateWaitableTimerExW;
using ::CreateWaitableTimerW;
using ::MsgWaitForMultipleObjectsEx;
using ::OpenWaitableTimerA;
using ::OpenWaitableTimerW;
using ::PAPCFUNC;
using ::PREASON_CONTEXT;
using ::PTIMERAPCROUTINE;
using ::PulseEvent;
using ::QueueUserAPC;
using ::REASON_CONTEXT;
using ::SetWaitableTimer;
using ::SetWaitableTimerEx;
using ::SignalObjectAndWait;
using ::SleepEx;
using ::WaitForMultipleObjectsEx;
using ::WaitForSingleObjectEx;
// ---- Thread pool, timer queues, registered waits (davro/platform/Win32Pool.h on Linux) ----
// The environment calls are inline functions of <winbase.h>; the WT_ flags are macros.
using ::PFILETIME;
using ::PTP_CALLBACK_ENVIRON;
using ::PTP_CALLBACK_INSTANCE;
using ::PTP_CLEANUP_GROUP;
using ::PTP_CLEANUP_GROUP_CANCEL_CALLBACK;
using ::PTP_POOL;
using ::PTP_SIMPLE_CALLBACK;
using ::PTP_TIMER;
using ::PTP_TIMER_CALLBACK;
using ::PTP_WAIT;
using ::PTP_WAIT_CALLBACK;
using ::PTP_WORK;
using ::PTP_WORK_CALLBACK;
using ::TP_CALLBACK_ENVIRON;
using ::TP_WAIT_RESULT;
using ::WAITORTIMERCALLBACK;

using ::CallbackMayRunLong;
using ::ChangeTimerQueueTimer;
using ::CloseThreadpool;
using ::CloseThreadpoolCleanupGroup;
using ::CloseThreadpoolCleanupGroupMembers;
using ::CloseThreadpoolTimer;
using ::CloseThreadpoolWait;
using ::CloseThreadpoolWork;
using ::CreateThreadpool;
using ::CreateThreadpoolCleanupGroup;
using ::CreateThreadpoolTimer;
using ::CreateThreadpoolWait;
using ::CreateThreadpoolWork;
using ::CreateTimerQueue;
using ::CreateTimerQueueTimer;
using ::DeleteTimerQueue;
using ::DeleteTimerQueueEx;
using ::DeleteTimerQueueTimer;
using ::DestroyThreadpoolEnvironment;
using ::InitializeThreadpoolEnvironment;
using ::IsThreadpoolTimerSet;
using ::LeaveCriticalSectionWhenCallbackReturns;
using ::QueueUserWorkItem;
using ::RegisterWaitForSingleObject;
using ::ReleaseMutexWhenCallbackReturns;
using ::ReleaseSemaphoreWhenCallbackReturns;
using ::SetEventWhenCallbackReturns;
using ::SetThreadpoolCallbackCleanupGroup;
using ::SetThreadpoolCallbackPool;
using ::SetThreadpoolCallbackRunsLong;
using ::SetThreadpoolThreadMaximum;
using ::SetThreadpoolThreadMinimum;
using ::SetThreadpoolTimer;
using ::SetThreadpoolWait;
using ::SubmitThreadpoolWork;
using ::TrySubmitThreadpoolCallback;
using ::UnregisterWait;
using ::UnregisterWaitEx;
using ::WaitForThreadpoolTimerCallbacks;
using ::WaitForThreadpoolWaitCallbacks;
using ::WaitForThreadpoolWorkCallbacks;

}  // namespace davro::win32
