// The service's event log: what an administrator reads afterwards to learn when the service
// was installed, started and stopped and what went wrong.
//
// Events go to syslog (facility daemon) with the service name as ident, so `journalctl -t
// <ServiceName>` shows exactly them. HERALDON_EVENT_SINK=<file> appends them to that file
// instead, one "<id> <type> <text>" line each, which is how the tests read them.
// Thread-safe.
#pragma once

#include <string>

namespace heraldon::service {

enum EventId : int {
    kEventInstalled = 100,
    kEventRemoved = 101,
    kEventRemoveFailed = 102,
    kEventHandlerFailed = 103,
    kEventInitFailed = 104,
    kEventStarted = 105,
    kEventBadControl = 106,
    kEventStopped = 108,
};

// "information" or "error".
const char* EventType(int id);

// The event's text: what happened, then the insertion string (when there is one) after a
// colon, e.g. "service installed: Heraldon".
std::string EventText(int id, const std::string& insertion);

void WriteEvent(const std::string& serviceName, int id, const std::string& insertion = "");

// Closes the syslog connection, if one was opened; the next event opens it again.
void CloseEventSource();

}  // namespace heraldon::service
