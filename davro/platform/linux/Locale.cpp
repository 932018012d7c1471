// GetDateFormatW and GetTimeFormatW on Linux.
//
// Both functions format through one engine for Win32 format pictures ("dddd, MMMM d, yyyy",
// "HH:mm:ss"). The locale's own formats come from glibc (nl_langinfo_l) and are translated
// from strftime conversions into pictures once per locale:
//   - short date: the locale's date format (D_FMT);
//   - time: the locale's time format (T_FMT, or the 12-hour T_FMT_AMPM it refers to);
//   - long date: glibc has none, so it is made from the order of the short date's fields:
//     month first "dddd, MMMM d, yyyy", day first with dots "dddd, d. MMMM yyyy", other
//     day-first "dddd d MMMM yyyy", year first "dddd, yyyy MMMM d".
// Day and month names and the AM/PM designators are the locale's. LOCALE_USER_DEFAULT and
// LOCALE_SYSTEM_DEFAULT name the user's locale: LC_ALL, else LC_TIME, else LANG, read at each
// call; an unset or unknown name means the C locale. LOCALE_INVARIANT has fixed English
// formats.
#include <davro/platform/Win32.h>
#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Calendar.h"

using namespace davro::win32;

namespace {

// Flags accepted but without effect here: LOCALE_NOUSEROVERRIDE and LOCALE_USE_CP_ACP.
constexpr DWORD kIgnoredFlags = 0x80000000U | 0x40000000U;
constexpr DWORD kDateFlags = DATE_SHORTDATE | DATE_LONGDATE;
constexpr DWORD kTimeFlags =
    TIME_NOMINUTESORSECONDS | TIME_NOSECONDS | TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT;

// Everything the engine needs of one locale, in wide characters.
struct LocaleData {
    std::wstring shortDate;
    std::wstring longDate;
    std::wstring time;
    std::wstring days[7];
    std::wstring shortDays[7];
    std::wstring months[12];      // in a date (genitive where the language has one)
    std::wstring soloMonths[12];  // on their own
    std::wstring shortMonths[12];
    std::wstring am;
    std::wstring pm;
};

// ---- Building a locale's data ----

// Converts a text in the locale's own character set. uselocale() switches only the calling
// thread, and is switched back before returning; mbsrtowcs keeps its state in `state`, not
// in a static of its own, so it is safe on any number of threads at once.
std::wstring widen(const char* text, locale_t locale) {
    if (text == nullptr) {
        return {};
    }
    const locale_t previous = uselocale(locale);
    std::mbstate_t state{};
    const char* source = text;
    const std::size_t length =
        std::mbsrtowcs(nullptr, &source, 0, &state);  // NOLINT(concurrency-mt-unsafe)
    std::wstring wide;
    if (length != static_cast<std::size_t>(-1)) {
        wide.resize(length);
        source = text;
        state = std::mbstate_t{};
        std::mbsrtowcs(wide.data(), &source, length, &state);  // NOLINT(concurrency-mt-unsafe)
    } else {
        for (const char* c = text; *c != '\0'; ++c) {  // not decodable: take bytes as Latin-1
            wide += static_cast<wchar_t>(static_cast<unsigned char>(*c));
        }
    }
    uselocale(previous);
    return wide;
}

// Appends literal text to a picture, quoted so that no letter in it is taken as a field.
void appendLiteral(std::wstring& picture, const std::wstring& text) {
    if (text.empty()) {
        return;
    }
    picture += L'\'';
    for (const wchar_t c : text) {
        picture += c;
        if (c == L'\'') {
            picture += L'\'';
        }
    }
    picture += L'\'';
}

// The picture of each strftime conversion that has one, zero-padded and, where it differs,
// with glibc's "-" flag. No picture gives two digits of the year without padding ("y" is
// one digit).
struct Conversion {
    wchar_t letter;
    const wchar_t* padded;
    const wchar_t* unpadded = nullptr;
};
// Laid out by hand: days, months, years, hours, the rest of the time, whole times and dates.
// clang-format off
constexpr Conversion kConversions[] = {
    {L'd', L"dd", L"d"}, {L'e', L"d"}, {L'a', L"ddd"}, {L'A', L"dddd"},
    {L'm', L"MM", L"M"}, {L'b', L"MMM"}, {L'h', L"MMM"}, {L'B', L"MMMM"},
    {L'Y', L"yyyy"}, {L'y', L"yy"},
    {L'H', L"HH", L"H"}, {L'k', L"H"}, {L'I', L"hh", L"h"}, {L'l', L"h"},
    {L'M', L"mm", L"m"}, {L'S', L"ss", L"s"}, {L'p', L"tt"}, {L'P', L"tt"},
    {L'T', L"HH':'mm':'ss"}, {L'R', L"HH':'mm"}, {L'r', L"hh':'mm':'ss' 'tt"},
    {L'D', L"MM'/'dd'/'yy"}, {L'F', L"yyyy'-'MM'-'dd"},
};
// clang-format on

const Conversion* conversionOf(wchar_t letter) {
    for (const Conversion& conversion : kConversions) {
        if (conversion.letter == letter) {
            return &conversion;
        }
    }
    return nullptr;
}

// Translates a strftime format into a Win32 picture. Conversions without a picture
// equivalent (%Z, %j...) are dropped; glibc's flags (%-d, %Ey...) are understood.
std::wstring pictureOf(const std::wstring& format, const std::wstring& ampmFormat, int depth = 0) {
    std::wstring picture;
    std::wstring literal;
    auto field = [&](const wchar_t* text) {
        appendLiteral(picture, literal);
        literal.clear();
        picture += text;
    };
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != L'%' || i + 1 == format.size()) {
            literal += format[i];
            continue;
        }
        ++i;
        bool unpadded = false;
        while (i + 1 < format.size() && std::wcschr(L"-_0^#EO", format[i]) != nullptr) {
            unpadded = unpadded || format[i] == L'-';
            ++i;
        }
        const wchar_t c = format[i];
        if (c == L'r' && depth == 0 && !ampmFormat.empty()) {
            field(pictureOf(ampmFormat, ampmFormat, depth + 1).c_str());
        } else if (const Conversion* conversion = conversionOf(c)) {
            field(unpadded && conversion->unpadded != nullptr ? conversion->unpadded
                                                              : conversion->padded);
        } else if (c == L'n' || c == L't' || c == L'%') {
            literal += c == L'n' ? L'\n' : c == L't' ? L'\t' : L'%';
        }
    }
    appendLiteral(picture, literal);
    return picture;
}

