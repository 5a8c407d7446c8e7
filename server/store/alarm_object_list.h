// An ordered list of alarm objects that owns them, with indexes beside it so that the
// lookups by record number, by SCADAHandle and by tag cost the same with a million objects
// as with ten.
//
// Every lookup gives exactly the answer of a linear search of the list in order: the first
// object that matches. Objects are only ever appended, so list order is append order.
//
// Fields the indexes key on (Tag, SCADAHandle, FileRecord) must be changed through the
// list while an object is in it, never directly.
//
// Not thread-safe; the alarm data lock guards every list.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server/store/alarm_object.h"

namespace heraldon {

class AlarmObjectList {
public:
    using Entries = std::list<std::unique_ptr<AlarmObject>>;

    // Iteration in list order; each element is a std::unique_ptr<AlarmObject>.
    Entries::const_iterator begin() const { return entries_.begin(); }
    Entries::const_iterator end() const { return entries_.end(); }
    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    AlarmObject* Append(std::unique_ptr<AlarmObject> object);
    // Removes the object from the list and hands it back; null when it is not in the list.
    std::unique_ptr<AlarmObject> Take(const AlarmObject* object);
    void Clear();

    // The first object in list order that matches; null when none does.
    AlarmObject* FindByRecord(int32_t record) const;
    AlarmObject* FindBySCADAHandle(uint32_t handle) const;
    AlarmObject* FindByTag(std::string_view tag) const;  // without regard to case

    void SetTag(AlarmObject* object, std::string_view tag);
    void SetSCADAHandle(AlarmObject* object, uint32_t handle);
    void SetFileRecord(AlarmObject* object, int32_t record);

private:
    // The objects with one key. Each append gets a sequence number that grows with every
    // append, so the smallest number among several matches is the first in list order.
    // Most keys name one object: it is kept inline, and the ordered map of the others is
    // made only when a key is shared (many objects of a source without handles share 0).
    struct Matches {
        AlarmObject* first = nullptr;
        uint64_t firstSequence = 0;
        std::unique_ptr<std::map<uint64_t, AlarmObject*>> others;

        void Add(uint64_t sequence, AlarmObject* object);
        // True when no object is left.
        bool Remove(uint64_t sequence);
    };
    struct Place {
        Entries::iterator entry;
        uint64_t sequence;
    };

    static std::string TagKey(std::string_view tag);
    void Index(AlarmObject* object, uint64_t sequence);
    void Unindex(AlarmObject* object, uint64_t sequence);
    template <typename Key>
    static void Erase(std::unordered_map<Key, Matches>& index, const Key& key, uint64_t sequence);

    Entries entries_;
    uint64_t nextSequence_ = 0;
    std::unordered_map<const AlarmObject*, Place> places_;
    std::unordered_map<int32_t, Matches> byRecord_;
    std::unordered_map<uint32_t, Matches> byHandle_;
    std::unordered_map<std::string, Matches> byTag_;  // by upper-case tag
};

}  // namespace heraldon
