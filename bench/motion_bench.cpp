// Motion playback against the clock: 18 servos at 1 000 000 baud on the
// library's simulated bus keeping wire time (sim:0-17?wire=1, on the calling
// thread), a tick of 10 ms, for 60 s. Prints the lateness of the ticks (p99
// and worst), how far the last tick started from its planned time, the bus
// time per tick against the plan, and the shortest tick the planner allows
// against the wire time a tick needs. Figures, not a test: the goals (p99 <=
// 1 ms, the last tick within one tick) are reported as met or missed, and the
// exit status is 0 either way.
//
//   build/motion_bench                     # 60 s
//   build/motion_bench --seconds 2         # brief
//   build/motion_bench --servos 30 --tick 5 --baud 1000000
//   build/motion_bench --normal-priority   # without the engine's raised thread priority
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "motion.h"
#include "motion_player.h"
#include "zavlib.h"

namespace {

struct Settings {
    double seconds = 60.0;
    double tick_ms = 10.0;
    int servos = 18;
    int32_t baud = 1000000;
    bool raise_priority = true;
};

bool parse(int argc, char **argv, Settings &s) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--normal-priority") {
            s.raise_priority = false;
            continue;
        }
        if (i + 1 >= argc) return false;
        const double value = std::atof(argv[++i]);
        if (name == "--seconds" && value > 0) {
            s.seconds = value;
        } else if (name == "--tick" && value > 0) {
            s.tick_ms = value;
        } else if (name == "--servos" && value >= 1 && value <= 32) {
            s.servos = static_cast<int>(value);
        } else if (name == "--baud" && value >= 9600) {
            s.baud = static_cast<int32_t>(value);
        } else {
            return false;
        }
    }
    return true;
}

// Every servo swings by 2500 positions from where it stands and back, half a
// second a swing, with the smooth ease, so that every tick sends every servo a
// new goal; the motion starts where the servos stand, so the run is the motion alone.
zavmotion::Motion swinging(const Settings &s, const std::vector<int> &present) {
    zavmotion::Motion motion;
    const int swings = static_cast<int>(std::ceil(s.seconds / 0.5));
    for (int k = 0; k <= swings; ++k) {
        zavmotion::Keyframe keyframe;
        keyframe.at = std::min(s.seconds, 0.5 * k);
        keyframe.ease = zavmotion::Ease::kSmooth;
        for (int id = 0; id < s.servos; ++id) keyframe.goals[id] = present[static_cast<std::size_t>(id)] + (k % 2 == 0 ? 0 : 2500);
        motion.timeline.push_back(keyframe);
        if (keyframe.at >= s.seconds) break;
    }
    return motion;
}

} // namespace

int main(int argc, char **argv) {
    Settings s;
    if (!parse(argc, argv, s)) {
        std::fprintf(stderr, "usage: motion_bench [--seconds S] [--tick MS] [--servos N] [--baud RATE] [--normal-priority]\n");
        return 2;
    }
    const std::string name = "sim:0-" + std::to_string(s.servos - 1) + "?wire=1";
    PortHandle port = ZAV_OpenPort(name.c_str(), s.baud);
    if (port == nullptr) {
        std::fprintf(stderr, "motion_bench: cannot open %s\n", name.c_str());
        return 1;
    }
    std::vector<int> present;
    for (int id = 0; id < s.servos; ++id) {
        uint16_t position = 0;
        if (!ZAV_ReadWordData(port, static_cast<uint8_t>(id), ZAV_REG_PRESENT_POSITION, &position, nullptr)) {
            std::fprintf(stderr, "motion_bench: servo %d of %s does not answer\n", id, name.c_str());
            return 1;
        }
        present.push_back(std::min(static_cast<int>(position), static_cast<int>(ZAV_GOAL_MAX) - 2500));
    }
    const zavmotion::Motion motion = swinging(s, present);

    std::printf("motion playback: %d servos at %d baud on %s (the simulated bus with wire time), tick %.1f ms, %.0f s\n",
                s.servos, s.baud, name.c_str(), s.tick_ms, s.seconds);
    std::fflush(stdout);
    zavmotion::Engine engine(port, s.baud, [](StatusWord status, int id) {
        return "status 0x" + std::to_string(status) + " from servo " + std::to_string(id);
    });
    zavmotion::PlayOptions play;
    play.tick_ms = s.tick_ms;
    play.raise_priority = s.raise_priority;
    zavmotion::PlayReport report;
    const bool ok = engine.play(motion, play, report);
    ZAV_ClosePort(port);
    if (!ok) {
        std::fprintf(stderr, "motion_bench: %s\n", report.error.c_str());
        return 1;
    }
    const zavmotion::Plan &plan = report.plan;
    const zavmotion::TickStats &t = report.ticks;
    const double wire_tick_ms = plan.wire_ms * plan.servos;
    const bool p99_met = t.p99_lateness_ms <= 1.0;
    const bool last_met = t.last_lateness_ms <= s.tick_ms;
    std::printf("plan: %s\n", plan.describe().c_str());
    std::printf("scheduling: the player's thread at %s priority\n", report.raised_priority ? "raised (real-time)" : "normal");
    std::printf("ticks: %llu run, %llu late (over a quarter tick), %llu skipped\n",
                static_cast<unsigned long long>(t.ticks), static_cast<unsigned long long>(t.late),
                static_cast<unsigned long long>(t.skipped));
    std::printf("lateness: p99 %.3f ms (goal 1 ms: %s), worst %.3f ms\n", t.p99_lateness_ms, p99_met ? "met" : "missed",
                t.worst_lateness_ms);
    std::printf("last tick: %.3f ms after its planned time (goal within one tick, %.1f ms: %s)\n", t.last_lateness_ms,
                s.tick_ms, last_met ? "met" : "missed");
    std::printf("bus time per tick: %.3f ms on average, %.3f ms at worst; planned %.3f ms\n", t.bus_mean_ms,
                t.bus_worst_ms, plan.tick_bus_ms);
    std::printf("shortest tick the planner allows: %.1f ms; the wire time of a tick: %.3f ms (%.1f times)\n",
                plan.shortest_tick_ms, wire_tick_ms, plan.shortest_tick_ms / wire_tick_ms);
    return 0;
}
