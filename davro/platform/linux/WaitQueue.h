// The waiter queue of an object and the hand-off: locking an object, queueing and
// unlinking waiters, claiming a waiter, and giving a signalled object to the waiters that
// can take it. Used by the wait engine (WaitEngine.cpp) and by every signal (KernelObjects.cpp,
// Threads.cpp).
//
// Lock order: the all-lock (wait-all only) before object lock bits; only holders of the
// all-lock ever hold two object locks. Everything here runs inside a NoStopScope.
#pragma once

#include <cstdint>

#include "Check.h"
#include "Object.h"
#include "ThreadContext.h"

namespace davro::win32::detail {

// ---- Object lock bit ----

// Takes the object's lock bit (inside the fork gate) and returns the state with it set.
std::uint64_t lockObject(Object* o);
// Stores the new state `s` and drops the lock bit; the waiters bit follows the queue.
void unlockObject(Object* o, std::uint64_t s);

// ---- Queue ----

void enqueue(Object* o, WaitEntry* e);
// Queues `e` first: a waiter that a release asked to retry and that lost keeps its place.
void enqueueFront(Object* o, WaitEntry* e);
void unlink(Object* o, WaitEntry* e);

// ---- Claims and wake-ups ----

// Gives waiter `w` its result (or kStatusRetry) if it is still waiting; `sleeping` says
// whether it needs a futex wake. Only holders of the lock of an object on which `w` is
// queued (or `w` itself) may claim, so a claim never lands in a later wait of that thread.
bool claim(ThreadContext* w, std::uint32_t result, bool& sleeping);

// Threads to wake once the object locks are dropped. Contexts are never freed, so a late
// wake is at worst spurious.
struct WakeList {
    ThreadContext* items[MAXIMUM_WAIT_OBJECTS];
    int count = 0;
    void add(ThreadContext* w);
    void flush();
};

// Takes object `o` (locked, state `s`) for waiter `w` as entry `index`, if `w` is still
// waiting.
bool takeFor(Object* o, std::uint64_t& s, ThreadContext* w, std::uint32_t index, bool& sleeping);
// Takes every object of wait-all waiter `w` at once if all are signalled for it; the caller
// holds the all-lock and every object's lock, with the states in `states`. `namedResults`
// gives the results of the waiter's own takes of its named objects; without them (a
// signaller's call) a waiter whose other objects are all signalled is only woken, with
// `sleeping` set, to take them all itself.
bool takeAllFor(ThreadContext* w, std::uint64_t* states, const DWORD* namedResults, bool& sleeping);

// Gives object `o` (locked, state `s`, just made signalled) to its queued waiters: events,
// semaphores and threads in FIFO order for as long as it stays signalled; a freed mutex
// wakes one waiter to retry (or hands over to a starving one). Wait-all waiters are
// considered only when the caller holds the all-lock.
void satisfyWaiters(Object* o, std::uint64_t& s, bool haveAllLock, WakeList& wakes);
// A waiter whose wait ends, or is suspended, before it retried a mutex that a release
// asked it to retry: wakes another waiter in its place if the mutex is still free.
void passOnWake(Object* o, std::uint64_t& s, WaitEntry* e, WakeList& wakes);

// The all-lock: held to register a wait-all, to satisfy one, and by signallers of objects
// that wait-all waiters may be queued on.
void lockAll();
void unlockAll();

// Locks `o` for a signal, with the all-lock first when wait-all waiters may be queued on it;
// returns whether the all-lock is held.
bool lockForSignal(Object* o, std::uint64_t& s);
void unlockAfterSignal(Object* o, std::uint64_t s, bool haveAllLock, WakeList& wakes);

// Every slow signal: locks `o`, lets `change` turn the locked state into the signalled one
// (returning false to leave it unchanged: nothing is handed out then), hands the object to
// its waiters and unlocks, then wakes them. The caller holds a reference and a NoStopScope.
template <typename Change>
void signalObject(Object* o, Change change) {
    WakeList wakes;
    std::uint64_t s = 0;
    const bool haveAllLock = lockForSignal(o, s);
    if (change(s)) {
        satisfyWaiters(o, s, haveAllLock, wakes);
    }
    unlockAfterSignal(o, s, haveAllLock, wakes);
}

// A change through a handle resolved earlier: locks `o` for a signal and, if it is still the
// object of that handle (`incarnation`), lets `change(s, haveAllLock, wakes)` change the
// locked state and hand it out; then unlocks and wakes. Returns whether the change ran. The
// caller holds a NoStopScope.
template <typename Change>
bool changeIfAlive(Object* o, std::uint32_t incarnation, Change change) {
    WakeList wakes;
    std::uint64_t s = 0;
    const bool haveAllLock = lockForSignal(o, s);
    const bool alive = word::incarnation(s) == incarnation;
    if (alive) {
        change(s, haveAllLock, wakes);
    }
    unlockAfterSignal(o, s, haveAllLock, wakes);
    return alive;
}

// Number of threads queued on `o` (diagnostics and tests).
std::uint32_t queuedWaiters(Object* o);

}  // namespace davro::win32::detail
