// The history query of the client protocol against a server running in this process: fake
// Alarm Sources send events that go into the day files, a fake client asks for them back.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/alarms/alarm_commands.h"
#include "server/net/client_protocol.h"
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

constexpr int kSystem = 0, kPlant = 1, kLine2 = 2;

// Object fields by their numbers in the source protocol (1 = event type); the ones not
// given are empty.
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

struct Row {
    uint32_t handle = 0;
    int32_t time = 0, milliseconds = 0, type = 0;
    std::string user, comment;
    bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& r) {
    return out << "{" << std::hex << r.handle << std::dec << " " << r.time << "." << r.milliseconds << " type "
               << r.type << " '" << r.user << "' '" << r.comment << "'}";
}

// A record as the client should get it: the user and comment are checked separately where
// the time is the server's own.
Row Expected(uint32_t handle, int32_t time, int32_t ms, int32_t type, const std::string& user = "") {
    return Row{handle, time, ms, type, user, ""};
}

// The server with history switched on, two identified Alarm Sources and a client.
class Rig {
public:
    explicit Rig(const std::string& general = "") : server_("MaxStoredEventsPerHour=-1\n" + general) {
        EXPECT_TRUE(server_.Started());
        sources_[kPlant] = Identified("Plant");
        sources_[kLine2] = Identified("Line2");
        client_ = std::make_unique<FakePeer>(server_.ClientPort());
        EXPECT_TRUE(client_->Connected());
        EXPECT_TRUE(client_->Send(PACKET_TYPE_IDENTIFY,
                                  ClientPacketBuilder().Int32(kClientListView).String("anna").Payload()));
    }

    InProcessServer& Server() { return server_; }
    FakePeer& SourcePeer(int source) { return *sources_.at(source); }

    // Sends an event with its time fields and waits until the server has applied (and so
    // stored) it. Returns the object's handle.
    uint32_t Event(int source, int32_t type, const std::string& tag, int32_t time, int32_t ms,
                   std::map<int, std::string> more = {}) {
        more[1] = std::to_string(type);
        more[3] = tag;
        int timeField = type == 0 ? 13 : type == 1 ? 15 : type == 2 ? 17 : 0;
        if (timeField != 0) {
            more[timeField] = std::to_string(time);
            more[timeField + 1] = std::to_string(ms);
        }
        EXPECT_TRUE(SourcePeer(source).Send(SOURCE_PACKET_TYPE_EVENT, ObjectFields(more)));
        uint32_t handle = 0;
        EXPECT_TRUE(InProcessServer::Eventually([&] {
            std::lock_guard<heraldon::FairRecursiveMutex> guard(server_.Server().AlarmDataLock());
            heraldon::AlarmSource& s = server_.Source(source);
            heraldon::AlarmObject* o = s.inUse.FindByTag(tag);
            if (o == nullptr || o->LastEventType != type) return false;
            if (timeField == 13 && o->InActiveTime != time) return false;
            if (timeField == 15 && o->ActiveTime != time) return false;
            if (timeField == 17 && o->AckedTime != time) return false;
            for (int userField : {32, 33, 34}) {
                auto it = more.find(userField);
                const char* now = userField == 32 ? o->LastAckedBy : userField == 33 ? o->LastDisabledBy : o->LastEnabledBy;
                if (it != more.end() && it->second != now) return false;
            }
            handle = s.handleBase | static_cast<uint32_t>(o->FileRecord);
            return true;
        })) << tag << " type " << type;
        return handle;
    }

    void Query(int32_t sourceIndex, int32_t handle, int32_t withComments = 0) {
        ClientPacketBuilder p;
        p.Int32(sourceIndex).Int32(handle).String("").String("").Int32(withComments).Int32(0).Int32(0);
        ASSERT_TRUE(client_->Send(PACKET_TYPE_GET_HISTORY, p.Payload()));
    }

