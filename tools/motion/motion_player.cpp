#include "motion_player.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <thread>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#elif defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <timeapi.h>
#endif

namespace zavmotion {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBitsPerByte = 11.0;       // start, 8 data, parity, stop
// A position packet (the command byte and two position bytes) and its reply.
constexpr double kExchangeBytes = 1 + 2 + ZAV_REPLY_LENGTH;
constexpr int kRoundTripRounds = 3;         // exchanges timed per servo when planning
// Goal records (an id and two bytes) that fit in one sync write.
constexpr std::size_t kSyncRecords = (ZAV_SYNC_MAX_LENGTH - ZAV_SYNC_HEADER_LENGTH) / 3;
constexpr auto kStopCheck = std::chrono::milliseconds(20); // a stop request is seen within this
constexpr double kHistogramStepMs = 0.01;
constexpr std::size_t kHistogramBins = 10000; // lateness up to 100 ms in steps of 10 us

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string fixed(double value, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

int round_position(double value) { return static_cast<int>(std::floor(value + 0.5)); }

int clamp_goal(int position, int &clamped) {
    const int low = static_cast<int>(ZAV_GOAL_MIN), high = static_cast<int>(ZAV_GOAL_MAX);
    if (position >= low && position <= high) return position;
    ++clamped;
    return position < low ? low : high;
}

// Finer sleeps while a motion runs: the default timer slack on Linux, the
// 15.6 ms timer period on Windows would make every tick late.
class PreciseTimers {
public:
    PreciseTimers() {
#if defined(__linux__)
        slack_ = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
#elif defined(_WIN32)
        timeBeginPeriod(1);
#endif
    }
    ~PreciseTimers() {
#if defined(__linux__)
        if (slack_ > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack_), 0, 0, 0);
#elif defined(_WIN32)
        timeEndPeriod(1);
#endif
    }
    PreciseTimers(const PreciseTimers &) = delete;
    PreciseTimers &operator=(const PreciseTimers &) = delete;

private:
#if defined(__linux__)
    int slack_ = 0;
#endif
};

// The playing thread ahead of the host's other work while it plays, where
// the system allows it: on a busy machine a thread of normal priority wakes
// milliseconds late. Linux: real-time (FIFO) scheduling at a modest
// priority, which needs root or an rtprio limit; Windows: the highest thread
// priority. Ticks sleep between their exchanges, so the thread never holds
// a processor for long.
class RaisedPriority {
public:
    explicit RaisedPriority(bool wanted) {
        if (!wanted) return;
#if defined(__linux__)
        if (pthread_getschedparam(pthread_self(), &policy_, &param_) != 0) return;
        sched_param raised{};
        raised.sched_priority = 20;
        raised_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &raised) == 0;
#elif defined(_WIN32)
        priority_ = GetThreadPriority(GetCurrentThread());
        raised_ = SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST) != 0;
#endif
    }
    ~RaisedPriority() {
        if (!raised_) return;
#if defined(__linux__)
        pthread_setschedparam(pthread_self(), policy_, &param_);
#elif defined(_WIN32)
        SetThreadPriority(GetCurrentThread(), priority_);
#endif
    }
    RaisedPriority(const RaisedPriority &) = delete;
    RaisedPriority &operator=(const RaisedPriority &) = delete;
    bool raised() const { return raised_; }

private:
    bool raised_ = false;
#if defined(__linux__)
    int policy_ = SCHED_OTHER;
    sched_param param_{};
#elif defined(_WIN32)
    int priority_ = 0;
#endif
};

} // namespace

// Ticks on absolute times (start + k * period, so no drift): waits for each,
// skips the ones whose time has passed instead of running them in a burst,
// and keeps the lateness figures.
class Engine::Ticker {
public:
    Ticker(double period_ms, uint64_t last, const std::atomic<bool> &stop)
        : period_(std::chrono::nanoseconds(static_cast<int64_t>(std::llround(period_ms * 1e6)))),
          period_ms_(period_ms), last_(last), stop_(stop), bins_(kHistogramBins + 1, 0) {}

