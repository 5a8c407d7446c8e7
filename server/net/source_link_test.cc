// The Alarm Source link against a server running in this process, through real sockets.

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <regex>
#include <vector>

#include "server/alarms/alarm_commands.h"
#include "server/alarms/alarm_hooks.h"
#include "server/alarms/alarm_state.h"
#include "server/net/frame.h"
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

// Object fields by their documented numbers (1 = event type); the ones not given are empty.
std::string ObjectFields(const std::map<int, std::string>& fields) {
    std::string payload;
    int last = fields.empty() ? 0 : fields.rbegin()->first;
    for (int number = 1; number <= last; ++number) {
        auto it = fields.find(number);
        if (it != fields.end()) payload += it->second;
        payload.push_back('\0');
    }
    return payload;
}

template <typename Condition>
bool EventuallyLocked(InProcessServer& server, Condition condition) {
    return InProcessServer::Eventually([&] {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        return condition();
    });
}

// Log lines name the peer by its address and port, which the test does not choose; PEER in
// a pattern stands for any local peer.
std::regex LinePattern(const std::string& pattern) {
    std::string expanded;
    for (size_t at = 0;;) {
        size_t peer = pattern.find("PEER", at);
        expanded += pattern.substr(at, peer - at);
        if (peer == std::string::npos) break;
        expanded += R"(127\.0\.0\.1:\d+)";
        at = peer + 4;
    }
    return std::regex(expanded);
}

std::string EscapeForPattern(const std::string& text) {
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

size_t LogCount(InProcessServer& server, const std::string& pattern) {
    std::string log = server.LogText();
    std::regex re = LinePattern(pattern);
    return static_cast<size_t>(
        std::distance(std::sregex_iterator(log.begin(), log.end(), re), std::sregex_iterator()));
}

bool LogShows(InProcessServer& server, const std::string& pattern) {
    return InProcessServer::Eventually([&] { return LogCount(server, pattern) > 0; });
}

// Sends a payload that waits until the source's object with this tag exists; packets of one
// connection are handled in order, so everything sent before has been handled too.
heraldon::AlarmObject* Sync(InProcessServer& server, FakePeer& peer, int sourceIndex,
                            const std::string& tag) {
    EXPECT_TRUE(peer.Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "", tag)));
    heraldon::AlarmSource& source = server.Source(sourceIndex);
    heraldon::AlarmObject* found = nullptr;
    EXPECT_TRUE(EventuallyLocked(server, [&] { return (found = source.inUse.FindByTag(tag)) != nullptr; }))
        << tag;
    return found;
}

// Tags of the events of one source the text feed was given, while it lives. (Other
// sources' events, such as a connection-failed alarm of an earlier peer, are not counted.)
class FedTags {
public:
    FedTags(InProcessServer& server, int sourceIndex) : server_(server) {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server_.Server().AlarmDataLock());
        saved_ = heraldon::TheAlarmHooks().sendTextEvent;
        heraldon::TheAlarmHooks().sendTextEvent = [this, sourceIndex](heraldon::AlarmSource& s,
                                                                       heraldon::AlarmObject& o, int32_t) {
            if (s.index != sourceIndex) return;
            std::lock_guard<std::mutex> tags(lock_);
            tags_.emplace_back(heraldon::TextOf(o.Tag));
        };
    }
    ~FedTags() {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server_.Server().AlarmDataLock());
        heraldon::TheAlarmHooks().sendTextEvent = saved_;
    }
    std::vector<std::string> Tags() {
        std::lock_guard<std::mutex> tags(lock_);
        return tags_;
    }

private:
    InProcessServer& server_;
    decltype(heraldon::AlarmHooks::sendTextEvent) saved_;
    std::mutex lock_;
    std::vector<std::string> tags_;
};

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
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        return plant.inUse.FindBySCADAHandle(17) != nullptr;
    }));
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
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
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
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
    std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
    EXPECT_EQ(plant.inUse.FindByTag("P101")->State, heraldon::kStateActiveUnacked);
}

