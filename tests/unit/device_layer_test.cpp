// Device names, their routing and options, and the in-process kinds (sim:,
// replay:, capture=) on the virtual clock, where their timing is exact.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "capture_file.h"
#include "device.h"
#include "memory_fixture.h"

namespace {

struct NameCase {
    std::string name;
    const char *kind; // scheme, "serial", or null when the name is refused
    const char *address;
    const char *options; // "k=v&k=v" as kept for the kind, in order
    const char *capture;
};

std::string kept_options(const device::Options &options) {
    std::string out;
    for (int i = 0; i < options.count(); ++i)
        out += std::string(i ? "&" : "") + options.key(i) + "=" + options.value(i);
    return out;
}

} // namespace

TEST(DeviceNames, RoutingOptionsAndRefusals) {
    const NameCase cases[] = {
        // Serial names go whole to the serial backend, Windows forms included.
        {"COM1", "serial", "COM1", "", nullptr},
        {"COM3:", "serial", "COM3:", "", nullptr},
        {"\\\\.\\COM12", "serial", "\\\\.\\COM12", "", nullptr},
        {"\\\\?\\COM12", "serial", "\\\\?\\COM12", "", nullptr},
        {"\\\\?\\COM12?capture=x.pcap", "serial", "\\\\?\\COM12", "", "x.pcap"},
        {"/dev/ttyUSB0?capture=bus.pcap", "serial", "/dev/ttyUSB0", "", "bus.pcap"},
        {"simulator:1", "serial", "simulator:1", "", nullptr},
        {"C:\\ports\\a", "serial", "C:\\ports\\a", "", nullptr},
        // Registered schemes, without regard to case.
        {"sim:0-5", "sim", "0-5", "", nullptr},
        {"SIM:1,3", "sim", "1,3", "", nullptr},
        {"sim:0-5?echo=0&wire=1&latency_ms=16&silent=3", "sim", "0-5", "echo=0&wire=1&latency_ms=16&silent=3", nullptr},
        {"sim:0-5?silent=1&capture=a%26b%25.pcap&echo=1", "sim", "0-5", "silent=1&echo=1", "a&b%.pcap"},
        {"replay:/tmp/x.pcap", "replay", "/tmp/x.pcap", "", nullptr},
        {"replay:?capture=y", "replay", "", "", "y"},
        // Refused: an option the kind does not take, given twice, malformed, or empty.
        {"sim:0-5?speed=3", nullptr, nullptr, nullptr, nullptr},
        {"COM1?baud=9600", nullptr, nullptr, nullptr, nullptr},
        {"replay:x.pcap?echo=0", nullptr, nullptr, nullptr, nullptr},
        {"sim:0-5?echo=0&echo=1", nullptr, nullptr, nullptr, nullptr},
        {"sim:0-5?capture=a&capture=b", nullptr, nullptr, nullptr, nullptr},
        {"sim:0-5?echo", nullptr, nullptr, nullptr, nullptr},
        {"sim:0-5?=1", nullptr, nullptr, nullptr, nullptr},
        {"sim:0-5?echo=1&", nullptr, nullptr, nullptr, nullptr},
        {"sim:0-5?", nullptr, nullptr, nullptr, nullptr},
        {"sim:0-5?ec-ho=1", nullptr, nullptr, nullptr, nullptr},
        {"sim:0-5?capture=", nullptr, nullptr, nullptr, nullptr},
        {"sim:0-5?capture=%zz", nullptr, nullptr, nullptr, nullptr},
        {"sim:0-5?capture=%2", nullptr, nullptr, nullptr, nullptr},
        {"sim:0-5?capture=a%00b", nullptr, nullptr, nullptr, nullptr},
        // The longest name and one character more.
        {"COM" + std::string(device::kMaxNameLength - 3, '1'), "serial", nullptr, "", nullptr},
        {"COM" + std::string(device::kMaxNameLength - 2, '1'), nullptr, nullptr, nullptr, nullptr},
    };
    for (const NameCase &c : cases) {
        auto parsed = std::make_unique<device::ParsedName>();
        const bool ok = device::parse_name(c.name.c_str(), parsed.get());
        ASSERT_EQ(ok, c.kind != nullptr) << c.name;
        if (!ok) continue;
        const char *scheme = parsed->backend->scheme;
        EXPECT_STREQ(scheme != nullptr ? scheme : "serial", c.kind) << c.name;
        if (c.address != nullptr) {
            EXPECT_STREQ(parsed->address, c.address) << c.name;
        }
        EXPECT_EQ(kept_options(parsed->options), c.options) << c.name;
        EXPECT_STREQ(parsed->capture != nullptr ? parsed->capture : "(none)", c.capture != nullptr ? c.capture : "(none)")
            << c.name;
    }
}

