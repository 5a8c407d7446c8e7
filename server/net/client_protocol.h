// The client protocol: packet types and the binary field encoding.
//
// Fields are little-endian without alignment: int32, uint16, string (uint16 byte count,
// then the bytes, no terminator) and bytes32 (int32 count, then the bytes). Readers check
// every count against the bytes that remain and fail instead of reading past the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace heraldon::net {

// Client to server.
constexpr uint32_t PACKET_TYPE_KEEPALIVE = 0x0000;
constexpr uint32_t PACKET_TYPE_IDENTIFY = 0x2000;
constexpr uint32_t PACKET_TYPE_ALARMSOURCE_ENABLE = 0x2020;
constexpr uint32_t PACKET_TYPE_GET_ALL_ALARMS = 0x4000;
constexpr uint32_t PACKET_TYPE_GET_ALARMS = 0x4001;
constexpr uint32_t PACKET_TYPE_ACK = 0x4010;
constexpr uint32_t PACKET_TYPE_DISABLE = 0x4020;
constexpr uint32_t PACKET_TYPE_ENABLE = 0x4021;
constexpr uint32_t PACKET_TYPE_INACTIVATE = 0x4040;
constexpr uint32_t PACKET_TYPE_ACTIVATE = 0x4041;
constexpr uint32_t PACKET_TYPE_REMOVE = 0x4042;
constexpr uint32_t PACKET_TYPE_GET_STATISTICS = 0x4100;
constexpr uint32_t PACKET_TYPE_CLEAR_STATISTICS = 0x4101;
constexpr uint32_t PACKET_TYPE_GET_HISTORY = 0x4200;
constexpr uint32_t PACKET_TYPE_GET_FILE = 0x4901;
constexpr uint32_t PACKET_TYPE_GET_COMMONFILTERS = 0x4A00;
constexpr uint32_t PACKET_TYPE_SET_COMMONFILTER = 0x4A10;
constexpr uint32_t PACKET_TYPE_DELETE_COMMONFILTER = 0x4A11;
constexpr uint32_t PACKET_TYPE_GET_COMMENT = 0x4D00;
constexpr uint32_t PACKET_TYPE_SET_COMMENT = 0x4D01;
constexpr uint32_t PACKET_TYPE_SET_SMALLCOMMENT = 0x4D02;
constexpr uint32_t PACKET_TYPE_EXECUTE = 0x5000;
constexpr uint32_t PACKET_TYPE_SUBSCRIBE = 0x6010;
constexpr uint32_t PACKET_TYPE_UNSUBSCRIBE = 0x6011;

// Server to client.
constexpr uint32_t PACKET_TYPE_WELCOME = 0x0010;
constexpr uint32_t PACKET_TYPE_SERVER_INFO = 0x0011;
constexpr uint32_t PACKET_TYPE_ALARMSOURCE_STATUS = 0x0020;
constexpr uint32_t PACKET_TYPE_ALARM = 0x0201;
constexpr uint32_t PACKET_TYPE_ALARMS_END = 0x0202;
constexpr uint32_t PACKET_TYPE_ALARM_STATUS = 0x0220;
constexpr uint32_t PACKET_TYPE_STATISTICS = 0x0300;
constexpr uint32_t PACKET_TYPE_STATISTICS_END = 0x0301;
constexpr uint32_t PACKET_TYPE_HISTORY = 0x0400;
constexpr uint32_t PACKET_TYPE_HISTORY_END = 0x0401;
constexpr uint32_t PACKET_TYPE_FILE_BEGIN = 0x0901;
constexpr uint32_t PACKET_TYPE_FILE_DATA = 0x0902;
constexpr uint32_t PACKET_TYPE_FILE_END = 0x0903;
constexpr uint32_t PACKET_TYPE_COMMONFILTER_BEGIN = 0x0A00;
constexpr uint32_t PACKET_TYPE_COMMONFILTER = 0x0A01;
constexpr uint32_t PACKET_TYPE_COMMONFILTER_END = 0x0A02;
constexpr uint32_t PACKET_TYPE_SERVER_STANDBY = 0x0B00;
constexpr uint32_t PACKET_TYPE_SUBSCRIPTION_STATUS = 0x0C00;
constexpr uint32_t PACKET_TYPE_COMMENT = 0x0D00;

constexpr int32_t kClientProtocolVersion = 11;
constexpr size_t kClientReceiveBuffer = 131072;
constexpr size_t kClientMaxPayload = 0x1FFF7;
constexpr size_t kAlarmPacketBuffer = 2048;
constexpr size_t kStatusPacketBuffer = 512;
constexpr size_t kFileChunk = 32767;

// Client kinds.
constexpr int32_t kClientOrvik = 1;
constexpr int32_t kClientDalmis = 2;
constexpr int32_t kClientTellu = 3;
constexpr int32_t kClientSmallView = 4;
constexpr int32_t kClientListView = 5;

// Reads the fields of one payload in order. Every read checks the bytes that remain; after
// the first failed read every further read fails too, so a handler can read all its
// fields and check Ok() once.
class ClientPayloadReader {
public:
    ClientPayloadReader(const uint8_t* payload, size_t size) : at_(payload), end_(payload + size) {}

    bool Int32(int32_t& value);
    bool UInt16(uint16_t& value);
    // Keeps at most maxChars bytes of the string; the rest is skipped.
    bool String(std::string& value, size_t maxChars = 65535);
    bool Bytes32(std::string& value);
    bool Ok() const { return ok_; }
    size_t Remaining() const { return static_cast<size_t>(end_ - at_); }

private:
    bool Take(size_t n, const uint8_t*& start);

    const uint8_t* at_;
    const uint8_t* end_;
    bool ok_ = true;
};

// Builds one payload. A packet has a buffer size it was always built in: a string whose
// count and bytes would not fit, or that is 32 768 bytes or longer, goes out with count 0,
// so that a long text can never push the fields after it out of place.
class ClientPacketBuilder {
public:
    explicit ClientPacketBuilder(size_t bufferSize = kClientMaxPayload) : limit_(bufferSize) {}

    ClientPacketBuilder& Int32(int32_t value);
    ClientPacketBuilder& UInt16(uint16_t value);
    ClientPacketBuilder& String(std::string_view text);
    ClientPacketBuilder& Bytes32(std::string_view bytes);
    ClientPacketBuilder& Raw(std::string_view bytes);
    const std::string& Payload() const { return payload_; }
    std::string& Payload() { return payload_; }

private:
    size_t limit_;
    std::string payload_;
};

}  // namespace heraldon::net
