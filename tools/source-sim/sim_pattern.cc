#include "tools/source-sim/sim_pattern.h"

#include <algorithm>
#include <cmath>

namespace sourcesim {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// How long an activation lasts, and the chatter rhythm.
constexpr int64_t kHoldMinMs = 2000, kHoldMaxMs = 30000;
constexpr int64_t kQuietMinMs = 5000, kQuietMaxMs = 15000;
constexpr int64_t kFlipMinMs = 150, kFlipMaxMs = 400;
constexpr int64_t kChatterMinMs = 6000, kChatterMaxMs = 15000;
constexpr int64_t kChatterPauseMinMs = 5000, kChatterPauseMaxMs = 15000;
constexpr int kBurstCap = 10000;

}  // namespace

bool ParsePattern(std::string_view text, Pattern& pattern) {
    struct Named {
        std::string_view name;
        Pattern pattern;
    };
    constexpr Named kPatterns[] = {{"steady", Pattern::Steady},
                                   {"bursts", Pattern::Bursts},
                                   {"chatter", Pattern::Chatter},
                                   {"mixed", Pattern::Mixed}};
    for (const Named& n : kPatterns) {
        if (n.name == text) {
            pattern = n.pattern;
            return true;
        }
    }
    return false;
}

Generator::Generator(Pattern pattern, double eventsPerSecond, uint64_t seed, int64_t nowMs)
    : random_(seed), lastBurstMs_(nowMs) {
    if (eventsPerSecond <= 0) return;  // commands only
    switch (pattern) {
        case Pattern::Steady:
            steadyRate_ = eventsPerSecond;
            break;
        case Pattern::Bursts:
            burstRate_ = eventsPerSecond;
            break;
        case Pattern::Chatter:
            steadyRate_ = eventsPerSecond;
            break;
        case Pattern::Mixed:
            steadyRate_ = eventsPerSecond / 2;
            burstRate_ = eventsPerSecond / 2;
            break;
    }
    steadyNextMs_ = static_cast<double>(nowMs);
    if (steadyRate_ > 0) Schedule(nowMs, Kind::SteadyActivation);
    if (burstRate_ > 0) Schedule(nowMs + UniformMs(kQuietMinMs, kQuietMaxMs), Kind::BurstStart);
    if (pattern == Pattern::Chatter || pattern == Pattern::Mixed) {
        Schedule(nowMs + UniformMs(1000, 3000), Kind::ChatterStart);
    }
}

void Generator::Schedule(int64_t due, Kind kind, size_t index, uint32_t generation) {
    timers_.push(Timer{due, nextOrder_++, kind, index, generation});
}

int64_t Generator::UniformMs(int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(random_);
}

size_t Generator::Pick(const std::vector<SimTag>& tags, bool wantInactive) {
    if (tags.empty()) return kNone;
    auto fits = [&](const SimTag& t) {
        return !t.removed && (!wantInactive || !ConditionActive(t));
    };
    std::uniform_int_distribution<size_t> any(0, tags.size() - 1);
    // A few blind tries find a tag fast while most are quiet; the scan settles the rest.
    for (int i = 0; i < 16; ++i) {
        size_t at = any(random_);
        if (fits(tags[at])) return at;
    }
    size_t start = any(random_);
    for (size_t i = 0; i < tags.size(); ++i) {
        size_t at = (start + i) % tags.size();
        if (fits(tags[at])) return at;
    }
    return kNone;
}

void Generator::Activate(const std::vector<SimTag>& tags, int64_t nowMs, const Apply& apply) {
    size_t index = Pick(tags, true);
    if (index == kNone) return;  // every tag is on already: the plant is saturated
    apply(index, kActive);
    PlanRelease(index, tags[index], nowMs);
}

void Generator::PlanRelease(size_t index, const SimTag& tag, int64_t nowMs) {
    Schedule(nowMs + UniformMs(kHoldMinMs, kHoldMaxMs), Kind::Release, index, tag.generation);
}

void Generator::RunDue(int64_t nowMs, const std::vector<SimTag>& tags, const Apply& apply) {
    while (!timers_.empty() && timers_.top().due <= nowMs) {
        Timer t = timers_.top();
        timers_.pop();
        switch (t.kind) {
            case Kind::SteadyActivation: {
                Activate(tags, nowMs, apply);
                // Each activation brings its release, so activations come at half the rate.
                double meanMs = 2000.0 / steadyRate_;
                // Kept in fractions of a millisecond: at high rates most gaps round to 0,
                // and only the sum of the true gaps moves time on.
                steadyNextMs_ += std::exponential_distribution<double>(1.0 / meanMs)(random_);
                // After a long stall the backlog is dropped rather than sent as a flood.
                steadyNextMs_ = std::max(steadyNextMs_, static_cast<double>(nowMs - 5000));
                Schedule(static_cast<int64_t>(steadyNextMs_), Kind::SteadyActivation);
                break;
            }
            case Kind::BurstStart: {
                // The burst makes up for the quiet spell before it.
                double quietS = static_cast<double>(nowMs - lastBurstMs_) / 1000.0;
                long count = std::lround(burstRate_ * quietS / 2);
                count = std::clamp<long>(count, 1, kBurstCap);
                for (long i = 0; i < count; ++i) {
                    Schedule(nowMs + UniformMs(0, 999), Kind::BurstActivation);
                }
                lastBurstMs_ = nowMs;
                Schedule(nowMs + 1000 + UniformMs(kQuietMinMs, kQuietMaxMs), Kind::BurstStart);
                break;
            }
            case Kind::BurstActivation:
                Activate(tags, nowMs, apply);
                break;
            case Kind::Release: {
                const SimTag& tag = tags[t.index];
                // An operator or a later activation may have moved the tag meanwhile.
                if (!tag.removed && tag.generation == t.generation && ConditionActive(tag)) {
                    apply(t.index, kInActive);
                }
                break;
            }
            case Kind::ChatterStart: {
                size_t index = Pick(tags, true);
                if (index == kNone) {
                    Schedule(nowMs + UniformMs(kChatterPauseMinMs, kChatterPauseMaxMs),
                             Kind::ChatterStart);
                    break;
                }
                chatterEndMs_ = nowMs + UniformMs(kChatterMinMs, kChatterMaxMs);
                Schedule(nowMs, Kind::ChatterFlip, index);
                break;
            }
            case Kind::ChatterFlip: {
                const SimTag& tag = tags[t.index];
                bool active = ConditionActive(tag);
                if (tag.removed || nowMs >= chatterEndMs_) {
                    // Chatter ends with the condition gone, as a flapping contact settles.
                    if (!tag.removed && active) apply(t.index, kInActive);
                    Schedule(nowMs + UniformMs(kChatterPauseMinMs, kChatterPauseMaxMs),
                             Kind::ChatterStart);
                    break;
                }
                apply(t.index, active ? kInActive : kActive);
                Schedule(nowMs + UniformMs(kFlipMinMs, kFlipMaxMs), Kind::ChatterFlip, t.index);
                break;
            }
        }
    }
}

}  // namespace sourcesim
