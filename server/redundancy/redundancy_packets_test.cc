// The redundancy link of a server running in this process: what it accepts from its
// partner, what it writes, what it sends, and when it closes the link. The partner is
// played by the test, either as a fake server the link connects to or as a fake client on
// the server's own redundancy port.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "server/core/heraldon.h"
#include "server/net/client_protocol.h"
#include "server/net/frame.h"
#include "server/redundancy/redundancy_protocol.h"
#include "server/store/alarm_object.h"
#include "server/store/alarm_object_format.h"
#include "tests/support/fake_peer.h"
#include "tests/support/server_fixture.h"

namespace {

using namespace heraldon::redundancy;
using heraldon::net::ClientPacketBuilder;
using heraldon::net::ClientPayloadReader;
using testing_support::FakePeer;
using testing_support::InProcessServer;
using testing_support::Packet;
using testing_support::ReadFile;
using testing_support::WriteFile;
using Builder = ClientPacketBuilder;

constexpr size_t kRecord = heraldon::alarm_file::kRecordSize;
constexpr int32_t kRecordLength = static_cast<int32_t>(kRecord);
constexpr int32_t kPartnerId = 0x5A5A0001;
const std::string kSources = "[AlarmSource_Plant]\nTagPrefix=PL.\n[AlarmSource_Line2]\n";

uint16_t FreePort() {
    platform::net::Socket probe = platform::net::Listen(0);
    return platform::net::LocalPort(probe);
}

std::string RedundancyIni(int serverType, uint16_t ownPort, uint16_t partnerPort) {
    return "\n[Redundancy]\nServerType=" + std::to_string(serverType) + "\nServerPort=" + std::to_string(ownPort) +
           "\nRemoteServer=127.0.0.1:" + std::to_string(partnerPort) +
           "\nConnectTimeout=1000\nReconnectInterval=1000\nKeepAliveInterval=100\n";
}

void Put(std::string& bytes, size_t at, uint64_t value, int size) {
    for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// A sound alarm object file of the current version; tags are prefix + record number.
std::string AlarmFile(int records, const std::string& tagPrefix = "T") {
    std::string bytes(heraldon::alarm_file::kHeaderSize, '\0');
    Put(bytes, 0, heraldon::alarm_file::kVersion, 4);
    Put(bytes, 4, static_cast<uint32_t>(records), 4);
    Put(bytes, 8, 1, 4);
    Put(bytes, 12, static_cast<uint64_t>(platform::clock::UtcNow()), 8);
    for (int i = 0; i < records; ++i) {
        heraldon::AlarmObject o = heraldon::AlarmObject::New();
        heraldon::SetText(o.Tag, tagPrefix + std::to_string(i));
        o.FileRecord = i;
        uint8_t record[kRecord];
        o.EncodeTo(record);
        bytes.append(reinterpret_cast<const char*>(record), kRecord);
    }
    return bytes;
}

std::string Chunk(const std::string& source, int32_t offset, int32_t length, const std::string& bytes) {
    return Builder().String(source).Int32(offset).Int32(length).Raw(bytes).Payload();
}

// Every frame of a whole-file transfer as the partner sends it.
std::vector<std::string> FileFrames(uint32_t beginType, const std::string& source, const std::string& file,
                                    bool withEnd = true) {
    std::vector<std::string> frames{heraldon::net::EncodeFrame(beginType, Builder().String(source).Payload())};
    for (size_t offset = 0; offset < file.size(); offset += kFileChunk) {
        std::string part = file.substr(offset, kFileChunk);
        frames.push_back(heraldon::net::EncodeFrame(
            beginType + 1, Chunk(source, static_cast<int32_t>(offset), static_cast<int32_t>(part.size()), part)));
    }
    if (withEnd) frames.push_back(heraldon::net::EncodeFrame(beginType + 2, Builder().String(source).Payload()));
    return frames;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Binary files compare by size and first difference; printing them helps nobody.
testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    return testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size()
                                       << ", first difference at offset " << at;
}

// Every file below folder, by path relative to it.
std::set<std::string> FilesBelow(const std::string& folder) {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) files.insert(std::filesystem::relative(entry.path(), folder).string());
    }
    return files;
}

