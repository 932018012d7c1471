#include <davro/datetime/DateTime.h>

#include <cmath>
#include <cstdint>

using namespace davro::win32;

namespace {

constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr double kTicksPerSecondDouble = 10000000.0;

// The tick count of a FILETIME as one unsigned number, and back. Tick arithmetic is done on
// these: unsigned arithmetic is always defined, so signed 64-bit tick counts wrap instead of
// overflowing (two's complement once converted back).
std::uint64_t bitsOf(const FILETIME& fileTime) {
    return (static_cast<std::uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
}

FILETIME fileTimeOf(std::uint64_t bits) {
    return FILETIME{static_cast<DWORD>(bits & 0xFFFFFFFFU), static_cast<DWORD>(bits >> 32)};
}

// `fileTime` moved later or earlier by `ticks`, wrapping.
FILETIME later(const FILETIME& fileTime, __int64 ticks) {
    return fileTimeOf(bitsOf(fileTime) + static_cast<std::uint64_t>(ticks));
}

FILETIME earlier(const FILETIME& fileTime, __int64 ticks) {
    return fileTimeOf(bitsOf(fileTime) - static_cast<std::uint64_t>(ticks));
}

// The signed tick count from `from` to `to`, wrapping.
__int64 ticksBetween(const FILETIME& from, const FILETIME& to) {
    const std::uint64_t difference = bitsOf(to) - bitsOf(from);
    return static_cast<__int64>(difference);
}

// Whole seconds as ticks; |n| * 10^7 < 2^55, so this never overflows.
__int64 ticksOf(int seconds) { return static_cast<__int64>(seconds) * kTicksPerSecond; }

// Fractional seconds as ticks, truncated toward zero. Converting a double outside the
// 64-bit range (or NaN) to an integer is undefined, so those cases are decided here:
// NaN gives no ticks, anything beyond the range the largest count of its sign.
__int64 ticksOf(double seconds) {
    const double ticks = seconds * kTicksPerSecondDouble;
    if (std::isnan(ticks)) {
        return 0;
    }
    if (ticks >= 9223372036854775808.0) {  // 2^63
        return INT64_MAX;
    }
    if (ticks < -9223372036854775808.0) {
        return INT64_MIN;
    }
    return static_cast<__int64>(ticks);
}

}  // namespace

// Loading the library initialises these two, in this order; the second goes through the
// calendar conversion, which keeps no state of its own and so is safe this early.
YDateTime YDateTime::InvalidDateTime(0U, 0U);
YDateTime YDateTime::UnixEpochDateTime(1, 1970, 1, 1, 0, 0, 0, 0);

YDateTime::YDateTime() : fileTime_{0, 0} {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    if (SystemTimeToFileTime(&now, &fileTime_) == FALSE) {
        fileTime_ = FILETIME{0, 0};
    }
}

YDateTime::YDateTime(const FILETIME& fileTime) : fileTime_(fileTime) {}

YDateTime::YDateTime(const YDateTime& other) = default;

YDateTime::YDateTime(const __int64& unixTime) : fileTime_(unixTimeToFileTime(unixTime)) {}

YDateTime::YDateTime(int utc, int year, int month, int day, int hour, int minute, int second,
                     int millis)
    : fileTime_{0, 0} {
    // Each field is cut to its low 16 bits (a defined modular conversion).
    SYSTEMTIME fields{};
    fields.wYear = static_cast<WORD>(year);
    fields.wMonth = static_cast<WORD>(month);
    fields.wDay = static_cast<WORD>(day);
    fields.wHour = static_cast<WORD>(hour);
    fields.wMinute = static_cast<WORD>(minute);
    fields.wSecond = static_cast<WORD>(second);
    fields.wMilliseconds = static_cast<WORD>(millis);
    // Rejected fields give tick 0 in both modes; in particular a rejected local time is not
    // shifted by the zone offset into a tick count below zero.
    if (utc != 0) {
        if (SystemTimeToFileTime(&fields, &fileTime_) == FALSE) {
            fileTime_ = FILETIME{0, 0};
        }
        return;
    }
    FILETIME local{0, 0};
    if (SystemTimeToFileTime(&fields, &local) == FALSE ||
        LocalFileTimeToFileTime(&local, &fileTime_) == FALSE) {
        fileTime_ = FILETIME{0, 0};
    }
}

YDateTime::YDateTime(unsigned int lowDateTime, unsigned int highDateTime)
    : fileTime_{lowDateTime, highDateTime} {}

// The assignments return a const reference, as their exported signatures do; the copy
// assignment therefore cannot be defaulted.
// NOLINTBEGIN(misc-unconventional-assign-operator,modernize-use-equals-default)
const YDateTime& YDateTime::operator=(const FILETIME& fileTime) {
    fileTime_ = fileTime;
    return *this;
}

const YDateTime& YDateTime::operator=(const YDateTime& other) {
    fileTime_ = other.fileTime_;
    return *this;
}

const YDateTime& YDateTime::operator=(const __int64& unixTime) {
    fileTime_ = unixTimeToFileTime(unixTime);
    return *this;
}
// NOLINTEND(misc-unconventional-assign-operator,modernize-use-equals-default)

YDateTime YDateTime::getCurrentTime() {
    return YDateTime();  // NOLINT(modernize-return-braced-init-list): now, not an empty value
}

const FILETIME& YDateTime::getFileTime() const { return fileTime_; }

__int64 YDateTime::getFileTimeInt64() const { return fileTimeToInt64(fileTime_); }

__int64 YDateTime::getUnixTime() const { return fileTimeToUnixTime(fileTime_); }

// ---- Calendar fields ----

namespace {

// The calendar fields of a tick count in UTC, or in local time. A failed breakdown leaves
// every field 0, so that the getters have a defined result for tick counts with the high
// bit set (the platform conversion rejects them).
SYSTEMTIME utcFields(const FILETIME& fileTime) {
    SYSTEMTIME fields{};
    if (FileTimeToSystemTime(&fileTime, &fields) == FALSE) {
        fields = SYSTEMTIME{};
    }
    return fields;
}

SYSTEMTIME localFields(const FILETIME& fileTime) {
    FILETIME local{0, 0};
    if (FileTimeToLocalFileTime(&fileTime, &local) == FALSE) {
        return SYSTEMTIME{};
    }
    return utcFields(local);
}

// 1 (Sunday) to 7 (Saturday); 0 when the value could not be broken down (year 0).
int dayOfWeek(const SYSTEMTIME& fields) { return fields.wYear == 0 ? 0 : fields.wDayOfWeek + 1; }

}  // namespace

// ---- Texts ----

namespace {

// Appends what GetDateFormatW or GetTimeFormatW (`format`) writes for `fields` in the user's
// locale: a size query, then a call that writes into a string of that size. False, and
// nothing appended, when the platform cannot format the fields.
template <class Format>
bool appendText(YString& out, Format format, const SYSTEMTIME& fields, DWORD flags) {
    const int needed = format(LOCALE_USER_DEFAULT, flags, &fields, nullptr, nullptr, 0);
    if (needed <= 0) {
        return false;
    }
    YString text(needed, L' ');  // the terminating null included
    format(LOCALE_USER_DEFAULT, flags, &fields, nullptr, text, needed);
    out += text;
    return true;
}

YString dateText(const SYSTEMTIME& fields, DWORD flags) {
    YString result(L"");
    appendText(result, GetDateFormatW, fields, flags);
    return result;
}

}  // namespace

YString YDateTime::getShortLocalString() const {
    YString result(L"");
    const SYSTEMTIME fields = localFields(fileTime_);
    if (fields.wYear == 0) {
        // Not a calendar value: the zeroed fields would still pass as the time 00:00:00, so
        // the time part is left out along with the date.
        return result;
    }
    if (appendText(result, GetDateFormatW, fields, DATE_SHORTDATE)) {
        result += L" ";
    }
    appendText(result, GetTimeFormatW, fields, 0);
    return result;
}

YString YDateTime::getLongLocalString() const {
    return dateText(localFields(fileTime_), DATE_LONGDATE);
}

YString YDateTime::getShortGMTString() const {
    return dateText(utcFields(fileTime_), DATE_SHORTDATE);
}

YString YDateTime::getLongGMTString() const {
    return dateText(utcFields(fileTime_), DATE_LONGDATE);
}

// ---- Calendar read-out ----

// The getter of one calendar field in local time, get<name>, and in UTC, getGMT<name>: each
// breaks the value down afresh into the fields `f` (nothing is cached) and returns `value`.
#define DAVRO_CALENDAR_GETTERS(name, value)          \
    int YDateTime::get##name() const {               \
        const SYSTEMTIME f = localFields(fileTime_); \
        return value;                                \
    }                                                \
    int YDateTime::getGMT##name() const {            \
        const SYSTEMTIME f = utcFields(fileTime_);   \
        return value;                                \
    }