TEST(SourceLink, ACommentThatFillsThePacketNeverPushesOutTheDisableEndTime) {
    InProcessServer server;
    auto peer = Identified(server, "Plant");
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "5", "T")));
    ASSERT_TRUE(InProcessServer::Eventually([&] {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
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

TEST(SourceLink, PacketsAreReassembledWhateverTheSegmentsAndTheSizeLimitIsExact) {
    InProcessServer server;
    FakePeer peer(server.SourcePort());
    ASSERT_TRUE(peer.Connected());
    for (char byte : EncodeFrame(SOURCE_PACKET_TYPE_IDENTIFY, Fields({"12290", "12291", "Plant"}))) {
        ASSERT_TRUE(peer.SendRaw(std::string(1, byte)));
    }
    Packet welcome;
    ASSERT_TRUE(peer.ReceiveType(SOURCE_PACKET_TYPE_WELCOME, welcome));
    ASSERT_GE(SplitFields(welcome.payload).size(), 3u);
    EXPECT_EQ(SplitFields(welcome.payload)[2], "1");
    heraldon::AlarmSource& plant = server.Source(1);

    // Cut inside its header, then inside its payload, the tail sharing a write with the next.
    std::string split = EncodeFrame(SOURCE_PACKET_TYPE_EVENT, Event("1", "1", "Split"));
    ASSERT_TRUE(peer.SendRaw(split.substr(0, 5)));
    platform::clock::SleepMs(20);
    ASSERT_TRUE(peer.SendRaw(split.substr(5, 10)));
    platform::clock::SleepMs(20);
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        EXPECT_EQ(plant.inUse.FindByTag("Split"), nullptr) << "applied before it was whole";
    }
    ASSERT_TRUE(peer.SendRaw(split.substr(15) + EncodeFrame(SOURCE_PACKET_TYPE_EVENT, Event("1", "2", "Whole"))));
    std::string many;
    for (int i = 0; i < 100; ++i) {
        many += EncodeFrame(SOURCE_PACKET_TYPE_EVENT, Event("1", std::to_string(100 + i), "Many" + std::to_string(i)));
    }
    ASSERT_TRUE(peer.SendRaw(many));
    ASSERT_TRUE(EventuallyLocked(server, [&] { return plant.inUse.size() == 102; }));
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        ASSERT_NE(plant.inUse.FindByTag("Split"), nullptr);
        EXPECT_EQ(plant.inUse.FindByTag("Split")->SCADAHandle, 1u);
        EXPECT_EQ(heraldon::TextOf(plant.inUse.FindByTag("Split")->Name), "Name of Split");
        ASSERT_NE(plant.inUse.FindByTag("Many99"), nullptr);
        EXPECT_EQ(plant.inUse.FindByTag("Many99")->SCADAHandle, 199u);
    }

    // Two payloads of the largest size in one write: the receive buffer holds one whole.
    std::string largest;
    for (const char* tag : {"Big1", "Big2"}) {
        std::string payload = Fields({"1", "", tag});
        payload.resize(kSourceMaxPayload, '\0');
        largest += EncodeFrame(SOURCE_PACKET_TYPE_EVENT, payload);
    }
    ASSERT_TRUE(peer.SendRaw(largest));
    ASSERT_TRUE(EventuallyLocked(server, [&] { return plant.inUse.FindByTag("Big2") != nullptr; }));

    std::string tooLarge;
    AppendU32(tooLarge, static_cast<uint32_t>(kSourceMaxPayload + 1));
    AppendU32(tooLarge, SOURCE_PACKET_TYPE_EVENT);
    tooLarge += Fields({"1", "", "Bigger"});
    ASSERT_TRUE(peer.SendRaw(tooLarge));
    EXPECT_TRUE(peer.ClosedByServer());
    EXPECT_TRUE(LogShows(server, "Packet size error receiving from PEER\r\n"));
    std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
    EXPECT_EQ(plant.inUse.FindByTag("Bigger"), nullptr);
}

TEST(SourceLink, BeforeIdentificationOnlyTheIdentifyCountsAndAfterItStrangePacketsAreOnlyLogged) {
    InProcessServer server;
    FakePeer peer(server.SourcePort());
    ASSERT_TRUE(peer.Connected());
    ASSERT_TRUE(peer.Send(0x1234, "\x01\x02garbage"));
    ASSERT_TRUE(peer.Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "5", "Early")));
    ASSERT_TRUE(peer.Send(SOURCE_PACKET_TYPE_STATUS, Fields({"1"})));
    ASSERT_TRUE(peer.Send(SOURCE_PACKET_TYPE_IDENTIFY, Fields({"12290", "12291", "Plant"})));
    Packet welcome;
    ASSERT_TRUE(peer.ReceiveType(SOURCE_PACKET_TYPE_WELCOME, welcome));
    ASSERT_GE(SplitFields(welcome.payload).size(), 3u);
    EXPECT_EQ(SplitFields(welcome.payload)[2], "1");

    ASSERT_TRUE(peer.Send(0x1234, "x"));
    ASSERT_TRUE(peer.Send(SOURCE_PACKET_TYPE_IDENTIFY, Fields({"12290", "12291", "Line2"})));
    Sync(server, peer, 1, "Late");
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        heraldon::AlarmSource& plant = server.Source(1);
        EXPECT_EQ(plant.inUse.FindByTag("Early"), nullptr);
        EXPECT_EQ(plant.removed.FindByTag("Early"), nullptr);
        EXPECT_EQ(plant.running, 0) << "a status before identification counted";
        EXPECT_EQ(server.Source(2).connection, nullptr) << "a second identify claimed another source";
        EXPECT_NE(plant.connection, nullptr);
    }
    // Only the unknown packet after identification is logged.
    EXPECT_EQ(LogCount(server, "Unknown packet type 00001234 from alarms server client PEER\r\n"), 1u);
    EXPECT_EQ(LogCount(server, R"(Alarm Source PEER sent some extra Identify Packet\?)"), 1u);
}

