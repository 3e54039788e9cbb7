// One suite of cases, run against every kind of device this build has
// (device_kinds.h): what device.h promises of every kind, seen through the
// library's calls. Partial reads run to their deadline, a purge drops what
// has arrived and keeps what is in flight, a hang-up ends a read (where the
// kind has a far end that can go away), rate changes reach the line, and a
// port closes at once during silence.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_kinds.h"
#include "zavlib.h"

namespace {

// Real time on a loaded machine: generous bounds. The virtual clock: exact.
constexpr double kSlackMs = 1000.0;
constexpr double kNoticedMs = 2500.0; // a hang-up ends a 5 s read long before this
constexpr int32_t kOffsetMs = 1000;   // reply time-out of the library's own exchanges

class DeviceConformance : public ::testing::TestWithParam<DeviceKind> {
protected:
    std::unique_ptr<FarEnd> far;
    PortHandle port = nullptr;

    // Echo cancelling off: the cases read what the line sends themselves.
    void SetUp() override { ZAV_SetEchoCancel(0); }
    void TearDown() override {
        if (port != nullptr) ZAV_ClosePort(port);
        far.reset();
        ZAV_SetEchoCancel(1);
    }

    void start(const FarEndOptions &options) {
        far = GetParam().make(options);
        ASSERT_TRUE(far) << "no far end for " << GetParam().label;
        open();
    }

    void open() {
        far->ready_for_open();
        port = ZAV_OpenPort(far->name().c_str(), 115200);
        ASSERT_NE(port, nullptr) << far->name();
        ZAV_SetTimeOutOffset(port, kOffsetMs);
    }

    // A position packet to id that changes nothing (release), answered by its reply.
    void send_ping(uint8_t id) {
        const uint8_t release[2] = {0, 0};
        ASSERT_TRUE(ZAV_TxPacket(port, id, CMD_POSITION, release, 2, nullptr));
    }

    // How long call takes, on the library's clock.
    template <class F> double timed(F call) {
        const double start = GetQueryPerformanceCounter();
        call();
        return GetQueryPerformanceCounter() - start;
    }

