// The day files of an Alarm Source: storing events, mending damaged files, ageing the
// activation counters and the repair run over old files.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "server/core/log.h"
#include "server/store/alarm_source.h"
#include "server/store/historic_files.h"
#include "server/store/user_names.h"
#include "tests/support/log_text.h"
#include "tests/support/temp_folder.h"

namespace {

using heraldon::AlarmObject;
using heraldon::AlarmSource;
using heraldon::AlarmSourceSettings;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;
using Bytes = std::string;

constexpr size_t kHeader = 1024;
constexpr size_t kRecord = 106;
constexpr size_t kOldRecord = 102;
constexpr uint16_t kUnknown = 0xFFFF;

void PutLe(Bytes& b, size_t offset, uint64_t value, size_t size) {
    if (b.size() < offset + size) b.resize(offset + size, '\0');
    for (size_t i = 0; i < size; ++i) b[offset + i] = static_cast<char>(value >> (8 * i));
}

uint64_t GetLe(const Bytes& b, size_t offset, size_t size) {
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(b[offset + i])) << (8 * i);
    return v;
}

Bytes DayHeader(uint32_t version, uint32_t count) {
    Bytes h(kHeader, '\0');
    PutLe(h, 0, version, 4);
    PutLe(h, 4, count, 4);
    return h;
}

// An event record as the day file holds it, written field by field at its offset.
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

Event Decode(const Bytes& file, size_t index) {
    size_t at = kHeader + index * kRecord;
    Event e;
    e.fileRecord = static_cast<int32_t>(GetLe(file, at, 4));
    e.time = static_cast<int64_t>(GetLe(file, at + 4, 8));
    e.tag = std::string(file.data() + at + 12, strnlen(file.data() + at + 12, 80));
    e.area = static_cast<int32_t>(GetLe(file, at + 92, 4));
    e.type = static_cast<uint16_t>(GetLe(file, at + 96, 2));
    e.milliseconds = static_cast<uint16_t>(GetLe(file, at + 98, 2));
    e.user = static_cast<int16_t>(GetLe(file, at + 100, 2));
    e.comment = static_cast<int32_t>(GetLe(file, at + 102, 4));
    return e;
}

Bytes Records(const std::vector<Event>& events) {
    Bytes all;
    for (const Event& e : events) all += Encode(e);
    return all;
}

int DateNumber(const std::tm& t) { return (t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday; }

std::string DayName(int dateNumber, const char* extension) {
    char name[32];
    std::snprintf(name, sizeof name, "%04d-%02d-%02d.%s", dateNumber / 10000, dateNumber / 100 % 100,
                  dateNumber % 100, extension);
    return name;
}

class HistoricFiles : public ::testing::Test {
protected:
    HistoricFiles() {
        std::filesystem::create_directories(Folder());
        std::filesystem::create_directories(temp_ / "logs");
        heraldon::TheLog().Configure(temp_ / "logs/", 90, false);
        names_.Load(temp_ / "UserNames.dat");
        AlarmSourceSettings settings;
        settings.name = "Plant";
        source_ = std::make_unique<AlarmSource>(settings, 1, temp_ / "Plant/");
    }
    ~HistoricFiles() override {
        heraldon::CloseHistoricFiles(*source_);
        heraldon::TheLog().Configure("", 0, false);
    }

    std::string Folder() const { return temp_ / "Plant/Historic/"; }
    static int Today() { return DateNumber(platform::clock::LocalCalendarNow()); }
    std::string TodayPath(const char* extension) const { return Folder() + DayName(Today(), extension); }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Folder())) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string LogText() const { return testing_support::LogFolderText(temp_ / "logs"); }
    // Starts the log afresh; configuring it again lets go of the file it holds open.
    void ClearLog() {
        heraldon::TheLog().Flush();
        std::filesystem::remove_all(temp_ / "logs");
        std::filesystem::create_directories(temp_ / "logs");
        heraldon::TheLog().Configure(temp_ / "logs/", 90, false);
    }
    AlarmObject* Place(const std::string& tag) {
        auto object = std::make_unique<AlarmObject>(AlarmObject::New());
        heraldon::SetText(object->Tag, tag);
        return source_->PlaceNewObject(std::move(object));
    }
    bool Store(const AlarmObject& o, int32_t type, const char* user = nullptr, const std::string* comment = nullptr) {
        return heraldon::StoreHistoricEvent(*source_, o, type, names_, user, comment);
    }

    TempFolder temp_;
    heraldon::UserNameStore names_;
    std::unique_ptr<AlarmSource> source_;
};

