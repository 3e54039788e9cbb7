// zavctl play and record, run as processes on zavctl's simulated bus.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "programs.h"

namespace {

// A line without echo and a patient reply time-out (see tool_test.cpp), and
// ticks long enough for a bus that a loaded machine slows down.
const std::vector<std::string> kBus = {"--sim", "--no-echo", "--timeout-offset", "1000"};

std::vector<std::string> on_bus(std::vector<std::string> args) {
    args.insert(args.begin(), kBus.begin(), kBus.end());
    return args;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// zavctl with args, its standard input the given text (then end of input).
Result zavctl_fed(const std::vector<std::string> &args, const std::string &input) {
    char name[] = "/tmp/zavctl-input-XXXXXX";
    const int fd = mkstemp(name);
    Result result;
    if (fd < 0) return result;
    if (write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        close(fd);
        unlink(name);
        return result;
    }
    lseek(fd, 0, SEEK_SET);
    const int saved = dup(0);
    dup2(fd, 0); // the child inherits it as its standard input
    result = zavctl(args);
    dup2(saved, 0);
    close(saved);
    close(fd);
    unlink(name);
    return result;
}

} // namespace

TEST(MotionCommands, RecordThenPlayTheRecordingAndRefuseABadFile) {
    char dir[] = "/tmp/zavctl-motion-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string recording = std::string(dir) + "/taught.json";
    const std::string broken = std::string(dir) + "/broken.json";
    const std::string poses = std::string(dir) + "/poses.json";
    std::ofstream(broken) << R"({"format": "zavlib-motion", "version": 1,
  "timeline": [{"at": 0, "goals": {"1": 4000}}, {"at": 1, "goals": {"1": 5000}, "ease": "bouncy"}]})";

    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> expected;
        std::string input; // standard input, for record --poses
    } sessions[] = {
        {on_bus({"record", recording, "--ids", "1,2", "--rate", "5", "--seconds", "0.4"}), 0,
         {"recording servos 1,2 at 5 Hz", "wrote " + recording + ": 2 keyframes, 0.40 s"}, ""},
        {on_bus({"play", recording, "--dry-run", "--tick", "200"}), 0,
         {"2 keyframes, servos 1,2, 0.40 s long", "plan: 2 servos at 115200 baud", "the shortest tick is"}, ""},
        {on_bus({"play", recording, "--tick", "200", "--loop", "2", "read", "2", "goal"}), 0,
         {"done after 0.00 s to the start and 2 loops:", "servos 1,2 hold their last goals", "goal_position      7700"},
         ""},
        {on_bus({"play", ZAV_SOURCE_DIR "/examples/wave.json", "--speed", "4", "--tick", "200", "--release-at-end"}), 0,
         {"done after", "servos 1,2 released"}, ""},
        {on_bus({"play", broken}), 2,
         {broken + R"(: timeline[1] (at 1 s): "ease" must be "step", "linear" or "smooth")"}, ""},
        {on_bus({"play", recording, "--tick", "0.2"}), 1,
         {"a tick of 0.2 ms is shorter than this bus allows", "(--tick)"}, ""},
        {on_bus({"play", std::string(dir) + "/missing.json"}), 2, {"missing.json: cannot be opened"}, ""},
        {on_bus({"record", std::string(dir) + "/no/folder.json", "--ids", "1"}), 2, {"cannot be written"}, ""},
        {on_bus({"record", recording, "--ids", "1,40"}), 2, {"'1,40' is not a servo id"}, ""},
        // Enter captures a pose, named or not, until the end of the input.
        {on_bus({"record", poses, "--ids", "1,2", "--poses"}), 0,
         {"captured wave: 1=7600 2=7700", "captured pose_2: 1=7600 2=7700",
          "wrote " + poses + ": 2 poses, a second apart"},
         "wave\n\n"},
        {on_bus({"play", poses, "--tick", "200"}), 0, {"2 keyframes, servos 1,2, 1.00 s long", "done after"}, ""},
        // A chain is checked whole before anything is sent: the broken file stops the move before it.
        {on_bus({"move", "1", "4000", "play", broken}), 2, {"\"ease\" must be"}, ""},
    };
    for (const auto &s : sessions) {
        const Result r = zavctl_fed(s.args, s.input);
        EXPECT_EQ(r.exit_status, s.status) << s.args[4] << "\n" << r.output;
        for (const std::string &part : s.expected) EXPECT_TRUE(contains(r.output, part)) << part << "\n" << r.output;
    }
    std::remove(recording.c_str());
    std::remove(broken.c_str());
    std::remove(poses.c_str());
    rmdir(dir);
}
