#include "tools/alarm-cli/commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/console.h"
#include "server/net/client_protocol.h"
#include "tools/alarm-cli/alarm_table.h"
#include "tools/alarm-cli/client_link.h"

namespace alarmcli {

namespace net = heraldon::net;
namespace clock = platform::clock;
using net::ClientPacketBuilder;

namespace {

// The server reads the user of a command into 64 bytes.
constexpr size_t kCommandUserMax = 63;
constexpr size_t kSmallCommentMax = 99;
// The server answers a comment request in one packet of at most this many bytes.
constexpr size_t kCommentReplyMax = 0x1FFF0;
// A terminal is redrawn at most this often, however fast the alarms come.
constexpr int kRedrawIntervalMs = 200;

void Error(const std::string& message) {
    std::fprintf(stderr, "alarm-cli: %s\n", message.c_str());
}

void PrintLine(std::string line) {
    // Empty last columns would leave blanks at the end of the line.
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

int TimeoutMs(const CommonOptions& common) { return common.timeoutSeconds * 1000; }

std::string HandleText(int32_t handle) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(handle));
    return text;
}

std::string TargetName(const AlarmTable& table, int32_t handle) {
    const AlarmRow* row = table.Find(handle);
    return row != nullptr ? DisplayText(row->tag) : HandleText(handle);
}

int32_t SourceOfHandle(int32_t handle) {
    return static_cast<int32_t>(static_cast<uint32_t>(handle) >> 24);
}

bool OpenLink(const CommonOptions& common, ClientLink& link) {
    std::string error;
    if (link.Open(common.host, common.port, common.user, TimeoutMs(common), error)) return true;
    Error(error);
    return false;
}

enum class Wait { Done, Timeout, Closed };

int ReportWait(Wait wait, const ClientLink& link, const CommonOptions& common) {
    if (wait == Wait::Closed) {
        Error("connection to " + link.Endpoint() + " closed");
    } else {
        Error("no answer from " + link.Endpoint() + " within " +
              std::to_string(common.timeoutSeconds) + " s");
    }
    return kExitConnection;
}

// Applies the alarm packets of the live distribution; false for any other packet.
bool ApplyAlarmPacket(const Packet& packet, AlarmTable& table, const std::set<int32_t>& sources,
                      int32_t& handle, RowChange& change) {
    change = RowChange::None;
    if (packet.type == net::PACKET_TYPE_ALARM) {
        AlarmRow row;
        if (!DecodeAlarm(packet.Data(), packet.Size(), row)) return true;
        handle = row.handle;
        // The server sends every matching event to every list, asked for its source or not.
        if (!sources.empty() && sources.count(row.SourceIndex()) == 0) return true;
        change = table.Apply(row);
        return true;
    }
    if (packet.type == net::PACKET_TYPE_ALARM_STATUS) {
        AlarmStatus status;
        if (!DecodeAlarmStatus(packet.Data(), packet.Size(), handle, status)) return true;
        if (!sources.empty() && sources.count(SourceOfHandle(handle)) == 0) return true;
        change = table.ApplyStatus(handle, status);
        return true;
    }
    return false;
}

// Reads until endType arrives, keeping the table current on the way. The wait is for the
// next packet, not for the whole answer, so that a long answer is never cut off while it
// still flows.
Wait ReadUntil(ClientLink& link, AlarmTable& table, uint32_t endType, int idleMs,
               const std::set<int32_t>& sources = {},
               const std::function<void(const Packet&)>& other = {}) {
    Packet packet;
    for (;;) {
        ReadResult result = link.Next(packet, idleMs);
        if (result == ReadResult::Closed) return Wait::Closed;
        if (result == ReadResult::Timeout) return Wait::Timeout;
        if (packet.type == endType) return Wait::Done;
        int32_t handle = 0;
        RowChange change;
        if (!ApplyAlarmPacket(packet, table, sources, handle, change) && other) other(packet);
    }
}

std::vector<int32_t> AllSources(const ClientLink& link) {
    std::vector<int32_t> out;
    for (const SourceInfo& s : link.Sources()) out.push_back(s.index);
    return out;
}

bool SendListRequest(ClientLink& link, bool all, const std::string& tagFilter,
                     const std::string& areaFilter, const std::vector<int32_t>& sources) {
    ClientPacketBuilder b;
    b.String(tagFilter).String(areaFilter).Int32(-1).Int32(static_cast<int32_t>(sources.size()));
    for (int32_t index : sources) b.Int32(index);
    return link.Send(all ? net::PACKET_TYPE_GET_ALL_ALARMS : net::PACKET_TYPE_GET_ALARMS,
                     b.Payload());
}

// Every alarm in use, for turning tags into handles and handles into tags.
Wait FetchAll(ClientLink& link, AlarmTable& table, const CommonOptions& common) {
    if (!SendListRequest(link, true, "", "", AllSources(link))) return Wait::Closed;
    return ReadUntil(link, table, net::PACKET_TYPE_ALARMS_END, TimeoutMs(common));
}

// A target as the operator typed it: a tag as shown (any case) or a handle. A tag wins
// over a number that happens to read the same.
bool ResolveTarget(const AlarmTable& table, const std::string& target, int32_t& handle) {
    if (const AlarmRow* row = table.FindTag(target)) {
        handle = row->handle;
        return true;
    }
    int32_t parsed = 0;
    if (ParseHandle(target, parsed) && table.Find(parsed) != nullptr) {
        handle = parsed;
        return true;
    }
    return false;
}

void ReportUnknown(const std::string& target) {
    Error("no alarm with the tag or handle '" + DisplayText(target) + "'");
}

// Session setup shared by the commands that name alarms.
int OpenWithList(const CommonOptions& common, ClientLink& link, AlarmTable& table) {
    if (!OpenLink(common, link)) return kExitConnection;
    Wait wait = FetchAll(link, table, common);
    if (wait != Wait::Done) return ReportWait(wait, link, common);
    return kExitOk;
}

std::string StatusSummary(const AlarmStatus& s) {
    std::string text = StateText(s.state);
    if (s.state == kStateDisabled && s.disabledExpireTime != 0 && s.disabledExpireTime != -1) {
        text += " until " + FormatUtcTime(s.disabledExpireTime);
    }
    return text;
}

bool ExpectsEffect(AlarmCommand command, int32_t state) {
    switch (command) {
        case AlarmCommand::Ack: return state == kStateActiveUnacked || state == kStateInactiveUnacked;
        case AlarmCommand::Disable: return state != kStateDisabled;
        case AlarmCommand::Enable: return state == kStateDisabled;
    }
    return false;
}

// Terminal size, for cutting the screen to what fits; a fallback when stdout is no tty.
void TerminalSize(int& rows, int& columns) {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
        rows = ws.ws_row;
        columns = ws.ws_col;
    } else {
        rows = 24;
        columns = 80;
    }
}

