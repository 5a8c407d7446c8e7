// What the server log has written so far into the day files of one folder, in name order
// (a test may run across midnight). Lines the log still gathers are written first.
#pragma once

#include <string>

#include "platform/fs.h"
#include "server/core/log.h"
#include "tests/support/temp_folder.h"

namespace testing_support {

inline std::string LogFolderText(const std::string& folder) {
    heraldon::TheLog().Flush();
    std::string text;
    std::string slash = folder.empty() || folder.back() == '/' ? "" : "/";
    for (const std::string& name : platform::fs::ListFiles(folder)) text += ReadFile(folder + slash + name);
    return text;
}

}  // namespace testing_support
