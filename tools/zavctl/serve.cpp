// The HTTP side of `zavctl serve`: the embedded page, the JSON interface and
// the event stream. Handlers never touch the port: they read the bus worker's
// snapshots or queue commands for it (bus_worker.h).
#include "serve.h"

#if defined(__linux__)
#include <sys/socket.h>
// A client that has gone away must not end the process with SIGPIPE.
#define CPPHTTPLIB_SEND_FLAGS MSG_NOSIGNAL
#endif
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <limits>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bus_worker.h"
#include "dashboard_assets.h"
#include "exit_codes.h"
#include "registers.h"
#include "status_text.h"

namespace zavctl {

namespace {

using json = nlohmann::ordered_json;
using std::chrono::milliseconds;

constexpr milliseconds kPollInterval{100};
constexpr milliseconds kQueueDeadline{5000};  // a command that cannot start by then is dropped
constexpr milliseconds kFreshDeadline{5000};
constexpr milliseconds kStreamIdle{1000};     // a comment this often finds readers that have gone
constexpr std::size_t kMaxBody = 4096;
constexpr int kMaxStreams = 16;
constexpr int kThreads = 32; // room for every stream and plenty of ordinary requests

volatile std::sig_atomic_t g_stop_signal = 0;
void on_stop_signal(int) { g_stop_signal = 1; }

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool is_ipv4_literal(const std::string &text) {
    int parts = 0;
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t j = i;
        while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
        if (j == i || j - i > 3 || std::stoi(text.substr(i, j - i)) > 255) return false;
        ++parts;
        if (j == text.size()) break;
        if (text[j] != '.') return false;
        i = j + 1;
    }
    return parts == 4;
}

// Which Host headers name this server: the page and its commands are only for
// requests sent to it by name, which keeps out pages of other sites that
// resolve their own name to this machine.
class ServedHosts {
public:
    ServedHosts(const std::string &listen, int port) : port_(port) {
        name_ = lower(listen);
        if (name_.find(':') != std::string::npos) name_ = "[" + name_ + "]";
        loopback_ = name_ == "localhost" || name_ == "[::1]" || (is_ipv4_literal(name_) && name_.rfind("127.", 0) == 0);
        wildcard_ = name_ == "0.0.0.0" || name_ == "[::]";
    }

    bool loopback() const { return loopback_; }
    std::string url() const { return "http://" + name_ + ":" + std::to_string(port_) + "/"; }
    std::string example() const { return (wildcard_ ? std::string("127.0.0.1") : name_) + ":" + std::to_string(port_); }

    bool allowed(const std::string &host_header) const {
        std::string host = lower(host_header);
        std::string port;
        const std::size_t colon = host.rfind(':');
        if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
            port = host.substr(colon + 1);
            host.resize(colon);
        }
        if (port.empty() ? port_ != 80 : port != std::to_string(port_)) return false;
        if (host == name_) return true;
        const bool local_name = host == "localhost" || host == "127.0.0.1" || host == "[::1]";
        if (loopback_ && local_name) return true;
        // Bound to every address: any address literal of this machine, but no other names.
        const bool literal = is_ipv4_literal(host) || (host.size() > 2 && host.front() == '[' && host.back() == ']');
        return wildcard_ && (literal || host == "localhost");
    }

private:
    int port_;
    std::string name_;
    bool loopback_ = false;
    bool wildcard_ = false;
};

json servo_json(const ServoState &s, uint32_t reply_timeout_ms) {
    json j = {{"id", s.id},     {"answering", s.answering}, {"torque", s.torque}, {"goal", s.goal},
              {"present", s.present}, {"sc1", s.sc1},       {"sc2", s.sc2},       {"sc3", s.sc3},
              {"sc4", s.sc4}};
    if (!s.answering) {
        j["error"] = explain(s.failure, s.id, reply_timeout_ms);
        j["flags"] = flag_list(s.failure);
    }
    return j;
}

std::string snapshot_json(const Snapshot &snapshot, uint32_t reply_timeout_ms) {
    json servos = json::array();
    for (const ServoState &s : snapshot.servos) servos.push_back(servo_json(s, reply_timeout_ms));
    const json j = {{"seq", snapshot.seq}, {"time", std::round(snapshot.time_s * 1000.0) / 1000.0}, {"servos", servos}};
    return j.dump();
}

