// alarm-cli: Heraldon's alarm list and operator commands from the command line, for
// operators at a terminal and for scripts. It is an ordinary client of the client port.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"
#include "platform/text.h"
#include "tools/alarm-cli/alarm_table.h"
#include "tools/alarm-cli/commands.h"

namespace {

using namespace alarmcli;

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
        "usage: alarm-cli [options] COMMAND [command options] [arguments]\n"
        "\n"
        "Heraldon's alarm list and operator commands over the client port.\n"
        "\n"
        "Commands:\n"
        "  watch [--tags T1,T2] [--areas 1-5,7] [--sources 1,2] [--all]\n"
        "        the live alarm list until Ctrl-C; one line per change when not on a terminal\n"
        "  list [--csv] [--tags ...] [--areas ...] [--sources ...] [--all]\n"
        "        the alarm list once, newest activation first\n"
        "  ack TARGET...                        acknowledge\n"
        "  disable [--for SECONDS] [--comment TEXT] TARGET...\n"
        "                                       disable, for good or for a time\n"
        "  enable TARGET...                     enable again\n"
        "  comment TARGET TEXT                  replace the alarm's comment file ('-': stdin)\n"
        "  small-comment TARGET TEXT            set the short comment shown in the list\n"
        "  stats [--csv] [--tags ...] [--areas ...] [TARGET]\n"
        "                                       activations: total, last 24 hours, last 7 days\n"
        "  sources                              the server's alarm sources\n"
        "  history [--tag TAG | --handle H] [--source INDEX] [--from TIME] [--to TIME]\n"
        "          [--tags ...] [--areas ...] [--comments] [--csv]\n"
        "                                       stored events; TIME is \"YYYY-MM-DD hh:mm\" or\n"
        "                                       \"YYYY-MM-DD\" (a date alone as --to: its end)\n"
        "\n"
        "A TARGET is a tag as shown (any case) or a handle, decimal or 0x hexadecimal.\n"
        "--tags is a comma-separated list of tag beginnings (without the source's tag\n"
        "prefix), --areas a list of areas and ranges; both are applied by the server.\n"
        "ack, disable and enable also take --comment TEXT.\n"
        "\n"
        "Options:\n"
        "  --host HOST        server address (default 127.0.0.1)\n"
        "  --port PORT        client port (default 49877)\n"
        "  --user NAME        operator name sent to the server (default $USER)\n"
        "  --timeout SECONDS  longest wait for an answer (default 10)\n"
        "  --help             this text\n"
        "\n"
        "Exit status: 0 done, 1 connection failure, 2 usage error or unknown alarm.\n");
}

// The options each command accepts, besides the common ones.
const std::map<std::string, std::set<std::string>>& CommandOptionTable() {
    static const std::map<std::string, std::set<std::string>> table = {
        {"watch", {"--tags", "--areas", "--sources", "--all"}},
        {"list", {"--tags", "--areas", "--sources", "--all", "--csv"}},
        {"ack", {"--comment"}},
        {"disable", {"--for", "--comment"}},
        {"enable", {"--comment"}},
        {"comment", {}},
        {"small-comment", {}},
        {"stats", {"--tags", "--areas", "--csv"}},
        {"sources", {}},
        {"history", {"--tag", "--handle", "--source", "--from", "--to", "--tags", "--areas",
                     "--comments", "--csv"}},
    };
    return table;
}

const std::set<std::string> kFlags = {"--all", "--csv", "--comments"};
const std::set<std::string> kCommon = {"--host", "--port", "--user", "--timeout"};

struct Arguments {
    std::string command;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    bool help = false;
};

int UsageError(const std::string& message) {
    std::fprintf(stderr, "alarm-cli: %s\n(alarm-cli --help lists the commands and options)\n",
                 message.c_str());
    return kExitUsage;
}

bool ParseWhole(const std::string& text, long long low, long long high, long long& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    value = v;
    return true;
}

