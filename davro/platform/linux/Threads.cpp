// Threads: _beginthreadex, _endthreadex, the thread as a waitable object, exit codes,
// GetCurrentThread, priorities and TerminateThread. Suspension is in Suspend.cpp.
//
// A thread handle is a Thread-kind object whose payload bit 0 means "ended"; it is set for
// good by signalForever(), so every wait works on it unchanged. The object's record
// (ThreadRecord.h) holds the suspend count, the exit code and the jump buffer of the
// trampoline. Threads are detached pthreads: their stacks go back to the C library when they
// end, and the record goes with the object's last reference (handles plus the one the
// thread holds until its end). The thread's end itself is endThread() (ThreadContext.cpp).
#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>
#include <unordered_map>

#include "HandleTable.h"
#include "KernelObjects.h"
#include "StopScope.h"
#include "ThreadRecord.h"
#include "WaitEngine.h"

namespace davro::win32::detail {
namespace {

// Yields while a thread created suspended waits for its first resumption before it parks:
// the creator usually resumes it within microseconds, and a park costs a futex sleep and
// wake-up on each side. Also the yields of a thread that ends before its creator has read
// its id (rare: the creator reads it right after pthread_create).
constexpr int kStartYields = 64;

// Threads by id, for OpenThread: every thread with a record, entered when its id is known
// and removed with its object, so that an id opens its thread as long as some handle keeps
// the thread object, as on Windows. An entry keeps the object's incarnation: a lookup adds
// its reference only to that incarnation, so an entry that is being removed is harmless.
struct ThreadEntry {
    Object* object;
    std::uint32_t incarnation;
};
struct ThreadIds {
    SpinLock lock;
    std::unordered_map<std::uint32_t, ThreadEntry>* threads = nullptr;  // never freed
};
ThreadIds gThreadIds;

// Enters the thread of `o` under `tid`; when memory is short it cannot be opened by id.
void enterThreadId(std::uint32_t tid, Object* o) {
    const SpinGuard guard(gThreadIds.lock);
    try {
        if (gThreadIds.threads == nullptr) {
            gThreadIds.threads = new std::unordered_map<std::uint32_t, ThreadEntry>;
        }
        (*gThreadIds.threads)[tid] = ThreadEntry{o, incarnationOf(o)};
    } catch (const std::bad_alloc&) {
        return;  // OpenThread of this id fails with ERROR_INVALID_PARAMETER
    }
}

void removeThreadId(std::uint32_t tid, const Object* o) {
    const SpinGuard guard(gThreadIds.lock);
    if (gThreadIds.threads == nullptr) {
        return;
    }
    const auto found = gThreadIds.threads->find(tid);
    if (found != gThreadIds.threads->end() && found->second.object == o) {
        gThreadIds.threads->erase(found);
    }
}

// The thread object entered under `tid` with a reference added, or null.
Object* findThreadId(std::uint32_t tid) {
    ThreadEntry entry{};
    {
        const SpinGuard guard(gThreadIds.lock);
        if (gThreadIds.threads == nullptr) {
            return nullptr;
        }
        const auto found = gThreadIds.threads->find(tid);
        if (found == gThreadIds.threads->end()) {
            return nullptr;
        }
        entry = found->second;
    }
    if (!tryAddRef(entry.object, entry.incarnation)) {
        return nullptr;  // destroyed meanwhile
    }
    if (entry.object->kind.load(std::memory_order_relaxed) != Kind::Thread ||
        entry.object->thread->tid.load(std::memory_order_relaxed) != tid) {
        release(entry.object);
        return nullptr;
    }
    return entry.object;
}

int currentNice() {
    errno = 0;
    const int n = getpriority(PRIO_PROCESS, 0);  // on Linux: the calling thread
    return errno == 0 ? n : 0;
}

// The nice value of THREAD_PRIORITY_NORMAL: the one the process had when the library was
// loaded. Every new thread starts there, as a new thread on Windows starts at normal
// priority in its process's class, whatever its creator's priority.
const int gNormalNice = currentNice();

// Win32 level -> change of the nice value from normal (IDLE is SCHED_IDLE instead).
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

// The Win32 level that the calling thread really runs at: the nearest to its nice value.
int levelOfCallingThread() {
    if (sched_getscheduler(0) == SCHED_IDLE) {
        return THREAD_PRIORITY_IDLE;
    }
    const int step = currentNice() - gNormalNice;
    if (step <= -8) {
        return THREAD_PRIORITY_TIME_CRITICAL;
    }
    if (step <= -4) {
        return THREAD_PRIORITY_HIGHEST;
    }
    if (step < 0) {
        return THREAD_PRIORITY_ABOVE_NORMAL;
    }
    if (step == 0) {
        return THREAD_PRIORITY_NORMAL;
    }
    return step <= 3 ? THREAD_PRIORITY_BELOW_NORMAL : THREAD_PRIORITY_LOWEST;
}

// A new thread inherits its creator's scheduling; it goes to normal here. Without the
// privilege to raise it back (CAP_SYS_NICE, RLIMIT_NICE) it stays where it is, and its
// handle reports the level it really runs at. A level set through its handle before it got
// here (a suspended thread's, say) has been applied already and stays.
void startAtNormalPriority(ThreadRecord* r) {
    const SpinGuard guard(r->lock);
    if (r->priorityChosen) {
        return;
    }
    sched_param param{};
    const int policy = sched_getscheduler(0);
    if (policy == SCHED_IDLE || policy == SCHED_BATCH) {
        sched_setscheduler(0, SCHED_OTHER, &param);
    }
    if (currentNice() != gNormalNice) {
        setpriority(PRIO_PROCESS, 0, gNormalNice);
    }
    r->priority.store(levelOfCallingThread(), std::memory_order_relaxed);
}

// Applies a level to a live thread. Only what the process may do takes effect: without
// CAP_SYS_NICE or RLIMIT_NICE a nice value can only go up and SCHED_IDLE cannot be left, and
// such changes are skipped quietly, as before.
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
    const int nice = std::clamp(gNormalNice + niceStep(priority), -20, 19);
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

// Runs the start routine inside the frame that a termination or _endthreadex jumps back to.
// The frames abandoned by such a jump run no destructors, as on Windows.
DWORD runRoutine(ThreadRecord* r) {
    if (sigsetjmp(r->jump, 1) != 0) {
        // Every jump here sets the no-stop depth first, and the restored signal mask blocks
        // the stop signal: nothing can stop this thread again.
        if (tlsStop.inWait != 0) {
            tlsStop.inWait = 0;
            abandonWait(tlsContext);
        }
        if (tlsSlimWait.withdraw != nullptr) {
            tlsSlimWait.withdraw(tlsSlimWait.object);
            tlsSlimWait = {};
        }
        const SpinGuard guard(r->lock);
        return r->requestedExitCode;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, stopSignal());
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);  // a stop sent meanwhile arrives now
    // CREATE_SUSPENDED: held in the stop point until resumed. The resumption normally comes
    // at once, so watch for it before parking; yielding lets a creator that shares this core
    // run. Stops still reach the thread here (the signal is unblocked).
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
        futexWait(&r->creator, kCreatorAwaited);
    }
}

