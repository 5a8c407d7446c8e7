#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"

namespace platform::net {

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_.store(other.fd_.exchange(-1));
    }
    return *this;
}

void Socket::Shutdown() {
    int fd = fd_.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void Socket::Close() {
    int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

bool Socket::SendAll(const void* data, size_t size) {
    int fd = fd_.load();
    if (fd < 0) return false;
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

long Socket::Receive(void* buffer, size_t size) {
    int fd = fd_.load();
    if (fd < 0) return -1;
    for (;;) {
        ssize_t n = ::recv(fd, buffer, size, 0);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}

long Socket::ReceiveFor(void* buffer, size_t size, int timeoutMs) {
    int fd = fd_.load();
    if (fd < 0) return -1;
    pollfd p{fd, POLLIN, 0};
    int64_t deadline = clock::MonotonicMs() + timeoutMs;
    for (;;) {
        int left = static_cast<int>(std::max<int64_t>(0, deadline - clock::MonotonicMs()));
        int rc = ::poll(&p, 1, left);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return -1;
        if (rc == 0) return -2;
        return Receive(buffer, size);
    }
}

uint32_t Socket::PeerAddress() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(fd_.load(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohl(addr.sin_addr.s_addr);
}

std::string Socket::PeerText() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(fd_.load(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "";
    return AddressText(ntohl(addr.sin_addr.s_addr), ntohs(addr.sin_port));
}

std::string AddressText(uint32_t a, uint16_t port) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%d", (a >> 24) & 0xFF, (a >> 16) & 0xFF,
                  (a >> 8) & 0xFF, a & 0xFF, static_cast<int>(port));
    return text;
}

Socket Listen(uint16_t port, ListenError* error) {
    ListenError ignored;
    ListenError& failed = error != nullptr ? *error : ignored;
    failed = ListenError::None;
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.IsOpen()) {
        failed = ListenError::Create;
        return s;
    }
    int one = 1;
    ::setsockopt(s.Fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(s.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        failed = ListenError::Bind;
        s.Close();
    } else if (::listen(s.Fd(), SOMAXCONN) != 0) {
        failed = ListenError::Listen;
        s.Close();
    }
    return s;
}

uint16_t LocalPort(const Socket& socket) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(socket.Fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

Socket Accept(Socket& listener) {
    for (;;) {
        int fd = ::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return Socket(fd);
        }
        // A peer that gave up before we accepted it is no reason to stop listening.
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
        return Socket();
    }
}

std::vector<uint32_t> Resolve(const std::string& host) {
    std::vector<uint32_t> out;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) return out;
    for (addrinfo* a = result; a != nullptr; a = a->ai_next) {
        auto* in = reinterpret_cast<sockaddr_in*>(a->ai_addr);
        uint32_t address = ntohl(in->sin_addr.s_addr);
        if (std::find(out.begin(), out.end(), address) == out.end()) out.push_back(address);
    }
    ::freeaddrinfo(result);
    return out;
}

Socket Connect(const std::string& host, uint16_t port, int timeoutMs) {
    for (uint32_t address : Resolve(host)) {
        Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!s.IsOpen()) return s;
        int flags = ::fcntl(s.Fd(), F_GETFL, 0);
        ::fcntl(s.Fd(), F_SETFL, flags | O_NONBLOCK);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(address);
        addr.sin_port = htons(port);
        int rc = ::connect(s.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{s.Fd(), POLLOUT, 0};
            int error = 0;
            socklen_t len = sizeof error;
            if (::poll(&p, 1, timeoutMs) == 1 &&
                ::getsockopt(s.Fd(), SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0) {
                rc = 0;
            }
        }
        if (rc == 0) {
            ::fcntl(s.Fd(), F_SETFL, flags);
            int one = 1;
            ::setsockopt(s.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return s;
        }
    }
    return Socket();
}

void IgnoreSigpipe() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace platform::net
