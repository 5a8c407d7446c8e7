// The client link against a server running in this process, through real sockets: a fake
// Alarm Source feeds it and fake clients talk the client protocol to it.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "server/net/client_protocol.h"
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
using Builder = ClientPacketBuilder;

// Names a source far beyond the list: requests for it touch nothing.
constexpr int32_t kNoSuchSourceHandle = 0x7F000000;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// --- client side ----------------------------------------------------------------------

// Connected, with the welcome and the server info read.
std::unique_ptr<FakePeer> Connect(InProcessServer& server, Packet* welcome = nullptr,
                                  Packet* info = nullptr) {
    auto peer = std::make_unique<FakePeer>(server.ClientPort());
    EXPECT_TRUE(peer->Connected());
    Packet w, i;
    EXPECT_TRUE(peer->Receive(w));
    EXPECT_EQ(w.type, PACKET_TYPE_WELCOME);
    EXPECT_TRUE(peer->Receive(i));
    EXPECT_EQ(i.type, PACKET_TYPE_SERVER_INFO);
    if (welcome != nullptr) *welcome = w;
    if (info != nullptr) *info = i;
    return peer;
}

std::unique_ptr<FakePeer> Client(InProcessServer& server) {
    auto peer = Connect(server);
    EXPECT_TRUE(peer->Send(PACKET_TYPE_IDENTIFY, Builder().Int32(kClientListView).String("anna").Payload()));
    return peer;
}

// Everything the server sent before it answered a request that changes nothing. A
// connection handles its packets in order, so every earlier packet has been handled.
std::vector<Packet> Sync(FakePeer& peer) {
    std::vector<Packet> before;
    EXPECT_TRUE(peer.Send(PACKET_TYPE_GET_STATISTICS,
                          Builder().Int32(0).Int32(kNoSuchSourceHandle).String("").String("").Payload()));
    Packet p;
    while (peer.Receive(p)) {
        if (p.type == PACKET_TYPE_STATISTICS_END) return before;
        before.push_back(p);
    }
    ADD_FAILURE() << "no answer from the server";
    return before;
}

std::string ListRequest(const std::string& tagFilter, const std::string& areaFilter, int32_t state,
                        const std::vector<int32_t>& sources) {
    Builder p;
    p.String(tagFilter).String(areaFilter).Int32(state).Int32(static_cast<int32_t>(sources.size()));
    for (int32_t index : sources) p.Int32(index);
    return p.Payload();
}

struct StatusBlock {
    int32_t activeTime = 0, inActiveTime = 0, ackedTime = 0, disabledTime = 0, disabledExpireTime = 0;
    std::string lastAckedBy, lastDisabledBy;
    int32_t repeated = 0, state = 0, activeMs = 0, inActiveMs = 0, paging = 0, lastEventTime = 0,
            lastEventMs = 0;
};

struct ObjectBlock {
    int32_t handle = 0, version = 0;
    std::string tag, name, description, smallComment, help, sumState;
    int32_t area = 0, category = 0, privilege = 0, scadaHandle = 0;
    std::string custom[8];
    std::string pagingGrp;
    StatusBlock status;
};

void ReadStatus(ClientPayloadReader& r, StatusBlock& s) {
    r.Int32(s.activeTime);
    r.Int32(s.inActiveTime);
    r.Int32(s.ackedTime);
    r.Int32(s.disabledTime);
    r.Int32(s.disabledExpireTime);
    r.String(s.lastAckedBy);
    r.String(s.lastDisabledBy);
    for (int32_t* v : {&s.repeated, &s.state, &s.activeMs, &s.inActiveMs, &s.paging, &s.lastEventTime,
                       &s.lastEventMs}) {
        r.Int32(*v);
    }
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

ObjectBlock ParseObject(const std::string& payload) {
    ObjectBlock o;
    ClientPayloadReader r(Bytes(payload), payload.size());
    r.Int32(o.handle);
    r.Int32(o.version);
    for (std::string* s : {&o.tag, &o.name, &o.description, &o.smallComment, &o.help, &o.sumState}) r.String(*s);
    for (int32_t* v : {&o.area, &o.category, &o.privilege, &o.scadaHandle}) r.Int32(*v);
    for (std::string& c : o.custom) r.String(c);
    r.String(o.pagingGrp);
    ReadStatus(r, o.status);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.Remaining(), 0u);
    return o;
}

std::pair<int32_t, StatusBlock> ParseStatus(const std::string& payload) {
    ClientPayloadReader r(Bytes(payload), payload.size());
    int32_t handle = 0;
    StatusBlock s;
    r.Int32(handle);
    ReadStatus(r, s);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.Remaining(), 0u);
    return {handle, s};
}

// Tags of the ALARM packets up to ALARMS_END.
std::vector<std::string> ListTags(FakePeer& peer) {
    std::vector<std::string> tags;
    Packet p;
    while (peer.Receive(p)) {
        if (p.type == PACKET_TYPE_ALARMS_END) return tags;
        if (p.type == PACKET_TYPE_ALARM) tags.push_back(ParseObject(p.payload).tag);
    }
    ADD_FAILURE() << "no end of the alarm list";
    return tags;
}

// --- Alarm Source side ----------------------------------------------------------------

