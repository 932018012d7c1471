#include <davro/datetime/DateTime.h>

#include <cmath>
#include <cstdint>

using namespace davro::win32;

namespace {

constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr double kTicksPerSecondDouble = 10000000.0;

// Signed 64-bit tick arithmetic that wraps instead of overflowing: the sum is formed in
// unsigned arithmetic (always defined) and converted back, which is two's complement.
__int64 wrappingAdd(__int64 a, __int64 b) {
    return static_cast<__int64>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

__int64 wrappingSub(__int64 a, __int64 b) {
    return static_cast<__int64>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

__int64 wrappingMul(__int64 a, __int64 b) {
    return static_cast<__int64>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
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

YDateTime YDateTime::getCurrentTime() { return YDateTime(); }

const FILETIME& YDateTime::getFileTime() const { return fileTime_; }

__int64 YDateTime::getFileTimeInt64() const { return fileTimeToInt64(fileTime_); }

__int64 YDateTime::getUnixTime() const { return fileTimeToUnixTime(fileTime_); }

// ---- Texts ----

namespace {

// A date-only text: size query, then a call that writes into the resized string.
YString dateText(const SYSTEMTIME& fields, DWORD flags) {
    YString result(L"");
    const int needed = GetDateFormatW(LOCALE_USER_DEFAULT, flags, &fields, nullptr, nullptr, 0);
    if (needed > 0) {
        result.resize(needed + 1);
        GetDateFormatW(LOCALE_USER_DEFAULT, flags, &fields, nullptr, result, needed + 1);
    }
    return result;
}

}  // namespace

YString YDateTime::getShortLocalString() const {
    YString result(L"");
    SYSTEMTIME fields{};
    if (getLocalTime(fields).wYear == 0) {
        // Not a calendar value: the zeroed fields would still pass as the time 00:00:00, so
        // the time part is left out along with the date.
        return result;
    }
    const int dateSize =
        GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &fields, nullptr, nullptr, 0);
    if (dateSize > 0) {
        YString date(dateSize, 32);
        GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &fields, nullptr, date, dateSize);
        result += date;
        result += L" ";
    }
    const int timeSize = GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &fields, nullptr, nullptr, 0);
    if (timeSize > 0) {
        YString time(timeSize, 32);
        GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &fields, nullptr, time, timeSize);
        result += time;
    }
    return result;
}

YString YDateTime::getLongLocalString() const {
    SYSTEMTIME fields{};
    return dateText(getLocalTime(fields), DATE_LONGDATE);
}

YString YDateTime::getShortGMTString() const {
    SYSTEMTIME fields{};
    return dateText(getGMTTime(fields), DATE_SHORTDATE);
}

YString YDateTime::getLongGMTString() const {
    SYSTEMTIME fields{};
    return dateText(getGMTTime(fields), DATE_LONGDATE);
}

// ---- Calendar read-out ----

namespace {

// 1 (Sunday) to 7 (Saturday); 0 when the value could not be broken down (year 0).
int dayOfWeek(const SYSTEMTIME& fields) { return fields.wYear == 0 ? 0 : fields.wDayOfWeek + 1; }

}  // namespace

// Each getter breaks the value down afresh; nothing is cached.
int YDateTime::getYear() const {
    SYSTEMTIME f;
    return getLocalTime(f).wYear;
}
int YDateTime::getMonth() const {
    SYSTEMTIME f;
    return getLocalTime(f).wMonth;
}
int YDateTime::getDay() const {
    SYSTEMTIME f;
    return getLocalTime(f).wDay;
}
int YDateTime::getDayOfWeek() const {
    SYSTEMTIME f;
    return dayOfWeek(getLocalTime(f));
}
int YDateTime::getHour() const {
    SYSTEMTIME f;
    return getLocalTime(f).wHour;
}
int YDateTime::getMinute() const {
    SYSTEMTIME f;
    return getLocalTime(f).wMinute;
}
int YDateTime::getSecond() const {
    SYSTEMTIME f;
    return getLocalTime(f).wSecond;
}
int YDateTime::getMillis() const {
    SYSTEMTIME f;
    return getLocalTime(f).wMilliseconds;
}

