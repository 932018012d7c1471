// The stages of threads inside one process: a pipeline of synchronized threads, a cache
// behind a reader/writer section, and a semaphore that limits the users of a resource.
#include <davro/primitives/Condition.h>
#include <davro/primitives/CriticalSection.h>
#include <davro/primitives/Guard.h>
#include <davro/primitives/ReadWriteSection.h>
#include <davro/primitives/Semaphore.h>
#include <davro/thread/SynchronizedThread.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "DemoThread.h"
#include "Stages.h"

namespace demo {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr unsigned kBoundMs = 5000;
constexpr int kTimedOut = 258;

// Raises `peak` to `value` if it is higher.
void raise(std::atomic<int>& peak, int value) {
    int seen = peak.load();
    while (value > seen && !peak.compare_exchange_weak(seen, value)) {
    }
}

// ---- pipeline ----

constexpr int kProducers = 2;
constexpr int kConsumers = 2;
constexpr std::size_t kQueueSlots = 32;
constexpr unsigned kSliceMs = 50;  // longest wait of one slice, so that stop() is seen soon
constexpr auto kPipelineTime = 3000ms;

// The bounded queue between producers and consumers: a critical section guards the items,
// and two conditions tied to it say "not empty" and "not full". An item is its producer's
// number in the high half and that producer's sequence number in the low half.
struct WorkQueue {
    YCriticalSection lock{L"demo.queue"};
    YCondition notEmpty{lock};
    YCondition notFull{lock};
    std::deque<std::uint64_t> items;
    std::array<std::uint32_t, kProducers> produced{};  // items made by each producer
    std::uint64_t consumed = 0;
    std::uint64_t waitsForRoom = 0;  // producer waits on notFull
    std::uint64_t waitsForWork = 0;  // consumer waits on notEmpty
    std::uint64_t waitsTimedOut = 0;

    std::uint64_t producedInAll() const {
        std::uint64_t total = 0;
        for (const std::uint32_t count : produced) {
            total += count;
        }
        return total;
    }
};

// One slice of a producer: put one item in, waiting a little for room.
class Producer : public YSynchronizedThread {
public:
    Producer(WorkQueue& queue, int index)
        : YSynchronizedThread(YString(L"demo.producer") + YString(1, L'0' + index)),
          queue_(queue),
          index_(index) {}
    // The stage has waited for the thread already; stopping here too keeps runBody() from
    // running on a half-destroyed object whatever happened before.
    ~Producer() override {
        stop();
        waitThread(kBoundMs);
    }

protected:
    int runBody() override {
        YGuard guard(queue_.lock);
        if (queue_.items.size() >= kQueueSlots) {
            ++queue_.waitsForRoom;
            // wait() gives up the lock while it waits and holds it again on return.
            queue_.waitsTimedOut += queue_.notFull.wait(kSliceMs) == kTimedOut ? 1 : 0;
            if (queue_.items.size() >= kQueueSlots) {
                return 1;  // still full: look at the state first, then try again
            }
        }
        const std::uint64_t item =
            (static_cast<std::uint64_t>(index_) << 32) | queue_.produced[index_]++;
        queue_.items.push_back(item);
        queue_.notEmpty.signal();
        return 1;
    }

private:
    WorkQueue& queue_;
    int index_;
};

// One slice of a consumer: take one item out, waiting a little for one to come.
class Consumer : public YSynchronizedThread {
public:
    Consumer(WorkQueue& queue, int index)
        : YSynchronizedThread(YString(L"demo.consumer") + YString(1, L'0' + index)),
          queue_(queue) {}
    ~Consumer() override {
        stop();
        waitThread(kBoundMs);
    }

    // What this consumer took, in order; read after the thread has ended.
    const std::vector<std::uint64_t>& received() const { return received_; }

protected:
    int runBody() override {
        YGuard guard(queue_.lock);
        if (queue_.items.empty()) {
            ++queue_.waitsForWork;
            queue_.waitsTimedOut += queue_.notEmpty.wait(kSliceMs) == kTimedOut ? 1 : 0;
            if (queue_.items.empty()) {
                return 1;
            }
        }
        received_.push_back(queue_.items.front());
        queue_.items.pop_front();
        ++queue_.consumed;
        queue_.notFull.signal();
        return 1;
    }

private:
    WorkQueue& queue_;
    std::vector<std::uint64_t> received_;
};

template <typename T>
void stopAll(const std::vector<std::unique_ptr<T>>& threads) {
    for (const auto& thread : threads) {
        thread->stop();
    }
}

}  // namespace

