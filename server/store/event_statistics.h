// The activation counters of an alarm object and the history storage limits they drive.
#pragma once

#include <cstdint>

#include "server/store/alarm_object.h"

namespace heraldon {

struct StorageLimits {
    int perHour = 0;   // MaxStoredEventsPerHour
    int perDay = 0;    // MaxStoredEventsPerDay
    int perMonth = 0;  // MaxStoredEventsPerMonth
};

// Whether an event of this object may go into history, decided before the event itself is
// counted: any negative limit stores everything; otherwise the activations of the current
// local hour, of the last 24 hours and of the last 30 days must each be below their limit
// (so the default limits of 0 store nothing).
bool MayStoreHistoricEvent(const AlarmObject& object, const StorageLimits& limits, int localHour);

// Counts an activation (an Active event that found the object neither active nor
// acknowledged-active) in the slot of the current local hour, today's slot and the total.
void CountHistoricEvent(AlarmObject& object, int32_t previousState, int localHour);

}  // namespace heraldon
