// heraldon-soak: runs a real Heraldon under a steady plant load for a while and checks that
// it neither loses events nor grows: threads and descriptors must come back to where they
// stood after the warm-up, and memory must stop rising while operator stations come and go.
//
//   heraldon-soak --server build/bin/heraldon [--sources 127] [--tags 20] [--clients 200]
//                 [--seconds 60] [--rate 20]
//
// The server is installed in a temporary folder (history storing on, one text-feed reader
// attached). Every source refreshes its tags, then sends --rate events a second; each event
// carries its source, sequence number and send time in Custom1. Three quarters of the
// clients stay connected and must see every event (two of them through a tag/area filter,
// and exactly the matching events); the rest come and go the way operators do: list,
// history, acknowledge, comment, a few seconds of watching, gone. The server process is
// sampled from /proc every 5 s. Exit code 0 only when the verdict holds.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "server/net/client_protocol.h"
#include "server/net/frame.h"
#include "server/net/source_protocol.h"

namespace {

using namespace heraldon::net;
using platform::clock::MonotonicMs;

constexpr int32_t kEventInActive = 0, kEventActive = 1, kEventAcked = 2;
constexpr int kSampleEveryMs = 5000;
// Long enough for a list of every alarm while the flood goes on; a request still
// unanswered by then is a failure, not something to wait for.
constexpr int kAnswerMs = 30000;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct Options {
    std::string server;
    int sources = 127;
    int tags = 20;
    int clients = 200;
    int seconds = 60;
    int rate = 20;  // events per second per source
};

uint16_t FreePort() {
    platform::net::Socket s = platform::net::Listen(0);
    return platform::net::LocalPort(s);
}

// One connection to the server, read a frame at a time and never waiting unbounded.
class Link {
public:
    enum class Read { Packet, Timeout, Closed };

    bool Connect(uint16_t port, int timeoutMs) {
        socket_ = platform::net::Connect("127.0.0.1", port, timeoutMs);
        return socket_.IsOpen();
    }
    // A reader that only counts need not wake for every write of the server: between
    // receives it lets the bytes gather for a while, which leaves the CPU to the server.
    void Pace(int ms) { paceMs_ = ms; }
    bool SendRaw(const std::string& bytes) { return socket_.SendAll(bytes.data(), bytes.size()); }
    bool Send(uint32_t type, std::string_view payload) {
        return SendRaw(EncodeFrame(type, payload));
    }

    // The frame's payload stays valid until the next call.
    Read Next(Frame& frame, int timeoutMs) {
        int64_t deadline = MonotonicMs() + std::max(0, timeoutMs);
        for (;;) {
            FrameStatus status = NextFrame(buffer_.data() + at_, used_ - at_, 1 << 20, frame);
            if (status == FrameStatus::Ok) {
                at_ += frame.totalSize;
                return Read::Packet;
            }
            if (status == FrameStatus::TooLarge) return Read::Closed;
            // Compacting only when more must be read keeps a full buffer of small frames
            // from being moved once per frame.
            std::memmove(buffer_.data(), buffer_.data() + at_, used_ - at_);
            used_ -= at_;
            at_ = 0;
            if (buffer_.size() - used_ < 65536) buffer_.resize(buffer_.size() * 2);
            if (paceMs_ > 0)
                SleepMs(
                    static_cast<int>(std::clamp<int64_t>(deadline - MonotonicMs(), 0, paceMs_)));
            int left = static_cast<int>(std::max<int64_t>(0, deadline - MonotonicMs()));
            long n = socket_.ReceiveFor(buffer_.data() + used_, buffer_.size() - used_, left);
            if (n == -2) {
                if (MonotonicMs() >= deadline) return Read::Timeout;
                continue;
            }
            if (n <= 0) return Read::Closed;
            used_ += static_cast<size_t>(n);
        }
    }

