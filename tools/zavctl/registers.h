// Registers as people name them and read them, shared by the subcommands and
// the dashboard, and the register reads and writes both make. The table itself
// is in facts.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "facts.h"
#include "zavlib.h"

namespace zavctl {

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
    if (r.is_signed) return static_cast<int8_t>(p[0]);
    return p[0];
}

// Torque, goal and present position as the last exchange left them in the
// library's image; these ranges cause no bus traffic.
inline void peek_image(PortHandle port, int id, uint8_t image[ZAV_REGISTER_COUNT]) {
    const uint8_t target = static_cast<uint8_t>(id);
    ZAV_ReadBlockData(port, target, ZAV_REG_TORQUE_ENABLE, image + ZAV_REG_TORQUE_ENABLE, 3, nullptr);
    ZAV_ReadByteData(port, target, ZAV_REG_PRESENT_POSITION, image + ZAV_REG_PRESENT_POSITION, nullptr);
    ZAV_ReadByteData(port, target, ZAV_REG_PRESENT_POSITION + 1, image + ZAV_REG_PRESENT_POSITION + 1, nullptr);
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
