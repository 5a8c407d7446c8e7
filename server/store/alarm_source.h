// One Alarm Source: its configuration, its folder and its connection state.
//
// Created at start-up and kept in the server's alarm source list until the process ends;
// the list never changes while the server runs. Every field except threadStarted is
// guarded by the alarm data lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/core/fair_mutex.h"
#include "platform/file.h"
#include "server/store/alarm_object_list.h"

namespace heraldon {

constexpr int kMaxAlarmSources = 128;

struct SourceConnection;  // the system source included; a handle's top byte

struct AlarmSourceSettings {
    std::string name;  // unique among all sources, compared without regard to case
    std::string description;
    std::string tagPrefix;
    int failedCategory = 0;
    int failedArea = 0;
    int keepAliveInterval = 0;
};

struct AlarmSource {
    AlarmSource(const AlarmSourceSettings& settings, int listIndex, std::string sourceFolder)
        : index(listIndex),
          handleBase(static_cast<uint32_t>(listIndex) << 24),
          folder(std::move(sourceFolder)),
          description(settings.description),
          name(settings.name),
          tagPrefix(settings.tagPrefix),
          failedCategory(settings.failedCategory),
          failedArea(settings.failedArea),
          keepAliveInterval(settings.keepAliveInterval) {}

    SourceConnection* connection = nullptr;  // the identified connection, if any
    int enabled = 1;
    int running = 0;
    int refreshing = 0;
    int index;
    uint32_t handleBase;
    std::string folder;  // file-system path, with a trailing '/'
    std::string description;
    std::string name;
    std::string tagPrefix;
    int failedCategory;
    int failedArea;
    int failedAlarmRaised = 0;
    // Set by the source thread once the alarm object file is loaded; the starter polls it.
    std::atomic<int> threadStarted{0};
    int keepAliveInterval;
    int keepAliveCountdown = 0;
    int disconnectedTime = 0;

    // "AlarmObjects.dat", open while the alarm threads run.
    platform::File objectFile;
    // Held by whoever writes records into objectFile; taken under the alarm data lock,
    // and kept by a stepped save while it lets that lock go.
    std::mutex fileWriteLock;
    // Today's day file pair, open between stores; openDay is the local date they belong to
    // (year * 10000 + month * 100 + day), 0 while closed.
    platform::File dayFile;
    platform::File commentFile;
    int openDay = 0;
    int64_t dayCount = -1;  // records in the open day file; -1 until it was checked
    // While the source's thread works through one burst of packets, the events it stores
    // gather here and go to the day file in one write when the burst ends
    // (FlushHistoricEvents); anything that reads or closes the day files flushes first.
    bool gatherHistory = false;
    std::string gatheredRecords;
    int flushNeeded = 0;  // the redundancy link wrote into the file; flush at the next save
    int refreshDeleteMissing = 0;
    int refreshReserved = 0;
    int refreshKeepDisabled = 0;
    int changed = 0;  // an event reached one of its objects since the last recalculation
    AlarmObjectList inUse;
    AlarmObjectList removed;
    int64_t LastEventStatisticCleanup = 0;  // UTC seconds, from the file header

    std::string HistoricFolder() const { return folder + "Historic/"; }
    std::string CommentFolder() const { return folder + "Comment/"; }
    std::string ObjectFilePath() const { return folder + "AlarmObjects.dat"; }
    int64_t ObjectCount() const { return static_cast<int64_t>(inUse.size() + removed.size()); }

    // Opens, checks, upgrades or repairs "AlarmObjects.dat" and reads it into the two
    // lists. False when the file can not be opened or created; the lists are then empty.
    bool Load();
    // Writes every changed record, then the header and the length when anything changed
    // or writeHeader is set. mirror: 0 none, 1 pass every write to the redundant partner,
    // 2 pass the whole file.
    void Save(bool writeHeader, int mirror);
    // The periodic save of a running source, as Save(false, mirror), for a caller holding
    // lock (the alarm data lock): the changed records go a step at a time with the lock let
    // go between steps, and the sync waits without it. With a million objects a save can
    // be gigabytes, and every source's events would wait for it.
    void SaveInSteps(std::unique_lock<FairRecursiveMutex>& lock, int mirror);
    // When the file could not be opened, tries again; on success every object is marked
    // changed, so that the next save writes what has so far lived only in memory.
    bool ReopenObjectFile();
    void Close(bool writeHeader);
    // Closes the file (with its header), drops every client subscription and destroys the
    // objects of both lists.
    void FreeObjects();

    // Gives a new object the next record number and appends it to inUse. Null, with a log
    // line, when the file already holds the most records a handle can address.
    AlarmObject* PlaceNewObject(std::unique_ptr<AlarmObject> object);

    // Moves an object between the lists, to the end of the other one.
    AlarmObject* MoveToRemoved(AlarmObject* object);
    AlarmObject* MoveToInUse(AlarmObject* object);

    // Sends the enable command for every object whose time-limited disable has run out.
    void CheckDisableExpiry();
};

// What the store needs from the rest of the server. Set once at start-up, before any
// alarm thread runs; an empty function does nothing.
struct AlarmSourceHooks {
    // Client subscriptions point at alarm objects; they must go before objects are freed.
    std::function<void()> dropAllSubscriptions;
    // Bytes written into the alarm object file, for the redundant partner.
    std::function<void(AlarmSource&, int64_t offset, const uint8_t* bytes, size_t size)>
        mirrorWrite;
    std::function<void(AlarmSource&)> mirrorWholeFile;
    // Sends the source the enable command for an object, as user "Klaxora/auto".
    std::function<void(AlarmSource&, AlarmObject&)> sendAutoEnable;
};
AlarmSourceHooks& SourceHooks();

// The source a handle names (its top 8 bits, unsigned) and the record number (its low
// 24 bits); null when the index is beyond the list.
AlarmSource* SourceForHandle(const std::vector<std::unique_ptr<AlarmSource>>& sources,
                             uint32_t handle, int32_t* record = nullptr);

}  // namespace heraldon
