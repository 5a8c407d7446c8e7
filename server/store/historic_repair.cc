// The repair run over a source's day files, started by RepairHistoricEvents=<mode>.

#include <algorithm>
#include <vector>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "server/store/historic_files.h"
#include "server/store/historic_format.h"

namespace heraldon {

namespace {

using namespace historic_file;

constexpr uint16_t kUnknownType = 0xFFFF;

int64_t Offset(int64_t i, size_t size = kRecordSize) {
    return static_cast<int64_t>(kHeaderSize) + i * static_cast<int64_t>(size);
}

// The event type of a version 0x2000 record from the states before and after it.
uint16_t TypeOfStates(uint16_t before, uint16_t after) {
    static constexpr uint16_t kTable[5][6] = {
        // before: 0  1  2  3  4  other
        {0, 0, 0, 2, 4, 0},  // after 0
        {1, 1, 1, 1, 4, 1},  // after 1
        {1, 2, 1, 1, 4, 1},  // after 2
        {2, 0, 1, 0, 4, 0},  // after 3
        {3, 3, 3, 3, 3, 3},  // after 4
    };
    if (after > 4) return kUnknownType;
    return kTable[after][before > 4 ? 5 : before];
}

void Widen(platform::File& file, int64_t count) {
    // Never trust the count beyond the whole old records the file holds.
    int64_t length = file.Size();
    int64_t whole = length > static_cast<int64_t>(kHeaderSize)
                        ? (length - static_cast<int64_t>(kHeaderSize)) / static_cast<int64_t>(kOldRecordSize)
                        : 0;
    count = std::min(count, whole);
    if (count <= 0) return;
    std::vector<uint8_t> old(static_cast<size_t>(count) * kOldRecordSize);
    if (count <= 0 || !file.ReadAt(kHeaderSize, old.data(), old.size())) return;
    for (int64_t i = 0; i < count; ++i) {
        const uint8_t* o = old.data() + i * static_cast<int64_t>(kOldRecordSize);
        EventRecord r;
        r.fileRecord = static_cast<int32_t>(Get(o, 4));
        r.time = static_cast<int64_t>(static_cast<uint32_t>(Get(o + 4, 4)));
        std::memcpy(r.tag, o + 8, 80);
        r.tag[79] = '\0';
        std::memset(r.tag + strnlen(r.tag, 80), 0, 80 - strnlen(r.tag, 80));
        r.area = static_cast<int32_t>(Get(o + 88, 4));
        r.type = static_cast<int16_t>(Get(o + 92, 2));
        r.milliseconds = static_cast<uint16_t>(Get(o + 94, 2));
        r.userIndex = static_cast<int16_t>(Get(o + 96, 2));
        r.commentOffset = static_cast<int32_t>(Get(o + 98, 4));
        uint8_t bytes[kRecordSize];
        Encode(r, bytes);
        file.WriteAt(Offset(i), bytes, kRecordSize);
    }
}

void ConvertStates(platform::File& file) {
    uint8_t bytes[kRecordSize];
    for (int64_t i = 0; file.ReadAt(Offset(i), bytes, kRecordSize); ++i) {
        uint16_t before = static_cast<uint16_t>(Get(bytes + 96, 2));
        uint16_t after = static_cast<uint16_t>(Get(bytes + 98, 2));
        Put(bytes + 96, TypeOfStates(before, after), 2);
        Put(bytes + 98, 0, 2);
        file.WriteAt(Offset(i), bytes, kRecordSize);
    }
    uint8_t version[4];
    Put(version, static_cast<uint32_t>(kVersion), 4);
    file.WriteAt(0, version, 4);
}

AlarmObject* FindByTagAnywhere(AlarmSource& source, std::string_view tag) {
    AlarmObject* o = source.inUse.FindByTag(tag);
    return o != nullptr ? o : source.removed.FindByTag(tag);
}

void Relink(AlarmSource& source, platform::File& file, int& walked, int& failed) {
    uint8_t bytes[kRecordSize];
    for (int64_t i = 0; file.ReadAt(Offset(i), bytes, kRecordSize); ++i) {
        ++walked;
        EventRecord r = Decode(bytes);
        std::string_view tag(r.tag, strnlen(r.tag, 80));
        if (tag.empty()) continue;
        AlarmObject* o = source.inUse.FindByRecord(r.fileRecord);
        if (o == nullptr) o = source.removed.FindByRecord(r.fileRecord);
        if (o != nullptr && platform::text::EqualsNoCase(o->TagText(), tag)) continue;
        o = FindByTagAnywhere(source, tag);
        if (o == nullptr) ++failed;
        Put(bytes, static_cast<uint32_t>(o != nullptr ? o->FileRecord : -1), 4);
        file.WriteAt(Offset(i), bytes, kRecordSize);
    }
}

void RemoveUnknown(platform::File& file, int64_t count, int& left, int& removed) {
    int64_t length = file.Size();
    int64_t records = length > static_cast<int64_t>(kHeaderSize)
                          ? (length - static_cast<int64_t>(kHeaderSize)) / static_cast<int64_t>(kRecordSize)
                          : 0;
    std::vector<uint8_t> all(static_cast<size_t>(records) * kRecordSize);
    if (records > 0 && !file.ReadAt(kHeaderSize, all.data(), all.size())) return;
    std::vector<uint8_t> kept;
    kept.reserve(all.size());
    for (int64_t i = 0; i < records; ++i) {
        const uint8_t* r = all.data() + i * static_cast<int64_t>(kRecordSize);
        if (static_cast<uint16_t>(Get(r + 96, 2)) == kUnknownType) {
            ++removed;
            --count;
        } else {
            kept.insert(kept.end(), r, r + kRecordSize);
        }
    }
    count = static_cast<int64_t>(kept.size() / kRecordSize);
    if (!kept.empty()) file.WriteAt(kHeaderSize, kept.data(), kept.size());
    file.Truncate(Offset(count));
    uint8_t header[8];
    Put(header, static_cast<uint32_t>(kVersion), 4);
    Put(header + 4, static_cast<uint32_t>(count), 4);
    file.WriteAt(0, header, sizeof header);
    left = static_cast<int>(count);
}

}  // namespace

void RepairHistoricFiles(AlarmSource& source, int mode) {
    CloseHistoricFiles(source);
    std::string folder = source.HistoricFolder();
    for (const std::string& name : platform::fs::ListFiles(folder)) {
        int day = 0;
        if (!DayOfFileName(name, day)) continue;
        std::string path = folder + name;
        platform::console::Print("Historic updating - " + path + "\n");
        platform::File file = platform::File::OpenReadWrite(path);
        if (!file.IsOpen()) continue;
        uint8_t header[8] = {};
        file.ReadAt(0, header, sizeof header);
        int32_t version = static_cast<int32_t>(Get(header, 4));
        int64_t count = static_cast<int32_t>(Get(header + 4, 4));
        int reported = 0, failed = 0, removed = 0;
        if (mode == 4) {
            Widen(file, count);
        } else if (mode == 1 && version == kStatesVersion) {
            ConvertStates(file);
        } else if (mode == 2) {
            Relink(source, file, reported, failed);
        } else if (mode == 3 && version >= kVersion) {
            RemoveUnknown(file, count, reported, removed);
        }
        char line[160];
        std::snprintf(line, sizeof line,
                      "Historic updated %d events (%d failed to find tagname, removed %d unknown events)\n",
                      reported, failed, removed);
        platform::console::Print(line);
    }
}

}  // namespace heraldon
