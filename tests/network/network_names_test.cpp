// tcp:// and rfc2217:// names, and far ends that must not hold a call: an echo
// server for the address forms, a bridge for 0xFF on the wire, servers that
// send without end. Every wait is bounded; timing bounds are generous.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ser2net_bridge.h"
#include "test_server.h"
#include "zavlib.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class EchoOff : public ::testing::Test {
protected:
    void SetUp() override { ZAV_SetEchoCancel(0); }
    void TearDown() override { ZAV_SetEchoCancel(1); }
};

using NetworkNames = EchoOff;

// Sends {1, 0xFF, 3} and reads back what comes; the bytes read.
std::vector<uint8_t> round_trip(PortHandle port, uint32_t timeout_ms = 2000) {
    const uint8_t data[] = {0xFF, 3};
    if (!ZAV_TxPacket(port, 1, 0, data, sizeof data, nullptr)) return {};
    uint8_t back[3] = {};
    uint32_t got = 0;
    ZAV_RxPacket(port, back, 3, &got, timeout_ms, nullptr);
    return std::vector<uint8_t>(back, back + got);
}

TEST_F(NetworkNames, OpenOnlyWellFormedNamesThatAnswer) {
    TestServer v4(TestServer::Behaviour::kEcho);
    TestServer v6(TestServer::Behaviour::kEcho, true);
    ASSERT_TRUE(v4.ok() && v6.ok());
    const std::string port = std::to_string(v4.port());
    struct Case {
        std::string name;
        bool opens;
    };
    const Case cases[] = {
        {"tcp://127.0.0.1:" + port, true},
        {"TCP://localhost:" + port, true},
        {"tcp://" + v6.address(), true},
        {"tcp://127.0.0.1:" + port + "?timeout_ms=500", true},
        {"tcp://127.0.0.1:" + port + "?timeout_ms=0", false},
        {"tcp://127.0.0.1:" + port + "?timeout_ms=60001", false},
        {"tcp://127.0.0.1:" + port + "?baud=9600", false},
        {"tcp://127.0.0.1:0", false},
        {"tcp://127.0.0.1:65536", false},
        {"tcp://127.0.0.1:" + port + "x", false},
        {"tcp://127.0.0.1", false},
        {"tcp://:" + port, false},
        {"tcp:127.0.0.1:" + port, false},
        {"tcp://user@127.0.0.1:" + port, false},
        {"tcp://::1:" + std::to_string(v6.port()), false}, // an IPv6 address needs brackets
        {"tcp://[::1" + std::to_string(v6.port()), false},
        {"tcp://no-such-host.invalid:" + port, false},
        {"tcp://" + std::string(300, 'a') + ":" + port, false},
        {"tcp://127.0.0.1:" + std::to_string(free_loopback_port()), false}, // nobody listens
    };
    for (const Case &c : cases) {
        const auto start = Clock::now();
        PortHandle handle = ZAV_OpenPort(c.name.c_str(), 115200);
        EXPECT_EQ(handle != nullptr, c.opens) << c.name;
        EXPECT_LT(ms_since(start), 2000.0 + 1000.0) << c.name;
        if (handle == nullptr) continue;
        EXPECT_EQ(round_trip(handle), (std::vector<uint8_t>{1, 0xFF, 3})) << c.name;
        EXPECT_TRUE(ZAV_Active(handle));
        EXPECT_TRUE(ZAV_ClosePort(handle));
    }
}

// Command 7 to servo 31 is the byte 0xFF: through rfc2217 it leaves doubled and
// reaches the line once, and its echo comes back as one byte.
TEST_F(NetworkNames, DataByte0xFFCrossesTheBridgeAsOneByte) {
    for (BridgeScheme scheme : {BridgeScheme::kTcp, BridgeScheme::kRfc2217}) {
        auto harness = make_bridged_harness(scheme); // a one-wire line: it echoes what reached it
        ASSERT_TRUE(harness);
        PortHandle port = ZAV_OpenPort(harness->port_name().c_str(), 115200);
        ASSERT_NE(port, nullptr) << harness->port_name();
        ASSERT_TRUE(ZAV_TxPacket(port, 31, 7, nullptr, 0, nullptr));
        uint8_t echo[2] = {};
        uint32_t got = 0;
        EXPECT_FALSE(ZAV_RxPacket(port, echo, 2, &got, 500, nullptr)) << "one byte only";
        ASSERT_EQ(got, 1u) << harness->port_name();
        EXPECT_EQ(echo[0], 0xFF);
        ZAV_ClosePort(port);
    }
}

TEST_F(NetworkNames, ServersThatSendWithoutEndCannotHoldACall) {
    for (auto behaviour : {TestServer::Behaviour::kEndlessData, TestServer::Behaviour::kEndlessProposals}) {
        TestServer server(behaviour);
        ASSERT_TRUE(server.ok());
        // tcp:// takes the flood as data; rfc2217:// finds no COM-PORT-OPTION agreed in it.
        PortHandle port = ZAV_OpenPort(("tcp://" + server.address()).c_str(), 115200);
        ASSERT_NE(port, nullptr);
        auto start = Clock::now();
        StatusWord status = 0;
        ZAV_Ping(port, 1, &status); // whatever the flood holds, within the time-outs
        uint8_t buffer[64];
        uint32_t got = 0;
        ZAV_RxPacket(port, buffer, sizeof buffer, &got, 100, nullptr);
        EXPECT_LT(ms_since(start), 50 + 21 + 100 + 1000.0);
        EXPECT_TRUE(ZAV_SetBaudrate(port, 57600)) << "kept, not sent";
        EXPECT_TRUE(ZAV_ClosePort(port));
        start = Clock::now();
        EXPECT_EQ(ZAV_OpenPort(("rfc2217://" + server.address() + "?timeout_ms=300").c_str(), 115200), nullptr);
        EXPECT_LT(ms_since(start), 300 + 1000.0);
    }
}

} // namespace