TEST(SourceLink, IdentificationNegotiatesTheVersionAndRefusesWhatItCannotServe) {
    InProcessServer server;
    uint16_t port = server.SourcePort();
    ASSERT_NE(port, 0);
    EXPECT_TRUE(LogShows(server, "Waiting for new Alarm Source connections at port " + std::to_string(port) + "\r\n"));

    struct Case {
        const char* what;
        int low, high;
        const char* name;
        int sourceIndex;  // of the source it becomes; 0 when refused
        int used;
        const char* log;
    };
    const Case cases[] = {
        {"an older range reaching ours gets its highest", 0x3000, 0x3002, "Plant", 1, 0x3002,
         R"(Alarm Source 'Plant' \(PEER\) has identified itself, it supports protocol version )"
         R"(0x3000\.\.0x3002, we will use version 0x3002)"},
        {"a range below ours", 0x3000, 0x3001, "Line2", 0, 0,
         R"(Alarm Source 'Line2' \(PEER\) has wrong protocol version 0x3000\.\.0x3001, we support )"
         R"(only 0x3002\.\.0x3003)"},
        {"a newer range gets our highest", 0x3003, 0x3010, "Line2", 2, 0x3003,
         R"(Alarm Source 'Line2' \(PEER\) has identified itself, it supports protocol version )"
         R"(0x3003\.\.0x3010, we will use version 0x3003)"},
        {"a name nobody configured", 0x3002, 0x3003, "Nowhere", 0, 0,
         R"(Alarm Source 'Nowhere' \(PEER\) will be disconnected, it cannot be found in the Alarm )"
         R"(Source list)"},
        {"the system source cannot be claimed", 0x3002, 0x3003, "System", 0, 0,
         R"(Alarm Source 'System' \(PEER\) will be disconnected, it cannot be found in the Alarm )"
         R"(Source list)"},
        {"a source that is already connected", 0x3002, 0x3003, "PLANT", 0, 0,
         "Alarm Source PEER will be disconnected, it claims to be 'PLANT', but PEER has already "
         "connected using the same source name"},
    };
    std::vector<std::unique_ptr<FakePeer>> accepted;
    for (const Case& c : cases) {
        auto peer = std::make_unique<FakePeer>(port);
        ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_IDENTIFY,
                               Fields({std::to_string(c.low), std::to_string(c.high), c.name})))
            << c.what;
        Packet welcome;
        ASSERT_TRUE(peer->ReceiveType(SOURCE_PACKET_TYPE_WELCOME, welcome)) << c.what;
        auto fields = SplitFields(welcome.payload);
        ASSERT_EQ(fields.size(), 4u) << c.what;
        EXPECT_EQ(fields[0], "12290") << c.what;
        EXPECT_EQ(fields[1], "12291") << c.what;
        EXPECT_EQ(fields[2], c.sourceIndex != 0 ? "1" : "0") << c.what;
        EXPECT_FALSE(fields[3].empty()) << c.what;
        EXPECT_TRUE(LogShows(server, c.log)) << c.what;
        if (c.sourceIndex == 0) {
            EXPECT_TRUE(peer->ClosedByServer()) << c.what;
            continue;
        }
        {
            std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
            heraldon::SourceConnection* connection = server.Source(c.sourceIndex).connection;
            ASSERT_NE(connection, nullptr) << c.what;
            EXPECT_EQ(connection->versionUsed, c.used) << c.what;
        }
        accepted.push_back(std::move(peer));
    }
    // The refused claim on Plant left its connection alone.
    std::string plantAddress;
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        plantAddress = server.Source(1).connection->address;
    }
    EXPECT_EQ(LogCount(server, "already connected using the same source name"), 1u);
    EXPECT_EQ(LogCount(server, "but " + EscapeForPattern(plantAddress) + " has already connected"), 1u);
    Sync(server, *accepted[0], 1, "StillHere");
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        ASSERT_NE(server.Source(1).connection, nullptr);
        EXPECT_EQ(server.Source(1).connection->address, plantAddress);
    }

    // The refusal's pause before the close leaves the alarm data free: while the test holds
    // it, the refused peer stays open; once released, it is closed.
    FakePeer refused(port);
    ASSERT_TRUE(refused.Send(SOURCE_PACKET_TYPE_IDENTIFY, Fields({"12290", "12291", "Nowhere"})));
    Packet welcome;
    ASSERT_TRUE(refused.ReceiveType(SOURCE_PACKET_TYPE_WELCOME, welcome));
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        EXPECT_FALSE(refused.ClosedByServer(150)) << "the refusal waited with the alarm data lock held";
    }
    EXPECT_TRUE(refused.ClosedByServer());
}

