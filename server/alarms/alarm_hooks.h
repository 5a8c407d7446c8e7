// Where an alarm event goes after the state machine: the text feed, the historic day
// files and the clients. Set once at start-up, before any alarm thread runs; an empty
// function does nothing. Called under the alarm data lock.
#pragma once

#include <cstdint>
#include <functional>

#include "server/store/alarm_source.h"

namespace heraldon {

struct AlarmHooks {
    std::function<void(AlarmSource&, AlarmObject&, int32_t eventType)> sendTextEvent;
    std::function<void(AlarmSource&, AlarmObject&, int32_t eventType)> storeHistoricEvent;
    // The object, in full and as a status, to every client whose filters match it.
    std::function<void(AlarmSource&, AlarmObject&)> distributeObject;
    // The source's state (enabled, running) to every client.
    std::function<void(AlarmSource&)> sendSourceStateToClients;
};

AlarmHooks& TheAlarmHooks();

}  // namespace heraldon
