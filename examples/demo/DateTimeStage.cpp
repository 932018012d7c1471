// The datetime stage: the current time through the four locale texts (the user's
// LC_ALL/LC_TIME/LANG on Linux), Unix time, calendar read-out and date arithmetic.
#include <davro/datetime/DateTime.h>
#include <davro/string/String.h>

#include <string>

#include "Stages.h"

namespace demo {
namespace {

std::string text(const YString& value) {
    YGenericString rendering(value);
    return static_cast<char*>(rendering);
}

}  // namespace

void runDateTime(Report& report) {
    const YDateTime now;
    const std::string shortLocal = text(now.getShortLocalString());
    const std::string longLocal = text(now.getLongLocalString());
    const std::string shortUtc = text(now.getShortGMTString());
    const std::string longUtc = text(now.getLongGMTString());
    report.line("short local:  %s", shortLocal.c_str());
    report.line("long local:   %s", longLocal.c_str());
    report.line("short UTC:    %s", shortUtc.c_str());
    report.line("long UTC:     %s", longUtc.c_str());
    report.check(!shortLocal.empty() && !longLocal.empty() && !shortUtc.empty() && !longUtc.empty(),
                 "a date-time text is empty");

    const __int64 unixTime = now.getUnixTime();
    report.line("Unix time:    %lld", static_cast<long long>(unixTime));
    const YDateTime again(unixTime);
    report.check(again.getUnixTime() == unixTime && now - again >= 0 && now - again < 1,
                 "Unix time %lld does not come back from a date-time made of it",
                 static_cast<long long>(unixTime));

    report.line(
        "calendar:     %04d-%02d-%02d, day of week %d (1 = Sunday), %02d h local, "
        "%02d h UTC",
        now.getYear(), now.getMonth(), now.getDay(), now.getDayOfWeek(), now.getHour(),
        now.getGMTHour());

    const YDateTime nextWeek = now + 7 * 86400;
    const double span = nextWeek - now;
    report.line("in a week:    %s", text(nextWeek.getLongLocalString()).c_str());
    report.line("span:         %.0f s between them, later > earlier: %d", span, nextWeek > now);
    report.check(span == 7 * 86400.0 && nextWeek > now && (nextWeek - 7 * 86400) == now,
                 "a week later is %.3f s away", span);
    const std::string epoch = text(YDateTime::UnixEpochDateTime.getLongGMTString());
    report.line("Unix epoch:   %s (UTC)", epoch.c_str());
    report.check(YDateTime::UnixEpochDateTime.getGMTYear() == 1970 &&
                     YDateTime::UnixEpochDateTime.getUnixTime() == 0,
                 "the Unix epoch is not 1970-01-01 00:00 UTC");
    report.summary("%s", longLocal.c_str());
}

}  // namespace demo
