// zavctl: scan, read, write and move servos from the command line, through the
// library's public functions. --sim runs against a simulated bus in-process.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "servo_bus.h"
#if defined(__linux__)
#include "bus_capture.h"
#include "bus_runner.h"
#include "capture_relay.h"
#include "pty_link.h"
#define ZAVCTL_HAS_SIM 1
#endif

#include "doctor.h"
#include "motion_commands.h"
#include "registers.h"
#include "serve.h"
#include "status_text.h"
#include "zavlib.h"

namespace {

using zavctl::decode;
using zavctl::find_register;
using zavctl::contains;
using zavctl::range_text;
using zavctl::kRegisters;
using zavctl::peek_image;
using zavctl::Register;

struct Options {
    std::string port;
    int32_t baud = zavctl::kDefaultBaud;
    int32_t timeout_offset = zavctl::kDefaultTimeoutOffsetMs;
    bool no_echo = false;
    bool sim = false;
    std::string sim_ids = "0-5";
    std::string capture;
};

class Session {
public:
    explicit Session(const Options &options) : options_(options) {}
    ~Session() {
        if (port_ != nullptr) ZAV_ClosePort(port_);
    }

    // Opens the port (starting the simulated bus first with --sim); false with
    // a message when that is not possible.
    bool open() {
        std::string device = options_.port;
        if (!options_.capture.empty() && !start_capture()) return false;
        if (options_.sim) {
#ifdef ZAVCTL_HAS_SIM
            std::vector<int> ids;
            if (!zavsim::parse_id_list(options_.sim_ids, ids)) {
                std::fprintf(stderr, "zavctl: --sim-ids: '%s' is not a list of ids such as 0-5,9\n", options_.sim_ids.c_str());
                return false;
            }
            zavsim::BusOptions bus_options;
            bus_options.baud = static_cast<uint32_t>(options_.baud);
            bus_options.echo = !options_.no_echo;
            bus_ = std::make_unique<zavsim::ServoBus>(bus_options);
            bus_->set_present(ids);
            for (int id = 0; id < zavsim::kServoCount; ++id) bus_->servo(id).dynamic_readings = true;
            link_ = std::make_unique<zavsim::PtyLink>();
            if (!link_->ok()) {
                std::perror("zavctl: cannot create the simulated bus");
                return false;
            }
            if (capture_) captured_link_ = std::make_unique<zavsim::CapturingLink>(*link_, *capture_);
            runner_ = std::make_unique<zavsim::BusRunner>(*bus_, captured_link_ ? static_cast<zavsim::LinkIo &>(*captured_link_) : *link_);
            device = link_->slave_path();
#else
            std::fprintf(stderr, "zavctl: --sim is not available on this system; use --port\n");
            return false;
#endif
        }
        if (device.empty()) {
            std::fprintf(stderr, "zavctl: name the serial device with --port (or try --sim)\n");
            return false;
        }
        line_device_ = device;
#ifdef ZAVCTL_HAS_SIM
        if (capture_ && !options_.sim) {
            std::string error;
            relay_ = zavctl::start_capture_relay(device, *capture_, &error);
            if (!relay_) {
                std::fprintf(stderr, "zavctl: cannot open %s: %s\n", device.c_str(), error.c_str());
                return false;
            }
            device = relay_->library_device();
        }
#endif
        port_ = ZAV_OpenPort(device.c_str(), options_.baud);
        if (port_ == nullptr) {
            std::fprintf(stderr, "zavctl: cannot open %s: %s\n", device.c_str(),
                         why_open_failed(device, options_.baud).c_str());
            return false;
        }
        ZAV_SetTimeOutOffset(port_, options_.timeout_offset);
        ZAV_SetEchoCancel(options_.no_echo ? 0 : 1);
        return true;
    }

    PortHandle port() const { return port_; }

    // The open port as zavctl doctor and scan --baud auto see it.
    zavctl::PortContext context() const {
        zavctl::PortContext c;
        c.port = port_;
        c.device = line_device_;
        c.baud = options_.baud;
        c.reply_timeout_ms = reply_timeout_ms();
        c.no_echo = options_.no_echo;
        c.simulated = options_.sim;
#ifdef ZAVCTL_HAS_SIM
        c.line_fd = relay_ ? relay_->device_fd() : -1;
        c.relayed = relay_ != nullptr;
#endif
        return c;
    }

