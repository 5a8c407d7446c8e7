// Wall-clock time as the alarm server stores it.
//
// A "local timestamp" is a signed 64-bit count of seconds since 1970-01-01 00:00 of local
// wall-clock time: UTC seconds minus the zone's standard offset, plus 3600 while daylight
// saving time is in force at that instant. Stored alarm times use it; a few fields are
// plain UTC seconds instead.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform::clock {

// Reads the zone (TZ or the system's) once, at start-up, before any thread runs; the
// conversions below use it from every thread. Call again after changing TZ (tests).
void InitTimeZone();

// UTC seconds since 1970.
int64_t UtcNow();

// The local timestamp of a UTC instant.
int64_t LocalTimestamp(int64_t utcSeconds);
inline int64_t LocalNow() { return LocalTimestamp(UtcNow()); }

// Milliseconds within the current second (0 to 999), for the millisecond fields.
int CurrentMillisecond();

// Broken-down local time of a UTC instant (localtime_r).
std::tm LocalCalendar(int64_t utcSeconds);
inline std::tm LocalCalendarNow() { return LocalCalendar(UtcNow()); }

// Broken-down fields of a local timestamp, read as the wall-clock time it already is.
std::tm CalendarOfLocalTimestamp(int64_t localSeconds);

// Monotonic milliseconds, for measuring waits.
int64_t MonotonicMs();

void SleepMs(int ms);

}  // namespace platform::clock
