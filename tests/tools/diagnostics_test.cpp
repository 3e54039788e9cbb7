// zavctl doctor's diagnosis of simulated line faults, and the Wireshark
// dissector (run by tshark) on captures of a known session.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "programs.h"

namespace {

// The codes of the "findings:" line.
std::vector<std::string> finding_codes(const std::string &output) {
    const auto at = output.rfind("findings: ");
    if (at == std::string::npos) return {};
    std::istringstream line(output.substr(at + 10, output.find('\n', at) - at - 10));
    std::vector<std::string> codes;
    for (std::string code; line >> code;) codes.push_back(code);
    return codes;
}

bool contains(const std::vector<std::string> &list, const std::string &item) {
    for (const std::string &s : list)
        if (s == item) return true;
    return false;
}

} // namespace

TEST(Doctor, DiagnosesEachSimulatedLine) {
    // Lines that are not about late replies get a generous reply time-out: on a
    // busy machine the simulator's replies can be held back past 20 ms.
    const std::vector<std::string> kPatient = {"--timeout-offset", "200"};
    struct Case {
        const char *line;
        std::vector<std::string> zavsim, zavctl, doctor;
        std::vector<std::string> found, not_found;
        int exit_status;
        std::string advice; // part of the advice that carries the fix
    } cases[] = {
        {"healthy, keeping wire time", {"--ids", "1-3", "--wire-time"}, kPatient, {"--count", "100"},
         {"echo-present", "servos-answer", "round-trip-ok"}, {"use-no-echo", "drop-no-echo", "latency-timer", "late-servo"}, 0, ""},
        {"no echo, echo cancellation on", {"--ids", "1-3", "--no-echo"}, kPatient, {"--count", "50"},
         {"use-no-echo", "servos-answer"}, {"echo-present", "drop-no-echo", "latency-timer"}, 1, "--no-echo"},
        {"no echo, --no-echo given", {"--ids", "1-3", "--no-echo"}, {"--no-echo", "--timeout-offset", "200"}, {"--count", "50"},
         {"echo-absent", "round-trip-ok"}, {"use-no-echo", "drop-no-echo"}, 0, ""},
        {"echo, --no-echo given", {"--ids", "1-3"}, {"--no-echo"}, {"--count", "50"},
         {"drop-no-echo", "servos-answer"}, {"use-no-echo"}, 1, "leave --no-echo out"},
        {"16 ms latency timer", {"--ids", "1-3", "--latency-ms", "16"}, kPatient, {"--count", "40"},
         {"latency-timer", "echo-present"}, {"round-trip-ok", "use-no-echo"}, 1, "holds replies back"},
        {"late servo", {"--ids", "1-3", "--late", "2", "--late-ms", "60"}, {}, {"--ids", "1-3", "--count", "20"},
         {"late-servo", "servos-answer"}, {"silent-servo"}, 1, "servo 2 answers after "},
        {"silent servo", {"--ids", "1-3", "--silent", "3"}, {}, {"--ids", "1-3", "--count", "20"},
         {"silent-servo", "servos-answer"}, {"late-servo"}, 1, "servo 3 did not answer"},
        {"servos at another rate", {"--ids", "1-3", "--baud", "57600", "--strict-baud"}, {}, {"--ids", "1", "--find-baud"},
         {"wrong-baud", "echo-present"}, {"servos-answer", "baud-ok"}, 1, "use --baud 57600"},
    };
    for (const Case &c : cases) {
        Simulator sim(c.zavsim);
        ASSERT_TRUE(sim.wait_for("zavsim: servos")) << c.line << "\n" << sim.output();
        std::vector<std::string> args = {"--port", sim.port()};
        args.insert(args.end(), c.zavctl.begin(), c.zavctl.end());
        args.push_back("doctor");
        args.insert(args.end(), c.doctor.begin(), c.doctor.end());
        const Result r = zavctl(args);
        const std::vector<std::string> codes = finding_codes(r.output);
        EXPECT_EQ(r.exit_status, c.exit_status) << c.line << "\n" << r.output;
        for (const std::string &code : c.found) EXPECT_TRUE(contains(codes, code)) << c.line << ": no " << code << "\n" << r.output;
        for (const std::string &code : c.not_found) EXPECT_FALSE(contains(codes, code)) << c.line << ": " << code << "\n" << r.output;
        EXPECT_NE(r.output.find(c.advice), std::string::npos) << c.line << "\n" << r.output;
    }
}

