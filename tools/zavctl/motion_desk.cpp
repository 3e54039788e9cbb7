#include "motion_desk.h"

#include <cmath>
#include <condition_variable>
#include <set>
#include <utility>
#include <vector>

#include "facts.h"
#include "motion.h"
#include "motion_player.h"
#include "status_text.h"

namespace zavctl {

namespace {

using std::chrono::milliseconds;

// Taking hold and timing the exchanges, even of servos that do not answer.
constexpr milliseconds kStartDeadline{20000};
constexpr milliseconds kQueueDeadline{5000};
constexpr milliseconds kPublishEvery{100};
constexpr milliseconds kWaitSlice{100};

const char *kBusy = "a motion is playing or recording: stop it first (POST /api/motion/stop)";

// A number field of a body within [low, high], left as it is when absent.
bool number_field(const Json &body, const char *name, double low, double high, double &value) {
    if (!body.contains(name)) return true;
    const Json &field = body[name];
    if (!field.is_number()) return false;
    const double d = field.get<double>();
    if (!std::isfinite(d) || d < low || d > high) return false;
    value = d;
    return true;
}

std::string range_words(double low, double high) {
    char text[64];
    std::snprintf(text, sizeof text, "from %g to %g", low, high);
    return text;
}

// "ids": [1, 2]; false for anything else.
bool id_field(const Json &body, std::vector<int> &ids) {
    if (!body.contains("ids") || !body["ids"].is_array() || body["ids"].empty()) return false;
    std::set<int> seen;
    for (const Json &id : body["ids"]) {
        if (!id.is_number_integer() || id.get<int64_t>() < kIdRange.min || id.get<int64_t>() > kIdRange.max) return false;
        seen.insert(static_cast<int>(id.get<int64_t>()));
    }
    ids.assign(seen.begin(), seen.end());
    return true;
}

Json motion_json(const zavmotion::Motion &motion) { return Json::parse(zavmotion::motion_to_json(motion)); }

// The motion file's text in a body ("text", a string rather than an object,
// so that the router's parse of the body stays cheap whatever the file holds).
bool read_text(const Json &body, zavmotion::Motion &motion, std::string &error) {
    if (!body.contains("text") || !body["text"].is_string()) {
        error = "give the motion file's text as a string in \"text\"";
        return false;
    }
    if (zavmotion::parse_motion(body["text"].get<std::string>(), motion, error)) return true;
    error = "the motion is refused: " + error;
    return false;
}

Json plan_json(const zavmotion::Plan &p) {
    return {{"servos", p.servos},       {"baud", p.baud},           {"wire_ms", p.wire_ms},
            {"round_trip_ms", p.round_trip_ms}, {"tick_bus_ms", p.tick_bus_ms}, {"shortest_tick_ms", p.shortest_tick_ms}};
}

Json ticks_json(const zavmotion::TickStats &t) {
    return {{"ticks", t.ticks},
            {"late", t.late},
            {"skipped", t.skipped},
            {"worst_lateness_ms", t.worst_lateness_ms},
            {"p99_lateness_ms", t.p99_lateness_ms},
            {"last_lateness_ms", t.last_lateness_ms},
            {"bus_mean_ms", t.bus_mean_ms},
            {"bus_worst_ms", t.bus_worst_ms}};
}

} // namespace

// How a started job answers the request that started it.
struct MotionDesk::Start {
    enum class State { kWaiting, kStarted, kRefused };
    std::mutex mutex;
    std::condition_variable changed;
    State state = State::kWaiting;
    std::string error;
    StatusWord status = 0;
    int servo = -1;

