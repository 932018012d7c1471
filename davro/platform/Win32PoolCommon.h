/* The part of the thread pool that C and C++ callers share, written once in the common subset
 * of the two languages: the callback environment, with Windows' layout, and the inline calls
 * that set it up. Linux only.
 *
 * davro/platform/Win32Pool.h includes it for C++, where it opens namespace davro::win32
 * itself; davro/platform/Win32C.h includes it for C, at file scope. Each includes it after its
 * own names for the pool's object and callback types, and adds its names for the environment
 * (`using` in C++, typedef in C). The structure's tag is its type name, as in
 * Win32SyncCommon.h. */
#ifndef DAVRO_PLATFORM_WIN32POOLCOMMON_H
#define DAVRO_PLATFORM_WIN32POOLCOMMON_H

#ifdef __cplusplus
#define DAVRO_WIN32_INLINE inline
namespace davro::win32 {
#else
#define DAVRO_WIN32_INLINE static __inline__
#endif

/* Where objects made with it run: Windows' first version of the structure, same size and
 * layout. The pool (NULL: the process's default pool), the cleanup group and its cancel
 * callback, and whether callbacks may run long are honoured; the other fields are kept and
 * ignored. */
struct TP_CALLBACK_ENVIRON_V1 {
    TP_VERSION Version;
    PTP_POOL Pool;
    PTP_CLEANUP_GROUP CleanupGroup;
    PTP_CLEANUP_GROUP_CANCEL_CALLBACK CleanupGroupCancelCallback;
    PVOID RaceDll;
    struct ACTIVATION_CONTEXT* ActivationContext;
    PTP_SIMPLE_CALLBACK FinalizationCallback;
    union {
        DWORD Flags;
        struct {
            DWORD LongFunction : 1;
            DWORD Persistent : 1;
            DWORD Private : 30;
        } s;
    } u;
};

/* Inline, as in Windows' headers: the environment is the caller's structure. */
DAVRO_WIN32_INLINE void InitializeThreadpoolEnvironment(
    struct TP_CALLBACK_ENVIRON_V1* environment) {
    __builtin_memset(environment, 0, sizeof *environment);
    environment->Version = 1;
}
DAVRO_WIN32_INLINE void SetThreadpoolCallbackPool(struct TP_CALLBACK_ENVIRON_V1* environment,
                                                  PTP_POOL pool) {
    environment->Pool = pool;
}
DAVRO_WIN32_INLINE void SetThreadpoolCallbackCleanupGroup(
    struct TP_CALLBACK_ENVIRON_V1* environment, PTP_CLEANUP_GROUP group,
    PTP_CLEANUP_GROUP_CANCEL_CALLBACK cancelCallback) {
    environment->CleanupGroup = group;
    environment->CleanupGroupCancelCallback = cancelCallback;
}
DAVRO_WIN32_INLINE void SetThreadpoolCallbackRunsLong(struct TP_CALLBACK_ENVIRON_V1* environment) {
    environment->u.s.LongFunction = 1;
}
DAVRO_WIN32_INLINE void DestroyThreadpoolEnvironment(struct TP_CALLBACK_ENVIRON_V1* environment) {
    (void)environment; /* nothing to free */
}

#undef DAVRO_WIN32_INLINE

#ifdef __cplusplus
} /* namespace davro::win32 */
#endif

#endif /* DAVRO_PLATFORM_WIN32POOLCOMMON_H */