TEST(Doctor, JsonReportCarriesTheMeasurements) {
    Simulator sim({"--ids", "2", "--latency-ms", "16", "--no-echo"});
    ASSERT_TRUE(sim.wait_for("zavsim: servos")) << sim.output();
    // A generous reply time-out: on a busy machine a reply held past a 20 ms one
    // would be taken by the next exchange, whose round trip then looks short.
    const Result r = zavctl({"--port", sim.port(), "--no-echo", "--timeout-offset", "100", "doctor", "--json", "--count", "20"});
    EXPECT_EQ(r.exit_status, 1) << r.output;
    EXPECT_EQ(r.output.rfind("{\"device\":", 0), 0u) << r.output;
    EXPECT_NE(r.output.find("\"echo\":false"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"answering\":[2]"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"code\":\"latency-timer\",\"severity\":\"problem\""), std::string::npos) << r.output;
    // The median lies between the 16 ms the replies are held and the reply time-out.
    const auto at = r.output.find("\"median\":");
    ASSERT_NE(at, std::string::npos) << r.output;
    const double median = std::stod(r.output.substr(at + 9));
    EXPECT_GE(median, 16.0);
    EXPECT_LT(median, 100.0);
}

TEST(Doctor, ScanFindsTheServosRate) {
    Simulator sim({"--ids", "5", "--baud", "250000", "--strict-baud"});
    ASSERT_TRUE(sim.wait_for("zavsim: servos")) << sim.output();
    const Result r = zavctl({"--port", sim.port(), "scan", "--find-baud"});
    EXPECT_EQ(r.exit_status, 0) << r.output;
    EXPECT_NE(r.output.find("250000    5\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("115200    none\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("use --baud 250000"), std::string::npos) << r.output;
    // Where servos answer at several rates, the one in use is kept.
    const Result here = zavctl({"--sim", "--baud", "57600", "scan", "--find-baud"});
    EXPECT_NE(here.output.find("among them the rate in use (57600)"), std::string::npos) << here.output;
}

// ---------------------------------------------------------------------------
// The dissector

namespace {

struct Capture {
    Capture() {
        char name[] = "/tmp/zavbus-capture-XXXXXX";
        dir = mkdtemp(name);
    }
    ~Capture() {
        for (const char *file : {"/bus.pcap", "/host.pcap"}) unlink((dir + file).c_str());
        rmdir(dir.c_str());
    }
    std::string dir;
};

// tshark's fields for the frames that match filter, one line each; the
// warning it prints when run as root is left out.
std::vector<std::string> tshark_rows(const std::string &file, const std::string &filter,
                                     const std::vector<std::string> &fields) {
    std::vector<std::string> args = {TSHARK_PATH, "-2", "-X", std::string("lua_script:") + ZAVBUS_LUA_PATH, "-r", file,
                                     "-Y", filter, "-T", "fields", "-E", "occurrence=l"};
    for (const std::string &field : fields) args.insert(args.end(), {"-e", field});
    const Result r = run(args);
    std::vector<std::string> rows;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line.find("Running as user") == std::string::npos) rows.push_back(line);
    return rows;
}

// Request: command, id, goal, sub-code, value. Reply: present, reading,
// value, wrong. "no reply" for a time-out.
struct Exchange {
    std::string request, reply;
};

// Checks the requests and replies that tshark decodes from file against sent.
void expect_decoded(const std::string &file, const std::vector<Exchange> &sent) {
    const std::vector<std::string> requests = tshark_rows(
        file, "zavbus.kind == \"request\"",
        {"frame.number", "zavbus.command", "zavbus.id", "zavbus.goal", "zavbus.subcode", "zavbus.value", "zavbus.no_reply"});
    const std::vector<std::string> replies = tshark_rows(
        file, "zavbus.time", {"zavbus.request_in", "zavbus.present", "zavbus.reading", "zavbus.value", "zavbus.wrong_reply"});
    ASSERT_EQ(requests.size(), sent.size()) << file;
    auto spaced = [](std::string text) {
        for (char &ch : text) ch = ch == '\t' ? ' ' : ch;
        return text;
    };
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const std::string &row = requests[i];
        const std::string frame = row.substr(0, row.find('\t'));
        const std::string request = row.substr(row.find('\t') + 1, row.rfind('\t') - row.find('\t') - 1);
        const bool timed_out = row.substr(row.rfind('\t') + 1) == "1";
        EXPECT_EQ(spaced(request), sent[i].request) << file << " exchange " << i;
        std::string reply = timed_out ? "no reply" : "(none)";
        for (const std::string &r : replies)
            if (r.substr(0, r.find('\t')) == frame) reply = spaced(r.substr(r.find('\t') + 1));
        EXPECT_EQ(reply, sent[i].reply) << file << " exchange " << i;
    }
    // Every record is a bus frame.
    EXPECT_EQ(tshark_rows(file, "zavbus", {"frame.number"}).size(), tshark_rows(file, "frame", {"frame.number"}).size()) << file;
}

} // namespace

