// "AlarmObjects.dat" as the store finds it on disk: loading with its checks, upgrade of
// older versions and repair of a wrong length, then saving every record back.
//
// Input: one byte of options, then the file. Options below 0xC0 put a known version into
// the file's first four bytes (0x1002 to 0x1005), so most inputs get past the version
// check into the upgrade and record code; from 0xC0 on the file is taken as it is.
//
// Checked: what a save writes loads again to the same objects, record for record.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "server/store/alarm_object_format.h"
#include "server/store/alarm_source.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace heraldon;

std::string g_folder;

void RemoveFolder() { fuzzing::RemoveTree(g_folder); }

// Every object by its record number, as its record bytes; the fields a load sets itself
// (Changed, Seen) and the save stamps (LastChangeTime) left out.
std::map<int32_t, std::vector<uint8_t>> Records(const AlarmSource& source) {
    std::map<int32_t, std::vector<uint8_t>> records;
    for (const AlarmObjectList* list : {&source.inUse, &source.removed}) {
        for (const auto& object : *list) {
            AlarmObject copy = *object;
            copy.Changed = 0;
            copy.Seen = 0;
            copy.LastChangeTime = 0;
            uint8_t bytes[alarm_file::kRecordSize];
            copy.EncodeTo(bytes);
            records[object->FileRecord].assign(std::begin(bytes), std::end(bytes));
        }
    }
    return records;
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "alarm_file_loader: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_folder = fuzzing::MakeScratchFolder("alarmfile");
    std::atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::string file(reinterpret_cast<const char*>(data + 1), size - 1);
    uint8_t options = data[0];
    if (options < 0xC0) {
        uint32_t version = alarm_file::kOldestVersion + options % 4;
        if (file.size() < 4) file.resize(4, '\0');
        for (int i = 0; i < 4; ++i) file[i] = static_cast<char>(version >> (8 * i));
    }
    fuzzing::WriteWholeFile(g_folder + "AlarmObjects.dat", file);

    AlarmSourceSettings settings;
    settings.name = "Plant";
    AlarmSource source(settings, 1, g_folder);
    if (!source.Load()) Fail("the file could not be opened");
    auto loaded = Records(source);
    if (static_cast<int64_t>(loaded.size()) != source.ObjectCount()) Fail("two objects share a record number");

    // Every record written anew, as after a change to each object.
    for (const AlarmObjectList* list : {&source.inUse, &source.removed}) {
        for (const auto& object : *list) object->MarkChanged();
    }
    source.Save(true, 0);
    size_t inUse = source.inUse.size();
    source.Close(true);

    AlarmSource again(settings, 1, g_folder);
    if (!again.Load()) Fail("the saved file could not be opened");
    if (again.inUse.size() != inUse) Fail("the saved file holds a different number of objects in use");
    if (Records(again) != loaded) Fail("the saved file loads to different objects");
    again.Close(false);
    return 0;
}
