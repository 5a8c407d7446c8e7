// Start-up of the server, in the order operators know from the log.

#include <unistd.h>

#include <random>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/ini.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "server/core/data_folder.h"
#include "server/core/heraldon.h"
#include "server/core/log.h"
#include "server/store/alarm_sources_ini.h"
#include "server/store/historic_files.h"
#include "server/store/source_folders.h"

namespace heraldon {

namespace {

std::string VersionTextOf(const char* version) {
    std::string text;
    for (const char* p = version; *p != '\0'; ++p) {
        if (*p == ' ') continue;
        text += *p == ',' ? '.' : *p;
    }
    return text.empty() ? "(can't get version info)" : text.substr(0, 31);
}

bool EndsWithOrgNoCase(const std::string& name) {
    return name.size() > 4 && platform::text::EqualsNoCase(name.substr(name.size() - 4), ".org");
}

}  // namespace

CHeraldon::StartOutcome CHeraldon::StartUp() {
    // A client or source that vanishes mid-send must be an error return, not a signal.
    platform::net::IgnoreSigpipe();
    platform::clock::InitTimeZone();

    iniPath_ = programFolder_ + "Heraldon.ini";
    if (!PrepareDataFolder()) return StartOutcome::Failed;
    commonFilterPath_ = dataPath_ + "CommonFilters.ini";

    versionText_ = VersionTextOf(KLAXORA_VERSION);
    Log("------------------------------------------------------------------");
    Log("Heraldon is starting (version %s)", versionText_.c_str());
    if (!dataFallback_.empty()) {
        Log("Can't create the data folder %s, using %s instead", dataFallback_.c_str(),
            dataPath_.c_str());
    }

    CopyTemplates();
    ReadGeneralConfig(iniPath_, config_);

    std::tm now = platform::clock::LocalCalendarNow();
    if (!CreateSystemAlarmSource()) return StartOutcome::Failed;
    LoadAlarmSources(programFolder_ + "AlarmSources.ini", dataPath_,
                     config_.resetAllAlarmSourceFolders == 1 ||
                         config_.resetAllAlarmSourceFolders == 2,
                     now, alarmSources_);
    for (const auto& source : alarmSources_) historicFolders_.push_back(source->HistoricFolder());

    redundancy_ = ReadRedundancyConfig(iniPath_);

    // The partner tells itself from us by this value; two hosts started in the same second
    // with the same process id must still differ, hence the system's random source.
    std::random_device random;
    instanceId_ = (static_cast<uint32_t>(random()) << 16) ^ static_cast<uint32_t>(::getpid());

    if (config_.resetAllAlarmSourceFolders != 0) {
        platform::ini::WriteString(iniPath_, "General", "ResetAllAlarmSourceFolders", "0");
        if (config_.resetAllAlarmSourceFolders == 1) {
            Log("Heraldon is exiting due to ResetAllAlarmSourceFolders setting");
            return StartOutcome::Finished;
        }
    }
    if (config_.repairHistoricEvents != 0) {
        RunRepairMode();
        return StartOutcome::Finished;
    }

    // The running flag was set by the process entry before Run; a stop request that came
    // during start-up (a service stop) has cleared it again and must stay in force.
    if (redundancy_.serverType != 0) pair_.Start();
    pair_.EvaluateRole();
    if (IsActive()) StartAlarmThreads();

    if (config_.webServerPort >= 1 && config_.webServerPort <= 65535) {
        Log("Webserver is disabled in this version of Heraldon");
    }
    platform::clock::SleepMs(200);
    if (ConsoleMode()) {
        platform::console::Print("\nNorvane Heraldon (Klaxora) Server is running\n\n");
        platform::console::Print("Press ESC key to exit\n\n");
    }
    return StartOutcome::Run;
}

bool CHeraldon::PrepareDataFolder() {
    std::string dataPathKey = platform::text::AnsiToUtf8(
        platform::ini::ReadString(iniPath_, "General", "DataPath", ""));
    DataFolderChoice choice =
        ResolveDataFolder(dataPathKey, programFolder_, platform::fs::MachineDataFolder(),
                          platform::fs::UserDataFolder());
    if (choice.folder.empty()) {
        platform::console::Print("Heraldon can't create a data folder (set DataPath in " +
                                 iniPath_ + ")\n");
        return false;
    }
    dataPath_ = choice.folder;
    dataFallback_ = choice.fallback;
    platform::fs::EnsureFolder(dataPath_ + "LogFiles");
    ReadDaysToKeep(iniPath_, config_);
    TheLog().Configure(dataPath_ + "LogFiles/", config_.daysToKeepLogFiles, ConsoleMode());
    return true;
}

void CHeraldon::CopyTemplates() {
    std::string templates = programFolder_ + "Templates/";
    for (const std::string& name : platform::fs::ListFiles(templates)) {
        if (!EndsWithOrgNoCase(name)) continue;
        std::string from = templates + name;
        std::string to = dataPath_ + name.substr(0, name.size() - 4) + ".ini";
        if (platform::fs::CopyIfMissing(from, to)) {
            Log("Initially copied and renamed '%s' to project folder", from.c_str());
        }
    }
}

bool CHeraldon::CreateSystemAlarmSource() {
    AlarmSourceSettings s;
    s.name = config_.systemAlarmSourceName;
    s.description = config_.systemAlarmSourceDescription;
    s.tagPrefix = config_.systemAlarmSourceTagPrefix;
    s.failedCategory = config_.systemAlarmSourceAlarmDefaultCategory;
    s.failedArea = config_.systemAlarmSourceAlarmDefaultArea;

    std::string folder = SourceFolderPath(dataPath_, s.name);
    bool usable = IsUsableFolderName(s.name);
    if (usable && (config_.resetAllAlarmSourceFolders == 1 ||
                   config_.resetAllAlarmSourceFolders == 2)) {
        MoveSourceFolderAside(folder, platform::clock::LocalCalendarNow());
    }
    if (!usable || !CreateSourceFolders(folder)) {
        Log("System Alarm Source '%s' has an invalid name (directory could not be created) - "
            "exiting application",
            s.name.c_str());
        return false;
    }
    auto system = std::make_unique<AlarmSource>(s, 0, folder + "/");
    system->running = 1;  // it has no process behind it, so it never disconnects
    alarmSources_.push_back(std::move(system));
    Log("System Alarm Source '%s' was added", s.name.c_str());
    return true;
}

void CHeraldon::RunRepairMode() {
    Log("Heraldon will scan and reindex all historic event files");
    platform::ini::WriteString(iniPath_, "General", "RepairHistoricEvents", "0");
    std::lock_guard<FairRecursiveMutex> guard(alarmDataLock_);
    for (auto& source : alarmSources_) {
        if (!LoadAlarmObjectFile(*source)) continue;
        RepairHistoricFiles(*source, config_.repairHistoricEvents);
        source->FreeObjects();
    }
    Log("Heraldon scanned and reindexed all historic event files, we will now exit");
}

}  // namespace heraldon
