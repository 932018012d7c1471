// The thread pool of the Win32 subset on Linux: pools, callback environments, cleanup groups,
// work, timer and wait objects, the callback-instance helpers, timer queues and the older
// calls (QueueUserWorkItem, RegisterWaitForSingleObject). Included by davro/platform/Win32.h;
// on Windows the names are <windows.h>'s own (davro/platform/windows/Win32Windows.h).
//
// Every callback runs on a pool thread (or, where a flag asks for it, on the timer or wait
// thread that found it due) with no lock of the layer held, and may call any function of the
// layer, the pool's own included. Times follow the layer's clock: DAVRO_TIME_SCALE makes every
// due time, period and time-out N times shorter. docs/platform.md lists what each function
// honours; DESIGN.md ("Thread pool and timer queues") says how.
#pragma once

#include <davro/platform/Win32.h>

#if !DAVRO_WINDOWS

namespace davro::win32 {

// ---- Objects: opaque, made and freed by the calls below only ----
struct TP_POOL;
struct TP_WORK;
struct TP_TIMER;
struct TP_WAIT;
struct TP_CLEANUP_GROUP;
struct TP_CALLBACK_INSTANCE;
using PTP_POOL = TP_POOL*;
using PTP_WORK = TP_WORK*;
using PTP_TIMER = TP_TIMER*;
using PTP_WAIT = TP_WAIT*;
using PTP_CLEANUP_GROUP = TP_CLEANUP_GROUP*;
using PTP_CALLBACK_INSTANCE = TP_CALLBACK_INSTANCE*;
using TP_VERSION = DWORD;
using PTP_VERSION = TP_VERSION*;
using TP_WAIT_RESULT = DWORD;
using PFILETIME = FILETIME*;

using PTP_SIMPLE_CALLBACK = void (*)(PTP_CALLBACK_INSTANCE instance, PVOID context);
using PTP_WORK_CALLBACK = void (*)(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WORK work);
using PTP_TIMER_CALLBACK = void (*)(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_TIMER timer);
using PTP_WAIT_CALLBACK = void (*)(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WAIT wait,
                                   TP_WAIT_RESULT waitResult);
using PTP_CLEANUP_GROUP_CANCEL_CALLBACK = void (*)(PVOID objectContext, PVOID cleanupContext);
// The callback of a registered wait or a timer-queue timer: TRUE when a time-out (or the
// timer) fired it, FALSE when the object was signalled.
using WAITORTIMERCALLBACKFUNC = void (*)(PVOID parameter, BOOLEAN timerOrWaitFired);
using WAITORTIMERCALLBACK = WAITORTIMERCALLBACKFUNC;

}  // namespace davro::win32

// ---- Callback environments: where objects made with one run ----
// The structure and its inline set-up, written once for C and C++ callers.
#include <davro/platform/Win32PoolCommon.h>