void* threadMain(void* argument) {
    auto* r = static_cast<ThreadRecord*>(argument);
    ThreadContext* c = r->context.load(std::memory_order_acquire);  // made by the creator
    installContext(c);
    c->record = r;
    // The creator normally has the id already; only if it could not read it does it sleep
    // until the thread tells.
    if (r->tid.exchange(c->tid, std::memory_order_seq_cst) == kTidWanted) {
        futexWakeAll(&r->tid);
    }
    startAtNormalPriority(r);
    const DWORD code = runRoutine(r);
    awaitCreator(r);
    endThread(c, code);
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
            futexWait(&r->tid, kTidWanted);
        }
    } else {
        tid = seen;  // the thread was quicker
    }
    enterThreadId(tid, r->object);  // before the thread may end and its object go
    if (r->creator.exchange(kCreatorDone, std::memory_order_acq_rel) == kCreatorAwaited) {
        futexWakeAll(&r->creator);
    }
    return tid;
}

// A record and object for a thread, with the record's reference on the object that the
// thread drops at its end not yet added; null when memory is short.
Object* newThreadObject() {
    auto* r = new (std::nothrow) ThreadRecord;
    Object* o = r != nullptr ? newObject(Kind::Thread, 0) : nullptr;
    if (o == nullptr) {
        delete r;
        return nullptr;
    }
    o->thread = r;
    r->object = o;
    return o;
}

