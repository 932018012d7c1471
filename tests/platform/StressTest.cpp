// Stress of the kernel objects: four threads doing random single, wait-any and wait-all
// waits with random time-outs over shared mutexes, events and semaphores, checking the
// invariants after every step. Meant to run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "PlatformTestSupport.h"

namespace davro::test {
namespace {

constexpr int kThreads = 4;
constexpr LONG kSemMax = 3;
// A wait that must succeed because every holder lets go promptly; if it times out, a
// wake-up was lost.
constexpr DWORD kLongMs = 4000;

enum class Kind { Mutex, Semaphore, AutoEvent, ManualEvent };

struct Shared {
    std::vector<HANDLE> handles;
    std::vector<Kind> kinds;
    std::vector<std::atomic<DWORD>> owner;  // mutexes: the owning thread id, or 0
    std::vector<std::atomic<int>> held;     // semaphores: units held by the threads
    std::atomic<int> failures{0};
    std::string firstFailure;  // written by the first failure only

    explicit Shared(std::size_t n) : owner(n), held(n) {}
    void fail(const std::string& what) {
        if (failures.fetch_add(1) == 0) {
            firstFailure = what;
        }
    }
};

class Worker {
public:
    Worker(Shared& shared, unsigned seed)
        : s_(shared), random_(seed), recursion_(s_.handles.size()), units_(s_.handles.size()) {}

    void run(std::chrono::steady_clock::time_point end) {
        me_ = GetCurrentThreadId();
        while (std::chrono::steady_clock::now() < end && s_.failures.load() == 0) {
            step();
        }
        for (std::size_t i = 0; i < recursion_.size(); ++i) {
            while (recursion_[i] > 0 || units_[i] > 0) {
                releaseOne(i);
            }
        }
    }

private:
    std::size_t pick() { return random_() % s_.handles.size(); }

    // Mutexes and semaphores are always let go promptly, so a long wait-any on them is safe
    // when we hold nothing ourselves (no hold-and-wait, so no deadlock).
    DWORD timeoutFor(const std::vector<std::size_t>& set, bool all) {
        bool onlyReleasable = !all;
        for (std::size_t i = 0; i < recursion_.size(); ++i) {
            onlyReleasable = onlyReleasable && recursion_[i] == 0 && units_[i] == 0;
        }
        for (std::size_t i : set) {
            onlyReleasable =
                onlyReleasable && (s_.kinds[i] == Kind::Mutex || s_.kinds[i] == Kind::Semaphore);
        }
        return onlyReleasable && random_() % 4 == 0 ? kLongMs : random_() % 3;
    }

    void acquired(std::size_t i) {
        if (s_.kinds[i] == Kind::Mutex && recursion_[i]++ == 0 && s_.owner[i].exchange(me_) != 0) {
            s_.fail("mutex " + std::to_string(i) + " had two owners");
        } else if (s_.kinds[i] == Kind::Semaphore) {
            ++units_[i];
            if (s_.held[i].fetch_add(1) + 1 > kSemMax) {
                s_.fail("semaphore " + std::to_string(i) + " went below zero");
            }
        }
    }

    void releaseOne(std::size_t i) {
        if (recursion_[i] > 0) {
            if (--recursion_[i] == 0) {
                s_.owner[i].store(0);
            }
            if (!ReleaseMutex(s_.handles[i])) {
                s_.fail("ReleaseMutex by the owner failed");
            }
        } else if (units_[i] > 0) {
            --units_[i];
            s_.held[i].fetch_sub(1);
            LONG previous = kSentinel;
            if (!ReleaseSemaphore(s_.handles[i], 1, &previous) || previous < 0 ||
                previous >= kSemMax) {
                s_.fail("semaphore count out of range: " + std::to_string(previous));
            }
        }
    }

    void check(DWORD result, const std::vector<std::size_t>& set, bool all, DWORD timeout) {
        const auto n = static_cast<DWORD>(set.size());
        if (result == WAIT_TIMEOUT) {
            if (timeout == kLongMs) {
                s_.fail("a wait that had to succeed timed out (lost wake-up)");
            }
            // A wait that took nothing: no mutex of the set may have become ours.
            for (std::size_t i : set) {
                if (s_.kinds[i] == Kind::Mutex && recursion_[i] == 0 &&
                    ReleaseMutex(s_.handles[i])) {
                    s_.fail("a failed wait left mutex " + std::to_string(i) + " owned");
                }
            }
        } else if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + n) {
            s_.fail("abandoned mutex, but no thread ended");
        } else if (result >= WAIT_OBJECT_0 + n) {
            s_.fail("wait result " + std::to_string(result));
        } else {
            for (std::size_t i : set) {
                if (all || i == set[result]) {
                    acquired(i);
                }
            }
        }
    }

