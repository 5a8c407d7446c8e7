// One TCP connection from an Alarm Source, and the source side of the server.
//
// A SourceConnection is owned by the server's Alarm Source connection list; every field
// but threadAlive is guarded by the alarm data lock. Its thread owns the socket and is the
// only one to close it; others call CloseSocket(), which shuts it down. Outgoing packets go
// through the connection's queue, so no send blocks while the alarm data lock is held.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "platform/socket.h"
#include "server/net/outbound_queue.h"
#include "server/store/alarm_source.h"

namespace heraldon {

constexpr size_t kSourceQueueLimit = 8 * 1024 * 1024;

struct SourceConnection {
    explicit SourceConnection(platform::net::Socket s)
        : socket(std::move(s)), address(socket.PeerText()) {}
    ~SourceConnection();

    platform::net::Socket socket;
    std::string address;
    int unidentifiedTime = 0;
    int versionMin = 0;
    int versionMax = 0;
    int versionUsed = 0;
    std::atomic<int> threadAlive{1};
    AlarmSource* source = nullptr;
    std::atomic<int> closed{0};  // CloseSocket() was called
    net::OutboundQueue queue{kSourceQueueLimit};
    std::thread thread;

    bool SocketOpen() const { return closed.load() == 0 && socket.IsOpen(); }
    void CloseSocket() {
        closed.store(1);
        socket.Shutdown();
    }
};

// Under the alarm data lock. False when the connection is gone or its queue overflowed
// (the connection is then closed, as after a failed send).
bool SendToSource(SourceConnection* connection, uint32_t type, std::string_view payload);

// The source's enabled flag to the source; an enabled source is asked for a full refresh.
void SendSourceState(AlarmSource& source);

// The connection-failed alarm of a source: raised (Active) or cleared (InActive).
void SetConnectionFailedAlarm(AlarmSource& source, bool raised);

// Keepalives and the never-connected alarm; every supervisory pass, under the lock.
void SourceTimers(AlarmSource& source, int elapsedMs);

// The Alarm Source listener; runs while the alarm threads run.
void SourceListenerThread();

// The thread of one accepted connection.
void SourceConnectionThread(SourceConnection* connection);

// What the connection thread does with one whole packet.
void HandleSourcePacket(SourceConnection& connection, uint32_t type, const uint8_t* payload,
                        size_t size);

}  // namespace heraldon
