#include "tools/alarm-cli/client_link.h"

#include <algorithm>

#include "platform/clock.h"
#include "server/net/client_protocol.h"
#include "server/net/frame.h"

namespace alarmcli {

namespace net = heraldon::net;
namespace clock = platform::clock;

namespace {

// The smallest source entry of a welcome: two empty strings and three int32.
constexpr size_t kMinSourceEntry = 2 + 2 + 4 + 4 + 4;

}  // namespace

bool ClientLink::Open(const std::string& host, uint16_t port, std::string_view userAnsi,
                      int timeoutMs, std::string& error) {
    endpoint_ = host + ":" + std::to_string(port);
    socket_ = platform::net::Connect(host, port, timeoutMs);
    if (!socket_.IsOpen()) {
        error = "cannot connect to " + endpoint_;
        return false;
    }
    lastSendMs_ = clock::MonotonicMs();
    // The server speaks first; nothing else counts until its welcome has arrived.
    int64_t deadline = clock::MonotonicMs() + timeoutMs;
    Packet packet;
    for (;;) {
        int left = static_cast<int>(std::max<int64_t>(0, deadline - clock::MonotonicMs()));
        ReadResult result = Next(packet, left);
        if (result == ReadResult::Closed) {
            error = "cannot connect to " + endpoint_ + ": the server closed the connection";
            return false;
        }
        if (result == ReadResult::Timeout) {
            error = "cannot connect to " + endpoint_ + ": no welcome from the server";
            return false;
        }
        if (packet.type == net::PACKET_TYPE_WELCOME) break;
    }
    if (!ReadWelcome(packet)) {
        error = "cannot connect to " + endpoint_ + ": the server's welcome is malformed";
        return false;
    }
    net::ClientPacketBuilder identify;
    identify.Int32(net::kClientListView).String(userAnsi.substr(0, 255));
    if (!Send(net::PACKET_TYPE_IDENTIFY, identify.Payload())) {
        error = "cannot connect to " + endpoint_ + ": the connection failed";
        return false;
    }
    return true;
}

bool ClientLink::ReadWelcome(const Packet& packet) {
    net::ClientPayloadReader r(packet.Data(), packet.Size());
    std::string greeting;
    int32_t reserved = 0, count = 0;
    r.String(greeting);
    r.Int32(protocolVersion_);
    r.Int32(reserved);
    r.Int32(reserved);
    r.Int32(keepAliveMs_);
    r.Int32(count);
    if (!r.Ok() || count < 0 || static_cast<size_t>(count) > r.Remaining() / kMinSourceEntry) {
        return false;
    }
    sources_.clear();
    for (int32_t i = 0; i < count; ++i) {
        SourceInfo s;
        r.String(s.name, 255);
        r.String(s.description, 255);
        r.Int32(s.index);
        r.Int32(s.enabled);
        r.Int32(s.running);
        if (!r.Ok()) return false;
        sources_.push_back(std::move(s));
    }
    return true;
}

bool ClientLink::Send(uint32_t type, std::string_view payload) {
    if (broken_ || !socket_.IsOpen()) return false;
    std::string frame = net::EncodeFrame(type, payload);
    if (!socket_.SendAll(frame.data(), frame.size())) {
        broken_ = true;
        return false;
    }
    lastSendMs_ = clock::MonotonicMs();
    return true;
}

void ClientLink::KeepAliveIfDue() {
    // The server counts any packet as a sign of life, so the clock restarts with every send.
    if (keepAliveMs_ <= 0) return;
    if (clock::MonotonicMs() - lastSendMs_ >= keepAliveMs_) Send(net::PACKET_TYPE_KEEPALIVE);
}

bool ClientLink::TakeFrame(Packet& packet) {
    const uint8_t* data = reinterpret_cast<const uint8_t*>(buffer_.data()) + consumed_;
    size_t size = buffer_.size() - consumed_;
    net::Frame frame;
    net::FrameStatus status = net::NextFrame(data, size, net::kClientMaxPayload, frame);
    if (status == net::FrameStatus::TooLarge) {
        // Nothing after a bad length can be framed again.
        broken_ = true;
        return false;
    }
    if (status != net::FrameStatus::Ok) return false;
    packet.type = frame.type;
    packet.payload.assign(reinterpret_cast<const char*>(frame.payload), frame.payloadSize);
    consumed_ += frame.totalSize;
    if (consumed_ == buffer_.size()) {
        buffer_.clear();
        consumed_ = 0;
    }
    return true;
}

void ClientLink::Note(const Packet& packet) {
    net::ClientPayloadReader r(packet.Data(), packet.Size());
    if (packet.type == net::PACKET_TYPE_ALARMSOURCE_STATUS) {
        int32_t index = 0, enabled = 0, running = 0;
        r.Int32(index);
        r.Int32(enabled);
        r.Int32(running);
        if (!r.Ok()) return;
        for (SourceInfo& s : sources_) {
            if (s.index == index) {
                s.enabled = enabled;
                s.running = running;
            }
        }
    } else if (packet.type == net::PACKET_TYPE_SERVER_INFO) {
        std::string folder;
        int32_t objects = 0;
        r.String(folder);
        r.Int32(objects);
        if (r.Ok()) objectsInUse_ = objects;
    } else if (packet.type == net::PACKET_TYPE_SERVER_STANDBY) {
        standby_ = true;
    }
}

ReadResult ClientLink::Next(Packet& packet, int timeoutMs) {
    int64_t deadline = clock::MonotonicMs() + std::max(0, timeoutMs);
    char chunk[16384];
    for (;;) {
        while (TakeFrame(packet)) {
            if (packet.type == net::PACKET_TYPE_KEEPALIVE) continue;
            Note(packet);
            return ReadResult::Packet;
        }
        if (broken_) return ReadResult::Closed;
        KeepAliveIfDue();
        int64_t now = clock::MonotonicMs();
        int64_t wait = deadline - now;
        if (keepAliveMs_ > 0) wait = std::min<int64_t>(wait, lastSendMs_ + keepAliveMs_ - now);
        long n = socket_.ReceiveFor(chunk, sizeof chunk, static_cast<int>(std::max<int64_t>(0, wait)));
        if (n == -2) {
            if (clock::MonotonicMs() >= deadline) return ReadResult::Timeout;
            continue;
        }
        if (n <= 0) {
            broken_ = true;
            return ReadResult::Closed;
        }
        if (consumed_ > 0 && consumed_ >= buffer_.size() / 2) {
            buffer_.erase(0, consumed_);
            consumed_ = 0;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

const SourceInfo* ClientLink::FindSource(int32_t index) const {
    for (const SourceInfo& s : sources_) {
        if (s.index == index) return &s;
    }
    return nullptr;
}

}  // namespace alarmcli
