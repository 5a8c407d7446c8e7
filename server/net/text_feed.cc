#include "server/net/text_feed.h"

#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/ini.h"
#include "platform/text.h"
#include "server/core/alarm_time.h"
#include "server/core/config.h"
#include "server/core/heraldon.h"
#include "server/core/log.h"
#include "server/net/listen_loop.h"

namespace heraldon {

namespace {

constexpr size_t kReceiveBuffer = 131072;
constexpr size_t kMaxTemplate = 255;

// strftime of a time read as seconds since 1970 UTC and shown in the local zone. This is
// how the object's own time tokens have always been printed, although the stored value
// is already local wall-clock time; readers of the feed depend on it staying so.
std::string LocalText(int64_t seconds, const char* pattern) {
    time_t t = static_cast<time_t>(seconds);
    std::tm calendar{};
    if (localtime_r(&t, &calendar) == nullptr) return "";
    char text[64];
    size_t n = std::strftime(text, sizeof text, pattern, &calendar);
    return std::string(text, n);
}

int64_t EventTime(const AlarmObject& o, int32_t eventType) {
    switch (eventType) {
        case 0:
            return o.InActiveTime;
        case 1:
            return o.ActiveTime;
        case 2:
            return o.AckedTime;
        default:
            return 0;
    }
}

// The value of one token; false when the token names nothing and must stay as written.
bool TokenValue(const AlarmObject& o, std::string_view token, int32_t eventType, std::string& out) {
    using platform::text::EqualsNoCase;
    auto number = [&](int64_t value) {
        out = std::to_string(value);
        return true;
    };
    auto text = [&](std::string_view value) {
        out.assign(value);
        return true;
    };
    // Date and time tokens of the object's own times, as pairs sharing one field.
    struct TimeToken {
        const char* date;
        const char* time;
        int64_t AlarmObject::*field;
    };
    static constexpr TimeToken kTimes[] = {
        {"ActiveDate", "ActiveTime", &AlarmObject::ActiveTime},
        {"InActiveDate", "InActiveTime", &AlarmObject::InActiveTime},
        {"AckedDate", "AckedTime", &AlarmObject::AckedTime},
        {"DisabledDate", "DisabledTime", &AlarmObject::DisabledTime},
        {"DisabledExpireDate", "DisabledExpireTime", &AlarmObject::DisabledExpireTime},
    };

    if (EqualsNoCase(token, "Handle") || EqualsNoCase(token, "FileRecord")) return number(o.FileRecord);
    if (EqualsNoCase(token, "EventType") || EqualsNoCase(token, "Status")) return number(eventType);
    if (EqualsNoCase(token, "Status$")) {
        out = eventType == 0 ? "INACTIVE" : eventType == 1 ? "ACTIVE" : eventType == 2 ? "ACKED" : "";
        return true;
    }
    if (EqualsNoCase(token, "Tag")) return text(TextOf(o.Tag));
    if (EqualsNoCase(token, "Name")) return text(TextOf(o.Name));
    if (EqualsNoCase(token, "Description")) return text(TextOf(o.Description));
    if (EqualsNoCase(token, "SmallComment")) return text(TextOf(o.SmallComment));
    if (EqualsNoCase(token, "Help")) return text(TextOf(o.Help));
    if (EqualsNoCase(token, "Area")) return number(o.Area);
    if (EqualsNoCase(token, "Category")) return number(o.Category);
    if (EqualsNoCase(token, "Privilege")) return number(o.Privilege);
    if (EqualsNoCase(token, "SumState")) return text(TextOf(o.SumState));
    for (const TimeToken& t : kTimes) {
        if (EqualsNoCase(token, t.date)) return text(LocalText(o.*t.field, "%Y-%m-%d"));
        if (EqualsNoCase(token, t.time)) return text(LocalText(o.*t.field, "%H:%M:%S"));
    }
    if (EqualsNoCase(token, "AlarmDate")) return text(FormatAlarmTime(EventTime(o, eventType), true, false));
    if (EqualsNoCase(token, "AlarmTime")) return text(FormatAlarmTime(EventTime(o, eventType), false, true));
    if (EqualsNoCase(token, "Date")) return text(LocalText(platform::clock::UtcNow(), "%Y-%m-%d"));
    if (EqualsNoCase(token, "Time")) return text(LocalText(platform::clock::UtcNow(), "%H:%M:%S"));
    if (EqualsNoCase(token, "LastAckedBy")) return text(TextOf(o.LastAckedBy));
    if (EqualsNoCase(token, "LastDisabledBy")) return text(TextOf(o.LastDisabledBy));
    if (EqualsNoCase(token, "LastEnabledBy")) return text(TextOf(o.LastEnabledBy));
    if (EqualsNoCase(token, "RepeatedSinceLastAck")) return number(o.RepeatedSinceLastAck);
    if (token.size() == 7 && EqualsNoCase(token.substr(0, 6), "Custom") && token[6] >= '1' &&
        token[6] <= '8') {
        return text(TextOf(o.Custom[token[6] - '1']));
    }
    return false;
}

const net::OutboundQueue::Bytes& KeepAliveBytes() {
    static const net::OutboundQueue::Bytes bytes = std::make_shared<const std::string>("\n");
    return bytes;
}

// Under the feed lock. False when the client is gone or was closed for not reading.
bool PushToClient(FeedClient& c, const net::OutboundQueue::Bytes& bytes) {
    if (!c.SocketOpen()) return false;
    using Result = net::OutboundQueue::PushResult;
    Result result = c.queue.Push(bytes);
    if (result == Result::Queued) return true;
    if (result == Result::Overflow) {
        Log("Tessel client %s does not read what we send, closing the connection", c.name.c_str());
    }
    c.CloseSocket();
    return false;
}

void FeedReaderThread(FeedClient* c) {
    CHeraldon* server = TheServer();
    // The feed is one-way; whatever the peer says is read only to notice that it left.
    std::vector<char> buffer(kReceiveBuffer);
    while (server->AlarmThreadsRunning()) {
        long n = c->socket.Receive(buffer.data(), buffer.size());
        if (n <= 0) {
            if (server->AlarmThreadsRunning()) Log("Closing Tessel client socket (%s)", c->name.c_str());
            break;
        }
    }
    c->CloseSocket();
    c->queue.Stop();
    {
        // Others shut the socket down only under the feed lock; closing under it too keeps
        // them from shutting down a descriptor number the system has already handed out again.
        std::lock_guard<std::mutex> guard(server->FeedLock());
        c->socket.Close();
    }
    c->active.store(0);
}

}  // namespace

FeedClient::~FeedClient() {
    if (thread.joinable()) thread.join();
}

std::string FormatTextEvent(const AlarmObject& object, const std::string& format, int32_t eventType) {
    std::string line;
    std::string value;
    size_t at = 0;
    for (;;) {
        size_t open = format.find('[', at);
        size_t close = open == std::string::npos ? std::string::npos : format.find(']', open + 1);
        if (close == std::string::npos) {
            line.append(format, at, std::string::npos);
            return line;
        }
        line.append(format, at, open - at);
        std::string_view token(format.data() + open + 1, close - open - 1);
        if (TokenValue(object, token, eventType, value)) {
            line += value;
        } else {
            line.append(format, open, close - open + 1);
        }
        at = close + 1;
    }
}

namespace {

thread_local bool t_inBurst = false;
thread_local bool t_lookedThisBurst = false;

// An edited template applies from the next event on. The file is read again only when it
// has changed: in a flood, reading it for every event cost more than everything else the
// event does.
std::string CurrentTemplate(const std::string& iniPath) {
    static std::mutex lock;
    static platform::fs::FileStamp readStamp;
    static std::string format;
    static bool read = false;
    std::lock_guard<std::mutex> guard(lock);
    if (read && t_inBurst && t_lookedThisBurst) return format;
    t_lookedThisBurst = true;
    platform::fs::FileStamp stamp = platform::fs::StampOf(iniPath);
    if (!read || !(stamp == readStamp)) {
        format = platform::ini::ReadString(iniPath, "General", "TesselFormat", kDefaultTesselFormat);
        if (format.size() > kMaxTemplate) format.resize(kMaxTemplate);
        readStamp = stamp;
        read = true;
    }
    return format;
}

}  // namespace

void TextFeedBurst(bool begins) {
    t_inBurst = begins;
    t_lookedThisBurst = false;
}

void SendTextEvent(AlarmSource&, AlarmObject& object, int32_t eventType) {
    if (eventType < 0 || eventType > 2) return;
    CHeraldon* server = TheServer();
    if (server == nullptr) return;
    {
        // This runs under the alarm data lock for every event; with nobody listening the
        // configuration file is not worth reading.
        std::lock_guard<std::mutex> guard(server->FeedLock());
        if (server->FeedClients().empty()) return;
    }
    auto line =
        std::make_shared<const std::string>(FormatTextEvent(object, CurrentTemplate(server->IniPath()), eventType) + "\r\n");

    std::lock_guard<std::mutex> guard(server->FeedLock());
    for (auto& c : server->FeedClients()) {
        if (PushToClient(*c, line)) Log("Sent alarm event to Tessel/Tessel2SQL %s", c->name.c_str());
    }
}

void RunTextFeedListener() {
    CHeraldon* server = TheServer();
    uint16_t port = server->Config().tesselListenPort;
    if (port == 0) {
        Log("Tessel port %d could not be created, Tessel connection is disabled", port);
        while (server->AlarmThreadsRunning()) platform::clock::SleepMs(100);
        return;
    }
    static constexpr net::ListenerTexts kTexts{
        "Couldn't create listen socket for Tessel port %d", "Couldn't bind server socket for Tessel port %d",
        "Couldn't set socket in listening mode for Tessel port %d", nullptr,
        "Waiting for new connections at Tessel port %d"};
    net::ListenLoop(
        server->FeedListener(), port, kTexts, [server] { return server->AlarmThreadsRunning(); },
        [] { return true; },
        [server](platform::net::Socket accepted) {
            auto client = std::make_unique<FeedClient>(std::move(accepted));
            client->keepAliveCountdown = server->Config().tesselKeepAliveInterval;
            std::lock_guard<std::mutex> guard(server->FeedLock());
            // The stop closes every client it finds in the list under this lock, after it
            // has cleared the running flag; one accepted later would never be closed.
            if (!server->AlarmThreadsRunning()) return;
            client->queue.Start(client->socket);
            FeedClient* raw = client.get();
            auto& clients = server->FeedClients();
            clients.push_back(std::move(client));
            Log("%s connected as Tessel client", raw->name.c_str());
            if (!StartCounted(server->AlarmThreadCounter(), raw->thread, "Tessel client",
                              [raw] { FeedReaderThread(raw); })) {
                raw->CloseSocket();
                clients.pop_back();
            }
        });
}

void TextFeedTimers(int elapsedMs) {
    CHeraldon* server = TheServer();
    std::lock_guard<std::mutex> guard(server->FeedLock());
    auto& clients = server->FeedClients();
    // A fixed period: event lines do not postpone the next keep-alive.
    for (auto& c : clients) {
        if (!c->SocketOpen() || c->active.load() == 0 || c->keepAliveCountdown <= 0) continue;
        c->keepAliveCountdown -= elapsedMs;
        if (c->keepAliveCountdown > 0) continue;
        if (PushToClient(*c, KeepAliveBytes())) {
            c->keepAliveCountdown = server->Config().tesselKeepAliveInterval;
        } else {
            Log("Could not send KeepAlive to Tessel client '%s', closed socket", c->name.c_str());
        }
    }
    // A record is only freed once its reader has let go of it.
    std::erase_if(clients, [](const std::unique_ptr<FeedClient>& c) { return c->active.load() == 0; });
}

void CloseTextFeedClients() {
    CHeraldon* server = TheServer();
    {
        std::lock_guard<std::mutex> guard(server->FeedLock());
        for (auto& c : server->FeedClients()) c->CloseSocket();
    }
    // The readers need the feed lock to finish, so it is let go between looks.
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(server->FeedLock());
            auto& clients = server->FeedClients();
            if (clients.empty()) return;
            if (clients.front()->active.load() == 0) {
                clients.erase(clients.begin());
                continue;
            }
        }
        platform::clock::SleepMs(20);
    }
}

}  // namespace heraldon
