// The position exchange and ping.
#include "memory_fixture.h"

class PingTest : public MemoryBusTest {};

TEST_F(PingTest, FreshPortPingSendsPositionZeroAndRefreshesThePresentPosition) {
    open_port();
    bus.servo(5).position = 7500;
    StatusWord status = 0xFFFF;
    ASSERT_TRUE(ZAV_Ping(port, 5, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sent(), (std::vector<Bytes>{{0x85, 0x00, 0x00}}));
    const Image img = image(5);
    EXPECT_EQ(word(img, ZAV_REG_PRESENT_POSITION), 7500);
    EXPECT_EQ(img[ZAV_REG_TORQUE_ENABLE], 0);
    EXPECT_EQ(word(img, ZAV_REG_GOAL_POSITION), 0);
}

TEST_F(PingTest, HeldServoIsSentItsGoalAgain) {
    open_port();
    hold(2, 7500);
    ASSERT_TRUE(ZAV_Ping(port, 2, nullptr));
    EXPECT_EQ(sent(), (std::vector<Bytes>{{0x82, 0x3A, 0x4C}}));
    const Image img = image(2);
    EXPECT_EQ(img[ZAV_REG_GOAL_POSITION], 0x4C);
    EXPECT_EQ(img[ZAV_REG_GOAL_POSITION + 1], 0x1D);
    EXPECT_EQ(img[ZAV_REG_TORQUE_ENABLE], 1);
}

TEST_F(PingTest, FirstReplyByteOfServoZeroDependsOnTheRate) {
    struct {
        int32_t baud;
        uint8_t id, first;
        bool ok;
    } cases[] = {
        {115200, 0, 0x80, true}, {115200, 0, 0x00, false}, {9600, 0, 0x00, true},   {9600, 0, 0x80, false},
        {115200, 5, 0x05, true}, {9600, 5, 0x05, true},    {115200, 5, 0x85, false}, {57600, 0, 0x00, true},
    };
    open_port();
    for (const auto &c : cases) {
        ASSERT_TRUE(ZAV_SetBaudrate(port, c.baud));
        bus.servo(c.id).scripted_replies.push_back({c.first, 0x3A, 0x4C});
        const Image before = image(c.id);
        StatusWord status = 0;
        EXPECT_EQ(ZAV_Ping(port, c.id, &status), c.ok) << c.baud << " id " << int(c.id);
        EXPECT_EQ(status, c.ok ? 0 : ERR_REPLY);
        if (!c.ok) {
            EXPECT_EQ(image(c.id), before) << "a wrong reply leaves the image unchanged";
        }
        if (c.ok) {
            EXPECT_EQ(word(image(c.id), ZAV_REG_PRESENT_POSITION), 7500);
        }
    }
}

TEST_F(PingTest, PresentPositionTakesReplyByteOneUnmasked) {
    open_port();
    struct {
        uint8_t high, low;
        uint16_t present;
    } cases[] = {{0x3A, 0x4C, 7500}, {0x00, 0xFF, 0x7F}, {0xFF, 0x00, 0xFF * 128}, {0x7F, 0x7F, 16383}};
    for (const auto &c : cases) {
        bus.servo(3).scripted_replies.push_back({0x03, c.high, c.low});
        ASSERT_TRUE(ZAV_Ping(port, 3, nullptr));
        EXPECT_EQ(word(image(3), ZAV_REG_PRESENT_POSITION), c.present);
    }
}

TEST_F(PingTest, Failures) {
    open_port();
    struct {
        const char *what;
        bool null_handle;
        uint8_t id;
        zavsim::Fault fault;
        StatusWord flag;
    } cases[] = {
        {"null handle", true, 1, {}, ERR_HANDLE},
        {"id 32", false, 32, {}, ERR_ID},
        {"id 255", false, 255, {}, ERR_ID},
        {"silent", false, 1, zavsim::Fault::silent(), ERR_TIMEOUT},
        {"short reply", false, 1, zavsim::Fault::short_reply(), ERR_TIMEOUT},
        {"late reply", false, 1, zavsim::Fault::late(30), ERR_TIMEOUT},
        {"wrong first byte", false, 1, zavsim::Fault::corrupt(0), ERR_REPLY},
    };
    for (const auto &c : cases) {
        bus.servo(1).fault = c.fault;
        device->clear_log();
        StatusWord status = 0x0008;
        EXPECT_FALSE(ZAV_Ping(c.null_handle ? nullptr : port, c.id, &status)) << c.what;
        EXPECT_EQ(status, c.flag) << c.what;
        EXPECT_EQ(sent().size(), c.flag == ERR_ID || c.flag == ERR_HANDLE ? 0u : 1u) << c.what;
        membus::advance_ms(100); // a late reply lands before the next exchange purges
        EXPECT_FALSE(ZAV_Ping(c.null_handle ? nullptr : port, c.id, nullptr)) << c.what;
        membus::advance_ms(100);
    }
}

TEST_F(PingTest, ReplyTimeOutFollowsRateAndOffset) {
    open_port();
    struct {
        int32_t baud, offset;
        uint32_t timeout;
    } cases[] = {{9600, 20, 26}, {115200, 20, 20}, {1200, 20, 70}, {1, 0, 60000}, {-1, 20, 20}, {2400, 7, 32}};
    bus.servo(1).present = false;
    for (const auto &c : cases) {
        ASSERT_TRUE(ZAV_SetBaudrate(port, c.baud));
        ZAV_SetTimeOutOffset(port, c.offset);
        device->clear_log();
        const double start = membus::now_ms();
        EXPECT_FALSE(ZAV_Ping(port, 1, nullptr));
        EXPECT_EQ(reply_timeouts(), (std::vector<uint32_t>{c.timeout})) << c.baud;
        // A silent servo costs its reply time-out (the echo arrived at once).
        EXPECT_DOUBLE_EQ(membus::now_ms() - start, c.timeout) << c.baud;
    }
}
