// The Win32 critical section: re-entry, exclusion between threads and try-enter.
// Written against the Win32 names only.
#include <TestSupport.h>
#include <davro/platform/Win32.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

using namespace davro::win32;
using davro::test::WaitProbe;

namespace {

using namespace std::chrono_literals;

class Section {
public:
    Section() { InitializeCriticalSection(&section_); }
    ~Section() { DeleteCriticalSection(&section_); }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
    LPCRITICAL_SECTION get() { return &section_; }

private:
    CRITICAL_SECTION section_{};
};

// TryEnter from another thread: 1 if it got the section (and left it again), else 0.
int tryFromOtherThread(LPCRITICAL_SECTION section) {
    return std::async(std::launch::async,
                      [section] {
                          if (TryEnterCriticalSection(section) == FALSE) {
                              return 0;
                          }
                          LeaveCriticalSection(section);
                          return 1;
                      })
        .get();
}

TEST(Win32CriticalSectionTest, OwnerReentersAndOthersWaitUntilTheLastLeave) {
    Section section;
    EnterCriticalSection(section.get());
    EnterCriticalSection(section.get());
    EXPECT_TRUE(TryEnterCriticalSection(section.get()));
    EXPECT_EQ(0, tryFromOtherThread(section.get()));
    LeaveCriticalSection(section.get());
    LeaveCriticalSection(section.get());
    EXPECT_EQ(0, tryFromOtherThread(section.get()));  // still held once
    LeaveCriticalSection(section.get());
    EXPECT_EQ(1, tryFromOtherThread(section.get()));
}

TEST(Win32CriticalSectionTest, BlockedEnterProceedsWhenTheOwnerLeaves) {
    Section section;
    EnterCriticalSection(section.get());
    WaitProbe waiter([&] {
        EnterCriticalSection(section.get());
        LeaveCriticalSection(section.get());
        return 7;
    });
    EXPECT_TRUE(waiter.stillBlockedAfter(100ms));
    LeaveCriticalSection(section.get());
    ASSERT_TRUE(waiter.finishesWithin(5000ms));
    EXPECT_EQ(7, waiter.result());
}

// Four threads released together increment a plain counter under the section; any lapse
// of exclusion loses increments (and shows under ThreadSanitizer).
TEST(Win32CriticalSectionTest, ExcludesConcurrentEntrants) {
    Section section;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    long counter = 0;
    std::promise<void> start;
    std::shared_future<void> go = start.get_future().share();
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, go] {
            go.wait();
            for (int round = 0; round < kRounds; ++round) {
                EnterCriticalSection(section.get());
                if (round % 3 == 0) {  // re-entry on the way
                    EnterCriticalSection(section.get());
                    ++counter;
                    LeaveCriticalSection(section.get());
                } else {
                    ++counter;
                }
                LeaveCriticalSection(section.get());
            }
        });
    }
    start.set_value();
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(static_cast<long>(kThreads) * kRounds, counter);
}

// Spins until `flag` reaches `value` or kWaitMs pass; makes no system call that could
// change the caller's last error.
bool spinUntil(const std::atomic<int>& flag, int value) {
    const auto deadline = std::chrono::steady_clock::now() + davro::test::kWaitMs * 1ms;
    while (flag.load() != value) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
    }
    return true;
}

TEST(Win32LastErrorTest, EachThreadHasItsOwnValue) {
    // On Windows, getting a future's result or joining a thread goes through calls that
    // may set the caller's value (TlsGetValue sets it on success), so the threads take turns
    // through an atomic and each reads its value before any such call.
    std::atomic<int> turn{0};
    DWORD initial = 0xFFFFFFFF;
    DWORD otherValue = 0;
    std::thread other([&] {
        if (spinUntil(turn, 1)) {
            initial = GetLastError();
            SetLastError(99);
            otherValue = GetLastError();
        }
        turn = 2;
    });
    SetLastError(1234);
    turn = 1;
    EXPECT_TRUE(spinUntil(turn, 2));
    const DWORD mine = GetLastError();
    other.join();
    EXPECT_NE(1234U, initial);
#ifndef _WIN32
    EXPECT_EQ(0U, initial);  // ours starts every thread at 0; Windows does not say
#endif
    EXPECT_EQ(99U, otherValue);
    EXPECT_EQ(1234U, mine);
}

}  // namespace
