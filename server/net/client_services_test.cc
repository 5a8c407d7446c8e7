// Files, comments, common filters, small comments and subscriptions, as clients use them
// through real sockets against a server running in this process.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server/net/client_connection.h"
#include "server/net/client_protocol.h"
#include "server/net/source_protocol.h"
#include "tests/support/fake_peer.h"
#include "tests/support/server_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace heraldon::net;
using testing_support::FakePeer;
using testing_support::Fields;
using testing_support::InProcessServer;
using testing_support::Packet;
using testing_support::ReadFile;
using testing_support::SplitFields;
using testing_support::WriteFile;
using Builder = ClientPacketBuilder;

constexpr int32_t kNoSuchSourceHandle = 0x7F000000;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::unique_ptr<FakePeer> Client(InProcessServer& server) {
    auto peer = std::make_unique<FakePeer>(server.ClientPort());
    EXPECT_TRUE(peer->Connected());
    Packet p;
    EXPECT_TRUE(peer->ReceiveType(PACKET_TYPE_SERVER_INFO, p));
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

std::unique_ptr<FakePeer> Source(InProcessServer& server, const std::string& name) {
    auto peer = std::make_unique<FakePeer>(server.SourcePort());
    EXPECT_TRUE(peer->Connected());
    EXPECT_TRUE(peer->Send(SOURCE_PACKET_TYPE_IDENTIFY, Fields({"12290", "12291", name})));
    Packet welcome;
    EXPECT_TRUE(peer->ReceiveType(SOURCE_PACKET_TYPE_WELCOME, welcome));
    return peer;
}

bool HasState(InProcessServer& server, const std::string& tag, int32_t state) {
    return InProcessServer::Eventually([&] {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        auto* o = server.Source(1).inUse.FindByTag(tag);
        return o != nullptr && o->State == state;
    });
}

// Objects on Plant in the given state, reported by its source.
void Report(InProcessServer& server, FakePeer& plant, const std::vector<std::string>& tags,
            const std::string& state = "0") {
    for (const std::string& tag : tags) {
        EXPECT_TRUE(plant.Send(SOURCE_PACKET_TYPE_EVENT, Fields({state == "0" ? "0" : "1", "0", tag, state})));
    }
    for (const std::string& tag : tags) EXPECT_TRUE(HasState(server, tag, std::stoi(state)));
}

std::unique_ptr<FakePeer> PlantWith(InProcessServer& server, const std::vector<std::string>& tags,
                                    const std::string& state = "0") {
    auto plant = Source(server, "Plant");
    Report(server, *plant, tags, state);
    return plant;
}

int32_t HandleOf(InProcessServer& server, const std::string& tag) {
    std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
    auto* o = server.Source(1).inUse.FindByTag(tag);
    EXPECT_NE(o, nullptr) << tag;
    return o == nullptr ? -1 : static_cast<int32_t>(server.Source(1).handleBase | o->FileRecord);
}

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
class ClientFiles : public SharedServer<kDefaults> {};
class ClientComments : public SharedServer<kDefaults> {};
class ClientCommonFilters : public SharedServer<kDefaults> {
protected:
    // Each test starts without common filters.
    void SetUp() override { fs::remove(Shared().Server().CommonFilterPath()); }
};

// === Files =============================================================================

struct Fetched {
    int32_t size = -2;
    std::string path;
    std::vector<std::pair<int32_t, uint16_t>> chunks;
    std::string bytes;
};

Fetched Fetch(FakePeer& peer, const std::string& name) {
    EXPECT_TRUE(peer.Send(PACKET_TYPE_GET_FILE, Builder().String(name).Payload()));
    Fetched f;
    Packet p;
    EXPECT_TRUE(peer.Receive(p));
    EXPECT_EQ(p.type, PACKET_TYPE_FILE_BEGIN);
    ClientPayloadReader begin(Bytes(p.payload), p.payload.size());
    begin.Int32(f.size);
    begin.String(f.path);
    EXPECT_TRUE(begin.Ok());
    while (peer.Receive(p)) {
        if (p.type == PACKET_TYPE_FILE_END) return f;
        EXPECT_EQ(p.type, PACKET_TYPE_FILE_DATA);
        ClientPayloadReader r(Bytes(p.payload), p.payload.size());
        int32_t offset = -1;
        uint16_t length = 0;
        r.Int32(offset);
        r.UInt16(length);
        EXPECT_TRUE(r.Ok());
        EXPECT_EQ(r.Remaining(), length);
        f.chunks.emplace_back(offset, length);
        f.bytes += p.payload.substr(6);
    }
    ADD_FAILURE() << "no end of " << name;
    return f;
}

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 251) % 256);
    return s;
}

