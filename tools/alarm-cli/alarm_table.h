// The alarm list as alarm-cli sees it: decoding of the object and status blocks that the
// server sends, the rows kept per handle, and their text, table and CSV forms.
//
// Text fields hold the bytes as they came off the wire (Windows-1252); they are turned into
// UTF-8 only when formatted for people, so that tags compare exactly as the server compares
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "server/net/client_protocol.h"

namespace alarmcli {

constexpr int32_t kStateNormal = 0;
constexpr int32_t kStateActiveUnacked = 1;
constexpr int32_t kStateActiveAcked = 2;
constexpr int32_t kStateInactiveUnacked = 3;
constexpr int32_t kStateDisabled = 4;
constexpr int32_t kStateRemoved = 4096;

struct AlarmStatus {
    int32_t activeTime = 0;  // local wall-clock seconds, low 32 bits
    int32_t inActiveTime = 0;
    int32_t ackedTime = 0;
    int32_t disabledTime = 0;
    int32_t disabledExpireTime = 0;  // UTC seconds
    std::string lastAckedBy;
    std::string lastDisabledBy;
    int32_t repeatedSinceLastAck = 0;
    int32_t state = kStateNormal;
    int32_t activeMillisecond = 0;
    int32_t inActiveMillisecond = 0;
    int32_t paging = 0;
    int32_t lastEventTime = 0;
    int32_t lastEventMillisecond = 0;

    bool operator==(const AlarmStatus&) const = default;
};

struct AlarmRow {
    int32_t handle = 0;
    int32_t version = 0;
    std::string tag;  // with the source's tag prefix
    std::string name;
    std::string description;
    std::string smallComment;
    std::string help;
    std::string sumState;
    int32_t area = 0;
    int32_t category = 0;
    int32_t privilege = 0;
    int32_t scadaHandle = 0;
    std::string custom[8];
    std::string pagingGroup;
    AlarmStatus status;

    bool operator==(const AlarmRow&) const = default;
    int32_t SourceIndex() const { return static_cast<int32_t>(static_cast<uint32_t>(handle) >> 24); }
};

// Each returns false for a payload that is too short or whose counts run past its end.
bool ReadStatusBlock(heraldon::net::ClientPayloadReader& reader, AlarmStatus& status);
bool DecodeAlarm(const uint8_t* payload, size_t size, AlarmRow& row);
bool DecodeAlarmStatus(const uint8_t* payload, size_t size, int32_t& handle, AlarmStatus& status);

// The same encodings, for tests and fake servers.
std::string EncodeAlarm(const AlarmRow& row);
std::string EncodeAlarmStatus(int32_t handle, const AlarmStatus& status);

// The statistics of one alarm (PACKET_TYPE_STATISTICS).
struct AlarmStatistics {
    int32_t handle = 0;
    int32_t total = 0;
    int32_t hours[24] = {};  // slot h: activations during local hour h of the last 24 hours
    int32_t days[90] = {};   // slot d: activations d days ago, 0 = today

    int64_t Last24Hours() const;
    int64_t Last7Days() const;
};
bool DecodeStatistics(const uint8_t* payload, size_t size, AlarmStatistics& stats);

// One stored event (PACKET_TYPE_HISTORY).
struct HistoryRecord {
    int32_t handle = 0;
    int32_t time = 0;  // local wall-clock seconds
    int32_t millisecond = 0;
    int32_t eventType = 0;
    std::string user;  // Windows-1252
    std::string comment;
};
bool DecodeHistory(const uint8_t* payload, size_t size, HistoryRecord& record);

std::string StateText(int32_t state);
std::string EventTypeName(int32_t type);

// Server text made fit for a terminal: UTF-8, with control characters (line breaks
// included unless keepLineBreaks) replaced, so that no byte from the wire can steer the
// terminal.
std::string DisplayText(std::string_view ansi, bool keepLineBreaks = false);

// A local wall-clock time as "YYYY-MM-DD hh:mm:ss" (with ".mmm" when millisecond >= 0);
// empty for 0 and -1, which the server uses for "never".
std::string FormatLocalTime(int32_t seconds, int millisecond = -1);
// A UTC time shown in this machine's zone; empty for 0 and -1.
std::string FormatUtcTime(int32_t seconds);
// "YYYY-MM-DD", "YYYY-MM-DD hh:mm" or "YYYY-MM-DD hh:mm:ss" read as local wall-clock time,
// the form in which the server keeps its times.
bool ParseLocalTime(std::string_view text, int64_t& seconds);

// The time shown beside the activation: the acknowledgement or the return to normal,
// whichever came last, as long as it belongs to the current activation.
int32_t AckedOrInactiveTime(const AlarmStatus& status);

// One CSV field: quoted when it holds a separator, a quote, a line break or edge blanks.
std::string CsvField(std::string_view utf8);
std::string CsvHeader();
std::string CsvLine(const AlarmRow& row);

// Fixed-width columns for the terminal; widths count characters, not bytes.
std::string TableHeader();
std::string TableLine(const AlarmRow& row);
// Cuts or pads UTF-8 text to exactly width characters.
std::string FitColumn(std::string_view utf8, size_t width);
// Cuts UTF-8 text after at most width characters.
std::string CutToWidth(std::string_view utf8, size_t width);

// What an update did to the visible list.
enum class RowChange { None, Added, Changed, Removed };

// The alarm rows by handle, as the server's ALARM and ALARM_STATUS packets leave them.
class AlarmTable {
public:
    // showNormal: rows in state 0 stay visible (a list of all alarms).
    explicit AlarmTable(bool showNormal = false) : showNormal_(showNormal) {}

    RowChange Apply(const AlarmRow& row);
    // A status for a handle never sent in full is ignored: there is nothing to show.
    RowChange ApplyStatus(int32_t handle, const AlarmStatus& status);

    bool Visible(const AlarmRow& row) const;
    const AlarmRow* Find(int32_t handle) const;
    // The first row whose tag equals tagAnsi without regard to case.
    const AlarmRow* FindTag(std::string_view tagAnsi) const;
    // The visible rows, newest activation first.
    std::vector<const AlarmRow*> VisibleRows() const;
    size_t Size() const { return rows_.size(); }

private:
    RowChange Classify(bool wasVisible, bool isVisible, bool changed) const;

    bool showNormal_;
    std::map<int32_t, AlarmRow> rows_;
};

}  // namespace alarmcli
