// The goals of a motion at any time. The arithmetic is written out step by
// step, in the same order as the Python package's sampler, so that both give
// the same whole positions for the same time (tests/data/motion/golden.json).
#include <algorithm>
#include <cmath>

#include "motion.h"

namespace zavmotion {

double ease_between(Ease ease, double from, double to, double u) {
    if (u >= 1.0) return to;
    switch (ease) {
    case Ease::kStep:
        return from;
    case Ease::kSmooth: {
        const double s = u * u * u * (10.0 + u * (-15.0 + 6.0 * u));
        return from + (to - from) * s;
    }
    case Ease::kLinear:
        break;
    }
    return from + (to - from) * u;
}

double smooth_seconds(double distance, double peak_speed) { return 1.875 * std::fabs(distance) / peak_speed; }

Sampler::Sampler(const Motion &motion) : servos_(motion.servos()), duration_(motion.duration()) {
    tracks_.resize(servos_.size());
    for (const Keyframe &keyframe : motion.timeline) {
        for (const auto &[id, goal] : motion.goals_of(keyframe)) {
            const auto slot = std::lower_bound(servos_.begin(), servos_.end(), id) - servos_.begin();
            tracks_[static_cast<std::size_t>(slot)].push_back({keyframe.at, goal, keyframe.ease});
        }
    }
}

void Sampler::sample(double t, std::vector<int> &goals) const {
    goals.resize(servos_.size());
    for (std::size_t i = 0; i < tracks_.size(); ++i) {
        const std::vector<Point> &track = tracks_[i];
        // The first point after t; the segment that holds t ends there.
        const auto next = std::upper_bound(track.begin(), track.end(), t,
                                           [](double time, const Point &p) { return time < p.at; });
        if (next == track.begin()) {
            goals[i] = track.front().goal;
        } else if (next == track.end()) {
            goals[i] = track.back().goal;
        } else {
            const Point &from = *(next - 1);
            const double u = (t - from.at) / (next->at - from.at);
            goals[i] = static_cast<int>(std::floor(ease_between(next->ease, from.goal, next->goal, u) + 0.5));
        }
    }
}

} // namespace zavmotion
