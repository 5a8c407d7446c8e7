#include "server/alarms/alarm_commands.h"

#include <string>

#include "platform/clock.h"
#include "server/alarms/alarm_events.h"
#include "server/alarms/alarm_state.h"
#include "server/core/heraldon.h"
#include "server/core/log.h"
#include "server/net/source_connection.h"
#include "server/net/source_protocol.h"

namespace heraldon {

namespace {

// Texts from clients are cut at an embedded zero byte: in a zero-terminated field it would
// end the field early and start a forged one.
std::string Clean(std::string_view text, size_t maxChars = std::string::npos) {
    text = text.substr(0, text.find('\0'));
    return std::string(text.substr(0, maxChars));
}

net::SourcePacketBuilder CommandPacket(const AlarmObject& o) {
    net::SourcePacketBuilder packet;
    packet.Unsigned(o.SCADAHandle).Unsigned(static_cast<uint32_t>(o.FileRecord)).Text(o.Tag);
    return packet;
}

struct SourceCommand {
    int command;
    uint32_t packetType;
    const char* logFormat;
};

constexpr SourceCommand kSourceCommands[] = {
    {kCommandAck, net::SOURCE_PACKET_TYPE_ACK, "Alarm Tag '%s' was acked by client %s (%s)"},
    {kCommandDisable, net::SOURCE_PACKET_TYPE_DISABLE, "Alarm Tag '%s' was disabled by client %s (%s)"},
    {kCommandEnable, net::SOURCE_PACKET_TYPE_ENABLE, "Alarm Tag '%s' was enabled by client %s (%s)"},
    {kCommandInactivate, net::SOURCE_PACKET_TYPE_INACTIVATE,
     "Alarm Tag '%s' was inactivated by client %s (%s)"},
    {kCommandActivate, net::SOURCE_PACKET_TYPE_ACTIVATE, "Alarm Tag '%s' was activated by client %s (%s)"},
    {kCommandRemove, net::SOURCE_PACKET_TYPE_REMOVE, "Alarm Tag '%s' was deleted by client %s (%s)"},
};

struct SystemCommand {
    int command;
    int32_t eventType;
    const char* logFormat;
};

constexpr SystemCommand kSystemCommands[] = {
    {kCommandAck, kEventAcked, "AlarmSource '%s': Alarm object '%s' was acked by '%s'"},
    {kCommandDisable, kEventDisable, "AlarmSource '%s': Alarm object '%s' was disabled by '%s'"},
    {kCommandEnable, kEventEnable, "AlarmSource '%s': Alarm object '%s' was enabled by '%s'"},
    {kCommandInactivate, kEventInActive, "AlarmSource '%s': Alarm object '%s' was inactivated by '%s'"},
    {kCommandActivate, kEventActive, "AlarmSource '%s': Alarm object '%s' was activated by '%s'"},
};

int SourceObjectCommand(AlarmSource& source, AlarmObject& o, int command, const std::string& user,
                        const std::string& comment, int64_t durationSeconds,
                        const std::string& address) {
    const SourceCommand* kind = nullptr;
    for (const SourceCommand& c : kSourceCommands) {
        if (c.command == command) kind = &c;
    }
    if (kind == nullptr) return 0;

    net::SourcePacketBuilder packet = CommandPacket(o);
    switch (command) {
        case kCommandAck:
            SetText(o.LastAckedBy, user);
            packet.Text(o.LastAckedBy);
            break;
        case kCommandDisable:
            o.DisabledExpireTime =
                durationSeconds != 0 ? durationSeconds + platform::clock::UtcNow() : 0;
            SetText(o.LastDisabledBy, user);
            packet.Text(o.LastDisabledBy);
            break;
        case kCommandEnable:
            SetText(o.LastEnabledBy, user);
            packet.Text(o.LastEnabledBy);
            break;
        default:
            packet.Text(user);
            break;
    }
    Log(kind->logFormat, o.Tag, address.c_str(), user.c_str());
    if (command == kCommandDisable) {
        // The end time must follow the comment whatever its length: without it the source
        // would take the alarm as disabled for good.
        std::string end = std::to_string(static_cast<uint32_t>(o.DisabledExpireTime));
        packet.Text(comment, end.size() + 1).Text(end);
    } else {
        packet.Text(comment);
    }
    // A disconnected source simply gets nothing; the by-fields are kept all the same.
    SendToSource(source.connection, kind->packetType, packet.Payload());
    o.MarkChanged();
    return 1;
}

int SystemObjectCommand(AlarmSource& system, AlarmObject& o, int command, const std::string& user) {
    if (command == kCommandRemove) {
        std::string tag = o.Tag;
        RemoveAlarmObject(system, o);
        Log("AlarmSource '%s': Alarm object '%s' was removed by '%s'", system.name.c_str(), tag.c_str(),
            user.c_str());
        return 1;
    }
    for (const SystemCommand& c : kSystemCommands) {
        if (c.command != command) continue;
        std::string tag = o.Tag;
        AlarmObject* raised = RaiseSystemAlarm(c.eventType, tag, TextOf(o.Name), TextOf(o.Description),
                                               o.Category, o.Area, user);
        if (raised == nullptr) return 0;
        Log(c.logFormat, system.name.c_str(), tag.c_str(), user.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int ExecuteCommand(int command, uint32_t handle, std::string_view userText,
                   std::string_view commentText, int64_t durationSeconds,
                   std::string_view clientAddress) {
    CHeraldon* server = TheServer();
    std::string address(clientAddress);
    int32_t record = 0;
    AlarmSource* source = SourceForHandle(server->AlarmSources(), handle, &record);
    if (source == nullptr) {
        Log("Alarm Command to Alarm handle %d from client %s failed, AlarmSource is invalid",
            static_cast<int>(handle), address.c_str());
        return 0;
    }
    std::string user = Clean(userText);
    std::string comment = Clean(commentText);

    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    AlarmObject* o = source->inUse.FindByRecord(record);
    if (source->index != 0) {
        if (o == nullptr) {
            Log("Unknown Alarm Handle %d from client %s, Alarm Object was not found",
                static_cast<int>(handle), address.c_str());
            return 0;
        }
        return SourceObjectCommand(*source, *o, command, user, comment, durationSeconds, address);
    }
    return o != nullptr ? SystemObjectCommand(*source, *o, command, user) : 0;
}

void SendAutoEnable(AlarmSource& source, AlarmObject& o) {
    net::SourcePacketBuilder packet = CommandPacket(o);
    packet.Text("Klaxora/auto").Text("");
    SendToSource(source.connection, net::SOURCE_PACKET_TYPE_ENABLE, packet.Payload());
}

}  // namespace heraldon
