// Threads: _beginthreadex, _endthreadex, the thread as a waitable object, exit codes,
// GetCurrentThread, priorities and TerminateThread. Suspension is in Suspend.cpp.
//
// A thread handle is a Thread-kind object whose payload bit 0 means "ended"; it is set
// for good by signalForever(), so every wait works on it unchanged. The object's record
// (ThreadRecord.h) holds the suspend count, the exit code and the jump buffer of the
// trampoline. Threads are detached pthreads: their stacks go back to the C library when
// they end, and the record goes with the object's last reference (handles plus the one
// the thread holds until its end).
#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "ThreadRecord.h"

namespace davro::win32::detail {

__thread ThreadRecord* tlsRecord = nullptr;

namespace {

// Yields while a thread created suspended waits for its first resumption before it
// parks: the creator usually resumes it within microseconds, and a park costs a futex
// sleep and wake-up on each side. Also the yields of a thread that ends before its creator
// has read its id (rare: the creator reads it right after pthread_create).
constexpr int kStartYields = 64;

int currentNice() {
    errno = 0;
    const int n = getpriority(PRIO_PROCESS, 0);  // on Linux: the calling thread
    return errno == 0 ? n : 0;
}

// The last steps of every thread known to the layer, on the thread itself: no stop can
// reach it any more, its mutexes are abandoned, then the exit code is stored and the
// handle signalled (so a waiter on the handle finds the mutexes abandoned already), and
// the thread's own reference is dropped.
void finishThread(ThreadRecord* r, DWORD code) {
    tlsStop.noStop = 1;  // for good: the thread is leaving
    tlsStop.pending = 0;
    tlsStop.inWait = 0;
    {
        const std::lock_guard<std::mutex> guard(r->lock);
        r->phase.store(Phase::Exiting, std::memory_order_seq_cst);
    }
    r->seq.bump();
    abandonOwnedMutexes(currentThreadState());
    r->exitCode.store(code, std::memory_order_seq_cst);
    Object* o = r->object;
    signalForever(o);
    r->phase.store(Phase::Ended, std::memory_order_seq_cst);
    r->seq.bump();  // terminators waiting for the end; they hold a reference on `o`
    tlsRecord = nullptr;
    release(o);
}

// A thread that the layer did not create but that asked for its own handle ends here.
void onAdoptedThreadEnd(void* record) {
    auto* r = static_cast<ThreadRecord*>(record);
    DWORD code = 0;
    {
        const std::lock_guard<std::mutex> guard(r->lock);
        code = r->requestedExitCode;
    }
    finishThread(r, code);
}

pthread_key_t adoptedKey() {
    static const pthread_key_t key = [] {
        pthread_key_t k{};
        pthread_key_create(&k, &onAdoptedThreadEnd);
        return k;
    }();
    return key;
}

// Runs the start routine inside the frame that a termination or _endthreadex jumps back
// to. The frames abandoned by such a jump run no destructors, as on Windows.
DWORD runRoutine(ThreadRecord* r) {
    if (sigsetjmp(r->jump, 1) != 0) {
        // Every jump here sets the no-stop depth first, and the restored signal mask blocks
        // the stop signal: nothing can stop this thread again.
        if (tlsStop.inWait != 0) {
            tlsStop.inWait = 0;
            abandonWait(currentThreadState());
        }
        dropNamedLock();
        const std::lock_guard<std::mutex> guard(r->lock);
        return r->requestedExitCode;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, stopSignal());
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);  // a stop sent meanwhile arrives now
    // CREATE_SUSPENDED: held in the stop point until resumed. The resumption normally comes
    // at once, so watch for it before parking; yielding lets a creator that shares this
    // core run. Stops still reach the thread here (the signal is unblocked).
    for (int i = 0; i < kStartYields && r->suspendCount.load(std::memory_order_acquire) != 0; ++i) {
        sched_yield();
    }
    stopPoint(r);
    r->entered.store(true, std::memory_order_release);
    return r->routine(r->argument);
}

// Held at the end until the creator has read the id (see kCreatorReading).
void awaitCreator(ThreadRecord* r) {
    for (int i = 0; i < kStartYields; ++i) {
        if (r->creator.load(std::memory_order_acquire) == kCreatorDone) {
            return;
        }
        sched_yield();
    }
    std::uint32_t state = kCreatorReading;
    r->creator.compare_exchange_strong(state, kCreatorAwaited, std::memory_order_acq_rel);
    while (r->creator.load(std::memory_order_acquire) != kCreatorDone) {
        futexWaitWord(&r->creator, kCreatorAwaited);
    }
}

void* threadMain(void* argument) {
    auto* r = static_cast<ThreadRecord*>(argument);
    tlsRecord = r;
    // The creator normally has the id already; only if it could not read it does it sleep
    // until the thread tells.
    if (r->tid.exchange(currentThreadId(), std::memory_order_seq_cst) == kTidWanted) {
        futexWakeAll(&r->tid);
    }
    r->waitState.store(currentThreadState(), std::memory_order_release);
    const DWORD code = runRoutine(r);
    awaitCreator(r);
    finishThread(r, code);
    return nullptr;
}

// The kernel id of a thread that pthread_create has just made, without waiting for the
// thread to run: the C library's descriptor holds it from the moment clone returns in the
// parent (CLONE_PARENT_SETTID), and the thread's CPU-time clock id encodes it as
// (~tid << 3) | 6, the kernel's format for per-thread clocks, which glibc and musl build
// from that field. 0 when the clock id is not of that form.
std::uint32_t idFromClock(pthread_t thread) {
    clockid_t clock{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || (clock & 7) != 6) {
        return 0;
    }
    const auto tid = static_cast<pid_t>(~(clock >> 3));
    return tid > 0 ? static_cast<std::uint32_t>(tid) : 0;
}

// The new thread's id; the thread does not end before this has returned.
std::uint32_t learnThreadId(ThreadRecord* r) {
    std::uint32_t tid = idFromClock(r->pthread);
    std::uint32_t seen = 0;
    if (tid != 0) {
        r->tid.compare_exchange_strong(seen, tid, std::memory_order_seq_cst);
    } else if (r->tid.compare_exchange_strong(seen, kTidWanted, std::memory_order_seq_cst)) {
        while ((tid = r->tid.load(std::memory_order_seq_cst)) == kTidWanted) {
            futexWaitWord(&r->tid, kTidWanted);
        }
    } else {
        tid = seen;  // the thread was quicker
    }
    if (r->creator.exchange(kCreatorDone, std::memory_order_acq_rel) == kCreatorAwaited) {
        futexWakeAll(&r->creator);
    }
    return tid;
}

// Win32 level -> change of the nice value (IDLE is SCHED_IDLE instead).
int niceStep(int priority) {
    switch (priority) {
        case THREAD_PRIORITY_TIME_CRITICAL:
            return -10;
        case THREAD_PRIORITY_HIGHEST:
            return -5;
        case THREAD_PRIORITY_ABOVE_NORMAL:
            return -2;
        case THREAD_PRIORITY_BELOW_NORMAL:
            return 2;
        case THREAD_PRIORITY_LOWEST:
            return 5;
        default:
            return 0;
    }
}

bool isPriorityLevel(int p) {
    return p == THREAD_PRIORITY_IDLE || p == THREAD_PRIORITY_LOWEST ||
           p == THREAD_PRIORITY_BELOW_NORMAL || p == THREAD_PRIORITY_NORMAL ||
           p == THREAD_PRIORITY_ABOVE_NORMAL || p == THREAD_PRIORITY_HIGHEST ||
           p == THREAD_PRIORITY_TIME_CRITICAL;
}

// Applies a level to a live thread. Only what an unprivileged process may do takes effect:
// raising the nice value, and SCHED_IDLE; lowering the nice value again or leaving
// SCHED_IDLE needs CAP_SYS_NICE or RLIMIT_NICE and is skipped quietly when refused.
void applyPriority(ThreadRecord* r, int priority) {
    const auto tid = static_cast<pid_t>(r->tid.load(std::memory_order_relaxed));
    sched_param param{};
    if (priority == THREAD_PRIORITY_IDLE) {
        if (sched_setscheduler(tid, SCHED_IDLE, &param) != 0) {
            setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 19);
        }
        return;
    }
    if (sched_getscheduler(tid) == SCHED_IDLE) {
        sched_setscheduler(tid, SCHED_OTHER, &param);
    }
    const int nice = std::clamp(r->baseNice + niceStep(priority), -20, 19);
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

Object* adoptCurrentThread() {
    stopSignal();  // installed before anyone can suspend this thread
    auto* r = new (std::nothrow) ThreadRecord;
    if (r == nullptr) {
        return nullptr;
    }
    Object* o = newObject(Kind::Thread, 0);  // its one reference is the thread's own
    if (o == nullptr) {
        delete r;
        return nullptr;
    }
    o->extra = r;
    r->object = o;
    r->pthread = pthread_self();
    r->tid.store(currentThreadId(), std::memory_order_relaxed);
    r->baseNice = currentNice();
    r->waitState.store(currentThreadState(), std::memory_order_release);
    tlsRecord = r;
    pthread_setspecific(adoptedKey(), r);
    return o;
}

}  // namespace