TEST(SourceLink, RejectMessagesCanBeSilencedWithoutChangingTheRefusal) {
    InProcessServer server("DisableAlarmSourceRejectMessages=1\n");
    auto first = Identified(server, "Plant");
    FakePeer second(server.SourcePort());
    ASSERT_TRUE(second.Send(SOURCE_PACKET_TYPE_IDENTIFY, Fields({"12290", "12291", "PLANT"})));
    Packet welcome;
    ASSERT_TRUE(second.ReceiveType(SOURCE_PACKET_TYPE_WELCOME, welcome));
    ASSERT_GE(SplitFields(welcome.payload).size(), 3u);
    EXPECT_EQ(SplitFields(welcome.payload)[2], "0");
    EXPECT_TRUE(second.ClosedByServer());
    // The line would be written before the refusal is sent, so it would be there by now.
    EXPECT_EQ(LogCount(server, "has already connected using the same source name"), 0u);
    Sync(server, *first, 1, "StillHere");
}

struct RefreshCase {
    const char* what;
    int low, high;                   // the versions the source offers
    std::vector<std::string> begin;  // fields of its refresh begin
    // States of the objects not reported again; kStateRemoved: moved to the removed list.
    int32_t active, disabled, normal;
    const char* counts;
};

void RunRefresh(InProcessServer& server, int sourceIndex, const RefreshCase& c) {
    SCOPED_TRACE(c.what);
    heraldon::AlarmSource& source = server.Source(sourceIndex);
    auto peer = Identified(server, source.name, std::to_string(c.low), std::to_string(c.high));
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "1", "Active")));
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "2", "Disabled")));
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_EVENT, ObjectFields({{1, "3"}, {2, "2"}, {3, "Disabled"}, {21, "12345"}})));
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_EVENT, Event("0", "3", "Normal")));
    Sync(server, *peer, sourceIndex, "Reported");
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        ASSERT_EQ(source.inUse.FindByTag("Disabled")->State, heraldon::kStateDisabled);
        ASSERT_EQ(source.inUse.FindByTag("Normal")->State, heraldon::kStateNormal);
    }

    FedTags fed(server, sourceIndex);
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_REFRESH_BEGIN, Fields(std::initializer_list<std::string_view>(
                                                                  {c.begin[0], c.begin[1], c.begin[2]}))));
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_OBJECT, Event("1", "", "Reported")));
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_REFRESH_END, ""));
    ASSERT_TRUE(LogShows(server, "AlarmSource '" + source.name +
                                     R"(': Got all alarm objects refreshed: )" + c.counts));

    std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
    struct Expect {
        const char* tag;
        int32_t state;
    };
    for (const Expect& e : {Expect{"Active", c.active}, Expect{"Disabled", c.disabled},
                            Expect{"Normal", c.normal}, Expect{"Reported", heraldon::kStateActiveUnacked}}) {
        heraldon::AlarmObject* o = source.inUse.FindByTag(e.tag);
        if (e.state == heraldon::kStateRemoved) {
            EXPECT_EQ(o, nullptr) << e.tag;
            o = source.removed.FindByTag(e.tag);
            ASSERT_NE(o, nullptr) << e.tag;
            EXPECT_EQ(o->InUse, 0) << e.tag;
        } else {
            ASSERT_NE(o, nullptr) << e.tag;
            EXPECT_EQ(o->InUse, 1) << e.tag;
        }
        EXPECT_EQ(o->State, e.state) << e.tag;
    }
    heraldon::AlarmObject* disabled = source.inUse.FindByTag("Disabled");
    if (disabled != nullptr) {
        EXPECT_EQ(disabled->DisabledExpireTime, c.disabled == heraldon::kStateDisabled ? 12345 : 0);
    }
    EXPECT_EQ(source.refreshing, 0);
    // A refresh changes states, it records no events: only the reported object was fed.
    EXPECT_EQ(fed.Tags(), std::vector<std::string>{"Reported"});
}

