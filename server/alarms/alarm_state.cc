#include "server/alarms/alarm_state.h"

namespace heraldon {

const char* EventTypeName(int32_t eventType) {
    switch (eventType) {
        case kEventInActive: return "InActive";
        case kEventActive: return "Active";
        case kEventAcked: return "Acked";
        case kEventDisable: return "Disable";
        case kEventEnable: return "Enable";
        case kEventComment: return "Comment";
        default: return "Unknown";
    }
}

void UpdateState(AlarmObject& o, int32_t eventType, int32_t forcedState, int64_t now,
                 int resetSmallComment) {
    o.LastEventTime = now;
    o.LastEventMillisecond = 0;

    bool processEvent = eventType == kEventInActive || eventType == kEventActive ||
                        eventType == kEventAcked;
    bool hidden = o.State == kStateDisabled && processEvent;
    int32_t& working = hidden ? o.StateBeforeDisable : o.State;
    bool forced = forcedState != kNoForcedState;

    switch (eventType) {
        case kEventInActive:
            o.InActiveTime = now;
            o.InActiveMillisecond = 0;
            if (!forced) {
                if (working == kStateActiveUnacked) {
                    working = kStateInactiveUnacked;
                } else if (working == kStateActiveAcked) {
                    working = kStateNormal;
                }
            }
            break;
        case kEventActive:
            o.InActiveTime = 0;
            o.InActiveMillisecond = 0;
            o.ActiveTime = now;
            o.ActiveMillisecond = 0;
            if (!forced) {
                if (resetSmallComment == 1 ||
                    (resetSmallComment == 2 &&
                     (working == kStateNormal || working == kStateActiveAcked))) {
                    SetText(o.SmallComment, "");
                }
                working = kStateActiveUnacked;
            }
            break;
        case kEventAcked:
            o.AckedTime = now;
            o.AckedMillisecond = 0;
            if (!forced) {
                if (working == kStateActiveUnacked) {
                    working = kStateActiveAcked;
                } else if (working == kStateInactiveUnacked) {
                    working = kStateNormal;
                }
            }
            break;
        case kEventDisable:
            o.DisabledTime = now;
            o.DisabledMillisecond = 0;
            if (o.State != kStateDisabled) o.StateBeforeDisable = o.State;
            if (!forced) o.State = kStateDisabled;
            break;
        case kEventEnable:
            o.DisabledExpireTime = 0;
            o.InActiveTime = now;
            o.InActiveMillisecond = 0;
            if (!forced) {
                o.State = o.StateBeforeDisable;
                if (o.State == kStateActiveUnacked || o.State == kStateActiveAcked) o.InActiveTime = 0;
            }
            break;
        default:
            break;
    }
    if (forced) o.State = forcedState;
}

}  // namespace heraldon
