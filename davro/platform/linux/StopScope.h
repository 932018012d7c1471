// Stop deferral: where SuspendThread and TerminateThread may stop a thread.
//
// Both stop a thread with a signal (Suspend.cpp). A thread is never stopped inside the
// layer's own work, where it would hold a lock that others need (an object's lock bit, a
// spin lock, a registry) or leave a hand-off, a queue or a record half done. Such work runs
// inside a NoStopScope; a stop that arrives meanwhile is noted and carried out when the
// outermost scope ends, at a point where the thread holds nothing. The one place inside a
// blocking wait where a thread may stop is its futex sleep, marked by StoppableSleep. On
// Windows these are kernel calls, which a suspension cannot split either.
#pragma once

#include <pthread.h>

#include <atomic>

namespace davro::win32::detail {

// Plain per-thread fields, read by the thread's own signal handler only.
struct StopState {
    int noStop;   // depth of NoStopScopes
    int pending;  // a stop arrived inside a scope
    int inWait;   // in the futex sleep of a blocking wait
};
extern __thread StopState tlsStop __attribute__((tls_model("initial-exec")));

// A slim lock's wait that the thread has counted itself in, set around the one place in it
// where the thread may be stopped (its futex sleep): a termination that lands there calls
// `withdraw(object)` from the thread's start frame, so that the lock does not keep waiting
// for a thread that is gone.
struct SlimWait {
    void (*withdraw)(void* object);
    void* object;
};
extern __thread SlimWait tlsSlimWait __attribute__((tls_model("initial-exec")));

// Carries out a stop that arrived inside a NoStopScope (Suspend.cpp).
void runPendingStop();
// Whether a suspension or termination of the calling thread is under way: checked before
// each futex sleep of a wait, since the stop signal may not reach a thread that sleeps
// (ThreadSanitizer holds signals back while a thread is in a plain system call).
bool stopRequested();

// The two ends of a no-stop section. leaveNoStop() says whether a stop arrived inside it
// that is now to be carried out (runPendingStop). A short path that must keep nothing across
// that call uses them directly and carries the stop out on a path of its own.
inline void enterNoStop() {
    ++tlsStop.noStop;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}
__attribute__((always_inline)) inline bool leaveNoStop() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return __builtin_expect(--tlsStop.noStop == 0 && tlsStop.pending != 0, 0);
}

class NoStopScope {
public:
    NoStopScope() { enterNoStop(); }
    __attribute__((always_inline)) ~NoStopScope() {
        if (leaveNoStop()) {
            runPendingStop();
        }
    }
    NoStopScope(const NoStopScope&) = delete;
    NoStopScope& operator=(const NoStopScope&) = delete;
};

// Inside the NoStopScope that covers a whole wait: the futex sleep, where the thread may be
// suspended (it leaves its wait meanwhile) or terminated (abandonWait finishes the wait).
class StoppableSleep {
public:
    StoppableSleep() {
        tlsStop.inWait = 1;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (--tlsStop.noStop == 0 && (tlsStop.pending != 0 || stopRequested())) {
            runPendingStop();
        }
    }
    ~StoppableSleep() {
        ++tlsStop.noStop;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        tlsStop.inWait = 0;
    }
    StoppableSleep(const StoppableSleep&) = delete;
    StoppableSleep& operator=(const StoppableSleep&) = delete;
};

// Thread cancellation is off inside the layer's calls that reach the C library's
// cancellation points (open, close, fcntl's waiting locks, reads of /proc): Win32 has no
// cancellation points, and a call cut short there would leave a name, a descriptor or a
// lock behind. A pending cancellation takes effect at the caller's next cancellation point.
class NoCancelScope {
public:
    NoCancelScope() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
    ~NoCancelScope() { pthread_setcancelstate(old_, nullptr); }
    NoCancelScope(const NoCancelScope&) = delete;
    NoCancelScope& operator=(const NoCancelScope&) = delete;

private:
    int old_ = 0;
};

// Whether the calling thread is inside a NoStopScope (for assertions).
inline bool inNoStopScope() { return tlsStop.noStop > 0; }

}  // namespace davro::win32::detail
