// The layer's spin lock: a RawSpinLock held inside the fork gate and the no-stop scope.
//
// Every lock of the layer is one of these (or an object's lock bit, which follows the same
// rules): held for a few hundred cycles, never across a sleep or a call of the allocator,
// never where the thread could be suspended or terminated, and never across fork().
#pragma once

#include "Futex.h"
#include "StopScope.h"
#include "ThreadContext.h"

namespace davro::win32::detail {

class SpinLock {
public:
    void lock() {
        DAVRO_ASSERT(inNoStopScope(), "SpinLock: taken where the thread could be stopped");
        enterGate();
        raw_.lock();
    }
    void unlock() {
        raw_.unlock();
        leaveGate();
    }
    bool isLocked() const { return raw_.isLocked(); }
    void reset() { raw_.reset(); }

private:
    RawSpinLock raw_;
};

// Holds a SpinLock for a scope, inside a NoStopScope of its own.
class SpinGuard {
public:
    explicit SpinGuard(SpinLock& lock) : lock_(lock) { lock_.lock(); }
    ~SpinGuard() { lock_.unlock(); }
    SpinGuard(const SpinGuard&) = delete;
    SpinGuard& operator=(const SpinGuard&) = delete;

private:
    NoStopScope noStop_;
    SpinLock& lock_;
};

}  // namespace davro::win32::detail
