// The client wire format and the server's tag and area filter, without sockets.

#include "server/net/client_protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "server/net/client_connection.h"

namespace {

using heraldon::net::ClientPacketBuilder;
using heraldon::net::ClientPayloadReader;

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(ClientPayloadReader, ReadsEveryFieldKindInOrder) {
    ClientPacketBuilder built;
    built.Int32(-2).UInt16(0xBEEF).String("tag").Bytes32(std::string("a\0b", 3)).Int32(7);
    const std::string& payload = built.Payload();

    ClientPayloadReader r(Bytes(payload), payload.size());
    int32_t first = 0, last = 0;
    uint16_t u = 0;
    std::string text, bytes;
    EXPECT_TRUE(r.Int32(first));
    EXPECT_TRUE(r.UInt16(u));
    EXPECT_TRUE(r.String(text));
    EXPECT_TRUE(r.Bytes32(bytes));
    EXPECT_TRUE(r.Int32(last));
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.Remaining(), 0u);
    EXPECT_EQ(first, -2);
    EXPECT_EQ(u, 0xBEEF);
    EXPECT_EQ(text, "tag");
    EXPECT_EQ(bytes, std::string("a\0b", 3));
    EXPECT_EQ(last, 7);
}

// Each payload is cut or forged so that one read would go past its end; that read and
// every one after it must fail without touching bytes beyond the payload.
TEST(ClientPayloadReader, NoReadGoesPastThePayload) {
    auto stringWithCount = [](uint16_t count, std::string bytes) {
        return ClientPacketBuilder().UInt16(count).Payload() + bytes;
    };
    struct Case {
        const char* what;
        std::string payload;
        int kind;  // 0 int32, 1 string, 2 bytes32
    };
    const Case cases[] = {
        {"three bytes for an int32", std::string("\x01\x02\x03", 3), 0},
        {"no bytes for an int32", "", 0},
        {"one byte for a string count", "\x05", 1},
        {"string count beyond the payload", stringWithCount(10, "abc"), 1},
        {"string count 65535 with nothing after it", stringWithCount(0xFFFF, ""), 1},
        {"negative bytes32 count", ClientPacketBuilder().Int32(-1).Payload() + "xyz", 2},
        {"most negative bytes32 count", ClientPacketBuilder().Int32(INT32_MIN).Payload(), 2},
        {"bytes32 count beyond the payload", ClientPacketBuilder().Int32(4).Payload() + "xyz", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A copy in a buffer of exactly its size, so a sanitizer sees any read past it.
        std::vector<uint8_t> exact(c.payload.begin(), c.payload.end());
        ClientPayloadReader r(exact.data(), exact.size());
        int32_t i = 99;
        std::string s = "unchanged";
        bool read = c.kind == 0 ? r.Int32(i) : c.kind == 1 ? r.String(s) : r.Bytes32(s);
        EXPECT_FALSE(read);
        EXPECT_FALSE(r.Ok());
        EXPECT_EQ(s, "unchanged");
        // Once failed, even a read that would fit fails: a handler checks Ok() once.
        uint16_t u = 0;
        EXPECT_FALSE(r.UInt16(u));
        EXPECT_FALSE(r.Ok());
    }
}

TEST(ClientPayloadReader, AStringLongerThanItsBufferIsCutAndTheRestSkipped) {
    std::string payload = ClientPacketBuilder().String("abcdefgh").Int32(42).Payload();
    ClientPayloadReader r(Bytes(payload), payload.size());
    std::string text;
    int32_t after = 0;
    EXPECT_TRUE(r.String(text, 3));
    EXPECT_TRUE(r.Int32(after));
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(after, 42);
    EXPECT_TRUE(r.Ok());
}

// The count a reader sees for the string at offset at, and the int32 that follows it.
std::pair<uint16_t, int32_t> CountAndNext(const std::string& payload, size_t at) {
    ClientPayloadReader count(Bytes(payload) + at, payload.size() - at);
    uint16_t n = 0;
    EXPECT_TRUE(count.UInt16(n));
    ClientPayloadReader r(Bytes(payload) + at, payload.size() - at);
    std::string text;
    int32_t next = 0;
    EXPECT_TRUE(r.String(text));
    EXPECT_TRUE(r.Int32(next));
    EXPECT_EQ(r.Remaining(), 0u);
    return {n, next};
}

TEST(ClientPacketBuilder, AStringThatCannotBeSentGoesOutEmptyAndLeavesLaterFieldsInPlace) {
    struct Case {
        const char* what;
        size_t buffer;
        size_t length;
        uint16_t expectedCount;
    };
    // Each packet starts with a 4-byte int32, so a string of n bytes needs 4 + 2 + n.
    const Case cases[] = {
        {"32767 bytes, the longest a count can carry", 0x1FFF7, 32767, 32767},
        {"32768 bytes", 0x1FFF7, 32768, 0},
        {"65535 bytes", 0x1FFF7, 65535, 0},
        {"exactly fills the buffer", 64, 58, 58},
        {"one byte too many for the buffer", 64, 59, 0},
        {"far too long for the buffer", 64, 1000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClientPacketBuilder p(c.buffer);
        p.Int32(1).String(std::string(c.length, 'x')).Int32(-77);
        auto [count, next] = CountAndNext(p.Payload(), 4);
        EXPECT_EQ(count, c.expectedCount);
        EXPECT_EQ(next, -77);
        EXPECT_EQ(p.Payload().size(), 4u + 2u + c.expectedCount + 4u);
    }
}

// --- MatchesFilter --------------------------------------------------------------------

heraldon::AlarmSource MakeSource(const std::string& prefix) {
    heraldon::AlarmSourceSettings settings;
    settings.name = "Plant";
    settings.tagPrefix = prefix;
    return heraldon::AlarmSource(settings, 1, "/nonexistent/");
}

struct FilterCase {
    const char* prefix;
    const char* tagFilter;
    const char* areaFilter;
    const char* tag;  // as the object keeps it, without the prefix
    int32_t area;
    bool matches;
};

void CheckFilterCases(const std::vector<FilterCase>& cases) {
    for (const FilterCase& c : cases) {
        heraldon::AlarmSource source = MakeSource(c.prefix);
        EXPECT_EQ(heraldon::MatchesFilter(source, c.tagFilter, c.areaFilter, c.tag, c.area), c.matches)
            << "prefix '" << c.prefix << "' tag filter '" << c.tagFilter << "' area filter '"
            << c.areaFilter << "' tag '" << c.tag << "' area " << c.area;
    }
}

TEST(ClientMatchesFilter, TagFilterIsAListOfTagBeginnings) {
    CheckFilterCases({
        {"", "", "", "ANYTHING", 7, true},
        {"", "PU", "", "PUMP1", 0, true},
        {"", "pu", "", "PUMP1", 0, true},  // any case
        {"", "PU", "", "VALVE1", 0, false},
        {"", "VA,PU", "", "PUMP1", 0, true},
        {"", "VA,PU", "", "TANK", 0, false},
        {"", "PUMP12", "", "PUMP1", 0, false},  // a token longer than the tag
        {"", "PUMP1", "", "PUMP1", 0, true},
        // An empty token ends the list: nothing after it counts.
        {"", ",PU", "", "PUMP1", 0, false},
        {"", "VA,,PU", "", "PUMP1", 0, false},
        {"", "PU,", "", "PUMP1", 0, true},
    });
}

// Clients write tokens with the prefix they see in front of every tag; objects keep their
// tags without it.
TEST(ClientMatchesFilter, TagTokensAreWrittenWithTheSourcesTagPrefix) {
    CheckFilterCases({
        {"P1.", "P1.PU", "", "PUMP1", 0, true},
        {"P1.", "p1.pu", "", "PUMP1", 0, true},
        {"P1.", "P1.VA", "", "PUMP1", 0, false},
        {"P1.", "P1.PUMP12", "", "PUMP1", 0, false},
        {"P1.", "P1.PUMP1", "", "PUMP1", 0, true},
        // As long as the prefix: every tag of the source.
        {"P1.", "P1.", "", "PUMP1", 0, true},
        {"P1.", "P1.", "", "X", 0, true},
        // Shorter than the prefix: matches when the prefix begins with it.
        {"P1.", "P1", "", "PUMP1", 0, true},
        {"P1.", "p", "", "PUMP1", 0, true},
        {"P1.", "P2", "", "PUMP1", 0, false},
        {"P1.", "VA,P1.PU", "", "PUMP1", 0, true},
    });
}

TEST(ClientMatchesFilter, AreaFilterIsAListOfAreasAndInclusiveRanges) {
    std::vector<FilterCase> cases;
    for (int32_t area : {9, 10, 11, 15, 20, 21, 34, 35, 36, 0, -10}) {
        bool in = (area >= 10 && area <= 20) || area == 35;
        cases.push_back({"", "", "10-20,35", "T", area, in});
    }
    cases.insert(cases.end(), {
        {"", "", "", "T", -123, true},
        {"", "", "35", "T", 35, true},
        {"", "", "35", "T", 350, false},
        // An empty token ends the list.
        {"", "", ",35", "T", 35, false},
        {"", "", "5,,35", "T", 35, false},
        {"", "", "5,,35", "T", 5, true},
        // Negative areas, alone and as range ends.
        {"", "", "-5", "T", -5, true},
        {"", "", "-5", "T", 5, false},
        {"", "", "-10--5", "T", -7, true},
        {"", "", "-10--5", "T", -4, false},
        {"", "", "-3-3", "T", 0, true},
        {"", "", "-3-3", "T", 4, false},
        {"", "", "abc", "T", 0, false},
    });
    CheckFilterCases(cases);
}

TEST(ClientMatchesFilter, BothFiltersMustMatch) {
    CheckFilterCases({
        {"", "PU", "1-5", "PUMP1", 3, true},
        {"", "PU", "1-5", "PUMP1", 6, false},
        {"", "VA", "1-5", "PUMP1", 3, false},
        {"P1.", "P1.PU", "3", "PUMP1", 3, true},
        {"P1.", "P1.PU", "3", "PUMP1", 4, false},
    });
}

}  // namespace
