// What events and operator commands do to alarm objects, against a server running in this
// process: events arrive from a fake Alarm Source, system alarms are raised directly.

#include "server/alarms/alarm_events.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "server/alarms/alarm_commands.h"
#include "server/alarms/alarm_hooks.h"
#include "server/alarms/alarm_state.h"
#include "server/net/source_protocol.h"
#include "tests/support/fake_peer.h"
#include "tests/support/server_fixture.h"

namespace {

using namespace heraldon;
using testing_support::FakePeer;
using testing_support::Fields;
using testing_support::InProcessServer;
using testing_support::Packet;
using testing_support::SplitFields;

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

struct Recorded {
    int source;
    std::string tag;
    int32_t type;
};

// Captures what the events hand on to the feed, to history and to the clients (passing it on
// to the server's own hooks as well) while it lives.
class EventTrail {
public:
    explicit EventTrail(InProcessServer& server) : server_(server) {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server_.Server().AlarmDataLock());
        AlarmHooks& hooks = TheAlarmHooks();
        saved_ = hooks;
        hooks.sendTextEvent = [this](AlarmSource& s, AlarmObject& o, int32_t type) {
            Add(fed_, s, o, type);
            if (saved_.sendTextEvent) saved_.sendTextEvent(s, o, type);
        };
        hooks.storeHistoricEvent = [this](AlarmSource& s, AlarmObject& o, int32_t type) {
            Add(stored_, s, o, type);
            if (saved_.storeHistoricEvent) saved_.storeHistoricEvent(s, o, type);
        };
        hooks.distributeObject = [this](AlarmSource& s, AlarmObject& o) {
            {
                std::lock_guard<std::mutex> lock(lock_);
                ++distributed_[s.index];
            }
            if (saved_.distributeObject) saved_.distributeObject(s, o);
        };
    }
    ~EventTrail() {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server_.Server().AlarmDataLock());
        TheAlarmHooks() = saved_;
    }

    std::vector<int32_t> FedTypes(const std::string& tag) { return TypesOf(fed_, tag); }
    std::vector<int32_t> StoredTypes(const std::string& tag) { return TypesOf(stored_, tag); }
    int Distributed(int sourceIndex) {
        std::lock_guard<std::mutex> lock(lock_);
        return distributed_[sourceIndex];
    }

private:
    void Add(std::vector<Recorded>& to, AlarmSource& s, AlarmObject& o, int32_t type) {
        std::lock_guard<std::mutex> lock(lock_);
        to.push_back({s.index, std::string(TextOf(o.Tag)), type});
    }
    std::vector<int32_t> TypesOf(const std::vector<Recorded>& from, const std::string& tag) {
        std::lock_guard<std::mutex> lock(lock_);
        std::vector<int32_t> types;
        for (const Recorded& r : from) {
            if (r.tag == tag) types.push_back(r.type);
        }
        return types;
    }

    InProcessServer& server_;
    AlarmHooks saved_;
    std::mutex lock_;
    std::vector<Recorded> fed_;     // guarded by lock_
    std::vector<Recorded> stored_;  // guarded by lock_
    std::map<int, int> distributed_;
};

// A server with the fake source "Plant" connected; events are sent one at a time and each
// is applied before Send returns.
class PlantRig {
public:
    explicit PlantRig(const std::string& general = "") : server_(general), trail_(server_) {
        peer_ = std::make_unique<FakePeer>(server_.SourcePort());
        EXPECT_TRUE(peer_->Send(net::SOURCE_PACKET_TYPE_IDENTIFY, Fields({"12290", "12291", "Plant"})));
        Packet welcome;
        EXPECT_TRUE(peer_->ReceiveType(net::SOURCE_PACKET_TYPE_WELCOME, welcome));
        auto fields = SplitFields(welcome.payload);
        EXPECT_TRUE(fields.size() >= 3 && fields[2] == "1");
    }

    InProcessServer& Server() { return server_; }
    AlarmSource& Plant() { return server_.Source(1); }
    EventTrail& Trail() { return trail_; }
    FakePeer& Peer() { return *peer_; }
    heraldon::FairRecursiveMutex& Lock() { return server_.Server().AlarmDataLock(); }

