// Control requests from the service supervisor, which on Linux arrive as signals: SIGTERM
// (systemd's stop, also sent at machine shutdown) and SIGINT ask for a stop, SIGHUP asks
// for the current status.
//
// A signal handler may do almost nothing safely, so it only writes the request's control
// code into a pipe; a control thread of its own reads the pipe and calls the handler with
// it, where locks, logging and the supervisor messages are allowed.
//
// Signals belong to the whole process: at most one ControlChannel may be open at a time.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace heraldon::service {

// Control codes as the server's handler knows them.
constexpr unsigned long kControlStop = 1;
constexpr unsigned long kControlPause = 2;
constexpr unsigned long kControlContinue = 3;
constexpr unsigned long kControlInterrogate = 4;
constexpr unsigned long kControlShutdown = 5;
constexpr unsigned long kFirstUserControl = 128;

class ControlChannel {
public:
    ControlChannel() = default;
    ~ControlChannel() { Close(); }
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    // Installs the signal handlers and starts the control thread; false (with errno set)
    // when that is not possible or another channel is open.
    bool Open(std::function<void(unsigned long)> handler);

    // Puts the previous signal handlers back and ends the control thread after the request
    // it is handling. Must not be called from the handler.
    void Close();

private:
    void Loop();

    std::function<void(unsigned long)> handler_;
    std::thread thread_;
    std::atomic<int> quit_{0};
    bool open_ = false;
};

}  // namespace heraldon::service