    uint32_t reply_timeout_ms() const {
        return zavctl::reply_timeout_ms(options_.timeout_offset, options_.baud);
    }

    // Prints why a call failed; returns the exit status for it.
    int fail(const std::string &what, StatusWord status, int id) const {
        std::fprintf(stderr, "zavctl: %s failed: %s [%s]\n", what.c_str(),
                     zavctl::explain(status, id, reply_timeout_ms()).c_str(), zavctl::flag_names(status).c_str());
        return 1;
    }

private:
    // --capture: the simulated bus records on its side; a real device gets a
    // recording relay (Linux only).
    bool start_capture() {
#ifdef ZAVCTL_HAS_SIM
        capture_ = std::make_unique<zavsim::BusCapture>(options_.capture, options_.sim);
        if (!capture_->ok()) {
            std::perror(("zavctl: cannot write " + options_.capture).c_str());
            return false;
        }
        capture_->set_baud(static_cast<uint32_t>(options_.baud));
        return true;
#else
        std::fprintf(stderr, "zavctl: --capture is not available on this system: it needs a pseudo-terminal to relay "
                             "the line through; record on the simulator's side with zavsim --capture, or run zavctl on Linux\n");
        return false;
#endif
    }

    static std::string why_open_failed(const std::string &device, int32_t baud) {
        if (baud == 0) return "the baud rate must not be 0";
#ifndef _WIN32
        struct stat info {};
        if (stat(device.c_str(), &info) != 0) return "no such device";
        if (!S_ISCHR(info.st_mode)) return "it is not a serial device";
#endif
        (void)device;
        return "the port is held by another program, does not take " + std::to_string(baud) +
               " baud, or is not a serial port";
    }

