/* Every function of the C interface, once: DAVRO_WIN32_C_FUNCTIONS(X) calls
 * X(result type, name, (parameters), (arguments)) for each, with Windows' C types (in C++,
 * davro::win32's, which are the same). davro/platform/Win32C.h declares the functions from
 * it; the library defines each as a forwarder to the function of the same name in
 * davro::win32 and finds them by name for GetProcAddress (linux/Win32C.cpp). Linux only. */
#ifndef DAVRO_PLATFORM_WIN32CFUNCTIONS_H
#define DAVRO_PLATFORM_WIN32CFUNCTIONS_H

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

#endif /* DAVRO_PLATFORM_WIN32CFUNCTIONS_H */
