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

// Futex helpers on 32-bit atomics (private futexes; spurious returns are fine).
void futexWaitWord(std::atomic<std::uint32_t>* word, std::uint32_t expected);
void futexWakeAll(std::atomic<std::uint32_t>* word);

// A futex word that is bumped to wake whoever sleeps on it. Sleepers count themselves, so a
// bump that nobody waits for (the usual case: a resumption of a thread that has not parked
// yet, the end of a thread that nobody suspends) costs no system call.
struct WakeWord {
    std::atomic<std::uint32_t> value{0};
    std::atomic<std::uint32_t> sleepers{0};

    std::uint32_t load() const { return value.load(std::memory_order_seq_cst); }
    // Increments the value and wakes everyone sleeping on it. A sleeper counts itself before
    // the kernel compares the value, and the bump changes the value before it reads the
    // count (both sequentially consistent): either it sees the sleeper or the sleeper sees
    // the new value and does not sleep.
    void bump() {
        value.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers.load(std::memory_order_seq_cst) != 0) {
            futexWakeAll(&value);
        }
    }
    // Sleeps while the value is `expected`; may return spuriously.
    void sleepWhile(std::uint32_t expected) {
        sleepers.fetch_add(1, std::memory_order_seq_cst);
        futexWaitWord(&value, expected);
        sleepers.fetch_sub(1, std::memory_order_seq_cst);
    }
};

// The start-up gate of a created thread (ThreadRecord::creator): the creator reads the new
// thread's id through the C library's descriptor of that thread, which is freed when the
// thread ends, so the thread does not end before the creator is done.
inline constexpr std::uint32_t kCreatorReading = 0;
inline constexpr std::uint32_t kCreatorAwaited = 1;  // the thread has ended and sleeps on it
inline constexpr std::uint32_t kCreatorDone = 2;
// ThreadRecord::tid while a creator sleeps until the thread tells its id itself.
inline constexpr std::uint32_t kTidWanted = 0xFFFFFFFFu;

// One thread known to the layer: started by _beginthreadex ("created"), or a thread that
// asked for GetCurrentThread() ("adopted"). Owned by its Thread-kind object (Object::extra)
// and freed with it; the thread itself holds one reference on the object until its end.
struct ThreadRecord {
    // Serialises SuspendThread, ResumeThread, TerminateThread and the thread's own change
    // to Exiting. Held only inside a NoStopScope and never across a blocking call.
    std::mutex lock;
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

// Installs the stop signal's handler (once) and returns the signal number.
int stopSignal();
// Stops the calling thread, which must be outside every NoStopScope, while its suspend
// count is above 0; leaves through the record's jump buffer when termination is asked for.
void stopPoint(ThreadRecord* record);

// Wakes the thread from the futex sleep of a wait, where it checks for stops again.
void nudge(ThreadRecord* record);

// For a thread that TerminateThread stopped in a blocking named-mutex lock: drops the
// reference that the interrupted wait held on the mutex (NamedMutex.cpp).
void dropNamedLock();

// Looks a handle up as a thread: the object with a reference added, or null with
// ERROR_INVALID_HANDLE set (null, closed, pseudo-process or other kinds).
Object* acquireThread(HANDLE thread);

}  // namespace davro::win32::detail