    void started() { set(State::kStarted, "", 0, -1); }
    void refused(const std::string &why, StatusWord word, int id) { set(State::kRefused, why, word, id); }

private:
    void set(State to, const std::string &why, StatusWord word, int id) {
        {
            std::lock_guard<std::mutex> hold(mutex);
            if (state != State::kWaiting) return;
            state = to;
            error = why;
            status = word;
            servo = id;
        }
        changed.notify_all();
    }
};

MotionDesk::MotionDesk(int32_t baud, uint32_t reply_timeout_ms) : baud_(baud), reply_timeout_ms_(reply_timeout_ms) {}

MotionDesk::~MotionDesk() = default;

std::string MotionDesk::explain_failure(StatusWord status, int id) const { return explain(status, id, reply_timeout_ms_); }

Json MotionDesk::status() const {
    std::lock_guard<std::mutex> hold(mutex_);
    static const char *const kStates[] = {"idle", "starting", "playing", "recording"};
    Json j = {{"state", kStates[static_cast<int>(state_)]}};
    j["progress"] = state_ == State::kIdle ? Json() : progress_;
    j["last"] = last_;
    j["recording"] = recording_ ? Json{{"keyframes", recording_->timeline.size()}, {"seconds", recording_->duration()}}
                                : Json();
    return j;
}

void MotionDesk::stop() {
    stop_requested_ = true;
    std::lock_guard<std::mutex> hold(mutex_);
    if (engine_ != nullptr) engine_->request_stop();
}

void MotionDesk::on_tick(zavmotion::Engine &engine, JobContext &context, double elapsed, double total, int loop,
                         double motion_s) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        progress_["elapsed"] = elapsed;
        progress_["total"] = total > 0.0 ? Json(total) : Json();
        progress_["loop"] = loop;
        progress_["motion_time"] = motion_s;
    }
    if (stop_requested_ || context.release_waiting()) engine.request_stop();
    const auto now = std::chrono::steady_clock::now();
    if (now - last_publish_ >= kPublishEvery) {
        last_publish_ = now;
        context.publish();
    }
}

HttpAnswer MotionDesk::launch(State state, std::function<void(JobContext &, Start &)> job) {
    auto start = std::make_shared<Start>();
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (state_ != State::kIdle) return Router::error(409, kBusy);
        state_ = State::kStarting;
    }
    stop_requested_ = false;
    Command command;
    command.kind = Command::Kind::kJob;
    command.job = [this, start, state, job = std::move(job)](JobContext &context) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            state_ = state;
        }
        last_publish_ = {};
        job(context, *start);
        start->refused("it ended before it started", 0, -1); // no effect once it has started
        std::lock_guard<std::mutex> hold(mutex_);
        state_ = State::kIdle;
        engine_ = nullptr;
        progress_ = Json();
    };
    if (worker_ == nullptr || !worker_->post(std::move(command))) {
        std::lock_guard<std::mutex> hold(mutex_);
        state_ = State::kIdle;
        if (worker_ == nullptr || worker_->stopping()) return Router::error(503, "the server is stopping; nothing was sent");
        return Router::error(409, "the bus is busy with another job; nothing was sent");
    }

    std::unique_lock<std::mutex> lock(start->mutex);
    const auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
    while (start->state == Start::State::kWaiting) {
        if (worker_->stopping()) return Router::error(503, "the server is stopping");
        if (std::chrono::steady_clock::now() >= deadline) {
            stop_requested_ = true; // so that it does not start unseen later
            return Router::error(503, "it did not start within " + std::to_string(kStartDeadline.count() / 1000) +
                                          " s (the bus is slow or busy); it was called off");
        }
        start->changed.wait_for(lock, kWaitSlice);
    }
    if (start->state == Start::State::kRefused) {
        return Router::error(409, start->error, flag_list(start->status),
                             start->servo >= 0 && start->servo <= kIdMax ? start->servo : -1);
    }
    lock.unlock();
    return Router::json(200, status());
}