    // Every event reaches the clients exactly once, so the count of distributions says
    // when it has been applied.
    void Send(const std::map<int, std::string>& fields) {
        ASSERT_TRUE(peer_->Send(net::SOURCE_PACKET_TYPE_EVENT, ObjectFields(fields)));
        ++sent_;
        ASSERT_TRUE(InProcessServer::Eventually([&] { return trail_.Distributed(1) >= sent_; }));
    }

    AlarmObject& Object(const char* tag) {
        AlarmObject* o = Plant().inUse.FindByTag(tag);
        EXPECT_NE(o, nullptr) << tag;
        static AlarmObject missing;
        return o != nullptr ? *o : missing;
    }

private:
    InProcessServer server_;
    EventTrail trail_;
    std::unique_ptr<FakePeer> peer_;
    int sent_ = 0;
};

int SumOf(const int32_t* counts, size_t n) { return std::accumulate(counts, counts + n, 0); }

TEST(AlarmEvents, RepetitionsAndActivationsAreCountedFromTheStateBeforeTheEvent) {
    struct Step {
        int32_t event;
        const char* ackedBy;  // field 32 of the packet; null: not sent
        int32_t state;
        int32_t repeated;
        int32_t activations;
        const char* lastAckedBy;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"active, inactive, acked",
         {{1, nullptr, 1, 0, 1, ""}, {0, nullptr, 3, 0, 1, ""}, {2, "anna", 0, 0, 1, "anna"}}},
        {"active again while unacknowledged repeats, acked resets",
         {{1, nullptr, 1, 0, 1, ""},
          {0, nullptr, 3, 0, 1, ""},
          {1, nullptr, 1, 1, 2, ""},
          {0, nullptr, 3, 1, 2, ""},
          {1, nullptr, 1, 2, 3, ""},
          {2, "anna", 2, 0, 3, "anna"}}},
        {"an Active forgets who acked, even one the packet names",
         {{1, nullptr, 1, 0, 1, ""},
          {2, "anna", 2, 0, 1, "anna"},
          {0, nullptr, 0, 0, 1, "anna"},
          {1, "bob", 1, 0, 2, ""}}},
        {"an Active on an active alarm is not an activation",
         {{1, nullptr, 1, 0, 1, ""}, {1, nullptr, 1, 0, 1, ""}, {2, "anna", 2, 0, 1, "anna"},
          {1, nullptr, 1, 0, 1, ""}}},
        {"an Active on a disabled alarm is one",
         {{1, nullptr, 1, 0, 1, ""}, {3, nullptr, 4, 0, 1, ""}, {1, nullptr, 4, 0, 2, ""}}},
    };
    PlantRig rig;
    int handle = 100;
    for (const Case& c : cases) {
        ++handle;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            std::map<int, std::string> fields{{1, std::to_string(s.event)}, {2, std::to_string(handle)},
                                              {3, c.what}};
            if (s.ackedBy != nullptr) fields[32] = s.ackedBy;
            rig.Send(fields);
            std::lock_guard<heraldon::FairRecursiveMutex> guard(rig.Lock());
            AlarmObject& o = rig.Object(c.what);
            SCOPED_TRACE(std::string(c.what) + ", step " + std::to_string(i + 1));
            EXPECT_EQ(o.State, s.state);
            EXPECT_EQ(o.RepeatedSinceLastAck, s.repeated);
            EXPECT_EQ(o.StatTotal, s.activations);
            EXPECT_EQ(SumOf(o.StatHours, 24), s.activations);
            EXPECT_EQ(o.StatDays[0], s.activations);
            EXPECT_EQ(TextOf(o.LastAckedBy), s.lastAckedBy);
        }
    }
}

