// Reading the day files of a source for a history query: which files, which records, and
// what a damaged comment file gives.

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "server/core/log.h"
#include "server/store/historic_query.h"
#include "tests/support/log_text.h"
#include "tests/support/temp_folder.h"

namespace {

using heraldon::HistoryAnswer;
using heraldon::HistoryQuery;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;
using Bytes = std::string;
using Tags = std::vector<std::string>;

constexpr size_t kHeader = 1024;
constexpr size_t kRecord = 106;

void PutLe(Bytes& b, size_t offset, uint64_t value, size_t size) {
    if (b.size() < offset + size) b.resize(offset + size, '\0');
    for (size_t i = 0; i < size; ++i) b[offset + i] = static_cast<char>(value >> (8 * i));
}

Bytes DayHeader(uint32_t version, uint32_t count) {
    Bytes h(kHeader, '\0');
    PutLe(h, 0, version, 4);
    PutLe(h, 4, count, 4);
    return h;
}

struct Event {
    int32_t fileRecord = 0;
    int64_t time = 0;
    std::string tag;
    int32_t area = 0;
    uint16_t type = 1;
    uint16_t milliseconds = 0;
    int16_t user = -1;
    int32_t comment = -1;
};

Bytes Encode(const Event& e) {
    Bytes r(kRecord, '\0');
    PutLe(r, 0, static_cast<uint32_t>(e.fileRecord), 4);
    PutLe(r, 4, static_cast<uint64_t>(e.time), 8);
    r.replace(12, e.tag.size(), e.tag);
    PutLe(r, 92, static_cast<uint32_t>(e.area), 4);
    PutLe(r, 96, e.type, 2);
    PutLe(r, 98, e.milliseconds, 2);
    PutLe(r, 100, static_cast<uint16_t>(e.user), 2);
    PutLe(r, 102, static_cast<uint32_t>(e.comment), 4);
    return r;
}

Bytes DayFile(const std::vector<Event>& events, uint32_t version = 0x2001) {
    Bytes file = DayHeader(version, static_cast<uint32_t>(events.size()));
    for (const Event& e : events) file += Encode(e);
    return file;
}

// The local timestamp of a wall-clock time on a date (YYYYMMDD).
int64_t At(int date, int hour, int minute = 0) {
    std::tm t{};
    t.tm_year = date / 10000 - 1900;
    t.tm_mon = date / 100 % 100 - 1;
    t.tm_mday = date % 100;
    t.tm_hour = hour;
    t.tm_min = minute;
    return static_cast<int64_t>(timegm(&t));
}

class HistoricQuery : public ::testing::Test {
protected:
    HistoricQuery() {
        std::filesystem::create_directories(Folder());
        std::filesystem::create_directories(temp_ / "logs");
        heraldon::TheLog().Configure(temp_ / "logs/", 90, false);
    }
    ~HistoricQuery() override { heraldon::TheLog().Configure("", 0, false); }

    std::string Folder() const { return temp_ / "Historic/"; }
    std::string LogText() const { return testing_support::LogFolderText(temp_ / "logs"); }
    std::vector<HistoryAnswer> Run(const HistoryQuery& query) {
        std::vector<HistoryAnswer> answers;
        int sent = heraldon::QueryHistoricEvents(Folder(), query, [&](const HistoryAnswer& a) {
            answers.push_back(a);
            return true;
        });
        EXPECT_EQ(sent, static_cast<int>(answers.size()));
        return answers;
    }
    Tags TagsOf(const HistoryQuery& query) {
        Tags tags;
        for (const HistoryAnswer& a : Run(query)) tags.emplace_back(a.record.tag);
        return tags;
    }