    // Reads until a frame of type `until`; every frame on the way (and that one) goes to
    // seen. Bounded as a whole: live events never stop, so an idle time-out would not be.
    Read Until(uint32_t until, int timeoutMs, const std::function<void(const Frame&)>& seen) {
        int64_t deadline = MonotonicMs() + timeoutMs;
        Frame frame;
        for (;;) {
            Read r = Next(frame, static_cast<int>(std::max<int64_t>(0, deadline - MonotonicMs())));
            if (r != Read::Packet) return r;
            if (seen) seen(frame);
            if (frame.type == until) return Read::Packet;
        }
    }

private:
    platform::net::Socket socket_;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(256 * 1024);
    size_t at_ = 0, used_ = 0;
    int paceMs_ = 0;
};

std::string TagName(int tag) {
    char name[16];
    std::snprintf(name, sizeof name, "T%07d", tag);
    return name;
}

// Area 1 + tag % 5 gives the filtering clients something to choose from.
std::string EventPayload(int type, int tag, const std::string& custom1) {
    SourcePacketBuilder p;
    p.Signed(type)
        .Unsigned(static_cast<uint32_t>(tag + 1))
        .Text(TagName(tag))
        .Text("")
        .Text("Soak tag")
        .Text("");
    p.Signed(1 + tag % 5).Signed(1).Signed(0).Text("").Text("").Text("");
    for (int i = 0; i < 9; ++i) p.Text("");  // times and milliseconds: the server's own
    p.Text(custom1);
    return p.Payload();
}

// The fields of an alarm packet the soak looks at; false for one that is not ours.
struct AlarmView {
    int32_t handle = 0;
    int tag = -1;  // -1 for an alarm of no simulated source
    int source = -1, area = 0;
    int64_t seq = -1, sentNs = 0;  // -1: not an event's object (refresh, system alarm)
};

bool DecodeAlarm(const Frame& f, AlarmView& v) {
    ClientPayloadReader r(f.payload, f.payloadSize);
    int32_t version = 0, category = 0, privilege = 0, scada = 0;
    std::string tag, skipped, custom1;
    r.Int32(v.handle);
    r.Int32(version);
    r.String(tag, 32);
    for (int i = 0; i < 5; ++i) r.String(skipped, 0);
    r.Int32(v.area);
    r.Int32(category);
    r.Int32(privilege);
    r.Int32(scada);
    r.String(custom1, 64);
    if (!r.Ok()) return false;
    if (tag.size() == 8 && tag[0] == 'T') v.tag = std::atoi(tag.c_str() + 1);
    if (custom1.size() > 1 && custom1[0] == 'E') {
        char* at = nullptr;
        v.source = static_cast<int>(std::strtol(custom1.c_str() + 1, &at, 10));
        if (*at == ':') v.seq = std::strtoll(at + 1, &at, 10);
        if (*at == ':') v.sentNs = std::strtoll(at + 1, &at, 10);
    }
    return true;
}

// The filters two steady clients set with their list request, and which tags they let
// through, worked out independently of the server's matching.
struct Filter {
    const char* tag;
    const char* area;
    bool (*matches)(int tag);
};
const Filter kFilters[] = {
    {"T000000", "1,4", [](int t) { return t < 10 && (t % 5 == 0 || t % 5 == 3); }},
    {"", "2-3", [](int t) { return t % 5 == 1 || t % 5 == 2; }},
};

// --- sources --------------------------------------------------------------------------

std::atomic<int64_t> g_floodStart{0}, g_floodEnd{0};

struct SourceSim {
    Link link;
    int number = 0;  // 0-based; the server's source index is number + 1
    std::atomic<int64_t> sent{0}, acksAnswered{0}, acksIgnored{0}, refreshes{0};
    std::atomic<bool> done{false}, broken{false};
    std::thread thread;
};

bool SendRefresh(SourceSim& s, const Options& o) {
    std::string batch = EncodeFrame(SOURCE_PACKET_TYPE_REFRESH_BEGIN,
                                    SourcePacketBuilder().Text("1").Text("0").Text("1").Payload());
    for (int t = 0; t < o.tags; ++t)
        batch += EncodeFrame(SOURCE_PACKET_TYPE_OBJECT, EventPayload(-1, t, "init"));
    batch += EncodeFrame(SOURCE_PACKET_TYPE_REFRESH_END, "");
    ++s.refreshes;
    return s.link.SendRaw(batch);
}

bool IdentifySource(SourceSim& s, uint16_t port) {
    for (int attempt = 0; attempt < 200 && !s.link.Connect(port, 1000); ++attempt) SleepMs(50);
    std::string name = "Soak" + std::to_string(s.number + 1);
    if (!s.link.Send(SOURCE_PACKET_TYPE_IDENTIFY,
                     SourcePacketBuilder().Text("12290").Text("12291").Text(name).Payload())) {
        return false;
    }
    // An accepted source is asked for its refresh at once.
    return s.link.Until(SOURCE_PACKET_TYPE_REFRESH_REQUEST, 10000, nullptr) == Link::Read::Packet;
}

// Refreshes, then floods at the rate asked for between the flood's start and end, and
// answers the server the way a source at a plant would: an acknowledgement of an alarm
// still unacknowledged comes back as its acknowledged event; a refresh request as a
// refresh. Everything else (keepalives, enable state) is read and let be.
void RunSource(SourceSim& s, const Options& o, const std::atomic<bool>& quit) {
    if (!SendRefresh(s, o)) {
        s.broken = true;
        return;
    }
    const int64_t period = 1000000000LL / o.rate;
    std::vector<char> unacked(static_cast<size_t>(o.tags), 0);
    int64_t next = 0, seq = 0;
    while (!quit.load()) {
        int waitMs = 100;
        int64_t start = g_floodStart.load();
        if (start != 0 && !s.done.load()) {
            // Sources are spread over the period so the server sees a stream, not pulses.
            if (next == 0) next = start + period * s.number / o.sources;
            int64_t now = NowNs();
            if (now >= g_floodEnd.load()) {
                s.done = true;
            } else {
                std::string batch;
                int n = 0;
                for (; next <= now && n < 256; ++n, ++seq, next += period) {
                    int tag = static_cast<int>(seq % o.tags);
                    int type = (seq / o.tags) % 2 == 0 ? kEventActive : kEventInActive;
                    if (type == kEventActive) unacked[static_cast<size_t>(tag)] = 1;
                    char custom1[64];
                    std::snprintf(custom1, sizeof custom1, "E%d:%lld:%lld", s.number,
                                  static_cast<long long>(seq), static_cast<long long>(NowNs()));
                    batch +=
                        EncodeFrame(SOURCE_PACKET_TYPE_EVENT, EventPayload(type, tag, custom1));
                }
                if (n > 0 && !s.link.SendRaw(batch)) break;
                s.sent += n;
                // Rounded up: a wait of 0 would spin until the next event is due.
                waitMs = static_cast<int>(
                    std::clamp<int64_t>((next - NowNs() + 999999) / 1000000, 0, 100));
            }
        }
        Frame f;
        Link::Read r = s.link.Next(f, waitMs);
        if (r == Link::Read::Closed) break;
        if (r != Link::Read::Packet) continue;
        if (f.type == SOURCE_PACKET_TYPE_REFRESH_REQUEST) {
            if (!SendRefresh(s, o)) break;
        } else if (f.type == SOURCE_PACKET_TYPE_ACK) {
            SourceFieldReader r(f.payload, f.payloadSize);
            uint32_t scada = 0, record = 0;
            std::string tag;
            r.Unsigned(scada);
            r.Unsigned(record);
            r.Text(tag, 79);
            int index = static_cast<int>(scada) - 1;
            if (index < 0 || index >= o.tags || !unacked[static_cast<size_t>(index)]) {
                ++s.acksIgnored;
                continue;
            }
            unacked[static_cast<size_t>(index)] = 0;
            // No Custom1: the object keeps its last event's, which clients already counted.
            SourcePacketBuilder p;
            p.Signed(kEventAcked).Unsigned(scada).Text(tag);
            if (!s.link.Send(SOURCE_PACKET_TYPE_EVENT, p.Payload())) break;
            ++s.acksAnswered;
        }
    }
    s.done = true;
    if (!quit.load()) s.broken = true;
}

// --- clients --------------------------------------------------------------------------

// Connects and identifies as an operator's list. A connection closed before the welcome
// is the server refusing it (it takes at most 200 clients at a time).
enum class Open { Ok, Refused, NoConnection, NoWelcome };
Open OpenClient(Link& link, uint16_t port, const std::string& user) {
    if (!link.Connect(port, 5000)) return Open::NoConnection;
    Link::Read r = link.Until(PACKET_TYPE_WELCOME, kAnswerMs, nullptr);
    if (r == Link::Read::Closed) return Open::Refused;
    if (r != Link::Read::Packet) return Open::NoWelcome;
    return link.Send(PACKET_TYPE_IDENTIFY,
                     ClientPacketBuilder().Int32(kClientListView).String(user).Payload())
               ? Open::Ok
               : Open::NoConnection;
}

std::string ListRequest(const Options& o, const Filter* filter) {
    ClientPacketBuilder b;
    b.String(filter ? filter->tag : "")
        .String(filter ? filter->area : "")
        .Int32(-1)
        .Int32(o.sources + 1);
    for (int i = 0; i <= o.sources; ++i) b.Int32(i);
    return b.Payload();
}

struct SteadyClient {
    int number = 0;
    const Filter* filter = nullptr;
    std::atomic<bool> ready{false}, listOk{false}, broken{false};
    std::atomic<int64_t> distinct{0}, unexpected{0}, latencySumNs{0}, latencyMaxNs{0};
    std::atomic<int> sourcesSeen{0};  // sources with at least one event here
    std::thread thread;
};

// Stays for the whole run and counts every event once, by source and sequence number:
// the same event's object comes again after an acknowledgement, and that is no new event.
void RunSteady(SteadyClient& c, uint16_t port, const Options& o, const std::atomic<bool>& quit) {
    Link link;
    if (OpenClient(link, port, "soak-steady-" + std::to_string(c.number)) != Open::Ok ||
        !link.Send(PACKET_TYPE_GET_ALL_ALARMS, ListRequest(o, c.filter))) {
        c.broken = true;
        c.ready = true;
        return;
    }
    // The list request also sets the client's filter: only after its end does it count.
    std::vector<char> listed;
    int64_t listedCount = 0;
    Link::Read r = link.Until(PACKET_TYPE_ALARMS_END, kAnswerMs, [&](const Frame& f) {
        AlarmView v;
        if (f.type != PACKET_TYPE_ALARM || !DecodeAlarm(f, v) || v.tag < 0 || v.tag >= o.tags)
            return;
        size_t key = (static_cast<uint32_t>(v.handle) >> 24) * static_cast<size_t>(o.tags) +
                     static_cast<size_t>(v.tag);
        if (key >= listed.size()) listed.resize(key + 1, 0);
        if (!listed[key]) ++listedCount, listed[key] = 1;
    });
    int64_t want = 0;
    for (int t = 0; t < o.tags; ++t) want += !c.filter || c.filter->matches(t);
    c.listOk = r == Link::Read::Packet && listedCount == want * o.sources;
    c.ready = true;
    if (r != Link::Read::Packet) {
        c.broken = true;
        return;
    }
    link.Pace(10);
    std::vector<std::vector<uint64_t>> seen(static_cast<size_t>(o.sources));
    int64_t distinct = 0;
    while (!quit.load()) {
        Frame f;
        r = link.Next(f, 200);
        if (r == Link::Read::Closed) {
            c.broken = true;
            return;
        }
        AlarmView v;
        if (r != Link::Read::Packet || f.type != PACKET_TYPE_ALARM || !DecodeAlarm(f, v)) continue;
        if (v.seq < 0 || v.source < 0 || v.source >= o.sources) continue;
        if (c.filter && !c.filter->matches(v.tag)) ++c.unexpected;
        auto& bits = seen[static_cast<size_t>(v.source)];
        size_t word = static_cast<size_t>(v.seq / 64);
        if (bits.empty()) ++c.sourcesSeen;
        if (word >= bits.size()) bits.resize(word + 1024, 0);
        uint64_t bit = uint64_t{1} << (v.seq % 64);
        if (bits[word] & bit) continue;
        bits[word] |= bit;
        c.distinct = ++distinct;
        int64_t latency = NowNs() - v.sentNs;
        c.latencySumNs += latency;
        if (latency > c.latencyMaxNs.load()) c.latencyMaxNs = latency;
    }
}

struct ChurnTotals {
    std::atomic<int64_t> cycles{0}, refused{0}, listsDone{0}, listsShort{0}, historyQueries{0},
        historyAnswers{0}, historyRecords{0}, acksSent{0}, commentsSent{0}, commentsRead{0},
        errors{0};
    std::mutex lock;
    std::map<std::string, int> errorKinds;  // what went wrong, without its details
};

std::mutex g_printLock;

// The first few are shown as they happen; all are counted by kind for the summary.
void ChurnError(ChurnTotals& totals, int number, const std::string& what) {
    {
        std::lock_guard<std::mutex> guard(totals.lock);
        ++totals.errorKinds[what.substr(0, what.find(" ("))];
    }
    if (++totals.errors > 10) return;
    std::lock_guard<std::mutex> guard(g_printLock);
    std::fprintf(stderr, "churning client %d: %s\n", number, what.c_str());
}

// One visit of an operator station; a failed step ends the visit early.
void ChurnOnce(int number, uint16_t port, const Options& o, std::mt19937& random,
               ChurnTotals& totals, const std::atomic<bool>& stop) {
    Link link;
    std::string user = "soak-churn-" + std::to_string(number);
    Open open = OpenClient(link, port, user);
    if (open != Open::Ok) {
        if (open == Open::Refused) ++totals.refused;
        else
            ChurnError(totals, number,
                       open == Open::NoWelcome ? "no welcome within 30 s" : "could not connect");
        SleepMs(250);
        return;
    }
    // The whole list, as a station shows it when it starts.
    std::unordered_map<int32_t, int> alarms;  // handle -> tag
    if (!link.Send(PACKET_TYPE_GET_ALL_ALARMS, ListRequest(o, nullptr)))
        return ChurnError(totals, number, "list send failed");
    Link::Read r = link.Until(PACKET_TYPE_ALARMS_END, kAnswerMs, [&](const Frame& f) {
        AlarmView v;
        if (f.type == PACKET_TYPE_ALARM && DecodeAlarm(f, v) && v.tag >= 0)
            alarms[v.handle] = v.tag;
    });
    if (r != Link::Read::Packet) return ChurnError(totals, number, "list not answered");
    if (static_cast<int64_t>(alarms.size()) >= static_cast<int64_t>(o.sources) * o.tags) {
        ++totals.listsDone;
    } else {
        ++totals.listsShort;
        ChurnError(totals, number, "list short (" + std::to_string(alarms.size()) + " alarms)");
    }
    if (alarms.empty() || stop.load()) return;
    auto pick = alarms.begin();
    std::advance(pick, static_cast<long>(random() % alarms.size()));
    const int32_t handle = pick->first;
    const std::string tag = TagName(pick->second);

    // The alarm's history: one source searched, so one end mark.
    ClientPacketBuilder history;
    history.Int32(-1).Int32(handle).String("").String("").Int32(1).Int32(0).Int32(0);
    if (!link.Send(PACKET_TYPE_GET_HISTORY, history.Payload()))
        return ChurnError(totals, number, "history send failed");
    ++totals.historyQueries;
    r = link.Until(PACKET_TYPE_HISTORY_END, kAnswerMs,
                   [&](const Frame& f) { totals.historyRecords += f.type == PACKET_TYPE_HISTORY; });
    if (r != Link::Read::Packet) return ChurnError(totals, number, "history not answered");
    ++totals.historyAnswers;

    ClientPacketBuilder ack;
    ack.Int32(handle).String(user).String("acknowledged by the soak");
    if (!link.Send(PACKET_TYPE_ACK, ack.Payload()))
        return ChurnError(totals, number, "ack send failed");
    ++totals.acksSent;

    // The server answers a comment with nothing, but handles a connection's packets in
    // order: reading it back shows it was written (by this or another station).
    const std::string text = "soak comment by " + user;
    ClientPacketBuilder comment;
    comment.Int32(handle).String(tag).String("").Bytes32(text);
    if (!link.Send(PACKET_TYPE_SET_COMMENT, comment.Payload()) ||
        !link.Send(PACKET_TYPE_GET_COMMENT,
                   ClientPacketBuilder().Int32(handle).String(tag).Payload())) {
        return ChurnError(totals, number, "comment send failed");
    }
    ++totals.commentsSent;
    std::string stored;
    r = link.Until(PACKET_TYPE_COMMENT, kAnswerMs, [&](const Frame& f) {
        if (f.type != PACKET_TYPE_COMMENT) return;
        ClientPayloadReader c(f.payload, f.payloadSize);
        int32_t h = 0;
        std::string t, path;
        c.Int32(h);
        c.String(t);
        c.String(path);
        c.Bytes32(stored);
    });
    if (r != Link::Read::Packet) return ChurnError(totals, number, "comment not answered");
    if (stored.rfind("soak comment by ", 0) == 0) ++totals.commentsRead;
    else ChurnError(totals, number, "comment read back wrong ('" + stored + "')");

    // Watches the list a while, reading everything, then goes.
    int64_t leave = MonotonicMs() + 1000 + static_cast<int64_t>(random() % 3000);
    link.Pace(10);
    Frame f;
    while (!stop.load() && MonotonicMs() < leave) {
        if (link.Next(f, 200) == Link::Read::Closed)
            return ChurnError(totals, number, "closed by the server");
    }
    ++totals.cycles;
}

void RunFeedReader(uint16_t port, std::atomic<int64_t>& lines, const std::atomic<bool>& quit) {
    platform::net::Socket socket;
    for (int i = 0; i < 100 && !socket.IsOpen(); ++i) {
        socket = platform::net::Connect("127.0.0.1", port, 1000);
        if (!socket.IsOpen()) SleepMs(50);
    }
    char buffer[65536];
    while (!quit.load()) {
        long n = socket.ReceiveFor(buffer, sizeof buffer, 100);
        if (n == 0 || n == -1) return;
        for (long i = 0; i < n; ++i) lines += buffer[i] == '\n';
    }
}

// --- the server process ---------------------------------------------------------------

struct Sample {
    double seconds = 0;
    int64_t rssKb = -1, hwmKb = -1;
    int threads = -1, fds = -1;
};

bool SampleProcess(pid_t pid, double seconds, Sample& s) {
    s = Sample{};
    s.seconds = seconds;
    std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssKb = std::atoll(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0) s.hwmKb = std::atoll(line.c_str() + 6);
        if (line.rfind("Threads:", 0) == 0) s.threads = std::atoi(line.c_str() + 8);
    }
    std::error_code error;
    int fds = 0;
    for (auto it = std::filesystem::directory_iterator(proc + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++fds;
    }
    if (!error) s.fds = fds;
    return s.rssKb >= 0 && s.threads >= 0 && s.fds >= 0;
}

void PrintSample(const Sample& s, const char* note, int64_t sent, int64_t cycles) {
    std::lock_guard<std::mutex> guard(g_printLock);
    std::printf("%7.1f  %9.1f  %7d  %6d  %11lld  %6lld  %s\n", s.seconds,
                static_cast<double>(s.rssKb) / 1024, s.threads, s.fds, static_cast<long long>(sent),
                static_cast<long long>(cycles), note);
    std::fflush(stdout);
}

// Lines of the server's log containing each text.
std::vector<int> CountInLog(const std::string& folder, const std::vector<std::string>& texts) {
    std::vector<int> counts(texts.size(), 0);
    std::error_code ignored;
    for (const auto& entry :
         std::filesystem::directory_iterator(folder + "data/LogFiles", ignored)) {
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            for (size_t i = 0; i < texts.size(); ++i)
                counts[i] += line.find(texts[i]) != std::string::npos;
        }
    }
    return counts;
}

