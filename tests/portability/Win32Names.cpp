// Compile-time checks of the Win32 subset that the library is written against.
//
// The same file builds on Linux, against davro/platform/linux, and on Windows, against the
// real <windows.h>. Each name is used the way library code uses it (unqualified, after
// `using namespace davro::win32;`), so a name missing from the Windows mapping, a clash with
// a Windows macro, or a Linux constant, structure or signature that differs from Win32's
// fails the build on the system where it is wrong. wchar_t's width is not checked: it
// differs by design (16 bits on Windows, 32 on Linux).
#include <davro/platform/Win32.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace {

using namespace davro::win32;

// ---- Sizes and layouts of 64-bit Windows (LLP64) ----
static_assert(sizeof(BOOL) == 4 && sizeof(BYTE) == 1 && sizeof(WORD) == 2);
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(UINT) == 4);
static_assert(sizeof(LONGLONG) == 8 && sizeof(ULONGLONG) == 8 && sizeof(__int64) == 8);
static_assert(sizeof(LONG_PTR) == 8 && sizeof(ULONG_PTR) == 8 && sizeof(UINT_PTR) == 8);
static_assert(sizeof(DWORD_PTR) == 8 && sizeof(WPARAM) == 8 && sizeof(LPARAM) == 8);
static_assert(sizeof(LRESULT) == 8 && sizeof(HANDLE) == 8 && sizeof(HWND) == 8);
static_assert(std::is_signed_v<LONG> && std::is_signed_v<LONG_PTR> && std::is_signed_v<BOOL>);
static_assert(std::is_unsigned_v<DWORD> && std::is_unsigned_v<WPARAM>);
static_assert(sizeof(LCID) == 4 && sizeof(ATOM) == 2 && sizeof(INT) == 4);

static_assert(sizeof(FILETIME) == 8 && offsetof(FILETIME, dwHighDateTime) == 4);
static_assert(sizeof(SYSTEMTIME) == 16);
static_assert(offsetof(SYSTEMTIME, wMonth) == 2 && offsetof(SYSTEMTIME, wDayOfWeek) == 4 &&
              offsetof(SYSTEMTIME, wDay) == 6 && offsetof(SYSTEMTIME, wHour) == 8 &&
              offsetof(SYSTEMTIME, wMinute) == 10 && offsetof(SYSTEMTIME, wSecond) == 12 &&
              offsetof(SYSTEMTIME, wMilliseconds) == 14);
static_assert(sizeof(CRITICAL_SECTION) == 40);
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);
static_assert(sizeof(POINT) == 8 && sizeof(MSG) == 48 && offsetof(MSG, wParam) == 16 &&
              offsetof(MSG, time) == 32 && offsetof(MSG, pt) == 36);
static_assert(sizeof(WNDCLASSW) == 72 && offsetof(WNDCLASSW, lpszClassName) == 64);
static_assert(std::is_same_v<LPFILETIME, FILETIME*> && std::is_same_v<LPSYSTEMTIME, SYSTEMTIME*>);
static_assert(std::is_same_v<LPMSG, MSG*> && std::is_same_v<LPCRITICAL_SECTION, CRITICAL_SECTION*>);
static_assert(std::is_same_v<LPSECURITY_ATTRIBUTES, SECURITY_ATTRIBUTES*>);
static_assert(std::is_same_v<PHANDLE, HANDLE*> && std::is_same_v<LPHANDLE, HANDLE*>);
static_assert(std::is_same_v<LPLONG, LONG*> && std::is_same_v<LPDWORD, DWORD*>);
static_assert(std::is_same_v<LPCWSTR, const WCHAR*> && std::is_same_v<LPWSTR, WCHAR*>);
static_assert(std::is_same_v<HMODULE, HINSTANCE> && std::is_pointer_v<HMENU>);
static_assert(std::is_same_v<WNDPROC, LRESULT (*)(HWND, UINT, WPARAM, LPARAM)>);
static_assert(std::is_same_v<_beginthreadex_proc_type, unsigned (*)(void*)>);

