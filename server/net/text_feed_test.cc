// The text event feed: the line template, and the feed port of a server running in this
// process, fed by a fake Alarm Source and read through plain sockets.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/ini.h"
#include "platform/socket.h"
#include "server/core/config.h"
#include "server/core/heraldon.h"
#include "server/net/source_protocol.h"
#include "server/net/text_feed.h"
#include "tests/support/fake_peer.h"
#include "tests/support/log_text.h"
#include "tests/support/server_fixture.h"
#include "tests/support/temp_folder.h"

namespace {

using heraldon::AlarmObject;
using heraldon::FormatTextEvent;
using testing_support::FakePeer;
using testing_support::Fields;
using testing_support::InProcessServer;
using testing_support::Packet;

// 2015-11-20 12:34:56 as a stored (local wall-clock) time.
constexpr int64_t kStored = 1448022896;

// A zone one hour east of UTC without daylight saving, so that the object's own time
// tokens (converted as if the stored time were UTC) and AlarmDate/AlarmTime (which take the
// stored time as the wall-clock time it is) give different, known texts.
class ZoneOneHourEast {
public:
    ZoneOneHourEast() {
        const char* old = getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv("TZ", "XEZ-1", 1);
        tzset();
    }
    ~ZoneOneHourEast() {
        if (hadOld_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool hadOld_ = false;
    std::string old_;
};

AlarmObject Pump() {
    AlarmObject o = AlarmObject::New();
    heraldon::SetText(o.Tag, "P101");
    heraldon::SetText(o.Name, "Pump 101");
    heraldon::SetText(o.Description, "Pump failure");
    heraldon::SetText(o.SmallComment, "checked");
    heraldon::SetText(o.Help, "call Bo");
    heraldon::SetText(o.SumState, "ALARM");
    heraldon::SetText(o.LastAckedBy, "anna");
    heraldon::SetText(o.LastDisabledBy, "bert");
    heraldon::SetText(o.LastEnabledBy, "cia");
    for (int i = 0; i < 8; ++i) heraldon::SetText(o.Custom[i], "c" + std::to_string(i + 1));
    o.Area = 12;
    o.Category = 7;
    o.Privilege = 3;
    o.FileRecord = 42;
    o.RepeatedSinceLastAck = 5;
    o.ActiveTime = kStored;
    o.InActiveTime = kStored + 3600;
    o.AckedTime = kStored + 60;
    o.DisabledTime = kStored + 86400;
    o.DisabledExpireTime = std::numeric_limits<int64_t>::max();  // no calendar time
    return o;
}

TEST(TextFeedFormat, TokensBecomeTheObjectsFieldsAndAnythingElseStaysAsWritten) {
    ZoneOneHourEast zone;
    const AlarmObject pump = Pump();
    AlarmObject neverActive = Pump();
    neverActive.ActiveTime = 0;

    struct Case {
        const char* format;
        int32_t eventType;
        const AlarmObject* object;
        const char* line;
    };
    const Case cases[] = {
        {heraldon::kDefaultTesselFormat, 1, &pump,
         "1|2015-11-20|12:34:56|P101|Pump 101|7|12|Pump failure|ALARM"},
        {"[Status$] [status$] [STATUS$]", 1, &pump, "ACTIVE ACTIVE ACTIVE"},
        {"[Status$]", 0, &pump, "INACTIVE"},
        {"[Status$]", 2, &pump, "ACKED"},
        {"[EventType]/[Status]", 2, &pump, "2/2"},
        // The time of the event itself follows the event type; no time, no text.
        {"[AlarmDate] [AlarmTime]", 0, &pump, "2015-11-20 13:34:56"},
        {"[AlarmDate] [AlarmTime]", 2, &pump, "2015-11-20 12:35:56"},
        {"<[AlarmDate]|[AlarmTime]>", 1, &neverActive, "<|>"},
        {"a[Bogus]b[Tag", 1, &pump, "a[Bogus]b[Tag"},
        {"[Tag]x[Name", 1, &pump, "P101x[Name"},
        {"[]][[Tag]", 1, &pump, "[]][[Tag]"},
        {"no tokens at all", 1, &pump, "no tokens at all"},
        {"[Custom3]|[Custom9]|[Custom0]|[custom8]|[Custom1]|[Custom]|[Custom10]", 1, &pump,
         "c3|[Custom9]|[Custom0]|c8|c1|[Custom]|[Custom10]"},
        {"[Handle]/[FileRecord]", 1, &pump, "42/42"},
        {"[Handle][Status][Status$][Tag][Name][Description][SmallComment][Help][Area][Category]"
         "[Privilege][FileRecord][SumState]|[ActiveDate] [ActiveTime]|[InActiveDate] "
         "[InActiveTime]|[AckedDate] [AckedTime]|[DisabledDate] [DisabledTime]|"
         "[DisabledExpireDate][DisabledExpireTime]|[AlarmDate] [AlarmTime]|[LastAckedBy]"
         "[LastDisabledBy][LastEnabledBy][RepeatedSinceLastAck][Custom2][Custom7][EventType]",
         1, &pump,
         "421ACTIVEP101Pump 101Pump failurecheckedcall Bo127342ALARM|2015-11-20 13:34:56|"
         "2015-11-20 14:34:56|2015-11-20 13:35:56|2015-11-21 13:34:56||2015-11-20 12:34:56|"
         "annabertcia5c2c71"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatTextEvent(*c.object, c.format, c.eventType), c.line) << c.format;
    }
}

TEST(TextFeedFormat, DateAndTimeAreTheCurrentLocalClock) {
    ZoneOneHourEast zone;
    AlarmObject o = Pump();
    std::string before = FormatTextEvent(o, "[Date] [Time]", 1);
    // The stored time of "now" is the wall clock, which AlarmDate/AlarmTime print as it is.
    o.ActiveTime = platform::clock::LocalNow();
    std::string now = FormatTextEvent(o, "[AlarmDate] [AlarmTime]", 1);
    std::string after = FormatTextEvent(o, "[date] [TIME]", 1);
    EXPECT_TRUE(std::regex_match(before, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << before;
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
}

// ---------------------------------------------------------------------------------------
// The feed port.

// A port nobody listens on at the moment.
uint16_t FreePort() {
    platform::net::Socket probe = platform::net::Listen(0);
    return platform::net::LocalPort(probe);
}

// A server with its own configuration: the shared fixture switches the feed off.
class FeedServer {
public:
    explicit FeedServer(const std::string& general) {
        testing_support::WriteFile(folder_ / "Heraldon.ini",
                                   "[General]\nDataPath=data\nAlarmSourcePort=0\nClientListenPort=0\n" +
                                       general);
        testing_support::WriteFile(folder_ / "AlarmSources.ini", "[AlarmSource_Plant]\n");
        server_ = std::make_unique<heraldon::CHeraldon>(folder_.Path());
        server_->SetRunning(true);
        started_ = server_->StartUp() == heraldon::CHeraldon::StartOutcome::Run;
    }
    ~FeedServer() { Stop(); }

    bool Started() const { return started_; }
    heraldon::CHeraldon& Server() { return *server_; }
    std::string IniPath() const { return folder_ / "Heraldon.ini"; }

    void Stop() {
        if (started_) server_->Shutdown();
        started_ = false;
    }

    uint16_t FeedPort() { return InProcessServer::PortOf(server_->FeedListener()); }

    size_t FeedClients() {
        std::lock_guard<std::mutex> guard(server_->FeedLock());
        return server_->FeedClients().size();
    }
    bool FeedClientsBecome(size_t count) {
        return InProcessServer::Eventually([&] { return FeedClients() == count; });
    }
    // Gone clients leave the list in a supervisory pass.
    bool FeedClientsDropTo(size_t count) {
        return InProcessServer::Eventually([&] {
            server_->SupervisoryPass();
            return FeedClients() == count;
        });
    }

    void Passes(int count) {
        for (int i = 0; i < count; ++i) server_->SupervisoryPass();
    }

    // An identified Alarm Source named "Plant". Its arrival clears its connection-failed
    // system alarm, an event of its own; connect feed readers only after this returned, so
    // that they see nothing but the test's events.
    std::unique_ptr<FakePeer> Source() {
        auto peer = std::make_unique<FakePeer>(InProcessServer::PortOf(server_->SourceListener()));
        EXPECT_TRUE(peer->Send(heraldon::net::SOURCE_PACKET_TYPE_IDENTIFY, Fields({"12290", "12291", "Plant"})));
        Packet welcome;
        EXPECT_TRUE(peer->ReceiveType(heraldon::net::SOURCE_PACKET_TYPE_WELCOME, welcome));
        // Packets of one connection are handled in order: once this object exists, the
        // identification has been dealt with completely.
        EXPECT_TRUE(peer->Send(heraldon::net::SOURCE_PACKET_TYPE_EVENT, Fields({"1", "", "SYNC"})));
        EXPECT_TRUE(InProcessServer::Eventually([&] {
            std::lock_guard<heraldon::FairRecursiveMutex> guard(server_->AlarmDataLock());
            return server_->AlarmSources()[1]->inUse.FindByTag("SYNC") != nullptr;
        }));
        return peer;
    }

    std::string LogText() const { return testing_support::LogFolderText(folder_ / "data/LogFiles/"); }
    // How often a log line matching pattern (PEER: any local peer address) was written.
    size_t LogCount(const std::string& pattern) const {
        std::string expanded = std::regex_replace(pattern, std::regex("PEER"), R"(127\.0\.0\.1:\d+)");
        std::string log = LogText();
        std::regex re(expanded);
        return static_cast<size_t>(
            std::distance(std::sregex_iterator(log.begin(), log.end(), re), std::sregex_iterator()));
    }

private:
    testing_support::TempFolder folder_;
    std::unique_ptr<heraldon::CHeraldon> server_;
    bool started_ = false;
};

// A feed program: reads what the server sends, piece by piece, each up to its line feed.
class FeedReader {
public:
    explicit FeedReader(uint16_t port) : socket_(platform::net::Connect("127.0.0.1", port, 5000)) {}

    bool Connected() const { return socket_.IsOpen(); }
    void Close() { socket_.Close(); }

    // The next line with its line end ("\r\n" for events, a lone "\n" for a keep-alive);
    // "" when nothing came within timeoutMs or the server closed.
    std::string Next(int timeoutMs = 5000) {
        int64_t deadline = platform::clock::MonotonicMs() + timeoutMs;
        for (;;) {
            size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end + 1);
                buffer_.erase(0, end + 1);
                return line;
            }
            int64_t left = deadline - platform::clock::MonotonicMs();
            if (left <= 0) return "";
            char chunk[65536];
            long n = socket_.ReceiveFor(chunk, sizeof chunk, static_cast<int>(left));
            if (n <= 0) return "";
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    // True once the server has closed the connection (anything before is skipped).
    bool ClosedByServer(int timeoutMs = 5000) {
        int64_t deadline = platform::clock::MonotonicMs() + timeoutMs;
        char chunk[65536];
        for (;;) {
            int64_t left = deadline - platform::clock::MonotonicMs();
            if (left <= 0) return false;
            long n = socket_.ReceiveFor(chunk, sizeof chunk, static_cast<int>(left));
            if (n == 0 || n == -1) return true;
            if (n == -2) return false;
        }
    }

private:
    platform::net::Socket socket_;
    std::string buffer_;
};

// An event packet of the Alarm Source protocol; fields by their numbers (1 = event type),
// the ones not given empty.
std::string SourceEvent(int eventType, const std::string& tag, std::map<int, std::string> fields = {}) {
    fields[1] = std::to_string(eventType);
    fields[3] = tag;
    std::string payload;
    for (int number = 1; number <= fields.rbegin()->first; ++number) {
        auto it = fields.find(number);
        if (it != fields.end()) payload += it->second;
        payload.push_back('\0');
    }
    return payload;
}

bool SendEvent(FakePeer& source, int eventType, const std::string& tag,
               std::map<int, std::string> fields = {}) {
    return source.Send(heraldon::net::SOURCE_PACKET_TYPE_EVENT, SourceEvent(eventType, tag, std::move(fields)));
}

// The event fields of P1: name, description, area, category, sum state.
std::map<int, std::string> P1(int timeField, int64_t time) {
    return {{5, "Pump 1"}, {6, "Pump failure"}, {7, "3"}, {8, "2"}, {12, "ALARM"},
            {timeField, std::to_string(time)}};
}
constexpr int kInActiveTimeField = 13, kActiveTimeField = 15, kAckedTimeField = 17;

TEST(TextFeed, EveryReaderGetsOneLinePerAlarmEventAndNoneForDisableOrEnable) {
    FeedServer server("TesselListenPort=" + std::to_string(FreePort()) + "\n");
    ASSERT_TRUE(server.Started());
    uint16_t port = server.FeedPort();
    ASSERT_NE(port, 0);
    auto source = server.Source();
    FeedReader first(port), second(port);
    ASSERT_TRUE(first.Connected() && second.Connected());
    ASSERT_TRUE(server.FeedClientsBecome(2));

    ASSERT_TRUE(SendEvent(*source, 1, "P1", P1(kActiveTimeField, kStored)));
    ASSERT_TRUE(SendEvent(*source, 3, "P1"));
    ASSERT_TRUE(SendEvent(*source, 4, "P1"));
    ASSERT_TRUE(SendEvent(*source, 2, "P1", P1(kAckedTimeField, kStored + 60)));
    ASSERT_TRUE(SendEvent(*source, 0, "P1", P1(kInActiveTimeField, kStored + 120)));
    const std::vector<std::string> expected = {
        "1|2015-11-20|12:34:56|P1|Pump 1|2|3|Pump failure|ALARM\r\n",
        "2|2015-11-20|12:35:56|P1|Pump 1|2|3|Pump failure|ALARM\r\n",
        "0|2015-11-20|12:36:56|P1|Pump 1|2|3|Pump failure|ALARM\r\n",
    };
    for (FeedReader* reader : {&first, &second}) {
        for (const std::string& line : expected) EXPECT_EQ(reader->Next(), line);
    }

    EXPECT_EQ(server.LogCount("Waiting for new connections at Tessel port " + std::to_string(port) + "\r\n"), 1u);
    EXPECT_EQ(server.LogCount("PEER connected as Tessel client\r\n"), 2u);
    // Logged after the line was handed over, so possibly after it arrived.
    EXPECT_TRUE(InProcessServer::Eventually(
        [&] { return server.LogCount("Sent alarm event to Tessel/Tessel2SQL PEER\r\n") == 6; }));

    // At the stop the server closes every feed connection, without calling it a loss.
    server.Stop();
    EXPECT_TRUE(first.ClosedByServer());
    EXPECT_TRUE(second.ClosedByServer());
    EXPECT_EQ(server.LogCount("Closing Tessel client socket"), 0u);
}

TEST(TextFeed, AReaderThatLeavesIsDroppedAndTheOthersGoOn) {
    FeedServer server("TesselListenPort=" + std::to_string(FreePort()) + "\n");
    ASSERT_TRUE(server.Started());
    auto source = server.Source();
    FeedReader leaving(server.FeedPort()), staying(server.FeedPort());
    ASSERT_TRUE(server.FeedClientsBecome(2));

    ASSERT_TRUE(SendEvent(*source, 1, "P1", P1(kActiveTimeField, kStored)));
    EXPECT_EQ(leaving.Next(), "1|2015-11-20|12:34:56|P1|Pump 1|2|3|Pump failure|ALARM\r\n");
    EXPECT_EQ(staying.Next(), "1|2015-11-20|12:34:56|P1|Pump 1|2|3|Pump failure|ALARM\r\n");

    leaving.Close();
    ASSERT_TRUE(server.FeedClientsDropTo(1));
    EXPECT_EQ(server.LogCount(R"(Closing Tessel client socket \(PEER\)\r\n)"), 1u);

    ASSERT_TRUE(SendEvent(*source, 2, "P1", P1(kAckedTimeField, kStored + 60)));
    EXPECT_EQ(staying.Next(), "2|2015-11-20|12:35:56|P1|Pump 1|2|3|Pump failure|ALARM\r\n");

    // A newcomer is welcome after the loss.
    FeedReader late(server.FeedPort());
    ASSERT_TRUE(server.FeedClientsBecome(2));
    ASSERT_TRUE(SendEvent(*source, 0, "P1", P1(kInActiveTimeField, kStored + 120)));
    EXPECT_EQ(staying.Next(), "0|2015-11-20|12:36:56|P1|Pump 1|2|3|Pump failure|ALARM\r\n");
    EXPECT_EQ(late.Next(), "0|2015-11-20|12:36:56|P1|Pump 1|2|3|Pump failure|ALARM\r\n");
}

// Supervisory passes run on this thread and events are queued in the order they happen,
// so a keep-alive that is due shows before a line sent after the pass, and one that is not
// due yet does not.
TEST(TextFeed, KeepAlivesFollowTheirIntervalAndNeverComeWhenItIsZero) {
    struct Case {
        int interval;
        int passesPerKeepAlive;  // 100 ms each; 0: never
    };
    for (const Case c : {Case{1000, 10}, Case{250, 3}, Case{0, 0}, Case{-100, 0}}) {
        SCOPED_TRACE(c.interval);
        FeedServer server("TesselListenPort=" + std::to_string(FreePort()) +
                          "\nTesselKeepAliveInterval=" + std::to_string(c.interval) + "\n");
        ASSERT_TRUE(server.Started());
        auto source = server.Source();
        FeedReader reader(server.FeedPort());
        ASSERT_TRUE(server.FeedClientsBecome(1));
        int64_t stamp = kStored;
        auto event = [&] {
            ++stamp;
            return SendEvent(*source, 1, "P1", {{kActiveTimeField, std::to_string(stamp)}}) ? reader.Next() : "";
        };
        if (c.passesPerKeepAlive == 0) {
            server.Passes(50);
            std::string line = event();
            EXPECT_NE(line, "\n");
            EXPECT_NE(line, "");
            continue;
        }
        // Event lines in between do not postpone the next keep-alive.
        for (int round = 0; round < 3; ++round) {
            server.Passes(c.passesPerKeepAlive - 1);
            std::string line = event();
            EXPECT_NE(line, "\n") << round;
            EXPECT_NE(line, "") << round;
            server.Passes(1);
            EXPECT_EQ(reader.Next(), "\n") << round;
        }
    }
}

TEST(TextFeed, AReaderThatNeverReadsHoldsUpNeitherTheEventsNorTheOtherReaders) {
    // Long lines, so that the flood is more than the sockets can hold for the silent reader.
    std::string format = "[Status]";
    for (int i = 0; i < 18; ++i) format += "[Description]";
    FeedServer server("TesselListenPort=" + std::to_string(FreePort()) + "\nTesselFormat=" + format +
                      "\nDaysToKeepLogFiles=0\n");
    ASSERT_TRUE(server.Started());
    auto source = server.Source();
    FeedReader silent(server.FeedPort()), reading(server.FeedPort());
    ASSERT_TRUE(server.FeedClientsBecome(2));

    const std::string description(127, 'd');
    constexpr int kEvents = 3000;  // about 7 MB
    for (int i = 0; i < kEvents; ++i) {
        ASSERT_TRUE(SendEvent(*source, i % 2, "P1", {{6, description}}));
    }
    std::string repeated;
    for (int i = 0; i < 18; ++i) repeated += description;
    for (int i = 0; i < kEvents; ++i) {
        std::string line = reading.Next();
        ASSERT_TRUE(line == std::to_string(i % 2) + repeated + "\r\n")
            << "line " << i << " of " << kEvents << ": " << line.substr(0, 20);
    }
    EXPECT_EQ(server.FeedClients(), 2u);
}

TEST(TextFeed, AnEditedTemplateAppliesFromTheNextEvent) {
    FeedServer server("TesselListenPort=" + std::to_string(FreePort()) + "\nTesselFormat=<[Tag]>\n");
    ASSERT_TRUE(server.Started());
    auto source = server.Source();
    FeedReader reader(server.FeedPort());
    ASSERT_TRUE(server.FeedClientsBecome(1));

    ASSERT_TRUE(SendEvent(*source, 1, "P1", P1(kActiveTimeField, kStored)));
    EXPECT_EQ(reader.Next(), "<P1>\r\n");
    ASSERT_TRUE(platform::ini::WriteString(server.IniPath(), "General", "TesselFormat", "[Status$]:[Name]"));
    ASSERT_TRUE(SendEvent(*source, 2, "P1", P1(kAckedTimeField, kStored + 60)));
    EXPECT_EQ(reader.Next(), "ACKED:Pump 1\r\n");
    // Without the key the default template is back; a template is at most 255 characters.
    ASSERT_TRUE(platform::ini::DeleteKey(server.IniPath(), "General", "TesselFormat"));
    ASSERT_TRUE(SendEvent(*source, 0, "P1", P1(kInActiveTimeField, kStored + 120)));
    EXPECT_EQ(reader.Next(), "0|2015-11-20|12:36:56|P1|Pump 1|2|3|Pump failure|ALARM\r\n");
    ASSERT_TRUE(platform::ini::WriteString(server.IniPath(), "General", "TesselFormat",
                                           std::string(251, '-') + "[Tag]"));
    ASSERT_TRUE(SendEvent(*source, 1, "P1", P1(kActiveTimeField, kStored + 180)));
    EXPECT_EQ(reader.Next(), std::string(251, '-') + "[Tag\r\n");
}

TEST(TextFeed, WithoutAUsablePortTheFeedStaysOffAndTheServerRunsOn) {
    platform::net::Socket taken = platform::net::Listen(0);
    uint16_t takenPort = platform::net::LocalPort(taken);
    struct Case {
        std::string general;
        std::string logLine;
    };
    const Case cases[] = {
        {"", "Tessel port 0 could not be created, Tessel connection is disabled\r\n"},
        {"TesselListenPort=0\n", "Tessel port 0 could not be created, Tessel connection is disabled\r\n"},
        {"TesselListenPort=" + std::to_string(takenPort) + "\n",
         "Couldn't bind server socket for Tessel port " + std::to_string(takenPort) + "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.general);
        FeedServer server(c.general);
        ASSERT_TRUE(server.Started());
        ASSERT_TRUE(InProcessServer::Eventually([&] { return server.LogText().find(c.logLine) != std::string::npos; }));
        // Events still flow, with nobody to feed.
        auto source = server.Source();
        ASSERT_TRUE(SendEvent(*source, 1, "P1", P1(kActiveTimeField, kStored)));
        ASSERT_TRUE(InProcessServer::Eventually([&] {
            std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
            return server.Server().AlarmSources()[1]->inUse.FindByTag("P1") != nullptr;
        }));
        EXPECT_EQ(server.LogCount("Tessel client"), 0u);
        EXPECT_EQ(server.LogCount("Waiting for new connections at Tessel port"), 0u);
        server.Stop();  // the idle listener must end with the alarm threads
    }
}

}  // namespace
