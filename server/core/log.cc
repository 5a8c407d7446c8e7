#include "server/core/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/text.h"

namespace heraldon {

namespace {

constexpr size_t kMaxTraceLine = 1023;

// The trace file is opened per line: tracing is rare and may be switched on at any time.
void AppendToFile(const std::string& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;  // a trace line that can not be written is simply lost
    ssize_t ignored = ::write(fd, text.data(), text.size());
    (void)ignored;
    ::close(fd);
}

std::mutex g_traceLock;
std::string g_traceName = "Heraldon";  // guarded by g_traceLock

}  // namespace

ServerLog& TheLog() {
    static ServerLog log;
    return log;
}

ServerLog::~ServerLog() {
    Flush();
    if (fd_ >= 0) ::close(fd_);
}

void ServerLog::Configure(const std::string& logFolder, int daysToKeep, bool echo) {
    std::lock_guard<std::mutex> guard(lock_);
    FlushLocked(platform::clock::MonotonicMs());
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    openPath_.clear();
    folder_ = logFolder;
    pendingDate_ = 0;
    enabled_ = daysToKeep != 0;
    echo_ = echo;
}

void ServerLog::SetEcho(bool echo) {
    std::lock_guard<std::mutex> guard(lock_);
    FlushLocked(platform::clock::MonotonicMs());
    echo_ = echo;
}

void ServerLog::Flush() {
    std::lock_guard<std::mutex> guard(lock_);
    FlushLocked(platform::clock::MonotonicMs());
}

std::string ServerLog::FilePathFor(const std::tm& t) const {
    char name[32];
    std::snprintf(name, sizeof name, "%04u-%02u-%02u.Log", static_cast<unsigned>(t.tm_year + 1900),
                  static_cast<unsigned>(t.tm_mon + 1), static_cast<unsigned>(t.tm_mday));
    return folder_ + name;
}

void ServerLog::Write(const char* format, va_list args) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!enabled_) return;

    std::tm now = platform::clock::LocalCalendarNow();
    char line[kMaxLogLine + 1];
    int prefix = std::snprintf(line, sizeof line, "%02u:%02u:%02u ",
                               static_cast<unsigned>(now.tm_hour),
                               static_cast<unsigned>(now.tm_min), static_cast<unsigned>(now.tm_sec));
    std::vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix), format, args);

    // The message mixes the system's 8-bit text (names from sources and clients) with
    // file-system paths; people read the file as UTF-8.
    std::string text = platform::text::ToDisplayUtf8(line);
    int64_t nowMs = platform::clock::MonotonicMs();
    // The first line after midnight goes to the next day's file.
    int date = (now.tm_year + 1900) * 10000 + (now.tm_mon + 1) * 100 + now.tm_mday;
    if (date != pendingDate_) {
        FlushLocked(nowMs);
        pendingPath_ = FilePathFor(now);
        pendingDate_ = date;
    }
    pending_ += text;
    pending_ += "\r\n";
    if (echo_) {
        pendingEcho_ += text;
        pendingEcho_ += '\n';
    }
    constexpr size_t kGatherBytes = 64 * 1024;
    if (nowMs - lastFlushMs_ >= kLogGatherMs || pending_.size() >= kGatherBytes) FlushLocked(nowMs);
}

void ServerLog::FlushLocked(int64_t nowMs) {
    if (!pendingEcho_.empty()) {
        platform::console::Print(pendingEcho_);
        pendingEcho_.clear();
    }
    if (pending_.empty()) return;
    lastFlushMs_ = nowMs;
    // The day's file stays open between writes. Once a second it also makes sure the file
    // is still there: a file someone deleted or moved is created again instead of
    // swallowing the lines.
    int64_t second = nowMs / 1000;
    struct stat st {};
    if (fd_ >= 0 && (pendingPath_ != openPath_ ||
                     (second != checkedSecond_ && (::fstat(fd_, &st) != 0 || st.st_nlink == 0)))) {
        ::close(fd_);
        fd_ = -1;
    }
    checkedSecond_ = second;
    if (fd_ < 0) {
        fd_ = ::open(pendingPath_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        openPath_ = pendingPath_;
    }
    if (fd_ >= 0) {
        ssize_t ignored = ::write(fd_, pending_.data(), pending_.size());
        (void)ignored;
    }
    pending_.clear();
}

void Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    TheLog().Write(format, args);
    va_end(args);
}

void SetTraceName(const std::string& serviceName) {
    std::lock_guard<std::mutex> guard(g_traceLock);
    g_traceName = serviceName;
}

void Trace(const char* format, ...) {
    const char* path = std::getenv("HERALDON_TRACE");
    if (path == nullptr || path[0] == '\0') return;

    char line[kMaxTraceLine + 1];
    int prefix;
    {
        std::lock_guard<std::mutex> guard(g_traceLock);
        prefix = std::snprintf(line, sizeof line, "[%s](%lu): ", g_traceName.c_str(),
                               static_cast<unsigned long>(::syscall(SYS_gettid)));
    }
    if (prefix < 0 || static_cast<size_t>(prefix) >= kMaxTraceLine) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix), format, args);
    va_end(args);
    std::string text = line;
    if (text.size() >= kMaxTraceLine) text.resize(kMaxTraceLine - 1);
    text += '\n';
    std::lock_guard<std::mutex> guard(g_traceLock);
    AppendToFile(path, text);
}

}  // namespace heraldon
