// The wait chain log: with DAVRO_WAIT_CHAIN_LOG=<path> set, every deadlock report also
// rewrites <path> with the reporting thread's wait chain, taken by GetThreadWaitChain.
//
// The reporter runs while it reports, and a chain stops at a running thread, so the chain is
// taken by a short-lived observer thread once the reporter waits again (its next watchdog
// slice): then the chain goes reporter -> the object it waits for -> the owner -> ..., and
// in a deadlock comes back to the reporter. The observer writes under the deadlock log's
// lock, without blocking on the file, and ends.
#include <davro/core/detail/WaitChainLog.h>
#include <davro/platform/Environment.h>
#include <davro/platform/detail/LogFile.h>
#include <davro/platform/detail/Utf8.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace davro::win32;

namespace {

constexpr const char* kVariable = "DAVRO_WAIT_CHAIN_LOG";
// How long the observer waits for the reporter to block again: in steps of real time, since
// a scaled clock (DAVRO_TIME_SCALE) would make the steps vanish.
constexpr int kLooks = 200;
constexpr std::chrono::milliseconds kLookStep{5};

// The kinds and statuses of the chain file, in the order of their values from 1.
constexpr const char* kKindTexts[] = {
    "critical-section", "send-message", "mutex",  "alpc",          "com",
    "thread-wait",      "process-wait", "thread", "com-activation"};
constexpr const char* kStatusTexts[] = {"no-access",      "running", "blocked",   "pid-only",
                                        "pid-only-rpcss", "owned",   "not-owned", "abandoned",
                                        "unknown",        "error"};

// The text of value `value` in `texts`, "unknown" for a value outside it.
template <std::size_t N>
const char* textOf(const char* const (&texts)[N], int value) {
    return value >= 1 && value <= static_cast<int>(N) ? texts[value - 1] : "unknown";
}

// A name that the node may not have terminated: at most WCT_OBJNAME_LENGTH characters.
std::string nameOf(const WAITCHAIN_NODE_INFO& node) {
    const WCHAR* name = node.LockObject.ObjectName;
    std::size_t length = 0;
    while (length < WCT_OBJNAME_LENGTH && name[length] != L'\0') {
        ++length;
    }
    return davro::platform::toUtf8(std::wstring_view(name, length));
}

std::string threadText(DWORD threadId) { return "thread " + std::to_string(threadId); }

struct Observation {
    DWORD threadId;
    std::string path;
};

void writeChainFile(const std::string& path, const std::vector<std::string>& lines) {
    CRITICAL_SECTION& lock = davro::detail::deadlockLogLock();
    EnterCriticalSection(&lock);
    try {
        davro::platform::rewriteLinesFile(path, lines);
    } catch (const std::bad_alloc&) {
        // The report is lost; the lock is left below all the same.
    }
    LeaveCriticalSection(&lock);
}

std::string failure(const char* call, DWORD error) {
    return std::string("no wait chain: ") + call + " failed with error " + std::to_string(error);
}

// The observer: waits until the reporter is blocked again, then writes its chain.
unsigned observe(void* argument) {
    const Observation* observation = static_cast<Observation*>(argument);
    try {
        std::vector<std::string> lines;
        HWCT session = OpenThreadWaitChainSession(0, nullptr);
        if (session == nullptr) {
            lines.push_back(failure("OpenThreadWaitChainSession", GetLastError()));
        } else {
            WAITCHAIN_NODE_INFO nodes[WCT_MAX_NODE_COUNT];
            DWORD count = 0;
            BOOL cycle = FALSE;
            for (int look = 0; look < kLooks; ++look) {
                count = WCT_MAX_NODE_COUNT;
                const BOOL whole =
                    GetThreadWaitChain(session, 0, 0, observation->threadId, &count, nodes, &cycle);
                const DWORD error = whole ? ERROR_SUCCESS : GetLastError();
                if (error != ERROR_SUCCESS && error != ERROR_TOO_MANY_THREADS) {
                    lines.push_back(failure("GetThreadWaitChain", error));
                    break;
                }
                if (look + 1 == kLooks || nodes[0].ObjectStatus != WctStatusRunning) {
                    lines = davro::detail::waitChainLines(nodes, count, cycle != FALSE);
                    if (error == ERROR_TOO_MANY_THREADS) {
                        lines.push_back("the chain goes on past " +
                                        std::to_string(WCT_MAX_NODE_COUNT) + " nodes");
                    }
                    break;
                }
                std::this_thread::sleep_for(kLookStep);
            }
            CloseThreadWaitChainSession(session);
        }
        writeChainFile(observation->path, lines);
    } catch (const std::bad_alloc&) {
        // Memory is short: the report is lost, the observer ends.
    }
    delete observation;
    return 0;
}

}  // namespace

