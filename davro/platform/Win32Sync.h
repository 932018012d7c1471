// The slim in-process synchronisation of the Win32 subset on Linux: interlocked operations,
// slim reader/writer locks, condition variables, one-time initialisation, waits on addresses,
// synchronisation barriers, interlocked singly linked lists, thread-local and fiber-local
// storage. Included by davro/platform/Win32.h; on Windows the names are <windows.h>'s own
// (davro/platform/windows/Win32Windows.h).
//
// Every structure here has Windows' size and alignment and needs no clean-up: SRWLOCK,
// CONDITION_VARIABLE and INIT_ONCE are one pointer and are statically initialised with
// their *_INIT value, none of them ever allocates. docs/platform.md lists what each function
// honours.
#pragma once

#include <davro/platform/Win32.h>

#if !DAVRO_WINDOWS

#include <cstddef>
#include <cstdint>

// The structures and the interlocked operations, which C callers share.
#include <davro/platform/Win32SyncCommon.h>

namespace davro::win32 {

// ---- Constants ----
inline constexpr LONG ERROR_GEN_FAILURE = 31;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_TIMEOUT = 1460;

// ---- Interlocked operations ----
// InterlockedIncrement ... InterlockedXor, their 64-bit forms, InterlockedExchangePointer,
// InterlockedCompareExchangePointer and MemoryBarrier are inline, in
// davro/platform/Win32SyncCommon.h (shared with C callers, as are the structures below).

// ---- Slim reader/writer locks ----
// One pointer, zero when free; SRWLOCK_INIT or InitializeSRWLock make one. Not recursive in
// either mode; never allocates and needs no deletion. Writers are preferred: a reader that
// arrives while a writer waits waits too. Releasing a lock not held is undefined, as on
// Windows.
using PSRWLOCK = SRWLOCK*;
inline constexpr SRWLOCK SRWLOCK_INIT{};

DAVRO_API void InitializeSRWLock(PSRWLOCK lock);
DAVRO_API void AcquireSRWLockExclusive(PSRWLOCK lock);
DAVRO_API void AcquireSRWLockShared(PSRWLOCK lock);
DAVRO_API void ReleaseSRWLockExclusive(PSRWLOCK lock);
DAVRO_API void ReleaseSRWLockShared(PSRWLOCK lock);
// TRUE (1) when taken, FALSE at once otherwise (shared: also while a writer waits).
DAVRO_API BOOLEAN TryAcquireSRWLockExclusive(PSRWLOCK lock);
DAVRO_API BOOLEAN TryAcquireSRWLockShared(PSRWLOCK lock);

// ---- Condition variables ----
// One pointer, CONDITION_VARIABLE_INIT or InitializeConditionVariable. A sleep leaves the
// lock, waits for a wake or the time-out and takes the lock again (also after a time-out).
// TRUE when woken (possibly spuriously: callers re-check their predicate); FALSE with
// ERROR_TIMEOUT after the time-out (divided by DAVRO_TIME_SCALE). A wake reaches every thread
// that had started to sleep before it (Wake: at least one, All: all).
using PCONDITION_VARIABLE = CONDITION_VARIABLE*;
inline constexpr CONDITION_VARIABLE CONDITION_VARIABLE_INIT{};
inline constexpr ULONG CONDITION_VARIABLE_LOCKMODE_SHARED = 0x1;

DAVRO_API void InitializeConditionVariable(PCONDITION_VARIABLE condition);
// The critical section is left however deeply the caller has entered it, and entered again
// as deeply.
DAVRO_API BOOL SleepConditionVariableCS(PCONDITION_VARIABLE condition, PCRITICAL_SECTION section,
                                        DWORD milliseconds);
// `flags`: CONDITION_VARIABLE_LOCKMODE_SHARED when the lock is held shared, else 0 (other
// bits are ignored).
DAVRO_API BOOL SleepConditionVariableSRW(PCONDITION_VARIABLE condition, PSRWLOCK lock,
                                         DWORD milliseconds, ULONG flags);
DAVRO_API void WakeConditionVariable(PCONDITION_VARIABLE condition);
DAVRO_API void WakeAllConditionVariable(PCONDITION_VARIABLE condition);

// ---- One-time initialisation ----
// One pointer: its low INIT_ONCE_CTX_RESERVED_BITS bits hold the state, the rest the context
// that a completed initialisation stored (a value whose low two bits are 0).
using PINIT_ONCE = INIT_ONCE*;
using LPINIT_ONCE = INIT_ONCE*;
using PINIT_ONCE_FN = BOOL (*)(PINIT_ONCE initOnce, PVOID parameter, PVOID* context);
inline constexpr INIT_ONCE INIT_ONCE_STATIC_INIT{};
inline constexpr DWORD INIT_ONCE_CHECK_ONLY = 0x1;
inline constexpr DWORD INIT_ONCE_ASYNC = 0x2;
inline constexpr DWORD INIT_ONCE_INIT_FAILED = 0x4;
inline constexpr int INIT_ONCE_CTX_RESERVED_BITS = 2;

DAVRO_API void InitOnceInitialize(PINIT_ONCE initOnce);
// Runs `function` once: the first caller runs it while others wait; its TRUE completes the
// initialisation with the context it wrote (`context` receives it, in every caller), its
// FALSE lets the next caller try again and returns FALSE. A context with reserved bits set,
// or an asynchronous initialisation under way: FALSE + ERROR_INVALID_PARAMETER.
DAVRO_API BOOL InitOnceExecuteOnce(PINIT_ONCE initOnce, PINIT_ONCE_FN function, PVOID parameter,
                                   LPVOID* context);
// TRUE with *pending FALSE and the context when complete; TRUE with *pending TRUE when the
// caller is to initialise (synchronous: the only one, others wait here; INIT_ONCE_ASYNC: any
// number run in parallel). INIT_ONCE_CHECK_ONLY never starts one: FALSE + ERROR_GEN_FAILURE
// unless complete. Mixing synchronous and asynchronous calls, or both flags: FALSE +
// ERROR_INVALID_PARAMETER; unknown flags are ignored.
DAVRO_API BOOL InitOnceBeginInitialize(LPINIT_ONCE initOnce, DWORD flags, PBOOL pending,
                                       LPVOID* context);
// Ends what InitOnceBeginInitialize started: the context is stored and waiters are released;
// INIT_ONCE_INIT_FAILED (synchronous only) lets the next caller start again. Asynchronous:
// the first completion wins, later ones get FALSE + ERROR_GEN_FAILURE (the caller then
// discards what it made). Nothing under way in that mode, reserved context bits or flags
// that do not go together: FALSE + ERROR_INVALID_PARAMETER.
DAVRO_API BOOL InitOnceComplete(LPINIT_ONCE initOnce, DWORD flags, LPVOID context);

// ---- Waits on addresses ----
// Sleeps while the `size` bytes (1, 2, 4 or 8) at `address` equal those at `compareAddress`,
// until a WakeByAddress call on that address or the time-out. TRUE when the value differs or
// the thread was woken (possibly spuriously); FALSE + ERROR_TIMEOUT after the time-out
// (divided by DAVRO_TIME_SCALE); another size: FALSE + ERROR_INVALID_PARAMETER. Wakes reach
// waiters of this process only.
DAVRO_API BOOL WaitOnAddress(volatile VOID* address, PVOID compareAddress, SIZE_T size,
                             DWORD milliseconds);
DAVRO_API void WakeByAddressSingle(PVOID address);
DAVRO_API void WakeByAddressAll(PVOID address);

// ---- Synchronisation barriers ----
// 32 bytes like 64-bit Windows. Each phase releases its threads once `totalThreads` have
// entered; the last one to enter gets TRUE, the others FALSE.
using PSYNCHRONIZATION_BARRIER = SYNCHRONIZATION_BARRIER*;
using LPSYNCHRONIZATION_BARRIER = SYNCHRONIZATION_BARRIER*;
inline constexpr int SYNCHRONIZATION_BARRIER_FLAGS_SPIN_ONLY = 0x01;
inline constexpr int SYNCHRONIZATION_BARRIER_FLAGS_BLOCK_ONLY = 0x02;
inline constexpr int SYNCHRONIZATION_BARRIER_FLAGS_NO_DELETE = 0x04;

// `totalThreads` >= 1; `spinCount` -1 for the default (2000 turns). Otherwise FALSE +
// ERROR_INVALID_PARAMETER.
DAVRO_API BOOL InitializeSynchronizationBarrier(LPSYNCHRONIZATION_BARRIER barrier,
                                                LONG totalThreads, LONG spinCount);
DAVRO_API BOOL EnterSynchronizationBarrier(LPSYNCHRONIZATION_BARRIER barrier, DWORD flags);
// Waits until every thread that entered without SYNCHRONIZATION_BARRIER_FLAGS_NO_DELETE has
// left; always TRUE.
DAVRO_API BOOL DeleteSynchronizationBarrier(LPSYNCHRONIZATION_BARRIER barrier);

// ---- Interlocked singly linked lists ----
// A lock-free stack of entries aligned on 16 bytes, whose header (16 bytes) pairs the first
// entry with a depth and a sequence number, changed together by one 16-byte compare-and-swap,
// so a pop that raced other pops and pushes never links a stale entry (no ABA). A pop reads
// the first entry's Next before it knows the entry is still first: an entry's memory must stay
// readable while another thread may pop it (heap memory that malloc keeps is; memory given
// back to the system is not, and faults where Windows recovers).
using PSLIST_ENTRY = SLIST_ENTRY*;
using PSLIST_HEADER = SLIST_HEADER*;
// The alignment of what malloc returns, and what list entries need (_aligned_malloc).
inline constexpr int MEMORY_ALLOCATION_ALIGNMENT = 16;

DAVRO_API void InitializeSListHead(PSLIST_HEADER head);
// Each returns the list's previous first entry (NULL when it was empty).
DAVRO_API PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER head, PSLIST_ENTRY entry);
DAVRO_API PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER head);
// Empties the list and returns its entries, still linked.
DAVRO_API PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER head);
// The number of entries, modulo 65536.
DAVRO_API USHORT QueryDepthSList(PSLIST_HEADER head);

