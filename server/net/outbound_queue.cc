#include "server/net/outbound_queue.h"

#include <chrono>

namespace heraldon::net {

void OutboundQueue::Start(platform::net::Socket& socket) {
    writer_ = std::thread([this, &socket] { WriterLoop(&socket); });
}

OutboundQueue::PushResult OutboundQueue::Push(Bytes bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return PushResult::Closed;
    if (queued_ + bytes->size() > limit_) return PushResult::Overflow;
    queued_ += bytes->size();
    bool wasIdle = packets_.empty() && !sending_;
    packets_.push_back(std::move(bytes));
    // Only an idle writer waits for a signal; a busy one looks again after its send.
    if (wasIdle) changed_.notify_all();
    return PushResult::Queued;
}

void OutboundQueue::WriterLoop(platform::net::Socket* socket) {
    constexpr size_t kBatchBytes = 256 * 1024;
    std::string batch;
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [&] { return closed_ || !packets_.empty(); });
        if (closed_) return;
        // In a flood, let a few more packets gather before the send: one wake-up and one
        // system call per millisecond instead of one per event keeps many connections from
        // taking the processors from the event path. A quiet link sends at once.
        if (queued_ < kBatchBytes && packets_.size() > 1) {
            changed_.wait_for(guard, std::chrono::milliseconds(1),
                              [&] { return closed_ || queued_ >= kBatchBytes; });
            if (closed_) return;
        }
        // Everything waiting goes out in one send: one system call for a burst of events,
        // not one per packet.
        batch.clear();
        while (!packets_.empty() && batch.size() < kBatchBytes) {
            batch.append(*packets_.front());
            packets_.pop_front();
        }
        sending_ = true;
        guard.unlock();
        bool sent = socket->SendAll(batch.data(), batch.size());
        guard.lock();
        sending_ = false;
        queued_ -= batch.size();
        changed_.notify_all();
        if (!sent) {
            // The reader sees the broken connection too and ends it; refuse further packets.
            closed_ = true;
            packets_.clear();
            queued_ = 0;
            socket->Shutdown();
            return;
        }
    }
}

void OutboundQueue::Drain(int timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                      [&] { return closed_ || (packets_.empty() && !sending_); });
}

void OutboundQueue::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        packets_.clear();
        changed_.notify_all();
    }
    if (writer_.joinable()) writer_.join();
}

size_t OutboundQueue::QueuedBytes() {
    std::lock_guard<std::mutex> guard(lock_);
    return queued_;
}

}  // namespace heraldon::net
