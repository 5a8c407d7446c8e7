// Daily deletion of old log files and historic day files.
//
// Ages are counted in "day numbers" in which every month has 30 days (year * 365 +
// (month - 1) * 30 + day - 1). Around month ends a file's age may be off by a day or two;
// that is how ages have always been counted here, and operators size their
// DaysToKeep... settings by it.
//
// Runs on the main thread only.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace heraldon {

int DayNumber(int year, int month, int day);

// Reads a leading "YYYY-MM-DD" of a file name; false when the name does not begin with
// a date.
bool DayNumberOfFileName(const std::string& name, int& dayNumber);

struct HousekeepingSettings {
    int daysToKeepLogFiles = 90;       // 0: the log is off; negative: never delete anything
    int daysToKeepHistoricFiles = 365;  // 0 or less: keep historic files
};

class Housekeeping {
public:
    // Deletes what has grown too old, at most once per calendar day: on the first call and
    // on the first call after the day of the month changes. historicFolders are the
    // alarm sources' "Historic/" folders in list order.
    void Run(const std::tm& localNow, const HousekeepingSettings& settings,
             const std::string& logFolder, const std::vector<std::string>& historicFolders);

private:
    int lastDayOfMonth_ = 0;
};

}  // namespace heraldon