// ---- What ported code expects: both halves of the large integers, by name and in `u` ----
static_assert(sizeof(LARGE_INTEGER) == 8 && sizeof(ULARGE_INTEGER) == 8);
static_assert(offsetof(LARGE_INTEGER, HighPart) == 4 && offsetof(LARGE_INTEGER, u.HighPart) == 4);
static_assert(offsetof(ULARGE_INTEGER, HighPart) == 4 && offsetof(ULARGE_INTEGER, QuadPart) == 0);
static_assert(std::is_signed_v<decltype(LARGE_INTEGER{}.HighPart)>);
static_assert(std::is_unsigned_v<decltype(ULARGE_INTEGER{}.HighPart)>);
static_assert(std::is_same_v<PLARGE_INTEGER, LARGE_INTEGER*>);
static_assert(sizeof(HRESULT) == 4 && std::is_signed_v<HRESULT> && sizeof(KAFFINITY) == 8);
static_assert(sizeof(SIZE_T) == 8 && sizeof(INT_PTR) == 8 && sizeof(BOOLEAN) == 1);
static_assert(std::is_same_v<PUSHORT, unsigned short*> && std::is_same_v<LPVOID, void*>);
static_assert(std::is_same_v<LPCSTR, const char*> && std::is_same_v<PDWORD, DWORD*>);
static_assert(std::is_same_v<CONST DWORD*, const DWORD*>);
static_assert(MAX_PATH == 260 && MAXDWORD == 0xFFFFFFFF && MAXLONG == 0x7FFFFFFF);
static_assert(S_OK == 0 && S_FALSE == 1 && E_FAIL == static_cast<HRESULT>(0x80004005));
static_assert(E_OUTOFMEMORY == static_cast<HRESULT>(0x8007000E));
static_assert(E_INVALIDARG == static_cast<HRESULT>(0x80070057));
static_assert(HRESULT_FROM_WIN32(ERROR_SUCCESS) == S_OK);
static_assert(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) == E_ACCESSDENIED);
static_assert(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER) == E_INVALIDARG);
static_assert(HRESULT_FROM_WIN32(static_cast<DWORD>(E_FAIL)) == E_FAIL);  // already an HRESULT
static_assert(SUCCEEDED(S_FALSE) && !FAILED(S_OK) && FAILED(E_FAIL) && !SUCCEEDED(E_FAIL));
static_assert(HRESULT_CODE(E_INVALIDARG) == ERROR_INVALID_PARAMETER);

// ---- Constants: values from the Win32 documentation ----
static_assert(TRUE == 1 && FALSE == 0);
static_assert(INFINITE == 0xFFFFFFFF && MAXIMUM_WAIT_OBJECTS == 64);
static_assert(WAIT_OBJECT_0 == 0 && WAIT_ABANDONED == 0x80 && WAIT_ABANDONED_0 == 0x80);
static_assert(WAIT_TIMEOUT == 258 && WAIT_FAILED == 0xFFFFFFFF);
static_assert(ERROR_SUCCESS == 0 && ERROR_FILE_NOT_FOUND == 2 && ERROR_ACCESS_DENIED == 5);
static_assert(ERROR_INVALID_HANDLE == 6 && ERROR_NOT_ENOUGH_MEMORY == 8);
static_assert(ERROR_INVALID_PARAMETER == 87 && ERROR_INSUFFICIENT_BUFFER == 122);
static_assert(ERROR_INVALID_NAME == 123 && ERROR_BAD_PATHNAME == 161);
static_assert(ERROR_ALREADY_EXISTS == 183 && ERROR_FILENAME_EXCED_RANGE == 206);
static_assert(ERROR_NOT_OWNER == 288 && ERROR_TOO_MANY_POSTS == 298);
static_assert(ERROR_INVALID_FLAGS == 1004 && ERROR_INVALID_WINDOW_HANDLE == 1400);
static_assert(ERROR_CLASS_ALREADY_EXISTS == 1410 && ERROR_CLASS_DOES_NOT_EXIST == 1411);
static_assert(ERROR_INVALID_THREAD_ID == 1444);
static_assert(DUPLICATE_CLOSE_SOURCE == 1 && DUPLICATE_SAME_ACCESS == 2);
static_assert(SYNCHRONIZE == 0x00100000 && MUTEX_ALL_ACCESS == 0x001F0001);
static_assert(CREATE_SUSPENDED == 4 && STILL_ACTIVE == 259);
static_assert(THREAD_PRIORITY_IDLE == -15 && THREAD_PRIORITY_LOWEST == -2 &&
              THREAD_PRIORITY_BELOW_NORMAL == -1 && THREAD_PRIORITY_NORMAL == 0 &&
              THREAD_PRIORITY_ABOVE_NORMAL == 1 && THREAD_PRIORITY_HIGHEST == 2 &&
              THREAD_PRIORITY_TIME_CRITICAL == 15 && THREAD_PRIORITY_ERROR_RETURN == 0x7FFFFFFF);
