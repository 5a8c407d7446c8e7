// One Alarm Source: its configuration, its folder and its connection state.
//
// Created at start-up and kept in the server's alarm source list until the process ends;
// the list never changes while the server runs. Every field except threadStarted is
// guarded by the alarm data lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace heraldon {

constexpr int kMaxAlarmSources = 128;  // the system source included; a handle's top byte

struct AlarmSourceSettings {
    std::string name;  // unique among all sources, compared without regard to case
    std::string description;
    std::string tagPrefix;
    int failedCategory = 0;
    int failedArea = 0;
    int keepAliveInterval = 0;
};

struct AlarmSource {
    AlarmSource(const AlarmSourceSettings& settings, int listIndex, std::string sourceFolder)
        : index(listIndex),
          handleBase(static_cast<uint32_t>(listIndex) << 24),
          folder(std::move(sourceFolder)),
          description(settings.description),
          name(settings.name),
          tagPrefix(settings.tagPrefix),
          failedCategory(settings.failedCategory),
          failedArea(settings.failedArea),
          keepAliveInterval(settings.keepAliveInterval) {}

    int enabled = 1;
    int running = 0;
    int refreshing = 0;
    int index;
    uint32_t handleBase;
    std::string folder;  // file-system path, with a trailing '/'
    std::string description;
    std::string name;
    std::string tagPrefix;
    int failedCategory;
    int failedArea;
    int failedAlarmRaised = 0;
    // Set by the source thread once the alarm object file is loaded; the starter polls it.
    std::atomic<int> threadStarted{0};
    int keepAliveInterval;
    int keepAliveCountdown = 0;
    int disconnectedTime = 0;

    std::string HistoricFolder() const { return folder + "Historic/"; }
    std::string CommentFolder() const { return folder + "Comment/"; }
};

}  // namespace heraldon
