#include "server/store/historic_files.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "platform/clock.h"
#include "platform/text.h"
#include "server/core/log.h"
#include "server/store/historic_format.h"

namespace heraldon {

namespace historic_file {

std::string DayFileName(int year, int month, int day, const char* extension) {
    char name[32];
    std::snprintf(name, sizeof name, "%04u-%02u-%02u.%s", static_cast<unsigned>(year),
                  static_cast<unsigned>(month), static_cast<unsigned>(day), extension);
    return name;
}

bool DayOfFileName(const std::string& name, int& dayNumber) {
    unsigned year = 0, month = 0, day = 0;
    int used = 0;
    // The three numbers and then exactly ".ahs": the comment file beside it and any other
    // file must never be taken for a day file (the repair would rewrite it).
    if (std::sscanf(name.c_str(), "%4u-%2u-%2u%n", &year, &month, &day, &used) != 3 ||
        !platform::text::EqualsNoCase(std::string_view(name).substr(static_cast<size_t>(used)), ".ahs")) {
        return false;
    }
    dayNumber = static_cast<int>(year * 10000 + month * 100 + day);
    return true;
}

}  // namespace historic_file

namespace {

using namespace historic_file;

int64_t Offset(int64_t record) {
    return static_cast<int64_t>(kHeaderSize) + record * static_cast<int64_t>(kRecordSize);
}

// The number of records the day file holds for the next store, after putting right what
// is wrong with it.
int64_t CheckedCount(platform::File& file, const std::string& path) {
    int64_t length = file.Size();
    uint8_t header[8] = {};
    bool reset = true;
    int64_t count = 0;
    if (length >= static_cast<int64_t>(kHeaderSize) && file.ReadAt(0, header, sizeof header)) {
        int32_t version = static_cast<int32_t>(Get(header, 4));
        count = static_cast<int32_t>(Get(header + 4, 4));
        if (version > kVersion) {
            Log("File %s has version 0x%04x but we can only handle version 0x%04x. The file will "
                "be recreated.",
                path.c_str(), version, kVersion);
        } else if (version < kVersion) {
            Log("File %s has version 0x%04x, it will be updated to version 0x%04x.", path.c_str(),
                version, kVersion);
            Log("Unknown file version, file will be recreated");
        } else if (count < 0 || length != Offset(count)) {
            // Records are written before the header: a crash between the two leaves more
            // records than counted, all of them whole and good. Keep them.
            int64_t whole = (length - static_cast<int64_t>(kHeaderSize)) / static_cast<int64_t>(kRecordSize);
            whole = std::min<int64_t>(whole, INT32_MAX - 1);
            Log("File %s has a length of %lld bytes but was expected to be %lld bytes long. The "
                "file was repaired and keeps its %lld whole records.",
                path.c_str(), static_cast<long long>(length),
                static_cast<long long>(Offset(std::max<int64_t>(count, 0))), static_cast<long long>(whole));
            file.Truncate(Offset(whole));
            return whole;
        } else {
            reset = false;
        }
    }
    if (reset) {
        uint8_t fresh[kHeaderSize] = {};
        Put(fresh, static_cast<uint32_t>(kVersion), 4);
        file.WriteAt(0, fresh, kHeaderSize);
        file.Truncate(kHeaderSize);
        count = 0;
    }
    return count;
}

// Appends whole records to the open day file, whose count is known. The records go
// before the count: a crash between the two writes loses nothing (the next open keeps
// every whole record), never the file.
bool AppendRecords(AlarmSource& source, const uint8_t* records, size_t size) {
    int64_t count = source.dayCount;
    if (count < 0) return false;  // unknown since a failed write: never guess an offset
    if (!source.dayFile.WriteAt(Offset(count), records, size)) return false;
    count += static_cast<int64_t>(size / kRecordSize);
    uint8_t header[8];
    Put(header, static_cast<uint32_t>(kVersion), 4);
    Put(header + 4, static_cast<uint32_t>(count), 4);
    if (!source.dayFile.WriteAt(0, header, sizeof header)) {
        source.dayCount = -1;  // check the file again at the next store
        return false;
    }
    source.dayCount = count;
    return true;
}

struct EventTime {
    int64_t time;
    uint16_t milliseconds;
    const char* user;
};

EventTime TimeOfEvent(const AlarmObject& o, int32_t type, int64_t now, const char* user) {
    switch (type) {
        case 0: return {o.InActiveTime, static_cast<uint16_t>(o.InActiveMillisecond), user};
        case 1: return {o.ActiveTime, static_cast<uint16_t>(o.ActiveMillisecond), user};
        case 2: return {o.AckedTime, 0, o.LastAckedBy};
        case 3: return {now, 0, o.LastDisabledBy};
        case 4: return {now, 0, o.LastEnabledBy};
        default: return {now, 0, user};
    }
}

int DateNumber(const std::tm& t) { return (t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday; }

// Days from 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int64_t DayIndex(const std::tm& t) {
    return DaysFromCivil(t.tm_year + 1900, static_cast<unsigned>(t.tm_mon + 1), static_cast<unsigned>(t.tm_mday));
}

}  // namespace

bool StoreHistoricEvent(AlarmSource& source, const AlarmObject& o, int32_t type,
                        UserNameStore& userNames, const char* userName, const std::string* comment) {
    int64_t utc = platform::clock::UtcNow();
    std::tm local = platform::clock::LocalCalendar(utc);
    int64_t now = platform::clock::LocalTimestamp(utc);

    EventTime when = TimeOfEvent(o, type, now, userName);
    EventRecord record;
    record.fileRecord = o.FileRecord;
    record.time = when.time;
    std::memcpy(record.tag, o.Tag, 79);
    record.area = o.Area;
    record.type = static_cast<int16_t>(type);
    record.milliseconds = when.milliseconds;
    record.userIndex = static_cast<int16_t>(userNames.GetUserNameIndex(when.user));

    // The pair belongs to one full local date: a day of the month alone would send the
    // first event after a quiet month into last month's file.
    int today = DateNumber(local);
    if (today != source.openDay) {
        CloseHistoricFiles(source);
        source.openDay = today;
    }
    std::string folder = source.HistoricFolder();
    int y = local.tm_year + 1900, m = local.tm_mon + 1, d = local.tm_mday;
    std::string dayPath = folder + DayFileName(y, m, d, "ahs");
    if (!source.dayFile.IsOpen()) source.dayFile = platform::File::OpenReadWrite(dayPath);
    if (!source.commentFile.IsOpen()) {
        source.commentFile = platform::File::OpenReadWrite(folder + DayFileName(y, m, d, "acm"));
    }
    if (!source.dayFile.IsOpen() || !source.commentFile.IsOpen()) return false;

    if (comment != nullptr) {
        int64_t at = source.commentFile.Size();
        uint8_t length[4];
        Put(length, static_cast<uint32_t>(comment->size()), 4);
        if (at >= 0 && at <= INT32_MAX && source.commentFile.WriteAt(at, length, 4) &&
            source.commentFile.WriteAt(at + 4, comment->data(), comment->size())) {
            record.commentOffset = static_cast<int32_t>(at);
        }
    }

    // A store from outside the burst goes after what the burst gathered.
    if (!source.gatherHistory) FlushHistoricEvents(source);
    // Nothing but this source writes its open day file, so its count is checked once when
    // the file is opened (or after a failed write) and kept from there on: two system calls
    // less per event.
    if (source.dayCount < 0) source.dayCount = CheckedCount(source.dayFile, dayPath);
    uint8_t bytes[kRecordSize];
    Encode(record, bytes);
    if (source.gatherHistory) {
        source.gatheredRecords.append(reinterpret_cast<const char*>(bytes), kRecordSize);
        return true;
    }
    return AppendRecords(source, bytes, kRecordSize);
}

void FlushHistoricEvents(AlarmSource& source) {
    if (source.gatheredRecords.empty()) return;
    std::string records = std::move(source.gatheredRecords);
    source.gatheredRecords.clear();
    if (source.dayCount < 0 && source.dayFile.IsOpen()) {  // a write failed since they gathered
        int d = source.openDay;
        source.dayCount = CheckedCount(
            source.dayFile, source.HistoricFolder() + DayFileName(d / 10000, d / 100 % 100, d % 100, "ahs"));
    }
    if (!AppendRecords(source, reinterpret_cast<const uint8_t*>(records.data()), records.size())) {
        Log("AlarmSource '%s': %lld historic events could not be written to the day file",
            source.name.c_str(), static_cast<long long>(records.size() / kRecordSize));
    }
}

void CloseHistoricFiles(AlarmSource& source) {
    FlushHistoricEvents(source);
    source.dayFile.Close();
    source.commentFile.Close();
    source.openDay = 0;
    source.dayCount = -1;
}

void CleanupEventStatistics(AlarmSource& source) {
    int64_t utc = platform::clock::UtcNow();
    int64_t last = source.LastEventStatisticCleanup;
    std::tm then{}, now = platform::clock::LocalCalendar(utc);
    time_t lastTime = static_cast<time_t>(last);
    if (localtime_r(&lastTime, &then) == nullptr) {
        Log("Alarm File LastEventStatisticCleanup was bad, it was set to 'now'");
        source.LastEventStatisticCleanup = utc;
        source.Save(true, 1);
        return;
    }
    // A clean-up time in the future (the clock was once set ahead) would stop counting and
    // storing for good; start from now, leaving the counters as they are.
    if (last > utc) {
        source.LastEventStatisticCleanup = utc;
        source.Save(true, 1);
        return;
    }
    int64_t dd = DayIndex(now) - DayIndex(then);
    int64_t dh = dd * 24 + (now.tm_hour - then.tm_hour);
    if (dd < 0 || dh < 1) return;

    for (const auto& object : source.inUse) {
        AlarmObject& o = *object;
        bool changed = false;
        int hour = now.tm_hour;
        for (int64_t i = 0; i < std::min<int64_t>(dh, 24); ++i) {
            if (o.StatHours[hour] != 0) o.StatHours[hour] = 0, changed = true;
            hour = hour == 0 ? 23 : hour - 1;
        }
        if (dd > 0) {
            for (int k = 89; k >= 0; --k) {
                int32_t value = k >= dd ? o.StatDays[k - dd] : 0;
                if (o.StatDays[k] != value) o.StatDays[k] = value, changed = true;
            }
        }
        if (changed) o.MarkChanged();
    }
    source.LastEventStatisticCleanup = utc;
    source.Save(true, 1);
}

}  // namespace heraldon