// The long date, made from the order of the fields in the short date's strftime format.
std::wstring longDatePicture(const std::string& dateFormat) {
    std::size_t day = dateFormat.find_first_of("de");
    std::size_t month = dateFormat.find_first_of("mbBh");
    std::size_t year = dateFormat.find_first_of("yY");
    if (dateFormat.find("%D") != std::string::npos || day == std::string::npos ||
        month == std::string::npos || year == std::string::npos) {
        return L"dddd', 'MMMM' 'd', 'yyyy";
    }
    if (year < day && year < month) {
        return L"dddd', 'yyyy' 'MMMM' 'd";
    }
    if (month < day) {
        return L"dddd', 'MMMM' 'd', 'yyyy";
    }
    if (dateFormat.find('.') != std::string::npos) {
        return L"dddd', 'd'. 'MMMM' 'yyyy";
    }
    return L"dddd' 'd' 'MMMM' 'yyyy";
}

std::unique_ptr<LocaleData> invariantData() {
    static const wchar_t* const kDays[7] = {L"Sunday",   L"Monday", L"Tuesday", L"Wednesday",
                                            L"Thursday", L"Friday", L"Saturday"};
    static const wchar_t* const kMonths[12] = {L"January",   L"February", L"March",    L"April",
                                               L"May",       L"June",     L"July",     L"August",
                                               L"September", L"October",  L"November", L"December"};
    auto data = std::make_unique<LocaleData>();
    data->shortDate = L"MM/dd/yyyy";
    data->longDate = L"dddd, dd MMMM yyyy";
    data->time = L"HH:mm:ss";
    for (int i = 0; i < 7; ++i) {
        data->days[i] = kDays[i];
        data->shortDays[i] = data->days[i].substr(0, 3);
    }
    for (int i = 0; i < 12; ++i) {
        data->months[i] = kMonths[i];
        data->soloMonths[i] = kMonths[i];
        data->shortMonths[i] = data->months[i].substr(0, 3);
    }
    data->am = L"AM";
    data->pm = L"PM";
    return data;
}

