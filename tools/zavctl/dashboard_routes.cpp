#include "dashboard_routes.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "dashboard_assets.h"
#include "registers.h"
#include "status_text.h"

namespace zavctl {

namespace {

constexpr std::chrono::milliseconds kQueueDeadline{5000}; // a command that cannot start by then is dropped
constexpr std::chrono::milliseconds kFreshDeadline{5000};

Json servo_json(const ServoState &s, uint32_t reply_timeout_ms) {
    Json j = {{"id", s.id},     {"answering", s.answering}, {"torque", s.torque}, {"goal", s.goal},
              {"present", s.present}, {"sc1", s.sc1},       {"sc2", s.sc2},       {"sc3", s.sc3},
              {"sc4", s.sc4}};
    if (!s.answering) {
        j["error"] = explain(s.failure, s.id, reply_timeout_ms);
        j["flags"] = flag_list(s.failure);
    }
    return j;
}

std::string snapshot_json(const Snapshot &snapshot, uint32_t reply_timeout_ms, const MotionDesk &motion) {
    Json servos = Json::array();
    for (const ServoState &s : snapshot.servos) servos.push_back(servo_json(s, reply_timeout_ms));
    const Json j = {{"seq", snapshot.seq},
                    {"time", std::round(snapshot.time_s * 1000.0) / 1000.0},
                    {"servos", servos},
                    {"motion", motion.status()}};
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

HttpAnswer json_text(const std::string &body) {
    HttpAnswer answer;
    answer.headers.emplace_back("Content-Type", "application/json");
    answer.body = body;
    return answer;
}

// A whole number within [low, high], or false.
bool whole_number(const Json &value, long low, long high, long &out) {
    if (value.is_number_unsigned()) {
        const uint64_t u = value.get<uint64_t>();
        if (u > static_cast<uint64_t>(high)) return false;
        out = static_cast<long>(u);
    } else if (value.is_number_integer()) {
        const int64_t i = value.get<int64_t>();
        if (i < low || i > high) return false;
        out = static_cast<long>(i);
    } else {
        return false;
    }
    return out >= low && out <= high;
}

// A servo id as a JSON object key, in decimal without leading zeros.
bool servo_key(const std::string &key, int &id) {
    if (key.empty() || key.size() > 2 || (key.size() == 2 && key[0] == '0')) return false;
    for (char c : key) {
        if (c < '0' || c > '9') return false;
    }
    id = std::stoi(key);
    return contains(kIdRange, id);
}

} // namespace

// One open event stream: the newest snapshot whenever there is one the reader
// has not had (a slow reader skips updates, it never queues them).
class Dashboard::Stream : public EventFeed {
public:
    Stream(const BusWorker &worker, std::shared_ptr<std::atomic<int>> count)
        : worker_(worker), count_(std::move(count)) {}
    ~Stream() override { --*count_; }

