// The bus's facts as the C++ tools use them, in one table: the registers by
// name, the status flags with what each means, the ranges the servos accept and
// the reply time-out. Every number comes from include/zavlib.h; the flags'
// explanations are the header's own comments (scripts/check_facts.py compares
// them, and every other language's table, with the header).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "zavlib.h"

namespace zavctl {

// An inclusive range of values, and what people call the values in it.
struct Range {
    long min;
    long max;
    const char *what; // "goal positions"
};

inline constexpr Range kIdRange = {0, ZAV_ID_MAX, "servo ids"};
inline constexpr Range kGoalRange = {ZAV_GOAL_MIN, ZAV_GOAL_MAX, "goal positions"};
inline constexpr Range kParamRange = {ZAV_PARAM_MIN, ZAV_PARAM_MAX, "parameters"};
inline constexpr Range kSc3Range = {ZAV_SC3_MIN, ZAV_SC3_MAX, "sc3 readings"};
inline constexpr Range kSc4Range = {ZAV_SC4_MIN, ZAV_SC4_MAX, "sc4 readings"};

inline bool contains(const Range &range, long value) { return value >= range.min && value <= range.max; }

// "3000 to 12000"
inline std::string range_text(const Range &range) {
    return std::to_string(range.min) + " to " + std::to_string(range.max);
}

// The same bounds under their older names.
inline constexpr long kGoalMin = kGoalRange.min;
inline constexpr long kGoalMax = kGoalRange.max;
inline constexpr long kParamMin = kParamRange.min;
inline constexpr long kParamMax = kParamRange.max;
inline constexpr int kIdMax = ZAV_ID_MAX;

struct Register {
    int address;
    const char *name;  // the header's ZAV_REG_ name in lower case
    const char *alias; // the short name zavctl takes
    int width;         // bytes
    bool is_signed;
    const Range *writable; // the values a write takes; null where the register is read-only
};

// torque_enable takes any byte: 0 releases, anything else takes hold.
inline constexpr Range kTorqueRange = {0, 1, "torque values"};

inline constexpr Register kRegisters[] = {
    {ZAV_REG_ID, "id", "id", 1, false, nullptr},
    {ZAV_REG_TORQUE_ENABLE, "torque_enable", "torque", 1, false, &kTorqueRange},
    {ZAV_REG_GOAL_POSITION, "goal_position", "goal", 2, false, &kGoalRange},
    {ZAV_REG_SC2_VALUE, "sc2_value", "sc2", 1, false, &kParamRange},
    {ZAV_REG_SC1_VALUE, "sc1_value", "sc1", 1, false, &kParamRange},
    {ZAV_REG_PRESENT_POSITION, "present_position", "present", 2, false, nullptr},
    {ZAV_REG_SC3_VALUE, "sc3_value", "sc3", 1, true, nullptr},
    {ZAV_REG_SC4_VALUE, "sc4_value", "sc4", 1, true, nullptr},
};

struct Flag {
    StatusWord bit;
    const char *name;
    const char *meaning; // the header's comment on the flag
};

// Ordered as failures are explained: the handle first, the write last.
inline constexpr Flag kFlags[] = {
    {ERR_HANDLE, "ERR_HANDLE", "null port handle"},
    {ERR_ID, "ERR_ID", "servo id above 31 (and not the broadcast id where allowed)"},
    {ERR_ADDRESS, "ERR_ADDRESS", "invalid register range, data length or sync-write layout"},
    {ERR_PORT, "ERR_PORT", "device not open, write failed, or null receive buffer"},
    {ERR_REPLY, "ERR_REPLY", "reply did not match the request, or zero-length receive"},
    {ERR_TIMEOUT, "ERR_TIMEOUT", "a reply did not arrive in full within its time-out"},
    {ERR_WRITE, "ERR_WRITE", "a register write was refused or a servo write failed"},
};

// Defaults of the tools' global options.
inline constexpr int32_t kDefaultBaud = ZAV_DEFAULT_BAUD;
inline constexpr int32_t kDefaultTimeoutOffsetMs = ZAV_DEFAULT_TIMEOUT_OFFSET_MS;

// The reply time-out the library applies, in ms: offset + k / baud, both read
// as unsigned 32-bit numbers, truncated; 0 for a rate of 0, which has none.
inline uint32_t reply_timeout_ms(int32_t offset_ms, int32_t baud, double k = ZAV_REPLY_K_LONG) {
    if (baud == 0) return 0;
    return static_cast<uint32_t>(static_cast<uint32_t>(offset_ms) + k / static_cast<uint32_t>(baud));
}

// One sync write of torque and goal (one id and three bytes a servo) holds at
// most this many servos.
inline constexpr std::size_t kSyncMaxServos = (ZAV_SYNC_MAX_LENGTH - ZAV_SYNC_HEADER_LENGTH) / (1 + 3);

} // namespace zavctl
