// The network devices against real components: Debian's ser2net in front of a
// pseudo-terminal with the simulated bus on its far end, and loopback servers
// that misbehave. Every wait is bounded by a deadline; the upper bounds of the
// timing checks are generous, for a loaded machine.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "network_device.h"
#include "ser2net_bridge.h"
#include "test_server.h"
#include "zavlib.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kReplyMs = 1000;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Closer {
    void operator()(netdev::NetworkDevice *d) const { netdev::close(d); }
};
using Device = std::unique_ptr<netdev::NetworkDevice, Closer>;

Device open_device(netdev::Kind kind, const std::string &address) {
    return Device(netdev::open(kind, address.c_str()));
}

// One request and its three-byte reply on a line without echo.
std::vector<uint8_t> exchange(netdev::NetworkDevice *d, std::vector<uint8_t> request, uint32_t timeout_ms = kReplyMs) {
    netdev::purge(d, netdev::Purge::kReceive);
    if (!netdev::write(d, request.data(), static_cast<uint32_t>(request.size()))) return {};
    uint8_t reply[3];
    uint32_t got = 0;
    netdev::read(d, reply, 3, &got, timeout_ms);
    return std::vector<uint8_t>(reply, reply + got);
}

std::vector<uint8_t> position_request(uint8_t id) { return {static_cast<uint8_t>(CMD_POSITION * 32 + id), 0, 0}; }

struct SchemeCase {
    const char *name;
    BridgeScheme scheme;
    netdev::Kind kind;
};

class Bridged : public ::testing::TestWithParam<SchemeCase> {
protected:
    std::unique_ptr<BusHarness> harness;
    Device device;

    void start(zavsim::BusOptions options = steady_bus()) {
        harness = make_bridged_harness(GetParam().scheme, options);
        ASSERT_TRUE(harness);
        const std::string name = harness->port_name();
        const std::string address = name.substr(name.find("://") + 3);
        device = open_device(GetParam().kind, address);
        ASSERT_TRUE(device) << name;
        ASSERT_TRUE(netdev::configure(device.get(), 115200));
    }
};

TEST_P(Bridged, ServosAnswerThroughTheBridge) {
    start();
    harness->with_bus([](zavsim::ServoBus &bus) {
        bus.set_present({1, 2});
        bus.servo(1).position = 4000;
        bus.servo(2).sc4_raw = 0xFF; // a data byte that Telnet escapes
        bus.servo(2).position = 0x3FFF;
    });
    EXPECT_EQ(exchange(device.get(), position_request(1)), (std::vector<uint8_t>{1, 4000 >> 7, 4000 & 0x7F}));
    EXPECT_EQ(exchange(device.get(), position_request(2)), (std::vector<uint8_t>{2, 0x7F, 0x7F}));
    EXPECT_EQ(exchange(device.get(), {CMD_READ_PARAM * 32 + 2, 4}), (std::vector<uint8_t>{0x22, 4, 0xFF}))
        << "0xFF read back";
    EXPECT_TRUE(exchange(device.get(), position_request(3), 200).empty()) << "servo 3 is not on the bus";
    EXPECT_TRUE(netdev::query(device.get()));
}

TEST_P(Bridged, DataByte0xFFGoesOutAsOneByte) {
    zavsim::BusOptions options; // a one-wire line: the echo shows what reached the wire
    start(options);
    harness->with_bus([](zavsim::ServoBus &bus) { bus.set_present({31}); });
    // Command 7 to servo 31 is the byte 0xFF; no servo knows it, but the line echoes it.
    const uint8_t packet[] = {0xFF};
    netdev::purge(device.get(), netdev::Purge::kReceive);
    ASSERT_TRUE(netdev::write(device.get(), packet, 1));
    uint8_t echo[2] = {};
    uint32_t got = 0;
    netdev::read(device.get(), echo, 2, &got, 300);
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(echo[0], 0xFF);
}

TEST_P(Bridged, KilledBridgeFailsEveryCallWithinItsTimeOut) {
    start();
    harness->with_bus([](zavsim::ServoBus &bus) { bus.set_present({1}); });
    ASSERT_EQ(exchange(device.get(), position_request(1)).size(), 3u);
    bridge_of(*harness)->kill();
    auto start_time = Clock::now();
    EXPECT_TRUE(exchange(device.get(), position_request(1), 2000).size() < 3);
    EXPECT_LT(ms_since(start_time), 2000 + 1000.0);
    // The end of the connection is seen: no later call waits.
    start_time = Clock::now();
    uint8_t reply[3];
    uint32_t got = 0;
    EXPECT_FALSE(netdev::read(device.get(), reply, 3, &got, 2000));
    const uint8_t packet[] = {0x81, 0, 0};
    EXPECT_FALSE(netdev::write(device.get(), packet, 3));
    EXPECT_LT(ms_since(start_time), 500.0);
    EXPECT_FALSE(netdev::query(device.get()));
}

