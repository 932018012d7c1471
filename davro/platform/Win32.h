// The Win32 subset that the library is written against, in namespace davro::win32.
//
// On Windows every name below is the real one from <windows.h> and <process.h>. On Linux
// the same names are implemented by this library (davro/platform/linux) with Win32's
// types, values and documented semantics: kernel objects and waits, threads, the
// per-thread message queue, time and locale functions. On Linux the types are in
// Win32Types.h, the slim synchronisation in Win32Sync.h and the thread pool in Win32Pool.h,
// which this header includes.
//
// How to use it, so that one source builds on both systems:
//   - In .cpp files write `using namespace davro::win32;` and use the names unqualified.
//     On Windows the constants (INFINITE, WAIT_TIMEOUT, TRUE...) are macros, so a
//     qualified `win32::INFINITE` would not compile there.
//   - Types may be qualified in headers (`davro::win32::HANDLE`); they are real types
//     on both systems.
//   - `wchar_t` is the character type of every W function. It is 16 bits wide on
//     Windows and 32 bits on Linux; the library never depends on its width.
#pragma once

#include <davro/Export.h>

#if DAVRO_WINDOWS

#include <davro/platform/windows/Win32Windows.h>

#else  // Linux

// The types and structures, with Win32's sizes and layouts.
#include <davro/platform/Win32Types.h>

namespace davro::win32 {

// ---- Constants ----
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr int MAXIMUM_WAIT_OBJECTS = 64;

inline constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
inline constexpr DWORD WAIT_ABANDONED = 0x00000080;
inline constexpr DWORD WAIT_ABANDONED_0 = 0x00000080;
inline constexpr DWORD WAIT_TIMEOUT = 0x00000102;
inline constexpr DWORD WAIT_IO_COMPLETION = 0x000000C0;  // an alertable wait ran APCs
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

inline const HANDLE INVALID_HANDLE_VALUE =
    reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));  // NOLINT(performance-no-int-to-ptr)

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr LONG ERROR_NOT_SUPPORTED = 50;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr LONG ERROR_INVALID_NAME = 123;
inline constexpr LONG ERROR_MOD_NOT_FOUND = 126;
inline constexpr LONG ERROR_PROC_NOT_FOUND = 127;
inline constexpr LONG ERROR_BAD_PATHNAME = 161;
inline constexpr LONG ERROR_ALREADY_EXISTS = 183;
inline constexpr LONG ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NOT_OWNER = 288;
inline constexpr LONG ERROR_PRIVILEGE_NOT_HELD = 1314;
inline constexpr LONG ERROR_TOO_MANY_POSTS = 298;
inline constexpr LONG ERROR_TOO_MANY_THREADS = 565;
inline constexpr DWORD ERROR_NOACCESS = 998;
inline constexpr LONG ERROR_INVALID_FLAGS = 1004;
inline constexpr LONG ERROR_FILE_INVALID = 1006;
inline constexpr LONG ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr LONG ERROR_CANNOT_FIND_WND_CLASS = 1407;
inline constexpr LONG ERROR_CLASS_ALREADY_EXISTS = 1410;
inline constexpr LONG ERROR_CLASS_DOES_NOT_EXIST = 1411;
inline constexpr LONG ERROR_CLASS_HAS_WINDOWS = 1412;
inline constexpr LONG ERROR_INVALID_INDEX = 1413;
inline constexpr LONG ERROR_INVALID_THREAD_ID = 1444;
inline constexpr LONG ERROR_OBJECT_NOT_FOUND = 4312;

inline constexpr DWORD DUPLICATE_CLOSE_SOURCE = 0x00000001;
inline constexpr DWORD DUPLICATE_SAME_ACCESS = 0x00000002;

