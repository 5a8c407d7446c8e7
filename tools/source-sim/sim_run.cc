#include "tools/source-sim/sim_run.h"

#include <cstdarg>
#include <cstdio>
#include <limits>
#include <optional>
#include <utility>

#include "platform/clock.h"
#include "platform/text.h"
#include "server/net/source_protocol.h"
#include "tools/source-sim/sim_link.h"

namespace sourcesim {

namespace {

namespace net = heraldon::net;
namespace clk = platform::clock;

constexpr int64_t kReconnectMs = 2000;
constexpr int kConnectTimeoutMs = 2000;
constexpr int64_t kWelcomeTimeoutMs = 10000;
constexpr int64_t kKeepaliveMs = 5000;
constexpr int64_t kSummaryMs = 10000;
constexpr int kPollMs = 50;

enum class Phase { Down, AwaitingWelcome, Identified };

// Server texts go to the terminal; control characters in them must not drive it.
std::string Printable(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    std::string out(text);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    return out;
}

const char* PacketName(uint32_t type) {
    switch (type) {
        case net::SOURCE_PACKET_TYPE_KEEPALIVE:
            return "KEEPALIVE";
        case net::SOURCE_PACKET_TYPE_WELCOME:
            return "WELCOME";
        case net::SOURCE_PACKET_TYPE_SOURCE_ENABLED:
            return "SOURCE_ENABLED";
        case net::SOURCE_PACKET_TYPE_REFRESH_REQUEST:
            return "REFRESH_REQUEST";
        default:
            return IsCommand(type) ? CommandName(type) : "unknown packet";
    }
}

class Simulator {
public:
    explicit Simulator(SimOptions options)
        : o_(std::move(options)), generator_(o_.pattern, o_.rate, o_.seed, clk::MonotonicMs()) {}

    int Run(const std::atomic<bool>& stop);

private:
    void Say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Line(const std::string& text);
    void Summary();

    void Connect(int64_t now);
    void Drop(const std::string& why, int64_t now);
    void Handle(const ReceivedPacket& packet, int64_t now);
    void HandleWelcome(std::string_view payload, int64_t now);
    void AnswerRefresh();
    void HandleCommand(const Command& command, int64_t now);
    void ProcessChange(size_t index, int type);
    // Queues one EVENT; returns what the event line should add about its delivery.
    std::string Deliver(const SimTag& tag, int type, std::optional<int> forced, const ByFields& by);

    SimOptions o_;
    std::vector<SimTag>& tags_ = o_.tags;
    Generator generator_;
    SourceLink link_;

    Phase phase_ = Phase::Down;
    int32_t version_ = 0;
    bool statusSent_ = false;        // per connection: running is reported once
    bool connectFailShown_ = false;  // a dead server is reported once, not every 2 s
    int64_t nextConnectMs_ = 0;
    int64_t phaseSinceMs_ = 0;
    int64_t nextKeepaliveMs_ = 0;
    int64_t nextSummaryMs_ = 0;