    // Waits for the next tick; false when stopped or after the last.
    bool next() {
        uint64_t k = started_ ? index_ + 1 : 0;
        if (started_ && index_ >= last_) return false;
        if (!started_) start_ = Clock::now();
        if (!wait_until(planned(k))) return false;
        const Clock::time_point now = Clock::now();
        const auto behind = static_cast<uint64_t>((now - start_) / period_);
        if (behind > k) {
            const uint64_t caught = std::min(behind, last_);
            stats_.skipped += caught - k;
            k = caught;
        }
        started_ = true;
        index_ = k;
        const double lateness = std::max(0.0, ms_between(planned(k), now));
        ++stats_.ticks;
        if (lateness > period_ms_ / 4.0) ++stats_.late;
        stats_.worst_lateness_ms = std::max(stats_.worst_lateness_ms, lateness);
        stats_.last_lateness_ms = lateness;
        ++bins_[std::min(kHistogramBins, static_cast<std::size_t>(lateness / kHistogramStepMs))];
        return true;
    }

    uint64_t index() const { return index_; }

    void add_bus_time(double ms) {
        ++writes_;
        bus_total_ms_ += ms;
        stats_.bus_worst_ms = std::max(stats_.bus_worst_ms, ms);
    }

    TickStats stats() const {
        TickStats s = stats_;
        s.bus_mean_ms = writes_ > 0 ? bus_total_ms_ / static_cast<double>(writes_) : 0.0;
        // The upper edge of the bin where 99 % of the ticks are reached.
        uint64_t seen = 0;
        const auto target = static_cast<uint64_t>(std::ceil(0.99 * static_cast<double>(s.ticks)));
        for (std::size_t i = 0; i < bins_.size() && s.ticks > 0; ++i) {
            seen += bins_[i];
            if (seen >= target) {
                s.p99_lateness_ms = std::min(s.worst_lateness_ms, static_cast<double>(i + 1) * kHistogramStepMs);
                break;
            }
        }
        return s;
    }

private:
    Clock::time_point planned(uint64_t k) const { return start_ + period_ * static_cast<int64_t>(k); }

    bool wait_until(Clock::time_point deadline) const {
#ifdef _WIN32
        // Sleeps end on the timer's 1 ms beat: sleep to near the time, then yield.
        constexpr auto kSpin = std::chrono::milliseconds(2);
#else
        constexpr auto kSpin = std::chrono::milliseconds(0);
#endif
        for (;;) {
            if (stop_.load()) return false;
            const Clock::time_point now = Clock::now();
            if (now >= deadline) return true;
            if (deadline - now > kSpin) {
                std::this_thread::sleep_until(std::min(deadline - kSpin, now + kStopCheck));
            } else {
                std::this_thread::yield();
            }
        }
    }

    std::chrono::nanoseconds period_;
    double period_ms_;
    uint64_t last_;
    const std::atomic<bool> &stop_;
    Clock::time_point start_;
    bool started_ = false;
    uint64_t index_ = 0;
    TickStats stats_;
    std::vector<uint32_t> bins_;
    uint64_t writes_ = 0;
    double bus_total_ms_ = 0.0;
};

std::string Plan::describe() const {
    return std::to_string(servos) + " servo" + (servos == 1 ? "" : "s") + " at " + std::to_string(baud) +
           " baud: an exchange takes " + fixed(wire_ms, 3) + " ms on the wire and " + fixed(round_trip_ms, 3) +
           " ms measured; a tick's bus time is " + fixed(tick_bus_ms, 2) + " ms; the shortest tick is " +
           fixed(shortest_tick_ms, 1) + " ms";
}

namespace {

std::string tick_text(const TickStats &t) {
    return std::to_string(t.ticks) + " ticks (" + std::to_string(t.late) + " late, " + std::to_string(t.skipped) +
           " skipped); lateness worst " + fixed(t.worst_lateness_ms, 2) + " ms, p99 " + fixed(t.p99_lateness_ms, 2) +
           " ms; the last tick " + fixed(t.last_lateness_ms, 2) + " ms after its time";
}

} // namespace

std::string PlayReport::summary() const {
    const std::string bus = ticks.bus_worst_ms > 0.0
                                ? "bus time per tick " + fixed(ticks.bus_mean_ms, 2) + " ms on average, " +
                                      fixed(ticks.bus_worst_ms, 2) + " ms at worst (planned " + fixed(plan.tick_bus_ms, 2) + " ms)"
                                : "no goal changed, so nothing was sent";
    return tick_text(ticks) + "; " + bus + "; " + (raised_priority ? "raised" : "normal") + " thread priority";
}

