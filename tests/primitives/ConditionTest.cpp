// YCondition: signals, kept signals, broadcasts (two at once included), the external lock
// around a wait, the inner objects' names, copies, and the stress runs (producer/consumer,
// broadcasts racing new waiters).
#include <davro/primitives/Condition.h>
#include <davro/primitives/Guard.h>
#include <davro/primitives/ReadWriteSection.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "SyncTestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;

// Reads the inner state back under the condition's own lock.
class ConditionState : public YCondition {
public:
    using YCondition::YCondition;
    int registered() {
        const YGuard guard(waitersLock);
        return waiters;
    }
    // Waits, bounded, until `count` waiters are registered.
    bool registeredSoon(int count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (registered() != count) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::yield();
        }
        return true;
    }
    // Waits, bounded, until a signalAll() has begun its broadcast.
    bool broadcastingSoon() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (__atomic_load_n(&broadcasting, __ATOMIC_RELAXED) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::yield();
        }
        return true;
    }
    // Ends a signalAll() that waits for waiters who have all left already.
    void letOutBroadcast() { waitersDone.signal(); }
    // Whether `other` reaches the same three kernel objects: each event set through this
    // condition is taken through `other`, and the inner section held through this one keeps
    // another thread out through `other`. Only while nobody waits.
    bool sharesInnerObjectsWith(ConditionState& other) {
        event.signal();
        waitersDone.signal();
        const bool events =
            other.event.lock(0) == kSignalled && other.waitersDone.lock(0) == kSignalled;
        waitersLock.enterSection();
        const bool section = pollFromOtherThread(other.waitersLock) == kTimedOut;
        waitersLock.leaveSection();
        return events && section;
    }
    const YString& eventName() const { return event.getName(); }
    const YString& doneName() const { return waitersDone.getName(); }
    const YString& lockName() const { return waitersLock.getName(); }
};

TEST(ConditionTest, InnerObjectsAreNamedAfterTheExternalLock) {
    YReadWriteSection cache;
    const ConditionState onSection(cache);
    EXPECT_STREQ(L"ReadWriteSection.writerSection.event", onSection.eventName());
    EXPECT_STREQ(L"ReadWriteSection.writerSection.waitersDone", onSection.doneName());
    EXPECT_STREQ(L"ReadWriteSection.writerSection.waitersLock", onSection.lockName());
    YCriticalSection queue(L"Queue");
    EXPECT_STREQ(L"Queue.event", ConditionState(&queue, 1).eventName());
    YCriticalSection unnamed;  // nor a null lock, nor none: the names stay empty
    for (const ConditionState& condition :
         {ConditionState(unnamed), ConditionState(static_cast<YSyncObject*>(nullptr)),
          ConditionState()}) {
        EXPECT_EQ(0, condition.eventName().length() + condition.doneName().length() +
                         condition.lockName().length());
    }
}