std::string NowText() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &tm);
    return text;
}

std::string Joined(const std::vector<std::string>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out.push_back(',');
        out += CsvField(fields[i]);
    }
    return out;
}

}  // namespace

bool ParseHandle(const std::string& text, int32_t& handle) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull) return false;
    handle = static_cast<int32_t>(static_cast<uint32_t>(value));
    return true;
}

int RunList(const CommonOptions& common, const ListOptions& options) {
    ClientLink link;
    if (!OpenLink(common, link)) return kExitConnection;
    std::vector<int32_t> sources = options.sources.empty() ? AllSources(link) : options.sources;
    std::set<int32_t> wanted(options.sources.begin(), options.sources.end());
    AlarmTable table(options.all);
    if (!SendListRequest(link, options.all, options.tagFilter, options.areaFilter, sources)) {
        return ReportWait(Wait::Closed, link, common);
    }
    Wait wait = ReadUntil(link, table, net::PACKET_TYPE_ALARMS_END, TimeoutMs(common), wanted);
    if (wait != Wait::Done) return ReportWait(wait, link, common);
    PrintLine(options.csv ? CsvHeader() : TableHeader());
    for (const AlarmRow* row : table.VisibleRows()) {
        PrintLine(options.csv ? CsvLine(*row) : TableLine(*row));
    }
    return kExitOk;
}

