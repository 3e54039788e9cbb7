// zavsim and zavctl run as processes, the way a person runs them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "programs.h"
#include "zavlib.h"

namespace {

// The simulator answers within microseconds, unless a loaded machine keeps it
// from the processor for longer than the 50 ms echo limit or the default 20 ms
// reply time-out. Tests that need an answer run the line without echo (the
// simulator with --no-echo too) and give the reply time; a scan waits this
// long for every absent id.
const std::vector<std::string> kPatient = {"--no-echo", "--timeout-offset", "1000"};
const std::vector<std::string> kPatientScan = {"--no-echo", "--timeout-offset", "250"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The number after "name" in a register listing, or -1.
long register_value(const std::string &output, const std::string &name) {
    const size_t at = output.rfind(name);
    if (at == std::string::npos) return -1;
    return std::strtol(output.c_str() + at + name.size(), nullptr, 10);
}

} // namespace

TEST(Tools, ScanFindsExactlyTheConfiguredIds) {
    Simulator sim({"--ids", "1,4-5,31", "--no-echo"});
    ASSERT_TRUE(sim.wait_for("zavsim: servos")) << sim.output();
    const Result r = zavctl(kPatientScan + std::vector<std::string>{"--port", sim.port(), "scan"});
    EXPECT_EQ(r.exit_status, 0) << r.output;
    EXPECT_NE(r.output.find("found 4 servos: 1,4,5,31\n"), std::string::npos) << r.output;
    EXPECT_TRUE(sim.stop_and_check_link_removed());
}

TEST(Tools, EmptyBusScanFails) {
    Simulator sim({"--ids", "3", "--silent", "3"});
    ASSERT_TRUE(sim.wait_for("zavsim: servos")) << sim.output();
    const Result r = zavctl({"--port", sim.port(), "scan"});
    EXPECT_EQ(r.exit_status, 1) << r.output;
    EXPECT_NE(r.output.find("no servo answered"), std::string::npos) << r.output;
}

TEST(Tools, MoveReachesItsGoal) {
    Simulator sim({"--ids", "0-3", "--speed", "20000", "--no-echo"});
    ASSERT_TRUE(sim.wait_for("zavsim: servos")) << sim.output();
    const Result r = zavctl(kPatient + std::vector<std::string>{"--port", sim.port(), "move", "2", "4000", "watch", "2",
                                                                "--until-arrived", "--interval", "20", "read", "2", "present"});
    EXPECT_EQ(r.exit_status, 0) << r.output;
    EXPECT_NE(r.output.find("all servos have arrived"), std::string::npos) << r.output;
    // Arrived means within 10 of the goal; at this speed the servo covers
    // those last steps in half a millisecond, so the read may still see it on its way.
    const long present = register_value(r.output, "present_position");
    EXPECT_GE(present, 4000) << r.output;
    EXPECT_LE(present, 4010) << r.output;
}

TEST(Tools, SilentServoMakesPingFailWithAClearMessage) {
    Simulator sim({"--ids", "0-5", "--silent", "3", "--no-echo"});
    ASSERT_TRUE(sim.wait_for("zavsim: servos")) << sim.output();
    const Result r = zavctl({"--port", sim.port(), "ping", "3"});
    EXPECT_NE(r.exit_status, 0);
    EXPECT_NE(r.output.find("no reply from servo 3 within 20 ms"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("ERR_TIMEOUT"), std::string::npos) << r.output;
    EXPECT_EQ(zavctl(kPatient + std::vector<std::string>{"--port", sim.port(), "ping", "2"}).exit_status, 0);
}

TEST(Tools, TraceDecodesAKnownPacket) {
    Simulator sim({"--ids", "5", "--trace"});
    ASSERT_TRUE(sim.wait_for("zavsim: servos")) << sim.output();
    const Result r = zavctl({"--port", sim.port(), "raw", "5", "4", "0x3A", "0x4C", "--timeout", "2000"});
    EXPECT_EQ(r.exit_status, 0) << r.output;
    EXPECT_NE(r.output.find("sent  85 3A 4C"), std::string::npos) << r.output;
    EXPECT_TRUE(sim.wait_for("host -> bus  85 3A 4C ")) << sim.output();
    EXPECT_TRUE(sim.wait_for("position id 5 goal 7500")) << sim.output();
    EXPECT_TRUE(sim.wait_for("bus -> host  05 ")) << sim.output();
}

TEST(Tools, PortHeldByAnotherProgram) {
    Simulator sim({"--ids", "0"});
    ASSERT_TRUE(sim.wait_for("zavsim: servos")) << sim.output();
    PortHandle holder = ZAV_OpenPort(sim.port().c_str(), 115200);
    ASSERT_NE(holder, nullptr);
    const Result r = zavctl({"--port", sim.port(), "ping", "0"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.output.find("held by another program"), std::string::npos) << r.output;
    ZAV_ClosePort(holder);
}

TEST(Tools, EverySubcommandWorksOnTheBuiltInSimulatedBus) {
    struct {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {{"--sim", "ping", "0"}, "servo 0 answered"},
        {{"--sim", "write", "3", "sc2", "100", "read", "3", "sc2"}, "sc2_value          100"},
        {{"--sim", "read", "4"}, "present_position   7900"},
        {{"--sim", "raw", "3", "5", "2", "--timeout", "2000"}, "reply 23 02 20"},
        {{"--sim", "sync", "1=4000", "2=9000", "read", "1,2", "goal"}, "goal_position      9000"},
        {{"--sim", "move", "1", "5000", "release", "1", "read", "1", "torque"}, "torque_enable      0"},
        {{"--sim", "watch", "0-1", "--count", "2", "--interval", "1"}, "0      off"},
        {{"--sim", "--sim-ids", "2", "scan"}, "found 1 servo: 2"},
    };
    for (const auto &c : cases) {
        const bool scan = c.args.back() == "scan";
        const Result r = zavctl((scan ? kPatientScan : kPatient) + c.args);
        EXPECT_EQ(r.exit_status, 0) << c.args[1] << "\n" << r.output;
        EXPECT_NE(r.output.find(c.expected), std::string::npos) << c.args[1] << "\n" << r.output;
    }
}

TEST(Tools, RefusedValuesAndUsageErrors) {
    struct {
        std::vector<std::string> args;
        int status;
        std::string expected;
    } cases[] = {
        {{"--sim", "write", "1", "sc2", "0"}, 1, "ERR_WRITE"},
        {{"--sim", "move", "1", "2999"}, 2, "goal positions are 3000 to 12000"},
        {{"--sim", "ping", "40"}, 2, "not a servo id"},
        {{"--sim", "read", "1", "nonsense"}, 2, "unknown register"},
        {{"ping", "1"}, 1, "--port"},
        {{"--port", "/dev/zavlib-no-such-device", "ping", "1"}, 1, "no such device"},
    };
    for (const auto &c : cases) {
        const Result r = zavctl(c.args);
        EXPECT_EQ(r.exit_status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.expected), std::string::npos) << r.output;
    }
    for (const char *command : {"scan", "ping", "read", "write", "move", "release", "sync", "watch", "raw"}) {
        const Result r = zavctl({command, "--help"});
        EXPECT_EQ(r.exit_status, 0) << command;
        EXPECT_NE(r.output.find("Usage:"), std::string::npos) << command;
    }
}

TEST(Tools, PortsZavctlListsThisMachinesPortsWithTheSimulatorsPseudoTerminal) {
    Simulator sim({"--ids", "1"});
    ASSERT_TRUE(sim.wait_for("zavsim: servos")) << sim.output();
    char target[256] = {};
    ASSERT_GT(readlink(sim.port().c_str(), target, sizeof target - 1), 0);
    const Result text = zavctl({"ports", "--all"});
    EXPECT_EQ(text.exit_status, 0) << text.output;
    EXPECT_NE(text.output.find(std::string(target) + " "), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("its far end held by zavsim (pid "), std::string::npos) << text.output;
    EXPECT_EQ(text.output.substr(text.output.rfind("\nsim:0-5") + 1, 7), "sim:0-5") << "the simulated bus comes last";
    const Result json = zavctl({"ports", "--json"});
    EXPECT_EQ(json.exit_status, 0);
    EXPECT_EQ(json.output.rfind("{\"ports\":[", 0), 0u) << json.output;
    EXPECT_EQ(json.output.find("/dev/pts/"), std::string::npos) << "pseudo-terminals only with --all";
    EXPECT_EQ(zavctl({"ports", "scan"}).exit_status, 2) << "ports runs alone";
}

