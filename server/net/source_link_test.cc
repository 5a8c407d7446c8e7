// The Alarm Source link against a server running in this process, through real sockets.

#include <gtest/gtest.h>

#include "server/alarms/alarm_commands.h"
#include "server/net/source_protocol.h"
#include "tests/support/fake_peer.h"
#include "tests/support/server_fixture.h"

namespace {

using namespace heraldon::net;
using testing_support::FakePeer;
using testing_support::Fields;
using testing_support::InProcessServer;
using testing_support::Packet;
using testing_support::SplitFields;

// Connects and identifies as name; expects the welcome with accepted "1".
std::unique_ptr<FakePeer> Identified(InProcessServer& server, const std::string& name,
                                     const std::string& low = "12290",
                                     const std::string& high = "12291") {
    auto peer = std::make_unique<FakePeer>(server.SourcePort());
    EXPECT_TRUE(peer->Connected());
    EXPECT_TRUE(peer->Send(SOURCE_PACKET_TYPE_IDENTIFY, Fields({low, high, name})));
    Packet welcome;
    EXPECT_TRUE(peer->ReceiveType(SOURCE_PACKET_TYPE_WELCOME, welcome));
    auto fields = SplitFields(welcome.payload);
    EXPECT_GE(fields.size(), 4u);
    if (fields.size() >= 3) {
        EXPECT_EQ(fields[2], "1");
    }
    return peer;
}

std::string Event(const std::string& type, const std::string& handle, const std::string& tag) {
    return Fields({type, handle, tag, "", "Name of " + tag, "Description", "3", "2"});
}

TEST(SourceLink, IdentifiedSourceIsAskedForARefreshAndItsEventsBecomeAlarms) {
    InProcessServer server;
    ASSERT_TRUE(server.Started());
    auto peer = Identified(server, "plant");  // names compare without regard to case
    Packet packet;
    ASSERT_TRUE(peer->ReceiveType(SOURCE_PACKET_TYPE_SOURCE_ENABLED, packet));
    EXPECT_EQ(SplitFields(packet.payload), std::vector<std::string>{"1"});
    ASSERT_TRUE(peer->ReceiveType(SOURCE_PACKET_TYPE_REFRESH_REQUEST, packet));

    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "17", "P101")));
    heraldon::AlarmSource& plant = server.Source(1);
    ASSERT_TRUE(InProcessServer::Eventually([&] {
        std::lock_guard<std::recursive_mutex> guard(server.Server().AlarmDataLock());
        return plant.inUse.FindBySCADAHandle(17) != nullptr;
    }));
    {
        std::lock_guard<std::recursive_mutex> guard(server.Server().AlarmDataLock());
        heraldon::AlarmObject* o = plant.inUse.FindByTag("p101");
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(o->State, heraldon::kStateActiveUnacked);
        EXPECT_EQ(o->Area, 3);
        EXPECT_EQ(o->Category, 2);
        EXPECT_EQ(heraldon::TextOf(o->Name), "Name of P101");
    }
    EXPECT_NE(server.LogText().find(
                  "AlarmSource 'Plant': Event 'Active' from nonexisting alarm object (17/P101, "),
              std::string::npos);
}

TEST(SourceLink, OperatorCommandsReachTheSourceAsTheirPackets) {
    InProcessServer server;
    ASSERT_TRUE(server.Started());
    auto peer = Identified(server, "Plant");
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "17", "P101")));
    heraldon::AlarmSource& plant = server.Source(1);
    uint32_t handle = 0;
    ASSERT_TRUE(InProcessServer::Eventually([&] {
        std::lock_guard<std::recursive_mutex> guard(server.Server().AlarmDataLock());
        auto* o = plant.inUse.FindByTag("P101");
        if (o != nullptr) handle = plant.handleBase | static_cast<uint32_t>(o->FileRecord);
        return o != nullptr;
    }));

    struct Case {
        int command;
        uint32_t packet;
        int64_t duration;
    };
    const Case cases[] = {
        {heraldon::kCommandAck, SOURCE_PACKET_TYPE_ACK, 0},
        {heraldon::kCommandEnable, SOURCE_PACKET_TYPE_ENABLE, 0},
        {heraldon::kCommandInactivate, SOURCE_PACKET_TYPE_INACTIVATE, 0},
        {heraldon::kCommandActivate, SOURCE_PACKET_TYPE_ACTIVATE, 0},
        {heraldon::kCommandRemove, SOURCE_PACKET_TYPE_REMOVE, 0},
        {heraldon::kCommandDisable, SOURCE_PACKET_TYPE_DISABLE, 600},
    };
    for (const Case& c : cases) {
        int64_t before = platform::clock::UtcNow();
        ASSERT_EQ(heraldon::ExecuteCommand(c.command, handle, "anna", "a comment", c.duration,
                                           "127.0.0.1:1"),
                  1);
        Packet packet;
        ASSERT_TRUE(peer->ReceiveType(c.packet, packet)) << std::hex << c.packet;
        auto fields = SplitFields(packet.payload);
        ASSERT_GE(fields.size(), 5u);
        EXPECT_EQ(fields[0], "17");
        EXPECT_EQ(fields[1], "0");
        EXPECT_EQ(fields[2], "P101");
        EXPECT_EQ(fields[3], "anna");
        EXPECT_EQ(fields[4], "a comment");
        if (c.packet == SOURCE_PACKET_TYPE_DISABLE) {
            ASSERT_EQ(fields.size(), 6u);
            int64_t end = std::stoll(fields[5]);
            EXPECT_GE(end, before + 600);
            EXPECT_LE(end, platform::clock::UtcNow() + 600);
        } else {
            EXPECT_EQ(fields.size(), 5u);
        }
    }
    // The state only changes when the source answers.
    std::lock_guard<std::recursive_mutex> guard(server.Server().AlarmDataLock());
    EXPECT_EQ(plant.inUse.FindByTag("P101")->State, heraldon::kStateActiveUnacked);
}

TEST(SourceLink, ACommentThatFillsThePacketNeverPushesOutTheDisableEndTime) {
    InProcessServer server;
    auto peer = Identified(server, "Plant");
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "5", "T")));
    ASSERT_TRUE(InProcessServer::Eventually([&] {
        std::lock_guard<std::recursive_mutex> guard(server.Server().AlarmDataLock());
        return server.Source(1).inUse.FindByTag("T") != nullptr;
    }));
    std::string comment(30000, 'c');
    comment[10] = '\0';  // an embedded zero would start a forged field
    ASSERT_EQ(heraldon::ExecuteCommand(heraldon::kCommandDisable, 1u << 24, "u\0x", comment, 60, "c"), 1);
    Packet packet;
    ASSERT_TRUE(peer->ReceiveType(SOURCE_PACKET_TYPE_DISABLE, packet));
    auto fields = SplitFields(packet.payload);
    ASSERT_EQ(fields.size(), 6u);
    EXPECT_EQ(fields[3], "u");
    EXPECT_EQ(fields[4], std::string(10, 'c'));
    EXPECT_NE(std::stoll(fields[5]), 0);

    std::string huge(30000, 'h');
    ASSERT_EQ(heraldon::ExecuteCommand(heraldon::kCommandDisable, 1u << 24, "u", huge, 60, "c"), 1);
    ASSERT_TRUE(peer->ReceiveType(SOURCE_PACKET_TYPE_DISABLE, packet));
    fields = SplitFields(packet.payload);
    ASSERT_EQ(fields.size(), 6u);
    EXPECT_LE(packet.payload.size(), kSourceCommandLimit);
    EXPECT_NE(std::stoll(fields[5]), 0);
}

}  // namespace
