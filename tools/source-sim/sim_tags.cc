#include "tools/source-sim/sim_tags.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unordered_set>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace sourcesim {

const char* EventTypeName(int type) {
    switch (type) {
        case kInActive:
            return "InActive";
        case kActive:
            return "Active";
        case kAcked:
            return "Acked";
        case kDisable:
            return "Disable";
        case kEnable:
            return "Enable";
        default:
            return "Unknown";
    }
}

Stamp NowStamp() {
    int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    return {platform::clock::LocalTimestamp(ms / 1000), static_cast<int>(ms % 1000)};
}

bool ApplyEvent(SimTag& t, int type, Stamp now) {
    bool disabled = t.state == kDisabled;
    // The alarm process goes on behind a disable: its events move the hidden state.
    bool processEvent = type == kInActive || type == kActive || type == kAcked;
    int& working = disabled && processEvent ? t.hiddenState : t.state;
    switch (type) {
        case kInActive:
            t.inactiveTime = now;
            if (working == kActiveUnacked) working = kInactiveUnacked;
            if (working == kActiveAcked) working = kNormal;
            break;
        case kActive:
            t.inactiveTime = {};
            t.activeTime = now;
            working = kActiveUnacked;
            // Heraldon forgets who acknowledged once the alarm comes again; so do we, so
            // that a refresh never brings the old name back.
            t.lastAckedBy.clear();
            ++t.generation;
            break;
        case kAcked:
            t.ackedTime = now;
            if (working == kActiveUnacked) working = kActiveAcked;
            if (working == kInactiveUnacked) working = kNormal;
            break;
        case kDisable:
            t.disabledTime = now;
            if (t.state != kDisabled) t.hiddenState = t.state;
            t.state = kDisabled;
            break;
        case kEnable:
            // Enabling an enabled tag changes nothing about its process. Leaving a disable
            // stamps the inactive time as the server does, unless the alarm is still on.
            t.disabledExpire = 0;
            if (disabled) {
                t.state = t.hiddenState;
                t.inactiveTime = ConditionActive(t) ? Stamp{} : now;
            }
            break;
        default:
            return false;
    }
    return !(disabled && (type == kInActive || type == kActive));
}

std::string StateText(const SimTag& t) {
    if (t.state != kDisabled) return std::to_string(t.state);
    return "4(" + std::to_string(t.hiddenState) + ")";
}

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (size_t i = 0; i <= line.size(); ++i) {
        if (i == line.size() || line[i] == ';' || line[i] == '\t') {
            fields.push_back(Trim(line.substr(start, i - start)));
            start = i + 1;
        }
    }
    return fields;
}

bool ParseInt(std::string_view text, int32_t& value) {
    if (text.empty()) return true;  // absent: keep the default
    std::string copy(text);
    char* end = nullptr;
    long v = std::strtol(copy.c_str(), &end, 10);
    if (end == copy.c_str() || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    value = static_cast<int32_t>(v);
    return true;
}

std::string LineError(int lineNumber, const std::string& what) {
    return "line " + std::to_string(lineNumber) + ": " + what;
}

}  // namespace

bool ParseTagList(std::string_view text, std::vector<SimTag>& tags, std::string& error) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::unordered_set<std::string> seen;  // upper-case tags: the server matches any case
    for (const SimTag& t : tags) seen.insert(platform::text::UpperAnsi(t.tag));
    int lineNumber = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view raw = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        std::string line = platform::text::FileTextToAnsi(Trim(raw));
        if (line.empty() || line[0] == '#') continue;

        std::vector<std::string_view> f = SplitFields(line);
        SimTag t;
        t.tag = std::string(f[0]);
        if (t.tag.empty()) {
            error = LineError(lineNumber, "the tag is empty");
            return false;
        }
        if (t.tag.size() > kTagChars) {
            error = LineError(lineNumber, "the tag is longer than 79 characters");
            return false;
        }
        if (!seen.insert(platform::text::UpperAnsi(t.tag)).second) {
            error = LineError(lineNumber,
                              "tag '" + platform::text::AnsiToUtf8(t.tag) + "' appears twice");
            return false;
        }
        t.name = f.size() > 1 && !f[1].empty() ? std::string(f[1].substr(0, kNameChars)) : t.tag;
        if (f.size() > 2) t.description = std::string(f[2].substr(0, kDescriptionChars));
        if ((f.size() > 3 && !ParseInt(f[3], t.area)) ||
            (f.size() > 4 && !ParseInt(f[4], t.category))) {
            error = LineError(lineNumber, "area and category must be whole numbers");
            return false;
        }
        if (f.size() > 5) {
            error = LineError(lineNumber, "more than five fields");
            return false;
        }
        t.handle = static_cast<uint32_t>(tags.size() + 1);
        tags.push_back(std::move(t));
    }
    return true;
}

