// The library's calls over tcp:// and rfc2217:// through Debian's ser2net, with
// the simulated bus on the pseudo-terminal behind it: what a program on the
// far side of a network sees. Steady line (bus_harness.h): no echo, echo
// cancellation off, a generous reply offset, except where a test says.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ser2net_bridge.h"
#include "test_server.h"
#include "zavlib.h"

#ifdef ZAVCTL_PATH // a build with the tools
#include "programs.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct SchemeCase {
    const char *name;
    BridgeScheme scheme;
};

class OverBridge : public ::testing::TestWithParam<SchemeCase> {
protected:
    std::unique_ptr<BusHarness> harness;
    PortHandle port = nullptr;

    void SetUp() override { ZAV_SetEchoCancel(0); }
    void TearDown() override {
        if (port != nullptr) ZAV_ClosePort(port);
        harness.reset();
        ZAV_SetEchoCancel(1);
    }

    void open(zavsim::BusOptions options = steady_bus(), int32_t offset_ms = kSteadyReplyOffsetMs) {
        harness = make_bridged_harness(GetParam().scheme, options);
        ASSERT_TRUE(harness);
        port = ZAV_OpenPort(harness->port_name().c_str(), 115200);
        ASSERT_NE(port, nullptr) << harness->port_name();
        ZAV_SetTimeOutOffset(port, offset_ms);
    }

    zavsim::Servo servo(int id) {
        return harness->with_bus([id](zavsim::ServoBus &bus) { return bus.servo(id); });
    }
};

TEST_P(OverBridge, ScanFindsExactlyTheServosOnTheBus) {
    open(steady_bus(), 60); // each absent id costs a reply time-out
    harness->with_bus([](zavsim::ServoBus &bus) { bus.set_present({1, 4, 5, 31}); });
    std::vector<int> found;
    for (uint8_t id = 0; id <= 31; ++id)
        if (ZAV_Ping(port, id, nullptr)) found.push_back(id);
    EXPECT_EQ(found, (std::vector<int>{1, 4, 5, 31}));
    EXPECT_TRUE(ZAV_Active(port));
}

