#include "server/store/alarm_object.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/clock.h"

namespace {

using heraldon::AlarmObject;
using heraldon::alarm_file::kRecordSize;
using Record = uint8_t[kRecordSize];

uint64_t LittleEndianAt(const Record& r, size_t offset, size_t size) {
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i) v |= static_cast<uint64_t>(r[offset + i]) << (8 * i);
    return v;
}

TEST(AlarmObjectRecord, FieldsSitAtTheirOffsetsLittleEndian) {
    AlarmObject o;
    o.Version = 0x01020304;
    heraldon::SetText(o.Tag, "P101.Level");
    o.Area = -2;
    o.SCADAHandle = 0xA1B2C3D4;
    o.FileRecord = 0x00123456;
    o.ActiveTime = 0x0102030405060708;  // offset 444: not 8-byte aligned
    o.DisabledExpireTime = -1;
    o.StatHours[23] = 0x11223344;
    o.StatDays[89] = 0x55667788;
    o.LastChangeTime = 0x0A0B0C0D0E0F1011;
    heraldon::SetText(o.Custom[7], "c8");
    o.LastEventType = 256;
    o.LastEventTime = 0x7EDCBA9876543210;
    heraldon::SetText(o.SmallComment, "note");

    Record r;
    o.EncodeTo(r);
    struct Expect {
        const char* field;
        size_t offset, size;
        uint64_t value;
    };
    const Expect expected[] = {
        {"Version", 0, 4, 0x01020304},
        {"Area", 420, 4, 0xFFFFFFFE},
        {"SCADAHandle", 432, 4, 0xA1B2C3D4},
        {"FileRecord", 436, 4, 0x00123456},
        {"ActiveTime", 444, 8, 0x0102030405060708},
        {"DisabledExpireTime", 476, 8, ~0ull},
        {"StatHours[23]", 692 + 23 * 4, 4, 0x11223344},
        {"StatDays[89]", 788 + 89 * 4, 4, 0x55667788},
        {"LastChangeTime", 1176, 8, 0x0A0B0C0D0E0F1011},
        {"LastEventType", 1780, 4, 256},
        {"InUse", 1792, 4, 1},
        {"LastEventTime", 1796, 8, 0x7EDCBA9876543210},
    };
    for (const Expect& e : expected) {
        EXPECT_EQ(LittleEndianAt(r, e.offset, e.size), e.value) << e.field;
    }
    EXPECT_STREQ(reinterpret_cast<const char*>(r + 4), "P101.Level");
    EXPECT_STREQ(reinterpret_cast<const char*>(r + 1184 + 7 * 64), "c8");
    EXPECT_STREQ(reinterpret_cast<const char*>(r + 1808), "note");
}

TEST(AlarmObjectRecord, DecodeKeepsEveryByteButForcesTextsToEnd) {
    std::mt19937 random(7);
    Record in;
    for (uint8_t& b : in) b = static_cast<uint8_t>(random() | 1);  // no zero byte anywhere

    AlarmObject o;
    o.DecodeFrom(in);
    Record out;
    o.EncodeTo(out);

    // The last byte of every text field becomes 0; nothing else changes.
    const size_t textEnds[] = {4 + 79,    84 + 79,   164 + 127, 340 + 15,  356 + 63,  484 + 63,
                               548 + 63,  612 + 63,  1184 + 63, 1248 + 63, 1312 + 63, 1376 + 63,
                               1440 + 63, 1504 + 63, 1568 + 63, 1632 + 63, 1700 + 79, 1808 + 99};
    std::vector<size_t> differing;
    for (size_t i = 0; i < kRecordSize; ++i) {
        if (in[i] != out[i]) differing.push_back(i);
    }
    EXPECT_EQ(differing, std::vector<size_t>(std::begin(textEnds), std::end(textEnds)));
    EXPECT_EQ(o.TagText().size(), 79u);
}

TEST(AlarmObjectRecord, NewObjectDefaults) {
    int64_t before = platform::clock::UtcNow();
    AlarmObject o = AlarmObject::New();
    EXPECT_EQ(o.FileRecord, -1);
    EXPECT_EQ(o.InUse, 1);
    EXPECT_EQ(o.LastEventType, -1);
    EXPECT_EQ(o.State, heraldon::kStateNormal);
    EXPECT_GE(o.LastChangeTime, before);

    Record r;
    o.EncodeTo(r);
    size_t nonZero = 0;
    for (size_t i = 0; i < kRecordSize; ++i) {
        bool expectedNonZero = (i >= 436 && i < 440) || (i >= 1176 && i < 1184) ||
                               (i >= 1780 && i < 1784) || i == 1792;
        if (r[i] != 0) ++nonZero;
        if (!expectedNonZero) {
            EXPECT_EQ(r[i], 0) << "byte " << i;
        }
    }
    EXPECT_GT(nonZero, 0u);
}

TEST(AlarmObjectRecord, SetTextCutsToTheField) {
    AlarmObject o;
    heraldon::SetText(o.Tag, std::string(200, 'x'));
    EXPECT_EQ(o.TagText(), std::string(79, 'x'));
    heraldon::SetText(o.Tag, "ab");
    EXPECT_EQ(o.TagText(), "ab");
    EXPECT_EQ(o.Tag[3], '\0');
}

}  // namespace