std::unique_ptr<FakePeer> Source(InProcessServer& server, const std::string& name) {
    auto peer = std::make_unique<FakePeer>(server.SourcePort());
    EXPECT_TRUE(peer->Connected());
    EXPECT_TRUE(peer->Send(SOURCE_PACKET_TYPE_IDENTIFY, Fields({"12290", "12291", name})));
    Packet welcome;
    EXPECT_TRUE(peer->ReceiveType(SOURCE_PACKET_TYPE_WELCOME, welcome));
    auto fields = SplitFields(welcome.payload);
    EXPECT_TRUE(fields.size() >= 3 && fields[2] == "1");
    return peer;
}

std::string Event(const std::string& type, const std::string& tag, const std::string& forced = "",
                  const std::string& area = "0") {
    return Fields({type, "0", tag, forced, "Name of " + tag, "Description", area, "2"});
}

bool HasState(InProcessServer& server, int source, const std::string& tag, int32_t state) {
    return InProcessServer::Eventually([&] {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        auto* o = server.Source(source).inUse.FindByTag(tag);
        return o != nullptr && o->State == state;
    });
}

int32_t HandleOf(InProcessServer& server, int source, const std::string& tag) {
    std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
    auto* o = server.Source(source).inUse.FindByTag(tag);
    EXPECT_NE(o, nullptr) << tag;
    return o == nullptr ? -1 : static_cast<int32_t>(server.Source(source).handleBase | o->FileRecord);
}

// ======================================================================================

// Starting a server costs far more than most tests. The tests of a suite that need nothing
// of a fresh server but its configuration share one; each works with its own clients.
template <const char* kGeneral>
class SharedServer : public testing::Test {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<InProcessServer>(kGeneral); }
    static void TearDownTestSuite() { server_.reset(); }
    static InProcessServer& Shared() { return *server_; }

private:
    static inline std::unique_ptr<InProcessServer> server_;
};

constexpr char kDefaults[] = "";
constexpr char kKeepAlives[] = "ClientKeepAliveInterval=500\nClientKeepAliveTimeout=3000\n";
class ClientRequests : public SharedServer<kDefaults> {};
class ClientKeepAlive : public SharedServer<kKeepAlives> {};

// A shared server with Plant's source connected; each test uses tags of its own.
class ClientWithPlant : public SharedServer<kDefaults> {
protected:
    static void SetUpTestSuite() {
        SharedServer::SetUpTestSuite();
        plant_ = Source(Shared(), "Plant");
    }
    static void TearDownTestSuite() {
        plant_.reset();
        SharedServer::TearDownTestSuite();
    }
    // Whatever an earlier test left unread from the source's side is dropped.
    void SetUp() override {
        Packet p;
        while (plant_->Receive(p, 20)) {
        }
    }
    static FakePeer& Plant() { return *plant_; }

private:
    static inline std::unique_ptr<FakePeer> plant_;
};


TEST(ClientLink, WelcomeAndServerInfoDescribeTheServerAndItsSources) {
    InProcessServer server("ClientKeepAliveInterval=700\n",
                           "[AlarmSource_Plant]\nDescription=Main plant\n[AlarmSource_Line2]\n");
    ASSERT_TRUE(server.Started());
    Packet welcome, info;
    auto first = Connect(server, &welcome, &info);

    ClientPayloadReader r(Bytes(welcome.payload), welcome.payload.size());
    std::string greeting;
    int32_t version = 0, reserved1 = -1, reserved2 = -1, interval = 0, count = 0;
    r.String(greeting);
    r.Int32(version);
    r.Int32(reserved1);
    r.Int32(reserved2);
    r.Int32(interval);
    r.Int32(count);
    EXPECT_EQ(greeting.rfind("Welcome as client to Scadix Heraldon", 0), 0u) << greeting;
    EXPECT_EQ(greeting.back(), '\n');
    EXPECT_EQ(version, 11);
    EXPECT_EQ(reserved1, 0);
    EXPECT_EQ(reserved2, 0);
    EXPECT_EQ(interval, 700);
    ASSERT_EQ(count, 3);
    struct Expected {
        const char* name;
        const char* description;
    };
    const Expected expected[] = {{"System", "Klaxora system"}, {"Plant", "Main plant"}, {"Line2", ""}};
    for (int32_t i = 0; i < count; ++i) {
        std::string name, description;
        int32_t index = -1, enabled = -1, running = -1;
        r.String(name);
        r.String(description);
        r.Int32(index);
        r.Int32(enabled);
        r.Int32(running);
        EXPECT_EQ(name, expected[i].name);
        EXPECT_EQ(description, expected[i].description);
        EXPECT_EQ(index, i);
        EXPECT_EQ(enabled, 1);
        if (i > 0) {
            EXPECT_EQ(running, 0) << "no source has reported running";
        }
    }
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.Remaining(), 0u);

    auto serverInfo = [](const Packet& p) {
        ClientPayloadReader ri(Bytes(p.payload), p.payload.size());
        std::string path;
        int32_t objects = -1, mayFetch = -1;
        ri.String(path);
        ri.Int32(objects);
        ri.Int32(mayFetch);
        EXPECT_TRUE(ri.Ok());
        EXPECT_EQ(ri.Remaining(), 0u);
        EXPECT_EQ(mayFetch, 1);
        return std::make_pair(path, objects);
    };
    EXPECT_EQ(serverInfo(info), std::make_pair(server.Server().DataPath(), 0));

    // Two objects on Plant and its connection-failed alarm on the system source.
    auto plant = Source(server, "Plant");
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "P1")));
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "P2")));
    ASSERT_TRUE(HasState(server, 1, "P2", heraldon::kStateActiveUnacked));
    Packet info2;
    auto second = Connect(server, nullptr, &info2);
    EXPECT_EQ(serverInfo(info2).second, 3);
}

