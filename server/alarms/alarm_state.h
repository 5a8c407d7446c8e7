// The alarm state machine: what one event does to an alarm object's state and times.
#pragma once

#include <cstdint>

#include "server/store/alarm_object.h"

namespace heraldon {

// Event types.
constexpr int32_t kEventNone = -1;  // a source sent no type: fields change, nothing is recorded
constexpr int32_t kEventInActive = 0;
constexpr int32_t kEventActive = 1;
constexpr int32_t kEventAcked = 2;
constexpr int32_t kEventDisable = 3;
constexpr int32_t kEventEnable = 4;
constexpr int32_t kEventComment = 256;

constexpr int32_t kNoForcedState = -1;

// "InActive", "Active", "Acked", "Disable", "Enable", "Comment" or "Unknown".
const char* EventTypeName(int32_t eventType);

// Applies one event at local time now. While an object is disabled, the events of the
// alarm process (InActive, Active, Acked) move its hidden state (StateBeforeDisable) and
// leave it disabled. A forced state (not kNoForcedState) overrides the resulting State.
// resetSmallComment: when an Active event empties SmallComment; 0 never, 1 always, 2 only
// from the normal or acknowledged-active state.
void UpdateState(AlarmObject& object, int32_t eventType, int32_t forcedState, int64_t now,
                 int resetSmallComment);

}  // namespace heraldon