std::unique_ptr<LocaleData> localeData(locale_t locale) {
    auto data = std::make_unique<LocaleData>();
    const std::string dateFormat = nl_langinfo_l(D_FMT, locale);
    const std::wstring ampm = widen(nl_langinfo_l(T_FMT_AMPM, locale), locale);
    std::wstring timeFormat = widen(nl_langinfo_l(T_FMT, locale), locale);
    if (timeFormat.empty()) {
        timeFormat = ampm.empty() ? L"%H:%M:%S" : ampm;
    }
    data->shortDate = pictureOf(widen(dateFormat.c_str(), locale), ampm);
    data->longDate = longDatePicture(dateFormat);
    data->time = pictureOf(timeFormat, ampm);
    for (int i = 0; i < 7; ++i) {
        data->days[i] = widen(nl_langinfo_l(DAY_1 + i, locale), locale);
        data->shortDays[i] = widen(nl_langinfo_l(ABDAY_1 + i, locale), locale);
    }
    for (int i = 0; i < 12; ++i) {
        data->months[i] = widen(nl_langinfo_l(MON_1 + i, locale), locale);
        data->soloMonths[i] = widen(nl_langinfo_l(ALTMON_1 + i, locale), locale);
        data->shortMonths[i] = widen(nl_langinfo_l(ABMON_1 + i, locale), locale);
    }
    data->am = widen(nl_langinfo_l(AM_STR, locale), locale);
    data->pm = widen(nl_langinfo_l(PM_STR, locale), locale);
    return data;
}

// The user's locale name: LC_ALL, else LC_TIME, else LANG; "C" when none is set.
std::string userLocaleName() {
    for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"}) {
        const char* value = std::getenv(variable);  // NOLINT(concurrency-mt-unsafe)
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return "C";
}

// The data of a locale, built on first use and kept for the life of the process (a handful
// of locales at most), so that the returned reference stays valid without a lock.
const LocaleData* dataFor(LCID localeId) {
    static std::mutex lock;
    static std::map<std::string, std::unique_ptr<LocaleData>> cache;
    std::string name;
    if (localeId == LOCALE_INVARIANT) {
        name = "\x01invariant";
    } else if (localeId == LOCALE_USER_DEFAULT || localeId == LOCALE_SYSTEM_DEFAULT) {
        name = userLocaleName();
    } else {
        return nullptr;
    }
    const std::lock_guard<std::mutex> guard(lock);
    auto found = cache.find(name);
    if (found != cache.end()) {
        return found->second.get();
    }
    std::unique_ptr<LocaleData> data;
    if (localeId == LOCALE_INVARIANT) {
        data = invariantData();
    } else {
        locale_t locale = newlocale(LC_ALL_MASK, name.c_str(), nullptr);
        if (locale == nullptr) {
            locale = newlocale(LC_ALL_MASK, "C", nullptr);
        }
        if (locale == nullptr) {
            data = invariantData();
        } else {
            data = localeData(locale);
            freelocale(locale);
        }
    }
    return cache.emplace(name, std::move(data)).first->second.get();
}

// ---- The picture engine ----

bool validDate(const SYSTEMTIME& t) { return detail::isValidDate(t.wYear, t.wMonth, t.wDay); }