std::string RecordReport::summary() const {
    return fixed(seconds, 2) + " s recorded; " + tick_text(ticks) +
           (clamped > 0 ? "; " + std::to_string(clamped) + " samples outside " + std::to_string(ZAV_GOAL_MIN) + " to " +
                              std::to_string(ZAV_GOAL_MAX) + " were kept at the nearest end"
                        : "");
}

Engine::Engine(PortHandle port, int32_t baud, Explain explain) : port_(port), baud_(baud), explain_(std::move(explain)) {}

void Engine::begin_run() {
    stop_.store(false);
    failed_status_ = 0;
    failed_servo_ = -1;
}

template <class Report> bool Engine::refused(Report &report, const std::string &why) const {
    report.error = why;
    report.failed_status = failed_status_;
    report.failed_servo = failed_servo_;
    return false;
}

std::string Engine::failure(StatusWord status, int id) {
    failed_status_ = status;
    failed_servo_ = id;
    return explain_(status, id);
}

bool Engine::plan(const std::vector<int> &servos, Plan &plan, std::string &error) {
    plan = Plan{};
    plan.servos = static_cast<int>(servos.size());
    plan.baud = baud_;
    if (servos.empty() || baud_ <= 0) {
        error = servos.empty() ? "there are no servos to plan for" : "the baud rate must be more than 0";
        return false;
    }
    const RaisedPriority priority(true); // timed as the ticks will run
    // A servo that misses a reply now and then is timed on the others; one
    // that answers none of its exchanges is not there.
    std::vector<double> times;
    std::vector<int> missed(servos.size(), 0);
    for (int round = 0; round < kRoundTripRounds; ++round) {
        for (std::size_t i = 0; i < servos.size(); ++i) {
            StatusWord status = 0;
            const Clock::time_point begin = Clock::now();
            if (ZAV_Ping(port_, static_cast<uint8_t>(servos[i]), &status)) {
                times.push_back(ms_between(begin, Clock::now()));
            } else if (++missed[i] == kRoundTripRounds) {
                error = "servo " + std::to_string(servos[i]) + " does not answer: " + failure(status, servos[i]);
                return false;
            }
        }
    }
    std::nth_element(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2), times.end());
    plan.round_trip_ms = times[times.size() / 2];
    plan.wire_ms = kExchangeBytes * kBitsPerByte * 1000.0 / static_cast<double>(baud_);
    plan.latency_ms = std::max(0.0, plan.round_trip_ms - plan.wire_ms);
    plan.tick_bus_ms = static_cast<double>(servos.size()) * (plan.wire_ms + plan.latency_ms);
    plan.shortest_tick_ms = std::max(kMinTickMs, std::ceil(plan.tick_bus_ms * kTickHeadroom * 10.0) / 10.0);
    return true;
}

bool Engine::read_present(int id, int &position, StatusWord &status) {
    uint16_t value = 0;
    status = 0;
    if (!ZAV_ReadWordData(port_, static_cast<uint8_t>(id), ZAV_REG_PRESENT_POSITION, &value, &status)) return false;
    position = value;
    return true;
}

void Engine::release(const std::vector<int> &servos) {
    for (int id : servos) ZAV_WriteByteData(port_, static_cast<uint8_t>(id), ZAV_REG_TORQUE_ENABLE, 0, nullptr);
}