TEST(SourceLink, RefreshEndDeletesOrNormalisesWhatWasNotReported) {
    using heraldon::kStateDisabled;
    using heraldon::kStateRemoved;
    const RefreshCase cases[] = {
        {"delete missing", 0x3003, 0x3003, {"1", "0", "1"}, kStateRemoved, kStateRemoved, kStateRemoved,
         R"(3 deleted, 0 normalised \(total scanned 3\))"},
        {"normalise, keep disabled", 0x3003, 0x3003, {"0", "0", "1"}, 0, kStateDisabled, 0,
         R"(0 deleted, 1 normalised \(total scanned 3\))"},
        {"normalise disabled too", 0x3002, 0x3003, {"0", "0", "0"}, 0, 0, 0,
         R"(0 deleted, 2 normalised \(total scanned 3\))"},
        {"version 0x3002 always keeps disabled", 0x3000, 0x3002, {"0", "0", "0"}, 0, kStateDisabled, 0,
         R"(0 deleted, 1 normalised \(total scanned 3\))"},
    };
    // Two cases to a server, one on each source.
    for (size_t i = 0; i < std::size(cases); i += 2) {
        InProcessServer server;
        RunRefresh(server, 1, cases[i]);
        if (i + 1 < std::size(cases)) RunRefresh(server, 2, cases[i + 1]);
    }
}

TEST(SourceLink, ARemovedObjectLeavesUseAndComesBackUnderItsOwnRecord) {
    InProcessServer server;
    auto peer = Identified(server, "Plant");
    heraldon::AlarmSource& plant = server.Source(1);
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "11", "Valve1")));
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "12", "Valve2")));
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "13", "Tank")));
    Sync(server, *peer, 1, "Probe1");

    struct Removal {
        const char* handle;
        const char* tag;
        const char* removes;  // null: nothing is removed
    };
    const Removal removals[] = {
        {"11", "", "Valve1"},
        {"0", "VALVE2", "Valve2"},          // without a handle, by tag in any case
        {"999", "Tank", nullptr},           // a handle is looked up alone
        {"0", "NotThere", nullptr},
    };
    std::map<std::string, int32_t> records;
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        for (const char* tag : {"Valve1", "Valve2"}) records[tag] = plant.inUse.FindByTag(tag)->FileRecord;
    }
    for (const Removal& r : removals) {
        ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_OBJECT_REMOVED, Fields({r.handle, r.tag})));
    }
    Sync(server, *peer, 1, "Probe2");
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        for (const Removal& r : removals) {
            if (r.removes == nullptr) continue;
            EXPECT_EQ(plant.inUse.FindByTag(r.removes), nullptr) << r.removes;
            heraldon::AlarmObject* o = plant.removed.FindByTag(r.removes);
            ASSERT_NE(o, nullptr) << r.removes;
            EXPECT_EQ(o->State, heraldon::kStateRemoved);
            EXPECT_EQ(o->InUse, 0);
            EXPECT_EQ(o->Seen, 0);
        }
        ASSERT_NE(plant.inUse.FindByTag("Tank"), nullptr);
        EXPECT_EQ(plant.inUse.FindByTag("Tank")->State, heraldon::kStateActiveUnacked);
        EXPECT_EQ(plant.removed.size(), 2u);
    }
    EXPECT_EQ(LogCount(server, "AlarmSource 'Plant': Alarm object '(Valve1|Valve2)' was removed by alarm source"), 2u);
    EXPECT_EQ(LogCount(server, "was removed by alarm source"), 2u);

    // Reported again: Active brings Valve1 back; an InActive puts Valve2 back in use but
    // leaves it removed.
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "11", "Valve1")));
    ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_EVENT, Event("0", "12", "Valve2")));
    Sync(server, *peer, 1, "Probe3");
    std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
    EXPECT_TRUE(plant.removed.empty());
    EXPECT_EQ(plant.ObjectCount(), 6);
    struct Back {
        const char* tag;
        int32_t state;
    };
    for (const Back& b : {Back{"Valve1", heraldon::kStateActiveUnacked}, Back{"Valve2", heraldon::kStateRemoved}}) {
        heraldon::AlarmObject* o = plant.inUse.FindByTag(b.tag);
        ASSERT_NE(o, nullptr) << b.tag;
        EXPECT_EQ(o->FileRecord, records[b.tag]) << b.tag;
        EXPECT_EQ(o->State, b.state) << b.tag;
        EXPECT_EQ(o->InUse, 1) << b.tag;
    }
}

