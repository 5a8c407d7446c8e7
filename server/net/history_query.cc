// The history query of a client: the day files of the sources asked for, streamed one
// record per packet, with one end packet per source searched.

#include "server/core/heraldon.h"
#include "server/core/log.h"
#include "server/net/client_connection.h"
#include "server/net/client_protocol.h"
#include "server/store/historic_files.h"
#include "server/store/historic_query.h"

namespace heraldon {

namespace {

void QuerySource(ClientConnection& c, AlarmSource& source, HistoryQuery query) {
    CHeraldon* server = TheServer();
    {
        // The open day files belong to the storing side; the next store reopens them.
        std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
        CloseHistoricFiles(source);
    }
    query.maxRecords = server->Config().maxReturnedHistoricEvents;
    QueryHistoricEvents(source.HistoricFolder(), query, [&](const HistoryAnswer& answer) {
        const historic_file::EventRecord& r = answer.record;
        net::ClientPacketBuilder p(131096);
        p.Int32(static_cast<int32_t>(source.handleBase | (static_cast<uint32_t>(r.fileRecord) & 0xFFFFFF)));
        p.Int32(static_cast<int32_t>(static_cast<uint32_t>(r.time)));
        p.Int32(r.milliseconds).Int32(static_cast<uint16_t>(r.type));
        p.String(server->UserNames().UserNameAt(r.userIndex)).String(answer.comment);
        std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
        return SendToClient(c, net::PACKET_TYPE_HISTORY, p.Payload());
    });
    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    SendToClient(c, net::PACKET_TYPE_HISTORY_END, "");
}

}  // namespace

void AnswerHistoryQuery(ClientConnection& c, const uint8_t* payload, size_t size) {
    CHeraldon* server = TheServer();
    net::ClientPayloadReader r(payload, size);
    int32_t sourceIndex = -1, handle = -1, withComments = 0, from = 0, to = 0;
    std::string tagFilter, areaFilter;
    r.Int32(sourceIndex);
    r.Int32(handle);
    r.String(tagFilter, 255);
    r.String(areaFilter, 255);
    r.Int32(withComments);
    r.Int32(from);
    r.Int32(to);
    if (!r.Ok()) {
        Log("Malformed packet %08x from client %s ignored", net::PACKET_TYPE_GET_HISTORY,
            c.address.c_str());
        return;
    }
    auto& sources = server->AlarmSources();
    HistoryQuery query;
    query.withComments = withComments != 0;
    query.from = from;
    query.to = to;
    auto forSource = [&](AlarmSource& source) {
        HistoryQuery q = query;
        q.passes = [&source, tagFilter, areaFilter](std::string_view tag, int32_t area) {
            return MatchesFilter(source, tagFilter, areaFilter, tag, area);
        };
        QuerySource(c, source, q);
    };
    if (handle != -1) {
        int32_t record = 0;
        // A handle of no source gets no answer at all, not even an end packet.
        if (AlarmSource* source = SourceForHandle(sources, static_cast<uint32_t>(handle), &record)) {
            query.record = record;
            forSource(*source);
        }
    } else if (sourceIndex >= 0 && static_cast<size_t>(sourceIndex) < sources.size()) {
        forSource(*sources[static_cast<size_t>(sourceIndex)]);
    } else {
        for (auto& source : sources) forSource(*source);
    }
}

}  // namespace heraldon