// One sync write (two beyond 30 servos) of the goals that differ from those
// last sent. A servo that fails is left out of this tick and tried again in
// the next; the records before it were written, those after it go again.
bool Engine::write_goals(const std::vector<int> &servos, const std::vector<int> &goals, std::vector<int> &sent,
                         std::vector<int> &failures, std::string &error) {
    std::size_t pending[kSyncRecords * 2 + 2];
    std::size_t count = 0;
    for (std::size_t i = 0; i < servos.size(); ++i) {
        if (goals[i] != sent[i]) pending[count++] = i;
    }
    std::size_t next = 0;
    while (next < count) {
        const std::size_t records = std::min(kSyncRecords, count - next);
        uint8_t block[2 + 3 * kSyncRecords] = {ZAV_REG_GOAL_POSITION, 2};
        for (std::size_t j = 0; j < records; ++j) {
            const std::size_t i = pending[next + j];
            block[2 + 3 * j] = static_cast<uint8_t>(servos[i]);
            block[3 + 3 * j] = static_cast<uint8_t>(goals[i] & 0xFF);
            block[4 + 3 * j] = static_cast<uint8_t>(goals[i] >> 8);
        }
        StatusWord status = 0;
        if (!ZAV_WriteSyncData(port_, block, static_cast<uint32_t>(2 + 3 * records), &status)) {
            error = "the sync write was refused: " + failure(status, BROADCAST_ID);
            return false;
        }
        std::size_t written = records;
        if (status != 0) {
            // The write stopped at the first servo whose image lacks its new goal.
            for (std::size_t j = 0; j < records; ++j) {
                const std::size_t i = pending[next + j];
                uint16_t goal = 0;
                ZAV_ReadWordData(port_, static_cast<uint8_t>(servos[i]), ZAV_REG_GOAL_POSITION, &goal, nullptr);
                if (goal != goals[i]) {
                    written = j;
                    break;
                }
            }
        }
        for (std::size_t j = 0; j < written; ++j) {
            const std::size_t i = pending[next + j];
            sent[i] = goals[i];
            failures[i] = 0;
        }
        if (written < records) {
            const std::size_t i = pending[next + written];
            if (++failures[i] >= kFailuresInARow) {
                error = "servo " + std::to_string(servos[i]) + " failed " + std::to_string(kFailuresInARow) +
                        " ticks in a row: " + failure(status, servos[i]);
                return false;
            }
            next += written + 1;
        } else {
            next += records;
        }
    }
    return true;
}

