// YDateTime: the clock, Unix time, calendar fields, arithmetic in seconds and texts in the
// user's locale.
#include <davro/datetime/DateTime.h>

#include <cstdio>

namespace {

void print(const char* what, const YString& text) {
    std::printf("%-12s %s\n", what, static_cast<char*>(YGenericString(text)));
}

}  // namespace

int main() {
    const YDateTime now;                                    // the clock, UTC, in milliseconds
    const YDateTime leapDay(1, 2024, 2, 29, 12, 30, 0, 0);  // calendar fields in UTC
    const YDateTime later = leapDay + 90;                   // 90 seconds on
    const YDateTime fromUnix(static_cast<__int64>(1709209800));
    const YDateTime rejected(1, 2023, 13, 1, 0, 0, 0, 0);  // no month 13: InvalidDateTime

    print("now", now.getShortLocalString());
    print("leap day", leapDay.getLongGMTString());
    print("later", later.getShortLocalString());
    std::printf("Unix time %lld, %g s apart, 12:%02d:%02d UTC\n",
                static_cast<long long>(leapDay.getUnixTime()), later - leapDay,
                later.getGMTMinute(), later.getGMTSecond());

    const bool ok = leapDay == fromUnix && later > leapDay && later - leapDay == 90.0 &&
                    later.getGMTMinute() == 31 && later.getGMTSecond() == 30 &&
                    rejected == YDateTime::InvalidDateTime && now > leapDay;
    return ok ? 0 : 1;
}
