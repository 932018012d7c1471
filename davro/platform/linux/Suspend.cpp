// SuspendThread and ResumeThread: the stop signal, its handler and the stop point.
//
// A suspension sends the target one real-time signal (SIGRTMIN + 3). Its handler parks the
// thread on the record's `wake` futex for as long as the suspend count is above 0, so the
// thread stops wherever it was, in user code or in a system call (restarted afterwards,
// SA_RESTART). Inside the layer's own critical work (NoStopScope) the handler only notes
// the stop, and the thread parks when the outermost scope ends. The suspender returns
// once the target has parked (or the count fell back to 0, or the thread is ending).
#include <errno.h>
#include <sched.h>
#include <signal.h>

#include "StopScope.h"
#include "ThreadRecord.h"
#include "WaitEngine.h"

namespace davro::win32::detail {

__thread StopState tlsStop = {0, 0, 0};
__thread SlimWait tlsSlimWait = {nullptr, nullptr};

namespace {

constexpr DWORD kMaximumSuspendCount = 127;          // MAXIMUM_SUSPEND_COUNT
constexpr DWORD kErrorSignalRefcountExceeded = 156;  // ERROR_SIGNAL_REFCOUNT_EXCEEDED
constexpr DWORD kFailed = 0xFFFFFFFF;

void onStopSignal(int /*signal*/) {
    const int savedErrno = errno;
    ThreadRecord* record = currentRecord();
    if (record != nullptr) {
        if (tlsStop.noStop > 0) {
            tlsStop.pending = 1;  // carried out when the outermost NoStopScope ends
        } else {
            stopPoint(record);
        }
    }
    errno = savedErrno;
}

// Whether the target of a suspension made in resume epoch `epoch` may be taken as stopped.
bool suspensionSettled(ThreadRecord* r, std::uint32_t epoch) {
    const std::uint32_t parked = r->parkedAt.load(std::memory_order_seq_cst);
    return (parked != kNeverParked && static_cast<std::int32_t>(parked - epoch) >= 0) ||
           r->suspendCount.load(std::memory_order_seq_cst) == 0 ||
           r->phase.load(std::memory_order_seq_cst) != Phase::Running ||
           r->terminating.load(std::memory_order_seq_cst);
}

}  // namespace

int stopSignal() {
    static const int number = [] {
        const int s = SIGRTMIN + 3;
        struct sigaction action {};
        action.sa_handler = &onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        DAVRO_CHECK(sigaction(s, &action, nullptr) == 0, "the stop signal cannot be handled");
        return s;
    }();
    return number;
}

namespace {

// Parks the calling thread while its suspend count is above 0.
void parkWhileSuspended(ThreadRecord* r) {
    // In the sleep of a wait: leave the wait while stopped, so that nothing is handed to a
    // suspended thread, and join it again afterwards.
    bool withdrawn = false;
    for (;;) {
        // Read the epoch before the count: a resumption after this read changes `wake`, so
        // the futex wait below returns at once instead of missing it.
        const std::uint32_t epoch = r->wake.load();
        if (r->created && r->terminating.load(std::memory_order_seq_cst)) {
            tlsStop.noStop = 1;      // leaving for good: a stop that still arrives is ignored
            siglongjmp(r->jump, 1);  // to the trampoline, which ends the thread
        }
        if (r->suspendCount.load(std::memory_order_seq_cst) == 0) {
            if (withdrawn) {
                rejoinWait(tlsContext);
            }
            return;
        }
        if (!withdrawn && tlsStop.inWait != 0 && tlsContext != nullptr) {
            withdrawn = withdrawWait(tlsContext);
        }
        if (r->parkedAt.load(std::memory_order_relaxed) != epoch) {
            r->parkedAt.store(epoch, std::memory_order_seq_cst);
            r->seq.bump();  // the suspenders may return now
        }
        r->wake.sleepWhile(epoch);
    }
}

}  // namespace

void stopPoint(ThreadRecord* r) {
    // With the no-stop depth raised, a stop signal that arrives meanwhile (ThreadSanitizer
    // may deliver one even in the middle of an atomic operation here) only notes itself,
    // and is looked at again before returning.
    for (;;) {
        ++tlsStop.noStop;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        tlsStop.pending = 0;
        parkWhileSuspended(r);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        --tlsStop.noStop;
        if (tlsStop.pending == 0) {
            return;
        }
    }
}

bool stopRequested() {
    const ThreadRecord* r = currentRecord();
    return r != nullptr && (r->suspendCount.load(std::memory_order_seq_cst) != 0 ||
                            (r->created && r->terminating.load(std::memory_order_seq_cst)));
}

void nudge(ThreadRecord* r) {
    if (ThreadContext* c = r->context.load(std::memory_order_acquire)) {
        nudgeWait(c);  // out of its futex sleep, if it is in one
    }
}

void runPendingStop() {
    tlsStop.pending = 0;
    if (ThreadRecord* record = currentRecord()) {
        stopPoint(record);
    }
}

}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;

DWORD SuspendThread(HANDLE thread) {
    return withThread(thread, kFailed, [](ThreadRecord* r) {
        const bool self = r == currentRecord();
        DWORD previous = 0;
        DWORD error = ERROR_SUCCESS;
        bool mustWait = false;
        std::uint32_t epoch = 0;
        {
            const SpinGuard guard(r->lock);
            previous = r->suspendCount.load(std::memory_order_relaxed);
            if (r->phase.load(std::memory_order_relaxed) != Phase::Running) {
                error = ERROR_ACCESS_DENIED;  // the thread is ending or has ended
            } else if (previous >= kMaximumSuspendCount) {
                error = kErrorSignalRefcountExceeded;
            } else {
                r->suspendCount.store(previous + 1, std::memory_order_seq_cst);
                if (!self) {
                    // Every suspender, not only the first, returns once the thread has
                    // parked: a second one may come while the first still waits for the
                    // signal to land.
                    epoch = r->wake.load();
                    mustWait = true;
                    if (previous == 0) {
                        // The thread is alive: it turns Exiting only under this lock.
                        pthread_kill(r->pthread, stopSignal());
                        nudge(r);
                    }
                }
            }
        }
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return kFailed;
        }
        if (self && previous == 0) {
            stopPoint(r);  // returns when another thread resumes us
        } else if (mustWait) {
            // Stoppable wait: a suspender may itself be suspended meanwhile.
            for (;;) {
                const std::uint32_t s = r->seq.load();
                if (suspensionSettled(r, epoch)) {
                    break;
                }
                r->seq.sleepWhile(s);
            }
        }
        return previous;
    });
}

DWORD ResumeThread(HANDLE thread) {
    bool starting = false;
    const DWORD previous = withThread(thread, kFailed, [&starting](ThreadRecord* r) {
        const SpinGuard guard(r->lock);
        const DWORD count = r->suspendCount.load(std::memory_order_relaxed);
        if (count > 0) {
            r->suspendCount.store(count - 1, std::memory_order_seq_cst);
            if (count == 1) {
                r->wake.bump();  // a new epoch: the parked thread goes on
                r->seq.bump();   // suspenders still waiting for it give up
                starting = r->created && !r->entered.load(std::memory_order_acquire);
            }
        }
        return count;
    });
    if (starting) {
        // The first resumption of a thread created suspended, which the scheduler mostly
        // queued on this core: let it start now rather than when the resumer blocks.
        sched_yield();
    }
    return previous;
}

}  // namespace davro::win32
