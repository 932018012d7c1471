// The record behind a Thread-kind object, shared by Threads.cpp (creation, end, exit codes,
// priorities, termination) and Suspend.cpp (the stop signal, suspension, resumption).
// DESIGN.md, "Threads and suspension", has the whole picture.
#pragma once

#include <pthread.h>
#include <setjmp.h>

#include <atomic>
#include <cstdint>

#include "Apc.h"
#include "Futex.h"
#include "Locks.h"
#include "Object.h"

namespace davro::win32::detail {

enum class Phase : std::uint32_t {
    Running,  // from creation until the start routine has returned or the thread was stopped
    Exiting,  // in its end: no more suspensions or terminations reach it
    Ended,    // exit code stored and handle signalled
};

inline constexpr std::uint32_t kNeverParked = 0xFFFFFFFFU;

// The start-up gate of a created thread (ThreadRecord::creator): the creator reads the new
// thread's id through the C library's descriptor of that thread, which is freed when the
// thread ends, so the thread does not end before the creator is done.
inline constexpr std::uint32_t kCreatorReading = 0;
inline constexpr std::uint32_t kCreatorAwaited = 1;  // the thread has ended and sleeps on it
inline constexpr std::uint32_t kCreatorDone = 2;
// ThreadRecord::tid while a creator sleeps until the thread tells its id itself.
inline constexpr std::uint32_t kTidWanted = 0xFFFFFFFFU;

// One thread known to the layer: started by _beginthreadex ("created"), or a thread that
// asked for GetCurrentThread() ("adopted"). Owned by its Thread-kind object and freed with
// it; the thread itself holds one reference on the object until its end.
struct ThreadRecord {
    // Serialises SuspendThread, ResumeThread, TerminateThread, SetThreadPriority and the
    // thread's own change to Exiting.
    SpinLock lock;
    pthread_t pthread{};
    // The kernel id: stored by the creator (read from the C library) and by the thread as
    // its first act, the same value either way.
    std::atomic<std::uint32_t> tid{0};
    std::atomic<std::uint32_t> creator{kCreatorReading};  // the start-up gate above
    Object* object = nullptr;
    bool created = false;  // has the trampoline below, so it can be terminated
    _beginthreadex_proc_type routine = nullptr;
    void* argument = nullptr;
    std::atomic<bool> entered{false};  // the start routine has been called

    std::atomic<std::uint32_t> suspendCount{0};  // changed under `lock`
    // The thread's futex while it is stopped: bumped when the count returns to 0 and when
    // termination is asked for. Its value is also the "resume epoch".
    WakeWord wake;
    // The epoch in which the thread last parked; a suspender waits until it is at least the
    // epoch of its own suspension.
    std::atomic<std::uint32_t> parkedAt{kNeverParked};
    // Futex for those who wait on the thread (suspenders, terminators): bumped when it
    // parks, when its count returns to 0 and when its phase changes.
    WakeWord seq;
    std::atomic<Phase> phase{Phase::Running};
    std::atomic<bool> terminating{false};  // set under `lock`
    DWORD requestedExitCode = 0;           // TerminateThread's or _endthreadex's code
    std::atomic<DWORD> exitCode{STILL_ACTIVE};

    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};  // the level in effect, as read back
    // SetThreadPriority has been called: a new thread that starts later keeps that level
    // instead of going to normal. Under `lock`.
    bool priorityChosen = false;

    // The thread's context: a stop also nudges it out of the futex sleep of a wait, and it
    // stops before it sleeps again. Null once the thread has ended.
    std::atomic<ThreadContext*> context{nullptr};

    ApcQueue apcs;  // QueueUserAPC's calls and timer completion routines (Apc.cpp)

    sigjmp_buf jump{};  // created threads: where a termination or _endthreadex lands
};

// The record of a resolved Thread-kind object.
inline ThreadRecord* recordOf(Object* object) { return object->thread; }

// ---- Threads.cpp ----

// The calling thread's Thread-kind object, adopting a thread that the layer did not start;
// null only when memory is short. No reference is added.
Object* currentThreadObject();
// Frees the record of a Thread-kind object whose last reference has gone.
void destroyThread(Object* object);
// The last step of endThread for a thread with a record: stores the exit code, signals the
// handle and drops the thread's own reference.
void finishThreadRecord(ThreadRecord* record, DWORD exitCode);
// Looks a handle up as a thread: the object with a reference added, or null with
// ERROR_INVALID_HANDLE set (null, closed, the process and other kinds).
Object* acquireThread(HANDLE thread);

// Calls use(record) for the thread behind `thread`, with a reference to it held meanwhile,
// and returns its result; returns `failed` when the handle does not name a thread
// (acquireThread). Should `use` leave by a jump (the stop point of a thread that is being
// terminated), the reference stays taken, as in code written out in full.
template <class Result, class Use>
Result withThread(HANDLE thread, Result failed, Use&& use) {
    Object* o = acquireThread(thread);
    if (o == nullptr) {
        return failed;
    }
    const Result result = use(recordOf(o));
    release(o);
    return result;
}

// ---- Suspend.cpp ----

// Installs the stop signal's handler (once) and returns the signal number.
int stopSignal();
// Stops the calling thread, which must be outside every NoStopScope, while its suspend
// count is above 0; leaves through the record's jump buffer when termination is asked for.
void stopPoint(ThreadRecord* record);
// Wakes the thread from the futex sleep of a wait, where it checks for stops again.
void nudge(ThreadRecord* record);
// The calling thread's record, or null for a thread that the layer does not know yet.
ThreadRecord* currentRecord();

}  // namespace davro::win32::detail
