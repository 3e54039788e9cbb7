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
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_NE(r.output.find("held by another program"), std::string::npos) << r.output;
    ZAV_ClosePort(holder);
}

// A sync write goes on past a released servo that does not answer; the status
// word has the flags but not the servo, which the servos' images tell.
TEST(Tools, SyncNamesTheServosThatDidNotTakeTheirGoals) {
    Simulator sim({"--ids", "1-3", "--silent", "2", "--no-echo"});
    ASSERT_TRUE(sim.wait_for("zavsim: servos")) << sim.output();
    const Result r = zavctl(kPatient + std::vector<std::string>{"--port", sim.port(), "sync", "1=4000", "2=5000", "3=6000",
                                                                "read", "1,3", "goal"});
    EXPECT_EQ(r.exit_status, 1) << r.output;
    EXPECT_NE(r.output.find("servo 2 did not take its goal"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("sync write done"), std::string::npos) << r.output;
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

// What zavctl tells people, one session a row: the command line, its exit
// status (the set zavctl --help documents) and words the output must hold
// and must not. A bus of 31 servos with id 6 missing shows what "all" means
// where the broadcast id would stop at the gap.
TEST(Tools, SessionsSayWhatHappened) {
    using Words = std::vector<std::string>;
    const Words sim = kPatient + Words{"--sim"};
    const Words gap = kPatient + Words{"--sim", "--sim-ids", "0-5,7-31"};
    struct {
        Words args;
        int status;
        Words expected, unexpected;
    } cases[] = {
        // A goal for a released servo is dropped: said, with the way to take hold.
        {sim + Words{"write", "2", "goal", "9000", "read", "2", "goal"}, 1, {"did not take goal 9000", "zavctl move 2 9000"}, {"wrote"}},
        {sim + Words{"write", "2", "torque", "1", "write", "2", "goal", "9000", "read", "2", "goal"}, 0, {"goal_position      9000"}, {}},
        // Any command repeats in a chain; global options come anywhere.
        {sim + Words{"ping", "3", "ping", "4"}, 0, {"servo 3 answered", "servo 4 answered"}, {}},
        {kPatientScan + Words{"scan", "--sim", "--sim-ids", "1-31"}, 0, {"found 31 servos: 1,2,"}, {}},
        {Words{"--no-echo", "ping", "1", "--timeout-offset", "500", "--sim", "ping", "2"}, 0, {"servo 2 answered"}, {}},
        // "all" is every servo that answers; id lists and ranges everywhere.
        {gap + Words{"move", "all", "5000", "read", "31", "goal"}, 0,
         {"servo 31 holds torque and moves to 5000", "goal_position      5000"}, {"254", "failed"}},
        {gap + Words{"write", "all", "torque", "0"}, 0, {"wrote torque_enable = 0 to servo 31"}, {"3000", "failed"}},
        {gap + Words{"release", "all"}, 0, {"servo 0 released", "servo 31 released"}, {"servo 6 "}},
        {gap + Words{"sync", "all=6000", "1=4000", "read", "1,7", "goal"}, 0,
         {"servo 1\naddress  register           value\n2        goal_position      4000",
          "servo 7\naddress  register           value\n2        goal_position      6000"}, {}},
        {gap + Words{"watch", "all", "--count", "1"}, 0, {"31     off"}, {"\n6  "}},
        {sim + Words{"move", "1,3-4", "4000", "release", "3-4", "read", "1,4", "torque"}, 0,
         {"servo 4 holds torque and moves to 4000", "servo 1\naddress  register           value\n1        torque_enable      1",
          "servo 4\naddress  register           value\n1        torque_enable      0"}, {}},
        {sim + Words{"ping", "1-3,3"}, 0, {"servo 3 answered"}, {}},
        {sim + Words{"ping", "5-3"}, 2, {"'5-3' is not a servo id"}, {}},
        // One spelling for finding the rate.
        {Words{"--sim", "--sim-ids", "0-31", "scan", "--find-baud"}, 0, {"among them the rate in use (115200)"}, {}},
        {sim + Words{"scan", "--baud", "auto"}, 2, {"--find-baud"}, {}},
        // The commands, when none or a wrong one is named; the exit status documented.
        {{}, 2, {"name a command", "Servos:\n  move", "doctor"}, {}},
        {sim + Words{"frobnicate"}, 2, {"'frobnicate' is not a command", "release"}, {}},
        {{"--help"}, 0, {"Exit status:\n  0", "2  the command line is wrong", "3  a port could not be opened"}, {}},
        // Rates and values refused with a sentence, before anything is sent.
        {sim + Words{"--baud", "-5", "scan"}, 2, {"--baud -5: a baud rate is a positive whole number"}, {"found"}},
        {sim + Words{"--baud", "0", "scan"}, 2, {"a baud rate is a positive whole number"}, {"found"}},
        {sim + Words{"write", "1", "present", "5"}, 2, {"present_position is read-only"}, {}},
        {sim + Words{"write", "1", "sc2", "0"}, 2, {"sc2_value takes 1 to 127, not 0"}, {"3000"}},
        {sim + Words{"write", "1", "torque", "2"}, 2, {"torque_enable takes 0 to 1"}, {}},
        {sim + Words{"move", "1", "2999"}, 2, {"a goal position takes 3000 to 12000, not 2999"}, {}},
        {sim + Words{"read", "1", "nonsense"}, 2, {"unknown register 'nonsense': the registers are id, torque, goal"}, {}},
        {sim + Words{"ping", "40"}, 2, {"'40' is not a servo id 0 to 31, a list such as 1,2 or 0-5, or 'all'"}, {}},
        {Words{"ping", "1"}, 2, {"--port"}, {}},
        // A port that cannot be opened says why, with its own exit status.
        {Words{"--port", "/dev/zavlib-no-such-device", "ping", "1"}, 3, {"cannot open /dev/zavlib-no-such-device: no such device"}, {}},
    };
    for (const auto &c : cases) {
        const Result r = zavctl(c.args);
        std::string line;
        for (const std::string &a : c.args) line += " " + a;
        EXPECT_EQ(r.exit_status, c.status) << "zavctl" << line << "\n" << r.output;
        for (const std::string &words : c.expected)
            EXPECT_NE(r.output.find(words), std::string::npos) << "zavctl" << line << ": no '" << words << "'\n" << r.output;
        for (const std::string &words : c.unexpected)
            EXPECT_EQ(r.output.find(words), std::string::npos) << "zavctl" << line << ": '" << words << "'\n" << r.output;
    }
    for (const char *command : {"scan", "ping", "read", "write", "move", "release", "sync", "watch", "raw", "doctor", "serve"}) {
        const Result r = zavctl({command, "--help"});
        EXPECT_EQ(r.exit_status, 0) << command;
        EXPECT_NE(r.output.find(std::string("Usage: zavctl ") + command), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(std::string("Example:\n  zavctl ")), std::string::npos) << r.output;
    }
}

// Capture on any device (the simulated bus, a serial device), played back
// with replay:, and the two ways a capture fails: a file that cannot be
// created, and one whose writes start failing (here a file-size limit).
TEST(Tools, CaptureOnAnyDeviceAndReplayReportsWhereTheSessionLeftTheRecording) {
    char dir[] = "/tmp/zavctl-capture-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string session = std::string(dir) + "/session.pcap";
    const std::string serial = std::string(dir) + "/serial.pcap";
    Simulator sim({"--ids", "1,2", "--no-echo"});
    ASSERT_TRUE(sim.wait_for("zavsim: servos")) << sim.output();
    using Words = std::vector<std::string>;
    const Words replay = kPatient + Words{"--port", "replay:" + session};
    struct {
        Words args;
        long file_limit;
        int status;
        std::string expected;
    } cases[] = {
        {kPatient + Words{"--sim", "--capture", session, "ping", "1", "read", "2"}, 0, 0, "servo 1 answered"},
        {replay + Words{"ping", "1", "read", "2"}, 0, 0, "the session followed the whole recording (7 requests)"},
        {replay + Words{"ping", "1"}, 0, 0, "followed the recording through request 1 of 7, then ended"},
        {replay + Words{"ping", "1", "ping", "3"}, 0, 1,
         "left the recording at request 2 of 7: it sent 83 00 00 (position id 3 release), the recording has 82 00 00 "
         "(position id 2 release)"},
        {replay + Words{"ping", "1", "read", "2", "ping", "1"}, 0, 1, "went on past the end of the recording (7 requests)"},
        {kPatient + Words{"--no-echo", "--port", sim.port(), "--capture", serial, "ping", "1,2"}, 0, 0, "servo 2 answered"},
        {kPatient + Words{"--sim", "--capture", std::string(dir) + "/no/such/dir/x.pcap", "ping", "1"}, 0, 3,
         "the capture file " + std::string(dir) + "/no/such/dir/x.pcap cannot be written"},
        // Room for the file's header and a few records of the ten.
        {kPatient + Words{"--sim", "--capture", std::string(dir) + "/cut.pcap", "ping", "1-5"}, 200, 1,
         "stopped early, after 6 records: a write to it failed"},
    };
    for (const auto &c : cases) {
        const Result r = zavctl(c.args, c.file_limit);
        std::string line;
        for (const std::string &a : c.args) line += " " + a;
        EXPECT_EQ(r.exit_status, c.status) << "zavctl" << line << "\n" << r.output;
        EXPECT_NE(r.output.find(c.expected), std::string::npos) << "zavctl" << line << "\n" << r.output;
    }
    std::system(("rm -rf " + std::string(dir)).c_str());
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
}