// Seven activations, each followed by its InActive: fourteen events on one alarm.
TEST(AlarmEvents, StorageLimitsDecideWhatGoesIntoHistoryButEverythingIsFed) {
    struct Case {
        const char* limits;
        size_t stored;  // the first this many events are stored, the rest are not
        bool hourly;    // the outcome depends on the current local hour
    };
    const Case cases[] = {
        {"", 0, false},  // the defaults, all 0
        {"MaxStoredEventsPerHour=5\nMaxStoredEventsPerDay=1000\nMaxStoredEventsPerMonth=1000\n", 9, true},
        {"MaxStoredEventsPerHour=1000\nMaxStoredEventsPerDay=3\nMaxStoredEventsPerMonth=1000\n", 5, false},
    };
    std::vector<int32_t> sequence;
    for (int i = 0; i < 7; ++i) sequence.insert(sequence.end(), {kEventActive, kEventInActive});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limits);
        PlantRig rig(c.limits);
        int hourBefore = platform::clock::LocalCalendarNow().tm_hour;
        for (int32_t type : sequence) rig.Send({{1, std::to_string(type)}, {2, "7"}, {3, "Level"}});
        EXPECT_EQ(rig.Trail().FedTypes("Level"), sequence);
        if (c.hourly && platform::clock::LocalCalendarNow().tm_hour != hourBefore) continue;
        EXPECT_EQ(rig.Trail().StoredTypes("Level"),
                  std::vector<int32_t>(sequence.begin(), sequence.begin() + static_cast<long>(c.stored)));
    }
}

TEST(AlarmEvents, WithoutLimitsOnlyEventsOfADisabledAlarmAndUntypedOnesStayOutOfHistory) {
    // One negative limit lifts the others, even at their default of 0.
    PlantRig rig("MaxStoredEventsPerMonth=-1\n");
    const std::vector<int32_t> sequence = {kEventActive,   kEventDisable, kEventInActive, kEventActive,
                                           kEventEnable,   kEventInActive, kEventComment};
    for (int32_t type : sequence) rig.Send({{1, std::to_string(type)}, {2, "9"}, {3, "Pressure"}});
    EXPECT_EQ(rig.Trail().FedTypes("Pressure"), sequence);
    EXPECT_EQ(rig.Trail().StoredTypes("Pressure"),
              (std::vector<int32_t>{kEventActive, kEventDisable, kEventEnable, kEventInActive, kEventComment}));

    // No type: the fields change, nothing is fed, counted or stored.
    rig.Send({{2, "9"}, {3, "Pressure"}, {5, "Renamed"}});
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(rig.Lock());
        AlarmObject& o = rig.Object("Pressure");
        EXPECT_EQ(TextOf(o.Name), "Renamed");
        EXPECT_EQ(o.LastEventType, kEventNone);
        EXPECT_EQ(o.State, kStateInactiveUnacked);
    }
    EXPECT_EQ(rig.Trail().FedTypes("Pressure").size(), sequence.size());
    EXPECT_EQ(rig.Trail().StoredTypes("Pressure").size(), 5u);
    EXPECT_NE(rig.Server().LogText().find(
                  "Alarm Tag 'Pressure' was not stored or sent to Tessel - the eventtype was unknown\r\n"),
              std::string::npos);
}

TEST(AlarmCommands, ATimedDisableRunsOutWithAnEnableFromTheServerToARunningSource) {
    PlantRig rig;
    rig.Send({{1, "1"}, {2, "7"}, {3, "Door"}});
    uint32_t handle = 0;
    int32_t record = 0;
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(rig.Lock());
        record = rig.Object("Door").FileRecord;
        handle = rig.Plant().handleBase | static_cast<uint32_t>(record);
    }
    ASSERT_EQ(ExecuteCommand(kCommandDisable, handle, "anna", "", 1, "10.0.0.1:5"), 1);
    Packet packet;
    ASSERT_TRUE(rig.Peer().ReceiveType(net::SOURCE_PACKET_TYPE_DISABLE, packet));
    int64_t expiry = 0;
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(rig.Lock());
        expiry = rig.Object("Door").DisabledExpireTime;
    }
    ASSERT_NE(expiry, 0);
    ASSERT_TRUE(InProcessServer::Eventually([&] { return platform::clock::UtcNow() >= expiry; }, 3000));

    auto checkExpiry = [&] {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(rig.Lock());
        rig.Plant().CheckDisableExpiry();
    };
    // The source has not said it runs: the disable waits for it.
    checkExpiry();
    EXPECT_FALSE(rig.Peer().ReceiveType(net::SOURCE_PACKET_TYPE_ENABLE, packet, 100));
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(rig.Lock());
        EXPECT_EQ(rig.Object("Door").DisabledExpireTime, expiry);
    }

    ASSERT_TRUE(rig.Peer().Send(net::SOURCE_PACKET_TYPE_STATUS, Fields({"1"})));
    ASSERT_TRUE(InProcessServer::Eventually([&] {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(rig.Lock());
        return rig.Plant().running == 1;
    }));
    checkExpiry();
    ASSERT_TRUE(rig.Peer().ReceiveType(net::SOURCE_PACKET_TYPE_ENABLE, packet));
    EXPECT_EQ(SplitFields(packet.payload),
              (std::vector<std::string>{"7", std::to_string(record), "Door", "Klaxora/auto", ""}));
    EXPECT_NE(rig.Server().LogText().find(
                  "AlarmSource 'Plant': Alarm object 'Door' was enabled by 'System (time limit disable "
                  "expired)'"),
              std::string::npos);
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(rig.Lock());
        EXPECT_EQ(rig.Object("Door").DisabledExpireTime, 0);
        // The state is the source's to change, by its answer.
        EXPECT_EQ(rig.Object("Door").State, kStateActiveUnacked);
    }
    // Sent once only.
    checkExpiry();
    EXPECT_FALSE(rig.Peer().ReceiveType(net::SOURCE_PACKET_TYPE_ENABLE, packet, 100));
}

