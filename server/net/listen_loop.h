// The accept loop every listener of the server runs: open the port, log, accept until the
// socket is shut down, and open it again while the server still wants it.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/socket.h"
#include "server/net/listener.h"

namespace heraldon::net {

struct ListenerTexts {
    const char* cannotCreate;  // each with one %d: the port
    const char* cannotBind;
    const char* cannotListen;
    const char* gaveUp;   // logged after any of the three; null for none
    const char* waiting;  // logged once the port is open
};

// Returns when keepRunning() turns false, or at once after a failure to open the port.
// ready() is polled every 10 ms before each open (a standby server opens nothing).
void ListenLoop(ListenerSlot& slot, uint16_t port, const ListenerTexts& texts,
                const std::function<bool()>& keepRunning, const std::function<bool()>& ready,
                const std::function<void(platform::net::Socket)>& accepted);

}  // namespace heraldon::net
