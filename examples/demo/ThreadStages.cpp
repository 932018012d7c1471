// The stages of threads inside one process: a pipeline of synchronized threads, a cache
// behind a reader/writer section, and a semaphore that limits the users of a resource.
#include <davro/primitives/Guard.h>
#include <davro/primitives/ReadWriteSection.h>
#include <davro/primitives/Semaphore.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Stages.h"

namespace demo {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr unsigned kBoundMs = 5000;

// Raises `peak` to `value` if it is higher.
void raise(std::atomic<int>& peak, int value) {
    int seen = peak.load();
    while (value > seen && !peak.compare_exchange_weak(seen, value)) {
    }
}

// Shows the progress of a stage that runs for `length`, until `finished` says it is done.
template <typename Finished>
void showProgress(Report& report, Clock::duration length, const char* label, Finished finished) {
    const auto start = Clock::now();
    while (!finished()) {
        const double done = std::chrono::duration<double>(Clock::now() - start) / length;
        report.progress(done, "%s", label);
        std::this_thread::sleep_for(50ms);
    }
}

// ---- cache ----

constexpr int kCacheEntries = 64;
constexpr int kReaders = 3;
constexpr auto kCacheTime = 1500ms;

// A table that a writer replaces as a whole. Invariant, whenever the section is free:
// every entry belongs to the current version (entry i holds version * 1000 + i).
struct Cache {
    Cache() {
        for (int i = 0; i < kCacheEntries; ++i) {
            entries[i] = i;  // version 0
        }
    }

    YReadWriteSection section{L"demo.cache"};
    long long version = 0;
    std::array<long long, kCacheEntries> entries{};
};

bool consistent(const Cache& cache) {
    for (int i = 0; i < kCacheEntries; ++i) {
        if (cache.entries[i] != cache.version * 1000 + i) {
            return false;
        }
    }
    return true;
}

// ---- semaphore ----

constexpr int kSlots = 3;
constexpr int kWorkers = 8;
constexpr int kUses = 50;

}  // namespace

void runCache(Report& report) {
    Cache cache;
    std::atomic<bool> stop{false};
    std::atomic<int> inside{0};
    std::atomic<int> mostInside{0};
    std::atomic<long long> reads{0};
    std::atomic<long long> broken{0};
    std::atomic<long long> writes{0};

    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                YReadGuard read(cache.section);
                raise(mostInside, ++inside);
                if (!consistent(cache)) {
                    ++broken;
                }
                --inside;
                ++reads;
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop.load()) {
            {
                YGuard write(cache.section);
                ++cache.version;
                for (int i = 0; i < kCacheEntries; ++i) {
                    cache.entries[i] = cache.version * 1000 + i;
                }
            }
            ++writes;
            std::this_thread::sleep_for(1ms);
        }
    });
    report.line("%d readers with YReadGuard and one writer with YGuard share a %d-entry table",
                kReaders, kCacheEntries);
    const auto start = Clock::now();
    showProgress(report, kCacheTime, "readers and a writer at work",
                 [&] { return Clock::now() - start >= kCacheTime; });
    stop = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    report.line("%lld reads and %lld updates; up to %d readers inside at once", reads.load(),
                writes.load(), mostInside.load());
    report.check(broken.load() == 0, "%lld reads saw a half-written table", broken.load());
    report.check(reads.load() > 0 && writes.load() > 0, "readers or writer made no progress");
    report.check(cache.version == writes.load() && consistent(cache),
                 "the table ends at version %lld after %lld updates", cache.version, writes.load());
    report.summary("%lld reads, %lld updates, every read consistent", reads.load(), writes.load());
}

void runSemaphore(Report& report) {
    YSemaphore slots(kSlots, kSlots, L"demo.resource");
    report.line("a resource with %d slots, %d workers using it %d times each; getCount() = %d",
                kSlots, kWorkers, kUses, slots.getCount());
    std::atomic<int> inside{0};
    std::atomic<int> mostInside{0};
    std::atomic<int> uses{0};
    std::atomic<int> failures{0};
    std::atomic<int> running{kWorkers};

    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&] {
            for (int u = 0; u < kUses; ++u) {
                if (slots.lock(kBoundMs) != 0) {
                    ++failures;
                    continue;
                }
                raise(mostInside, ++inside);
                std::this_thread::sleep_for(4ms);  // using the resource
                --inside;
                ++uses;
                if (slots.unlock() == 0) {
                    ++failures;
                }
                std::this_thread::sleep_for(6ms);  // other work
            }
            --running;
        });
    }
    // getCount() borrows a slot for a moment, so the main thread is a short-lived user too.
    std::array<int, kSlots + 2> seen{};
    const auto start = Clock::now();
    while (running.load() > 0 && Clock::now() - start < std::chrono::milliseconds(kBoundMs)) {
        const int count = slots.getCount();
        ++seen[count >= 0 && count <= kSlots ? count : kSlots + 1];
        report.progress(static_cast<double>(uses.load()) / (kWorkers * kUses), "%d of %d uses",
                        uses.load(), kWorkers * kUses);
        std::this_thread::sleep_for(10ms);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    report.line("getCount() while they worked: 0 free %d times, 1 free %d, 2 free %d, 3 free %d",
                seen[0], seen[1], seen[2], seen[3]);
    const int after = slots.getCount();
    report.line("%d uses, at most %d workers inside at once; getCount() = %d afterwards",
                uses.load(), mostInside.load(), after);
    report.check(mostInside.load() <= kSlots, "%d workers were inside at once, more than %d",
                 mostInside.load(), kSlots);
    report.check(failures.load() == 0 && uses.load() == kWorkers * kUses,
                 "%d waits or releases failed", failures.load());
    report.check(seen[kSlots + 1] == 0, "getCount() left the range 0..%d", kSlots);
    report.check(after == kSlots, "getCount() is %d after the workers, not %d", after, kSlots);
    report.summary("%d uses, at most %d of %d slots taken", uses.load(), mostInside.load(), kSlots);
}

void runPipeline(Report& report) { report.skip("waiting for the thread classes"); }

}  // namespace demo
