// The Alarm Source wire format alone: framing, field reading and command packet building.

#include "server/net/source_protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "server/net/frame.h"

namespace {

using namespace heraldon::net;

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string Header(uint32_t length, uint32_t type) {
    std::string out;
    AppendU32(out, length);
    AppendU32(out, type);
    return out;
}

TEST(SourceFraming, APacketIsWholeOnlyOnceItsLastByteArrives) {
    const std::string payload("1\0" "17\0" "P101\0", 10);
    const std::string wire = EncodeFrame(SOURCE_PACKET_TYPE_EVENT, payload);
    // Fed byte by byte, the way a source on a slow line delivers it.
    for (size_t have = 0; have < wire.size(); ++have) {
        Frame frame;
        EXPECT_EQ(NextFrame(Bytes(wire), have, kSourceMaxPayload, frame), FrameStatus::Incomplete)
            << have << " bytes";
    }
    Frame frame;
    ASSERT_EQ(NextFrame(Bytes(wire), wire.size(), kSourceMaxPayload, frame), FrameStatus::Ok);
    EXPECT_EQ(frame.type, SOURCE_PACKET_TYPE_EVENT);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(frame.payload), frame.payloadSize), payload);
    EXPECT_EQ(frame.totalSize, wire.size());
}

TEST(SourceFraming, ManyPacketsInOneBufferComeOutInOrder) {
    const std::vector<std::pair<uint32_t, std::string>> sent = {
        {SOURCE_PACKET_TYPE_KEEPALIVE, ""},
        {SOURCE_PACKET_TYPE_STATUS, std::string("1\0", 2)},
        {SOURCE_PACKET_TYPE_REFRESH_END, ""},
        {SOURCE_PACKET_TYPE_EVENT, std::string(300, 'e')},
    };
    std::string wire;
    for (const auto& [type, payload] : sent) wire += EncodeFrame(type, payload);
    wire += Header(50, SOURCE_PACKET_TYPE_EVENT) + "partial";  // the start of the next one

    size_t at = 0;
    for (const auto& [type, payload] : sent) {
        Frame frame;
        ASSERT_EQ(NextFrame(Bytes(wire) + at, wire.size() - at, kSourceMaxPayload, frame), FrameStatus::Ok);
        EXPECT_EQ(frame.type, type);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(frame.payload), frame.payloadSize), payload);
        at += frame.totalSize;
    }
    Frame frame;
    EXPECT_EQ(NextFrame(Bytes(wire) + at, wire.size() - at, kSourceMaxPayload, frame), FrameStatus::Incomplete);
}

TEST(SourceFraming, TheLengthLimitIsJudgedFromTheHeaderAlone) {
    Frame frame;
    // The largest payload waits for its bytes; one more is refused before any of them come.
    std::string largest = Header(0x1FFF7, SOURCE_PACKET_TYPE_EVENT);
    EXPECT_EQ(NextFrame(Bytes(largest), largest.size(), kSourceMaxPayload, frame), FrameStatus::Incomplete);
    largest.append(0x1FFF7, 'x');
    ASSERT_EQ(NextFrame(Bytes(largest), largest.size(), kSourceMaxPayload, frame), FrameStatus::Ok);
    EXPECT_EQ(frame.payloadSize, 0x1FFF7u);
    EXPECT_EQ(frame.totalSize, kSourceReceiveBuffer - 1);

    for (uint32_t length : {0x1FFF8u, 0xFFFFFFFFu}) {
        std::string header = Header(length, SOURCE_PACKET_TYPE_EVENT);
        EXPECT_EQ(NextFrame(Bytes(header), header.size(), kSourceMaxPayload, frame), FrameStatus::TooLarge)
            << std::hex << length;
    }
}

// One field as it arrives, read as a signed number, an unsigned number and a text.
struct FieldCase {
    const char* what;
    bool present;
    std::string field;
    int32_t asSigned;
    uint32_t asUnsigned;
    std::string asText;
};

constexpr int32_t kOldSigned = 77;
constexpr uint32_t kOldUnsigned = 88;
const char* const kOldText = "old";

TEST(SourceFields, EachFieldIsReadByTheLenientRules) {
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    const FieldCase cases[] = {
        {"missing field", false, "", kOldSigned, kOldUnsigned, kOldText},
        {"empty field", true, "", kOldSigned, kOldUnsigned, kOldText},
        {"null", true, "null", kOldSigned, kOldUnsigned, ""},
        {"NULL", true, "NULL", kOldSigned, kOldUnsigned, ""},
        {"nUlL", true, "nUlL", kOldSigned, kOldUnsigned, ""},
        {"plain", true, "12290", 12290, 12290, "12290"},
        {"leading blanks", true, "  42", 42, 42, "  42"},
        {"plus sign", true, "+7", 7, 7, "+7"},
        {"minus into unsigned is two's complement", true, "-1", -1, 0xFFFFFFFFu, "-1"},
        {"trailing garbage", true, "12ab", 12, 12, "12ab"},
        {"no digits", true, "abc", 0, 0, "abc"},
        {"sign alone", true, "-", 0, 0, "-"},
        {"many leading zeros", true, "0000000000000000000000000012", 12, 12, "0000000000000000000000000012"},
        {"int32 max + 1", true, "2147483648", kMax, 0x80000000u, "2147483648"},
        {"uint32 max", true, "4294967295", kMax, 0xFFFFFFFFu, "4294967295"},
        {"uint32 max + 1", true, "4294967296", kMax, 0xFFFFFFFFu, "4294967296"},
        {"int32 min", true, "-2147483648", kMin, 0x80000000u, "-2147483648"},
        {"below int32 min", true, "-2147483649", kMin, 0x80000000u, "-2147483649"},
        {"huge", true, "123456789012345678901234567890", kMax, 0xFFFFFFFFu,
         "123456789012345678901234567890"},
        {"huge negative", true, "-123456789012345678901234567890", kMin, 0x80000000u,
         "-123456789012345678901234567890"},
    };
    for (const FieldCase& c : cases) {
        std::string payload = c.present ? c.field + '\0' : "";
        {
            SourceFieldReader r(Bytes(payload), payload.size());
            int32_t value = kOldSigned;
            r.Signed(value);
            EXPECT_EQ(value, c.asSigned) << c.what;
        }
        {
            SourceFieldReader r(Bytes(payload), payload.size());
            uint32_t value = kOldUnsigned;
            r.Unsigned(value);
            EXPECT_EQ(value, c.asUnsigned) << c.what;
        }
        {
            SourceFieldReader r(Bytes(payload), payload.size());
            std::string text = kOldText;
            r.Text(text, 79);
            EXPECT_EQ(text, c.asText) << c.what;
        }
    }
}

