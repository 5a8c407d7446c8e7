// Operator commands on one alarm: passed to the owning Alarm Source, which answers with the
// resulting event; on the system source, which has no process behind it, carried out here.
#pragma once

#include <cstdint>
#include <string_view>

namespace heraldon {

// The commands, by their client packet types.
constexpr int kCommandAck = 0x4010;
constexpr int kCommandDisable = 0x4020;
constexpr int kCommandEnable = 0x4021;
constexpr int kCommandInactivate = 0x4040;
constexpr int kCommandActivate = 0x4041;
constexpr int kCommandRemove = 0x4042;

// Returns 1 when the command was carried out (sent to the source, or applied to a system
// alarm), else 0. durationSeconds is the length of a disable; 0 disables for good.
int ExecuteCommand(int command, uint32_t handle, std::string_view user, std::string_view comment,
                   int64_t durationSeconds, std::string_view clientAddress);

// The enable the server sends by itself when a time-limited disable runs out.
void SendAutoEnable(struct AlarmSource& source, struct AlarmObject& object);

}  // namespace heraldon
