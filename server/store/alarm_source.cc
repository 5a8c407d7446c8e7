#include "server/store/alarm_source.h"

#include "platform/clock.h"
#include "server/core/log.h"

namespace heraldon {

AlarmSourceHooks& SourceHooks() {
    static AlarmSourceHooks hooks;
    return hooks;
}

AlarmSource* SourceForHandle(const std::vector<std::unique_ptr<AlarmSource>>& sources,
                             uint32_t handle, int32_t* record) {
    uint32_t index = handle >> 24;
    if (record != nullptr) *record = static_cast<int32_t>(handle & 0xFFFFFF);
    return index < sources.size() ? sources[index].get() : nullptr;
}

void AlarmSource::FreeObjects() {
    Close(true);
    if (SourceHooks().dropAllSubscriptions) SourceHooks().dropAllSubscriptions();
    inUse.Clear();
    removed.Clear();
}

AlarmObject* AlarmSource::PlaceNewObject(std::unique_ptr<AlarmObject> object) {
    int64_t count = ObjectCount();
    if (count >= alarm_file::kMaxRecords) {
        Log("AlarmSource '%s': Alarm object '%s' was refused, the alarm file holds %lld records, "
            "the most a handle can address",
            name.c_str(), object->Tag, static_cast<long long>(count));
        return nullptr;
    }
    object->FileRecord = static_cast<int32_t>(count);
    return inUse.Append(std::move(object));
}

AlarmObject* AlarmSource::MoveToRemoved(AlarmObject* object) {
    std::unique_ptr<AlarmObject> owned = inUse.Take(object);
    return owned ? removed.Append(std::move(owned)) : nullptr;
}

AlarmObject* AlarmSource::MoveToInUse(AlarmObject* object) {
    std::unique_ptr<AlarmObject> owned = removed.Take(object);
    return owned ? inUse.Append(std::move(owned)) : nullptr;
}

void AlarmSource::CheckDisableExpiry() {
    if (running != 1) return;
    int64_t now = platform::clock::UtcNow();
    for (const auto& object : inUse) {
        if (object->DisabledExpireTime == 0 || object->DisabledExpireTime > now) continue;
        object->DisabledExpireTime = 0;
        if (SourceHooks().sendAutoEnable) SourceHooks().sendAutoEnable(*this, *object);
        object->MarkChanged();
        changed = 1;
        Log("AlarmSource '%s': Alarm object '%s' was enabled by '%s'", name.c_str(), object->Tag,
            "System (time limit disable expired)");
    }
}

}  // namespace heraldon