static_assert(LOCALE_USER_DEFAULT == 0x0400 && LOCALE_SYSTEM_DEFAULT == 0x0800 &&
              LOCALE_INVARIANT == 0x007F);
static_assert(DATE_SHORTDATE == 1 && DATE_LONGDATE == 2);
static_assert(TIME_NOMINUTESORSECONDS == 1 && TIME_NOSECONDS == 2 && TIME_NOTIMEMARKER == 4 &&
              TIME_FORCE24HOURFORMAT == 8);
static_assert(WM_NULL == 0 && WM_DESTROY == 2 && WM_CLOSE == 0x10 && WM_QUIT == 0x12 &&
              WM_TIMER == 0x113 && WM_USER == 0x400 && WM_APP == 0x8000);
static_assert(PM_NOREMOVE == 0 && PM_REMOVE == 1 && PM_NOYIELD == 2);
static_assert(QS_KEY == 1 && QS_MOUSEMOVE == 2 && QS_MOUSEBUTTON == 4 && QS_POSTMESSAGE == 8 &&
              QS_TIMER == 0x10 && QS_PAINT == 0x20 && QS_SENDMESSAGE == 0x40 && QS_HOTKEY == 0x80 &&
              QS_ALLPOSTMESSAGE == 0x100 && QS_RAWINPUT == 0x400 && QS_TOUCH == 0x800 &&
              QS_POINTER == 0x1000);
static_assert(QS_MOUSE == 6 && QS_INPUT == 0x1C07 && QS_ALLEVENTS == 0x1CBF &&
              QS_ALLINPUT == 0x1CFF);

// Handles that are not pointers to anything: compared, never dereferenced.
[[maybe_unused]] bool specialHandles() {
    return INVALID_HANDLE_VALUE == reinterpret_cast<HANDLE>(-1) &&  // NOLINT
           HWND_MESSAGE == reinterpret_cast<HWND>(-3);              // NOLINT
}

// ---- Signatures, as the library calls them ----
#define DAVRO_SIGNATURE(name, type) static_assert(std::is_same_v<decltype(name), type>, #name)

DAVRO_SIGNATURE(GetLastError, DWORD());
DAVRO_SIGNATURE(SetLastError, void(DWORD));
DAVRO_SIGNATURE(CloseHandle, BOOL(HANDLE));
DAVRO_SIGNATURE(DuplicateHandle, BOOL(HANDLE, HANDLE, HANDLE, LPHANDLE, DWORD, BOOL, DWORD));
DAVRO_SIGNATURE(GetCurrentProcess, HANDLE());
DAVRO_SIGNATURE(GetCurrentProcessId, DWORD());
DAVRO_SIGNATURE(LocalAlloc, HLOCAL(UINT, SIZE_T));
DAVRO_SIGNATURE(LocalFree, HLOCAL(HLOCAL));
DAVRO_SIGNATURE(CreateMutexW, HANDLE(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR));
DAVRO_SIGNATURE(OpenMutexW, HANDLE(DWORD, BOOL, LPCWSTR));
DAVRO_SIGNATURE(ReleaseMutex, BOOL(HANDLE));
DAVRO_SIGNATURE(CreateEventW, HANDLE(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR));
DAVRO_SIGNATURE(SetEvent, BOOL(HANDLE));
DAVRO_SIGNATURE(ResetEvent, BOOL(HANDLE));
DAVRO_SIGNATURE(CreateSemaphoreW, HANDLE(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR));
DAVRO_SIGNATURE(ReleaseSemaphore, BOOL(HANDLE, LONG, LPLONG));
DAVRO_SIGNATURE(WaitForSingleObject, DWORD(HANDLE, DWORD));
DAVRO_SIGNATURE(WaitForMultipleObjects, DWORD(DWORD, const HANDLE*, BOOL, DWORD));
DAVRO_SIGNATURE(MsgWaitForMultipleObjects, DWORD(DWORD, const HANDLE*, BOOL, DWORD, DWORD));
DAVRO_SIGNATURE(Sleep, void(DWORD));
DAVRO_SIGNATURE(InitializeCriticalSection, void(LPCRITICAL_SECTION));
DAVRO_SIGNATURE(EnterCriticalSection, void(LPCRITICAL_SECTION));
DAVRO_SIGNATURE(TryEnterCriticalSection, BOOL(LPCRITICAL_SECTION));
DAVRO_SIGNATURE(LeaveCriticalSection, void(LPCRITICAL_SECTION));
DAVRO_SIGNATURE(DeleteCriticalSection, void(LPCRITICAL_SECTION));
DAVRO_SIGNATURE(_beginthreadex, std::uintptr_t(void*, unsigned, _beginthreadex_proc_type, void*,
                                               unsigned, unsigned*));