int RunWatch(const CommonOptions& common, const ListOptions& options) {
    ClientLink link;
    if (!OpenLink(common, link)) return kExitConnection;
    std::vector<int32_t> sources = options.sources.empty() ? AllSources(link) : options.sources;
    std::set<int32_t> wanted(options.sources.begin(), options.sources.end());
    AlarmTable table(options.all);
    if (!SendListRequest(link, options.all, options.tagFilter, options.areaFilter, sources)) {
        return ReportWait(Wait::Closed, link, common);
    }
    platform::console::InstallStopSignals();
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    bool listComplete = false;
    bool dirty = true;
    int64_t lastDrawMs = 0;
    int lastRows = 0, lastColumns = 0;
    // Without a terminal every change is one line; the same line twice is no change, which
    // hides the status that follows each full object of an event.
    std::map<int32_t, std::string> printed;

    auto printChange = [&](int32_t handle) {
        const AlarmRow* row = table.Find(handle);
        if (row == nullptr) return;
        std::string line = TableLine(*row);
        std::string& last = printed[handle];
        if (line == last) return;
        last = line;
        PrintLine(line);
        std::fflush(stdout);
    };

    auto draw = [&]() {
        int rows = 0, columns = 0;
        TerminalSize(rows, columns);
        lastRows = rows;
        lastColumns = columns;
        std::vector<const AlarmRow*> visible = table.VisibleRows();
        int running = 0;
        for (const SourceInfo& s : link.Sources()) running += s.running != 0 ? 1 : 0;
        std::string title = "alarm-cli watch " + link.Endpoint() + "   " +
                            std::to_string(visible.size()) + " alarms   sources running " +
                            std::to_string(running) + "/" + std::to_string(link.Sources().size()) +
                            "   " + NowText();
        if (!listComplete) title += "   (loading)";
        if (link.Standby()) title += "   SERVER IS STANDBY";
        std::string screen = "\x1b[H\x1b[2J";
        auto add = [&](const std::string& line) {
            screen += CutToWidth(line, static_cast<size_t>(columns));
            screen += "\r\n";
        };
        add(title);
        add(TableHeader());
        // Title, header and the line that says how many did not fit.
        size_t room = rows > 3 ? static_cast<size_t>(rows - 3) : 0;
        for (size_t i = 0; i < visible.size() && i < room; ++i) add(TableLine(*visible[i]));
        if (visible.size() > room) add("... " + std::to_string(visible.size() - room) + " more");
        std::fwrite(screen.data(), 1, screen.size(), stdout);
        std::fflush(stdout);
        lastDrawMs = clock::MonotonicMs();
        dirty = false;
    };

    if (!terminal) {
        PrintLine(TableHeader());
        std::fflush(stdout);
    }
    Packet packet;
    while (!platform::console::StopRequested()) {
        if (terminal) {
            int rows = 0, columns = 0;
            TerminalSize(rows, columns);
            if (rows != lastRows || columns != lastColumns) dirty = true;
            if (dirty && clock::MonotonicMs() - lastDrawMs >= kRedrawIntervalMs) draw();
        }
        // Short waits keep Ctrl-C and the redraw pace responsive.
        int waitMs = kRedrawIntervalMs;
        if (terminal && dirty) {
            waitMs = static_cast<int>(std::clamp<int64_t>(
                lastDrawMs + kRedrawIntervalMs - clock::MonotonicMs(), 0, kRedrawIntervalMs));
        }
        ReadResult result = link.Next(packet, waitMs);
        if (result == ReadResult::Timeout) continue;
        if (result == ReadResult::Closed) {
            if (terminal) draw();
            return ReportWait(Wait::Closed, link, common);
        }
        int32_t handle = 0;
        RowChange change;
        if (ApplyAlarmPacket(packet, table, wanted, handle, change)) {
            if (change == RowChange::None) continue;
            dirty = true;
            if (!terminal && listComplete) printChange(handle);
        } else if (packet.type == net::PACKET_TYPE_ALARMS_END) {
            if (!listComplete && !terminal) {
                for (const AlarmRow* row : table.VisibleRows()) printChange(row->handle);
            }
            listComplete = true;
            dirty = true;
        } else if (packet.type == net::PACKET_TYPE_ALARMSOURCE_STATUS ||
                   packet.type == net::PACKET_TYPE_SERVER_STANDBY) {
            dirty = true;
            if (!terminal && packet.type == net::PACKET_TYPE_SERVER_STANDBY) {
                Error(link.Endpoint() + " has become the standby server");
            }
        }
    }
    if (terminal) draw();
    return kExitOk;
}

