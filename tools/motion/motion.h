// Motions: poses and timelines of servo goals, as read from and written to a
// motion file (zavlib-motion.schema.json), and the goals they give at any
// time. The player (motion_player.h) sends those goals to the servos.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zavmotion {

// The only version of the format this code reads and writes; a file of a
// newer version is refused rather than half understood.
constexpr int kFormatVersion = 1;
constexpr const char *kFormatName = "zavlib-motion";

// Bounds that keep a hostile or broken file from costing more than a real one.
constexpr std::size_t kMaxFileBytes = 32u << 20;
constexpr std::size_t kMaxPoseNameBytes = 64;
constexpr double kMaxSeconds = 86400.0; // a keyframe's `at`

// How a servo travels over the segment that ends at a keyframe.
enum class Ease {
    kStep,   // holds the earlier goal and jumps at the keyframe's time
    kLinear, // constant speed
    kSmooth, // minimum jerk: 10u^3 - 15u^4 + 6u^5, at rest at both ends
};

const char *ease_name(Ease ease);

using Goals = std::map<int, int>; // servo id -> goal position

struct Keyframe {
    double at = 0.0;      // seconds from the start
    std::string pose;     // a name in Motion::poses, or empty when goals are given
    Goals goals;          // when pose is empty
    Ease ease = Ease::kLinear;
};

struct Motion {
    std::map<int, std::pair<int, int>> limits;       // servo id -> [low, high]
    std::vector<std::pair<std::string, Goals>> poses; // in the file's order
    std::vector<Keyframe> timeline;

    const Goals *find_pose(const std::string &name) const;
    // The goals a keyframe names, through its pose or its own.
    const Goals &goals_of(const Keyframe &keyframe) const;
    // The servos the timeline names, in ascending order.
    std::vector<int> servos() const;
    // The last keyframe's time (0 for an empty timeline).
    double duration() const;
};

// Reads a motion from JSON text. On refusal, error is one sentence that names
// the place ("timeline[2] (at 1.5 s): servo 1: goal 3000 is outside its limits
// 3500 to 11000"). Every goal that parses lies within 3000 to 12000 and its
// servo's limits.
bool parse_motion(const std::string &text, Motion &motion, std::string &error);
// The motion as JSON text: one line per pose and per keyframe.
std::string motion_to_json(const Motion &motion);
// Files; the error starts with the path. Saving writes a new file and puts it
// in place only when complete, so a failed save leaves an older file intact.
bool load_motion(const std::string &path, Motion &motion, std::string &error);
bool save_motion(const std::string &path, const Motion &motion, std::string &error);
// Checks a motion built in code (a recording, the dashboard's timeline) as a
// file would be checked.
bool validate_motion(const Motion &motion, std::string &error);

// The goals of a motion at any time: each servo moves between the keyframes
// that name it, holds its first goal before them and its last goal after.
class Sampler {
public:
    explicit Sampler(const Motion &motion); // a motion that passed validation
    const std::vector<int> &servos() const { return servos_; }
    double duration() const { return duration_; }
    // The goal of each servo of servos() at time t (seconds), rounded to the
    // nearest whole position.
    void sample(double t, std::vector<int> &goals) const;

private:
    struct Point {
        double at;
        int goal;
        Ease ease;
    };
    std::vector<int> servos_;
    std::vector<std::vector<Point>> tracks_; // one per servo, by time
    double duration_ = 0.0;
};

// The position of an eased move from `from` to `to` at fraction u (0 to 1) of
// its time, before rounding; shared by the sampler and the player's approach.
double ease_between(Ease ease, double from, double to, double u);

// Time the smooth ease needs for `distance` so that its peak speed stays at
// `peak_speed` (positions per second): the minimum-jerk peak is 1.875 times
// the mean speed.
double smooth_seconds(double distance, double peak_speed);

} // namespace zavmotion
