#include "server/core/config.h"

#include "platform/ini.h"

namespace heraldon {

namespace {

constexpr const char* kGeneral = "General";

std::string Text(const std::string& ini, const char* section, const char* key,
                 const std::string& defaultValue, size_t bufferSize) {
    std::string value = platform::ini::ReadString(ini, section, key, defaultValue);
    if (value.size() > bufferSize - 1) value.resize(bufferSize - 1);
    return value;
}

int Int(const std::string& ini, const char* section, const char* key, int defaultValue) {
    return platform::ini::ReadInt(ini, section, key, defaultValue);
}

// Ports are kept as the 16-bit value the socket layer takes, as they always were.
uint16_t Port(const std::string& ini, const char* section, const char* key, int defaultValue) {
    return static_cast<uint16_t>(Int(ini, section, key, defaultValue));
}

}  // namespace

void ReadDaysToKeep(const std::string& ini, GeneralConfig& c) {
    c.daysToKeepLogFiles = Int(ini, kGeneral, "DaysToKeepLogFiles", 90);
    c.daysToKeepHistoricFiles = Int(ini, kGeneral, "DaysToKeepHistoricFiles", 365);
}

void ReadGeneralConfig(const std::string& ini, GeneralConfig& c) {
    c.dataPath = Text(ini, kGeneral, "DataPath", "", 260);
    ReadDaysToKeep(ini, c);
    c.clientListenPort = Port(ini, kGeneral, "ClientListenPort", 0);
    c.tesselListenPort = Port(ini, kGeneral, "TesselListenPort", 0);
    c.tesselKeepAliveInterval = Int(ini, kGeneral, "TesselKeepAliveInterval", 0);
    c.tesselFormat = Text(ini, kGeneral, "TesselFormat", kDefaultTesselFormat, 256);
    c.objectStatusUpdateInterval = Int(ini, kGeneral, "ObjectStatusUpdateInterval", 1000);
    c.clientKeepAliveInterval = Int(ini, kGeneral, "ClientKeepAliveInterval", 0);
    c.clientKeepAliveTimeout = Int(ini, kGeneral, "ClientKeepAliveTimeout", 0);
    c.maxStoredEventsPerHour = Int(ini, kGeneral, "MaxStoredEventsPerHour", 0);
    c.maxStoredEventsPerDay = Int(ini, kGeneral, "MaxStoredEventsPerDay", 0);
    c.maxStoredEventsPerMonth = Int(ini, kGeneral, "MaxStoredEventsPerMonth", 0);
    c.maxReturnedHistoricEvents = Int(ini, kGeneral, "MaxReturnedHistoricEvents", -1);
    c.webServerPort = Int(ini, kGeneral, "WebServerPort", 0);
    c.systemAlarmCategory = Int(ini, kGeneral, "SystemAlarmCategory", 0);
    c.systemAlarmArea = Int(ini, kGeneral, "SystemAlarmArea", 0);
    c.alarmSourceKeepAliveInterval = Int(ini, kGeneral, "AlarmSourceKeepAliveInterval", 1000);
    c.alarmSourcePort = Port(ini, kGeneral, "AlarmSourcePort", 49876);
    c.alarmSourceFailedText =
        Text(ini, kGeneral, "AlarmSourceFailedText", "Alarm Source connection failed", 128);
    c.disableAlarmSourceRejectMessages = Int(ini, kGeneral, "DisableAlarmSourceRejectMessages", 0);
    c.resetAllAlarmSourceFolders = Int(ini, kGeneral, "ResetAllAlarmSourceFolders", 0);
    c.repairHistoricEvents = Int(ini, kGeneral, "RepairHistoricEvents", 0);
    c.resetSmallCommentBehaviour = Int(ini, kGeneral, "ResetSmallCommentBehaviour", 0);
    c.systemAlarmSourceName = Text(ini, kGeneral, "SystemAlarmSourceName", "System", 256);
    c.systemAlarmSourceDescription =
        Text(ini, kGeneral, "SystemAlarmSourceDescription", "Klaxora system", 256);
    c.systemAlarmSourceTagPrefix = Text(ini, kGeneral, "SystemAlarmSourceTagPrefix", "", 256);
    c.systemAlarmSourceAlarmDefaultCategory =
        Int(ini, kGeneral, "SystemAlarmSourceAlarmDefaultCategory", 0);
    c.systemAlarmSourceAlarmDefaultArea = Int(ini, kGeneral, "SystemAlarmSourceAlarmDefaultArea", 0);
    c.serviceName = Text(ini, kGeneral, "ServiceName", "Heraldon", 64);
    c.displayName = Text(ini, kGeneral, "DisplayName", "Heraldon (Klaxora) Server", 256);
}

RedundancyConfig ReadRedundancyConfig(const std::string& ini) {
    constexpr const char* kRedundancy = "Redundancy";
    RedundancyConfig r;
    r.serverType = Int(ini, kRedundancy, "ServerType", 0);
    r.serverPort = Port(ini, kRedundancy, "ServerPort", 0);
    r.remoteServer = Text(ini, kRedundancy, "RemoteServer", "", 256);
    r.connectTimeout = Int(ini, kRedundancy, "ConnectTimeout", 5000);
    r.reconnectInterval = Int(ini, kRedundancy, "ReconnectInterval", 5000);
    r.keepAliveInterval = Int(ini, kRedundancy, "KeepAliveInterval", 1000);
    if (r.reconnectInterval < 1000) r.reconnectInterval = 1000;
    if (r.keepAliveInterval < 1) r.keepAliveInterval = 100;
    return r;
}

}  // namespace heraldon