int RunAlarmCommand(const CommonOptions& common, const CommandOptions& options) {
    ClientLink link;
    AlarmTable table(true);
    if (int rc = OpenWithList(common, link, table); rc != kExitOk) return rc;

    std::vector<int32_t> handles;
    bool unknown = false;
    for (const std::string& target : options.targets) {
        int32_t handle = 0;
        if (!ResolveTarget(table, target, handle)) {
            ReportUnknown(target);
            unknown = true;
        } else if (std::find(handles.begin(), handles.end(), handle) == handles.end()) {
            handles.push_back(handle);
        }
    }
    // Nothing is sent unless every target is known: half a command is worse than none.
    if (unknown) return kExitUsage;

    uint32_t type = options.command == AlarmCommand::Ack       ? net::PACKET_TYPE_ACK
                    : options.command == AlarmCommand::Disable ? net::PACKET_TYPE_DISABLE
                                                               : net::PACKET_TYPE_ENABLE;
    std::map<int32_t, AlarmStatus> before;
    std::set<int32_t> pending;
    for (int32_t handle : handles) {
        const AlarmStatus& status = table.Find(handle)->status;
        before[handle] = status;
        if (ExpectsEffect(options.command, status.state)) pending.insert(handle);
        ClientPacketBuilder b;
        b.Int32(handle).String(common.user.substr(0, kCommandUserMax)).String(options.comment);
        if (options.command == AlarmCommand::Disable) b.Int32(options.durationSeconds);
        if (!link.Send(type, b.Payload())) return ReportWait(Wait::Closed, link, common);
    }

    // The server does not answer commands; the event they cause is the answer, when it
    // comes. The wait is bounded as a whole, as other alarms may keep the line busy.
    int64_t deadline = clock::MonotonicMs() + TimeoutMs(common);
    Packet packet;
    while (!pending.empty()) {
        int64_t left = deadline - clock::MonotonicMs();
        if (left <= 0) break;
        ReadResult result = link.Next(packet, static_cast<int>(left));
        if (result == ReadResult::Timeout) break;
        if (result == ReadResult::Closed) return ReportWait(Wait::Closed, link, common);
        int32_t handle = 0;
        RowChange change;
        if (!ApplyAlarmPacket(packet, table, {}, handle, change)) continue;
        if (pending.count(handle) == 0) continue;
        const AlarmRow* row = table.Find(handle);
        if (row != nullptr && !(row->status == before[handle])) pending.erase(handle);
    }

    for (int32_t handle : handles) {
        const AlarmStatus& was = before[handle];
        const AlarmStatus& now = table.Find(handle)->status;
        std::string line = TargetName(table, handle) + ": ";
        if (StatusSummary(was) != StatusSummary(now)) {
            line += StatusSummary(was) + " -> " + StatusSummary(now);
        } else if (pending.count(handle) != 0) {
            line += "still " + StatusSummary(now) + "; no change seen within " +
                    std::to_string(common.timeoutSeconds) + " s";
        } else {
            line += "unchanged (" + StatusSummary(now) + ")";
        }
        PrintLine(line);
    }
    return kExitOk;
}