Object* adoptCurrentThread() {
    stopSignal();  // installed before anyone can suspend this thread
    ThreadContext* c = currentContext();
    Object* o = c != nullptr ? newThreadObject() : nullptr;
    if (o == nullptr) {
        return nullptr;  // its one reference is the thread's own
    }
    ThreadRecord* r = o->thread;
    r->pthread = pthread_self();
    r->tid.store(c->tid, std::memory_order_relaxed);
    r->priority.store(levelOfCallingThread(), std::memory_order_relaxed);
    r->context.store(c, std::memory_order_release);
    c->record = r;
    enterThreadId(c->tid, o);
    return o;
}

}  // namespace

ThreadRecord* currentRecord() {
    const ThreadContext* c = tlsContext;
    return c != nullptr ? c->record : nullptr;
}

Object* currentThreadObject() {
    const ThreadRecord* r = currentRecord();
    return r != nullptr ? r->object : adoptCurrentThread();
}

void finishThreadRecord(ThreadRecord* r, DWORD exitCode) {
    r->exitCode.store(exitCode, std::memory_order_seq_cst);
    Object* o = r->object;
    signalForever(o);
    r->context.store(nullptr, std::memory_order_release);
    r->phase.store(Phase::Ended, std::memory_order_seq_cst);
    r->seq.bump();  // terminators waiting for the end; they hold a reference on `o`
    release(o);     // the thread's own
}

void destroyThread(Object* object) {
    removeThreadId(object->thread->tid.load(std::memory_order_relaxed), object);
    delete object->thread;
    object->thread = nullptr;
}