TEST(ConditionTest, SignalsWithNobodyWaitingAreKeptOnlyWhenAskedAndBroadcastsNever) {
    YCondition plain;
    plain.signal();
    EXPECT_EQ(kTimedOut, plain.wait(0));

    YCriticalSection lock;
    YCondition keeping(lock, 1);
    keeping.signal();
    keeping.signal();
    lock.enterSection();
    EXPECT_EQ(kSignalled, keeping.wait(0));
    EXPECT_EQ(kSignalled, keeping.wait(kWaitMs));     // would block if nothing was kept
    EXPECT_EQ(kTimedOut, pollFromOtherThread(lock));  // a kept signal keeps the lock
    lock.leaveSection();
    WaitProbe broadcaster([&] {
        keeping.signalAll();
        return 0;
    });
    ASSERT_TRUE(broadcaster.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    lock.enterSection();
    EXPECT_EQ(kTimedOut, keeping.wait(0));
    lock.leaveSection();
}

TEST(ConditionTest, SignalWakesOneWaiterWithoutExternalLock) {
    ConditionState condition;
    WaitProbe first([&] { return condition.wait(kWaitMs); });
    WaitProbe second([&] { return condition.wait(kWaitMs); });
    ASSERT_TRUE(condition.registeredSoon(2));
    condition.signal();
    ASSERT_TRUE(condition.registeredSoon(1));  // exactly one left
    condition.signal();
    EXPECT_EQ(kSignalled, first.result());
    EXPECT_EQ(kSignalled, second.result());
    EXPECT_EQ(kTimedOut, condition.wait(0));  // no signal left over
}

TEST(ConditionTest, TimedOutWaitHoldsTheExternalLockAgain) {
    YCriticalSection lock;
    YCondition condition(&lock);
    lock.enterSection();
    EXPECT_EQ(kTimedOut, condition.wait(100));
    EXPECT_EQ(kTimedOut, pollFromOtherThread(lock));
    lock.leaveSection();
    EXPECT_EQ(kSignalled, pollFromOtherThread(lock));
}

// The waiters hold the external lock and release it in their waits, so that the others and
// the broadcaster can take it; woken, each holds it again before its wait returns.
TEST(ConditionTest, OneBroadcastReleasesThreeWaitersAndReturnsAfterTheyDeregistered) {
    YCriticalSection lock;
    ConditionState condition(lock);
    std::vector<std::unique_ptr<WaitProbe>> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.push_back(std::make_unique<WaitProbe>([&] {
            const YGuard guard(lock);
            const int result = condition.wait(kWaitMs);
            return pollFromOtherThread(lock) == kTimedOut ? result : kFailed;
        }));
    }
    ASSERT_TRUE(condition.registeredSoon(3));
    // Broadcast while holding the external lock: the waiters deregister first and only
    // then queue for the lock.
    ASSERT_EQ(kSignalled, lock.YSyncObject::lock(kWaitMs));
    WaitProbe broadcaster([&] {
        condition.signalAll();
        return condition.registered();
    });
    ASSERT_TRUE(broadcaster.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    EXPECT_EQ(0, broadcaster.result());
    EXPECT_TRUE(waiters[0]->stillBlockedAfter(20ms));
    lock.leaveSection();
    for (auto& waiter : waiters) {
        EXPECT_EQ(kSignalled, waiter->result());
    }
    const YGuard guard(lock);
    EXPECT_EQ(kTimedOut, condition.wait(0));  // the broadcast left no signal behind
}

// A section that, once left, holds the leaving thread at a gate until it opens. A waiter
// stopped there has registered but not begun its kernel wait, so a broadcast that finds it
// cannot end before the gate opens.
class GatedSection : public YCriticalSection {
public:
    int unlock() override {
        const int result = YCriticalSection::unlock();
        gate.lock(30000);  // bounded, so that a failed test still ends
        return result;
    }
    YManualEventObject gate;
};

// The first broadcast is held up by waiters stopped at the gate; a second signalAll() then
// returns at once rather than waiting for those waiters as well, and when the gate opens
// the first releases every waiter and returns.
TEST(ConditionTest, SignalAllDuringABroadcastReturnsAtOnceAndTheFirstReleasesEveryWaiter) {
    constexpr int kWaiters = 3;
    GatedSection lock;
    ConditionState condition(lock);
    std::vector<std::unique_ptr<WaitProbe>> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.push_back(std::make_unique<WaitProbe>([&] {
            const YGuard guard(lock);
            return condition.wait(kWaitMs);
        }));
    }
    ASSERT_TRUE(condition.registeredSoon(kWaiters));
    WaitProbe first([&] {
        condition.signalAll();
        return 0;
    });
    ASSERT_TRUE(condition.broadcastingSoon());
    WaitProbe second([&] {
        condition.signalAll();
        return 0;
    });
    EXPECT_TRUE(second.finishesWithin(std::chrono::milliseconds(kWaitMs)))
        << "a second broadcast waited for the first one's waiters";
    EXPECT_TRUE(first.stillBlockedAfter(1ms));
    lock.gate.unlock();
    for (auto& waiter : waiters) {
        EXPECT_EQ(kSignalled, waiter->result());  // 258: missed by the broadcast
    }
    // The waiters have left, so a broadcast still waiting would wait forever: it is let out,
    // so that the failure ends the test.
    for (WaitProbe* broadcaster : {&first, &second}) {
        if (!broadcaster->finishesWithin(std::chrono::milliseconds(kWaitMs))) {
            ADD_FAILURE() << "a broadcast still waited after its waiters had left";
            condition.letOutBroadcast();
        }
    }
    EXPECT_EQ(0, condition.registered());
    const YGuard guard(lock);
    EXPECT_EQ(kTimedOut, condition.wait(0));  // neither broadcast left a signal behind
}

// Copy and assignment duplicate the three inner handles and take the setting and the
// external lock along; each object closes only its own handles, so a copy keeps working
// after the source, and then another copy, are gone.
TEST(ConditionTest, CopiesShareTheInnerObjectsAndOutliveTheSource) {
    YCriticalSection lock(L"Queue");
    auto source = std::make_unique<ConditionState>(lock, 1);
    auto copy = std::make_unique<ConditionState>(*source);
    ConditionState assigned;  // its own objects are closed by the assignment
    assigned = *source;
    source.reset();
    EXPECT_STREQ(L"Queue.waitersLock", assigned.lockName());
    EXPECT_TRUE(copy->sharesInnerObjectsWith(assigned));
    EXPECT_TRUE(assigned.sharesInnerObjectsWith(*copy));

    assigned.signal();  // kept, as the source would have kept it
    lock.enterSection();
    EXPECT_EQ(kSignalled, assigned.wait(0));
    lock.leaveSection();
    {
        WaitProbe waiter([&] {
            const YGuard guard(lock);
            return copy->wait(kWaitMs);
        });
        ASSERT_TRUE(copy->registeredSoon(1));
        copy->signal();
        EXPECT_EQ(kSignalled, waiter.result());
    }
    copy.reset();
    WaitProbe waiter([&] {
        const YGuard guard(lock);
        return assigned.wait(kWaitMs);
    });
    ASSERT_TRUE(assigned.registeredSoon(1));
    assigned.signalAll();
    EXPECT_EQ(kSignalled, waiter.result());
}