Object* currentThreadObject() {
    ThreadRecord* r = tlsRecord;
    return r != nullptr ? r->object : adoptCurrentThread();
}

void destroyThread(Object* object) {
    delete recordOf(object);
    object->extra = nullptr;
}

}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;

std::uintptr_t _beginthreadex(void* /*security*/, unsigned stackSize,
                              _beginthreadex_proc_type startAddress, void* argument,
                              unsigned initFlag, unsigned* threadId) {
    if (startAddress == nullptr) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const int signal = stopSignal();
    const NoStopScope noStop;  // a creator stopped half-way would leak the new thread
    auto* r = new (std::nothrow) ThreadRecord;
    Object* o = r != nullptr ? newObject(Kind::Thread, 0) : nullptr;
    if (o == nullptr) {
        delete r;
        errno = ENOMEM;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    o->extra = r;
    r->object = o;
    r->created = true;
    r->routine = startAddress;
    r->baseNice = currentNice();  // a new thread starts with its creator's nice value
    r->argument = argument;
    r->suspendCount.store((initFlag & CREATE_SUSPENDED) != 0 ? 1 : 0, std::memory_order_relaxed);
    HANDLE h = newHandle(o);  // takes over the creation reference
    if (h == nullptr) {
        release(o);
        errno = ENOMEM;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    addRef(o);  // the thread's own, dropped at its end

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        const long page = sysconf(_SC_PAGESIZE);
        std::size_t size = (std::size_t{stackSize} + page - 1) / page * page;
        size = std::max<std::size_t>(size, PTHREAD_STACK_MIN);
        pthread_attr_setstacksize(&attributes, size);
    }
    // The new thread starts with the stop signal blocked and unblocks it once its record
    // is in place, so that a suspension or termination sent at once is not lost.
    sigset_t block;
    sigset_t previous;
    sigemptyset(&block);
    sigaddset(&block, signal);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    const int error = pthread_create(&r->pthread, &attributes, &threadMain, r);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        release(o);  // the thread's reference
        CloseHandle(h);
        errno = error;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const std::uint32_t tid = learnThreadId(r);
    if (threadId != nullptr) {
        *threadId = tid;
    }
    if (r->suspendCount.load(std::memory_order_relaxed) == 0) {
        // The scheduler mostly queues a new thread on its creator's core: let it start now
        // rather than when the creator blocks. A creator alone on its core loses ~0.3 us.
        sched_yield();
    }
    return reinterpret_cast<std::uintptr_t>(h);
}

void _endthreadex(unsigned exitCode) {
    ThreadRecord* r = currentThreadObject() != nullptr ? tlsRecord : nullptr;
    if (r != nullptr) {
        const NoStopScope noStop;
        const std::lock_guard<std::mutex> guard(r->lock);
        if (!r->terminating.load(std::memory_order_relaxed)) {
            r->requestedExitCode = exitCode;
        }
    }
    if (r != nullptr && r->created) {
        tlsStop.noStop = 1;      // leaving for good
        siglongjmp(r->jump, 1);  // no destructors of the frames left behind, as ExitThread
    }
    pthread_exit(nullptr);  // a thread of someone else's: the C library ends it
}

HANDLE GetCurrentThread() {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));  // NOLINT
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    Object* o = acquireThread(thread);
    if (o == nullptr) {
        return FALSE;
    }
    const DWORD code = recordOf(o)->exitCode.load(std::memory_order_seq_cst);
    release(o);
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = code;
    return TRUE;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
    if (!isPriorityLevel(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Object* o = acquireThread(thread);
    if (o == nullptr) {
        return FALSE;
    }
    ThreadRecord* r = recordOf(o);
    {
        // Under the lock the thread cannot finish, so its tid still names it.
        const NoStopScope noStop;
        const std::lock_guard<std::mutex> guard(r->lock);
        if (r->phase.load(std::memory_order_relaxed) == Phase::Running) {
            applyPriority(r, priority);
        }
        r->priority.store(priority, std::memory_order_relaxed);
    }
    release(o);
    return TRUE;
}

int GetThreadPriority(HANDLE thread) {
    Object* o = acquireThread(thread);
    if (o == nullptr) {
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    const int priority = recordOf(o)->priority.load(std::memory_order_relaxed);
    release(o);
    return priority;
}

BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
    Object* o = acquireThread(thread);
    if (o == nullptr) {
        return FALSE;
    }
    ThreadRecord* r = recordOf(o);
    if (!r->created) {
        release(o);
        SetLastError(ERROR_ACCESS_DENIED);  // only threads of _beginthreadex can be stopped
        return FALSE;
    }
    const bool self = r == tlsRecord;
    {
        const NoStopScope noStop;
        const std::lock_guard<std::mutex> guard(r->lock);
        if (r->phase.load(std::memory_order_relaxed) == Phase::Running &&
            !r->terminating.load(std::memory_order_relaxed)) {
            r->requestedExitCode = exitCode;
            r->terminating.store(true, std::memory_order_seq_cst);
            if (!self) {
                pthread_kill(r->pthread, stopSignal());  // a running thread
                r->wake.bump();                          // a parked one
                nudge(r);                                // one asleep in a wait
            }
        }
    }
    if (self) {
        release(o);  // the thread's own reference keeps the record alive
        tlsStop.noStop = 1;
        siglongjmp(r->jump, 1);
    }
    // The thread stops at once: return when it has ended, its mutexes abandoned, its exit
    // code stored and its handle signalled.
    for (;;) {
        const std::uint32_t s = r->seq.load();
        if (r->phase.load(std::memory_order_seq_cst) == Phase::Ended) {
            break;
        }
        r->seq.sleepWhile(s);
    }
    release(o);
    return TRUE;
}

}  // namespace davro::win32
