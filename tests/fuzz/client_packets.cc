// The client link: the framing of the receive loop, the identification by the first
// packet, and every request a client may send, against a plant with alarms in every
// state, day files with comments, user names, comment files and common filters.
//
// Input: a stream of frames (uint32 length, uint32 type, payload) from one fresh client
// connection, handled in order as its connection thread would; then the whole input once
// more as a single payload, of the packet type its first byte picks. The plant, its files
// and the connection are put back before every input.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/fs.h"
#include "server/alarms/alarm_events.h"
#include "server/alarms/alarm_state.h"
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
std::unique_ptr<fuzzing::Attached<ClientConnection>> g_client;
std::unique_ptr<fuzzing::Attached<SourceConnection>> g_source;
std::vector<fuzzing::SourceState> g_sourceStates;  // by source index
std::string g_commonFilters;
uint64_t g_inputs = 0;

constexpr uint32_t kPacketTypes[] = {
    net::PACKET_TYPE_KEEPALIVE,         net::PACKET_TYPE_IDENTIFY,
    net::PACKET_TYPE_ALARMSOURCE_ENABLE, net::PACKET_TYPE_GET_ALL_ALARMS,
    net::PACKET_TYPE_GET_ALARMS,        net::PACKET_TYPE_ACK,
    net::PACKET_TYPE_DISABLE,           net::PACKET_TYPE_ENABLE,
    net::PACKET_TYPE_INACTIVATE,        net::PACKET_TYPE_ACTIVATE,
    net::PACKET_TYPE_REMOVE,            net::PACKET_TYPE_GET_STATISTICS,
    net::PACKET_TYPE_CLEAR_STATISTICS,  net::PACKET_TYPE_GET_HISTORY,
    net::PACKET_TYPE_GET_FILE,          net::PACKET_TYPE_GET_COMMONFILTERS,
    net::PACKET_TYPE_SET_COMMONFILTER,  net::PACKET_TYPE_DELETE_COMMONFILTER,
    net::PACKET_TYPE_GET_COMMENT,       net::PACKET_TYPE_SET_COMMENT,
    net::PACKET_TYPE_SET_SMALLCOMMENT,  net::PACKET_TYPE_EXECUTE,
    net::PACKET_TYPE_SUBSCRIBE,         net::PACKET_TYPE_UNSUBSCRIBE,
};

CHeraldon& Server() { return g_installation->Server(); }

// The plant's source is connected, so commands on its alarms reach a source.
void ConnectSource() {
    g_source = fuzzing::Attach<SourceConnection>(Server().SourceConnections());
    static const char kIdentify[] = "12290\0" "12291\0" "Plant";
    HandleSourcePacket(*g_source->connection, net::SOURCE_PACKET_TYPE_IDENTIFY,
                       reinterpret_cast<const uint8_t*>(kIdentify), sizeof kIdentify);
}

AlarmObject* Place(AlarmSource& source, const char* tag, uint32_t handle, int32_t state, int32_t area) {
    auto object = std::make_unique<AlarmObject>(AlarmObject::New());
    SetText(object->Tag, tag);
    SetText(object->Name, std::string("Name of ") + tag);
    SetText(object->Description, "Description");
    SetText(object->SumState, "on");
    object->SCADAHandle = handle;
    object->State = state;
    object->Area = area;
    object->Category = 2;
    object->ActiveTime = platform::clock::LocalNow() - 60;
    object->InActiveTime = platform::clock::LocalNow() - 30;
    object->StatHours[3] = 4;
    object->StatDays[0] = 7;
    object->StatTotal = 11;
    AlarmObject* placed = source.PlaceNewObject(std::move(object));
    placed->MarkChanged();
    return placed;
}

