// AlarmObject: one alarm tag of an Alarm Source, the in-memory form of its 2 808-byte
// record in "AlarmObjects.dat" (byte map in alarm_object_format.h).
//
// A plain record; every access is under the alarm data lock.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "server/store/alarm_object_format.h"

namespace heraldon {

// Alarm states.
constexpr int32_t kStateNormal = 0;
constexpr int32_t kStateActiveUnacked = 1;
constexpr int32_t kStateActiveAcked = 2;
constexpr int32_t kStateInactiveUnacked = 3;
constexpr int32_t kStateDisabled = 4;
constexpr int32_t kStateRemoved = 4096;

struct AlarmObject {
    int32_t Version = 0;
    char Tag[80] = {};
    char Name[80] = {};
    char Description[128] = {};
    uint8_t Reserved292[48] = {};
    char SumState[16] = {};
    char Help[64] = {};
    int32_t Area = 0;
    int32_t Category = 0;
    int32_t Privilege = 0;
    uint32_t SCADAHandle = 0;
    int32_t FileRecord = -1;
    uint8_t Reserved440[4] = {};
    int64_t ActiveTime = 0;
    int64_t InActiveTime = 0;
    int64_t AckedTime = 0;
    int64_t DisabledTime = 0;
    int64_t DisabledExpireTime = 0;
    char LastAckedBy[64] = {};
    char LastDisabledBy[64] = {};
    char LastEnabledBy[64] = {};
    int32_t RepeatedSinceLastAck = 0;
    int32_t Changed = 0;
    int32_t Seen = 0;
    int32_t State = kStateNormal;
    int32_t StatHours[24] = {};
    int32_t StatDays[90] = {};
    int32_t StatTotal = 0;
    int32_t StateBeforeDisable = 0;
    uint8_t Reserved1156[12] = {};
    int32_t ActiveMillisecond = 0;
    int32_t InActiveMillisecond = 0;
    int64_t LastChangeTime = 0;
    char Custom[8][64] = {};
    int32_t Paging = 0;
    char PagingGrp[80] = {};
    int32_t LastEventType = -1;
    int32_t AckedMillisecond = 0;
    int32_t DisabledMillisecond = 0;
    int32_t InUse = 1;
    int64_t LastEventTime = 0;
    int32_t LastEventMillisecond = 0;
    char SmallComment[100] = {};
    uint8_t Reserved1908[900] = {};

    // A new object: all zero except FileRecord -1 (not placed yet), InUse 1,
    // LastEventType -1, and LastChangeTime now.
    static AlarmObject New();

    void EncodeTo(uint8_t (&record)[alarm_file::kRecordSize]) const;
    // Every text field comes out zero-terminated whatever the bytes held.
    void DecodeFrom(const uint8_t (&record)[alarm_file::kRecordSize]);

    // The record must be written at the next save.
    void MarkChanged();

    std::string_view TagText() const { return std::string_view(Tag, strnlen(Tag, sizeof Tag)); }
};

// Copies text into a fixed field, cut to size - 1 characters, the rest zero.
template <size_t N>
void SetText(char (&field)[N], std::string_view text) {
    size_t n = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, N - n);
}

template <size_t N>
std::string_view TextOf(const char (&field)[N]) {
    return std::string_view(field, strnlen(field, N));
}

}  // namespace heraldon
