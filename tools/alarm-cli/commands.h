// The alarm-cli commands. Each opens its own connection and returns the process exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace alarmcli {

constexpr int kExitOk = 0;
constexpr int kExitConnection = 1;
constexpr int kExitUsage = 2;

struct CommonOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 49877;
    std::string user;  // Windows-1252, as it goes on the wire
    int timeoutSeconds = 10;
};

struct ListOptions {
    std::string tagFilter;  // Windows-1252
    std::string areaFilter;
    std::vector<int32_t> sources;  // empty: every source the server announced
    bool all = false;              // normal alarms too
    bool csv = false;
};

enum class AlarmCommand { Ack, Disable, Enable };

struct CommandOptions {
    AlarmCommand command = AlarmCommand::Ack;
    std::vector<std::string> targets;  // tags (Windows-1252) or handles as typed
    std::string comment;
    int32_t durationSeconds = 0;
};

struct StatsOptions {
    std::string target;  // empty: every alarm
    std::string tagFilter;
    std::string areaFilter;
    bool csv = false;
};

struct HistoryOptions {
    std::string tag;  // an alarm in use, resolved to its handle
    std::string handle;
    int32_t source = -1;
    int64_t from = 0;  // local wall-clock seconds; 0: from the oldest record
    int64_t to = 0;    // 0: up to the newest record
    std::string tagFilter;
    std::string areaFilter;
    bool comments = false;
    bool csv = false;
};

int RunWatch(const CommonOptions& common, const ListOptions& options);
int RunList(const CommonOptions& common, const ListOptions& options);
int RunAlarmCommand(const CommonOptions& common, const CommandOptions& options);
int RunComment(const CommonOptions& common, const std::string& target, const std::string& text);
int RunSmallComment(const CommonOptions& common, const std::string& target, const std::string& text);
int RunStats(const CommonOptions& common, const StatsOptions& options);
int RunSources(const CommonOptions& common);
int RunHistory(const CommonOptions& common, const HistoryOptions& options);

// Numbers as handles: decimal or 0x hexadecimal, the whole text.
bool ParseHandle(const std::string& text, int32_t& handle);


}  // namespace alarmcli
