// zavctl play and zavctl record: motions from the command line, through the
// motion engine (tools/motion). Without the engine in the build they say so.
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "command.h"
#include "motion.h"
#include "motion_player.h"
#include "session.h"
#include "status_text.h"

namespace zavctl {

namespace {

struct PlayArgs {
    std::string file;
    zavmotion::Motion motion; // read and checked while the command line is parsed
    zavmotion::PlayOptions options;
    bool dry_run = false;
};

struct RecordArgs {
    std::string file;
    IdSelection ids;
    zavmotion::RecordOptions options;
    bool poses = false;
};

int fail(const std::string &message, int status = kExitFailed) {
    std::fprintf(stderr, "zavctl: %s\n", message.c_str());
    return status;
}

#ifdef ZAVCTL_HAS_MOTION

using zavmotion::Engine;

// Ctrl+C (and SIGTERM) end the motion or recording under way after its
// current tick; what follows (hold or release, saving) still happens.
std::atomic<Engine *> g_running{nullptr};

extern "C" void stop_running(int) {
    if (Engine *engine = g_running.load()) engine->request_stop();
}

class StopOnSignal {
public:
    explicit StopOnSignal(Engine &engine) {
        g_running.store(&engine);
#ifdef _WIN32
        old_int_ = std::signal(SIGINT, stop_running);
        old_term_ = std::signal(SIGTERM, stop_running);
        old_break_ = std::signal(SIGBREAK, stop_running);
#else
        // No SA_RESTART: a read of the terminal (record --poses) returns at once.
        struct sigaction action {};
        action.sa_handler = stop_running;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &old_int_);
        sigaction(SIGTERM, &action, &old_term_);
#endif
    }
    ~StopOnSignal() {
#ifdef _WIN32
        std::signal(SIGINT, old_int_);
        std::signal(SIGTERM, old_term_);
        std::signal(SIGBREAK, old_break_);
#else
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
#endif
        g_running.store(nullptr);
    }
    StopOnSignal(const StopOnSignal &) = delete;
    StopOnSignal &operator=(const StopOnSignal &) = delete;

private:
#ifdef _WIN32
    void (*old_int_)(int);
    void (*old_term_)(int);
    void (*old_break_)(int);
#else
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
#endif
};

Engine engine_for(const Session &s) {
    const uint32_t timeout = s.reply_timeout_ms();
    return Engine(s.port(), s.options().baud, [timeout](StatusWord status, int id) {
        return explain(status, id, timeout) + " [" + flag_names(status) + "]";
    });
}

bool terminal() { return isatty(fileno(stdout)) != 0; }

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

// A progress line on a terminal, a few times a second.
class ProgressLine {
public:
    void show(const std::string &text) {
        if (!terminal_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return;
        next_ = now + std::chrono::milliseconds(200);
        std::printf("\r%s\x1b[K", text.c_str());
        std::fflush(stdout);
        shown_ = true;
    }
    void clear() {
        if (shown_) std::printf("\r\x1b[K");
        shown_ = false;
    }

private:
    bool terminal_ = terminal();
    bool shown_ = false;
    std::chrono::steady_clock::time_point next_{};
};

int play(Session &s, const PlayArgs &args) {
    const zavmotion::Motion &motion = args.motion;
    const std::vector<int> servos = motion.servos();
    Engine engine = engine_for(s);
    const zavmotion::PlayOptions &o = args.options;
    std::printf("%s: %zu keyframes, servos %s, %s long\n", args.file.c_str(), motion.timeline.size(),
                id_list_text(servos).c_str(), seconds_text(motion.duration()).c_str());
    std::fflush(stdout);
    if (args.dry_run) {
        zavmotion::Plan plan;
        std::string error;
        if (!engine.plan(servos, plan, error)) return fail(error);
        std::printf("plan: %s\n", plan.describe().c_str());
        const double ticks = std::ceil(motion.duration() / o.speed * 1000.0 / o.tick_ms);
        std::printf("at a tick of %.1f ms and speed %g: %.0f ticks a loop, %.0f%% of each tick on the bus\n", o.tick_ms,
                    o.speed, ticks, 100.0 * plan.tick_bus_ms / o.tick_ms);
        if (o.tick_ms < plan.shortest_tick_ms)
            return fail("a tick of " + std::to_string(o.tick_ms) + " ms is shorter than this bus allows (--tick)");
        return kExitOk;
    }

    ProgressLine line;
    zavmotion::PlayReport report;
    bool ok = false;
    {
        StopOnSignal stop(engine);
        ok = engine.play(motion, o, report, [&](const zavmotion::Progress &p) {
            char text[128];
            if (p.loop == 0) {
                std::snprintf(text, sizeof text, "moving to the start: %.1f s of %.1f s", p.elapsed_s, report.approach_s);
            } else {
                std::snprintf(text, sizeof text, "loop %d%s: %.2f s of %.2f s", p.loop,
                              o.loops == 0 ? "" : (" of " + std::to_string(o.loops)).c_str(), p.motion_s,
                              motion.duration());
            }
            line.show(text);
        });
    }
    line.clear();
    if (report.ticks.ticks == 0) { // refused before anything moved
        const bool too_short = report.error.find("shorter than this bus allows") != std::string::npos;
        return fail(report.error + (too_short ? " (--tick)" : ""));
    }
    std::printf("plan: %s\n", report.plan.describe().c_str());
    std::printf("%s after %s to the start and %d loop%s: %s\n", report.stopped ? "stopped" : ok ? "done" : "ended",
                seconds_text(report.approach_s).c_str(), report.loops_done, report.loops_done == 1 ? "" : "s",
                report.summary().c_str());
    std::printf("servos %s %s\n", id_list_text(servos).c_str(), report.released ? "released" : "hold their last goals");
    return ok ? kExitOk : fail(report.error);
}

int save(const std::string &path, const zavmotion::Motion &motion, const std::string &what) {
    std::string error;
    if (!zavmotion::save_motion(path, motion, error)) return fail(error);
    std::printf("wrote %s: %s\n", path.c_str(), what.c_str());
    return kExitOk;
}

// Enter captures a pose; a line with text names it.
int record_poses(Session &s, const std::vector<int> &ids, const std::string &path) {
    Engine engine = engine_for(s);
    for (int id : ids) {
        StatusWord status = 0;
        if (!ZAV_WriteByteData(s.port(), static_cast<uint8_t>(id), ZAV_REG_TORQUE_ENABLE, 0, &status) || status != 0)
            return s.fail("releasing servo " + std::to_string(id), status, id);
    }
    std::printf("servos %s are released: pose them by hand, then press Enter to capture a pose (type a name first to "
                "name it); end of input (Ctrl+D; Ctrl+Z, Enter on Windows) or Ctrl+C finishes\n",
                id_list_text(ids).c_str());
    zavmotion::Motion motion;
    std::string error;
    int status = kExitOk;
    {
        StopOnSignal stop(engine);
        std::string name;
        for (int n = 1;; ++n) {
            std::printf("pose %d> ", n);
            std::fflush(stdout);
            if (!std::getline(std::cin, name)) break;
            if (name.empty()) name = "pose_" + std::to_string(n);
            if (motion.find_pose(name) != nullptr) {
                std::printf("there is a pose named %s already; give another name\n", name.c_str());
                --n;
                continue;
            }
            zavmotion::Goals pose;
            if (!engine.read_pose(ids, pose, error)) {
                status = fail(error);
                break;
            }
            motion.poses.emplace_back(name, pose);
            zavmotion::Keyframe keyframe;
            keyframe.at = static_cast<double>(motion.timeline.size()); // a second apart
            keyframe.pose = name;
            keyframe.ease = motion.timeline.empty() ? zavmotion::Ease::kLinear : zavmotion::Ease::kSmooth;
            motion.timeline.push_back(keyframe);
            std::string values;
            for (const auto &[id, goal] : pose) values += " " + std::to_string(id) + "=" + std::to_string(goal);
            std::printf("captured %s:%s\n", name.c_str(), values.c_str());
        }
    }
    std::printf("\n");
    if (motion.poses.empty()) return status != kExitOk ? status : fail("no pose was captured; nothing was written");
    const int saved = save(path, motion, std::to_string(motion.poses.size()) + " poses, a second apart");
    return status != kExitOk ? status : saved;
}

int record(Session &s, const RecordArgs &args) {
    zavmotion::RecordOptions o = args.options;
    o.ids = s.resolve(args.ids);
    if (o.ids.empty()) return kExitFailed;
    if (args.poses) return record_poses(s, o.ids, args.file);

    Engine engine = engine_for(s);
    ProgressLine line;
    zavmotion::Motion motion;
    zavmotion::RecordReport report;
    bool ok = false;
    {
        StopOnSignal stop(engine);
        bool started = false;
        ok = engine.record(o, motion, report, [&](const zavmotion::Progress &p) {
            if (!started) { // the servos are released and the first sample is in
                std::printf("recording servos %s at %g Hz for up to %g s: they are released, move them by hand; "
                            "Ctrl+C ends the recording early\n",
                            id_list_text(o.ids).c_str(), o.rate_hz, o.seconds);
                std::fflush(stdout);
                started = true;
            }
            char text[96];
            std::snprintf(text, sizeof text, "recording: %.1f s of %.1f s", p.elapsed_s, p.total_s);
            line.show(text);
        });
    }
    line.clear();
    if (motion.timeline.empty()) return fail(report.error.empty() ? "nothing was recorded" : report.error);
    std::printf("%s: %s\n", report.stopped ? "stopped" : ok ? "done" : "ended", report.summary().c_str());
    const int saved = save(args.file, motion,
                           std::to_string(motion.timeline.size()) + " keyframes, " + seconds_text(report.seconds));
    if (!ok) return fail(report.error + " (what was recorded until then was kept)");
    return saved;
}

#else

int not_built() {
    std::fprintf(stderr, "zavctl: this zavctl was built without motions: its build found no nlohmann/json "
                         "(Debian: nlohmann-json3-dev)\n");
    return kExitUnavailable;
}

int play(Session &, const PlayArgs &) { return not_built(); }
int record(Session &, const RecordArgs &) { return not_built(); }

#endif // ZAVCTL_HAS_MOTION

const CommandRegistration kPlay{
    {"play", Group::kMotion, "play a motion file: poses on a timeline, sent on a fixed tick",
     "zavctl --sim play examples/wave.json --loop 2", [](CLI::App &app) -> Run {
         auto a = state<PlayArgs>();
         app.description("play a motion file: take hold of its servos, move them to the start at a bounded speed,\n"
                         "then send their goals every tick; Ctrl+C stops (see the README's Motion section)");
         app.add_option_function<std::string>(
                "FILE",
                [a](const std::string &path) {
                    std::string error;
#ifdef ZAVCTL_HAS_MOTION
                    if (!zavmotion::load_motion(path, a->motion, error)) throw CLI::ValidationError(error);
                    if (a->motion.timeline.empty())
                        throw CLI::ValidationError(path + ": the timeline has no keyframes: there is nothing to play");
#endif
                    a->file = path;
                },
                "motion file (zavlib-motion JSON)")
             ->required();
         app.add_option("--tick", a->options.tick_ms, "ms between goal updates")->capture_default_str()
             ->check(CLI::Range(0.1, 1000.0));
         app.add_option("--speed", a->options.speed, "playback speed (2: twice as fast)")->capture_default_str()
             ->check(CLI::Range(0.01, 100.0));
         app.add_option("--loop", a->options.loops, "times to play the motion; 0: until Ctrl+C")->capture_default_str()
             ->check(CLI::NonNegativeNumber);
         app.add_flag("--release-at-end", a->options.release_at_end,
                      "release the servos at the end or on Ctrl+C (default: they hold their last goal)");
         app.add_option("--approach-speed", a->options.approach_speed,
                        "top speed on the way to the start, positions per second")
             ->capture_default_str()->check(CLI::Range(1.0, 100000.0));
         app.add_flag("--dry-run", a->dry_run, "time the bus and print the plan; move nothing");
         return [a](Session &s) { return play(s, *a); };
     }}};

const CommandRegistration kRecord{
    {"record", Group::kMotion, "teach-in: record servos moved by hand into a motion file",
     "zavctl --sim record taught.json --ids 1,2 --seconds 5", [](CLI::App &app) -> Run {
         auto a = state<RecordArgs>();
         app.description("teach-in: release the servos, sample where they stand while they are moved by hand,\n"
                         "and write the recording as a motion file");
         app.add_option_function<std::string>(
                "FILE",
                [a](const std::string &path) {
                    // Checked before the servos are moved by hand for a minute.
                    const std::string probe = path + ".part";
                    std::FILE *f = std::fopen(probe.c_str(), "wb");
                    if (f == nullptr)
                        throw CLI::ValidationError(path + " cannot be written (is the folder there and writable?)");
                    std::fclose(f);
                    std::remove(probe.c_str());
                    a->file = path;
                },
                "motion file to write")
             ->required();
         add_ids(app, "--ids", a->ids, "servos to record")->required();
         app.add_option("--rate", a->options.rate_hz, "samples a second")->capture_default_str()
             ->check(CLI::Range(0.1, 1000.0));
         app.add_option("--seconds", a->options.seconds, "recording time (Ctrl+C ends it early)")->capture_default_str()
             ->check(CLI::Range(0.01, 86400.0));
         app.add_flag("--poses", a->poses, "capture a pose each time Enter is pressed instead");
         return [a](Session &s) { return record(s, *a); };
     }}};

} // namespace

} // namespace zavctl
