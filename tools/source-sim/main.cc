// source-sim: a simulated Alarm Source for trying out and loading Heraldon.
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include "platform/socket.h"
#include "platform/text.h"
#include "tools/source-sim/sim_run.h"

namespace {

std::atomic<bool> g_stop{false};

void OnStopSignal(int) {
    g_stop.store(true);
}

void PrintUsage(std::FILE* out) {
    std::fprintf(
        out,
        "usage: source-sim --name NAME [options]\n"
        "\n"
        "A simulated Alarm Source: connects to Heraldon, reports its tags, makes alarm\n"
        "traffic and carries out the operators' commands.\n"
        "\n"
        "  --name NAME            source name, as configured on the server (required)\n"
        "  --host HOST            server address (default 127.0.0.1)\n"
        "  --port PORT            Alarm Source port (default 49876)\n"
        "  --tags FILE            tag list: tag;name;description;area;category per line\n"
        "  --generate N           N generated plant tags TAG00001... (default 20)\n"
        "  --rate R               average Active/InActive events per second (default 2; 0 = none)\n"
        "  --pattern P            steady | bursts | chatter | mixed (default steady)\n"
        "  --seed N               random seed, for a repeatable run (default: random)\n"
        "  --duration S           stop after S seconds (default 0: until SIGINT/SIGTERM)\n"
        "  --quiet                only a summary line every 10 s instead of every event\n"
        "  --version-low V        lowest protocol version offered (default 0x3002)\n"
        "  --version-high V       highest protocol version offered (default 0x3003)\n"
        "  --help                 this text\n");
}

bool Fail(const std::string& message) {
    std::fprintf(stderr, "source-sim: %s\n\n", message.c_str());
    PrintUsage(stderr);
    return false;
}

// Whole numbers in decimal or, with 0x, hexadecimal; the whole text must be the number.
bool ParseWhole(const char* text, long long low, long long high, long long& value) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 0);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    value = v;
    return true;
}

bool ParseOptions(int argc, char** argv, sourcesim::SimOptions& o, bool& help) {
    std::string tagFile;
    long long generate = -1;
    bool seeded = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return true;
        }
        if (arg == "--quiet") {
            o.quiet = true;
            continue;
        }
        if (i + 1 >= argc) return Fail("option " + std::string(arg) + " needs a value");
        const char* value = argv[++i];
        long long n = 0;
        if (arg == "--name") {
            // Typed as UTF-8, sent as the system's 8-bit text.
            o.name = platform::text::FileTextToAnsi(value);
            if (o.name.empty() || o.name.size() > 255) {
                return Fail("--name must have 1 to 255 characters");
            }
        } else if (arg == "--host") {
            o.host = value;
        } else if (arg == "--port") {
            if (!ParseWhole(value, 1, 65535, n)) return Fail("--port must be 1 to 65535");
            o.port = static_cast<uint16_t>(n);
        } else if (arg == "--tags") {
            tagFile = value;
        } else if (arg == "--generate") {
            if (!ParseWhole(value, 1, 99999, n)) return Fail("--generate must be 1 to 99999");
            generate = n;
        } else if (arg == "--rate") {
            char* end = nullptr;
            double r = std::strtod(value, &end);
            if (end == value || *end != '\0' || !(r >= 0 && r <= 10000)) {
                return Fail("--rate must be 0 to 10000 events per second");
            }
            o.rate = r;
        } else if (arg == "--pattern") {
            if (!sourcesim::ParsePattern(value, o.pattern)) {
                return Fail("--pattern must be steady, bursts, chatter or mixed");
            }
        } else if (arg == "--seed") {
            if (!ParseWhole(value, 0, LLONG_MAX, n)) return Fail("--seed must be a number");
            o.seed = static_cast<uint64_t>(n);
            seeded = true;
        } else if (arg == "--duration") {
            if (!ParseWhole(value, 0, INT32_MAX / 1000, n)) {
                return Fail("--duration must be a number of seconds");
            }
            o.durationSeconds = static_cast<int>(n);
        } else if (arg == "--version-low" || arg == "--version-high") {
            if (!ParseWhole(value, 0, INT32_MAX, n))
                return Fail(std::string(arg) + " must be a number");
            (arg == "--version-low" ? o.versionLow : o.versionHigh) = static_cast<int32_t>(n);
        } else {
            return Fail("unknown option " + std::string(arg));
        }
    }
    if (o.name.empty()) return Fail("--name is required");
    if (!tagFile.empty() && generate >= 0) return Fail("use either --tags or --generate");
    if (o.versionLow > o.versionHigh) return Fail("--version-low is above --version-high");
    if (!tagFile.empty()) {
        std::string error;
        if (!sourcesim::LoadTagFile(tagFile, o.tags, error)) {
            std::fprintf(stderr, "source-sim: %s\n", error.c_str());
            return false;
        }
        if (o.tags.empty()) {
            std::fprintf(stderr, "source-sim: %s holds no tags\n", tagFile.c_str());
            return false;
        }
    } else {
        o.tags = sourcesim::GenerateTags(generate >= 0 ? static_cast<int>(generate) : 20);
    }
    if (!seeded) o.seed = std::random_device{}();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    sourcesim::SimOptions options;
    bool help = false;
    if (!ParseOptions(argc, argv, options, help)) return 2;
    if (help) {
        PrintUsage(stdout);
        return 0;
    }
    platform::net::IgnoreSigpipe();
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    return sourcesim::RunSimulation(std::move(options), g_stop);
}
