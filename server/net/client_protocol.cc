#include "server/net/client_protocol.h"

namespace heraldon::net {

bool ClientPayloadReader::Take(size_t n, const uint8_t*& start) {
    if (!ok_ || static_cast<size_t>(end_ - at_) < n) {
        ok_ = false;
        return false;
    }
    start = at_;
    at_ += n;
    return true;
}

bool ClientPayloadReader::Int32(int32_t& value) {
    const uint8_t* p;
    if (!Take(4, p)) return false;
    value = static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
    return true;
}

bool ClientPayloadReader::UInt16(uint16_t& value) {
    const uint8_t* p;
    if (!Take(2, p)) return false;
    value = static_cast<uint16_t>(p[0] | p[1] << 8);
    return true;
}

bool ClientPayloadReader::String(std::string& value, size_t maxChars) {
    uint16_t count = 0;
    const uint8_t* p;
    if (!UInt16(count) || !Take(count, p)) return false;
    value.assign(reinterpret_cast<const char*>(p), count < maxChars ? count : maxChars);
    return true;
}

bool ClientPayloadReader::Bytes32(std::string& value) {
    int32_t count = 0;
    const uint8_t* p;
    if (!Int32(count)) return false;
    if (count < 0) {
        ok_ = false;
        return false;
    }
    if (!Take(static_cast<size_t>(count), p)) return false;
    value.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(count));
    return true;
}

ClientPacketBuilder& ClientPacketBuilder::Int32(int32_t value) {
    uint32_t v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) payload_.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
}

ClientPacketBuilder& ClientPacketBuilder::UInt16(uint16_t value) {
    payload_.push_back(static_cast<char>(value & 0xFF));
    payload_.push_back(static_cast<char>(value >> 8));
    return *this;
}

ClientPacketBuilder& ClientPacketBuilder::String(std::string_view text) {
    if (text.size() >= 32768 || payload_.size() + 2 + text.size() > limit_) return UInt16(0);
    UInt16(static_cast<uint16_t>(text.size()));
    payload_.append(text);
    return *this;
}

ClientPacketBuilder& ClientPacketBuilder::Bytes32(std::string_view bytes) {
    Int32(static_cast<int32_t>(bytes.size()));
    payload_.append(bytes);
    return *this;
}

ClientPacketBuilder& ClientPacketBuilder::Raw(std::string_view bytes) {
    payload_.append(bytes);
    return *this;
}

}  // namespace heraldon::net