// One server for the system alarm tests; each test uses its own tags.
class SystemAlarms : public testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new InProcessServer(); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    heraldon::FairRecursiveMutex& Lock() { return server_->Server().AlarmDataLock(); }
    AlarmSource& System() { return server_->Source(0); }
    bool LogHas(const std::string& text) { return server_->LogText().find(text) != std::string::npos; }

    static InProcessServer* server_;
};

InProcessServer* SystemAlarms::server_ = nullptr;

TEST_F(SystemAlarms, OneAlarmPerTagInAnyCase) {
    ASSERT_TRUE(server_->Started());
    int64_t before;
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(Lock());
        before = System().ObjectCount();
    }
    AlarmObject* first = RaiseSystemAlarm(kEventActive, "Disk Full", "Disk", "Disk is full", 2, 3, "");
    ASSERT_NE(first, nullptr);
    AlarmObject* again = RaiseSystemAlarm(kEventAcked, "DISK FULL", "Disk C", "Disk C is full", 4, 5, "bob");
    EXPECT_EQ(again, first);
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(Lock());
        EXPECT_EQ(System().ObjectCount(), before + 1);
        EXPECT_EQ(first->FileRecord, before);
        EXPECT_EQ(first->SCADAHandle, 0u);
        EXPECT_EQ(TextOf(first->Tag), "Disk Full");
        EXPECT_EQ(first->State, kStateActiveAcked);
        EXPECT_EQ(TextOf(first->LastAckedBy), "bob");
        EXPECT_EQ(TextOf(first->Name), "Disk C");
        EXPECT_EQ(TextOf(first->Description), "Disk C is full");
        EXPECT_EQ(first->Category, 4);
        EXPECT_EQ(first->Area, 5);
    }

    // The user lands in the by-field of its event, cut to the field.
    struct ByUser {
        int32_t type;
        char (AlarmObject::*field)[64];
    };
    const std::string longUser(100, 'u');
    for (const ByUser& b : {ByUser{kEventDisable, &AlarmObject::LastDisabledBy},
                            ByUser{kEventEnable, &AlarmObject::LastEnabledBy}}) {
        AlarmObject* o = RaiseSystemAlarm(b.type, "Disk Full", "Disk", "Disk is full", 2, 3, longUser);
        ASSERT_EQ(o, first);
        std::lock_guard<heraldon::FairRecursiveMutex> guard(Lock());
        EXPECT_EQ(TextOf(o->*b.field), longUser.substr(0, 63)) << b.type;
    }

    struct Refused {
        const char* tag;
        int32_t category, area;
    };
    for (const Refused& r : {Refused{"", 0, 0}, Refused{"Refused", -1, 0}, Refused{"Refused", 0, -1}}) {
        EXPECT_EQ(RaiseSystemAlarm(kEventActive, r.tag, "n", "d", r.category, r.area, ""), nullptr)
            << "'" << r.tag << "' " << r.category << " " << r.area;
    }
    std::lock_guard<heraldon::FairRecursiveMutex> guard(Lock());
    EXPECT_EQ(System().ObjectCount(), before + 1);
}

