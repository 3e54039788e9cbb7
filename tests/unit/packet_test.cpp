// Raw packet send (with echo read-back) and receive.
#include "memory_fixture.h"

using membus::Op;

class PacketTest : public MemoryBusTest {
protected:
    void SetUp() override {
        MemoryBusTest::SetUp();
        open_port();
    }
};

TEST_F(PacketTest, SendClearsPurgesWritesThenReadsTheEchoBack) {
    const uint8_t data[2] = {0x3A, 0x4C};
    StatusWord status = 0x1234;
    ASSERT_TRUE(ZAV_TxPacket(port, 5, CMD_POSITION, data, 2, &status));
    EXPECT_EQ(status, 0x1234) << "success leaves the status word alone";
    std::vector<Op> ops;
    for (const auto &e : device->events) ops.push_back(e.op);
    EXPECT_EQ(ops, (std::vector<Op>{Op::kClearErrors, Op::kPurgeReceive, Op::kWrite, Op::kRead}));
    EXPECT_EQ(sent(0), (Bytes{0x85, 0x3A, 0x4C}));
    const auto echo = device->reads().at(0);
    EXPECT_EQ(echo.requested, 3u);
    EXPECT_EQ(echo.timeout_ms, 50u);
    EXPECT_EQ(echo.bytes, (Bytes{0x85, 0x3A, 0x4C}));
}

TEST_F(PacketTest, CommandByteIsCommandTimes32PlusIdTruncated) {
    struct {
        uint32_t id;
        int32_t command;
        uint8_t byte;
    } cases[] = {{0, 4, 0x80}, {31, 5, 0xBF}, {3, 6, 0xC3}, {0x11F, 4, 0x9F}, {7, 9, 0x27}, {1, -1, 0xE1}, {2, 0, 0x02}};
    for (const auto &c : cases) {
        device->clear_log();
        ASSERT_TRUE(ZAV_TxPacket(port, c.id, c.command, nullptr, 0, nullptr)) << c.id;
        EXPECT_EQ(sent(0), (Bytes{c.byte})) << "id " << c.id << " command " << c.command;
    }
}

TEST_F(PacketTest, RefusalsWriteNothing) {
    const uint8_t data[100] = {};
    struct {
        const char *what;
        PortHandle handle;
        uint32_t id;
        const uint8_t *data;
        uint32_t length;
        StatusWord flag;
    } cases[] = {
        {"null handle", nullptr, 1, data, 2, ERR_HANDLE},
        {"id 32", port, 32, data, 2, ERR_ID},
        {"id 0x120 (low byte 32)", port, 0x120, data, 2, ERR_ID},
        {"id 255", port, 255, data, 2, ERR_ID},
        {"length above 99", port, 1, data, 100, ERR_ADDRESS},
        {"huge length", port, 1, data, 0xFFFFFFFFu, ERR_ADDRESS},
        {"null data with a length", port, 1, nullptr, 1, ERR_ADDRESS},
    };
    for (const auto &c : cases) {
        device->clear_log();
        StatusWord status = 0x0808; // replaced, not OR-ed
        EXPECT_FALSE(ZAV_TxPacket(c.handle, c.id, CMD_POSITION, c.data, c.length, &status)) << c.what;
        EXPECT_EQ(status, c.flag) << c.what;
        EXPECT_TRUE(device->events.empty()) << c.what;
        EXPECT_FALSE(ZAV_TxPacket(c.handle, c.id, CMD_POSITION, c.data, c.length, nullptr)) << c.what;
    }
    EXPECT_TRUE(ZAV_TxPacket(port, 1, CMD_POSITION, data, 99, nullptr));
    EXPECT_EQ(sent(0).size(), 100u);
}

TEST_F(PacketTest, FailedWriteIsAPortErrorWithoutEchoRead) {
    device->fail_write = true;
    StatusWord status = ERR_REPLY;
    EXPECT_FALSE(ZAV_TxPacket(port, 1, CMD_POSITION, nullptr, 0, &status));
    EXPECT_EQ(status, ERR_PORT);
    EXPECT_TRUE(device->reads().empty());
}

