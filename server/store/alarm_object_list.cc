#include "server/store/alarm_object_list.h"

#include "platform/text.h"

namespace heraldon {

std::string AlarmObjectList::TagKey(std::string_view tag) {
    return platform::text::UpperAnsi(tag);
}

void AlarmObjectList::Matches::Add(uint64_t sequence, AlarmObject* object) {
    if (first == nullptr) {
        first = object;
        firstSequence = sequence;
        return;
    }
    if (!others) others = std::make_unique<std::map<uint64_t, AlarmObject*>>();
    if (sequence < firstSequence) {
        // Only a key change can bring an older object to a key; it becomes the first.
        others->emplace(firstSequence, first);
        first = object;
        firstSequence = sequence;
    } else {
        others->emplace(sequence, object);
    }
}

bool AlarmObjectList::Matches::Remove(uint64_t sequence) {
    if (first != nullptr && sequence == firstSequence) {
        if (others && !others->empty()) {
            auto next = others->begin();
            firstSequence = next->first;
            first = next->second;
            others->erase(next);
        } else {
            first = nullptr;
        }
    } else if (others) {
        others->erase(sequence);
    }
    return first == nullptr;
}

template <typename Key>
void AlarmObjectList::Erase(std::unordered_map<Key, Matches>& index, const Key& key,
                            uint64_t sequence) {
    auto found = index.find(key);
    if (found != index.end() && found->second.Remove(sequence)) index.erase(found);
}

void AlarmObjectList::Index(AlarmObject* object, uint64_t sequence) {
    byRecord_[object->FileRecord].Add(sequence, object);
    byHandle_[object->SCADAHandle].Add(sequence, object);
    byTag_[TagKey(object->TagText())].Add(sequence, object);
}

void AlarmObjectList::Unindex(AlarmObject* object, uint64_t sequence) {
    Erase(byRecord_, object->FileRecord, sequence);
    Erase(byHandle_, object->SCADAHandle, sequence);
    Erase(byTag_, TagKey(object->TagText()), sequence);
}

AlarmObject* AlarmObjectList::Append(std::unique_ptr<AlarmObject> object) {
    AlarmObject* raw = object.get();
    uint64_t sequence = nextSequence_++;
    entries_.push_back(std::move(object));
    places_.emplace(raw, Place{std::prev(entries_.end()), sequence});
    Index(raw, sequence);
    return raw;
}

std::unique_ptr<AlarmObject> AlarmObjectList::Take(const AlarmObject* object) {
    auto found = places_.find(object);
    if (found == places_.end()) return nullptr;
    Place place = found->second;
    places_.erase(found);
    std::unique_ptr<AlarmObject> owned = std::move(*place.entry);
    entries_.erase(place.entry);
    Unindex(owned.get(), place.sequence);
    return owned;
}

void AlarmObjectList::Clear() {
    entries_.clear();
    places_.clear();
    byRecord_.clear();
    byHandle_.clear();
    byTag_.clear();
}

namespace {

template <typename Index, typename Key>
AlarmObject* First(const Index& index, const Key& key) {
    auto found = index.find(key);
    return found == index.end() ? nullptr : found->second.first;
}

}  // namespace

AlarmObject* AlarmObjectList::FindByRecord(int32_t record) const {
    return First(byRecord_, record);
}

AlarmObject* AlarmObjectList::FindBySCADAHandle(uint32_t handle) const {
    return First(byHandle_, handle);
}

AlarmObject* AlarmObjectList::FindByTag(std::string_view tag) const {
    return First(byTag_, TagKey(tag));
}

void AlarmObjectList::SetTag(AlarmObject* object, std::string_view tag) {
    auto found = places_.find(object);
    if (found == places_.end()) {
        SetText(object->Tag, tag);
        return;
    }
    uint64_t sequence = found->second.sequence;
    Erase(byTag_, TagKey(object->TagText()), sequence);
    SetText(object->Tag, tag);
    byTag_[TagKey(object->TagText())].Add(sequence, object);
}

void AlarmObjectList::SetSCADAHandle(AlarmObject* object, uint32_t handle) {
    auto found = places_.find(object);
    if (found != places_.end()) {
        Erase(byHandle_, object->SCADAHandle, found->second.sequence);
        byHandle_[handle].Add(found->second.sequence, object);
    }
    object->SCADAHandle = handle;
}

void AlarmObjectList::SetFileRecord(AlarmObject* object, int32_t record) {
    auto found = places_.find(object);
    if (found != places_.end()) {
        Erase(byRecord_, object->FileRecord, found->second.sequence);
        byRecord_[record].Add(found->second.sequence, object);
    }
    object->FileRecord = record;
}

}  // namespace heraldon
