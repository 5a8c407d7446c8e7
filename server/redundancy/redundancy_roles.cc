// Which server of the pair is active: start-up, the partner's status, the role evaluation
// and the tick.

#include "platform/clock.h"
#include "server/alarms/alarm_events.h"
#include "server/alarms/alarm_state.h"
#include "server/core/heraldon.h"
#include "server/core/log.h"
#include "server/net/client_connection.h"
#include "server/net/client_protocol.h"
#include "server/redundancy/redundancy.h"
#include "server/redundancy/redundancy_protocol.h"

namespace heraldon {

using namespace redundancy;

namespace {

constexpr const char* kPrimaryTag = "Klaxora Primary Server";
constexpr const char* kSecondaryTag = "Klaxora Secondary Server";

bool ServerFailedAlarm(int32_t eventType, const char* tag) {
    const GeneralConfig& c = TheServer()->Config();
    const char* description = tag == kPrimaryTag ? "The primary server has failed" : "The secondary server has failed";
    return RaiseSystemAlarm(eventType, tag, "Server failed", description, c.systemAlarmCategory,
                            c.systemAlarmArea, "") != nullptr;
}

// "host:port", the port required.
bool SplitAddress(const std::string& text, std::string& host, uint16_t& port) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    long value = std::strtol(text.c_str() + colon + 1, nullptr, 10);
    if (value <= 0 || value > 65535 || host.empty()) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

void Redundancy::Start() {
    CHeraldon* server = TheServer();
    const RedundancyConfig& config = server->RedundancySettings();
    serverType_.store(config.serverType);
    Log("Redundancy threads are starting and will try to find the redundant counterpart");
    Log("Starting Redundancy Client Thread");
    if (SplitAddress(config.remoteServer, partnerHost_, partnerPort_)) {
        partnerAddresses_ = platform::net::Resolve(partnerHost_);
        if (partnerAddresses_.empty()) Log("Bad address '%s', it can not be resolved", partnerHost_.c_str());
    }
    if (partnerAddresses_.empty()) {
        Log("No valid Redundancy Server address is found or could be resolved. Redundancy will be disabled.");
        serverType_.store(0);
    }
    if (ServerType() == 0) {
        Log("Running as Stand Alone Server - redundancy disabled (thread id 0x%lx)",
            static_cast<unsigned long>(pthread_self()));
        firstAttemptDone_.store(1);
        return;
    }
    ThreadCounter& counter = server->RedundancyThreadCounter();
    if (!StartCounted(counter, clientThread_, "redundancy client", [this] { ClientThread(); })) {
        serverType_.store(0);
        return;
    }
    for (int waited = 0; !firstAttemptDone_.load() && ServerType() != 0 && waited <= config.connectTimeout;
         waited += 100) {
        platform::clock::SleepMs(100);
    }
    firstAttemptDone_.store(1);
    if (ServerType() != 0 && databasesRequested_.load()) {
        transferIdleMs_.store(0);
        while (!databasesComplete_.load() && transferIdleMs_.load() < 30000 && server->IsRunning()) {
            platform::clock::SleepMs(100);
            transferIdleMs_.fetch_add(100);
        }
        if (databasesComplete_.load()) {
            Log("Retrieved databases from our redundant counterpart - continuing...");
            InstallReceivedFiles();
        } else {
            Log("Did not succeed to receive databases from our redundant counterpart - continuing anyway");
        }
    } else {
        Log("Initially failed to contact our redundant counterpart - continuing...");
    }
    StartCounted(counter, serverThread_, "redundancy server", [this] { ServerThread(); });
}

void Redundancy::HandleServerStatus(const uint8_t* payload, size_t size) {
    CHeraldon* server = TheServer();
    net::ClientPayloadReader r(payload, size);
    int32_t version = 0, type = 0, active = 0, reserved = 0, id = 0;
    r.Int32(version);
    r.Int32(type);
    r.Int32(active);
    r.Int32(reserved);
    r.Int32(id);
    bool standAlone = false;
    if (!r.Ok() || version != kProtocolVersion) {
        Log("Protocol version from redundant counterpart is mismatching, different program versions? We "
            "will run as standalone server.");
        client_.closed.store(1);
        client_.socket.Shutdown();
        serverType_.store(0);
        firstAttemptDone_.store(1);
    }
    partnerType_.store(type);
    partnerActive_.store(active);
    statusReceived_.store(1);
    if (id == static_cast<int32_t>(server->InstanceId())) {
        Log("The redundant counterpart seems to be this server, are the addresses really different in the "
            "INI-files? We will run as standalone server.");
        client_.closed.store(1);
        client_.socket.Shutdown();
        serverType_.store(0);
        firstAttemptDone_.store(1);
        standAlone = true;
    }
    if (!standAlone && !typeCompared_.load() && ServerType() != 0) {
        if (type == ServerType()) {
            bool larger = static_cast<int32_t>(server->InstanceId()) > id;
            serverType_.store(larger ? 1 : 2);
            Log(larger ? "Both servers are set as same server type (%s)! We will run as primary."
                       : "Both servers are set as same server type (%s)! We will run as secondary.",
                type == 1 ? "Primary" : "Standby");
        }
        typeCompared_.store(1);
    }
    if (databasesComplete_.load()) EvaluateRole();
}

void Redundancy::EvaluateRole() {
    CHeraldon* server = TheServer();
    std::lock_guard<std::mutex> roles(roleLock_);
    int type = ServerType();
    // A stopping server is nobody's active server any more.
    bool active = server->IsRunning();
    if (type == 1 && !primaryClearedAtStart_) {
        primaryClearedAtStart_ = ServerFailedAlarm(kEventInActive, kPrimaryTag);
    }
    if (type != 0 && server->IsRunning()) {
        // A connect can complete in the kernel of a frozen partner: the partner lives only
        // once it has sent its status on this connection.
        bool linked = client_.Open() && statusReceived_.load();
        if (linked) {
            if (type == 2 && partnerActive_.load()) active = false;
            if (type == 1 && !server->IsActive() && !server_.Open()) active = false;
        }
        int role = active ? 1 : 0;
        if (role != loggedRole_) {
            Log(active ? "We are the active server" : "We are the standby server");
            loggedRole_ = role;
        }
        const char* partnerTag = type == 1 ? kSecondaryTag : kPrimaryTag;
        const char* ownTag = type == 1 ? kPrimaryTag : kSecondaryTag;
        if (!linked) {
            if (!failedRaised_ && ServerFailedAlarm(kEventActive, partnerTag)) {
                failedRaised_ = true;
                ServerFailedAlarm(kEventInActive, ownTag);
            }
            failedCleared_ = false;
        } else {
            if (!failedCleared_) failedCleared_ = ServerFailedAlarm(kEventInActive, partnerTag);
            failedRaised_ = false;
        }
    }
    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    bool wasActive = server->IsActive();
    server->SetActive(active);
    if (!active) {
        auto& clients = server->ClientConnections();
        for (auto& c : clients) SendToClient(*c, net::PACKET_TYPE_SERVER_STANDBY, "");
        if (!clients.empty()) platform::clock::SleepMs(100);
        // Going back to standby after having been active: the partner's data wins.
        if (wasActive && type != 0 && client_.Open() && server->IsRunning()) RequestAllFiles();
    }
}

void Redundancy::Tick(int elapsedMs) {
    if (ServerType() == 0) return;
    CHeraldon* server = TheServer();
    tickMs_ += elapsedMs;
    if (tickMs_ > server->RedundancySettings().keepAliveInterval) {
        SendStatus();
        SendKeepAlive();
        tickMs_ = 0;
        // A standby has no source threads: commit what the fragments wrote, and install the
        // active partner's files once they are all here and nothing uses ours.
        std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
        if (installPending_.load() && databasesComplete_.load() && !server->IsActive()) {
            InstallReceivedFiles();
        }
        if (!server->AlarmThreadsStarted()) {
            for (auto& source : server->AlarmSources()) {
                if (source->flushNeeded && source->objectFile.IsOpen()) source->objectFile.Sync();
                source->flushNeeded = 0;
            }
        }
    }
    EvaluateRole();
}

void Redundancy::Stop() {
    // Redundancy may have been turned off during the run (a partner of another version):
    // its threads still have to be woken, so the sockets are shut down in any case.
    if (ServerType() != 0 && server_.Open()) {
        SendStatus();
        // Give the last status its moment on the wire before the link closes: the partner
        // takes over at once instead of waiting for the link to break.
        platform::clock::SleepMs(100);
    }
    client_.closed.store(1);
    client_.socket.Shutdown();
    server_.closed.store(1);
    server_.socket.Shutdown();
    listener_.Stop();
}

}  // namespace heraldon
