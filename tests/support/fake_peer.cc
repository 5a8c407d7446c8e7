#include "tests/support/fake_peer.h"

#include <chrono>

#include "server/net/frame.h"

namespace testing_support {

bool FakePeer::Send(uint32_t type, std::string_view payload) {
    std::string frame = heraldon::net::EncodeFrame(type, payload);
    return socket_.SendAll(frame.data(), frame.size());
}

bool FakePeer::SendRaw(std::string_view bytes) { return socket_.SendAll(bytes.data(), bytes.size()); }

bool FakePeer::Receive(Packet& packet, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        heraldon::net::Frame frame;
        auto status = heraldon::net::NextFrame(reinterpret_cast<const uint8_t*>(buffer_.data()),
                                               buffer_.size(), 64 * 1024 * 1024, frame);
        if (status == heraldon::net::FrameStatus::Ok) {
            packet.type = frame.type;
            packet.payload.assign(reinterpret_cast<const char*>(frame.payload), frame.payloadSize);
            buffer_.erase(0, frame.totalSize);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        char chunk[65536];
        long n = socket_.ReceiveFor(chunk, sizeof chunk, static_cast<int>(left));
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

bool FakePeer::ReceiveType(uint32_t type, Packet& packet, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || !Receive(packet, static_cast<int>(left))) return false;
        if (packet.type == type) return true;
    }
}

bool FakePeer::ClosedByServer(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char chunk[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        long n = socket_.ReceiveFor(chunk, sizeof chunk, static_cast<int>(left));
        if (n == 0 || n == -1) return true;
        if (n == -2) return false;
    }
}

std::string Fields(std::initializer_list<std::string_view> fields) {
    std::string payload;
    for (std::string_view f : fields) {
        payload.append(f);
        payload.push_back('\0');
    }
    return payload;
}

std::vector<std::string> SplitFields(std::string_view payload) {
    std::vector<std::string> fields;
    while (!payload.empty()) {
        size_t zero = payload.find('\0');
        fields.emplace_back(payload.substr(0, zero));
        payload.remove_prefix(zero == std::string_view::npos ? payload.size() : zero + 1);
    }
    return fields;
}

}  // namespace testing_support
