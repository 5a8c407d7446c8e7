#include "server/store/historic_query.h"

#include <algorithm>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "server/core/log.h"

namespace heraldon {

namespace {

using namespace historic_file;

int DayNumberOf(int64_t localTimestamp) {
    if (localTimestamp <= 0) return 0;
    std::tm t = platform::clock::CalendarOfLocalTimestamp(localTimestamp);
    // Day numbers of years past 9999 do not fit the file names anyway.
    int64_t year = static_cast<int64_t>(t.tm_year) + 1900;
    if (year > 9999) return 99991231;
    return static_cast<int>(year) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
}

std::string ReadComment(const platform::File& file, const std::string& path, int32_t offset) {
    uint8_t length[4];
    if (offset < 0 || !file.ReadAt(offset, length, 4)) return "";
    uint32_t n = static_cast<uint32_t>(Get(length, 4));
    if (n > kMaxCommentLength) {
        Log("Comment file '%s' seems to be damaged!", path.c_str());
        return "";
    }
    std::string text(n, '\0');
    if (!file.ReadAt(offset + 4, text.data(), n)) return "";
    return text;
}

}  // namespace

int QueryHistoricEvents(const std::string& folder, const HistoryQuery& q,
                        const std::function<bool(const HistoryAnswer&)>& emit) {
    int firstDay = DayNumberOf(q.from);
    int lastDay = DayNumberOf(q.to);

    std::vector<std::pair<int, std::string>> days;
    for (const std::string& name : platform::fs::ListFiles(folder)) {
        int day = 0;
        if (DayOfFileName(name, day)) days.emplace_back(day, name);
    }
    std::sort(days.begin(), days.end());
    if (days.empty()) return 0;

    // An event stored just after midnight may carry a time of the day before, so the
    // search starts with the last file before the first day asked for.
    size_t start = 0;
    if (q.from > 0) {
        for (size_t i = 0; i < days.size(); ++i) {
            if (days[i].first < firstDay) start = i;
        }
    }
    int sent = 0;
    auto full = [&] { return q.maxRecords >= 0 && sent >= q.maxRecords; };
    for (size_t i = start; i < days.size() && !full(); ++i) {
        if (q.to != 0 && days[i].first > lastDay) break;
        std::string path = folder + days[i].second;
        platform::File file = platform::File::OpenReadOnly(path);
        if (!file.IsOpen()) continue;
        std::string commentPath = path.substr(0, path.size() - 3) + "acm";
        platform::File comments = q.withComments ? platform::File::OpenReadOnly(commentPath) : platform::File();
        uint8_t header[8];
        if (!file.ReadAt(0, header, sizeof header) || static_cast<int32_t>(Get(header, 4)) != kVersion) continue;

        uint8_t bytes[kRecordSize];
        for (int64_t at = kHeaderSize; !full() && file.ReadAt(at, bytes, kRecordSize); at += kRecordSize) {
            HistoryAnswer answer;
            answer.record = Decode(bytes);
            const EventRecord& r = answer.record;
            if (r.time < q.from || (q.to != 0 && r.time > q.to)) continue;
            if (q.record != -1 && r.fileRecord != q.record) continue;
            if (q.passes && !q.passes(std::string_view(r.tag, strnlen(r.tag, 80)), r.area)) continue;
            if (q.withComments && r.commentOffset >= 0 && comments.IsOpen()) {
                answer.comment = ReadComment(comments, commentPath, r.commentOffset);
            }
            if (!emit(answer)) return sent;
            ++sent;
            // A long query must not starve the event path.
            if (sent % 128 == 0) {
                platform::clock::SleepMs(1);
            } else {
                std::this_thread::yield();
            }
        }
    }
    return sent;
}

}  // namespace heraldon
