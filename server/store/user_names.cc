#include "server/store/user_names.h"

#include <algorithm>
#include <cstring>

#include "platform/file.h"
#include "server/core/log.h"

namespace heraldon {

namespace {

using namespace user_file;

void PutI32(uint8_t* p, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

int32_t GetI32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

bool WriteHeader(platform::File& file, size_t count, bool whole) {
    uint8_t header[kHeaderSize] = {};
    PutI32(header, kVersion);
    PutI32(header + 4, static_cast<int32_t>(count));
    return file.WriteAt(0, header, whole ? kHeaderSize : 8);
}

}  // namespace

void UserNameStore::Load(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    path_ = path;
    names_.clear();
    loaded_ = false;
    LoadLocked();
}

bool UserNameStore::LoadLocked() {
    platform::File file = platform::File::OpenReadWrite(path_);
    if (!file.IsOpen()) return false;
    names_.clear();
    const char* path = path_.c_str();
    int64_t length = file.Size();
    uint8_t header[8] = {};
    bool reset = true;
    int64_t count = 0;
    if (length >= static_cast<int64_t>(kHeaderSize) && file.ReadAt(0, header, sizeof header)) {
        int32_t version = GetI32(header);
        count = GetI32(header + 4);
        int64_t expected = static_cast<int64_t>(kHeaderSize) + count * static_cast<int64_t>(kRecordSize);
        if (version > kVersion) {
            Log("File %s has version 0x%04x but we can only handle version 0x%04x. The file will "
                "be recreated.",
                path, version, kVersion);
        } else if (version < kVersion) {
            Log("File %s has version 0x%04x, it will be updated to version 0x%04x.", path, version,
                kVersion);
            Log("Unknown file version, file will be recreated");
        } else if (count < 0 || length != expected) {
            // The record is written before the header, so a crash between the two leaves
            // more records than counted. Every whole name is kept: old day files refer to
            // them by number.
            int64_t whole = (length - static_cast<int64_t>(kHeaderSize)) / static_cast<int64_t>(kRecordSize);
            whole = std::min<int64_t>(whole, kMaxNames);
            Log("File %s has a length of %lld bytes but was expected to be %lld bytes long. The "
                "file was repaired and keeps its %lld whole names.",
                path, static_cast<long long>(length), static_cast<long long>(expected),
                static_cast<long long>(whole));
            count = whole;
            WriteHeader(file, static_cast<size_t>(count), false);
            file.Truncate(static_cast<int64_t>(kHeaderSize) + count * static_cast<int64_t>(kRecordSize));
            reset = false;
        } else {
            reset = false;
        }
    }
    if (reset) {
        count = 0;
        WriteHeader(file, 0, true);
        file.Truncate(kHeaderSize);
    }
    std::vector<uint8_t> records(static_cast<size_t>(count) * kRecordSize);
    if (count > 0 && !file.ReadAt(kHeaderSize, records.data(), records.size())) count = 0;
    for (int64_t i = 0; i < count; ++i) {
        const char* record = reinterpret_cast<const char*>(records.data()) + i * static_cast<int64_t>(kRecordSize);
        names_.emplace_back(record, strnlen(record, kRecordSize - 1));
    }
    loaded_ = true;
    Log("Read %d User Names", static_cast<int>(names_.size()));
    return true;
}

bool UserNameStore::AppendUserName(std::string_view name) {
    if (name.empty() || name.size() >= kRecordSize || names_.size() >= kMaxNames) return false;
    if (!loaded_) return false;
    platform::File file = platform::File::OpenReadWrite(path_);
    if (!file.IsOpen()) return false;
    uint8_t record[kRecordSize] = {};
    std::memcpy(record, name.data(), name.size());
    size_t index = names_.size();
    int64_t offset = static_cast<int64_t>(kHeaderSize) + static_cast<int64_t>(index * kRecordSize);
    // The record first, the count after it: a crash in between leaves a name the count
    // does not include yet, never a count that names garbage.
    if (!file.WriteAt(offset, record, kRecordSize) || !WriteHeader(file, index + 1, false)) return false;
    names_.emplace_back(name);
    Log("Appended new User Name '%s' to UserNames.dat", names_.back().c_str());
    return true;
}

int UserNameStore::GetUserNameIndex(const char* name) {
    if (name == nullptr) return -1;
    std::lock_guard<std::mutex> guard(lock_);
    std::string_view wanted(name, strnlen(name, kRecordSize));
    if (wanted.empty()) return -1;
    // The file could not be read at the last load: read it now, before looking, so that
    // a name already in it keeps its number and a new one is numbered after all of them.
    if (!loaded_) LoadLocked();
    for (size_t i = 0; i < names_.size(); ++i) {
        if (names_[i] == wanted) return static_cast<int>(i);
    }
    return AppendUserName(wanted) ? static_cast<int>(names_.size() - 1) : -1;
}

std::string UserNameStore::UserNameAt(int index) {
    std::lock_guard<std::mutex> guard(lock_);
    if (index < 0 || static_cast<size_t>(index) >= names_.size()) return "";
    return names_[static_cast<size_t>(index)];
}

size_t UserNameStore::Count() {
    std::lock_guard<std::mutex> guard(lock_);
    return names_.size();
}

}  // namespace heraldon
