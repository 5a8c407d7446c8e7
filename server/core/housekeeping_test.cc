#include "server/core/housekeeping.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "platform/fs.h"
#include "tests/support/temp_folder.h"

namespace {

using heraldon::Housekeeping;
using heraldon::HousekeepingSettings;
using testing_support::TempFolder;
using testing_support::WriteFile;

std::tm Day(int year, int month, int day) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = 0;
    return t;
}

std::set<std::string> Names(const std::string& folder) {
    auto files = platform::fs::ListFiles(folder);
    return {files.begin(), files.end()};
}

TEST(DayNumber, CountsEveryMonthAsThirtyDays) {
    int jan31 = 0, feb01 = 0;
    ASSERT_TRUE(heraldon::DayNumberOfFileName("2015-01-31.Log", jan31));
    ASSERT_TRUE(heraldon::DayNumberOfFileName("2015-02-01.ahs", feb01));
    EXPECT_EQ(jan31, feb01);
    EXPECT_EQ(heraldon::DayNumber(2015, 3, 1) - heraldon::DayNumber(2015, 2, 1), 30);
    int ignored;
    EXPECT_FALSE(heraldon::DayNumberOfFileName("notes.log", ignored));
    EXPECT_FALSE(heraldon::DayNumberOfFileName("x2015-01-01.log", ignored));
}

struct Case {
    const char* what;
    HousekeepingSettings settings;
    std::set<std::string> logsLeft;
    std::set<std::string> historicLeft;
};

class HousekeepingTable : public ::testing::TestWithParam<Case> {};

// The day is 2015-03-10 (day number 2015*365+60+9). Files:
//   logs: 2015-03-10 (today), 2015-03-09 (1 day), 2015-02-10 (30 days), 2014-12-10 (90 days)
//         and two that are never touched: "notes.log" (no date), "2015-01-01.txt" (not *.log)
//   historic: the .ahs/.acm pair of 2015-03-09 and of 2014-03-10 (365 days), "readme.ahs"
TEST_P(HousekeepingTable, DeletesWhatIsOldEnoughAndNothingElse) {
    const Case& c = GetParam();
    TempFolder temp;
    std::string logs = temp / "LogFiles/";
    std::string historic = temp / "Plant/Historic/";
    std::filesystem::create_directories(logs);
    std::filesystem::create_directories(historic);
    for (const char* name : {"2015-03-10.Log", "2015-03-09.Log", "2015-02-10.log", "2014-12-10.LOG",
                             "notes.log", "2015-01-01.txt"}) {
        WriteFile(logs + name, "x");
    }
    for (const char* name : {"2015-03-09.ahs", "2015-03-09.acm", "2014-03-10.ahs", "2014-03-10.acm",
                             "readme.ahs"}) {
        WriteFile(historic + name, "x");
    }

    Housekeeping housekeeping;
    housekeeping.Run(Day(2015, 3, 10), c.settings, logs, {historic});
    EXPECT_EQ(Names(logs), c.logsLeft) << c.what;
    EXPECT_EQ(Names(historic), c.historicLeft) << c.what;
}

const std::set<std::string> kAllLogs = {"2015-03-10.Log", "2015-03-09.Log", "2015-02-10.log",
                                        "2014-12-10.LOG", "notes.log",      "2015-01-01.txt"};
const std::set<std::string> kAllHistoric = {"2015-03-09.ahs", "2015-03-09.acm", "2014-03-10.ahs",
                                            "2014-03-10.acm", "readme.ahs"};
const std::set<std::string> kRecentHistoric = {"2015-03-09.ahs", "2015-03-09.acm", "readme.ahs"};

INSTANTIATE_TEST_SUITE_P(
    Settings, HousekeepingTable,
    ::testing::Values(
        Case{"defaults", {90, 365},
             {"2015-03-10.Log", "2015-03-09.Log", "2015-02-10.log", "notes.log", "2015-01-01.txt"},
             kRecentHistoric},
        Case{"keep one day", {1, 365},
             {"2015-03-10.Log", "notes.log", "2015-01-01.txt"}, kRecentHistoric},
        Case{"log off still deletes historic files", {0, 365}, kAllLogs, kRecentHistoric},
        Case{"negative turns all deletion off", {-1, 1}, kAllLogs, kAllHistoric},
        Case{"historic 0 keeps historic files", {30, 0},
             {"2015-03-10.Log", "2015-03-09.Log", "notes.log", "2015-01-01.txt"}, kAllHistoric}));

TEST(Housekeeping, RunsOncePerDayOfTheMonth) {
    TempFolder temp;
    std::string logs = temp / "LogFiles/";
    std::filesystem::create_directories(logs);
    Housekeeping housekeeping;
    HousekeepingSettings settings{1, 0};

    housekeeping.Run(Day(2015, 3, 10), settings, logs, {});
    WriteFile(logs + "2015-03-09.Log", "x");
    housekeeping.Run(Day(2015, 3, 10), settings, logs, {});  // same day: nothing runs
    EXPECT_EQ(Names(logs).size(), 1u);
    housekeeping.Run(Day(2015, 3, 11), settings, logs, {});  // first pass after midnight
    EXPECT_TRUE(Names(logs).empty());
}

}  // namespace
