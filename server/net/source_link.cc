// The Alarm Source link: listener, connection threads, identification and the packets of
// an identified source.

#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/text.h"
#include "server/alarms/alarm_events.h"
#include "server/alarms/alarm_hooks.h"
#include "server/alarms/alarm_state.h"
#include "server/core/heraldon.h"
#include "server/core/log.h"
#include "server/net/frame.h"
#include "server/net/frame_reader.h"
#include "server/net/listen_loop.h"
#include "server/net/source_connection.h"
#include "server/net/source_protocol.h"
#include "server/net/text_feed.h"
#include "server/store/historic_files.h"

namespace heraldon {

namespace {

constexpr int kMaxUnidentified = 200;
constexpr const char* kGreeting =
    "Welcome as Alarm Source to Heraldon - Klaxora alarm server by Norvane\n";
constexpr const char* kRefusal =
    "We cannot communicate with you as Alarm Source, connection will be closed!"
    " - Klaxora alarm server by Norvane\n";

std::string WelcomePayload(bool accepted, const char* text) {
    net::SourcePacketBuilder packet;
    packet.Signed(net::kSourceVersionLow).Signed(net::kSourceVersionHigh).Text(accepted ? "1" : "0").Text(text);
    return packet.Payload();
}

void SendSourceStateToClients(AlarmSource& source) {
    if (TheAlarmHooks().sendSourceStateToClients) TheAlarmHooks().sendSourceStateToClients(source);
}

AlarmSource* FindConfiguredSource(const std::string& name) {
    auto& sources = TheServer()->AlarmSources();
    // The system source has no process behind it and can never be claimed.
    for (size_t i = 1; i < sources.size(); ++i) {
        if (platform::text::EqualsNoCase(sources[i]->name, name)) return sources[i].get();
    }
    return nullptr;
}

void Identify(SourceConnection& c, const uint8_t* payload, size_t size) {
    CHeraldon* server = TheServer();
    net::SourceFieldReader r(payload, size);
    int32_t low = 0, high = 0;
    std::string name;
    r.Signed(low);
    r.Signed(high);
    r.Text(name, 255);
    int32_t used = high > net::kSourceVersionLow ? net::kSourceVersionHigh : high;

    bool refused = true;
    {
        std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
        c.versionMin = low;
        c.versionMax = high;
        AlarmSource* source = nullptr;
        if (used < net::kSourceVersionLow) {
            Log("Alarm Source '%s' (%s) has wrong protocol version 0x%x..0x%x, we support only "
                "0x%x..0x%x",
                name.c_str(), c.address.c_str(), low, high, net::kSourceVersionLow,
                net::kSourceVersionHigh);
        } else if ((source = FindConfiguredSource(name)) == nullptr) {
            Log("Alarm Source '%s' (%s) will be disconnected, it cannot be found in the Alarm "
                "Source list",
                name.c_str(), c.address.c_str());
        } else if (source->connection != nullptr) {
            if (server->Config().disableAlarmSourceRejectMessages == 0) {
                Log("Alarm Source %s will be disconnected, it claims to be '%s', but %s has "
                    "already connected using the same source name",
                    c.address.c_str(), name.c_str(), source->connection->address.c_str());
            }
        } else {
            refused = false;
            c.source = source;
            c.versionUsed = used;
            source->connection = &c;
            source->keepAliveCountdown = server->Config().alarmSourceKeepAliveInterval;
            SetConnectionFailedAlarm(*source, false);
            Log("Alarm Source '%s' (%s) has identified itself, it supports protocol version "
                "0x%x..0x%x, we will use version 0x%x",
                name.c_str(), c.address.c_str(), low, high, used);
            SendToSource(&c, net::SOURCE_PACKET_TYPE_WELCOME, WelcomePayload(true, kGreeting));
            SendSourceState(*source);
        }
        if (refused) {
            SendToSource(&c, net::SOURCE_PACKET_TYPE_WELCOME, WelcomePayload(false, kRefusal));
        }
    }
    if (!refused) return;
    // Give the refusal its time on the wire, without holding up anybody else.
    int64_t start = platform::clock::MonotonicMs();
    c.queue.Drain(100);
    int64_t left = 100 - (platform::clock::MonotonicMs() - start);
    if (left > 0) platform::clock::SleepMs(static_cast<int>(left));
    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    c.CloseSocket();
}

void RefreshBegin(SourceConnection& c, AlarmSource& source, const uint8_t* payload, size_t size) {
    net::SourceFieldReader r(payload, size);
    int32_t deleteMissing = 0, reserved = 0, keepDisabled = 1;
    r.Signed(deleteMissing);
    r.Signed(reserved);
    if (c.versionUsed == net::kSourceVersionHigh) r.Signed(keepDisabled);
    source.refreshDeleteMissing = deleteMissing;
    source.refreshReserved = reserved;
    source.refreshKeepDisabled = keepDisabled;
    for (AlarmObjectList* list : {&source.inUse, &source.removed}) {
        for (const auto& object : *list) object->Seen = 0;
    }
}

void RefreshEnd(AlarmSource& source) {
    std::vector<AlarmObject*> missing;
    for (const auto& object : source.inUse) {
        if (object->Seen == 0) missing.push_back(object.get());
    }
    int deleted = 0, normalised = 0;
    for (AlarmObject* object : missing) {
        if (source.refreshDeleteMissing != 0) {
            RemoveAlarmObject(source, *object);
            ++deleted;
        } else if (object->State != kStateNormal &&
                   !(object->State == kStateDisabled && source.refreshKeepDisabled != 0)) {
            object->State = kStateNormal;
            object->DisabledExpireTime = 0;
            if (TheAlarmHooks().distributeObject) TheAlarmHooks().distributeObject(source, *object);
            object->MarkChanged();
            source.changed = 1;
            ++normalised;
        }
    }
    Log("AlarmSource '%s': Got all alarm objects refreshed: %d deleted, %d normalised (total "
        "scanned %d)",
        source.name.c_str(), deleted, normalised, static_cast<int>(missing.size()));
    source.refreshing = 0;
}

void ObjectRemoved(AlarmSource& source, const uint8_t* payload, size_t size) {
    net::SourceFieldReader r(payload, size);
    uint32_t scadaHandle = 0;
    std::string tag;
    r.Unsigned(scadaHandle);
    r.Text(tag, 79);
    AlarmObject* object = scadaHandle != 0 ? source.inUse.FindBySCADAHandle(scadaHandle)
                                           : source.inUse.FindByTag(tag);
    if (object == nullptr) return;
    std::string removedTag = object->Tag;
    RemoveAlarmObject(source, *object);
    Log("AlarmSource '%s': Alarm object '%s' was removed by alarm source", source.name.c_str(),
        removedTag.c_str());
}

void Status(AlarmSource& source, const uint8_t* payload, size_t size) {
    net::SourceFieldReader r(payload, size);
    int32_t running = 0;
    r.Signed(running);
    SetConnectionFailedAlarm(source, running == 0);
    source.running = running != 0 ? 1 : 0;
    SendSourceStateToClients(source);
}

// The end of a connection: the source is lost, and the operators must see it at once.
void EndConnection(SourceConnection& c) {
    CHeraldon* server = TheServer();
    {
        std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
        if (AlarmSource* source = c.source) {
            source->connection = nullptr;
            c.source = nullptr;
            source->running = 0;
            SendSourceStateToClients(*source);
            if (server->AlarmThreadsRunning()) SetConnectionFailedAlarm(*source, true);
        }
        c.CloseSocket();
    }
    c.queue.Stop();
    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    c.socket.Close();
}

}  // namespace

SourceConnection::~SourceConnection() {
    if (thread.joinable()) thread.join();
}

bool SendToSource(SourceConnection* c, uint32_t type, std::string_view payload) {
    if (c == nullptr || !c->SocketOpen()) return false;
    using Result = net::OutboundQueue::PushResult;
    Result result = c->queue.Push(net::EncodeFrame(type, payload));
    if (result == Result::Queued) return true;
    if (result == Result::Overflow) {
        Log("Alarm Source %s does not read what we send, closing the connection", c->address.c_str());
    }
    c->CloseSocket();
    return false;
}

void SendSourceState(AlarmSource& source) {
    net::SourcePacketBuilder packet;
    packet.Text(source.enabled ? "1" : "0");
    SendToSource(source.connection, net::SOURCE_PACKET_TYPE_SOURCE_ENABLED, packet.Payload());
    if (source.enabled) {
        source.refreshing = 1;
        SendToSource(source.connection, net::SOURCE_PACKET_TYPE_REFRESH_REQUEST, "");
        SetConnectionFailedAlarm(source, false);
    } else {
        SetConnectionFailedAlarm(source, true);
    }
}

void SetConnectionFailedAlarm(AlarmSource& source, bool raised) {
    RaiseSystemAlarm(raised ? kEventActive : kEventInActive, source.name, source.name,
                     TheServer()->Config().alarmSourceFailedText, source.failedCategory,
                     source.failedArea, "");
}

void SourceTimers(AlarmSource& source, int elapsedMs) {
    if (SourceConnection* c = source.connection) {
        source.disconnectedTime = 0;
        if (c->SocketOpen() && source.keepAliveCountdown > 0) {
            source.keepAliveCountdown -= elapsedMs;
            if (source.keepAliveCountdown <= 0) {
                if (SendToSource(c, net::SOURCE_PACKET_TYPE_KEEPALIVE, "")) {
                    source.keepAliveCountdown = source.keepAliveInterval;
                } else {
                    Log("Could not send KeepAlive to Alarm Source '%s', closed socket",
                        c->address.c_str());
                }
            }
        }
        return;
    }
    if (source.index == 0) return;
    source.disconnectedTime += elapsedMs;
    if (source.disconnectedTime > 9999) {
        source.disconnectedTime = 0;
        // Once per run: a source that never connected within 10 s of the start.
        if (source.failedAlarmRaised == 0) {
            SetConnectionFailedAlarm(source, true);
            source.failedAlarmRaised = 1;
        }
    }
}

void HandleSourcePacket(SourceConnection& c, uint32_t type, const uint8_t* payload, size_t size) {
    CHeraldon* server = TheServer();
    std::unique_lock<FairRecursiveMutex> guard(server->AlarmDataLock());
    AlarmSource* source = c.source;
    if (source == nullptr) {
        // Before identification nothing but the identification counts.
        if (type == net::SOURCE_PACKET_TYPE_IDENTIFY) {
            guard.unlock();
            Identify(c, payload, size);
        }
        return;
    }
    switch (type) {
        case net::SOURCE_PACKET_TYPE_KEEPALIVE:
            break;
        case net::SOURCE_PACKET_TYPE_IDENTIFY:
            Log("Alarm Source %s sent some extra Identify Packet?", c.address.c_str());
            break;
        case net::SOURCE_PACKET_TYPE_REFRESH_BEGIN:
            RefreshBegin(c, *source, payload, size);
            break;
        case net::SOURCE_PACKET_TYPE_OBJECT:
        case net::SOURCE_PACKET_TYPE_EVENT:
            ApplySourceEvent(*source, type, payload, size);
            break;
        case net::SOURCE_PACKET_TYPE_REFRESH_END:
            RefreshEnd(*source);
            break;
        case net::SOURCE_PACKET_TYPE_OBJECT_REMOVED:
            ObjectRemoved(*source, payload, size);
            break;
        case net::SOURCE_PACKET_TYPE_STATUS:
            Status(*source, payload, size);
            break;
        default:
            Log("Unknown packet type %08x from alarms server client %s", type, c.address.c_str());
            break;
    }
}

// Within one burst the events reach the day file in one write when it ends (one or two
// system calls for hundreds of events in a flood), and the feed template is looked up once.
// Both run under the burst's hold of the alarm data lock.
void BeginBurst(SourceConnection& c) {
    c.source->gatherHistory = true;
    TextFeedBurst(true);
}

void EndBurst(SourceConnection& c) {
    TextFeedBurst(false);
    if (c.source == nullptr) return;
    FlushHistoricEvents(*c.source);
    c.source->gatherHistory = false;
}

void SourceConnectionThread(SourceConnection* c) {
    // An identified source's burst is handled under one hold of the alarm data lock: the
    // lock changes hands between bursts, not between packets.
    std::unique_lock<FairRecursiveMutex> burst(TheServer()->AlarmDataLock(), std::defer_lock);
    auto endBurst = [c, &burst] {
        if (!burst.owns_lock()) return;
        EndBurst(*c);
        burst.unlock();
    };
    net::ReadEnd end = net::ReadFrames(
        c->socket, net::kSourceReceiveBuffer, net::kSourceMaxPayload,
        [c, &burst](const net::Frame& frame) {
            if (c->source != nullptr && !burst.owns_lock()) {
                burst.lock();
                BeginBurst(*c);
            }
            HandleSourcePacket(*c, frame.type, frame.payload, frame.payloadSize);
            return true;
        },
        -1, endBurst);
    endBurst();
    if (end == net::ReadEnd::TooLarge) {
        Log("Packet size error receiving from %s", c->address.c_str());
    } else {
        Log("Closing Alarm Source socket (%s)", c->address.c_str());
    }
    EndConnection(*c);
    c->threadAlive.store(0);
}

void SourceListenerThread() {
    CHeraldon* server = TheServer();
    static constexpr net::ListenerTexts kTexts{
        "Couldn't create Alarm Source listen socket for port %d",
        "Couldn't bind server socket for port %d",
        "Couldn't set socket in listening mode for port %d",
        "Some error occured, no Alarm Sources will be able to connect (tried port %d)",
        "Waiting for new Alarm Source connections at port %d"};
    net::ListenLoop(
        server->SourceListener(), server->Config().alarmSourcePort, kTexts,
        [server] { return server->AlarmThreadsRunning(); }, [] { return true; },
        [server](platform::net::Socket accepted) {
            std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
            auto& connections = server->SourceConnections();
            int unidentified = 0;
            for (const auto& existing : connections) {
                if (existing->source == nullptr) ++unidentified;
            }
            auto c = std::make_unique<SourceConnection>(std::move(accepted));
            if (unidentified > kMaxUnidentified) {
                Log("Alarm Source from %s tried to connect but we already have %d unidentified "
                    "connections - we rejected this one",
                    c->address.c_str(), unidentified);
                return;
            }
            c->queue.Start(c->socket);
            SourceConnection* raw = c.get();
            connections.push_back(std::move(c));
            if (!StartCounted(server->AlarmThreadCounter(), raw->thread, "Alarm Source connection",
                              [raw] { SourceConnectionThread(raw); })) {
                connections.pop_back();
            }
        });
}

}  // namespace heraldon
