#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace platform::clock {

int64_t UtcNow() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t LocalTimestamp(int64_t utcSeconds) {
    // The zone's standard offset plus one hour while daylight saving is in force: the same
    // rule the stored files have always used, so old records keep their meaning even in a
    // zone whose daylight saving shift is not one hour.
    std::tm local = LocalCalendar(utcSeconds);
    return utcSeconds - static_cast<int64_t>(timezone) + (local.tm_isdst > 0 ? 3600 : 0);
}

int CurrentMillisecond() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count() %
                            1000);
}

void InitTimeZone() { tzset(); }

std::tm LocalCalendar(int64_t utcSeconds) {
    std::tm out{};
    time_t t = static_cast<time_t>(utcSeconds);
    localtime_r(&t, &out);
    return out;
}

std::tm CalendarOfLocalTimestamp(int64_t localSeconds) {
    std::tm out{};
    time_t t = static_cast<time_t>(localSeconds);
    // A time beyond what the calendar can hold gives the zero calendar, never garbage.
    if (gmtime_r(&t, &out) == nullptr) out = std::tm{};
    return out;
}

int64_t MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace platform::clock
