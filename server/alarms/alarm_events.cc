#include "server/alarms/alarm_events.h"

#include <string>

#include "platform/clock.h"
#include "server/alarms/alarm_hooks.h"
#include "server/alarms/alarm_state.h"
#include "server/core/alarm_time.h"
#include "server/core/heraldon.h"
#include "server/core/log.h"
#include "server/net/source_protocol.h"
#include "server/store/event_statistics.h"

namespace heraldon {

AlarmHooks& TheAlarmHooks() {
    static AlarmHooks hooks;
    return hooks;
}

namespace {

// Releases the object to the rest of the server: record it as changed (still under the
// lock, so the source thread can not save it half-updated) and tell the clients.
void Publish(AlarmSource& source, AlarmObject& object) {
    if (TheAlarmHooks().distributeObject) TheAlarmHooks().distributeObject(source, object);
    object.MarkChanged();
    source.changed = 1;
}

std::string EventTimeText(const AlarmObject& o, int32_t eventType) {
    auto withMs = [](int64_t time, int32_t ms) {
        char millis[16];
        std::snprintf(millis, sizeof millis, ".%03d", ms);
        return FormatAlarmTime(time, true, true) + millis;
    };
    switch (eventType) {
        case 0: return withMs(o.InActiveTime, o.InActiveMillisecond);
        case 1: return withMs(o.ActiveTime, o.ActiveMillisecond);
        case 2: return FormatAlarmTime(o.AckedTime, true, true);
        default: return "<unknown time>";
    }
}

void ReadObjectFields(net::SourceFieldReader& r, AlarmObject& o) {
    r.Text(o.Name);
    r.Text(o.Description);
    r.Signed(o.Area);
    r.Signed(o.Category);
    r.Signed(o.Privilege);
    r.Text(o.SmallComment);
    r.Text(o.Help);
    r.Text(o.SumState);
    // Milliseconds come as unsigned fields into signed record fields.
    auto millis = [&r](int32_t& field) {
        uint32_t value = static_cast<uint32_t>(field);
        r.Unsigned(value);
        field = static_cast<int32_t>(value);
    };
    r.Low32(o.InActiveTime);
    millis(o.InActiveMillisecond);
    r.Low32(o.ActiveTime);
    millis(o.ActiveMillisecond);
    r.Low32(o.AckedTime);
    millis(o.AckedMillisecond);
    r.Low32(o.DisabledTime);
    millis(o.DisabledMillisecond);
    r.Low32(o.DisabledExpireTime);
    for (auto& custom : o.Custom) r.Text(custom);
    r.Signed(o.Paging);
    r.Text(o.PagingGrp);
    r.Text(o.LastAckedBy);
    r.Text(o.LastDisabledBy);
    r.Text(o.LastEnabledBy);
}

AlarmObject* CreateObject(AlarmSource& source, std::string_view tag, uint32_t scadaHandle) {
    auto object = std::make_unique<AlarmObject>(AlarmObject::New());
    SetText(object->Tag, tag);
    object->SCADAHandle = scadaHandle;
    return source.PlaceNewObject(std::move(object));
}

}  // namespace

AlarmObject* FindReportedObject(AlarmSource& source, uint32_t scadaHandle, std::string_view tag) {
    AlarmObject* object = nullptr;
    bool removed = false;
    if (scadaHandle != 0) {
        object = source.inUse.FindBySCADAHandle(scadaHandle);
        if (object == nullptr && (object = source.removed.FindBySCADAHandle(scadaHandle))) removed = true;
    }
    if (object == nullptr) object = source.inUse.FindByTag(tag);
    if (object == nullptr && (object = source.removed.FindByTag(tag))) removed = true;
    if (removed) object = source.MoveToInUse(object);
    return object;
}

void RemoveAlarmObject(AlarmSource& source, AlarmObject& object) {
    AlarmObject* moved = source.MoveToRemoved(&object);
    if (moved == nullptr) return;
    moved->Seen = 0;
    moved->InUse = 0;
    moved->State = kStateRemoved;
    Publish(source, *moved);
}

void RecordEvent(AlarmSource& source, AlarmObject& o, int32_t eventType, int32_t previousState) {
    switch (eventType) {
        case kEventInActive:
            o.LastEventTime = o.InActiveTime, o.LastEventMillisecond = o.InActiveMillisecond;
            break;
        case kEventActive:
            o.LastEventTime = o.ActiveTime, o.LastEventMillisecond = o.ActiveMillisecond;
            break;
        case kEventAcked:
            o.LastEventTime = o.AckedTime, o.LastEventMillisecond = o.AckedMillisecond;
            break;
        case kEventDisable:
            o.LastEventTime = o.DisabledTime, o.LastEventMillisecond = o.DisabledMillisecond;
            break;
        case kEventNone:
            Log("Alarm Tag '%s' was not stored or sent to Tessel - the eventtype was unknown", o.Tag);
            return;
        default:
            break;
    }
    AlarmHooks& hooks = TheAlarmHooks();
    if (hooks.sendTextEvent) hooks.sendTextEvent(source, o, eventType);

    const GeneralConfig& config = TheServer()->Config();
    StorageLimits limits{config.maxStoredEventsPerHour, config.maxStoredEventsPerDay,
                         config.maxStoredEventsPerMonth};
    int hour = platform::clock::LocalCalendarNow().tm_hour;
    bool mayStore = MayStoreHistoricEvent(o, limits, hour);
    CountHistoricEvent(o, previousState, hour);

    if (o.LastEventType == kEventActive) SetText(o.LastAckedBy, "");
    if (previousState == kStateInactiveUnacked && o.State == kStateActiveUnacked) {
        ++o.RepeatedSinceLastAck;
        SetText(o.LastAckedBy, "");
    }
    if (o.LastEventType == kEventAcked) o.RepeatedSinceLastAck = 0;
    // A disabled alarm's events stay out of history; the Enable that ends it goes in.
    if (previousState == kStateDisabled && eventType != kEventEnable) mayStore = false;
    if (mayStore && hooks.storeHistoricEvent) hooks.storeHistoricEvent(source, o, eventType);
}

AlarmObject* ApplySourceEvent(AlarmSource& source, uint32_t packetType, const uint8_t* payload,
                              size_t size) {
    CHeraldon* server = TheServer();
    if (!server->AlarmThreadsStarted()) return nullptr;

    net::SourceFieldReader r(payload, size);
    int32_t eventType = kEventNone;
    uint32_t scadaHandle = 0;
    std::string tag;
    r.Signed(eventType);
    r.Unsigned(scadaHandle);
    r.Text(tag, 79);
    if (packetType == net::SOURCE_PACKET_TYPE_OBJECT && tag.empty()) {
        Log("AlarmSource '%s': New alarm but no tag was defined (handle %d) - ignoring alarm",
            source.name.c_str(), static_cast<int>(scadaHandle));
        return nullptr;
    }

    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    AlarmObject* o = FindReportedObject(source, scadaHandle, tag);
    bool created = o == nullptr;
    if (created && (o = CreateObject(source, tag, scadaHandle)) == nullptr) return nullptr;
    o->Seen = 1;
    o->InUse = 1;
    o->LastEventType = eventType;
    int32_t previousState = o->State;

    int32_t forcedState = kNoForcedState;
    r.Signed(forcedState);
    UpdateState(*o, eventType, forcedState, platform::clock::LocalNow(),
                server->Config().resetSmallCommentBehaviour);
    ReadObjectFields(r, *o);

    if (packetType == net::SOURCE_PACKET_TYPE_EVENT) {
        Log(created ? "AlarmSource '%s': Event '%s' from nonexisting alarm object (%d/%s, %s) - it "
                      "was added"
                    : "AlarmSource '%s': Event '%s' from existing alarm object (%d/%s, %s)",
            source.name.c_str(), EventTypeName(eventType), static_cast<int>(o->SCADAHandle), o->Tag,
            EventTimeText(*o, eventType).c_str());
    }
    RecordEvent(source, *o, eventType, previousState);
    Publish(source, *o);
    return o;
}

AlarmObject* RaiseSystemAlarm(int32_t eventType, std::string_view tag, std::string_view name,
                              std::string_view description, int32_t category, int32_t area,
                              std::string_view user) {
    CHeraldon* server = TheServer();
    if (tag.empty() || category < 0 || area < 0) return nullptr;
    if (server == nullptr || !server->AlarmThreadsStarted()) return nullptr;

    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    AlarmSource& system = *server->AlarmSources()[0];
    AlarmObject* o = system.inUse.FindByTag(tag);
    if (o == nullptr && (o = system.removed.FindByTag(tag)) != nullptr) o = system.MoveToInUse(o);
    if (o == nullptr && (o = CreateObject(system, tag, 0)) == nullptr) return nullptr;
    o->Seen = 1;
    o->InUse = 1;
    o->LastEventType = eventType;
    int32_t previousState = o->State;
    UpdateState(*o, eventType, kNoForcedState, platform::clock::LocalNow(),
                server->Config().resetSmallCommentBehaviour);
    if (eventType == kEventAcked) SetText(o->LastAckedBy, user);
    if (eventType == kEventDisable) SetText(o->LastDisabledBy, user);
    if (eventType == kEventEnable) SetText(o->LastEnabledBy, user);
    SetText(o->Name, name);
    SetText(o->Description, description);
    o->Category = category;
    o->Area = area;
    RecordEvent(system, *o, eventType, previousState);
    Publish(system, *o);
    return o;
}

}  // namespace heraldon