namespace {

struct CommentReply {
    std::string path;
    std::string text;
};

// One comment request and its answer.
Wait RequestComment(ClientLink& link, AlarmTable& table, const AlarmRow& row, int idleMs,
                    CommentReply& reply) {
    ClientPacketBuilder b;
    b.Int32(row.handle).String(row.tag);
    if (!link.Send(net::PACKET_TYPE_GET_COMMENT, b.Payload())) return Wait::Closed;
    bool found = false;
    Packet packet;
    for (;;) {
        ReadResult result = link.Next(packet, idleMs);
        if (result == ReadResult::Closed) return Wait::Closed;
        if (result == ReadResult::Timeout) return Wait::Timeout;
        int32_t handle = 0;
        RowChange change;
        if (ApplyAlarmPacket(packet, table, {}, handle, change)) continue;
        if (packet.type != net::PACKET_TYPE_COMMENT) continue;
        net::ClientPayloadReader r(packet.Data(), packet.Size());
        std::string tag;
        CommentReply got;
        r.Int32(handle);
        r.String(tag);
        r.String(got.path);
        r.Bytes32(got.text);
        if (r.Ok() && handle == row.handle) {
            reply = std::move(got);
            found = true;
        }
        if (found) return Wait::Done;
    }
}

}  // namespace

int RunComment(const CommonOptions& common, const std::string& target, const std::string& text) {
    ClientLink link;
    AlarmTable table(true);
    if (int rc = OpenWithList(common, link, table); rc != kExitOk) return rc;
    int32_t handle = 0;
    if (!ResolveTarget(table, target, handle)) {
        ReportUnknown(target);
        return kExitUsage;
    }
    const AlarmRow row = *table.Find(handle);
    const std::string name = DisplayText(row.tag);

    // The server names the file; writing goes to exactly the path it gave.
    CommentReply old;
    Wait wait = RequestComment(link, table, row, TimeoutMs(common), old);
    if (wait != Wait::Done) return ReportWait(wait, link, common);
    if (old.path.empty()) {
        Error(name + ": the server knows no alarm source for this alarm");
        return kExitUsage;
    }
    // What the server could not hand back in one answer would be lost to every reader.
    size_t room = kCommentReplyMax - (4 + 2 + row.tag.size() + 2 + old.path.size() + 4);
    if (text.size() > room) {
        Error(name + ": a comment holds at most " + std::to_string(room) + " bytes");
        return kExitUsage;
    }
    ClientPacketBuilder b;
    b.Int32(row.handle).String(row.tag).String(old.path).Bytes32(text);
    if (!link.Send(net::PACKET_TYPE_SET_COMMENT, b.Payload())) {
        return ReportWait(Wait::Closed, link, common);
    }

    // The server answers nothing, but handles one connection's packets in order: reading
    // the comment back shows whether the file was written.
    CommentReply now;
    wait = RequestComment(link, table, row, TimeoutMs(common), now);
    if (wait != Wait::Done) return ReportWait(wait, link, common);
    if (now.text != text) {
        Error(name + ": the server did not store the comment in " + DisplayText(old.path));
        return kExitOk;
    }
    PrintLine(name + ": comment written to " + DisplayText(old.path) + " (" +
              std::to_string(text.size()) + " bytes, was " + std::to_string(old.text.size()) +
              " bytes)");
    return kExitOk;
}

