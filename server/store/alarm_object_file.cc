// "AlarmObjects.dat": loading (with upgrade and repair), saving and closing.

#include <algorithm>
#include <vector>

#include "platform/clock.h"
#include "server/core/log.h"
#include "server/store/alarm_object_format.h"
#include "server/store/alarm_source.h"

namespace heraldon {

namespace {

using alarm_file::kHeaderSize;
using alarm_file::kMaxRecords;
using alarm_file::kRecordSize;
using alarm_file::RecordOffset;

struct Header {
    uint32_t version = alarm_file::kVersion;
    uint32_t count = 0;
    uint32_t enabled = 1;
    int64_t lastCleanup = 0;
};

void PutLe(uint8_t* out, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLe(const uint8_t* in, size_t size) {
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
    return value;
}

bool ReadHeader(const platform::File& file, Header& h) {
    uint8_t bytes[alarm_file::kHeaderUsed];
    if (!file.ReadAt(0, bytes, sizeof bytes)) return false;
    h.version = static_cast<uint32_t>(GetLe(bytes, 4));
    h.count = static_cast<uint32_t>(GetLe(bytes + 4, 4));
    h.enabled = static_cast<uint32_t>(GetLe(bytes + 8, 4));
    h.lastCleanup = static_cast<int64_t>(GetLe(bytes + 12, 8));
    return true;
}

// The whole 1 024-byte header: the used bytes, then zeros.
std::vector<uint8_t> HeaderBytes(const Header& h) {
    std::vector<uint8_t> bytes(kHeaderSize, 0);
    PutLe(bytes.data(), h.version, 4);
    PutLe(bytes.data() + 4, h.count, 4);
    PutLe(bytes.data() + 8, h.enabled, 4);
    PutLe(bytes.data() + 12, static_cast<uint64_t>(h.lastCleanup), 8);
    return bytes;
}

int64_t WholeRecords(int64_t length, size_t recordSize) {
    if (length < static_cast<int64_t>(kHeaderSize)) return 0;
    return (length - static_cast<int64_t>(kHeaderSize)) / static_cast<int64_t>(recordSize);
}

// Moves every record from the old size to the current one, last record first, so that no
// old record is overwritten before it has been moved. Each new record is a default object
// with the old bytes over its start, marked in use.
bool UpgradeRecords(platform::File& file, int64_t count, size_t oldSize) {
    uint8_t fresh[kRecordSize];
    AlarmObject::New().EncodeTo(fresh);
    std::vector<uint8_t> record(kRecordSize);
    for (int64_t n = count - 1; n >= 0; --n) {
        std::copy(std::begin(fresh), std::end(fresh), record.begin());
        if (!file.ReadAt(RecordOffset(n, oldSize), record.data(), oldSize)) return false;
        PutLe(record.data() + 1792, 1, 4);  // InUse
        if (!file.WriteAt(RecordOffset(n), record.data(), kRecordSize)) return false;
    }
    return true;
}

}  // namespace

bool AlarmSource::Load() {
    inUse.Clear();
    removed.Clear();
    if (SourceHooks().dropAllSubscriptions) SourceHooks().dropAllSubscriptions();

    objectFile = platform::File::OpenReadWrite(ObjectFilePath());
    if (!objectFile.IsOpen()) return false;

    const char* who = name.c_str();
    int64_t length = objectFile.Size();
    Header h;
    bool recreate = true;
    if (length >= static_cast<int64_t>(kHeaderSize) && ReadHeader(objectFile, h)) {
        enabled = static_cast<int>(h.enabled);
        int64_t expected = RecordOffset(h.count);
        recreate = false;
        if (h.version > alarm_file::kVersion) {
            Log("AlarmSource '%s': alarm file has version 0x%04x but we can only handle version "
                "0x%04x. The file will be recreated.",
                who, h.version, alarm_file::kVersion);
            recreate = true;
        } else if (h.version == alarm_file::kVersion) {
            if (length != expected || h.count > kMaxRecords) {
                // Records are written before the header, so a crash in between leaves more
                // records than the header counts. Every whole record is a good one: keep
                // them all rather than throw the source's alarms away.
                int64_t keep = std::min(WholeRecords(length, kRecordSize), kMaxRecords);
                Log("AlarmSource '%s': alarm file has a length of %lld bytes but was expected to "
                    "be %lld bytes long. The file was repaired and keeps its %lld whole records.",
                    who, static_cast<long long>(length), static_cast<long long>(expected),
                    static_cast<long long>(keep));
                h.count = static_cast<uint32_t>(keep);
                std::vector<uint8_t> header = HeaderBytes(h);
                objectFile.WriteAt(0, header.data(), header.size());
                objectFile.Truncate(RecordOffset(keep));
                objectFile.Sync();
            }
        } else {
            Log("AlarmSource '%s': alarm file has version 0x%04x, it will be updated to version "
                "0x%04x.",
                who, h.version, alarm_file::kVersion);
            size_t oldSize = alarm_file::RecordSizeOf(h.version);
            if (h.version < alarm_file::kOldestVersion || oldSize == 0) {
                Log("Unknown file version, file will be recreated");
                recreate = true;
            } else {
                int64_t count = std::min<int64_t>({h.count, WholeRecords(length, oldSize), kMaxRecords});
                if (UpgradeRecords(objectFile, count, oldSize)) {
                    enabled = 1;
                    h.version = alarm_file::kVersion;
                    h.count = static_cast<uint32_t>(count);
                    h.enabled = 1;
                    std::vector<uint8_t> header = HeaderBytes(h);
                    objectFile.WriteAt(0, header.data(), header.size());
                    objectFile.Truncate(RecordOffset(count));
                    objectFile.Sync();
                } else {
                    recreate = true;
                }
            }
        }
    }
    if (recreate) {
        h = Header{};
        h.lastCleanup = platform::clock::UtcNow();
        enabled = 1;
        std::vector<uint8_t> header = HeaderBytes(h);
        objectFile.WriteAt(0, header.data(), header.size());
        objectFile.Truncate(kHeaderSize);
    }

    LastEventStatisticCleanup = h.lastCleanup;
    // Read in blocks: a plant's file may hold a million records.
    constexpr int64_t kBlock = 512;
    std::vector<uint8_t> block(static_cast<size_t>(std::min<int64_t>(kBlock, h.count)) * kRecordSize);
    for (int64_t first = 0; first < h.count; first += kBlock) {
        int64_t n = std::min<int64_t>(kBlock, h.count - first);
        if (!objectFile.ReadAt(RecordOffset(first), block.data(), static_cast<size_t>(n) * kRecordSize)) {
            break;
        }
        for (int64_t i = 0; i < n; ++i) {
            auto object = std::make_unique<AlarmObject>();
            object->DecodeFrom(*reinterpret_cast<const uint8_t(*)[kRecordSize]>(
                block.data() + static_cast<size_t>(i) * kRecordSize));
            object->Changed = 0;
            object->Seen = 0;
            object->FileRecord = static_cast<int32_t>(first + i);
            (object->InUse == 1 ? inUse : removed).Append(std::move(object));
        }
    }
    return true;
}

namespace {

// In record order, so the file (and the partner's copy) only ever grows at its end.
// fromRecord leaves out the records before it.
std::vector<AlarmObject*> ChangedInRecordOrder(AlarmSource& source, int64_t fromRecord = 0) {
    std::vector<AlarmObject*> changed;
    for (AlarmObjectList* list : {&source.inUse, &source.removed}) {
        for (const auto& object : *list) {
            if (object->Changed == 1 && object->FileRecord >= fromRecord) changed.push_back(object.get());
        }
    }
    std::sort(changed.begin(), changed.end(),
              [](const AlarmObject* a, const AlarmObject* b) { return a->FileRecord < b->FileRecord; });
    return changed;
}

// Changed records encoded as they are at one moment, in runs of neighbouring records:
// a save of many records is a few large writes, not a system call per record.
struct EncodedRecords {
    struct Run {
        int64_t offset;
        size_t at, size;             // in bytes
        size_t firstObject, objects;  // in written
    };
    std::vector<uint8_t> bytes;
    std::vector<Run> runs;
    std::vector<AlarmObject*> written;
};

// Encodes the objects still marked changed and clears their mark; a record that can not
// be written is marked again by WriteEncoded's caller.
EncodedRecords EncodeChanged(AlarmSource& source, AlarmObject* const* objects, size_t count, int mirror) {
    AlarmSourceHooks& hooks = SourceHooks();
    EncodedRecords e;
    for (size_t i = 0; i < count; ++i) {
        AlarmObject* object = objects[i];
        if (object->Changed != 1 || object->FileRecord < 0) continue;  // written since it was listed
        int64_t offset = RecordOffset(object->FileRecord);
        size_t at = e.bytes.size();
        e.bytes.resize(at + kRecordSize);
        object->EncodeTo(*reinterpret_cast<uint8_t(*)[kRecordSize]>(e.bytes.data() + at));
        object->Changed = 0;
        if (mirror == 1 && hooks.mirrorWrite) hooks.mirrorWrite(source, offset, e.bytes.data() + at, kRecordSize);
        if (!e.runs.empty() && e.runs.back().offset + static_cast<int64_t>(e.runs.back().size) == offset) {
            e.runs.back().size += kRecordSize;
            ++e.runs.back().objects;
        } else {
            e.runs.push_back({offset, at, kRecordSize, e.written.size(), 1});
        }
        e.written.push_back(object);
    }
    return e;
}

// The objects whose records did not reach the file.
std::vector<AlarmObject*> WriteEncoded(platform::File& file, const EncodedRecords& e) {
    std::vector<AlarmObject*> failed;
    for (const auto& run : e.runs) {
        if (file.WriteAt(run.offset, e.bytes.data() + run.at, run.size)) continue;
        failed.insert(failed.end(), e.written.begin() + static_cast<ptrdiff_t>(run.firstObject),
                      e.written.begin() + static_cast<ptrdiff_t>(run.firstObject + run.objects));
    }
    return failed;
}

// True when any record was written.
bool WriteRecords(AlarmSource& source, AlarmObject* const* objects, size_t count, int mirror) {
    EncodedRecords e = EncodeChanged(source, objects, count, mirror);
    std::vector<AlarmObject*> failed = WriteEncoded(source.objectFile, e);
    for (AlarmObject* object : failed) object->Changed = 1;  // the next save tries again
    return failed.size() < e.written.size();
}

// The header and the length, when records were written or the caller asks; true when
// the file then wants a sync.
bool FinishSave(AlarmSource& source, bool wrote, bool writeHeader, int mirror) {
    AlarmSourceHooks& hooks = SourceHooks();
    int64_t count = source.ObjectCount();
    int64_t expected = RecordOffset(count);
    int64_t length = source.objectFile.Size();
    if (!wrote && length == expected && !writeHeader) return false;
    Header h{alarm_file::kVersion, static_cast<uint32_t>(count), static_cast<uint32_t>(source.enabled),
             source.LastEventStatisticCleanup};
    std::vector<uint8_t> header = HeaderBytes(h);
    source.objectFile.WriteAt(0, header.data(), alarm_file::kHeaderUsed);
    if (length != expected) {
        Log("AlarmSource '%s': Changed size of file from %lld to %lld", source.name.c_str(),
            static_cast<long long>(length), static_cast<long long>(expected));
        source.objectFile.Truncate(expected);
    }
    if (mirror == 1 && hooks.mirrorWrite) hooks.mirrorWrite(source, 0, header.data(), header.size());
    return true;
}

}  // namespace

void AlarmSource::Save(bool writeHeader, int mirror) {
    if (!objectFile.IsOpen()) return;
    std::lock_guard<std::mutex> writing(fileWriteLock);
    std::vector<AlarmObject*> changed = ChangedInRecordOrder(*this);
    bool wrote = WriteRecords(*this, changed.data(), changed.size(), mirror);
    if (FinishSave(*this, wrote, writeHeader, mirror)) objectFile.Sync();
    if (mirror == 2 && SourceHooks().mirrorWholeFile) SourceHooks().mirrorWholeFile(*this);
    if (flushNeeded == 1) {
        objectFile.Sync();
        flushNeeded = 0;
    }
}

void AlarmSource::SaveInSteps(std::unique_lock<FairRecursiveMutex>& lock, int mirror) {
    if (!objectFile.IsOpen()) return;
    constexpr size_t kStep = 1024;
    // The file is written through a handle of its own: the object file may be closed and
    // opened again while the lock is let go.
    platform::File handle = objectFile.Duplicate();
    bool wrote = false;
    auto writeInSteps = [&](const std::vector<AlarmObject*>& objects) {
        for (size_t at = 0; at < objects.size(); at += kStep) {
            EncodedRecords e =
                EncodeChanged(*this, objects.data() + at, std::min(kStep, objects.size() - at), mirror);
            // The write lock is taken before the alarm data lock is let go: a save that
            // encodes after this step must also write after it.
            std::unique_lock<std::mutex> writing(fileWriteLock);
            lock.unlock();
            std::vector<AlarmObject*> failed = WriteEncoded(handle, e);
            writing.unlock();
            lock.lock();
            for (AlarmObject* object : failed) object->Changed = 1;
            wrote = wrote || failed.size() < e.written.size();
            if (!objectFile.IsOpen()) return false;
        }
        return true;
    };

    int64_t listed = ObjectCount();
    if (!writeInSteps(ChangedInRecordOrder(*this))) return;
    // Objects placed meanwhile lie beyond the end of the file, and the header may count
    // them only once their records are there. A record changed again meanwhile waits for
    // the next save, as it would have had it changed just after this one.
    std::unique_lock<std::mutex> writing(fileWriteLock);
    while (ObjectCount() != listed) {
        int64_t from = listed;
        listed = ObjectCount();
        std::vector<AlarmObject*> placed = ChangedInRecordOrder(*this, from);
        if (placed.size() <= kStep) {
            wrote = WriteRecords(*this, placed.data(), placed.size(), mirror) || wrote;
            break;
        }
        writing.unlock();
        bool open = writeInSteps(placed);
        writing.lock();
        if (!open) return;
    }
    bool sync = FinishSave(*this, wrote, false, mirror) || flushNeeded == 1;
    flushNeeded = 0;
    if (!sync) return;
    lock.unlock();
    handle.Sync();
    lock.lock();
}

bool AlarmSource::ReopenObjectFile() {
    if (objectFile.IsOpen()) return true;
    objectFile = platform::File::OpenReadWrite(ObjectFilePath());
    if (!objectFile.IsOpen()) return false;
    // What the file held is older than what clients have been shown since: memory wins.
    for (AlarmObjectList* list : {&inUse, &removed}) {
        for (const auto& object : *list) object->Changed = 1;
    }
    return true;
}

void AlarmSource::Close(bool writeHeader) {
    Save(writeHeader, 0);
    objectFile.Close();
}

}  // namespace heraldon