TEST_F(ClientRequests, IdentificationNamesTheClientKind) {
    InProcessServer& server = Shared();
    ASSERT_TRUE(server.Started());
    struct Case {
        int32_t kind;
        const char* logged;
        bool kept;
    };
    const Case cases[] = {
        {1, " is a Orvik client", true},
        {2, " is an Dalmis client", true},
        {3, " is an Tellu client", true},
        {4, " is an Klaxora SmallView client", true},
        {5, " is an Klaxora ListView client", true},
        {0, " is unknown, shutting down connection", false},
        {6, " is unknown, shutting down connection", false},
        {-1, " is unknown, shutting down connection", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        size_t before = Count(server.LogText(), c.logged);
        auto peer = Connect(server);
        ASSERT_TRUE(peer->Send(PACKET_TYPE_IDENTIFY, Builder().Int32(c.kind).String("anna").Payload()));
        if (c.kept) {
            Sync(*peer);
        } else {
            EXPECT_TRUE(peer->ClosedByServer(3000));
        }
        EXPECT_EQ(Count(server.LogText(), c.logged), before + 1);
    }
}

TEST(ClientLink, AlarmListsFollowTheStateFilterTheRequestKindAndTheSourceList) {
    InProcessServer server;
    auto plant = Source(server, "Plant");
    // One object in each of the states 0, 1, 2 and 4, in this list order.
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Event("0", "N0")));
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "A1")));
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "A2", "2")));
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "D4", "4")));
    ASSERT_TRUE(HasState(server, 1, "D4", heraldon::kStateDisabled));
    ASSERT_TRUE(HasState(server, 1, "N0", heraldon::kStateNormal));

    // Not identified: the first request makes it a ListView client and is answered.
    auto peer = Connect(server);
    using Tags = std::vector<std::string>;
    struct Case {
        uint32_t type;
        int32_t state;
        std::vector<int32_t> sources;
        Tags expected;
    };
    const Case cases[] = {
        {PACKET_TYPE_GET_ALARMS, -1, {1}, {"A1", "A2", "D4"}},
        {PACKET_TYPE_GET_ALL_ALARMS, -1, {1}, {"N0", "A1", "A2", "D4"}},
        {PACKET_TYPE_GET_ALARMS, 4, {1}, {"D4"}},
        {PACKET_TYPE_GET_ALL_ALARMS, 2, {1}, {"A2"}},
        {PACKET_TYPE_GET_ALL_ALARMS, 0, {1}, {"N0"}},
        {PACKET_TYPE_GET_ALARMS, 0, {1}, {}},
        {PACKET_TYPE_GET_ALARMS, -1, {2}, {}},
        {PACKET_TYPE_GET_ALARMS, -1, {}, {}},
        // The connection-failed alarm of Plant lives on the system source, cleared (state 0).
        {PACKET_TYPE_GET_ALL_ALARMS, -1, {0, 1}, {"Plant", "N0", "A1", "A2", "D4"}},
        {PACKET_TYPE_GET_ALARMS, -1, {1, 1}, {"A1", "A2", "D4", "A1", "A2", "D4"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.type << std::dec << " state " << c.state);
        ASSERT_TRUE(peer->Send(c.type, ListRequest("", "", c.state, c.sources)));
        EXPECT_EQ(ListTags(*peer), c.expected);
    }
    EXPECT_EQ(Count(server.LogText(), "was not any identification, assuming Klaxora ListView Client"), 1u);

    // An unknown index is logged and skipped; the list still ends.
    for (int32_t unknown : {7, -1}) {
        ASSERT_TRUE(peer->Send(PACKET_TYPE_GET_ALARMS, ListRequest("", "", -1, {1, unknown})));
        EXPECT_EQ(ListTags(*peer), (Tags{"A1", "A2", "D4"}));
        EXPECT_NE(server.LogText().find("requested unknown Alarm Source " + std::to_string(unknown)),
                  std::string::npos);
    }
}

TEST_F(ClientWithPlant, EventsReachExactlyTheClientsWhoseFiltersMatch) {
    InProcessServer& server = Shared();
    struct Watcher {
        const char* tagFilter;
        const char* areaFilter;
        bool asks;  // a client that never asks for a list has empty filters
        std::set<std::string> expected;
        std::unique_ptr<FakePeer> peer;
    };
    Watcher watchers[] = {
        {"PU", "", true, {"PUMP1"}, nullptr},
        {"", "5-6", true, {"PUMP1", "TANK"}, nullptr},
        {"VA", "3", true, {"VALVE1"}, nullptr},
        {"TA,VA", "", true, {"VALVE1", "TANK"}, nullptr},
        {"", "", false, {"PUMP1", "VALVE1", "TANK"}, nullptr},
    };
    for (Watcher& w : watchers) {
        w.peer = Client(server);
        if (w.asks) {
            // No sources listed: the request only sets the filters.
            ASSERT_TRUE(w.peer->Send(PACKET_TYPE_GET_ALARMS, ListRequest(w.tagFilter, w.areaFilter, -1, {})));
            EXPECT_TRUE(ListTags(*w.peer).empty());
        }
    }
    FakePeer* plant = &Plant();
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "PUMP1", "", "5")));
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "VALVE1", "", "3")));
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "TANK", "", "6")));
    ASSERT_TRUE(HasState(server, 1, "TANK", heraldon::kStateActiveUnacked));

    for (Watcher& w : watchers) {
        SCOPED_TRACE(testing::Message() << "'" << w.tagFilter << "' '" << w.areaFilter << "'");
        std::vector<Packet> got = Sync(*w.peer);
        std::set<std::string> tags;
        for (size_t i = 0; i < got.size(); ++i) {
            if (got[i].type != PACKET_TYPE_ALARM) continue;
            ObjectBlock o = ParseObject(got[i].payload);
            if ((o.handle >> 24) != 1) continue;  // Plant's connection-failed alarm
            tags.insert(o.tag);
            // Every event goes out as the object followed by its status.
            ASSERT_LT(i + 1, got.size());
            EXPECT_EQ(got[i + 1].type, PACKET_TYPE_ALARM_STATUS);
            EXPECT_EQ(ParseStatus(got[i + 1].payload).first, o.handle);
        }
        EXPECT_EQ(tags, w.expected);
    }
}