    TempFolder temp_;
};

// Four days with files. Records are in the file of the day they were stored, which is not
// always the day of their time: LATE and ODD were stored while the clock was behind,
// EARLY after midnight with the time of the day before.
class FourDays : public HistoricQuery {
protected:
    FourDays() {
        WriteFile(Folder() + "2024-02-20.ahs",
                  DayFile({{1, At(20240220, 10), "OLD"}, {2, At(20240304, 9), "ODD"}}));
        WriteFile(Folder() + "2024-03-01.ahs",
                  DayFile({{1, At(20240301, 8), "A1"}, {2, At(20240303, 13), "LATE"}, {1, At(20240301, 20), "A2"}}));
        WriteFile(Folder() + "2024-03-03.ahs",
                  DayFile({{1, At(20240303, 9), "B1"}, {2, At(20240303, 12), "B2", 5}, {1, At(20240303, 15), "B3"}}));
        WriteFile(Folder() + "2024-03-05.ahs",
                  DayFile({{2, At(20240305, 7), "C1"}, {1, At(20240303, 14), "EARLY"}}));
        // Not day files, whatever they hold.
        const Bytes stray = DayFile({{1, At(20240303, 16), "STRAY"}});
        WriteFile(Folder() + "2024-03-09.ahs.bak", stray);
        WriteFile(Folder() + "readme.txt", stray);
    }
};

TEST_F(FourDays, TimesRecordsAndFiltersSelectTheRecords) {
    const Tags all = {"OLD", "ODD", "A1", "LATE", "A2", "B1", "B2", "B3", "C1", "EARLY"};
    struct Case {
        const char* what;
        HistoryQuery query;
        Tags tags;
    };
    HistoryQuery q;
    auto with = [](auto change) {
        HistoryQuery query;
        change(query);
        return query;
    };
    const Case cases[] = {
        {"everything, oldest file first", q, all},
        {"a lower bound of zero or less is none", with([](HistoryQuery& h) { h.from = -5; }), all},
        {"from before the first file", with([](HistoryQuery& h) { h.from = At(20240101, 0); }), all},
        {"one object", with([](HistoryQuery& h) { h.record = 1; }), {"OLD", "A1", "A2", "B1", "B3", "EARLY"}},
        {"from in the middle of a day reads the file of the day before, not older ones",
         with([](HistoryQuery& h) { h.from = At(20240303, 12); }), {"LATE", "B2", "B3", "C1", "EARLY"}},
        {"from a day without a file starts at the last file before it",
         with([](HistoryQuery& h) { h.from = At(20240302, 0); }), {"LATE", "B1", "B2", "B3", "C1", "EARLY"}},
        {"to stops at the file after its day, whatever the times in it",
         with([](HistoryQuery& h) { h.from = At(20240303, 12), h.to = At(20240304, 23); }), {"LATE", "B2", "B3"}},
        {"to includes its own second",
         with([](HistoryQuery& h) { h.to = At(20240303, 12); }), {"OLD", "A1", "A2", "B1", "B2"}},
        {"no records wanted", with([](HistoryQuery& h) { h.maxRecords = 0; }), {}},
        {"the first records only", with([](HistoryQuery& h) { h.maxRecords = 3; }), {"OLD", "ODD", "A1"}},
        {"the limit counts only what is sent",
         with([](HistoryQuery& h) { h.record = 2, h.maxRecords = 2; }), {"ODD", "LATE"}},
        {"tag filter", with([](HistoryQuery& h) {
             h.passes = [](std::string_view tag, int32_t) { return tag.substr(0, 1) == "B"; };
         }), {"B1", "B2", "B3"}},
        {"area filter", with([](HistoryQuery& h) {
             h.passes = [](std::string_view, int32_t area) { return area == 5; };
         }), {"B2"}},
    };
    for (const Case& c : cases) EXPECT_EQ(TagsOf(c.query), c.tags) << c.what;
}

TEST_F(FourDays, ARecordComesBackWholeAndTheReceiverCanStopTheQuery) {
    HistoryQuery q;
    q.record = 2;
    q.from = At(20240305, 0);
    std::vector<HistoryAnswer> answers = Run(q);
    ASSERT_EQ(answers.size(), 1u);
    const heraldon::historic_file::EventRecord& r = answers[0].record;
    EXPECT_EQ(r.fileRecord, 2);
    EXPECT_EQ(r.time, At(20240305, 7));
    EXPECT_STREQ(r.tag, "C1");
    EXPECT_EQ(r.type, 1);
    EXPECT_EQ(r.userIndex, -1);
    EXPECT_EQ(answers[0].comment, "");

    int calls = 0;
    int sent = heraldon::QueryHistoricEvents(Folder(), HistoryQuery{}, [&](const HistoryAnswer&) { return ++calls < 4; });
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(sent, 3);
}

TEST_F(HistoricQuery, ACommentFileIsNeverReadAsADayFile) {
    // A comment file whose first entry is 8193 bytes long starts like a current day file.
    WriteFile(Folder() + "2024-03-07.acm", DayFile({{1, At(20240307, 1), "COMMENT"}}));
    WriteFile(Folder() + "2024-03-08", DayFile({{1, At(20240308, 1), "NO EXTENSION"}}));
    EXPECT_TRUE(TagsOf(HistoryQuery{}).empty());
}

TEST_F(HistoricQuery, AFolderWithoutDayFilesGivesNothing) {
    EXPECT_TRUE(Run(HistoryQuery{}).empty());
    std::filesystem::remove_all(Folder());
    EXPECT_TRUE(Run(HistoryQuery{}).empty());
}

TEST_F(HistoricQuery, OnlyCurrentFilesAreReadAndEachToItsEnd) {
    WriteFile(Folder() + "2024-04-01.ahs", DayFile({{1, At(20240401, 1), "STATES"}}, 0x2000));
    WriteFile(Folder() + "2024-04-02.ahs", DayFile({{1, At(20240402, 1), "NEWER"}}, 0x2002));
    WriteFile(Folder() + "2024-04-03.ahs", Bytes(8, '\0'));
    // The count lags behind the records; a torn record at the end is no record.
    WriteFile(Folder() + "2024-04-04.ahs",
              DayHeader(0x2001, 1) + Encode({1, At(20240404, 1), "R1"}) + Encode({1, At(20240404, 2), "R2"}) +
                  Encode({1, At(20240404, 3), "R3"}) + Bytes(50, 'z'));
    WriteFile(Folder() + "2024-04-05.ahs", DayHeader(0x2001, 0));
    EXPECT_EQ(TagsOf(HistoryQuery{}), (Tags{"R1", "R2", "R3"}));
}

TEST_F(HistoricQuery, CommentsComeFromTheCommentFileWhenAskedFor) {
    Bytes comments;
    auto add = [&](const std::string& text, uint32_t length) {
        int32_t at = static_cast<int32_t>(comments.size());
        PutLe(comments, comments.size(), length, 4);
        comments += text;
        return at;
    };
    const std::string largest(130072, 'L');
    int32_t hello = add("hello", 5);
    int32_t empty = add("", 0);
    int32_t big = add(largest, 130072);
    int32_t damaged = add("xx", 130073);
    int32_t beyond = static_cast<int32_t>(comments.size()) + 100;
    WriteFile(Folder() + "2024-04-01.acm", comments);
    WriteFile(Folder() + "2024-04-01.ahs",
              DayFile({{1, 1, "HELLO", 0, 1, 0, -1, hello},
                       {1, 2, "NONE", 0, 1, 0, -1, -1},
                       {1, 3, "EMPTY", 0, 1, 0, -1, empty},
                       {1, 4, "BIG", 0, 1, 0, -1, big},
                       {1, 5, "DAMAGED", 0, 1, 0, -1, damaged},
                       {1, 6, "BEYOND", 0, 1, 0, -1, beyond}}));
    // A day whose comment file is missing still gives its records.
    WriteFile(Folder() + "2024-04-02.ahs", DayFile({{1, 7, "NO FILE", 0, 1, 0, -1, 0}}));

    HistoryQuery without;
    for (const HistoryAnswer& a : Run(without)) EXPECT_EQ(a.comment, "") << a.record.tag;
    EXPECT_EQ(LogText().find("seems to be damaged"), std::string::npos);

    HistoryQuery with;
    with.withComments = true;
    std::vector<HistoryAnswer> answers = Run(with);
    ASSERT_EQ(answers.size(), 7u);
    const std::vector<std::string> expected = {"hello", "", "", largest, "", "", ""};
    for (size_t i = 0; i < answers.size(); ++i) EXPECT_EQ(answers[i].comment, expected[i]) << answers[i].record.tag;
    std::string log = LogText();
    EXPECT_NE(log.find("Comment file '" + Folder() + "2024-04-01.acm' seems to be damaged!"), std::string::npos) << log;
    size_t first = log.find("seems to be damaged");
    EXPECT_EQ(log.find("seems to be damaged", first + 1), std::string::npos) << "one damaged entry, one line";
}

}  // namespace
