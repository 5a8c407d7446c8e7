// For the service tests: environment variables set for one test, and a stand-in for
// systemd's notify socket.
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// Sets (or, with nullptr, removes) an environment variable and puts the old value back at
// the end of the scope. Children started meanwhile inherit it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = ::getenv(name)) previous_ = old;
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
    ~ScopedEnv() {
        if (previous_) {
            ::setenv(name_.c_str(), previous_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// Binds a datagram socket, points NOTIFY_SOCKET at it for the life of the object, and hands
// out what the server sends, one datagram at a time, with a bounded wait.
class NotifyTestSocket {
public:
    // A file-system path, or "@name" for the abstract namespace.
    explicit NotifyTestSocket(const std::string& name) : env_("NOTIFY_SOCKET", name) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (name.empty() || name.size() >= sizeof address.sun_path) return;
        std::memcpy(address.sun_path, name.data(), name.size());
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        if (name[0] == '@') address.sun_path[0] = '\0';
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    }
    ~NotifyTestSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    NotifyTestSocket(const NotifyTestSocket&) = delete;
    NotifyTestSocket& operator=(const NotifyTestSocket&) = delete;

    bool Bound() const { return bound_; }

    // The next datagram, or nothing when none came within timeoutMs.
    std::optional<std::string> Receive(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) return std::nullopt;
        char buffer[4096];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        std::string text(buffer, static_cast<size_t>(n));
        received_.push_back(text);
        return text;
    }

    // Reads datagrams until one contains text; false when none did within timeoutMs.
    bool WaitFor(const std::string& text, int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            std::optional<std::string> next = Receive(static_cast<int>(left.count()));
            if (!next) return false;
            if (next->find(text) != std::string::npos) return true;
        }
    }

    // Everything received so far, in order.
    const std::vector<std::string>& Received() const { return received_; }

private:
    ScopedEnv env_;
    int fd_ = -1;
    bool bound_ = false;
    std::vector<std::string> received_;
};

}  // namespace testing_support
