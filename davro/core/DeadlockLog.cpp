// The deadlock log: one line per expired watchdog slice, in "c:/deadlock.out"; with
// DAVRO_WAIT_CHAIN_LOG set, each report is followed by the reporter's wait chain
// (WaitChainLog.cpp).
#include <davro/core/SyncObject.h>
#include <davro/core/detail/WaitChainLog.h>
#include <davro/datetime/DateTime.h>
#include <davro/platform/Environment.h>
#include <davro/platform/detail/LogFile.h>

using namespace davro::win32;

namespace {

constexpr const char* kLogPath = "c:/deadlock.out";

}  // namespace

// The process-wide log lock. A function-local static is initialised exactly once, and a
// thread that arrives while another runs the initialiser waits until it has finished, so
// two threads that report for the first time at the same moment both find the section
// initialised. It is never deleted: a report may still come from a thread that runs while
// the process shuts down, and the section has no destructor to run anyway.
CRITICAL_SECTION& davro::detail::deadlockLogLock() {
    static CRITICAL_SECTION section;
    static const bool initialised = [] {
        InitializeCriticalSection(&section);
        return true;
    }();
    static_cast<void>(initialised);
    return section;
}

namespace {

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
    {
        const LogLockHolder holder(davro::detail::deadlockLogLock());
        const YDateTime now;

        YString line(L"YSyncObject: ");
        line += message;
        line += L" timed out at: ";
        line += now.getShortLocalString();
        line += L" (";
        line += now.getMillis();
        line += L")";
        YGenericString text(line);
        // The file holds this line only. It is written without blocking: a log that is not a
        // regular file, or cannot be written, loses the line and the wait goes on.
        davro::platform::rewriteLineFile(davro::platform::mapDrivePath(kLogPath),
                                         static_cast<char*>(text));
    }
    davro::detail::reportWaitChain();  // nothing unless DAVRO_WAIT_CHAIN_LOG is set
}
