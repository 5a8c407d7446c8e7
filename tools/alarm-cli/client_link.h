// alarm-cli's connection to Heraldon's client port: connect, read the welcome, identify,
// keep the connection alive and hand out the server's packets one at a time with a
// bounded wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"

namespace alarmcli {

struct SourceInfo {
    std::string name;  // as on the wire (Windows-1252)
    std::string description;
    int32_t index = 0;
    int32_t enabled = 0;
    int32_t running = 0;
};

struct Packet {
    uint32_t type = 0;
    std::string payload;

    const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(payload.data()); }
    size_t Size() const { return payload.size(); }
};

enum class ReadResult { Packet, Timeout, Closed };

class ClientLink {
public:
    // Connects, waits for the welcome and identifies as an operator's list client under
    // userAnsi. On failure error holds a message for the operator.
    bool Open(const std::string& host, uint16_t port, std::string_view userAnsi, int timeoutMs,
              std::string& error);

    bool Send(uint32_t type, std::string_view payload = {});

    // The next packet within timeoutMs (0: only what has already arrived). Keepalives are
    // answered on the way and never returned; source status and server information are
    // noted here and still returned, for callers that show them.
    ReadResult Next(Packet& packet, int timeoutMs);

    const std::string& Endpoint() const { return endpoint_; }
    const std::vector<SourceInfo>& Sources() const { return sources_; }
    const SourceInfo* FindSource(int32_t index) const;
    int32_t ProtocolVersion() const { return protocolVersion_; }
    int32_t KeepAliveMs() const { return keepAliveMs_; }
    // From the server information packet; -1 before it arrived.
    int32_t ObjectsInUse() const { return objectsInUse_; }
    bool Standby() const { return standby_; }

private:
    bool TakeFrame(Packet& packet);
    void Note(const Packet& packet);
    bool ReadWelcome(const Packet& packet);
    void KeepAliveIfDue();

    platform::net::Socket socket_;
    std::string endpoint_;
    std::string buffer_;
    size_t consumed_ = 0;  // bytes of buffer_ already handed out
    bool broken_ = false;
    int64_t lastSendMs_ = 0;
    int32_t protocolVersion_ = 0;
    int32_t keepAliveMs_ = 0;
    int32_t objectsInUse_ = -1;
    bool standby_ = false;
    std::vector<SourceInfo> sources_;
};

}  // namespace alarmcli
