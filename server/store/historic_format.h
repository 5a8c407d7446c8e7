// Byte maps of the historic day files of an Alarm Source, "Historic/YYYY-MM-DD.ahs" (the
// events of one local day) and ".acm" beside it (their comments). Little-endian.
//
// Day file:
//   0     int32 version 0x2001
//   4     int32 number of event records
//   8     1016 bytes zero
//   1024  106-byte event records, record i at 1024 + 106 * i:
//           0   int32  FileRecord of the alarm object (-1: none found by a repair)
//           4   int64  event time, local timestamp
//           12  char80 Tag, zero-terminated
//           92  int32  Area
//           96  int16  event type (0xFFFF: unknown, from converting an old file)
//           98  uint16 milliseconds
//           100 int16  user index in UserNames.dat, -1 for none
//           102 int32  offset of the comment entry in the .acm file, -1 for none
// Comment file: entries one after another, each int32 length L then L bytes of text.
//
// Older day files: version 0x2000 has the same records with the states before and after
// the event at 96 and 98; files before that hold 102-byte records (int32 time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace heraldon::historic_file {

constexpr int32_t kVersion = 0x2001;
constexpr int32_t kStatesVersion = 0x2000;
constexpr size_t kHeaderSize = 1024;
constexpr size_t kRecordSize = 106;
constexpr size_t kOldRecordSize = 102;
constexpr size_t kMaxCommentLength = 130072;

struct EventRecord {
    int32_t fileRecord = -1;
    int64_t time = 0;
    char tag[80] = {};
    int32_t area = 0;
    int16_t type = 0;
    uint16_t milliseconds = 0;
    int16_t userIndex = -1;
    int32_t commentOffset = -1;
};

inline void Put(uint8_t* p, uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t Get(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

inline void Encode(const EventRecord& r, uint8_t (&out)[kRecordSize]) {
    Put(out, static_cast<uint32_t>(r.fileRecord), 4);
    Put(out + 4, static_cast<uint64_t>(r.time), 8);
    std::memcpy(out + 12, r.tag, 80);
    Put(out + 92, static_cast<uint32_t>(r.area), 4);
    Put(out + 96, static_cast<uint16_t>(r.type), 2);
    Put(out + 98, r.milliseconds, 2);
    Put(out + 100, static_cast<uint16_t>(r.userIndex), 2);
    Put(out + 102, static_cast<uint32_t>(r.commentOffset), 4);
}

inline EventRecord Decode(const uint8_t (&in)[kRecordSize]) {
    EventRecord r;
    r.fileRecord = static_cast<int32_t>(Get(in, 4));
    r.time = static_cast<int64_t>(Get(in + 4, 8));
    std::memcpy(r.tag, in + 12, 80);
    r.tag[79] = '\0';
    r.area = static_cast<int32_t>(Get(in + 92, 4));
    r.type = static_cast<int16_t>(Get(in + 96, 2));
    r.milliseconds = static_cast<uint16_t>(Get(in + 98, 2));
    r.userIndex = static_cast<int16_t>(Get(in + 100, 2));
    r.commentOffset = static_cast<int32_t>(Get(in + 102, 4));
    return r;
}

// "YYYY-MM-DD.ahs" and ".acm" of a local date.
std::string DayFileName(int year, int month, int day, const char* extension);

// The day number (year * 10000 + month * 100 + day) of a day file's name; false for any
// other name.
bool DayOfFileName(const std::string& name, int& dayNumber);

}  // namespace heraldon::historic_file