TEST(SourceFields, TextsAreCutToTheirFieldAndTheNextFieldStillLinesUp) {
    const std::string payload = std::string(100, 'T') + '\0' + "abcdefghij" + '\0' + "xy" + '\0' +
                                "15";  // the last field runs to the payload's end
    SourceFieldReader r(Bytes(payload), payload.size());
    std::string tag;
    r.Text(tag, 79);
    EXPECT_EQ(tag, std::string(79, 'T'));

    char fixed[8];
    r.Text(fixed);
    EXPECT_EQ(std::string(fixed, sizeof fixed), std::string("abcdefg\0", 8));
    // A shorter text leaves nothing of the longer one behind it.
    r.Text(fixed);
    EXPECT_EQ(std::string(fixed, sizeof fixed), std::string("xy\0\0\0\0\0\0", 8));

    int32_t last = 0;
    r.Signed(last);
    EXPECT_EQ(last, 15);
    int32_t beyond = 5;
    r.Signed(beyond);
    EXPECT_EQ(beyond, 5);
}

// Sources send "null" for a text they want emptied; every fixed-size text of an alarm
// object is read this way, so the sanitizer build must survive it.
TEST(SourceFields, NullEmptiesAFixedTextWithoutTouchingAMissingBuffer) {
    const std::string payload("null\0NULL", 9);
    SourceFieldReader r(Bytes(payload), payload.size());
    for (int i = 0; i < 2; ++i) {
        char fixed[8] = "oldtext";
        r.Text(fixed);
        EXPECT_EQ(std::string(fixed, sizeof fixed), std::string(8, '\0')) << i;
    }
}

TEST(SourceFields, Low32ReplacesOnlyTheLowHalfOfATime) {
    struct Case {
        const char* what;
        int64_t before;
        std::string payload;
        int64_t after;
    };
    const Case cases[] = {
        {"small value", 0x0000000700000009, std::string("10\0", 3), 0x000000070000000A},
        {"all ones", 0x0000000700000009, std::string("-1\0", 3), 0x00000007FFFFFFFF},
        {"high bits of a negative time stay", -1, std::string("5\0", 2),
         static_cast<int64_t>(0xFFFFFFFF00000005ull)},
        {"empty field", 0x0000000700000009, std::string("\0", 1), 0x0000000700000009},
        {"null", 0x0000000700000009, std::string("NULL\0", 5), 0x0000000700000009},
        {"missing field", 0x0000000700000009, "", 0x0000000700000009},
    };
    for (const Case& c : cases) {
        SourceFieldReader r(Bytes(c.payload), c.payload.size());
        int64_t value = c.before;
        r.Low32(value);
        EXPECT_EQ(value, c.after) << c.what;
    }
}

std::vector<std::string> Split(const std::string& payload) {
    std::vector<std::string> fields;
    size_t at = 0;
    while (at < payload.size()) {
        size_t zero = payload.find('\0', at);
        EXPECT_NE(zero, std::string::npos) << "every field ends with its zero byte";
        if (zero == std::string::npos) break;
        fields.push_back(payload.substr(at, zero - at));
        at = zero + 1;
    }
    return fields;
}

TEST(SourcePacketBuilder, NumbersAreDecimalAndTextsEndAtAnEmbeddedZero) {
    SourcePacketBuilder packet;
    packet.Unsigned(0xFFFFFFFFu).Signed(-1).Text(std::string("us\0er", 6)).Text("");
    EXPECT_EQ(packet.Payload(), std::string("4294967295\0-1\0us\0\0", 18));
}

TEST(SourcePacketBuilder, ATextThatDoesNotFitIsShortenedAndRoomIsKeptForWhatFollows) {
    const std::string end = "4294967295";
    SourcePacketBuilder packet;
    packet.Unsigned(17).Text("Tag")
        .Text(std::string(kSourceCommandLimit * 2, 'c'), end.size() + 1)
        .Text(end);
    const std::string& payload = packet.Payload();
    EXPECT_EQ(payload.size(), kSourceCommandLimit);
    auto fields = Split(payload);
    ASSERT_EQ(fields.size(), 4u);
    EXPECT_EQ(fields[1], "Tag");
    EXPECT_EQ(fields[2], std::string(kSourceCommandLimit - 3 - 4 - 11 - 1, 'c'));
    EXPECT_EQ(fields[3], end);

    // Without anything reserved the text fills the packet to its last byte.
    SourcePacketBuilder full;
    full.Text(std::string(kSourceCommandLimit + 5, 'x'));
    EXPECT_EQ(full.Payload().size(), kSourceCommandLimit);
    EXPECT_EQ(full.Payload().back(), '\0');
}

}  // namespace
