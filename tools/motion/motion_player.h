// Plays motions on a bus and records them from it (teach-in), through the
// library's public functions only. Everything runs on the caller's thread;
// request_stop() may come from any thread or a signal handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "motion.h"
#include "zavlib.h"

namespace zavmotion {

// What one tick costs on this bus: every servo's goal is one position exchange
// (3 bytes out, 3 back, 11 bits a byte on the wire), and each exchange waits
// for its reply, so a tick takes the servos' round trips one after another.
struct Plan {
    int servos = 0;
    int32_t baud = 0;
    double wire_ms = 0.0;       // one exchange's bytes on the wire
    double round_trip_ms = 0.0; // one exchange as measured at start (median)
    double latency_ms = 0.0;    // what the round trip adds to the wire time
    double tick_bus_ms = 0.0;   // the bus time of a tick that sends every servo a goal
    double shortest_tick_ms = 0.0;
    std::string describe() const;
};

// The shortest tick is the bus time with this much room for the host's own
// scheduling, rounded up to a tenth of a millisecond, and never below 1 ms.
constexpr double kTickHeadroom = 1.25;
constexpr double kMinTickMs = 1.0;
// A servo that fails this many ticks in a row ends playback or recording.
constexpr int kFailuresInARow = 3;

struct PlayOptions {
    double tick_ms = 20.0;
    double speed = 1.0;            // motion seconds per second
    int loops = 1;                 // 0: until stopped
    bool release_at_end = false;   // else the servos hold their last goal
    double approach_speed = 2000.0; // peak positions per second on the way to the start
    bool raise_priority = true;    // run the ticks ahead of the host's other work where allowed
};

struct TickStats {
    uint64_t ticks = 0;   // ticks that ran
    uint64_t late = 0;    // ran more than a quarter tick after their time
    uint64_t skipped = 0; // their time passed before the tick before them finished; never caught up
    double worst_lateness_ms = 0.0;
    double p99_lateness_ms = 0.0;
    double last_lateness_ms = 0.0; // of the last tick, against its planned time
    double bus_mean_ms = 0.0;      // the exchanges of a tick that sent goals
    double bus_worst_ms = 0.0;
};

struct PlayReport {
    Plan plan;
    TickStats ticks;
    double approach_s = 0.0; // to the start, before the first keyframe
    int loops_done = 0;
    bool stopped = false;    // by request, before the end
    bool released = false;   // the servos were released at the end
    bool raised_priority = false; // the ticks ran at a raised thread priority
    std::string error;       // why playback did not start or ended early
    StatusWord failed_status = 0; // the library's word where a call failed
    int failed_servo = -1;        // and the servo it concerned
    std::string summary() const;
};

struct RecordOptions {
    std::vector<int> ids;
    double rate_hz = 50.0;
    double seconds = 10.0;
    bool raise_priority = true;
};

struct RecordReport {
    Plan plan;
    TickStats ticks;
    double seconds = 0.0; // recorded
    int clamped = 0;      // samples outside 3000 to 12000, kept at the nearest end
    bool stopped = false;
    bool raised_priority = false;
    std::string error;
    StatusWord failed_status = 0;
    int failed_servo = -1;
    std::string summary() const;
};

// Reported after every tick.
struct Progress {
    double elapsed_s = 0.0; // since the first tick
    double total_s = 0.0;   // the whole run (0: until stopped)
    int loop = 0;           // 1-based; 0 on the way to the start
    double motion_s = 0.0;  // the time within the motion
    const std::vector<int> *servos = nullptr;
    const std::vector<int> *goals = nullptr; // sent or, when recording, read
};

class Engine {
public:
    // explain turns a failed call's status word into a sentence for servo id.
    using Explain = std::function<std::string(StatusWord status, int id)>;
    using Observer = std::function<void(const Progress &)>;

    Engine(PortHandle port, int32_t baud, Explain explain);

    // Times one exchange with each servo and plans a tick for them all.
    bool plan(const std::vector<int> &servos, Plan &plan, std::string &error);

    // Plays a motion: refuses it (false, report.error, nothing moved) when a
    // servo does not answer or the tick is shorter than the plan allows;
    // otherwise takes hold of its servos, moves them from where they stand to
    // the start at a bounded speed, plays, and at the end or on stop holds or
    // releases them. False with report.error when it ended on a failure.
    bool play(const Motion &motion, const PlayOptions &options, PlayReport &report, const Observer &observer = {});

    // Teach-in: releases the servos and samples where they stand until the
    // time is up or stop is requested. The motion holds what was recorded,
    // also when it ends on a failure (false, report.error).
    bool record(const RecordOptions &options, Motion &motion, RecordReport &report, const Observer &observer = {});

    // Where the servos stand now, as a pose (each kept within 3000 to 12000).
    bool read_pose(const std::vector<int> &ids, Goals &pose, std::string &error);

    // Ends play or record after the current tick. Signal-safe.
    void request_stop() { stop_.store(true); }

    // Where the last failure of a call came from (read_pose's, for one).
    StatusWord failed_status() const { return failed_status_; }
    int failed_servo() const { return failed_servo_; }

private:
    class Ticker;
    bool write_goals(const std::vector<int> &servos, const std::vector<int> &goals, std::vector<int> &sent,
                     std::vector<int> &failures, std::string &error);
    bool read_present(int id, int &position, StatusWord &status);
    // The sentence for a failed call, noting the status and servo for the report.
    std::string failure(StatusWord status, int id);
    // A play or record starts: nothing stopped, no failure noted.
    void begin_run();
    // Ends a run before its first tick: the reason, and the failure noted; false.
    template <class Report> bool refused(Report &report, const std::string &why) const;
    void release(const std::vector<int> &servos);

    PortHandle port_;
    int32_t baud_;
    Explain explain_;
    std::atomic<bool> stop_{false};
    StatusWord failed_status_ = 0;
    int failed_servo_ = -1;
};

} // namespace zavmotion
