// The client link: listener, connection threads, the dispatcher and the alarm list,
// command and statistics requests. File, comment, filter and subscription services are in
// client_services.cc and subscriptions.cc.

#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "server/alarms/alarm_commands.h"
#include "server/core/heraldon.h"
#include "server/core/log.h"
#include "server/net/client_connection.h"
#include "server/net/client_protocol.h"
#include "server/net/frame.h"
#include "server/net/frame_reader.h"
#include "server/net/listen_loop.h"
#include "server/net/source_connection.h"

namespace heraldon {

namespace {

using net::ClientPacketBuilder;
using net::ClientPayloadReader;

constexpr const char* kGreeting = "Welcome as client to Scadix Heraldon - Klaxora alarm server by Norvane\n";

int32_t Low32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

void AppendStatusBlock(ClientPacketBuilder& p, const AlarmObject& o) {
    p.Int32(Low32(o.ActiveTime)).Int32(Low32(o.InActiveTime)).Int32(Low32(o.AckedTime));
    p.Int32(Low32(o.DisabledTime)).Int32(Low32(o.DisabledExpireTime));
    p.String(TextOf(o.LastAckedBy)).String(TextOf(o.LastDisabledBy));
    p.Int32(o.RepeatedSinceLastAck).Int32(o.State).Int32(o.ActiveMillisecond);
    p.Int32(o.InActiveMillisecond).Int32(o.Paging).Int32(Low32(o.LastEventTime));
    p.Int32(o.LastEventMillisecond);
}

int32_t HandleOf(const AlarmSource& source, const AlarmObject& o) {
    return static_cast<int32_t>(source.handleBase | (static_cast<uint32_t>(o.FileRecord) & 0xFFFFFF));
}

std::string WelcomePayload(CHeraldon& server) {
    ClientPacketBuilder p;
    p.String(kGreeting).Int32(net::kClientProtocolVersion).Int32(0).Int32(0);
    p.Int32(server.Config().clientKeepAliveInterval);
    auto& sources = server.AlarmSources();
    p.Int32(static_cast<int32_t>(sources.size()));
    for (const auto& s : sources) {
        p.String(s->name).String(s->description).Int32(s->index).Int32(s->enabled).Int32(s->running);
    }
    return p.Payload();
}

std::string ServerInfoPayload(CHeraldon& server) {
    int64_t inUse = 0;
    for (const auto& s : server.AlarmSources()) inUse += static_cast<int64_t>(s->inUse.size());
    ClientPacketBuilder p;
    p.String(std::string_view(server.DataPath()).substr(0, 509));
    p.Int32(static_cast<int32_t>(inUse)).Int32(1);
    return p.Payload();
}

void Malformed(ClientConnection& c, uint32_t type) {
    Log("Malformed packet %08x from client %s ignored", type, c.address.c_str());
}

void Identify(ClientConnection& c, uint32_t type, const uint8_t* payload, size_t size) {
    c.identified = 1;
    if (type != net::PACKET_TYPE_IDENTIFY) {
        Log("First packet from %s was not any identification, assuming Klaxora ListView Client",
            c.address.c_str());
        c.clientKind = net::kClientListView;
        return;
    }
    ClientPayloadReader r(payload, size);
    int32_t kind = 0;
    r.Int32(kind);
    c.clientKind = kind;
    switch (kind) {
        case net::kClientOrvik:
            Log("Client connection %s is a Orvik client", c.address.c_str());
            break;
        case net::kClientDalmis:
            Log("Client connection %s is an Dalmis client", c.address.c_str());
            break;
        case net::kClientTellu:
            Log("Client connection %s is an Tellu client", c.address.c_str());
            break;
        case net::kClientSmallView:
        case net::kClientListView:
            r.String(c.userName, 255);
            Log(kind == net::kClientSmallView ? "Client connection %s is an Klaxora SmallView client"
                                              : "Client connection %s is an Klaxora ListView client",
                c.address.c_str());
            break;
        default:
            Log("Client connection %s is unknown, shutting down connection", c.address.c_str());
            c.CloseSocket();
            break;
    }
}

void EnableSource(ClientConnection& c, ClientPayloadReader& r) {
    int32_t index = 0, enable = 0;
    if (!r.Int32(index) || !r.Int32(enable)) return Malformed(c, net::PACKET_TYPE_ALARMSOURCE_ENABLE);
    auto& sources = TheServer()->AlarmSources();
    if (index < 0 || static_cast<size_t>(index) >= sources.size()) return;
    AlarmSource& source = *sources[static_cast<size_t>(index)];
    int wanted = enable != 0 ? 1 : 0;
    if (source.enabled == wanted) return;
    Log(wanted ? "Client %s enabled Alarm Source '%s'" : "Client %s disabled Alarm Source '%s'",
        c.address.c_str(), source.name.c_str());
    source.enabled = wanted;
    SendSourceState(source);
    source.Save(true, 1);
}

void SendAlarmList(ClientConnection& c, uint32_t type, ClientPayloadReader& r) {
    std::string tagFilter, areaFilter;
    int32_t stateFilter = -1, count = 0;
    r.String(tagFilter, 255);
    r.String(areaFilter, 255);
    r.Int32(stateFilter);
    r.Int32(count);
    if (!r.Ok() || count < 0 || static_cast<size_t>(count) > r.Remaining() / 4) {
        return Malformed(c, type);
    }
    c.tagFilter = tagFilter;
    c.areaFilter = areaFilter;
    auto& sources = TheServer()->AlarmSources();
    bool all = type == net::PACKET_TYPE_GET_ALL_ALARMS;
    for (int32_t i = 0; i < count; ++i) {
        int32_t index = 0;
        r.Int32(index);
        if (index < 0 || static_cast<size_t>(index) >= sources.size()) {
            Log("Client %s requested unknown Alarm Source %d", c.address.c_str(), index);
            continue;
        }
        AlarmSource& source = *sources[static_cast<size_t>(index)];
        for (const auto& o : source.inUse) {
            if (stateFilter != -1 && o->State != stateFilter) continue;
            if (!all && o->State == kStateNormal) continue;
            if (!MatchesFilter(source, tagFilter, areaFilter, o->TagText(), o->Area)) continue;
            if (!SendToClient(c, net::PACKET_TYPE_ALARM, ObjectPacket(source, *o))) return;
        }
    }
    SendToClient(c, net::PACKET_TYPE_ALARMS_END, "");
}

void Command(ClientConnection& c, uint32_t type, ClientPayloadReader& r) {
    int32_t handle = 0, duration = 0;
    std::string user, comment;
    r.Int32(handle);
    r.String(user, 63);
    r.String(comment);
    if (type == net::PACKET_TYPE_DISABLE) r.Int32(duration);
    if (!r.Ok()) return Malformed(c, type);
    ExecuteCommand(static_cast<int>(type), static_cast<uint32_t>(handle), user, comment, duration,
                   c.address);
}

std::string StatisticsPacket(const AlarmSource& source, const AlarmObject& o) {
    ClientPacketBuilder p;
    p.Int32(HandleOf(source, o)).Int32(o.StatTotal);
    for (int32_t count : o.StatHours) p.Int32(count);
    for (int32_t count : o.StatDays) p.Int32(count);
    return p.Payload();
}

void SendStatistics(ClientConnection& c, ClientPayloadReader& r) {
    int32_t reserved = 0, handle = 0;
    std::string tagFilter, areaFilter;
    r.Int32(reserved);
    r.Int32(handle);
    r.String(tagFilter, 255);
    r.String(areaFilter, 255);
    if (!r.Ok()) return Malformed(c, net::PACKET_TYPE_GET_STATISTICS);
    auto& sources = TheServer()->AlarmSources();
    if (handle == -1) {
        for (const auto& source : sources) {
            for (const auto& o : source->inUse) {
                if (!MatchesFilter(*source, tagFilter, areaFilter, o->TagText(), o->Area)) continue;
                SendToClient(c, net::PACKET_TYPE_STATISTICS, StatisticsPacket(*source, *o));
            }
        }
    } else {
        int32_t record = 0;
        if (AlarmSource* source = SourceForHandle(sources, static_cast<uint32_t>(handle), &record)) {
            if (AlarmObject* o = source->inUse.FindByRecord(record)) {
                SendToClient(c, net::PACKET_TYPE_STATISTICS, StatisticsPacket(*source, *o));
            } else {
                Log("Unknown Alarm Handle %d from client %s, Alarm Object was not found", handle,
                    c.address.c_str());
            }
        }
    }
    SendToClient(c, net::PACKET_TYPE_STATISTICS_END, "");
}

void ClearStatistics(ClientConnection& c, ClientPayloadReader& r) {
    int32_t handle = 0;
    if (!r.Int32(handle)) return Malformed(c, net::PACKET_TYPE_CLEAR_STATISTICS);
    int32_t record = 0;
    AlarmSource* source =
        SourceForHandle(TheServer()->AlarmSources(), static_cast<uint32_t>(handle), &record);
    if (source == nullptr) {
        Log("Unknown Alarm Handle %d from client %s, Alarm Object was not found", handle,
            c.address.c_str());
        return;
    }
    AlarmObject* o = source->inUse.FindByRecord(record);
    if (o == nullptr) return;
    o->StatTotal = 0;
    std::memset(o->StatHours, 0, sizeof o->StatHours);
    std::memset(o->StatDays, 0, sizeof o->StatDays);
    o->RepeatedSinceLastAck = 0;
    SendObjectToClients(*source, *o, false);
    o->Changed = 1;
    Log("Alarm statistics for '%s' was cleared by client %s", o->Tag, c.address.c_str());
}

}  // namespace

ClientHooks& TheClientHooks() {
    static ClientHooks hooks;
    return hooks;
}

ClientConnection::~ClientConnection() {
    if (thread.joinable()) thread.join();
}

std::string ObjectPacket(const AlarmSource& source, const AlarmObject& o) {
    ClientPacketBuilder p(net::kAlarmPacketBuffer);
    p.Int32(HandleOf(source, o)).Int32(o.Version);
    std::string shownTag = source.tagPrefix;
    shownTag.append(o.TagText());
    p.String(shownTag);
    p.String(TextOf(o.Name)).String(TextOf(o.Description)).String(TextOf(o.SmallComment));
    p.String(TextOf(o.Help)).String(TextOf(o.SumState));
    p.Int32(o.Area).Int32(o.Category).Int32(o.Privilege).Int32(static_cast<int32_t>(o.SCADAHandle));
    for (const auto& custom : o.Custom) p.String(TextOf(custom));
    p.String(TextOf(o.PagingGrp));
    AppendStatusBlock(p, o);
    return p.Payload();
}

std::string StatusPacket(const AlarmSource& source, const AlarmObject& o) {
    ClientPacketBuilder p(net::kStatusPacketBuffer);
    p.Int32(HandleOf(source, o));
    AppendStatusBlock(p, o);
    return p.Payload();
}

bool SendToClient(ClientConnection& c, const net::OutboundQueue::Bytes& frame) {
    if (!c.SocketOpen()) return false;
    using Result = net::OutboundQueue::PushResult;
    Result result = c.queue.Push(frame);
    if (result == Result::Queued) return true;
    if (result == Result::Overflow) {
        Log("Client %s does not read what we send, closing the connection", c.address.c_str());
    }
    c.CloseSocket();
    return false;
}

bool SendToClient(ClientConnection& c, uint32_t type, std::string_view payload) {
    return SendToClient(c, std::make_shared<const std::string>(net::EncodeFrame(type, payload)));
}

void SendObjectToClients(AlarmSource& source, AlarmObject& o, bool withStatus) {
    CHeraldon* server = TheServer();
    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    // Built once, shared by every connection's queue; the object and its status go as one
    // piece, so a flood costs each queue one push per event.
    net::OutboundQueue::Bytes packets;
    for (auto& c : server->ClientConnections()) {
        if (!c->SocketOpen() || !MatchesFilter(source, c->tagFilter, c->areaFilter, o.TagText(), o.Area)) {
            continue;
        }
        if (!packets) {
            std::string bytes = net::EncodeFrame(net::PACKET_TYPE_ALARM, ObjectPacket(source, o));
            if (withStatus) bytes += net::EncodeFrame(net::PACKET_TYPE_ALARM_STATUS, StatusPacket(source, o));
            packets = std::make_shared<const std::string>(std::move(bytes));
        }
        SendToClient(*c, packets);
    }
}

void SendSourceStatusToClients(AlarmSource& source) {
    CHeraldon* server = TheServer();
    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    ClientPacketBuilder p;
    p.Int32(source.index).Int32(source.enabled).Int32(source.running);
    auto frame = std::make_shared<const std::string>(
        net::EncodeFrame(net::PACKET_TYPE_ALARMSOURCE_STATUS, p.Payload()));
    for (auto& c : server->ClientConnections()) SendToClient(*c, frame);
}

void ClientTimers(ClientConnection& c, int elapsedMs) {
    if (!c.SocketOpen() || c.threadAlive.load() == 0) return;
    if (c.keepAliveCountdown > 0) {
        c.keepAliveCountdown -= elapsedMs;
        if (c.keepAliveCountdown <= 0) {
            if (SendToClient(c, net::PACKET_TYPE_KEEPALIVE, "")) {
                c.keepAliveCountdown = TheServer()->Config().clientKeepAliveInterval;
            } else {
                Log("Could not send KeepAlive to client '%s', closed socket", c.address.c_str());
            }
        }
    }
    if (c.receiveCountdown > 0) {
        c.receiveCountdown -= elapsedMs;
        if (c.receiveCountdown <= 0) {
            c.CloseSocket();
            Log("Did not receive KeepAlive from client '%s', closed socket", c.address.c_str());
        }
    }
}

void HandleClientPacket(ClientConnection& c, uint32_t type, const uint8_t* payload, size_t size) {
    CHeraldon* server = TheServer();
    ClientPayloadReader r(payload, size);
    {
        // Any packet shows the client is alive, also one answered without the lock below,
        // and whatever comes first identifies the client.
        std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
        c.receiveCountdown = server->Config().clientKeepAliveTimeout;
        if (c.identified == 0) {
            Identify(c, type, payload, size);
            if (type == net::PACKET_TYPE_IDENTIFY) return;
        }
    }
    // The requests that only read files work without the alarm data lock.
    switch (type) {
        case net::PACKET_TYPE_GET_FILE: {
            std::string name;
            if (!r.String(name, 259)) return Malformed(c, type);
            return SendFile(c, name);
        }
        case net::PACKET_TYPE_SET_COMMENT: {
            int32_t handle = 0;
            std::string tag, path, text;
            r.Int32(handle);
            r.String(tag, 255);
            r.String(path, 259);
            r.Bytes32(text);
            if (!r.Ok()) return Malformed(c, type);
            return SaveComment(c, static_cast<uint32_t>(handle), tag, text);
        }
        case net::PACKET_TYPE_GET_HISTORY:
            return AnswerHistoryQuery(c, payload, size);
        default:
            break;
    }

    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    switch (type) {
        case net::PACKET_TYPE_KEEPALIVE:
        case net::PACKET_TYPE_IDENTIFY:
        case net::PACKET_TYPE_EXECUTE:
            break;
        case net::PACKET_TYPE_ALARMSOURCE_ENABLE:
            EnableSource(c, r);
            break;
        case net::PACKET_TYPE_GET_ALL_ALARMS:
        case net::PACKET_TYPE_GET_ALARMS:
            SendAlarmList(c, type, r);
            break;
        case net::PACKET_TYPE_ACK:
        case net::PACKET_TYPE_DISABLE:
        case net::PACKET_TYPE_ENABLE:
        case net::PACKET_TYPE_INACTIVATE:
        case net::PACKET_TYPE_ACTIVATE:
        case net::PACKET_TYPE_REMOVE:
            Command(c, type, r);
            break;
        case net::PACKET_TYPE_GET_STATISTICS:
            SendStatistics(c, r);
            break;
        case net::PACKET_TYPE_CLEAR_STATISTICS:
            ClearStatistics(c, r);
            break;
        case net::PACKET_TYPE_GET_COMMONFILTERS:
            SendCommonFilters(c);
            break;
        case net::PACKET_TYPE_SET_COMMONFILTER:
        case net::PACKET_TYPE_DELETE_COMMONFILTER: {
            std::string key, value;
            r.String(key, 255);
            r.String(value, 255);
            if (!r.Ok()) return Malformed(c, type);
            SetCommonFilter(c, key, type == net::PACKET_TYPE_SET_COMMONFILTER ? &value : nullptr);
            break;
        }
        case net::PACKET_TYPE_GET_COMMENT: {
            int32_t handle = 0;
            std::string tag;
            r.Int32(handle);
            r.String(tag, 255);
            if (!r.Ok()) return Malformed(c, type);
            SendComment(c, static_cast<uint32_t>(handle), tag);
            break;
        }
        case net::PACKET_TYPE_SET_SMALLCOMMENT: {
            int32_t handle = 0;
            std::string text;
            r.Int32(handle);
            r.String(text, 99);
            if (!r.Ok()) return Malformed(c, type);
            SetSmallComment(c, static_cast<uint32_t>(handle), text);
            break;
        }
        case net::PACKET_TYPE_SUBSCRIBE: {
            int32_t id = 0;
            std::string sourceName, tagPrefix, pattern;
            r.Int32(id);
            r.String(sourceName, 511);
            r.String(tagPrefix, 511);
            r.String(pattern, 511);
            if (!r.Ok()) return Malformed(c, type);
            Subscribe(c, id, sourceName, tagPrefix, pattern);
            break;
        }
        case net::PACKET_TYPE_UNSUBSCRIBE: {
            int32_t id = 0;
            if (!r.Int32(id)) return Malformed(c, type);
            Unsubscribe(c, id);
            break;
        }
        default:
            Log("Unknown packet type %08x from client %s", type, c.address.c_str());
            break;
    }
}

void ClientConnectionThread(ClientConnection* c) {
    CHeraldon* server = TheServer();
    net::ReadEnd end = net::ReadFrames(c->socket, net::kClientReceiveBuffer, net::kClientMaxPayload,
                                       [c](const net::Frame& frame) {
                                           HandleClientPacket(*c, frame.type, frame.payload, frame.payloadSize);
                                           return true;
                                       });
    if (end == net::ReadEnd::TooLarge) {
        Log("Packet size error receiving from %s", c->address.c_str());
    } else if (server->AlarmThreadsRunning()) {
        Log("Closing client socket (%s)", c->address.c_str());
    }
    {
        std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
        c->CloseSocket();
    }
    c->queue.Stop();
    {
        std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
        c->socket.Close();
    }
    c->threadAlive.store(0);
}

void ClientListenerThread() {
    CHeraldon* server = TheServer();
    static constexpr net::ListenerTexts kTexts{
        "Couldn't create Client listen socket for port %d", "Couldn't bind server socket for port %d",
        "Couldn't set socket in listening mode for port %d",
        "Some error occured, no clients will be able to connect (tried port %d)",
        "Waiting for new Client connections at port %d"};
    net::ListenLoop(
        server->ClientListener(), server->Config().clientListenPort, kTexts,
        [server] { return server->AlarmThreadsRunning(); }, [server] { return server->IsActive(); },
        [server](platform::net::Socket accepted) {
            std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
            auto& connections = server->ClientConnections();
            if (connections.size() >= kMaxClients) {
                Log("Too many connections (max %d simultanously connections), rejecting %s",
                    kMaxClients, accepted.PeerText().c_str());
                return;
            }
            auto c = std::make_unique<ClientConnection>(std::move(accepted));
            c->keepAliveCountdown = server->Config().clientKeepAliveInterval;
            c->receiveCountdown = server->Config().clientKeepAliveTimeout;
            c->queue.Start(c->socket);
            SendToClient(*c, net::PACKET_TYPE_WELCOME, WelcomePayload(*server));
            SendToClient(*c, net::PACKET_TYPE_SERVER_INFO, ServerInfoPayload(*server));
            Log("%s connected as client", c->address.c_str());
            ClientConnection* raw = c.get();
            connections.push_back(std::move(c));
            if (!StartCounted(server->AlarmThreadCounter(), raw->thread, "client connection",
                              [raw] { ClientConnectionThread(raw); })) {
                connections.pop_back();
            }
        });
}

}  // namespace heraldon