int Usage() {
    std::fprintf(
        stderr,
        "usage: heraldon-soak --server PATH [--sources S] [--tags T] [--clients C] [--seconds N]\n"
        "                     [--rate EVENTS_PER_SOURCE_PER_SEC]\n");
    return 2;
}

// --- the run ----------------------------------------------------------------------------

// Everything one run shares between its threads and its phases.
struct Soak {
    Options o;
    int churners = 0, steadyCount = 0, warmupMs = 0, churnEndMs = 0;
    std::string folder;
    uint16_t sourcePort = 0, clientPort = 0, feedPort = 0;
    pid_t server = -1;
    int serverStatus = 0;
    bool serverGone = false;
    std::atomic<bool> quit{false}, churnStop{false}, samplerStop{false};
    std::vector<std::unique_ptr<SourceSim>> sources;
    std::vector<std::unique_ptr<SteadyClient>> steady;
    std::vector<std::thread> churnThreads;
    std::thread feed, sampler;
    std::atomic<int64_t> feedLines{0};
    ChurnTotals churn;
    std::mutex samplesLock;
    std::vector<Sample> samples;  // the periodic ones
    Sample warm, last;
    int64_t startMs = 0, total = 0, acksReceived = 0;
    double drainSeconds = 0;  // from the flood's end until every steady client had everything
    bool drained = false, stillArriving = false, settled = false;

