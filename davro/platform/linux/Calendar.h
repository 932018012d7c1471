// The Gregorian calendar of the Linux time and locale functions: leap years, month lengths,
// the dates the Win32 functions accept, and days counted from 1601-01-01, the origin of
// FILETIME. Time.cpp converts between FILETIME and SYSTEMTIME with it, Locale.cpp checks
// dates and finds their day of week. Everything is constexpr and checked below.
#pragma once

#include <cstdint>

namespace davro::win32::detail {

// The years that SystemTimeToFileTime and GetDateFormatW accept.
inline constexpr unsigned kFirstYear = 1601;
inline constexpr unsigned kLastYear = 30827;

constexpr bool isLeapYear(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// The days of `month` (1 to 12) in `year`.
constexpr unsigned daysInMonth(unsigned year, unsigned month) {
    constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Whether the date exists and its year lies in kFirstYear..kLastYear.
constexpr bool isValidDate(unsigned year, unsigned month, unsigned day) {
    return year >= kFirstYear && year <= kLastYear && month >= 1 && month <= 12 && day >= 1 &&
           day <= daysInMonth(year, month);
}

// Days from 1601-01-01 to a valid date. 1601 opens a 400-year cycle of the Gregorian
// calendar, so the leap days before year y are just y'/4 - y'/100 + y'/400 with y' the
// number of whole years since 1601.
constexpr std::uint64_t daysSince1601(unsigned year, unsigned month, unsigned day) {
    // Days before the first of each month in a common year.
    constexpr unsigned kDaysBeforeMonth[12] = {0,   31,  59,  90,  120, 151,
                                               181, 212, 243, 273, 304, 334};
    const std::uint64_t years = year - kFirstYear;
    std::uint64_t days = years * 365 + years / 4 - years / 100 + years / 400;
    days += kDaysBeforeMonth[month - 1] + (month > 2 && isLeapYear(year) ? 1 : 0);
    return days + day - 1;
}

// The day of week of a day count since 1601-01-01, a Monday: 0 is Sunday, as in SYSTEMTIME.
constexpr unsigned dayOfWeek(std::uint64_t days) { return static_cast<unsigned>((days + 1) % 7); }

struct CalendarDate {
    unsigned year;
    unsigned month;
    unsigned day;
    unsigned dayOfWeek;  // 0 is Sunday
};

// Takes as many whole periods of `length` days from `days` as it holds, `most` at the most,
// and returns how many it took.
constexpr std::uint64_t takePeriods(std::uint64_t& days, std::uint64_t length,
                                    std::uint64_t most = UINT64_MAX) {
    const std::uint64_t count = days / length < most ? days / length : most;
    days -= count * length;
    return count;
}

// The inverse of daysSince1601, for any count (years beyond kLastYear included). The last
// year of every 4-, 100- and 400-year cycle starting in 1601 is the long one, hence the caps:
// the last day of a long century or year would otherwise count as a whole one more.
constexpr CalendarDate dateOfDay(std::uint64_t days) {
    const unsigned weekday = dayOfWeek(days);
    const std::uint64_t cycles400 = takePeriods(days, 146097);
    const std::uint64_t centuries = takePeriods(days, 36524, 3);
    const std::uint64_t cycles4 = takePeriods(days, 1461);
    const std::uint64_t years = takePeriods(days, 365, 3);
    const auto year =
        static_cast<unsigned>(kFirstYear + cycles400 * 400 + centuries * 100 + cycles4 * 4 + years);
    unsigned month = 1;
    while (days >= daysInMonth(year, month)) {
        days -= daysInMonth(year, month);
        ++month;
    }
    return CalendarDate{year, month, static_cast<unsigned>(days + 1), weekday};
}

// Known days: the Unix epoch (a Thursday), the leap day of 2000 (a Tuesday) and the last
// day that SystemTimeToFileTime accepts.
static_assert(daysSince1601(1970, 1, 1) == 134774);
static_assert(dayOfWeek(daysSince1601(1970, 1, 1)) == 4);
static_assert(dateOfDay(daysSince1601(2000, 2, 29)).day == 29);
static_assert(dateOfDay(daysSince1601(2000, 2, 29)).dayOfWeek == 2);
static_assert(dateOfDay(daysSince1601(kLastYear, 12, 31)).year == kLastYear);
static_assert(!isValidDate(1900, 2, 29) && isValidDate(2000, 2, 29) && !isValidDate(1600, 12, 31));

}  // namespace davro::win32::detail