void send_json(httplib::Response &res, int status, const std::string &body) {
    res.status = status;
    res.set_content(body, "application/json");
}

// {"error": sentence, "flags": [...]}, and the servo it concerns when there is one.
void send_error(httplib::Response &res, int status, const std::string &sentence,
                const std::vector<std::string> &flags = {}, int servo = -1) {
    json body = {{"error", sentence}, {"flags", flags}};
    if (servo >= 0) body["servo"] = servo;
    send_json(res, status, body.dump());
}

// A whole number within [low, high], or false.
bool whole_number(const json &value, long low, long high, long &out) {
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

// The JSON object of a command's body (empty: {}), with only the named fields.
bool parse_body(const httplib::Request &req, httplib::Response &res, const std::vector<std::string> &fields, json &out) {
    out = req.body.empty() ? json::object() : json::parse(req.body, nullptr, false);
    if (out.is_discarded()) {
        send_error(res, 400, "the body is not valid JSON");
        return false;
    }
    if (!out.is_object()) {
        send_error(res, 400, "the body must be a JSON object");
        return false;
    }
    for (const auto &item : out.items()) {
        if (std::find(fields.begin(), fields.end(), item.key()) != fields.end()) continue;
        std::string known;
        for (const std::string &f : fields) known += (known.empty() ? "" : ", ") + f;
        send_error(res, 400, "unknown field '" + item.key() + "' (" + (known.empty() ? "this command takes none" : "this command takes " + known) + ")");
        return false;
    }
    return true;
}

// The servo id of a route; answers 404 for ids outside the id range.
bool path_id(const httplib::Request &req, httplib::Response &res, int &id) {
    const std::string text = req.matches[1];
    if (text.size() > 2 || std::stoi(text) > kIdMax) {
        send_error(res, 404, "there is no servo " + text + ": servo ids are " + range_text(kIdRange));
        return false;
    }
    id = std::stoi(text);
    return true;
}

class Dashboard {
public:
    Dashboard(PortHandle port, uint32_t reply_timeout_ms, const ServedHosts &hosts)
        : reply_timeout_ms_(reply_timeout_ms), hosts_(hosts),
          worker_(port, [reply_timeout_ms](const Snapshot &s) { return snapshot_json(s, reply_timeout_ms); },
                  kPollInterval) {}

    void add_routes(httplib::Server &svr);
    void stop() { worker_.stop(); }

private:
    bool admit(const httplib::Request &req, httplib::Response &res) const;
    void reply(httplib::Response &res, const Outcome &outcome, const std::string &what) const;
    void command(httplib::Response &res, Command command, const std::string &what);
    void events(httplib::Response &res);

    uint32_t reply_timeout_ms_;
    ServedHosts hosts_;
    BusWorker worker_;
    std::atomic<int> streams_{0};
};

// Requests that may not reach a handler: the wrong Host on any request, and
// commands that a page of another site could send (another Origin, or a body
// that is not JSON, which a cross-site form or a simple request cannot send).
bool Dashboard::admit(const httplib::Request &req, httplib::Response &res) const {
    const bool read_only = req.method == "GET" || req.method == "HEAD";
    if (!hosts_.allowed(req.get_header_value("Host"))) {
        send_error(res, 403, "this server answers only requests addressed to it (Host: " + hosts_.example() + ")");
        return false;
    }
    if (read_only) return true;
    if (req.method != "POST") {
        res.set_header("Allow", "GET, HEAD, POST");
        send_error(res, 405, req.method + " is not served here: reads are GET, commands are POST");
        return false;
    }
    if (req.has_header("Origin") && lower(req.get_header_value("Origin")) != "http://" + lower(req.get_header_value("Host"))) {
        send_error(res, 403, "commands are accepted only from this dashboard's own page, not from " + req.get_header_value("Origin"));
        return false;
    }
    const std::string type = lower(req.get_header_value("Content-Type"));
    if (type.compare(0, 16, "application/json") != 0 || (type.size() > 16 && type[16] != ';' && type[16] != ' ')) {
        send_error(res, 415, "commands take a JSON body (Content-Type: application/json)");
        return false;
    }
    // A body without a length would be read until the client stops sending, however long.
    if (req.has_header("Transfer-Encoding") || !req.has_header("Content-Length")) {
        send_error(res, 411, "send the body with a Content-Length (0 when there is none)");
        return false;
    }
    return true;
}

void Dashboard::reply(httplib::Response &res, const Outcome &outcome, const std::string &what) const {
    switch (outcome.result) {
    case Outcome::Result::kDone:
        send_json(res, 200, outcome.snapshot->json);
        return;
    case Outcome::Result::kUnknownServo:
        send_error(res, 404, "servo " + std::to_string(outcome.failed_id) + " was not found by the last scan", {},
                   outcome.failed_id);
        return;
    case Outcome::Result::kBusFailed:
        send_error(res, 409, what + " failed: " + explain(outcome.status, outcome.failed_id, reply_timeout_ms_),
                   flag_list(outcome.status), outcome.failed_id <= kIdMax ? outcome.failed_id : -1);
        return;
    case Outcome::Result::kNotRun:
        if (worker_.stopping()) {
            send_error(res, 503, "the server is stopping; nothing was sent");
        } else {
            send_error(res, 503, "the bus is busy: the command did not start within " +
                                     std::to_string(kQueueDeadline.count() / 1000) + " s, and nothing was sent");
        }
        return;
    }
}

void Dashboard::command(httplib::Response &res, Command command, const std::string &what) {
    reply(res, worker_.run(std::move(command), kQueueDeadline), what);
}

void Dashboard::events(httplib::Response &res) {
    if (++streams_ > kMaxStreams) {
        --streams_;
        send_error(res, 503, "too many open event streams (" + std::to_string(kMaxStreams) + "); close some pages");
        return;
    }
    auto last_seq = std::make_shared<uint64_t>(0);
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, last_seq](std::size_t, httplib::DataSink &sink) {
            // Each call writes at most one snapshot, the newest: a slow reader skips updates.
            std::shared_ptr<const Snapshot> snapshot;
            if (*last_seq == 0) {
                static const char kRetry[] = "retry: 1000\n\n";
                if (!sink.write(kRetry, sizeof kRetry - 1)) return false;
                snapshot = worker_.latest();
                if (!snapshot) snapshot = worker_.wait_newer(0, kStreamIdle);
            } else {
                snapshot = worker_.wait_newer(*last_seq, kStreamIdle);
            }
            if (worker_.stopping()) {
                sink.done();
                return true;
            }
            if (!snapshot) {
                static const char kIdle[] = ": idle\n\n";
                return sink.write(kIdle, sizeof kIdle - 1);
            }
            *last_seq = snapshot->seq;
            const std::string event = "data: " + snapshot->json + "\n\n";
            return sink.write(event.data(), event.size());
        },
        [this](bool) { --streams_; });
}

