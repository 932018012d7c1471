// GetDateFormatW and GetTimeFormatW (and their narrow twins): the size protocol, format pictures,
// flags, rejected input, and the user's locale. Written against the Win32 names only.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>

#include "PlatformTestSupport.h"
#include "TestSupport.h"

namespace davro::test {
namespace {

// 2026-12-06 was a Sunday; the day of week is filled in as a caller of the clock would.
SYSTEMTIME sunday(int h = 15, int mi = 11, int s = 10) {
    SYSTEMTIME t = fields(2026, 12, 6, h, mi, s, 500);
    t.wDayOfWeek = 0;
    return t;
}

// Both calls of the size protocol of GetDateFormatW or GetTimeFormatW; "<failed>" when
// either fails.
template <typename Format>
std::wstring format(Format function, LCID locale, DWORD flags, const SYSTEMTIME* t,
                    const wchar_t* picture) {
    const int size = function(locale, flags, t, picture, nullptr, 0);
    std::wstring buffer(static_cast<std::size_t>(std::max(size, 1)), L'#');
    if (size <= 0 || function(locale, flags, t, picture, buffer.data(), size) != size ||
        buffer.back() != L'\0') {
        return L"<failed>";
    }
    buffer.pop_back();
    return buffer;
}
std::wstring date(LCID locale, DWORD flags, const SYSTEMTIME* t, const wchar_t* picture) {
    return format(GetDateFormatW, locale, flags, t, picture);
}
std::wstring time(LCID locale, DWORD flags, const SYSTEMTIME* t, const wchar_t* picture) {
    return format(GetTimeFormatW, locale, flags, t, picture);
}

TEST(Win32LocaleTest, SizeQueryThenWriteAndTooSmallBuffers) {
    const SYSTEMTIME t = sunday();
    EXPECT_EQ(11, GetDateFormatW(LOCALE_INVARIANT, 0, &t, L"yyyy-MM-dd", nullptr, 0));
    wchar_t buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(11, GetDateFormatW(LOCALE_INVARIANT, 0, &t, L"yyyy-MM-dd", buffer, 11));
    EXPECT_EQ(std::wstring(L"2026-12-06"), buffer);
    EXPECT_EQ(L'#', buffer[11]);  // nothing written past the size given
    DAVRO_EXPECT_ERROR(0, ERROR_INSUFFICIENT_BUFFER,
                       GetDateFormatW(LOCALE_INVARIANT, 0, &t, L"yyyy-MM-dd", buffer, 10));
    EXPECT_EQ(9, GetTimeFormatW(LOCALE_INVARIANT, 0, &t, L"HH:mm:ss", nullptr, 0));
    DAVRO_EXPECT_ERROR(0, ERROR_INSUFFICIENT_BUFFER,
                       GetTimeFormatW(LOCALE_INVARIANT, 0, &t, L"HH:mm:ss", buffer, 8));
}

// The narrow calls: the same texts, the size protocol in bytes, the W call's errors.
TEST(Win32LocaleTest, NarrowCallsGiveTheSameTextsSizedInBytes) {
    const SYSTEMTIME t = sunday();
    EXPECT_EQ(11, GetDateFormatA(LOCALE_INVARIANT, 0, &t, "yyyy-MM-dd", nullptr, 0));
    char buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    EXPECT_EQ(11, GetDateFormatA(LOCALE_INVARIANT, 0, &t, "yyyy-MM-dd", buffer, 11));
    EXPECT_EQ(std::string("2026-12-06"), buffer);
    EXPECT_EQ('#', buffer[11]);
    DAVRO_EXPECT_ERROR(0, ERROR_INSUFFICIENT_BUFFER,
                       GetDateFormatA(LOCALE_INVARIANT, 0, &t, "yyyy-MM-dd", buffer, 10));
    EXPECT_EQ(9, GetTimeFormatA(LOCALE_INVARIANT, 0, &t, "HH:mm:ss", buffer, 16));
    EXPECT_EQ(std::string("15:11:10"), buffer);
    SYSTEMTIME bad = t;
    bad.wMonth = 13;
    DAVRO_EXPECT_ERROR(0, ERROR_INVALID_PARAMETER,
                       GetDateFormatA(LOCALE_INVARIANT, 0, &bad, "yyyy", buffer, 16));
}

TEST(Win32LocaleTest, InvariantPicturesAndFlags) {
    const SYSTEMTIME t = sunday();
    const SYSTEMTIME early = sunday(0, 5, 9);
    const SYSTEMTIME march = fields(2009, 3, 1);
    const SYSTEMTIME leapDay = fields(2024, 2, 29);
    struct Case {
        bool isDate;
        const SYSTEMTIME* time;
        DWORD flags;
        const wchar_t* picture;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {true, &t, 0, L"dddd, MMMM d, yyyy", L"Sunday, December 6, 2026"},
        {true, &t, 0, L"ddd dd MMM yy", L"Sun 06 Dec 26"},
        {true, &march, 0, L"dd.MM.yy", L"01.03.09"},
        {true, &t, 0, L"'day' d 'of month' M", L"day 6 of month 12"},
        {true, &leapDay, 0, L"dddd", L"Thursday"},
        {false, &t, 0, L"hh:mm:ss tt", L"03:11:10 PM"},
        {false, &t, 0, L"h:m:s t", L"3:11:10 P"},
        {false, &t, 0, L"HH:mm", L"15:11"},
        {false, &early, 0, L"h:mm:ss tt", L"12:05:09 AM"},
        {false, &early, 0, L"H:m:s", L"0:5:9"},
        {false, &t, TIME_NOSECONDS, L"hh:mm:ss tt", L"03:11 PM"},
        {false, &t, TIME_NOMINUTESORSECONDS, L"hh:mm:ss tt", L"03 PM"},
        {false, &t, TIME_FORCE24HOURFORMAT, L"hh:mm:ss", L"15:11:10"},
        {false, &t, 0, nullptr, L"15:11:10"},  // the invariant format
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected,
                  (c.isDate ? date : time)(LOCALE_INVARIANT, c.flags, c.time, c.picture));
    }
    if (!runningUnderWine()) {  // Wine's "y" is the last two digits, padded for 2009
        // "y" is the year's last digit alone.
        EXPECT_EQ(L"6/12/6", date(LOCALE_INVARIANT, 0, &t, L"d/M/y"));
        EXPECT_EQ(L"1.3.9", date(LOCALE_INVARIANT, 0, &march, L"d.M.y"));
    }
}

TEST(Win32LocaleTest, RejectedInputAndFlagsAndTheCurrentTimeForNull) {
    for (const SYSTEMTIME& bad : {fields(2026, 13, 1), fields(2026, 0, 1), fields(2026, 4, 31),
                                  fields(2026, 2, 29), fields(2026, 1, 0)}) {
        if (runningUnderWine() && bad.wMonth == 2 && bad.wDay == 29) {
            continue;  // Wine formats 29 February of a common year
        }
        DAVRO_EXPECT_ERROR(
            0, ERROR_INVALID_PARAMETER,
            GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &bad, nullptr, nullptr, 0));
    }
    for (const SYSTEMTIME& bad : {sunday(24, 0, 0), sunday(0, 60, 0), sunday(0, 0, 60)}) {
        DAVRO_EXPECT_ERROR(0, ERROR_INVALID_PARAMETER,
                           GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &bad, nullptr, nullptr, 0));
    }
    const SYSTEMTIME t = sunday();
    DAVRO_EXPECT_ERROR(0, ERROR_INVALID_FLAGS,
                       GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE | DATE_LONGDATE, &t,
                                      nullptr, nullptr, 0));
    if (!runningUnderWine()) {  // Wine ignores flags that GetTimeFormatW does not define
        DAVRO_EXPECT_ERROR(0, ERROR_INVALID_FLAGS,
                           GetTimeFormatW(LOCALE_USER_DEFAULT, 0x100, &t, nullptr, nullptr, 0));
    }
    // No time: the current local time, compared at day resolution, so only a midnight
    // between the calls could disturb it.
    SYSTEMTIME now{};
    GetLocalTime(&now);
    EXPECT_EQ(date(LOCALE_INVARIANT, 0, &now, L"yyyy-MM-dd"),
              date(LOCALE_INVARIANT, 0, nullptr, L"yyyy-MM-dd"));
    EXPECT_NE(L"<failed>", time(LOCALE_USER_DEFAULT, 0, nullptr, nullptr));
    EXPECT_NE(L"<failed>", date(LOCALE_USER_DEFAULT, DATE_LONGDATE, nullptr, nullptr));
}

