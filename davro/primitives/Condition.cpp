#include <davro/primitives/Condition.h>

using namespace davro::win32;

namespace {

// `broadcasting` is cleared by signalAll() without taking waitersLock, while waiters read
// it under that lock. Relaxed atomic accesses make that a defined race: the reader sees
// either value, and both are handled (a waiter that still sees 1 returns at once, as
// during the broadcast; one that sees 0 registers for the next).
int loadFlag(const int& flag) { return __atomic_load_n(&flag, __ATOMIC_RELAXED); }
void storeFlag(int& flag, int value) { __atomic_store_n(&flag, value, __ATOMIC_RELAXED); }

// Names the inner objects after the external lock, when that lock has a name.
void nameAfter(const YSyncObject* lock, YEventObject& event, YEventObject& waitersDone,
               YCriticalSection& waitersLock) {
    if (lock == nullptr) {
        return;
    }
    const YString lockName = lock->getName();
    if (lockName.length() > 0) {
        event.setName(lockName + YString(L".event"));
        waitersDone.setName(lockName + YString(L".waitersDone"));
        waitersLock.setName(lockName + YString(L".waitersLock"));
    }
}

}  // namespace

YCondition::YCondition(int keep) : YCondition(nullptr, keep) {}

YCondition::YCondition(YSyncObject& lock, int keep) : YCondition(&lock, keep) {}

YCondition::YCondition(YSyncObject* lock, int keep)
    : event(0, 0),
      waitersDone(0, 0),
      waiters(0),
      pendingSignals(0),
      broadcasting(0),
      externalLock(lock),
      keepSignals(keep) {
    nameAfter(lock, event, waitersDone, waitersLock);
}

// Member-wise: the events and the section duplicate their handles.
YCondition::YCondition(const YCondition& other) = default;

YCondition& YCondition::operator=(const YCondition& other) = default;

YCondition::~YCondition() { externalLock = nullptr; }

int YCondition::wait(unsigned int timeout) {
    waitersLock.lock(INFINITE);
    if (pendingSignals > 0) {
        --pendingSignals;
        waitersLock.unlock();
        return 0;
    }
    if (loadFlag(broadcasting) != 0) {
        waitersLock.unlock();
        return 0;
    }
    ++waiters;
    waitersLock.unlock();

    if (externalLock != nullptr) {
        externalLock->unlock();
    }
    const int result = event.wait(timeout);

    waitersLock.lock(INFINITE);
    --waiters;
    // While a broadcast runs nobody can register, so every waiter counted now is one that
    // the broadcast owes a wake-up. The event holds one signal at most, and some of them
    // may not have been blocked on it yet when signalAll() set it: a woken waiter hands
    // the signal on while any of them remains. The last one clears whatever signal is
    // left, so that the broadcast leaves nothing behind for later waiters. All sets of
    // `event` happen under waitersLock, so none can slip in after that clear.
    const bool inBroadcast = loadFlag(broadcasting) != 0;
    const bool lastOfBroadcast = inBroadcast && waiters == 0;
    if (lastOfBroadcast) {
        event.resetEvent();
    } else if (inBroadcast && result == 0) {
        event.signal();
    }
    waitersLock.unlock();

    // Before taking the external lock again: signalAll() may be called with it held.
    if (lastOfBroadcast) {
        waitersDone.signal();
    }
    if (externalLock != nullptr) {
        externalLock->lock(INFINITE);
    }
    return result;
}

void YCondition::signal() {
    waitersLock.lock(INFINITE);
    if (waiters == 0 && keepSignals != 0) {
        ++pendingSignals;
    } else if (waiters > 0) {
        event.signal();
    }
    waitersLock.unlock();
}

void YCondition::signalAll() {
    waitersLock.lock(INFINITE);
    // A broadcast in progress already releases every registered waiter, and nobody can
    // register before it ends. A second one must not wait for waitersDone as well (the
    // last waiter sets it once) nor clear the flag under the first one.
    if (loadFlag(broadcasting) != 0) {
        waitersLock.unlock();
        return;
    }
    storeFlag(broadcasting, 1);
    const int registered = waiters;
    for (int i = 0; i < registered; ++i) {
        event.signal();
    }
    waitersLock.unlock();

    if (registered > 0) {
        waitersDone.wait(INFINITE);
    }
    storeFlag(broadcasting, 0);
}
