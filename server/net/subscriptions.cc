// Subscriptions: status clients follow the summary state of a group of tags.

#include "platform/console.h"
#include "platform/text.h"
#include "server/core/heraldon.h"
#include "server/net/client_connection.h"
#include "server/net/client_protocol.h"

namespace heraldon {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view start) {
    return text.size() >= start.size() &&
           platform::text::EqualsNoCase(text.substr(0, start.size()), start);
}

// Whether a tag (already known to begin with the group's prefix) is a member. The pattern
// is a list of "|"-separated tokens read in order, the last matching one deciding: "*"
// takes every tag, "-x" drops tags continuing with x, any other token takes tags
// continuing with it. An empty pattern takes only the tag that equals the prefix.
bool InGroup(std::string_view rest, std::string_view pattern) {
    if (pattern == "*") return true;
    if (pattern.empty()) return rest.empty();
    bool member = false;
    while (!pattern.empty()) {
        size_t bar = pattern.find('|');
        std::string_view token = pattern.substr(0, bar);
        if (token.empty()) break;
        if (token == "*") {
            member = true;
        } else if (token.front() == '-') {
            if (StartsWithNoCase(rest, token.substr(1))) member = false;
        } else if (StartsWithNoCase(rest, token)) {
            member = true;
        }
        if (bar == std::string_view::npos) break;
        pattern.remove_prefix(bar + 1);
    }
    return member;
}

void Resolve(Subscription& s) {
    s.resolved = true;
    for (auto& source : TheServer()->AlarmSources()) {
        if (platform::text::EqualsNoCase(source->name, s.sourceName)) {
            s.source = source.get();
            break;
        }
    }
    if (s.source != nullptr) {
        for (const auto& o : s.source->inUse) {
            std::string_view tag = o->TagText();
            if (StartsWithNoCase(tag, s.tagPrefix) && InGroup(tag.substr(s.tagPrefix.size()), s.pattern)) {
                s.objects.push_back(o.get());
            }
        }
    }
    s.recalcNeeded = 1;
}

void Recalculate(ClientConnection& c, Subscription& s) {
    platform::console::Print("RECALCING " + s.tagPrefix + " " + s.pattern + "\r\n");
    int32_t missing = s.source == nullptr ? 1 : 0, active = 0, acked = 0;
    for (const AlarmObject* o : s.objects) {
        if (o->State == kStateActiveUnacked) active = 1;
        if (o->State == kStateActiveAcked) acked = 1;
        if (o->State == kStateDisabled) {
            missing = 1;
            // A disabled member marked "on" still counts in the summary.
            if (platform::text::EqualsNoCase(TextOf(o->SumState), "on")) {
                (o->AckedTime != 0 ? acked : active) = 1;
            }
        }
    }
    s.recalcNeeded = 0;
    if (missing == s.disabledOrMissing && active == s.active && acked == s.acked) return;
    s.disabledOrMissing = missing;
    s.active = active;
    s.acked = acked;
    net::ClientPacketBuilder p;
    p.Int32(s.id).Int32(missing).Int32(active).Int32(acked);
    SendToClient(c, net::PACKET_TYPE_SUBSCRIPTION_STATUS, p.Payload());
}

}  // namespace

void Subscribe(ClientConnection& c, int32_t id, const std::string& sourceName,
               const std::string& tagPrefix, const std::string& pattern) {
    if (sourceName.empty() || tagPrefix.empty()) return;
    Subscription s;
    s.sourceName = sourceName;
    s.tagPrefix = tagPrefix;
    s.pattern = pattern;
    s.id = static_cast<uint16_t>(id);
    c.subscriptions.push_back(std::move(s));
    platform::console::Print("SUBSCRIBE " + std::to_string(id) + " " + tagPrefix + " " + pattern + "\r\n");
}

void Unsubscribe(ClientConnection& c, int32_t id) {
    for (auto it = c.subscriptions.begin(); it != c.subscriptions.end();) {
        if (static_cast<int32_t>(it->id) != id) {
            ++it;
            continue;
        }
        platform::console::Print("UNSUBSCRIBE " + std::to_string(id) + " " + it->tagPrefix + " " +
                                 it->pattern + "\r\n");
        it = c.subscriptions.erase(it);
    }
}

void RecalculateSubscriptions() {
    CHeraldon* server = TheServer();
    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    for (auto& c : server->ClientConnections()) {
        for (Subscription& s : c->subscriptions) {
            if (!s.resolved) Resolve(s);
            if (s.source != nullptr && s.source->changed) s.recalcNeeded = 1;
            if (s.recalcNeeded) Recalculate(*c, s);
        }
    }
    for (auto& source : server->AlarmSources()) source->changed = 0;
}

void DropAllSubscriptions() {
    CHeraldon* server = TheServer();
    if (server == nullptr) return;
    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    for (auto& c : server->ClientConnections()) c->subscriptions.clear();
}

}  // namespace heraldon