DAVRO_SIGNATURE(_endthreadex, void(unsigned));
DAVRO_SIGNATURE(GetCurrentThreadId, DWORD());
DAVRO_SIGNATURE(GetCurrentThread, HANDLE());
DAVRO_SIGNATURE(ResumeThread, DWORD(HANDLE));
DAVRO_SIGNATURE(SuspendThread, DWORD(HANDLE));
DAVRO_SIGNATURE(SetThreadPriority, BOOL(HANDLE, int));
DAVRO_SIGNATURE(GetThreadPriority, int(HANDLE));
DAVRO_SIGNATURE(TerminateThread, BOOL(HANDLE, DWORD));
DAVRO_SIGNATURE(GetExitCodeThread, BOOL(HANDLE, LPDWORD));
DAVRO_SIGNATURE(PeekMessageW, BOOL(LPMSG, HWND, UINT, UINT, UINT));
DAVRO_SIGNATURE(GetMessageW, BOOL(LPMSG, HWND, UINT, UINT));
DAVRO_SIGNATURE(TranslateMessage, BOOL(const MSG*));
DAVRO_SIGNATURE(DispatchMessageW, LRESULT(const MSG*));
DAVRO_SIGNATURE(PostThreadMessageW, BOOL(DWORD, UINT, WPARAM, LPARAM));
DAVRO_SIGNATURE(PostMessageW, BOOL(HWND, UINT, WPARAM, LPARAM));
DAVRO_SIGNATURE(SendMessageW, LRESULT(HWND, UINT, WPARAM, LPARAM));
DAVRO_SIGNATURE(PostQuitMessage, void(int));
DAVRO_SIGNATURE(RegisterClassW, ATOM(const WNDCLASSW*));
DAVRO_SIGNATURE(UnregisterClassW, BOOL(LPCWSTR, HINSTANCE));
DAVRO_SIGNATURE(CreateWindowExW, HWND(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND,
                                      HMENU, HINSTANCE, void*));
