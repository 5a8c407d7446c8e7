// Decides when which tag's alarm process changes, by one of a few traffic patterns that
// plants produce:
//   steady  - tags go active at random and inactive again after a while;
//   bursts  - quiet spells, then many activations within one second (a trip cascade);
//   chatter - one tag flapping several times a second, over a steady background;
//   mixed   - all three at once.
// The rate is the average number of Active and InActive events per second. In mixed it is
// shared between the steady and burst parts; a chattering tag flaps on top of it.
#pragma once

#include <cstdint>
#include <functional>
#include <queue>
#include <random>
#include <string_view>
#include <vector>

#include "tools/source-sim/sim_tags.h"

namespace sourcesim {

enum class Pattern { Steady, Bursts, Chatter, Mixed };

bool ParsePattern(std::string_view text, Pattern& pattern);

class Generator {
public:
    // Carries out one process change on tags[index] at once, so that the next decision
    // sees it.
    using Apply = std::function<void(size_t index, int eventType)>;

    Generator(Pattern pattern, double eventsPerSecond, uint64_t seed, int64_t nowMs);

    // Runs every change that is due by nowMs, in time order.
    void RunDue(int64_t nowMs, const std::vector<SimTag>& tags, const Apply& apply);

    // Plans the end of an activation: the tag goes inactive after a plant-like while,
    // unless something else has moved it by then.
    void PlanRelease(size_t index, const SimTag& tag, int64_t nowMs);

private:
    enum class Kind {
        SteadyActivation,
        BurstStart,
        BurstActivation,
        Release,
        ChatterStart,
        ChatterFlip
    };
    struct Timer {
        int64_t due;
        uint64_t order;  // keeps equal due times first come, first served
        Kind kind;
        size_t index;
        uint32_t generation;
        bool operator>(const Timer& other) const {
            return due != other.due ? due > other.due : order > other.order;
        }
    };

    void Schedule(int64_t due, Kind kind, size_t index = 0, uint32_t generation = 0);
    void Activate(const std::vector<SimTag>& tags, int64_t nowMs, const Apply& apply);
    int64_t UniformMs(int64_t low, int64_t high);
    size_t Pick(const std::vector<SimTag>& tags, bool wantInactive);

    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers_;
    uint64_t nextOrder_ = 0;
    std::mt19937_64 random_;
    double steadyRate_ = 0;  // events per second of each part
    double burstRate_ = 0;
    double steadyNextMs_ = 0;
    int64_t lastBurstMs_ = 0;
    int64_t chatterEndMs_ = 0;
};

}  // namespace sourcesim
