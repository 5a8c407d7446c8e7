// One client connection (an operator's program) and the client side of the server.
//
// A ClientConnection is owned by the server's client connection list; every field but
// threadAlive is guarded by the alarm data lock. Its thread owns the socket and alone
// closes it; others call CloseSocket(). Everything sent goes through the connection's
// queue and its own writer thread, so a client that stops reading never holds up the event
// path or the other clients: it is closed once its queue overflows.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "server/net/outbound_queue.h"
#include "server/store/alarm_source.h"

namespace heraldon {

// Large enough for a list of a few hundred thousand alarms, which is sent without waiting
// for the client to read it.
constexpr size_t kClientQueueLimit = 512 * 1024 * 1024;
constexpr int kMaxClients = 200;

struct Subscription {
    std::string sourceName;
    std::string tagPrefix;
    std::string pattern;
    int32_t disabledOrMissing = 0;
    int32_t active = 0;
    int32_t acked = 0;
    int32_t recalcNeeded = 0;
    AlarmSource* source = nullptr;
    bool resolved = false;  // the group's objects have been collected
    std::vector<AlarmObject*> objects;
    uint16_t id = 0;
};

struct ClientConnection {
    explicit ClientConnection(platform::net::Socket s)
        : socket(std::move(s)), address(socket.PeerText()) {}
    ~ClientConnection();

    platform::net::Socket socket;
    std::string address;
    int receiveCountdown = 0;
    int keepAliveCountdown = 0;
    std::string tagFilter;
    std::string areaFilter;
    int identified = 0;
    int clientKind = 0;
    std::atomic<int> threadAlive{1};
    std::string userName;
    std::list<Subscription> subscriptions;
    std::atomic<int> closed{0};
    net::OutboundQueue queue{kClientQueueLimit};
    std::thread thread;

    bool SocketOpen() const { return closed.load() == 0 && socket.IsOpen(); }
    void CloseSocket() {
        closed.store(1);
        socket.Shutdown();
    }
};

// Under the alarm data lock. False when the connection is gone or its queue overflowed
// (the connection is then closed, as after a failed send).
bool SendToClient(ClientConnection& connection, uint32_t type, std::string_view payload);
bool SendToClient(ClientConnection& connection, const net::OutboundQueue::Bytes& frame);

// Whether a client's tag and area filters let an object of source through.
bool MatchesFilter(const AlarmSource& source, std::string_view tagFilter,
                   std::string_view areaFilter, std::string_view tag, int32_t area);

// The object block and the status block of an object, as clients read them.
std::string ObjectPacket(const AlarmSource& source, const AlarmObject& object);
std::string StatusPacket(const AlarmSource& source, const AlarmObject& object);

// Distribution to every client whose filters match (under the alarm data lock).
void SendObjectToClients(AlarmSource& source, AlarmObject& object, bool withStatus);
void SendSourceStatusToClients(AlarmSource& source);

// Keepalive timers; every supervisory pass, under the lock.
void ClientTimers(ClientConnection& connection, int elapsedMs);

void ClientListenerThread();
void ClientConnectionThread(ClientConnection* connection);
void HandleClientPacket(ClientConnection& connection, uint32_t type, const uint8_t* payload,
                        size_t size);

// The client services riding on the connection.
void SendFile(ClientConnection& connection, const std::string& name);
void SendCommonFilters(ClientConnection& connection);
void SetCommonFilter(ClientConnection& connection, const std::string& key, const std::string* value);
void SendComment(ClientConnection& connection, uint32_t handle, const std::string& tag);
void SaveComment(ClientConnection& connection, uint32_t handle, const std::string& tag,
                 const std::string& text);
void SetSmallComment(ClientConnection& connection, uint32_t handle, const std::string& text);
void Subscribe(ClientConnection& connection, int32_t id, const std::string& sourceName,
               const std::string& tagPrefix, const std::string& pattern);
void Unsubscribe(ClientConnection& connection, int32_t id);
void RecalculateSubscriptions();
// The history query; answered from the day files, without the alarm data lock.
void AnswerHistoryQuery(ClientConnection& connection, const uint8_t* payload, size_t size);
void DropAllSubscriptions();

// The comment file of a tag as clients show it: the source's "Comment/" folder and the tag
// with every character that could leave the folder or trouble a file system replaced.
std::string CommentFilePath(const AlarmSource& source, std::string_view shownTag);
std::string SanitisedTag(std::string_view shownTag);

// What the client services need from the rest of the server. Set once at start-up.
struct ClientHooks {
    // A comment file was written for an object in use: the redundant partner wants it.
    std::function<void(AlarmSource&, AlarmObject&, const std::string& path)> commentSaved;
};
ClientHooks& TheClientHooks();

}  // namespace heraldon