bool validTime(const SYSTEMTIME& t) {
    return t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 && t.wMilliseconds < 1000;
}

// The day of week of a valid date (0 = Sunday), computed rather than taken from the
// structure, whose wDayOfWeek the caller need not fill in.
unsigned dayOfWeek(const SYSTEMTIME& t) {
    return detail::dayOfWeek(detail::daysSince1601(t.wYear, t.wMonth, t.wDay));
}

std::wstring number(unsigned value, int width) {
    std::wstring digits = std::to_wstring(value);
    while (static_cast<int>(digits.size()) < width) {
        digits.insert(digits.begin(), L'0');
    }
    return digits;
}

// The text of a picture as it is formatted. A field the flags suppress takes the separator
// before it along (or, when it comes first, the separator after it), so "hh:mm:ss tt"
// without seconds is "hh:mm tt".
class PictureText {
public:
    void literal(wchar_t c) {
        if (!dropSeparator_) {
            text_ += c;
        }
    }

    void field(const std::wstring& text) {
        dropSeparator_ = false;
        text_ += text;
        lastFieldEnd_ = text_.size();
        anyField_ = true;
    }

    void suppress() {
        if (anyField_) {
            text_.erase(lastFieldEnd_);
        } else {
            dropSeparator_ = true;
        }
    }

    std::wstring take() { return std::move(text_); }

private:
    std::wstring text_;
    std::size_t lastFieldEnd_ = 0;
    bool anyField_ = false;
    bool dropSeparator_ = false;
};

// Copies the quoted text that opens at picture[i] without its quotes ('' is one quote);
// returns the position after the closing quote.
std::size_t copyQuoted(const std::wstring& picture, std::size_t i, PictureText& out) {
    for (++i; i < picture.size(); ++i) {
        if (picture[i] != L'\'') {
            out.literal(picture[i]);
        } else if (i + 1 < picture.size() && picture[i + 1] == L'\'') {
            out.literal(L'\'');
            ++i;
        } else {
            break;
        }
    }
    return i + 1;
}

// A date field: `letter` (d, M, y or g) written `count` times. `hasDay` tells whether the
// picture shows the day, which decides the form of a month name.
void dateField(wchar_t letter, int count, const SYSTEMTIME& t, const LocaleData& data, bool hasDay,
               PictureText& out) {
    switch (letter) {
        case L'd':
            out.field(count == 1   ? number(t.wDay, 1)
                      : count == 2 ? number(t.wDay, 2)
                      : count == 3 ? data.shortDays[dayOfWeek(t)]
                                   : data.days[dayOfWeek(t)]);
            break;
        case L'M':
            out.field(count <= 2   ? number(t.wMonth, count)
                      : count == 3 ? data.shortMonths[t.wMonth - 1]
                      : hasDay     ? data.months[t.wMonth - 1]
                                   : data.soloMonths[t.wMonth - 1]);
            break;
        case L'y':  // y: the last digit, yy: the last two, more: the whole year
            out.field(count == 1   ? number(t.wYear % 10, 1)
                      : count == 2 ? number(t.wYear % 100, 2)
                                   : number(t.wYear, 1));
            break;
        default:  // g, the era: the Gregorian calendar has only one, which no locale here shows
            break;
    }
}

// A time field: `letter` (h, H, m, s or t) written `count` times, under the flags.
void timeField(wchar_t letter, int count, const SYSTEMTIME& t, const LocaleData& data, DWORD flags,
               PictureText& out) {
    const int width = count >= 2 ? 2 : 1;
    switch (letter) {
        case L'h':
        case L'H': {
            unsigned hour = t.wHour;
            if (letter == L'h' && (flags & TIME_FORCE24HOURFORMAT) == 0) {
                hour = hour % 12 == 0 ? 12 : hour % 12;
            }
            out.field(number(hour, width));
            break;
        }
        case L'm':
            if ((flags & TIME_NOMINUTESORSECONDS) != 0) {
                out.suppress();
            } else {
                out.field(number(t.wMinute, width));
            }
            break;
        case L's':
            if ((flags & (TIME_NOMINUTESORSECONDS | TIME_NOSECONDS)) != 0) {
                out.suppress();
            } else {
                out.field(number(t.wSecond, width));
            }
            break;
        case L't': {
            const std::wstring& marker = t.wHour < 12 ? data.am : data.pm;
            if ((flags & (TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT)) != 0 || marker.empty()) {
                out.suppress();
            } else {
                out.field(count == 1 ? marker.substr(0, 1) : marker);
            }
            break;
        }
        default:
            break;
    }
}

