// The Win32 time functions on Linux: the clock, the calendar conversions between FILETIME
// and SYSTEMTIME, local time, tick counts and Sleep.
//
// The clock honours DAVRO_TIME_SCALE=N: from its first use it runs N times faster than
// real time (real time at first use + N x elapsed monotonic time), tick counts advance N
// times faster, and Sleep sleeps N times shorter. With N = 1 the wall clock is read directly.
// Sleep ends at an absolute monotonic deadline, so a suspension does not stretch it.
#include <davro/platform/Environment.h>
#include <davro/platform/Win32.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "Calendar.h"

using namespace davro::win32;

namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::uint64_t kTicksPerMs = 10000;
constexpr std::uint64_t kTicksPerDay = 86400 * kTicksPerSecond;
// Ticks from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ULL;
constexpr std::uint64_t kHighBit = 1ULL << 63;

constexpr std::uint64_t toTicks(const FILETIME& fileTime) {
    return (static_cast<std::uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
}

constexpr FILETIME toFileTime(std::uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFU), static_cast<DWORD>(ticks >> 32)};
}

std::uint64_t readClock(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * kTicksPerSecond +
           static_cast<std::uint64_t>(now.tv_nsec) / 100;
}

// The instant the scaled clocks start from: wall and monotonic readings taken together.
struct ClockBase {
    std::uint64_t wallTicks;
    std::uint64_t monotonicTicks;
};

const ClockBase& clockBase() {
    static const ClockBase base{readClock(CLOCK_REALTIME) + kUnixEpochTicks,
                                readClock(CLOCK_MONOTONIC)};
    return base;
}

// Monotonic ticks, N times faster than real time since the first use of the clock.
std::uint64_t scaledMonotonicTicks() {
    const ClockBase& base = clockBase();
    const std::uint64_t elapsed = readClock(CLOCK_MONOTONIC) - base.monotonicTicks;
    return base.monotonicTicks + elapsed * davro::platform::timeScale();
}

std::uint64_t currentTicks() {
    const unsigned scale = davro::platform::timeScale();
    if (scale == 1) {
        return readClock(CLOCK_REALTIME) + kUnixEpochTicks;
    }
    const ClockBase& base = clockBase();
    return base.wallTicks + (readClock(CLOCK_MONOTONIC) - base.monotonicTicks) * scale;
}

// The offset of local time from UTC in force now, summer time included, in ticks. TZ is
// read afresh (tzset) so that a change of the zone takes effect on the next call, as it
// does on Windows.
std::int64_t currentOffsetTicks() {
    tzset();
    const auto now = static_cast<time_t>((currentTicks() - kUnixEpochTicks) / kTicksPerSecond);
    tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return 0;
    }
    return static_cast<std::int64_t>(local.tm_gmtoff) * static_cast<std::int64_t>(kTicksPerSecond);
}

}  // namespace

namespace davro::win32 {

void GetSystemTime(LPSYSTEMTIME systemTime) {
    const FILETIME now = toFileTime(currentTicks());
    FileTimeToSystemTime(&now, systemTime);
}

void GetLocalTime(LPSYSTEMTIME systemTime) {
    const FILETIME now = toFileTime(currentTicks());
    FILETIME local{};
    FileTimeToLocalFileTime(&now, &local);
    FileTimeToSystemTime(&local, systemTime);
}

void GetSystemTimeAsFileTime(LPFILETIME fileTime) { *fileTime = toFileTime(currentTicks()); }

BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime) {
    // The day of week is not checked and plays no part, as on Windows.
    const SYSTEMTIME& f = *systemTime;
    const bool valid = detail::isValidDate(f.wYear, f.wMonth, f.wDay) && f.wHour < 24 &&
                       f.wMinute < 60 && f.wSecond < 60 && f.wMilliseconds < 1000;
    if (!valid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::uint64_t seconds =
        (detail::daysSince1601(f.wYear, f.wMonth, f.wDay) * 24 + f.wHour) * 3600 +
        std::uint64_t{f.wMinute} * 60 + f.wSecond;
    *fileTime = toFileTime(seconds * kTicksPerSecond + f.wMilliseconds * kTicksPerMs);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
    const std::uint64_t ticks = toTicks(*fileTime);
    if ((ticks & kHighBit) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const detail::CalendarDate date = detail::dateOfDay(ticks / kTicksPerDay);
    SYSTEMTIME fields{};
    fields.wYear = static_cast<WORD>(date.year);
    fields.wMonth = static_cast<WORD>(date.month);
    fields.wDay = static_cast<WORD>(date.day);
    fields.wDayOfWeek = static_cast<WORD>(date.dayOfWeek);
    const std::uint64_t inDay = ticks % kTicksPerDay;
    fields.wHour = static_cast<WORD>(inDay / (3600 * kTicksPerSecond));
    fields.wMinute = static_cast<WORD>(inDay / (60 * kTicksPerSecond) % 60);
    fields.wSecond = static_cast<WORD>(inDay / kTicksPerSecond % 60);
    fields.wMilliseconds = static_cast<WORD>(inDay / kTicksPerMs % 1000);
    *systemTime = fields;
    return TRUE;
}

// Both directions shift by the offset in force now, whatever instant is converted: this is
// what the Windows functions do, and callers that round-trip rely on the symmetry. The sum
// wraps in unsigned arithmetic; a result with the high bit set is left for
// FileTimeToSystemTime to reject.
BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localFileTime) {
    const auto offset = static_cast<std::uint64_t>(currentOffsetTicks());
    *localFileTime = toFileTime(toTicks(*fileTime) + offset);
    return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* localFileTime, LPFILETIME fileTime) {
    const auto offset = static_cast<std::uint64_t>(currentOffsetTicks());
    *fileTime = toFileTime(toTicks(*localFileTime) - offset);
    return TRUE;
}

LONG CompareFileTime(const FILETIME* first, const FILETIME* second) {
    const std::uint64_t a = toTicks(*first);
    const std::uint64_t b = toTicks(*second);
    return a < b ? -1 : (a > b ? 1 : 0);
}

ULONGLONG GetTickCount64() { return scaledMonotonicTicks() / kTicksPerMs; }

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

void Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;) {
            pause();
        }
    }
    // Scaled in microseconds so that short sleeps under a large scale do not all vanish.
    const std::uint64_t micros =
        static_cast<std::uint64_t>(milliseconds) * 1000 / davro::platform::timeScale();
    if (micros == 0) {
        sched_yield();
        return;
    }
    // An absolute deadline on the monotonic clock: a sleep interrupted by a signal goes back
    // to sleep until the same instant, so time spent in a handler, such as SuspendThread's
    // park, counts as slept. (A relative sleep restarted with its remainder would stretch by
    // the whole suspension.) clock_nanosleep returns its error rather than setting errno.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(micros / 1000000);
    deadline.tv_nsec += static_cast<long>(micros % 1000000 * 1000);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace davro::win32