TEST_F(ClientFiles, ChunksCoverTheFileExactlyOnceInOrder) {
    InProcessServer& server = Shared();
    ASSERT_TRUE(server.Started());
    auto peer = Client(server);
    using Chunks = std::vector<std::pair<int32_t, uint16_t>>;
    struct Case {
        size_t size;
        Chunks expected;
    };
    const Case cases[] = {
        {40000, {{0, 32767}, {32767, 7233}}},
        {32767, {{0, 32767}}},
        {32768, {{0, 32767}, {32767, 1}}},
        {65534, {{0, 32767}, {32767, 32767}}},
        {1, {{0, 1}}},
        {0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string name = "file" + std::to_string(c.size) + ".bin";
        const std::string contents = Pattern(c.size);
        WriteFile(server.Data(name), contents);
        Fetched f = Fetch(*peer, name);
        EXPECT_EQ(f.size, static_cast<int32_t>(c.size));
        EXPECT_EQ(f.path, fs::canonical(server.Data(name)).string());
        EXPECT_EQ(f.chunks, c.expected);
        EXPECT_TRUE(f.bytes == contents);
    }
}

TEST_F(ClientFiles, NamesThatLeaveTheDataFolderOrNameNoFileAreNotFound) {
    InProcessServer& server = Shared();
    auto peer = Client(server);
    const std::string program = fs::path(server.Data()).parent_path().parent_path().string() + "/";
    ASSERT_TRUE(fs::exists(program + "Heraldon.ini"));
    fs::create_symlink(program + "Heraldon.ini", server.Data("outside.ini"));
    fs::create_directory_symlink(program, server.Data("outside"));
    WriteFile(program + "secret.txt", "secret");

    const std::string names[] = {
        "missing.ini",
        "../Heraldon.ini",
        "..\\Heraldon.ini",
        "/etc/passwd",
        "\\etc\\passwd",
        "LogFiles/../../Heraldon.ini",
        "LogFiles\\..\\..\\secret.txt",
        "outside.ini",
        "outside/secret.txt",
        "LogFiles",
        ".",
        "..",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        Fetched f = Fetch(*peer, name);
        EXPECT_EQ(f.size, -1);
        EXPECT_TRUE(f.chunks.empty());
        EXPECT_EQ(Count(server.LogText(), "File '" + server.Server().DataPath() + name +
                                              "' was not found, it was requested by client '127.0.0.1:"),
                  1u);
    }
    // An empty name names nothing; there is nothing to log either.
    const std::string log = server.LogText();
    Fetched empty = Fetch(*peer, "");
    EXPECT_EQ(empty.size, -1);
    EXPECT_EQ(empty.path, "");
    EXPECT_TRUE(empty.chunks.empty());
    EXPECT_EQ(server.LogText(), log);
}

TEST_F(ClientFiles, FilesInSubfoldersAndLinksThatStayInsideAreServed) {
    InProcessServer& server = Shared();
    auto peer = Client(server);
    std::string today;
    for (const auto& entry : fs::directory_iterator(server.Data("LogFiles"))) today = entry.path().filename();
    ASSERT_FALSE(today.empty());
    WriteFile(server.Data("real.ini"), "[General]\nA=1\n");
    fs::create_symlink(server.Data("real.ini"), server.Data("alias.ini"));

    for (const std::string& name : {"LogFiles/" + today, "LogFiles\\" + today}) {
        SCOPED_TRACE(name);
        Fetched f = Fetch(*peer, name);
        ASSERT_GT(f.size, 0);
        EXPECT_EQ(f.bytes.size(), static_cast<size_t>(f.size));
        // The log grows while we read; what was sent is its beginning.
        EXPECT_EQ(ReadFile(server.Data("LogFiles/" + today)).substr(0, f.bytes.size()), f.bytes);
    }
    Fetched alias = Fetch(*peer, "alias.ini");
    EXPECT_EQ(alias.bytes, "[General]\nA=1\n");
}

// === Comments ==========================================================================

struct Comment {
    int32_t handle = 0;
    std::string tag, path, text;
    size_t payloadSize = 0;
};

Comment AskComment(FakePeer& peer, int32_t handle, const std::string& tag) {
    EXPECT_TRUE(peer.Send(PACKET_TYPE_GET_COMMENT, Builder().Int32(handle).String(tag).Payload()));
    Packet p;
    Comment c;
    EXPECT_TRUE(peer.ReceiveType(PACKET_TYPE_COMMENT, p));
    ClientPayloadReader r(Bytes(p.payload), p.payload.size());
    r.Int32(c.handle);
    r.String(c.tag);
    r.String(c.path);
    r.Bytes32(c.text);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.Remaining(), 0u);
    c.payloadSize = p.payload.size();
    return c;
}

