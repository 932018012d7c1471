// Internals of the Linux threads: the record behind a Thread-kind object, shared by
// Threads.cpp (creation, end, priorities, termination) and Suspend.cpp (the stop signal,
// suspension and resumption). DESIGN.md, "Threads and suspension", has the whole picture.
#pragma once

#include <pthread.h>
#include <setjmp.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "Kernel.h"

namespace davro::win32::detail {

enum class Phase : std::uint32_t {
    Running,  // from creation until the start routine has returned or the thread was stopped
    Exiting,  // in its end: no more suspensions or terminations reach it
    Ended,    // exit code stored and handle signalled
};

inline constexpr std::uint32_t kNeverParked = 0xFFFFFFFFu;

// One thread known to the layer: started by _beginthreadex ("created"), or a thread that
// asked for GetCurrentThread() ("adopted"). Owned by its Thread-kind object (Object::extra)
// and freed with it; the thread itself holds one reference on the object until its end.
struct ThreadRecord {
    // Serialises SuspendThread, ResumeThread, TerminateThread and the thread's own change
    // to Exiting. Held only inside a NoStopScope and never across a blocking call.
    std::mutex lock;
    pthread_t pthread{};
    std::atomic<std::uint32_t> tid{0};  // published by the new thread as its first act
    Object* object = nullptr;
    bool created = false;  // has the trampoline below, so it can be terminated
    _beginthreadex_proc_type routine = nullptr;
    void* argument = nullptr;

    std::atomic<std::uint32_t> suspendCount{0};  // changed under `lock`
    // The thread's futex while it is stopped: bumped when the count returns to 0 and when
    // termination is asked for. Its value is also the "resume epoch".
    std::atomic<std::uint32_t> wake{0};
    // The epoch in which the thread last parked; a suspender waits until it is at least the
    // epoch of its own suspension.
    std::atomic<std::uint32_t> parkedAt{kNeverParked};
    // Futex for those who wait on the thread (suspenders, terminators): bumped when it
    // parks, when its count returns to 0 and when its phase changes.
    std::atomic<std::uint32_t> seq{0};
    std::atomic<Phase> phase{Phase::Running};
    std::atomic<bool> terminating{false};  // set under `lock`
    DWORD requestedExitCode = 0;           // TerminateThread's or _endthreadex's code
    std::atomic<DWORD> exitCode{STILL_ACTIVE};

    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};  // the value last set, read back as is
    int baseNice = 0;                                   // nice value when the thread began

    // The thread's wait state: a stop also nudges it out of the futex sleep of a wait, and
    // it stops before it sleeps again.
    std::atomic<ThreadState*> waitState{nullptr};

    sigjmp_buf jump{};  // created threads: where a termination or _endthreadex lands
};

// The calling thread's record, or null for a thread that the layer does not know yet.
extern __thread ThreadRecord* tlsRecord __attribute__((tls_model("initial-exec")));

// The record of a resolved Thread-kind object.
inline ThreadRecord* recordOf(Object* object) { return static_cast<ThreadRecord*>(object->extra); }

// Futex helpers on 32-bit atomics (private futexes; spurious returns are fine).
void futexWaitWord(std::atomic<std::uint32_t>* word, std::uint32_t expected);
void futexWakeAll(std::atomic<std::uint32_t>* word);
// Increments `word` and wakes everyone sleeping on it.
inline void bump(std::atomic<std::uint32_t>* word) {
    word->fetch_add(1, std::memory_order_seq_cst);
    futexWakeAll(word);
}

// Installs the stop signal's handler (once) and returns the signal number.
int stopSignal();
// Stops the calling thread, which must be outside every NoStopScope, while its suspend
// count is above 0; leaves through the record's jump buffer when termination is asked for.
void stopPoint(ThreadRecord* record);

// Wakes the thread from the futex sleep of a wait, where it checks for stops again.
void nudge(ThreadRecord* record);

// Looks a handle up as a thread: the object with a reference added, or null with
// ERROR_INVALID_HANDLE set (null, closed, pseudo-process or other kinds).
Object* acquireThread(HANDLE thread);

}  // namespace davro::win32::detail
