// The link between the two servers of a redundant pair: the common framing with the client
// protocol's field encoding.
//
// Each server connects to its partner (the "client side") and accepts its partner's
// connection (the "server side"). Status and files flow from the server side to the
// partner's client side; keep-alives and requests the other way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace heraldon::redundancy {

constexpr uint32_t REDUNDANT_PACKET_TYPE_KEEPALIVE = 0x1010;
constexpr uint32_t REDUNDANT_PACKET_TYPE_SERVER_STATUS = 0x1020;
constexpr uint32_t REDUNDANT_PACKET_TYPE_GETALLALARMFILES = 0x1080;
constexpr uint32_t REDUNDANT_PACKET_TYPE_GETUSERNAMES = 0x1081;
constexpr uint32_t REDUNDANT_PACKET_TYPE_INITIALLY_DATA_REQUESTED = 0x3401;
constexpr uint32_t REDUNDANT_PACKET_TYPE_INITIALLY_DATA_SENT = 0x3400;
constexpr uint32_t REDUNDANT_PACKET_TYPE_FRAGMENT_BEGIN = 0x1100;
constexpr uint32_t REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE = 0x1102;
constexpr uint32_t REDUNDANT_PACKET_TYPE_FRAGMENT_END = 0x1101;
constexpr uint32_t REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN = 0x1200;
constexpr uint32_t REDUNDANT_PACKET_TYPE_ALARMFILE_DATA = 0x1201;
constexpr uint32_t REDUNDANT_PACKET_TYPE_ALARMFILE_END = 0x1202;
constexpr uint32_t REDUNDANT_PACKET_TYPE_USERNAMES_BEGIN = 0x1210;
constexpr uint32_t REDUNDANT_PACKET_TYPE_USERNAMES_DATA = 0x1211;
constexpr uint32_t REDUNDANT_PACKET_TYPE_USERNAMES_END = 0x1212;
constexpr uint32_t REDUNDANT_PACKET_TYPE_COMMENTFILE = 0x1400;

constexpr int32_t kProtocolVersion = 0x1002;
constexpr size_t kReceiveBuffer = 131072;
constexpr size_t kMaxPayload = 0x1FFF7;  // 0x1FFF8 and more is a framing error
constexpr size_t kFileChunk = 130552;
constexpr size_t kCommentPayloadLimit = 130292;

}  // namespace heraldon::redundancy
