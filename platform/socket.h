// IPv4 TCP sockets for the server's listeners and connections.
//
// A Socket owns its descriptor and closes it when destroyed. Only the owning thread closes
// a socket; another thread that must wake a blocked accept or receive calls Shutdown(),
// which is safe while the owner is blocked in the same socket.
//
// Sends never raise SIGPIPE (MSG_NOSIGNAL, and IgnoreSigpipe() at start-up): a vanished
// peer is an error return, never the end of the server.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::net {

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept : fd_(other.fd_.exchange(-1)) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool IsOpen() const { return fd_.load() >= 0; }
    int Fd() const { return fd_.load(); }

    // Wakes every thread blocked on this socket: accept fails, receive returns 0.
    // Any thread may call it; the descriptor stays valid until the owner closes it.
    void Shutdown();
    void Close();

    // Blocks until every byte is sent; false when the connection failed.
    bool SendAll(const void* data, size_t size);
    // Blocks until some bytes arrive; returns their count, 0 at end of stream or after
    // Shutdown, -1 on error.
    long Receive(void* buffer, size_t size);
    // Like Receive but waits at most timeoutMs; returns -2 on time-out.
    long ReceiveFor(void* buffer, size_t size, int timeoutMs);

    // "%u.%u.%u.%u:%d" of the peer; "" when unknown.
    std::string PeerText() const;
    uint32_t PeerAddress() const;  // host byte order; 0 when unknown

private:
    std::atomic<int> fd_{-1};
};

// A listening socket on every local IPv4 address, with SO_REUSEADDR and a SOMAXCONN
// backlog. Port 0 picks a free port (tests). Returns a closed Socket on failure, and the
// step that failed in error, so callers can say which.
enum class ListenError { None, Create, Bind, Listen };
Socket Listen(uint16_t port, ListenError* error = nullptr);
uint16_t LocalPort(const Socket& socket);

// Blocks until a connection arrives; a closed Socket when the listener was shut down or
// failed.
Socket Accept(Socket& listener);

// Resolves host (name or dotted address) and connects within timeoutMs.
Socket Connect(const std::string& host, uint16_t port, int timeoutMs);

// IPv4 addresses (host byte order) a host name resolves to; empty when it does not.
std::vector<uint32_t> Resolve(const std::string& host);

std::string AddressText(uint32_t hostOrderAddress, uint16_t port);

void IgnoreSigpipe();

}  // namespace platform::net
