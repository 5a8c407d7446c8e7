// Console keys and stop signals for a server run by hand.
//
// When standard input is a terminal it is switched to non-canonical, no-echo mode for the
// life of a ConsoleKeys object and restored afterwards. A pipe works the same way, which
// is how tests press keys. Escape sequences (arrow and function keys) are not the Esc key.
#pragma once

#include <atomic>
#include <string>
#include <termios.h>

namespace platform::console {

constexpr int kEsc = 27;
constexpr int kNoKey = -1;

class ConsoleKeys {
public:
    explicit ConsoleKeys(int fd = 0);
    ~ConsoleKeys();
    ConsoleKeys(const ConsoleKeys&) = delete;
    ConsoleKeys& operator=(const ConsoleKeys&) = delete;

    // The next key pressed, without waiting; kNoKey when none is waiting.
    int PollKey();

private:
    int fd_;
    bool restore_ = false;
    bool eof_ = false;
    termios saved_{};
    std::string pending_;
};

// SIGINT and SIGTERM set a flag that the supervisory loop polls; a second signal does not
// skip the orderly shutdown.
void InstallStopSignals();
bool StopRequested();
void ClearStopRequest();

// Console output of the server's own texts (UTF-8 on Linux); flushed at once.
void Print(const std::string& text);

}  // namespace platform::console