// Access rights. A handle carries the access it was opened or duplicated with: waits need
// SYNCHRONIZE; setting, resetting or releasing an event or a semaphore EVENT_MODIFY_STATE /
// SEMAPHORE_MODIFY_STATE; releasing a mutex needs none (only its owner may). The standard
// rights, MAXIMUM_ALLOWED and the query rights are granted and otherwise not checked.
inline constexpr DWORD DELETE = 0x00010000;
inline constexpr DWORD READ_CONTROL = 0x00020000;
inline constexpr DWORD WRITE_DAC = 0x00040000;
inline constexpr DWORD WRITE_OWNER = 0x00080000;
inline constexpr DWORD SYNCHRONIZE = 0x00100000;
inline constexpr DWORD ACCESS_SYSTEM_SECURITY = 0x01000000;
inline constexpr DWORD MAXIMUM_ALLOWED = 0x02000000;
inline constexpr int EVENT_QUERY_STATE = 0x0001;
inline constexpr int SEMAPHORE_QUERY_STATE = 0x0001;
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD GENERIC_EXECUTE = 0x20000000;
inline constexpr DWORD GENERIC_ALL = 0x10000000;
inline constexpr int MUTEX_MODIFY_STATE = 0x0001;
inline constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;
inline constexpr int EVENT_MODIFY_STATE = 0x0002;
inline constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003;
inline constexpr int SEMAPHORE_MODIFY_STATE = 0x0002;
inline constexpr DWORD SEMAPHORE_ALL_ACCESS = 0x001F0003;
inline constexpr DWORD TIMER_QUERY_STATE = 0x0001;
inline constexpr DWORD TIMER_MODIFY_STATE = 0x0002;
inline constexpr DWORD TIMER_ALL_ACCESS = 0x001F0003;

// Waitable timers and alertable waits.
inline constexpr DWORD CREATE_WAITABLE_TIMER_MANUAL_RESET = 0x00000001;
inline constexpr DWORD CREATE_WAITABLE_TIMER_HIGH_RESOLUTION = 0x00000002;
inline constexpr DWORD MWMO_WAITALL = 0x0001;
inline constexpr DWORD MWMO_ALERTABLE = 0x0002;
inline constexpr DWORD MWMO_INPUTAVAILABLE = 0x0004;

// Threads.
inline constexpr unsigned CREATE_SUSPENDED = 0x00000004;
inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr int THREAD_PRIORITY_IDLE = -15;
inline constexpr int THREAD_PRIORITY_LOWEST = -2;
inline constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;
inline constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
inline constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;
inline constexpr DWORD STACK_SIZE_PARAM_IS_A_RESERVATION = 0x00010000;
// Access rights of thread handles (OpenThread). Waits need SYNCHRONIZE; the others are
// accepted and not checked.
inline constexpr int THREAD_TERMINATE = 0x0001;
inline constexpr int THREAD_SUSPEND_RESUME = 0x0002;
inline constexpr int THREAD_GET_CONTEXT = 0x0008;
inline constexpr int THREAD_SET_CONTEXT = 0x0010;
inline constexpr int THREAD_SET_INFORMATION = 0x0020;
inline constexpr int THREAD_QUERY_INFORMATION = 0x0040;
inline constexpr int THREAD_SET_LIMITED_INFORMATION = 0x0400;
inline constexpr int THREAD_QUERY_LIMITED_INFORMATION = 0x0800;
inline constexpr DWORD THREAD_ALL_ACCESS = 0x001FFFFF;

// Critical sections, processors and the system.
inline constexpr DWORD CRITICAL_SECTION_NO_DEBUG_INFO = 0x01000000;
inline constexpr int ALL_PROCESSOR_GROUPS = 0xFFFF;
inline constexpr int PROCESSOR_ARCHITECTURE_INTEL = 0;
inline constexpr int PROCESSOR_ARCHITECTURE_ARM = 5;
inline constexpr int PROCESSOR_ARCHITECTURE_AMD64 = 9;
inline constexpr int PROCESSOR_ARCHITECTURE_ARM64 = 12;
inline constexpr int PROCESSOR_ARCHITECTURE_UNKNOWN = 0xFFFF;

// Time and locale.
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
inline constexpr LCID LOCALE_INVARIANT = 0x007F;
inline constexpr DWORD DATE_SHORTDATE = 0x00000001;
inline constexpr DWORD DATE_LONGDATE = 0x00000002;
inline constexpr DWORD TIME_NOMINUTESORSECONDS = 0x00000001;
inline constexpr DWORD TIME_NOSECONDS = 0x00000002;
inline constexpr DWORD TIME_NOTIMEMARKER = 0x00000004;
inline constexpr DWORD TIME_FORCE24HOURFORMAT = 0x00000008;

