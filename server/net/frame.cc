#include "server/net/frame.h"

namespace heraldon::net {

FrameStatus NextFrame(const uint8_t* data, size_t size, size_t maxPayload, Frame& frame) {
    if (size < kFrameHeaderSize) return FrameStatus::Incomplete;
    uint32_t length = GetU32(data);
    if (length > maxPayload) return FrameStatus::TooLarge;
    if (size - kFrameHeaderSize < length) return FrameStatus::Incomplete;
    frame.type = GetU32(data + 4);
    frame.payload = data + kFrameHeaderSize;
    frame.payloadSize = length;
    frame.totalSize = kFrameHeaderSize + length;
    return FrameStatus::Ok;
}

std::string EncodeFrame(uint32_t type, std::string_view payload) {
    std::string out;
    out.reserve(kFrameHeaderSize + payload.size());
    AppendU32(out, static_cast<uint32_t>(payload.size()));
    AppendU32(out, type);
    out.append(payload);
    return out;
}

}  // namespace heraldon::net
