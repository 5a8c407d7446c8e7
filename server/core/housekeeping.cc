#include "server/core/housekeeping.h"

#include <cstdio>

#include "platform/fs.h"
#include "server/core/log.h"

namespace heraldon {

namespace {

bool ContainsNoCase(const std::string& name, const char* lowerPart) {
    std::string lower = name;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower.find(lowerPart) != std::string::npos;
}

bool EndsWithNoCase(const std::string& name, const char* lowerSuffix) {
    std::string suffix = lowerSuffix;
    if (name.size() < suffix.size()) return false;
    return ContainsNoCase(name.substr(name.size() - suffix.size()), lowerSuffix);
}

// Deletes every file of folder accepted by matches whose age reaches daysToKeep, logging
// each deletion with logFormat.
template <typename Matches>
void DeleteOldFiles(const std::string& folder, int today, int daysToKeep, Matches matches,
                    const char* logFormat) {
    for (const std::string& name : platform::fs::ListFiles(folder)) {
        int day = 0;
        if (!matches(name) || !DayNumberOfFileName(name, day)) continue;
        if (today - day < daysToKeep) continue;
        std::string path = folder + name;
        if (platform::fs::RemoveFile(path)) Log(logFormat, path.c_str());
    }
}

}  // namespace

int DayNumber(int year, int month, int day) { return year * 365 + (month - 1) * 30 + day - 1; }

bool DayNumberOfFileName(const std::string& name, int& dayNumber) {
    unsigned year = 0, month = 0, day = 0;
    if (std::sscanf(name.c_str(), "%4u-%2u-%2u", &year, &month, &day) != 3) return false;
    dayNumber = DayNumber(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day));
    return true;
}

void Housekeeping::Run(const std::tm& now, const HousekeepingSettings& settings,
                       const std::string& logFolder,
                       const std::vector<std::string>& historicFolders) {
    if (settings.daysToKeepLogFiles < 0) return;
    if (now.tm_mday == lastDayOfMonth_) return;
    int today = DayNumber(now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);

    if (settings.daysToKeepLogFiles > 0) {
        DeleteOldFiles(
            logFolder, today, settings.daysToKeepLogFiles,
            [](const std::string& name) { return EndsWithNoCase(name, ".log"); },
            "Deleted log file %s");
    }
    if (settings.daysToKeepHistoricFiles > 0) {
        for (const std::string& folder : historicFolders) {
            DeleteOldFiles(
                folder, today, settings.daysToKeepHistoricFiles,
                [](const std::string& name) { return ContainsNoCase(name, ".a"); },
                "Deleted historic file %s");
        }
    }
    lastDayOfMonth_ = now.tm_mday;
}

}  // namespace heraldon