// Messages and windows.
inline constexpr int WM_NULL = 0x0000;
inline constexpr int WM_CREATE = 0x0001;
inline constexpr int WM_DESTROY = 0x0002;
inline constexpr int WM_CLOSE = 0x0010;
inline constexpr int WM_QUIT = 0x0012;
inline constexpr int WM_NCCREATE = 0x0081;
inline constexpr int WM_NCDESTROY = 0x0082;
inline constexpr int WM_TIMER = 0x0113;
inline constexpr int WM_USER = 0x0400;
inline constexpr int WM_APP = 0x8000;
inline constexpr int PM_NOREMOVE = 0x0000;
inline constexpr int PM_REMOVE = 0x0001;
inline constexpr int PM_NOYIELD = 0x0002;
inline constexpr int QS_KEY = 0x0001;
inline constexpr int QS_MOUSEMOVE = 0x0002;
inline constexpr int QS_MOUSEBUTTON = 0x0004;
inline constexpr int QS_POSTMESSAGE = 0x0008;
inline constexpr int QS_TIMER = 0x0010;
inline constexpr int QS_PAINT = 0x0020;
inline constexpr int QS_SENDMESSAGE = 0x0040;
inline constexpr int QS_HOTKEY = 0x0080;
inline constexpr int QS_ALLPOSTMESSAGE = 0x0100;
inline constexpr int QS_RAWINPUT = 0x0400;
inline constexpr int QS_TOUCH = 0x0800;
inline constexpr int QS_POINTER = 0x1000;
inline constexpr int QS_MOUSE = QS_MOUSEMOVE | QS_MOUSEBUTTON;
inline constexpr int QS_INPUT = QS_MOUSE | QS_KEY | QS_RAWINPUT | QS_TOUCH | QS_POINTER;
inline constexpr int QS_ALLEVENTS = QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY;
inline constexpr int QS_ALLINPUT =
    QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY | QS_SENDMESSAGE;
inline constexpr int GWLP_WNDPROC = -4;
inline constexpr int GWLP_USERDATA = -21;
inline const HWND HWND_MESSAGE =
    reinterpret_cast<HWND>(static_cast<std::intptr_t>(-3));  // NOLINT(performance-no-int-to-ptr)

// Wait chain traversal: what a thread waits for, the thread that holds that, what that
// thread waits for, and so on (WAITCHAIN_NODE_INFO lists one thread or object each).
using HWCT = void*;
inline constexpr int WCT_MAX_NODE_COUNT = 16;
inline constexpr int WCT_OBJNAME_LENGTH = 128;
inline constexpr int WCT_ASYNC_OPEN_FLAG = 0x1;   // OpenThreadWaitChainSession
inline constexpr int WCT_OUT_OF_PROC_FLAG = 0x1;  // GetThreadWaitChain
inline constexpr int WCT_OUT_OF_PROC_COM_FLAG = 0x2;
inline constexpr int WCT_OUT_OF_PROC_CS_FLAG = 0x4;
inline constexpr int WCT_NETWORK_IO_FLAG = 0x8;

enum WCT_OBJECT_TYPE {
    WctCriticalSectionType = 1,
    WctSendMessageType,
    WctMutexType,
    WctAlpcType,
    WctComType,
    WctThreadWaitType,
    WctProcessWaitType,
    WctThreadType,
    WctComActivationType,
    WctUnknownType,
};

enum WCT_OBJECT_STATUS {
    WctStatusNoAccess = 1,
    WctStatusRunning,
    WctStatusBlocked,
    WctStatusPidOnly,
    WctStatusPidOnlyRpcss,
    WctStatusOwned,
    WctStatusNotOwned,
    WctStatusAbandoned,
    WctStatusUnknown,
    WctStatusError,
};