DAVRO_SIGNATURE(DestroyWindow, BOOL(HWND));
DAVRO_SIGNATURE(DefWindowProcW, LRESULT(HWND, UINT, WPARAM, LPARAM));
DAVRO_SIGNATURE(GetModuleHandleW, HMODULE(LPCWSTR));
DAVRO_SIGNATURE(GetSystemTime, void(LPSYSTEMTIME));
DAVRO_SIGNATURE(GetLocalTime, void(LPSYSTEMTIME));
DAVRO_SIGNATURE(GetSystemTimeAsFileTime, void(LPFILETIME));
DAVRO_SIGNATURE(SystemTimeToFileTime, BOOL(const SYSTEMTIME*, LPFILETIME));
DAVRO_SIGNATURE(FileTimeToSystemTime, BOOL(const FILETIME*, LPSYSTEMTIME));
DAVRO_SIGNATURE(FileTimeToLocalFileTime, BOOL(const FILETIME*, LPFILETIME));
DAVRO_SIGNATURE(LocalFileTimeToFileTime, BOOL(const FILETIME*, LPFILETIME));
DAVRO_SIGNATURE(CompareFileTime, LONG(const FILETIME*, const FILETIME*));
DAVRO_SIGNATURE(GetTickCount, DWORD());
DAVRO_SIGNATURE(GetTickCount64, ULONGLONG());
DAVRO_SIGNATURE(GetDateFormatW, int(LCID, DWORD, const SYSTEMTIME*, LPCWSTR, LPWSTR, int));
DAVRO_SIGNATURE(GetTimeFormatW, int(LCID, DWORD, const SYSTEMTIME*, LPCWSTR, LPWSTR, int));
DAVRO_SIGNATURE(CreateThread, HANDLE(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                     DWORD, LPDWORD));
DAVRO_SIGNATURE(ExitThread, void(DWORD));
DAVRO_SIGNATURE(OpenThread, HANDLE(DWORD, BOOL, DWORD));
DAVRO_SIGNATURE(GetThreadId, DWORD(HANDLE));
DAVRO_SIGNATURE(SwitchToThread, BOOL());
DAVRO_SIGNATURE(ExitProcess, void(UINT));
DAVRO_SIGNATURE(GetExitCodeProcess, BOOL(HANDLE, LPDWORD));
DAVRO_SIGNATURE(InitializeCriticalSectionAndSpinCount, BOOL(LPCRITICAL_SECTION, DWORD));
DAVRO_SIGNATURE(InitializeCriticalSectionEx, BOOL(LPCRITICAL_SECTION, DWORD, DWORD));
DAVRO_SIGNATURE(SetCriticalSectionSpinCount, DWORD(LPCRITICAL_SECTION, DWORD));
DAVRO_SIGNATURE(SetThreadAffinityMask, DWORD_PTR(HANDLE, DWORD_PTR));
DAVRO_SIGNATURE(GetProcessAffinityMask, BOOL(HANDLE, PDWORD_PTR, PDWORD_PTR));
DAVRO_SIGNATURE(SetProcessAffinityMask, BOOL(HANDLE, DWORD_PTR));
DAVRO_SIGNATURE(GetSystemInfo, void(LPSYSTEM_INFO));
DAVRO_SIGNATURE(GetNativeSystemInfo, void(LPSYSTEM_INFO));
DAVRO_SIGNATURE(GetActiveProcessorCount, DWORD(WORD));
DAVRO_SIGNATURE(GetModuleHandleA, HMODULE(LPCSTR));
DAVRO_SIGNATURE(GetProcAddress, FARPROC(HMODULE, LPCSTR));
DAVRO_SIGNATURE(PeekMessageA, BOOL(LPMSG, HWND, UINT, UINT, UINT));
DAVRO_SIGNATURE(GetMessageA, BOOL(LPMSG, HWND, UINT, UINT));
DAVRO_SIGNATURE(DispatchMessageA, LRESULT(const MSG*));
DAVRO_SIGNATURE(PostThreadMessageA, BOOL(DWORD, UINT, WPARAM, LPARAM));
DAVRO_SIGNATURE(PostMessageA, BOOL(HWND, UINT, WPARAM, LPARAM));
DAVRO_SIGNATURE(SendMessageA, LRESULT(HWND, UINT, WPARAM, LPARAM));
DAVRO_SIGNATURE(DefWindowProcA, LRESULT(HWND, UINT, WPARAM, LPARAM));
DAVRO_SIGNATURE(SetWindowLongPtrA, LONG_PTR(HWND, int, LONG_PTR));
DAVRO_SIGNATURE(GetWindowLongPtrA, LONG_PTR(HWND, int));
DAVRO_SIGNATURE(GetDateFormatA, int(LCID, DWORD, const SYSTEMTIME*, LPCSTR, LPSTR, int));
DAVRO_SIGNATURE(GetTimeFormatA, int(LCID, DWORD, const SYSTEMTIME*, LPCSTR, LPSTR, int));

// The thread and processor values, and the system information's layout.
static_assert(THREAD_TERMINATE == 1 && THREAD_SUSPEND_RESUME == 2 &&
              THREAD_SET_INFORMATION == 0x20);
static_assert(THREAD_QUERY_INFORMATION == 0x40 && THREAD_QUERY_LIMITED_INFORMATION == 0x800);
static_assert(THREAD_ALL_ACCESS == 0x1FFFFF && STACK_SIZE_PARAM_IS_A_RESERVATION == 0x10000);
static_assert(CRITICAL_SECTION_NO_DEBUG_INFO == 0x01000000 && ALL_PROCESSOR_GROUPS == 0xFFFF);
static_assert(PROCESSOR_ARCHITECTURE_AMD64 == 9 && PROCESSOR_ARCHITECTURE_ARM64 == 12);
static_assert(ERROR_PROC_NOT_FOUND == 127);
static_assert(sizeof(SYSTEM_INFO) == 48 && offsetof(SYSTEM_INFO, dwPageSize) == 4);
static_assert(offsetof(SYSTEM_INFO, dwActiveProcessorMask) == 24 &&
              offsetof(SYSTEM_INFO, dwNumberOfProcessors) == 32 &&
              offsetof(SYSTEM_INFO, wProcessorRevision) == 46);