// The partner server's end of the link this server opens: accepts the connection, answers
// the initial request with the frames it was given and INITIALLY_DATA_SENT, and sends its
// status every 100 ms, as a running partner does.
class FakePartner {
public:
    explicit FakePartner(uint16_t port) : listener_(platform::net::Listen(port)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~FakePartner() {
        stop_.store(true);
        listener_.Shutdown();
        {
            std::lock_guard<std::mutex> guard(lock_);
            link_.Shutdown();
        }
        thread_.join();
    }

    bool Listening() const { return listener_.IsOpen(); }
    void SetActive(bool active) { active_.store(active ? 1 : 0); }
    // Frames for the next initial request: before INITIALLY_DATA_SENT, and after it.
    void Answer(std::vector<std::string> before, std::vector<std::string> after = {}) {
        std::lock_guard<std::mutex> guard(lock_);
        before_ = std::move(before);
        after_ = std::move(after);
    }
    int Requests() const { return requests_.load(); }
    bool Send(const std::string& frame) {
        std::lock_guard<std::mutex> guard(lock_);
        return link_.IsOpen() && link_.SendAll(frame.data(), frame.size());
    }

private:
    void Run() {
        while (!stop_.load()) {
            platform::net::Socket accepted = platform::net::Accept(listener_);
            if (!accepted.IsOpen()) return;
            {
                std::lock_guard<std::mutex> guard(lock_);
                link_ = std::move(accepted);
            }
            Serve();
            std::lock_guard<std::mutex> guard(lock_);
            link_.Close();
        }
    }

    void Serve() {
        std::string buffer;
        auto lastStatus = std::chrono::steady_clock::now() - std::chrono::seconds(1);
        while (!stop_.load()) {
            if (std::chrono::steady_clock::now() - lastStatus >= std::chrono::milliseconds(100)) {
                Send(heraldon::net::EncodeFrame(REDUNDANT_PACKET_TYPE_SERVER_STATUS,
                                                Builder().Int32(kProtocolVersion).Int32(1).Int32(active_.load()).Int32(0).Int32(kPartnerId).Payload()));
                lastStatus = std::chrono::steady_clock::now();
            }
            char chunk[65536];
            long n = link_.ReceiveFor(chunk, sizeof chunk, 50);
            if (n == -2) continue;
            if (n <= 0) return;
            buffer.append(chunk, static_cast<size_t>(n));
            for (;;) {
                heraldon::net::Frame frame;
                auto status = heraldon::net::NextFrame(reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size(),
                                                       kMaxPayload, frame);
                if (status != heraldon::net::FrameStatus::Ok) break;
                uint32_t type = frame.type;
                buffer.erase(0, frame.totalSize);
                if (type != REDUNDANT_PACKET_TYPE_INITIALLY_DATA_REQUESTED) continue;
                std::vector<std::string> before, after;
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    before.swap(before_);
                    after.swap(after_);
                }
                for (const auto& f : before) Send(f);
                Send(heraldon::net::EncodeFrame(REDUNDANT_PACKET_TYPE_INITIALLY_DATA_SENT, ""));
                for (const auto& f : after) Send(f);
                requests_.fetch_add(1);
            }
        }
    }

    platform::net::Socket listener_;
    platform::net::Socket link_;  // assigned and closed under lock_ by the thread
    std::mutex lock_;
    std::vector<std::string> before_, after_;
    std::atomic<int> active_{1};
    std::atomic<int> requests_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A secondary server whose partner is the test. The partner is listening from the start
// unless told otherwise.
struct Secondary {
    explicit Secondary(bool partnerFromStart, bool partnerActive = true)
        : partnerPort(FreePort()), ownPort(FreePort()) {
        if (partnerFromStart) {
            partner = std::make_unique<FakePartner>(partnerPort);
            partner->SetActive(partnerActive);
        }
        server = std::make_unique<InProcessServer>(RedundancyIni(2, ownPort, partnerPort), kSources);
    }
    heraldon::Redundancy& Pair() { return server->Server().Pair(); }
    std::string Data(const std::string& name = "") const { return server->Data(name); }

