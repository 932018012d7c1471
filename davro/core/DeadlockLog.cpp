// The deadlock log: one line per expired watchdog slice, in "c:/deadlock.out".
#include <davro/core/SyncObject.h>
#include <davro/datetime/DateTime.h>
#include <davro/platform/Environment.h>

#include <fstream>

using namespace davro::win32;

namespace {

constexpr const char* kLogPath = "c:/deadlock.out";

// The process-wide log lock. A function-local static is initialised exactly once, and a
// thread that arrives while another runs the initialiser waits until it has finished, so
// two threads that report for the first time at the same moment both find the section
// initialised. It is never deleted: a report may still come from a thread that runs while
// the process shuts down, and the section has no destructor to run anyway.
CRITICAL_SECTION& logLock() {
    static CRITICAL_SECTION section;
    static const bool initialised = [] {
        InitializeCriticalSection(&section);
        return true;
    }();
    static_cast<void>(initialised);
    return section;
}

// Holds the log lock for one scope, so that it is left on every path out of a report,
// an exception from building or converting the line included.
class LogLockHolder {
public:
    explicit LogLockHolder(CRITICAL_SECTION& section) : section_(section) {
        EnterCriticalSection(&section_);
    }
    ~LogLockHolder() { LeaveCriticalSection(&section_); }
    LogLockHolder(const LogLockHolder&) = delete;
    LogLockHolder& operator=(const LogLockHolder&) = delete;

private:
    CRITICAL_SECTION& section_;
};

}  // namespace

void YSyncObject::reportDeadlock(const YString& message) {
    const LogLockHolder holder(logLock());
    const YDateTime now;

    // out|ate without app or in opens as fopen's "w": an existing file is cut to zero
    // length, so the file holds the latest line only. Text mode: std::endl is stored as
    // "\n" on Linux and as CR LF on Windows. On Windows the stream sits on the C runtime's
    // fopen, whose share mode is deny-none (_SH_DENYNO): other processes may hold the file
    // open meanwhile. A file that cannot be opened leaves the stream failed, and the
    // writes below then do nothing: the line is lost and the wait goes on.
    std::ofstream file(davro::platform::mapDrivePath(kLogPath),
                       std::ios_base::out | std::ios_base::ate);

    YString line(L"YSyncObject: ");
    line += message;
    line += L" timed out at: ";
    line += now.getShortLocalString();
    line += L" (";
    line += now.getMillis();
    line += L")";
    YGenericString text(line);
    // The line waits in the stream's buffer until std::endl flushes it, so a line shorter
    // than that buffer reaches the file in one write.
    file << static_cast<char*>(text) << std::endl;
    file.close();
}
