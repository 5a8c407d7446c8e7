#include "tools/alarm-cli/alarm_table.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "platform/text.h"

namespace alarmcli {

using heraldon::net::ClientPacketBuilder;
using heraldon::net::ClientPayloadReader;

// Server text may hold anything, including escape sequences. Line breaks survive only
// where the caller asks for them (CSV quotes them).
std::string DisplayText(std::string_view ansi, bool keepLineBreaks) {
    std::string utf8 = platform::text::AnsiToUtf8(ansi);
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x20 || c == 0x7F) {
            bool lineBreak = c == '\n' || c == '\r';
            out.push_back(keepLineBreaks && lineBreak ? static_cast<char>(c) : ' ');
        } else if (c == 0xC2 && i + 1 < utf8.size() &&
                   static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
            // C1 controls: the bytes Windows-1252 leaves undefined come through as these.
            out.push_back('?');
            ++i;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

namespace {

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

size_t CharCount(std::string_view utf8) {
    size_t n = 0;
    for (char c : utf8) n += IsContinuation(c) ? 0 : 1;
    return n;
}

// The byte offset after the first n characters.
size_t ByteOffsetOfChar(std::string_view utf8, size_t n) {
    size_t i = 0;
    for (size_t seen = 0; i < utf8.size(); ++i) {
        if (!IsContinuation(utf8[i])) {
            if (seen == n) break;
            ++seen;
        }
    }
    return i;
}

time_t WireSeconds(int32_t seconds) {
    // The server sends the low 32 bits of 64-bit times; read unsigned they stay right
    // until 2106 instead of turning negative in 2038.
    return static_cast<time_t>(static_cast<uint32_t>(seconds));
}

uint32_t SortKey(int32_t seconds) { return static_cast<uint32_t>(seconds); }

}  // namespace

bool ReadStatusBlock(ClientPayloadReader& r, AlarmStatus& s) {
    r.Int32(s.activeTime);
    r.Int32(s.inActiveTime);
    r.Int32(s.ackedTime);
    r.Int32(s.disabledTime);
    r.Int32(s.disabledExpireTime);
    r.String(s.lastAckedBy, 255);
    r.String(s.lastDisabledBy, 255);
    r.Int32(s.repeatedSinceLastAck);
    r.Int32(s.state);
    r.Int32(s.activeMillisecond);
    r.Int32(s.inActiveMillisecond);
    r.Int32(s.paging);
    r.Int32(s.lastEventTime);
    r.Int32(s.lastEventMillisecond);
    return r.Ok();
}

bool DecodeAlarm(const uint8_t* payload, size_t size, AlarmRow& row) {
    ClientPayloadReader r(payload, size);
    AlarmRow out;
    r.Int32(out.handle);
    r.Int32(out.version);
    r.String(out.tag, 255);
    r.String(out.name, 255);
    r.String(out.description, 255);
    r.String(out.smallComment, 255);
    r.String(out.help, 255);
    r.String(out.sumState, 255);
    r.Int32(out.area);
    r.Int32(out.category);
    r.Int32(out.privilege);
    r.Int32(out.scadaHandle);
    for (std::string& custom : out.custom) r.String(custom, 255);
    r.String(out.pagingGroup, 255);
    if (!ReadStatusBlock(r, out.status)) return false;
    row = std::move(out);
    return true;
}

bool DecodeAlarmStatus(const uint8_t* payload, size_t size, int32_t& handle, AlarmStatus& status) {
    ClientPayloadReader r(payload, size);
    int32_t h = 0;
    AlarmStatus s;
    r.Int32(h);
    if (!ReadStatusBlock(r, s)) return false;
    handle = h;
    status = std::move(s);
    return true;
}

namespace {

void WriteStatusBlock(ClientPacketBuilder& b, const AlarmStatus& s) {
    b.Int32(s.activeTime).Int32(s.inActiveTime).Int32(s.ackedTime).Int32(s.disabledTime);
    b.Int32(s.disabledExpireTime).String(s.lastAckedBy).String(s.lastDisabledBy);
    b.Int32(s.repeatedSinceLastAck).Int32(s.state).Int32(s.activeMillisecond);
    b.Int32(s.inActiveMillisecond).Int32(s.paging).Int32(s.lastEventTime);
    b.Int32(s.lastEventMillisecond);
}

}  // namespace

std::string EncodeAlarm(const AlarmRow& row) {
    ClientPacketBuilder b(heraldon::net::kAlarmPacketBuffer);
    b.Int32(row.handle).Int32(row.version).String(row.tag).String(row.name);
    b.String(row.description).String(row.smallComment).String(row.help).String(row.sumState);
    b.Int32(row.area).Int32(row.category).Int32(row.privilege).Int32(row.scadaHandle);
    for (const std::string& custom : row.custom) b.String(custom);
    b.String(row.pagingGroup);
    WriteStatusBlock(b, row.status);
    return b.Payload();
}

std::string EncodeAlarmStatus(int32_t handle, const AlarmStatus& status) {
    ClientPacketBuilder b(heraldon::net::kStatusPacketBuffer);
    b.Int32(handle);
    WriteStatusBlock(b, status);
    return b.Payload();
}

int64_t AlarmStatistics::Last24Hours() const {
    int64_t sum = 0;
    for (int32_t n : hours) sum += n;
    return sum;
}

int64_t AlarmStatistics::Last7Days() const {
    int64_t sum = 0;
    for (int d = 0; d < 7; ++d) sum += days[d];
    return sum;
}

bool DecodeStatistics(const uint8_t* payload, size_t size, AlarmStatistics& stats) {
    ClientPayloadReader r(payload, size);
    AlarmStatistics out;
    r.Int32(out.handle);
    r.Int32(out.total);
    for (int32_t& n : out.hours) r.Int32(n);
    for (int32_t& n : out.days) r.Int32(n);
    if (!r.Ok()) return false;
    stats = out;
    return true;
}

bool DecodeHistory(const uint8_t* payload, size_t size, HistoryRecord& record) {
    ClientPayloadReader r(payload, size);
    HistoryRecord out;
    r.Int32(out.handle);
    r.Int32(out.time);
    r.Int32(out.millisecond);
    r.Int32(out.eventType);
    r.String(out.user);
    r.String(out.comment);
    if (!r.Ok()) return false;
    record = std::move(out);
    return true;
}

std::string EventTypeName(int32_t type) {
    switch (type) {
        case 0: return "InActive";
        case 1: return "Active";
        case 2: return "Acked";
        case 3: return "Disable";
        case 4: return "Enable";
        case 256: return "Comment";
        default: return "Unknown";
    }
}

std::string StateText(int32_t state) {
    switch (state) {
        case kStateNormal: return "Normal";
        case kStateActiveUnacked: return "Active unacked";
        case kStateActiveAcked: return "Active acked";
        case kStateInactiveUnacked: return "Inactive unacked";
        case kStateDisabled: return "Disabled";
        case kStateRemoved: return "Removed";
        default: return "State " + std::to_string(state);
    }
}

std::string FormatLocalTime(int32_t seconds, int millisecond) {
    if (seconds == 0 || seconds == -1) return "";
    // Already wall-clock time: read as UTC so that no zone is applied a second time.
    time_t t = WireSeconds(seconds);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return "";
    char text[48];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    if (millisecond >= 0) {
        std::snprintf(text + n, sizeof text - n, ".%03d", std::min(millisecond, 999));
    }
    return text;
}

std::string FormatUtcTime(int32_t seconds) {
    if (seconds == 0 || seconds == -1) return "";
    time_t t = WireSeconds(seconds);
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr) return "";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

bool ParseLocalTime(std::string_view text, int64_t& seconds) {
    std::string s(text);
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, used = 0;
    int fields = std::sscanf(s.c_str(), "%4d-%2d-%2d%n %2d:%2d%n:%2d%n", &y, &mo, &d, &used, &h, &mi,
                             &used, &sec, &used);
    // Exactly the date, the date and minutes, or the date and seconds; nothing after it.
    if ((fields != 3 && fields != 5 && fields != 6) || static_cast<size_t>(used) != s.size()) {
        return false;
    }
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 59 ||
        h < 0 || mi < 0 || sec < 0) {
        return false;
    }
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = sec;
    time_t t = timegm(&tm);
    // timegm rolls 31 April over into May; such a date was a typing error.
    if (t == static_cast<time_t>(-1) || tm.tm_mday != d) return false;
    seconds = static_cast<int64_t>(t);
    return true;
}

int32_t AckedOrInactiveTime(const AlarmStatus& s) {
    uint32_t active = SortKey(s.activeTime);
    int32_t best = 0;
    for (int32_t t : {s.ackedTime, s.inActiveTime}) {
        if (t == 0 || t == -1 || SortKey(t) < active) continue;
        if (best == 0 || SortKey(t) > SortKey(best)) best = t;
    }
    return best;
}

std::string CsvField(std::string_view utf8) {
    bool quote = !utf8.empty() && (utf8.front() == ' ' || utf8.back() == ' ');
    for (char c : utf8) {
        if (c == ',' || c == '"' || c == '\n' || c == '\r') quote = true;
    }
    if (!quote) return std::string(utf8);
    std::string out = "\"";
    for (char c : utf8) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string CsvHeader() {
    return "handle,source,state,state_text,active_time,inactive_time,acked_time,disabled_time,"
           "disabled_expire_time,tag,name,description,area,category,small_comment,acked_by,"
           "disabled_by,repeated";
}

std::string CsvLine(const AlarmRow& row) {
    const AlarmStatus& s = row.status;
    char handle[16];
    std::snprintf(handle, sizeof handle, "0x%08X", static_cast<uint32_t>(row.handle));
    std::vector<std::string> fields = {
        handle,
        std::to_string(row.SourceIndex()),
        std::to_string(s.state),
        StateText(s.state),
        FormatLocalTime(s.activeTime, s.activeMillisecond),
        FormatLocalTime(s.inActiveTime, s.inActiveMillisecond),
        FormatLocalTime(s.ackedTime),
        FormatLocalTime(s.disabledTime),
        FormatUtcTime(s.disabledExpireTime),
        DisplayText(row.tag, true),
        DisplayText(row.name, true),
        DisplayText(row.description, true),
        std::to_string(row.area),
        std::to_string(row.category),
        DisplayText(row.smallComment, true),
        DisplayText(s.lastAckedBy, true),
        DisplayText(s.lastDisabledBy, true),
        std::to_string(s.repeatedSinceLastAck),
    };
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out.push_back(',');
        out += CsvField(fields[i]);
    }
    return out;
}

std::string CutToWidth(std::string_view utf8, size_t width) {
    if (CharCount(utf8) <= width) return std::string(utf8);
    if (width == 0) return "";
    // A mark at the cut tells the reader that the text goes on.
    return std::string(utf8.substr(0, ByteOffsetOfChar(utf8, width - 1))) + "~";
}

std::string FitColumn(std::string_view utf8, size_t width) {
    std::string out = CutToWidth(utf8, width);
    size_t n = CharCount(out);
    if (n < width) out.append(width - n, ' ');
    return out;
}

namespace {

constexpr size_t kStateWidth = 16;
constexpr size_t kTimeWidth = 19;
constexpr size_t kTagWidth = 24;
constexpr size_t kNameWidth = 24;

std::string JoinColumns(std::string_view state, std::string_view active, std::string_view later,
                        std::string_view tag, std::string_view name, std::string_view description) {
    std::string out = FitColumn(state, kStateWidth);
    out += "  " + FitColumn(active, kTimeWidth);
    out += "  " + FitColumn(later, kTimeWidth);
    out += "  " + FitColumn(tag, kTagWidth);
    out += "  " + FitColumn(name, kNameWidth);
    out += "  ";
    out += description;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

std::string TableHeader() {
    return JoinColumns("State", "Active", "Acked/Inactive", "Tag", "Name", "Description");
}

std::string TableLine(const AlarmRow& row) {
    const AlarmStatus& s = row.status;
    return JoinColumns(StateText(s.state), FormatLocalTime(s.activeTime),
                       FormatLocalTime(AckedOrInactiveTime(s)), DisplayText(row.tag, false),
                       DisplayText(row.name, false), DisplayText(row.description, false));
}

bool AlarmTable::Visible(const AlarmRow& row) const {
    if (row.status.state == kStateRemoved) return false;
    return showNormal_ || row.status.state != kStateNormal;
}

RowChange AlarmTable::Classify(bool wasVisible, bool isVisible, bool changed) const {
    if (!wasVisible && isVisible) return RowChange::Added;
    if (wasVisible && !isVisible) return RowChange::Removed;
    if (wasVisible && changed) return RowChange::Changed;
    return RowChange::None;
}

RowChange AlarmTable::Apply(const AlarmRow& row) {
    auto it = rows_.find(row.handle);
    if (it == rows_.end()) {
        rows_.emplace(row.handle, row);
        return Classify(false, Visible(row), true);
    }
    bool wasVisible = Visible(it->second);
    bool changed = !(it->second == row);
    it->second = row;
    return Classify(wasVisible, Visible(row), changed);
}

RowChange AlarmTable::ApplyStatus(int32_t handle, const AlarmStatus& status) {
    auto it = rows_.find(handle);
    if (it == rows_.end()) return RowChange::None;
    bool wasVisible = Visible(it->second);
    bool changed = !(it->second.status == status);
    it->second.status = status;
    return Classify(wasVisible, Visible(it->second), changed);
}

const AlarmRow* AlarmTable::Find(int32_t handle) const {
    auto it = rows_.find(handle);
    return it == rows_.end() ? nullptr : &it->second;
}

const AlarmRow* AlarmTable::FindTag(std::string_view tagAnsi) const {
    for (const auto& [handle, row] : rows_) {
        if (platform::text::EqualsNoCase(row.tag, tagAnsi)) return &row;
    }
    return nullptr;
}

std::vector<const AlarmRow*> AlarmTable::VisibleRows() const {
    std::vector<const AlarmRow*> out;
    for (const auto& [handle, row] : rows_) {
        if (Visible(row)) out.push_back(&row);
    }
    std::sort(out.begin(), out.end(), [](const AlarmRow* a, const AlarmRow* b) {
        uint32_t ta = SortKey(a->status.activeTime), tb = SortKey(b->status.activeTime);
        if (ta != tb) return ta > tb;
        if (a->status.activeMillisecond != b->status.activeMillisecond) {
            return a->status.activeMillisecond > b->status.activeMillisecond;
        }
        return a->handle < b->handle;
    });
    return out;
}

}  // namespace alarmcli