    Options options_;
    std::string line_device_;
#ifdef ZAVCTL_HAS_SIM
    // Declared before the port so that they outlive it: the port closes first.
    std::unique_ptr<zavsim::BusCapture> capture_;
    std::unique_ptr<zavsim::CapturingLink> captured_link_;
    std::unique_ptr<zavctl::CaptureRelay> relay_;
#endif
    PortHandle port_ = nullptr;
#ifdef ZAVCTL_HAS_SIM
    std::unique_ptr<zavsim::ServoBus> bus_;
    std::unique_ptr<zavsim::PtyLink> link_;
    std::unique_ptr<zavsim::BusRunner> runner_;
#endif
};

bool parse_id(const std::string &text, int &id, bool allow_broadcast) {
    if (allow_broadcast && text == "all") {
        id = BROADCAST_ID;
        return true;
    }
    char *end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0') return false;
    id = static_cast<int>(value);
    return contains(zavctl::kIdRange, value) || (allow_broadcast && value == static_cast<long>(BROADCAST_ID));
}

int usage_error(const std::string &message) {
    std::fprintf(stderr, "zavctl: %s\n", message.c_str());
    return 2;
}

std::string goal_range_message() {
    return std::string(zavctl::kGoalRange.what) + " are " + range_text(zavctl::kGoalRange);
}

// ---------------------------------------------------------------------------
// Subcommands

int cmd_scan(Session &s) {
    std::vector<int> found;
    std::printf("%-6s %-8s %s\n", "servo", "torque", "present");
    for (int id = 0; id <= zavctl::kIdMax; ++id) {
        if (!ZAV_Ping(s.port(), static_cast<uint8_t>(id), nullptr)) continue;
        uint8_t image[10] = {};
        peek_image(s.port(), id, image);
        std::printf("%-6d %-8s %d\n", id, image[1] ? "on" : "off", image[6] | image[7] << 8);
        found.push_back(id);
    }
    if (found.empty()) {
        std::fprintf(stderr, "zavctl: no servo answered on ids %s (check the baud rate and the wiring)\n",
                     range_text(zavctl::kIdRange).c_str());
        return 1;
    }
    std::string list;
    for (int id : found) list += (list.empty() ? "" : ",") + std::to_string(id);
    std::printf("found %zu servo%s: %s\n", found.size(), found.size() == 1 ? "" : "s", list.c_str());
    return 0;
}

int cmd_ping(Session &s, int id) {
    StatusWord status = 0;
    if (!ZAV_Ping(s.port(), static_cast<uint8_t>(id), &status)) return s.fail("ping of servo " + std::to_string(id), status, id);
    uint8_t image[10] = {};
    peek_image(s.port(), id, image);
    std::printf("servo %d answered: present position %d\n", id, image[6] | image[7] << 8);
    return 0;
}

int cmd_read(Session &s, const std::vector<int> &ids, const std::string &which) {
    std::vector<const Register *> selected;
    if (which.empty() || which == "all") {
        for (const Register &r : kRegisters) selected.push_back(&r);
    } else if (const Register *r = find_register(which)) {
        selected.push_back(r);
    } else {
        return usage_error("unknown register '" + which + "' (see zavctl read --help)");
    }
    const uint8_t first = static_cast<uint8_t>(selected.front()->address);
    const uint8_t last = static_cast<uint8_t>(selected.back()->address + selected.back()->width);
    for (int id : ids) {
        uint8_t image[10] = {};
        StatusWord status = 0;
        if (!ZAV_ReadBlockData(s.port(), static_cast<uint8_t>(id), first, image + first, last - first, &status))
            return s.fail("read of servo " + std::to_string(id), status, id);
        if (ids.size() > 1) std::printf("servo %d\n", id);
        std::printf("%-8s %-18s %s\n", "address", "register", "value");
        for (const Register *r : selected) std::printf("%-8d %-18s %ld\n", r->address, r->name, decode(*r, image));
    }
    return 0;
}

int cmd_write(Session &s, int id, const std::string &which, long value) {
    const Register *r = find_register(which);
    if (r == nullptr) return usage_error("unknown register '" + which + "' (see zavctl write --help)");
    const long limit = r->width == 2 ? 65535 : 255;
    if (value < 0 || value > limit) return usage_error(std::string(r->name) + " takes 0 to " + std::to_string(limit));
    StatusWord status = 0;
    const uint8_t target = static_cast<uint8_t>(id);
    const bool ok = r->width == 2
                        ? ZAV_WriteWordData(s.port(), target, static_cast<uint8_t>(r->address), static_cast<uint16_t>(value), &status)
                        : ZAV_WriteByteData(s.port(), target, static_cast<uint8_t>(r->address), static_cast<uint8_t>(value), &status);
    if (!ok || status != 0) return s.fail("write of " + std::string(r->name), status, id);
    std::printf("wrote %s = %ld to %s\n", r->name, value, id == static_cast<int>(BROADCAST_ID) ? "all servos" : ("servo " + std::to_string(id)).c_str());
    return 0;
}

int cmd_move(Session &s, int id, long goal) {
    if (!contains(zavctl::kGoalRange, goal)) return usage_error(goal_range_message());
    StatusWord status = 0;
    if (!zavctl::hold_and_move(s.port(), id, static_cast<int>(goal), &status) || status != 0)
        return s.fail("move of servo " + std::to_string(id), status, id);
    std::printf("servo %d holds torque and moves to %ld\n", id, goal);
    return 0;
}

int cmd_release(Session &s, const std::vector<int> &ids) {
    for (int id : ids) {
        StatusWord status = 0;
        if (!ZAV_WriteByteData(s.port(), static_cast<uint8_t>(id), ZAV_REG_TORQUE_ENABLE, 0, &status) || status != 0)
            return s.fail("release of servo " + std::to_string(id), status, id);
        std::printf("servo %d released\n", id);
    }
    return 0;
}

int cmd_sync(Session &s, const std::vector<std::string> &pairs) {
    std::vector<std::pair<int, int>> goals;
    for (const std::string &pair : pairs) {
        const auto eq = pair.find('=');
        int id = 0;
        if (eq == std::string::npos || !parse_id(pair.substr(0, eq), id, false))
            return usage_error("'" + pair + "' is not ID=GOAL");
        const long goal = std::strtol(pair.c_str() + eq + 1, nullptr, 10);
        if (!contains(zavctl::kGoalRange, goal)) return usage_error(goal_range_message());
        goals.emplace_back(id, static_cast<int>(goal));
    }
    if (goals.size() > zavctl::kSyncMaxServos)
        return usage_error("one sync write takes at most " + std::to_string(zavctl::kSyncMaxServos) + " servos");
    StatusWord status = 0;
    if (!zavctl::hold_and_move_all(s.port(), goals, &status) || status != 0)
        return s.fail("sync write", status, BROADCAST_ID);
    std::printf("sync write to %zu servos done\n", pairs.size());
    return 0;
}

struct WatchOptions {
    std::vector<int> ids;
    int interval_ms = 200;
    int count = 0;
    bool until_arrived = false;
    double seconds = 30.0;
    int tolerance = 10;
};

int cmd_watch(Session &s, const WatchOptions &w) {
    const bool terminal = isatty(fileno(stdout)) != 0;
    const auto start = std::chrono::steady_clock::now();
    int printed_lines = 0;
    for (int round = 1;; ++round) {
        std::vector<std::string> lines;
        char line[160];
        std::snprintf(line, sizeof line, "%-6s %-7s %-6s %-8s %-5s %-5s", "servo", "torque", "goal", "present", "sc3", "sc4");
        lines.push_back(line);
        bool all_arrived = true;
        for (int id : w.ids) {
            uint8_t image[10] = {};
            StatusWord status = 0;
            const uint8_t target = static_cast<uint8_t>(id);
            if (!ZAV_ReadBlockData(s.port(), target, 6, image + 6, 4, &status) ||
                !ZAV_ReadBlockData(s.port(), target, 1, image + 1, 3, &status)) {
                return s.fail("watch of servo " + std::to_string(id), status, id);
            }
            const int goal = image[2] | image[3] << 8;
            const int present = image[6] | image[7] << 8;
            if (image[1] && std::abs(goal - present) > w.tolerance) all_arrived = false;
            std::snprintf(line, sizeof line, "%-6d %-7s %-6d %-8d %-5d %-5d", id, image[1] ? "on" : "off", goal, present,
                          static_cast<int8_t>(image[8]), static_cast<int8_t>(image[9]));
            lines.push_back(line);
        }
        if (terminal && printed_lines > 0) std::printf("\x1b[%dA", printed_lines); // back over the last table
        for (const std::string &l : lines) std::printf("%s%s\n", l.c_str(), terminal ? "\x1b[K" : "");
        if (!terminal) std::printf("\n");
        printed_lines = static_cast<int>(lines.size());
        std::fflush(stdout);

        if (w.until_arrived && all_arrived) {
            std::printf("all servos have arrived\n");
            return 0;
        }
        if (w.count > 0 && round >= w.count) return 0;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed >= w.seconds) {
            if (!w.until_arrived) return 0;
            std::fprintf(stderr, "zavctl: the servos did not arrive within %.0f s\n", w.seconds);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(w.interval_ms));
    }
}