    uint64_t eventsSent_ = 0;
    uint64_t eventsOffline_ = 0;  // happened while not connected; the next refresh tells
    uint64_t eventsHidden_ = 0;   // of disabled tags
    uint64_t commands_ = 0;
    uint64_t refreshes_ = 0;
};

void Simulator::Line(const std::string& text) {
    Stamp now = NowStamp();
    std::tm c = clk::CalendarOfLocalTimestamp(now.seconds);
    std::printf("%02d:%02d:%02d.%03d %s\n", c.tm_hour, c.tm_min, c.tm_sec, now.millisecond,
                platform::text::AnsiToUtf8(text).c_str());
    std::fflush(stdout);
}

void Simulator::Say(const char* format, ...) {
    if (o_.quiet) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Line(text);
}

void Simulator::Summary() {
    char text[256];
    const char* state = phase_ == Phase::Identified        ? "identified"
                        : phase_ == Phase::AwaitingWelcome ? "identifying"
                                                           : "not connected";
    std::snprintf(text, sizeof text,
                  "%s: events sent %llu, not sent %llu (offline %llu, disabled %llu), "
                  "commands received %llu, refreshes %llu",
                  state, static_cast<unsigned long long>(eventsSent_),
                  static_cast<unsigned long long>(eventsOffline_ + eventsHidden_),
                  static_cast<unsigned long long>(eventsOffline_),
                  static_cast<unsigned long long>(eventsHidden_),
                  static_cast<unsigned long long>(commands_),
                  static_cast<unsigned long long>(refreshes_));
    Line(text);
}

void Simulator::Connect(int64_t now) {
    if (!link_.Open(o_.host, o_.port, kConnectTimeoutMs)) {
        if (!connectFailShown_) {
            Say("cannot connect to %s:%u, trying again every 2 s", o_.host.c_str(), o_.port);
        }
        connectFailShown_ = true;
        nextConnectMs_ = clk::MonotonicMs() + kReconnectMs;
        return;
    }
    connectFailShown_ = false;
    phase_ = Phase::AwaitingWelcome;
    phaseSinceMs_ = now;
    statusSent_ = false;
    link_.Queue(net::SOURCE_PACKET_TYPE_IDENTIFY,
                IdentifyPayload(o_.versionLow, o_.versionHigh, o_.name));
    Say("connected to %s:%u, identifying as '%s' (versions 0x%x..0x%x)", o_.host.c_str(), o_.port,
        o_.name.c_str(), o_.versionLow, o_.versionHigh);
}

void Simulator::Drop(const std::string& why, int64_t now) {
    if (phase_ == Phase::Down) return;
    link_.Close();
    phase_ = Phase::Down;
    nextConnectMs_ = now + kReconnectMs;
    Say("disconnected: %s; reconnecting in 2 s", why.c_str());
}

void Simulator::HandleWelcome(std::string_view payload, int64_t now) {
    Welcome w = ParseWelcome(payload);
    std::string greeting = Printable(w.greeting);
    if (!w.accepted) {
        Say("refused by the server: %s", greeting.c_str());
        Drop("refused", now);
        return;
    }
    version_ = NegotiatedVersion(o_.versionLow, o_.versionHigh, w);
    if (version_ == 0) {
        char why[96];
        std::snprintf(why, sizeof why, "no common protocol version (server speaks 0x%x..0x%x)",
                      w.lowest, w.highest);
        Drop(why, now);
        return;
    }
    phase_ = Phase::Identified;
    nextKeepaliveMs_ = now + kKeepaliveMs;
    Say("accepted by the server, protocol version 0x%x: %s", version_, greeting.c_str());
}

void Simulator::AnswerRefresh() {
    ++refreshes_;
    link_.Queue(net::SOURCE_PACKET_TYPE_REFRESH_BEGIN, RefreshBeginPayload(version_));
    size_t reported = 0;
    for (const SimTag& t : tags_) {
        if (t.removed) continue;
        // Forcing our state makes the server agree with the process, whatever it
        // missed while we were away.
        ByFields by{t.lastAckedBy, t.lastDisabledBy, t.lastEnabledBy};
        link_.Queue(net::SOURCE_PACKET_TYPE_OBJECT, ObjectPayload(t, kNoEvent, t.state, by));
        ++reported;
    }
    link_.Queue(net::SOURCE_PACKET_TYPE_REFRESH_END, {});
    // The server counts a source as running only once it says so, after each connection.
    if (!statusSent_) {
        link_.Queue(net::SOURCE_PACKET_TYPE_STATUS, StatusPayload(true));
        statusSent_ = true;
    }
    Say("refresh requested: reported %zu alarm objects", reported);
}

std::string Simulator::Deliver(const SimTag& tag, int type, std::optional<int> forced,
                               const ByFields& by) {
    if (phase_ != Phase::Identified) {
        ++eventsOffline_;
        return " (not sent: offline)";
    }
    link_.Queue(net::SOURCE_PACKET_TYPE_EVENT, ObjectPayload(tag, type, forced, by));
    ++eventsSent_;
    return "";
}

void Simulator::ProcessChange(size_t index, int type) {
    SimTag& t = tags_[index];
    std::string before = StateText(t);
    std::string note;
    if (ApplyEvent(t, type, NowStamp())) {
        note = Deliver(t, type, std::nullopt, {});
    } else {
        ++eventsHidden_;
        note = " (not sent: tag disabled)";
    }
    Say("%-10s %-8s %s -> %s%s", t.tag.c_str(), EventTypeName(type), before.c_str(),
        StateText(t).c_str(), note.c_str());
}

void Simulator::HandleCommand(const Command& c, int64_t now) {
    ++commands_;
    const char* name = CommandName(c.type);
    std::string who = c.user.empty() ? "(no user)" : Printable(c.user);
    SimTag* found = FindTag(tags_, c.handle, c.tag);
    if (found == nullptr) {
        Say("%s from %s for unknown alarm %u/'%s' ignored", name, who.c_str(), c.handle,
            Printable(c.tag).c_str());
        return;
    }
    SimTag& t = *found;
    if (t.removed || c.type == net::SOURCE_PACKET_TYPE_REMOVE) {
        // A command for a tag we dropped earlier means the server missed that: say it again.
        bool again = t.removed;
        t.removed = true;
        link_.Queue(net::SOURCE_PACKET_TYPE_OBJECT_REMOVED, ObjectRemovedPayload(t));
        Say("%-10s %s by %s: %s", t.tag.c_str(), name, who.c_str(),
            again ? "already removed, told the server again" : "removed");
        return;
    }

    int type = AnswerEventType(c.type);
    std::string before = StateText(t);
    bool report = ApplyEvent(t, type, NowStamp());
    ByFields by;
    std::optional<int> forced;
    switch (type) {
        case kAcked:
            t.lastAckedBy = c.user;
            by.acked = c.user;
            break;
        case kDisable:
            t.disabledExpire = c.disableEnd;
            t.lastDisabledBy = c.user;
            by.disabled = c.user;
            break;
        case kEnable:
            t.lastEnabledBy = c.user;
            by.enabled = c.user;
            // The server would take back the state it saw at the disable; only we know
            // what the process did since, so we say it.
            forced = t.state;
            break;
        case kActive:
            generator_.PlanRelease(static_cast<size_t>(&t - tags_.data()), t, now);
            break;
        default:
            break;
    }
    std::string note;
    if (report) {
        note = Deliver(t, type, forced, by);
    } else {
        ++eventsHidden_;
        note = " (not sent: tag disabled)";
    }
    std::string until;
    if (type == kDisable && c.disableEnd != 0) {
        std::tm e = clk::LocalCalendar(c.disableEnd);
        char text[48];
        std::snprintf(text, sizeof text, " until %04d-%02d-%02d %02d:%02d:%02d", e.tm_year + 1900,
                      e.tm_mon + 1, e.tm_mday, e.tm_hour, e.tm_min, e.tm_sec);
        until = text;
    }
    Say("%-10s %s by %s%s: %s %s -> %s%s", t.tag.c_str(), name, who.c_str(), until.c_str(),
        EventTypeName(type), before.c_str(), StateText(t).c_str(), note.c_str());
}

void Simulator::Handle(const ReceivedPacket& p, int64_t now) {
    if (phase_ == Phase::AwaitingWelcome) {
        if (p.type == net::SOURCE_PACKET_TYPE_WELCOME) {
            HandleWelcome(p.payload, now);
        } else {
            Say("%s (0x%04x) before the welcome ignored", PacketName(p.type), p.type);
        }
        return;
    }
    switch (p.type) {
        case net::SOURCE_PACKET_TYPE_KEEPALIVE:
            return;
        case net::SOURCE_PACKET_TYPE_WELCOME:
            Say("extra WELCOME ignored");
            return;
        case net::SOURCE_PACKET_TYPE_SOURCE_ENABLED: {
            int32_t enabled = 0;
            net::SourceFieldReader r(reinterpret_cast<const uint8_t*>(p.payload.data()),
                                     p.payload.size());
            r.Signed(enabled);
            Say("the server has this source %s", enabled != 0 ? "enabled" : "disabled");
            return;
        }
        case net::SOURCE_PACKET_TYPE_REFRESH_REQUEST:
            AnswerRefresh();
            return;
        default:
            if (IsCommand(p.type)) {
                HandleCommand(ParseCommand(p.type, p.payload), now);
            } else {
                Say("unknown packet type 0x%04x (%zu bytes) ignored", p.type, p.payload.size());
            }
    }
}

int Simulator::Run(const std::atomic<bool>& stop) {
    int64_t start = clk::MonotonicMs();
    int64_t end = o_.durationSeconds > 0 ? start + int64_t{o_.durationSeconds} * 1000
                                         : std::numeric_limits<int64_t>::max();
    nextSummaryMs_ = start + kSummaryMs;
    {
        char text[256];
        std::snprintf(text, sizeof text, "source-sim '%s': %zu tags, %.3g events/s, server %s:%u",
                      o_.name.c_str(), tags_.size(), o_.rate, o_.host.c_str(), o_.port);
        Line(text);
    }
    std::vector<ReceivedPacket> packets;
    for (;;) {
        int64_t now = clk::MonotonicMs();
        if (stop.load() || now >= end) break;

        if (phase_ == Phase::Down && now >= nextConnectMs_) Connect(now);
        generator_.RunDue(now, tags_,
                          [this](size_t index, int type) { ProcessChange(index, type); });

        if (phase_ != Phase::Down) {
            if (!link_.Flush()) Drop("send failed", now);
        }
        if (phase_ == Phase::Down) {
            clk::SleepMs(kPollMs);
        } else {
            packets.clear();
            SourceLink::ReadResult result = link_.Read(kPollMs, packets);
            now = clk::MonotonicMs();
            for (const ReceivedPacket& p : packets) {
                if (phase_ == Phase::Down) break;
                Handle(p, now);
            }
            if (result == SourceLink::ReadResult::Closed) {
                Drop("the server closed the connection", now);
            }
            if (result == SourceLink::ReadResult::Oversized) {
                Drop("packet size error (length beyond the protocol's limit)", now);
            }
            if (phase_ == Phase::AwaitingWelcome && now - phaseSinceMs_ > kWelcomeTimeoutMs) {
                Drop("no welcome within 10 s", now);
            }
            if (phase_ == Phase::Identified && now >= nextKeepaliveMs_) {
                // The server needs no keepalives; they keep idle links visibly alive.
                link_.Queue(net::SOURCE_PACKET_TYPE_KEEPALIVE, {});
                nextKeepaliveMs_ = now + kKeepaliveMs;
            }
            if (phase_ != Phase::Down && !link_.Flush()) Drop("send failed", now);
        }
        if (o_.quiet && now >= nextSummaryMs_) {
            Summary();
            nextSummaryMs_ = now + kSummaryMs;
        }
    }
    link_.Close();
    Summary();
    return 0;
}

}  // namespace

int RunSimulation(SimOptions options, const std::atomic<bool>& stop) {
    Simulator simulator(std::move(options));
    return simulator.Run(stop);
}

}  // namespace sourcesim
