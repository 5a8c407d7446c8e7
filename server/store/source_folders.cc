#include "server/store/source_folders.h"

#include <cstdio>

#include "platform/fs.h"
#include "platform/text.h"
#include "server/core/log.h"

namespace heraldon {

bool IsUsableFolderName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string::npos && name.find('\\') == std::string::npos;
}

std::string SourceFolderPath(const std::string& dataFolder, const std::string& ansiName) {
    return dataFolder + platform::text::AnsiToUtf8(ansiName);
}

void MoveSourceFolderAside(const std::string& folder, const std::tm& t) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "_%04u%02u%02u_%02u%02u%02u",
                  static_cast<unsigned>(t.tm_year + 1900), static_cast<unsigned>(t.tm_mon + 1),
                  static_cast<unsigned>(t.tm_mday), static_cast<unsigned>(t.tm_hour),
                  static_cast<unsigned>(t.tm_min), static_cast<unsigned>(t.tm_sec));
    std::string target = folder + stamp;
    if (platform::fs::Rename(folder, target)) {
        Log("Renamed folder %s to %s", folder.c_str(), target.c_str());
    } else {
        Log("Failed to rename folder %s to %s", folder.c_str(), target.c_str());
    }
}

bool CreateSourceFolders(const std::string& folder) {
    if (!platform::fs::EnsureFolder(folder)) return false;
    platform::fs::EnsureFolder(folder + "/Historic");
    platform::fs::EnsureFolder(folder + "/Comment");
    return true;
}

}  // namespace heraldon
