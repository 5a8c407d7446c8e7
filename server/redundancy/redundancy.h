// The redundant pair: the link to the partner server, the replication of alarm object
// files, user names and comments, and the choice of which server is active.
//
// Roles: a stand-alone server is always active. In a pair the primary is active unless it
// has just come back and its partner has not connected to it yet; the secondary is
// standby while the partner reports itself active. After a partition both may have been
// active for a while; the server that goes back to standby fetches all alarm object files
// from the active one, so the active server's data wins.
//
// Threads: the client thread (connects to the partner and reads its status and files),
// the server thread (accepts the partner and answers its requests), and the main loop's
// tick. Sends go through per-socket queues, so a slow partner never blocks the alarm data
// lock; the role evaluation has a lock of its own so that each change raises or clears
// the server-failure alarms exactly once.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/file.h"
#include "platform/socket.h"
#include "server/net/listener.h"
#include "server/net/outbound_queue.h"
#include "server/store/alarm_source.h"

namespace heraldon {

class Redundancy {
public:
    Redundancy();
    ~Redundancy();

    int ServerType() const { return serverType_.load(); }

    // Start-up with a partner configured: first contact, the initial transfer, the
    // server thread.
    void Start();
    // Decides the role and stores it in the server's active flag.
    void EvaluateRole();
    // Every supervisory pass.
    void Tick(int elapsedMs);
    // At shutdown, after the active flag was cleared: tells the partner and ends the link.
    void Stop();

    // Replication, under the alarm data lock.
    void MirrorWrite(AlarmSource& source, int64_t offset, const uint8_t* bytes, size_t size);
    void MirrorWholeFile(AlarmSource& source);
    void SendCommentFile(AlarmSource& source, const AlarmObject& object, const std::string& path);

    // Parsing of one frame on each side; public for the fuzzers and tests. False closes
    // the link.
    bool HandleServerSidePacket(uint32_t type, const uint8_t* payload, size_t size);
    bool HandleClientSidePacket(uint32_t type, const uint8_t* payload, size_t size);

private:
    struct Link {
        platform::net::Socket socket;
        std::atomic<int> closed{1};
        std::unique_ptr<net::OutboundQueue> queue;
        bool Open() const { return closed.load() == 0 && socket.IsOpen(); }
    };

    void ClientThread();
    void ServerThread();
    // Reads frames until the link ends or is silent too long; returns when it is over.
    void ReceiveLoop(Link& link, bool clientSide, const std::string& peer);
    void Attach(Link& link, platform::net::Socket socket);
    void Detach(Link& link);
    bool Send(Link& link, uint32_t type, const std::string& payload);
    void SendStatus();
    void SendKeepAlive();
    bool SendFile(AlarmSource* source, uint32_t beginType, const platform::File& file, int64_t length);
    void RequestAllFiles();
    void HandleServerStatus(const uint8_t* payload, size_t size);
    void InstallReceivedFiles();
    void WriteIntoNewFile(const std::string& sourceName, int64_t offset, const char* bytes, size_t size);
    bool PartnerAddressAllowed(uint32_t address) const;

    std::atomic<int> serverType_{0};
    std::string partnerHost_;
    uint16_t partnerPort_ = 0;
    std::vector<uint32_t> partnerAddresses_;

    Link client_;  // our connection to the partner
    Link server_;  // the partner's connection to us
    net::ListenerSlot listener_;
    std::thread clientThread_;
    std::thread serverThread_;

    std::atomic<int> partnerType_{0};
    std::atomic<int> partnerActive_{0};
    std::atomic<int> typeCompared_{0};
    std::atomic<int> statusReceived_{0};  // the partner's status came on this connection
    std::atomic<int> firstAttemptDone_{0};
    std::atomic<int> databasesRequested_{0};
    std::atomic<int> databasesComplete_{0};
    std::atomic<int> transferIdleMs_{0};
    int tickMs_ = 0;  // main thread only

    // Receiving of whole files: written by the client thread, installed by the main
    // thread; guarded by the alarm data lock.
    platform::File receiveFile_;
    std::string receivePath_;
    std::string receiveSource_;  // source name of the alarm file being received; "" for users
    std::set<std::string> receivedNew_;  // sources whose ".new" arrived whole in this round
    std::atomic<int> installPending_{0};

    // Role evaluation.
    std::mutex roleLock_;
    bool primaryClearedAtStart_ = false;  // guarded by roleLock_
    bool failedRaised_ = false;           // guarded by roleLock_
    bool failedCleared_ = false;          // guarded by roleLock_
    int loggedRole_ = -1;                 // guarded by roleLock_
};

}  // namespace heraldon