TEST(ClientLink, TheObjectBlockCarriesEveryFieldAndShowsTheTagWithItsPrefix) {
    InProcessServer server("", "[AlarmSource_Plant]\nTagPrefix=P1.\n[AlarmSource_Line2]\n");
    auto watcher = Client(server);
    auto plant = Source(server, "Plant");
    ASSERT_TRUE(plant->Send(
        SOURCE_PACKET_TYPE_EVENT,
        Fields({"1", "4711", "T100", "", "Pump one", "Left pump", "12", "3", "5", "small", "help text",
                "on", "1700000100", "11", "1700000000", "250", "1700000200", "22", "1700000300", "33",
                "1700000400", "c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8", "2", "grp", "anna",
                "bo", "cia"})));
    ASSERT_TRUE(HasState(server, 1, "T100", heraldon::kStateActiveUnacked));

    Packet alarm, status;
    do {
        ASSERT_TRUE(watcher->ReceiveType(PACKET_TYPE_ALARM, alarm));
    } while ((ParseObject(alarm.payload).handle >> 24) != 1);
    ASSERT_TRUE(watcher->Receive(status));
    ASSERT_EQ(status.type, PACKET_TYPE_ALARM_STATUS);

    ObjectBlock o = ParseObject(alarm.payload);
    EXPECT_EQ(o.handle, (1 << 24) | 0);  // the first record of source 1
    EXPECT_EQ(o.tag, "P1.T100");
    EXPECT_EQ(o.name, "Pump one");
    EXPECT_EQ(o.description, "Left pump");
    EXPECT_EQ(o.smallComment, "small");
    EXPECT_EQ(o.help, "help text");
    EXPECT_EQ(o.sumState, "on");
    EXPECT_EQ(o.area, 12);
    EXPECT_EQ(o.category, 3);
    EXPECT_EQ(o.privilege, 5);
    EXPECT_EQ(o.scadaHandle, 4711);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(o.custom[i], "c" + std::to_string(i + 1));
    EXPECT_EQ(o.pagingGrp, "grp");
    const StatusBlock& s = o.status;
    EXPECT_EQ(s.activeTime, 1700000000);
    EXPECT_EQ(s.inActiveTime, 1700000100);
    EXPECT_EQ(s.ackedTime, 1700000200);
    EXPECT_EQ(s.disabledTime, 1700000300);
    EXPECT_EQ(s.disabledExpireTime, 1700000400);
    EXPECT_EQ(s.lastAckedBy, "");  // an Active event empties it
    EXPECT_EQ(s.lastDisabledBy, "bo");
    EXPECT_EQ(s.repeated, 0);
    EXPECT_EQ(s.state, 1);
    EXPECT_EQ(s.activeMs, 250);
    EXPECT_EQ(s.inActiveMs, 11);
    EXPECT_EQ(s.paging, 2);
    EXPECT_EQ(s.lastEventTime, 1700000000);
    EXPECT_EQ(s.lastEventMs, 250);

    // The status packet is the handle and the same status block.
    const size_t statusBytes = status.payload.size() - 4;
    EXPECT_EQ(status.payload.substr(0, 4), alarm.payload.substr(0, 4));
    EXPECT_EQ(status.payload.substr(4), alarm.payload.substr(alarm.payload.size() - statusBytes));

    // An alarm list sends the very same block.
    ASSERT_TRUE(watcher->Send(PACKET_TYPE_GET_ALARMS, ListRequest("", "", -1, {1})));
    Packet listed;
    ASSERT_TRUE(watcher->ReceiveType(PACKET_TYPE_ALARM, listed));
    EXPECT_EQ(listed.payload, alarm.payload);
}