// Formats `picture`. Date pictures know d, M, y and g; time pictures h, H, m, s and t; every
// other character is copied, and text in single quotes is copied without the quotes ('' is
// one quote). TIME_FORCE24HOURFORMAT reads h as H and drops the AM/PM marker with
// TIME_NOTIMEMARKER; fields the flags suppress are left out as PictureText says.
std::wstring formatPicture(const std::wstring& picture, const SYSTEMTIME& t, const LocaleData& data,
                           bool date, DWORD flags) {
    PictureText out;
    const bool hasDay = date && picture.find(L'd') != std::wstring::npos;
    const wchar_t* const fields = date ? L"dMyg" : L"hHmst";
    for (std::size_t i = 0; i < picture.size();) {
        const wchar_t c = picture[i];
        if (c == L'\'') {
            i = copyQuoted(picture, i, out);
            continue;
        }
        int count = 0;
        while (i < picture.size() && picture[i] == c) {
            ++count;
            ++i;
        }
        if (std::wcschr(fields, c) == nullptr) {
            for (; count > 0; --count) {
                out.literal(c);
            }
        } else if (date) {
            dateField(c, count, t, data, hasDay, out);
        } else {
            timeField(c, count, t, data, flags, out);
        }
    }
    return out.take();
}

// The size protocol shared by both functions: size 0 asks for the characters needed,
// terminating null included; a smaller buffer fails with ERROR_INSUFFICIENT_BUFFER.
int deliver(const std::wstring& text, LPWSTR buffer, int size) {
    const auto needed = static_cast<int>(text.size() + 1);
    if (size == 0) {
        return needed;
    }
    if (size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::wmemcpy(buffer, text.c_str(), text.size() + 1);
    return needed;
}

// What both functions do once their flags are checked: the locale's data, the fields (the
// local time now when none are given), the picture (given, else the locale's) and the size
// protocol. Unknown locales and out-of-range fields fail with ERROR_INVALID_PARAMETER.
int formatFields(LCID locale, DWORD flags, const SYSTEMTIME* given, bool date, LPCWSTR format,
                 LPWSTR text, int size) {
    const LocaleData* data = dataFor(locale);
    SYSTEMTIME fields{};
    if (given == nullptr) {
        GetLocalTime(&fields);
    } else {
        fields = *given;
    }
    if (data == nullptr || !(date ? validDate(fields) : validTime(fields))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring picture;
    if (format != nullptr) {
        picture = format;
    } else if (!date) {
        picture = data->time;
    } else {
        picture = (flags & DATE_LONGDATE) != 0 ? data->longDate : data->shortDate;
    }
    return deliver(formatPicture(picture, fields, *data, date, date ? 0 : flags), text, size);
}

}  // namespace

namespace davro::win32 {

int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR format,
                   LPWSTR dateText, int size) {
    if (size < 0 || (size > 0 && dateText == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD kinds = flags & kDateFlags;
    if ((flags & ~(kDateFlags | kIgnoredFlags)) != 0 || kinds == kDateFlags ||
        (format != nullptr && kinds != 0)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    return formatFields(locale, flags, date, true, format, dateText, size);
}

int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR format,
                   LPWSTR timeText, int size) {
    if (size < 0 || (size > 0 && timeText == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((flags & ~(kTimeFlags | kIgnoredFlags)) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    return formatFields(locale, flags, time, false, format, timeText, size);
}

}  // namespace davro::win32
