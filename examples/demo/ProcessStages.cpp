// The stages that need a second process: a named mutex shared by two processes, one of
// which is killed while it owns it, and a deliberate deadlock that the watchdog reports
// in a child that runs on a scaled clock.
#include <davro/platform/Environment.h>
#include <davro/primitives/Event.h>
#include <davro/primitives/Mutex.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "DemoThread.h"
#include "Os.h"
#include "Stages.h"

namespace demo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr unsigned kBoundMs = 5000;  // every wait of these stages ends within this
constexpr int kRounds = 20;          // turns per process
constexpr int kAbandoned = 0x80;
constexpr int kTimedOut = 258;

YString wide(const std::string& text) {
    const std::wstring converted(text.begin(), text.end());
    return YString(converted.c_str());
}

std::vector<std::string> readLines(const fs::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

void append(const fs::path& path, const std::string& line) {
    std::ofstream out(path, std::ios::app);
    out << line << '\n';
}

bool contains(const std::vector<std::string>& lines, const std::string& wanted) {
    for (const std::string& line : lines) {
        if (line == wanted) {
            return true;
        }
    }
    return false;
}

// A temporary folder of this run, removed with everything in it when the stage ends.
class TempFolder {
public:
    explicit TempFolder(const std::string& what) {
        std::error_code error;
        const fs::path base = fs::temp_directory_path(error);
        if (error) {
            return;
        }
        path_ = base / ("davro-demo-" + std::to_string(currentProcessId()) + "-" + what);
        fs::remove_all(path_, error);
        made_ = fs::create_directories(path_, error) && !error;
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        std::error_code error;
        if (made_) {
            fs::remove_all(path_, error);
        }
    }
    // Whether the folder was made; the stage cannot run without it.
    bool made() const { return made_; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
    bool made_ = false;
};

// A child that is killed when the stage leaves early, so that no copy of the demo is left
// behind.
class ChildGuard {
public:
    ChildGuard() = default;
    ChildGuard(const ChildGuard&) = delete;
    ChildGuard& operator=(const ChildGuard&) = delete;
    ~ChildGuard() {
        int code = 0;
        if (child.id != 0 || child.handle != nullptr) {
            killChild(&child, kBoundMs, &code);
        }
    }
    ChildProcess child;
};

// One turn: a "begin" and an "end" line with a pause between them, so that another writer
// that got in at the same time would show between the two.
bool takeTurn(YNamedMutex& mutex, const fs::path& turns, const std::string& who, int round) {
    if (mutex.lock(kBoundMs) != 0) {
        return false;
    }
    append(turns, who + " begin " + std::to_string(round));
    std::this_thread::sleep_for(1ms);
    append(turns, who + " end " + std::to_string(round));
    mutex.unlock();
    // Give the other process its chance before the next turn.
    std::this_thread::sleep_for(1ms);
    return true;
}

// Waits, reading the turns file under the mutex, until it holds `wanted`.
bool waitForLine(YNamedMutex& mutex, const fs::path& turns, const std::string& wanted) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kBoundMs);
    while (Clock::now() < deadline) {
        const int result = mutex.lock(100);
        if (result == 0) {
            const bool found = contains(readLines(turns), wanted);
            mutex.unlock();
            if (found) {
                return true;
            }
        } else if (result == kTimedOut && contains(readLines(turns), wanted)) {
            return true;  // the writer of `wanted` holds the mutex and keeps it
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// What the turns file shows: every "begin" followed at once by its "end".
struct TurnLog {
    int parentTurns = 0;
    int childTurns = 0;
    int handOvers = 0;
    int overlaps = 0;
};

TurnLog readTurns(const fs::path& turns) {
    TurnLog log;
    std::string lastWho;
    std::string open;
    for (const std::string& line : readLines(turns)) {
        const std::string who = line.substr(0, line.find(' '));
        const std::string rest = line.substr(who.size());
        if (rest.rfind(" begin ", 0) == 0) {
            log.overlaps += open.empty() ? 0 : 1;
            open = who + rest.substr(6);
            if (!lastWho.empty() && who != lastWho) {
                ++log.handOvers;
            }
            lastWho = who;
        } else if (rest.rfind(" end ", 0) == 0) {
            if (open != who + rest.substr(4)) {
                ++log.overlaps;
            } else {
                ++(who == "parent" ? log.parentTurns : log.childTurns);
            }
            open.clear();
        }
    }
    return log;
}

}  // namespace

int namedMutexChild(const char* mutexName, const char* turnsFile) {
    YNamedMutex mutex(wide(mutexName));
    const fs::path turns = turnsFile;
    if (mutex.lock(kBoundMs) != 0) {
        return 3;
    }
    append(turns, "child ready");
    mutex.unlock();
    for (int round = 0; round < kRounds; ++round) {
        if (!takeTurn(mutex, turns, "child", round)) {
            return 4;
        }
    }
    // The last turn is the parent's: it writes "parent done" and lets this process keep the
    // mutex until it is killed.
    if (!waitForLine(mutex, turns, "parent done")) {
        return 5;
    }
    if (mutex.lock(kBoundMs) != 0) {
        return 6;
    }
    append(turns, "child holding");
    // The parent kills this process now, with the mutex held; it should not take this long.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kBoundMs));
    return 7;
}

void runNamedMutex(Report& report) {
    const std::string name = "davro-demo-" + std::to_string(currentProcessId());
    TempFolder folder("turns");
    if (!report.check(folder.made(), "no temporary folder could be made for the turns file")) {
        return;
    }
    const fs::path turns = folder.path() / "turns.txt";
    YNamedMutex mutex(wide(name));
    report.line("named mutex \"%s\"; both processes log their turns in %s", name.c_str(),
                turns.string().c_str());

    ChildGuard guard;
    std::string error;
    if (!report.check(
            startSelf({"--child", "named-mutex", name, turns.string()}, {}, &guard.child, &error),
            "could not start the second process: %s", error.c_str())) {
        return;
    }
    report.line("started process %lld; it takes %d turns, and so does this one", guard.child.id,
                kRounds);
    if (!report.check(waitForLine(mutex, turns, "child ready"),
                      "the second process did not take the mutex within %u ms", kBoundMs)) {
        return;
    }
    for (int round = 0; round < kRounds; ++round) {
        if (!report.check(takeTurn(mutex, turns, "parent", round),
                          "turn %d: lock(%u) did not return 0", round, kBoundMs)) {
            return;
        }
        report.progress((round + 1.0) / kRounds, "turn %d of %d", round + 1, kRounds);
    }
    if (!report.check(mutex.lock(kBoundMs) == 0, "lock(%u) for the last line failed", kBoundMs)) {
        return;
    }
    append(turns, "parent done");
    mutex.unlock();
    if (!report.check(waitForLine(mutex, turns, "child holding"),
                      "the second process did not finish its turns within %u ms", kBoundMs)) {
        return;
    }
    const TurnLog log = readTurns(turns);
    report.line("turns: %d here, %d there, %d hand-overs between the processes, %d overlaps",
                log.parentTurns, log.childTurns, log.handOvers, log.overlaps);
    report.check(log.parentTurns == kRounds && log.childTurns == kRounds,
                 "expected %d turns from each process", kRounds);
    report.check(log.overlaps == 0, "%d turns overlapped", log.overlaps);

    const int whileHeld = mutex.lock(0);
    report.line("the second process keeps the mutex: lock(0) = %d", whileHeld);
    report.check(whileHeld == kTimedOut, "lock(0) returned %d while the other process held it",
                 whileHeld);
    if (whileHeld == 0 || whileHeld == kAbandoned) {
        mutex.unlock();
    }

    int exitCode = 0;
    const long long childId = guard.child.id;
    if (!report.check(killChild(&guard.child, kBoundMs, &exitCode),
                      "process %lld did not end when killed", childId)) {
        return;
    }
    report.line("killed process %lld while it owned the mutex (exit code %d)", childId, exitCode);
    report.check(exitCode == kKilledExitCode, "the killed process ended with %d, not %d", exitCode,
                 kKilledExitCode);

    const int afterKill = mutex.lock(kBoundMs);
    report.line("lock(%u) = 0x%x%s", kBoundMs, static_cast<unsigned>(afterKill),
                afterKill == kAbandoned ? ": acquired, and the mutex was abandoned" : "");
    report.check(afterKill == kAbandoned, "lock after the kill returned %d, not 0x80 (abandoned)",
                 afterKill);
    if (afterKill == 0 || afterKill == kAbandoned) {
        report.check(mutex.unlock() != 0, "unlock of the abandoned mutex failed");
    }
    const int again = mutex.lock(0);
    report.check(again == 0, "the mutex was not free after it was released: lock(0) = %d", again);
    if (again == 0) {
        mutex.unlock();
    }
    report.summary("%d + %d turns, %d hand-overs; after the kill lock() = 0x%x", log.parentTurns,
                   log.childTurns, log.handOvers, static_cast<unsigned>(afterKill));
}

// ---- The deadlock ----

namespace {

constexpr unsigned kTimeScale = 1000;  // a ten-minute watchdog slice lasts 0.6 s
const char* const kFirstName = "demo.firstMutex";
const char* const kSecondName = "demo.secondMutex";
const char* const kChainLog = "c:/waitchain.out";

std::string firstLine(const std::string& path) {
    const std::vector<std::string> lines = readLines(path);
    return lines.empty() ? std::string() : lines.front();
}

// Whether the chain file holds a whole report: a cycle, or the word that there is no chain.
bool chainReported(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (line.rfind("cycle: ", 0) == 0 || line.rfind("no wait chain: ", 0) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

int deadlockChild() {
    using namespace davro::win32;
    if (davro::platform::timeScale() < 100) {
        std::fprintf(stderr, "davro-demo: the deadlock child needs DAVRO_TIME_SCALE >= 100\n");
        return 2;
    }
    // The scale shortens the watchdog's slice on both systems, but the time-outs passed to
    // the waits below only on Linux: Windows' kernel takes them as they are.
#if defined(_WIN32)
    const unsigned scale = 1;
#else
    const unsigned scale = davro::platform::timeScale();
#endif
    // Never destroyed: this process is killed while its two threads are deadlocked on them.
    auto* first = new YMutex(wide(kFirstName));
    auto* second = new YMutex(wide(kSecondName));
    auto* firstHeld = new YManualEventObject;
    auto* secondHeld = new YManualEventObject;

    // The lock-order inversion: each thread takes one mutex, waits until the other thread
    // holds the other one, then waits for it without time limit. The watchdog reports both
    // waits every 0.6 s, each report with its thread's wait chain.
    auto* left = new DemoThread(L"demo.left", [=] {
        first->lock(INFINITE);
        firstHeld->signal();
        secondHeld->lock(kBoundMs * scale);
        return second->lock(INFINITE);  // never returns
    });
    auto* right = new DemoThread(L"demo.right", [=] {
        second->lock(INFINITE);
        secondHeld->signal();
        firstHeld->lock(kBoundMs * scale);
        return first->lock(INFINITE);  // never returns
    });
    if (left->create(0) != 1 || right->create(0) != 1) {
        return 3;
    }
    // The parent reads the logs meanwhile and kills this process; it should not take this
    // long. The deadlock is for good: the process ends around it.
    std::this_thread::sleep_for(std::chrono::milliseconds(4 * kBoundMs));
    std::fflush(nullptr);
    std::_Exit(1);
}

void runDeadlock(Report& report) {
    TempFolder driveC("drive_c");
    if (!report.check(driveC.made(), "no temporary folder could be made for drive C")) {
        return;
    }
    // The logs' places as this library maps drive C, with DAVRO_DRIVE_C as the child has it.
    const char* previous = std::getenv("DAVRO_DRIVE_C");  // NOLINT(concurrency-mt-unsafe)
    const std::string saved = previous != nullptr ? previous : "";
    setEnvironment("DAVRO_DRIVE_C", driveC.path().string().c_str());
    const std::string path = davro::platform::mapDrivePath("c:/deadlock.out");
    const std::string chainPath = davro::platform::mapDrivePath(kChainLog);
    setEnvironment("DAVRO_DRIVE_C", previous != nullptr ? saved.c_str() : nullptr);

    const std::string scale = std::to_string(kTimeScale);
    report.line("a child runs with DAVRO_TIME_SCALE=%s (a ten-minute watchdog slice lasts %.1f s)",
                scale.c_str(), 600.0 / kTimeScale);
    report.line("and DAVRO_DRIVE_C=%s, DAVRO_WAIT_CHAIN_LOG=%s", driveC.path().string().c_str(),
                kChainLog);
    report.line("two of its threads take %s and %s in opposite orders and wait for ever",
                kFirstName, kSecondName);
    ChildGuard guard;
    std::string error;
    if (!report.check(
            startSelf({"--child", "deadlock"},
                      {"DAVRO_TIME_SCALE=" + scale, "DAVRO_DRIVE_C=" + driveC.path().string(),
                       std::string("DAVRO_WAIT_CHAIN_LOG=") + kChainLog},
                      &guard.child, &error),
            "could not start the child: %s", error.c_str())) {
        return;
    }
    // Both logs are rewritten at every report, so each is kept as it was read when whole:
    // the deadlock log once it holds the second report, the chain log once it holds a cycle
    // or the word that there is no chain.
    std::string line;
    std::vector<std::string> chain;
    int exitCode = -1;
    bool endedAlone = false;
    const auto start = Clock::now();
    while ((line.empty() || chain.empty()) && !endedAlone &&
           Clock::now() - start < std::chrono::milliseconds(4 * kBoundMs)) {
        endedAlone = waitChild(&guard.child, 10, &exitCode);
        const std::string last = firstLine(path);
        line = last.find(" Count: 1 ") != std::string::npos ? last : line;
        const std::vector<std::string> lines = readLines(chainPath);
        chain = chainReported(lines) ? lines : chain;
        report.progress(
            std::chrono::duration<double>(Clock::now() - start).count() / (2 * 600.0 / kTimeScale),
            "slices waited by the child");
    }
    if (!report.check(!endedAlone,
                      "the child ended by itself with %d (2: no time scale; 3: no "
                      "threads)",
                      exitCode)) {
        return;
    }
    const long long childId = guard.child.id;
    report.check(killChild(&guard.child, kBoundMs, &exitCode) && exitCode == kKilledExitCode,
                 "the deadlocked child %lld did not end when killed", childId);

    report.line("the deadlock log c:/deadlock.out is %s", path.c_str());
    report.line("it holds: %s", line.c_str());
    if (!report.check(!line.empty(),
                      "the log did not hold the second slice's report "
                      "(\" Count: 1\") within %u ms",
                      4 * kBoundMs)) {
        return;
    }
    report.check(
        line.find(kFirstName) != std::string::npos || line.find(kSecondName) != std::string::npos,
        "the log line names neither %s nor %s", kFirstName, kSecondName);

    report.line("the wait chain log %s is %s; it holds:", kChainLog, chainPath.c_str());
    std::string cycle;
    std::string missing;
    for (const std::string& node : chain) {
        report.line("  %s", node.c_str());
        cycle = node.rfind("cycle: ", 0) == 0 ? node : cycle;
        missing = node.rfind("no wait chain: ", 0) == 0 ? node : missing;
    }
    if (!missing.empty()) {
        // Wine answers the wait chain functions with ERROR_NOT_SUPPORTED (50).
        report.line("this system has no wait chain traversal, so the chain cannot be shown");
        report.check(chain.size() == 1, "the chain log holds more than its one line");
        report.summary("the log holds the second report; no wait chain traversal here");
        return;
    }
    report.check(!cycle.empty(), "the wait chain log showed no cycle within %u ms", 4 * kBoundMs);
    report.summary("the log holds the second report; the chain shows %s", cycle.c_str());
}

}  // namespace demo
