// Storing events in the day files, and the activation counters' hourly clean-up.
// Everything here runs under the alarm data lock, held by the caller.
#pragma once

#include <cstdint>
#include <string>

#include "server/store/alarm_source.h"
#include "server/store/user_names.h"

namespace heraldon {

// Appends one event to today's day file of the source, or to its gathered records while
// source.gatherHistory is set. userName and comment may be null (the event path passes
// neither). False when a file could not be opened: the event is then not recorded.
bool StoreHistoricEvent(AlarmSource& source, const AlarmObject& object, int32_t eventType,
                        UserNameStore& userNames, const char* userName = nullptr,
                        const std::string* comment = nullptr);

// Writes the gathered records and their count.
void FlushHistoricEvents(AlarmSource& source);

// Flushes, then closes the day file pair.
void CloseHistoricFiles(AlarmSource& source);

// Ages the hour and day counters of the source's objects by the hours and days passed
// since the last clean-up.
void CleanupEventStatistics(AlarmSource& source);

// Scans and repairs every day file of the source in the given mode (1 to 4).
void RepairHistoricFiles(AlarmSource& source, int mode);

}  // namespace heraldon