TEST_F(ClientWithPlant, OperatorCommandsReachTheOwningSourceAsItsCommandPackets) {
    InProcessServer& server = Shared();
    FakePeer* plant = &Plant();
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Fields({"1", "17", "CMD1"})));
    ASSERT_TRUE(HasState(server, 1, "CMD1", heraldon::kStateActiveUnacked));
    const int32_t handle = HandleOf(server, 1, "CMD1");
    auto peer = Client(server);

    struct Case {
        uint32_t command;
        uint32_t sourcePacket;
        int32_t duration;
    };
    const Case cases[] = {
        {PACKET_TYPE_ACK, SOURCE_PACKET_TYPE_ACK, 0},
        {PACKET_TYPE_ENABLE, SOURCE_PACKET_TYPE_ENABLE, 0},
        {PACKET_TYPE_INACTIVATE, SOURCE_PACKET_TYPE_INACTIVATE, 0},
        {PACKET_TYPE_ACTIVATE, SOURCE_PACKET_TYPE_ACTIVATE, 0},
        {PACKET_TYPE_REMOVE, SOURCE_PACKET_TYPE_REMOVE, 0},
        {PACKET_TYPE_DISABLE, SOURCE_PACKET_TYPE_DISABLE, 600},
        {PACKET_TYPE_DISABLE, SOURCE_PACKET_TYPE_DISABLE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.command << " duration " << std::dec << c.duration);
        Builder p;
        p.Int32(handle).String("anna").String("a comment");
        if (c.command == PACKET_TYPE_DISABLE) p.Int32(c.duration);
        int64_t before = platform::clock::UtcNow();
        ASSERT_TRUE(peer->Send(c.command, p.Payload()));
        Packet packet;
        ASSERT_TRUE(plant->ReceiveType(c.sourcePacket, packet));
        auto fields = SplitFields(packet.payload);
        ASSERT_GE(fields.size(), 5u);
        EXPECT_EQ(fields[0], "17");
        EXPECT_EQ(fields[1], std::to_string(handle & 0xFFFFFF));  // the record number
        EXPECT_EQ(fields[2], "CMD1");
        EXPECT_EQ(fields[3], "anna");
        EXPECT_EQ(fields[4], "a comment");
        if (c.command != PACKET_TYPE_DISABLE) {
            EXPECT_EQ(fields.size(), 5u);
        } else if (c.duration == 0) {
            ASSERT_EQ(fields.size(), 6u);
            EXPECT_EQ(fields[5], "0");  // disabled for good
        } else {
            ASSERT_EQ(fields.size(), 6u);
            EXPECT_GE(std::stoll(fields[5]), before + c.duration);
            EXPECT_LE(std::stoll(fields[5]), platform::clock::UtcNow() + c.duration);
        }
    }
    // Nothing is answered to the client, and the state waits for the source's event.
    EXPECT_TRUE(Sync(*peer).empty());
    EXPECT_TRUE(HasState(server, 1, "CMD1", heraldon::kStateActiveUnacked));
}

struct Statistics {
    int32_t handle = 0, total = -1, hoursSum = -1, day0 = -1, daysSum = -1;
};

Statistics ParseStatistics(const std::string& payload) {
    EXPECT_EQ(payload.size(), 4u * (2 + 24 + 90));
    ClientPayloadReader r(Bytes(payload), payload.size());
    Statistics s;
    r.Int32(s.handle);
    r.Int32(s.total);
    s.hoursSum = s.daysSum = 0;
    for (int i = 0; i < 24; ++i) {
        int32_t v = 0;
        r.Int32(v);
        s.hoursSum += v;
    }
    for (int i = 0; i < 90; ++i) {
        int32_t v = 0;
        r.Int32(v);
        if (i == 0) s.day0 = v;
        s.daysSum += v;
    }
    EXPECT_TRUE(r.Ok());
    return s;
}

// Statistics packets up to STATISTICS_END.
std::vector<Statistics> AskStatistics(FakePeer& peer, int32_t handle, const std::string& tagFilter = "",
                                      const std::string& areaFilter = "") {
    EXPECT_TRUE(peer.Send(PACKET_TYPE_GET_STATISTICS,
                          Builder().Int32(0).Int32(handle).String(tagFilter).String(areaFilter).Payload()));
    std::vector<Statistics> got;
    Packet p;
    while (peer.Receive(p)) {
        if (p.type == PACKET_TYPE_STATISTICS_END) return got;
        if (p.type == PACKET_TYPE_STATISTICS) got.push_back(ParseStatistics(p.payload));
    }
    ADD_FAILURE() << "no end of the statistics";
    return got;
}

TEST_F(ClientWithPlant, StatisticsAreSentForTheRequestedObjects) {
    InProcessServer& server = Shared();
    FakePeer* plant = &Plant();
    for (const char* tag : {"P101", "Q1", "P102"}) {
        ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", tag, "", "4")));
    }
    ASSERT_TRUE(HasState(server, 1, "P102", heraldon::kStateActiveUnacked));
    const int32_t p101 = HandleOf(server, 1, "P101"), p102 = HandleOf(server, 1, "P102");
    auto peer = Client(server);

    // Every source is searched; the filters pick the objects ("Plant" on the system source
    // does not begin with P1).
    auto all = AskStatistics(*peer, -1, "P1", "4");
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].handle, p101);
    EXPECT_EQ(all[1].handle, p102);
    for (const Statistics& s : all) {
        EXPECT_EQ(s.total, 1);
        EXPECT_EQ(s.hoursSum, 1);
        EXPECT_EQ(s.day0, 1);
        EXPECT_EQ(s.daysSum, 1);
    }
    EXPECT_TRUE(AskStatistics(*peer, -1, "P1", "5").empty());
    EXPECT_GE(AskStatistics(*peer, -1, "", "4").size(), 3u);

    auto one = AskStatistics(*peer, p102);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].handle, p102);

    const std::string unknown = "Unknown Alarm Handle " + std::to_string((1 << 24) | 99) + " from client ";
    EXPECT_TRUE(AskStatistics(*peer, (1 << 24) | 99).empty());
    EXPECT_EQ(Count(server.LogText(), unknown), 1u);
    // A handle of a source that does not exist: no statistics and no log line.
    size_t unknownLines = Count(server.LogText(), "Unknown Alarm Handle");
    EXPECT_TRUE(AskStatistics(*peer, 5 << 24).empty());
    EXPECT_EQ(Count(server.LogText(), "Unknown Alarm Handle"), unknownLines);
}

