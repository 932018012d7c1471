// Helpers for the section, condition and guard tests: a thread that holds something
// until released, and a poll that tells whether a mutex is held by another thread.
#pragma once

#include <davro/primitives/Event.h>
#include <davro/primitives/Mutex.h>

#include <functional>
#include <thread>
#include <utility>

#include "TestSupport.h"

namespace davro::test {

inline constexpr int kSignalled = 0;
inline constexpr int kTimedOut = 258;
inline constexpr int kFailed = -1;

// Runs `enter` on a thread of its own, keeps what it took until release() or the end of
// the holder (or kWaitMs at most), then runs `leave` on that thread and ends.
class Holder {
public:
    Holder(std::function<void()> enter, std::function<void()> leave)
        : thread_([this, enter = std::move(enter), leave = std::move(leave)] {
              enter();
              entered_.unlock();
              release_.lock(kWaitMs);
              leave();
          }) {}
    ~Holder() {
        release_.unlock();
        thread_.join();
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    // True once the thread has run `enter`.
    bool entered() { return entered_.lock(kWaitMs) == kSignalled; }
    void release() { release_.unlock(); }

private:
    YManualEventObject entered_;
    YManualEventObject release_;
    std::thread thread_;
};

// What a kernel poll of the mutex (the base's lock(0), bypassing any section routing)
// finds from a thread of its own: 0 when it was free (and is given back at once), 258 when
// another thread holds it.
inline int pollFromOtherThread(YMutex& mutex) {
    int result = kFailed;
    std::thread([&] {
        result = mutex.YSyncObject::lock(0);
        if (result == kSignalled || result == 0x80) {
            mutex.YMutex::unlock();
        }
    }).join();
    return result;
}

}  // namespace davro::test