HttpAnswer MotionDesk::play(RouteCall &call) {
    const Json &body = call.body;
    auto motion = std::make_shared<zavmotion::Motion>();
    std::string error;
    if (!read_text(body, *motion, error)) return Router::error(400, error);
    if (motion->timeline.empty()) return Router::error(400, "the motion has no keyframes: there is nothing to play");
    zavmotion::PlayOptions o;
    double loops = o.loops;
    if (!number_field(body, "tick_ms", 0.1, 1000.0, o.tick_ms))
        return Router::error(400, "tick_ms must be a number " + range_words(0.1, 1000.0));
    if (!number_field(body, "speed", 0.01, 100.0, o.speed))
        return Router::error(400, "speed must be a number " + range_words(0.01, 100.0));
    if (!number_field(body, "loops", 0.0, 1e6, loops) || std::floor(loops) != loops)
        return Router::error(400, "loops must be a whole number from 0 (until stopped) to 1000000");
    if (!number_field(body, "approach_speed", 1.0, 100000.0, o.approach_speed))
        return Router::error(400, "approach_speed must be a number of positions per second " + range_words(1.0, 100000.0));
    if (body.contains("release_at_end")) {
        if (!body["release_at_end"].is_boolean()) return Router::error(400, "release_at_end must be true or false");
        o.release_at_end = body["release_at_end"].get<bool>();
    }
    o.loops = static_cast<int>(loops);

    return launch(State::kPlaying, [this, motion, o](JobContext &context, Start &start) {
        zavmotion::Engine engine(context.port(), baud_, [this](StatusWord s, int id) { return explain_failure(s, id); });
        {
            std::lock_guard<std::mutex> hold(mutex_);
            engine_ = &engine;
            progress_ = {{"kind", "play"}, {"loops", o.loops}, {"duration", motion->duration()},
                         {"servos", motion->servos()}};
        }
        zavmotion::PlayReport report;
        bool started = false;
        const bool ok = engine.play(*motion, o, report, [&](const zavmotion::Progress &p) {
            if (!started) {
                started = true;
                start.started();
            }
            on_tick(engine, context, p.elapsed_s, p.total_s, p.loop, p.motion_s);
        });
        if (!started) start.refused(report.error, report.failed_status, report.failed_servo);
        Json last = {{"kind", "play"},
                     {"ended", !started ? "refused" : !ok ? "failed" : report.stopped ? "stopped" : "done"},
                     {"error", report.error.empty() ? Json() : Json(report.error)},
                     {"flags", flag_list(report.failed_status)},
                     {"approach_s", report.approach_s},
                     {"loops_done", report.loops_done},
                     {"released", report.released},
                     {"plan", plan_json(report.plan)},
                     {"ticks", ticks_json(report.ticks)}};
        std::lock_guard<std::mutex> hold(mutex_);
        engine_ = nullptr;
        last_ = std::move(last);
    });
}

HttpAnswer MotionDesk::record(RouteCall &call) {
    const Json &body = call.body;
    zavmotion::RecordOptions o;
    if (!id_field(body, o.ids)) return Router::error(400, "ids must be a list of servo ids " + range_text(kIdRange) + ", e.g. [1, 2]");
    if (!number_field(body, "seconds", 0.01, kMaxRecordSeconds, o.seconds))
        return Router::error(400, "seconds must be a number " + range_words(0.01, kMaxRecordSeconds));
    if (!number_field(body, "rate_hz", 0.1, 1000.0, o.rate_hz))
        return Router::error(400, "rate_hz must be a number " + range_words(0.1, 1000.0));

    return launch(State::kRecording, [this, o](JobContext &context, Start &start) {
        zavmotion::Engine engine(context.port(), baud_, [this](StatusWord s, int id) { return explain_failure(s, id); });
        {
            std::lock_guard<std::mutex> hold(mutex_);
            engine_ = &engine;
            progress_ = {{"kind", "record"}, {"servos", o.ids}};
        }
        auto motion = std::make_shared<zavmotion::Motion>();
        zavmotion::RecordReport report;
        bool started = false;
        const bool ok = engine.record(o, *motion, report, [&](const zavmotion::Progress &p) {
            if (!started) {
                started = true;
                start.started();
            }
            on_tick(engine, context, p.elapsed_s, p.total_s, 0, p.motion_s);
        });
        if (!started) start.refused(report.error, report.failed_status, report.failed_servo);
        Json last = {{"kind", "record"},
                     {"ended", !started ? "refused" : !ok ? "failed" : report.stopped ? "stopped" : "done"},
                     {"error", report.error.empty() ? Json() : Json(report.error)},
                     {"flags", flag_list(report.failed_status)},
                     {"seconds", report.seconds},
                     {"keyframes", motion->timeline.size()},
                     {"clamped", report.clamped},
                     {"plan", plan_json(report.plan)},
                     {"ticks", ticks_json(report.ticks)}};
        std::lock_guard<std::mutex> hold(mutex_);
        engine_ = nullptr;
        last_ = std::move(last);
        if (!motion->timeline.empty()) recording_ = motion; // kept also when it ended on a failure
    });
}