TEST(Dissector, DecodesWhatWasSent) {
    ASSERT_EQ(access(TSHARK_PATH, X_OK), 0) << "tshark is not installed (scripts/install-missing.sh tshark)";
    struct Session {
        const char *what;
        std::vector<std::string> zavsim;
        std::vector<std::vector<std::string>> calls; // the first one is also captured by zavctl
        std::vector<Exchange> sent;
        std::size_t in_first_call;
    } sessions[] = {
        {"one-wire line with faults",
         {"--ids", "1-4", "--speed", "0", "--silent", "3", "--wrong-first", "4"},
         // Ends at the wrong reply of servo 4; a second call meets silent servo 3. A
         // generous reply offset keeps a held-back simulator from changing the session.
         {{"--timeout-offset", "1000", "move", "1", "5000", "write", "2", "sc2", "50", "read", "2", "sc4", "ping", "4"},
          {"--timeout-offset", "1000", "ping", "3"}},
         {
             {"4 1 0  ", "7600   "},    // torque on from released: learn where servo 1 stands...
             {"4 1 7600  ", "7600   "}, // ...hold it there...
             {"4 1 5000  ", "7600   "}, // ...and move toward the goal
             {"6 2  2 50", "  50 "},    // write sub-code 2
             {"5 2  4 ", " 63 100 "},   // read sub-code 4: raw 100 reads as 63
             {"4 4 0  ", "7900   1"},   // wrong first byte
             {"4 3 0  ", "no reply"},   // silent
         },
         6},
        {"line without echo; servo 0 answers 0x80, its own command byte",
         {"--ids", "0", "--no-echo", "--sc3", "0=-12"},
         {{"--no-echo", "--timeout-offset", "1000", "ping", "0", "read", "0", "sc3"}},
         {{"4 0 0  ", "7500   "}, {"5 0  3 ", " -12 76 "}},
         2},
    };
    for (const Session &session : sessions) {
        Capture capture;
        const std::string bus_pcap = capture.dir + "/bus.pcap";
        const std::string host_pcap = capture.dir + "/host.pcap";
        {
            std::vector<std::string> sim_args = session.zavsim;
            sim_args.insert(sim_args.end(), {"--capture", bus_pcap});
            Simulator sim(sim_args);
            ASSERT_TRUE(sim.wait_for("zavsim: servos")) << sim.output();
            for (std::size_t i = 0; i < session.calls.size(); ++i) {
                std::vector<std::string> args = {"--port", sim.port()};
                if (i == 0) args.insert(args.end(), {"--capture", host_pcap});
                args.insert(args.end(), session.calls[i].begin(), session.calls[i].end());
                zavctl(args);
            }
        }
        SCOPED_TRACE(session.what);
        expect_decoded(bus_pcap, session.sent);
        expect_decoded(host_pcap, std::vector<Exchange>(session.sent.begin(), session.sent.begin() + session.in_first_call));
    }
}
