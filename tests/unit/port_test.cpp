// Port table, line settings, baud rate, time-out offset, echo switch, clock.
#include <string>

#include "memory_fixture.h"

using membus::Op;

namespace {

std::vector<Op> ops(const membus::Device &d) {
    std::vector<Op> out;
    for (const auto &e : d.events) out.push_back(e.op);
    return out;
}

} // namespace

using PortTest = MemoryBusTest;

TEST_F(PortTest, OpenConfiguresThenPurgesAndSetsDefaults) {
    PortHandle p = ZAV_OpenPort("COM1", 57600);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ops(*device), (std::vector<Op>{Op::kOpen, Op::kConfigure, Op::kPurgeBoth}));
    EXPECT_EQ(device->events[1].baud, 57600u);
    port = p;
    for (uint8_t id = 0; id < 32; ++id) {
        Image expected{};
        expected[0] = id; // every other byte of a fresh image is 0
        EXPECT_EQ(image(id), expected) << "id " << int(id);
    }
    // Default offset 20 ms: at 57600 baud a reply waits 20 + 60000/57600 = 21 ms.
    device->clear_log();
    ZAV_Ping(p, 1, nullptr);
    EXPECT_EQ(reply_timeouts(), (std::vector<uint32_t>{21}));
    EXPECT_TRUE(ZAV_Active(p));
}

TEST_F(PortTest, OpenRefusals) {
    EXPECT_EQ(ZAV_OpenPort(nullptr, 115200), nullptr);
    EXPECT_EQ(ZAV_OpenPort("COM1", 0), nullptr);
    EXPECT_TRUE(device->events.empty()) << "a refused rate touches no device";
    EXPECT_EQ(ZAV_OpenPort("COM404", 115200), nullptr);

    device->fail_configure = true;
    EXPECT_EQ(ZAV_OpenPort("COM1", 115200), nullptr);
    // Settings failed: queues are still purged, then the device is closed again.
    EXPECT_EQ(ops(*device), (std::vector<Op>{Op::kOpen, Op::kConfigure, Op::kPurgeBoth, Op::kPurgeAbortAll, Op::kClose}));
    EXPECT_FALSE(device->open);

    // The failed opens left no slot behind: all 256 slots are still free.
    std::vector<PortHandle> ports;
    for (int i = 0; i < 256; ++i) {
        membus::add_device("P" + std::to_string(i));
        ports.push_back(ZAV_OpenPort(("P" + std::to_string(i)).c_str(), 9600));
        ASSERT_NE(ports.back(), nullptr) << i;
    }
}

TEST_F(PortTest, ReopeningANameClosesTheEarlierHandle) {
    PortHandle first = ZAV_OpenPort("COM1", 115200);
    ASSERT_NE(first, nullptr);
    PortHandle second = ZAV_OpenPort("COM1", 115200);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(device->count(Op::kOpen), 2u);
    EXPECT_EQ(device->count(Op::kClose), 1u);
    EXPECT_TRUE(ZAV_Active(second));
    EXPECT_TRUE(ZAV_ClosePort(second));
    EXPECT_FALSE(ZAV_ClosePort(second)) << "a closed handle is not in the table";
}

TEST_F(PortTest, LongNamesAreStoredTruncatedTo30) {
    const std::string long_name(40, 'x');
    const std::string stored(30, 'x');
    membus::Device &long_device = membus::add_device(long_name);
    membus::Device &short_device = membus::add_device(stored);
    PortHandle first = ZAV_OpenPort(long_name.c_str(), 9600);
    ASSERT_NE(first, nullptr);
    // The full name does not match the stored one, and the device is held.
    EXPECT_EQ(ZAV_OpenPort(long_name.c_str(), 9600), nullptr);
    EXPECT_TRUE(ZAV_Active(first));
    // The 30-character name matches the stored one and closes the first port.
    EXPECT_NE(ZAV_OpenPort(stored.c_str(), 9600), nullptr);
    EXPECT_FALSE(long_device.open);
    EXPECT_TRUE(short_device.open);
}

TEST_F(PortTest, FullTable) {
    std::vector<PortHandle> ports;
    for (int i = 0; i < 256; ++i) {
        membus::add_device("P" + std::to_string(i));
        ports.push_back(ZAV_OpenPort(("P" + std::to_string(i)).c_str(), 9600));
        ASSERT_NE(ports.back(), nullptr);
    }
    EXPECT_EQ(ZAV_OpenPort("COM1", 9600), nullptr);
    EXPECT_TRUE(device->events.empty()) << "a full table touches no device";
    // A name among the open ones frees its own slot first.
    membus::Device *p7 = membus::find_device("P7");
    PortHandle again = ZAV_OpenPort("P7", 19200);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(p7->count(Op::kClose), 1u);
    EXPECT_EQ(p7->count(Op::kOpen), 2u);
}

