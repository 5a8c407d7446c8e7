#include "server/service/service_events.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

namespace heraldon::service {

namespace {

std::mutex g_lock;
// openlog keeps the pointer, not a copy: the ident must outlive the connection.
std::string g_ident;    // guarded by g_lock
bool g_opened = false;  // guarded by g_lock

bool IsInformation(int id) {
    return id == kEventInstalled || id == kEventRemoved || id == kEventStarted ||
           id == kEventStopped;
}

const char* EventMeaning(int id) {
    switch (id) {
        case kEventInstalled:
            return "service installed";
        case kEventRemoved:
            return "service removed";
        case kEventRemoveFailed:
            return "service could not be removed";
        case kEventHandlerFailed:
            return "control handler could not be registered";
        case kEventInitFailed:
            return "initialisation failed";
        case kEventStarted:
            return "service started";
        case kEventBadControl:
            return "control request not understood";
        case kEventStopped:
            return "service stopped by a stop request";
        default:
            return "unknown event";
    }
}

}  // namespace

const char* EventType(int id) {
    return IsInformation(id) ? "information" : "error";
}

std::string EventText(int id, const std::string& insertion) {
    std::string text = EventMeaning(id);
    if (!insertion.empty()) text += ": " + insertion;
    return text;
}

void WriteEvent(const std::string& serviceName, int id, const std::string& insertion) {
    std::string text = EventText(id, insertion);
    std::lock_guard<std::mutex> guard(g_lock);

    const char* sink = std::getenv("HERALDON_EVENT_SINK");
    if (sink != nullptr && sink[0] != '\0') {
        std::string line = std::to_string(id) + " " + EventType(id) + " " + text + "\n";
        int fd = ::open(sink, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return;
        ssize_t ignored = ::write(fd, line.data(), line.size());
        (void)ignored;
        ::close(fd);
        return;
    }

    if (!g_opened || g_ident != serviceName) {
        if (g_opened) ::closelog();
        g_ident = serviceName;
        ::openlog(g_ident.c_str(), LOG_PID, LOG_DAEMON);
        g_opened = true;
    }
    ::syslog(IsInformation(id) ? LOG_INFO : LOG_ERR, "Event %d: %s", id, text.c_str());
}

void CloseEventSource() {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_opened) ::closelog();
    g_opened = false;
}

}  // namespace heraldon::service