TEST_F(PacketTest, MissingEchoCostsTheEchoLimitButIsNotReported) {
    bus.options().echo = false;
    bus.servo(1).present = false;
    StatusWord status = 0;
    const double start = membus::now_ms();
    EXPECT_TRUE(ZAV_TxPacket(port, 1, CMD_POSITION, nullptr, 0, &status));
    EXPECT_DOUBLE_EQ(membus::now_ms() - start, 50.0);
    EXPECT_EQ(status, 0);
}

TEST_F(PacketTest, EchoReadBackLeavesTheReplyForTheReceive) {
    const uint8_t data[2] = {0, 0};
    bus.servo(4).position = 7500;
    ASSERT_TRUE(ZAV_TxPacket(port, 4, CMD_POSITION, data, 2, nullptr));
    uint8_t reply[3] = {};
    uint32_t got = 0;
    ASSERT_TRUE(ZAV_RxPacket(port, reply, 3, &got, 20, nullptr));
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(Bytes(reply, reply + 3), (Bytes{0x04, 0x3A, 0x4C}));
}

TEST_F(PacketTest, ReceiveRefusals) {
    uint8_t buffer[4];
    uint32_t got = 99;
    struct {
        const char *what;
        PortHandle handle;
        uint8_t *buffer;
        uint32_t count;
        StatusWord flag;
    } cases[] = {
        {"null handle", nullptr, buffer, 3, ERR_HANDLE},
        {"null buffer", port, nullptr, 3, ERR_PORT},
        {"zero count", port, buffer, 0, ERR_REPLY},
    };
    for (const auto &c : cases) {
        StatusWord status = ERR_WRITE;
        EXPECT_FALSE(ZAV_RxPacket(c.handle, c.buffer, c.count, &got, 20, &status)) << c.what;
        EXPECT_EQ(status, c.flag) << c.what;
    }
    EXPECT_TRUE(device->reads().empty());
}

TEST_F(PacketTest, ShortReplyIsATimeOutWithTheCountReported) {
    device->deliver({0x01, 0x02});
    uint8_t buffer[3];
    uint32_t got = 0;
    StatusWord status = ERR_WRITE;
    const double start = membus::now_ms();
    EXPECT_FALSE(ZAV_RxPacket(port, buffer, 3, &got, 26, &status));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(status, ERR_TIMEOUT);
    EXPECT_DOUBLE_EQ(membus::now_ms() - start, 26.0) << "waited to the deadline, not past it";
}

TEST_F(PacketTest, ReceiveTimeOuts) {
    uint8_t buffer[3];
    struct {
        uint32_t asked, used;
    } cases[] = {{0, 1}, {1, 1}, {26, 26}, {0xFFFFFFFFu, 0xFFFFFFFFu}};
    for (const auto &c : cases) {
        device->clear_log();
        device->deliver({1, 2, 3});
        ASSERT_TRUE(ZAV_RxPacket(port, buffer, 3, nullptr, c.asked, nullptr)) << "null count pointer is allowed";
        EXPECT_EQ(device->reads().at(0).timeout_ms, c.used);
    }
}

TEST_F(PacketTest, ReceiveDoesNotPurgeAndReturnsWhenTheBytesAreIn) {
    device->deliver({9, 8, 7}, 5.0);
    uint8_t buffer[3];
    uint32_t got = 0;
    StatusWord status = 0x4000;
    const double start = membus::now_ms();
    ASSERT_TRUE(ZAV_RxPacket(port, buffer, 3, &got, 100, &status));
    EXPECT_DOUBLE_EQ(membus::now_ms() - start, 5.0);
    EXPECT_EQ(status, 0x4000);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{9, 8, 7}));
}

TEST_F(PacketTest, FailedReadIsATimeOut) {
    device->fail_read = true;
    device->deliver({1, 2, 3});
    uint8_t buffer[3];
    StatusWord status = 0;
    EXPECT_FALSE(ZAV_RxPacket(port, buffer, 3, nullptr, 20, &status));
    EXPECT_EQ(status, ERR_TIMEOUT);
}
