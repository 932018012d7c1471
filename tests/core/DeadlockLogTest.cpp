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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

using namespace davro::win32;
using davro::test::kWaitMs;
using davro::test::TempDir;
using davro::test::WaitProbe;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kSignalled = 0;
constexpr int kFailed = -1;

#if defined(_WIN32)
constexpr const char* kLineEnd = "\r\n";  // the text-mode stream writes CR LF
#else
constexpr const char* kLineEnd = "\n";
#endif

// How much faster than real time the platform's waits run. The Linux layer honours
// DAVRO_TIME_SCALE; on Windows the kernel's own waits take their time-outs as they are.
unsigned waitScale() {
#if defined(_WIN32)
    return 1;
#else
    return davro::platform::timeScale();
#endif
}

// Whether a watchdog slice is short enough to be waited out in a test.
bool slicesAreShort() { return waitScale() >= 100; }

// The length of one watchdog slice in real time.
std::chrono::milliseconds realSlice() {
    return std::chrono::milliseconds(davro::detail::kWatchdogSliceMs / waitScale());
}

// A bound for a wait on a library object that is expected to succeed: kWaitMs of real
// time, whatever the time scale.
unsigned scaledWaitMs() { return kWaitMs * waitScale(); }

void setDriveC(const std::string& path) {
#if defined(_WIN32)
    _putenv_s("DAVRO_DRIVE_C", path.c_str());
#else
    setenv("DAVRO_DRIVE_C", path.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
#endif
}

// One line of the log, taken apart.
struct LogLine {
    std::string name;
    int count = -1;
    std::string time;
    int millis = -1;
};

// The content of the log when it is exactly one whole line in the expected form.
std::optional<LogLine> parseLog(const std::string& content) {
    const std::string end(kLineEnd);
    if (content.size() <= end.size() ||
        content.compare(content.size() - end.size(), end.size(), end) != 0) {
        return std::nullopt;
    }
    const std::string body = content.substr(0, content.size() - end.size());
    if (body.find_first_of("\r\n") != std::string::npos) {
        return std::nullopt;
    }
    // "YSyncObject: <name> Count: <n> timed out at: <time> (<ms>)", read from both ends.
    const std::string prefix = "YSyncObject: ";
    const std::string countText = " Count: ";
    const std::string timeText = " timed out at: ";
    const std::size_t count = body.find(countText);
    const std::size_t time = body.find(timeText);
    const std::size_t millis = body.rfind(" (");
    if (body.compare(0, prefix.size(), prefix) != 0 || count == std::string::npos ||
        time == std::string::npos || millis == std::string::npos || count > time || time > millis ||
        body.back() != ')') {
        return std::nullopt;
    }
    LogLine line;
    line.name = body.substr(prefix.size(), count - prefix.size());
    line.time = body.substr(time + timeText.size(), millis - time - timeText.size());
    const std::string countDigits =
        body.substr(count + countText.size(), time - count - countText.size());
    const std::string millisDigits = body.substr(millis + 2, body.size() - millis - 3);
    const auto isNumber = [](const std::string& digits, std::size_t maxLength) {
        return !digits.empty() && digits.size() <= maxLength &&
               digits.find_first_not_of("0123456789") == std::string::npos &&
               (digits.size() == 1 || digits[0] != '0');
    };
    if (!isNumber(countDigits, 9) || !isNumber(millisDigits, 3) || line.time.empty()) {
        return std::nullopt;
    }
    line.count = std::stoi(countDigits);
    line.millis = std::stoi(millisDigits);
    return line;
}

// A whole report through the protected static, for the tests of the log itself.
class Reporter : public YSyncObject {
public:
    static void report(const YString& message) { reportDeadlock(message); }
    int unlock() override { return 0; }
};

// A report seen in the log while polling it. `heldOff` says that the test thread was held
// off for a whole slice just before, so a report may have come and gone unseen.
struct Observation {
    LogLine line;
    bool heldOff = false;
};

class DeadlockLogTest : public ::testing::Test {
protected:
    void SetUp() override { setDriveC(drive_.path()); }

    const TempDir& drive() const { return drive_; }
    std::string logPath() const { return drive_.path() + "/deadlock.out"; }
    bool logExists() const { return std::filesystem::exists(logPath()); }

    // The whole file, read as bytes; nullopt when there is none.
    std::optional<std::string> readLog() const {
        std::ifstream file(logPath(), std::ios_base::in | std::ios_base::binary);
        if (!file) {
            return std::nullopt;
        }
        std::ostringstream content;
        content << file.rdbuf();
        return content.str();
    }

    // Polls the log until `wanted` distinct reports have been seen or `limit` has passed,
    // and returns them in order. A read between the cut of the file and the
    // write of the line finds it empty and is not counted as a report.
    std::vector<Observation> watchLog(std::size_t wanted, std::chrono::milliseconds limit) const {
        std::vector<Observation> seen;
        std::string last;
        const auto deadline = Clock::now() + limit;
        auto previousStart = Clock::now();
        while (Clock::now() < deadline) {
            const auto start = Clock::now();
            const std::optional<std::string> content = readLog();
            const bool heldOff = Clock::now() - previousStart >= realSlice();
            previousStart = start;
            if (content && *content != last) {
                if (const std::optional<LogLine> line = parseLog(*content)) {
                    last = *content;
                    seen.push_back({*line, heldOff});
                    if (seen.size() == wanted) {
                        break;
                    }
                }
            }
            std::this_thread::sleep_for(2ms);  // polling interval, not ordering
        }
        return seen;
    }

private:
    TempDir drive_;
};

TEST_F(DeadlockLogTest, SlicesReportFromCountZeroAndTheFileKeepsTheLatestLine) {
    if (!slicesAreShort()) {
        GTEST_SKIP() << "needs slices shortened by DAVRO_TIME_SCALE (Linux layer)";
    }
    YEventObject event(L"Queue");
    std::atomic<int> result{1234};
    std::thread waiter([&] { result = event.lock(INFINITE); });

    const std::vector<Observation> seen = watchLog(2, 30s);
    event.unlock();  // ends the wait in any case
    waiter.join();

    EXPECT_EQ(kSignalled, result.load());
    ASSERT_FALSE(seen.empty()) << "no report within 30 s";
    for (const Observation& observation : seen) {
        EXPECT_EQ("Queue", observation.line.name);
        EXPECT_FALSE(observation.line.time.empty());
        EXPECT_LE(observation.line.millis, 999);
    }
    const std::optional<LogLine> final = parseLog(readLog().value_or(""));
    ASSERT_TRUE(final) << "the file must hold exactly one whole line: " << readLog().value_or("");
    EXPECT_GE(final->count, 1);

    ASSERT_EQ(2U, seen.size()) << "fewer than two reports within 30 s";
    if (seen[0].heldOff || seen[1].heldOff) {
        GTEST_SKIP() << "the test thread was held off for a whole slice; counts not checked";
    }
    EXPECT_EQ(0, seen[0].line.count);
    EXPECT_EQ(1, seen[1].line.count);
}

TEST_F(DeadlockLogTest, EmptyNameLeavesTwoBlanksBeforeCount) {
    if (!slicesAreShort()) {
        GTEST_SKIP() << "needs slices shortened by DAVRO_TIME_SCALE (Linux layer)";
    }
    YMutex mutex;  // owned by another thread until the first report is seen
    YEventObject owned;
    YEventObject release;
    std::thread owner([&] {
        mutex.lock(0);
        owned.unlock();
        release.lock(12 * scaledWaitMs());  // 60 s of real time
        mutex.unlock();
    });
    ASSERT_EQ(kSignalled, owned.lock(scaledWaitMs()));

    std::atomic<int> result{1234};
    std::thread waiter([&] {
        result = mutex.lock(INFINITE);
        mutex.unlock();
    });
    const std::vector<Observation> seen = watchLog(1, 30s);
    const std::string content = readLog().value_or("");
    release.unlock();
    owner.join();
    waiter.join();

    EXPECT_EQ(kSignalled, result.load());
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(0, content.rfind("YSyncObject:  Count: ", 0)) << content;
}

TEST_F(DeadlockLogTest, WaitSignalledWithinTheFirstSliceWritesNothing) {
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
    ASSERT_EQ(kSignalled, started.lock(scaledWaitMs()));
    event.unlock();
    waiter.join();
    const auto elapsed = Clock::now() - begin;

    EXPECT_EQ(kSignalled, result.load());
    if (elapsed >= realSlice()) {
        GTEST_SKIP() << "the wait outlasted a slice on this machine";
    }
    EXPECT_FALSE(logExists());
}

TEST_F(DeadlockLogTest, ZeroHandleFailsAtOnceAndWritesNothingEvenWithInfinite) {
    Reporter bare;
    EXPECT_EQ(kFailed, bare.lock(INFINITE));
    EXPECT_EQ(kFailed, bare.dispatchLock(INFINITE));

    YSemaphore failed(3, 1);  // refused by the kernel: handle 0
    EXPECT_EQ(kFailed, failed.wait(INFINITE));
    EXPECT_EQ(0, failed.getCount());

    EXPECT_FALSE(logExists());
}

TEST_F(DeadlockLogTest, InfiniteDispatchLockHasTheSameWatchdog) {
    if (!slicesAreShort()) {
        GTEST_SKIP() << "needs slices shortened by DAVRO_TIME_SCALE (Linux layer)";
    }
    YSemaphore semaphore(0, 1, L"Pumped");
    std::atomic<int> result{1234};
    std::thread waiter([&] { result = semaphore.dispatchWait(INFINITE); });

    const std::vector<Observation> seen = watchLog(1, 30s);
    semaphore.unlock();
    waiter.join();

    EXPECT_EQ(kSignalled, result.load());
    ASSERT_FALSE(seen.empty()) << "no report within 30 s";
    EXPECT_EQ("Pumped", seen[0].line.name);
    if (!seen[0].heldOff) {
        EXPECT_EQ(0, seen[0].line.count);
    }
}

// Four threads report at once, round after round; the first round makes the first reports
// of the process (each test runs in a process of its own), so it also races the one-time
// set-up of the log lock. After every round the file must hold exactly one whole line.
// Lines of different lengths make a torn file visible.
TEST_F(DeadlockLogTest, ConcurrentReportsLeaveOneWholeLine) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 40;
    std::vector<std::string> messages;
    std::vector<YString> wideMessages;
    for (int t = 0; t < kThreads; ++t) {
        messages.push_back(
            "writer" + std::to_string(t) + " " +
            std::string(static_cast<std::size_t>(100 + 60 * t), static_cast<char>('a' + t)));
        const std::wstring wide(messages.back().begin(), messages.back().end());
        wideMessages.emplace_back(wide.c_str());
    }
    const std::string end(kLineEnd);
    const std::string prefix = "YSyncObject: ";
    for (int round = 0; round < kRounds; ++round) {
        YManualEventObject go;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                go.lock(scaledWaitMs());
                Reporter::report(wideMessages[t]);
            });
        }
        go.unlock();
        for (auto& thread : threads) {
            thread.join();
        }

        const std::string content = readLog().value_or("");
        ASSERT_EQ(content.size() - end.size(), content.find(end))
            << "round " << round << ", not one line: " << content;
        bool whole = false;
        for (const std::string& message : messages) {
            whole = whole || content.rfind(prefix + message + " timed out at: ", 0) == 0;
        }
        ASSERT_TRUE(whole) << "round " << round << ": " << content;
        ASSERT_EQ(')', content[content.size() - end.size() - 1]) << content;
    }
}

