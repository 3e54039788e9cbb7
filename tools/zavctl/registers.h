// The servo registers as people name them, shared by the subcommands and the
// dashboard: address, name, short alias, width, and the value a person reads;
// and the register reads and writes both make.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "zavlib.h"

namespace zavctl {

// Values the servos accept.
inline constexpr long kGoalMin = ZAV_GOAL_MIN;
inline constexpr long kGoalMax = ZAV_GOAL_MAX;
inline constexpr long kParamMin = ZAV_PARAM_MIN;
inline constexpr long kParamMax = ZAV_PARAM_MAX;

struct Register {
    int address;
    const char *name;
    const char *alias;
    int width;
    bool writable;
    long min, max; // the values a write takes (writable registers)
};

inline constexpr Register kRegisters[] = {
    {ZAV_REG_ID, "id", "id", 1, false, 0, 31},
    {ZAV_REG_TORQUE_ENABLE, "torque_enable", "torque", 1, true, 0, 1},
    {ZAV_REG_GOAL_POSITION, "goal_position", "goal", 2, true, kGoalMin, kGoalMax},
    {ZAV_REG_SC2_VALUE, "sc2_value", "sc2", 1, true, kParamMin, kParamMax},
    {ZAV_REG_SC1_VALUE, "sc1_value", "sc1", 1, true, kParamMin, kParamMax},
    {ZAV_REG_PRESENT_POSITION, "present_position", "present", 2, false, 0, 65535},
    {ZAV_REG_SC3_VALUE, "sc3_value", "sc3", 1, false, -128, 127},
    {ZAV_REG_SC4_VALUE, "sc4_value", "sc4", 1, false, -128, 127},
};
// One sync write holds at most 93 bytes: 2, then records of an id and 3 bytes.
inline constexpr std::size_t kSyncMaxServos = 22;

inline const Register *find_register(const std::string &text) {
    for (const Register &r : kRegisters) {
        if (text == r.name || text == r.alias || text == std::to_string(r.address)) return &r;
    }
    return nullptr;
}

// The value of a register in a ten-byte image, as a person reads it.
inline long decode(const Register &r, const uint8_t *image) {
    const uint8_t *p = image + r.address;
    if (r.width == 2) return p[0] | p[1] << 8;
    if (r.address >= 8) return static_cast<int8_t>(p[0]);
    return p[0];
}

// Torque, goal and present position as the last exchange left them in the
// library's image; these ranges cause no bus traffic.
inline void peek_image(PortHandle port, int id, uint8_t image[10]) {
    const uint8_t target = static_cast<uint8_t>(id);
    ZAV_ReadBlockData(port, target, ZAV_REG_TORQUE_ENABLE, image + 1, 3, nullptr);
    ZAV_ReadByteData(port, target, ZAV_REG_PRESENT_POSITION, image + 6, nullptr);
    ZAV_ReadByteData(port, target, ZAV_REG_PRESENT_POSITION + 1, image + 7, nullptr);
}

// Torque on (taking hold where the servo stands if it was released), then the goal.
inline bool hold_and_move(PortHandle port, int id, int goal, StatusWord *status) {
    const uint8_t block[3] = {1, static_cast<uint8_t>(goal & 0xFF), static_cast<uint8_t>(goal >> 8)};
    return ZAV_WriteBlockData(port, static_cast<uint8_t>(id), ZAV_REG_TORQUE_ENABLE, block, 3, status) != 0;
}

// The same for several servos (id, goal) in one sync write.
inline bool hold_and_move_all(PortHandle port, const std::vector<std::pair<int, int>> &goals, StatusWord *status) {
    std::vector<uint8_t> block = {ZAV_REG_TORQUE_ENABLE, 3};
    for (const auto &[id, goal] : goals) {
        block.insert(block.end(), {static_cast<uint8_t>(id), 1, static_cast<uint8_t>(goal & 0xFF),
                                   static_cast<uint8_t>(goal >> 8)});
    }
    return ZAV_WriteSyncData(port, block.data(), static_cast<uint32_t>(block.size()), status) != 0;
}

} // namespace zavctl
