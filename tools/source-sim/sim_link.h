// The simulator's end of the Alarm Source protocol: one TCP connection to Heraldon, the
// packets a source sends and the decoding of what the server sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"
#include "tools/source-sim/sim_tags.h"

namespace sourcesim {

struct ReceivedPacket {
    uint32_t type = 0;
    std::string payload;
};

class SourceLink {
public:
    enum class ReadResult { Ok, Closed, Oversized };

    bool Open(const std::string& host, uint16_t port, int timeoutMs);
    void Close();
    bool IsOpen() const { return socket_.IsOpen(); }

    // Packets wait in an outgoing buffer until Flush, so that a refresh of many objects
    // goes out in large writes. A failed write closes the link.
    void Queue(uint32_t type, std::string_view payload);
    bool Flush();
    bool Send(uint32_t type, std::string_view payload) {
        Queue(type, payload);
        return Flush();
    }

    // Waits up to timeoutMs for bytes and appends every complete packet to `packets`.
    // Closed: the server went away. Oversized: a length beyond the protocol's limit, after
    // which the stream cannot be trusted; the caller closes the link.
    ReadResult Read(int timeoutMs, std::vector<ReceivedPacket>& packets);

private:
    platform::net::Socket socket_;
    std::vector<uint8_t> buffer_;
    size_t used_ = 0;
    std::string outgoing_;
};

// --- What the server sends ---------------------------------------------------------------

struct Welcome {
    int32_t lowest = 0;
    int32_t highest = 0;
    bool accepted = false;
    std::string greeting;
};
Welcome ParseWelcome(std::string_view payload);

// The version both ends will speak, by the server's rule: the newest one both offer.
// 0 when there is none.
int32_t NegotiatedVersion(int32_t ourLowest, int32_t ourHighest, const Welcome& welcome);

bool IsCommand(uint32_t type);

struct Command {
    uint32_t type = 0;
    uint32_t handle = 0;
    uint32_t fileRecord = 0;
    std::string tag;
    std::string user;
    std::string comment;
    uint32_t disableEnd = 0;  // DISABLE only: UTC seconds, 0 = no end
};
Command ParseCommand(uint32_t type, std::string_view payload);

// The event a source answers a command with; -1 for REMOVE, which has its own packet.
int AnswerEventType(uint32_t commandType);
const char* CommandName(uint32_t type);

// --- What the source sends ---------------------------------------------------------------

std::string IdentifyPayload(int32_t lowest, int32_t highest, std::string_view name);
std::string RefreshBeginPayload(int32_t version);
std::string StatusPayload(bool running);
std::string ObjectRemovedPayload(const SimTag& tag);

// Who did it, for an answer to an operator's command; empty fields leave the server's
// names as they are.
struct ByFields {
    std::string acked, disabled, enabled;
};

// The 34 object fields of OBJECT and EVENT. `forcedState` empty lets the server's state
// machine decide; a refresh forces the simulator's state so that both agree afterwards.
std::string ObjectPayload(const SimTag& tag, int eventType, std::optional<int> forcedState,
                          const ByFields& by);

}  // namespace sourcesim