TEST_F(HistoricFiles, TheFirstStoreOfADayCreatesItsPairOfFiles) {
    AlarmObject o = AlarmObject::New();
    const std::string longTag(79, 'T');
    heraldon::SetText(o.Tag, longTag);
    o.FileRecord = 7;
    o.Area = 3;
    o.ActiveTime = 0x123456789;
    o.ActiveMillisecond = 123;

    int day = Today();
    ASSERT_TRUE(Store(o, 1));
    ASSERT_EQ(Files(), (std::vector<std::string>{DayName(day, "acm"), DayName(day, "ahs")}));
    EXPECT_EQ(source_->openDay, day);
    EXPECT_EQ(ReadFile(TodayPath("acm")), "");
    Bytes file = ReadFile(TodayPath("ahs"));
    ASSERT_EQ(file.size(), kHeader + kRecord);
    EXPECT_EQ(file.substr(0, kHeader), DayHeader(0x2001, 1));
    Event e{7, 0x123456789, longTag, 3, 1, 123, -1, -1};
    EXPECT_EQ(file.substr(kHeader), Encode(e)) << "tag, zero padding and every field in place";

    ASSERT_TRUE(Store(o, 1));
    file = ReadFile(TodayPath("ahs"));
    ASSERT_EQ(file.size(), kHeader + 2 * kRecord);
    EXPECT_EQ(GetLe(file, 4, 4), 2u);
    EXPECT_EQ(file.substr(kHeader + kRecord), Encode(e));
}

TEST_F(HistoricFiles, EventsGatheredInABurstReachTheFileInOrder) {
    AlarmObject o = AlarmObject::New();
    auto tagged = [&](const char* tag) {
        heraldon::SetText(o.Tag, tag);
        return o;
    };
    auto tags = [&] {
        Bytes file = ReadFile(TodayPath("ahs"));
        std::string seen;
        size_t count = GetLe(file, 4, 4);
        EXPECT_EQ(file.size(), kHeader + count * kRecord) << "the count matches the records";
        for (size_t i = 0; i < count; ++i) seen += Decode(file, i).tag;
        return seen;
    };

    source_->gatherHistory = true;
    ASSERT_TRUE(Store(tagged("A"), 1));
    ASSERT_TRUE(Store(tagged("B"), 0));
    EXPECT_EQ(tags(), "") << "held until the burst ends";
    heraldon::FlushHistoricEvents(*source_);
    EXPECT_EQ(tags(), "AB");

    // A store from outside the burst (an operator's command) writes what was gathered first.
    ASSERT_TRUE(Store(tagged("C"), 1));
    source_->gatherHistory = false;
    ASSERT_TRUE(Store(tagged("D"), 2));
    EXPECT_EQ(tags(), "ABCD");

    // Whoever reads the day files closes them first, and closing writes what was gathered.
    source_->gatherHistory = true;
    ASSERT_TRUE(Store(tagged("E"), 1));
    heraldon::CloseHistoricFiles(*source_);
    EXPECT_EQ(tags(), "ABCDE");
    ASSERT_TRUE(Store(tagged("F"), 1));
    heraldon::FlushHistoricEvents(*source_);
    EXPECT_EQ(tags(), "ABCDEF") << "the count was read back from the file";

    // After a failed write the count is unknown: it is read again, never guessed.
    ASSERT_TRUE(Store(tagged("G"), 1));
    source_->dayCount = -1;
    heraldon::FlushHistoricEvents(*source_);
    source_->gatherHistory = false;
    source_->dayCount = -1;
    ASSERT_TRUE(Store(tagged("H"), 1));
    EXPECT_EQ(tags(), "ABCDEFGH");
}

