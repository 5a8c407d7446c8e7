// The values of "Heraldon.ini", read once at start-up.
//
// Texts are the system's 8-bit text, cut to the size of the buffer they have always had.
#pragma once

#include <cstdint>
#include <string>

namespace heraldon {

constexpr const char* kDefaultTesselFormat =
    "[Status]|[AlarmDate]|[AlarmTime]|[Tag]|[Name]|[Category]|[Area]|[Description]|[SumState]";

struct GeneralConfig {
    std::string dataPath;
    int daysToKeepLogFiles = 90;
    int daysToKeepHistoricFiles = 365;
    uint16_t clientListenPort = 0;
    uint16_t tesselListenPort = 0;
    int tesselKeepAliveInterval = 0;
    std::string tesselFormat = kDefaultTesselFormat;
    int objectStatusUpdateInterval = 1000;
    int clientKeepAliveInterval = 0;
    int clientKeepAliveTimeout = 0;
    int maxStoredEventsPerHour = 0;
    int maxStoredEventsPerDay = 0;
    int maxStoredEventsPerMonth = 0;
    int maxReturnedHistoricEvents = -1;
    int webServerPort = 0;
    int systemAlarmCategory = 0;
    int systemAlarmArea = 0;
    int alarmSourceKeepAliveInterval = 1000;
    uint16_t alarmSourcePort = 49876;
    std::string alarmSourceFailedText = "Alarm Source connection failed";
    int disableAlarmSourceRejectMessages = 0;
    int resetAllAlarmSourceFolders = 0;
    int repairHistoricEvents = 0;
    int resetSmallCommentBehaviour = 0;
    std::string systemAlarmSourceName = "System";
    std::string systemAlarmSourceDescription = "Klaxora system";
    std::string systemAlarmSourceTagPrefix;
    int systemAlarmSourceAlarmDefaultCategory = 0;
    int systemAlarmSourceAlarmDefaultArea = 0;
    std::string serviceName = "Heraldon";
    std::string displayName = "Heraldon (Klaxora) Server";
};

struct RedundancyConfig {
    int serverType = 0;
    uint16_t serverPort = 0;
    std::string remoteServer;
    int connectTimeout = 5000;
    int reconnectInterval = 5000;
    int keepAliveInterval = 1000;
};

// Only the two keys the log and housekeeping need before anything else is read.
void ReadDaysToKeep(const std::string& iniPath, GeneralConfig& config);

// Every [General] key, in the order of the configuration table.
void ReadGeneralConfig(const std::string& iniPath, GeneralConfig& config);

// The [Redundancy] keys, with ReconnectInterval and KeepAliveInterval brought into range.
RedundancyConfig ReadRedundancyConfig(const std::string& iniPath);

}  // namespace heraldon
