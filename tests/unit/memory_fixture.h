// A port opened on the in-memory bus, with the servo model answering.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "memory_bus.h"
#include "servo_bus.h"
#include "zavlib.h"
#include "zavlib_internal.h"

using Bytes = std::vector<uint8_t>;
using Image = std::array<uint8_t, ZAV_REGISTER_COUNT>;

class MemoryBusTest : public ::testing::Test {
protected:
    zavsim::ServoBus bus;
    membus::Device *device = nullptr;
    PortHandle port = nullptr;

    void SetUp() override {
        membus::reset();
        ZAV_SetEchoCancel(1);
        device = &membus::add_device("COM1", &bus);
    }

    void TearDown() override {
        // Closes every port still open, as unloading the library does.
        zav_library_unload();
        zav_library_load();
        membus::reset();
        ZAV_SetEchoCancel(1);
    }

    PortHandle open_port(int32_t baud = 115200) {
        port = ZAV_OpenPort("COM1", baud);
        EXPECT_NE(port, nullptr);
        device->clear_log();
        return port;
    }

    Bytes sent(size_t i) const { return device->writes().at(i); }
    std::vector<Bytes> sent() const { return device->writes(); }

    // Time-outs of the three-byte reply reads, in order.
    std::vector<uint32_t> reply_timeouts() const {
        // The read straight after a write is its echo read-back.
        std::vector<uint32_t> out;
        membus::Op previous = membus::Op::kOpen;
        for (const auto &e : device->events) {
            if (e.op == membus::Op::kRead && previous != membus::Op::kWrite && e.requested == 3)
                out.push_back(e.timeout_ms);
            previous = e.op;
        }
        return out;
    }

    Image image(uint8_t id) const {
        Image out{};
        EXPECT_TRUE(zav_peek_image(port, id, out.data()));
        return out;
    }

    static uint16_t word(const Image &img, int address) {
        return static_cast<uint16_t>(img[address] | img[address + 1] << 8);
    }

    // A held servo: torque on at goal (one position exchange), log cleared.
    void hold(uint8_t id, uint16_t goal) {
        bus.servo(id).position = goal;
        ASSERT_TRUE(ZAV_WriteByteData(port, id, ZAV_REG_TORQUE_ENABLE, 1, nullptr));
        ASSERT_TRUE(ZAV_WriteWordData(port, id, ZAV_REG_GOAL_POSITION, goal, nullptr));
        device->clear_log();
    }
};

inline Bytes position_packet(uint8_t id, uint16_t position) {
    return {static_cast<uint8_t>(0x80 + id), static_cast<uint8_t>((position >> 7) & 0x7F),
            static_cast<uint8_t>(position & 0x7F)};
}
inline Bytes read_packet(uint8_t id, uint8_t subcode) { return {static_cast<uint8_t>(0xA0 + id), subcode}; }
inline Bytes write_packet(uint8_t id, uint8_t subcode, uint8_t value) {
    return {static_cast<uint8_t>(0xC0 + id), subcode, value};
}
