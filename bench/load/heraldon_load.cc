// heraldon-load: drives a real Heraldon with S simulated sources x T tags and C clients for
// a bounded time and reports what went in and what came out.
//
//   heraldon-load --server build/bin/heraldon [--sources 1] [--tags 1000] [--clients 10]
//                 [--seconds 10] [--rate 0] [--stalled 0] [--feed 1] [--stalled-feed 0] [--list]
//
// It installs the server in a temporary folder (history storing on, one text-feed reader
// attached), creates every tag first, then floods events. Each event carries its sequence
// number and send time in Custom1, so every client can tell latency and loss.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "server/net/client_protocol.h"
#include "server/net/frame.h"
#include "server/net/source_protocol.h"

namespace {

using namespace heraldon::net;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Options {
    std::string server;
    int sources = 1;
    int tags = 1000;
    int clients = 10;
    int seconds = 10;
    int rate = 0;  // events per second per source; 0 = as fast as the server takes them
    int stalled = 0;
    int feed = 1;
    int stalledFeed = 0;
    bool list = false;
};

uint16_t FreePort() {
    platform::net::Socket s = platform::net::Listen(0);
    return platform::net::LocalPort(s);
}

// Reads frames from a socket; calls handle for each until it returns false or the socket ends.
template <typename Handle>
void ReadFrames(platform::net::Socket& socket, Handle handle) {
    std::vector<uint8_t> buffer(1 << 20);
    size_t used = 0;
    for (;;) {
        if (used == buffer.size()) buffer.resize(buffer.size() * 2);
        long n = socket.Receive(buffer.data() + used, buffer.size() - used);
        if (n <= 0) return;
        used += static_cast<size_t>(n);
        size_t at = 0;
        Frame frame;
        while (NextFrame(buffer.data() + at, used - at, 64 << 20, frame) == FrameStatus::Ok) {
            if (!handle(frame)) return;
            at += frame.totalSize;
        }
        std::memmove(buffer.data(), buffer.data() + at, used - at);
        used -= at;
    }
}

std::string EventPayload(int type, int tag, int64_t seq, int64_t sentNs) {
    char name[16];
    std::snprintf(name, sizeof name, "T%07d", tag);
    SourcePacketBuilder p;
    p.Signed(type).Unsigned(static_cast<uint32_t>(tag + 1)).Text(name).Text("").Text("Load tag").Text("");
    p.Signed(1 + tag % 5).Signed(1).Signed(0).Text("").Text("").Text("");
    for (int i = 0; i < 9; ++i) p.Text("");  // times and milliseconds: the server's own
    p.Text(std::to_string(seq) + ":" + std::to_string(sentNs));
    return p.Payload();
}

struct ClientStats {
    std::atomic<int64_t> received{0};
    std::vector<int64_t> latencies;  // ns, sampled
    std::mutex lock;
};

void RunClient(uint16_t port, ClientStats& stats, std::atomic<bool>& stop, bool stalled) {
    platform::net::Socket socket = platform::net::Connect("127.0.0.1", port, 5000);
    if (!socket.IsOpen()) return;
    std::string identify = EncodeFrame(PACKET_TYPE_IDENTIFY, ClientPacketBuilder().Int32(kClientOrvik).Payload());
    socket.SendAll(identify.data(), identify.size());
    if (stalled) {
        while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return;
    }
    std::thread closer([&] {
        while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        socket.Shutdown();
    });
    int64_t count = 0;
    ReadFrames(socket, [&](const Frame& f) {
        if (f.type != PACKET_TYPE_ALARM) return true;
        ClientPayloadReader r(f.payload, f.payloadSize);
        int32_t handle, version, area, category, privilege, scada;
        std::string tag, text, custom1;
        r.Int32(handle);
        r.Int32(version);
        r.String(tag);
        for (int i = 0; i < 5; ++i) r.String(text);
        r.Int32(area);
        r.Int32(category);
        r.Int32(privilege);
        r.Int32(scada);
        r.String(custom1);
        size_t colon = custom1.find(':');
        if (!r.Ok() || tag.empty() || tag[0] != 'T' || colon == std::string::npos) return true;
        int64_t sent = std::atoll(custom1.c_str() + colon + 1);
        if (sent == 0) return true;  // the object as created, before the flood
        ++count;
        stats.received.store(count);
        if (count % 64 == 0) {
            std::lock_guard<std::mutex> guard(stats.lock);
            stats.latencies.push_back(NowNs() - sent);
        }
        return true;
    });
    closer.join();
}

void RunFeedReader(uint16_t port, std::atomic<int64_t>& lines, std::atomic<bool>& stop) {
    platform::net::Socket socket;
    for (int i = 0; i < 100 && !socket.IsOpen(); ++i) {
        socket = platform::net::Connect("127.0.0.1", port, 1000);
        if (!socket.IsOpen()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    char buffer[65536];
    while (!stop.load()) {
        long n = socket.ReceiveFor(buffer, sizeof buffer, 100);
        if (n == 0 || n == -1) return;
        for (long i = 0; i < n; ++i) {
            if (buffer[i] == '\n') ++lines;
        }
    }
}

struct Source {
    platform::net::Socket socket;
    int index = 0;
};

bool Identify(Source& s, const std::string& name) {
    std::string frame = EncodeFrame(SOURCE_PACKET_TYPE_IDENTIFY,
                                    SourcePacketBuilder().Text("12290").Text("12291").Text(name).Payload());
    if (!s.socket.SendAll(frame.data(), frame.size())) return false;
    bool accepted = false;
    ReadFrames(s.socket, [&](const Frame& f) {
        if (f.type == SOURCE_PACKET_TYPE_REFRESH_REQUEST) {
            accepted = true;
            return false;
        }
        return true;
    });
    return accepted;
}

// How many lines of the server's log so far contain text.
int CountInLog(const std::string& folder, const std::string& text) {
    int count = 0;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder + "data/LogFiles", ignored)) {
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) count += line.find(text) != std::string::npos;
    }
    return count;
}