void Dashboard::add_routes(httplib::Server &svr) {
    svr.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        return admit(req, res) ? httplib::Server::HandlerResponse::Unhandled : httplib::Server::HandlerResponse::Handled;
    });
    // Every refusal carries a sentence, including httplib's own (413, 400, 404).
    svr.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &req, httplib::Response &res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        if (res.status == 413) {
            send_error(res, 413, "the body is larger than " + std::to_string(kMaxBody) + " bytes");
        } else if (res.status == 404) {
            send_error(res, 404, "nothing is served at " + req.path);
        } else {
            send_error(res, res.status, std::string("the request was refused: ") + httplib::detail::status_message(res.status));
        }
        return httplib::Server::HandlerResponse::Handled;
    }));

    svr.Get("/api/servos", [this](const httplib::Request &, httplib::Response &res) {
        const auto snapshot = worker_.fresh(kFreshDeadline);
        if (snapshot) {
            send_json(res, 200, snapshot->json);
        } else {
            send_error(res, 503, worker_.stopping() ? "the server is stopping" : "the bus did not finish a poll in time");
        }
    });
    svr.Get("/api/events", [this](const httplib::Request &, httplib::Response &res) { events(res); });
    svr.Get(R"(/api/servos/(\d+)/registers)", [this](const httplib::Request &req, httplib::Response &res) {
        int id = 0;
        if (!path_id(req, res, id)) return;
        Command c;
        c.kind = Command::Kind::kRegisters;
        c.id = id;
        const Outcome outcome = worker_.run(c, kQueueDeadline);
        if (outcome.result != Outcome::Result::kDone) return reply(res, outcome, "reading the registers of servo " + std::to_string(id));
        json rows = json::array();
        for (const Register &r : kRegisters) {
            char raw[16];
            if (r.width == 2) {
                std::snprintf(raw, sizeof raw, "%02X %02X", outcome.image[r.address], outcome.image[r.address + 1]);
            } else {
                std::snprintf(raw, sizeof raw, "%02X", outcome.image[r.address]);
            }
            rows.push_back({{"address", r.address}, {"name", r.name}, {"raw", raw}, {"value", decode(r, outcome.image)}});
        }
        send_json(res, 200, json{{"id", id}, {"registers", rows}}.dump());
    });

    svr.Post("/api/scan", [this](const httplib::Request &req, httplib::Response &res) {
        json body;
        if (!parse_body(req, res, {}, body)) return;
        command(res, Command{}, "the scan");
    });
    svr.Post(R"(/api/servos/(\d+)/(move|hold|release|params))", [this](const httplib::Request &req, httplib::Response &res) {
        int id = 0;
        if (!path_id(req, res, id)) return;
        const std::string action = req.matches[2];
        const std::string servo = "servo " + std::to_string(id);
        Command c;
        c.id = id;
        json body;
        if (action == "move") {
            if (!parse_body(req, res, {"goal"}, body)) return;
            long goal = 0;
            if (!body.contains("goal") || !whole_number(body["goal"], kGoalMin, kGoalMax, goal))
                return send_error(res, 400, "goal must be a whole number from " + range_text(kGoalRange));
            c.kind = Command::Kind::kMove;
            c.goal = static_cast<int>(goal);
            return command(res, c, "moving " + servo);
        }
        if (action == "params") {
            if (!parse_body(req, res, {"sc1", "sc2"}, body)) return;
            if (body.empty()) return send_error(res, 400, "name sc1, sc2 or both");
            for (const char *name : {"sc1", "sc2"}) {
                if (!body.contains(name)) continue;
                long value = 0;
                if (!whole_number(body[name], kParamMin, kParamMax, value))
                    return send_error(res, 400, std::string(name) + " must be a whole number from " + range_text(kParamRange));
                (name[2] == '1' ? c.sc1 : c.sc2) = static_cast<int>(value);
            }
            c.kind = Command::Kind::kParams;
            return command(res, c, "writing the parameters of " + servo);
        }
        if (!parse_body(req, res, {}, body)) return;
        c.kind = action == "hold" ? Command::Kind::kHold : Command::Kind::kRelease;
        command(res, c, (action == "hold" ? "taking hold of " : "releasing ") + servo);
    });
    svr.Post("/api/sync", [this](const httplib::Request &req, httplib::Response &res) {
        json body;
        if (!parse_body(req, res, {"goals"}, body)) return;
        if (!body.contains("goals") || !body["goals"].is_object() || body["goals"].empty())
            return send_error(res, 400, "goals must be an object of servo ids and goals, e.g. {\"1\": 4000}");
        if (body["goals"].size() > kSyncMaxServos)
            return send_error(res, 400, "one sync write takes at most " + std::to_string(kSyncMaxServos) + " servos");
        static const std::regex id_pattern("[0-9]{1,2}");
        Command c;
        c.kind = Command::Kind::kSync;
        for (const auto &item : body["goals"].items()) {
            if (!std::regex_match(item.key(), id_pattern) || std::stoi(item.key()) > kIdMax)
                return send_error(res, 400, "'" + item.key() + "' is not a servo id " + range_text(kIdRange));
            long goal = 0;
            if (!whole_number(item.value(), kGoalMin, kGoalMax, goal))
                return send_error(res, 400, "the goal of servo " + item.key() + " must be a whole number from " +
                                                range_text(kGoalRange));
            c.goals.emplace_back(std::stoi(item.key()), static_cast<int>(goal));
        }
        command(res, c, "the sync write");
    });

    // The wrong method on a known route.
    const auto not_allowed = [](const char *allow) {
        return [allow](const httplib::Request &req, httplib::Response &res) {
            res.set_header("Allow", allow);
            send_error(res, 405, req.path + " takes " + allow);
        };
    };
    svr.Get(R"(/api/(scan|sync|servos/\d+/(move|hold|release|params)))", not_allowed("POST"));
    svr.Post(R"(/api/(servos|events|servos/\d+/registers)|/[^/]*)", not_allowed("GET"));

    svr.Get(R"(/[^/]*)", [](const httplib::Request &req, httplib::Response &res) {
        const std::string path = req.path == "/" ? "/index.html" : req.path;
        for (std::size_t i = 0; i < kDashboardAssetCount; ++i) {
            const Asset &a = kDashboardAssets[i];
            if (path != a.path) continue;
            res.set_content(reinterpret_cast<const char *>(a.data), a.size, a.content_type);
            res.headers.erase("Cache-Control");
            res.set_header("Cache-Control", "no-cache"); // a rebuilt zavctl serves its own page
            return;
        }
        send_error(res, 404, "nothing is served at " + req.path);
    });
}

} // namespace

