// Asynchronous procedure calls: QueueUserAPC, the per-thread queue, running the queue at the
// end of an alertable wait, and SleepEx.
//
// The queue lives in the thread's record, which the Thread object owns: whoever queues holds
// a reference to that object (a handle's, or a timer's), so the queue cannot go away under
// it, and a thread that has ended has closed it. A thread's context is pooled and reused, so
// it is only ever nudged, never written to, by a queuer.
#include "Apc.h"

#include <cstdint>
#include <new>

#include "StopScope.h"
#include "ThreadContext.h"
#include "ThreadRecord.h"
#include "WaitEngine.h"
#include "WaitQueue.h"

namespace davro::win32::detail {
namespace {

void unlinkApc(ApcQueue& q, Apc* a) {
    if (a->prev != nullptr) {
        a->prev->next = a->next;
    } else {
        q.head = a->next;
    }
    if (a->next != nullptr) {
        a->next->prev = a->prev;
    } else {
        q.tail = a->prev;
    }
    a->prev = a->next = nullptr;
    a->queued = false;
    if (q.head == nullptr) {
        q.pending.store(0, std::memory_order_relaxed);
    }
}

}  // namespace

namespace {

// Links `apc` at the end of the queue of `record` (locked) and returns the thread's context
// to nudge, if it has one.
ThreadContext* linkApc(ThreadRecord* record, Apc* apc) {
    ApcQueue& q = record->apcs;
    apc->prev = q.tail;
    apc->next = nullptr;
    if (q.tail != nullptr) {
        q.tail->next = apc;
    } else {
        q.head = apc;
    }
    q.tail = apc;
    apc->queued = true;
    // Before the nudge: a waiter that announced its sleep looks at the flag after that.
    q.pending.store(1, std::memory_order_seq_cst);
    return record->context.load(std::memory_order_acquire);
}

// Ends the sleep of the thread of `target`, if it sleeps in a wait: at once, or through
// `wakes` once the caller's object locks are dropped.
void nudgeFor(ThreadContext* target, WakeList* wakes) {
    if (target == nullptr) {
        return;
    }
    if (wakes == nullptr) {
        nudgeWait(target);
        return;
    }
    std::uint32_t cur = kStatusSleeping;
    if (target->status.compare_exchange_strong(cur, kStatusWaiting, std::memory_order_seq_cst)) {
        wakes->add(target);
    }
}

}  // namespace

bool queueApc(ThreadRecord* record, Apc* apc, WakeList* wakes) {
    ThreadContext* target = nullptr;
    {
        const SpinGuard guard(record->apcs.lock);
        if (record->apcs.closed) {
            return false;
        }
        target = linkApc(record, apc);
    }
    nudgeFor(target, wakes);
    return true;
}

bool queueTimerApc(ThreadRecord* record, Apc* apc, PTIMERAPCROUTINE routine, LPVOID argument,
                   const FILETIME& firedAt, WakeList& wakes) {
    ThreadContext* target = nullptr;
    {
        const SpinGuard guard(record->apcs.lock);
        if (record->apcs.closed) {
            return false;
        }
        if (apc->queued) {
            return true;
        }
        apc->ofTimer = true;
        apc->timerRoutine = routine;
        apc->timerArgument = argument;
        apc->firedAt = firedAt;
        target = linkApc(record, apc);
    }
    nudgeFor(target, &wakes);
    return true;
}

void unqueueTimerApc(ThreadRecord* record, Apc* apc) {
    ApcQueue& q = record->apcs;
    const SpinGuard guard(q.lock);
    if (apc->queued) {
        unlinkApc(q, apc);
    }
}

bool apcPending(const ThreadContext* c) {
    const ThreadRecord* r = c->record;
    return r != nullptr && r->apcs.pending.load(std::memory_order_seq_cst) != 0;
}

bool runApcs(ThreadContext* c) {
    ThreadRecord* r = c->record;
    if (r == nullptr) {
        return false;
    }
    ApcQueue& q = r->apcs;
    bool ran = false;
    for (;;) {
        PAPCFUNC routine = nullptr;
        ULONG_PTR data = 0;
        PTIMERAPCROUTINE timerRoutine = nullptr;
        LPVOID argument = nullptr;
        FILETIME firedAt{};
        Apc* owned = nullptr;
        {
            const SpinGuard guard(q.lock);
            Apc* a = q.head;
            if (a == nullptr) {
                break;
            }
            unlinkApc(q, a);
            if (a->ofTimer) {
                // Copied under the lock: once it is left the timer may be set again or
                // closed, and its node reused or freed.
                timerRoutine = a->timerRoutine;
                argument = a->timerArgument;
                firedAt = a->firedAt;
            } else {
                routine = a->routine;
                data = a->data;
                owned = a;
            }
        }
        ran = true;
        if (timerRoutine != nullptr) {
            timerRoutine(argument, firedAt.dwLowDateTime, firedAt.dwHighDateTime);
        } else {
            delete owned;
            routine(data);
        }
    }
    return ran;
}

void closeApcs(ThreadContext* c) {
    ThreadRecord* r = c->record;
    if (r == nullptr) {
        return;
    }
    ApcQueue& q = r->apcs;
    Apc* dropped = nullptr;
    {
        const SpinGuard guard(q.lock);
        q.closed = true;
        while (q.head != nullptr) {
            Apc* a = q.head;
            unlinkApc(q, a);
            if (!a->ofTimer) {
                a->next = dropped;  // freed after the lock is left
                dropped = a;
            }
        }
    }
    while (dropped != nullptr) {
        Apc* next = dropped->next;
        delete dropped;
        dropped = next;
    }
}

}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;

DWORD QueueUserAPC(PAPCFUNC apc, HANDLE thread, ULONG_PTR data) {
    if (apc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto* node = new (std::nothrow) Apc;
    if (node == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    node->routine = apc;
    node->data = data;
    const NoStopScope noStop;
    Object* o = acquireThread(thread);  // ERROR_INVALID_HANDLE for anything else
    if (o == nullptr) {
        delete node;
        return 0;
    }
    const bool queued = queueApc(recordOf(o), node, nullptr);
    release(o);
    if (!queued) {
        delete node;
        SetLastError(ERROR_GEN_FAILURE);  // the thread has ended, as Windows reports it
        return 0;
    }
    return 1;
}

DWORD SleepEx(DWORD milliseconds, BOOL alertable) {
    if (alertable == FALSE) {
        Sleep(milliseconds);
        return 0;
    }
    const DWORD result = alertableWait([&](ThreadContext* c) -> DWORD {
        const NoStopScope noStop;
        return waitBlocking(c, nullptr, 0, false, deadlineAfter(milliseconds), 0);
    });
    return result == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
}

}  // namespace davro::win32