    std::string next() override {
        std::string text;
        if (!started_) {
            text = "retry: 1000\n\n";
            started_ = true;
        }
        const auto snapshot = worker_.latest();
        if (snapshot && snapshot->seq > last_seq_) {
            last_seq_ = snapshot->seq;
            text += "data: " + snapshot->json + "\n\n";
        }
        return text;
    }
    std::string idle() override { return ": idle\n\n"; }

private:
    const BusWorker &worker_;
    std::shared_ptr<std::atomic<int>> count_;
    bool started_ = false;
    uint64_t last_seq_ = 0;
};

Dashboard::Dashboard(PortHandle port, int32_t baud, uint32_t reply_timeout_ms, Access access,
                     std::function<void()> updated, std::chrono::milliseconds poll_interval)
    : reply_timeout_ms_(reply_timeout_ms), router_(std::move(access)), motion_(baud, reply_timeout_ms),
      worker_(port, [this](const Snapshot &s) { return snapshot_json(s, reply_timeout_ms_, motion_); }, poll_interval,
              std::move(updated)) {
    motion_.attach(worker_);
    add_reads();
    add_commands();
    motion_.add_routes(router_);
}

HttpAnswer Dashboard::reply(const Outcome &outcome, const std::string &what) const {
    switch (outcome.result) {
    case Outcome::Result::kDone:
        return json_text(outcome.snapshot->json);
    case Outcome::Result::kUnknownServo:
        return Router::error(404, "servo " + std::to_string(outcome.failed_id) + " was not found by the last scan", {},
                             outcome.failed_id);
    case Outcome::Result::kBusFailed:
        return Router::error(409, what + " failed: " + explain(outcome.status, outcome.failed_id, reply_timeout_ms_),
                             flag_list(outcome.status), outcome.failed_id <= kIdMax ? outcome.failed_id : -1);
    case Outcome::Result::kBusy:
        return Router::error(409, what + " was not sent: a motion is playing or recording (stop it first: POST "
                                         "/api/motion/stop, or release a servo, which stops it)");
    case Outcome::Result::kNotRun:
        break;
    }
    if (worker_.stopping()) return Router::error(503, "the server is stopping; nothing was sent");
    return Router::error(503, "the bus is busy: the command did not start within " +
                                  std::to_string(kQueueDeadline.count() / 1000) + " s, and nothing was sent");
}

HttpAnswer Dashboard::run(const Command &command, const std::string &what) {
    return reply(worker_.run(command, kQueueDeadline), what);
}

HttpAnswer Dashboard::events() {
    if (++*streams_ > kMaxStreams) {
        --*streams_;
        return Router::error(503, "too many open event streams (" + std::to_string(kMaxStreams) + "); close some pages");
    }
    HttpAnswer answer;
    answer.headers.emplace_back("Content-Type", "text/event-stream");
    answer.feed = std::make_shared<Stream>(worker_, streams_);
    return answer;
}

void Dashboard::add_reads() {
    // The page and its files. The page is served fresh each time: a rebuilt zavctl serves its own.
    for (std::size_t i = 0; i < kDashboardAssetCount; ++i) {
        const Asset &asset = kDashboardAssets[i];
        const auto serve_asset = [&asset](RouteCall &) {
            HttpAnswer answer;
            answer.headers.emplace_back("Content-Type", asset.content_type);
            answer.headers.emplace_back("Cache-Control", "no-cache");
            answer.static_body = asset.data;
            answer.static_size = asset.size;
            return answer;
        };
        router_.read(asset.path, serve_asset);
        if (std::string(asset.path) == "/index.html") router_.read("/", serve_asset);
    }

    router_.read("/api/servos", [this](RouteCall &) {
        const auto snapshot = worker_.fresh(kFreshDeadline);
        if (snapshot) return json_text(snapshot->json);
        return Router::error(503, worker_.stopping() ? "the server is stopping" : "the bus did not finish a poll in time");
    });
    router_.read("/api/events", [this](RouteCall &) { return events(); });
    router_.read("/api/servos/{servo}/registers", [this](RouteCall &call) {
        Command c;
        c.kind = Command::Kind::kRegisters;
        c.id = call.servo;
        const Outcome outcome = worker_.run(c, kQueueDeadline);
        if (outcome.result != Outcome::Result::kDone) {
            return reply(outcome, "reading the registers of servo " + std::to_string(call.servo));
        }
        Json rows = Json::array();
        for (const Register &r : kRegisters) {
            char raw[16];
            if (r.width == 2) {
                std::snprintf(raw, sizeof raw, "%02X %02X", outcome.image[r.address], outcome.image[r.address + 1]);
            } else {
                std::snprintf(raw, sizeof raw, "%02X", outcome.image[r.address]);
            }
            rows.push_back({{"address", r.address}, {"name", r.name}, {"raw", raw}, {"value", decode(r, outcome.image)}});
        }
        return Router::json(200, Json{{"id", call.servo}, {"registers", rows}});
    });
}

void Dashboard::add_commands() {
    router_.command("/api/scan", {}, [this](RouteCall &) { return run(Command{}, "the scan"); });

    router_.command("/api/servos/{servo}/move", {"goal"}, [this](RouteCall &call) {
        long goal = 0;
        if (!call.body.contains("goal") || !whole_number(call.body["goal"], kGoalMin, kGoalMax, goal)) {
            return Router::error(400, "goal must be a whole number from " + range_text(kGoalRange));
        }
        Command c;
        c.kind = Command::Kind::kMove;
        c.id = call.servo;
        c.goal = static_cast<int>(goal);
        return run(c, "moving servo " + std::to_string(call.servo));
    });
    router_.command("/api/servos/{servo}/hold", {}, [this](RouteCall &call) {
        Command c;
        c.kind = Command::Kind::kHold;
        c.id = call.servo;
        return run(c, "taking hold of servo " + std::to_string(call.servo));
    });
    router_.command("/api/servos/{servo}/release", {}, [this](RouteCall &call) {
        Command c;
        c.kind = Command::Kind::kRelease;
        c.id = call.servo;
        return run(c, "releasing servo " + std::to_string(call.servo));
    });
    router_.command("/api/servos/{servo}/params", {"sc1", "sc2"}, [this](RouteCall &call) {
        if (call.body.empty()) return Router::error(400, "name sc1, sc2 or both");
        Command c;
        c.kind = Command::Kind::kParams;
        c.id = call.servo;
        for (const char *name : {"sc1", "sc2"}) {
            if (!call.body.contains(name)) continue;
            long value = 0;
            if (!whole_number(call.body[name], kParamMin, kParamMax, value)) {
                return Router::error(400, std::string(name) + " must be a whole number from " +
                                              range_text(kParamRange));
            }
            (name[2] == '1' ? c.sc1 : c.sc2) = static_cast<int>(value);
        }
        return run(c, "writing the parameters of servo " + std::to_string(call.servo));
    });
    router_.command("/api/sync", {"goals"}, [this](RouteCall &call) {
        const Json &goals = call.body.contains("goals") ? call.body["goals"] : Json();
        if (!goals.is_object() || goals.empty()) {
            return Router::error(400, "goals must be an object of servo ids and goals, e.g. {\"1\": " +
                                          std::to_string(kGoalMin + 1000) + "}");
        }
        if (goals.size() > kSyncMaxServos) {
            return Router::error(400, "one sync write takes at most " + std::to_string(kSyncMaxServos) + " servos");
        }
        Command c;
        c.kind = Command::Kind::kSync;
        for (const auto &item : goals.items()) {
            int id = 0;
            if (!servo_key(item.key(), id)) {
                return Router::error(400, "'" + Router::quote(item.key(), 40) + "' is not a servo id " +
                                              range_text(kIdRange));
            }
            long goal = 0;
            if (!whole_number(item.value(), kGoalMin, kGoalMax, goal)) {
                return Router::error(400, "the goal of servo " + item.key() + " must be a whole number from " +
                                              range_text(kGoalRange));
            }
            c.goals.emplace_back(id, static_cast<int>(goal));
        }
        return run(c, "the sync write");
    });
}

} // namespace zavctl