// One node of a wait chain: a thread (ObjectType WctThreadType, ThreadObject) or an object
// that a thread waits for (LockObject). Win32 declares the two member structures inside the
// anonymous union; ISO C++ does not allow types there, so here they are named members of the
// node. Same size and layout as on Windows.
struct WAITCHAIN_NODE_INFO {
    struct LockObjectInfo {
        WCHAR ObjectName[WCT_OBJNAME_LENGTH];
        LARGE_INTEGER Timeout;
        BOOL Alertable;
    };
    struct ThreadObjectInfo {
        DWORD ProcessId;
        DWORD ThreadId;
        DWORD WaitTime;
        DWORD ContextSwitches;
    };
    WCT_OBJECT_TYPE ObjectType;
    WCT_OBJECT_STATUS ObjectStatus;
    union {
        LockObjectInfo LockObject;
        ThreadObjectInfo ThreadObject;
    };
};
using PWAITCHAIN_NODE_INFO = WAITCHAIN_NODE_INFO*;
using PWAITCHAINCALLBACK = void (*)(HWCT, DWORD_PTR, DWORD, LPDWORD, PWAITCHAIN_NODE_INFO, LPBOOL);

// ---- Errors ----
DAVRO_API DWORD GetLastError();
DAVRO_API void SetLastError(DWORD error);

// ---- Handles and processes ----
DAVRO_API BOOL CloseHandle(HANDLE object);
DAVRO_API BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                               LPHANDLE target, DWORD desiredAccess, BOOL inheritHandle,
                               DWORD options);
DAVRO_API HANDLE GetCurrentProcess();
DAVRO_API DWORD GetCurrentProcessId();

// ---- Local memory ----
// Blocks of the C library's heap, for ported code that allocates with LocalAlloc. A block is
// fixed: its handle is its address. LocalAlloc takes LMEM_FIXED, with LMEM_ZEROINIT to fill
// the block with zeros (LPTR is both); other flags (LMEM_MOVEABLE): NULL +
// ERROR_INVALID_PARAMETER; out of memory: NULL + ERROR_NOT_ENOUGH_MEMORY. LocalFree frees a
// block of LocalAlloc (NULL: nothing) and returns NULL.
using HLOCAL = HANDLE;
inline constexpr int LMEM_FIXED = 0x0000;
inline constexpr int LMEM_MOVEABLE = 0x0002;
inline constexpr int LMEM_ZEROINIT = 0x0040;
inline constexpr int LPTR = LMEM_FIXED | LMEM_ZEROINIT;
DAVRO_API HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
DAVRO_API HLOCAL LocalFree(HLOCAL memory);

// ---- Kernel objects ----
DAVRO_API HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
DAVRO_API HANDLE OpenMutexW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
DAVRO_API BOOL ReleaseMutex(HANDLE mutex);
DAVRO_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                              LPCWSTR name);
DAVRO_API BOOL SetEvent(HANDLE event);
DAVRO_API BOOL ResetEvent(HANDLE event);
DAVRO_API HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initialCount,
                                  LONG maximumCount, LPCWSTR name);
DAVRO_API BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount);
// Named objects: one namespace per user for every kind; the narrow variants take names in
// the process's narrow encoding (UTF-8).
DAVRO_API HANDLE OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
DAVRO_API HANDLE OpenSemaphoreW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
DAVRO_API HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
DAVRO_API HANDLE OpenMutexA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
DAVRO_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                              LPCSTR name);
DAVRO_API HANDLE OpenEventA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
DAVRO_API HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES attributes, LONG initialCount,
                                  LONG maximumCount, LPCSTR name);
DAVRO_API HANDLE OpenSemaphoreA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);

// ---- Waits ----
DAVRO_API DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
DAVRO_API DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                       DWORD milliseconds);
DAVRO_API DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                          DWORD milliseconds, DWORD wakeMask);
DAVRO_API void Sleep(DWORD milliseconds);
// Alertable waits: with `alertable` the wait also ends when APCs are queued to the thread,
// runs them all (FIFO, those they queue too) once the wait is over and returns
// WAIT_IO_COMPLETION. An object signalled at the same moment wins; the APCs stay queued.
DAVRO_API DWORD SleepEx(DWORD milliseconds, BOOL alertable);
DAVRO_API DWORD WaitForSingleObjectEx(HANDLE object, DWORD milliseconds, BOOL alertable);
DAVRO_API DWORD WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL waitAll,
                                         DWORD milliseconds, BOOL alertable);
DAVRO_API DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds,
                                            DWORD wakeMask, DWORD flags);
