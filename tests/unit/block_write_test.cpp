// Block, word and byte writes, broadcast included.
#include "memory_fixture.h"

class BlockWriteTest : public MemoryBusTest {
protected:
    void SetUp() override {
        MemoryBusTest::SetUp();
        open_port();
    }
};

TEST_F(BlockWriteTest, ParameterWrite) {
    StatusWord status = 0xFFFF;
    ASSERT_TRUE(ZAV_WriteByteData(port, 3, ZAV_REG_SC2_VALUE, 100, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sent(), (std::vector<Bytes>{write_packet(3, 2, 100)}));
    EXPECT_EQ(image(3)[ZAV_REG_SC2_VALUE], 100);
    EXPECT_EQ(bus.servo(3).sc2, 100);
    ASSERT_TRUE(ZAV_WriteByteData(port, 0, ZAV_REG_SC1_VALUE, 127, &status))
        << "servo 0 answers 0x40 at 115200 baud too";
    EXPECT_EQ(image(0)[ZAV_REG_SC1_VALUE], 127);
}

TEST_F(BlockWriteTest, ParameterValuesOutOfRangeSendNothing) {
    for (uint8_t reg : {ZAV_REG_SC2_VALUE, ZAV_REG_SC1_VALUE}) {
        for (int value : {0, 128, 200, 255}) {
            device->clear_log();
            StatusWord status = 0;
            EXPECT_FALSE(ZAV_WriteByteData(port, 3, reg, static_cast<uint8_t>(value), &status));
            EXPECT_EQ(status, ERR_WRITE) << int(reg) << " " << value;
            EXPECT_TRUE(sent().empty());
        }
    }
}

TEST_F(BlockWriteTest, ParameterReplyMustRepeatAllThreeBytes) {
    const Bytes bad_replies[] = {{0x43, 0x02, 0x63}, {0x43, 0x01, 0x64}, {0x44, 0x02, 0x64}, {0xC3, 0x02, 0x64}};
    for (const Bytes &reply : bad_replies) {
        bus.servo(3).scripted_replies.push_back(reply);
        StatusWord status = 0;
        EXPECT_FALSE(ZAV_WriteByteData(port, 3, ZAV_REG_SC2_VALUE, 100, &status));
        EXPECT_EQ(status, ERR_REPLY | ERR_WRITE);
        EXPECT_EQ(image(3)[ZAV_REG_SC2_VALUE], 0);
    }
}

TEST_F(BlockWriteTest, GoalIsKeptOnlyWhileTorqueIsOn) {
    StatusWord status = 0xFFFF;
    const Image before = image(5);
    ASSERT_TRUE(ZAV_WriteWordData(port, 5, ZAV_REG_GOAL_POSITION, 7500, &status));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(image(5), before);

    hold(5, 4000);
    ASSERT_TRUE(ZAV_WriteWordData(port, 5, ZAV_REG_GOAL_POSITION, 7500, &status));
    EXPECT_EQ(sent(), (std::vector<Bytes>{{0x85, 0x3A, 0x4C}}));
    EXPECT_EQ(word(image(5), ZAV_REG_GOAL_POSITION), 7500);
    EXPECT_EQ(image(5)[ZAV_REG_TORQUE_ENABLE], 1);
}

TEST_F(BlockWriteTest, GoalBounds) {
    hold(5, 4000);
    struct {
        uint16_t goal;
        bool ok;
    } cases[] = {{2999, false}, {3000, true}, {12000, true}, {12001, false}, {0, false}, {65535, false}};
    for (const auto &c : cases) {
        device->clear_log();
        StatusWord status = 0;
        EXPECT_EQ(ZAV_WriteWordData(port, 5, ZAV_REG_GOAL_POSITION, c.goal, &status), c.ok) << c.goal;
        EXPECT_EQ(status, c.ok ? 0 : ERR_WRITE) << c.goal;
        EXPECT_EQ(sent().size(), c.ok ? 1u : 0u) << c.goal;
    }
    // The range failure replaces flags that earlier steps of the block left.
    bus.servo(5).fault = zavsim::Fault::silent().only_command(CMD_WRITE_PARAM);
    const uint8_t block[3] = {0xB7, 0x0B, 50}; // goal 2999, sc2 50
    StatusWord status = 0;
    EXPECT_FALSE(ZAV_WriteBlockData(port, 5, 2, block, 3, &status));
    EXPECT_EQ(status, ERR_WRITE);
}

TEST_F(BlockWriteTest, TorqueStep) {
    struct {
        const char *what;
        bool held;
        uint8_t torque;
        std::vector<Bytes> packets;
        uint8_t torque_after;
        uint16_t goal_after;
    } cases[] = {
        {"take hold where the servo stands", false, 1, {position_packet(2, 0), position_packet(2, 5000)}, 1, 5000},
        {"any non-zero byte takes hold", false, 0x80, {position_packet(2, 0), position_packet(2, 5000)}, 1, 5000},
        {"already held: goal re-sent", true, 1, {position_packet(2, 6000)}, 1, 6000},
        {"release", true, 0, {position_packet(2, 0)}, 0, 0},
    };
    for (const auto &c : cases) {
        if (c.held) {
            hold(2, 6000);
        } else {
            ASSERT_TRUE(ZAV_WriteByteData(port, 2, ZAV_REG_TORQUE_ENABLE, 0, nullptr));
            bus.servo(2).position = 5000;
            device->clear_log();
        }
        StatusWord status = 0xFFFF;
        ASSERT_TRUE(ZAV_WriteByteData(port, 2, ZAV_REG_TORQUE_ENABLE, c.torque, &status)) << c.what;
        EXPECT_EQ(status, 0);
        EXPECT_EQ(sent(), c.packets) << c.what;
        EXPECT_EQ(image(2)[ZAV_REG_TORQUE_ENABLE], c.torque_after) << c.what;
        EXPECT_EQ(word(image(2), ZAV_REG_GOAL_POSITION), c.goal_after) << c.what;
    }
}

TEST_F(BlockWriteTest, TakeHoldFailsWhenTheFirstExchangeFails) {
    bus.servo(2).fault = zavsim::Fault::silent().times(1);
    StatusWord status = 0;
    EXPECT_FALSE(ZAV_WriteByteData(port, 2, ZAV_REG_TORQUE_ENABLE, 1, &status));
    EXPECT_EQ(status, ERR_TIMEOUT | ERR_WRITE);
    EXPECT_EQ(sent().size(), 1u);
}

TEST_F(BlockWriteTest, TorqueThenGoalFromAddressOne) {
    bus.servo(2).position = 5000;
    const uint8_t hold_and_move[3] = {1, 0x4C, 0x1D};
    ASSERT_TRUE(ZAV_WriteBlockData(port, 2, 1, hold_and_move, 3, nullptr));
    EXPECT_EQ(sent(), (std::vector<Bytes>{position_packet(2, 0), position_packet(2, 5000), position_packet(2, 7500)}));

    // Releasing with a goal in the same block leaves the goal unsent.
    device->clear_log();
    const uint8_t release_and_move[3] = {0, 0x4C, 0x1D};
    ASSERT_TRUE(ZAV_WriteBlockData(port, 2, 1, release_and_move, 3, nullptr));
    EXPECT_EQ(sent(), (std::vector<Bytes>{position_packet(2, 0)}));
    EXPECT_EQ(image(2)[ZAV_REG_TORQUE_ENABLE], 0);
}

TEST_F(BlockWriteTest, WholeImageRunsTheStepsInOrder) {
    bus.servo(4).position = 5000;
    // Registers 0 and 6 to 9 are ignored; 4, 5, 1 and the goal are written.
    const uint8_t block[10] = {99, 1, 0x4C, 0x1D, 20, 30, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(ZAV_WriteBlockData(port, 4, 0, block, 10, nullptr));
    EXPECT_EQ(sent(), (std::vector<Bytes>{write_packet(4, 2, 20), write_packet(4, 1, 30), position_packet(4, 0),
                                          position_packet(4, 5000), position_packet(4, 7500)}));
    const Image img = image(4);
    EXPECT_EQ(img[ZAV_REG_ID], 4);
    EXPECT_EQ(img[ZAV_REG_SC2_VALUE], 20);
    EXPECT_EQ(img[ZAV_REG_SC1_VALUE], 30);
    EXPECT_EQ(word(img, ZAV_REG_GOAL_POSITION), 7500);
}

TEST_F(BlockWriteTest, RangesWithoutAWritableRegister) {
    const uint8_t block[10] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    struct {
        uint8_t address;
        uint32_t length;
        bool ok;
        size_t exchanges;
    } cases[] = {{6, 4, false, 0}, {0, 1, false, 0}, {2, 1, false, 0}, {3, 1, false, 0}, {3, 2, true, 1},
                 {0, 3, true, 2 /* torque only: take hold */}};
    for (const auto &c : cases) {
        ASSERT_TRUE(ZAV_WriteByteData(port, 1, ZAV_REG_TORQUE_ENABLE, 0, nullptr));
        device->clear_log();
        StatusWord status = 0;
        EXPECT_EQ(ZAV_WriteBlockData(port, 1, c.address, block, c.length, &status), c.ok) << int(c.address);
        EXPECT_EQ(status, c.ok ? 0 : ERR_WRITE) << int(c.address);
        EXPECT_EQ(sent().size(), c.exchanges) << int(c.address) << " " << c.length;
    }
}

TEST_F(BlockWriteTest, EachStepReplacesTheLastOutcome) {
    const uint8_t both[2] = {20, 30}; // registers 4 and 5
    struct {
        const char *what;
        zavsim::Fault fault;
        bool ok;
        StatusWord status;
    } cases[] = {
        {"register 4 silent, 5 fine", zavsim::Fault::silent().only_subcode(2), true, ERR_TIMEOUT},
        {"register 4 wrong, 5 fine", zavsim::Fault::corrupt(2).only_subcode(2), true, ERR_REPLY},
        {"register 5 silent", zavsim::Fault::silent().only_subcode(1), false, ERR_TIMEOUT | ERR_WRITE},
        {"both short: the transport flag is assigned", zavsim::Fault::short_reply(), false, ERR_TIMEOUT | ERR_WRITE},
    };
    for (const auto &c : cases) {
        bus.servo(8).fault = c.fault;
        StatusWord status = 0;
        EXPECT_EQ(ZAV_WriteBlockData(port, 8, 4, both, 2, &status), c.ok) << c.what;
        EXPECT_EQ(status, c.status) << c.what;
    }
    // A refused value ORs its flag; a later transport failure assigns over it.
    bus.servo(8).fault = zavsim::Fault::silent();
    const uint8_t refused_then_silent[2] = {0, 30};
    StatusWord status = 0;
    EXPECT_FALSE(ZAV_WriteBlockData(port, 8, 4, refused_then_silent, 2, &status));
    EXPECT_EQ(status, ERR_TIMEOUT | ERR_WRITE);
}

TEST_F(BlockWriteTest, ArgumentChecks) {
    const uint8_t data[10] = {};
    struct {
        const char *what;
        bool null_handle;
        uint8_t id, address;
        const uint8_t *data;
        uint32_t length;
        StatusWord flag;
    } cases[] = {
        {"null handle", true, 99, 0, data, 0, ERR_HANDLE},
        {"length 0 before the id", false, 99, 0, data, 0, ERR_ADDRESS},
        {"address 9 length 2", false, 1, 9, data, 2, ERR_ADDRESS},
        {"length above 10", false, 1, 0, data, 11, ERR_ADDRESS},
        {"no wrap-around", false, 1, 255, data, 0xFFFFFFFFu, ERR_ADDRESS},
        {"null data before the id", false, 99, 4, nullptr, 1, ERR_ADDRESS},
        {"id 32", false, 32, 4, data, 1, ERR_ID},
        {"id 255", false, 255, 4, data, 1, ERR_ID},
        {"id 253", false, 253, 4, data, 1, ERR_ID},
    };
    for (const auto &c : cases) {
        StatusWord status = ERR_REPLY;
        EXPECT_FALSE(ZAV_WriteBlockData(c.null_handle ? nullptr : port, c.id, c.address, c.data, c.length, &status)) << c.what;
        EXPECT_EQ(status, c.flag) << c.what;
    }
    EXPECT_TRUE(device->events.empty());
}

TEST_F(BlockWriteTest, BroadcastWritesIdsZeroToThirtyInOrder) {
    StatusWord status = 0xFFFF;
    ASSERT_TRUE(ZAV_WriteByteData(port, BROADCAST_ID, ZAV_REG_SC1_VALUE, 9, &status));
    EXPECT_EQ(status, 0);
    std::vector<Bytes> expected;
    for (uint8_t id = 0; id <= 30; ++id) expected.push_back(write_packet(id, 1, 9));
    EXPECT_EQ(sent(), expected);
    EXPECT_NE(bus.servo(31).sc1, 9) << "id 31 is never part of a broadcast";
}

TEST_F(BlockWriteTest, BroadcastStopsAtTheFirstFailingServoAndStillReturnsTrue) {
    bus.servo(0).present = false;
    StatusWord status = 0;
    EXPECT_TRUE(ZAV_WriteByteData(port, BROADCAST_ID, ZAV_REG_SC2_VALUE, 9, &status));
    EXPECT_EQ(status, ERR_TIMEOUT | ERR_WRITE);
    EXPECT_EQ(sent().size(), 1u);

    bus.servo(0).present = true;
    bus.servo(12).fault = zavsim::Fault::corrupt(2);
    device->clear_log();
    EXPECT_TRUE(ZAV_WriteByteData(port, BROADCAST_ID, ZAV_REG_SC2_VALUE, 9, &status));
    EXPECT_EQ(status, ERR_REPLY | ERR_WRITE);
    EXPECT_EQ(sent().size(), 13u);
}

TEST_F(BlockWriteTest, BroadcastGoalReachesOnlyHeldServos) {
    hold(3, 5000);
    hold(17, 5000);
    StatusWord status = 0;
    ASSERT_TRUE(ZAV_WriteWordData(port, BROADCAST_ID, ZAV_REG_GOAL_POSITION, 7500, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sent(), (std::vector<Bytes>{position_packet(3, 7500), position_packet(17, 7500)}));
}