TEST_F(ClientComments, TheCommentFileIsNamedAfterTheSanitisedTagInTheSourcesFolder) {
    InProcessServer& server = Shared();
    auto peer = Client(server);
    const std::string folder = server.Source(1).CommentFolder();
    struct Case {
        std::string tag;
        std::string file;
    };
    const Case cases[] = {
        {"A.B/C#1 x", "A_B_C_1 x.txt"},
        {"../../etc/passwd", "______etc_passwd.txt"},
        {"{[]}\\|'/.#%*$:+?@^~", std::string(19, '_') + ".txt"},
        {"\x01Tab\t\xC4" "end", "_Tab__end.txt"},
        {"P1.PUMP-3 (A)", "P1_PUMP-3 (A).txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        WriteFile(folder + c.file, "text of " + c.file);
        Comment got = AskComment(*peer, 1 << 24, c.tag);
        EXPECT_EQ(got.handle, 1 << 24);
        EXPECT_EQ(got.tag, c.tag);
        EXPECT_EQ(got.path, folder + c.file);
        EXPECT_EQ(got.text, "text of " + c.file);
    }

    // No file yet: the path to save to and an empty text.
    Comment none = AskComment(*peer, (1 << 24) | 5, "NEW");
    EXPECT_EQ(none.path, folder + "NEW.txt");
    EXPECT_EQ(none.text, "");
    // A source that does not exist: nowhere to save.
    Comment nowhere = AskComment(*peer, 5 << 24, "NEW");
    EXPECT_EQ(nowhere.handle, 5 << 24);
    EXPECT_EQ(nowhere.path, "");
    EXPECT_EQ(nowhere.text, "");

    // A comment too long for one packet is cut to fill it exactly.
    const std::string huge = Pattern(200000);
    WriteFile(folder + "HUGE.txt", huge);
    Comment cut = AskComment(*peer, 1 << 24, "HUGE");
    EXPECT_EQ(cut.payloadSize, 0x1FFF0u);
    EXPECT_TRUE(huge.compare(0, cut.text.size(), cut.text) == 0);
    EXPECT_EQ(Count(server.LogText(), "File '" + folder +
                                          "HUGE.txt' was to big it has been truncated, it was requested by client '127.0.0.1:"),
              1u);
}

// Records what the server hands to the redundant partner, for the life of one test.
class CommentHookProbe {
public:
    CommentHookProbe() {
        heraldon::TheClientHooks().commentSaved = [this](heraldon::AlarmSource& source,
                                                         heraldon::AlarmObject& object,
                                                         const std::string& path) {
            calls.push_back(source.name + "|" + object.Tag + "|" + path);
        };
    }
    ~CommentHookProbe() { heraldon::TheClientHooks().commentSaved = nullptr; }
    std::vector<std::string> calls;  // read after Sync(): written on the connection's thread
};

TEST_F(ClientComments, ASavedCommentGoesOnlyToTheFileTheServerNamesAndIsReadBack) {
    InProcessServer& server = Shared();
    auto plant = PlantWith(server, {"P101"}, "1");
    const int32_t handle = HandleOf(server, "P101");
    auto peer = Client(server);
    CommentHookProbe probe;
    const std::string computed = server.Source(1).CommentFolder() + "P101.txt";

    const std::string outsideFile = "/tmp/klaxora-forged-" + std::to_string(::getpid()) + ".txt";
    const std::string forgedPaths[] = {outsideFile, server.Data("../forged.txt"), "../../forged-x",
                                       server.Data("Plant/AlarmObjects.dat")};
    const bool relativeExisted = fs::exists("../../forged-x");
    std::string text = std::string("first line\r\nsecond\0line\r\n", 25);
    for (const std::string& forged : forgedPaths) {
        SCOPED_TRACE(forged);
        text += forged;
        ASSERT_TRUE(peer->Send(PACKET_TYPE_SET_COMMENT,
                               Builder().Int32(handle).String("P101").String(forged).Bytes32(text).Payload()));
        Sync(*peer);
        EXPECT_EQ(ReadFile(computed), text);
        EXPECT_EQ(AskComment(*peer, handle, "P101").text, text);
    }
    EXPECT_FALSE(fs::exists(outsideFile));
    EXPECT_FALSE(fs::exists(server.Data("../forged.txt")));
    EXPECT_EQ(fs::exists("../../forged-x"), relativeExisted);
    EXPECT_EQ(Count(server.LogText(), "File '" + computed + "' was created and written"), 4u);
    ASSERT_EQ(probe.calls.size(), 4u);
    EXPECT_EQ(probe.calls[0], "Plant|P101|" + computed);
    EXPECT_EQ(ReadFile(server.Data("Plant/AlarmObjects.dat")).find("first line"), std::string::npos);

    // A record that is not in use still gets its file, but nothing goes to the partner.
    ASSERT_TRUE(peer->Send(PACKET_TYPE_SET_COMMENT,
                           Builder().Int32((1 << 24) | 40).String("GONE").String("").Bytes32("x").Payload()));
    Sync(*peer);
    EXPECT_EQ(ReadFile(server.Source(1).CommentFolder() + "GONE.txt"), "x");
    EXPECT_EQ(probe.calls.size(), 4u);

    // A source that does not exist has no folder to write into.
    ASSERT_TRUE(peer->Send(PACKET_TYPE_SET_COMMENT,
                           Builder().Int32(5 << 24).String("P101").String(outsideFile).Bytes32("x").Payload()));
    Sync(*peer);
    EXPECT_EQ(Count(server.LogText(), "' could not be created and written"), 1u);
    EXPECT_FALSE(fs::exists(outsideFile));
    EXPECT_EQ(probe.calls.size(), 4u);
}

// === Common filters ====================================================================

using FilterList = std::vector<std::pair<std::string, std::string>>;

// The common filter list among what a client was sent; false unless it came exactly once,
// whole and alone.
bool OneFilterList(const std::vector<Packet>& got, FilterList& list) {
    list.clear();
    if (got.size() < 2 || got.front().type != PACKET_TYPE_COMMONFILTER_BEGIN ||
        got.back().type != PACKET_TYPE_COMMONFILTER_END) {
        return false;
    }
    for (size_t i = 1; i + 1 < got.size(); ++i) {
        if (got[i].type != PACKET_TYPE_COMMONFILTER) return false;
        ClientPayloadReader r(Bytes(got[i].payload), got[i].payload.size());
        std::string key, value;
        r.String(key);
        r.String(value);
        if (!r.Ok() || r.Remaining() != 0) return false;
        list.emplace_back(key, value);
    }
    return true;
}

TEST_F(ClientCommonFilters, EverySaveOrDeleteSendsTheWholeListToEveryClient) {
    InProcessServer& server = Shared();
    std::vector<std::unique_ptr<FakePeer>> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(Client(server));

    struct Step {
        int sender;
        uint32_t type;
        std::string key, value;
        FilterList expected;
    };
    const Step steps[] = {
        {0, PACKET_TYPE_SET_COMMONFILTER, "Pumps", "PU,P1.PU", {{"Pumps", "PU,P1.PU"}}},
        {2, PACKET_TYPE_SET_COMMONFILTER, "Night shift", "A=1;B", {{"Pumps", "PU,P1.PU"}, {"Night shift", "A=1;B"}}},
        {1, PACKET_TYPE_SET_COMMONFILTER, "pumps", "V", {{"Pumps", "V"}, {"Night shift", "A=1;B"}}},
        {1, PACKET_TYPE_DELETE_COMMONFILTER, "Pumps", "", {{"Night shift", "A=1;B"}}},
        {0, PACKET_TYPE_DELETE_COMMONFILTER, "Not there", "", {{"Night shift", "A=1;B"}}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.key);
        ASSERT_TRUE(clients[s.sender]->Send(s.type, Builder().String(s.key).String(s.value).Payload()));
        // The sender's packet is handled before its Sync, and the list is queued for every
        // client before that answer.
        std::vector<std::vector<Packet>> got(clients.size());
        got[s.sender] = Sync(*clients[s.sender]);
        for (size_t i = 0; i < clients.size(); ++i) {
            if (static_cast<int>(i) != s.sender) got[i] = Sync(*clients[i]);
        }
        for (size_t i = 0; i < clients.size(); ++i) {
            FilterList list;
            ASSERT_TRUE(OneFilterList(got[i], list)) << "client " << i;
            EXPECT_EQ(list, s.expected) << "client " << i;
        }
    }
    // Only the asking client gets the list it asks for.
    ASSERT_TRUE(clients[1]->Send(PACKET_TYPE_GET_COMMONFILTERS, ""));
    FilterList list;
    ASSERT_TRUE(OneFilterList(Sync(*clients[1]), list));
    EXPECT_EQ(list, (FilterList{{"Night shift", "A=1;B"}}));
    EXPECT_TRUE(Sync(*clients[0]).empty());
    EXPECT_NE(ReadFile(server.Server().CommonFilterPath()).find("[General]"), std::string::npos);
}

TEST_F(ClientCommonFilters, EachClientSeesEveryListWhole) {
    InProcessServer& server = Shared();
    auto a = Client(server);
    auto b = Client(server);
    ASSERT_TRUE(a->Send(PACKET_TYPE_SET_COMMONFILTER, Builder().String("One").String("1").Payload()));
    ASSERT_TRUE(a->Send(PACKET_TYPE_SET_COMMONFILTER, Builder().String("Two").String("2").Payload()));
    Sync(*a);
    FilterList first, second;
    std::vector<Packet> got = Sync(*b);
    ASSERT_EQ(got.size(), 3u + 4u);
    ASSERT_TRUE(OneFilterList({got.begin(), got.begin() + 3}, first));
    ASSERT_TRUE(OneFilterList({got.begin() + 3, got.end()}, second));
    EXPECT_EQ(first, (FilterList{{"One", "1"}}));
    EXPECT_EQ(second, (FilterList{{"One", "1"}, {"Two", "2"}}));
}

TEST_F(ClientCommonFilters, AMissingFileGivesAnEmptyList) {
    InProcessServer& server = Shared();
    auto peer = Client(server);
    ASSERT_FALSE(fs::exists(server.Server().CommonFilterPath()));
    ASSERT_TRUE(peer->Send(PACKET_TYPE_GET_COMMONFILTERS, ""));
    FilterList list;
    ASSERT_TRUE(OneFilterList(Sync(*peer), list));
    EXPECT_TRUE(list.empty());
}

constexpr const char* kRefused = "was refused, its name or value can not be stored";

void CheckRefusedFilters(InProcessServer& server,
                         const std::vector<std::pair<std::string, std::string>>& refused) {
    auto peer = Client(server);
    ASSERT_TRUE(peer->Send(PACKET_TYPE_SET_COMMONFILTER, Builder().String("Kept").String("K").Payload()));
    Sync(*peer);
    const std::string path = server.Server().CommonFilterPath();
    const std::string file = ReadFile(path);
    ASSERT_FALSE(file.empty());
    for (const auto& [key, value] : refused) {
        for (uint32_t type : {PACKET_TYPE_SET_COMMONFILTER, PACKET_TYPE_DELETE_COMMONFILTER}) {
            // A value only matters when it is stored.
            if (type == PACKET_TYPE_DELETE_COMMONFILTER && key == "Kept") continue;
            SCOPED_TRACE(testing::Message() << std::hex << type << " '" << key << "' '" << value << "'");
            const size_t before = Count(server.LogText(), kRefused);
            ASSERT_TRUE(peer->Send(type, Builder().String(key).String(value).Payload()));
            EXPECT_TRUE(Sync(*peer).empty()) << "no list goes out";
            EXPECT_EQ(Count(server.LogText(), kRefused), before + 1);
            EXPECT_EQ(ReadFile(path), file);
        }
    }
}

TEST_F(ClientCommonFilters, NamesAndValuesThatWouldBreakTheFileAreRefused) {
    CheckRefusedFilters(Shared(), {
        {"", "v"},
        {"a=b", "v"},
        {"a\rb", "v"},
        {"a\nb", "v"},
        {std::string("a\0b", 3), "v"},
        {"[General]", "v"},
        {"[x", "v"},
        {";x", "v"},
        {"Kept", "x\ny"},
        {"Kept", "x\r"},
        {"Kept", std::string("x\0y", 3)},
    });
}

TEST_F(ClientCommonFilters, NamesThatTheFileWouldReadAsCommentsOrSectionsAreRefusedToo) {
    CheckRefusedFilters(Shared(), {{"#night", "v"}, {" ;night", "v"}, {"  [night", "v"}});
}

// === Small comments ====================================================================

TEST(ClientSmallComment, SetsTheTextAndResendsTheObjectWithoutStatus) {
    InProcessServer server;
    auto plant = PlantWith(server, {"P101"}, "1");
    const int32_t handle = HandleOf(server, "P101");
    auto sender = Client(server);
    auto watcher = Client(server);

    struct Case {
        std::string sent;
        std::string stored;
    };
    const Case cases[] = {
        {"checked by anna", "checked by anna"},
        {std::string(120, 's'), std::string(99, 's')},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        ASSERT_TRUE(sender->Send(PACKET_TYPE_SET_SMALLCOMMENT, Builder().Int32(handle).String(c.sent).Payload()));
        for (FakePeer* client : {sender.get(), watcher.get()}) {
            std::vector<Packet> got = Sync(*client);
            ASSERT_EQ(got.size(), 1u) << "the object alone, no status";
            ASSERT_EQ(got[0].type, PACKET_TYPE_ALARM);
            ClientPayloadReader r(Bytes(got[0].payload), got[0].payload.size());
            int32_t h = 0, version = 0;
            std::string tag, name, description, small;
            r.Int32(h);
            r.Int32(version);
            r.String(tag);
            r.String(name);
            r.String(description);
            r.String(small);
            EXPECT_TRUE(r.Ok());
            EXPECT_EQ(h, handle);
            EXPECT_EQ(small, c.stored);
        }
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        auto* o = server.Source(1).inUse.FindByTag("P101");
        EXPECT_EQ(heraldon::TextOf(o->SmallComment), c.stored);
        EXPECT_EQ(o->State, heraldon::kStateActiveUnacked);
        EXPECT_EQ(o->StatTotal, 1) << "no event";
    }
    EXPECT_EQ(Count(server.LogText(), "Alarm Small comment to 'P101' from client 127.0.0.1:"), 3u);
    EXPECT_NE(server.LogText().find(" updated 'checked by anna'"), std::string::npos);

    // No object behind the handle: nothing happens.
    const std::string log = server.LogText();
    for (int32_t unknown : {(1 << 24) | 50, 5 << 24}) {
        ASSERT_TRUE(sender->Send(PACKET_TYPE_SET_SMALLCOMMENT, Builder().Int32(unknown).String("x").Payload()));
    }
    EXPECT_TRUE(Sync(*sender).empty());
    EXPECT_TRUE(Sync(*watcher).empty());
    EXPECT_EQ(server.LogText(), log);
}

// === Subscriptions =====================================================================

constexpr char kFastRecalculation[] = "ObjectStatusUpdateInterval=100\n";

std::string SubscribeRequest(int32_t id, const std::string& source, const std::string& prefix,
                             const std::string& pattern) {
    return Builder().Int32(id).String(source).String(prefix).String(pattern).Payload();
}

struct SubscriptionStatus {
    int32_t id, missing, active, acked;
    bool operator==(const SubscriptionStatus&) const = default;
};

std::ostream& operator<<(std::ostream& out, const SubscriptionStatus& s) {
    return out << "(" << s.id << ", " << s.missing << ", " << s.active << ", " << s.acked << ")";
}

std::vector<SubscriptionStatus> Statuses(FakePeer& peer) {
    std::vector<SubscriptionStatus> got;
    for (const Packet& p : Sync(peer)) {
        if (p.type != PACKET_TYPE_SUBSCRIPTION_STATUS) continue;
        ClientPayloadReader r(Bytes(p.payload), p.payload.size());
        SubscriptionStatus s{};
        r.Int32(s.id);
        r.Int32(s.missing);
        r.Int32(s.active);
        r.Int32(s.acked);
        EXPECT_TRUE(r.Ok());
        EXPECT_EQ(r.Remaining(), 0u);
        got.push_back(s);
    }
    return got;
}

// One server and one connected Plant for all subscription tests; each test has its own
// tags and its own client.
class ClientSubscriptions : public SharedServer<kFastRecalculation> {
protected:
    static void SetUpTestSuite() {
        SharedServer::SetUpTestSuite();
        plant_ = Source(Shared(), "Plant");
    }
    static void TearDownTestSuite() {
        plant_.reset();
        SharedServer::TearDownTestSuite();
    }
    static FakePeer& Plant() { return *plant_; }

    // The subscriptions of the newest connection, the test's own client.
    static std::list<heraldon::Subscription>& NewestSubscriptions() {
        return Shared().Server().ClientConnections().back()->subscriptions;
    }

private:
    static inline std::unique_ptr<FakePeer> plant_;
};

TEST_F(ClientSubscriptions, AGroupIsTheTagsAfterThePrefixThatThePatternSelects) {
    InProcessServer& server = Shared();
    Report(server, Plant(), {"PUMP1", "PUMP2", "PUMP3", "PUMP9", "PUMP90", "VALVE1"});
    auto peer = Client(server);
    using Tags = std::vector<std::string>;
    struct Case {
        std::string source, prefix, pattern;
        Tags members;
    };
    const std::vector<Case> cases = {
        {"Plant", "PUMP", "*|-9", {"PUMP1", "PUMP2", "PUMP3"}},
        {"Plant", "PUMP", "1|2", {"PUMP1", "PUMP2"}},
        {"Plant", "PUMP", "*", {"PUMP1", "PUMP2", "PUMP3", "PUMP9", "PUMP90"}},
        {"plant", "pump", "9", {"PUMP9", "PUMP90"}},
        {"Plant", "PUMP", "9|-90", {"PUMP9"}},
        {"Plant", "PUMP", "-9|*", {"PUMP1", "PUMP2", "PUMP3", "PUMP9", "PUMP90"}},
        {"Plant", "PUMP", "1||2", {"PUMP1"}},  // an empty token ends the list
        {"Plant", "PUMP1", "", {"PUMP1"}},     // no pattern: the tag that equals the prefix
        {"Plant", "PUMP", "", {}},
        {"Plant", "VALVE", "*", {"VALVE1"}},
        {"Plant", "TANK", "*", {}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        ASSERT_TRUE(peer->Send(PACKET_TYPE_SUBSCRIBE,
                               SubscribeRequest(static_cast<int32_t>(i), c.source, c.prefix, c.pattern)));
    }
    Sync(*peer);
    server.Advance(100);
    EXPECT_TRUE(Statuses(*peer).empty()) << "nothing in any group is active, disabled or missing";

    std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
    const auto& subscriptions = NewestSubscriptions();
    ASSERT_EQ(subscriptions.size(), cases.size());
    for (const heraldon::Subscription& s : subscriptions) {
        const Case& c = cases.at(s.id);
        SCOPED_TRACE(c.prefix + " " + c.pattern);
        Tags members;
        for (const heraldon::AlarmObject* o : s.objects) members.emplace_back(o->TagText());
        EXPECT_EQ(members, c.members);
    }
}

TEST_F(ClientSubscriptions, TheStatusFollowsTheMembersAndIsSentOnlyWhenItChanges) {
    InProcessServer& server = Shared();
    FakePeer* plant = &Plant();
    Report(server, *plant, {"S_PUMP1", "S_PUMP2"});
    auto peer = Client(server);
    // Only the low 16 bits of the id count.
    ASSERT_TRUE(peer->Send(PACKET_TYPE_SUBSCRIBE, SubscribeRequest(0x10007, "Plant", "S_PUMP1", "")));
    Sync(*peer);
    server.Advance(100);
    EXPECT_TRUE(Statuses(*peer).empty());

    struct Step {
        const char* what;
        std::vector<std::string> event;  // type, SCADAHandle, tag, forced state, then fields 5 on
        int32_t state;
        std::vector<SubscriptionStatus> expected;
    };
    // Each event names its object after the step, so the test sees when it has arrived
    // even where the state stays the same.
    int serial = 0;
    auto event = [&serial](const char* type, const char* tag, const char* forced, const char* sumState = "",
                           const char* ackedTime = "") {
        return std::vector<std::string>{type, "0", tag, forced, "step " + std::to_string(++serial), "", "", "",
                                        "", "", "", sumState, "", "", "", "", ackedTime};
    };
    const Step steps[] = {
        {"active", event("1", "S_PUMP1", ""), 1, {{7, 0, 1, 0}}},
        {"active again: nothing new", event("1", "S_PUMP1", ""), 1, {}},
        {"another tag's event", event("1", "S_PUMP2", ""), 1, {}},
        {"acknowledged", event("1", "S_PUMP1", "2"), 2, {{7, 0, 0, 1}}},
        {"disabled", event("1", "S_PUMP1", "4", "off"), 4, {{7, 1, 0, 0}}},
        {"disabled but summed, not acked", event("1", "S_PUMP1", "4", "ON", "0"), 4, {{7, 1, 1, 0}}},
        {"disabled but summed, acked", event("1", "S_PUMP1", "4", "on", "1700000000"), 4, {{7, 1, 0, 1}}},
        {"inactive, unacked: counts nothing", event("0", "S_PUMP1", "3"), 3, {{7, 0, 0, 0}}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        std::string payload;
        for (const std::string& field : s.event) payload += field + std::string(1, '\0');
        ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, payload));
        ASSERT_TRUE(InProcessServer::Eventually([&] {
            std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
            auto* o = server.Source(1).inUse.FindByTag(s.event[2]);
            return o != nullptr && heraldon::TextOf(o->Name) == s.event[4];
        }));
        {
            std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
            EXPECT_EQ(server.Source(1).inUse.FindByTag(s.event[2])->State, s.state);
        }
        server.Advance(100);
        EXPECT_EQ(Statuses(*peer), s.expected);
    }

    // An id outside 0..65535 names no subscription; the id itself does.
    ASSERT_TRUE(peer->Send(PACKET_TYPE_UNSUBSCRIBE, Builder().Int32(0x10007).Payload()));
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Fields({"1", "0", "S_PUMP1", ""})));
    ASSERT_TRUE(HasState(server, "S_PUMP1", 1));
    server.Advance(100);
    EXPECT_EQ(Statuses(*peer), (std::vector<SubscriptionStatus>{{7, 0, 1, 0}}));

    ASSERT_TRUE(peer->Send(PACKET_TYPE_UNSUBSCRIBE, Builder().Int32(7).Payload()));
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Fields({"1", "0", "S_PUMP1", "2"})));
    ASSERT_TRUE(HasState(server, "S_PUMP1", 2));
    Sync(*peer);
    server.Advance(100);
    EXPECT_TRUE(Statuses(*peer).empty());
}

