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

namespace davro::win32 {

// ---- Constants ----
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_TIMEOUT = 1460;

// ---- Interlocked operations ----
// Sequentially consistent read-modify-writes on naturally aligned values, inline. The
// increments and decrements return the new value, the others the old one.
// clang-tidy takes the pointers that the __atomic builtins write through for read-only ones.
// NOLINTBEGIN(readability-non-const-parameter)

inline LONG InterlockedIncrement(LONG volatile* addend) {
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* addend) {
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value) {
    return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;  // the value found, whether or not it was replaced
}
inline LONG InterlockedAnd(LONG volatile* destination, LONG value) {
    return __atomic_fetch_and(destination, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedOr(LONG volatile* destination, LONG value) {
    return __atomic_fetch_or(destination, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedXor(LONG volatile* destination, LONG value) {
    return __atomic_fetch_xor(destination, value, __ATOMIC_SEQ_CST);
}

inline LONG64 InterlockedIncrement64(LONG64 volatile* addend) {
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedDecrement64(LONG64 volatile* addend) {
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(LONG64 volatile* target, LONG64 value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* addend, LONG64 value) {
    return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* destination, LONG64 exchange,
                                           LONG64 comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG64 InterlockedAnd64(LONG64 volatile* destination, LONG64 value) {
    return __atomic_fetch_and(destination, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedOr64(LONG64 volatile* destination, LONG64 value) {
    return __atomic_fetch_or(destination, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedXor64(LONG64 volatile* destination, LONG64 value) {
    return __atomic_fetch_xor(destination, value, __ATOMIC_SEQ_CST);
}

inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange,
                                               PVOID comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

// NOLINTEND(readability-non-const-parameter)

// A full fence: no load or store moves across it, in either direction.
inline void MemoryBarrier() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

// ---- Slim reader/writer locks ----
// One pointer, zero when free; SRWLOCK_INIT or InitializeSRWLock make one. Not recursive in
// either mode; never allocates and needs no deletion. Writers are preferred: a reader that
// arrives while a writer waits waits too. Releasing a lock not held is undefined, as on
// Windows.
struct SRWLOCK {
    PVOID Ptr;
};
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
struct CONDITION_VARIABLE {
    PVOID Ptr;
};
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
struct INIT_ONCE {
    PVOID Ptr;
};
using PINIT_ONCE = INIT_ONCE*;
using LPINIT_ONCE = INIT_ONCE*;
using PINIT_ONCE_FN = BOOL (*)(PINIT_ONCE initOnce, PVOID parameter, PVOID* context);
inline constexpr INIT_ONCE INIT_ONCE_STATIC_INIT{};
inline constexpr DWORD INIT_ONCE_CHECK_ONLY = 0x1;
inline constexpr DWORD INIT_ONCE_ASYNC = 0x2;
inline constexpr DWORD INIT_ONCE_INIT_FAILED = 0x4;
inline constexpr DWORD INIT_ONCE_CTX_RESERVED_BITS = 2;

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
struct SYNCHRONIZATION_BARRIER {
    DWORD Reserved1;
    DWORD Reserved2;
    ULONG_PTR Reserved3[2];
    DWORD Reserved4;
    DWORD Reserved5;
};
using PSYNCHRONIZATION_BARRIER = SYNCHRONIZATION_BARRIER*;
using LPSYNCHRONIZATION_BARRIER = SYNCHRONIZATION_BARRIER*;
inline constexpr DWORD SYNCHRONIZATION_BARRIER_FLAGS_SPIN_ONLY = 0x01;
inline constexpr DWORD SYNCHRONIZATION_BARRIER_FLAGS_BLOCK_ONLY = 0x02;
inline constexpr DWORD SYNCHRONIZATION_BARRIER_FLAGS_NO_DELETE = 0x04;

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
struct alignas(16) SLIST_ENTRY {
    SLIST_ENTRY* Next;
};
using PSLIST_ENTRY = SLIST_ENTRY*;
struct alignas(16) SLIST_HEADER {
    ULONGLONG Alignment;
    ULONGLONG Region;
};
using PSLIST_HEADER = SLIST_HEADER*;

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
inline constexpr DWORD TLS_MINIMUM_AVAILABLE = 64;
DAVRO_API DWORD TlsAlloc();
DAVRO_API BOOL TlsFree(DWORD index);
DAVRO_API LPVOID TlsGetValue(DWORD index);
DAVRO_API BOOL TlsSetValue(DWORD index, LPVOID value);

// Fiber-local storage: as thread-local storage (there are no fibers: each thread is one),
// with 4080 indexes and a callback per index, called with a thread's non-null value when the
// thread ends and, for every thread, when the index is freed.
using PFLS_CALLBACK_FUNCTION = void (*)(PVOID data);
inline constexpr DWORD FLS_OUT_OF_INDEXES = 0xFFFFFFFF;
inline constexpr DWORD FLS_MAXIMUM_AVAILABLE = 4080;
DAVRO_API DWORD FlsAlloc(PFLS_CALLBACK_FUNCTION callback);
DAVRO_API BOOL FlsFree(DWORD index);
DAVRO_API PVOID FlsGetValue(DWORD index);
DAVRO_API BOOL FlsSetValue(DWORD index, PVOID data);

}  // namespace davro::win32

#endif  // !DAVRO_WINDOWS