bool Engine::play(const Motion &motion, const PlayOptions &o, PlayReport &report, const Observer &observer) {
    report = PlayReport{};
    begin_run();
    auto refuse = [this, &report](const std::string &why) { return refused(report, why); };
    if (motion.timeline.empty()) return refuse("the motion has no keyframes: there is nothing to play");
    if (!(o.tick_ms > 0.0 && o.tick_ms <= 1000.0)) return refuse("the tick must be more than 0 and at most 1000 ms");
    if (!(o.speed > 0.0 && o.speed <= 100.0)) return refuse("the speed must be more than 0 and at most 100");
    if (o.loops < 0) return refuse("the number of loops must be 0 (until stopped) or more");
    if (!(o.approach_speed > 0.0)) return refuse("the approach speed must be more than 0 positions per second");

    const Sampler sampler(motion);
    const std::vector<int> &servos = sampler.servos();
    const std::size_t n = servos.size();

    // Planned and played ahead of the host's other work where allowed.
    const RaisedPriority priority(o.raise_priority);
    report.raised_priority = priority.raised();
    // Take hold where the servos stand (a released servo drops its goals),
    // then time the exchanges: nothing has moved yet.
    for (int id : servos) {
        StatusWord status = 0;
        if (!ZAV_WriteByteData(port_, static_cast<uint8_t>(id), ZAV_REG_TORQUE_ENABLE, 1, &status) || status != 0)
            return refuse("taking hold of servo " + std::to_string(id) + " failed: " + failure(status, id));
    }
    std::string error;
    if (!plan(servos, report.plan, error)) return refuse(error);
    if (o.tick_ms < report.plan.shortest_tick_ms) {
        return refuse("a tick of " + fixed(o.tick_ms, 1) + " ms is shorter than this bus allows for " +
                      std::to_string(n) + " servos at " + std::to_string(baud_) + " baud: at least " +
                      fixed(report.plan.shortest_tick_ms, 1) + " ms (a tick's bus time is " +
                      fixed(report.plan.tick_bus_ms, 2) + " ms)");
    }

    std::vector<int> present(n), sent(n), failures(n, 0), start, end, goals(n);
    for (std::size_t i = 0; i < n; ++i) {
        uint8_t image[ZAV_REGISTER_COUNT] = {};
        const uint8_t id = static_cast<uint8_t>(servos[i]);
        ZAV_ReadBlockData(port_, id, ZAV_REG_GOAL_POSITION, image + ZAV_REG_GOAL_POSITION, 2, nullptr);
        ZAV_ReadByteData(port_, id, ZAV_REG_PRESENT_POSITION, image + ZAV_REG_PRESENT_POSITION, nullptr);
        ZAV_ReadByteData(port_, id, ZAV_REG_PRESENT_POSITION + 1, image + ZAV_REG_PRESENT_POSITION + 1, nullptr);
        sent[i] = image[ZAV_REG_GOAL_POSITION] | image[ZAV_REG_GOAL_POSITION + 1] << 8;
        present[i] = image[ZAV_REG_PRESENT_POSITION] | image[ZAV_REG_PRESENT_POSITION + 1] << 8;
    }
    sampler.sample(0.0, start);
    sampler.sample(sampler.duration(), end);

    // The run, in seconds of wall time: the approach, then each loop, with a
    // move back to the start between loops unless the motion ends where it starts.
    const double tick_s = o.tick_ms / 1000.0;
    const double motion_s = sampler.duration() / o.speed;
    const int loops = motion_s > 0.0 ? o.loops : 1;
    double approach = 0.0, between = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        approach = std::max(approach, smooth_seconds(start[i] - present[i], o.approach_speed));
        between = std::max(between, smooth_seconds(start[i] - end[i], o.approach_speed));
    }
    const double period = motion_s + between;
    const double total = loops == 0 ? std::numeric_limits<double>::infinity()
                                    : approach + loops * motion_s + (loops - 1) * between;
    const uint64_t last = loops == 0 ? std::numeric_limits<uint64_t>::max()
                                     : static_cast<uint64_t>(std::ceil(total / tick_s - 1e-9));
    report.approach_s = approach;

    const PreciseTimers timers;
    Ticker ticker(o.tick_ms, last, stop_);
    Progress progress;
    progress.total_s = loops == 0 ? 0.0 : total;
    progress.servos = &servos;
    progress.goals = &goals;
    bool finished = false;
    while (ticker.next()) {
        const uint64_t k = ticker.index();
        const double r = std::min(static_cast<double>(k) * tick_s, total);
        progress.elapsed_s = r;
        if (r < approach) {
            progress.loop = 0;
            progress.motion_s = 0.0;
            for (std::size_t i = 0; i < n; ++i)
                goals[i] = round_position(ease_between(Ease::kSmooth, present[i], start[i], r / approach));
        } else {
            double offset = r - approach;
            uint64_t loop = period > 0.0 ? static_cast<uint64_t>(std::floor(offset / period)) : 0;
            if (loops > 0) loop = std::min<uint64_t>(loop, static_cast<uint64_t>(loops - 1));
            offset -= static_cast<double>(loop) * period;
            progress.loop = static_cast<int>(std::min<uint64_t>(loop + 1, std::numeric_limits<int>::max()));
            if (offset <= motion_s || between <= 0.0) {
                progress.motion_s = std::min(offset * o.speed, sampler.duration());
                sampler.sample(progress.motion_s, goals);
            } else {
                progress.motion_s = sampler.duration();
                const double u = (offset - motion_s) / between;
                for (std::size_t i = 0; i < n; ++i) goals[i] = round_position(ease_between(Ease::kSmooth, end[i], start[i], u));
            }
        }
        const bool changed = goals != sent;
        const Clock::time_point begin = Clock::now();
        const bool ok = write_goals(servos, goals, sent, failures, error);
        if (changed) ticker.add_bus_time(ms_between(begin, Clock::now()));
        if (observer) observer(progress);
        if (!ok) {
            report.error = error;
            break;
        }
        if (k >= last) finished = true;
    }
    report.ticks = ticker.stats();
    report.failed_status = failed_status_;
    report.failed_servo = failed_servo_;
    report.stopped = !finished && report.error.empty();
    report.loops_done = finished ? loops : std::max(0, progress.loop - 1);
    if (o.release_at_end) {
        release(servos);
        report.released = true;
    }
    return report.error.empty();
}

bool Engine::read_pose(const std::vector<int> &ids, Goals &pose, std::string &error) {
    pose.clear();
    int clamped = 0;
    for (int id : ids) {
        int position = 0;
        StatusWord status = 0;
        if (!read_present(id, position, status)) {
            error = "reading where servo " + std::to_string(id) + " stands failed: " + failure(status, id);
            return false;
        }
        pose[id] = clamp_goal(position, clamped);
    }
    return true;
}