bool LoadTagFile(const std::string& path, std::vector<SimTag>& tags, std::string& error) {
    std::string text;
    if (!platform::fs::ReadWholeFile(path, text)) {
        error = "cannot read " + path;
        return false;
    }
    if (!ParseTagList(text, tags, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

namespace {

struct Unit {
    const char* prefix;  // equipment numbers of this area start at prefix * 100
    const char* name;
};
// Area n is the (n-1)th unit of the plant.
constexpr Unit kUnits[] = {
    {"1", "Raw water intake"}, {"2", "Flocculation"}, {"3", "Sand filter"},
    {"4", "Clear water"},      {"5", "Distribution"},
};

struct Equipment {
    const char* code;
    const char* name;         // "%s" = equipment id
    const char* description;  // first "%s" = unit, then "%d" = equipment number
    int category;             // 1 trip, 2 warning, 3 maintenance
    const char* help;
};
constexpr Equipment kEquipment[] = {
    {"P", "Pump %s fault", "%s pump %d motor protection tripped", 1,
     "Start the standby pump, then reset the starter"},
    {"LT", "Tank %s level high", "%s tank %d level above high limit", 1,
     "Check inflow valves and stop feed pumps"},
    {"V", "Valve %s position", "%s valve %d did not reach its end position", 2,
     "Check actuator air supply"},
    {"LT", "Tank %s level low", "%s tank %d level below low limit", 2,
     "Check the level transmitter and outflow"},
    {"PT", "Pressure %s high", "%s line %d pressure above 6 bar", 1,
     "Reduce pump speed, check for closed valves"},
    {"FT", "Flow %s low", "%s line %d flow below minimum", 2, "Check strainer and pump"},
    {"AT", "Turbidity %s high", "%s analyser %d turbidity above 1 NTU", 1,
     "Take a grab sample, check the dosing"},
    {"DP", "Dosing %s fault", "%s chlorine dosing pump %d stopped", 1,
     "Switch to the spare dosing line"},
    {"M", "Mixer %s overload", "%s mixer %d motor current high", 2, "Inspect the gearbox"},
    {"F", "Filter %s backwash due", "%s filter %d differential pressure high", 3,
     "Start a backwash when the demand allows"},
};
constexpr int kUnitCount = static_cast<int>(std::size(kUnits));
constexpr int kEquipmentCount = static_cast<int>(std::size(kEquipment));

}  // namespace

std::vector<SimTag> GenerateTags(int count) {
    std::vector<SimTag> tags;
    tags.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const Unit& unit = kUnits[i % kUnitCount];
        const Equipment& eq = kEquipment[(i / kUnitCount) % kEquipmentCount];
        int number = i / (kUnitCount * kEquipmentCount) + 1;
        char id[32], text[160];
        SimTag t;
        std::snprintf(text, sizeof text, "TAG%05d", i + 1);
        t.tag = text;
        std::snprintf(id, sizeof id, "%s-%s%02d", eq.code, unit.prefix, number % 100);
        std::snprintf(text, sizeof text, eq.name, id);
        t.name = std::string(text).substr(0, kNameChars);
        std::snprintf(text, sizeof text, eq.description, unit.name, number);
        t.description = std::string(text).substr(0, kDescriptionChars);
        t.help = std::string(eq.help).substr(0, kHelpChars);
        t.area = i % kUnitCount + 1;
        t.category = eq.category;
        t.handle = static_cast<uint32_t>(i + 1);
        tags.push_back(std::move(t));
    }
    return tags;
}

SimTag* FindTag(std::vector<SimTag>& tags, uint32_t handle, std::string_view tag) {
    if (handle != 0) {
        // Handles are list positions + 1, so the common case needs no search.
        if (handle <= tags.size() && tags[handle - 1].handle == handle) return &tags[handle - 1];
        for (SimTag& t : tags) {
            if (t.handle == handle) return &t;
        }
    }
    if (tag.empty()) return nullptr;
    for (SimTag& t : tags) {
        if (platform::text::EqualsNoCase(t.tag, tag)) return &t;
    }
    return nullptr;
}

}  // namespace sourcesim