TEST_F(ClientSubscriptions, AMissingSourceIsReportedAtTheFirstRecalculation) {
    InProcessServer& server = Shared();
    auto peer = Client(server);
    ASSERT_TRUE(peer->Send(PACKET_TYPE_SUBSCRIBE, SubscribeRequest(3, "Nowhere", "X", "*")));
    // Without a source name or a tag prefix the request is dropped.
    ASSERT_TRUE(peer->Send(PACKET_TYPE_SUBSCRIBE, SubscribeRequest(4, "", "X", "*")));
    ASSERT_TRUE(peer->Send(PACKET_TYPE_SUBSCRIBE, SubscribeRequest(5, "Nowhere", "", "*")));
    Sync(*peer);
    server.Advance(100);
    EXPECT_EQ(Statuses(*peer), (std::vector<SubscriptionStatus>{{3, 1, 0, 0}}));
    server.Advance(200);
    EXPECT_TRUE(Statuses(*peer).empty()) << "sent again without a change";
}

TEST_F(ClientSubscriptions, GroupsAreFixedAtTheFirstRecalculation) {
    InProcessServer& server = Shared();
    FakePeer* plant = &Plant();
    Report(server, *plant, {"G_PUMP1"});
    auto peer = Client(server);
    ASSERT_TRUE(peer->Send(PACKET_TYPE_SUBSCRIBE, SubscribeRequest(1, "Plant", "G_PUMP", "*")));
    Sync(*peer);
    server.Advance(100);
    // A tag the source reports later does not join.
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Fields({"1", "0", "G_PUMP4", ""})));
    ASSERT_TRUE(HasState(server, "G_PUMP4", 1));
    server.Advance(100);
    EXPECT_TRUE(Statuses(*peer).empty());
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Fields({"1", "0", "G_PUMP1", ""})));
    ASSERT_TRUE(HasState(server, "G_PUMP1", 1));
    server.Advance(100);
    EXPECT_EQ(Statuses(*peer), (std::vector<SubscriptionStatus>{{1, 0, 1, 0}}));
}