    uint16_t partnerPort;
    uint16_t ownPort;
    std::unique_ptr<FakePartner> partner;
    std::unique_ptr<InProcessServer> server;
};

// A fake partner client on the server's redundancy port, with the status the server sends
// at once on every accepted connection read.
std::unique_ptr<FakePeer> PartnerClient(uint16_t port, Packet* status = nullptr) {
    std::unique_ptr<FakePeer> peer;
    Packet first;
    bool ok = InProcessServer::Eventually(
        [&] {
            peer = std::make_unique<FakePeer>(port, 1000);
            return peer->Connected() && peer->Receive(first, 1000);
        },
        8000);
    EXPECT_TRUE(ok) << "no status on port " << port;
    EXPECT_EQ(first.type, REDUNDANT_PACKET_TYPE_SERVER_STATUS);
    if (status != nullptr) *status = first;
    return peer;
}

// --- what a standby takes from its partner ----------------------------------------------------

TEST(RedundancyPackets, StandbyStartsFromThePartnersSoundCompleteFilesOnly) {
    // Plant comes whole and sound; System's header promises a record that is not there;
    // Line2's transfer never ends.
    std::string plant = AlarmFile(3, "P");
    std::string system = AlarmFile(2, "S");
    system.resize(system.size() - kRecord);
    std::string line2 = AlarmFile(1, "L");
    uint16_t partnerPort = FreePort(), ownPort = FreePort();
    FakePartner partner(partnerPort);
    std::vector<std::string> frames = FileFrames(REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN, "System", system);
    for (auto& f : FileFrames(REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN, "Plant", plant)) frames.push_back(f);
    for (auto& f : FileFrames(REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN, "Line2", line2, false)) frames.push_back(f);
    partner.Answer(frames);

    InProcessServer server(RedundancyIni(2, ownPort, partnerPort), kSources);
    ASSERT_TRUE(server.Started());
    EXPECT_FALSE(server.Server().IsActive());
    EXPECT_FALSE(server.Server().AlarmThreadsStarted());
    EXPECT_TRUE(SameBytes(ReadFile(server.Data("Plant/AlarmObjects.dat")), plant));
    EXPECT_FALSE(SameBytes(ReadFile(server.Data("System/AlarmObjects.dat")), system));
    EXPECT_FALSE(SameBytes(ReadFile(server.Data("Line2/AlarmObjects.dat")), line2));
    for (const char* source : {"System", "Line2"}) {
        EXPECT_FALSE(std::filesystem::exists(server.Data(std::string(source) + "/AlarmObjects.new"))) << source;
    }
    std::string log = server.LogText();
    EXPECT_EQ(Count(log, "Updated AlarmSource '"), 1u) << log;
    EXPECT_NE(log.find("Updated AlarmSource 'Plant' file '" + server.Data("Plant/AlarmObjects.dat") +
                       "', stored old using extension '"),
              std::string::npos)
        << log;
}

struct BadPacket {
    const char* what;
    bool serverSide;
    uint32_t type;
    std::string payload;
};

TEST(RedundancyPackets, MalformedPacketsAreRefusedAndWriteNothing) {
    Secondary standby(true);
    ASSERT_TRUE(standby.server->Started());
    ASSERT_FALSE(standby.server->Server().IsActive());
    const std::string plantFile = AlarmFile(2, "P");
    WriteFile(standby.Data("Plant/AlarmObjects.dat"), plantFile);
    const int32_t userFileEnd = static_cast<int32_t>(1024 + 32767 * 256);
    const std::string record(kRecord, 'x');

    const std::vector<BadPacket> table = {
        {"negative offset", false, REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE, Chunk("Plant", -kRecordLength, kRecordLength, record)},
        {"negative length", false, REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE, Chunk("Plant", 1024, -1, record)},
        {"length beyond the payload", false, REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE,
         Chunk("Plant", 1024, kRecord, record.substr(0, 100))},
        {"offset inside a record", false, REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE, Chunk("Plant", 1024 + 100, kRecord, record)},
        {"part of a record", false, REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE, Chunk("Plant", 1024, 100, record.substr(0, 100))},
        {"header longer than a header", false, REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE,
         Chunk("Plant", 0, 1025, std::string(1025, 'h'))},
        {"source name cut short", false, REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE, Builder().UInt16(10).Raw("Pla").Payload()},
        {"no offset and length", false, REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE, Builder().String("Plant").Payload()},
        {"file data at a negative offset", false, REDUNDANT_PACKET_TYPE_ALARMFILE_DATA, Chunk("Plant", -1, 4, "abcd")},
        {"file data beyond its payload", false, REDUNDANT_PACKET_TYPE_ALARMFILE_DATA, Chunk("Plant", 0, 5000, "abcd")},
        {"user names beyond the largest file", false, REDUNDANT_PACKET_TYPE_USERNAMES_DATA,
         Chunk("", userFileEnd - 8, 16, std::string(16, 'u'))},
        {"file begin with its name cut short", false, REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN, Builder().UInt16(5).Raw("P").Payload()},
        {"comment without its bytes", false, REDUNDANT_PACKET_TYPE_COMMENTFILE,
         Builder().String("Plant").String("P0").Int32(0).Payload()},
        {"comment shorter than its length", false, REDUNDANT_PACKET_TYPE_COMMENTFILE,
         Builder().String("Plant").String("P0").Int32(0).Int32(10).Raw("short").Payload()},
        {"comment without its record", false, REDUNDANT_PACKET_TYPE_COMMENTFILE, Builder().String("Plant").String("P0").Payload()},
        {"unknown type from the partner's server", false, 0x1234, ""},
        {"fragment sent to the server side", true, REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE, Chunk("Plant", 1024, kRecord, record)},
        {"unknown type from the partner's client", true, 0x4321, ""},
    };
    for (const BadPacket& row : table) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(row.payload.data());
        bool accepted = row.serverSide ? standby.Pair().HandleServerSidePacket(row.type, bytes, row.payload.size())
                                       : standby.Pair().HandleClientSidePacket(row.type, bytes, row.payload.size());
        EXPECT_FALSE(accepted) << row.what;
    }
    EXPECT_TRUE(SameBytes(ReadFile(standby.Data("Plant/AlarmObjects.dat")), plantFile));
    EXPECT_FALSE(std::filesystem::exists(standby.Data("Plant/AlarmObjects.new")));
    EXPECT_TRUE(platform::fs::ListFiles(standby.Data("Plant/Comment/")).empty());
    std::string log = standby.server->LogText();
    EXPECT_NE(log.find("Unexpected packet type (0x00001234) from redundant counterpart"), std::string::npos) << log;
}