void runPipeline(Report& report) {
    WorkQueue queue;
    std::vector<std::unique_ptr<Producer>> producers;
    std::vector<std::unique_ptr<Consumer>> consumers;
    for (int i = 0; i < kProducers; ++i) {
        producers.push_back(std::make_unique<Producer>(queue, i));
    }
    for (int i = 0; i < kConsumers; ++i) {
        consumers.push_back(std::make_unique<Consumer>(queue, i));
    }
    report.line("%d producer and %d consumer YSynchronizedThreads share a %zu-slot queue",
                kProducers, kConsumers, kQueueSlots);
    report.line("guarded by a YCriticalSection, with two YConditions tied to it");
    int started = 0;
    for (const auto& consumer : consumers) {
        started += consumer->start() == 0 ? 1 : 0;
    }
    for (const auto& producer : producers) {
        started += producer->start() == 0 ? 1 : 0;
    }
    report.check(started == kProducers + kConsumers, "only %d threads started", started);

    const auto start = Clock::now();
    for (auto now = start; now - start < kPipelineTime; now = Clock::now()) {
        std::uint64_t moved = 0;
        {
            YGuard guard(queue.lock);
            moved = queue.consumed;
        }
        report.progress(std::chrono::duration<double>(now - start) / kPipelineTime,
                        "%llu items moved", static_cast<unsigned long long>(moved));
        std::this_thread::sleep_for(50ms);
    }

    // Producers first, so that the consumers can empty the queue before they stop too.
    stopAll(producers);
    endThreads(report, pointers(producers), kBoundMs);
    bool drained = false;
    const auto drainStart = Clock::now();
    while (!drained && Clock::now() - drainStart < std::chrono::milliseconds(kBoundMs)) {
        {
            YGuard guard(queue.lock);
            drained = queue.items.empty();
        }
        std::this_thread::sleep_for(1ms);
    }
    stopAll(consumers);
    endThreads(report, pointers(consumers), kBoundMs);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    report.line("stopped from the main thread: producers, then consumers once the queue was empty");
    report.check(drained, "the queue still held %zu items after %u ms", queue.items.size(),
                 kBoundMs);
    int running = 0;
    for (const auto& producer : producers) {
        running += producer->isRunning();
    }
    for (const auto& consumer : consumers) {
        running += consumer->isRunning();
    }
    report.check(running == 0, "%d threads still say they are running", running);

    // Every item made must have arrived exactly once.
    std::array<std::vector<char>, kProducers> seen;
    for (int p = 0; p < kProducers; ++p) {
        seen[p].assign(queue.produced[p], 0);
    }
    std::uint64_t received = 0;
    std::uint64_t strays = 0;
    std::uint64_t twice = 0;
    std::vector<std::uint64_t> perConsumer;
    for (const auto& consumer : consumers) {
        perConsumer.push_back(consumer->received().size());
        for (const std::uint64_t item : consumer->received()) {
            ++received;
            const std::uint64_t producer = item >> 32;
            const std::uint64_t number = item & 0xFFFFFFFFu;
            if (producer >= kProducers || number >= seen[producer].size()) {
                ++strays;
            } else if (seen[producer][number]++ != 0) {
                ++twice;
            }
        }
    }
    std::uint64_t missing = 0;
    for (const auto& flags : seen) {
        for (const char flag : flags) {
            missing += flag == 0 ? 1 : 0;
        }
    }
    const std::uint64_t produced = queue.producedInAll();
    report.line("produced %llu (%u + %u), consumed %llu (%llu + %llu) in %.1f s: %.0f items/s",
                static_cast<unsigned long long>(produced), queue.produced[0], queue.produced[1],
                static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(perConsumer[0]),
                static_cast<unsigned long long>(perConsumer[1]), seconds, received / seconds);
    report.line(
        "producers waited for room %llu times, consumers for work %llu times; %llu "
        "waits timed out",
        static_cast<unsigned long long>(queue.waitsForRoom),
        static_cast<unsigned long long>(queue.waitsForWork),
        static_cast<unsigned long long>(queue.waitsTimedOut));
    report.check(produced > 0 && received == produced && missing == 0 && twice == 0 && strays == 0,
                 "%llu items missing, %llu arrived twice, %llu unknown",
                 static_cast<unsigned long long>(missing), static_cast<unsigned long long>(twice),
                 static_cast<unsigned long long>(strays));
    report.summary("%llu items, each arrived exactly once",
                   static_cast<unsigned long long>(received));
}

