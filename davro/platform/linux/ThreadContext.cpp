// Per-thread contexts: their pool and registry, the end of a thread, and fork().
//
// A thread gets its context at its first call that needs one; a thread-specific-data
// destructor runs endThread() when the thread ends, whoever created it (threads of
// _beginthreadex run it themselves, before they return). DESIGN.md, "Threads" and "fork",
// has the rules.
#include "ThreadContext.h"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Apc.h"
#include "Fence.h"
#include "Futex.h"
#include "KernelObjects.h"
#include "MessageQueue.h"
#include "NamedObject.h"
#include "StopScope.h"
#include "ThreadRecord.h"
#include "WaitChain.h"
#include "WaitEngine.h"

namespace davro::win32::detail {

__thread ThreadContext* tlsContext = nullptr;
__thread std::uint32_t tlsTid = 0;
std::atomic<std::uint32_t> gForkPending{0};

namespace {

struct Registry {
    // Guards `free`. Not a SpinLock: gated locks need a context, and this makes them. It is
    // held for a few instructions and taken by the at-fork handler like the others.
    RawSpinLock lock;
    std::atomic<ThreadContext*> all{nullptr};  // push-only list of every context
    ThreadContext* free = nullptr;
};
Registry gRegistry;

void onThreadExit(void* context);
void prepareFork();
void afterForkInParent();
void afterForkInChild();

// The thread-end hook and the fork handlers, installed once.
pthread_key_t processHooks() {
    static const pthread_key_t key = [] {
        pthread_key_t k{};
        DAVRO_CHECK(pthread_key_create(&k, &onThreadExit) == 0,
                    "no thread-specific-data key left for the thread-end hook");
        DAVRO_CHECK(pthread_atfork(&prepareFork, &afterForkInParent, &afterForkInChild) == 0,
                    "fork handlers could not be installed");
        return k;
    }();
    return key;
}

void onThreadExit(void* context) {
    auto* c = static_cast<ThreadContext*>(context);
    DWORD code = 0;
    if (ThreadRecord* r = c->record) {
        const SpinGuard guard(r->lock);
        code = r->requestedExitCode;  // _endthreadex's, or 0
    }
    endThread(c, code);
}

void releaseContext(ThreadContext* c) {
    if (tlsContext == c) {
        tlsContext = nullptr;
    }
    // No longer live before its note names no thread: a lookup of id 0 never finds it.
    c->live.store(false, std::memory_order_release);
    c->starting.store(false, std::memory_order_relaxed);
    resetNote(c, 0);
    c->tid = 0;
    c->record = nullptr;
    c->queue = nullptr;
    c->count = 0;
    c->inputMask.store(0, std::memory_order_relaxed);
    c->alertable = false;
    c->lowSlack = false;
    c->ownedMutexes = 0;
    c->named.owned.clear();
    c->named.robustHead = nullptr;
    c->named.robustKnown = false;
    gRegistry.lock.lock();
    c->nextFree = gRegistry.free;
    gRegistry.free = c;
    gRegistry.lock.unlock();
}

namespace {

// What each module keeps for a thread, taken down in this order: at the thread's end, and in
// a forked child for every thread that does not exist there (`ghost`: its named mutexes are
// its original's in the parent, and only forgotten; its exit code is 0); and renumbered in
// the child for the forking thread, which lives on there under a new id. So a waiter on a
// thread's handle finds everything the thread owned abandoned already.
struct ThreadStep {
    void (*end)(ThreadContext* c, DWORD exitCode, bool ghost);
    void (*renumber)(ThreadContext* self, std::uint32_t oldTid);
};

constexpr ThreadStep kThreadSteps[] = {
    // The wait it was stopped in (WaitEngine.cpp), and its wait note (WaitChain.cpp).
    {[](ThreadContext* c, DWORD, bool ghost) { abandonWait(c, ghost); },
     [](ThreadContext* self, std::uint32_t) { resetNote(self, self->tid); }},
    // Its APCs, dropped: nothing is queued to it any more (Apc.cpp).
    {[](ThreadContext* c, DWORD, bool) { closeApcs(c); }, [](ThreadContext*, std::uint32_t) {}},
    // Its in-process mutexes (KernelObjects.cpp).
    {[](ThreadContext* c, DWORD, bool) { abandonOwnedMutexes(c); }, &renumberOwnedMutexes},
    // Its named mutexes (NamedRegistry.cpp): a fork child's stay with the parent's thread.
    {[](ThreadContext* c, DWORD, bool ghost) { abandonNamedMutexes(c, ghost); },
     [](ThreadContext* self, std::uint32_t) { abandonNamedMutexes(self, true); }},
    // What it was sending and its message queue (MessageQueue.cpp).
    {[](ThreadContext* c, DWORD, bool) { retireQueue(c); }, &renumberQueue},
    // Its handle: the exit code stored, then signalled (Threads.cpp).
    {[](ThreadContext* c, DWORD exitCode, bool) {
         if (c->record != nullptr) {
             finishThreadRecord(c->record, exitCode);
         }
     },
     [](ThreadContext* self, std::uint32_t) {
         if (self->record != nullptr) {
             self->record->tid.store(self->tid, std::memory_order_relaxed);
         }
     }},
};

}  // namespace

// ---- fork ----

void prepareFork() {
    prepareNamedForFork();  // a sleeping lock: before the gate, whose holders never wait
    gForkPending.store(1, std::memory_order_relaxed);
    heavyFence();
    const ThreadContext* self = tlsContext;
    for (ThreadContext* c = gRegistry.all.load(std::memory_order_acquire); c != nullptr;
         c = c->nextAll) {
        unsigned n = 0;
        while (c != self && c->inGate.load(std::memory_order_acquire) != 0) {
            backoff(n);
        }
    }
    gRegistry.lock.lock();
}

void openGate() {
    gForkPending.store(0, std::memory_order_release);
    futexWakeAll(&gForkPending);
}

void afterForkInParent() {
    gRegistry.lock.unlock();
    openGate();
    namedAfterForkInParent();
}

// The child runs only the forking thread, under a new id; its in-process mutexes are its
// own under that id, while the named ones stay with its original in the parent. Every
// other thread's context describes a thread that does not exist here: its wait is
// finished, its mutexes are abandoned, its queue goes and its handle is signalled (exit
// code 0), as if it had ended.
void afterForkInChild() {
    const NoStopScope noStop;  // ends threads as endThread does, which nothing may stop
    gRegistry.lock.reset();
    gForkPending.store(0, std::memory_order_relaxed);
    namedAfterForkInChild();
    tlsTid = 0;
    const std::uint32_t tid = cacheThreadId();
    renumberSectionOwner(tid);
    ThreadContext* self = tlsContext;
    if (self != nullptr) {
        const std::uint32_t oldTid = self->tid;
        self->tid = tid;
        for (const ThreadStep& step : kThreadSteps) {
            step.renumber(self, oldTid);
        }
    }
    for (ThreadContext* c = gRegistry.all.load(std::memory_order_acquire); c != nullptr;
         c = c->nextAll) {
        forgetPeekers(c);  // whoever read a wait note at the fork is not here
        // A thread being started at the fork is not in the child either: its handle is
        // signalled and its queue closed like those of the threads that ran.
        if (c == self || !(c->live.load(std::memory_order_relaxed) ||
                           c->starting.load(std::memory_order_relaxed))) {
            continue;
        }
        c->gateDepth = 0;
        c->inGate.store(0, std::memory_order_relaxed);
        for (const ThreadStep& step : kThreadSteps) {
            step.end(c, 0, true);
        }
        releaseContext(c);
    }
}

}  // namespace

std::uint32_t cacheThreadId() {
    processHooks();  // before any id is cached, so that a forked child never keeps its parent's
    tlsTid = static_cast<std::uint32_t>(syscall(SYS_gettid));
    return tlsTid;
}

ThreadContext* allocateContext() {
    processHooks();
    gRegistry.lock.lock();
    ThreadContext* c = gRegistry.free;
    if (c != nullptr) {
        gRegistry.free = c->nextFree;
    }
    gRegistry.lock.unlock();
    if (c == nullptr) {
        c = new (std::nothrow) ThreadContext;
        if (c == nullptr) {
            return nullptr;
        }
        ThreadContext* head = gRegistry.all.load(std::memory_order_relaxed);
        do {
            c->nextAll = head;
        } while (!gRegistry.all.compare_exchange_weak(head, c, std::memory_order_release,
                                                      std::memory_order_relaxed));
    }
    return c;
}

void installContext(ThreadContext* c) {
    c->tid = currentThreadId();
    resetNote(c, c->tid);
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    c->spin.singleProcessor =
        sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) == 1;
    startSpinning(c);
    c->status.store(0, std::memory_order_relaxed);
    c->live.store(true, std::memory_order_release);
    c->starting.store(false, std::memory_order_relaxed);
    tlsContext = c;
    // The thread-end hook runs for every thread that ends through pthread_exit or by
    // returning, whoever created it; it needs the value set. Without it the thread's end
    // would abandon nothing and signal nobody.
    DAVRO_CHECK(pthread_setspecific(processHooks(), c) == 0,
                "pthread_setspecific failed: the thread-end hook would be lost");
}