class InProcessDevices : public MemoryBusTest {
protected:
    std::string dir;

    void SetUp() override {
        MemoryBusTest::SetUp();
        char pattern[] = "/tmp/zavlib-devices-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        MemoryBusTest::TearDown();
        std::system(("rm -rf " + dir).c_str());
    }

    // How long one call takes on the virtual clock, in ms.
    template <class F> double timed(F call) {
        const double start = membus::now_ms();
        call();
        return membus::now_ms() - start;
    }
};

TEST_F(InProcessDevices, SimNamesThatDoNotOpen) {
    for (const char *name : {"sim:", "sim:32", "sim:5-2", "sim:1,,2", "sim:a", "sim:0-5?echo=2", "sim:0-5?wire=yes",
                             "sim:0-5?latency_ms=10001", "sim:0-5?latency_ms=-1", "sim:0-5?silent=40",
                             "sim:0-5?silent=", "replay:", "replay:" "/no/such/file.pcap"}) {
        EXPECT_EQ(ZAV_OpenPort(name, 115200), nullptr) << name;
    }
    // A file that is no capture.
    const std::string text = dir + "/not-a-capture.pcap";
    std::FILE *f = std::fopen(text.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("this is no pcap file, only some text that is long enough", f);
    std::fclose(f);
    EXPECT_EQ(ZAV_OpenPort(("replay:" + text).c_str(), 115200), nullptr);
}

// Each row opens a sim: bus and times one ping of servo 1 on the virtual clock.
TEST_F(InProcessDevices, SimOptionsAndTheirTiming) {
    struct {
        const char *name;
        int32_t baud;
        uint8_t echo_cancel;
        uint8_t id;
        bool answers;
        double ms; // the ping's time, exactly
    } cases[] = {
        {"sim:0-5", 115200, 1, 1, true, 0.0},
        {"sim:0-5", 115200, 1, 7, false, 20.0}, // no servo 7: the echo at once, then the reply time-out
        {"sim:1,3,9", 115200, 1, 9, true, 0.0},
        {"sim:0-5?echo=0", 115200, 0, 1, true, 0.0},
        {"sim:0-5?echo=0", 115200, 1, 1, false, 20.0}, // echo cancelling on a line without: the reply is read as the echo
        {"sim:0-5?silent=1", 115200, 1, 1, false, 20.0},
        {"sim:0-5?latency_ms=16", 115200, 1, 1, true, 16.0},
        // 11 bits a byte: three out and their echo, then three back.
        {"sim:0-5?wire=1", 9600, 1, 1, true, 6 * 11000.0 / 9600},
        {"sim:0-5?wire=1&latency_ms=5", 9600, 1, 1, true, 6 * 11000.0 / 9600 + 5},
        {"sim:0-5?wire=1&echo=0", 1000000, 0, 2, true, 6 * 11000.0 / 1000000},
    };
    for (const auto &c : cases) {
        PortHandle p = ZAV_OpenPort(c.name, c.baud);
        ASSERT_NE(p, nullptr) << c.name;
        ZAV_SetEchoCancel(c.echo_cancel);
        StatusWord status = 0;
        bool ok = false;
        const double ms = timed([&] { ok = ZAV_Ping(p, c.id, &status); });
        EXPECT_EQ(ok, c.answers) << c.name << " servo " << int(c.id);
        EXPECT_EQ(status, c.answers ? 0 : ERR_TIMEOUT) << c.name;
        EXPECT_NEAR(ms, c.ms, 1e-9) << c.name;
        EXPECT_TRUE(ZAV_ClosePort(p));
    }
}

TEST_F(InProcessDevices, SimServosFollowTheRateAndKeepStateUntilClosed) {
    PortHandle p = ZAV_OpenPort("sim:0-5?wire=1", 115200);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(ZAV_Ping(p, 0, nullptr)) << "servo 0 answers 0x80 at 115200";
    for (int32_t rate : {57600, 1000000, 9600}) {
        ASSERT_TRUE(ZAV_SetBaudrate(p, rate));
        double ms = timed([&] { EXPECT_TRUE(ZAV_Ping(p, 0, nullptr)) << rate; });
        EXPECT_NEAR(ms, 6 * 11000.0 / rate, 1e-9) << rate;
    }
    EXPECT_TRUE(ZAV_Active(p));
    // A held servo moves on the virtual clock at the model's 3000 units a second.
    ASSERT_TRUE(ZAV_WriteByteData(p, 2, ZAV_REG_TORQUE_ENABLE, 1, nullptr));
    ASSERT_TRUE(ZAV_WriteWordData(p, 2, ZAV_REG_GOAL_POSITION, 4000, nullptr));
    membus::advance_ms(10000);
    uint16_t present = 0;
    ASSERT_TRUE(ZAV_ReadWordData(p, 2, ZAV_REG_PRESENT_POSITION, &present, nullptr));
    EXPECT_EQ(present, 4000);
    // A name of 30 characters or fewer: the second open closes the first.
    PortHandle again = ZAV_OpenPort("sim:0-5?wire=1", 115200);
    ASSERT_NE(again, nullptr);
    // A new bus: servo 2 is back at rest where it started, released.
    ASSERT_TRUE(ZAV_ReadWordData(again, 2, ZAV_REG_PRESENT_POSITION, &present, nullptr));
    EXPECT_EQ(present, 7700);
}

TEST_F(InProcessDevices, LongSimNamesOpenIndependentBuses) {
    const char *name = "sim:0-5?echo=1&wire=0&latency_ms=0&silent=31"; // over 30 characters
    PortHandle first = ZAV_OpenPort(name, 115200);
    PortHandle second = ZAV_OpenPort(name, 115200);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(ZAV_WriteByteData(first, 3, ZAV_REG_SC2_VALUE, 99, nullptr));
    uint8_t value = 0;
    ASSERT_TRUE(ZAV_ReadByteData(second, 3, ZAV_REG_SC2_VALUE, &value, nullptr));
    EXPECT_EQ(value, 32) << "each open is a bus of its own";
    ASSERT_TRUE(ZAV_ReadByteData(first, 3, ZAV_REG_SC2_VALUE, &value, nullptr));
    EXPECT_EQ(value, 99);
}

// A session on a sim: bus recorded with capture=, then played back by
// replay:, with one request along the way that the recording does not have.
TEST_F(InProcessDevices, CaptureThenReplay) {
    const std::string file = dir + "/session.pcap";
    const std::string name = "sim:1-3?latency_ms=4&capture=" + file;
    auto session = [](PortHandle p, std::vector<double> &times, std::vector<bool> &results) {
        uint8_t registers[10];
        const std::vector<std::function<bool()>> calls = {
            [&] { return ZAV_Ping(p, 1, nullptr) != 0; },
            [&] { return ZAV_ReadBlockData(p, 2, 0, registers, 10, nullptr) != 0; },
            [&] { return ZAV_Ping(p, 9, nullptr) != 0; }, // no servo 9
            [&] { return ZAV_WriteByteData(p, 3, ZAV_REG_SC1_VALUE, 77, nullptr) != 0; },
        };
        for (const auto &call : calls) {
            const double start = membus::now_ms();
            results.push_back(call());
            times.push_back(membus::now_ms() - start);
        }
    };
    std::vector<double> recorded_times, replayed_times;
    std::vector<bool> recorded, replayed;
    PortHandle p = ZAV_OpenPort(name.c_str(), 115200);
    ASSERT_NE(p, nullptr);
    session(p, recorded_times, recorded);
    EXPECT_EQ(recorded, (std::vector<bool>{true, true, false, true}));
    ASSERT_TRUE(ZAV_ClosePort(p));

    capture::Reader reader;
    ASSERT_TRUE(reader.load(file.c_str()));
    EXPECT_TRUE(reader.ended());
    EXPECT_FALSE(reader.truncated());
    // 1 + 6 + 1 + 1 exchanges: each a packet, its echo and (but servo 9's) a reply; then the end note.
    ASSERT_EQ(reader.size(), 9u * 3 - 1 + 1);
    EXPECT_EQ(reader[0].direction, capture::Direction::kHostToBus);
    EXPECT_EQ(reader[0].baud, 115200u);
    EXPECT_EQ(reader[0].time_ns, membus::kWallClockOriginNs);
    EXPECT_EQ(reader[1].time_ns - reader[0].time_ns, 4000000) << "the echo, held back 4 ms";
    EXPECT_EQ(std::vector<uint8_t>(reader[2].bytes, reader[2].bytes + 3), (std::vector<uint8_t>{0x01, 0x3B, 0x30})) << "servo 1 at 7600";

    p = ZAV_OpenPort(("replay:" + file).c_str(), 115200);
    ASSERT_NE(p, nullptr);
    session(p, replayed_times, replayed);
    EXPECT_EQ(replayed, recorded);
    EXPECT_EQ(replayed_times, recorded_times) << "each answer as long after its request as in the recording";
    // The recording is over: nothing more answers.
    StatusWord status = 0;
    EXPECT_FALSE(ZAV_Ping(p, 1, &status));
    EXPECT_EQ(status, ERR_TIMEOUT);
    ASSERT_TRUE(ZAV_ClosePort(p));

    // A request the recording does not have gets no answer; the recording
    // then still waits for the one it expects.
    p = ZAV_OpenPort(("replay:" + file).c_str(), 115200);
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(ZAV_Ping(p, 2, &status));
    EXPECT_EQ(status, ERR_TIMEOUT);
    EXPECT_TRUE(ZAV_Ping(p, 1, &status));
    ASSERT_TRUE(ZAV_ClosePort(p));
}

TEST_F(InProcessDevices, CaptureOnTheTestDeviceAndCaptureFailures) {
    // The serial backend's place: the test device, recorded.
    const std::string file = dir + "/com1.pcap";
    PortHandle p = ZAV_OpenPort(("COM1?capture=" + file).c_str(), 57600);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(device->open);
    EXPECT_TRUE(ZAV_Ping(p, 4, nullptr));
    ASSERT_TRUE(ZAV_SetBaudrate(p, 9600));
    EXPECT_TRUE(ZAV_Ping(p, 4, nullptr));
    ASSERT_TRUE(ZAV_ClosePort(p));
    EXPECT_FALSE(device->open);
    capture::Reader reader;
    ASSERT_TRUE(reader.load(file.c_str()));
    ASSERT_EQ(reader.size(), 7u);
    EXPECT_EQ(reader[0].baud, 57600u);
    EXPECT_EQ(reader[3].baud, 9600u) << "records carry the rate in force";
    EXPECT_TRUE(reader.ended());

    // A file that cannot be created: the open fails and leaves the device free.
    EXPECT_EQ(ZAV_OpenPort(("COM1?capture=" + dir + "/no/such/dir/x.pcap").c_str(), 115200), nullptr);
    EXPECT_FALSE(device->open);
    EXPECT_EQ(device->count(membus::Op::kClose), 2u);
    // A device that cannot be opened: no file is left either.
    EXPECT_EQ(ZAV_OpenPort(("COM404?capture=" + dir + "/y.pcap").c_str(), 115200), nullptr);
    EXPECT_NE(access((dir + "/y.pcap").c_str(), F_OK), 0);
}