// The plant every input starts from, made once with the server's own code and kept as
// files: objects in use in every state and one removed, a day file with comments and user
// names, a comment file and two common filters.
void BuildPlant() {
    std::lock_guard<heraldon::FairRecursiveMutex> guard(Server().AlarmDataLock());
    auto& sources = Server().AlarmSources();
    AlarmSource& plant = *sources[1];
    AlarmObject* active = Place(plant, "TI-101", 101, kStateActiveUnacked, 1);
    Place(plant, "PT-202", 202, kStateActiveAcked, 2);
    Place(plant, "LS-303", 0, kStateNormal, 1);
    AlarmObject* disabled = Place(plant, "FV-404", 404, kStateDisabled, 3);
    disabled->DisabledExpireTime = platform::clock::UtcNow() + 3600;
    AlarmObject* old = Place(plant, "OLD-505", 505, kStateNormal, 1);
    RemoveAlarmObject(plant, *old);
    plant.Save(true, 0);

    SetText(active->LastAckedBy, "operator");
    active->AckedTime = platform::clock::LocalNow() - 10;
    SetText(disabled->LastDisabledBy, "supervisor");
    UserNameStore& users = Server().UserNames();
    std::string comment = "checked the sensor";
    StoreHistoricEvent(plant, *active, kEventActive, users);
    StoreHistoricEvent(plant, *active, kEventAcked, users, "operator", &comment);
    StoreHistoricEvent(plant, *disabled, kEventDisable, users, "supervisor", &comment);
    CloseHistoricFiles(plant);
    platform::fs::ReplaceFileAtomically(CommentFilePath(plant, "TI-101"), "Calibrated in March.\r\n");

    // A system alarm, so commands on the system source find one.
    RaiseSystemAlarm(kEventActive, "Disk space", "Disk space", "Data disk almost full", 0, 0, "");
    for (auto& source : sources) {
        CloseHistoricFiles(*source);
        source->Save(true, 0);
        g_sourceStates.push_back(fuzzing::SourceState::Of(*source));
    }
    g_commonFilters = "[General]\r\nBoilers=TI-*\r\nArea 2=|2|\r\n";
}

void StopEverything() {
    fuzzing::Detach(g_client, Server().ClientConnections());
    fuzzing::Detach(g_source, Server().SourceConnections());
    g_installation->Stop();
}

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
    // The client connection is made anew only when an input closed it (threads cost more
    // than the rest of an input); otherwise it is put back to what the listener makes: not
    // identified, no filters, no subscriptions, so the first packet decides what it is.
    if (reconnectClient) {
        fuzzing::Detach(g_client, Server().ClientConnections());
        g_client = fuzzing::Attach<ClientConnection>(Server().ClientConnections());
    }
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(Server().AlarmDataLock());
        auto& sources = Server().AlarmSources();
        for (size_t i = 0; i < sources.size(); ++i) fuzzing::ResetSource(*sources[i], g_sourceStates[i]);
        Server().UserNames().Load(sources[0]->folder + "UserNames.dat");
        fuzzing::WriteWholeFile(Server().CommonFilterPath(), g_commonFilters);
        fuzzing::TrimLog(Server(), g_inputs);
        ClientConnection& c = *g_client->connection;
        c.receiveCountdown = 0;
        c.keepAliveCountdown = 0;
        c.tagFilter.clear();
        c.areaFilter.clear();
        c.identified = 0;
        c.clientKind = 0;
        c.userName.clear();
        c.subscriptions.clear();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::SilenceStdout();
    g_installation = new fuzzing::Installation("client", "MaxStoredEventsPerHour=-1\n", "",
                                               "[AlarmSource_Plant]\n[AlarmSource_Line2]\n");
    ConnectSource();
    BuildPlant();
    g_client = fuzzing::Attach<ClientConnection>(Server().ClientConnections());
    std::atexit(StopEverything);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ++g_inputs;
    ResetState();
    ClientConnection& connection = *g_client->connection;

    size_t at = 0;
    for (;;) {
        net::Frame frame;
        if (net::NextFrame(data + at, size - at, net::kClientMaxPayload, frame) != net::FrameStatus::Ok) break;
        HandleClientPacket(connection, frame.type, frame.payload, frame.payloadSize);
        at += frame.totalSize;
    }
    if (size >= 1) {
        uint32_t type = kPacketTypes[data[0] % std::size(kPacketTypes)];
        HandleClientPacket(connection, type, data + 1, size - 1);
    }
    // What the supervisory pass does with the subscriptions the packets made.
    RecalculateSubscriptions();
    // Everything sent leaves before the next input: the writers are idle when libFuzzer
    // looks for leaks, and what one input queued never counts against the next.
    connection.queue.Drain(1000);
    g_source->connection->queue.Drain(1000);
    return 0;
}
