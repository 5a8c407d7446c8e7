// The simulated Alarm Source's alarm objects and the state machine each of them runs.
//
// The state machine is Heraldon's own (states 0 to 4, events 0 to 4), kept here so that
// every event the simulator reports is one the server can follow. A disabled tag keeps
// running its alarm process in `hiddenState`, exactly as the server keeps
// StateBeforeDisable, so enabling it again shows what the process did meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sourcesim {

enum AlarmState : int {
    kNormal = 0,
    kActiveUnacked = 1,
    kActiveAcked = 2,
    kInactiveUnacked = 3,
    kDisabled = 4,
};

enum EventType : int {
    kNoEvent = -1,  // a refresh report: fields only, no event
    kInActive = 0,
    kActive = 1,
    kAcked = 2,
    kDisable = 3,
    kEnable = 4,
};

const char* EventTypeName(int type);

// Longest texts the server keeps, in characters.
constexpr size_t kTagChars = 79;
constexpr size_t kNameChars = 79;
constexpr size_t kDescriptionChars = 127;
constexpr size_t kHelpChars = 63;
constexpr size_t kUserChars = 63;

// A local timestamp (local wall-clock seconds since 1970) and its milliseconds; zero
// means "never".
struct Stamp {
    int64_t seconds = 0;
    int millisecond = 0;
};

// The current local timestamp, seconds and milliseconds taken from one clock reading so
// that they never straddle a second boundary.
Stamp NowStamp();

struct SimTag {
    uint32_t handle = 0;  // SCADAHandle: list position + 1, never 0
    std::string tag;      // texts are Windows-1252, as on the wire
    std::string name;
    std::string description;
    int32_t area = 0;
    int32_t category = 0;
    std::string help;

    int state = kNormal;
    int hiddenState = kNormal;  // what the alarm process is doing while the tag is disabled
    Stamp inactiveTime, activeTime, ackedTime, disabledTime;
    uint32_t disabledExpire = 0;  // UTC seconds as the operator's disable set it; 0 = no end
    std::string lastAckedBy, lastDisabledBy, lastEnabledBy;

    bool removed = false;     // an operator removed it: never reported again this run
    uint32_t generation = 0;  // counts activations, so a stale planned release is noticed
};

// The state the alarm process is in: the hidden state while disabled.
inline int ProcessState(const SimTag& t) {
    return t.state == kDisabled ? t.hiddenState : t.state;
}
inline bool ConditionActive(const SimTag& t) {
    int s = ProcessState(t);
    return s == kActiveUnacked || s == kActiveAcked;
}

// Moves the tag by one event of type InActive..Enable at `now`. Returns false when the
// server must not hear of it: Active and InActive of a disabled tag stay hidden.
bool ApplyEvent(SimTag& t, int type, Stamp now);

// "1", "4(3)" for a disabled tag whose process is in state 3.
std::string StateText(const SimTag& t);

// Reads a tag list: one tag a line, "tag;name;description;area;category" with ';' or tab
// between fields; blank lines and lines starting with '#' are skipped. Missing fields
// default to name = tag, empty description, area 0, category 0. The text may be UTF-8 or
// Windows-1252. On failure `error` names the line.
bool ParseTagList(std::string_view text, std::vector<SimTag>& tags, std::string& error);
bool LoadTagFile(const std::string& path, std::vector<SimTag>& tags, std::string& error);

// `count` tags "TAG00001"... named like the alarms of a water treatment plant.
std::vector<SimTag> GenerateTags(int count);

// By SCADAHandle when it is not 0, else by tag without regard to case. Removed tags are
// found too; nullptr when nothing matches.
SimTag* FindTag(std::vector<SimTag>& tags, uint32_t handle, std::string_view tag);

}  // namespace sourcesim