int RunSmallComment(const CommonOptions& common, const std::string& target, const std::string& text) {
    if (text.size() > kSmallCommentMax) {
        Error("a small comment holds at most " + std::to_string(kSmallCommentMax) + " characters");
        return kExitUsage;
    }
    ClientLink link;
    AlarmTable table(true);
    if (int rc = OpenWithList(common, link, table); rc != kExitOk) return rc;
    int32_t handle = 0;
    if (!ResolveTarget(table, target, handle)) {
        ReportUnknown(target);
        return kExitUsage;
    }
    const std::string name = DisplayText(table.Find(handle)->tag);
    const std::string old = table.Find(handle)->smallComment;
    ClientPacketBuilder b;
    b.Int32(handle).String(text);
    if (!link.Send(net::PACKET_TYPE_SET_SMALLCOMMENT, b.Payload())) {
        return ReportWait(Wait::Closed, link, common);
    }
    if (old == text) {
        PrintLine(name + ": small comment unchanged ('" + DisplayText(text) + "')");
        return kExitOk;
    }
    // The changed object comes back to every list that shows it, this one included.
    int64_t deadline = clock::MonotonicMs() + TimeoutMs(common);
    Packet packet;
    while (table.Find(handle)->smallComment != text) {
        int64_t left = deadline - clock::MonotonicMs();
        if (left <= 0) break;
        ReadResult result = link.Next(packet, static_cast<int>(left));
        if (result == ReadResult::Timeout) break;
        if (result == ReadResult::Closed) return ReportWait(Wait::Closed, link, common);
        int32_t h = 0;
        RowChange change;
        ApplyAlarmPacket(packet, table, {}, h, change);
    }
    const std::string now = table.Find(handle)->smallComment;
    if (now == text) {
        PrintLine(name + ": small comment '" + DisplayText(old) + "' -> '" + DisplayText(now) + "'");
    } else {
        PrintLine(name + ": small comment sent; no update seen within " +
                  std::to_string(common.timeoutSeconds) + " s (still '" + DisplayText(now) + "')");
    }
    return kExitOk;
}

int RunStats(const CommonOptions& common, const StatsOptions& options) {
    ClientLink link;
    AlarmTable table(true);
    if (int rc = OpenWithList(common, link, table); rc != kExitOk) return rc;
    int32_t handle = -1;
    if (!options.target.empty() && !ResolveTarget(table, options.target, handle)) {
        ReportUnknown(options.target);
        return kExitUsage;
    }
    ClientPacketBuilder b;
    b.Int32(0).Int32(handle).String(options.tagFilter).String(options.areaFilter);
    if (!link.Send(net::PACKET_TYPE_GET_STATISTICS, b.Payload())) {
        return ReportWait(Wait::Closed, link, common);
    }
    std::vector<AlarmStatistics> stats;
    Wait wait = ReadUntil(link, table, net::PACKET_TYPE_STATISTICS_END, TimeoutMs(common), {},
                          [&](const Packet& packet) {
                              AlarmStatistics s;
                              if (packet.type == net::PACKET_TYPE_STATISTICS &&
                                  DecodeStatistics(packet.Data(), packet.Size(), s)) {
                                  stats.push_back(s);
                              }
                          });
    if (wait != Wait::Done) return ReportWait(wait, link, common);

    if (options.csv) {
        PrintLine("handle,tag,total,last_24_hours,last_7_days");
    } else {
        PrintLine(FitColumn("Tag", 32) + "  " + FitColumn("Total", 10) + "  " +
                  FitColumn("24 hours", 10) + "  7 days");
    }
    for (const AlarmStatistics& s : stats) {
        std::string tag = table.Find(s.handle) != nullptr ? DisplayText(table.Find(s.handle)->tag)
                                                          : HandleText(s.handle);
        if (options.csv) {
            PrintLine(Joined({HandleText(s.handle), tag, std::to_string(s.total),
                              std::to_string(s.Last24Hours()), std::to_string(s.Last7Days())}));
        } else {
            PrintLine(FitColumn(tag, 32) + "  " + FitColumn(std::to_string(s.total), 10) + "  " +
                      FitColumn(std::to_string(s.Last24Hours()), 10) + "  " +
                      std::to_string(s.Last7Days()));
        }
    }
    return kExitOk;
}

