// The motion engine: the table of motion files it reads and refuses, the
// sampled goals it must give (both shared with the Python package's tests),
// and playback and teach-in on a simulated bus.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <mutex>
#include <sstream>

#include "bus_harness.h"
#include "motion.h"
#include "motion_player.h"
#include "zavlib.h"

namespace {

using json = nlohmann::json;
using zavmotion::Motion;

json read_table(const std::string &name) {
    std::ifstream in(std::string(ZAV_MOTION_DATA) + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return json::parse(text.str());
}

TEST(MotionFiles, TableOfValidAndRefusedFiles) {
    const json table = read_table("cases.json");
    ASSERT_GT(table["cases"].size(), 50u);
    for (const json &c : table["cases"]) {
        SCOPED_TRACE(c["name"].get<std::string>());
        const std::string text = c.contains("text") ? c["text"].get<std::string>() : c["motion"].dump();
        Motion motion;
        std::string error;
        const bool read = zavmotion::parse_motion(text, motion, error);
        if (c.contains("error_contains")) {
            ASSERT_FALSE(read);
            for (const json &part : c["error_contains"]) EXPECT_NE(error.find(part.get<std::string>()), std::string::npos) << error;
        } else if (!c["error"].is_null()) {
            ASSERT_FALSE(read);
            EXPECT_EQ(error, c["error"].get<std::string>());
        } else {
            ASSERT_TRUE(read) << error;
            // What is written reads back as the same motion.
            Motion again;
            ASSERT_TRUE(zavmotion::parse_motion(zavmotion::motion_to_json(motion), again, error)) << error;
            EXPECT_EQ(zavmotion::motion_to_json(again), zavmotion::motion_to_json(motion));
            EXPECT_EQ(json::parse(zavmotion::motion_to_json(motion))["timeline"].size(), c["motion"]["timeline"].size());
        }
    }
}

TEST(MotionFiles, GoldenSampledGoals) {
    const json table = read_table("golden.json");
    ASSERT_GE(table["sets"].size(), 2u);
    for (const json &set : table["sets"]) {
        SCOPED_TRACE(set["name"].get<std::string>());
        Motion motion;
        std::string error;
        ASSERT_TRUE(zavmotion::parse_motion(set["motion"].dump(), motion, error)) << error;
        const zavmotion::Sampler sampler(motion);
        const double step = set["step"].get<double>();
        std::vector<int> goals;
        std::map<int, std::vector<int>> got;
        for (int k = 0; k < set["count"].get<int>(); ++k) {
            sampler.sample(k * step, goals);
            for (std::size_t i = 0; i < goals.size(); ++i) got[sampler.servos()[i]].push_back(goals[i]);
        }
        std::map<int, std::vector<int>> expected;
        for (const auto &item : set["goals"].items()) expected[std::stoi(item.key())] = item.value().get<std::vector<int>>();
        EXPECT_EQ(got, expected);
    }
}

TEST(MotionFiles, SaveReplacesTheFileOnlyWhenComplete) {
    char dir[] = "/tmp/zavmotion-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/wave.json";
    Motion motion;
    std::string error;
    ASSERT_TRUE(zavmotion::parse_motion(read_table("cases.json")["cases"][0]["motion"].dump(), motion, error)) << error;
    ASSERT_TRUE(zavmotion::save_motion(path, motion, error)) << error;
    Motion loaded;
    ASSERT_TRUE(zavmotion::load_motion(path, loaded, error)) << error;
    EXPECT_EQ(zavmotion::motion_to_json(loaded), zavmotion::motion_to_json(motion));

    // A motion that breaks its limits is not written, and the file stays as it was.
    motion.limits[2] = {3500, 5000};
    ASSERT_FALSE(zavmotion::save_motion(path, motion, error));
    EXPECT_NE(error.find("servo 2: goal 9000 is outside its limits 3500 to 5000"), std::string::npos) << error;
    ASSERT_TRUE(zavmotion::load_motion(path, loaded, error)) << error;
    EXPECT_FALSE(zavmotion::save_motion(std::string(dir) + "/no/such/folder.json", loaded, error));
    EXPECT_NE(error.find("could not be written"), std::string::npos) << error;
    EXPECT_FALSE(zavmotion::load_motion(std::string(dir) + "/missing.json", loaded, error));
    EXPECT_EQ(error, std::string(dir) + "/missing.json: cannot be opened");
    std::remove(path.c_str());
    rmdir(dir);
}

// A bus of servos on a pseudo-terminal with the goals each servo received.
// A rate every kind of port sets, emulated ones included (qemu's user mode
// lacks the call that sets any other).
constexpr int kBaud = 115200;

class SimulatedBus final : private zavsim::TraceSink {
public:
    explicit SimulatedBus(const std::vector<int> &ids) {
        harness_ = make_harness(steady_bus());
        if (!harness_) return;
        harness_->with_bus([&](zavsim::ServoBus &bus) {
            bus.set_present(ids);
            bus.options().speed = 100000.0; // the servos keep up with every goal
            bus.trace = this;
            return 0;
        });
        ZAV_SetEchoCancel(0);
        port_ = ZAV_OpenPort(harness_->port_name().c_str(), kBaud);
        if (port_) ZAV_SetTimeOutOffset(port_, kSteadyReplyOffsetMs);
    }
    ~SimulatedBus() {
        if (port_) ZAV_ClosePort(port_);
        ZAV_SetEchoCancel(1);
        if (harness_) harness_->with_bus([](zavsim::ServoBus &bus) { return bus.trace = nullptr, 0; });
    }
    PortHandle port() const { return port_; }
    zavsim::Servo servo(int id) {
        return harness_->with_bus([id](zavsim::ServoBus &bus) { return bus.servo(id); });
    }
    void place(int id, double position) {
        harness_->with_bus([=](zavsim::ServoBus &bus) { return bus.servo(id).position = position, 0; });
    }
    std::vector<int> received(int id) {
        std::lock_guard<std::mutex> hold(mutex_);
        return received_[id];
    }
    zavmotion::Engine engine() {
        return zavmotion::Engine(port_, kBaud, [](StatusWord status, int id) {
            return "status " + std::to_string(status) + " from servo " + std::to_string(id);
        });
    }

private:
    // Runs on the bus's thread.
    void trace(const zavsim::TraceEvent &e) override {
        if (e.to_host || e.size != 3 || (e.bytes[0] >> 5) != CMD_POSITION) return;
        const int goal = (e.bytes[1] & 0x7F) << 7 | (e.bytes[2] & 0x7F);
        std::lock_guard<std::mutex> hold(mutex_);
        if (goal != 0) received_[e.bytes[0] & 0x1F].push_back(goal);
    }

    std::unique_ptr<BusHarness> harness_;
    PortHandle port_ = nullptr;
    std::mutex mutex_;
    std::map<int, std::vector<int>> received_;
};

Motion golden_motion(int index) {
    Motion motion;
    std::string error;
    EXPECT_TRUE(zavmotion::parse_motion(read_table("golden.json")["sets"][index]["motion"].dump(), motion, error)) << error;
    return motion;
}

TEST(MotionPlayback, ApproachesTheStartThenSendsOnlyChangedGoalsOnEveryTick) {
    SimulatedBus sim({1, 2, 3});
    ASSERT_TRUE(sim.port());
    sim.place(1, 9000.0); // 5000 from its start
    sim.place(3, 4000.0); // at its start: it has nothing to do until its step at 3 s
    zavmotion::PlayOptions options;
    options.tick_ms = 200.0; // long enough for a bus that a loaded machine slows down
    options.approach_speed = 5000.0;
    zavmotion::PlayReport report;
    auto engine = sim.engine();
    int observed = 0;
    ASSERT_TRUE(engine.play(golden_motion(0), options, report, [&](const zavmotion::Progress &) { ++observed; }))
        << report.error;

    // The approach takes 1.875 * 5000 / 5000 s; the run ends 3 s later.
    EXPECT_DOUBLE_EQ(report.approach_s, 1.875);
    EXPECT_EQ(report.ticks.ticks + report.ticks.skipped, 26u);
    EXPECT_EQ(static_cast<uint64_t>(observed), report.ticks.ticks);
    EXPECT_FALSE(report.stopped);
    EXPECT_EQ(report.loops_done, 1);
    EXPECT_EQ(report.plan.servos, 3);
    EXPECT_GT(report.plan.shortest_tick_ms, 0.0);

    // Servo 1 left 9000 without a jump: no step between its goals beyond a
    // tick's worth at the approach's peak speed (two ticks' where one was skipped).
    const std::vector<int> goals = sim.received(1);
    ASSERT_GE(goals.size(), 10u);
    const double step_bound = 5000.0 * 0.200 * static_cast<double>(1 + report.ticks.skipped) + 1.0;
    int previous = 9000;
    for (int goal : goals) {
        EXPECT_LE(std::abs(goal - previous), step_bound);
        previous = goal;
    }
    // Servo 3 got its start, its step at 3 s and nothing between: only changed goals are sent.
    EXPECT_LE(sim.received(3).size(), 6u) << "servo 3 received a goal on ticks where its goal did not change";
    for (int id : {1, 2, 3}) {
        EXPECT_TRUE(sim.servo(id).torque) << "servo " << id << " holds its last goal";
        EXPECT_EQ(sim.servo(id).goal, 8000) << "servo " << id;
    }
}

TEST(MotionPlayback, StopsOnRequestAndRefusesWhatItCannotPlay) {
    SimulatedBus sim({1, 2, 3});
    ASSERT_TRUE(sim.port());
    auto engine = sim.engine();
    zavmotion::PlayOptions options;
    options.tick_ms = 200.0;
    options.loops = 0; // until stopped
    options.approach_speed = 40000.0;
    options.release_at_end = true;
    zavmotion::PlayReport report;
    ASSERT_TRUE(engine.play(golden_motion(0), options, report, [&](const zavmotion::Progress &p) {
        if (p.loop == 2) engine.request_stop();
    })) << report.error;
    EXPECT_TRUE(report.stopped);
    EXPECT_TRUE(report.released);
    EXPECT_EQ(report.loops_done, 1);
    for (int id : {1, 2, 3}) EXPECT_FALSE(sim.servo(id).torque) << "servo " << id << " was released at the stop";

    struct Refusal {
        const char *what;
        std::function<void(Motion &, zavmotion::PlayOptions &)> change;
        const char *error;
    };
    const Refusal refusals[] = {
        {"a tick shorter than the bus allows", [](Motion &, zavmotion::PlayOptions &o) { o.tick_ms = 0.5; },
         "a tick of 0.5 ms is shorter than this bus allows for 3 servos at 115200 baud: at least"},
        {"a servo that is not on the bus", [](Motion &m, zavmotion::PlayOptions &) { m.timeline[0].goals[7] = 5000; },
         "taking hold of servo 7 failed"},
        {"an empty timeline", [](Motion &m, zavmotion::PlayOptions &) { m.timeline.clear(); },
         "the motion has no keyframes: there is nothing to play"},
        {"speed 0", [](Motion &, zavmotion::PlayOptions &o) { o.speed = 0.0; }, "the speed must be more than 0"},
    };
    for (const Refusal &r : refusals) {
        SCOPED_TRACE(r.what);
        Motion motion = golden_motion(0);
        zavmotion::PlayOptions o;
        r.change(motion, o);
        const std::size_t before = sim.received(1).size();
        EXPECT_FALSE(engine.play(motion, o, report));
        EXPECT_EQ(report.error.rfind(r.error, 0), 0u) << report.error;
        EXPECT_EQ(report.ticks.ticks, 0u);
        // Nothing moved: servo 1 got no goal but the ones that take hold where it stands.
        for (std::size_t i = before; i < sim.received(1).size(); ++i)
            EXPECT_EQ(sim.received(1)[i], sim.servo(1).present_position());
    }
}

TEST(MotionTeachIn, RecordsWhatTheServosDidAndPlaysItBack) {
    SimulatedBus sim({1, 2});
    ASSERT_TRUE(sim.port());
    auto engine = sim.engine();
    sim.place(1, 5000.0);
    sim.place(2, 7000.0);
    zavmotion::RecordOptions options;
    options.ids = {2, 1};
    options.rate_hz = 5.0;
    options.seconds = 0.6;
    Motion motion;
    zavmotion::RecordReport report;
    // A hand moves servo 1 to 6000 after the second sample; servo 2 stays.
    int samples = 0;
    ASSERT_TRUE(engine.record(options, motion, report, [&](const zavmotion::Progress &) {
        if (++samples == 2) sim.place(1, 6000.0);
    })) << report.error;
    EXPECT_EQ(report.ticks.ticks + report.ticks.skipped, 4u);
    EXPECT_FALSE(sim.servo(1).torque);
    // Every sample is kept where a position changes on either side of it.
    ASSERT_GE(motion.timeline.size(), 3u);
    EXPECT_EQ(motion.timeline.front().goals, (zavmotion::Goals{{1, 5000}, {2, 7000}}));
    EXPECT_EQ(motion.timeline.back().goals, (zavmotion::Goals{{1, 6000}, {2, 7000}}));
    EXPECT_DOUBLE_EQ(motion.timeline.back().at, report.seconds);
    std::string error;
    ASSERT_TRUE(zavmotion::validate_motion(motion, error)) << error;
    // Played back, the servos do it again.
    const zavmotion::Sampler sampler(motion);
    std::vector<int> goals;
    sampler.sample(0.0, goals);
    EXPECT_EQ(goals, (std::vector<int>{5000, 7000}));
    sampler.sample(report.seconds, goals);
    EXPECT_EQ(goals, (std::vector<int>{6000, 7000}));
    zavmotion::PlayOptions play;
    play.tick_ms = 200.0;
    zavmotion::PlayReport played;
    ASSERT_TRUE(engine.play(motion, play, played)) << played.error;
    EXPECT_EQ(sim.servo(1).goal, 6000);
}

} // namespace