TEST(SourceLink, StatusAndDisconnectionDriveTheConnectionFailedAlarm) {
    InProcessServer server("", "[AlarmSource_Plant]\nCategoryWhenConnectionFailed=7\nAreaWhenConnectionFailed=9\n"
                               "[AlarmSource_Line2]\n");
    auto peer = Identified(server, "Plant");
    heraldon::AlarmSource& system = server.Source(0);
    heraldon::AlarmSource& plant = server.Source(1);
    struct Step {
        const char* running;
        int32_t alarmState;
        int runningFlag;
    };
    const Step steps[] = {
        {"0", heraldon::kStateActiveUnacked, 0},
        {"1", heraldon::kStateInactiveUnacked, 1},
        {"0", heraldon::kStateActiveUnacked, 0},
        {"7", heraldon::kStateInactiveUnacked, 1},  // any non-zero runs, stored as 1
    };
    for (const Step& s : steps) {
        ASSERT_TRUE(peer->Send(SOURCE_PACKET_TYPE_STATUS, Fields({s.running})));
        EXPECT_TRUE(EventuallyLocked(server, [&] {
            heraldon::AlarmObject* o = system.inUse.FindByTag("PLANT");
            return o != nullptr && o->State == s.alarmState && plant.running == s.runningFlag;
        })) << "status " << s.running;
    }
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        heraldon::AlarmObject* o = system.inUse.FindByTag("Plant");
        EXPECT_EQ(heraldon::TextOf(o->Name), "Plant");
        EXPECT_EQ(heraldon::TextOf(o->Description), "Alarm Source connection failed");
        EXPECT_EQ(o->Category, 7);
        EXPECT_EQ(o->Area, 9);
    }
    peer->Close();
    EXPECT_TRUE(EventuallyLocked(server, [&] {
        heraldon::AlarmObject* o = system.inUse.FindByTag("Plant");
        return plant.connection == nullptr && o->State == heraldon::kStateActiveUnacked && plant.running == 0;
    }));
    EXPECT_TRUE(LogShows(server, R"(Closing Alarm Source socket \(PEER\))"));
}

