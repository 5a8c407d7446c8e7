// A redundant pair of real servers on loopback: start-up, replication, failover, fail-back
// and the configurations that turn redundancy off, seen through the logs, the files and
// fake Alarm Sources and clients.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "server/net/client_protocol.h"
#include "server/net/source_protocol.h"
#include "server/store/alarm_object_format.h"
#include "tests/e2e/heraldon_fixture.h"
#include "tests/support/fake_peer.h"

namespace {

using namespace heraldon::net;
using testing_support::ChildProcess;
using testing_support::FakePeer;
using testing_support::Fields;
using testing_support::HeraldonInstallation;
using testing_support::InOrder;
using testing_support::Packet;
using testing_support::ReadFile;
using testing_support::WriteFile;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 10000;
constexpr int kKeepAliveMs = 200;
// Sources are given a tag prefix so that a comment's file name depends on it.
const std::string kSources = "[AlarmSource_Plant]\nTagPrefix=PL.\n";
const std::string kPrimaryAlarm = "Klaxora Primary Server";

struct Ports {
    uint16_t source = 0, client = 0, feed = 0, redundancy = 0;
};

// Free ports at the moment of asking: all are held open together so none repeats.
std::vector<Ports> FreePorts(int servers) {
    std::vector<platform::net::Socket> held;
    std::vector<uint16_t> numbers;
    for (int i = 0; i < servers * 4; ++i) {
        held.push_back(platform::net::Listen(0));
        numbers.push_back(platform::net::LocalPort(held.back()));
    }
    std::vector<Ports> ports;
    for (int i = 0; i < servers; ++i) {
        ports.push_back({numbers[i * 4], numbers[i * 4 + 1], numbers[i * 4 + 2], numbers[i * 4 + 3]});
    }
    return ports;
}

std::string Loopback(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// One server of a pair in its own program folder.
class PairServer {
public:
    PairServer(Ports ports, int serverType, const std::string& remoteServer) : ports_(ports), installation_("", kSources) {
        WriteFile(installation_.Folder("Heraldon.ini"),
                  "[General]\nDataPath=data\nAlarmSourcePort=" + std::to_string(ports.source) +
                      "\nClientListenPort=" + std::to_string(ports.client) +
                      "\nTesselListenPort=" + std::to_string(ports.feed) +
                      "\nSystemAlarmCategory=1\n\n[Redundancy]\nServerType=" + std::to_string(serverType) +
                      "\nServerPort=" + std::to_string(ports.redundancy) + "\nRemoteServer=" + remoteServer +
                      "\nConnectTimeout=1000\nReconnectInterval=1000\nKeepAliveInterval=" +
                      std::to_string(kKeepAliveMs) + "\n");
    }

    // Started and through its start-up.
    ChildProcess& Start() {
        process_ = installation_.Start();
        EXPECT_TRUE(process_->WaitForOutput("Press ESC key to exit", kTimeoutMs)) << process_->Output();
        return *process_;
    }
    ChildProcess& Process() { return *process_; }
    bool Waits(const std::string& line, int times = 1, int timeoutMs = kTimeoutMs) {
        return process_->WaitForOutput(line, timeoutMs, times);
    }
    int Stop() {
        process_->Write("\x1b");
        return process_->WaitForExit(kTimeoutMs);
    }
    std::string Output() { return process_ ? process_->Output() : ""; }
    std::string Data(const std::string& name = "") const { return installation_.Data(name); }
    const Ports& Port() const { return ports_; }

private:
    Ports ports_;
    HeraldonInstallation installation_;
    std::unique_ptr<ChildProcess> process_;
};

// A primary and a secondary pointing at each other, the primary started first.
struct Pair {
    Pair() : Pair(FreePorts(2)) {}
    explicit Pair(std::vector<Ports> ports)
        : primary(ports[0], 1, Loopback(ports[1].redundancy)),
          secondary(ports[1], 2, Loopback(ports[0].redundancy)) {}

    // Both running, the primary active and the secondary standby.
    void Start() {
        StartPrimary();
        if (!testing::Test::HasFatalFailure()) StartSecondary();
    }
    void StartPrimary() {
        primary.Start();
        ASSERT_TRUE(primary.Waits("We are the active server")) << primary.Output();
    }
    // Returns once both links are up: the primary's own connection follows within its
    // reconnect interval.
    void StartSecondary() {
        secondary.Start();
        ASSERT_TRUE(secondary.Waits("We are the standby server")) << secondary.Output();
        ASSERT_TRUE(primary.Waits("Connected to Redundant Server")) << primary.Output();
    }

    PairServer primary;
    PairServer secondary;
};

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

long MsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

template <typename Condition>
bool Eventually(Condition condition, int timeoutMs = kTimeoutMs) {
    for (auto start = Clock::now(); MsSince(start) < timeoutMs; platform::clock::SleepMs(50)) {
        if (condition()) return true;
    }
    return condition();
}

// --- fake client ------------------------------------------------------------------------

struct ListedAlarm {
    int32_t handle = 0;
    int32_t state = -1;
};

// Connected to a client port, greeted and identified as a ListView client.
std::unique_ptr<FakePeer> Client(uint16_t port) {
    auto peer = std::make_unique<FakePeer>(port);
    if (!peer->Connected()) return peer;
    Packet p;
    EXPECT_TRUE(peer->ReceiveType(PACKET_TYPE_SERVER_INFO, p));
    EXPECT_TRUE(peer->Send(PACKET_TYPE_IDENTIFY, ClientPacketBuilder().Int32(kClientListView).String("anna").Payload()));
    return peer;
}

ListedAlarm ParseAlarm(const std::string& payload, std::string& tag) {
    ClientPayloadReader r(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    ListedAlarm alarm;
    int32_t skip = 0;
    std::string text;
    r.Int32(alarm.handle);
    r.Int32(skip);  // version
    r.String(tag);
    for (int i = 0; i < 5; ++i) r.String(text);  // name, description, small comment, help, sum state
    for (int i = 0; i < 4; ++i) r.Int32(skip);   // area, category, privilege, SCADA handle
    for (int i = 0; i < 9; ++i) r.String(text);  // custom 1..8, paging group
    for (int i = 0; i < 5; ++i) r.Int32(skip);   // the five times
    r.String(text);
    r.String(text);
    r.Int32(skip);  // repeated since last ack
    r.Int32(alarm.state);
    EXPECT_TRUE(r.Ok());
    return alarm;
}

// The alarm list of one source by shown tag; empty when the server did not answer.
std::map<std::string, ListedAlarm> AlarmList(FakePeer& peer, int32_t sourceIndex) {
    std::map<std::string, ListedAlarm> alarms;
    peer.Send(PACKET_TYPE_GET_ALL_ALARMS,
              ClientPacketBuilder().String("").String("").Int32(-1).Int32(1).Int32(sourceIndex).Payload());
    Packet p;
    while (peer.Receive(p)) {
        if (p.type == PACKET_TYPE_ALARMS_END) return alarms;
        if (p.type != PACKET_TYPE_ALARM) continue;
        std::string tag;
        ListedAlarm alarm = ParseAlarm(p.payload, tag);
        alarms[tag] = alarm;
    }
    return {};
}

bool IsActiveState(int32_t state) { return state == 1 || state == 2; }

// Polls the list until the tag shows the wanted activity.
bool AlarmBecomes(FakePeer& peer, int32_t sourceIndex, const std::string& tag, bool active) {
    return Eventually([&] {
        auto alarms = AlarmList(peer, sourceIndex);
        auto it = alarms.find(tag);
        return it != alarms.end() && IsActiveState(it->second.state) == active;
    });
}

// An Alarm Source "Plant" identified at the port.
std::unique_ptr<FakePeer> PlantSource(uint16_t port) {
    auto peer = std::make_unique<FakePeer>(port);
    EXPECT_TRUE(peer->Connected());
    EXPECT_TRUE(peer->Send(SOURCE_PACKET_TYPE_IDENTIFY, Fields({"12290", "12291", "Plant"})));
    Packet welcome;
    EXPECT_TRUE(peer->ReceiveType(SOURCE_PACKET_TYPE_WELCOME, welcome));
    return peer;
}

std::string ActiveEvent(const std::string& handle, const std::string& tag) {
    return Fields({"1", handle, tag, "", "Name of " + tag, "Description", "3", "2"});
}

std::string Record(const std::string& file, int64_t record) {
    std::string bytes = ReadFile(file);
    auto offset = static_cast<size_t>(heraldon::alarm_file::RecordOffset(record));
    if (bytes.size() < offset + heraldon::alarm_file::kRecordSize) return "";
    return bytes.substr(offset, heraldon::alarm_file::kRecordSize);
}

// The Tag field of a record; "" for a record that is not there.
std::string TagOf(const std::string& record) {
    if (record.size() < 84) return "";
    return std::string(record.c_str() + 4, strnlen(record.c_str() + 4, 80));
}

// --- start-up -----------------------------------------------------------------------------

TEST(RedundantPair, SecondaryFetchesThePrimarysFilesAndStandsBy) {
    Pair pair;
    pair.Start();
    if (HasFatalFailure()) return;
    std::string out = pair.secondary.Output();
    std::string missing;
    EXPECT_TRUE(InOrder(out,
                        {"Connected to Redundant Server",
                         "Retrieved file " + pair.secondary.Data("System/AlarmObjects.new"),
                         "Retrieved file " + pair.secondary.Data("Plant/AlarmObjects.new"),
                         "Retrieved databases from our redundant counterpart - continuing...",
                         "Updated AlarmSource 'Plant' file '" + pair.secondary.Data("Plant/AlarmObjects.dat") + "'",
                         "Starting Redundancy Server Thread"},
                        &missing))
        << missing << "\n" << out;
    EXPECT_TRUE(pair.primary.Waits("Our redundant counterpart retrieved all databases"));
    // The installed copy is the primary's, header and all.
    EXPECT_TRUE(ReadFile(pair.secondary.Data("Plant/AlarmObjects.dat")) == ReadFile(pair.primary.Data("Plant/AlarmObjects.dat")));

    // Several keep-alive rounds later the secondary is still standby: no alarm threads, no
    // client listener.
    platform::clock::SleepMs(5 * kKeepAliveMs);
    out = pair.secondary.Output();
    EXPECT_EQ(out.find("Starting all alarm threads"), std::string::npos) << out;
    EXPECT_EQ(out.find("We are the active server"), std::string::npos) << out;
    EXPECT_FALSE(FakePeer(pair.secondary.Port().client, 1000).Connected());
    EXPECT_EQ(Count(pair.primary.Output(), "We are the standby server"), 0u);

    EXPECT_EQ(pair.secondary.Stop(), 0);
    EXPECT_EQ(pair.primary.Stop(), 0);
}

// --- replication ----------------------------------------------------------------------------

TEST(RedundantPair, RecordsAndCommentsReachTheStandbyWhichServesThemAfterAKill) {
    Pair pair;
    pair.Start();
    if (HasFatalFailure()) return;
    auto source = PlantSource(pair.primary.Port().source);
    ASSERT_TRUE(source->Send(SOURCE_PACKET_TYPE_EVENT, ActiveEvent("17", "P101")));

    auto client = Client(pair.primary.Port().client);
    ASSERT_TRUE(client->Connected());
    ListedAlarm alarm;
    ASSERT_TRUE(Eventually([&] {
        auto alarms = AlarmList(*client, 1);
        if (alarms.count("PL.P101") == 0) return false;
        alarm = alarms["PL.P101"];
        return true;
    }));

    // A comment saved on the active server lands under the same name on the standby.
    ASSERT_TRUE(client->Send(PACKET_TYPE_GET_COMMENT, ClientPacketBuilder().Int32(alarm.handle).String("PL.P101").Payload()));
    Packet comment;
    ASSERT_TRUE(client->ReceiveType(PACKET_TYPE_COMMENT, comment));
    std::string path, ignored;
    int32_t handle = 0;
    ClientPayloadReader r(reinterpret_cast<const uint8_t*>(comment.payload.data()), comment.payload.size());
    r.Int32(handle);
    r.String(ignored);
    r.String(path);
    ASSERT_TRUE(r.Ok());
    const std::string text = "Pump P101 was serviced\r\nby anna";
    ASSERT_TRUE(client->Send(PACKET_TYPE_SET_COMMENT,
                             ClientPacketBuilder().Int32(alarm.handle).String("PL.P101").String(path).Bytes32(text).Payload()));
    std::string name = std::filesystem::path(path).filename();
    EXPECT_TRUE(Eventually([&] { return ReadFile(pair.secondary.Data("Plant/Comment/") + name) == text; }))
        << "no " << name << " on the standby; it has: "
        << [&] {
               std::string names;
               for (const auto& f : platform::fs::ListFiles(pair.secondary.Data("Plant/Comment/"))) names += f + " ";
               return names;
           }();
    EXPECT_EQ(ReadFile(pair.primary.Data("Plant/Comment/") + name), text);
    EXPECT_EQ(platform::fs::ListFiles(pair.secondary.Data("Plant/Comment/")), std::vector<std::string>{name});

    // The record reaches the standby byte for byte with the source thread's next save.
    std::string primaryFile = pair.primary.Data("Plant/AlarmObjects.dat");
    std::string standbyFile = pair.secondary.Data("Plant/AlarmObjects.dat");
    int64_t record = alarm.handle & 0xFFFFFF;
    EXPECT_TRUE(Eventually(
        [&] {
            std::string written = Record(primaryFile, record);
            return TagOf(written) == "P101" &&
                   written == Record(standbyFile, record);
        },
        15000))
        << "primary holds " << ReadFile(primaryFile).size() << " bytes, standby " << ReadFile(standbyFile).size();
    // The header went with it: the standby counts the record too.
    EXPECT_EQ(ReadFile(standbyFile).substr(0, 8), ReadFile(primaryFile).substr(0, 8));

    // Killed without a word, the primary leaves the standby to take over with that copy.
    auto killed = Clock::now();
    pair.primary.Process().Signal(SIGKILL);
    ASSERT_TRUE(pair.secondary.Waits("Waiting for new Client connections at port " + std::to_string(pair.secondary.Port().client)))
        << pair.secondary.Output();
    std::cout << "failover after SIGKILL: client port open after " << MsSince(killed) << " ms\n";
    auto standbyClient = Client(pair.secondary.Port().client);
    ASSERT_TRUE(standbyClient->Connected());
    auto alarms = AlarmList(*standbyClient, 1);
    ASSERT_EQ(alarms.count("PL.P101"), 1u);
    EXPECT_EQ(alarms["PL.P101"].state, 1);
    EXPECT_TRUE(AlarmBecomes(*standbyClient, 0, kPrimaryAlarm, true));
    EXPECT_EQ(pair.secondary.Stop(), 0);
}

// --- failover -----------------------------------------------------------------------------

TEST(RedundantPair, SecondaryTakesOverFromAStoppedPrimaryAndHandsBackWhenItReturns) {
    Pair pair;
    pair.StartPrimary();
    if (HasFatalFailure()) return;
    // An alarm only in the primary's memory yet: the secondary's start-up copy must carry it.
    auto source = PlantSource(pair.primary.Port().source);
    ASSERT_TRUE(source->Send(SOURCE_PACKET_TYPE_EVENT, ActiveEvent("17", "P101")));
    auto primaryClient = Client(pair.primary.Port().client);
    ASSERT_TRUE(Eventually([&] { return AlarmList(*primaryClient, 1).count("PL.P101") == 1; }));
    primaryClient.reset();
    pair.StartSecondary();
    if (HasFatalFailure()) return;

    auto stopped = Clock::now();
    pair.primary.Process().Signal(SIGTERM);
    ASSERT_TRUE(pair.secondary.Waits("We are the active server")) << pair.secondary.Output();
    long roleMs = MsSince(stopped);
    ASSERT_TRUE(pair.secondary.Waits("Starting all alarm threads")) << pair.secondary.Output();
    long threadsMs = MsSince(stopped);
    EXPECT_EQ(pair.primary.Process().WaitForExit(kTimeoutMs), 0);
    std::cout << "failover after SIGTERM: active after " << roleMs << " ms, alarm threads after " << threadsMs
              << " ms\n";

    ASSERT_TRUE(pair.secondary.Waits("Waiting for new Client connections at port " + std::to_string(pair.secondary.Port().client)));
    {
        auto client = Client(pair.secondary.Port().client);
        ASSERT_TRUE(client->Connected());
        EXPECT_TRUE(AlarmBecomes(*client, 0, kPrimaryAlarm, true));
        auto alarms = AlarmList(*client, 1);
        EXPECT_EQ(alarms.count("PL.P101"), 1u) << pair.secondary.Output();
        EXPECT_EQ(alarms["PL.P101"].state, 1);
        // A stopping server asks its partner for nothing, and a standby never rewrites the
        // copies it keeps.
        std::string out = pair.secondary.Output();
        EXPECT_EQ(out.find("Our redundant counterpart retrieved all databases"), std::string::npos) << out;
        EXPECT_EQ(out.find("Changed size of file"), std::string::npos) << out;
        // The standby notice reaches a connected client when the primary returns.
        auto back = Clock::now();
        pair.primary.Start();
        Packet p;
        EXPECT_TRUE(client->ReceiveType(PACKET_TYPE_SERVER_STANDBY, p, kTimeoutMs));
        EXPECT_TRUE(pair.primary.Waits("We are the active server")) << pair.primary.Output();
        EXPECT_TRUE(pair.secondary.Waits("We are the standby server", 2)) << pair.secondary.Output();
        EXPECT_TRUE(pair.secondary.Waits("Closing all alarm threads")) << pair.secondary.Output();
        std::cout << "fail-back: primary active and secondary standby after " << MsSince(back) << " ms\n";
    }

    // The returning primary started from the secondary's files, and the secondary, back to
    // standby, fetches the primary's again.
    EXPECT_TRUE(InOrder(pair.primary.Output(), {"Retrieved databases from our redundant counterpart - continuing...",
                                                "Updated AlarmSource 'System' file", "We are the active server",
                                                "Starting all alarm threads"}))
        << pair.primary.Output();
    EXPECT_TRUE(pair.secondary.Waits("Retrieved file " + pair.secondary.Data("Plant/AlarmObjects.new"), 2))
        << pair.secondary.Output();

    // The returned primary clears the failure alarm the secondary raised.
    auto client = Client(pair.primary.Port().client);
    ASSERT_TRUE(client->Connected());
    EXPECT_TRUE(AlarmBecomes(*client, 0, kPrimaryAlarm, false));

    EXPECT_EQ(pair.primary.Stop(), 0);
    EXPECT_EQ(pair.secondary.Stop(), 0);
}

TEST(RedundantPair, FrozenPrimaryIsDroppedAfterItsSilenceWithItsAlarmRaisedAndReclaimsItsRoleWhenThawed) {
    Pair pair;
    pair.Start();
    if (HasFatalFailure()) return;

    const int silenceMs = std::max(3000, 5 * kKeepAliveMs);
    auto frozen = Clock::now();
    pair.primary.Process().Signal(SIGSTOP);
    ASSERT_TRUE(pair.secondary.Waits("Redundant counterpart " + Loopback(pair.primary.Port().redundancy) +
                                         " has been silent for " + std::to_string(silenceMs) +
                                         " ms, closing the link",
                                     1, silenceMs + 5000))
        << pair.secondary.Output();
    ASSERT_TRUE(pair.secondary.Waits("Starting all alarm threads", 1, 5000)) << pair.secondary.Output();
    long takeoverMs = MsSince(frozen);
    std::cout << "failover after SIGSTOP: alarm threads after " << takeoverMs << " ms (silence limit " << silenceMs
              << " ms)\n";
    EXPECT_LT(takeoverMs, silenceMs + 5000);

    ASSERT_TRUE(pair.secondary.Waits("Waiting for new Client connections at port " + std::to_string(pair.secondary.Port().client)));
    auto client = Client(pair.secondary.Port().client);
    ASSERT_TRUE(client->Connected());
    ASSERT_TRUE(AlarmBecomes(*client, 0, kPrimaryAlarm, true));
    // The frozen primary's kernel still completes connections: that is no sign of life.
    ASSERT_TRUE(pair.secondary.Waits("Connected to Redundant Server", 2, 5000)) << pair.secondary.Output();
    platform::clock::SleepMs(500);
    auto alarms = AlarmList(*client, 0);
    EXPECT_TRUE(IsActiveState(alarms[kPrimaryAlarm].state)) << "state " << alarms[kPrimaryAlarm].state;

    // Thawed, the primary is still active and the secondary yields to it.
    pair.primary.Process().Signal(SIGCONT);
    EXPECT_TRUE(pair.secondary.Waits("We are the standby server", 2)) << pair.secondary.Output();
    EXPECT_EQ(pair.primary.Output().find("We are the standby server"), std::string::npos) << pair.primary.Output();
    EXPECT_EQ(pair.primary.Stop(), 0);
    EXPECT_EQ(pair.secondary.Stop(), 0);
}

// --- configurations that end redundancy -----------------------------------------------------

TEST(RedundantPair, TwoPrimariesSettleWithOneOfThemAsStandby) {
    auto ports = FreePorts(2);
    PairServer first(ports[0], 1, Loopback(ports[1].redundancy));
    PairServer second(ports[1], 1, Loopback(ports[0].redundancy));
    first.Start();
    second.Start();
    const std::string yields = "Both servers are set as same server type (Primary)! We will run as secondary.";
    ASSERT_TRUE(Eventually([&] { return Count(first.Output() + second.Output(), yields) > 0; }))
        << first.Output() << "\n=====\n" << second.Output();
    PairServer& standby = Count(first.Output(), yields) > 0 ? first : second;
    PairServer& active = &standby == &first ? second : first;
    EXPECT_EQ(Count(active.Output(), yields), 0u);
    EXPECT_TRUE(standby.Waits("We are the standby server")) << standby.Output();
    EXPECT_TRUE(active.Waits("We are the active server")) << active.Output();
    platform::clock::SleepMs(5 * kKeepAliveMs);
    // Settled: the last role each logged.
    auto lastRole = [](const std::string& out) {
        size_t active = out.rfind("We are the active server"), standby = out.rfind("We are the standby server");
        if (active == std::string::npos) return std::string(standby == std::string::npos ? "none" : "standby");
        return std::string(standby != std::string::npos && standby > active ? "standby" : "active");
    };
    EXPECT_EQ(lastRole(standby.Output()), "standby") << standby.Output();
    EXPECT_EQ(lastRole(active.Output()), "active") << active.Output();
    EXPECT_EQ(first.Stop(), 0);
    EXPECT_EQ(second.Stop(), 0);
}

TEST(RedundantPair, ServerThatFindsItselfAsPartnerRunsStandAlone) {
    Ports ports = FreePorts(1)[0];
    PairServer server(ports, 1, Loopback(ports.redundancy));
    server.Start();
    EXPECT_TRUE(server.Waits("The redundant counterpart seems to be this server, are the addresses really "
                             "different in the INI-files? We will run as standalone server."))
        << server.Output();
    // Redundancy is over for this run: the client thread ends instead of reconnecting.
    EXPECT_TRUE(server.Waits("Leaving Redundancy Client Thread")) << server.Output();
    EXPECT_TRUE(server.Waits("Starting all alarm threads"));
    EXPECT_EQ(server.Output().find("We are the standby server"), std::string::npos) << server.Output();
    EXPECT_TRUE(Client(ports.client)->Connected());
    EXPECT_EQ(server.Stop(), 0);
}

TEST(RedundantPair, PartnerAddressWithoutAPortDisablesRedundancy) {
    for (const char* remote : {"127.0.0.1", "127.0.0.1:0", ":4000"}) {
        Ports ports = FreePorts(1)[0];
        PairServer server(ports, 2, remote);
        server.Start();
        std::string out = server.Output();
        EXPECT_TRUE(InOrder(out, {"No valid Redundancy Server address is found or could be resolved. Redundancy will be disabled.",
                                  "Running as Stand Alone Server - redundancy disabled", "Starting all alarm threads"}))
            << remote << "\n" << out;
        EXPECT_EQ(out.find("Redundancy Client Thread ("), std::string::npos) << remote;
        EXPECT_EQ(server.Stop(), 0) << remote;
    }
}

}  // namespace
