// A complete Heraldon installation in a temporary folder: the real binary, its two
// configuration files and its templates, with the data folder inside ("data/").
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace testing_support {

class HeraldonInstallation {
public:
    // general holds extra "Key=Value" lines of [General]; sources the whole AlarmSources.ini.
    explicit HeraldonInstallation(const std::string& general = "",
                                  const std::string& sources = "[AlarmSource_Plant]\n") {
        std::filesystem::copy_file(HERALDON_BINARY, folder_ / "heraldon");
        WriteIni(general);
        WriteFile(folder_ / "AlarmSources.ini", sources);
        std::filesystem::create_directories(folder_ / "Templates");
        WriteFile(folder_ / "Templates/Areas.org", "[Areas]\n1=Pumps\n");
    }

    void WriteIni(const std::string& general) {
        // Port 0: every test gets free ports, so tests can run side by side.
        WriteFile(folder_ / "Heraldon.ini",
                  "[General]\nDataPath=data\nAlarmSourcePort=0\nClientListenPort=0\n"
                  "TesselListenPort=0\n" + general);
    }

    std::unique_ptr<ChildProcess> Start() {
        return std::make_unique<ChildProcess>(folder_ / "heraldon", std::vector<std::string>{},
                                              folder_.Path());
    }

    std::string Folder(const std::string& name = "") const { return folder_ / name; }
    std::string Data(const std::string& name = "") const { return folder_ / ("data/" + name); }

    // Every log file of the data folder, in date order, as one text.
    std::string LogText() const {
        std::string text;
        for (const std::string& name : platform::fs::ListFiles(Data("LogFiles/"))) {
            text += ReadFile(Data("LogFiles/") + name);
        }
        return text;
    }

private:
    TempFolder folder_;
};

// True when the lines appear in text in this order (other lines may stand between).
inline bool InOrder(const std::string& text, const std::vector<std::string>& lines,
                    std::string* missing = nullptr) {
    size_t at = 0;
    for (const std::string& line : lines) {
        size_t found = text.find(line, at);
        if (found == std::string::npos) {
            if (missing != nullptr) *missing = line;
            return false;
        }
        at = found + line.size();
    }
    return true;
}

}  // namespace testing_support
