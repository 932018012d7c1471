// GetDateFormatW and GetTimeFormatW: the size protocol, format pictures, flags, rejected
// input, and the user's locale. Written against the Win32 names only.
#include <davro/platform/Win32.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>

#include "TestSupport.h"

using namespace davro::win32;
using davro::test::runningUnderWine;

namespace {

SYSTEMTIME fields(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(y);
    t.wMonth = static_cast<WORD>(mo);
    t.wDay = static_cast<WORD>(d);
    t.wHour = static_cast<WORD>(h);
    t.wMinute = static_cast<WORD>(mi);
    t.wSecond = static_cast<WORD>(s);
    t.wMilliseconds = static_cast<WORD>(ms);
    return t;
}

// 2026-12-06 was a Sunday; the day of week is filled in as a caller of the clock would.
SYSTEMTIME sunday(int h = 15, int mi = 11, int s = 10) {
    SYSTEMTIME t = fields(2026, 12, 6, h, mi, s, 500);
    t.wDayOfWeek = 0;
    return t;
}

// Both calls of the size protocol; "<failed>" when either fails.
std::wstring date(LCID locale, DWORD flags, const SYSTEMTIME* t, const wchar_t* picture) {
    const int size = GetDateFormatW(locale, flags, t, picture, nullptr, 0);
    if (size <= 0) {
        return L"<failed>";
    }
    std::wstring buffer(static_cast<std::size_t>(size), L'#');
    if (GetDateFormatW(locale, flags, t, picture, buffer.data(), size) != size) {
        return L"<failed>";
    }
    EXPECT_EQ(L'\0', buffer[static_cast<std::size_t>(size) - 1]);
    buffer.pop_back();
    return buffer;
}

std::wstring time(LCID locale, DWORD flags, const SYSTEMTIME* t, const wchar_t* picture) {
    const int size = GetTimeFormatW(locale, flags, t, picture, nullptr, 0);
    if (size <= 0) {
        return L"<failed>";
    }
    std::wstring buffer(static_cast<std::size_t>(size), L'#');
    if (GetTimeFormatW(locale, flags, t, picture, buffer.data(), size) != size) {
        return L"<failed>";
    }
    EXPECT_EQ(L'\0', buffer[static_cast<std::size_t>(size) - 1]);
    buffer.pop_back();
    return buffer;
}

TEST(Win32LocaleTest, SizeQueryThenWriteAndTooSmallBuffers) {
    const SYSTEMTIME t = sunday();
    EXPECT_EQ(11, GetDateFormatW(LOCALE_INVARIANT, 0, &t, L"yyyy-MM-dd", nullptr, 0));
    wchar_t buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(11, GetDateFormatW(LOCALE_INVARIANT, 0, &t, L"yyyy-MM-dd", buffer, 11));
    EXPECT_EQ(std::wstring(L"2026-12-06"), buffer);
    EXPECT_EQ(L'#', buffer[11]);  // nothing written past the size given

    SetLastError(0);
    EXPECT_EQ(0, GetDateFormatW(LOCALE_INVARIANT, 0, &t, L"yyyy-MM-dd", buffer, 10));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    EXPECT_EQ(9, GetTimeFormatW(LOCALE_INVARIANT, 0, &t, L"HH:mm:ss", nullptr, 0));
    SetLastError(0);
    EXPECT_EQ(0, GetTimeFormatW(LOCALE_INVARIANT, 0, &t, L"HH:mm:ss", buffer, 8));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(9, GetTimeFormatW(LOCALE_INVARIANT, 0, &t, L"HH:mm:ss", buffer, 16));
    EXPECT_EQ(std::wstring(L"15:11:10"), buffer);
}

TEST(Win32LocaleTest, DatePictures) {
    const SYSTEMTIME t = sunday();
    EXPECT_EQ(L"Sunday, December 6, 2026", date(LOCALE_INVARIANT, 0, &t, L"dddd, MMMM d, yyyy"));
    EXPECT_EQ(L"Sun 06 Dec 26", date(LOCALE_INVARIANT, 0, &t, L"ddd dd MMM yy"));
    const SYSTEMTIME march = fields(2009, 3, 1);
    EXPECT_EQ(L"01.03.09", date(LOCALE_INVARIANT, 0, &march, L"dd.MM.yy"));
    if (!runningUnderWine()) {  // Wine's "y" is the last two digits, padded for 2009
        // "y" is the year's last digit alone.
        EXPECT_EQ(L"6/12/6", date(LOCALE_INVARIANT, 0, &t, L"d/M/y"));
        EXPECT_EQ(L"1.3.9", date(LOCALE_INVARIANT, 0, &march, L"d.M.y"));
    }
    EXPECT_EQ(L"day 6 of month 12", date(LOCALE_INVARIANT, 0, &t, L"'day' d 'of month' M"));
    const SYSTEMTIME leapDay = fields(2024, 2, 29);
    EXPECT_EQ(L"Thursday", date(LOCALE_INVARIANT, 0, &leapDay, L"dddd"));
}

TEST(Win32LocaleTest, TimePicturesAndFlags) {
    const SYSTEMTIME t = sunday(15, 11, 10);
    EXPECT_EQ(L"03:11:10 PM", time(LOCALE_INVARIANT, 0, &t, L"hh:mm:ss tt"));
    EXPECT_EQ(L"3:11:10 P", time(LOCALE_INVARIANT, 0, &t, L"h:m:s t"));
    EXPECT_EQ(L"15:11", time(LOCALE_INVARIANT, 0, &t, L"HH:mm"));
    const SYSTEMTIME early = sunday(0, 5, 9);
    EXPECT_EQ(L"12:05:09 AM", time(LOCALE_INVARIANT, 0, &early, L"h:mm:ss tt"));
    EXPECT_EQ(L"0:5:9", time(LOCALE_INVARIANT, 0, &early, L"H:m:s"));

    EXPECT_EQ(L"03:11 PM", time(LOCALE_INVARIANT, TIME_NOSECONDS, &t, L"hh:mm:ss tt"));
    EXPECT_EQ(L"03 PM", time(LOCALE_INVARIANT, TIME_NOMINUTESORSECONDS, &t, L"hh:mm:ss tt"));
    EXPECT_EQ(L"15:11:10", time(LOCALE_INVARIANT, TIME_FORCE24HOURFORMAT, &t, L"hh:mm:ss"));
    EXPECT_EQ(L"15:11:10", time(LOCALE_INVARIANT, 0, &t, nullptr));  // the invariant format
}

TEST(Win32LocaleTest, RejectedInputAndFlags) {
    for (const SYSTEMTIME& bad : {fields(2026, 13, 1), fields(2026, 0, 1), fields(2026, 4, 31),
                                  fields(2026, 2, 29), fields(2026, 1, 0)}) {
        if (runningUnderWine() && bad.wMonth == 2 && bad.wDay == 29) {
            continue;  // Wine formats 29 February of a common year
        }
        SetLastError(0);
        EXPECT_EQ(0, GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &bad, nullptr, nullptr, 0))
            << bad.wMonth << "/" << bad.wDay;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
    for (const SYSTEMTIME& bad : {sunday(24, 0, 0), sunday(0, 60, 0), sunday(0, 0, 60)}) {
        SetLastError(0);
        EXPECT_EQ(0, GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &bad, nullptr, nullptr, 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
    const SYSTEMTIME t = sunday();
    SetLastError(0);
    EXPECT_EQ(0, GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE | DATE_LONGDATE, &t, nullptr,
                                nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
    if (!runningUnderWine()) {  // Wine ignores flags that GetTimeFormatW does not define
        SetLastError(0);
        EXPECT_EQ(0, GetTimeFormatW(LOCALE_USER_DEFAULT, 0x100, &t, nullptr, nullptr, 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
    }
}

TEST(Win32LocaleTest, NullTimeMeansTheCurrentLocalTime) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    // Compared at day resolution, so only a midnight between the calls could disturb it.
    EXPECT_EQ(date(LOCALE_INVARIANT, 0, &now, L"yyyy-MM-dd"),
              date(LOCALE_INVARIANT, 0, nullptr, L"yyyy-MM-dd"));
    EXPECT_NE(L"<failed>", time(LOCALE_USER_DEFAULT, 0, nullptr, nullptr));
    EXPECT_NE(L"<failed>", date(LOCALE_USER_DEFAULT, DATE_LONGDATE, nullptr, nullptr));
}

#ifndef _WIN32
// Linux only: the user's locale is chosen by LC_ALL/LC_TIME/LANG, which Windows ignores.
class UserLocale {
public:
    explicit UserLocale(const char* name) { setenv("LC_ALL", name, 1); }  // NOLINT
    ~UserLocale() { unsetenv("LC_ALL"); }                                 // NOLINT
    UserLocale(const UserLocale&) = delete;
    UserLocale& operator=(const UserLocale&) = delete;
};

TEST(Win32LocaleTest, UserDefaultFormatsInAmericanEnglish) {
    DAVRO_REQUIRE_LOCALE("en_US.UTF-8");
    UserLocale locale("en_US.UTF-8");
    const SYSTEMTIME t = sunday();
    EXPECT_EQ(L"12/06/2026", date(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr));
    EXPECT_EQ(L"12/06/2026", date(LOCALE_USER_DEFAULT, 0, &t, nullptr));
    EXPECT_EQ(L"Sunday, December 6, 2026", date(LOCALE_USER_DEFAULT, DATE_LONGDATE, &t, nullptr));
    EXPECT_EQ(L"Sunday, December 6, 2026", date(LOCALE_SYSTEM_DEFAULT, DATE_LONGDATE, &t, nullptr));
    EXPECT_EQ(L"03:11:10 PM", time(LOCALE_USER_DEFAULT, 0, &t, nullptr));
    EXPECT_EQ(L"03:11 PM", time(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &t, nullptr));
    EXPECT_EQ(L"03:11:10", time(LOCALE_USER_DEFAULT, TIME_NOTIMEMARKER, &t, nullptr));
    EXPECT_EQ(L"15:11:10", time(LOCALE_USER_DEFAULT, TIME_FORCE24HOURFORMAT, &t, nullptr));
}

TEST(Win32LocaleTest, UserDefaultFormatsInGerman) {
    DAVRO_REQUIRE_LOCALE("de_DE.UTF-8");
    UserLocale locale("de_DE.UTF-8");
    const SYSTEMTIME t = sunday();
    EXPECT_EQ(L"06.12.2026", date(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr));
    EXPECT_EQ(L"Sonntag, 6. Dezember 2026", date(LOCALE_USER_DEFAULT, DATE_LONGDATE, &t, nullptr));
    EXPECT_EQ(L"15:11:10", time(LOCALE_USER_DEFAULT, 0, &t, nullptr));
    EXPECT_EQ(L"15:11", time(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &t, nullptr));
    const SYSTEMTIME march = fields(2026, 3, 2, 9, 5, 7);
    EXPECT_EQ(L"Montag, 2. M\u00E4rz 2026",
              date(LOCALE_USER_DEFAULT, DATE_LONGDATE, &march, nullptr));
    EXPECT_EQ(L"Mo, 02. M\u00E4r", date(LOCALE_USER_DEFAULT, 0, &march, L"ddd, dd. MMM"));
    EXPECT_EQ(L"09:05:07", time(LOCALE_USER_DEFAULT, 0, &march, nullptr));
}

TEST(Win32LocaleTest, LocaleVariablesArePrecedenceOrderedAndUnknownNamesFallBack) {
    DAVRO_REQUIRE_LOCALE("en_US.UTF-8");
    DAVRO_REQUIRE_LOCALE("de_DE.UTF-8");
    const SYSTEMTIME t = sunday();
    {
        UserLocale locale("");                // LC_ALL empty: LC_TIME decides over LANG
        setenv("LC_TIME", "de_DE.UTF-8", 1);  // NOLINT
        setenv("LANG", "en_US.UTF-8", 1);     // NOLINT
        EXPECT_EQ(L"06.12.2026", date(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr));
        unsetenv("LC_TIME");  // NOLINT
        EXPECT_EQ(L"12/06/2026", date(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr));
    }
    {
        UserLocale locale("xx_NOWHERE.UTF-8");  // not installed: the C locale
        EXPECT_EQ(L"12/06/26", date(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr));
        EXPECT_EQ(L"15:11:10", time(LOCALE_USER_DEFAULT, 0, &t, nullptr));
    }
}
#endif

}  // namespace