DAVRO_CALENDAR_GETTERS(Year, f.wYear)
DAVRO_CALENDAR_GETTERS(Month, f.wMonth)
DAVRO_CALENDAR_GETTERS(Day, f.wDay)
DAVRO_CALENDAR_GETTERS(DayOfWeek, dayOfWeek(f))
DAVRO_CALENDAR_GETTERS(Hour, f.wHour)
DAVRO_CALENDAR_GETTERS(Minute, f.wMinute)
DAVRO_CALENDAR_GETTERS(Second, f.wSecond)
DAVRO_CALENDAR_GETTERS(Millis, f.wMilliseconds)

#undef DAVRO_CALENDAR_GETTERS

const SYSTEMTIME& YDateTime::getGMTTime(SYSTEMTIME& fields) const {
    fields = utcFields(fileTime_);
    return fields;
}

const SYSTEMTIME& YDateTime::getLocalTime(SYSTEMTIME& fields) const {
    fields = localFields(fileTime_);
    return fields;
}

// ---- Comparison ----

int YDateTime::operator==(const YDateTime& other) const {
    return CompareFileTime(&fileTime_, &other.fileTime_) == 0 ? 1 : 0;
}
int YDateTime::operator!=(const YDateTime& other) const {
    return CompareFileTime(&fileTime_, &other.fileTime_) != 0 ? 1 : 0;
}
int YDateTime::operator<(const YDateTime& other) const {
    return CompareFileTime(&fileTime_, &other.fileTime_) < 0 ? 1 : 0;
}
int YDateTime::operator<=(const YDateTime& other) const {
    return CompareFileTime(&fileTime_, &other.fileTime_) <= 0 ? 1 : 0;
}
int YDateTime::operator>(const YDateTime& other) const {
    return CompareFileTime(&fileTime_, &other.fileTime_) > 0 ? 1 : 0;
}
int YDateTime::operator>=(const YDateTime& other) const {
    return CompareFileTime(&fileTime_, &other.fileTime_) >= 0 ? 1 : 0;
}