TEST_F(ClientWithPlant, ClearingStatisticsZeroesTheCountersAndResendsTheObjectWithoutStatus) {
    InProcessServer& server = Shared();
    FakePeer* plant = &Plant();
    // Active, InActive, Active: two activations and one repetition since the last ack.
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "CLR1")));
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Event("0", "CLR1")));
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Event("1", "CLR1")));
    ASSERT_TRUE(InProcessServer::Eventually([&] {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        auto* o = server.Source(1).inUse.FindByTag("CLR1");
        return o != nullptr && o->RepeatedSinceLastAck == 1;
    }));
    const int32_t handle = HandleOf(server, 1, "CLR1");
    auto peer = Client(server);
    auto other = Client(server);
    ASSERT_EQ(AskStatistics(*peer, handle).at(0).total, 2);

    ASSERT_TRUE(peer->Send(PACKET_TYPE_CLEAR_STATISTICS, Builder().Int32(handle).String("x").String("y").Payload()));
    for (FakePeer* client : {peer.get(), other.get()}) {
        std::vector<Packet> got = Sync(*client);
        ASSERT_EQ(got.size(), 1u) << "the object alone, no status";
        EXPECT_EQ(got[0].type, PACKET_TYPE_ALARM);
        ObjectBlock o = ParseObject(got[0].payload);
        EXPECT_EQ(o.handle, handle);
        EXPECT_EQ(o.status.repeated, 0);
        EXPECT_EQ(o.status.state, heraldon::kStateActiveUnacked);
    }
    auto after = AskStatistics(*peer, handle);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].total, 0);
    EXPECT_EQ(after[0].hoursSum, 0);
    EXPECT_EQ(after[0].daysSum, 0);
    EXPECT_NE(server.LogText().find("Alarm statistics for 'CLR1' was cleared by client 127.0.0.1:"),
              std::string::npos);

    ASSERT_TRUE(peer->Send(PACKET_TYPE_CLEAR_STATISTICS, Builder().Int32(5 << 24).String("").String("").Payload()));
    EXPECT_TRUE(Sync(*peer).empty());
    EXPECT_NE(server.LogText().find("Unknown Alarm Handle " + std::to_string(5 << 24) + " from client"),
              std::string::npos);
}

TEST_F(ClientWithPlant, DisablingASourceTellsItAndRaisesItsConnectionFailedAlarm) {
    InProcessServer& server = Shared();
    FakePeer* plant = &Plant();
    Packet p;
    auto peer = Client(server);
    auto enable = [&](int32_t index, int32_t on) {
        ASSERT_TRUE(peer->Send(PACKET_TYPE_ALARMSOURCE_ENABLE, Builder().Int32(index).Int32(on).Payload()));
    };
    // The system alarm named after the source, as the client sees it.
    auto failedAlarmState = [&](const std::vector<Packet>& got) {
        int32_t state = -1;
        for (const Packet& packet : got) {
            EXPECT_NE(packet.type, PACKET_TYPE_ALARMSOURCE_STATUS) << "clients are not told";
            if (packet.type != PACKET_TYPE_ALARM_STATUS) continue;
            auto [handle, status] = ParseStatus(packet.payload);
            EXPECT_EQ(handle >> 24, 0);
            state = status.state;
        }
        return state;
    };

    enable(1, 0);
    ASSERT_TRUE(plant->ReceiveType(SOURCE_PACKET_TYPE_SOURCE_ENABLED, p));
    EXPECT_EQ(SplitFields(p.payload), std::vector<std::string>{"0"});
    std::vector<Packet> got = Sync(*peer);
    EXPECT_EQ(failedAlarmState(got), heraldon::kStateActiveUnacked);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(ParseObject(got[0].payload).tag, "Plant");
    EXPECT_TRUE(HasState(server, 0, "Plant", heraldon::kStateActiveUnacked));
    EXPECT_EQ(Count(server.LogText(), "disabled Alarm Source 'Plant'"), 1u);

    enable(1, 1);
    ASSERT_TRUE(plant->ReceiveType(SOURCE_PACKET_TYPE_SOURCE_ENABLED, p));
    EXPECT_EQ(SplitFields(p.payload), std::vector<std::string>{"1"});
    ASSERT_TRUE(plant->ReceiveType(SOURCE_PACKET_TYPE_REFRESH_REQUEST, p));
    EXPECT_EQ(failedAlarmState(Sync(*peer)), heraldon::kStateInactiveUnacked);
    EXPECT_EQ(Count(server.LogText(), "enabled Alarm Source 'Plant'"), 1u);

    // Already enabled (any value but 0 enables), or no such source: nothing at all.
    const std::string logBefore = server.LogText();
    enable(1, -1);
    enable(99, 0);
    enable(-1, 0);
    EXPECT_TRUE(Sync(*peer).empty());
    EXPECT_EQ(server.LogText(), logBefore);
    EXPECT_FALSE(plant->Receive(p, 200)) << std::hex << p.type;
    std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
    EXPECT_EQ(server.Source(1).enabled, 1);
}

TEST(ClientLink, The201stSimultaneousClientIsRefusedAndClosed) {
    InProcessServer server;
    std::vector<std::unique_ptr<FakePeer>> peers;
    for (int i = 0; i < 200; ++i) peers.push_back(Connect(server));

    FakePeer refused(server.ClientPort());
    ASSERT_TRUE(refused.Connected());
    EXPECT_TRUE(refused.ClosedByServer(3000));
    EXPECT_EQ(Count(server.LogText(),
                    "Too many connections (max 200 simultanously connections), rejecting 127.0.0.1:"),
              1u);

    // Once one of them has gone, there is room again.
    peers.front()->Close();
    ASSERT_TRUE(InProcessServer::Eventually([&] {
        server.Advance(100);
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        return server.Server().ClientConnections().size() < 200;
    }));
    auto again = Connect(server);
    Sync(*again);
}