// ---- Thread-local and fiber-local storage ----
// TlsAlloc: the lowest free of 1088 indexes, its value 0 in every thread; none left:
// TLS_OUT_OF_INDEXES + ERROR_NO_MORE_ITEMS. Get and set check the index's range only
// (ERROR_INVALID_PARAMETER); TlsGetValue sets the last error to 0 when it succeeds. TlsFree
// of an index not allocated: FALSE + ERROR_INVALID_PARAMETER.
inline constexpr DWORD TLS_OUT_OF_INDEXES = 0xFFFFFFFF;
inline constexpr int TLS_MINIMUM_AVAILABLE = 64;
DAVRO_API DWORD TlsAlloc();
DAVRO_API BOOL TlsFree(DWORD index);
DAVRO_API BOOL TlsSetValue(DWORD index, LPVOID value);

namespace detail {

inline constexpr DWORD kTlsSlots = 1088;  // TLS_MINIMUM_AVAILABLE and 1024 expansion slots

// The calling thread's last error and its thread-local slots, side by side in the static
// thread-local block (initial-exec), so that TlsGetValue below finds both through one offset
// from the thread pointer, without a call. `tlsSlots` is never null: until the thread's
// first TlsSetValue it names a shared array of null slots. Part of the library's binary
// interface.
struct ThreadWords {
    DWORD lastError;
    void** tlsSlots;
};
DAVRO_API extern __thread ThreadWords threadWords __attribute__((tls_model("initial-exec")));

}  // namespace detail

inline LPVOID TlsGetValue(DWORD index) {
    if (index >= detail::kTlsSlots) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    detail::threadWords.lastError = ERROR_SUCCESS;
    // Atomic: TlsAlloc and TlsFree clear an index in every thread's slots.
    return __atomic_load_n(&detail::threadWords.tlsSlots[index], __ATOMIC_RELAXED);
}

// Fiber-local storage: as thread-local storage (there are no fibers: each thread is one),
// with 4080 indexes and a callback per index, called with a thread's non-null value when the
// thread ends and, for every thread, when the index is freed.
using PFLS_CALLBACK_FUNCTION = void (*)(PVOID data);
inline constexpr DWORD FLS_OUT_OF_INDEXES = 0xFFFFFFFF;
inline constexpr int FLS_MAXIMUM_AVAILABLE = 4080;
DAVRO_API DWORD FlsAlloc(PFLS_CALLBACK_FUNCTION callback);
DAVRO_API BOOL FlsFree(DWORD index);
DAVRO_API PVOID FlsGetValue(DWORD index);
DAVRO_API BOOL FlsSetValue(DWORD index, PVOID data);

}  // namespace davro::win32

#endif  // !DAVRO_WINDOWS