TEST_F(SystemAlarms, OperatorCommandsTakeEffectAtOnce) {
    AlarmObject* o = RaiseSystemAlarm(kEventActive, "Pump", "Pump", "Pump failed", 1, 1, "");
    ASSERT_NE(o, nullptr);
    int32_t record;
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(Lock());
        record = o->FileRecord;
    }
    const uint32_t handle = System().handleBase | static_cast<uint32_t>(record);
    struct Step {
        int command;
        int32_t state;
        const char* verb;
    };
    const Step steps[] = {
        {kCommandAck, kStateActiveAcked, "acked"},
        {kCommandInactivate, kStateNormal, "inactivated"},
        {kCommandActivate, kStateActiveUnacked, "activated"},
        {kCommandDisable, kStateDisabled, "disabled"},
        {kCommandEnable, kStateActiveUnacked, "enabled"},
    };
    for (const Step& s : steps) {
        // Comment and duration mean nothing to a system alarm.
        ASSERT_EQ(ExecuteCommand(s.command, handle, "anna", "a comment", 600, "10.0.0.1:5"), 1) << s.verb;
        {
            std::lock_guard<heraldon::FairRecursiveMutex> guard(Lock());
            EXPECT_EQ(o->State, s.state) << s.verb;
            EXPECT_EQ(o->DisabledExpireTime, 0) << s.verb;
        }
        EXPECT_TRUE(LogHas(std::string("AlarmSource 'System': Alarm object 'Pump' was ") + s.verb +
                           " by 'anna'\r\n"))
            << s.verb;
    }

    ASSERT_EQ(ExecuteCommand(kCommandRemove, handle, "anna", "", 0, "10.0.0.1:5"), 1);
    EXPECT_TRUE(LogHas("AlarmSource 'System': Alarm object 'Pump' was removed by 'anna'\r\n"));
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(Lock());
        EXPECT_EQ(System().inUse.FindByTag("Pump"), nullptr);
        AlarmObject* removed = System().removed.FindByTag("Pump");
        ASSERT_NE(removed, nullptr);
        EXPECT_EQ(removed->State, kStateRemoved);
        EXPECT_EQ(removed->InUse, 0);
    }
    // Out of use, the handle commands nothing; raised again, the alarm keeps its record.
    EXPECT_EQ(ExecuteCommand(kCommandAck, handle, "anna", "", 0, "10.0.0.1:5"), 0);
    AlarmObject* back = RaiseSystemAlarm(kEventActive, "pump", "Pump", "Pump failed", 1, 1, "");
    ASSERT_NE(back, nullptr);
    std::lock_guard<heraldon::FairRecursiveMutex> guard(Lock());
    EXPECT_EQ(back->FileRecord, record);
    EXPECT_EQ(back->State, kStateActiveUnacked);
    EXPECT_EQ(System().removed.FindByTag("Pump"), nullptr);
}

TEST_F(SystemAlarms, CommandsForHandlesThatNameNoObjectAreRefused) {
    struct Case {
        uint32_t handle;
        const char* log;  // null: refused without a line
    };
    const Case cases[] = {
        {0x03000000, "Alarm Command to Alarm handle 50331648 from client 10.0.0.1:5 failed, AlarmSource is invalid"},
        {0x7F000000, "Alarm Command to Alarm handle 2130706432 from client 10.0.0.1:5 failed, AlarmSource is invalid"},
        {0xFF000000, "Alarm Command to Alarm handle -16777216 from client 10.0.0.1:5 failed, AlarmSource is invalid"},
        {0x01000999, "Unknown Alarm Handle 16779673 from client 10.0.0.1:5, Alarm Object was not found"},
        {0x00000999, nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ExecuteCommand(kCommandAck, c.handle, "anna", "", 0, "10.0.0.1:5"), 0) << std::hex << c.handle;
        if (c.log != nullptr) {
            EXPECT_TRUE(LogHas(std::string(c.log) + "\r\n")) << c.log;
        }
    }
    EXPECT_FALSE(LogHas(" 2457 from client"));
}

}  // namespace