int serve(PortHandle port, uint32_t reply_timeout_ms, const ServeOptions &options) {
    std::string listen = options.listen;
    if (listen.size() > 2 && listen.front() == '[' && listen.back() == ']') listen = listen.substr(1, listen.size() - 2);
    if (listen.empty()) {
        std::fprintf(stderr, "zavctl: --listen takes an address of this machine, e.g. 127.0.0.1\n");
        return kExitUsage;
    }
    if (options.http_port < 0 || options.http_port > 65535) {
        std::fprintf(stderr, "zavctl: --http-port takes 0 to 65535 (0: any free port)\n");
        return kExitUsage;
    }

    httplib::Server svr;
    svr.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    // Short waits on idle and stalled connections, so that stopping is quick.
    svr.set_keep_alive_timeout(1);
    // One request a connection: the body of a refused request is left unread,
    // and on a connection kept open it would be taken for a request of its own,
    // with a Host, Origin and Content-Type of the sender's choosing.
    svr.set_keep_alive_max_count(1);
    svr.set_read_timeout(2);
    svr.set_write_timeout(2);
    svr.set_payload_max_length(kMaxBody);
    // A second server on the same port must fail to bind, not share it.
    svr.set_socket_options([](socket_t sock) {
        int yes = 1;
#ifdef _WIN32
        setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&yes), sizeof yes);
#else
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
    });
    svr.set_default_headers({
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Content-Security-Policy", "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
    });

    int port_number = options.http_port;
    const bool bound = port_number == 0 ? (port_number = svr.bind_to_any_port(listen)) > 0 : svr.bind_to_port(listen, port_number);
    if (!bound) {
        std::fprintf(stderr,
                     "zavctl: cannot listen on %s port %d: another program (or another zavctl serve) uses it, or the "
                     "address is not one of this machine's; choose another with --http-port (0: any free port)\n",
                     listen.c_str(), options.http_port);
        return kExitCannotOpen;
    }
    const ServedHosts hosts(listen, port_number);
    if (!hosts.loopback()) {
        std::fprintf(stderr,
                     "zavctl: warning: listening on %s, beyond this machine: anyone who can reach port %d can move "
                     "the servos\n",
                     listen.c_str(), port_number);
    }

    Dashboard dashboard(port, reply_timeout_ms, hosts);
    dashboard.add_routes(svr);

    g_stop_signal = 0;
    auto old_int = std::signal(SIGINT, on_stop_signal);
    auto old_term = std::signal(SIGTERM, on_stop_signal);
#ifdef SIGBREAK
    auto old_break = std::signal(SIGBREAK, on_stop_signal);
#endif
    std::atomic<bool> listening{true};
    std::thread listener([&] {
        svr.listen_after_bind();
        listening = false;
    });
    std::printf("serving %s\n", hosts.url().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "zavctl: open %s in a browser; Ctrl+C stops\n", hosts.url().c_str());

    while (g_stop_signal == 0 && listening) std::this_thread::sleep_for(milliseconds(50));
    // stop() only takes effect once the listener runs.
    while (listening && !svr.is_running()) std::this_thread::sleep_for(milliseconds(1));

    // Streams end when the worker stops; idle connections within the keep-alive time-out.
    dashboard.stop();
    svr.stop();
    listener.join();
    std::signal(SIGINT, old_int);
    std::signal(SIGTERM, old_term);
#ifdef SIGBREAK
    std::signal(SIGBREAK, old_break);
#endif
    if (g_stop_signal == 0) {
        std::fprintf(stderr, "zavctl: the web server stopped unexpectedly\n");
        return 1;
    }
    return 0;
}

} // namespace zavctl
