// feed-tail: follows Heraldon's text event feed (the port Tessel reads) and prints each event
// line as it arrives, for checking a feed template or watching a plant from a shell.
//
// The feed is one-way and has no greeting, so connecting is all there is to it. The server
// sends Windows-1252 text; the terminal wants UTF-8.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/text.h"

namespace {

constexpr uint16_t kDefaultPort = 49878;  // the feed port of the demo plant
constexpr int kReconnectMs = 2000;
// Waits are cut into slices this long so that Ctrl-C is noticed promptly.
constexpr int kSliceMs = 100;

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: feed-tail [--host HOST] [--port PORT] [--show-keepalive]\n"
                 "\n"
                 "Prints every line of Heraldon's text event feed as it arrives, until Ctrl-C.\n"
                 "Reconnects every 2 s while the server is away.\n"
                 "\n"
                 "  --host HOST        server address (default 127.0.0.1)\n"
                 "  --port PORT        feed port, TesselListenPort (default %u)\n"
                 "  --show-keepalive   show the server's keep-alives as \"<keep-alive>\"\n"
                 "  --help             this text\n",
                 static_cast<unsigned>(kDefaultPort));
}

struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = kDefaultPort;
    bool showKeepAlive = false;
};

// False (after saying why) when the command line makes no sense.
bool ParseArguments(int argc, char** argv, Options& options, bool& help) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--show-keepalive") {
            options.showKeepAlive = true;
        } else if ((arg == "--host" || arg == "--port") && i + 1 < argc) {
            const char* value = argv[++i];
            if (arg == "--host") {
                options.host = value;
                continue;
            }
            char* end = nullptr;
            long port = std::strtol(value, &end, 10);
            if (*value == '\0' || *end != '\0' || port < 1 || port > 65535) {
                std::fprintf(stderr, "feed-tail: '%s' is not a port (1 to 65535)\n", value);
                return false;
            }
            options.port = static_cast<uint16_t>(port);
        } else {
            std::fprintf(stderr, "feed-tail: unknown or incomplete option '%s'\n", argv[i]);
            return false;
        }
    }
    return true;
}

void SleepUnlessStopped(int ms) {
    for (int waited = 0; waited < ms && !g_stop; waited += kSliceMs) platform::clock::SleepMs(kSliceMs);
}

// Prints the complete lines in pending and keeps the unfinished rest there. Event lines end
// in "\r\n"; a line feed alone is a keep-alive.
void PrintLines(std::string& pending, bool showKeepAlive) {
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string_view line(pending.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (end == start) {
            if (showKeepAlive) std::fputs("<keep-alive>\n", stdout);
            continue;
        }
        std::string text = platform::text::AnsiToUtf8(line);
        text.push_back('\n');
        std::fputs(text.c_str(), stdout);
    }
    pending.erase(0, start);
    // Whoever reads the output (a pipe, a log) should see each event when it happens.
    std::fflush(stdout);
}

// Follows one connection until it ends or Ctrl-C.
void Follow(platform::net::Socket& socket, bool showKeepAlive) {
    std::string pending;
    char chunk[65536];
    while (!g_stop) {
        long n = socket.ReceiveFor(chunk, sizeof chunk, kSliceMs);
        if (n == -2) continue;
        if (n <= 0) break;
        pending.append(chunk, static_cast<size_t>(n));
        PrintLines(pending, showKeepAlive);
    }
    // A last line the server did not finish is still worth showing.
    if (!pending.empty() && !g_stop) {
        pending.push_back('\n');
        PrintLines(pending, showKeepAlive);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    if (!ParseArguments(argc, argv, options, help)) {
        PrintUsage(stderr);
        return 2;
    }
    if (help) {
        PrintUsage(stdout);
        return 0;
    }

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const std::string where = options.host + ":" + std::to_string(options.port);
    bool reportedAbsence = false;  // say once that the server is away, not every 2 s
    while (!g_stop) {
        platform::net::Socket socket = platform::net::Connect(options.host, options.port, kReconnectMs);
        if (!socket.IsOpen()) {
            if (!reportedAbsence && !g_stop) {
                std::fprintf(stderr, "feed-tail: no feed at %s, trying again every 2 s\n", where.c_str());
                reportedAbsence = true;
            }
            SleepUnlessStopped(kReconnectMs);
            continue;
        }
        reportedAbsence = false;
        std::fprintf(stderr, "feed-tail: connected to %s\n", where.c_str());
        Follow(socket, options.showKeepAlive);
        if (g_stop) break;
        std::fprintf(stderr, "feed-tail: %s closed the connection, reconnecting\n", where.c_str());
        SleepUnlessStopped(kReconnectMs);
    }
    return 0;
}
