// The Alarm Source protocol: packet types and the zero-terminated text field encoding.
//
// Every payload field is text followed by one zero byte; numbers are decimal text. Reading
// is lenient by design, because sources of many makes and ages speak it:
//   - a field ends at its zero byte or at the end of the payload;
//   - a missing field (the payload ended) or an empty one leaves the target unchanged;
//   - "null" (any case) empties a text and leaves a number unchanged;
//   - a number is read from the start of its field: leading blanks, an optional sign, the
//     decimal digits up to the first other character (none gives 0); signed fields take
//     it as int32, unsigned ones as uint32 (so "-1" is 0xFFFFFFFF). Digits accumulate in
//     64 bits and are clamped, so no text can overflow a number;
//   - a text longer than its field keeps only what fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace heraldon::net {

// Server to Alarm Source.
constexpr uint32_t SOURCE_PACKET_TYPE_KEEPALIVE = 0x6000;
constexpr uint32_t SOURCE_PACKET_TYPE_WELCOME = 0x6100;
constexpr uint32_t SOURCE_PACKET_TYPE_SOURCE_ENABLED = 0x6101;
constexpr uint32_t SOURCE_PACKET_TYPE_ENABLE = 0x6110;
constexpr uint32_t SOURCE_PACKET_TYPE_DISABLE = 0x6111;
constexpr uint32_t SOURCE_PACKET_TYPE_ACK = 0x6112;
constexpr uint32_t SOURCE_PACKET_TYPE_ACTIVATE = 0x6113;
constexpr uint32_t SOURCE_PACKET_TYPE_INACTIVATE = 0x6114;
constexpr uint32_t SOURCE_PACKET_TYPE_REMOVE = 0x6115;
constexpr uint32_t SOURCE_PACKET_TYPE_REFRESH_REQUEST = 0x6120;
// Alarm Source to server.
constexpr uint32_t SOURCE_PACKET_TYPE_IDENTIFY = 0x7100;
constexpr uint32_t SOURCE_PACKET_TYPE_REFRESH_BEGIN = 0x7200;
constexpr uint32_t SOURCE_PACKET_TYPE_OBJECT = 0x7210;
constexpr uint32_t SOURCE_PACKET_TYPE_REFRESH_END = 0x7220;
constexpr uint32_t SOURCE_PACKET_TYPE_OBJECT_REMOVED = 0x7230;
constexpr uint32_t SOURCE_PACKET_TYPE_EVENT = 0x7280;
constexpr uint32_t SOURCE_PACKET_TYPE_STATUS = 0x7300;

constexpr int32_t kSourceVersionLow = 0x3002;
constexpr int32_t kSourceVersionHigh = 0x3003;

constexpr size_t kSourceReceiveBuffer = 131072;
constexpr size_t kSourceMaxPayload = 0x1FFF7;
constexpr size_t kSourceCommandLimit = 20480;

class SourceFieldReader {
public:
    SourceFieldReader(const uint8_t* payload, size_t size)
        : at_(reinterpret_cast<const char*>(payload)), end_(at_ + size) {}

    // The next field's text; false when the payload has ended (the field is missing).
    bool Next(std::string_view& field);

    // Each consumes one field and applies the reading rules above.
    void Signed(int32_t& value);
    void Unsigned(uint32_t& value);
    // Sets the low 32 bits of a 64-bit time; the high bits stay.
    void Low32(int64_t& value);
    void Text(char* target, size_t targetSize);
    template <size_t N>
    void Text(char (&target)[N]) {
        Text(target, N);
    }
    void Text(std::string& target, size_t maxChars);

private:
    const char* at_;
    const char* end_;
};

// Reads a number's text as described above; false for an empty text or "null".
bool ParseSourceNumber(std::string_view text, uint32_t& bits, bool isSigned);

// Fields of a packet to a source. A packet holds at most kSourceCommandLimit bytes of
// fields; a text is cut to what still fits rather than left out, because fields are
// positional and a missing one would shift the next into its place. A text is also cut at
// an embedded zero byte, which would otherwise end it early and add a field.
class SourcePacketBuilder {
public:
    // reserveAfter keeps that many bytes free for the fields still to come.
    SourcePacketBuilder& Text(std::string_view text, size_t reserveAfter = 0);
    SourcePacketBuilder& Unsigned(uint32_t value);
    SourcePacketBuilder& Signed(int32_t value);
    const std::string& Payload() const { return payload_; }

private:
    std::string payload_;
};

}  // namespace heraldon::net
