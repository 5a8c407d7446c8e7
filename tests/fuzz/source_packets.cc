// The Alarm Source link as a connected, identified source drives it: the framing of the
// receive loop and every packet an Alarm Source may send, with a client connected that is
// sent every object the packets produce.
//
// Input: a stream of frames (uint32 length, uint32 type, payload), handled in order as the
// connection thread would; then the whole input once more as a single payload, of the
// packet type its first byte picks.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "server/core/heraldon.h"
#include "server/net/client_connection.h"
#include "server/net/client_protocol.h"
#include "server/net/frame.h"
#include "server/net/source_connection.h"
#include "server/net/source_protocol.h"
#include "server/store/historic_files.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace heraldon;

fuzzing::Installation* g_installation = nullptr;
std::unique_ptr<fuzzing::Attached<SourceConnection>> g_source;
std::unique_ptr<fuzzing::Attached<ClientConnection>> g_client;
std::vector<fuzzing::SourceState> g_sourceStates;  // by source index
uint64_t g_inputs = 0;

constexpr uint32_t kPacketTypes[] = {
    net::SOURCE_PACKET_TYPE_IDENTIFY,    net::SOURCE_PACKET_TYPE_REFRESH_BEGIN,
    net::SOURCE_PACKET_TYPE_OBJECT,      net::SOURCE_PACKET_TYPE_REFRESH_END,
    net::SOURCE_PACKET_TYPE_OBJECT_REMOVED, net::SOURCE_PACKET_TYPE_EVENT,
    net::SOURCE_PACKET_TYPE_STATUS,      net::SOURCE_PACKET_TYPE_KEEPALIVE,
};

CHeraldon& Server() { return g_installation->Server(); }

// A source connection identified as "Plant", as a real source opens every session.
void ConnectSource() {
    g_source = fuzzing::Attach<SourceConnection>(Server().SourceConnections());
    static const char kIdentify[] = "12290\0" "12291\0" "Plant";
    HandleSourcePacket(*g_source->connection, net::SOURCE_PACKET_TYPE_IDENTIFY,
                       reinterpret_cast<const uint8_t*>(kIdentify), sizeof kIdentify);
    std::lock_guard<heraldon::FairRecursiveMutex> guard(Server().AlarmDataLock());
    if (g_source->connection->source == nullptr) {
        std::fprintf(stderr, "the fuzz source was not accepted as 'Plant'\n");
        std::abort();
    }
}

// An identified list client without filters: it is sent every object.
void ConnectClient() {
    g_client = fuzzing::Attach<ClientConnection>(Server().ClientConnections());
    std::lock_guard<heraldon::FairRecursiveMutex> guard(Server().AlarmDataLock());
    g_client->connection->identified = 1;
    g_client->connection->clientKind = net::kClientListView;
}

void StopEverything() {
    fuzzing::Detach(g_client, Server().ClientConnections());
    fuzzing::Detach(g_source, Server().SourceConnections());
    g_installation->Stop();
}

// Every input starts from the same server: empty sources, no day files, no user names,
// and connections that are open (a packet may have had one closed).
void ResetState() {
    bool reconnectSource = false, reconnectClient = false;
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(Server().AlarmDataLock());
        reconnectSource = !g_source->connection->SocketOpen() || g_source->connection->source == nullptr;
        reconnectClient = !g_client->connection->SocketOpen();
    }
    if (reconnectSource) {
        fuzzing::Detach(g_source, Server().SourceConnections());
        ConnectSource();
    }
    if (reconnectClient) {
        fuzzing::Detach(g_client, Server().ClientConnections());
        ConnectClient();
    }
    std::lock_guard<heraldon::FairRecursiveMutex> guard(Server().AlarmDataLock());
    auto& sources = Server().AlarmSources();
    for (size_t i = 0; i < sources.size(); ++i) fuzzing::ResetSource(*sources[i], g_sourceStates[i]);
    Server().UserNames().Load(sources[0]->folder + "UserNames.dat");
    fuzzing::TrimLog(Server(), g_inputs);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::SilenceStdout();
    g_installation = new fuzzing::Installation("source", "MaxStoredEventsPerHour=-1\n", "",
                                               "[AlarmSource_Plant]\n");
    ConnectSource();
    ConnectClient();
    {
        // The state every input starts from: the sources as the server made them.
        std::lock_guard<heraldon::FairRecursiveMutex> guard(Server().AlarmDataLock());
        for (auto& source : Server().AlarmSources()) {
            CloseHistoricFiles(*source);
            source->Save(true, 0);
            g_sourceStates.push_back(fuzzing::SourceState::Of(*source));
        }
    }
    std::atexit(StopEverything);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ++g_inputs;
    ResetState();
    SourceConnection& connection = *g_source->connection;

    size_t at = 0;
    for (;;) {
        net::Frame frame;
        if (net::NextFrame(data + at, size - at, net::kSourceMaxPayload, frame) != net::FrameStatus::Ok) break;
        HandleSourcePacket(connection, frame.type, frame.payload, frame.payloadSize);
        at += frame.totalSize;
    }

    if (size >= 1) {
        uint32_t type = kPacketTypes[data[0] % std::size(kPacketTypes)];
        HandleSourcePacket(connection, type, data + 1, size - 1);
    }
    // Everything sent leaves before the next input: the writers are idle when libFuzzer
    // looks for leaks, and what one input queued never counts against the next.
    connection.queue.Drain(1000);
    g_client->connection->queue.Drain(1000);
    return 0;
}
