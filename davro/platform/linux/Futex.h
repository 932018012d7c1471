// The layer's lowest level: the monotonic clock and deadlines, futex sleeps and wake-ups,
// and the pause and back-off of short spins. Everything that sleeps goes through here.
#pragma once

#include <davro/platform/Win32.h>

#include <atomic>
#include <cstdint>

namespace davro::win32::detail {

// ---- Clock and deadlines ----

// Nanoseconds on CLOCK_MONOTONIC.
std::int64_t monotonicNs();

// An absolute CLOCK_MONOTONIC deadline in ns, or kNoDeadline.
inline constexpr std::int64_t kNoDeadline = -1;

// The earlier of two deadlines, kNoDeadline being the latest.
inline std::int64_t earlier(std::int64_t a, std::int64_t b) {
    if (a == kNoDeadline) {
        return b;
    }
    return b == kNoDeadline ? a : (a < b ? a : b);
}

// The deadline `milliseconds` from now, the time-out divided by DAVRO_TIME_SCALE;
// kNoDeadline for INFINITE. Every relative wait of the layer runs on such a deadline, so that
// a suspension or a spurious wake-up never stretches it.
std::int64_t deadlineAfter(DWORD milliseconds);

// ---- Futexes (private to the process) ----

// Sleeps while *word == expected, until woken or `deadline` passes. May return spuriously
// and on a signal; every caller loops. `shared`: the word lives in memory shared with other
// processes (a named mutex), so the sleep is not private to the process.
void futexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected,
               std::int64_t deadline = kNoDeadline, bool shared = false);
// Wakes up to `count` sleepers on `word` (`shared`: as for futexWait).
void futexWake(std::atomic<std::uint32_t>* word, int count = 1, bool shared = false);
void futexWakeAll(std::atomic<std::uint32_t>* word);

// One word of a sleep on several words: the sleep lasts while it holds `expected`.
struct FutexWatch {
    std::atomic<std::uint32_t>* word;
    std::uint32_t expected;
    bool shared;  // as for futexWait
};
inline constexpr unsigned kMaxFutexWatches = 128;  // the kernel's limit
// Sleeps while every watched word holds its expected value, until a wake-up on one of them
// or `deadline`; may return spuriously and on a signal. False, at once, when the system
// cannot sleep on several words (futex_waitv came with Linux 5.16): the caller then polls.
bool futexWaitMany(const FutexWatch* watches, unsigned n, std::int64_t deadline);
extern std::atomic<int> gFutexWaitv;  // for the test hook useFutexWaitv (Testing.cpp)

// A futex word that is bumped to wake whoever sleeps on it. Sleepers count themselves, so a
// bump that nobody waits for costs no system call: a sleeper counts itself before the kernel
// compares the value, and a bump changes the value before it reads the count (both
// sequentially consistent), so either it sees the sleeper or the sleeper sees the new value.
struct WakeWord {
    std::atomic<std::uint32_t> value{0};
    std::atomic<std::uint32_t> sleepers{0};

    std::uint32_t load() const { return value.load(std::memory_order_seq_cst); }
    void bump() {
        value.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers.load(std::memory_order_seq_cst) != 0) {
            futexWakeAll(&value);
        }
    }
    // Sleeps while the value is `expected`; may return spuriously.
    void sleepWhile(std::uint32_t expected) {
        sleepers.fetch_add(1, std::memory_order_seq_cst);
        futexWait(&value, expected);
        sleepers.fetch_sub(1, std::memory_order_seq_cst);
    }
};

// ---- Spinning ----

// The processor's spin-wait hint.
inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// Spins (a pause, then `done()`) until done() is true or about `ns` nanoseconds have passed;
// true when done. The clock is read every 32 turns.
template <typename Done>
bool spinUntil(std::uint32_t ns, Done done) {
    if (ns == 0) {
        return false;
    }
    const std::int64_t end = monotonicNs() + ns;
    for (std::uint32_t turn = 1;; ++turn) {
        cpuRelax();
        if (done()) {
            return true;
        }
        if (turn % 32 == 0 && monotonicNs() >= end) {
            return false;
        }
    }
}

// Pauses while n is small, then yields: a lock bit is held for a few hundred cycles at
// most unless its holder was preempted, and then yielding lets the holder run.
void backoff(unsigned& n);

// A test-and-test-and-set lock for a few instructions of work. Not for use on its own in
// the layer: see SpinLock (Locks.h), which also keeps fork() out while it is held.
class RawSpinLock {
public:
    void lock() {
        for (unsigned n = 0; locked_.exchange(true, std::memory_order_acquire);) {
            while (locked_.load(std::memory_order_relaxed)) {
                backoff(n);
            }
        }
    }
    bool tryLock() { return !locked_.exchange(true, std::memory_order_acquire); }
    void unlock() { locked_.store(false, std::memory_order_release); }
    bool isLocked() const { return locked_.load(std::memory_order_relaxed); }
    // For the child of a fork(), where the holder does not exist.
    void reset() { locked_.store(false, std::memory_order_relaxed); }

private:
    std::atomic<bool> locked_{false};
};

}  // namespace davro::win32::detail
