// The link threads of the redundant pair and the packets both ways.

#include <cstring>
#include <random>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "server/core/heraldon.h"
#include "server/core/log.h"
#include "server/net/client_connection.h"
#include "server/net/client_protocol.h"
#include "server/net/frame.h"
#include "server/net/frame_reader.h"
#include "server/redundancy/redundancy.h"
#include "server/redundancy/redundancy_protocol.h"
#include "server/store/alarm_object_format.h"
#include "server/store/user_names.h"

namespace heraldon {

using namespace redundancy;
using net::ClientPacketBuilder;
using net::ClientPayloadReader;

namespace {

constexpr size_t kQueueLimit = 256 * 1024 * 1024;

// The largest file either kind can be: fragments and file data must stay within it.
constexpr int64_t kMaxAlarmFile =
    static_cast<int64_t>(alarm_file::kHeaderSize) + alarm_file::kMaxRecords * static_cast<int64_t>(alarm_file::kRecordSize);
constexpr int64_t kMaxUserFile =
    static_cast<int64_t>(user_file::kHeaderSize) + static_cast<int64_t>(user_file::kMaxNames * user_file::kRecordSize);

AlarmSource* SourceByName(const std::string& name) {
    for (auto& source : TheServer()->AlarmSources()) {
        if (platform::text::EqualsNoCase(source->name, name)) return source.get();
    }
    return nullptr;
}

// Offset, length and bytes of a data or fragment packet, checked against the payload.
struct Chunk {
    std::string source;
    int32_t offset = 0;
    int32_t length = 0;
    const char* bytes = nullptr;
};

bool ReadChunk(const uint8_t* payload, size_t size, Chunk& chunk, int64_t maxFile) {
    ClientPayloadReader r(payload, size);
    r.String(chunk.source, 255);
    r.Int32(chunk.offset);
    r.Int32(chunk.length);
    if (!r.Ok() || chunk.offset < 0 || chunk.length < 0 ||
        static_cast<size_t>(chunk.length) > r.Remaining() ||
        static_cast<int64_t>(chunk.offset) + chunk.length > maxFile) {
        return false;
    }
    chunk.bytes = reinterpret_cast<const char*>(payload + (size - r.Remaining()));
    return true;
}

// A fragment of an alarm object file is its header or whole records.
bool IsAlarmFileFragment(const Chunk& c) {
    if (c.offset == 0) return c.length <= static_cast<int32_t>(alarm_file::kHeaderSize);
    int64_t records = c.offset - static_cast<int64_t>(alarm_file::kHeaderSize);
    return records >= 0 && records % static_cast<int64_t>(alarm_file::kRecordSize) == 0 &&
           c.length % static_cast<int32_t>(alarm_file::kRecordSize) == 0;
}

// A received file that is not a sound current alarm object file is never installed.
bool PassesAlarmFileCheck(const std::string& path) {
    platform::File file = platform::File::OpenReadOnly(path);
    uint8_t header[8];
    if (!file.IsOpen() || !file.ReadAt(0, header, sizeof header)) return false;
    uint32_t version = net::GetU32(header), count = net::GetU32(header + 4);
    return version == alarm_file::kVersion && count <= alarm_file::kMaxRecords &&
           file.Size() == alarm_file::RecordOffset(count);
}

}  // namespace

Redundancy::Redundancy() = default;

Redundancy::~Redundancy() {
    client_.socket.Shutdown();
    server_.socket.Shutdown();
    listener_.Stop();
    if (clientThread_.joinable()) clientThread_.join();
    if (serverThread_.joinable()) serverThread_.join();
}

void Redundancy::Attach(Link& link, platform::net::Socket socket) {
    std::lock_guard<FairRecursiveMutex> guard(TheServer()->AlarmDataLock());
    link.socket = std::move(socket);
    link.queue = std::make_unique<net::OutboundQueue>(kQueueLimit);
    link.queue->Start(link.socket);
    link.closed.store(0);
}

void Redundancy::Detach(Link& link) {
    std::unique_ptr<net::OutboundQueue> queue;
    {
        std::lock_guard<FairRecursiveMutex> guard(TheServer()->AlarmDataLock());
        link.closed.store(1);
        link.socket.Shutdown();
        queue = std::move(link.queue);
    }
    queue.reset();  // joins the writer, outside the lock
    std::lock_guard<FairRecursiveMutex> guard(TheServer()->AlarmDataLock());
    link.socket.Close();
}

bool Redundancy::Send(Link& link, uint32_t type, const std::string& payload) {
    std::lock_guard<FairRecursiveMutex> guard(TheServer()->AlarmDataLock());
    if (!link.Open() || !link.queue) return false;
    if (link.queue->Push(net::EncodeFrame(type, payload)) == net::OutboundQueue::PushResult::Queued) {
        return true;
    }
    link.closed.store(1);
    link.socket.Shutdown();
    return false;
}

void Redundancy::SendStatus() {
    CHeraldon* server = TheServer();
    ClientPacketBuilder p;
    p.Int32(kProtocolVersion).Int32(ServerType()).Int32(server->IsActive() ? 1 : 0).Int32(0);
    p.Int32(static_cast<int32_t>(server->InstanceId()));
    if (server_.Open() && !Send(server_, REDUNDANT_PACKET_TYPE_SERVER_STATUS, p.Payload())) {
        Log("Failed to send status updates to our redundant counterpart (client)");
    }
}

void Redundancy::SendKeepAlive() {
    if (client_.Open() && !Send(client_, REDUNDANT_PACKET_TYPE_KEEPALIVE, "")) {
        Log("Failed to send status updates to our redundant counterpart (server)");
    }
}

bool Redundancy::SendFile(AlarmSource* source, uint32_t beginType, const platform::File& file,
                          int64_t length) {
    CHeraldon* server = TheServer();
    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    if (!server->IsActive() || !file.IsOpen() || length <= 0) return false;
    std::string name = source != nullptr ? source->name : "";
    bool ok = Send(server_, beginType, ClientPacketBuilder().String(name).Payload());
    std::string chunk(kFileChunk, '\0');
    for (int64_t offset = 0; ok && offset < length;) {
        size_t n = static_cast<size_t>(std::min<int64_t>(kFileChunk, length - offset));
        if (!file.ReadAt(offset, chunk.data(), n)) return false;
        ClientPacketBuilder p;
        p.String(name).Int32(static_cast<int32_t>(offset)).Int32(static_cast<int32_t>(n));
        p.Raw(std::string_view(chunk.data(), n));
        ok = Send(server_, beginType + 1, p.Payload());
        offset += static_cast<int64_t>(n);
    }
    return ok && Send(server_, beginType + 2, ClientPacketBuilder().String(name).Payload());
}

void Redundancy::MirrorWrite(AlarmSource& source, int64_t offset, const uint8_t* bytes, size_t size) {
    if (ServerType() == 0 || !server_.Open() || !TheServer()->IsActive()) return;
    ClientPacketBuilder name;
    name.String(source.name);
    ClientPacketBuilder p;
    p.String(source.name).Int32(static_cast<int32_t>(offset)).Int32(static_cast<int32_t>(size));
    p.Raw(std::string_view(reinterpret_cast<const char*>(bytes), size));
    Send(server_, REDUNDANT_PACKET_TYPE_FRAGMENT_BEGIN, name.Payload()) &&
        Send(server_, REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE, p.Payload()) &&
        Send(server_, REDUNDANT_PACKET_TYPE_FRAGMENT_END, name.Payload());
}

void Redundancy::MirrorWholeFile(AlarmSource& source) {
    if (ServerType() == 0 || !server_.Open()) return;
    SendFile(&source, REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN, source.objectFile, source.objectFile.Size());
}

void Redundancy::SendCommentFile(AlarmSource& source, const AlarmObject& o, const std::string& path) {
    if (ServerType() == 0 || !server_.Open() || !TheServer()->IsActive()) return;
    std::string text;
    if (!platform::fs::ReadWholeFile(path, text)) return;
    ClientPacketBuilder p;
    p.String(source.name).String(o.TagText()).Int32(o.FileRecord);
    if (text.size() > kCommentPayloadLimit - p.Payload().size()) {
        Log("File '%s' was to big, it should have been send to redundant counterpart", path.c_str());
        return;
    }
    p.Bytes32(text);
    Send(server_, REDUNDANT_PACKET_TYPE_COMMENTFILE, p.Payload());
}

void Redundancy::RequestAllFiles() {
    std::lock_guard<FairRecursiveMutex> guard(TheServer()->AlarmDataLock());
    databasesComplete_.store(0);
    // Leftovers of an earlier round must never be taken for this round's copies.
    for (auto& source : TheServer()->AlarmSources()) platform::fs::RemoveFile(source->folder + "AlarmObjects.new");
    receivedNew_.clear();
    installPending_.store(1);
    databasesRequested_.store(1);
    Send(client_, REDUNDANT_PACKET_TYPE_GETALLALARMFILES, "");
    Send(client_, REDUNDANT_PACKET_TYPE_GETUSERNAMES, "");
    Send(client_, REDUNDANT_PACKET_TYPE_INITIALLY_DATA_REQUESTED, "");
}

bool Redundancy::HandleServerSidePacket(uint32_t type, const uint8_t*, size_t) {
    CHeraldon* server = TheServer();
    switch (type) {
        case REDUNDANT_PACKET_TYPE_KEEPALIVE:
            return true;
        case REDUNDANT_PACKET_TYPE_SERVER_STATUS:
            platform::console::Print("Got REDUNDANT_PACKET_TYPE_SERVER_STATUS\n");
            return true;
        case REDUNDANT_PACKET_TYPE_GETALLALARMFILES: {
            platform::console::Print("got REDUNDANT_PACKET_TYPE_GETALLALARMFILES\n");
            std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
            for (auto& source : server->AlarmSources()) {
                // The copy must not be up to ten seconds stale: save first. Only a server
                // with its objects loaded may save; a standby's lists are empty and a save
                // would cut its replicated file to the header.
                if (server->IsActive() && server->AlarmThreadsStarted()) source->Save(false, 1);
                SendFile(source.get(), REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN, source->objectFile,
                         source->objectFile.Size());
            }
            return true;
        }
        case REDUNDANT_PACKET_TYPE_GETUSERNAMES: {
            platform::console::Print("got REDUNDANT_PACKET_TYPE_GETUSERNAMES\n");
            std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
            platform::File names =
                platform::File::OpenReadWrite(server->AlarmSources()[0]->folder + "UserNames.dat");
            SendFile(nullptr, REDUNDANT_PACKET_TYPE_USERNAMES_BEGIN, names, names.Size());
            return true;
        }
        case REDUNDANT_PACKET_TYPE_INITIALLY_DATA_REQUESTED:
            platform::console::Print("REDUNDANT_PACKET_TYPE_INITIALLY_DATA_REQUESTED\n");
            Log("Our redundant counterpart retrieved all databases");
            Send(server_, REDUNDANT_PACKET_TYPE_INITIALLY_DATA_SENT, "");
            return true;
        default:
            Log("Unexpected packet type (0x%08x) from redundant counterpart", type);
            return false;
    }
}

void Redundancy::WriteIntoNewFile(const std::string& sourceName, int64_t offset, const char* bytes,
                                  size_t size) {
    AlarmSource* source = SourceByName(sourceName);
    if (source == nullptr) return;
    if (receiveFile_.IsOpen() && receiveSource_ == source->name) {
        receiveFile_.WriteAt(offset, bytes, size);
    } else if (receivedNew_.count(source->name) != 0) {
        platform::File file = platform::File::OpenReadWrite(source->folder + "AlarmObjects.new");
        file.WriteAt(offset, bytes, size);
    }
}

bool Redundancy::HandleClientSidePacket(uint32_t type, const uint8_t* payload, size_t size) {
    CHeraldon* server = TheServer();
    switch (type) {
        case REDUNDANT_PACKET_TYPE_KEEPALIVE:
        case REDUNDANT_PACKET_TYPE_FRAGMENT_BEGIN:
        case REDUNDANT_PACKET_TYPE_FRAGMENT_END:
            return true;
        case REDUNDANT_PACKET_TYPE_SERVER_STATUS:
            HandleServerStatus(payload, size);
            return true;
        case REDUNDANT_PACKET_TYPE_FRAGMENT_UPDATE: {
            Chunk c;
            if (!ReadChunk(payload, size, c, kMaxAlarmFile) || !IsAlarmFileFragment(c)) return false;
            std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
            if (server->IsActive()) return true;
            AlarmSource* source = SourceByName(c.source);
            if (source == nullptr) return true;
            if (!source->objectFile.IsOpen()) {
                source->objectFile = platform::File::OpenReadWrite(source->ObjectFilePath());
            }
            if (!source->objectFile.IsOpen()) return true;
            source->objectFile.WriteAt(c.offset, c.bytes, static_cast<size_t>(c.length));
            source->flushNeeded = 1;
            // A copy of the whole file waiting to be installed must not miss this write.
            WriteIntoNewFile(source->name, c.offset, c.bytes, static_cast<size_t>(c.length));
            return true;
        }
        case REDUNDANT_PACKET_TYPE_ALARMFILE_BEGIN:
        case REDUNDANT_PACKET_TYPE_USERNAMES_BEGIN: {
            std::string name;
            ClientPayloadReader r(payload, size);
            if (!r.String(name, 255)) return false;
            transferIdleMs_.store(0);
            std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
            receiveFile_.Close();
            receiveSource_.clear();
            if (type == REDUNDANT_PACKET_TYPE_USERNAMES_BEGIN) {
                receivePath_ = server->AlarmSources()[0]->folder + "UserNames.new";
            } else if (AlarmSource* source = SourceByName(name)) {
                receivePath_ = source->folder + "AlarmObjects.new";
                receiveSource_ = source->name;
                receivedNew_.erase(source->name);
            } else {
                Log("Failed to find AlarmSource '%s' when receiving redundant alarm file", name.c_str());
                return true;
            }
            platform::fs::RemoveFile(receivePath_);
            receiveFile_ = platform::File::OpenReadWrite(receivePath_);
            if (!receiveFile_.IsOpen()) Log("Failed to create file '%s'", receivePath_.c_str());
            return true;
        }
        case REDUNDANT_PACKET_TYPE_ALARMFILE_DATA:
        case REDUNDANT_PACKET_TYPE_USERNAMES_DATA: {
            Chunk c;
            int64_t limit = type == REDUNDANT_PACKET_TYPE_ALARMFILE_DATA ? kMaxAlarmFile : kMaxUserFile;
            if (!ReadChunk(payload, size, c, limit)) return false;
            transferIdleMs_.store(0);
            std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
            if (receiveFile_.IsOpen()) receiveFile_.WriteAt(c.offset, c.bytes, static_cast<size_t>(c.length));
            return true;
        }
        case REDUNDANT_PACKET_TYPE_ALARMFILE_END:
        case REDUNDANT_PACKET_TYPE_USERNAMES_END: {
            transferIdleMs_.store(0);
            std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
            if (!receiveFile_.IsOpen()) {
                Log("Some strange error occured retrieving file");
                return true;
            }
            receiveFile_.Sync();
            receiveFile_.Close();
            if (!receiveSource_.empty()) receivedNew_.insert(receiveSource_);
            Log("Retrieved file %s", receivePath_.c_str());
            return true;
        }
        case REDUNDANT_PACKET_TYPE_COMMENTFILE: {
            std::string name, tag, text;
            int32_t record = 0;
            ClientPayloadReader r(payload, size);
            r.String(name, 255);
            r.String(tag, 79);
            r.Int32(record);
            if (!r.Bytes32(text)) return false;
            AlarmSource* source = SourceByName(name);
            if (source == nullptr) return true;
            // The same name as on the sender: the tag as clients show it, prefix included.
            std::string path = CommentFilePath(*source, source->tagPrefix + tag);
            if (platform::fs::ReplaceFileAtomically(path, text)) {
                Log("File '%s' was created and written", path.c_str());
            } else {
                Log("File '%s' could not be created and written", path.c_str());
            }
            Log("Updated alarm comment file '%s' sent from our redundant counterpart", path.c_str());
            return true;
        }
        case REDUNDANT_PACKET_TYPE_INITIALLY_DATA_SENT:
            // The copies are installed by the start-up sequence or, on a standby, by the
            // next tick once the alarm threads are stopped.
            databasesComplete_.store(1);
            return true;
        default:
            Log("Unexpected packet type (0x%08x) from redundant counterpart", type);
            return false;
    }
}

void Redundancy::InstallReceivedFiles() {
    CHeraldon* server = TheServer();
    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    // Files in use by the alarm threads are never replaced under them: the next tick
    // tries again once the main loop has stopped them.
    if (server->AlarmThreadsStarted()) return;
    installPending_.store(0);
    std::random_device random;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03x", static_cast<unsigned>(random() & 0xFFF));
    for (auto& source : server->AlarmSources()) {
        std::string fresh = source->folder + "AlarmObjects.new";
        if (receivedNew_.count(source->name) == 0 || !PassesAlarmFileCheck(fresh)) {
            platform::fs::RemoveFile(fresh);
            continue;
        }
        source->objectFile.Close();
        std::string current = source->ObjectFilePath();
        std::string old = source->folder + "AlarmObjects." + digits;
        platform::fs::RemoveFile(old);
        platform::fs::Rename(current, old);
        platform::fs::Rename(fresh, current);
        Log("Updated AlarmSource '%s' file '%s', stored old using extension '%s'", source->name.c_str(),
            current.c_str(), digits);
    }
    receivedNew_.clear();
}

void Redundancy::ReceiveLoop(Link& link, bool clientSide, const std::string& peer) {
    CHeraldon* server = TheServer();
    // The partner sends something every KeepAliveInterval; a partner silent for several
    // intervals is gone even when no connection reset ever arrives (power cut, cable).
    int silenceMs = std::max(3000, 5 * server->RedundancySettings().keepAliveInterval);
    net::ReadEnd end = net::ReadFrames(link.socket, kReceiveBuffer + 1, kMaxPayload, [&](const net::Frame& f) {
        return clientSide ? HandleClientSidePacket(f.type, f.payload, f.payloadSize)
                          : HandleServerSidePacket(f.type, f.payload, f.payloadSize);
    }, silenceMs);
    switch (end) {
        case net::ReadEnd::Silent:
            Log("Redundant counterpart %s has been silent for %d ms, closing the link", peer.c_str(), silenceMs);
            break;
        case net::ReadEnd::TooLarge:
            Log("Packet size error receiving from %s", peer.c_str());
            break;
        case net::ReadEnd::Refused:
            Log("Packet type error receiving from %s", peer.c_str());
            break;
        case net::ReadEnd::Closed:
            if (clientSide) Log("Closing redundant client socket (%s)", peer.c_str());
            break;
    }
}

bool Redundancy::PartnerAddressAllowed(uint32_t address) const {
    for (uint32_t allowed : partnerAddresses_) {
        if (allowed == address) return true;
    }
    return false;
}

void Redundancy::ClientThread() {
    CHeraldon* server = TheServer();
    const RedundancyConfig& config = server->RedundancySettings();
    std::string peer = platform::net::AddressText(partnerAddresses_.empty() ? 0 : partnerAddresses_[0], partnerPort_);
    Log(ServerType() == 1 ? "Redundancy Client Thread (0x%lx) is started (started as Primary)"
                          : "Redundancy Client Thread (0x%lx) is started (started as Secondary)",
        static_cast<unsigned long>(pthread_self()));
    bool reportFailure = true;
    while (server->IsRunning() && ServerType() != 0) {
        platform::net::Socket socket = platform::net::Connect(partnerHost_, partnerPort_, config.connectTimeout);
        if (!socket.IsOpen()) {
            if (reportFailure) Log("Couldn't connect to Redundant Server (%s)", peer.c_str());
            reportFailure = false;
            firstAttemptDone_.store(1);
        } else {
            reportFailure = true;
            typeCompared_.store(0);
            statusReceived_.store(0);
            Attach(client_, std::move(socket));
            Log("Connected to Redundant Server");
            // At start-up, and whenever this server is standby, the active partner's files
            // are fetched: after a partition the active server's data wins.
            if (!firstAttemptDone_.load() || !server->IsActive()) RequestAllFiles();
            firstAttemptDone_.store(1);
            ReceiveLoop(client_, true, peer);
            Detach(client_);
            {
                std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
                receiveFile_.Close();
            }
            partnerActive_.store(0);
            EvaluateRole();
        }
        for (int waited = 0; waited < config.reconnectInterval && server->IsRunning(); waited += 50) {
            platform::clock::SleepMs(50);
        }
    }
    Log("Leaving Redundancy Client Thread");
}

void Redundancy::ServerThread() {
    CHeraldon* server = TheServer();
    const RedundancyConfig& config = server->RedundancySettings();
    Log("Starting Redundancy Server Thread (0x%lx)", static_cast<unsigned long>(pthread_self()));
    if (config.serverPort == 0) Log("Invalid Redundancy Server socket port number: %d", config.serverPort);
    listener_.Reset();
    while (server->IsRunning() && ServerType() != 0) {
        platform::net::ListenError error;
        platform::net::Socket listening = platform::net::Listen(config.serverPort, &error);
        if (!listening.IsOpen()) {
            if (error == platform::net::ListenError::Create) {
                Log("Couldn't create redundancy server socket");
            } else if (error == platform::net::ListenError::Bind) {
                Log("Couldn't bind redundancy server socket (err %d)", errno);
            } else {
                Log("Couldn't set redundancy server socket into listening mode (err %d)", errno);
            }
            // The port may be held by a process that is ending: try again, never spin.
            for (int waited = 0; waited < config.reconnectInterval && server->IsRunning(); waited += 50) {
                platform::clock::SleepMs(50);
            }
            continue;
        }
        if (!listener_.Set(std::move(listening))) break;
        while (server->IsRunning() && ServerType() != 0) {
            platform::net::Socket accepted = platform::net::Accept(listener_.Socket());
            if (!accepted.IsOpen()) break;
            std::string peer = accepted.PeerText();
            if (!PartnerAddressAllowed(accepted.PeerAddress())) {
                Log("Redundant connection from %s refused, it is not our redundant counterpart", peer.c_str());
                continue;
            }
            Attach(server_, std::move(accepted));
            Log("Redundant client connected (%s)", peer.c_str());
            SendStatus();
            ReceiveLoop(server_, false, peer);
            Detach(server_);
            Log("Redundant client disconnected (%s)", peer.c_str());
            EvaluateRole();
            platform::clock::SleepMs(50);
        }
        listener_.Close();
    }
    Log("Leaving Redundancy Server Thread");
}

}  // namespace heraldon
