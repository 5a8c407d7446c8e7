// The configured Alarm Sources ("AlarmSources.ini").
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "server/store/alarm_source.h"

namespace heraldon {

// Appends a source for every section "AlarmSource_<name>" (prefix in any case), in file
// order, after the sources already in the list (the system source). A duplicate name, a
// name that can not be a folder, and every section beyond the 128th source are logged and
// left out. With resetFolders each source's folder is first moved aside.
void LoadAlarmSources(const std::string& iniPath, const std::string& dataFolder,
                      bool resetFolders, const std::tm& localNow,
                      std::vector<std::unique_ptr<AlarmSource>>& sources);

}  // namespace heraldon