namespace {

// ---- cache ----

constexpr int kCacheEntries = 64;
constexpr int kReaders = 3;
constexpr auto kCacheTime = 2000ms;

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

}  // namespace

void runCache(Report& report) {
    Cache cache;
    std::atomic<bool> stop{false};
    std::atomic<int> inside{0};
    std::atomic<int> mostInside{0};
    std::atomic<long long> reads{0};
    std::atomic<long long> broken{0};
    std::atomic<long long> writes{0};

    std::vector<std::unique_ptr<DemoThread>> threads;
    for (int r = 0; r < kReaders; ++r) {
        threads.push_back(std::make_unique<DemoThread>(L"demo.reader", [&] {
            while (!stop.load()) {
                YReadGuard read(cache.section);
                raise(mostInside, ++inside);
                if (!consistent(cache)) {
                    ++broken;
                }
                --inside;
                ++reads;
            }
            return 0;
        }));
    }
    threads.push_back(std::make_unique<DemoThread>(L"demo.writer", [&] {
        while (!stop.load()) {
            {
                YGuard write(cache.section);
                ++cache.version;
                for (int i = 0; i < kCacheEntries; ++i) {
                    cache.entries[i] = cache.version * 1000 + i;
                }
            }
            ++writes;
            YThread::sleep(1);
        }
        return 0;
    }));
    int created = 0;
    for (const auto& thread : threads) {
        created += thread->create(0);
    }
    report.check(created == kReaders + 1, "only %d of %d threads started", created, kReaders + 1);
    report.line("%d readers with YReadGuard and one writer with YGuard share a %d-entry table",
                kReaders, kCacheEntries);
    const auto start = Clock::now();
    for (auto now = start; now - start < kCacheTime; now = Clock::now()) {
        report.progress(std::chrono::duration<double>(now - start) / kCacheTime,
                        "%lld reads, %lld updates", reads.load(), writes.load());
        std::this_thread::sleep_for(50ms);
    }
    stop = true;
    endThreads(report, pointers(threads), kBoundMs);
    report.line("%lld reads and %lld updates; up to %d readers inside at once", reads.load(),
                writes.load(), mostInside.load());
    report.check(broken.load() == 0, "%lld reads saw a half-written table", broken.load());
    report.check(reads.load() > 0 && writes.load() > 0, "readers or writer made no progress");
    report.check(cache.version == writes.load() && consistent(cache),
                 "the table ends at version %lld after %lld updates", cache.version, writes.load());
    report.summary("%lld reads, %lld updates, every read consistent", reads.load(), writes.load());
}

namespace {

// ---- semaphore ----

constexpr int kSlots = 3;
constexpr int kWorkers = 8;
constexpr int kUses = 50;

}  // namespace

void runSemaphore(Report& report) {
    YSemaphore slots(kSlots, kSlots, L"demo.resource");
    report.line("a resource with %d slots, %d workers using it %d times each; getCount() = %d",
                kSlots, kWorkers, kUses, slots.getCount());
    std::atomic<int> inside{0};
    std::atomic<int> mostInside{0};
    std::atomic<int> uses{0};
    std::atomic<int> failures{0};
    std::atomic<int> running{kWorkers};

    std::vector<std::unique_ptr<DemoThread>> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.push_back(std::make_unique<DemoThread>(L"demo.worker", [&] {
            for (int u = 0; u < kUses; ++u) {
                if (slots.lock(kBoundMs) != 0) {
                    ++failures;
                    continue;
                }
                raise(mostInside, ++inside);
                YThread::sleep(4);  // using the resource
                --inside;
                ++uses;
                if (slots.unlock() == 0) {
                    ++failures;
                }
                YThread::sleep(6);  // other work
            }
            --running;
            return 0;
        }));
        report.check(workers.back()->create(0) == 1, "worker %d did not start", w);
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
    endThreads(report, pointers(workers), kBoundMs);
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

}  // namespace demo