    bool Alive() {
        if (!serverGone && ::waitpid(server, &serverStatus, WNOHANG) == server) serverGone = true;
        return !serverGone;
    }
    double Elapsed() const { return static_cast<double>(MonotonicMs() - startMs) / 1000; }
    int64_t Sent() const {
        int64_t n = 0;
        for (auto& s : sources) n += s->sent.load();
        return n;
    }
    // Acknowledgements that reached a source, answered or not.
    int64_t AcksAtSources() const {
        int64_t n = 0;
        for (auto& s : sources) n += s->acksAnswered.load() + s->acksIgnored.load();
        return n;
    }
    int64_t Expected(const SteadyClient& c) const {
        if (!c.filter) return total;
        int64_t n = 0;
        for (auto& s : sources) {
            int64_t sent = s->sent.load();
            for (int t = 0; t < o.tags; ++t) {
                if (c.filter->matches(t) && sent > t) n += (sent - t + o.tags - 1) / o.tags;
            }
        }
        return n;
    }
    int64_t Delivered() const {
        int64_t n = 0;
        for (auto& c : steady) n += c->distinct.load();
        return n;
    }
};

bool StartServer(Soak& s) {
    char pattern[] = "/tmp/heraldon-soak-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return false;
    s.folder = std::string(pattern) + "/";
    std::error_code error;
    std::filesystem::copy_file(s.o.server, s.folder + "heraldon", error);
    if (error) {
        std::fprintf(stderr, "cannot copy %s: %s\n", s.o.server.c_str(), error.message().c_str());
        return false;
    }
    s.sourcePort = FreePort(), s.clientPort = FreePort(), s.feedPort = FreePort();
    std::ofstream(s.folder + "Heraldon.ini")
        << "[General]\nDataPath=data\nAlarmSourcePort=" << s.sourcePort
        << "\nClientListenPort=" << s.clientPort << "\nTesselListenPort=" << s.feedPort
        << "\nMaxStoredEventsPerHour=-1\nDaysToKeepLogFiles=1\n";
    {
        std::ofstream sources(s.folder + "AlarmSources.ini");
        for (int i = 1; i <= s.o.sources; ++i) sources << "[AlarmSource_Soak" << i << "]\n";
    }
    s.server = ::fork();
    if (s.server == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        if (::chdir(s.folder.c_str()) != 0) ::_exit(126);
        ::execl((s.folder + "heraldon").c_str(), "heraldon", nullptr);
        ::_exit(127);
    }
    return s.server > 0;
}