    // elapsed is about ms: exactly on the virtual clock, else from ms - 1 to ms + slack.
    void expect_about(double elapsed, double ms, const char *what) {
        if (GetParam().virtual_clock) {
            EXPECT_DOUBLE_EQ(elapsed, ms) << what;
        } else {
            EXPECT_GE(elapsed, ms - 1.0) << what;
            EXPECT_LT(elapsed, ms + kSlackMs) << what;
        }
    }
};

TEST_P(DeviceConformance, PartialReadRunsToItsDeadline) {
    start({});
    send_ping(1);
    uint8_t buffer[6] = {};
    uint32_t got = 0;
    StatusWord status = 0;
    bool ok = true;
    const double elapsed = timed([&] { ok = ZAV_RxPacket(port, buffer, 6, &got, 300, &status); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(status, ERR_TIMEOUT);
    EXPECT_EQ(got, 3u) << "the whole reply, and no more";
    EXPECT_EQ(buffer[0], 1);
    expect_about(elapsed, 300.0, "a read short of its count waits out its time-out");
}

// Every packet sent purges what has arrived first (a late reply to an earlier
// request must not pass for this one's).
TEST_P(DeviceConformance, PurgeDropsWhatArrivedAndKeepsWhatIsInFlight) {
    start({false, 300.0, {7}}); // every reply held back 300 ms; servo 7 silent
    // In flight: servo 1's reply is on its way when the packet to servo 2 purges the line.
    send_ping(1);
    send_ping(2);
    uint8_t reply[3] = {};
    uint32_t got = 0;
    ASSERT_TRUE(ZAV_RxPacket(port, reply, 3, &got, 5000, nullptr)) << "the reply in flight arrives after the purge";
    EXPECT_EQ(reply[0], 1);
    // Arrived: the first byte of servo 2's reply read, the other two waiting when the purge comes.
    ASSERT_TRUE(ZAV_RxPacket(port, reply, 1, &got, 5000, nullptr));
    EXPECT_EQ(reply[0], 2);
    send_ping(7);
    StatusWord status = 0;
    EXPECT_FALSE(ZAV_RxPacket(port, reply, 3, &got, 600, &status));
    EXPECT_EQ(got, 0u) << "the bytes that had arrived were dropped";
    EXPECT_EQ(status, ERR_TIMEOUT);
}

TEST_P(DeviceConformance, HangUpEndsARead) {
    start({false, 0.0, {7}});
    const bool can_hang_up = far->hang_up_after_next_packet();
    send_ping(7);
    uint8_t reply[3];
    uint32_t got = 0;
    StatusWord status = 0;
    bool ok = true;
    if (!can_hang_up) {
        // A kind with no far end that can go away (an in-process bus): the read
        // of a silent servo runs to its deadline, and the port stays active.
        const double elapsed = timed([&] { ok = ZAV_RxPacket(port, reply, 3, &got, 300, &status); });
        EXPECT_FALSE(ok);
        EXPECT_EQ(status, ERR_TIMEOUT);
        expect_about(elapsed, 300.0, "a silent read runs to its deadline");
        EXPECT_TRUE(ZAV_Active(port));
        return;
    }
    double elapsed = timed([&] { ok = ZAV_RxPacket(port, reply, 3, &got, 5000, &status); });
    EXPECT_FALSE(ok);
    EXPECT_NE(status, 0);
    EXPECT_LT(elapsed, GetParam().virtual_clock ? 1e-9 : kNoticedMs) << "the read ended with the line";
    EXPECT_FALSE(ZAV_Active(port));
    // Later calls fail the same way, at once.
    elapsed = timed([&] { ok = ZAV_Ping(port, 1, &status); });
    EXPECT_FALSE(ok);
    EXPECT_NE(status, 0);
    EXPECT_LT(elapsed, GetParam().virtual_clock ? 1e-9 : kNoticedMs);
    EXPECT_TRUE(ZAV_ClosePort(port));
    port = nullptr;
}

TEST_P(DeviceConformance, RateChangesReachTheLine) {
    start({});
    for (int32_t rate : {9600, 57600, 1000000, 115200}) {
        EXPECT_TRUE(ZAV_SetBaudrate(port, rate)) << rate;
        StatusWord status = 0;
        EXPECT_TRUE(ZAV_Ping(port, 1, &status)) << rate << ": " << status;
        const uint32_t seen = far->line_baud();
        if (seen != 0) {
            EXPECT_EQ(seen, static_cast<uint32_t>(rate)) << "the far end's rate";
        }
    }
}

TEST_P(DeviceConformance, ClosesAtOnceDuringSilence) {
    start({false, 0.0, {7}});
    send_ping(7); // never answered
    const double elapsed = timed([&] { EXPECT_TRUE(ZAV_ClosePort(port)); });
    port = nullptr;
    EXPECT_LT(elapsed, GetParam().virtual_clock ? 1e-9 : kSlackMs);
    open(); // the device was released
    EXPECT_TRUE(ZAV_Ping(port, 1, nullptr));
}

INSTANTIATE_TEST_SUITE_P(Devices, DeviceConformance, ::testing::ValuesIn(device_kinds()),
                         [](const ::testing::TestParamInfo<DeviceKind> &kind) { return kind.param.label; });

} // namespace

std::string sim_name(const FarEndOptions &options) {
    std::string name = "sim:0-31?echo=" + std::string(options.echo ? "1" : "0");
    if (options.latency_ms > 0) name += "&latency_ms=" + std::to_string(static_cast<int>(options.latency_ms));
    for (size_t i = 0; i < options.silent.size(); ++i)
        name += (i == 0 ? "&silent=" : ",") + std::to_string(options.silent[i]);
    return name;
}
