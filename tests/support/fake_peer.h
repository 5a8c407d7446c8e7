// The far end of one of the server's TCP links, driven by a test: sends packets in the
// common framing and reads what the server sends, every wait bounded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"

namespace testing_support {

struct Packet {
    uint32_t type = 0;
    std::string payload;
};

class FakePeer {
public:
    FakePeer(uint16_t port, int timeoutMs = 5000)
        : socket_(platform::net::Connect("127.0.0.1", port, timeoutMs)) {}

    bool Connected() const { return socket_.IsOpen(); }
    bool Send(uint32_t type, std::string_view payload);
    bool SendRaw(std::string_view bytes);
    // The next packet, within timeoutMs; false on time-out or when the server closed.
    bool Receive(Packet& packet, int timeoutMs = 5000);
    // Skips packets until one of this type arrives.
    bool ReceiveType(uint32_t type, Packet& packet, int timeoutMs = 5000);
    // True when the server closes the connection within timeoutMs (what it sends before
    // is read and dropped).
    bool ClosedByServer(int timeoutMs = 5000);
    void Close() { socket_.Close(); }

private:
    platform::net::Socket socket_;
    std::string buffer_;
};

// A payload of zero-terminated text fields.
std::string Fields(std::initializer_list<std::string_view> fields);
// The fields of such a payload.
std::vector<std::string> SplitFields(std::string_view payload);

}  // namespace testing_support
