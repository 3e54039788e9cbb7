// The servo bus model itself: timing, motion, encodings and id lists.
#include <gtest/gtest.h>

#include <cmath>

#include "servo_bus.h"

TEST(ServoBusModel, EchoAndReplyTiming) {
    struct {
        bool echo, wire_time;
        uint32_t baud;
        std::vector<double> times; // of the emissions, in order
    } cases[] = {
        {true, false, 9600, {0.0, 0.0}},
        {false, false, 9600, {0.0}},
        // 11 bits a byte: 3 bytes take 3.4375 ms at 9600 baud; the reply follows the packet.
        {true, true, 9600, {3.4375, 6.875}},
        {false, true, 115200, {6 * 11 * 1000.0 / 115200}},
    };
    for (const auto &c : cases) {
        zavsim::BusOptions options;
        options.echo = c.echo;
        options.wire_time = c.wire_time;
        options.baud = c.baud;
        zavsim::ServoBus bus(options);
        std::vector<zavsim::Emission> out;
        const uint8_t packet[3] = {0x83, 0x3A, 0x4C};
        bus.receive(packet, 3, 0.0, out);
        ASSERT_EQ(out.size(), c.times.size());
        for (size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i].at_ms, c.times[i], 1e-9) << i;
        EXPECT_EQ(out.back().bytes.size(), 3u);
    }
}

TEST(ServoBusModel, PacketsSplitAcrossReadsAndResynchronisation) {
    zavsim::BusOptions options;
    options.echo = false;
    zavsim::ServoBus bus(options);
    std::vector<zavsim::Emission> out;
    const uint8_t first[2] = {0xA2, 0x01};
    const uint8_t split[3] = {0xC2, 0x02, 0x33};
    bus.receive(first, 2, 0, out);
    bus.receive(split, 1, 0, out);
    bus.receive(split + 1, 2, 0, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].bytes, (std::vector<uint8_t>{0x42, 0x02, 0x33}));
    EXPECT_EQ(bus.servo(2).sc2, 0x33);
    // A position packet cut short by a new command byte is dropped.
    const uint8_t cut[4] = {0x81, 0x10, 0x85, 0x00};
    bus.receive(cut, 4, 0, out);
    const uint8_t rest[1] = {0x00};
    bus.receive(rest, 1, 0, out);
    EXPECT_EQ(out.back().bytes[0], 0x05);
    EXPECT_EQ(bus.packets_received(), 3u);
    // Cut short by a byte that is no command (command 7): dropped with it,
    // and the next packet is heard.
    const uint8_t noise[6] = {0x81, 0x10, 0xE3, 0x45, 0x55, 0x66};
    bus.receive(noise, 6, 0, out);
    const uint8_t ping[3] = {0x84, 0x00, 0x00};
    bus.receive(ping, 3, 0, out);
    EXPECT_EQ(out.back().bytes[0], 0x04);
    EXPECT_EQ(bus.packets_received(), 4u);
}

TEST(ServoBusModel, HeldServoMovesTowardItsGoal) {
    zavsim::BusOptions options;
    options.speed = 1000.0;
    zavsim::ServoBus bus(options);
    bus.servo(4).position = 7500;
    std::vector<zavsim::Emission> out;
    const uint8_t hold_4000[3] = {0x84, 4000 >> 7, 4000 & 0x7F};
    bus.receive(hold_4000, 3, 0.0, out);
    bus.advance(1000.0);
    EXPECT_NEAR(bus.servo(4).position, 6500.0, 1e-6);
    bus.advance(10000.0);
    EXPECT_EQ(bus.servo(4).present_position(), 4000);
    // Released, it stays where it is.
    const uint8_t release[3] = {0x84, 0, 0};
    bus.receive(release, 3, 10000.0, out);
    EXPECT_FALSE(bus.servo(4).torque);
    bus.servo(4).goal = 9000;
    bus.advance(20000.0);
    EXPECT_EQ(bus.servo(4).present_position(), 4000);
}

TEST(ServoBusModel, ReadingEncodingsDecodeToTheirValues) {
    for (int value = -63; value <= 63; ++value) {
        const uint8_t v = zavsim::encode_sc3(value);
        EXPECT_EQ((v & 0x40) ? -(v & 0x3F) : (v & 0x3F), value) << value;
    }
    for (int value = -63; value <= 127; ++value) {
        const int v = zavsim::encode_sc4(value);
        const double decoded = std::fmin(127.0, std::trunc((127.0 - v) * 9.0 / 11.0 + 41.55));
        // Not every value has a raw byte; the nearest one is at most one off.
        EXPECT_LE(std::fabs(decoded - value), 1.0) << value;
    }
}

TEST(ServoBusModel, IdLists) {
    struct {
        const char *text;
        bool ok;
        std::vector<int> ids;
    } cases[] = {
        {"0-5,9", true, {0, 1, 2, 3, 4, 5, 9}}, {"31", true, {31}}, {"3,3", true, {3, 3}},
        {"", false, {}},  {"32", false, {}},  {"5-2", false, {}}, {"a", false, {}}, {"1,,2", false, {}}, {"1-", false, {}},
    };
    for (const auto &c : cases) {
        std::vector<int> ids;
        EXPECT_EQ(zavsim::parse_id_list(c.text, ids), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ids, c.ids) << c.text;
        }
    }
}
