// The deadlock watchdog and its log, through the real code path: run with
// DAVRO_TIME_SCALE=1000, so that a ten-minute slice lasts 0.6 s, and with drive C mapped
// to a fresh temporary folder for every test.
#include <davro/core/SyncObject.h>
#include <davro/core/detail/Watchdog.h>
#include <davro/platform/Environment.h>
#include <davro/primitives/Event.h>
#include <davro/primitives/Mutex.h>
#include <davro/primitives/Semaphore.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "SyncTestSupport.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace davro::test;
using namespace davro::win32;
using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
constexpr const char* kLineEnd = "\r\n";  // the text-mode stream writes CR LF
#else
constexpr const char* kLineEnd = "\n";
#endif

// The length of one watchdog slice in real time, and whether it is short enough to be
// waited out in a test. The slice follows the time scale on both systems, although on
// Windows the waits that a caller times do not (waitScale() is 1 there).
std::chrono::milliseconds realSlice() {
    return std::chrono::milliseconds(davro::detail::kWatchdogSliceMs /
                                     davro::platform::timeScale());
}
bool slicesAreShort() { return davro::platform::timeScale() >= 100; }

// One whole line of the log, taken apart.
struct LogLine {
    std::string name;
    int count = -1;
    bool heldOff = false;  // the reader was held off for a slice before it: one may be unseen
};

// The log when it is exactly one whole line in the expected form:
// "YSyncObject: <name> Count: <n> timed out at: <time> (<ms>)".
std::optional<LogLine> parseLog(const std::string& content) {
    static const std::regex line(std::string("YSyncObject: ([^\r\n]*) Count: (0|[1-9][0-9]*) "
                                             "timed out at: [^\r\n]+ \\((0|[1-9][0-9]{0,2})\\)") +
                                 kLineEnd);
    std::smatch match;
    if (!std::regex_match(content, match, line)) {
        return std::nullopt;
    }
    return LogLine{match[1], std::stoi(match[2])};
}

class DeadlockLogTest : public ::testing::Test {
protected:
    void SetUp() override { setDriveC(drive_.path()); }

    std::string logPath() const { return drive_.path() + "/deadlock.out"; }
    std::string readLog() const { return readFile(logPath()); }

    // Polls the log until `wanted` distinct reports have been seen or 30 s have passed,
    // and returns them in order. A read between the cut of the file and the write of the
    // line finds it empty and is not counted as a report.
    std::vector<LogLine> watchLog(std::size_t wanted) const {
        std::vector<LogLine> seen;
        std::string last;
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        auto previousStart = Clock::now();
        while (Clock::now() < deadline && seen.size() < wanted) {
            const auto start = Clock::now();
            const std::string content = readLog();
            const bool heldOff = Clock::now() - previousStart >= realSlice();
            previousStart = start;
            std::optional<LogLine> line = parseLog(content);
            if (content != last && line) {
                last = content;
                line->heldOff = heldOff;
                seen.push_back(*line);
            }
            std::this_thread::sleep_for(2ms);  // polling interval, not ordering
        }
        return seen;
    }

    TempDir drive_;
};

// Through lock() and through the message-pumping dispatchLock(), which waits in the same
// slices. An unnamed object: the empty name leaves two blanks before "Count:". A watch that
// was held off for a slice may have missed a report, so the counts 0 and 1 are checked on
// the first watch that was not; a loaded machine gets a few fresh waits to find one.
TEST_F(DeadlockLogTest, SlicesReportFromCountZeroAndTheFileKeepsTheLatestLine) {
    if (!slicesAreShort()) {
        GTEST_SKIP() << "needs slices shortened by DAVRO_TIME_SCALE >= 100";
    }
    constexpr int kWatches = 5;
    for (const bool pumping : {false, true}) {
        SCOPED_TRACE(pumping ? "dispatchLock" : "lock");
        bool undisturbed = false;
        for (int watch = 0; watch < kWatches && !undisturbed; ++watch) {
            std::filesystem::remove(logPath());
            YEventObject event;
            std::atomic<int> result{1234};
            std::thread waiter(
                [&] { result = pumping ? event.dispatchLock(INFINITE) : event.lock(INFINITE); });
            const std::vector<LogLine> seen = watchLog(2);
            event.unlock();  // ends the wait in any case
            waiter.join();

            EXPECT_EQ(kSignalled, result.load());
            const std::string content = readLog();
            const std::optional<LogLine> final = parseLog(content);
            ASSERT_TRUE(final) << "the file must hold exactly one whole line: " << content;
            EXPECT_EQ(0u, content.rfind("YSyncObject:  Count: ", 0)) << content;
            EXPECT_GE(final->count, 1);
            ASSERT_EQ(2u, seen.size()) << "fewer than two reports within 30 s";
            undisturbed = !seen[0].heldOff && !seen[1].heldOff;
            if (undisturbed) {
                EXPECT_EQ(0, seen[0].count);
                EXPECT_EQ(1, seen[1].count);
            }
        }
        EXPECT_TRUE(undisturbed) << "all " << kWatches
                                 << " watches of the log were held off for a slice, so the "
                                    "counts of the first two reports were never checked";
    }
}