namespace davro::win32 {

using TP_CALLBACK_ENVIRON = TP_CALLBACK_ENVIRON_V1;
using PTP_CALLBACK_ENVIRON = TP_CALLBACK_ENVIRON*;

// ---- Constants ----
inline constexpr LONG ERROR_IO_PENDING = 997;
inline constexpr ULONG WT_EXECUTEDEFAULT = 0x00000000;
inline constexpr ULONG WT_EXECUTEINIOTHREAD = 0x00000001;
inline constexpr ULONG WT_EXECUTEINUITHREAD = 0x00000002;
inline constexpr ULONG WT_EXECUTEINWAITTHREAD = 0x00000004;
inline constexpr ULONG WT_EXECUTEONLYONCE = 0x00000008;
inline constexpr ULONG WT_EXECUTELONGFUNCTION = 0x00000010;
inline constexpr ULONG WT_EXECUTEINTIMERTHREAD = 0x00000020;
inline constexpr ULONG WT_EXECUTEINPERSISTENTIOTHREAD = 0x00000040;
inline constexpr ULONG WT_EXECUTEINPERSISTENTTHREAD = 0x00000080;
inline constexpr ULONG WT_TRANSFER_IMPERSONATION = 0x00000100;

// ---- Pools ----
// A private pool: no thread until work arrives or a minimum is set; at most 512 threads
// unless told otherwise. NULL + ERROR_NOT_ENOUGH_MEMORY when it cannot be made. `reserved`
// must be NULL.
DAVRO_API PTP_POOL CreateThreadpool(PVOID reserved);
// Releases the pool at once when no object is bound to it, otherwise when the last one is
// closed; callbacks already queued still run.
DAVRO_API void CloseThreadpool(PTP_POOL pool);
// The most threads the pool runs at once (at least 1); a minimum above it is lowered to it.
DAVRO_API void SetThreadpoolThreadMaximum(PTP_POOL pool, DWORD most);
// Starts threads until `least` are there and keeps them while the pool lives. FALSE (and the
// minimum unchanged) when a thread cannot be started.
DAVRO_API BOOL SetThreadpoolThreadMinimum(PTP_POOL pool, DWORD least);

// ---- Cleanup groups ----
DAVRO_API PTP_CLEANUP_GROUP CreateThreadpoolCleanupGroup();
// Closes every object made with an environment naming the group: TRUE first drops the
// callbacks that have not started (calling the environment's cancel callback with the
// object's context and `cleanupContext` for each such object), then it waits for the running
// ones; FALSE waits for every outstanding callback. The objects must not be used afterwards.
DAVRO_API void CloseThreadpoolCleanupGroupMembers(PTP_CLEANUP_GROUP group, BOOL cancelPending,
                                                  PVOID cleanupContext);
DAVRO_API void CloseThreadpoolCleanupGroup(PTP_CLEANUP_GROUP group);

// ---- Work ----
// A work object (NULL + ERROR_INVALID_PARAMETER without a callback). Each submission runs
// the callback once; submissions of one object may run at the same time on several threads.
DAVRO_API PTP_WORK CreateThreadpoolWork(PTP_WORK_CALLBACK callback, PVOID context,
                                        PTP_CALLBACK_ENVIRON environment);
DAVRO_API void SubmitThreadpoolWork(PTP_WORK work);
// Waits until no callback of the object is queued or running; TRUE first drops the queued
// ones. Called from the object's own callback it does not wait for that callback.
DAVRO_API void WaitForThreadpoolWorkCallbacks(PTP_WORK work, BOOL cancelPending);
// Frees the object once its outstanding callbacks have run (they still run).
DAVRO_API void CloseThreadpoolWork(PTP_WORK work);
// Runs callback(instance, context) once on the environment's pool; FALSE +
// ERROR_NOT_ENOUGH_MEMORY when it cannot be queued.
DAVRO_API BOOL TrySubmitThreadpoolCallback(PTP_SIMPLE_CALLBACK callback, PVOID context,
                                           PTP_CALLBACK_ENVIRON environment);

// ---- Timers ----
DAVRO_API PTP_TIMER CreateThreadpoolTimer(PTP_TIMER_CALLBACK callback, PVOID context,
                                          PTP_CALLBACK_ENVIRON environment);
// Sets (or resets) the timer: `dueTime` negative is relative, in 100 ns units; positive an
// absolute UTC FILETIME (one in the past fires at once); 0 fires at once; NULL cancels, so
// that no further callback is queued (queued ones still run). `period` ms, 0 for one shot;
// `window` ms is the delay the caller would accept and is not used to delay the callback.
DAVRO_API void SetThreadpoolTimer(PTP_TIMER timer, PFILETIME dueTime, DWORD period, DWORD window);
// TRUE from a setting until a NULL due time cancels it, also after a one-shot timer fired.
DAVRO_API BOOL IsThreadpoolTimerSet(PTP_TIMER timer);
DAVRO_API void WaitForThreadpoolTimerCallbacks(PTP_TIMER timer, BOOL cancelPending);
DAVRO_API void CloseThreadpoolTimer(PTP_TIMER timer);

// ---- Waits ----
DAVRO_API PTP_WAIT CreateThreadpoolWait(PTP_WAIT_CALLBACK callback, PVOID context,
                                        PTP_CALLBACK_ENVIRON environment);
// Queues the callback once when `object` is signalled (WAIT_OBJECT_0; a wait satisfied this
// way takes the object as any wait does) or the time-out passes (WAIT_TIMEOUT). The time-out
// is as SetThreadpoolTimer's due time; NULL never times out. A NULL object cancels. Setting
// it again replaces the previous wait. The object is watched through a handle of its own, so
// closing the caller's handle meanwhile changes nothing.
DAVRO_API void SetThreadpoolWait(PTP_WAIT wait, HANDLE object, PFILETIME timeout);
DAVRO_API void WaitForThreadpoolWaitCallbacks(PTP_WAIT wait, BOOL cancelPending);
DAVRO_API void CloseThreadpoolWait(PTP_WAIT wait);

// ---- The running callback ----
// Each asks for an action taken after the callback returns, before its object counts it as
// done (so that a WaitFor*Callbacks sees it taken).
DAVRO_API void SetEventWhenCallbackReturns(PTP_CALLBACK_INSTANCE instance, HANDLE event);
DAVRO_API void ReleaseMutexWhenCallbackReturns(PTP_CALLBACK_INSTANCE instance, HANDLE mutex);
DAVRO_API void ReleaseSemaphoreWhenCallbackReturns(PTP_CALLBACK_INSTANCE instance, HANDLE semaphore,
                                                   DWORD releaseCount);
DAVRO_API void LeaveCriticalSectionWhenCallbackReturns(PTP_CALLBACK_INSTANCE instance,
                                                       PCRITICAL_SECTION section);
// Tells the pool that this callback may run long, so that it no longer counts against the
// threads that serve the queue: TRUE when another thread is free or can be started for the
// pool's queued work, FALSE when the pool is at its maximum.
DAVRO_API BOOL CallbackMayRunLong(PTP_CALLBACK_INSTANCE instance);

// ---- The older calls, on the default pool ----
// Runs function(context) once on a thread of the default pool; WT_EXECUTELONGFUNCTION as
// CallbackMayRunLong; the other WT_ flags are accepted and change nothing.
DAVRO_API BOOL QueueUserWorkItem(LPTHREAD_START_ROUTINE function, PVOID context, ULONG flags);
// Calls callback(context, FALSE) each time `object` is signalled and (context, TRUE) each
// time `milliseconds` pass without that (INFINITE: never); WT_EXECUTEONLYONCE stops after the
// first call, WT_EXECUTEINWAITTHREAD runs it on the wait thread itself. *newWaitObject
// receives the registration, for UnregisterWait(Ex). FALSE + ERROR_INVALID_PARAMETER for a
// null output or callback, ERROR_INVALID_HANDLE for a handle that cannot be waited on.
DAVRO_API BOOL RegisterWaitForSingleObject(PHANDLE newWaitObject, HANDLE object,
                                           WAITORTIMERCALLBACK callback, PVOID context,
                                           ULONG milliseconds, ULONG flags);
// Ends a registration; no call starts afterwards, queued ones are dropped. `completionEvent`
// NULL: returns at once; INVALID_HANDLE_VALUE: waits for a running call (from that call
// itself: does not wait for it); an event: set once a running call has returned. Without
// INVALID_HANDLE_VALUE the result is FALSE + ERROR_IO_PENDING while a call still runs.
// UnregisterWait is the NULL form.
DAVRO_API BOOL UnregisterWaitEx(HANDLE waitHandle, HANDLE completionEvent);
DAVRO_API BOOL UnregisterWait(HANDLE waitHandle);

// ---- Timer queues ----
// A queue of timers served by one timer thread of its own, which sleeps until the earliest
// due time. NULL as a queue is the process's default queue.
DAVRO_API HANDLE CreateTimerQueue();
// A timer that calls callback(parameter, TRUE) after `dueTime` ms and then every `period`
// ms (0: once) on a thread of the default pool; WT_EXECUTEINTIMERTHREAD runs it on the
// queue's timer thread, WT_EXECUTEONLYONCE ignores the period, WT_EXECUTELONGFUNCTION as
// CallbackMayRunLong. FALSE + ERROR_INVALID_PARAMETER for a null output or callback.
DAVRO_API BOOL CreateTimerQueueTimer(PHANDLE newTimer, HANDLE queue, WAITORTIMERCALLBACK callback,
                                     PVOID parameter, DWORD dueTime, DWORD period, ULONG flags);
// Sets a new due time and period (from now). A timer made with WT_EXECUTEONLYONCE, or a
// one-shot timer that has fired, is not set again.
DAVRO_API BOOL ChangeTimerQueueTimer(HANDLE queue, HANDLE timer, ULONG dueTime, ULONG period);
// Cancels and frees a timer; calls that have not started are dropped. `completionEvent`
// INVALID_HANDLE_VALUE waits for a running call, so that no call of the timer runs once this
// returns; an event is set once it has returned, and the result is FALSE + ERROR_IO_PENDING
// while it runs; NULL returns at once, always with FALSE + ERROR_IO_PENDING (as Windows).
DAVRO_API BOOL DeleteTimerQueueTimer(HANDLE queue, HANDLE timer, HANDLE completionEvent);
// Deletes every timer of the queue and then the queue, the completion as above, for all;
// without INVALID_HANDLE_VALUE always FALSE + ERROR_IO_PENDING. The default queue (NULL):
// FALSE + ERROR_INVALID_HANDLE.
DAVRO_API BOOL DeleteTimerQueueEx(HANDLE queue, HANDLE completionEvent);
DAVRO_API BOOL DeleteTimerQueue(HANDLE queue);

}  // namespace davro::win32

#endif  // !DAVRO_WINDOWS