TEST_F(PortTest, CloseRefusesWhatIsNotInTheTable) {
    EXPECT_FALSE(ZAV_ClosePort(nullptr));
    PortRecord *bogus = reinterpret_cast<PortRecord *>(static_cast<uintptr_t>(0x1000));
    EXPECT_FALSE(ZAV_ClosePort(bogus));
    open_port();
    EXPECT_TRUE(ZAV_ClosePort(port));
    EXPECT_EQ(ops(*device), (std::vector<Op>{Op::kPurgeAbortAll, Op::kClose}));
    port = nullptr;
}

TEST_F(PortTest, ActiveReportsWhetherSettingsCanBeRead) {
    EXPECT_FALSE(ZAV_Active(nullptr));
    open_port();
    EXPECT_TRUE(ZAV_Active(port));
    device->fail_get_settings = true;
    EXPECT_FALSE(ZAV_Active(port));
}

TEST_F(PortTest, SetBaudrate) {
    open_port(115200);
    EXPECT_FALSE(ZAV_SetBaudrate(nullptr, 9600));

    EXPECT_TRUE(ZAV_SetBaudrate(port, 9600));
    EXPECT_EQ(ops(*device), (std::vector<Op>{Op::kPurgeBoth, Op::kChangeBaud}));
    EXPECT_EQ(device->baud, 9600u);

    struct Case {
        const char *what;
        bool reject, unreadable;
        int32_t rate;
        bool result;
        uint32_t timeout_after; // reply time-out of the next ping
        size_t change_calls;
    } cases[] = {
        {"accepted", false, false, 19200, true, 23, 1},
        {"rejected still changes the record", true, false, 9600, false, 26, 1},
        {"unreadable settings: nothing written, rate kept", false, true, 9600, false, 26, 0},
        {"rate 0 refused, record unchanged", false, false, 0, false, 20, 0},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(ZAV_SetBaudrate(port, 115200));
        device->fail_change_baud = c.reject;
        device->fail_get_settings = c.unreadable;
        device->clear_log();
        EXPECT_EQ(ZAV_SetBaudrate(port, c.rate), c.result) << c.what;
        EXPECT_EQ(device->count(Op::kChangeBaud), c.change_calls) << c.what;
        device->fail_change_baud = false;
        device->fail_get_settings = false;
        device->clear_log();
        ZAV_Ping(port, 1, nullptr);
        EXPECT_EQ(reply_timeouts(), (std::vector<uint32_t>{c.timeout_after})) << c.what;
    }
}

TEST_F(PortTest, TimeOutOffsetIsUnsigned) {
    open_port(115200);
    ZAV_SetTimeOutOffset(nullptr, 5); // ignored, no crash
    struct {
        int32_t offset;
        uint32_t expected;
    } cases[] = {{100, 100}, {0, 1 /* 0 waits at most 1 ms */}, {-1, 0xFFFFFFFFu}, {-1000, 4294966296u}};
    bus.servo(1).present = false; // read to the deadline; the clock is virtual
    for (const auto &c : cases) {
        ZAV_SetTimeOutOffset(port, c.offset);
        device->clear_log();
        ZAV_Ping(port, 1, nullptr);
        EXPECT_EQ(reply_timeouts(), (std::vector<uint32_t>{c.expected})) << c.offset;
    }
}

TEST_F(PortTest, EchoCancelUsesOnlyTheLowByte) {
    open_port();
    const uint8_t data[2] = {1, 2};
    struct {
        uint32_t value;
        bool echo_read;
    } cases[] = {{0, false}, {1, true}, {256, false}, {257, true}, {0x80000000u, false}, {0xFF, true}};
    for (const auto &c : cases) {
        ZAV_SetEchoCancel(c.value);
        device->clear_log();
        ASSERT_TRUE(ZAV_TxPacket(port, 1, CMD_POSITION, data, 2, nullptr));
        EXPECT_EQ(device->reads().size(), c.echo_read ? 1u : 0u) << c.value;
    }
}

TEST_F(PortTest, ClockIsCounterOverFrequencyInMilliseconds) {
    const double start = GetQueryPerformanceCounter();
    membus::advance_ms(1234.5);
    EXPECT_NEAR(GetQueryPerformanceCounter() - start, 1234.5, 1e-6);
}

TEST_F(PortTest, UnloadClosesEveryOpenPort) {
    membus::Device &other = membus::add_device("COM2");
    ASSERT_NE(ZAV_OpenPort("COM1", 9600), nullptr);
    ASSERT_NE(ZAV_OpenPort("COM2", 9600), nullptr);
    zav_library_unload();
    zav_library_load();
    EXPECT_FALSE(device->open);
    EXPECT_FALSE(other.open);
    EXPECT_EQ(other.count(Op::kClose), 1u);
}
