// The historic files as the store finds them on disk: "UserNames.dat" loaded and appended
// to, a day file and its comment file appended to and read back by a history query, and
// the repair run in each of its modes.
//
// Input: one byte of options, two uint16 (little-endian) lengths N and M, then N bytes of
// "UserNames.dat", M bytes of day file, and the rest as the day's comment file.
//   options bits 0..2: the event type stored (0 to 4, then Comment, then none and 99)
//   options bit 3: with a comment; bit 4: with a user name; bit 5: a second query with
//   time bounds and a record filter taken from the day file's first record
//
// Checked: user names read back as they were appended; after a store the day file is
// whole (its count matches its length); a query without bounds returns every record of
// every readable day file.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "server/store/alarm_source.h"
#include "server/store/historic_files.h"
#include "server/store/historic_format.h"
#include "server/store/historic_query.h"
#include "server/store/source_folders.h"
#include "server/store/user_names.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace heraldon;
using namespace heraldon::historic_file;

std::string g_folder;         // the scratch folder
std::string g_sourceFolder;   // a source's folder inside it, with a trailing '/'

constexpr int32_t kEventTypes[] = {0, 1, 2, 3, 4, 256, -1, 99};

void RemoveFolder() { fuzzing::RemoveTree(g_folder); }

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "day_file_and_users: %s\n", what);
    std::abort();
}

std::string TodayName(const char* extension) {
    std::tm today = platform::clock::LocalCalendarNow();
    return DayFileName(today.tm_year + 1900, today.tm_mon + 1, today.tm_mday, extension);
}

// The records a query without bounds finds in a day file's bytes: none unless the file
// has the current version; then every whole record with a time not before 1970.
int64_t ReadableRecords(std::string_view bytes) {
    if (bytes.size() < 8 || static_cast<int32_t>(Get(reinterpret_cast<const uint8_t*>(bytes.data()), 4)) != kVersion) {
        return 0;
    }
    int64_t found = 0;
    for (size_t at = kHeaderSize; at + kRecordSize <= bytes.size(); at += kRecordSize) {
        if (static_cast<int64_t>(Get(reinterpret_cast<const uint8_t*>(bytes.data()) + at + 4, 8)) >= 0) ++found;
    }
    return found;
}

std::string ReadBack(const std::string& path) {
    std::string bytes;
    platform::fs::ReadWholeFile(path, bytes);
    return bytes;
}