INSTANTIATE_TEST_SUITE_P(Schemes, Bridged,
                         ::testing::Values(SchemeCase{"tcp", BridgeScheme::kTcp, netdev::Kind::kTcp},
                                           SchemeCase{"rfc2217", BridgeScheme::kRfc2217, netdev::Kind::kRfc2217}),
                         [](const auto &test) { return std::string(test.param.name); });

TEST(Rfc2217, RateChangeReachesTheFarEnd) {
    zavsim::BusOptions options = steady_bus();
    options.strict_baud = true; // servos hear only their own rate
    auto harness = make_bridged_harness(BridgeScheme::kRfc2217, options);
    ASSERT_TRUE(harness);
    const std::string name = harness->port_name();
    Device device = open_device(netdev::Kind::kRfc2217, name.substr(name.find("://") + 3));
    ASSERT_TRUE(device);
    ASSERT_TRUE(netdev::configure(device.get(), 115200));
    harness->with_bus([](zavsim::ServoBus &bus) { bus.set_present({1}); });
    ASSERT_EQ(exchange(device.get(), position_request(1)).size(), 3u);
    ASSERT_TRUE(netdev::change_baud(device.get(), 57600));
    EXPECT_TRUE(exchange(device.get(), position_request(1), 300).empty()) << "the servo heard 57600 baud";
    ASSERT_TRUE(netdev::change_baud(device.get(), 115200));
    EXPECT_EQ(exchange(device.get(), position_request(1)).size(), 3u);
}

TEST(NetworkDevice, ServerThatNeverNegotiatesFailsTheOpenWithinItsBound) {
    TestServer server(TestServer::Behaviour::kSilent);
    ASSERT_TRUE(server.ok());
    const auto start_time = Clock::now();
    EXPECT_FALSE(open_device(netdev::Kind::kRfc2217, server.address() + "?timeout_ms=300"));
    EXPECT_GE(ms_since(start_time), 290.0);
    EXPECT_LT(ms_since(start_time), 300 + 1000.0);
    EXPECT_EQ(server.accepted(), 1);
}

TEST(NetworkDevice, EndlessSendersCannotHoldACall) {
    for (auto behaviour : {TestServer::Behaviour::kEndlessData, TestServer::Behaviour::kEndlessProposals}) {
        TestServer server(behaviour);
        ASSERT_TRUE(server.ok());
        // tcp:// takes the flood as data; rfc2217:// finds no COM-PORT-OPTION in it.
        Device device = open_device(netdev::Kind::kTcp, server.address());
        ASSERT_TRUE(device);
        auto start_time = Clock::now();
        netdev::purge(device.get(), netdev::Purge::kBoth);
        uint8_t buffer[64];
        uint32_t got = 0;
        EXPECT_TRUE(netdev::read(device.get(), buffer, sizeof buffer, &got, 100));
        EXPECT_LT(ms_since(start_time), 100 + 1000.0);
        start_time = Clock::now();
        EXPECT_FALSE(open_device(netdev::Kind::kRfc2217, server.address() + "?timeout_ms=300"));
        EXPECT_LT(ms_since(start_time), 300 + 1000.0);
    }
}

TEST(NetworkDevice, AddressForms) {
    TestServer v4(TestServer::Behaviour::kEcho);
    TestServer v6(TestServer::Behaviour::kEcho, true);
    ASSERT_TRUE(v4.ok() && v6.ok());
    const std::string v4_port = std::to_string(v4.port());
    struct Case {
        std::string address;
        bool opens;
    };
    const Case cases[] = {
        {"127.0.0.1:" + v4_port, true},
        {"localhost:" + v4_port, true},
        {v6.address(), true},
        {"127.0.0.1:" + v4_port + "?timeout_ms=500", true},
        {"127.0.0.1:" + v4_port + "?timeout_ms=0", false},
        {"127.0.0.1:" + v4_port + "?timeout_ms=500&timeout_ms=400", true},
        {"127.0.0.1:" + v4_port + "?speed=9600", false},
        {"127.0.0.1:" + v4_port + "?", false},
        {"127.0.0.1:0", false},
        {"127.0.0.1:65536", false},
        {"127.0.0.1:" + v4_port + "x", false},
        {"127.0.0.1", false},
        {":" + v4_port, false},
        {"::1:" + std::to_string(v6.port()), false}, // an IPv6 address needs brackets
        {"[::1" + std::to_string(v6.port()), false},
        {"no-such-host.invalid:" + v4_port, false},
        {std::string(300, 'a') + ":" + v4_port, false},
        {"127.0.0.1:" + std::to_string(free_loopback_port()), false}, // nobody listens
    };
    for (const Case &c : cases) {
        Device device = open_device(netdev::Kind::kTcp, c.address);
        EXPECT_EQ(device != nullptr, c.opens) << c.address;
        if (!device) continue;
        const uint8_t bytes[] = {1, 0xFF, 3};
        ASSERT_TRUE(netdev::write(device.get(), bytes, 3));
        uint8_t back[3];
        uint32_t got = 0;
        EXPECT_TRUE(netdev::read(device.get(), back, 3, &got, 2000));
        EXPECT_EQ(got, 3u) << c.address;
    }
}

} // namespace