TEST(RedundancyPackets, StandbyWritesAFragmentExactlyWhereItBelongs) {
    Secondary standby(true);
    ASSERT_TRUE(standby.server->Started());
    ASSERT_FALSE(standby.server->Server().IsActive());
    std::string file = AlarmFile(3, "P");
    WriteFile(standby.Data("Plant/AlarmObjects.dat"), file);

    std::string fresh = AlarmFile(2, "N").substr(1024 + kRecord, kRecord);
    std::string payload = Chunk("plant", static_cast<int32_t>(1024 + kRecord), kRecord, fresh);  // any case
    ASSERT_TRUE(standby.Pair().HandleClientSidePacket(REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE,
                                                      reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
    file.replace(1024 + kRecord, kRecord, fresh);
    EXPECT_TRUE(SameBytes(ReadFile(standby.Data("Plant/AlarmObjects.dat")), file));

    // A new header, shorter than the whole header block, replaces only its own bytes.
    std::string header = AlarmFile(4, "P").substr(0, 20);
    payload = Chunk("Plant", 0, 20, header);
    ASSERT_TRUE(standby.Pair().HandleClientSidePacket(REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE,
                                                      reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
    file.replace(0, 20, header);
    EXPECT_TRUE(SameBytes(ReadFile(standby.Data("Plant/AlarmObjects.dat")), file));
}

TEST(RedundancyPackets, NamesFromThePartnerNeverReachOutsideTheSourceFolders) {
    Secondary standby(true);
    ASSERT_TRUE(standby.server->Started());
    std::string root = standby.server->Data("../");
    auto handle = [&](uint32_t type, const std::string& payload) {
        return standby.Pair().HandleClientSidePacket(type, reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    };
    std::set<std::string> before = FilesBelow(root);
    for (const char* name : {"../x", "..", "/tmp/x", "Plant/../../x"}) {
        EXPECT_TRUE(handle(REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE, Chunk(name, 1024, kRecord, std::string(kRecord, 'z'))));
        EXPECT_TRUE(handle(REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN, Builder().String(name).Payload()));
        EXPECT_TRUE(handle(REDUNDANT_PACKET_TYPE_ALARMFILE_DATA, Chunk(name, 0, 4, "data")));
        EXPECT_TRUE(handle(REDUNDANT_PACKET_TYPE_ALARMFILE_END, Builder().String(name).Payload()));
        EXPECT_TRUE(handle(REDUNDANT_PACKET_TYPE_COMMENTFILE,
                           Builder().String(name).String("T").Int32(0).Bytes32("comment").Payload()));
    }
    std::set<std::string> after = FilesBelow(root);
    for (const auto& file : after) {
        EXPECT_TRUE(before.count(file) != 0 || file.rfind("data/LogFiles/", 0) == 0) << "created " << file;
    }
    EXPECT_NE(standby.server->LogText().find("Failed to find AlarmSource '../x' when receiving redundant alarm file"),
              std::string::npos);

    // A tag is only ever a file name inside the source's comment folder, the same name the
    // partner gave it: the tag as clients see it, prefix included.
    std::string comment = Builder().String("Plant").String("../../evil").Int32(3).Bytes32("first").Payload();
    EXPECT_TRUE(handle(REDUNDANT_PACKET_TYPE_COMMENTFILE, comment));
    comment = Builder().String("Plant").String("../../evil").Int32(3).Bytes32("second").Payload();
    EXPECT_TRUE(handle(REDUNDANT_PACKET_TYPE_COMMENTFILE, comment));
    EXPECT_EQ(platform::fs::ListFiles(standby.Data("Plant/Comment/")), std::vector<std::string>{"PL_______evil.txt"});
    EXPECT_EQ(ReadFile(standby.Data("Plant/Comment/PL_______evil.txt")), "second");
}

// --- a standby that was active -------------------------------------------------------------

// Reaches the standby role through a partner that turns up and reports itself active while
// this server runs as the active one.
struct ActiveThenStandby {
    ActiveThenStandby() : secondary(false) {}

    // Passes until the role changed and the alarm threads stopped.
    bool GoStandby() {
        return InProcessServer::Eventually([&] {
            secondary.server->Advance(100);
            return !secondary.server->Server().IsActive() && !secondary.server->Server().AlarmThreadsStarted();
        });
    }
    // Passes until the log shows what.
    bool PassesUntil(const std::string& what, size_t times = 1) {
        return InProcessServer::Eventually([&] {
            secondary.server->Advance(100);
            return Count(secondary.server->LogText(), what) >= times;
        });
    }

    Secondary secondary;
};

TEST(RedundancyPackets, ServerTurnedStandbyInstallsTheActivePartnersFiles) {
    ActiveThenStandby test;
    Secondary& s = test.secondary;
    ASSERT_TRUE(s.server->Started());
    ASSERT_TRUE(s.server->Server().IsActive());
    ASSERT_TRUE(s.server->Server().AlarmThreadsStarted());
    // A copy left from an earlier round would pass every check; it must not be taken.
    WriteFile(s.Data("Line2/AlarmObjects.new"), AlarmFile(2, "OLD"));

    std::string plant = AlarmFile(2, "FROMPARTNER");
    s.partner = std::make_unique<FakePartner>(s.partnerPort);
    s.partner->Answer(FileFrames(REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN, "Plant", plant));
    ASSERT_TRUE(test.GoStandby());
    ASSERT_TRUE(test.PassesUntil("Updated AlarmSource 'Plant'")) << s.server->LogText();
    EXPECT_EQ(s.partner->Requests(), 1);
    EXPECT_TRUE(SameBytes(ReadFile(s.Data("Plant/AlarmObjects.dat")), plant));
    EXPECT_EQ(std::filesystem::file_size(s.Data("Line2/AlarmObjects.dat")), 1024u);
    EXPECT_FALSE(std::filesystem::exists(s.Data("Line2/AlarmObjects.new")));
    EXPECT_EQ(s.server->LogText().find("Updated AlarmSource 'Line2'"), std::string::npos);
}

TEST(RedundancyPackets, ServerTurnedStandbyByThePartnersStatusInstallsItsFilesToo) {
    ActiveThenStandby test;
    Secondary& s = test.secondary;
    ASSERT_TRUE(s.server->Started());
    // Packets are handled in order: an end without a begin, logged, marks the point where
    // the partner's answer has been taken in.
    const std::string strange = "Some strange error occured retrieving file";
    const std::string marker =
        heraldon::net::EncodeFrame(REDUNDANT_PACKET_TYPE_ALARMFILE_END, Builder().String("Plant").Payload());
    s.partner = std::make_unique<FakePartner>(s.partnerPort);
    s.partner->Answer({}, {marker});
    ASSERT_TRUE(test.GoStandby());
    ASSERT_TRUE(InProcessServer::Eventually([&] { return Count(s.server->LogText(), strange) == 1; }));

    // The partner stops being active: the server takes over again, with the link up.
    s.partner->SetActive(false);
    ASSERT_TRUE(InProcessServer::Eventually([&] {
        s.server->Advance(100);
        return s.server->Server().AlarmThreadsStarted();
    }));

    // The partner is active again; the status alone turns this server standby, and the
    // files arrive before the main loop has run again.
    std::string plant = AlarmFile(2, "SECONDROUND");
    s.partner->Answer(FileFrames(REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN, "Plant", plant), {marker});
    s.partner->SetActive(true);
    ASSERT_TRUE(InProcessServer::Eventually([&] { return Count(s.server->LogText(), strange) == 2; }));
    ASSERT_FALSE(s.server->Server().IsActive());
    // The main loop's next pass: its keep-alive tick, then the alarm threads stop.
    s.Pair().Tick(1000);
    EXPECT_TRUE(test.PassesUntil("Updated AlarmSource 'Plant'")) << s.server->LogText();
    EXPECT_TRUE(SameBytes(ReadFile(s.Data("Plant/AlarmObjects.dat")), plant));
}

// --- what an active server sends its partner -----------------------------------------------

// A secondary whose partner is nowhere: it runs active.
struct Active {
    Active() : secondary(false) {}
    Secondary secondary;
};

struct Transfer {
    std::vector<uint32_t> types;
    std::vector<int32_t> offsets;
    std::vector<int32_t> lengths;
    std::string bytes;
};

// Reads a whole-file transfer of the source up to its end packet; fragment packets before
// it are kept apart.
Transfer ReceiveTransfer(FakePeer& peer, const std::string& source, std::vector<Packet>* fragments = nullptr) {
    Transfer t;
    Packet p;
    while (peer.Receive(p)) {
        if (p.type == REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE && fragments != nullptr) fragments->push_back(p);
        if (p.type < REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN || p.type > REDUNDANT_PACKET_TYPE_ALARMFILE_END) continue;
        ClientPayloadReader r(reinterpret_cast<const uint8_t*>(p.payload.data()), p.payload.size());
        std::string name;
        r.String(name);
        if (name != source) continue;
        t.types.push_back(p.type);
        if (p.type == REDUNDANT_PACKET_TYPE_ALARMFILE_DATA) {
            int32_t offset = 0, length = 0;
            r.Int32(offset);
            r.Int32(length);
            t.offsets.push_back(offset);
            t.lengths.push_back(length);
            t.bytes += p.payload.substr(p.payload.size() - r.Remaining());
        }
        if (p.type == REDUNDANT_PACKET_TYPE_ALARMFILE_END) break;
    }
    return t;
}

TEST(RedundancyPackets, ActiveServerSendsItsSavedFilesInFixedChunks) {
    Active a;
    InProcessServer& server = *a.secondary.server;
    ASSERT_TRUE(server.Started());
    ASSERT_TRUE(server.Server().IsActive());
    // Bigger than two chunks, smaller than three: 1024 + 100 * 2808 = 281824 bytes.
    server.Server().StopAlarmThreads();
    WriteFile(server.Data("Plant/AlarmObjects.dat"), AlarmFile(100, "T"));
    server.Server().StartAlarmThreads();
    {
        // A change still only in memory: the copy must carry it.
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        heraldon::AlarmObject* o = server.Source(1).inUse.FindByTag("T42");
        ASSERT_NE(o, nullptr);
        heraldon::SetText(o->SmallComment, "changed in memory");
        o->MarkChanged();
    }

    Packet status;
    auto peer = PartnerClient(a.secondary.ownPort, &status);
    ClientPayloadReader r(reinterpret_cast<const uint8_t*>(status.payload.data()), status.payload.size());
    int32_t version = 0, type = 0, active = 0, reserved = -1, id = 0;
    r.Int32(version);
    r.Int32(type);
    r.Int32(active);
    r.Int32(reserved);
    r.Int32(id);
    EXPECT_TRUE(r.Ok() && r.Remaining() == 0);
    EXPECT_EQ(version, kProtocolVersion);
    EXPECT_EQ(type, 2);
    EXPECT_EQ(active, 1);
    EXPECT_EQ(reserved, 0);
    EXPECT_EQ(static_cast<uint32_t>(id), server.Server().InstanceId());

    ASSERT_TRUE(peer->Send(REDUNDANT_PACKET_TYPE_GETALLALARMFILES, ""));
    std::vector<Packet> fragments;
    Transfer t = ReceiveTransfer(*peer, "Plant", &fragments);
    EXPECT_EQ(t.types, (std::vector<uint32_t>{REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN, REDUNDANT_PACKET_TYPE_ALARMFILE_DATA,
                                              REDUNDANT_PACKET_TYPE_ALARMFILE_DATA, REDUNDANT_PACKET_TYPE_ALARMFILE_DATA,
                                              REDUNDANT_PACKET_TYPE_ALARMFILE_END}));
    EXPECT_EQ(t.offsets, (std::vector<int32_t>{0, 130552, 261104}));
    EXPECT_EQ(t.lengths, (std::vector<int32_t>{130552, 130552, 281824 - 261104}));
    std::string onDisk = ReadFile(server.Data("Plant/AlarmObjects.dat"));
    EXPECT_TRUE(SameBytes(t.bytes, onDisk));
    heraldon::AlarmObject sent;
    ASSERT_GE(t.bytes.size(), 1024 + 43 * kRecord);
    sent.DecodeFrom(*reinterpret_cast<const uint8_t(*)[kRecord]>(t.bytes.data() + 1024 + 42 * kRecord));
    EXPECT_EQ(heraldon::TextOf(sent.SmallComment), "changed in memory");
    // The save went out as a fragment as well, ahead of the whole file.
    EXPECT_FALSE(fragments.empty());

    ASSERT_TRUE(peer->Send(REDUNDANT_PACKET_TYPE_INITIALLY_DATA_REQUESTED, ""));
    Packet done;
    EXPECT_TRUE(peer->ReceiveType(REDUNDANT_PACKET_TYPE_INITIALLY_DATA_SENT, done));
}

TEST(RedundancyPackets, StandbySavesNothingWhenAskedForItsFiles) {
    Secondary standby(true);
    ASSERT_TRUE(standby.server->Started());
    ASSERT_FALSE(standby.server->Server().IsActive());
    std::string file = AlarmFile(3, "P");
    WriteFile(standby.Data("Plant/AlarmObjects.dat"), file);
    std::string fresh(kRecord, '\0');
    std::string payload = Chunk("Plant", static_cast<int32_t>(1024 + 2 * kRecord), kRecord, file.substr(1024 + 2 * kRecord));
    ASSERT_TRUE(standby.Pair().HandleClientSidePacket(REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE,
                                                      reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
    EXPECT_TRUE(standby.Pair().HandleServerSidePacket(REDUNDANT_PACKET_TYPE_GETALLALARMFILES, nullptr, 0));
    EXPECT_TRUE(SameBytes(ReadFile(standby.Data("Plant/AlarmObjects.dat")), file));
}

// --- the link itself ------------------------------------------------------------------------

struct LinkFault {
    const char* what;
    std::string bytes;
    const char* logged;
};

TEST(RedundancyPackets, FramingErrorsAndSilenceCloseTheLink) {
    Active a;
    InProcessServer& server = *a.secondary.server;
    ASSERT_TRUE(server.Started());
    std::string tooLong;
    heraldon::net::AppendU32(tooLong, 0x1FFF8);
    heraldon::net::AppendU32(tooLong, REDUNDANT_PACKET_TYPE_KEEPALIVE);
    const std::vector<LinkFault> table = {
        {"payload of 0x1FFF8 bytes", tooLong, "Packet size error receiving from 127.0.0.1:"},
        {"unknown packet type", heraldon::net::EncodeFrame(0x7777, "x"), "Packet type error receiving from 127.0.0.1:"},
    };
    for (const LinkFault& row : table) {
        auto peer = PartnerClient(a.secondary.ownPort);
        ASSERT_TRUE(peer->SendRaw(row.bytes)) << row.what;
        EXPECT_TRUE(peer->ClosedByServer()) << row.what;
        EXPECT_TRUE(InProcessServer::Eventually([&] { return server.LogText().find(row.logged) != std::string::npos; }))
            << row.what;
    }

    // Keep-alives keep the link; silence ends it. No supervisory pass runs here, so the
    // server sends nothing after its first status.
    auto peer = PartnerClient(a.secondary.ownPort);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(peer->Send(REDUNDANT_PACKET_TYPE_KEEPALIVE, ""));
        platform::clock::SleepMs(200);
    }
    EXPECT_FALSE(peer->ClosedByServer(1500));
    EXPECT_TRUE(peer->ClosedByServer(5000));
    EXPECT_TRUE(InProcessServer::Eventually([&] {
        return server.LogText().find(" has been silent for 3000 ms, closing the link") != std::string::npos;
    }));
}

TEST(RedundancyPackets, OnlyThePartnersAddressIsAccepted) {
    Active a;
    InProcessServer& server = *a.secondary.server;
    ASSERT_TRUE(server.Started());
    PartnerClient(a.secondary.ownPort);  // listening

    // Another loopback address is another host as far as the server can tell.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    platform::net::Socket stranger(fd);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000002);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(a.secondary.ownPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    char byte;
    EXPECT_LE(stranger.ReceiveFor(&byte, 1, 5000), 0) << "a stranger was sent something";
    EXPECT_TRUE(InProcessServer::Eventually([&] {
        std::string log = server.LogText();
        return log.find("Redundant connection from 127.0.0.2:") != std::string::npos &&
               log.find("refused, it is not our redundant counterpart") != std::string::npos;
    }));
    EXPECT_EQ(server.LogText().find("Redundant client connected (127.0.0.2"), std::string::npos);

    // The partner itself still gets in afterwards.
    Packet status;
    PartnerClient(a.secondary.ownPort, &status);
    EXPECT_EQ(status.type, REDUNDANT_PACKET_TYPE_SERVER_STATUS);
}

TEST(RedundancyPackets, BusyRedundancyPortIsRetriedAtTheReconnectInterval) {
    uint16_t ownPort = FreePort(), partnerPort = FreePort();
    auto holder = std::make_unique<platform::net::Socket>(platform::net::Listen(ownPort));
    ASSERT_TRUE(holder->IsOpen());
    InProcessServer server(RedundancyIni(2, ownPort, partnerPort), kSources);
    ASSERT_TRUE(server.Started());
    const std::string failed = "Couldn't bind redundancy server socket (err ";
    ASSERT_TRUE(InProcessServer::Eventually([&] { return Count(server.LogText(), failed) >= 2; }));
    platform::clock::SleepMs(1000);
    // About one attempt a second (ReconnectInterval 1000), never a busy loop.
    EXPECT_LE(Count(server.LogText(), failed), 6u);

    holder.reset();
    Packet status;
    PartnerClient(ownPort, &status);
    EXPECT_EQ(status.type, REDUNDANT_PACKET_TYPE_SERVER_STATUS);
}

}  // namespace