TEST_F(DeadlockLogTest, ZeroHandleAndAWaitSignalledWithinTheFirstSliceWriteNothing) {
    Bare bare;
    EXPECT_EQ(kFailed, bare.lock(INFINITE));
    EXPECT_EQ(kFailed, bare.wait(INFINITE));
    EXPECT_EQ(kFailed, bare.dispatchLock(INFINITE));
    EXPECT_EQ(kFailed, bare.dispatchLock(kWaitMs));
    YSemaphore failed(3, 1);  // refused by the kernel: handle 0
    EXPECT_EQ(kFailed, failed.wait(INFINITE));
    EXPECT_EQ(0, failed.unlock());
    EXPECT_EQ(0, failed.getCount());

    YMutex free;
    EXPECT_EQ(kSignalled, free.lock(INFINITE));
    free.unlock();
    YEventObject event(L"Quick");
    YEventObject started;
    std::atomic<int> result{1234};
    const auto begin = Clock::now();
    std::thread waiter([&] {
        started.unlock();
        result = event.lock(INFINITE);
    });
    ASSERT_EQ(kSignalled, started.lock(scaled(kWaitMs)));
    event.unlock();
    waiter.join();
    EXPECT_EQ(kSignalled, result.load());
    if (Clock::now() - begin >= realSlice()) {
        GTEST_SKIP() << "the wait outlasted a slice on this machine";
    }
    EXPECT_FALSE(std::filesystem::exists(logPath()));
}

// Four threads report at once, round after round; the first round makes the first reports
// of the process (each test runs in a process of its own), so it also races the one-time
// set-up of the log lock. After every round the file must hold exactly one whole line.
// Lines of different lengths make a torn file visible.
TEST_F(DeadlockLogTest, ConcurrentReportsLeaveOneWholeLine) {
    constexpr int kThreads = 4;
    std::vector<YString> messages;
    for (int t = 0; t < kThreads; ++t) {
        YString message(100 + 60 * t, L'a' + t);
        message += L" Count: ";
        message += t;
        messages.push_back(message);
    }
    for (int round = 0; round < 40; ++round) {
        YManualEventObject go;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                go.lock(scaled(kWaitMs));
                Bare::report(messages[t]);
            });
        }
        go.unlock();
        for (auto& thread : threads) {
            thread.join();
        }
        const std::string content = readLog();
        const std::optional<LogLine> line = parseLog(content);
        ASSERT_TRUE(line) << "round " << round << ", not one whole line: " << content;
        ASSERT_TRUE(line->count >= 0 && line->count < kThreads) << content;
        EXPECT_EQ(static_cast<std::size_t>(100 + 60 * line->count), line->name.size()) << content;
        EXPECT_EQ(std::string::npos,
                  line->name.find_first_not_of(static_cast<char>('a' + line->count)))
            << content;
    }
}

// Whether the call of `probe` returns within kWaitMs. A call stuck on the FIFO `fifo` is then
// let go by a reader held open until it has returned, so that the test fails instead of
// hanging (without a reader, a write to the FIFO would end the process with SIGPIPE).
bool finishesPromptly(WaitProbe& probe, [[maybe_unused]] const std::string& fifo) {
    if (probe.finishesWithin(std::chrono::milliseconds(kWaitMs))) {
        return true;
    }
#ifndef _WIN32
    if (!fifo.empty()) {
        const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        probe.result();
        close(reader);  // a failed open gives -1, which close() refuses harmlessly
    }
#endif
    return false;
}

