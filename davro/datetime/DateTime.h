// YDateTime: a point in time held as a Windows FILETIME.
#pragma once

#include <davro/Export.h>
#include <davro/platform/Win32.h>
#include <davro/string/String.h>

// A UTC point in time: one FILETIME, the count of 100-nanosecond ticks since
// 1601-01-01 00:00:00.000 UTC (10,000 ticks per millisecond).
//
// Built from the clock (default constructor, millisecond resolution), a FILETIME, a Unix
// time in seconds, calendar fields in UTC or local time, or the two 32-bit halves. Read out
// as ticks, Unix seconds, calendar fields (the GMT members in UTC, the others in local time)
// and four texts in the user's locale. Local time always means UTC shifted by the offset in
// force at the moment of the call (summer time included), applied alike to every instant.
// Compared as unsigned tick counts; shifted by seconds in signed 64-bit tick arithmetic that
// wraps on overflow.
//
// A plain value: copies copy the 64-bit value, nothing is owned. Distinct objects are
// independent; one object may be read from several threads at once. Nothing throws except
// allocation in the texts, and nothing reports an error:
//   - calendar fields the platform rejects (month 13, day 31 in April, hour 24, a year
//     outside 1601..30827 after the cut to 16 bits) give tick 0, InvalidDateTime;
//   - a tick count that cannot be broken down into calendar fields (high bit set, e.g. a
//     value shifted before 1601, or before 1601 once the local offset is applied) makes
//     every calendar getter return 0 (day of week included) and every text empty.
class DAVRO_API YDateTime {
public:
    // The current UTC time, a whole number of milliseconds; tick 0 should the clock fail.
    YDateTime();
    YDateTime(const davro::win32::FILETIME& fileTime);  // NOLINT(google-explicit-constructor)
    YDateTime(const YDateTime& other);
    // A Unix time in whole seconds (negative before 1970), relative to the current value
    // of UnixEpochDateTime; no range check (the tick arithmetic wraps).
    YDateTime(const __int64& unixTime);  // NOLINT(google-explicit-constructor)
    // Calendar fields: a nonzero `utc` takes them as UTC, 0 as local time. Each field is
    // taken modulo 65536; the day of week plays no part. Rejected fields give tick 0.
    YDateTime(int utc, int year, int month, int day, int hour, int minute, int second, int millis);
    // The low and high halves of the tick count.
    YDateTime(unsigned int lowDateTime, unsigned int highDateTime);

    // NOLINTBEGIN(misc-unconventional-assign-operator): the exported signatures
    const YDateTime& operator=(const davro::win32::FILETIME& fileTime);
    const YDateTime& operator=(const YDateTime& other);
    // Takes Unix seconds, as the constructor does.
    const YDateTime& operator=(const __int64& unixTime);
    // NOLINTEND(misc-unconventional-assign-operator)

    // The same value as the default constructor.
    static YDateTime getCurrentTime();

    // The object's own stored value.
    const davro::win32::FILETIME& getFileTime() const;
    // The tick count as a signed 64-bit number (negative when the high bit is set).
    __int64 getFileTimeInt64() const;
    // Seconds since UnixEpochDateTime, truncated toward zero.
    __int64 getUnixTime() const;

    // Texts in the user's locale. Short local: short date, one space, time with seconds,
    // both in local time. The other three are dates alone: the long date in local time,
    // the short and long dates in UTC. A part the platform cannot format is left out (a
    // failed date part takes its space with it).
    YString getShortLocalString() const;
    YString getLongLocalString() const;
    YString getShortGMTString() const;
    YString getLongGMTString() const;

    // Calendar fields in local time: year 1601..30827, month 1..12, day 1..31, day of week
    // 1 (Sunday)..7 (Saturday), hour 0..23, minute and second 0..59, millis 0..999.
    // 0 for a value that cannot be broken down.
    int getYear() const;
    int getMonth() const;
    int getDay() const;
    int getDayOfWeek() const;
    int getHour() const;
    int getMinute() const;
    int getSecond() const;
    int getMillis() const;

    // The same fields in UTC.
    int getGMTYear() const;
    int getGMTMonth() const;
    int getGMTDay() const;
    int getGMTDayOfWeek() const;
    int getGMTHour() const;
    int getGMTMinute() const;
    int getGMTSecond() const;
    int getGMTMillis() const;

    // Comparisons of the tick counts as unsigned numbers (CompareFileTime): 1 true, 0 false.
    // A negative tick count is therefore later than every value from 1601 on.
    int operator==(const YDateTime& other) const;
    int operator!=(const YDateTime& other) const;
    int operator<(const YDateTime& other) const;
    int operator<=(const YDateTime& other) const;
    int operator>(const YDateTime& other) const;
    int operator>=(const YDateTime& other) const;

    // Shifts by whole seconds or by fractional seconds (truncated toward zero to whole
    // ticks; NaN shifts by nothing, a span beyond the 64-bit tick range by the largest
    // span of its sign). The tick arithmetic wraps on overflow.
    YDateTime operator+(int seconds) const;
    YDateTime operator-(int seconds) const;
    YDateTime operator+(double seconds) const;
    YDateTime operator-(double seconds) const;
    // (this - other) in seconds, negative when this is the earlier value.
    double operator-(const YDateTime& other) const;
    YDateTime& operator+=(int seconds);
    YDateTime& operator-=(int seconds);
    YDateTime& operator+=(double seconds);
    YDateTime& operator-=(double seconds);

    // Tick 0, 1601-01-01 00:00:00.000 UTC. A named value for clients; writable.
    static YDateTime InvalidDateTime;
    // 1970-01-01 00:00:00.000 UTC, tick 116444736000000000. Every Unix-time conversion
    // reads its current value; writable, and assigning to it shifts later conversions.
    static YDateTime UnixEpochDateTime;

private:
    // The UTC (GMT) or local calendar fields of the value, returned through the caller's
    // structure. A value that cannot be broken down leaves the structure all zero.
    const davro::win32::SYSTEMTIME& getGMTTime(davro::win32::SYSTEMTIME& fields) const;
    const davro::win32::SYSTEMTIME& getLocalTime(davro::win32::SYSTEMTIME& fields) const;

    static __int64 fileTimeToInt64(const davro::win32::FILETIME& fileTime);
    static davro::win32::FILETIME int64ToFileTime(const __int64& ticks);
    static __int64 fileTimeToUnixTime(const davro::win32::FILETIME& fileTime);
    static davro::win32::FILETIME unixTimeToFileTime(const __int64& unixTime);

    davro::win32::FILETIME fileTime_;
};