TEST(SourceLink, SupervisoryPassesRaiseTheNeverConnectedAlarmOnceAndCloseSilentPeers) {
    InProcessServer server;
    FakePeer silent(server.SourcePort());
    ASSERT_TRUE(silent.Connected());
    ASSERT_TRUE(EventuallyLocked(server, [&] { return server.Server().SourceConnections().size() == 1; }));
    heraldon::AlarmSource& system = server.Source(0);
    auto stateOf = [&](const char* tag) {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        heraldon::AlarmObject* o = system.inUse.FindByTag(tag);
        return o != nullptr ? o->State : -1;
    };

    server.Advance(9900);
    EXPECT_EQ(stateOf("Plant"), -1);
    server.Advance(100);
    EXPECT_EQ(stateOf("Plant"), heraldon::kStateActiveUnacked);
    EXPECT_EQ(stateOf("Line2"), heraldon::kStateActiveUnacked);
    EXPECT_FALSE(silent.ClosedByServer(100)) << "closed at 10 000 ms, not above";
    server.Advance(100);
    EXPECT_TRUE(silent.ClosedByServer());
    EXPECT_TRUE(LogShows(server, "Alarm Source from PEER has not identified itself, we are closing the connection"));

    // Raised once per run: an acknowledgement is not undone by later passes.
    uint32_t handle = 0;
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        handle = system.handleBase | static_cast<uint32_t>(system.inUse.FindByTag("Plant")->FileRecord);
    }
    ASSERT_EQ(heraldon::ExecuteCommand(heraldon::kCommandAck, handle, "anna", "", 0, "c"), 1);
    ASSERT_EQ(stateOf("Plant"), heraldon::kStateActiveAcked);
    server.Advance(10100);
    EXPECT_EQ(stateOf("Plant"), heraldon::kStateActiveAcked);
}

TEST(SourceLink, KeepalivesFollowTheFirstIntervalAndThenTheSourcesOwn) {
    InProcessServer server("AlarmSourceKeepAliveInterval=300\n",
                           "[AlarmSource_Plant]\n[AlarmSource_Line2]\nKeepAliveInterval=200\n");
    auto plant = Identified(server, "Plant");
    auto line2 = Identified(server, "Line2");
    Packet packet;
    for (FakePeer* peer : {plant.get(), line2.get()}) {
        ASSERT_TRUE(peer->ReceiveType(SOURCE_PACKET_TYPE_REFRESH_REQUEST, packet));
    }
    server.Advance(200);
    EXPECT_FALSE(plant->Receive(packet, 100)) << std::hex << packet.type;
    server.Advance(100);
    for (FakePeer* peer : {plant.get(), line2.get()}) {
        ASSERT_TRUE(peer->Receive(packet));
        EXPECT_EQ(packet.type, SOURCE_PACKET_TYPE_KEEPALIVE);
        EXPECT_EQ(packet.payload, "");
    }
    // Plant's own interval is 0: no more; Line2's is 200 ms.
    server.Advance(200);
    ASSERT_TRUE(line2->Receive(packet));
    EXPECT_EQ(packet.type, SOURCE_PACKET_TYPE_KEEPALIVE);
    server.Advance(1000);
    EXPECT_FALSE(plant->Receive(packet, 100)) << std::hex << packet.type;
}

TEST(SourceLink, ASourceThatStopsReadingIsClosedWithoutHoldingUpTheOthers) {
    InProcessServer server;
    auto deaf = Identified(server, "Plant");  // never reads again
    auto busy = Identified(server, "Line2");
    heraldon::AlarmObject* o = Sync(server, *deaf, 1, "Deaf");
    ASSERT_NE(o, nullptr);
    uint32_t handle = 0;
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        handle = server.Source(1).handleBase | static_cast<uint32_t>(o->FileRecord);
    }
    heraldon::AlarmSource& plant = server.Source(1);
    const std::string comment(20000, 'c');
    int busyEvents = 0;
    bool closed = false;
    // Far more than the queue and the socket buffers hold together.
    for (int i = 0; i < 5000 && !closed; ++i) {
        heraldon::ExecuteCommand(heraldon::kCommandAck, handle, "anna", comment, 0, "c");
        if (i % 50 == 0) {
            ASSERT_TRUE(busy->Send(SOURCE_PACKET_TYPE_EVENT,
                                   Event("1", std::to_string(1000 + busyEvents), "Busy" + std::to_string(busyEvents))));
            ++busyEvents;
        }
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        closed = plant.connection == nullptr || !plant.connection->SocketOpen();
    }
    EXPECT_TRUE(closed);
    EXPECT_TRUE(LogShows(server, "Alarm Source PEER does not read what we send, closing the connection"));
    EXPECT_TRUE(EventuallyLocked(server, [&] {
        return server.Source(2).inUse.size() == static_cast<size_t>(busyEvents) && plant.connection == nullptr;
    })) << busyEvents << " events sent";
}

}  // namespace
