// The redundancy link of a secondary server whose partner is away: the frames the partner
// sends to our client side (its status, alarm file fragments, whole files, user names,
// comment files) and the requests it sends to our server side.
//
// Input: one byte of options, then a stream of frames (uint32 length, uint32 type,
// payload) handled in order as the link's receive loop would, up to the first one that
// would close the link; then the bytes after the option byte once more as a single
// payload of the type the option byte picks.
//   option bit 0: this server is active (else standby, the usual receiver of files)
//   option bit 1: the frames arrive on the server side (else on the client side)
//   option bits 2..: the type of the single payload

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "server/core/heraldon.h"
#include "server/net/client_protocol.h"
#include "server/net/frame.h"
#include "server/redundancy/redundancy.h"
#include "server/redundancy/redundancy_protocol.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace heraldon;
using namespace heraldon::redundancy;

fuzzing::Installation* g_installation = nullptr;
std::vector<fuzzing::SourceState> g_sourceStates;  // by source index
uint64_t g_inputs = 0;
uint16_t g_serverPort = 0;  // where the partner would connect to us

constexpr uint32_t kPacketTypes[] = {
    REDUNDANT_PACKET_TYPE_KEEPALIVE,         REDUNDANT_PACKET_TYPE_SERVER_STATUS,
    REDUNDANT_PACKET_TYPE_GETALLALARMFILES,  REDUNDANT_PACKET_TYPE_GETUSERNAMES,
    REDUNDANT_PACKET_TYPE_INITIALLY_DATA_REQUESTED, REDUNDANT_PACKET_TYPE_INITIALLY_DATA_SENT,
    REDUNDANT_PACKET_TYPE_FRAGMENT_BEGIN,    REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE,
    REDUNDANT_PACKET_TYPE_FRAGMENT_END,      REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN,
    REDUNDANT_PACKET_TYPE_ALARMFILE_DATA,    REDUNDANT_PACKET_TYPE_ALARMFILE_END,
    REDUNDANT_PACKET_TYPE_USERNAMES_BEGIN,   REDUNDANT_PACKET_TYPE_USERNAMES_DATA,
    REDUNDANT_PACKET_TYPE_USERNAMES_END,     REDUNDANT_PACKET_TYPE_COMMENTFILE,
};

CHeraldon& Server() { return g_installation->Server(); }

std::string Ini() {
    g_serverPort = fuzzing::UnusedPort();
    // Nobody listens at the partner's port: the start-up gives up on it at once, and the
    // client thread keeps trying once a second without ever getting through.
    return "[Redundancy]\nServerType=2\nServerPort=" + std::to_string(g_serverPort) +
           "\nRemoteServer=127.0.0.1:" + std::to_string(fuzzing::UnusedPort()) +
           "\nConnectTimeout=100\nReconnectInterval=1000\n";
}

// The files a standby holds: what the alarm threads left when they stopped, with two
// alarms on the plant.
void BuildFiles() {
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(Server().AlarmDataLock());
        AlarmSource& plant = *Server().AlarmSources()[1];
        for (const char* tag : {"TI-101", "PT-202"}) {
            auto object = std::make_unique<AlarmObject>(AlarmObject::New());
            SetText(object->Tag, tag);
            plant.PlaceNewObject(std::move(object))->MarkChanged();
        }
        plant.Save(true, 0);
    }
    Server().StopAlarmThreads();
    Server().SetActive(false);
    std::lock_guard<heraldon::FairRecursiveMutex> guard(Server().AlarmDataLock());
    for (auto& source : Server().AlarmSources()) g_sourceStates.push_back(fuzzing::SourceState::Of(*source));
}

void ResetState() {
    // A file transfer left open by the last input is closed the way the next one begins:
    // a begin packet for a source we do not have closes it and opens nothing.
    net::ClientPacketBuilder unknown;
    unknown.String("no such source: fuzz reset");
    Server().Pair().HandleClientSidePacket(REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN,
                                           reinterpret_cast<const uint8_t*>(unknown.Payload().data()),
                                           unknown.Payload().size());
    std::lock_guard<heraldon::FairRecursiveMutex> guard(Server().AlarmDataLock());
    auto& sources = Server().AlarmSources();
    for (size_t i = 0; i < sources.size(); ++i) fuzzing::ResetSource(*sources[i], g_sourceStates[i], false);
    fuzzing::TrimLog(Server(), g_inputs);
}

void StopEverything() {
    // A partner's status may have turned redundancy off during the run; the stop must
    // still end the link threads on its own.
    g_installation->Stop();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::SilenceStdout();
    g_installation = new fuzzing::Installation("redundancy", "", Ini(), "[AlarmSource_Plant]\n");
    BuildFiles();
    std::atexit(StopEverything);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    ++g_inputs;
    ResetState();
    uint8_t options = data[0];
    Server().SetActive((options & 1) != 0);
    bool serverSide = (options & 2) != 0;
    Redundancy& pair = Server().Pair();
    auto handle = [&](uint32_t type, const uint8_t* payload, size_t length) {
        return serverSide ? pair.HandleServerSidePacket(type, payload, length)
                          : pair.HandleClientSidePacket(type, payload, length);
    };

    const uint8_t* frames = data + 1;
    size_t left = size - 1;
    size_t at = 0;
    for (;;) {
        net::Frame frame;
        if (net::NextFrame(frames + at, left - at, kMaxPayload, frame) != net::FrameStatus::Ok) break;
        if (!handle(frame.type, frame.payload, frame.payloadSize)) break;
        at += frame.totalSize;
    }
    handle(kPacketTypes[(options >> 2) % std::size(kPacketTypes)], frames, left);
    return 0;
}
