// Reading a source's day files for a client's history query.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "server/store/historic_format.h"

namespace heraldon {

struct HistoryQuery {
    int32_t record = -1;  // only this object's records; -1 for all
    bool withComments = false;
    int64_t from = 0;  // local timestamps; 0 (or less) for no lower bound
    int64_t to = 0;    // 0 for no upper bound
    int maxRecords = -1;  // negative for no limit
    std::function<bool(std::string_view tag, int32_t area)> passes;
};

struct HistoryAnswer {
    historic_file::EventRecord record;
    std::string comment;
};

// Streams the matching records of the day files in historicFolder, oldest day first, to
// emit (which returns false to stop). Reads what is on disk, without any lock: a day file
// being appended to is read to its current end. Returns the number of records emitted.
int QueryHistoricEvents(const std::string& historicFolder, const HistoryQuery& query,
                        const std::function<bool(const HistoryAnswer&)>& emit);

}  // namespace heraldon