// Producers hand items to consumers through a queue guarded by the external section.
TEST(ConditionTest, StressProducersAndConsumersLoseNoItem) {
    constexpr int kItems = 20000;
    YCriticalSection lock(L"Queue");
    YCondition condition(lock);
    std::deque<int> queue;
    bool closed = false;
    long long consumedSum = 0;
    int consumedCount = 0;
    YManualEventObject go;
    std::vector<std::thread> threads;
    for (int p = 0; p < 2; ++p) {
        threads.emplace_back([&, p] {
            go.lock(kWaitMs);
            for (int i = 1; i <= kItems; ++i) {
                lock.enterSection();
                queue.push_back(p * kItems + i);
                lock.leaveSection();
                condition.signal();
            }
        });
    }
    for (int c = 0; c < 2; ++c) {
        threads.emplace_back([&] {
            go.lock(kWaitMs);
            YGuard guard(lock);
            for (;;) {
                while (queue.empty() && !closed) {
                    condition.wait(kWaitMs);
                }
                if (queue.empty()) {
                    return;
                }
                consumedSum += queue.front();
                ++consumedCount;
                queue.pop_front();
            }
        });
    }
    go.unlock();
    threads[0].join();
    threads[1].join();
    lock.enterSection();
    closed = true;
    lock.leaveSection();
    condition.signalAll();
    threads[2].join();
    threads[3].join();
    const long long n = 2LL * kItems;
    EXPECT_EQ(2 * kItems, consumedCount);
    EXPECT_EQ(n * (n + 1) / 2, consumedSum);
}

// A section that lets other threads run right after it is left: a waiter leaves it after
// registering and before its kernel wait, so this widens the window that broadcasts race.
class YieldingSection : public YCriticalSection {
public:
    int unlock() override {
        const int result = YCriticalSection::unlock();
        std::this_thread::yield();
        return result;
    }
};

// Waiters wait for the next generation while a broadcaster starts a new one, whenever one
// of them is registered, and broadcasts it. Other waiters are registering at that moment.
// One that registered just before the broadcast and had not yet begun its kernel wait must
// still be released by it: otherwise it sits out its whole time-out (counted as missed)
// while signalAll() waits for it, and with INFINITE both would hang.
TEST(ConditionTest, StressBroadcastsRacingNewWaitersReleaseEveryWaiter) {
    constexpr int kRounds = 2000;
    constexpr int kWaiters = 3;
    constexpr unsigned kMissedAfterMs = 2000;
    YieldingSection lock;
    ConditionState condition(lock);
    int generation = 0;  // guarded by `lock`
    YManualEventObject go;
    YManualEventObject broadcasterDone;
    std::atomic<int> waitersDone{0};
    std::atomic<int> rounds{0};
    std::atomic<int> missed{0};
    std::atomic<int> broadcasts{0};
    std::atomic<bool> abandon{false};  // set when the run hung, to end it quickly
    std::vector<std::thread> threads;
    for (int w = 0; w < kWaiters; ++w) {
        threads.emplace_back([&] {
            go.lock(kWaitMs);
            for (int i = 0; i < kRounds && !abandon; ++i) {
                YGuard guard(lock);
                const int seen = generation;
                while (generation == seen && !abandon) {
                    const int result = condition.wait(kMissedAfterMs);
                    if (result == kTimedOut) {
                        ++missed;
                    } else if (generation == seen) {
                        // Returned at once: the last broadcast has not finished yet.
                        YUnGuard letGo(guard);
                        std::this_thread::yield();
                    }
                }
                ++rounds;
            }
            ++waitersDone;
        });
    }
    threads.emplace_back([&] {
        go.lock(kWaitMs);
        while (waitersDone.load() < kWaiters) {
            if (condition.registered() == 0) {
                std::this_thread::yield();
                continue;
            }
            lock.enterSection();
            ++generation;
            lock.leaveSection();
            condition.signalAll();
            ++broadcasts;
        }
        broadcasterDone.unlock();
    });
    go.unlock();
    // The run takes well under a second; a missed waiter stalls a broadcast for
    // kMissedAfterMs each time.
    const int finished = broadcasterDone.lock(30000);
    EXPECT_EQ(kSignalled, finished) << "the broadcasts hung";
    abandon = finished != kSignalled;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, missed.load());
    EXPECT_EQ(kWaiters * kRounds, rounds.load());
    EXPECT_GE(broadcasts.load(), kRounds);
}

}  // namespace