// A log path that cannot be written (a directory; on Linux also a FIFO without a reader and a
// symbolic link to another file) loses the line and nothing else: the report returns at once
// and writes nowhere, the lock is left, so another thread's report gets through, and a wait
// whose reports are lost ends when its object is signalled.
TEST_F(DeadlockLogTest, UnwritableLogLosesTheLineAndNothingElse) {
#ifdef _WIN32
    const std::string kinds[] = {"directory"};
#else
    const std::string kinds[] = {"directory", "fifo", "symlink"};
#endif
    for (const std::string& kind : kinds) {
        SCOPED_TRACE(kind);
        TempDir blocked;
        const std::string path = blocked.path() + "/deadlock.out";
        const std::string target = blocked.path() + "/target";
        const std::string fifo = kind == "fifo" ? path : "";
        if (kind == "symlink") {
            std::ofstream(target) << "untouched\n";
            std::filesystem::create_symlink(target, path);
        } else if (kind == "fifo") {
#ifndef _WIN32
            ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
#endif
        } else {
            std::filesystem::create_directory(path);
        }
        setDriveC(blocked.path());

        WaitProbe report([] { return Bare::report(L"lost"), 0; });
        EXPECT_TRUE(finishesPromptly(report, fifo)) << "the report blocked";
        // Once the waiter is in its wait, a slice and a half lets its first slice expire.
        PeekEvent event(L"Unlogged");
        WaitProbe waiter([&] { return event.lock(INFINITE); });
        if (slicesAreShort()) {
            EXPECT_TRUE(awaitWaiters(event.rawHandle(), 1));
            std::this_thread::sleep_for(realSlice() * 3 / 2);
        }
        event.unlock();
        ASSERT_TRUE(finishesPromptly(waiter, fifo)) << "the wait did not end";
        EXPECT_EQ(kSignalled, waiter.result());

        using Type = std::filesystem::file_type;  // what stood at the path is still there
        EXPECT_EQ(kind == "fifo"      ? Type::fifo
                  : kind == "symlink" ? Type::symlink
                                      : Type::directory,
                  std::filesystem::symlink_status(path).type());
        EXPECT_EQ(kind == "symlink" ? "untouched\n" : "", readFile(target));
        const std::filesystem::recursive_directory_iterator entries(blocked.path());
        EXPECT_EQ(kind == "symlink" ? 2 : 1, std::distance(begin(entries), end(entries)))
            << "nothing was made beside or inside what stood at the path";
    }

    setDriveC(drive_.path());
    WaitProbe other([] { return Bare::report(L"kept Count: 7"), 0; });
    ASSERT_TRUE(other.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    const std::optional<LogLine> line = parseLog(readLog());
    ASSERT_TRUE(line);
    EXPECT_EQ("kept", line->name);
    EXPECT_EQ(7, line->count);
}

// With DAVRO_WAIT_CHAIN_LOG set, a report also writes the reporter's wait chain: here of a
// lock-order inversion, which a wait for `stop` beside one of its waits lets the test end.
// Under Wine, which has no wait chain traversal, the file says so.
TEST_F(DeadlockLogTest, WaitChainLogShowsTheCycleOfADeadlock) {
    if (!slicesAreShort()) {
        GTEST_SKIP() << "needs slices shortened by DAVRO_TIME_SCALE >= 100";
    }
#ifdef _WIN32
    _putenv_s("DAVRO_WAIT_CHAIN_LOG", "c:/waitchain.out");
#else
    setenv("DAVRO_WAIT_CHAIN_LOG", "c:/waitchain.out", 1);  // NOLINT(concurrency-mt-unsafe)
#endif
    YMutex left;
    YMutex right;
    YEventObject stop;
    YEventObject leftHeld;
    YEventObject rightHeld;
    std::atomic<DWORD> a{0};
    std::atomic<DWORD> b{0};
    std::thread leftFirst([&] {
        left.lock(INFINITE);
        a = GetCurrentThreadId();
        leftHeld.unlock();
        rightHeld.lock(scaled(kWaitMs));
        right.lock(INFINITE);  // watched: reports, each with its chain
        right.unlock();
        left.unlock();
    });
    std::thread rightFirst([&] {
        right.lock(INFINITE);
        b = GetCurrentThreadId();
        rightHeld.unlock();
        leftHeld.lock(scaled(kWaitMs));
        YSyncObject* const leftOrStop[] = {&left, &stop};
        if (YSyncObject::lockMultiple(leftOrStop, 2, 0, scaled(30000)) == kSignalled) {
            left.unlock();
        }
        right.unlock();
    });
    std::string chain;
    for (const auto deadline = Clock::now() + 30s; Clock::now() < deadline &&
                                                   chain.find("cycle: ") == std::string::npos &&
                                                   chain.rfind("no wait chain: ", 0) != 0;) {
        std::this_thread::sleep_for(5ms);  // polling the file, not ordering
        chain = readFile(drive_.path() + "/waitchain.out");
    }
    stop.unlock();
    leftFirst.join();
    rightFirst.join();
    if (runningUnderWine()) {
        EXPECT_EQ(0u, chain.rfind("no wait chain: ", 0)) << chain;
        return;
    }
    const std::string threadA = "thread " + std::to_string(a);
    const std::string threadB = "thread " + std::to_string(b);
    const std::string blocked = " blocked for [0-9]+ ms" + std::string(kLineEnd);
    EXPECT_TRUE(std::regex_match(
        chain,
        std::regex(threadA + blocked + "mutex \"\" owned by " + threadB + kLineEnd + threadB +
                   blocked + "mutex \"[^\"]*\" owned by " + threadA + kLineEnd + threadA + blocked +
                   "cycle: " + threadA + " -> " + threadB + " -> " + threadA + kLineEnd)))
        << chain;
}

}  // namespace