// Sources identified and refreshed, steady clients connected with their lists (and so
// their filters) in place, the feed reader attached: everything but the flood.
bool Prepare(Soak& s) {
    for (int i = 0; i < s.o.sources; ++i) {
        s.sources.push_back(std::make_unique<SourceSim>());
        SourceSim& sim = *s.sources.back();
        sim.number = i;
        if (!IdentifySource(sim, s.sourcePort)) {
            std::fprintf(stderr, "source %d could not connect and identify\n", i + 1);
            return false;
        }
        sim.thread = std::thread([&sim, &s] { RunSource(sim, s.o, s.quit); });
    }
    const std::string refreshed = "Got all alarm objects refreshed";
    int64_t deadline = MonotonicMs() + 120000;
    while (CountInLog(s.folder, {refreshed})[0] < s.o.sources) {
        if (!s.Alive() || MonotonicMs() > deadline) {
            std::fprintf(stderr, "the server did not take every refresh in within 120 s\n");
            return false;
        }
        SleepMs(100);
    }
    for (int i = 0; i < s.steadyCount; ++i) {
        s.steady.push_back(std::make_unique<SteadyClient>());
        SteadyClient& c = *s.steady.back();
        c.number = i + 1;
        if (i < 2 && s.steadyCount > 2) c.filter = &kFilters[i];
        c.thread = std::thread([&c, &s] { RunSteady(c, s.clientPort, s.o, s.quit); });
    }
    s.feed = std::thread([&s] { RunFeedReader(s.feedPort, s.feedLines, s.quit); });
    auto ready = [&s] {
        return std::all_of(s.steady.begin(), s.steady.end(),
                           [](auto& c) { return c->ready.load(); });
    };
    deadline = MonotonicMs() + 60000;
    while (!ready() && MonotonicMs() < deadline) SleepMs(50);
    if (!ready() ||
        std::any_of(s.steady.begin(), s.steady.end(), [](auto& c) { return c->broken.load(); })) {
        std::fprintf(stderr, "the steady clients could not connect and list within 60 s\n");
        return false;
    }
    return true;
}