#ifndef _WIN32
// Linux only: the user's locale is chosen by LC_ALL, LC_TIME and LANG, in that order,
// which Windows ignores. An unknown name falls back to the C locale.
TEST(Win32LocaleTest, UserDefaultFollowsTheLocaleVariables) {
    DAVRO_REQUIRE_LOCALE("en_US.UTF-8");
    DAVRO_REQUIRE_LOCALE("de_DE.UTF-8");
    const SYSTEMTIME t = sunday();
    const SYSTEMTIME march = fields(2026, 3, 2, 9, 5, 7);
    struct Case {
        const char* locale;
        bool isDate;
        const SYSTEMTIME* time;
        DWORD flags;
        const wchar_t* picture;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {"en_US.UTF-8", true, &t, DATE_SHORTDATE, nullptr, L"12/06/2026"},
        {"en_US.UTF-8", true, &t, 0, nullptr, L"12/06/2026"},
        {"en_US.UTF-8", true, &t, DATE_LONGDATE, nullptr, L"Sunday, December 6, 2026"},
        {"en_US.UTF-8", false, &t, 0, nullptr, L"03:11:10 PM"},
        {"en_US.UTF-8", false, &t, TIME_NOSECONDS, nullptr, L"03:11 PM"},
        {"en_US.UTF-8", false, &t, TIME_NOTIMEMARKER, nullptr, L"03:11:10"},
        {"en_US.UTF-8", false, &t, TIME_FORCE24HOURFORMAT, nullptr, L"15:11:10"},
        {"de_DE.UTF-8", true, &t, DATE_SHORTDATE, nullptr, L"06.12.2026"},
        {"de_DE.UTF-8", true, &t, DATE_LONGDATE, nullptr, L"Sonntag, 6. Dezember 2026"},
        {"de_DE.UTF-8", true, &march, DATE_LONGDATE, nullptr, L"Montag, 2. M\u00E4rz 2026"},
        {"de_DE.UTF-8", true, &march, 0, L"ddd, dd. MMM", L"Mo, 02. M\u00E4r"},
        {"de_DE.UTF-8", false, &t, 0, nullptr, L"15:11:10"},
        {"de_DE.UTF-8", false, &t, TIME_NOSECONDS, nullptr, L"15:11"},
        {"de_DE.UTF-8", false, &march, 0, nullptr, L"09:05:07"},
        {"xx_NOWHERE.UTF-8", true, &t, DATE_SHORTDATE, nullptr, L"12/06/26"},
        {"xx_NOWHERE.UTF-8", false, &t, 0, nullptr, L"15:11:10"},
    };
    for (const Case& c : cases) {
        setenv("LC_ALL", c.locale, 1);  // NOLINT(concurrency-mt-unsafe)
        EXPECT_EQ(c.expected,
                  (c.isDate ? date : time)(LOCALE_USER_DEFAULT, c.flags, c.time, c.picture))
            << c.locale;
    }
    setenv("LC_ALL", "en_US.UTF-8", 1);  // NOLINT(concurrency-mt-unsafe)
    EXPECT_EQ(L"Sunday, December 6, 2026", date(LOCALE_SYSTEM_DEFAULT, DATE_LONGDATE, &t, nullptr));
    // LC_ALL empty: LC_TIME decides over LANG.
    setenv("LC_ALL", "", 1);              // NOLINT(concurrency-mt-unsafe)
    setenv("LC_TIME", "de_DE.UTF-8", 1);  // NOLINT(concurrency-mt-unsafe)
    setenv("LANG", "en_US.UTF-8", 1);     // NOLINT(concurrency-mt-unsafe)
    EXPECT_EQ(L"06.12.2026", date(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr));
    unsetenv("LC_TIME");  // NOLINT(concurrency-mt-unsafe)
    EXPECT_EQ(L"12/06/2026", date(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr));
    unsetenv("LC_ALL");  // NOLINT(concurrency-mt-unsafe)
}
#endif

}  // namespace
}  // namespace davro::test