namespace {

// Keyframes from samples: a servo's sample is kept where its position changes
// on either side, so that linear moves between the kept samples give back
// every sample, and a servo that stands still costs two keyframe entries.
void build_recording(const std::vector<int> &ids, const std::vector<double> &times,
                     const std::vector<std::vector<int>> &values, Motion &motion) {
    motion = Motion{};
    const std::size_t count = times.size();
    for (std::size_t s = 0; s < count; ++s) {
        Keyframe keyframe;
        keyframe.at = times[s];
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const int v = values[s][i];
            const bool edge = s == 0 || s + 1 == count;
            if (edge || v != values[s - 1][i] || v != values[s + 1][i]) keyframe.goals[ids[i]] = v;
        }
        if (!keyframe.goals.empty()) motion.timeline.push_back(std::move(keyframe));
    }
}

} // namespace

bool Engine::record(const RecordOptions &o, Motion &motion, RecordReport &report, const Observer &observer) {
    report = RecordReport{};
    motion = Motion{};
    begin_run();
    auto refuse = [this, &report](const std::string &why) { return refused(report, why); };
    std::vector<int> ids = o.ids;
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    if (ids.empty()) return refuse("name the servos to record");
    for (int id : ids) {
        if (id < 0 || id > 31) return refuse("servo ids are 0 to 31, not " + std::to_string(id));
    }
    if (!(o.rate_hz > 0.0 && o.rate_hz <= 1000.0)) return refuse("the rate must be more than 0 and at most 1000 Hz");
    if (!(o.seconds > 0.0 && o.seconds <= kMaxSeconds)) return refuse("the recording time must be more than 0 s and at most a day");

    const RaisedPriority priority(o.raise_priority);
    report.raised_priority = priority.raised();
    std::string error;
    if (!plan(ids, report.plan, error)) return refuse(error);
    const double period_ms = 1000.0 / o.rate_hz;
    if (period_ms < report.plan.shortest_tick_ms) {
        return refuse("a rate of " + fixed(o.rate_hz, 1) + " Hz is more than this bus allows for " +
                      std::to_string(ids.size()) + " servos at " + std::to_string(baud_) + " baud: at most " +
                      fixed(std::floor(10000.0 / report.plan.shortest_tick_ms) / 10.0, 1) + " Hz");
    }
    for (int id : ids) {
        StatusWord status = 0;
        if (!ZAV_WriteByteData(port_, static_cast<uint8_t>(id), ZAV_REG_TORQUE_ENABLE, 0, &status) || status != 0)
            return refuse("releasing servo " + std::to_string(id) + " failed: " + failure(status, id));
    }

    const auto last = static_cast<uint64_t>(std::floor(o.seconds * o.rate_hz + 1e-9));
    std::vector<double> times;
    std::vector<std::vector<int>> values;
    std::vector<int> sample(ids.size()), failures(ids.size(), 0);
    Progress progress;
    progress.total_s = static_cast<double>(last) / o.rate_hz;
    progress.servos = &ids;
    progress.goals = &sample;
    const PreciseTimers timers;
    Ticker ticker(period_ms, last, stop_);
    while (ticker.next()) {
        const double t = static_cast<double>(ticker.index()) / o.rate_hz;
        const Clock::time_point begin = Clock::now();
        for (std::size_t i = 0; i < ids.size() && report.error.empty(); ++i) {
            int position = 0;
            StatusWord status = 0;
            if (read_present(ids[i], position, status)) {
                sample[i] = clamp_goal(position, report.clamped);
                failures[i] = 0;
            } else if (values.empty() || ++failures[i] >= kFailuresInARow) {
                report.error = "reading servo " + std::to_string(ids[i]) + " failed" +
                               (values.empty() ? "" : " " + std::to_string(kFailuresInARow) + " samples in a row") +
                               ": " + failure(status, ids[i]);
            } // else: it keeps its last position for this sample
        }
        ticker.add_bus_time(ms_between(begin, Clock::now()));
        if (!report.error.empty()) break;
        times.push_back(t);
        values.push_back(sample);
        progress.elapsed_s = progress.motion_s = t;
        if (observer) observer(progress);
    }
    report.ticks = ticker.stats();
    report.failed_status = failed_status_;
    report.failed_servo = failed_servo_;
    report.seconds = times.empty() ? 0.0 : times.back();
    report.stopped = report.error.empty() && (times.empty() || ticker.index() < last);
    build_recording(ids, times, values, motion);
    return report.error.empty();
}

} // namespace zavmotion
