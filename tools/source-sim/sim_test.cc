#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "server/net/source_protocol.h"
#include "tools/source-sim/sim_link.h"
#include "tools/source-sim/sim_tags.h"

namespace sourcesim {
namespace {

namespace net = heraldon::net;

std::vector<std::string> Fields(const std::string& payload) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < payload.size(); ++i) {
        if (payload[i] == '\0') {
            out.push_back(payload.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

std::string Payload(std::initializer_list<std::string> fields) {
    std::string out;
    for (const std::string& f : fields) out += f + '\0';
    return out;
}

struct Transition {
    int state, hidden, event;
    int wantState, wantHidden;
    bool wantReported;
};

TEST(SimTags, StateMachineFollowsTheServer) {
    const Transition cases[] = {
        {0, 0, kActive, 1, 0, true},
        {1, 0, kInActive, 3, 0, true},
        {2, 0, kInActive, 0, 0, true},
        {1, 0, kAcked, 2, 0, true},
        {3, 0, kAcked, 0, 0, true},
        {3, 0, kActive, 1, 0, true},
        {0, 0, kAcked, 0, 0, true},
        {1, 0, kDisable, 4, 1, true},
        {4, 1, kDisable, 4, 1, true},
        // A disabled tag's process goes on unseen; acks still reach the server.
        {4, 1, kInActive, 4, 3, false},
        {4, 0, kActive, 4, 1, false},
        {4, 3, kAcked, 4, 0, true},
        {4, 3, kEnable, 3, 3, true},
        {4, 2, kEnable, 2, 2, true},
        // Enabling an enabled tag leaves its process alone.
        {1, 0, kEnable, 1, 0, true},
    };
    for (const Transition& c : cases) {
        SimTag t;
        t.state = c.state;
        t.hiddenState = c.hidden;
        bool reported = ApplyEvent(t, c.event, Stamp{1000, 5});
        SCOPED_TRACE(std::to_string(c.state) + "/" + std::to_string(c.hidden) + " " +
                     EventTypeName(c.event));
        EXPECT_EQ(t.state, c.wantState);
        EXPECT_EQ(t.hiddenState, c.wantHidden);
        EXPECT_EQ(reported, c.wantReported);
    }
}

TEST(SimTags, EnableStampsInactiveTimeOnlyWhenTheAlarmIsOff) {
    SimTag t;
    t.state = kDisabled;
    t.hiddenState = kActiveAcked;
    t.inactiveTime = {77, 1};
    ApplyEvent(t, kEnable, Stamp{500, 9});
    EXPECT_EQ(t.inactiveTime.seconds, 0);
    t.state = kDisabled;
    t.hiddenState = kInactiveUnacked;
    ApplyEvent(t, kEnable, Stamp{600, 9});
    EXPECT_EQ(t.inactiveTime.seconds, 600);
}

struct TagCase {
    const char* text;
    bool ok;
    size_t count;
    const char* firstName;
    int firstArea, firstCategory;
};

TEST(SimTags, ParsesTagLists) {
    const TagCase cases[] = {
        {"P101;Pump fault;Intake pump;3;1\n", true, 1, "Pump fault", 3, 1},
        {"# comment\n\nP101\tPump\tdesc\t2\t2\r\nP102\n", true, 2, "Pump", 2, 2},
        {"P101\n", true, 1, "P101", 0, 0},
        {"P101;;;;\n", true, 1, "P101", 0, 0},
        {"P101\np101\n", false, 0, "", 0, 0},
        {";name\n", false, 0, "", 0, 0},
        {"P101;n;d;x;1\n", false, 0, "", 0, 0},
        {"P101;n;d;1;1;extra\n", false, 0, "", 0, 0},
    };
    for (const TagCase& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<SimTag> tags;
        std::string error;
        ASSERT_EQ(ParseTagList(c.text, tags, error), c.ok) << error;
        if (!c.ok) continue;
        ASSERT_EQ(tags.size(), c.count);
        EXPECT_EQ(tags[0].name, c.firstName);
        EXPECT_EQ(tags[0].area, c.firstArea);
        EXPECT_EQ(tags[0].category, c.firstCategory);
        for (size_t i = 0; i < tags.size(); ++i) EXPECT_EQ(tags[i].handle, i + 1);
    }
}

TEST(SimTags, GeneratedTagsAndLookup) {
    std::vector<SimTag> tags = GenerateTags(60);
    ASSERT_EQ(tags.size(), 60u);
    EXPECT_EQ(tags[0].tag, "TAG00001");
    for (const SimTag& t : tags) {
        EXPECT_GE(t.area, 1);
        EXPECT_LE(t.area, 5);
        EXPECT_GE(t.category, 1);
        EXPECT_LE(t.category, 3);
        EXPECT_LE(t.name.size(), kNameChars);
    }
    EXPECT_EQ(FindTag(tags, 7, ""), &tags[6]);
    EXPECT_EQ(FindTag(tags, 0, "tag00012"), &tags[11]);
    EXPECT_EQ(FindTag(tags, 999, "TAG00003"), &tags[2]);
    EXPECT_EQ(FindTag(tags, 0, "nothing"), nullptr);
}

TEST(SimLink, ReadsCommands) {
    Command c = ParseCommand(net::SOURCE_PACKET_TYPE_DISABLE,
                             Payload({"12", "11", "TAG00012", "anna", "night work", "1700000000"}));
    EXPECT_EQ(c.handle, 12u);
    EXPECT_EQ(c.fileRecord, 11u);
    EXPECT_EQ(c.tag, "TAG00012");
    EXPECT_EQ(c.user, "anna");
    EXPECT_EQ(c.comment, "night work");
    EXPECT_EQ(c.disableEnd, 1700000000u);
    // Cut short: what is missing stays empty.
    Command shortAck = ParseCommand(net::SOURCE_PACKET_TYPE_ACK, std::string_view("5\0"
                                                                                  "4",
                                                                                  3));
    EXPECT_EQ(shortAck.handle, 5u);
    EXPECT_EQ(shortAck.fileRecord, 4u);
    EXPECT_TRUE(shortAck.tag.empty());
}

TEST(SimLink, ObjectFieldsArePositional) {
    SimTag t = GenerateTags(1)[0];
    t.state = kActiveUnacked;
    t.activeTime = {0x1'0000'0005, 42};
    std::vector<std::string> refresh = Fields(ObjectPayload(t, kNoEvent, t.state, {}));
    ASSERT_EQ(refresh.size(), 34u);
    EXPECT_EQ(refresh[0], "-1");
    EXPECT_EQ(refresh[1], "1");
    EXPECT_EQ(refresh[2], "TAG00001");
    EXPECT_EQ(refresh[3], "1");
    EXPECT_EQ(refresh[4], t.name);
    EXPECT_EQ(refresh[12], "0");  // active: the inactive time is cleared
    EXPECT_EQ(refresh[14], "5");  // ActiveTime: low 32 bits only
    EXPECT_EQ(refresh[15], "42");
    EXPECT_EQ(refresh[16], "");   // never acknowledged this run: the server keeps its own
    EXPECT_EQ(refresh[20], "0");  // not disabled: no disable end

    std::vector<std::string> ack = Fields(ObjectPayload(t, kAcked, std::nullopt, {"anna", "", ""}));
    ASSERT_EQ(ack.size(), 34u);
    EXPECT_EQ(ack[0], "2");
    EXPECT_EQ(ack[3], "");
    EXPECT_EQ(ack[31], "anna");
    EXPECT_EQ(ack[32], "");
}

TEST(SimLink, RefreshBeginFollowsTheVersion) {
    EXPECT_EQ(Fields(RefreshBeginPayload(0x3003)), (std::vector<std::string>{"1", "0", "1"}));
    EXPECT_EQ(Fields(RefreshBeginPayload(0x3002)), (std::vector<std::string>{"1", "0"}));
}

TEST(SimLink, NegotiatesTheNewestCommonVersion) {
    struct Case {
        int32_t low, high, serverLow, serverHigh, want;
    };
    const Case cases[] = {
        {0x3002, 0x3003, 0x3002, 0x3003, 0x3003},
        {0x3000, 0x3002, 0x3002, 0x3003, 0x3002},
        {0x3003, 0x3010, 0x3002, 0x3003, 0x3003},
        {0x3000, 0x3001, 0x3002, 0x3003, 0},
    };
    for (const Case& c : cases) {
        Welcome w;
        w.lowest = c.serverLow;
        w.highest = c.serverHigh;
        w.accepted = true;
        EXPECT_EQ(NegotiatedVersion(c.low, c.high, w), c.want);
    }
}

}  // namespace
}  // namespace sourcesim
