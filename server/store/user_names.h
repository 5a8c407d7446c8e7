// The user name store: operator names by number, for the day files' event records.
//
// "UserNames.dat" (in the system source's folder), little-endian:
//   0     int32 version 0x3001
//   4     int32 number of names
//   8     1016 bytes zero
//   1024  one 256-byte record per name: the name, zero-terminated, zero-padded
// A name keeps its number for good: day files written years ago refer to it.
//
// Thread-safe: one lock guards lookup, append and reads by index.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace heraldon {

namespace user_file {
constexpr int32_t kVersion = 0x3001;
constexpr size_t kHeaderSize = 1024;
constexpr size_t kRecordSize = 256;
// Event records keep the number in an int16.
constexpr size_t kMaxNames = 32767;
}  // namespace user_file

class UserNameStore {
public:
    // Reads the file (path of "UserNames.dat"); called at every start of the alarm threads.
    void Load(const std::string& path);

    // The number of a name, appending it when it is new; -1 for no name, a name that can
    // not be stored, or a full store.
    int GetUserNameIndex(const char* name);

    // The name with that number; empty for a number that names none.
    std::string UserNameAt(int index);

    size_t Count();

private:
    bool AppendUserName(std::string_view name);  // lock held
    bool LoadLocked();                           // lock held

    std::mutex lock_;
    std::string path_;                // guarded by lock_
    std::vector<std::string> names_;  // guarded by lock_
    bool loaded_ = false;             // guarded by lock_: the file was read
};

}  // namespace heraldon
