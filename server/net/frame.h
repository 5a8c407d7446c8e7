// The framing shared by the Alarm Source protocol, the client protocol and the redundancy
// link: uint32 payload length and uint32 packet type, both little-endian, then the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace heraldon::net {

constexpr size_t kFrameHeaderSize = 8;

struct Frame {
    uint32_t type = 0;
    const uint8_t* payload = nullptr;
    size_t payloadSize = 0;
    size_t totalSize = 0;  // header + payload: what to drop from the buffer
};

enum class FrameStatus { Incomplete, Ok, TooLarge };

// Looks at the start of a receive buffer. The length limit is checked from the header
// alone, before anything waits for or allocates the payload.
FrameStatus NextFrame(const uint8_t* data, size_t size, size_t maxPayload, Frame& frame);

// Header and payload of one packet, ready to send.
std::string EncodeFrame(uint32_t type, std::string_view payload);

inline uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void AppendU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

}  // namespace heraldon::net
