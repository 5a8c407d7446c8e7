#include "server/core/data_folder.h"

#include "platform/fs.h"

namespace heraldon {

namespace {

// Creates base + "Norvane/Heraldon/"; for the user's folder the leading folders may be
// missing on a fresh account, so those are made too.
std::string MakeHeraldonFolder(const std::string& base, bool createBase) {
    if (base.empty() || base == "/") return "";
    if (createBase) {
        for (size_t slash = base.find('/', 1); slash != std::string::npos;
             slash = base.find('/', slash + 1)) {
            platform::fs::EnsureFolder(base.substr(0, slash));
        }
    }
    std::string norvane = base + "Norvane";
    std::string heraldon = norvane + "/Heraldon";
    if (!platform::fs::EnsureFolder(norvane) || !platform::fs::EnsureFolder(heraldon)) return "";
    return heraldon + "/";
}

}  // namespace

DataFolderChoice ResolveDataFolder(const std::string& dataPathKey, const std::string& programFolder,
                                   const std::string& machineDataFolder,
                                   const std::string& userDataFolder) {
    DataFolderChoice choice;
    if (!dataPathKey.empty()) {
        std::string folder = dataPathKey;
        if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (folder.front() != '/') folder = programFolder + folder;
        if (folder != "/") platform::fs::EnsureFolder(folder);
        choice.folder = folder == "/" ? folder : folder + "/";
        return choice;
    }
    choice.folder = MakeHeraldonFolder(machineDataFolder, false);
    if (choice.folder.empty()) {
        choice.fallback = machineDataFolder + "Norvane/Heraldon/";
        choice.folder = MakeHeraldonFolder(userDataFolder, true);
    }
    return choice;
}

}  // namespace heraldon
