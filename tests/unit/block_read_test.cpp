// Block, word and byte reads: refresh exchanges, checks and conversions.
#include <cmath>

#include "memory_fixture.h"

class BlockReadTest : public MemoryBusTest {
protected:
    void SetUp() override {
        MemoryBusTest::SetUp();
        open_port();
    }
};

TEST_F(BlockReadTest, FullRangeRunsSixExchangesInOrder) {
    zavsim::Servo &s = bus.servo(3);
    s.position = 7500;
    s.sc2 = 0x57;
    s.sc1 = 0x21;
    s.sc3_raw = 0x45; // -5
    s.sc4_raw = 127;  // 41
    uint8_t data[10];
    StatusWord status = 0xFFFF;
    ASSERT_TRUE(ZAV_ReadBlockData(port, 3, 0, data, 10, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sent(), (std::vector<Bytes>{position_packet(3, 0), read_packet(3, 2), read_packet(3, 1),
                                          position_packet(3, 0), read_packet(3, 3), read_packet(3, 4)}));
    EXPECT_EQ(Bytes(data, data + 10), (Bytes{3, 0, 0, 0, 0x57, 0x21, 0x4C, 0x1D, 0xFB, 41}));
    // sub-code 2 waits with K = 60000, the others with K = 50000 (9600 baud: 26 and 25 ms).
    ASSERT_TRUE(ZAV_SetBaudrate(port, 9600));
    device->clear_log();
    ASSERT_TRUE(ZAV_ReadBlockData(port, 3, 0, data, 10, nullptr));
    EXPECT_EQ(reply_timeouts(), (std::vector<uint32_t>{26, 26, 25, 26, 25, 25}));
}

TEST_F(BlockReadTest, OnlyTheCoveredRegistersCauseExchanges) {
    hold(4, 7500);
    struct {
        uint8_t start;
        uint32_t length;
        std::vector<Bytes> packets;
    } cases[] = {
        {0, 1, {position_packet(4, 7500)}},
        {1, 3, {}},
        {2, 2, {}},
        {6, 1, {}},
        {7, 1, {}},
        {6, 2, {position_packet(4, 7500)}},
        {3, 2, {read_packet(4, 2)}},
        {9, 1, {read_packet(4, 4)}},
        {7, 2, {read_packet(4, 3)}},
        {4, 2, {read_packet(4, 2), read_packet(4, 1)}},
        {5, 2, {read_packet(4, 1)}},
        {5, 3, {read_packet(4, 1), position_packet(4, 7500)}},
        {0, 8, {position_packet(4, 7500), read_packet(4, 2), read_packet(4, 1), position_packet(4, 7500)}},
        {1, 9, {read_packet(4, 2), read_packet(4, 1), position_packet(4, 7500), read_packet(4, 3), read_packet(4, 4)}},
    };
    for (const auto &c : cases) {
        device->clear_log();
        uint8_t data[10];
        EXPECT_TRUE(ZAV_ReadBlockData(port, 4, c.start, data, c.length, nullptr));
        EXPECT_EQ(sent(), c.packets) << "start " << int(c.start) << " length " << c.length;
    }
}

TEST_F(BlockReadTest, WordAndByteForms) {
    bus.servo(2).position = 7500;
    uint16_t word_value = 0xFFFF;
    ASSERT_TRUE(ZAV_ReadWordData(port, 2, ZAV_REG_GOAL_POSITION, &word_value, nullptr));
    EXPECT_EQ(word_value, 0) << "goal of a fresh image, no exchange";
    EXPECT_TRUE(sent().empty());
    ASSERT_TRUE(ZAV_ReadWordData(port, 2, ZAV_REG_PRESENT_POSITION, &word_value, nullptr));
    EXPECT_EQ(word_value, 7500);
    uint8_t byte_value = 0;
    ASSERT_TRUE(ZAV_ReadByteData(port, 2, ZAV_REG_ID, &byte_value, nullptr));
    EXPECT_EQ(byte_value, 2);
    EXPECT_EQ(sent().size(), 2u);
    ASSERT_TRUE(ZAV_ReadByteData(port, 2, 7, &byte_value, nullptr));
    EXPECT_EQ(byte_value, 7500 >> 8);
    EXPECT_EQ(sent().size(), 2u);
}

TEST_F(BlockReadTest, ArgumentChecksComeFirstAndSendNothing) {
    uint8_t data[10];
    struct {
        const char *what;
        bool null_handle;
        uint8_t id, start;
        uint8_t *data;
        uint32_t length;
        StatusWord flag;
    } cases[] = {
        {"null handle beats everything", true, 40, 0, data, 0, ERR_HANDLE},
        {"id 32", false, 32, 0, data, 1, ERR_ID},
        {"id before range", false, 255, 0, data, 0, ERR_ID},
        {"length 0", false, 1, 0, data, 0, ERR_ADDRESS},
        {"start 9 length 2", false, 1, 9, data, 2, ERR_ADDRESS},
        {"start 0 length 11", false, 1, 0, data, 11, ERR_ADDRESS},
        {"no wrap-around", false, 1, 1, data, 0xFFFFFFFFu, ERR_ADDRESS},
        {"start 255", false, 1, 255, data, 1, ERR_ADDRESS},
        {"null destination", false, 1, 0, nullptr, 1, ERR_ADDRESS},
    };
    for (const auto &c : cases) {
        StatusWord status = ERR_REPLY;
        EXPECT_FALSE(ZAV_ReadBlockData(c.null_handle ? nullptr : port, c.id, c.start, c.data, c.length, &status)) << c.what;
        EXPECT_EQ(status, c.flag) << c.what;
        EXPECT_FALSE(ZAV_ReadBlockData(c.null_handle ? nullptr : port, c.id, c.start, c.data, c.length, nullptr)) << c.what;
    }
    EXPECT_TRUE(device->events.empty());
}

TEST_F(BlockReadTest, FirstFailureEndsTheReadAndLeavesTheDestination) {
    struct {
        const char *what;
        zavsim::Fault fault;
        size_t exchanges;
        StatusWord flag;
    } cases[] = {
        {"sub-code 2 echoes a wrong sub-code", zavsim::Fault::corrupt(1).only_subcode(2), 2, ERR_REPLY},
        {"sub-code 1 silent", zavsim::Fault::silent().only_subcode(1), 3, ERR_TIMEOUT},
        {"position reply wrong", zavsim::Fault::corrupt(0).only_command(CMD_POSITION), 1, ERR_REPLY},
        {"sub-code 3 short", zavsim::Fault::short_reply().only_subcode(3), 5, ERR_TIMEOUT},
        {"sub-code 4 wrong first byte", zavsim::Fault::corrupt(0).only_subcode(4), 6, ERR_REPLY},
        {"sub-code 2 value cannot fail", zavsim::Fault::corrupt(2).only_subcode(2), 6, 0},
    };
    for (const auto &c : cases) {
        bus.servo(6).fault = c.fault;
        device->clear_log();
        uint8_t data[10];
        std::fill(std::begin(data), std::end(data), 0xEE);
        StatusWord status = 0xFFFF;
        const bool ok = ZAV_ReadBlockData(port, 6, 0, data, 10, &status);
        EXPECT_EQ(ok, c.flag == 0) << c.what;
        EXPECT_EQ(status, c.flag) << c.what;
        EXPECT_EQ(sent().size(), c.exchanges) << c.what;
        if (!ok) {
            EXPECT_EQ(Bytes(data, data + 10), Bytes(10, 0xEE)) << c.what;
        }
    }
}

TEST_F(BlockReadTest, EarlierStepsKeepTheirEffectWhenALaterOneFails) {
    bus.servo(6).position = 4000;
    bus.servo(6).fault = zavsim::Fault::corrupt(1).only_subcode(2);
    uint8_t data[10];
    EXPECT_FALSE(ZAV_ReadBlockData(port, 6, 0, data, 10, nullptr));
    EXPECT_EQ(word(image(6), ZAV_REG_PRESENT_POSITION), 4000);
    EXPECT_EQ(image(6)[ZAV_REG_SC2_VALUE], 0);
}

TEST_F(BlockReadTest, ReplyChecksPerSubCode) {
    // reply[0] with bit 7 set passes only for sub-code 3; reply[1] is checked only for 1 and 2.
    struct {
        uint8_t start, subcode;
        Bytes reply;
        bool ok;
    } cases[] = {
        {8, 3, {0xA7, 0x00, 0x05}, true},  {8, 3, {0x27, 0x09, 0x05}, true}, {9, 4, {0x27, 0x09, 0x7F}, true},
        {9, 4, {0xA7, 0x04, 0x7F}, false}, {4, 2, {0xA7, 0x02, 0x10}, false}, {5, 1, {0xA7, 0x01, 0x10}, false},
        {4, 2, {0x27, 0x01, 0x10}, false}, {5, 1, {0x27, 0x02, 0x10}, false}, {4, 2, {0x27, 0x02, 0xF0}, true},
        {8, 3, {0x26, 0x03, 0x05}, false},
    };
    for (const auto &c : cases) {
        bus.servo(7).scripted_replies.push_back(c.reply);
        uint8_t value = 0;
        StatusWord status = 0;
        EXPECT_EQ(ZAV_ReadByteData(port, 7, c.start, &value, &status), c.ok) << int(c.subcode);
        EXPECT_EQ(status, c.ok ? 0 : ERR_REPLY);
    }
}

namespace {

// Independent statements of the two conversions.
int8_t expected_sc3(uint8_t v) {
    const int magnitude = v % 64;
    const bool negative = (v / 64) % 2 == 1;
    return static_cast<int8_t>(negative ? -magnitude : magnitude);
}

int8_t expected_sc4(uint8_t v) {
    const double x = std::trunc((127.0 - v) * 9.0 / 11.0 + 41.55);
    return static_cast<int8_t>(std::fmin(127.0, std::fmax(-128.0, x)));
}

} // namespace

TEST_F(BlockReadTest, ConversionsOverEveryReplyValue) {
    for (int v = 0; v < 256; ++v) {
        bus.servo(9).sc3_raw = static_cast<uint8_t>(v);
        bus.servo(9).sc4_raw = static_cast<uint8_t>(v);
        uint8_t data[2];
        ASSERT_TRUE(ZAV_ReadBlockData(port, 9, 8, data, 2, nullptr));
        EXPECT_EQ(static_cast<int8_t>(data[0]), expected_sc3(static_cast<uint8_t>(v))) << v;
        EXPECT_EQ(static_cast<int8_t>(data[1]), expected_sc4(static_cast<uint8_t>(v))) << v;
    }
    struct {
        uint8_t v;
        int8_t sc3, sc4;
    } telling[] = {{0x05, 5, 127}, {0x45, -5, 89}, {0x85, 5, 36}, {0x40, 0, 93}, {0x7F, -63, 41},
                   {0, 0, 127},    {21, 21, 127},  {22, 22, 127}, {23, 23, 126}, {176, 48, 1},
                   {177, 49, 0},   {178, 50, 0},   {179, 51, 0},  {180, 52, -1}, {255, -63, -63}};
    for (const auto &t : telling) {
        EXPECT_EQ(expected_sc3(t.v), t.sc3) << int(t.v);
        EXPECT_EQ(expected_sc4(t.v), t.sc4) << int(t.v);
    }
}