// Options may stand before or after the command; "--" ends them, for texts that begin
// with a dash.
bool SplitArguments(int argc, char** argv, Arguments& args, std::string& error) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            if (args.command.empty()) {
                args.command = arg;
            } else {
                args.positional.push_back(arg);
            }
            continue;
        }
        if (arg == "--help") {
            args.help = true;
            continue;
        }
        if (kFlags.count(arg) != 0) {
            args.flags.insert(arg);
            continue;
        }
        if (i + 1 >= argc) {
            error = "option " + arg + " needs a value";
            return false;
        }
        args.values[arg] = argv[++i];
    }
    return true;
}

// User text arrives as UTF-8 from the terminal and goes out as the system's 8-bit text.
std::string ToWire(const std::string& text) { return platform::text::FileTextToAnsi(text); }

bool ParseSources(const std::string& text, std::vector<int32_t>& sources) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string token = text.substr(start, comma == std::string::npos ? std::string::npos
                                                                          : comma - start);
        long long n = 0;
        if (!ParseWhole(token, 0, 255, n)) return false;
        sources.push_back(static_cast<int32_t>(n));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

bool ValidAreaFilter(const std::string& text) {
    for (char c : text) {
        if (!(c >= '0' && c <= '9') && c != ',' && c != '-') return false;
    }
    return text.size() <= 255;
}

