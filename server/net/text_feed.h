// The text event feed: one line per alarm event (inactivated, activated, acknowledged) to
// every program connected to the feed port, built from the TesselFormat template.
//
// The feed client list belongs to the server and is guarded by its feed lock; the alarm
// data lock, when held, is always taken before it. Lines go out through each client's
// own bounded queue, so a feed reader that stops reading delays neither the event path nor
// the other readers.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/socket.h"
#include "server/net/outbound_queue.h"
#include "server/store/alarm_source.h"

namespace heraldon {

constexpr size_t kFeedQueueLimit = 16 * 1024 * 1024;

struct FeedClient {
    explicit FeedClient(platform::net::Socket s) : socket(std::move(s)), name(socket.PeerText()) {}
    ~FeedClient();

    platform::net::Socket socket;
    std::string name;
    int keepAliveCountdown = 0;
    std::atomic<int> active{1};  // cleared by the reader thread as it ends
    std::atomic<int> closed{0};
    net::OutboundQueue queue{kFeedQueueLimit};
    std::thread thread;

    bool SocketOpen() const { return closed.load() == 0 && socket.IsOpen(); }
    void CloseSocket() {
        closed.store(1);
        socket.Shutdown();
    }
};

// The line for one event, without its line end.
std::string FormatTextEvent(const AlarmObject& object, const std::string& format, int32_t eventType);

// Every event goes here; only types 0, 1 and 2 make a line.
void SendTextEvent(AlarmSource& source, AlarmObject& object, int32_t eventType);

// A source thread marks the burst of packets it got in one receive. Within it the
// template is looked up once: its events were all sent before the first was handled, so
// an edit made since is no older than they are. Elsewhere every line looks.
void TextFeedBurst(bool begins);

// The listener thread's body, started with the alarm threads.
void RunTextFeedListener();

// Every supervisory pass: keep-alives, and removal of clients whose reader has ended.
void TextFeedTimers(int elapsedMs);

// At the stop of the alarm threads: closes every feed client and waits for its reader.
void CloseTextFeedClients();

}  // namespace heraldon
