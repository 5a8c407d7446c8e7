#include "server/service/service_control.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <mutex>

namespace heraldon::service {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr unsigned char kWakeUp = 0;  // not a control code: only makes the thread look at quit_

// The pipe lives as long as the process: a signal that arrives while a channel closes may
// still be writing, and must never write into a descriptor that was closed and reused.
std::once_flag g_pipeOnce;
int g_pipe[2] = {-1, -1};
std::atomic<int> g_writeEnd{-1};
std::atomic<bool> g_channelOpen{false};
struct sigaction g_previous[3];

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads g_writeEnd");

extern "C" void OnControlSignal(int signal) {
    int savedErrno = errno;
    unsigned char code = signal == SIGHUP ? kControlInterrogate : kControlStop;
    int fd = g_writeEnd.load();
    // Non-blocking: with the pipe full, requests enough are already waiting.
    if (fd >= 0) {
        ssize_t ignored = ::write(fd, &code, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

bool MakePipe() {
    std::call_once(g_pipeOnce, [] {
        if (::pipe2(g_pipe, O_CLOEXEC) != 0) return;
        ::fcntl(g_pipe[1], F_SETFL, ::fcntl(g_pipe[1], F_GETFL) | O_NONBLOCK);
        g_writeEnd.store(g_pipe[1]);
    });
    return g_pipe[0] >= 0;
}

}  // namespace

bool ControlChannel::Open(std::function<void(unsigned long)> handler) {
    if (open_ || g_channelOpen.exchange(true)) {
        errno = EBUSY;
        return false;
    }
    if (!MakePipe()) {
        int error = errno;
        g_channelOpen.store(false);
        errno = error;
        return false;
    }
    handler_ = std::move(handler);
    quit_.store(0);
    try {
        thread_ = std::thread([this] { Loop(); });
    } catch (const std::system_error& e) {
        g_channelOpen.store(false);
        errno = e.code().value();
        return false;
    }

    struct sigaction action {};
    action.sa_handler = OnControlSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        ::sigaction(kSignals[i], &action, &g_previous[i]);
    }
    open_ = true;
    return true;
}

void ControlChannel::Close() {
    if (!open_) return;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        ::sigaction(kSignals[i], &g_previous[i], nullptr);
    }
    quit_.store(1);
    // Blocking is fine here: the control thread empties the pipe.
    unsigned char wake = kWakeUp;
    while (::write(g_pipe[1], &wake, 1) < 0 && (errno == EINTR || errno == EAGAIN)) {
    }
    thread_.join();
    handler_ = nullptr;
    open_ = false;
    g_channelOpen.store(false);
}

void ControlChannel::Loop() {
    for (;;) {
        unsigned char code = 0;
        ssize_t n = ::read(g_pipe[0], &code, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || quit_.load() != 0) return;
        if (code != kWakeUp) handler_(code);
    }
}

}  // namespace heraldon::service