// A log that cannot be opened (here a folder stands where the file should be) loses the
// line; the lock is left, so another thread's report gets through, and a wait goes on.
TEST_F(DeadlockLogTest, UnopenableLogLosesTheLineAndNothingElse) {
    TempDir blocked;
    const std::string blockedLog = blocked.path() + "/deadlock.out";
    std::filesystem::create_directory(blockedLog);
    setDriveC(blocked.path());

    EXPECT_NO_THROW(Reporter::report(L"lost"));
    EXPECT_TRUE(std::filesystem::is_directory(blockedLog));

    // Waits whose reports are lost still end when their object is signalled. The sleep
    // only lets slices pass: if it is too short the test passes without covering them.
    if (slicesAreShort()) {
        YEventObject event(L"Unlogged");
        std::atomic<int> result{1234};
        std::thread waiter([&] { result = event.lock(INFINITE); });
        std::this_thread::sleep_for(realSlice() * 5 / 2);
        event.unlock();
        waiter.join();
        EXPECT_EQ(kSignalled, result.load());
    }

    setDriveC(drive().path());
    WaitProbe other([] {
        Reporter::report(L"kept Count: 7");
        return 0;
    });
    ASSERT_TRUE(other.finishesWithin(std::chrono::milliseconds(kWaitMs)));
    const std::optional<LogLine> line = parseLog(readLog().value_or(""));
    ASSERT_TRUE(line);
    EXPECT_EQ("kept", line->name);
    EXPECT_EQ(7, line->count);
}

}  // namespace