int RunSources(const CommonOptions& common) {
    ClientLink link;
    if (!OpenLink(common, link)) return kExitConnection;
    PrintLine(FitColumn("Index", 6) + "  " + FitColumn("Name", 24) + "  " +
              FitColumn("Description", 32) + "  " + FitColumn("Enabled", 8) + "  Running");
    for (const SourceInfo& s : link.Sources()) {
        PrintLine(FitColumn(std::to_string(s.index), 6) + "  " + FitColumn(DisplayText(s.name), 24) +
                  "  " + FitColumn(DisplayText(s.description), 32) + "  " +
                  FitColumn(s.enabled != 0 ? "yes" : "no", 8) + "  " +
                  (s.running != 0 ? "yes" : "no"));
    }
    return kExitOk;
}

int RunHistory(const CommonOptions& common, const HistoryOptions& options) {
    ClientLink link;
    AlarmTable table(true);
    if (int rc = OpenWithList(common, link, table); rc != kExitOk) return rc;

    int32_t handle = -1;
    if (!options.tag.empty() && !ResolveTarget(table, options.tag, handle)) {
        ReportUnknown(options.tag);
        return kExitUsage;
    }
    if (!options.handle.empty() && !ParseHandle(options.handle, handle)) {
        Error("'" + options.handle + "' is not a handle");
        return kExitUsage;
    }
    // The server ends each source it searched with its own end mark, and says nothing at
    // all for a source it does not have: count the marks to come before asking.
    int32_t sourceIndex = -1;
    size_t expectedEnds = link.Sources().size();
    if (handle != -1 || options.source >= 0) {
        int32_t index = handle != -1 ? SourceOfHandle(handle) : options.source;
        if (link.FindSource(index) == nullptr) {
            Error("the server has no alarm source " + std::to_string(index));
            return kExitUsage;
        }
        sourceIndex = index;
        expectedEnds = 1;
    }
    ClientPacketBuilder b;
    b.Int32(sourceIndex).Int32(handle).String(options.tagFilter).String(options.areaFilter);
    b.Int32(options.comments ? 1 : 0);
    b.Int32(static_cast<int32_t>(options.from)).Int32(static_cast<int32_t>(options.to));
    if (!link.Send(net::PACKET_TYPE_GET_HISTORY, b.Payload())) {
        return ReportWait(Wait::Closed, link, common);
    }

    if (options.csv) {
        PrintLine("handle,tag,time,event_type,event,user,comment");
    } else {
        PrintLine(FitColumn("Time", 23) + "  " + FitColumn("Event", 8) + "  " + FitColumn("Tag", 24) +
                  "  " + FitColumn("User", 16) + "  Comment");
    }
    size_t ends = 0;
    Packet packet;
    while (ends < expectedEnds) {
        ReadResult result = link.Next(packet, TimeoutMs(common));
        if (result != ReadResult::Packet) {
            std::fflush(stdout);
            return ReportWait(result == ReadResult::Closed ? Wait::Closed : Wait::Timeout, link,
                              common);
        }
        if (packet.type == net::PACKET_TYPE_HISTORY_END) {
            ++ends;
            continue;
        }
        int32_t h = 0;
        RowChange change;
        if (ApplyAlarmPacket(packet, table, {}, h, change)) continue;
        HistoryRecord record;
        if (packet.type != net::PACKET_TYPE_HISTORY ||
            !DecodeHistory(packet.Data(), packet.Size(), record)) {
            continue;
        }
        std::string tag = TargetName(table, record.handle);
        std::string time = FormatLocalTime(record.time, record.millisecond);
        if (options.csv) {
            PrintLine(Joined({HandleText(record.handle), tag, time, std::to_string(record.eventType),
                              EventTypeName(record.eventType), DisplayText(record.user, true),
                              DisplayText(record.comment, true)}));
        } else {
            PrintLine(FitColumn(time, 23) + "  " + FitColumn(EventTypeName(record.eventType), 8) +
                      "  " + FitColumn(tag, 24) + "  " + FitColumn(DisplayText(record.user), 16) +
                      "  " + DisplayText(record.comment));
        }
    }
    return kExitOk;
}

}  // namespace alarmcli