int cmd_raw(Session &s, int id, int command, const std::vector<int> &data, uint32_t reply_length, uint32_t timeout_ms) {
    std::vector<uint8_t> bytes;
    for (int b : data) {
        if (b < 0 || b > 255) return usage_error("data bytes are 0 to 255");
        bytes.push_back(static_cast<uint8_t>(b));
    }
    StatusWord status = 0;
    if (!ZAV_TxPacket(s.port(), static_cast<uint32_t>(id), command, bytes.data(), static_cast<uint32_t>(bytes.size()), &status))
        return s.fail("send", status, id);
    std::printf("sent  %02X", static_cast<uint8_t>((static_cast<uint32_t>(command) << ZAV_COMMAND_SHIFT) + static_cast<uint32_t>(id)));
    for (uint8_t b : bytes) std::printf(" %02X", b);
    std::printf("\n");
    if (reply_length == 0) return 0;
    std::vector<uint8_t> reply(reply_length);
    uint32_t got = 0;
    const bool ok = ZAV_RxPacket(s.port(), reply.data(), reply_length, &got, timeout_ms, &status);
    std::printf("reply");
    for (uint32_t i = 0; i < got; ++i) std::printf(" %02X", reply[i]);
    std::printf("%s\n", got == 0 ? " (none)" : "");
    if (!ok) {
        std::fprintf(stderr, "zavctl: %u of %u reply bytes within %u ms [%s]\n", got, reply_length, timeout_ms,
                     zavctl::flag_names(status).c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"zavctl: drive serial-bus servos through zavlib.\n"
                 "Subcommands can be chained and run in order on one open port, e.g.\n"
                 "  zavctl --sim sync 1=4000 2=9000 watch 1,2 --until-arrived read 1,2"};
    app.require_subcommand(1, 0);
    app.set_version_flag("--version", "zavctl " ZAV_VERSION);
    const std::string id_range = range_text(zavctl::kIdRange);
    Options options;
    app.add_option("--port", options.port, "serial device, e.g. /dev/ttyUSB0 or COM3");
    app.add_option("--baud", options.baud, "baud rate")->capture_default_str();
    app.add_option("--timeout-offset", options.timeout_offset, "ms added to every reply time-out")->capture_default_str();
    app.add_flag("--no-echo", options.no_echo, "the line does not echo sent bytes back");
    app.add_flag("--sim", options.sim, "run against a simulated bus started in this process");
    app.add_option("--sim-ids", options.sim_ids, "servos on the simulated bus")->capture_default_str();
    app.add_option("--capture", options.capture, "record every byte sent and received to this pcap file "
                                                 "(open it with tools/wireshark/zavbus.lua)");

    // What each subcommand does, run in the order given once the port is open.
    std::map<const CLI::App *, std::function<int(Session &)>> actions;
    auto one_id = [](const std::string &text, bool broadcast, int &id) {
        if (parse_id(text, id, broadcast)) return true;
        usage_error("'" + text + "' is not a servo id " + range_text(zavctl::kIdRange) + (broadcast ? " or 'all'" : ""));
        return false;
    };
    auto id_list = [](const std::string &text, std::vector<int> &ids) {
        if (zavsim::parse_id_list(text, ids)) return true;
        usage_error("'" + text + "' is not a list of servo ids such as 1,2 or 0-5");
        return false;
    };

    std::string scan_baud;
    auto *scan = app.add_subcommand("scan", "ping ids " + id_range + " and list the servos that answer");
    scan->add_option("--baud", scan_baud, "'auto': try the usual rates and the servos' rates, and say where servos answer")
        ->check(CLI::IsMember({"auto"}));
    actions[scan] = [&](Session &s) { return scan_baud.empty() ? cmd_scan(s) : zavctl::scan_all_rates(s.context()); };

    zavctl::DoctorOptions doctor_options;
    std::string doctor_ids;
    auto *doctor = app.add_subcommand("doctor", "check the line: settings, echo, round trip against the wire time, late or\n"
                                                "silent servos, baud rate; says what to change");
    doctor->add_option("--ids", doctor_ids, "servos that should answer (default: look for any)");
    doctor->add_option("--count", doctor_options.count, "exchanges to time")->capture_default_str()->check(CLI::Range(1, 100000));
    doctor->add_flag("--find-baud", doctor_options.find_baud, "also try the usual rates and the servos' rates");
    doctor->add_flag("--json", doctor_options.json, "print the report as one JSON object");
    actions[doctor] = [&](Session &s) {
        if (!doctor_ids.empty() && !id_list(doctor_ids, doctor_options.ids)) return 2;
        return zavctl::run_doctor(s.context(), doctor_options);
    };

    std::string ping_id;
    auto *ping = app.add_subcommand("ping", "ping one servo");
    ping->add_option("ID", ping_id, "servo id " + id_range)->required();
    actions[ping] = [&](Session &s) {
        int id = 0;
        return one_id(ping_id, false, id) ? cmd_ping(s, id) : 2;
    };

    std::string read_ids, read_register;
    auto *read = app.add_subcommand("read", "read registers: all ten (default) or one by name or address:\n"
                                            "id, torque, goal, sc2, sc1, present, sc3, sc4");
    read->add_option("IDS", read_ids, "servo ids, e.g. 3 or 1,2")->required();
    read->add_option("REGISTER", read_register, "register name or address, or 'all'");
    actions[read] = [&](Session &s) {
        std::vector<int> ids;
        return id_list(read_ids, ids) ? cmd_read(s, ids, read_register) : 2;
    };

    std::string write_id, write_register;
    long write_value = 0;
    auto *write = app.add_subcommand("write", "write a register: torque (0/1), goal (" + range_text(zavctl::kGoalRange) +
                                                  "), sc2 or sc1 (" + range_text(zavctl::kParamRange) + ")");
    write->add_option("ID", write_id, "servo id " + id_range + ", or 'all'")->required();
    write->add_option("REGISTER", write_register, "register name or address")->required();
    write->add_option("VALUE", write_value, "value")->required();
    actions[write] = [&](Session &s) {
        int id = 0;
        return one_id(write_id, true, id) ? cmd_write(s, id, write_register, write_value) : 2;
    };

    std::string move_id;
    long move_goal = 0;
    auto *move = app.add_subcommand("move", "take hold (torque on) and send a goal position");
    move->add_option("ID", move_id, "servo id " + id_range + ", or 'all'")->required();
    move->add_option("GOAL", move_goal, "goal position " + range_text(zavctl::kGoalRange))->required();
    actions[move] = [&](Session &s) {
        int id = 0;
        return one_id(move_id, true, id) ? cmd_move(s, id, move_goal) : 2;
    };

    std::string release_ids;
    auto *release = app.add_subcommand("release", "turn servos' torque off");
    release->add_option("IDS", release_ids, "servo ids, e.g. 3 or 1,2")->required();
    actions[release] = [&](Session &s) {
        std::vector<int> ids;
        return id_list(release_ids, ids) ? cmd_release(s, ids) : 2;
    };

    std::vector<std::string> pairs;
    auto *sync = app.add_subcommand("sync", "send several goals in one sync write (each servo takes hold)");
    sync->add_option("GOALS", pairs, "ID=GOAL pairs, e.g. 1=4000 2=9000")->required();
    actions[sync] = [&](Session &s) { return cmd_sync(s, pairs); };

    WatchOptions watch_options;
    std::string watch_ids;
    auto *watch = app.add_subcommand("watch", "live table of positions and readings");
    watch->add_option("IDS", watch_ids, "servos to watch, e.g. 1,2 or 0-5")->required();
    watch->add_option("--interval", watch_options.interval_ms, "ms between refreshes")->capture_default_str();
    watch->add_option("--count", watch_options.count, "stop after this many refreshes");
    watch->add_flag("--until-arrived", watch_options.until_arrived, "stop when every held servo is at its goal");
    watch->add_option("--seconds", watch_options.seconds, "stop after this long")->capture_default_str();
    actions[watch] = [&](Session &s) { return id_list(watch_ids, watch_options.ids) ? cmd_watch(s, watch_options) : 2; };

    std::string raw_id;
    int command = CMD_POSITION;
    std::vector<int> data;
    uint32_t reply_length = 3;
    uint32_t timeout_ms = 100;
    auto *raw = app.add_subcommand("raw", "send one packet and show the reply bytes");
    raw->add_option("ID", raw_id, "servo id " + id_range)->required();
    raw->add_option("COMMAND", command, "command number: 4 position, 5 read parameter, 6 write parameter")->required();
    raw->add_option("DATA", data, "data bytes (0x.. or decimal)");
    raw->add_option("--reply", reply_length, "reply bytes to read (0: none)")->capture_default_str();
    raw->add_option("--timeout", timeout_ms, "ms to wait for the reply")->capture_default_str();
    actions[raw] = [&](Session &s) {
        int id = 0;
        return one_id(raw_id, false, id) ? cmd_raw(s, id, command, data, reply_length, timeout_ms) : 2;
    };

    zavctl::ServeOptions serve_options;
    auto *serve = app.add_subcommand("serve", "a live dashboard in the browser: prints the address to open, runs until\n"
                                              "interrupted (JSON interface under /api, see the README)");
    serve->add_option("--http-port", serve_options.http_port, "TCP port to listen on; 0 picks a free one")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    serve->add_option("--listen", serve_options.listen,
                      "address to listen on; beyond loopback, whoever reaches it can move the servos")
        ->capture_default_str();
    actions[serve] = [&](Session &s) {
#ifdef ZAVCTL_HAS_SERVE
        return zavctl::serve(s.port(), s.reply_timeout_ms(), serve_options);
#else
        (void)s;
        std::fprintf(stderr, "zavctl: this zavctl was built without serve: its build was configured with "
                             "-DZAV_DASHBOARD=OFF, or could not bring in cpp-httplib, nlohmann/json or uPlot (the "
                             "cmake output says which)\n");
        return 1;
#endif
    };

    std::vector<std::pair<const CLI::App *, zavctl::PortAction>> motion_actions;
    zavctl::add_motion_commands(app, motion_actions);
    for (const auto &entry : motion_actions) {
        const zavctl::PortAction action = entry.second;
        actions[entry.first] = [action](Session &s) { return action(s.context()); };
    }

    CLI11_PARSE(app, argc, argv);

    Session session(options);
    if (!session.open()) return 1;
    for (const CLI::App *sub : app.get_subcommands()) {
        const int status = actions.at(sub)(session);
        if (status != 0) return status;
    }
    return 0;
}
