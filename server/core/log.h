// The server log: one line per message, time-stamped, appended to the day's file in the
// data folder and echoed to the console.
//
// A line logged after a quiet spell is written before Log() returns. In a flood (an event
// line per event) lines gather for up to kLogGatherMs and go out in one write; the
// supervisory loop calls Flush() every pass, so no line waits longer than that pass.
//
// Thread-safe. The log lock is the innermost lock of the server: Log() may be called
// while holding any other lock, and nothing else is locked while a line is written.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>

namespace heraldon {

// The longest line, time stamp included; longer text is cut.
constexpr size_t kMaxLogLine = 2055;
constexpr int64_t kLogGatherMs = 10;

class ServerLog {
public:
    // Until Configure() runs nothing is written: the number of days to keep decides
    // whether there is a log at all, and it is only known once the configuration is read.
    // daysToKeep 0 turns the log off.
    void Configure(const std::string& logFolder, int daysToKeep, bool echo);
    void SetEcho(bool echo);

    void Write(const char* format, va_list args);
    // Writes every gathered line now.
    void Flush();
    ~ServerLog();

    // Path of the file a line written at this local time goes to.
    std::string FilePathFor(const std::tm& localTime) const;

private:
    void FlushLocked(int64_t nowMs);

    std::mutex lock_;
    std::string folder_;    // guarded by lock_
    std::string openPath_;  // guarded by lock_: the day file fd_ belongs to
    int fd_ = -1;           // guarded by lock_
    int64_t checkedSecond_ = -1;  // guarded by lock_
    std::string pendingPath_;     // guarded by lock_: the day file pending_ belongs to
    int pendingDate_ = 0;         // guarded by lock_: its date, year * 10000 + month * 100 + day
    std::string pending_;         // guarded by lock_: lines not yet in the file
    std::string pendingEcho_;     // guarded by lock_: the same lines for the console
    int64_t lastFlushMs_ = -1000000;  // guarded by lock_
    bool enabled_ = false;  // guarded by lock_
    bool echo_ = false;     // guarded by lock_
};

ServerLog& TheLog();

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Debug trace of the service wrapper: "[service](thread): message" to the file named by
// HERALDON_TRACE, nowhere when it is unset. Never reaches the log file or the console.
void SetTraceName(const std::string& serviceName);
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace heraldon