// ---- Arithmetic ----

namespace {

// `target` with `value` assigned, for the compound assignments: the class's own assignments
// return a const reference.
YDateTime& assign(YDateTime& target, const YDateTime& value) {
    target = value;
    return target;
}

}  // namespace

YDateTime YDateTime::operator+(int seconds) const { return {later(fileTime_, ticksOf(seconds))}; }

YDateTime YDateTime::operator-(int seconds) const { return {earlier(fileTime_, ticksOf(seconds))}; }

YDateTime YDateTime::operator+(double seconds) const {
    return {later(fileTime_, ticksOf(seconds))};
}

YDateTime YDateTime::operator-(double seconds) const {
    return {earlier(fileTime_, ticksOf(seconds))};
}

double YDateTime::operator-(const YDateTime& other) const {
    return static_cast<double>(ticksBetween(other.fileTime_, fileTime_)) / kTicksPerSecondDouble;
}

YDateTime& YDateTime::operator+=(int seconds) { return assign(*this, *this + seconds); }

YDateTime& YDateTime::operator-=(int seconds) { return assign(*this, *this - seconds); }

YDateTime& YDateTime::operator+=(double seconds) { return assign(*this, *this + seconds); }

YDateTime& YDateTime::operator-=(double seconds) { return assign(*this, *this - seconds); }

// ---- Conversions ----

__int64 YDateTime::fileTimeToInt64(const FILETIME& fileTime) {
    const std::uint64_t bits = bitsOf(fileTime);
    return static_cast<__int64>(bits);
}

FILETIME YDateTime::int64ToFileTime(const __int64& ticks) {
    return fileTimeOf(static_cast<std::uint64_t>(ticks));
}

__int64 YDateTime::fileTimeToUnixTime(const FILETIME& fileTime) {
    // Integer division truncates toward zero: -1.5 s gives -1, -0.5 s gives 0.
    return ticksBetween(UnixEpochDateTime.fileTime_, fileTime) / kTicksPerSecond;
}

FILETIME YDateTime::unixTimeToFileTime(const __int64& unixTime) {
    const std::uint64_t ticks = static_cast<std::uint64_t>(unixTime) * kTicksPerSecond;
    return later(UnixEpochDateTime.fileTime_, static_cast<__int64>(ticks));
}