DAVRO_API DWORD QueueUserAPC(PAPCFUNC apc, HANDLE thread, ULONG_PTR data);
// Signals `signal` (SetEvent, ReleaseSemaphore by 1 or ReleaseMutex, by its kind) and waits
// for `waitOn`, queued on it before the signal can be seen by any other thread.
DAVRO_API DWORD SignalObjectAndWait(HANDLE signal, HANDLE waitOn, DWORD milliseconds,
                                    BOOL alertable);
DAVRO_API BOOL PulseEvent(HANDLE event);

// ---- Waitable timers ----
DAVRO_API HANDLE CreateWaitableTimerW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                      LPCWSTR name);
DAVRO_API HANDLE CreateWaitableTimerA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                      LPCSTR name);
DAVRO_API HANDLE CreateWaitableTimerExW(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name, DWORD flags,
                                        DWORD desiredAccess);
DAVRO_API HANDLE CreateWaitableTimerExA(LPSECURITY_ATTRIBUTES attributes, LPCSTR name, DWORD flags,
                                        DWORD desiredAccess);
DAVRO_API HANDLE OpenWaitableTimerW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
DAVRO_API HANDLE OpenWaitableTimerA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
DAVRO_API BOOL SetWaitableTimer(HANDLE timer, const LARGE_INTEGER* dueTime, LONG period,
                                PTIMERAPCROUTINE completionRoutine, LPVOID argument, BOOL resume);
DAVRO_API BOOL SetWaitableTimerEx(HANDLE timer, const LARGE_INTEGER* dueTime, LONG period,
                                  PTIMERAPCROUTINE completionRoutine, LPVOID argument,
                                  PREASON_CONTEXT wakeContext, ULONG tolerableDelay);
DAVRO_API BOOL CancelWaitableTimer(HANDLE timer);

// ---- Critical sections (process-private, recursive) ----
DAVRO_API void InitializeCriticalSection(LPCRITICAL_SECTION section);
DAVRO_API void EnterCriticalSection(LPCRITICAL_SECTION section);
DAVRO_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
DAVRO_API void LeaveCriticalSection(LPCRITICAL_SECTION section);
DAVRO_API void DeleteCriticalSection(LPCRITICAL_SECTION section);
DAVRO_API BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount);
DAVRO_API BOOL InitializeCriticalSectionEx(LPCRITICAL_SECTION section, DWORD spinCount,
                                           DWORD flags);
DAVRO_API DWORD SetCriticalSectionSpinCount(LPCRITICAL_SECTION section, DWORD spinCount);

// ---- Threads ----
using _beginthreadex_proc_type = unsigned (*)(void*);  // NOLINT(bugprone-reserved-identifier)
DAVRO_API std::uintptr_t _beginthreadex(void* security, unsigned stackSize,  // NOLINT
                                        _beginthreadex_proc_type startAddress, void* argument,
                                        unsigned initFlag, unsigned* threadId);
DAVRO_API void _endthreadex(unsigned exitCode);  // NOLINT(bugprone-reserved-identifier)
DAVRO_API DWORD GetCurrentThreadId();
DAVRO_API HANDLE GetCurrentThread();
DAVRO_API DWORD ResumeThread(HANDLE thread);
DAVRO_API DWORD SuspendThread(HANDLE thread);
DAVRO_API BOOL SetThreadPriority(HANDLE thread, int priority);
DAVRO_API int GetThreadPriority(HANDLE thread);
DAVRO_API BOOL TerminateThread(HANDLE thread, DWORD exitCode);
DAVRO_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DAVRO_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                              LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                              DWORD creationFlags, LPDWORD threadId);
[[noreturn]] DAVRO_API void ExitThread(DWORD exitCode);
DAVRO_API HANDLE OpenThread(DWORD desiredAccess, BOOL inheritHandle, DWORD threadId);
DAVRO_API DWORD GetThreadId(HANDLE thread);
DAVRO_API BOOL SwitchToThread();
[[noreturn]] DAVRO_API void ExitProcess(UINT exitCode);
DAVRO_API BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);

// ---- Processors and the system ----
DAVRO_API DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR affinityMask);
DAVRO_API BOOL GetProcessAffinityMask(HANDLE process, PDWORD_PTR processAffinityMask,
                                      PDWORD_PTR systemAffinityMask);