// The yardstick for threads and descriptors. Every 10 s each source's periodic save holds
// a second handle on its object file until it is done, which may take a while when it
// waits for the alarm data lock: the quietest of a few samples is the one to compare with.
Sample QuietSample(Soak& s) {
    Sample best, sample;
    for (int64_t end = MonotonicMs() + 3000; MonotonicMs() < end && s.Alive(); SleepMs(200)) {
        if (!SampleProcess(s.server, s.Elapsed(), sample)) continue;
        if (best.fds < 0 || sample.fds + sample.threads < best.fds + best.threads) best = sample;
    }
    return best;
}

// The flood, with the stations coming and going after the warm-up, sampled throughout.
void RunLoad(Soak& s) {
    std::printf(
        "soak: %d sources x %d tags at %d events/s each; %d steady clients (%d filtered), "
        "%d churning; %d s (warm-up %d s)\n",
        s.o.sources, s.o.tags, s.o.rate, s.steadyCount, s.steadyCount > 2 ? 2 : 0, s.churners,
        s.o.seconds, s.warmupMs / 1000);
    std::printf("   t(s)    RSS MiB  threads     fds  events sent  visits\n");
    int64_t start = NowNs();
    g_floodEnd = start + static_cast<int64_t>(s.o.seconds) * 1000000000LL;
    g_floodStart = start;
    s.startMs = MonotonicMs();
    s.sampler = std::thread([&s] {
        for (int64_t next = s.startMs; !s.samplerStop.load(); SleepMs(50)) {
            if (MonotonicMs() < next) continue;
            next += kSampleEveryMs;
            Sample sample;
            if (!SampleProcess(s.server, s.Elapsed(), sample)) continue;
            {
                std::lock_guard<std::mutex> guard(s.samplesLock);
                s.samples.push_back(sample);
            }
            PrintSample(sample, "", s.Sent(), s.churn.cycles.load());
        }
    });
    // Warm only once every source's events come through (each has its day files open),
    // unless the server is too far behind for that within half the run.
    const SteadyClient& watcher = *s.steady.back();
    bool churning = false;
    while (MonotonicMs() - s.startMs < s.o.seconds * 1000LL && s.Alive()) {
        int64_t at = MonotonicMs() - s.startMs;
        bool allFlowing = watcher.sourcesSeen.load() == s.o.sources;
        if (!churning && at >= s.warmupMs && (allFlowing || at >= s.o.seconds * 500LL)) {
            churning = true;
            s.warm = QuietSample(s);
            PrintSample(s.warm,
                        allFlowing ? "warm-up: the yardstick"
                                   : "warm-up: the yardstick, NOT every source seen yet",
                        s.Sent(), 0);
            for (int c = 0; c < s.churners; ++c) {
                s.churnThreads.emplace_back([&s, c] {
                    std::mt19937 random(static_cast<unsigned>(c + 1));
                    while (!s.churnStop.load())
                        ChurnOnce(c + 1, s.clientPort, s.o, random, s.churn, s.churnStop);
                });
            }
        }
        if (at >= s.churnEndMs) s.churnStop = true;
        SleepMs(100);
    }
    s.churnStop = true;
    for (auto& t : s.churnThreads) t.join();
}

// Waits, bounded, for what must arrive: each source's last event, then every event at
// every steady client and every acknowledgement at its source. A server that is behind is
// given time as long as it makes progress; then the stations' connections and threads
// must be gone.
void Finish(Soak& s) {
    int64_t deadline = MonotonicMs() + 10000;
    while (MonotonicMs() < deadline && !std::all_of(s.sources.begin(), s.sources.end(),
                                                    [](auto& x) { return x->done.load(); })) {
        SleepMs(20);
    }
    s.total = s.Sent();
    int64_t endMs = MonotonicMs(), progressMs = endMs, delivered = -1;
    deadline = endMs + 60000 + 2000LL * s.o.seconds;
    while (s.Alive() && MonotonicMs() < deadline && MonotonicMs() - progressMs < 15000) {
        s.drained = s.AcksAtSources() >= s.churn.acksSent.load() &&
                    std::all_of(s.steady.begin(), s.steady.end(), [&s](auto& c) {
                        return c->broken.load() || c->distinct.load() >= s.Expected(*c);
                    });
        if (s.drained) break;
        if (int64_t now = s.Delivered(); now != delivered)
            delivered = now, progressMs = MonotonicMs();
        SleepMs(50);
    }
    s.drainSeconds = static_cast<double>(MonotonicMs() - endMs) / 1000;
    s.stillArriving = !s.drained && MonotonicMs() - progressMs < 15000;
    s.acksReceived = s.AcksAtSources();
    deadline = MonotonicMs() + 30000;
    while (s.Alive() && SampleProcess(s.server, s.Elapsed(), s.last) && MonotonicMs() < deadline) {
        s.settled = s.last.threads <= s.warm.threads && s.last.fds <= s.warm.fds;
        if (s.settled) break;
        SleepMs(200);
    }
    s.samplerStop = true;
    s.sampler.join();
    if (s.last.rssKb >= 0) PrintSample(s.last, "final", s.total, s.churn.cycles.load());
}

