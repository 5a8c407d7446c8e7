// Byte map of the alarm object record, 2 808 bytes, little-endian, as in "AlarmObjects.dat".
//
//   offset size field                 offset size field
//      0     4 Version (int32)          676    4 RepeatedSinceLastAck
//      4    80 Tag                      680    4 Changed
//     84    80 Name                     684    4 Seen
//    164   128 Description              688    4 State
//    292    48 reserved                 692   96 StatHours (24 x int32)
//    340    16 SumState                 788  360 StatDays (90 x int32)
//    356    64 Help                    1148    4 StatTotal
//    420     4 Area                    1152    4 StateBeforeDisable
//    424     4 Category                1156    8 reserved
//    428     4 Privilege               1164    4 reserved
//    432     4 SCADAHandle (uint32)    1168    4 ActiveMillisecond
//    436     4 FileRecord              1172    4 InActiveMillisecond
//    440     4 reserved                1176    8 LastChangeTime (UTC)
//    444     8 ActiveTime              1184  512 Custom1..Custom8 (8 x 64)
//    452     8 InActiveTime            1696    4 Paging
//    460     8 AckedTime               1700   80 PagingGrp
//    468     8 DisabledTime            1780    4 LastEventType
//    476     8 DisabledExpireTime (UTC) 1784   4 AckedMillisecond
//    484    64 LastAckedBy             1788    4 DisabledMillisecond
//    548    64 LastDisabledBy          1792    4 InUse
//    612    64 LastEnabledBy           1796    8 LastEventTime
//                                      1804    4 LastEventMillisecond
//                                      1808  100 SmallComment
//                                      1908  900 reserved
//
// Times are local timestamps (platform/clock.h) except the two marked UTC. Texts are
// Windows-1252, zero-terminated, at most size - 1 characters. Several int64 fields are not
// 8-byte aligned, which is why the record is encoded field by field, never copied as a
// struct.
//
// File "AlarmObjects.dat": a 1 024-byte header, then record n at 1 024 + n * 2 808.
//   header bytes 0..19: uint32 version (0x1005), uint32 record count, uint32 source enabled,
//   int64 LastEventStatisticCleanup (UTC); bytes 20..1023 are 0.
// Older versions hold shorter records, each the leading bytes of the current one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace heraldon::alarm_file {

constexpr size_t kRecordSize = 2808;
constexpr size_t kHeaderSize = 1024;
constexpr size_t kHeaderUsed = 20;
constexpr uint32_t kVersion = 0x1005;
constexpr uint32_t kOldestVersion = 0x1002;
// A record number is the low 24 bits of an alarm handle.
constexpr int64_t kMaxRecords = 0xFFFFFF;

// Record size of an older file version; 0 for a version that was never written.
constexpr size_t RecordSizeOf(uint32_t version) {
    switch (version) {
        case 0x1002: return 1156;
        case 0x1003: return 1404;
        case 0x1004: return 2804;
        case 0x1005: return 2808;
        default: return 0;
    }
}

constexpr int64_t RecordOffset(int64_t record, size_t recordSize = kRecordSize) {
    return static_cast<int64_t>(kHeaderSize) + record * static_cast<int64_t>(recordSize);
}

}  // namespace heraldon::alarm_file
