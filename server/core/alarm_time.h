// Text of a stored alarm time (a local timestamp, see platform/clock.h).
#pragma once

#include <cstdint>
#include <string>

namespace heraldon {

// "YYYY-MM-DD", "hh:mm:ss" or both with one blank between; "" for the time 0.
std::string FormatAlarmTime(int64_t storedTime, bool withDate, bool withTime);

}  // namespace heraldon
