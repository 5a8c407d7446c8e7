#include "server/store/alarm_object.h"

#include <array>
#include <type_traits>

#include "platform/clock.h"

namespace heraldon {

namespace {

using Record = uint8_t[alarm_file::kRecordSize];

// Every field at its offset in the record, in record order. The table is checked at
// compile time: each field begins where the one before it ends, and the last one ends at
// the record size.
#define ALARM_OBJECT_FIELDS(X)                                                                  \
    X(Version, 0) X(Tag, 4) X(Name, 84) X(Description, 164) X(Reserved292, 292)                \
    X(SumState, 340) X(Help, 356) X(Area, 420) X(Category, 424) X(Privilege, 428)              \
    X(SCADAHandle, 432) X(FileRecord, 436) X(Reserved440, 440) X(ActiveTime, 444)              \
    X(InActiveTime, 452) X(AckedTime, 460) X(DisabledTime, 468) X(DisabledExpireTime, 476)     \
    X(LastAckedBy, 484) X(LastDisabledBy, 548) X(LastEnabledBy, 612)                           \
    X(RepeatedSinceLastAck, 676) X(Changed, 680) X(Seen, 684) X(State, 688) X(StatHours, 692)  \
    X(StatDays, 788) X(StatTotal, 1148) X(StateBeforeDisable, 1152) X(Reserved1156, 1156)      \
    X(ActiveMillisecond, 1168) X(InActiveMillisecond, 1172) X(LastChangeTime, 1176)            \
    X(Custom, 1184) X(Paging, 1696) X(PagingGrp, 1700) X(LastEventType, 1780)                  \
    X(AckedMillisecond, 1784) X(DisabledMillisecond, 1788) X(InUse, 1792)                      \
    X(LastEventTime, 1796) X(LastEventMillisecond, 1804) X(SmallComment, 1808)                 \
    X(Reserved1908, 1908)

struct FieldPlace {
    size_t offset;
    size_t size;
};

constexpr std::array kFieldPlaces = {
#define PLACE(field, offset) FieldPlace{offset, sizeof(AlarmObject::field)},
    ALARM_OBJECT_FIELDS(PLACE)
#undef PLACE
};

constexpr bool FieldsTileTheRecord() {
    size_t next = 0;
    for (const FieldPlace& p : kFieldPlaces) {
        if (p.offset != next) return false;
        next = p.offset + p.size;
    }
    return next == alarm_file::kRecordSize;
}
static_assert(FieldsTileTheRecord(), "alarm object fields must tile the 2 808-byte record");

// Little-endian encoding of one field. Integers (and arrays of them) byte by byte; texts
// and reserved bytes as they are.
template <typename T>
void Put(uint8_t* out, const T& value) {
    if constexpr (std::is_array_v<T>) {
        using Element = std::remove_extent_t<T>;
        if constexpr (sizeof(Element) == 1 || std::is_array_v<Element>) {
            std::memcpy(out, &value, sizeof value);
        } else {
            for (size_t i = 0; i < std::extent_v<T>; ++i) Put(out + i * sizeof(Element), value[i]);
        }
    } else {
        using U = std::make_unsigned_t<T>;
        U u = static_cast<U>(value);
        for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(u >> (8 * i));
    }
}

template <typename T>
void Get(const uint8_t* in, T& value) {
    if constexpr (std::is_array_v<T>) {
        using Element = std::remove_extent_t<T>;
        if constexpr (sizeof(Element) == 1 || std::is_array_v<Element>) {
            std::memcpy(&value, in, sizeof value);
        } else {
            for (size_t i = 0; i < std::extent_v<T>; ++i) Get(in + i * sizeof(Element), value[i]);
        }
    } else {
        using U = std::make_unsigned_t<T>;
        U u = 0;
        for (size_t i = 0; i < sizeof(T); ++i) u |= static_cast<U>(in[i]) << (8 * i);
        value = static_cast<T>(u);
    }
}

template <size_t N>
void Terminate(char (&field)[N]) {
    field[N - 1] = '\0';
}

}  // namespace

AlarmObject AlarmObject::New() {
    AlarmObject object;
    object.LastChangeTime = platform::clock::UtcNow();
    return object;
}

void AlarmObject::EncodeTo(Record& record) const {
#define PUT(field, offset) Put(record + offset, field);
    ALARM_OBJECT_FIELDS(PUT)
#undef PUT
}

void AlarmObject::DecodeFrom(const Record& record) {
#define GET(field, offset) Get(record + offset, field);
    ALARM_OBJECT_FIELDS(GET)
#undef GET
    Terminate(Tag);
    Terminate(Name);
    Terminate(Description);
    Terminate(SumState);
    Terminate(Help);
    Terminate(LastAckedBy);
    Terminate(LastDisabledBy);
    Terminate(LastEnabledBy);
    for (auto& custom : Custom) Terminate(custom);
    Terminate(PagingGrp);
    Terminate(SmallComment);
}

void AlarmObject::MarkChanged() {
    Changed = 1;
    LastChangeTime = platform::clock::UtcNow();
}

}  // namespace heraldon