Object* acquireThread(HANDLE thread) {
    Object* o = acquireRef(thread);
    if (o != nullptr && o->kind.load(std::memory_order_relaxed) != Kind::Thread) {
        release(o);
        o = nullptr;
    }
    if (o == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return o;
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
    ThreadContext* context = allocateContext();
    Object* o = context != nullptr ? newThreadObject() : nullptr;
    HANDLE h = o != nullptr ? newHandle(o) : nullptr;  // takes over the creation reference
    if (h == nullptr) {
        if (o != nullptr) {
            release(o);
        }
        if (context != nullptr) {
            discardContext(context);
        }
        errno = ENOMEM;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    ThreadRecord* r = o->thread;
    r->created = true;
    r->routine = startAddress;
    r->argument = argument;
    r->context.store(context, std::memory_order_relaxed);
    context->record = r;  // the new thread sets it again; a fork child needs it before
    context->starting.store(true, std::memory_order_relaxed);
    r->suspendCount.store((initFlag & CREATE_SUSPENDED) != 0 ? 1 : 0, std::memory_order_relaxed);
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
    // The new thread starts with the stop signal blocked and unblocks it once its record is
    // in place, so that a suspension or termination sent at once is not lost.
    sigset_t block;
    sigset_t previous;
    sigemptyset(&block);
    sigaddset(&block, signal);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    const int error = pthread_create(&r->pthread, &attributes, &threadMain, r);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        r->context.store(nullptr, std::memory_order_relaxed);
        discardContext(context);  // no longer starting
        release(o);               // the thread's reference
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
        // rather than when the creator blocks.
        sched_yield();
    }
    return reinterpret_cast<std::uintptr_t>(h);
}

void _endthreadex(unsigned exitCode) { ExitThread(exitCode); }

void ExitThread(DWORD exitCode) {
    ThreadRecord* r = currentThreadObject() != nullptr ? currentRecord() : nullptr;
    if (r != nullptr) {
        const SpinGuard guard(r->lock);
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

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId) {
    // Without STACK_SIZE_PARAM_IS_A_RESERVATION the size is what Windows commits at once, and
    // the stack reserved is the program's default or that size, whichever is larger: here,
    // the C library's default stack unless the size asked for is larger.
    static const std::size_t defaultStack = [] {
        std::size_t size = 0;
        pthread_attr_t a;
        pthread_attr_init(&a);
        pthread_attr_getstacksize(&a, &size);
        pthread_attr_destroy(&a);
        return size;
    }();
    if ((creationFlags & STACK_SIZE_PARAM_IS_A_RESERVATION) == 0 && stackSize <= defaultStack) {
        stackSize = 0;
    }
    // DWORD is unsigned int here, so the two start routines have one type.
    const auto handle =
        _beginthreadex(attributes, static_cast<unsigned>(std::min<SIZE_T>(stackSize, UINT_MAX)),
                       startAddress, parameter, creationFlags & CREATE_SUSPENDED, threadId);
    return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

HANDLE OpenThread(DWORD desiredAccess, BOOL /*inheritHandle*/, DWORD threadId) {
    const NoStopScope noStop;  // a reference taken here must reach its handle
    Object* o = nullptr;
    if (threadId == currentThreadId()) {
        o = currentThreadObject();
        if (o == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        addRef(o);
    } else {
        o = findThreadId(threadId);
        if (o == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);  // no thread of this process has the id
            return nullptr;
        }
    }
    // MAXIMUM_ALLOWED: every right that a thread of this process may have, waits included.
    const DWORD rights = (desiredAccess & MAXIMUM_ALLOWED) != 0 ? THREAD_ALL_ACCESS : desiredAccess;
    HANDLE h = newHandle(o, accessFor(Kind::Thread, rights));
    if (h == nullptr) {
        release(o);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return h;
}

DWORD GetThreadId(HANDLE thread) {
    return withThread(thread, DWORD{0}, [](ThreadRecord* r) {
        return static_cast<DWORD>(r->tid.load(std::memory_order_relaxed));
    });
}

BOOL SwitchToThread() {
    sched_yield();
    return TRUE;  // Linux does not tell whether another thread ran
}

void ExitProcess(UINT exitCode) {
    // The other threads stop where they are and no destructors or atexit handlers of the
    // program run, as on Windows; the C library's streams are flushed, as Windows' C run-time
    // flushes its own when it is detached.
    std::fflush(nullptr);
    _exit(static_cast<int>(exitCode));
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    Resolved r{};
    if (!resolve(process, r) || r.kind != Kind::Process) {
        SetLastError(ERROR_INVALID_HANDLE);  // only the calling process is known here
        return FALSE;
    }
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = STILL_ACTIVE;
    return TRUE;
}

DWORD GetCurrentThreadId() { return currentThreadId(); }

HANDLE GetCurrentThread() {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));  // NOLINT
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    return withThread(thread, FALSE, [exitCode](ThreadRecord* r) {
        if (exitCode == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *exitCode = r->exitCode.load(std::memory_order_seq_cst);
        return TRUE;
    });
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
    if (!isPriorityLevel(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return withThread(thread, FALSE, [priority](ThreadRecord* r) {
        // Under the lock the thread cannot finish, so its tid still names it.
        const SpinGuard guard(r->lock);
        if (r->phase.load(std::memory_order_relaxed) == Phase::Running) {
            applyPriority(r, priority);
        }
        r->priority.store(priority, std::memory_order_relaxed);
        r->priorityChosen = true;
        return TRUE;
    });
}

int GetThreadPriority(HANDLE thread) {
    return withThread(thread, THREAD_PRIORITY_ERROR_RETURN,
                      [](ThreadRecord* r) { return r->priority.load(std::memory_order_relaxed); });
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
    const bool self = r == currentRecord();
    {
        const SpinGuard guard(r->lock);
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