    // The records of the next `ends` answers, each list closed by its end packet. Packets
    // of other kinds (alarms pushed to the client) are passed over.
    std::vector<std::vector<Row>> Answers(int ends) {
        std::vector<std::vector<Row>> groups(1);
        Packet packet;
        while (static_cast<int>(groups.size()) <= ends) {
            if (!client_->Receive(packet)) {
                ADD_FAILURE() << "only " << groups.size() - 1 << " of " << ends << " end packets came";
                break;
            }
            if (packet.type == PACKET_TYPE_HISTORY_END) {
                EXPECT_EQ(packet.payload, "");
                groups.emplace_back();
            } else if (packet.type == PACKET_TYPE_HISTORY) {
                Row r;
                int32_t handle = 0;
                ClientPayloadReader reader(reinterpret_cast<const uint8_t*>(packet.payload.data()), packet.payload.size());
                reader.Int32(handle);
                reader.Int32(r.time);
                reader.Int32(r.milliseconds);
                reader.Int32(r.type);
                reader.String(r.user);
                reader.String(r.comment);
                EXPECT_TRUE(reader.Ok());
                EXPECT_EQ(reader.Remaining(), 0u);
                r.handle = static_cast<uint32_t>(handle);
                groups.back().push_back(r);
            }
        }
        groups.pop_back();
        return groups;
    }

private:
    std::unique_ptr<FakePeer> Identified(const std::string& name) {
        auto peer = std::make_unique<FakePeer>(server_.SourcePort());
        EXPECT_TRUE(peer->Send(SOURCE_PACKET_TYPE_IDENTIFY, Fields({"12290", "12291", name})));
        Packet welcome;
        EXPECT_TRUE(peer->ReceiveType(SOURCE_PACKET_TYPE_WELCOME, welcome));
        auto fields = SplitFields(welcome.payload);
        EXPECT_TRUE(fields.size() >= 3 && fields[2] == "1") << name;
        return peer;
    }

    InProcessServer server_;
    std::map<int, std::unique_ptr<FakePeer>> sources_;
    std::unique_ptr<FakePeer> client_;
};

uint32_t SourceOf(uint32_t handle) { return handle >> 24; }

TEST(HistoryQuery, EverySourceAnswersWithItsOwnRecordsAndItsOwnEnd) {
    Rig rig;
    uint32_t p1 = rig.Event(kPlant, 1, "P1", 1700000001, 10);
    uint32_t p2 = rig.Event(kPlant, 1, "P2", 1700000002, 20);
    rig.Event(kPlant, 0, "P1", 1700000003, 30);
    uint32_t l1 = rig.Event(kLine2, 1, "L1", 1700000004, 40);

    rig.Query(-1, -1);
    auto groups = rig.Answers(3);
    ASSERT_EQ(groups.size(), 3u);
    // The system source stores whatever it raised itself; only its own handles may appear.
    for (const Row& r : groups[kSystem]) EXPECT_EQ(SourceOf(r.handle), 0u) << r;
    EXPECT_EQ(groups[kPlant], (std::vector<Row>{Expected(p1, 1700000001, 10, 1), Expected(p2, 1700000002, 20, 1),
                                                Expected(p1, 1700000003, 30, 0)}));
    EXPECT_EQ(groups[kLine2], (std::vector<Row>{Expected(l1, 1700000004, 40, 1)}));

    // A source index in range with handle -1 asks that source alone.
    rig.Query(kLine2, -1);
    EXPECT_EQ(rig.Answers(1), (std::vector<std::vector<Row>>{groups[kLine2]}));
    // An index beyond the list asks every source.
    rig.Query(99, -1);
    EXPECT_EQ(rig.Answers(3), groups);
}