int64_t PeakMemoryKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
    }
    return -1;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: heraldon-load --server PATH [--sources S] [--tags T] [--clients C] [--seconds N]\n"
                 "                     [--rate EVENTS_PER_SOURCE_PER_SEC] [--stalled K] [--feed 0|1]\n"
                 "                     [--stalled-feed K] [--list]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--list") {
            o.list = true;
            continue;
        }
        if ((v = next()) == nullptr) return Usage();
        if (a == "--server") o.server = v;
        else if (a == "--sources") o.sources = std::max(1, std::min(127, std::atoi(v)));
        else if (a == "--tags") o.tags = std::max(1, std::atoi(v));
        else if (a == "--clients") o.clients = std::max(0, std::min(199, std::atoi(v)));
        else if (a == "--seconds") o.seconds = std::max(1, std::atoi(v));
        else if (a == "--rate") o.rate = std::max(0, std::atoi(v));
        else if (a == "--stalled") o.stalled = std::max(0, std::atoi(v));
        else if (a == "--feed") o.feed = std::atoi(v);
        else if (a == "--stalled-feed") o.stalledFeed = std::max(0, std::atoi(v));
        else return Usage();
    }
    if (o.server.empty()) return Usage();
    signal(SIGPIPE, SIG_IGN);

    // The installation.
    char pattern[] = "/tmp/heraldon-load-XXXXXX";
    std::string folder = std::string(::mkdtemp(pattern)) + "/";
    std::filesystem::copy_file(o.server, folder + "heraldon");
    uint16_t sourcePort = FreePort(), clientPort = FreePort(), feedPort = FreePort();
    std::ofstream(folder + "Heraldon.ini") << "[General]\nDataPath=data\nAlarmSourcePort=" << sourcePort
                                           << "\nClientListenPort=" << clientPort << "\nTesselListenPort="
                                           << (o.feed ? feedPort : 0)
                                           << "\nMaxStoredEventsPerHour=-1\nDaysToKeepLogFiles=1\n";
    {
        std::ofstream sources(folder + "AlarmSources.ini");
        for (int s = 1; s <= o.sources; ++s) sources << "[AlarmSource_Load" << s << "]\n";
    }
    pid_t server = ::fork();
    if (server == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        if (::chdir(folder.c_str()) != 0) ::_exit(126);
        ::execl((folder + "heraldon").c_str(), "heraldon", nullptr);
        ::_exit(127);
    }

    std::vector<Source> sources(static_cast<size_t>(o.sources));
    for (int s = 0; s < o.sources; ++s) {
        for (int attempt = 0; attempt < 200 && !sources[s].socket.IsOpen(); ++attempt) {
            sources[s].socket = platform::net::Connect("127.0.0.1", sourcePort, 1000);
            if (!sources[s].socket.IsOpen()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!sources[s].socket.IsOpen() || !Identify(sources[s], "Load" + std::to_string(s + 1))) {
            std::fprintf(stderr, "source %d could not connect\n", s + 1);
            ::kill(server, SIGKILL);
            return 1;
        }
    }

    // Every tag exists before the clients come: creating a million objects is its own
    // figure. The tags go as the full refresh the server asked for; its end is logged once
    // the server has taken every object in.
    int64_t createStart = NowNs();
    std::vector<std::thread> creators;
    for (auto& s : sources) {
        creators.emplace_back([&s, &o] {
            std::string batch = EncodeFrame(SOURCE_PACKET_TYPE_REFRESH_BEGIN,
                                            SourcePacketBuilder().Text("1").Text("0").Text("1").Payload());
            for (int t = 0; t < o.tags; ++t) {
                batch += EncodeFrame(SOURCE_PACKET_TYPE_OBJECT, EventPayload(-1, t, 0, 0));
                if (batch.size() > (1 << 20)) {
                    s.socket.SendAll(batch.data(), batch.size());
                    batch.clear();
                }
            }
            batch += EncodeFrame(SOURCE_PACKET_TYPE_REFRESH_END, "");
            s.socket.SendAll(batch.data(), batch.size());
        });
    }
    for (auto& t : creators) t.join();
    for (int waited = 0; CountInLog(folder, "Got all alarm objects refreshed") < o.sources; waited += 100) {
        if (waited > 600000) {
            std::fprintf(stderr, "the server did not take the objects in within 10 minutes\n");
            ::kill(server, SIGKILL);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    double createSeconds = static_cast<double>(NowNs() - createStart) / 1e9;

    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<ClientStats>> stats;
    std::vector<std::thread> clients;
    for (int c = 0; c < o.clients + o.stalled; ++c) {
        stats.push_back(std::make_unique<ClientStats>());
        bool stalled = c >= o.clients;
        clients.emplace_back([&, c, stalled] { RunClient(clientPort, *stats[c], stop, stalled); });
    }
    std::atomic<int64_t> feedLines{0};
    std::thread feed;
    if (o.feed) feed = std::thread([&] { RunFeedReader(feedPort, feedLines, stop); });
    // Feed readers that connect and never read a byte.
    std::vector<platform::net::Socket> stalledFeeds;
    for (int i = 0; o.feed && i < o.stalledFeed; ++i) {
        stalledFeeds.push_back(platform::net::Connect("127.0.0.1", feedPort, 5000));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    double listSeconds = -1;
    if (o.list) {
        // Asked until the list is complete: the server may still be taking the objects in.
        int64_t alarms = 0;
        for (int attempt = 0; attempt < 600 && alarms < o.tags; ++attempt) {
            platform::net::Socket c = platform::net::Connect("127.0.0.1", clientPort, 5000);
            ClientPacketBuilder req;
            req.String("").String("").Int32(-1).Int32(1).Int32(1);
            std::string frames =
                EncodeFrame(PACKET_TYPE_IDENTIFY, ClientPacketBuilder().Int32(kClientOrvik).Payload()) +
                EncodeFrame(PACKET_TYPE_GET_ALL_ALARMS, req.Payload());
            int64_t start = NowNs();
            c.SendAll(frames.data(), frames.size());
            alarms = 0;
            ReadFrames(c, [&](const Frame& f) {
                if (f.type == PACKET_TYPE_ALARM) ++alarms;
                return f.type != PACKET_TYPE_ALARMS_END;
            });
            listSeconds = static_cast<double>(NowNs() - start) / 1e9;
            if (alarms < o.tags) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        std::printf("list of %lld alarms delivered in %.3f s\n", static_cast<long long>(alarms), listSeconds);
    }

    // The flood.
    std::atomic<int64_t> sent{0};
    int64_t floodStart = NowNs();
    int64_t floodEnd = floodStart + static_cast<int64_t>(o.seconds) * 1000000000LL;
    std::vector<std::thread> senders;
    for (auto& s : sources) {
        senders.emplace_back([&] {
            int64_t seq = 0;
            std::string batch;
            int64_t next = NowNs();
            while (NowNs() < floodEnd) {
                for (int i = 0; i < 64; ++i, ++seq) {
                    int tag = static_cast<int>(seq % o.tags);
                    int type = static_cast<int>((seq / o.tags) % 2 == 0 ? 1 : 0);
                    batch += EncodeFrame(SOURCE_PACKET_TYPE_EVENT, EventPayload(type, tag, seq, NowNs()));
                }
                if (!s.socket.SendAll(batch.data(), batch.size())) return;
                sent += 64;
                batch.clear();
                if (o.rate > 0) {
                    next += 64LL * 1000000000LL / o.rate;
                    int64_t wait = next - NowNs();
                    if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
                }
            }
        });
    }
    for (auto& t : senders) t.join();
    double sendSeconds = static_cast<double>(NowNs() - floodStart) / 1e9;
    int64_t total = sent.load();
    // Wait (bounded) until every reading client has every event.
    int64_t drainStart = NowNs();
    for (;;) {
        bool all = true;
        for (int c = 0; c < o.clients; ++c) all = all && stats[c]->received.load() >= total;
        if (all || NowNs() - drainStart > 60000000000LL) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    double deliverSeconds = static_cast<double>(NowNs() - floodStart) / 1e9;
    int64_t peak = PeakMemoryKb(server);
    stop.store(true);
    for (auto& t : clients) t.join();
    if (feed.joinable()) feed.join();

    std::vector<int64_t> latencies;
    int64_t delivered = 0, lost = 0;
    for (int c = 0; c < o.clients; ++c) {
        delivered += stats[c]->received.load();
        lost += std::max<int64_t>(0, total - stats[c]->received.load());
        latencies.insert(latencies.end(), stats[c]->latencies.begin(), stats[c]->latencies.end());
    }
    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) {
        return latencies.empty() ? 0.0
                                 : static_cast<double>(latencies[static_cast<size_t>(p * (latencies.size() - 1))]) / 1e6;
    };
    std::printf("sources %d x tags %d, clients %d (+%d stalled), feed %d (+%d stalled)\n", o.sources, o.tags,
                o.clients, o.stalled, o.feed, o.stalledFeed);
    std::printf("objects created in        %.2f s\n", createSeconds);
    std::printf("events sent               %lld in %.2f s: %.0f events/s accepted\n", static_cast<long long>(total),
                sendSeconds, static_cast<double>(total) / sendSeconds);
    std::printf("events delivered          %lld to %d clients in %.2f s: %.0f events/s per client\n",
                static_cast<long long>(delivered), o.clients, deliverSeconds,
                o.clients ? static_cast<double>(delivered) / o.clients / deliverSeconds : 0.0);
    std::printf("latency send->receipt ms  p50 %.2f  p90 %.2f  p99 %.2f  max %.2f\n", pct(0.5), pct(0.9), pct(0.99),
                pct(1.0));
    std::printf("lost events               %lld\n", static_cast<long long>(lost));
    std::printf("feed lines                %lld\n", static_cast<long long>(feedLines.load()));
    std::printf("server peak memory        %lld KiB\n", static_cast<long long>(peak));

    ::kill(server, SIGTERM);
    int status = 0;
    for (int i = 0; i < 600 && ::waitpid(server, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(server, SIGKILL);
    ::waitpid(server, &status, 0);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return lost == 0 ? 0 : 3;
}