static_assert(std::is_same_v<LPTHREAD_START_ROUTINE, DWORD (*)(LPVOID)>);

// The slim synchronisation: the structures that C callers share (Win32SyncCommon.h, whose C
// side asserts the same figures), the out-of-line calls, and the values. The Interlocked*
// family is macros over intrinsics on Windows: no signature to compare.
static_assert(sizeof(SRWLOCK) == 8 && alignof(SRWLOCK) == 8);
static_assert(sizeof(CONDITION_VARIABLE) == 8 && alignof(CONDITION_VARIABLE) == 8);
static_assert(sizeof(INIT_ONCE) == 8 && alignof(INIT_ONCE) == 8);
static_assert(sizeof(SYNCHRONIZATION_BARRIER) == 32);
static_assert(sizeof(SLIST_ENTRY) == 16 && alignof(SLIST_ENTRY) == 16);
static_assert(sizeof(SLIST_HEADER) == 16 && alignof(SLIST_HEADER) == 16);
static_assert(MEMORY_ALLOCATION_ALIGNMENT == 16 && TLS_MINIMUM_AVAILABLE == 64);
static_assert(TLS_OUT_OF_INDEXES == 0xFFFFFFFF && FLS_OUT_OF_INDEXES == 0xFFFFFFFF);
static_assert(CONDITION_VARIABLE_LOCKMODE_SHARED == 1 && INIT_ONCE_CTX_RESERVED_BITS == 2);
static_assert(INIT_ONCE_CHECK_ONLY == 1 && INIT_ONCE_ASYNC == 2 && INIT_ONCE_INIT_FAILED == 4);
static_assert(SYNCHRONIZATION_BARRIER_FLAGS_SPIN_ONLY == 1 &&
              SYNCHRONIZATION_BARRIER_FLAGS_BLOCK_ONLY == 2 &&
              SYNCHRONIZATION_BARRIER_FLAGS_NO_DELETE == 4);