TEST(HistoryQuery, AHandleSelectsOneObjectAndAHandleOfNoSourceGetsNoAnswer) {
    Rig rig;
    uint32_t p1 = rig.Event(kPlant, 1, "P1", 1700000001, 1);
    rig.Event(kPlant, 1, "P2", 1700000002, 2);
    rig.Event(kPlant, 0, "P1", 1700000003, 3);
    uint32_t l1 = rig.Event(kLine2, 1, "L1", 1700000004, 4);

    rig.Query(kLine2, static_cast<int32_t>(p1));  // the handle wins over the source index
    EXPECT_EQ(rig.Answers(1), (std::vector<std::vector<Row>>{
                                  {Expected(p1, 1700000001, 1, 1), Expected(p1, 1700000003, 3, 0)}}));

    // A known source without that object: just the end.
    rig.Query(-1, static_cast<int32_t>((kPlant << 24) | 999));
    EXPECT_EQ(rig.Answers(1), (std::vector<std::vector<Row>>{{}}));

    // No source 0x7F: nothing at all, not even an end. The connection answers in order, so
    // the first answer after it must be the one to the next query.
    rig.Query(-1, 0x7F000000 | 1);
    rig.Query(-1, static_cast<int32_t>(l1));
    EXPECT_EQ(rig.Answers(1), (std::vector<std::vector<Row>>{{Expected(l1, 1700000004, 4, 1)}}));
}

TEST(HistoryQuery, OperatorsOfAcknowledgeDisableAndEnableComeBackByName) {
    Rig rig;
    uint32_t handle = rig.Event(kPlant, 1, "P1", 1700000001, 5);
    struct Step {
        int command;
        uint32_t packet;
        int32_t event;
        int userField;
        const char* user;
    };
    const Step steps[] = {
        {heraldon::kCommandAck, SOURCE_PACKET_TYPE_ACK, 2, 32, "anna"},
        {heraldon::kCommandDisable, SOURCE_PACKET_TYPE_DISABLE, 3, 33, "bert"},
        {heraldon::kCommandEnable, SOURCE_PACKET_TYPE_ENABLE, 4, 34, "carl"},
    };
    for (const Step& s : steps) {
        ASSERT_EQ(heraldon::ExecuteCommand(s.command, handle, s.user, "", 0, "127.0.0.1:1"), 1) << s.user;
        Packet command;
        ASSERT_TRUE(rig.SourcePeer(kPlant).ReceiveType(s.packet, command)) << s.user;
        auto fields = SplitFields(command.payload);
        ASSERT_GE(fields.size(), 4u);
        ASSERT_EQ(fields[3], s.user);
        // The source carries the operator out, answering with the event.
        rig.Event(kPlant, s.event, "P1", 1700000100 + s.event, 77, {{s.userField, fields[3]}});
    }

    rig.Query(-1, static_cast<int32_t>(handle));
    auto groups = rig.Answers(1);
    ASSERT_EQ(groups.size(), 1u);
    ASSERT_EQ(groups[0].size(), 4u);
    EXPECT_EQ(groups[0][0], Expected(handle, 1700000001, 5, 1));
    EXPECT_EQ(groups[0][1], Expected(handle, 1700000102, 0, 2, "anna")) << "acknowledged: no milliseconds";
    for (size_t i = 2; i < 4; ++i) {
        const Row& r = groups[0][i];
        EXPECT_EQ(r.type, steps[i - 1].event);
        EXPECT_EQ(r.user, steps[i - 1].user);
        EXPECT_EQ(r.milliseconds, 0);
        EXPECT_NE(r.time, 0) << "disable and enable carry the time of storing";
    }
}

TEST(HistoryQuery, TheReturnLimitAppliesToEachSource) {
    Rig rig("MaxReturnedHistoricEvents=2\n");
    std::vector<uint32_t> plant, line2;
    for (int i = 0; i < 3; ++i) {
        plant.push_back(rig.Event(kPlant, 1, "P" + std::to_string(i), 1700000000 + i, i));
        line2.push_back(rig.Event(kLine2, 1, "L" + std::to_string(i), 1700000010 + i, i));
    }
    rig.Query(-1, -1);
    auto groups = rig.Answers(3);
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_LE(groups[kSystem].size(), 2u);
    EXPECT_EQ(groups[kPlant],
              (std::vector<Row>{Expected(plant[0], 1700000000, 0, 1), Expected(plant[1], 1700000001, 1, 1)}));
    EXPECT_EQ(groups[kLine2],
              (std::vector<Row>{Expected(line2[0], 1700000010, 0, 1), Expected(line2[1], 1700000011, 1, 1)}));
}

}  // namespace
