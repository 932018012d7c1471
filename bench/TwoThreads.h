// Scaffolding of the benchmarks in which two threads take turns: a ping-pong over any pair of
// one-way signals, and the standard condition-variable round trip that every condition
// benchmark is set against. Each program registers its own copy, so that a ratio is always
// of two figures from the same run.
#pragma once

#include <benchmark/benchmark.h>
#include <davro/platform/Win32.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#if !defined(_WIN32)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace davro::bench {

// The floor of a one-way signal: an auto-reset event on a bare futex word (WaitOnAddress on
// Windows) that is 0 (clear), 1 (set) or 2 (clear, a waiter sleeps), so that a set calls
// the kernel only for a sleeper.
class FutexEvent {
public:
    void set() {
        if (word_.exchange(1) == 2) {
#if defined(_WIN32)
            ::WakeByAddressSingle(&word_);
#else
            syscall(SYS_futex, &word_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
#endif
        }
    }
    void wait() {
        for (;;) {
            int cur = word_.load();
            if (cur == 1 && word_.compare_exchange_strong(cur, 0)) {
                return;
            }
            if (cur == 0 && !word_.compare_exchange_strong(cur, 2)) {
                continue;
            }
#if defined(_WIN32)
            int sleeping = 2;
            ::WaitOnAddress(&word_, &sleeping, sizeof sleeping, INFINITE);
#else
            syscall(SYS_futex, &word_, FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
#endif
        }
    }

private:
    std::atomic<int> word_{0};
};

// One round trip per iteration: the benchmark thread sets `ping` and waits for `pong`, a
// partner thread answers each ping with a pong. `Signal` has set() and wait(); `onPartner`
// runs first on the partner (to pin it to a processor, say).
template <class Signal, class OnPartner>
void pingPong(benchmark::State& state, Signal& ping, Signal& pong, OnPartner onPartner) {
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        [[maybe_unused]] const auto partnerSetUp = onPartner();
        for (;;) {
            ping.wait();
            if (stop.load(std::memory_order_relaxed)) {
                return;
            }
            pong.set();
        }
    });
    for (auto _ : state) {
        ping.set();
        pong.wait();
    }
    stop.store(true);
    ping.set();
    partner.join();
}

template <class Signal>
void pingPong(benchmark::State& state) {
    Signal ping;
    Signal pong;
    pingPong(state, ping, pong, [] { return 0; });
}

// The baseline of a condition-variable round trip: the benchmark thread gives the partner
// the turn under a std::mutex and waits on one std::condition_variable until it comes back
// through the other.
inline void stdConditionVariableRoundTrip(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable toPartner;
    std::condition_variable toMain;
    int turn = 0;
    bool stop = false;
    std::thread partner([&] {
        std::unique_lock<std::mutex> guard(mutex);
        for (;;) {
            toPartner.wait(guard, [&] { return turn == 1 || stop; });
            if (stop) {
                break;
            }
            turn = 0;
            toMain.notify_one();
        }
    });
    for (auto _ : state) {
        std::unique_lock<std::mutex> guard(mutex);
        turn = 1;
        toPartner.notify_one();
        toMain.wait(guard, [&] { return turn != 1; });
    }
    {
        const std::lock_guard<std::mutex> guard(mutex);
        stop = true;
    }
    toPartner.notify_one();
    partner.join();
}

}  // namespace davro::bench
