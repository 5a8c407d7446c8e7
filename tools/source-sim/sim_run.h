// The simulated Alarm Source at work: keeps a connection to Heraldon, answers its refresh
// requests and commands, and reports the events the traffic pattern makes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/source-sim/sim_pattern.h"
#include "tools/source-sim/sim_tags.h"

namespace sourcesim {

struct SimOptions {
    std::string name;  // Windows-1252, as sent
    std::string host = "127.0.0.1";
    uint16_t port = 49876;
    int32_t versionLow = 0x3002;
    int32_t versionHigh = 0x3003;
    std::vector<SimTag> tags;
    Pattern pattern = Pattern::Steady;
    double rate = 2;
    uint64_t seed = 0;
    int durationSeconds = 0;  // 0 = until stopped
    bool quiet = false;
};

// Runs until `stop` is set or the duration has passed. Returns the process exit code.
int RunSimulation(SimOptions options, const std::atomic<bool>& stop);

}  // namespace sourcesim
