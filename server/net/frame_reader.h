// The receive loop every link of the server runs: one fixed buffer for the connection's
// life, whole frames handed out in order, the rest moved to the front.
#pragma once

#include <cstddef>
#include <functional>

#include "platform/socket.h"
#include "server/net/frame.h"

namespace heraldon::net {

enum class ReadEnd {
    Closed,    // the peer ended the connection, or a receive failed
    TooLarge,  // a frame header announced more than the link allows
    Refused,   // the handler refused a frame
    Silent,    // nothing arrived for silenceMs
};

// Reads until one of the ends above. The buffer holds bufferSize bytes, and one frame of
// the largest payload always fits. silenceMs < 0 waits for ever. afterBurst, when given,
// runs once the frames of one receive are handled, before the next receive waits.
ReadEnd ReadFrames(platform::net::Socket& socket, size_t bufferSize, size_t maxPayload,
                   const std::function<bool(const Frame&)>& handle, int silenceMs = -1,
                   const std::function<void()>& afterBurst = nullptr);

}  // namespace heraldon::net
