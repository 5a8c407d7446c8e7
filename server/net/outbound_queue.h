// Bytes waiting to go out on one connection, sent by that connection's own writer thread.
//
// Senders only append, so nobody ever blocks on a slow peer while holding the alarm data
// lock; the order of packets on the connection is the order of Push() calls. A peer that
// stops reading fills its queue; Push() then fails and the caller closes the connection,
// as it would after a failed send.
//
// Thread-safe.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/socket.h"

namespace heraldon::net {

class OutboundQueue {
public:
    explicit OutboundQueue(size_t limitBytes) : limit_(limitBytes) {}
    ~OutboundQueue() { Stop(); }
    OutboundQueue(const OutboundQueue&) = delete;
    OutboundQueue& operator=(const OutboundQueue&) = delete;

    // Starts the writer on socket, which must outlive Stop().
    void Start(platform::net::Socket& socket);

    enum class PushResult { Queued, Overflow, Closed };
    // A packet sent to many connections is built once and shared.
    using Bytes = std::shared_ptr<const std::string>;
    PushResult Push(Bytes bytes);
    PushResult Push(std::string bytes) { return Push(std::make_shared<const std::string>(std::move(bytes))); }

    // Waits until everything queued so far is sent, at most timeoutMs.
    void Drain(int timeoutMs);

    // Ends the writer. Whatever is still queued is dropped; a writer blocked in a send is
    // woken only by shutting the socket down, which the owner does first.
    void Stop();

    size_t QueuedBytes();

private:
    void WriterLoop(platform::net::Socket* socket);

    const size_t limit_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Bytes> packets_;        // guarded by lock_
    size_t queued_ = 0;                // guarded by lock_
    bool sending_ = false;             // guarded by lock_: the writer holds packets
    bool gathering_ = false;           // guarded by lock_: the writer waits on its timer
    bool closed_ = false;              // guarded by lock_
    std::thread writer_;
};

}  // namespace heraldon::net
