// Sync write: shape rules, the record loop and its results.
#include <memory>

#include "memory_fixture.h"

class SyncWriteTest : public MemoryBusTest {
protected:
    void SetUp() override {
        MemoryBusTest::SetUp();
        open_port();
    }
};

namespace {

// The shape rules as a person states them.
bool shape_accepted(uint32_t length, unsigned per_servo) {
    if (length < 5 || length > 93) return false;
    if (per_servo == 0) return false;
    if (per_servo == 1) return length == 5 || length == 7;
    return true;
}

} // namespace

TEST_F(SyncWriteTest, ShapeRulesOverEveryLengthAndRecordSize) {
    for (uint32_t length = 0; length <= 100; ++length) {
        for (unsigned n = 0; n <= 255; ++n) {
            // Exactly length bytes on the heap, so a read past the block is caught
            // under AddressSanitizer. Ids 40 make every record fail without traffic.
            std::unique_ptr<uint8_t[]> block(new uint8_t[length + (length == 0)]);
            for (uint32_t i = 0; i < length; ++i) block[i] = 40;
            if (length >= 2) {
                block[0] = 4;
                block[1] = static_cast<uint8_t>(n);
            }
            StatusWord status = 0;
            const bool accepted = shape_accepted(length, n);
            ASSERT_EQ(ZAV_WriteSyncData(port, block.get(), length, &status), accepted) << length << " " << n;
            if (!accepted) {
                ASSERT_EQ(status, ERR_ADDRESS) << length << " " << n;
            }
            // Accepted: the first record's id 40 fails, or it is cut short.
            if (accepted) {
                ASSERT_TRUE(status == ERR_ID || status == ERR_ADDRESS) << length << " " << n;
            }
        }
    }
    EXPECT_TRUE(sent().empty());
}

TEST_F(SyncWriteTest, LengthAndDataRefusals) {
    const uint8_t block[100] = {2, 2, 1, 0x4C, 0x1D};
    struct {
        const uint8_t *data;
        uint32_t length;
    } cases[] = {{block, 4}, {block, 94}, {block, 0}, {nullptr, 5}, {nullptr, 4}};
    for (const auto &c : cases) {
        StatusWord status = ERR_WRITE;
        EXPECT_FALSE(ZAV_WriteSyncData(port, c.data, c.length, &status));
        EXPECT_EQ(status, ERR_ADDRESS) << c.length;
    }
    StatusWord status = 0;
    EXPECT_FALSE(ZAV_WriteSyncData(nullptr, block, 5, &status));
    EXPECT_EQ(status, ERR_HANDLE);
    EXPECT_TRUE(sent().empty());
}

TEST_F(SyncWriteTest, GoalsToTwoServos) {
    hold(1, 5000);
    hold(2, 5000);
    const uint8_t block[8] = {2, 2, 1, 0x4C, 0x1D, 2, 0x4C, 0x1D};
    StatusWord status = 0xFFFF;
    ASSERT_TRUE(ZAV_WriteSyncData(port, block, 8, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sent(), (std::vector<Bytes>{position_packet(1, 7500), position_packet(2, 7500)}));
}

TEST_F(SyncWriteTest, RecordFailuresEndTheLoopButTheCallSucceeds) {
    // Servo 0 is missing: a broadcast record stops there but returns true, so
    // the loop goes on, and the flags it left must survive the next record.
    bus.servo(0).present = false;
    struct {
        const char *what;
        Bytes block;
        StatusWord status;
        size_t packets;
    } cases[] = {
        {"id 40", {2, 2, 40, 0x4C, 0x1D}, ERR_ID, 0},
        {"range past register 9", {4, 7, 1, 1, 1, 1, 1, 1, 1, 1}, ERR_ADDRESS, 0},
        {"first record cut short", {4, 3, 1, 1, 1}, ERR_ADDRESS, 0},
        // Broadcast: both parameters of servo 0 time out; then servo 1 goes through.
        {"failed broadcast, then a good record", {4, 2, BROADCAST_ID, 20, 30, 1, 20, 30}, ERR_TIMEOUT | ERR_WRITE, 4},
        {"failed broadcast, then id 40", {4, 2, BROADCAST_ID, 20, 30, 40, 20, 30}, ERR_TIMEOUT | ERR_WRITE | ERR_ID, 2},
    };
    for (const auto &c : cases) {
        for (bool with_status : {true, false}) {
            device->clear_log();
            StatusWord status = 0xFFFF;
            EXPECT_TRUE(ZAV_WriteSyncData(port, c.block.data(), static_cast<uint32_t>(c.block.size()),
                                          with_status ? &status : nullptr))
                << c.what;
            if (with_status) {
                EXPECT_EQ(status, c.status) << c.what;
            }
            EXPECT_EQ(sent().size(), c.packets) << c.what;
        }
    }
}

TEST_F(SyncWriteTest, SecondOfThreeFails) {
    for (uint8_t id : {1, 2, 3}) hold(id, 5000);
    bus.servo(2).present = false;
    const uint8_t block[11] = {2, 2, 1, 0x4C, 0x1D, 2, 0x4C, 0x1D, 3, 0x4C, 0x1D};
    StatusWord status = 0;
    EXPECT_TRUE(ZAV_WriteSyncData(port, block, 11, &status));
    EXPECT_EQ(status, ERR_TIMEOUT | ERR_WRITE);
    EXPECT_EQ(sent(), (std::vector<Bytes>{position_packet(1, 7500), position_packet(2, 7500)}));
    EXPECT_EQ(word(image(1), ZAV_REG_GOAL_POSITION), 7500);
    EXPECT_EQ(word(image(3), ZAV_REG_GOAL_POSITION), 5000);
}

TEST_F(SyncWriteTest, ShortLastRecordIsNotWritten) {
    hold(1, 5000);
    hold(2, 5000);
    // n = 2, L = 6: the second record has its id but no data inside the block.
    const uint8_t block[6] = {2, 2, 1, 0x4C, 0x1D, 2};
    StatusWord status = 0;
    EXPECT_TRUE(ZAV_WriteSyncData(port, block, 6, &status));
    EXPECT_EQ(status, ERR_ADDRESS);
    EXPECT_EQ(sent(), (std::vector<Bytes>{position_packet(1, 7500)}));
}

TEST_F(SyncWriteTest, BroadcastRecordThenTheNextRecord) {
    // With one byte per servo every accepted block ends in a record cut short
    // (here the id 0 at offset 6), which is not written.
    const uint8_t block[7] = {4, 1, BROADCAST_ID, 20, 5, 30, 0};
    StatusWord status = 0;
    EXPECT_TRUE(ZAV_WriteSyncData(port, block, 7, &status));
    EXPECT_EQ(status, ERR_ADDRESS);
    const auto packets = sent();
    ASSERT_EQ(packets.size(), 32u);
    for (uint8_t id = 0; id <= 30; ++id) EXPECT_EQ(packets[id], write_packet(id, 2, 20));
    EXPECT_EQ(packets[31], write_packet(5, 2, 30));
}

TEST_F(SyncWriteTest, ThirtyGoalsInNinetyTwoBytes) {
    std::vector<uint8_t> block = {2, 2};
    for (uint8_t id = 0; id < 30; ++id) {
        hold(id, 5000);
        block.insert(block.end(), {id, 0x4C, 0x1D});
    }
    ASSERT_EQ(block.size(), 92u);
    StatusWord status = 0;
    ASSERT_TRUE(ZAV_WriteSyncData(port, block.data(), 92, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sent().size(), 30u);
    EXPECT_EQ(sent(29), position_packet(29, 7500));
}