std::string DefaultUser() {
    const char* user = std::getenv("USER");
    return user != nullptr && *user != '\0' ? user : "operator";
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    std::string error;
    if (!SplitArguments(argc, argv, args, error)) return UsageError(error);
    if (args.help) {
        PrintUsage(stdout);
        return kExitOk;
    }
    if (args.command.empty()) return UsageError("no command given");
    auto entry = CommandOptionTable().find(args.command);
    if (entry == CommandOptionTable().end()) return UsageError("unknown command " + args.command);
    for (const auto& [name, value] : args.values) {
        if (kCommon.count(name) == 0 && entry->second.count(name) == 0) {
            return UsageError("option " + name + " does not go with " + args.command);
        }
    }
    for (const std::string& name : args.flags) {
        if (entry->second.count(name) == 0) {
            return UsageError("option " + name + " does not go with " + args.command);
        }
    }
    auto value = [&](const std::string& name) -> const std::string* {
        auto it = args.values.find(name);
        return it == args.values.end() ? nullptr : &it->second;
    };
    const std::string& command = args.command;

    CommonOptions common;
    common.user = ToWire(value("--user") != nullptr ? *value("--user") : DefaultUser());
    long long n = 0;
    if (const std::string* v = value("--host")) {
        if (v->empty()) return UsageError("--host needs a host name or address");
        common.host = *v;
    }
    if (const std::string* v = value("--port")) {
        if (!ParseWhole(*v, 1, 65535, n)) return UsageError("--port must be 1 to 65535");
        common.port = static_cast<uint16_t>(n);
    }
    if (const std::string* v = value("--timeout")) {
        if (!ParseWhole(*v, 1, 86400, n)) return UsageError("--timeout must be 1 to 86400 seconds");
        common.timeoutSeconds = static_cast<int>(n);
    }

    std::string tagFilter, areaFilter;
    if (const std::string* v = value("--tags")) {
        tagFilter = ToWire(*v);
        if (tagFilter.size() > 255) return UsageError("--tags holds at most 255 characters");
    }
    if (const std::string* v = value("--areas")) {
        if (!ValidAreaFilter(*v)) return UsageError("--areas takes numbers and ranges such as 1-5,7");
        areaFilter = *v;
    }
    auto positionals = [&](size_t low, size_t high) {
        return args.positional.size() >= low && args.positional.size() <= high;
    };

    platform::net::IgnoreSigpipe();

    if (command == "watch" || command == "list") {
        if (!positionals(0, 0)) return UsageError(command + " takes no arguments");
        ListOptions o;
        o.tagFilter = tagFilter;
        o.areaFilter = areaFilter;
        o.all = args.flags.count("--all") != 0;
        o.csv = args.flags.count("--csv") != 0;
        if (const std::string* v = value("--sources")) {
            if (!ParseSources(*v, o.sources)) return UsageError("--sources takes indexes such as 1,2");
        }
        return command == "watch" ? RunWatch(common, o) : RunList(common, o);
    }
    if (command == "ack" || command == "disable" || command == "enable") {
        if (args.positional.empty()) return UsageError(command + " needs at least one tag or handle");
        CommandOptions o;
        o.command = command == "ack"       ? AlarmCommand::Ack
                    : command == "disable" ? AlarmCommand::Disable
                                           : AlarmCommand::Enable;
        for (const std::string& target : args.positional) o.targets.push_back(ToWire(target));
        if (const std::string* v = value("--comment")) o.comment = ToWire(*v);
        if (const std::string* v = value("--for")) {
            if (!ParseWhole(*v, 1, INT32_MAX, n)) return UsageError("--for must be a number of seconds");
            o.durationSeconds = static_cast<int32_t>(n);
        }
        return RunAlarmCommand(common, o);
    }
    if (command == "comment" || command == "small-comment") {
        if (!positionals(2, 2)) return UsageError(command + " needs a tag or handle and a text");
        std::string text = args.positional[1];
        if (command == "comment" && text == "-") {
            text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        }
        return command == "comment" ? RunComment(common, ToWire(args.positional[0]), ToWire(text))
                                    : RunSmallComment(common, ToWire(args.positional[0]), ToWire(text));
    }
    if (command == "stats") {
        if (!positionals(0, 1)) return UsageError("stats takes at most one tag or handle");
        StatsOptions o;
        if (!args.positional.empty()) o.target = ToWire(args.positional[0]);
        o.tagFilter = tagFilter;
        o.areaFilter = areaFilter;
        o.csv = args.flags.count("--csv") != 0;
        return RunStats(common, o);
    }
    if (command == "sources") {
        if (!positionals(0, 0)) return UsageError("sources takes no arguments");
        return RunSources(common);
    }
    // history
    if (!positionals(0, 0)) return UsageError("history takes its alarm as --tag or --handle");
    HistoryOptions o;
    if (value("--tag") != nullptr && value("--handle") != nullptr) {
        return UsageError("use either --tag or --handle");
    }
    if (const std::string* v = value("--tag")) o.tag = ToWire(*v);
    if (const std::string* v = value("--handle")) {
        int32_t handle = 0;
        if (!ParseHandle(*v, handle)) return UsageError("--handle takes a decimal or 0x number");
        o.handle = *v;
    }
    if (const std::string* v = value("--source")) {
        if (!ParseWhole(*v, 0, 255, n)) return UsageError("--source takes a source index");
        o.source = static_cast<int32_t>(n);
    }
    for (const char* name : {"--from", "--to"}) {
        const std::string* v = value(name);
        if (v == nullptr) continue;
        int64_t seconds = 0;
        if (!ParseLocalTime(*v, seconds) || seconds > INT32_MAX) {
            return UsageError(std::string(name) + " takes \"YYYY-MM-DD hh:mm\" or \"YYYY-MM-DD\"");
        }
        // "--to 2024-05-01" means up to the end of that day, as people read it.
        if (std::string_view(name) == "--to" && v->size() == 10) seconds += 86399;
        (std::string_view(name) == "--from" ? o.from : o.to) = seconds;
    }
    if (o.to != 0 && o.from > o.to) return UsageError("--from is after --to");
    o.tagFilter = tagFilter;
    o.areaFilter = areaFilter;
    o.comments = args.flags.count("--comments") != 0;
    o.csv = args.flags.count("--csv") != 0;
    return RunHistory(common, o);
}
