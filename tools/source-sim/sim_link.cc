#include "tools/source-sim/sim_link.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cstring>

#include "server/net/frame.h"
#include "server/net/source_protocol.h"

namespace sourcesim {

namespace net = heraldon::net;

namespace {

// Larger than any refresh object, small enough to keep memory flat during a big refresh.
constexpr size_t kFlushThreshold = 65536;
// A server that stops reading must not hang the simulator forever.
constexpr int kSendTimeoutSeconds = 10;

}  // namespace

bool SourceLink::Open(const std::string& host, uint16_t port, int timeoutMs) {
    Close();
    socket_ = platform::net::Connect(host, port, timeoutMs);
    if (!socket_.IsOpen()) return false;
    timeval timeout{kSendTimeoutSeconds, 0};
    ::setsockopt(socket_.Fd(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    buffer_.assign(net::kSourceReceiveBuffer, 0);
    used_ = 0;
    return true;
}

void SourceLink::Close() {
    socket_.Close();
    used_ = 0;
    outgoing_.clear();
}

void SourceLink::Queue(uint32_t type, std::string_view payload) {
    outgoing_ += net::EncodeFrame(type, payload);
    if (outgoing_.size() >= kFlushThreshold) Flush();
}

bool SourceLink::Flush() {
    if (!socket_.IsOpen()) {
        outgoing_.clear();
        return false;
    }
    if (outgoing_.empty()) return true;
    bool sent = socket_.SendAll(outgoing_.data(), outgoing_.size());
    outgoing_.clear();
    if (!sent) socket_.Close();
    return sent;
}

SourceLink::ReadResult SourceLink::Read(int timeoutMs, std::vector<ReceivedPacket>& packets) {
    if (!socket_.IsOpen()) return ReadResult::Closed;
    // The largest legal packet (header + 0x1FFF7) is one byte short of the buffer, so
    // there is always room for the rest of a packet that has begun.
    long n = socket_.ReceiveFor(buffer_.data() + used_, buffer_.size() - used_, timeoutMs);
    if (n == -2) return ReadResult::Ok;
    if (n <= 0) return ReadResult::Closed;
    used_ += static_cast<size_t>(n);

    size_t at = 0;
    for (;;) {
        net::Frame frame;
        net::FrameStatus status =
            net::NextFrame(buffer_.data() + at, used_ - at, net::kSourceMaxPayload, frame);
        if (status == net::FrameStatus::TooLarge) return ReadResult::Oversized;
        if (status == net::FrameStatus::Incomplete) break;
        packets.push_back(ReceivedPacket{
            frame.type,
            std::string(reinterpret_cast<const char*>(frame.payload), frame.payloadSize)});
        at += frame.totalSize;
    }
    if (at > 0) {
        std::memmove(buffer_.data(), buffer_.data() + at, used_ - at);
        used_ -= at;
    }
    return ReadResult::Ok;
}

namespace {

net::SourceFieldReader Reader(std::string_view payload) {
    return net::SourceFieldReader(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
}

}  // namespace

Welcome ParseWelcome(std::string_view payload) {
    Welcome w;
    net::SourceFieldReader r = Reader(payload);
    int32_t accepted = 0;
    r.Signed(w.lowest);
    r.Signed(w.highest);
    r.Signed(accepted);
    r.Text(w.greeting, 1024);
    w.accepted = accepted == 1;
    return w;
}

int32_t NegotiatedVersion(int32_t ourLowest, int32_t ourHighest, const Welcome& welcome) {
    // A server that leaves its range out is taken to speak the versions we know it for.
    int32_t serverLowest = welcome.lowest != 0 ? welcome.lowest : net::kSourceVersionLow;
    int32_t serverHighest = welcome.highest != 0 ? welcome.highest : net::kSourceVersionHigh;
    int32_t version = std::min(ourHighest, serverHighest);
    return version >= std::max(ourLowest, serverLowest) ? version : 0;
}

bool IsCommand(uint32_t type) {
    return type >= net::SOURCE_PACKET_TYPE_ENABLE && type <= net::SOURCE_PACKET_TYPE_REMOVE;
}

Command ParseCommand(uint32_t type, std::string_view payload) {
    Command c;
    c.type = type;
    net::SourceFieldReader r = Reader(payload);
    r.Unsigned(c.handle);
    r.Unsigned(c.fileRecord);
    r.Text(c.tag, kTagChars);
    r.Text(c.user, kUserChars);
    r.Text(c.comment, 4096);
    if (type == net::SOURCE_PACKET_TYPE_DISABLE) r.Unsigned(c.disableEnd);
    return c;
}

int AnswerEventType(uint32_t commandType) {
    switch (commandType) {
        case net::SOURCE_PACKET_TYPE_ENABLE:
            return kEnable;
        case net::SOURCE_PACKET_TYPE_DISABLE:
            return kDisable;
        case net::SOURCE_PACKET_TYPE_ACK:
            return kAcked;
        case net::SOURCE_PACKET_TYPE_ACTIVATE:
            return kActive;
        case net::SOURCE_PACKET_TYPE_INACTIVATE:
            return kInActive;
        default:
            return -1;
    }
}

const char* CommandName(uint32_t type) {
    switch (type) {
        case net::SOURCE_PACKET_TYPE_ENABLE:
            return "ENABLE";
        case net::SOURCE_PACKET_TYPE_DISABLE:
            return "DISABLE";
        case net::SOURCE_PACKET_TYPE_ACK:
            return "ACK";
        case net::SOURCE_PACKET_TYPE_ACTIVATE:
            return "ACTIVATE";
        case net::SOURCE_PACKET_TYPE_INACTIVATE:
            return "INACTIVATE";
        case net::SOURCE_PACKET_TYPE_REMOVE:
            return "REMOVE";
        default:
            return "?";
    }
}

std::string IdentifyPayload(int32_t lowest, int32_t highest, std::string_view name) {
    net::SourcePacketBuilder b;
    b.Signed(lowest).Signed(highest).Text(name.substr(0, 255));
    return b.Payload();
}

std::string RefreshBeginPayload(int32_t version) {
    // Delete what we no longer report (removed tags), keep the server's disables of tags
    // we do report as disabled. The keep-disabled flag exists from 0x3003 on; 0x3002
    // implies it.
    net::SourcePacketBuilder b;
    b.Text("1").Text("0");
    if (version >= 0x3003) b.Text("1");
    return b.Payload();
}

std::string StatusPayload(bool running) {
    net::SourcePacketBuilder b;
    b.Signed(running ? 1 : 0);
    return b.Payload();
}

std::string ObjectRemovedPayload(const SimTag& tag) {
    net::SourcePacketBuilder b;
    b.Unsigned(tag.handle).Text(tag.tag);
    return b.Payload();
}

std::string ObjectPayload(const SimTag& t, int eventType, std::optional<int> forcedState,
                          const ByFields& by) {
    net::SourcePacketBuilder b;
    // A time this run has not seen goes empty, so that the times the server kept from
    // earlier runs survive a fresh start; a cleared time goes as 0.
    auto time = [&b](const Stamp& s, bool cleared) {
        if (s.seconds == 0 && !cleared) {
            b.Text("").Text("");
            return;
        }
        b.Unsigned(static_cast<uint32_t>(s.seconds)).Unsigned(static_cast<uint32_t>(s.millisecond));
    };
    b.Signed(eventType).Unsigned(t.handle).Text(t.tag);
    if (forcedState) {
        b.Signed(*forcedState);
    } else {
        b.Text("");
    }
    b.Text(t.name).Text(t.description).Signed(t.area).Signed(t.category);
    // Privilege 0; SmallComment belongs to the operators, so theirs stays; no SumState.
    b.Signed(0).Text("").Text(t.help).Text("");
    time(t.inactiveTime, ConditionActive(t));  // an active alarm has no inactive time
    time(t.activeTime, false);
    time(t.ackedTime, false);
    time(t.disabledTime, false);
    b.Unsigned(t.disabledExpire);
    // Custom1..Custom8, Paging and PagingGrp: nothing to say, and empty keeps the server's.
    for (int i = 0; i < 10; ++i) b.Text("");
    b.Text(by.acked).Text(by.disabled).Text(by.enabled);
    return b.Payload();
}

}  // namespace sourcesim