namespace {

// The line of node `i` of a chain of `count` nodes.
std::string nodeLine(const WAITCHAIN_NODE_INFO* nodes, DWORD count, DWORD i) {
    const WAITCHAIN_NODE_INFO& node = nodes[i];
    const char* status = textOf(kStatusTexts, node.ObjectStatus);
    if (node.ObjectType != WctThreadType) {
        std::string line = std::string(textOf(kKindTexts, node.ObjectType)) + " \"" + nameOf(node) +
                           "\" " + status;
        if (i + 1 < count && nodes[i + 1].ObjectType == WctThreadType) {
            line += " by " + threadText(nodes[i + 1].ThreadObject.ThreadId);
        }
        return line;
    }
    std::string line = threadText(node.ThreadObject.ThreadId) + " " + status;
    if (node.ObjectStatus == WctStatusBlocked) {
        line += " for " + std::to_string(node.ThreadObject.WaitTime) + " ms";
    }
    if (node.ThreadObject.ProcessId != GetCurrentProcessId()) {
        line += " in process " + std::to_string(node.ThreadObject.ProcessId);
    }
    return line;
}

// The line of a cycle. The chain closes at its last node, a thread that came before: the
// cycle runs from that thread's first node to the end.
std::string cycleLine(const WAITCHAIN_NODE_INFO* nodes, DWORD count) {
    if (count == 0 || nodes[count - 1].ObjectType != WctThreadType) {
        return "cycle";
    }
    const DWORD closing = nodes[count - 1].ThreadObject.ThreadId;
    std::string cycle;
    for (DWORD i = 0; i < count; ++i) {
        const bool inCycle = nodes[i].ObjectType == WctThreadType &&
                             (!cycle.empty() || nodes[i].ThreadObject.ThreadId == closing);
        if (inCycle) {
            cycle +=
                (cycle.empty() ? "cycle: " : " -> ") + threadText(nodes[i].ThreadObject.ThreadId);
        }
    }
    return cycle;
}

}  // namespace

std::vector<std::string> davro::detail::waitChainLines(const WAITCHAIN_NODE_INFO* nodes,
                                                       DWORD count, bool isCycle) {
    std::vector<std::string> lines;
    for (DWORD i = 0; i < count; ++i) {
        lines.push_back(nodeLine(nodes, count, i));
    }
    if (isCycle) {
        lines.push_back(cycleLine(nodes, count));
    }
    return lines;
}

void davro::detail::reportWaitChain() {
    const char* path = std::getenv(kVariable);  // NOLINT(concurrency-mt-unsafe)
    if (path == nullptr || *path == '\0') {
        return;
    }
    auto* observation = new Observation{GetCurrentThreadId(), davro::platform::mapDrivePath(path)};
    const std::uintptr_t thread = _beginthreadex(nullptr, 0, &observe, observation, 0, nullptr);
    if (thread == 0) {
        delete observation;  // no thread to be had: this report has no chain
        return;
    }
    CloseHandle(reinterpret_cast<HANDLE>(thread));  // NOLINT(performance-no-int-to-ptr)
}
