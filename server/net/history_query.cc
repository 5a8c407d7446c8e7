// The history query of a client.

#include "server/core/heraldon.h"
#include "server/core/log.h"
#include "server/net/client_connection.h"
#include "server/net/client_protocol.h"

namespace heraldon {

void AnswerHistoryQuery(ClientConnection& c, const uint8_t* payload, size_t size) {
    CHeraldon* server = TheServer();
    net::ClientPayloadReader r(payload, size);
    int32_t sourceIndex = -1, handle = -1;
    r.Int32(sourceIndex);
    r.Int32(handle);
    if (!r.Ok()) {
        Log("Malformed packet %08x from client %s ignored", net::PACKET_TYPE_GET_HISTORY, c.address.c_str());
        return;
    }
    auto& sources = server->AlarmSources();
    size_t searched = 0;
    if (handle != -1) {
        searched = SourceForHandle(sources, static_cast<uint32_t>(handle)) != nullptr ? 1 : 0;
    } else if (sourceIndex >= 0 && static_cast<size_t>(sourceIndex) < sources.size()) {
        searched = 1;
    } else {
        searched = sources.size();
    }
    // No day files are kept yet: each searched source answers with its end packet alone.
    std::lock_guard<std::recursive_mutex> guard(server->AlarmDataLock());
    for (size_t i = 0; i < searched; ++i) SendToClient(c, net::PACKET_TYPE_HISTORY_END, "");
}

}  // namespace heraldon
