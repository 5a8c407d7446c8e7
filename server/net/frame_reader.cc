#include "server/net/frame_reader.h"

#include <cstring>
#include <vector>

namespace heraldon::net {

ReadEnd ReadFrames(platform::net::Socket& socket, size_t bufferSize, size_t maxPayload,
                   const std::function<bool(const Frame&)>& handle, int silenceMs,
                   const std::function<void()>& afterBurst) {
    std::vector<uint8_t> buffer(bufferSize);
    size_t used = 0;
    for (;;) {
        size_t room = bufferSize - 1 - used;
        long n = silenceMs < 0 ? socket.Receive(buffer.data() + used, room)
                               : socket.ReceiveFor(buffer.data() + used, room, silenceMs);
        if (n == -2) return ReadEnd::Silent;
        if (n <= 0) return ReadEnd::Closed;
        used += static_cast<size_t>(n);
        size_t at = 0;
        for (;;) {
            Frame frame;
            FrameStatus status = NextFrame(buffer.data() + at, used - at, maxPayload, frame);
            if (status == FrameStatus::Incomplete) break;
            if (status == FrameStatus::TooLarge) return ReadEnd::TooLarge;
            if (!handle(frame)) return ReadEnd::Refused;
            at += frame.totalSize;
        }
        std::memmove(buffer.data(), buffer.data() + at, used - at);
        used -= at;
        if (afterBurst) afterBurst();
    }
}

}  // namespace heraldon::net
