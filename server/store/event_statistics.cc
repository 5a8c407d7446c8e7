#include "server/store/event_statistics.h"

namespace heraldon {

bool MayStoreHistoricEvent(const AlarmObject& o, const StorageLimits& limits, int localHour) {
    if (limits.perHour < 0 || limits.perDay < 0 || limits.perMonth < 0) return true;
    int64_t day = 0;
    for (int32_t count : o.StatHours) day += count;
    int64_t month = 0;
    for (int d = 0; d < 30; ++d) month += o.StatDays[d];
    int hour = localHour >= 0 && localHour < 24 ? localHour : 0;
    return o.StatHours[hour] < limits.perHour && day < limits.perDay && month < limits.perMonth;
}

void CountHistoricEvent(AlarmObject& o, int32_t previousState, int localHour) {
    if (o.LastEventType != 1) return;
    if (previousState == kStateActiveUnacked || previousState == kStateActiveAcked) return;
    int hour = localHour >= 0 && localHour < 24 ? localHour : 0;
    ++o.StatHours[hour];
    ++o.StatDays[0];
    ++o.StatTotal;
}

}  // namespace heraldon