DAVRO_API BOOL SetProcessAffinityMask(HANDLE process, DWORD_PTR affinityMask);
DAVRO_API void GetSystemInfo(LPSYSTEM_INFO systemInfo);
DAVRO_API void GetNativeSystemInfo(LPSYSTEM_INFO systemInfo);
DAVRO_API DWORD GetActiveProcessorCount(WORD groupNumber);

// ---- Modules: the layer's own functions, looked up by name ----
DAVRO_API HMODULE GetModuleHandleA(LPCSTR moduleName);
DAVRO_API FARPROC GetProcAddress(HMODULE module, LPCSTR procName);

// ---- Narrow (A) variants of calls that take or give text ----
// Texts are UTF-8 here (Windows: the ANSI code page). The message calls behave as their W
// twins: the layer's messages carry no text to convert.
DAVRO_API BOOL PeekMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax,
                            UINT removeMessage);
DAVRO_API BOOL GetMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax);
DAVRO_API LRESULT DispatchMessageA(const MSG* message);
DAVRO_API BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
DAVRO_API BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DAVRO_API LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DAVRO_API LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DAVRO_API LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value);
DAVRO_API LONG_PTR GetWindowLongPtrA(HWND window, int index);
DAVRO_API int GetDateFormatA(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCSTR format,
                             LPSTR dateText, int size);
DAVRO_API int GetTimeFormatA(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR format,
                             LPSTR timeText, int size);

// ---- Wait chain traversal (threads of the calling process; synchronous sessions only) ----
DAVRO_API HWCT OpenThreadWaitChainSession(DWORD flags, PWAITCHAINCALLBACK callback);
DAVRO_API void CloseThreadWaitChainSession(HWCT session);
DAVRO_API BOOL GetThreadWaitChain(HWCT session, DWORD_PTR context, DWORD flags, DWORD threadId,
                                  LPDWORD nodeCount, PWAITCHAIN_NODE_INFO nodeInfoArray,
                                  LPBOOL isCycle);

// ---- Message queue and message-only windows ----
DAVRO_API BOOL PeekMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax,
                            UINT removeMessage);
DAVRO_API BOOL GetMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax);
DAVRO_API BOOL TranslateMessage(const MSG* message);
DAVRO_API LRESULT DispatchMessageW(const MSG* message);
DAVRO_API BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
DAVRO_API BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DAVRO_API LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DAVRO_API void PostQuitMessage(int exitCode);
DAVRO_API ATOM RegisterClassW(const WNDCLASSW* windowClass);
DAVRO_API BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance);
DAVRO_API HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style,
                               int x, int y, int width, int height, HWND parent, HMENU menu,
                               HINSTANCE instance, void* param);
DAVRO_API BOOL DestroyWindow(HWND window);
DAVRO_API LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DAVRO_API LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value);
DAVRO_API LONG_PTR GetWindowLongPtrW(HWND window, int index);
DAVRO_API HMODULE GetModuleHandleW(LPCWSTR moduleName);

// ---- Time ----
DAVRO_API void GetSystemTime(LPSYSTEMTIME systemTime);
DAVRO_API void GetLocalTime(LPSYSTEMTIME systemTime);
DAVRO_API void GetSystemTimeAsFileTime(LPFILETIME fileTime);
DAVRO_API BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime);
DAVRO_API BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);
DAVRO_API BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localFileTime);
DAVRO_API BOOL LocalFileTimeToFileTime(const FILETIME* localFileTime, LPFILETIME fileTime);
DAVRO_API LONG CompareFileTime(const FILETIME* first, const FILETIME* second);
DAVRO_API DWORD GetTickCount();
DAVRO_API ULONGLONG GetTickCount64();

// ---- Locale ----
DAVRO_API int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR format,
                             LPWSTR dateText, int size);
DAVRO_API int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR format,
                             LPWSTR timeText, int size);

}  // namespace davro::win32

// Interlocked operations, slim locks, condition variables, one-time initialisation, waits on
// addresses, barriers, interlocked lists, thread- and fiber-local storage.
#include <davro/platform/Win32Sync.h>

// The thread pool, timer queues and registered waits.
#include <davro/platform/Win32Pool.h>

#endif  // DAVRO_WINDOWS
