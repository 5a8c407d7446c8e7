#include "server/core/alarm_time.h"

#include <cstdio>

#include "platform/clock.h"

namespace heraldon {

std::string FormatAlarmTime(int64_t storedTime, bool withDate, bool withTime) {
    if (storedTime == 0) return "";
    // A stored time already is local wall-clock time, daylight saving included. Converting
    // it as a local instant again would add the summer hour a second time.
    std::tm t = platform::clock::CalendarOfLocalTimestamp(storedTime);
    char text[64];
    int n = 0;
    if (withDate) {
        n = std::snprintf(text, sizeof text, "%04lld-%02d-%02d", static_cast<long long>(t.tm_year) + 1900,
                          t.tm_mon + 1, t.tm_mday);
    }
    if (withDate && withTime) text[n++] = ' ';
    if (withTime) {
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%02d:%02d:%02d", t.tm_hour,
                      t.tm_min, t.tm_sec);
    } else {
        text[n] = '\0';
    }
    return text;
}

}  // namespace heraldon