TEST_F(ClientKeepAlive, ASilentClientIsClosedAfterTheTimeout) {
    InProcessServer& server = Shared();
    const std::string closed = "Did not receive KeepAlive from client '127.0.0.1:";
    const size_t before = Count(server.LogText(), closed);
    auto peer = Connect(server);  // never says a word
    server.Advance(2900);
    EXPECT_EQ(Count(server.LogText(), closed), before);
    server.Advance(200);
    EXPECT_TRUE(peer->ClosedByServer(3000));
    EXPECT_EQ(Count(server.LogText(), closed), before + 1);
}

// The newest connection's receive countdown once it has been reloaded; the packet that
// reloads it may have no answer to wait for.
bool CountdownReloaded(InProcessServer& server, int timeout) {
    return InProcessServer::Eventually(
        [&] {
            std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
            return server.Server().ClientConnections().back()->receiveCountdown == timeout;
        },
        1000);
}

void CheckPacketsRestartTheReceiveCountdown(InProcessServer& server,
                                            const std::vector<std::pair<uint32_t, std::string>>& packets) {
    const std::string closed = "Did not receive KeepAlive from client '127.0.0.1:";
    for (const auto& [type, payload] : packets) {
        SCOPED_TRACE(testing::Message() << std::hex << type);
        size_t closedBefore = Count(server.LogText(), closed);
        auto peer = Connect(server);
        server.Advance(2000);
        ASSERT_TRUE(peer->Send(type, payload));
        EXPECT_TRUE(CountdownReloaded(server, 3000));
        server.Advance(2000);  // 4 s since the connection, 2 s since the packet
        EXPECT_EQ(Count(server.LogText(), closed), closedBefore);
        peer->Close();
        server.Advance(100);
    }
}

TEST_F(ClientKeepAlive, AnyPacketRestartsTheReceiveCountdown) {
    CheckPacketsRestartTheReceiveCountdown(Shared(), {
        {PACKET_TYPE_KEEPALIVE, ""},
        {PACKET_TYPE_IDENTIFY, Builder().Int32(kClientOrvik).Payload()},
        {PACKET_TYPE_EXECUTE, Builder().String("anything").Payload()},
        {PACKET_TYPE_GET_COMMONFILTERS, ""},
        {PACKET_TYPE_GET_ALARMS, ListRequest("", "", -1, {})},
        {0x7777, ""},  // unknown types too
    });
}

TEST_F(ClientKeepAlive, FileCommentAndHistoryRequestsRestartTheReceiveCountdownToo) {
    CheckPacketsRestartTheReceiveCountdown(Shared(), {
        {PACKET_TYPE_GET_FILE, Builder().String("nothing.ini").Payload()},
        {PACKET_TYPE_GET_HISTORY, Builder().Int32(1).Int32(-1).String("").String("").Int32(0).Int32(0).Int32(0).Payload()},
        {PACKET_TYPE_SET_COMMENT, Builder().Int32(1 << 24).String("T").String("").Bytes32("text").Payload()},
    });
}

TEST_F(ClientKeepAlive, KeepAlivesGoOutAtTheAnnouncedInterval) {
    InProcessServer& server = Shared();
    auto peer = Client(server);
    auto keepAlives = [&] {
        size_t n = 0;
        for (const Packet& p : Sync(*peer)) n += p.type == PACKET_TYPE_KEEPALIVE ? 1 : 0;
        return n;
    };
    server.Advance(400);
    EXPECT_EQ(keepAlives(), 0u);
    server.Advance(100);
    EXPECT_EQ(keepAlives(), 1u);
    server.Advance(1000);
    EXPECT_EQ(keepAlives(), 2u);
}