void discardContext(ThreadContext* c) { releaseContext(c); }

ThreadContext* createContext() {
    ThreadContext* c = allocateContext();
    if (c != nullptr) {
        installContext(c);
    }
    return c;
}

void endThread(ThreadContext* c, DWORD exitCode) {
    tlsStop.noStop = 1;  // for good: the thread is leaving
    tlsStop.pending = 0;
    tlsStop.inWait = 0;
    ThreadRecord* r = c->record;
    if (r != nullptr) {
        {
            const SpinGuard guard(r->lock);
            r->phase.store(Phase::Exiting, std::memory_order_seq_cst);
        }
        r->seq.bump();
    }
    for (const ThreadStep& step : kThreadSteps) {
        step.end(c, exitCode, false);
    }
    DAVRO_CHECK(pthread_setspecific(processHooks(), nullptr) == 0,
                "pthread_setspecific failed: the thread-end hook would run twice");
    releaseContext(c);
}

void waitForFork(ThreadContext* c) {
    do {
        c->inGate.store(0, std::memory_order_release);
        while (gForkPending.load(std::memory_order_acquire) != 0) {
            futexWait(&gForkPending, 1);
        }
        c->inGate.store(1, std::memory_order_relaxed);
        lightFence();
    } while (gForkPending.load(std::memory_order_relaxed) != 0);
}

ThreadContext* allContexts() { return gRegistry.all.load(std::memory_order_acquire); }

}  // namespace davro::win32::detail
