#include "platform/console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <algorithm>
#include <cstdio>

namespace platform::console {

namespace {

std::atomic<int> g_stopRequested{0};

extern "C" void OnStopSignal(int) { g_stopRequested.store(1); }

}  // namespace

ConsoleKeys::ConsoleKeys(int fd) : fd_(fd) {
    if (::isatty(fd_) && ::tcgetattr(fd_, &saved_) == 0) {
        termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        restore_ = ::tcsetattr(fd_, TCSANOW, &raw) == 0;
    }
}

ConsoleKeys::~ConsoleKeys() {
    if (restore_) ::tcsetattr(fd_, TCSANOW, &saved_);
}

int ConsoleKeys::PollKey() {
    // Read everything that is waiting at once, so that an escape sequence arrives whole and
    // can be told from a lone Esc.
    while (!eof_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) != 1) break;
        char buffer[64];
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A closed pipe or /dev/null: no operator is there, stop asking.
            eof_ = n == 0 || errno != EAGAIN;
            break;
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
    while (!pending_.empty()) {
        unsigned char c = static_cast<unsigned char>(pending_[0]);
        if (c == kEsc && pending_.size() > 1 && (pending_[1] == '[' || pending_[1] == 'O')) {
            // CSI: parameter and intermediate bytes, then a final byte in 0x40..0x7E.
            // SS3: exactly one final byte.
            size_t end = 2;
            if (pending_[1] == '[') {
                while (end < pending_.size() && (pending_[end] < 0x40 || pending_[end] > 0x7E)) {
                    ++end;
                }
            }
            pending_.erase(0, std::min(end + 1, pending_.size()));
            continue;
        }
        pending_.erase(0, 1);
        return c;
    }
    return kNoKey;
}

void InstallStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() { return g_stopRequested.load() != 0; }
void ClearStopRequest() { g_stopRequested.store(0); }

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace platform::console
