#include "tools/alarm-cli/alarm_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace alarmcli {
namespace {

using heraldon::net::ClientPacketBuilder;

AlarmRow SampleRow() {
    AlarmRow row;
    row.handle = (2 << 24) | 17;
    row.version = 3;
    row.tag = "P1.PUMP7";
    row.name = "Pump 7";
    row.description = "Motor \xF6verhettad";  // Windows-1252 text as the server sends it
    row.smallComment = "checked";
    row.help = "call the night shift";
    row.sumState = "on";
    row.area = 12;
    row.category = 4;
    row.privilege = 1;
    row.scadaHandle = 99;
    for (int i = 0; i < 8; ++i) row.custom[i] = "c" + std::to_string(i + 1);
    row.pagingGroup = "pg";
    row.status.activeTime = 1700000000;
    row.status.inActiveTime = 1700000100;
    row.status.ackedTime = 1700000050;
    row.status.disabledExpireTime = 0;
    row.status.lastAckedBy = "anna";
    row.status.repeatedSinceLastAck = 2;
    row.status.state = kStateActiveAcked;
    row.status.activeMillisecond = 250;
    row.status.lastEventTime = 1700000050;
    return row;
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(AlarmTableDecode, ObjectAndStatusBlocksRoundTrip) {
    AlarmRow row = SampleRow();
    std::string wire = EncodeAlarm(row);
    AlarmRow decoded;
    ASSERT_TRUE(DecodeAlarm(Bytes(wire), wire.size(), decoded));
    EXPECT_EQ(decoded, row);
    EXPECT_EQ(decoded.SourceIndex(), 2);

    std::string status = EncodeAlarmStatus(row.handle, row.status);
    int32_t handle = 0;
    AlarmStatus s;
    ASSERT_TRUE(DecodeAlarmStatus(Bytes(status), status.size(), handle, s));
    EXPECT_EQ(handle, row.handle);
    EXPECT_EQ(s, row.status);
}

TEST(AlarmTableDecode, EveryTruncationFails) {
    std::string wire = EncodeAlarm(SampleRow());
    std::string status = EncodeAlarmStatus(5, SampleRow().status);
    AlarmRow row;
    AlarmStatus s;
    int32_t handle = 0;
    for (size_t n = 0; n < wire.size(); ++n) EXPECT_FALSE(DecodeAlarm(Bytes(wire), n, row)) << n;
    for (size_t n = 0; n < status.size(); ++n) {
        EXPECT_FALSE(DecodeAlarmStatus(Bytes(status), n, handle, s)) << n;
    }
}

TEST(AlarmTableDecode, StringCountPastTheEndFails) {
    ClientPacketBuilder b;
    b.Int32(1).Int32(1).UInt16(60000).Raw("short");
    AlarmRow row;
    EXPECT_FALSE(DecodeAlarm(Bytes(b.Payload()), b.Payload().size(), row));
}

TEST(AlarmTableDecode, StatisticsAndHistory) {
    ClientPacketBuilder b;
    b.Int32(7).Int32(40);
    for (int h = 0; h < 24; ++h) b.Int32(h == 3 ? 5 : 1);
    for (int d = 0; d < 90; ++d) b.Int32(d < 10 ? d + 1 : 0);
    AlarmStatistics stats;
    ASSERT_TRUE(DecodeStatistics(Bytes(b.Payload()), b.Payload().size(), stats));
    EXPECT_EQ(stats.handle, 7);
    EXPECT_EQ(stats.total, 40);
    EXPECT_EQ(stats.Last24Hours(), 28);
    EXPECT_EQ(stats.Last7Days(), 28);  // 1 + 2 + ... + 7
    EXPECT_FALSE(DecodeStatistics(Bytes(b.Payload()), b.Payload().size() - 1, stats));

    ClientPacketBuilder h;
    h.Int32(0x01000002).Int32(1700000000).Int32(12).Int32(256).String("bo").String("a note");
    HistoryRecord record;
    ASSERT_TRUE(DecodeHistory(Bytes(h.Payload()), h.Payload().size(), record));
    EXPECT_EQ(record.handle, 0x01000002);
    EXPECT_EQ(record.eventType, 256);
    EXPECT_EQ(record.user, "bo");
    EXPECT_EQ(record.comment, "a note");
    EXPECT_FALSE(DecodeHistory(Bytes(h.Payload()), h.Payload().size() - 1, record));
}

TEST(AlarmTableFormat, Names) {
    const struct {
        int32_t value;
        const char* state;
        const char* event;
    } cases[] = {
        {0, "Normal", "InActive"},        {1, "Active unacked", "Active"},
        {2, "Active acked", "Acked"},     {3, "Inactive unacked", "Disable"},
        {4, "Disabled", "Enable"},        {256, "State 256", "Comment"},
        {4096, "Removed", "Unknown"},     {-1, "State -1", "Unknown"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StateText(c.value), c.state) << c.value;
        EXPECT_EQ(EventTypeName(c.value), c.event) << c.value;
    }
}

TEST(AlarmTableFormat, LocalTimes) {
    const struct {
        int32_t seconds;
        int millisecond;
        const char* text;
    } cases[] = {
        {0, -1, ""},
        {-1, 5, ""},
        {86400 + 3661, -1, "1970-01-02 01:01:01"},
        {86400 + 3661, 7, "1970-01-02 01:01:01.007"},
        {1700000000, 999, "2023-11-14 22:13:20.999"},
        // Past 2038 the low 32 bits turn negative; they still mean a later time.
        {static_cast<int32_t>(0x80000000u), -1, "2038-01-19 03:14:08"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatLocalTime(c.seconds, c.millisecond), c.text);
}

TEST(AlarmTableFormat, ParseLocalTime) {
    const struct {
        const char* text;
        bool ok;
        int64_t seconds;
    } cases[] = {
        {"1970-01-02", true, 86400},
        {"1970-01-02 01:01", true, 86400 + 3660},
        {"2023-11-14 22:13:20", true, 1700000000},
        {"2024-04-31", false, 0},
        {"2024-13-01", false, 0},
        {"2024-01-01 24:00", false, 0},
        {"2024-01-01 12", false, 0},
        {"2024-01-01x", false, 0},
        {"yesterday", false, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        int64_t seconds = 0;
        EXPECT_EQ(ParseLocalTime(c.text, seconds), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(seconds, c.seconds) << c.text;
        }
    }
}

TEST(AlarmTableFormat, AckedOrInactiveBelongsToTheCurrentActivation) {
    const struct {
        int32_t active, acked, inactive, expected;
    } cases[] = {
        {100, 0, 0, 0},      {100, 150, 0, 150},   {100, 150, 200, 200},
        {100, 250, 200, 250}, {300, 150, 200, 0},  {100, -1, 120, 120},
    };
    for (const auto& c : cases) {
        AlarmStatus s;
        s.activeTime = c.active;
        s.ackedTime = c.acked;
        s.inActiveTime = c.inactive;
        EXPECT_EQ(AckedOrInactiveTime(s), c.expected) << c.active << " " << c.acked << " " << c.inactive;
    }
}

TEST(AlarmTableFormat, CsvFieldQuoting) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\r", "\"cr\r\""},
        {" edge", "\" edge\""},
        {"inner space", "inner space"},
    };
    for (const auto& c : cases) EXPECT_EQ(CsvField(c.in), c.out) << c.in;
}

TEST(AlarmTableFormat, CsvLine) {
    AlarmRow row = SampleRow();
    row.description = "hot, \"very\"";
    std::string line = CsvLine(row);
    EXPECT_EQ(line.rfind("0x02000011,2,2,Active acked,2023-11-14 22:13:20.250,", 0), 0u) << line;
    EXPECT_NE(line.find(",P1.PUMP7,Pump 7,\"hot, \"\"very\"\"\",12,4,checked,anna,,2"),
              std::string::npos)
        << line;
    // One field per header column.
    auto fields = [](const std::string& s) {
        size_t n = 1;
        bool quoted = false;
        for (char c : s) {
            if (c == '"') quoted = !quoted;
            if (c == ',' && !quoted) ++n;
        }
        return n;
    };
    EXPECT_EQ(fields(line), fields(CsvHeader()));
}

TEST(AlarmTableFormat, TextForTheTerminal) {
    const struct {
        const char* ansi;
        bool keepLineBreaks;
        const char* utf8;
    } cases[] = {
        {"\xF6verhettad", false, "\xC3\xB6verhettad"},
        {"\x1B[2Jgone", false, " [2Jgone"},
        {"a\nb", false, "a b"},
        {"a\nb", true, "a\nb"},
        {"x\x81y", false, "x?y"},
    };
    for (const auto& c : cases) EXPECT_EQ(DisplayText(c.ansi, c.keepLineBreaks), c.utf8) << c.ansi;

    EXPECT_EQ(FitColumn("ab", 4), "ab  ");
    EXPECT_EQ(FitColumn("abcdef", 4), "abc~");
    EXPECT_EQ(FitColumn("\xC3\xA5\xC3\xA4\xC3\xB6", 4), "\xC3\xA5\xC3\xA4\xC3\xB6 ");
    EXPECT_EQ(CutToWidth("\xC3\xA5\xC3\xA4\xC3\xB6xyz", 3), "\xC3\xA5\xC3\xA4~");
    EXPECT_EQ(CutToWidth("abc", 0), "");

    std::string line = TableLine(SampleRow());
    EXPECT_EQ(line.rfind("Active acked      2023-11-14 22:13:20  2023-11-14 22:15:00  P1.PUMP7", 0), 0u)
        << line;
    EXPECT_NE(line.find("Motor \xC3\xB6verhettad"), std::string::npos);
}

TEST(AlarmTableRows, UpdatesAndVisibility) {
    const struct {
        const char* what;
        bool showNormal;
        bool fullObject;
        int32_t handle;
        int32_t state;
        RowChange expected;
    } steps[] = {
        {"new active alarm", false, true, 1, kStateActiveUnacked, RowChange::Added},
        {"same object again", false, true, 1, kStateActiveUnacked, RowChange::None},
        {"acknowledged", false, false, 1, kStateActiveAcked, RowChange::Changed},
        {"back to normal hides it", false, false, 1, kStateNormal, RowChange::Removed},
        {"status of an unknown handle", false, false, 2, kStateActiveUnacked, RowChange::None},
        {"new normal alarm stays hidden", false, true, 3, kStateNormal, RowChange::None},
        {"it becomes active", false, false, 3, kStateActiveUnacked, RowChange::Added},
        {"removed by its source", false, false, 3, kStateRemoved, RowChange::Removed},
    };
    AlarmTable hidden(false), all(true);
    for (const auto& step : steps) {
        AlarmRow row = SampleRow();
        row.handle = step.handle;
        row.status.state = step.state;
        RowChange change = step.fullObject ? hidden.Apply(row) : hidden.ApplyStatus(row.handle, row.status);
        EXPECT_EQ(change, step.expected) << step.what;
    }
    AlarmRow row = SampleRow();
    row.status.state = kStateNormal;
    EXPECT_EQ(all.Apply(row), RowChange::Added);
    row.status.state = kStateActiveUnacked;
    EXPECT_EQ(all.ApplyStatus(row.handle, row.status), RowChange::Changed);
    row.status.state = kStateRemoved;
    EXPECT_EQ(all.ApplyStatus(row.handle, row.status), RowChange::Removed);
}

TEST(AlarmTableRows, NewestFirstAndTagLookup) {
    AlarmTable table(false);
    const struct {
        int32_t handle;
        const char* tag;
        int32_t activeTime;
        int32_t millisecond;
    } rows[] = {{1, "OLD", 100, 0}, {2, "NEW", 300, 0}, {3, "NEWER", 300, 500}, {4, "\xC5LV", 200, 0}};
    for (const auto& r : rows) {
        AlarmRow row = SampleRow();
        row.handle = r.handle;
        row.tag = r.tag;
        row.status.activeTime = r.activeTime;
        row.status.activeMillisecond = r.millisecond;
        table.Apply(row);
    }
    std::vector<int32_t> order;
    for (const AlarmRow* row : table.VisibleRows()) order.push_back(row->handle);
    EXPECT_EQ(order, (std::vector<int32_t>{3, 2, 4, 1}));

    ASSERT_NE(table.FindTag("newer"), nullptr);
    EXPECT_EQ(table.FindTag("newer")->handle, 3);
    ASSERT_NE(table.FindTag("\xE5lv"), nullptr);  // Swedish letters fold too
    EXPECT_EQ(table.FindTag("\xE5lv")->handle, 4);
    EXPECT_EQ(table.FindTag("NEWE"), nullptr);
    EXPECT_EQ(table.Find(9), nullptr);
}

}  // namespace
}  // namespace alarmcli
