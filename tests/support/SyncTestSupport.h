// Helpers for the tests of the library's waitable objects: an object without a kernel
// object, a thread that holds something until released, and a poll of a mutex from
// another thread.
#pragma once

#include <davro/core/SyncObject.h>
#include <davro/primitives/Event.h>
#include <davro/primitives/Mutex.h>

#include <functional>
#include <thread>
#include <type_traits>
#include <utility>

#include "TestSupport.h"

namespace davro::test {

// An object that never got a kernel object (handle 0), as after a failed creation. It also
// reaches the protected deadlock report, as the watchdog does.
class Bare : public YSyncObject {
public:
    using YSyncObject::YSyncObject;
    static void report(const YString& message) { reportDeadlock(message); }
    davro::win32::HANDLE rawHandle() const { return handle; }
    using YSyncObject::unlock;
    int unlock() override { return 0; }
};

// A real event whose handle the test can look at.
class PeekEvent : public YEventObject {
public:
    using YEventObject::YEventObject;
    davro::win32::HANDLE rawHandle() const { return handle; }
};

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

// What a kernel poll of the mutex (a YMutex, a section or a YNamedMutex) finds from a thread
// of its own: 0 when it was free (it is given back at once), 0x80 when abandoned, 258 when
// another thread holds it. The poll bypasses the sections' routing (a reader/writer
// section's mutex is its writer section).
template <typename Mutex>
int pollFromOtherThread(Mutex& mutex) {
    int result = kFailed;
    std::thread([&] {
        result = mutex.YSyncObject::lock(0);
        if (result == kSignalled || result == kAbandoned) {
            if constexpr (std::is_base_of_v<YMutex, Mutex>) {
                mutex.YMutex::unlock();
            } else {
                mutex.unlock();
            }
        }
    }).join();
    return result;
}

}  // namespace davro::test