TEST_P(OverBridge, FullReadBlockWriteAndSyncWrite) {
    open();
    harness->with_bus([](zavsim::ServoBus &bus) {
        bus.set_present({1, 2, 3});
        bus.servo(2).sc4_raw = 0xFF; // a reading that Telnet carries doubled
        bus.servo(2).sc3_raw = zavsim::encode_sc3(-17);
    });
    uint8_t image[ZAV_REGISTER_COUNT] = {};
    StatusWord status = 0xFFFF;
    ASSERT_TRUE(ZAV_ReadBlockData(port, 2, 0, image, ZAV_REGISTER_COUNT, &status)) << status;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(image[ZAV_REG_ID], 2);
    EXPECT_EQ(static_cast<int8_t>(image[ZAV_REG_SC3_VALUE]), -17);
    EXPECT_EQ(image[ZAV_REG_SC1_VALUE], servo(2).sc1);

    // Parameters, torque and goal of servo 1 in one block write.
    const uint8_t block[] = {1, 0xA0, 0x0F, 40, 50}; // torque on, goal 4000, sc2 40, sc1 50
    ASSERT_TRUE(ZAV_WriteBlockData(port, 1, ZAV_REG_TORQUE_ENABLE, block, sizeof block, &status)) << status;
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(servo(1).torque);
    EXPECT_EQ(servo(1).goal, 4000);
    EXPECT_EQ(servo(1).sc2, 40);
    EXPECT_EQ(servo(1).sc1, 50);

    // Goals for three servos in one sync write, each taking hold first.
    for (uint8_t id : {1, 2, 3}) ASSERT_TRUE(ZAV_WriteByteData(port, id, ZAV_REG_TORQUE_ENABLE, 1, nullptr));
    const uint8_t sync[] = {ZAV_REG_GOAL_POSITION, 2, 1, 0x88, 0x13, 2, 0x70, 0x17, 3, 0x58, 0x1B};
    ASSERT_TRUE(ZAV_WriteSyncData(port, sync, sizeof sync, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(servo(1).goal, 5000);
    EXPECT_EQ(servo(2).goal, 6000);
    EXPECT_EQ(servo(3).goal, 7000);
}

// The rate reaches the far end over rfc2217 (a strict bus hears nothing at
// another rate) and stays with the library over tcp (the bridge keeps its own).
TEST_P(OverBridge, RateChange) {
    zavsim::BusOptions options = steady_bus();
    options.strict_baud = true;
    open(options, 300);
    harness->with_bus([](zavsim::ServoBus &bus) { bus.set_present({1}); });
    ASSERT_TRUE(ZAV_Ping(port, 1, nullptr));
    ASSERT_TRUE(ZAV_SetBaudrate(port, 57600));
    StatusWord status = 0;
    const bool sent = GetParam().scheme == BridgeScheme::kRfc2217;
    EXPECT_EQ(ZAV_Ping(port, 1, &status), !sent) << "the servo heard 57600 baud: " << sent;
    if (sent) {
        EXPECT_EQ(status, ERR_TIMEOUT);
    }
    ASSERT_TRUE(ZAV_SetBaudrate(port, 115200));
    EXPECT_TRUE(ZAV_Ping(port, 1, nullptr));
}

TEST_P(OverBridge, BridgeKilledDuringASyncWriteFailsWithinItsTimeOutsThenEveryCallFailsAtOnce) {
    zavsim::BusOptions options = steady_bus();
    options.wire_time = true; // records take their wire time, so the kill lands mid-write
    options.baud = 9600;
    open(options);
    ASSERT_TRUE(ZAV_SetBaudrate(port, 9600));
    std::vector<uint8_t> sync = {ZAV_REG_GOAL_POSITION, 2};
    for (uint8_t id = 0; id < 22; ++id) sync.insert(sync.end(), {id, 0xA0, 0x0F});
    harness->with_bus([](zavsim::ServoBus &bus) {
        for (int id = 0; id < 22; ++id) bus.servo(id).torque = true;
    });
    for (uint8_t id = 0; id < 22; ++id) ASSERT_TRUE(ZAV_WriteByteData(port, id, ZAV_REG_TORQUE_ENABLE, 1, nullptr));

    const uint64_t before = harness->with_bus([](zavsim::ServoBus &bus) { return bus.packets_received(); });
    std::thread killer([&] {
        harness->runner().wait_for_packets(before + 5, 10000);
        bridge_of(*harness)->kill();
    });
    StatusWord status = 0;
    const auto start = Clock::now();
    ZAV_WriteSyncData(port, sync.data(), static_cast<uint32_t>(sync.size()), &status);
    const double took = ms_since(start);
    killer.join();
    EXPECT_NE(status & (ERR_TIMEOUT | ERR_PORT), 0) << status;
    // It stops at the record that failed: far less than 22 records' time-outs.
    const uint64_t reached = harness->with_bus([](zavsim::ServoBus &bus) { return bus.packets_received(); });
    EXPECT_LT(reached - before, 22u);
    EXPECT_LT(took, 5000.0);

    EXPECT_FALSE(ZAV_Active(port));
    const auto after = Clock::now();
    EXPECT_FALSE(ZAV_Ping(port, 1, &status));
    EXPECT_EQ(status, ERR_PORT);
    EXPECT_LT(ms_since(after), 200.0) << "no time-out waited out";
    EXPECT_TRUE(ZAV_ClosePort(port));
    port = nullptr;
}

#ifdef ZAVCTL_PATH
// zavctl doctor names the network's share of the round trip and whether the
// reply time-out covers it.
TEST_P(OverBridge, DoctorNamesTheNetworkRoundTrip) {
    harness = make_bridged_harness(GetParam().scheme, steady_bus());
    ASSERT_TRUE(harness);
    harness->with_bus([](zavsim::ServoBus &bus) { bus.set_present({1}); });
    const Result r = run({ZAVCTL_PATH, "--port", harness->port_name(), "--no-echo", "--timeout-offset", "500", "doctor",
                          "--ids", "1", "--count", "50", "--json"});
    EXPECT_EQ(r.exit_status, 0) << r.output;
    EXPECT_NE(r.output.find(std::string("\"network\":{\"scheme\":\"") + GetParam().name + "\",\"suggested_timeout_offset_ms\":"),
              std::string::npos) << r.output;
    EXPECT_NE(r.output.find("{\"code\":\"network-round-trip\",\"severity\":\"ok\",\"advice\":\"the round trip over the network is "),
              std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("latency-timer"), std::string::npos) << "no adapter to blame";
}
#endif

INSTANTIATE_TEST_SUITE_P(Schemes, OverBridge,
                         ::testing::Values(SchemeCase{"tcp", BridgeScheme::kTcp},
                                           SchemeCase{"rfc2217", BridgeScheme::kRfc2217}),
                         [](const auto &test) { return std::string(test.param.name); });

TEST(OverNetwork, AServerThatNeverNegotiatesFailsTheOpenWithinItsBound) {
    TestServer server(TestServer::Behaviour::kSilent);
    ASSERT_TRUE(server.ok());
    const auto start = Clock::now();
    EXPECT_EQ(ZAV_OpenPort(("rfc2217://" + server.address() + "?timeout_ms=300").c_str(), 115200), nullptr);
    EXPECT_GE(ms_since(start), 290.0);
    EXPECT_LT(ms_since(start), 300.0 + 1000.0);
}

} // namespace
