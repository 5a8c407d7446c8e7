// What the server does with an alarm event: from an Alarm Source's packet or raised by the
// server itself on its system source. Everything here runs under the alarm data lock
// (taken here, re-entrantly, where a caller may not hold it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "server/store/alarm_source.h"

namespace heraldon {

// Feed, count and (within the storage limits) store an event that has just been applied.
void RecordEvent(AlarmSource& source, AlarmObject& object, int32_t eventType,
                 int32_t previousState);

// An object or event packet (0x7210, 0x7280) of a connected source. Returns the object, or
// null when the packet was ignored.
AlarmObject* ApplySourceEvent(AlarmSource& source, uint32_t packetType, const uint8_t* payload,
                              size_t size);

// An event on the system source's alarm with this tag (created on first use). Null when the
// alarm threads are not running, the tag is empty, or category or area is negative.
AlarmObject* RaiseSystemAlarm(int32_t eventType, std::string_view tag, std::string_view name,
                              std::string_view description, int32_t category, int32_t area,
                              std::string_view user);

// Finds the object a source reports, by SCADAHandle (if not 0) and then by tag, in use
// first, then removed (moving it back into use); null when there is none.
AlarmObject* FindReportedObject(AlarmSource& source, uint32_t scadaHandle, std::string_view tag);

// Moves an object to the removed list as removed (State 4096) and tells the clients.
void RemoveAlarmObject(AlarmSource& source, AlarmObject& object);

}  // namespace heraldon