TEST_F(ClientSubscriptions, ReloadingASourcesObjectsDropsEverySubscription) {
    InProcessServer& server = Shared();
    FakePeer* plant = &Plant();
    Report(server, *plant, {"R_PUMP1"});
    auto peer = Client(server);
    ASSERT_TRUE(peer->Send(PACKET_TYPE_SUBSCRIBE, SubscribeRequest(1, "Plant", "R_PUMP", "*")));
    ASSERT_TRUE(peer->Send(PACKET_TYPE_SUBSCRIBE, SubscribeRequest(2, "Line2", "X", "*")));
    Sync(*peer);
    server.Advance(100);
    Statuses(*peer);
    {
        // What happens when a whole object file arrives from the redundant partner.
        std::lock_guard<heraldon::FairRecursiveMutex> guard(server.Server().AlarmDataLock());
        server.Source(1).Save(true, 0);
        ASSERT_TRUE(server.Source(1).Load());
        EXPECT_TRUE(NewestSubscriptions().empty());
    }
    // The reloaded object changes; no subscription is left to report it, or to reach the
    // objects that were destroyed.
    ASSERT_TRUE(plant->Send(SOURCE_PACKET_TYPE_EVENT, Fields({"1", "0", "R_PUMP1", ""})));
    ASSERT_TRUE(HasState(server, "R_PUMP1", 1));
    server.Advance(100);
    EXPECT_TRUE(Statuses(*peer).empty());
    // Subscribing again follows the reloaded objects.
    ASSERT_TRUE(peer->Send(PACKET_TYPE_SUBSCRIBE, SubscribeRequest(3, "Plant", "R_PUMP", "*")));
    Sync(*peer);
    server.Advance(100);
    EXPECT_EQ(Statuses(*peer), (std::vector<SubscriptionStatus>{{3, 0, 1, 0}}));
}

}  // namespace