void CheckUserNames(std::string_view file) {
    std::string path = g_folder + "UserNames.dat";
    fuzzing::WriteWholeFile(path, file);
    UserNameStore store;
    store.Load(path);
    int index = store.GetUserNameIndex("x");
    if (index >= 0 && store.UserNameAt(index) != "x") Fail("a user name's number names another");
    size_t count = store.Count();
    std::vector<std::string> names;
    for (size_t i = 0; i < count; ++i) names.push_back(store.UserNameAt(static_cast<int>(i)));
    store.UserNameAt(-1);
    store.UserNameAt(static_cast<int>(count));

    UserNameStore again;
    again.Load(path);
    if (again.Count() != count) Fail("UserNames.dat reads back with a different number of names");
    for (size_t i = 0; i < count; ++i) {
        if (again.UserNameAt(static_cast<int>(i)) != names[i]) Fail("UserNames.dat reads back with other names");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::SilenceStdout();  // the repair run reports every file it scans
    g_folder = fuzzing::MakeScratchFolder("dayfile");
    g_sourceFolder = g_folder + "Plant/";
    CreateSourceFolders(g_folder + "Plant");
    std::atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    uint8_t options = data[0];
    size_t namesSize = static_cast<size_t>(data[1] | data[2] << 8);
    size_t daySize = static_cast<size_t>(data[3] | data[4] << 8);
    std::string_view rest(reinterpret_cast<const char*>(data + 5), size - 5);
    std::string_view names = rest.substr(0, namesSize);
    rest.remove_prefix(names.size());
    std::string_view day = rest.substr(0, daySize);
    rest.remove_prefix(day.size());
    std::string_view comments = rest;

    CheckUserNames(names);

    // Today's pair as the input has it, and the same bytes as a day long past, which only
    // the query reads.
    std::string historic = g_sourceFolder + "Historic/";
    fuzzing::EmptyFolder(historic);
    fuzzing::WriteWholeFile(historic + TodayName("ahs"), day);
    fuzzing::WriteWholeFile(historic + TodayName("acm"), comments);
    fuzzing::WriteWholeFile(historic + "2001-02-03.ahs", day);
    fuzzing::WriteWholeFile(historic + "2001-02-03.acm", comments);

    AlarmSourceSettings settings;
    settings.name = "Plant";
    AlarmSource source(settings, 1, g_sourceFolder);
    UserNameStore users;
    users.Load(g_folder + "UserNames.dat");
    AlarmObject object = AlarmObject::New();
    SetText(object.Tag, "TI-101");
    SetText(object.LastAckedBy, "operator");
    object.FileRecord = 0;
    object.Area = 1;
    object.ActiveTime = platform::clock::LocalNow();
    object.AckedTime = object.ActiveTime + 1;
    std::string comment(comments.substr(0, 64));
    bool stored = StoreHistoricEvent(source, object, kEventTypes[options & 7], users,
                                     (options & 0x10) != 0 ? "fuzz user" : nullptr,
                                     (options & 0x08) != 0 ? &comment : nullptr);
    CloseHistoricFiles(source);
    if (!stored) Fail("an event could not be stored");
    std::string today = ReadBack(historic + TodayName("ahs"));
    const auto* todayBytes = reinterpret_cast<const uint8_t*>(today.data());
    if (today.size() < kHeaderSize || static_cast<int32_t>(Get(todayBytes, 4)) != kVersion ||
        today.size() != kHeaderSize + kRecordSize * Get(todayBytes + 4, 4)) {
        Fail("the day file is not whole after a store");
    }

    HistoryQuery all;
    all.withComments = true;
    int64_t expected = ReadableRecords(today) + ReadableRecords(day);
    int emitted = QueryHistoricEvents(historic, all, [&](const HistoryAnswer& answer) {
        users.UserNameAt(answer.record.userIndex);
        return true;
    });
    if (emitted != expected) Fail("a query without bounds missed records or found more");

    if ((options & 0x20) != 0 && day.size() >= kHeaderSize + kRecordSize) {
        uint8_t first[kRecordSize];
        std::memcpy(first, day.data() + kHeaderSize, kRecordSize);
        EventRecord record = Decode(first);
        HistoryQuery bounded;
        bounded.withComments = true;
        // Bounds far wider than a client can send must still give sane day numbers.
        bounded.from = record.time;
        bounded.to = static_cast<int64_t>(static_cast<uint32_t>(record.commentOffset)) + record.time;
        bounded.record = record.fileRecord;
        bounded.maxRecords = record.area & 0xFF;
        bounded.passes = [](std::string_view tag, int32_t area) { return !tag.empty() || area != 0; };
        QueryHistoricEvents(historic, bounded, [](const HistoryAnswer&) { return true; });
    }

    // The repair run in each mode, each on the input's day file, with two objects for
    // the relinking to find.
    source.PlaceNewObject(std::make_unique<AlarmObject>(object));
    auto other = std::make_unique<AlarmObject>(AlarmObject::New());
    SetText(other->Tag, "PT-202");
    source.MoveToRemoved(source.PlaceNewObject(std::move(other)));
    for (int mode = 1; mode <= 4; ++mode) {
        fuzzing::EmptyFolder(historic);
        fuzzing::WriteWholeFile(historic + TodayName("ahs"), day);
        RepairHistoricFiles(source, mode);
        if (mode == 3 && day.size() >= 8 &&
            static_cast<int32_t>(Get(reinterpret_cast<const uint8_t*>(day.data()), 4)) >= kVersion) {
            std::string repaired = ReadBack(historic + TodayName("ahs"));
            const auto* bytes = reinterpret_cast<const uint8_t*>(repaired.data());
            if (repaired.size() < 8 || repaired.size() != kHeaderSize + kRecordSize * Get(bytes + 4, 4)) {
                Fail("a day file is not whole after removing the unknown events");
            }
        }
    }
    return 0;
}
