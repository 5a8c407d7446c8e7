// Readiness and status messages to the service supervisor (systemd's notify protocol).
//
// The supervisor names a datagram socket in NOTIFY_SOCKET; each message is one datagram of
// "KEY=value" lines. Without that variable (console mode, or a unit that is not
// Type=notify) nothing is sent. Thread-safe: every call uses a socket of its own.
#pragma once

#include <string>

namespace heraldon::service {

// Sends text as one datagram; false when there is no supervisor socket or the send failed.
// Callers ignore the result: a supervisor that misses a status line must never stop the
// server.
bool Notify(const std::string& text);

}  // namespace heraldon::service
