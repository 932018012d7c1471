/* The part of the slim synchronisation that C and C++ callers share, written once in the
 * common subset of the two languages: the structures, with Windows' sizes and alignment, and
 * the interlocked operations, inline. Linux only.
 *
 * davro/platform/Win32Sync.h includes it for C++, where it opens namespace davro::win32
 * itself; davro/platform/Win32C.h includes it for C, at file scope, after its C types. Each
 * of the two adds its own names for the pointer types (`using` in C++, typedef in C) and the
 * constants (constexpr in C++, macros in C). A structure's tag is its type name (Windows'
 * headers use _RTL_SRWLOCK and the like; ported code names the typedefs). */
#ifndef DAVRO_PLATFORM_WIN32SYNCCOMMON_H
#define DAVRO_PLATFORM_WIN32SYNCCOMMON_H

/* DAVRO_WIN32_STRONG: the `weak` argument of __atomic_compare_exchange_n, a strong compare. */
#ifdef __cplusplus
#define DAVRO_WIN32_INLINE inline
#define DAVRO_WIN32_STRONG false
namespace davro::win32 {
#else
#define DAVRO_WIN32_INLINE static __inline__
#define DAVRO_WIN32_STRONG 0
#endif

/* ---- Structures ---- */

/* A slim reader/writer lock: one pointer, zero when free (SRWLOCK_INIT). */
struct SRWLOCK {
    PVOID Ptr;
};

/* A condition variable: one pointer, zero when fresh (CONDITION_VARIABLE_INIT). */
struct CONDITION_VARIABLE {
    PVOID Ptr;
};

/* One-time initialisation: one pointer, its low INIT_ONCE_CTX_RESERVED_BITS bits the state,
 * the rest the context that a completed initialisation stored (INIT_ONCE_STATIC_INIT). */
struct INIT_ONCE {
    PVOID Ptr;
};

/* A synchronisation barrier: 32 bytes, as on 64-bit Windows. */
struct SYNCHRONIZATION_BARRIER {
    DWORD Reserved1;
    DWORD Reserved2;
    ULONG_PTR Reserved3[2];
    DWORD Reserved4;
    DWORD Reserved5;
};

/* An entry of an interlocked singly linked list and the list's header, both aligned on 16
 * bytes (MEMORY_ALLOCATION_ALIGNMENT), the header 16 bytes long, as on 64-bit Windows. */
struct __attribute__((aligned(16))) SLIST_ENTRY {
    struct SLIST_ENTRY* Next;
};
struct __attribute__((aligned(16))) SLIST_HEADER {
    ULONGLONG Alignment;
    ULONGLONG Region;
};

/* ---- Interlocked operations ----
 * Sequentially consistent read-modify-writes on naturally aligned values, inline. The
 * increments and decrements return the new value, the others the old one; a compare-exchange
 * returns the value it found, whether or not it replaced it. */
/* clang-tidy takes the pointers that the __atomic builtins write through for read-only ones.
 * NOLINTBEGIN(readability-non-const-parameter) */

DAVRO_WIN32_INLINE LONG InterlockedIncrement(LONG volatile* addend) {
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
DAVRO_WIN32_INLINE LONG InterlockedDecrement(LONG volatile* addend) {
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
DAVRO_WIN32_INLINE LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
DAVRO_WIN32_INLINE LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value) {
    return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
DAVRO_WIN32_INLINE LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange,
                                                   LONG comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, DAVRO_WIN32_STRONG,
                                __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
DAVRO_WIN32_INLINE LONG InterlockedAnd(LONG volatile* destination, LONG value) {
    return __atomic_fetch_and(destination, value, __ATOMIC_SEQ_CST);
}
DAVRO_WIN32_INLINE LONG InterlockedOr(LONG volatile* destination, LONG value) {
    return __atomic_fetch_or(destination, value, __ATOMIC_SEQ_CST);
}
DAVRO_WIN32_INLINE LONG InterlockedXor(LONG volatile* destination, LONG value) {
    return __atomic_fetch_xor(destination, value, __ATOMIC_SEQ_CST);
}

DAVRO_WIN32_INLINE LONG64 InterlockedIncrement64(LONG64 volatile* addend) {
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
DAVRO_WIN32_INLINE LONG64 InterlockedDecrement64(LONG64 volatile* addend) {
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
DAVRO_WIN32_INLINE LONG64 InterlockedExchange64(LONG64 volatile* target, LONG64 value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
DAVRO_WIN32_INLINE LONG64 InterlockedExchangeAdd64(LONG64 volatile* addend, LONG64 value) {
    return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
DAVRO_WIN32_INLINE LONG64 InterlockedCompareExchange64(LONG64 volatile* destination,
                                                       LONG64 exchange, LONG64 comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, DAVRO_WIN32_STRONG,
                                __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
DAVRO_WIN32_INLINE LONG64 InterlockedAnd64(LONG64 volatile* destination, LONG64 value) {
    return __atomic_fetch_and(destination, value, __ATOMIC_SEQ_CST);
}
DAVRO_WIN32_INLINE LONG64 InterlockedOr64(LONG64 volatile* destination, LONG64 value) {
    return __atomic_fetch_or(destination, value, __ATOMIC_SEQ_CST);
}
DAVRO_WIN32_INLINE LONG64 InterlockedXor64(LONG64 volatile* destination, LONG64 value) {
    return __atomic_fetch_xor(destination, value, __ATOMIC_SEQ_CST);
}

DAVRO_WIN32_INLINE PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
DAVRO_WIN32_INLINE PVOID InterlockedCompareExchangePointer(PVOID volatile* destination,
                                                           PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, DAVRO_WIN32_STRONG,
                                __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

/* NOLINTEND(readability-non-const-parameter) */

/* A full fence: no load or store moves across it, in either direction. */
DAVRO_WIN32_INLINE void MemoryBarrier(void) { /* NOLINT(modernize-redundant-void-arg) */
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

#undef DAVRO_WIN32_INLINE
#undef DAVRO_WIN32_STRONG

#ifdef __cplusplus
} /* namespace davro::win32 */
#endif

#endif /* DAVRO_PLATFORM_WIN32SYNCCOMMON_H */
