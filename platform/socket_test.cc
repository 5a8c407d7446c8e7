#include "platform/socket.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using platform::net::Socket;

TEST(Socket, ListenerOnPortZeroAcceptsAndCarriesBytesBothWays) {
    Socket listener = platform::net::Listen(0);
    ASSERT_TRUE(listener.IsOpen());
    uint16_t port = platform::net::LocalPort(listener);
    ASSERT_NE(port, 0);

    Socket client = platform::net::Connect("127.0.0.1", port, 2000);
    ASSERT_TRUE(client.IsOpen());
    Socket server = platform::net::Accept(listener);
    ASSERT_TRUE(server.IsOpen());
    EXPECT_EQ(server.PeerText().rfind("127.0.0.1:", 0), 0u);

    ASSERT_TRUE(client.SendAll("ping", 4));
    char buffer[8] = {};
    ASSERT_EQ(server.ReceiveFor(buffer, sizeof buffer, 2000), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
}

TEST(Socket, ShutdownFromAnotherThreadWakesBlockedAcceptAndReceive) {
    Socket listener = platform::net::Listen(0);
    ASSERT_TRUE(listener.IsOpen());
    uint16_t port = platform::net::LocalPort(listener);

    std::thread acceptor([&] { EXPECT_FALSE(platform::net::Accept(listener).IsOpen()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    listener.Shutdown();
    acceptor.join();

    Socket other = platform::net::Listen(0);
    Socket client = platform::net::Connect("127.0.0.1", platform::net::LocalPort(other), 2000);
    Socket server = platform::net::Accept(other);
    std::thread reader([&] {
        char c;
        EXPECT_EQ(server.Receive(&c, 1), 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.Shutdown();
    reader.join();
    (void)port;
}

TEST(Socket, SendToAVanishedPeerFailsWithoutKillingTheProcess) {
    platform::net::IgnoreSigpipe();
    Socket listener = platform::net::Listen(0);
    Socket client = platform::net::Connect("127.0.0.1", platform::net::LocalPort(listener), 2000);
    {
        Socket server = platform::net::Accept(listener);
    }
    std::string block(1 << 16, 'x');
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i) failed = !client.SendAll(block.data(), block.size());
    EXPECT_TRUE(failed);
}

TEST(Socket, ARestartedListenerGetsItsPortBackAtOnce) {
    uint16_t port;
    {
        Socket listener = platform::net::Listen(0);
        port = platform::net::LocalPort(listener);
        Socket client = platform::net::Connect("127.0.0.1", port, 2000);
        Socket server = platform::net::Accept(listener);
        server.Close();  // the server side closes first and keeps TIME_WAIT
    }
    EXPECT_TRUE(platform::net::Listen(port).IsOpen());
}

TEST(Socket, ConnectToAClosedPortFails) {
    uint16_t port;
    {
        Socket listener = platform::net::Listen(0);
        port = platform::net::LocalPort(listener);
    }
    EXPECT_FALSE(platform::net::Connect("127.0.0.1", port, 1000).IsOpen());
    EXPECT_FALSE(platform::net::Connect("no-such-host.invalid", port, 1000).IsOpen());
}

}  // namespace