TEST_F(HistoricFiles, EachEventTypeTakesItsOwnTimeMillisecondsAndUser) {
    AlarmObject o = AlarmObject::New();
    heraldon::SetText(o.Tag, "P1");
    o.FileRecord = 2;
    o.InActiveTime = 1000, o.InActiveMillisecond = 11;
    o.ActiveTime = 2000, o.ActiveMillisecond = 22;
    o.AckedTime = 3000, o.AckedMillisecond = 33;
    heraldon::SetText(o.LastAckedBy, "acker");
    heraldon::SetText(o.LastDisabledBy, "disabler");
    heraldon::SetText(o.LastEnabledBy, "enabler");

    constexpr int64_t kNow = -1;
    struct Case {
        int32_t type;
        const char* userArgument;
        int64_t time;  // kNow: the local time of storing
        uint16_t milliseconds;
        const char* user;  // null: no user recorded
    };
    const Case cases[] = {
        {0, "op", 1000, 11, "op"},
        {1, "op", 2000, 22, "op"},
        {1, nullptr, 2000, 22, nullptr},
        {2, "op", 3000, 0, "acker"},
        {3, "op", kNow, 0, "disabler"},
        {4, nullptr, kNow, 0, "enabler"},
        {256, "op", kNow, 0, "op"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        int64_t before = platform::clock::LocalNow();
        ASSERT_TRUE(Store(o, c.type, c.userArgument)) << c.type;
        int64_t after = platform::clock::LocalNow();
        Event e = Decode(ReadFile(TodayPath("ahs")), i);
        EXPECT_EQ(e.type, static_cast<uint16_t>(c.type));
        EXPECT_EQ(e.fileRecord, 2);
        EXPECT_EQ(e.tag, "P1");
        if (c.time == kNow) {
            EXPECT_GE(e.time, before) << c.type;
            EXPECT_LE(e.time, after) << c.type;
        } else {
            EXPECT_EQ(e.time, c.time) << c.type;
        }
        EXPECT_EQ(e.milliseconds, c.milliseconds) << c.type;
        if (c.user == nullptr) {
            EXPECT_EQ(e.user, -1) << c.type;
        } else {
            EXPECT_EQ(e.user, names_.GetUserNameIndex(c.user)) << c.type;
            EXPECT_EQ(names_.UserNameAt(e.user), c.user) << c.type;
        }
        EXPECT_EQ(e.comment, -1);
    }
    EXPECT_EQ(names_.Count(), 4u) << "op, acker, disabler, enabler; each once";
}

TEST_F(HistoricFiles, CommentsAreAppendedAndTheRecordPointsAtTheirLength) {
    AlarmObject o = AlarmObject::New();
    const std::string first = "first", second = "a second comment";
    ASSERT_TRUE(Store(o, 256, "op", &first));
    ASSERT_TRUE(Store(o, 256, "op"));
    ASSERT_TRUE(Store(o, 256, "op", &second));
    Bytes file = ReadFile(TodayPath("ahs"));
    EXPECT_EQ(Decode(file, 0).comment, 0);
    EXPECT_EQ(Decode(file, 1).comment, -1);
    EXPECT_EQ(Decode(file, 2).comment, 4 + static_cast<int32_t>(first.size()));
    Bytes comments;
    PutLe(comments, 0, first.size(), 4);
    comments += first;
    PutLe(comments, comments.size(), second.size(), 4);
    comments += second;
    EXPECT_EQ(ReadFile(TodayPath("acm")), comments);
}

TEST_F(HistoricFiles, AStoreFailsWhenTheDayFileCanNotBeOpened) {
    AlarmObject o = AlarmObject::New();
    std::filesystem::remove_all(Folder());
    EXPECT_FALSE(Store(o, 1));
    EXPECT_FALSE(std::filesystem::exists(Folder()));
}

struct Damage {
    const char* what;
    Bytes file;
    size_t kept;  // records kept before the new one
    std::vector<const char*> logged;  // none: no file message at all; "has ..." follows "File <path> "
};

TEST_F(HistoricFiles, DamagedDayFilesKeepTheirWholeRecordsOrAreReset) {
    const std::vector<Event> three = {{0, 100, "A"}, {1, 200, "B"}, {2, 300, "C"}};
    const std::vector<Event> two(three.begin(), three.begin() + 2);
    const Damage cases[] = {
        {"shorter than a header", Bytes(1023, 'x'), 0, {}},
        {"states version", DayHeader(0x2000, 2) + Records(two), 0,
         {"has version 0x2000, it will be updated to version 0x2001.\r\n",
          "Unknown file version, file will be recreated"}},
        {"newer version", DayHeader(0x2002, 2) + Records(two), 0,
         {"has version 0x2002 but we can only handle version 0x2001. The file will be recreated."}},
        {"crash before the header, then a torn record", DayHeader(0x2001, 1) + Records(three) + Bytes(50, 'z'), 3,
         {"has a length of 1392 bytes but was expected to be 1130 bytes long. The file was repaired "
          "and keeps its 3 whole records."}},
        {"count beyond the records", DayHeader(0x2001, 3) + Records(two), 2,
         {"has a length of 1236 bytes but was expected to be 1342 bytes long. The file was repaired "
          "and keeps its 2 whole records."}},
        {"negative count", DayHeader(0x2001, 0xFFFFFFFB) + Records(two), 2,
         {"has a length of 1236 bytes but was expected to be 1024 bytes long. The file was repaired "
          "and keeps its 2 whole records."}},
    };
    AlarmObject o = AlarmObject::New();
    heraldon::SetText(o.Tag, "NEW");
    o.FileRecord = 9;
    o.ActiveTime = 999;
    for (const Damage& c : cases) {
        heraldon::CloseHistoricFiles(*source_);
        ClearLog();
        WriteFile(TodayPath("ahs"), c.file);
        WriteFile(TodayPath("acm"), "left alone");
        ASSERT_TRUE(Store(o, 1)) << c.what;

        Bytes file = ReadFile(TodayPath("ahs"));
        ASSERT_EQ(file.size(), kHeader + (c.kept + 1) * kRecord) << c.what;
        EXPECT_EQ(file.substr(0, kHeader), DayHeader(0x2001, static_cast<uint32_t>(c.kept + 1))) << c.what;
        if (c.kept > 0) {
            EXPECT_EQ(file.substr(kHeader, c.kept * kRecord), c.file.substr(kHeader, c.kept * kRecord)) << c.what;
        }
        EXPECT_EQ(Decode(file, c.kept).tag, "NEW") << c.what;
        EXPECT_EQ(ReadFile(TodayPath("acm")), "left alone") << c.what;

        std::string log = LogText();
        if (c.logged.empty()) {
            EXPECT_EQ(log, "") << c.what;
        }
        for (std::string line : c.logged) {
            if (line.rfind("has ", 0) == 0) line = "File " + TodayPath("ahs") + " " + line;
            EXPECT_NE(log.find(line), std::string::npos) << c.what << "\n" << log;
        }
    }
}

TEST_F(HistoricFiles, ThePairStaysOpenUntilTheLocalDateChanges) {
    AlarmObject o = AlarmObject::New();
    const int today = Today();
    ASSERT_TRUE(Store(o, 1));
    // Unlinked files show which pair the next store writes to: the open one leaves no trace.
    std::filesystem::remove(TodayPath("ahs"));
    std::filesystem::remove(TodayPath("acm"));
    ASSERT_TRUE(Store(o, 1));
    EXPECT_TRUE(Files().empty());

    // The same day of the month a year ago: only the whole date tells the pairs apart.
    source_->openDay = today - 10000;
    ASSERT_TRUE(Store(o, 1));
    EXPECT_EQ(source_->openDay, today);
    EXPECT_EQ(Files(), (std::vector<std::string>{DayName(today, "acm"), DayName(today, "ahs")}));
    EXPECT_EQ(ReadFile(TodayPath("ahs")).size(), kHeader + kRecord);

    heraldon::CloseHistoricFiles(*source_);
    EXPECT_EQ(source_->openDay, 0);
    EXPECT_FALSE(source_->dayFile.IsOpen());
    EXPECT_FALSE(source_->commentFile.IsOpen());
}

// --- counters --------------------------------------------------------------------------

int64_t DayOfDate(const std::tm& t) {
    std::tm date{};
    date.tm_year = t.tm_year, date.tm_mon = t.tm_mon, date.tm_mday = t.tm_mday;
    return static_cast<int64_t>(timegm(&date)) / 86400;
}

// What a clean-up at nowUtc does to one object's counters, for a last clean-up at lastUtc.
void Aged(AlarmObject& o, int64_t lastUtc, int64_t nowUtc) {
    std::tm then = platform::clock::LocalCalendar(lastUtc), now = platform::clock::LocalCalendar(nowUtc);
    int64_t days = DayOfDate(now) - DayOfDate(then);
    int64_t hours = days * 24 + now.tm_hour - then.tm_hour;
    if (days < 0 || hours < 1) return;
    for (int64_t i = 0; i < std::min<int64_t>(hours, 24); ++i) o.StatHours[(now.tm_hour - i + 48) % 24] = 0;
    for (int k = 89; k >= 0; --k) o.StatDays[k] = k >= days ? o.StatDays[k - days] : 0;
}

void FillCounters(AlarmObject& o) {
    for (int32_t& h : o.StatHours) h = 1;
    for (int k = 0; k < 90; ++k) o.StatDays[k] = k + 1;
    o.StatTotal = 77;
    o.Changed = 0;
}

struct Counters {
    std::vector<int32_t> hours, days;
    int32_t total;
    bool operator==(const Counters&) const = default;
};

Counters CountersOf(const AlarmObject& o) {
    return {std::vector<int32_t>(std::begin(o.StatHours), std::end(o.StatHours)),
            std::vector<int32_t>(std::begin(o.StatDays), std::end(o.StatDays)), o.StatTotal};
}

std::ostream& operator<<(std::ostream& out, const Counters& c) {
    out << "hours";
    for (int32_t h : c.hours) out << ' ' << h;
    out << " days";
    for (int32_t d : c.days) out << ' ' << d;
    return out << " total " << c.total;
}

TEST_F(HistoricFiles, CleanupAgesTheCountersByTheHoursAndDaysPassed) {
    AlarmObject* counted = Place("COUNTED");
    AlarmObject* quiet = Place("QUIET");
    AlarmObject* gone = Place("GONE");
    ASSERT_NE(source_->MoveToRemoved(gone), nullptr);
    gone = source_->removed.FindByTag("GONE");

    struct Case {
        const char* what;
        int64_t lastFromNow;  // seconds
        bool advances;        // the stored time becomes now
    };
    const Case cases[] = {
        {"three hours ago", -3 * 3600, true},
        {"two days ago", -2 * 86400, true},
        {"a hundred days ago", -100 * 86400, true},
        {"in the future", 7200, true},
        {"within this hour", 0, false},
    };
    for (const Case& c : cases) {
        int64_t before = 0, after = 0;
        // The rule depends on the local hour at the moment of the clean-up; run again in
        // the rare case an hour boundary passed in between.
        for (int attempt = 0; attempt < 3; ++attempt) {
            for (AlarmObject* o : {counted, gone}) FillCounters(*o);
            quiet->Changed = 0;
            before = platform::clock::UtcNow();
            source_->LastEventStatisticCleanup = before + c.lastFromNow;
            heraldon::CleanupEventStatistics(*source_);
            after = platform::clock::UtcNow();
            std::tm b = platform::clock::LocalCalendar(before), a = platform::clock::LocalCalendar(after);
            if (b.tm_hour == a.tm_hour && b.tm_mday == a.tm_mday) break;
        }
        AlarmObject untouched = AlarmObject::New(), expected = AlarmObject::New();
        FillCounters(untouched);
        FillCounters(expected);
        if (c.lastFromNow < 0) Aged(expected, before + c.lastFromNow, before);
        EXPECT_EQ(CountersOf(*counted), CountersOf(expected)) << c.what;
        bool changedAny = !(CountersOf(expected) == CountersOf(untouched));
        EXPECT_EQ(counted->Changed, changedAny ? 1 : 0) << c.what;
        EXPECT_EQ(quiet->Changed, 0) << c.what << ": nothing to zero, nothing to save";
        EXPECT_EQ(CountersOf(*gone), CountersOf(untouched)) << c.what << ": removed objects are left as they are";
        EXPECT_EQ(gone->Changed, 0) << c.what;
        if (c.advances) {
            EXPECT_GE(source_->LastEventStatisticCleanup, before) << c.what;
            EXPECT_LE(source_->LastEventStatisticCleanup, after) << c.what;
        } else {
            EXPECT_EQ(source_->LastEventStatisticCleanup, before + c.lastFromNow) << c.what;
        }
    }
    // Facts the rule must give whatever the zone: after a hundred days nothing is left.
    for (AlarmObject* o : {counted}) {
        FillCounters(*o);
        source_->LastEventStatisticCleanup = platform::clock::UtcNow() - 100 * 86400;
        heraldon::CleanupEventStatistics(*source_);
        for (int32_t d : o->StatDays) EXPECT_EQ(d, 0);
        for (int32_t h : o->StatHours) EXPECT_EQ(h, 0);
        EXPECT_EQ(o->StatTotal, 77);
    }
}

TEST_F(HistoricFiles, ACleanupTimeThatIsNoTimeIsSetToNow) {
    AlarmObject* o = Place("A");
    FillCounters(*o);
    source_->LastEventStatisticCleanup = INT64_MAX;
    int64_t before = platform::clock::UtcNow();
    heraldon::CleanupEventStatistics(*source_);
    EXPECT_GE(source_->LastEventStatisticCleanup, before);
    EXPECT_LE(source_->LastEventStatisticCleanup, platform::clock::UtcNow());
    EXPECT_NE(LogText().find("Alarm File LastEventStatisticCleanup was bad, it was set to 'now'"), std::string::npos);
    AlarmObject untouched = AlarmObject::New();
    FillCounters(untouched);
    EXPECT_EQ(CountersOf(*o), CountersOf(untouched));
}

// --- repair ------------------------------------------------------------------------------

class HistoricRepair : public HistoricFiles {
protected:
    std::string Path() const { return Folder() + "2020-05-06.ahs"; }
    // Runs the repair and hands back what it printed.
    std::string Repair(int mode) {
        testing::internal::CaptureStdout();
        heraldon::RepairHistoricFiles(*source_, mode);
        return testing::internal::GetCapturedStdout();
    }
};

// Records named by letters; "U" is an unknown event.
std::vector<Event> Letters(const std::string& letters) {
    std::vector<Event> events;
    for (size_t i = 0; i < letters.size(); ++i) {
        Event e{static_cast<int32_t>(i), 1000 + static_cast<int64_t>(i), std::string(1, letters[i])};
        if (letters[i] == 'U') e.type = kUnknown;
        events.push_back(e);
    }
    return events;
}

TEST_F(HistoricRepair, UnknownEventsAreRemovedAndTheFileCut) {
    struct Case {
        std::string letters;
        int removed;
    };
    for (const Case& c : {Case{"AUUB", 2}, Case{"UAUUUBU", 5}, Case{"UU", 2}, Case{"AB", 0}}) {
        std::vector<Event> all = Letters(c.letters), kept;
        for (const Event& e : all) {
            if (e.type != kUnknown) kept.push_back(e);
        }
        WriteFile(Path(), DayHeader(0x2001, static_cast<uint32_t>(all.size())) + Records(all));
        std::string printed = Repair(3);
        EXPECT_EQ(ReadFile(Path()), DayHeader(0x2001, static_cast<uint32_t>(kept.size())) + Records(kept)) << c.letters;
        char report[128];
        std::snprintf(report, sizeof report,
                      "Historic updated %zu events (0 failed to find tagname, removed %d unknown events)\n",
                      kept.size(), c.removed);
        EXPECT_NE(printed.find("Historic updating - " + Path() + "\n"), std::string::npos) << printed;
        EXPECT_NE(printed.find(report), std::string::npos) << c.letters << "\n" << printed;
    }
    // Only current files hold event types; an older one is not touched.
    Bytes old = DayHeader(0x2000, 4) + Records(Letters("AUUB"));
    WriteFile(Path(), old);
    Repair(3);
    EXPECT_EQ(ReadFile(Path()), old);
}

TEST_F(HistoricRepair, StatesOfTheOldVersionBecomeEventTypes) {
    struct Row {
        uint16_t before, after, type;
    };
    const Row rows[] = {
        {0, 1, 1}, {1, 2, 2}, {0, 2, 1}, {2, 0, 0}, {3, 0, 2}, {4, 0, 4}, {4, 2, 4}, {0, 3, 2},
        {1, 3, 0}, {2, 3, 1}, {2, 4, 3}, {9, 2, 1}, {9, 0, 0}, {0, 5, kUnknown}, {4, 300, kUnknown},
    };
    std::vector<Event> old, converted;
    for (const Row& r : rows) {
        Event e{static_cast<int32_t>(old.size()), 5000, "T" + std::to_string(old.size()), 4, r.before, r.after, 2, 8};
        old.push_back(e);
        e.type = r.type;
        e.milliseconds = 0;
        converted.push_back(e);
    }
    // A count that understates the records: the conversion reads to the end of the file.
    WriteFile(Path(), DayHeader(0x2000, 3) + Records(old));
    Repair(1);
    Bytes file = ReadFile(Path());
    EXPECT_EQ(file.substr(0, kHeader), DayHeader(0x2001, 3));
    for (size_t i = 0; i < std::size(rows); ++i) {
        Event e = Decode(file, i);
        EXPECT_EQ(e.type, converted[i].type) << "before " << rows[i].before << " after " << rows[i].after;
        EXPECT_EQ(Encode(e), Encode(converted[i])) << i;
    }
    EXPECT_EQ(file.size(), kHeader + std::size(rows) * kRecord);

    // A current file is left as it is.
    Bytes current = DayHeader(0x2001, 2) + Records(Letters("AB"));
    WriteFile(Path(), current);
    Repair(1);
    EXPECT_EQ(ReadFile(Path()), current);
}

Bytes OldRecord(int32_t fileRecord, uint32_t time, const Bytes& tag80, int32_t area, uint16_t type, uint16_t ms,
                int16_t user, int32_t comment) {
    Bytes r(kOldRecord, '\0');
    PutLe(r, 0, static_cast<uint32_t>(fileRecord), 4);
    PutLe(r, 4, time, 4);
    r.replace(8, 80, tag80);
    PutLe(r, 88, static_cast<uint32_t>(area), 4);
    PutLe(r, 92, type, 2);
    PutLe(r, 94, ms, 2);
    PutLe(r, 96, static_cast<uint16_t>(user), 2);
    PutLe(r, 98, static_cast<uint32_t>(comment), 4);
    return r;
}

TEST_F(HistoricRepair, OldNarrowRecordsAreWidened) {
    Bytes tag(80, 'g');  // what follows the terminator is left-over garbage
    tag.replace(0, 5, std::string("PUMP\0", 5));
    const Bytes header = DayHeader(0x1999, 2);
    WriteFile(Path(), header + OldRecord(3, 0xF0000000u, tag, 12, 2, 345, 6, 78) +
                          OldRecord(-1, 1000, Bytes(80, '\0'), -2, 0xFFFF, 0, -1, -1));
    Repair(4);
    Bytes file = ReadFile(Path());
    EXPECT_EQ(file.substr(0, kHeader), header) << "the header is left for mode 1 or 3";
    ASSERT_GE(file.size(), kHeader + 2 * kRecord);
    EXPECT_EQ(file.substr(kHeader, kRecord), Encode({3, 0xF0000000LL, "PUMP", 12, 2, 345, 6, 78}))
        << "time zero-extended, tag cleared after its end";
    EXPECT_EQ(file.substr(kHeader + kRecord, kRecord), Encode({-1, 1000, "", -2, 0xFFFF, 0, -1, -1}));
}

TEST_F(HistoricRepair, ACountBeyondTheNarrowRecordsIsNotTrusted) {
    Bytes tag(80, '\0');
    tag[0] = 'X';
    for (uint32_t count : {0x7FFFFFFFu, 0x80000000u, 5u}) {
        WriteFile(Path(), DayHeader(0x1999, count) + OldRecord(1, 50, tag, 0, 1, 0, -1, -1));
        Repair(4);
        Bytes file = ReadFile(Path());
        EXPECT_LE(file.size(), kHeader + kRecord) << count;
        if (count != 0x80000000u) {
            ASSERT_EQ(file.size(), kHeader + kRecord) << count;
            EXPECT_EQ(file.substr(kHeader), Encode({1, 50, "X", 0, 1, 0, -1, -1})) << count;
        }
    }
}

TEST_F(HistoricRepair, RecordsAreLinkedAgainToTheObjectsOfTheirTags) {
    AlarmObject* a = Place("PUMP-A");
    AlarmObject* b = Place("PUMP-B");
    AlarmObject* c = Place("PUMP-C");
    ASSERT_TRUE(a && b && c);
    ASSERT_NE(source_->MoveToRemoved(c), nullptr);
    struct Row {
        const char* what;
        int32_t stored;
        const char* tag;
        int32_t linked;
    };
    const Row rows[] = {
        {"right object, tag in another case", 0, "pump-a", 0},
        {"record of no object", 55, "PUMP-B", 1},
        {"record of another tag", 0, "PUMP-B", 1},
        {"object only among the removed", 1, "PUMP-C", 2},
        {"removed object by its record", 2, "Pump-C", 2},
        {"tag no object has", 1, "GONE", -1},
        {"no tag", 42, "", 42},
    };
    std::vector<Event> events;
    for (const Row& r : rows) events.push_back({r.stored, 10, r.tag, 1, 1});
    WriteFile(Path(), DayHeader(0x2001, 1) + Records(events));
    std::string printed = Repair(2);
    Bytes file = ReadFile(Path());
    EXPECT_EQ(file.substr(0, kHeader), DayHeader(0x2001, 1));
    ASSERT_EQ(file.size(), kHeader + std::size(rows) * kRecord);
    for (size_t i = 0; i < std::size(rows); ++i) {
        Event expected = events[i];
        expected.fileRecord = rows[i].linked;
        EXPECT_EQ(file.substr(kHeader + i * kRecord, kRecord), Encode(expected)) << rows[i].what;
    }
    EXPECT_NE(printed.find("Historic updated 7 events (1 failed to find tagname, removed 0 unknown events)\n"),
              std::string::npos)
        << printed;
}

TEST_F(HistoricRepair, AnUnknownModeChangesNothing) {
    const Bytes day = DayHeader(0x2000, 2) + Records(Letters("UA"));
    WriteFile(Path(), day);
    std::string printed = Repair(7);
    EXPECT_EQ(ReadFile(Path()), day);
    EXPECT_NE(printed.find("Historic updated 0 events (0 failed to find tagname, removed 0 unknown events)\n"),
              std::string::npos)
        << printed;
}

TEST_F(HistoricRepair, CommentFilesAndOtherFilesAreLeftAlone) {
    const Bytes day = DayHeader(0x2001, 2) + Records(Letters("UA"));
    const Bytes comments = Bytes(4, 'c') + Bytes(2000, 'x');
    WriteFile(Path(), day);
    WriteFile(Folder() + "2020-05-06.acm", comments);
    WriteFile(Folder() + "notes.ahs", day);
    for (int mode : {2, 3, 4}) {
        std::string printed = Repair(mode);
        EXPECT_TRUE(ReadFile(Folder() + "2020-05-06.acm") == comments) << "mode " << mode;
        EXPECT_TRUE(ReadFile(Folder() + "notes.ahs") == day) << "mode " << mode;
        EXPECT_EQ(printed.find(".acm"), std::string::npos) << printed;
        EXPECT_EQ(printed.find("notes"), std::string::npos) << printed;
    }
}

}  // namespace
