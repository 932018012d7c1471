// The Davro demo: shows what the library offers, one line per item.
//
// For now: the current time through the four locale texts (the user's LC_ALL/LC_TIME/LANG
// on Linux), Unix time, calendar read-out and date arithmetic.
#include <davro/datetime/DateTime.h>
#include <davro/string/String.h>

#include <cstdio>
#include <string>

namespace {

void line(const char* label, const YString& text) {
    YGenericString rendering(text);
    std::printf("%-22s %s\n", label, static_cast<char*>(rendering));
}

// YString appends int; a 64-bit count goes through the standard library's digits.
YString number(long long value) { return YString(std::to_wstring(value).c_str()); }

}  // namespace

int main() {
    std::puts("davro demo");
    const YDateTime now;
    line("short local:", now.getShortLocalString());
    line("long local:", now.getLongLocalString());
    line("short UTC:", now.getShortGMTString());
    line("long UTC:", now.getLongGMTString());
    line("Unix time:", number(now.getUnixTime()));

    YString fields;
    fields += now.getYear();
    fields += L"-";
    fields += now.getMonth();
    fields += L"-";
    fields += now.getDay();
    fields += L", day of week ";
    fields += now.getDayOfWeek();
    fields += L" (1 = Sunday), ";
    fields += now.getHour();
    fields += L" h local, ";
    fields += now.getGMTHour();
    fields += L" h UTC";
    line("calendar:", fields);

    const YDateTime nextWeek = now + 7 * 86400;
    line("in a week:", nextWeek.getLongLocalString());
    YString span;
    span += static_cast<int>(nextWeek - now);
    span += L" s between them, later > earlier: ";
    span += nextWeek > now;
    line("span:", span);
    line("Unix epoch (UTC):", YDateTime::UnixEpochDateTime.getLongGMTString());
    return 0;
}