int YDateTime::getGMTYear() const {
    SYSTEMTIME f;
    return getGMTTime(f).wYear;
}
int YDateTime::getGMTMonth() const {
    SYSTEMTIME f;
    return getGMTTime(f).wMonth;
}
int YDateTime::getGMTDay() const {
    SYSTEMTIME f;
    return getGMTTime(f).wDay;
}
int YDateTime::getGMTDayOfWeek() const {
    SYSTEMTIME f;
    return dayOfWeek(getGMTTime(f));
}
int YDateTime::getGMTHour() const {
    SYSTEMTIME f;
    return getGMTTime(f).wHour;
}
int YDateTime::getGMTMinute() const {
    SYSTEMTIME f;
    return getGMTTime(f).wMinute;
}
int YDateTime::getGMTSecond() const {
    SYSTEMTIME f;
    return getGMTTime(f).wSecond;
}
int YDateTime::getGMTMillis() const {
    SYSTEMTIME f;
    return getGMTTime(f).wMilliseconds;
}

// A failed breakdown leaves every field 0, so that the getters have a defined result for
// tick counts with the high bit set (the platform conversion rejects them).
const SYSTEMTIME& YDateTime::getGMTTime(SYSTEMTIME& fields) const {
    if (FileTimeToSystemTime(&fileTime_, &fields) == FALSE) {
        fields = SYSTEMTIME{};
    }
    return fields;
}

const SYSTEMTIME& YDateTime::getLocalTime(SYSTEMTIME& fields) const {
    FILETIME local{0, 0};
    if (FileTimeToLocalFileTime(&fileTime_, &local) == FALSE ||
        FileTimeToSystemTime(&local, &fields) == FALSE) {
        fields = SYSTEMTIME{};
    }
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

YDateTime YDateTime::operator+(int seconds) const {
    return YDateTime(int64ToFileTime(wrappingAdd(fileTimeToInt64(fileTime_), ticksOf(seconds))));
}

YDateTime YDateTime::operator-(int seconds) const {
    return YDateTime(int64ToFileTime(wrappingSub(fileTimeToInt64(fileTime_), ticksOf(seconds))));
}

YDateTime YDateTime::operator+(double seconds) const {
    return YDateTime(int64ToFileTime(wrappingAdd(fileTimeToInt64(fileTime_), ticksOf(seconds))));
}

YDateTime YDateTime::operator-(double seconds) const {
    return YDateTime(int64ToFileTime(wrappingSub(fileTimeToInt64(fileTime_), ticksOf(seconds))));
}

double YDateTime::operator-(const YDateTime& other) const {
    const __int64 ticks = wrappingSub(fileTimeToInt64(fileTime_), fileTimeToInt64(other.fileTime_));
    return static_cast<double>(ticks) / kTicksPerSecondDouble;
}

YDateTime& YDateTime::operator+=(int seconds) {
    fileTime_ = int64ToFileTime(wrappingAdd(fileTimeToInt64(fileTime_), ticksOf(seconds)));
    return *this;
}

YDateTime& YDateTime::operator-=(int seconds) {
    fileTime_ = int64ToFileTime(wrappingSub(fileTimeToInt64(fileTime_), ticksOf(seconds)));
    return *this;
}

YDateTime& YDateTime::operator+=(double seconds) {
    fileTime_ = int64ToFileTime(wrappingAdd(fileTimeToInt64(fileTime_), ticksOf(seconds)));
    return *this;
}

YDateTime& YDateTime::operator-=(double seconds) {
    fileTime_ = int64ToFileTime(wrappingSub(fileTimeToInt64(fileTime_), ticksOf(seconds)));
    return *this;
}

// ---- Conversions ----

__int64 YDateTime::fileTimeToInt64(const FILETIME& fileTime) {
    const std::uint64_t bits =
        (static_cast<std::uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
    return static_cast<__int64>(bits);
}

FILETIME YDateTime::int64ToFileTime(const __int64& ticks) {
    const auto bits = static_cast<std::uint64_t>(ticks);
    FILETIME fileTime;
    fileTime.dwLowDateTime = static_cast<DWORD>(bits & 0xFFFFFFFFU);
    fileTime.dwHighDateTime = static_cast<DWORD>(bits >> 32);
    return fileTime;
}

__int64 YDateTime::fileTimeToUnixTime(const FILETIME& fileTime) {
    // Integer division truncates toward zero: -1.5 s gives -1, -0.5 s gives 0.
    return wrappingSub(fileTimeToInt64(fileTime), fileTimeToInt64(UnixEpochDateTime.fileTime_)) /
           kTicksPerSecond;
}

FILETIME YDateTime::unixTimeToFileTime(const __int64& unixTime) {
    return int64ToFileTime(wrappingAdd(fileTimeToInt64(UnixEpochDateTime.fileTime_),
                                       wrappingMul(unixTime, kTicksPerSecond)));
}