void PrintCount(const char* label, const char* format, ...) __attribute__((format(printf, 2, 3)));
void PrintCount(const char* label, const char* format, ...) {
    std::printf("%-26s", label);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

bool Report(Soak& s) {
    using ll = long long;
    std::printf("\n");
    PrintCount("events sent", "%lld (asked: %d sources x %d/s x %d s = %lld)",
               static_cast<ll>(s.total), s.o.sources, s.o.rate, s.o.seconds,
               static_cast<ll>(s.o.sources) * s.o.rate * s.o.seconds);
    int64_t lost = 0, unexpected = 0, broken = 0, latencySum = 0, latencyMax = 0, delivered = 0;
    int listsBad = 0;
    std::printf("steady clients, delivered/lost:");
    for (size_t i = 0; i < s.steady.size(); ++i) {
        SteadyClient& c = *s.steady[i];
        int64_t want = s.Expected(c), got = c.distinct.load();
        lost += std::max<int64_t>(0, want - got);
        unexpected += c.unexpected.load();
        broken += c.broken.load();
        listsBad += !c.listOk.load();
        delivered += got;
        latencySum += c.latencySumNs.load();
        latencyMax = std::max(latencyMax, c.latencyMaxNs.load());
        std::printf("%s #%03d%s %lld/%lld", i % 8 == 0 ? "\n   " : "", c.number,
                    c.filter ? "f" : "", static_cast<ll>(got), static_cast<ll>(want - got));
    }
    if (s.steadyCount > 2) {
        std::printf("\n   (f: filtered; #001 tag '%s' area '%s', #002 area '%s')", kFilters[0].tag,
                    kFilters[0].area, kFilters[1].area);
    }
    std::printf("\n");
    PrintCount(
        "steady totals",
        "delivered %lld, lost %lld, outside filter %lld, disconnected %lld, bad first lists %d",
        static_cast<ll>(delivered), static_cast<ll>(lost), static_cast<ll>(unexpected),
        static_cast<ll>(broken), listsBad);
    PrintCount(
        "latency send->receipt", "mean %.1f ms, max %.1f ms; %s %.1f s after the last event",
        delivered ? static_cast<double>(latencySum) / static_cast<double>(delivered) / 1e6 : 0.0,
        static_cast<double>(latencyMax) / 1e6,
        s.drained         ? "all delivered"
        : s.stillArriving ? "STILL ARRIVING when the wait ended"
                          : "deliveries STOPPED",
        s.drainSeconds);
    const ChurnTotals& c = s.churn;
    std::string kinds;
    for (const auto& [what, count] : s.churn.errorKinds) {
        kinds += (kinds.empty() ? ": " : ", ") + what + " x" + std::to_string(count);
    }
    PrintCount("churning clients",
               "%lld visits, %lld refused at the connection limit, %lld errors%s",
               static_cast<ll>(c.cycles.load()), static_cast<ll>(c.refused.load()),
               static_cast<ll>(c.errors.load()), kinds.c_str());
    PrintCount("list requests completed", "%lld (%lld short)", static_cast<ll>(c.listsDone.load()),
               static_cast<ll>(c.listsShort.load()));
    PrintCount("history answers", "%lld of %lld queries, %lld records",
               static_cast<ll>(c.historyAnswers.load()), static_cast<ll>(c.historyQueries.load()),
               static_cast<ll>(c.historyRecords.load()));
    int64_t answered = 0, refreshes = 0, sourcesLost = 0;
    for (auto& x : s.sources) {
        answered += x->acksAnswered.load();
        refreshes += x->refreshes.load();
        sourcesLost += x->broken.load();
    }
    PrintCount("commands sent",
               "%lld acknowledgements (%lld reached the sources, %lld answered), %lld comments "
               "(%lld read back)",
               static_cast<ll>(c.acksSent.load()), static_cast<ll>(s.acksReceived),
               static_cast<ll>(answered), static_cast<ll>(c.commentsSent.load()),
               static_cast<ll>(c.commentsRead.load()));
    PrintCount("sources", "%lld refreshes (%d at the start), %lld connections lost",
               static_cast<ll>(refreshes), s.o.sources, static_cast<ll>(sourcesLost));
    PrintCount("feed lines", "%lld", static_cast<ll>(s.feedLines.load()));
    Sample first = s.samples.empty() ? s.warm : s.samples.front();
    int64_t peak = std::max(s.last.rssKb, s.warm.rssKb);
    for (const Sample& x : s.samples) peak = std::max(peak, x.rssKb);
    PrintCount("RSS MiB", "first %.1f, warm-up %.1f, last %.1f, peak %.1f (high-water mark %.1f)",
               first.rssKb / 1024.0, s.warm.rssKb / 1024.0, s.last.rssKb / 1024.0, peak / 1024.0,
               s.last.hwmKb / 1024.0);
    PrintCount("threads", "first %d, warm-up %d, last %d", first.threads, s.warm.threads,
               s.last.threads);
    PrintCount("fds", "first %d, warm-up %d, last %d", first.fds, s.warm.fds, s.last.fds);
    std::vector<int> logged =
        CountInLog(s.folder, {"Too many connections", "does not read what we send",
                              "Malformed packet", "Unknown packet type", "could not be created"});
    PrintCount("server log",
               "%d refused at the limit, %d closed for not reading, %d malformed, %d unknown, "
               "%d comment files not written",
               logged[0], logged[1], logged[2], logged[3], logged[4]);

    // Flat: while the load and the churn go on, the second half of the run peaks within 10 %
    // or 16 MiB (whichever is more) of the first half after the warm-up. The churning
    // clients' buffers come on top of the warm-up, and the allocator keeps what they freed,
    // so the warm-up itself is no yardstick for memory; growth shows as a rising peak.
    int64_t firstHalf = 0, secondHalf = 0;
    double middle = (s.warmupMs / 1000.0 + s.o.seconds) / 2;
    for (const Sample& x : s.samples) {
        if (x.seconds <= s.warmupMs / 1000.0 || x.seconds > s.o.seconds) continue;
        int64_t& half = x.seconds <= middle ? firstHalf : secondHalf;
        half = std::max(half, x.rssKb);
    }
    int64_t allowance = std::max<int64_t>(firstHalf / 10, 16 * 1024);
    bool memoryFlat = firstHalf > 0 && secondHalf > 0 && secondHalf <= firstHalf + allowance;
    bool noLoss = s.drained && lost == 0 && unexpected == 0 && broken == 0 && listsBad == 0 &&
                  sourcesLost == 0;
    bool services = c.errors.load() == 0 && c.listsShort.load() == 0 &&
                    (c.cycles.load() > 0 || s.churners == 0) &&
                    c.historyAnswers.load() == c.historyQueries.load() &&
                    s.acksReceived == c.acksSent.load();
    bool alive = s.Alive();
    bool verdict = alive && memoryFlat && s.settled && noLoss && services;
    PrintCount("verdict",
               "%s: memory %s (peak %+.1f MiB from the first half of the run to the second, allowed "
               "%.1f), threads and fds %s, %s, services %s%s",
               verdict ? "PASS" : "FAIL", memoryFlat ? "flat" : "GREW",
               (secondHalf - firstHalf) / 1024.0, allowance / 1024.0,
               s.settled ? "back to warm-up" : "NOT back to warm-up", noLoss ? "no loss" : "LOSS",
               services ? "ok" : "FAILED", alive ? "" : ", THE SERVER DIED");
    return verdict;
}

// The server goes first, so that nothing any thread waits on can outlast it.
bool Stop(Soak& s) {
    s.quit = true;
    s.churnStop = true;
    s.samplerStop = true;
    bool clean = true;
    if (s.Alive()) {
        ::kill(s.server, SIGTERM);
        int64_t stopStart = MonotonicMs();
        while (s.Alive() && MonotonicMs() - stopStart < 30000) SleepMs(50);
        if (s.Alive()) {
            std::printf("the server did not stop within 30 s of SIGTERM; killed\n");
            ::kill(s.server, SIGKILL);
            ::waitpid(s.server, &s.serverStatus, 0);
            clean = false;
        } else {
            std::printf("server stopped %.1f s after SIGTERM, ",
                        static_cast<double>(MonotonicMs() - stopStart) / 1000);
        }
    }
    if (WIFEXITED(s.serverStatus)) std::printf("exit status %d\n", WEXITSTATUS(s.serverStatus));
    if (WIFSIGNALED(s.serverStatus)) std::printf("ended by signal %d\n", WTERMSIG(s.serverStatus));
    for (auto& t : s.churnThreads) if (t.joinable()) t.join();
    for (auto& c : s.steady) if (c->thread.joinable()) c->thread.join();
    for (auto& x : s.sources) if (x->thread.joinable()) x->thread.join();
    if (s.feed.joinable()) s.feed.join();
    if (s.sampler.joinable()) s.sampler.join();
    return clean && WIFEXITED(s.serverStatus) && WEXITSTATUS(s.serverStatus) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    Soak s;
    Options& o = s.o;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc) return Usage();
        std::string a = argv[i];
        const char* v = argv[i + 1];
        if (a == "--server") o.server = v;
        else if (a == "--sources") o.sources = std::clamp(std::atoi(v), 1, 254);
        else if (a == "--tags") o.tags = std::max(1, std::atoi(v));
        else if (a == "--clients")
            o.clients = std::clamp(std::atoi(v), 1, 200);  // the server's limit
        else if (a == "--seconds") o.seconds = std::max(10, std::atoi(v));
        else if (a == "--rate") o.rate = std::clamp(std::atoi(v), 1, 100000);
        else return Usage();
    }
    if (o.server.empty()) return Usage();
    signal(SIGPIPE, SIG_IGN);
    s.churners = o.clients / 4;
    s.steadyCount = o.clients - s.churners;
    // The warm-up sample is the yardstick: taken once the steady load has run a while
    // (every day file open), before any station has come and gone.
    s.warmupMs = std::clamp(o.seconds * 1000 / 6, 5000, 10000);
    // Stations leave before the flood ends, so every day file a history query closed is
    // opened again by the events that follow.
    s.churnEndMs = o.seconds * 1000 - 2000;

    bool pass = false;
    if (StartServer(s) && Prepare(s)) {
        RunLoad(s);
        Finish(s);
        pass = Report(s);
    }
    pass = Stop(s) && pass;
    std::error_code ignored;
    if (pass) {
        std::filesystem::remove_all(s.folder, ignored);
    } else if (!s.folder.empty()) {
        std::printf("installation left in place: %s\n", s.folder.c_str());
    }
    return pass ? 0 : 1;
}
