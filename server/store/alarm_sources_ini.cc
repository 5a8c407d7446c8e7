#include "server/store/alarm_sources_ini.h"

#include "platform/ini.h"
#include "platform/text.h"
#include "server/core/log.h"
#include "server/store/source_folders.h"

namespace heraldon {

namespace {

constexpr std::string_view kSectionPrefix = "AlarmSource_";

std::string Cut(std::string text, size_t bufferSize) {
    if (text.size() > bufferSize - 1) text.resize(bufferSize - 1);
    return text;
}

bool NameTaken(const std::vector<std::unique_ptr<AlarmSource>>& sources, const std::string& name) {
    for (const auto& source : sources) {
        if (platform::text::EqualsNoCase(source->name, name)) return true;
    }
    return false;
}

}  // namespace

void LoadAlarmSources(const std::string& ini, const std::string& dataFolder, bool resetFolders,
                      const std::tm& localNow, std::vector<std::unique_ptr<AlarmSource>>& sources) {
    for (const std::string& section : platform::ini::SectionNames(ini)) {
        if (section.size() < kSectionPrefix.size() ||
            !platform::text::EqualsNoCase(section.substr(0, kSectionPrefix.size()),
                                          kSectionPrefix)) {
            continue;
        }
        if (sources.size() > kMaxAlarmSources - 1) {
            Log("More than 127 Alarm Sources, will ignore section '%s'!", section.c_str());
            break;
        }
        AlarmSourceSettings s;
        s.name = Cut(section.substr(kSectionPrefix.size()), 256);
        if (NameTaken(sources, s.name)) {
            Log("Alarm Source '%s' is already defined", s.name.c_str());
            continue;
        }
        s.description = Cut(platform::ini::ReadString(ini, section, "Description", ""), 256);
        s.tagPrefix = Cut(platform::ini::ReadString(ini, section, "TagPrefix", ""), 256);
        s.failedCategory = platform::ini::ReadInt(ini, section, "CategoryWhenConnectionFailed", 0);
        s.failedArea = platform::ini::ReadInt(ini, section, "AreaWhenConnectionFailed", 0);
        s.keepAliveInterval = platform::ini::ReadInt(ini, section, "KeepAliveInterval", 0);

        std::string folder = SourceFolderPath(dataFolder, s.name);
        bool usable = IsUsableFolderName(s.name);
        if (usable && resetFolders) MoveSourceFolderAside(folder, localNow);
        if (!usable || !CreateSourceFolders(folder)) {
            Log("Alarm Source '%s' has an invalid name (directory could not be created)",
                s.name.c_str());
            continue;
        }
        int index = static_cast<int>(sources.size());
        sources.push_back(std::make_unique<AlarmSource>(s, index, folder + "/"));
        Log("Alarm Source '%s' was added", s.name.c_str());
    }
}

}  // namespace heraldon