static_assert(LMEM_FIXED == 0 && LMEM_MOVEABLE == 2 && LMEM_ZEROINIT == 0x40 && LPTR == 0x40);
static_assert(ERROR_GEN_FAILURE == 31 && ERROR_NO_MORE_ITEMS == 259 && ERROR_TIMEOUT == 1460);
static_assert(std::is_same_v<PINIT_ONCE_FN, BOOL (*)(PINIT_ONCE, PVOID, PVOID*)>);
static_assert(std::is_same_v<PFLS_CALLBACK_FUNCTION, void (*)(PVOID)>);
DAVRO_SIGNATURE(InitializeSRWLock, void(PSRWLOCK));
DAVRO_SIGNATURE(AcquireSRWLockExclusive, void(PSRWLOCK));
DAVRO_SIGNATURE(AcquireSRWLockShared, void(PSRWLOCK));
DAVRO_SIGNATURE(ReleaseSRWLockExclusive, void(PSRWLOCK));
DAVRO_SIGNATURE(ReleaseSRWLockShared, void(PSRWLOCK));
DAVRO_SIGNATURE(TryAcquireSRWLockExclusive, BOOLEAN(PSRWLOCK));
DAVRO_SIGNATURE(TryAcquireSRWLockShared, BOOLEAN(PSRWLOCK));
DAVRO_SIGNATURE(InitializeConditionVariable, void(PCONDITION_VARIABLE));
DAVRO_SIGNATURE(SleepConditionVariableCS, BOOL(PCONDITION_VARIABLE, PCRITICAL_SECTION, DWORD));
DAVRO_SIGNATURE(SleepConditionVariableSRW, BOOL(PCONDITION_VARIABLE, PSRWLOCK, DWORD, ULONG));
DAVRO_SIGNATURE(WakeConditionVariable, void(PCONDITION_VARIABLE));
DAVRO_SIGNATURE(WakeAllConditionVariable, void(PCONDITION_VARIABLE));
DAVRO_SIGNATURE(InitOnceInitialize, void(PINIT_ONCE));
DAVRO_SIGNATURE(InitOnceExecuteOnce, BOOL(PINIT_ONCE, PINIT_ONCE_FN, PVOID, LPVOID*));
DAVRO_SIGNATURE(InitOnceBeginInitialize, BOOL(LPINIT_ONCE, DWORD, PBOOL, LPVOID*));
DAVRO_SIGNATURE(InitOnceComplete, BOOL(LPINIT_ONCE, DWORD, LPVOID));
DAVRO_SIGNATURE(WaitOnAddress, BOOL(volatile void*, PVOID, SIZE_T, DWORD));
DAVRO_SIGNATURE(WakeByAddressSingle, void(PVOID));
DAVRO_SIGNATURE(WakeByAddressAll, void(PVOID));
DAVRO_SIGNATURE(InitializeSynchronizationBarrier, BOOL(LPSYNCHRONIZATION_BARRIER, LONG, LONG));
DAVRO_SIGNATURE(EnterSynchronizationBarrier, BOOL(LPSYNCHRONIZATION_BARRIER, DWORD));
DAVRO_SIGNATURE(DeleteSynchronizationBarrier, BOOL(LPSYNCHRONIZATION_BARRIER));
DAVRO_SIGNATURE(InitializeSListHead, void(PSLIST_HEADER));
DAVRO_SIGNATURE(InterlockedPushEntrySList, PSLIST_ENTRY(PSLIST_HEADER, PSLIST_ENTRY));
DAVRO_SIGNATURE(InterlockedPopEntrySList, PSLIST_ENTRY(PSLIST_HEADER));
DAVRO_SIGNATURE(InterlockedFlushSList, PSLIST_ENTRY(PSLIST_HEADER));
DAVRO_SIGNATURE(QueryDepthSList, USHORT(PSLIST_HEADER));
DAVRO_SIGNATURE(TlsAlloc, DWORD());
DAVRO_SIGNATURE(TlsFree, BOOL(DWORD));
DAVRO_SIGNATURE(TlsGetValue, LPVOID(DWORD));
DAVRO_SIGNATURE(TlsSetValue, BOOL(DWORD, LPVOID));
DAVRO_SIGNATURE(FlsAlloc, DWORD(PFLS_CALLBACK_FUNCTION));
DAVRO_SIGNATURE(FlsFree, BOOL(DWORD));
DAVRO_SIGNATURE(FlsGetValue, PVOID(DWORD));
DAVRO_SIGNATURE(FlsSetValue, BOOL(DWORD, PVOID));
// Waitable timers, APCs and alertable waits.
static_assert(WAIT_IO_COMPLETION == 0xC0 && ERROR_GEN_FAILURE == 31 && ERROR_NOACCESS == 998);
static_assert(TIMER_QUERY_STATE == 1 && TIMER_MODIFY_STATE == 2 && TIMER_ALL_ACCESS == 0x1F0003);
static_assert(CREATE_WAITABLE_TIMER_MANUAL_RESET == 1 &&
              CREATE_WAITABLE_TIMER_HIGH_RESOLUTION == 2);
static_assert(MWMO_WAITALL == 1 && MWMO_ALERTABLE == 2 && MWMO_INPUTAVAILABLE == 4);
static_assert(std::is_same_v<PAPCFUNC, void (*)(ULONG_PTR)>);
static_assert(std::is_same_v<PTIMERAPCROUTINE, void (*)(LPVOID, DWORD, DWORD)>);
static_assert(sizeof(REASON_CONTEXT) == 32 && offsetof(REASON_CONTEXT, Reason) == 8);
DAVRO_SIGNATURE(SleepEx, DWORD(DWORD, BOOL));
DAVRO_SIGNATURE(WaitForSingleObjectEx, DWORD(HANDLE, DWORD, BOOL));
DAVRO_SIGNATURE(WaitForMultipleObjectsEx, DWORD(DWORD, const HANDLE*, BOOL, DWORD, BOOL));
DAVRO_SIGNATURE(MsgWaitForMultipleObjectsEx, DWORD(DWORD, const HANDLE*, DWORD, DWORD, DWORD));
DAVRO_SIGNATURE(QueueUserAPC, DWORD(PAPCFUNC, HANDLE, ULONG_PTR));
DAVRO_SIGNATURE(SignalObjectAndWait, DWORD(HANDLE, HANDLE, DWORD, BOOL));
DAVRO_SIGNATURE(PulseEvent, BOOL(HANDLE));
DAVRO_SIGNATURE(CreateWaitableTimerW, HANDLE(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR));
DAVRO_SIGNATURE(CreateWaitableTimerA, HANDLE(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR));
DAVRO_SIGNATURE(CreateWaitableTimerExW, HANDLE(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD));
DAVRO_SIGNATURE(CreateWaitableTimerExA, HANDLE(LPSECURITY_ATTRIBUTES, LPCSTR, DWORD, DWORD));
DAVRO_SIGNATURE(OpenWaitableTimerW, HANDLE(DWORD, BOOL, LPCWSTR));
DAVRO_SIGNATURE(OpenWaitableTimerA, HANDLE(DWORD, BOOL, LPCSTR));
DAVRO_SIGNATURE(SetWaitableTimer,
                BOOL(HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE, LPVOID, BOOL));