HttpAnswer MotionDesk::pose(RouteCall &call) {
    std::vector<int> ids;
    if (!id_field(call.body, ids)) return Router::error(400, "ids must be a list of servo ids " + range_text(kIdRange) + ", e.g. [1, 2]");
    zavmotion::Goals pose;
    std::string error;
    StatusWord failed = 0;
    int servo = -1;
    bool ok = false;
    Command command;
    command.kind = Command::Kind::kJob;
    // run() waits for the job, or drops it unstarted: the references stay valid.
    command.job = [&](JobContext &context) {
        zavmotion::Engine engine(context.port(), baud_, [this](StatusWord s, int id) { return explain_failure(s, id); });
        ok = engine.read_pose(ids, pose, error);
        failed = engine.failed_status();
        servo = engine.failed_servo();
    };
    const Outcome outcome = worker_->run(std::move(command), kQueueDeadline);
    if (outcome.result == Outcome::Result::kBusy) return Router::error(409, kBusy);
    if (outcome.result != Outcome::Result::kDone) return Router::error(503, "the bus did not take the request in time; nothing was sent");
    if (!ok) return Router::error(409, error, flag_list(failed), servo);
    Json goals = Json::object();
    for (const auto &[id, goal] : pose) goals[std::to_string(id)] = goal;
    return Router::json(200, Json{{"pose", goals}});
}

HttpAnswer MotionDesk::check(RouteCall &call) const {
    zavmotion::Motion motion;
    std::string error;
    if (!read_text(call.body, motion, error)) return Router::error(400, error);
    return Router::json(200, Json{{"motion", motion_json(motion)},
                                  {"text", zavmotion::motion_to_json(motion)},
                                  {"servos", motion.servos()},
                                  {"duration", motion.duration()}});
}

HttpAnswer MotionDesk::recording() const {
    std::shared_ptr<const zavmotion::Motion> motion;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        motion = recording_;
    }
    if (!motion) return Router::error(404, "nothing has been recorded since the server started");
    return Router::json(200, Json{{"motion", motion_json(*motion)}, {"text", zavmotion::motion_to_json(*motion)}});
}

HttpAnswer MotionDesk::halt() {
    stop();
    return Router::json(200, status());
}

void MotionDesk::add_routes(Router &router) {
    router.read("/api/motion", [this](RouteCall &) { return Router::json(200, status()); });
    router.read("/api/motion/recording", [this](RouteCall &) { return recording(); });
    router.command("/api/motion/check", {"text"}, [this](RouteCall &call) { return check(call); }, kBodyBytes);
    router.command("/api/motion/play", {"text", "tick_ms", "speed", "loops", "release_at_end", "approach_speed"},
                   [this](RouteCall &call) { return play(call); }, kBodyBytes);
    router.command("/api/motion/record", {"ids", "seconds", "rate_hz"}, [this](RouteCall &call) { return record(call); });
    router.command("/api/motion/pose", {"ids"}, [this](RouteCall &call) { return pose(call); });
    router.command("/api/motion/stop", {}, [this](RouteCall &) { return halt(); });
}

} // namespace zavctl