    void step() {
        const unsigned op = random_() % 10;
        if (op < 7) {  // a single wait, a wait-any or a wait-all over 2 to 4 distinct objects
            const bool all = op >= 5;
            const std::size_t want = op < 3 ? 1 : 2 + random_() % 3;
            std::vector<std::size_t> set;
            std::vector<HANDLE> list;
            while (set.size() < want) {
                const std::size_t i = pick();
                if (std::find(set.begin(), set.end(), i) == set.end()) {
                    set.push_back(i);
                    list.push_back(s_.handles[i]);
                }
            }
            const DWORD timeout = timeoutFor(set, all);
            check(want == 1
                      ? WaitForSingleObject(list[0], timeout)
                      : WaitForMultipleObjects(static_cast<DWORD>(want), list.data(), all, timeout),
                  set, all, timeout);
        } else if (op < 9) {
            releaseOne(pick());
        } else {
            const std::size_t i = pick();
            if (s_.kinds[i] == Kind::AutoEvent || s_.kinds[i] == Kind::ManualEvent) {
                (random_() % 3 == 0 ? ResetEvent : SetEvent)(s_.handles[i]);
            }
        }
    }

    Shared& s_;
    std::mt19937 random_;
    std::vector<int> recursion_;
    std::vector<int> units_;
    DWORD me_ = 0;
};

TEST(KernelStressTest, RandomWaitsKeepEveryInvariant) {
    const Kind layout[] = {Kind::Mutex,     Kind::Mutex,     Kind::Semaphore,  Kind::Semaphore,
                           Kind::AutoEvent, Kind::AutoEvent, Kind::ManualEvent};
    Shared shared(std::size(layout));
    Handles hs;
    for (Kind k : layout) {
        shared.kinds.push_back(k);
        shared.handles.push_back(k == Kind::Mutex       ? hs.mutex()
                                 : k == Kind::Semaphore ? hs.semaphore(kSemMax, kSemMax)
                                                        : hs.event(k == Kind::ManualEvent));
    }
    HANDLE go = hs.event(TRUE);
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Worker worker(shared, seed + static_cast<unsigned>(t));
            WaitForSingleObject(go, kBoundMs);
            worker.run(end);
        });
    }
    SetEvent(go);
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(0, shared.failures.load()) << shared.firstFailure;
    // Everything was given back: full semaphores, free mutexes.
    for (std::size_t i = 0; i < shared.handles.size(); ++i) {
        if (shared.kinds[i] == Kind::Semaphore) {
            EXPECT_EQ(kSemMax, semaphoreCount(shared.handles[i])) << i;
        } else if (shared.kinds[i] == Kind::Mutex) {
            EXPECT_EQ(WAIT_OBJECT_0, pollMutexElsewhere(shared.handles[i])) << i;
        }
    }
}

// Two threads pass a turn back and forth through two auto-reset events, one side waiting
// on both at once: a single lost wake-up stalls the exchange and fails the bounded wait.
TEST(KernelStressTest, PingPongNeverLosesAWakeUp) {
    Handles hs;
    HANDLE ping = hs.event();
    HANDLE pong = hs.event();
    const HANDLE both[] = {hs.event(), ping};
    constexpr int kRounds = 20000;
    std::atomic<int> stalls{0};
    std::thread other([&] {
        for (int i = 0; i < kRounds && stalls.load() == 0; ++i) {
            if (WaitForMultipleObjects(2, both, FALSE, kBoundMs) != WAIT_OBJECT_0 + 1) {
                stalls.fetch_add(1);
            }
            SetEvent(pong);
        }
    });
    for (int i = 0; i < kRounds && stalls.load() == 0; ++i) {
        SetEvent(ping);
        if (WaitForSingleObject(pong, kBoundMs) != WAIT_OBJECT_0) {
            stalls.fetch_add(1);
            SetEvent(ping);
        }
    }
    other.join();
    EXPECT_EQ(0, stalls.load());
}

}  // namespace
}  // namespace davro::test
