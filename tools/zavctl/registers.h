// The servo registers as people name them, shared by the subcommands and the
// dashboard: address, name, short alias, width, and the value a person reads.
#pragma once

#include <cstdint>
#include <string>

namespace zavctl {

struct Register {
    int address;
    const char *name;
    const char *alias;
    int width;
};

inline constexpr Register kRegisters[] = {
    {0, "id", "id", 1},
    {1, "torque_enable", "torque", 1},
    {2, "goal_position", "goal", 2},
    {4, "sc2_value", "sc2", 1},
    {5, "sc1_value", "sc1", 1},
    {6, "present_position", "present", 2},
    {8, "sc3_value", "sc3", 1},
    {9, "sc4_value", "sc4", 1},
};

// Values the servos accept.
inline constexpr long kGoalMin = 3000;
inline constexpr long kGoalMax = 12000;
inline constexpr long kParamMin = 1;
inline constexpr long kParamMax = 127;

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

} // namespace zavctl