TEST_F(ClientRequests, MalformedPacketsAreLoggedAndIgnoredAndTheConnectionGoesOn) {
    InProcessServer& server = Shared();
    auto peer = Client(server);
    Sync(*peer);
    struct Case {
        uint32_t type;
        std::string payload;
        const char* logged;
    };
    const Case cases[] = {
        {PACKET_TYPE_ACK, "\x01\x00", "00004010"},
        {PACKET_TYPE_DISABLE, Builder().Int32(1 << 24).String("u").String("c").Payload(), "00004020"},
        {PACKET_TYPE_GET_ALARMS, Builder().String("").String("").Int32(-1).Int32(-1).Payload(), "00004001"},
        {PACKET_TYPE_GET_ALARMS, Builder().String("").String("").Int32(-1).Int32(1000000).Payload(), "00004001"},
        {PACKET_TYPE_GET_ALL_ALARMS, Builder().String("").String("").Int32(-1).Int32(2).Int32(1).Payload(), "00004000"},
        {PACKET_TYPE_GET_ALL_ALARMS, Builder().UInt16(300).Raw("PU").Payload(), "00004000"},
        {PACKET_TYPE_GET_STATISTICS, Builder().Int32(0).Int32(-1).UInt16(9).Payload(), "00004100"},
        {PACKET_TYPE_CLEAR_STATISTICS, "", "00004101"},
        {PACKET_TYPE_ALARMSOURCE_ENABLE, Builder().Int32(1).Payload(), "00002020"},
        {PACKET_TYPE_GET_FILE, Builder().UInt16(50).Raw("abc").Payload(), "00004901"},
        {PACKET_TYPE_SET_COMMENT, Builder().Int32(1 << 24).String("T").String("").Int32(-5).Raw("abc").Payload(), "00004d01"},
        {PACKET_TYPE_SET_COMMENT, Builder().Int32(1 << 24).String("T").String("").Int32(1000).Raw("abc").Payload(), "00004d01"},
        {PACKET_TYPE_GET_COMMENT, Builder().Int32(1 << 24).Payload(), "00004d00"},
        {PACKET_TYPE_SET_SMALLCOMMENT, Builder().Int32(1 << 24).UInt16(10).Payload(), "00004d02"},
        {PACKET_TYPE_SET_COMMONFILTER, Builder().String("name").Payload(), "00004a10"},
        {PACKET_TYPE_SUBSCRIBE, Builder().Int32(1).String("Plant").Payload(), "00006010"},
        {PACKET_TYPE_UNSUBSCRIBE, "\x01", "00006011"},
        {PACKET_TYPE_GET_HISTORY, Builder().Int32(1).Payload(), "00004200"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        const std::string line = std::string("Malformed packet ") + c.logged + " from client 127.0.0.1:";
        size_t before = Count(server.LogText(), line);
        ASSERT_TRUE(peer->Send(c.type, c.payload));
        std::vector<Packet> answered = Sync(*peer);
        EXPECT_TRUE(answered.empty()) << "answered with " << std::hex << answered[0].type;
        EXPECT_EQ(Count(server.LogText(), line), before + 1);
    }
    EXPECT_FALSE(std::filesystem::exists(server.Data("CommonFilters.ini")));
}

TEST_F(ClientRequests, APayloadAboveTheLimitClosesTheConnection) {
    InProcessServer& server = Shared();
    auto peer = Client(server);
    // The largest packet allowed is handled like any other.
    ASSERT_TRUE(peer->Send(PACKET_TYPE_EXECUTE, std::string(kClientMaxPayload, 'x')));
    Sync(*peer);
    // One byte more is refused from its header alone.
    std::string header;
    AppendU32(header, static_cast<uint32_t>(kClientMaxPayload + 1));
    AppendU32(header, PACKET_TYPE_EXECUTE);
    ASSERT_TRUE(peer->SendRaw(header));
    EXPECT_TRUE(peer->ClosedByServer(3000));
    EXPECT_NE(server.LogText().find("Packet size error receiving from 127.0.0.1:"), std::string::npos);
}

TEST(ClientLink, AClientThatStopsReadingDoesNotHoldUpTheOthers) {
    InProcessServer server;
    // A file far larger than any socket buffer fills the stalled client's path at once.
    testing_support::WriteFile(server.Data("big.bin"), std::string(24 << 20, 'b'));
    auto stalled = Client(server);  // never read from again
    Sync(*stalled);
    ASSERT_TRUE(stalled->Send(PACKET_TYPE_GET_FILE, Builder().String("big.bin").Payload()));
    auto reader = Client(server);
    Sync(*reader);
    auto plant = Source(server, "Plant");

    const std::string text(60, 't');
    constexpr int kEvents = 2000;
    std::string burst;
    for (int i = 0; i < kEvents; ++i) {
        std::string tag = "F" + std::to_string(i);
        burst += EncodeFrame(SOURCE_PACKET_TYPE_EVENT,
                             Fields({"1", "0", tag, "", text, text + text, "1", "1", "1", text, text, "x",
                                     "", "", "", "", "", "", "", "", "", text, text, text, text, text,
                                     text, text, text, "0", text}));
    }
    ASSERT_TRUE(plant->SendRaw(burst));

    std::set<int32_t> handles;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    Packet p;
    while (handles.size() < kEvents && std::chrono::steady_clock::now() < deadline && reader->Receive(p, 5000)) {
        if (p.type != PACKET_TYPE_ALARM_STATUS) continue;
        int32_t handle = ParseStatus(p.payload).first;
        if ((handle >> 24) == 1) handles.insert(handle);
    }
    EXPECT_EQ(handles.size(), static_cast<size_t>(kEvents));
    // The stalled client really is behind: its packets still wait in the server.
    std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
    EXPECT_GT(server.Server().ClientConnections().front()->queue.QueuedBytes(), 0u);
}

TEST_F(ClientRequests, HistoryQueriesEndOncePerSearchedSource) {
    InProcessServer& server = Shared();
    auto peer = Client(server);
    struct Case {
        int32_t source;
        int32_t handle;
        size_t ends;
    };
    const Case cases[] = {
        {-1, -1, 3},           // every source
        {1, -1, 1},            // one source
        {99, -1, 3},           // no such index: every source
        {2, 1 << 24, 1},       // a handle: its own source, whatever the index
        {-1, 5 << 24, 0},      // a handle of a source that does not exist: no answer
        {1, 0x7F000000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.source << " " << std::hex << c.handle);
        ASSERT_TRUE(peer->Send(PACKET_TYPE_GET_HISTORY, Builder()
                                                            .Int32(c.source)
                                                            .Int32(c.handle)
                                                            .String("")
                                                            .String("")
                                                            .Int32(0)
                                                            .Int32(0)
                                                            .Int32(0)
                                                            .Payload()));
        size_t ends = 0;
        for (const Packet& packet : Sync(*peer)) ends += packet.type == PACKET_TYPE_HISTORY_END ? 1 : 0;
        EXPECT_EQ(ends, c.ends);
    }
}

}  // namespace
