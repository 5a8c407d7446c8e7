#include "server/net/outbound_queue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

namespace heraldon::net {

void OutboundQueue::Start(platform::net::Socket& socket) {
    writer_ = std::thread([this, &socket] { WriterLoop(&socket); });
}

namespace {

constexpr size_t kBatchBytes = 256 * 1024;

// Writers alive in the process. In a flood each gathers for longer the more there are, so
// that together they wake about ten thousand times a second: a millisecond for ten
// connections, twenty for two hundred, whose wake-ups would otherwise take the processors
// from the event path.
std::atomic<int> g_writers{0};

std::chrono::milliseconds GatherTime() {
    return std::chrono::milliseconds(std::clamp(g_writers.load(std::memory_order_relaxed) / 10, 1, 20));
}

}  // namespace

OutboundQueue::PushResult OutboundQueue::Push(Bytes bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return PushResult::Closed;
    if (queued_ + bytes->size() > limit_) return PushResult::Overflow;
    bool wasIdle = packets_.empty() && !sending_ && !gathering_;
    queued_ += bytes->size();
    packets_.push_back(std::move(bytes));
    // A busy writer looks again after its send, a gathering one when its time is up: only
    // an idle writer, or one whose batch is now full, needs the signal (a system call).
    if (wasIdle || (gathering_ && queued_ >= kBatchBytes)) changed_.notify_all();
    return PushResult::Queued;
}

void OutboundQueue::WriterLoop(platform::net::Socket* socket) {
    ++g_writers;
    struct Leaving {
        ~Leaving() { --g_writers; }
    } leaving;
    std::string batch;
    std::vector<Bytes> taken;
    taken.reserve(4096);  // a full batch of small packets, without growing in a flood
    bool flood = false;  // the last send left, or found, more than one packet waiting
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        if (flood) {
            // In a flood, let packets gather on the writer's own timer: one wake-up and one
            // system call per few milliseconds instead of one per event, and the event path
            // never has to wake anybody. A quiet link sends at once.
            gathering_ = true;
            changed_.wait_for(guard, GatherTime(),
                              [&] { return closed_ || queued_ >= kBatchBytes; });
            gathering_ = false;
        } else {
            changed_.wait(guard, [&] { return closed_ || !packets_.empty(); });
        }
        if (closed_) return;
        if (packets_.empty()) {
            flood = false;
            continue;
        }
        // Everything waiting goes out in one send: one system call for a burst of events,
        // not one per packet. Only the pointers are taken under the lock; the pushing
        // event path never waits for the copying.
        flood = packets_.size() > 1;
        size_t takenBytes = 0;
        while (!packets_.empty() && takenBytes < kBatchBytes) {
            takenBytes += packets_.front()->size();
            taken.push_back(std::move(packets_.front()));
            packets_.pop_front();
        }
        sending_ = true;
        guard.unlock();
        batch.clear();
        for (const Bytes& packet : taken) batch.append(*packet);
        taken.clear();
        bool sent = socket->SendAll(batch.data(), batch.size());
        guard.lock();
        sending_ = false;
        queued_ -= takenBytes;
        flood = flood || !packets_.empty();
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