DAVRO_SIGNATURE(SetWaitableTimerEx, BOOL(HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE,
                                         LPVOID, PREASON_CONTEXT, ULONG));
DAVRO_SIGNATURE(CancelWaitableTimer, BOOL(HANDLE));
// The thread pool, timer queues and registered waits: the values of the flags, the callback
// types, the environment's first fields and the signatures.
static_assert(WT_EXECUTEDEFAULT == 0 && WT_EXECUTEINWAITTHREAD == 0x4 && WT_EXECUTEONLYONCE == 0x8);
static_assert(WT_EXECUTELONGFUNCTION == 0x10 && WT_EXECUTEINTIMERTHREAD == 0x20);
static_assert(ERROR_IO_PENDING == 997);
static_assert(std::is_same_v<WAITORTIMERCALLBACK, void (*)(PVOID, BOOLEAN)>);
static_assert(std::is_same_v<PTP_WORK_CALLBACK, void (*)(PTP_CALLBACK_INSTANCE, PVOID, PTP_WORK)>);
static_assert(
    std::is_same_v<PTP_TIMER_CALLBACK, void (*)(PTP_CALLBACK_INSTANCE, PVOID, PTP_TIMER)>);
static_assert(std::is_same_v<PTP_WAIT_CALLBACK,
                             void (*)(PTP_CALLBACK_INSTANCE, PVOID, PTP_WAIT, TP_WAIT_RESULT)>);
static_assert(offsetof(TP_CALLBACK_ENVIRON, Pool) == 8 &&
              offsetof(TP_CALLBACK_ENVIRON, CleanupGroup) == 16 &&
              offsetof(TP_CALLBACK_ENVIRON, CleanupGroupCancelCallback) == 24);
DAVRO_SIGNATURE(CreateThreadpool, PTP_POOL(PVOID));
DAVRO_SIGNATURE(SetThreadpoolThreadMinimum, BOOL(PTP_POOL, DWORD));
DAVRO_SIGNATURE(CreateThreadpoolWork, PTP_WORK(PTP_WORK_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON));
DAVRO_SIGNATURE(TrySubmitThreadpoolCallback,
                BOOL(PTP_SIMPLE_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON));
DAVRO_SIGNATURE(SetThreadpoolTimer, void(PTP_TIMER, PFILETIME, DWORD, DWORD));
DAVRO_SIGNATURE(SetThreadpoolWait, void(PTP_WAIT, HANDLE, PFILETIME));
DAVRO_SIGNATURE(CloseThreadpoolCleanupGroupMembers, void(PTP_CLEANUP_GROUP, BOOL, PVOID));
DAVRO_SIGNATURE(CallbackMayRunLong, BOOL(PTP_CALLBACK_INSTANCE));
DAVRO_SIGNATURE(QueueUserWorkItem, BOOL(LPTHREAD_START_ROUTINE, PVOID, ULONG));
DAVRO_SIGNATURE(RegisterWaitForSingleObject,
                BOOL(PHANDLE, HANDLE, WAITORTIMERCALLBACK, PVOID, ULONG, ULONG));
DAVRO_SIGNATURE(UnregisterWaitEx, BOOL(HANDLE, HANDLE));
DAVRO_SIGNATURE(CreateTimerQueueTimer,
                BOOL(PHANDLE, HANDLE, WAITORTIMERCALLBACK, PVOID, DWORD, DWORD, ULONG));
DAVRO_SIGNATURE(ChangeTimerQueueTimer, BOOL(HANDLE, HANDLE, ULONG, ULONG));
DAVRO_SIGNATURE(DeleteTimerQueueTimer, BOOL(HANDLE, HANDLE, HANDLE));
DAVRO_SIGNATURE(DeleteTimerQueueEx, BOOL(HANDLE, HANDLE));

#undef DAVRO_SIGNATURE

}  // namespace
