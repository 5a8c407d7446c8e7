// A listening socket shared between the thread that accepts on it and the thread that
// stops it. Only the listener thread opens and closes the socket; a stop shuts it down,
// which wakes the blocked accept, and refuses any socket the listener opens after it.
#pragma once

#include <mutex>

#include "platform/socket.h"

namespace heraldon::net {

class ListenerSlot {
public:
    // Before the listener thread starts.
    void Reset() {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = false;
    }
    // False, with the socket closed, once a stop has been asked for.
    bool Set(platform::net::Socket socket) {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) return false;
        socket_ = std::move(socket);
        return true;
    }
    platform::net::Socket& Socket() { return socket_; }
    void Stop() {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        socket_.Shutdown();
    }
    void Close() {
        std::lock_guard<std::mutex> guard(lock_);
        socket_.Close();
    }

private:
    std::mutex lock_;
    bool stopping_ = false;         // guarded by lock_
    platform::net::Socket socket_;  // opened and closed by the listener thread only
};

}  // namespace heraldon::net
