// zavsim: a virtual servo bus on a pseudo-terminal. Open the printed device
// (or the --link path) from any host program as if it were a serial adapter.
#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bus_capture.h"
#include "bus_commands.h"
#include "bus_runner.h"
#include "pty_link.h"
#include "servo_bus.h"
#include "trace_format.h"

namespace {

std::vector<int> ids_or_exit(const std::string &text, const char *option) {
    std::vector<int> ids;
    if (!text.empty() && !zavsim::parse_id_list(text, ids)) {
        std::fprintf(stderr, "zavsim: %s: '%s' is not a list of ids 0 to %u such as 0-5,9\n", option, text.c_str(), ZAV_ID_MAX);
        std::exit(2);
    }
    return ids;
}

// "ID=VALUE" pairs; exits with a message on anything else.
std::vector<std::pair<int, int>> pairs_or_exit(const std::vector<std::string> &items, const char *option) {
    std::vector<std::pair<int, int>> out;
    for (const std::string &item : items) {
        int id = -1;
        int value = 0;
        char tail = 0;
        if (std::sscanf(item.c_str(), "%d=%d%c", &id, &value, &tail) != 2 || id < 0 || id > static_cast<int>(ZAV_ID_MAX)) {
            std::fprintf(stderr, "zavsim: %s: '%s' is not ID=VALUE with an id 0 to %u\n", option, item.c_str(), ZAV_ID_MAX);
            std::exit(2);
        }
        out.emplace_back(id, value);
    }
    return out;
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"zavsim: a virtual bus of servos on a pseudo-terminal.\n"
                 "Prints the device to open; runs until interrupted."};
    const zavsim::BusOptions defaults;
    std::string ids_text = "0-" + std::to_string(ZAV_ID_MAX);
    std::string link_path;
    uint32_t baud = defaults.baud;
    bool no_echo = false;
    bool wire_time = false;
    bool trace = false;
    bool commands = false;
    double latency_ms = 0.0;
    bool strict_baud = false;
    std::string capture_path;
    double speed = defaults.speed;
    std::string silent, late, short_reply, wrong_first, wrong_echo;
    double late_ms = 100.0;
    std::vector<std::string> position, sc3, sc4;

    app.set_version_flag("--version", "zavsim " ZAV_VERSION);
    app.add_option("--ids", ids_text, "servos present on the bus, e.g. 0-5,9")->capture_default_str();
    app.add_option("--link", link_path, "also make a symbolic link to the device at this path");
    char id0_note[64];
    std::snprintf(id0_note, sizeof id0_note, " (servo 0 answers 0x%02X at %d)", ZAV_ID0_ALT_REPLY, ZAV_ID0_ALT_REPLY_BAUD);
    app.add_option("--baud", baud, std::string("the rate hosts use") + id0_note)->capture_default_str();
    app.add_flag("--no-echo", no_echo, "do not echo packets back as a one-wire line does");
    app.add_flag("--wire-time", wire_time, "delay echo and replies by their time on the wire (11 bits a byte)");
    app.add_option("--speed", speed, "position units per second while torque is on")->capture_default_str();
    app.add_option("--latency-ms", latency_ms, "hold every echo and reply this long, as a USB adapter's latency timer does")
        ->check(CLI::Range(0.0, 1000.0));
    app.add_flag("--strict-baud", strict_baud, "servos answer only hosts at --baud; other rates reach them as noise");
    app.add_flag("--trace", trace, "print every packet and reply, decoded");
    app.add_option("--capture", capture_path, "record the line's bytes to this pcap file (tools/wireshark/zavbus.lua)");
    app.add_flag("--commands", commands,
                 "read commands from standard input while running, one a line:\n"
                 "'silent IDS' (stop answering), 'answer IDS' (answer again),\n"
                 "'turn IDS POSITION' (a hand turns them there)");
    app.add_option("--position", position, "starting present position, ID=POSITION (repeatable)");
    const auto reading_help = [](int subcode, int min, int max) {
        return "reading of sub-code " + std::to_string(subcode) + " (" + std::to_string(min) + ".." + std::to_string(max) +
               "), ID=VALUE (repeatable)";
    };
    app.add_option("--sc3", sc3, reading_help(ZAV_SUBCODE_SC3, ZAV_SC3_MIN, ZAV_SC3_MAX));
    app.add_option("--sc4", sc4, reading_help(ZAV_SUBCODE_SC4, ZAV_SC4_MIN, ZAV_SC4_MAX));
    auto *faults = app.add_option_group("faults", "Fault injection, each for a list of ids");
    faults->add_option("--silent", silent, "never reply");
    faults->add_option("--late", late, "reply after --late-ms");
    faults->add_option("--late-ms", late_ms, "delay of late replies in ms")->capture_default_str();
    faults->add_option("--short", short_reply, "send only two reply bytes");
    faults->add_option("--wrong-first", wrong_first, "flip a bit of the first reply byte");
    faults->add_option("--wrong-echo", wrong_echo, "reply to parameter writes with a different value");
    CLI11_PARSE(app, argc, argv);

    zavsim::BusOptions options;
    options.echo = !no_echo;
    options.baud = baud;
    options.wire_time = wire_time;
    options.speed = speed;
    options.latency_ms = latency_ms;
    options.strict_baud = strict_baud;
    zavsim::ServoBus bus(options);
    bus.set_present(ids_or_exit(ids_text, "--ids"));
    for (int id = 0; id < zavsim::kServoCount; ++id) bus.servo(id).dynamic_readings = true;
    for (auto [id, value] : pairs_or_exit(position, "--position")) bus.servo(id).position = value;
    for (auto [id, value] : pairs_or_exit(sc3, "--sc3")) {
        bus.servo(id).sc3_raw = zavsim::encode_sc3(value);
        bus.servo(id).dynamic_readings = false;
    }
    for (auto [id, value] : pairs_or_exit(sc4, "--sc4")) {
        bus.servo(id).sc4_raw = zavsim::encode_sc4(value);
        bus.servo(id).dynamic_readings = false;
    }
    for (int id : ids_or_exit(silent, "--silent")) bus.servo(id).fault = zavsim::Fault::silent();
    for (int id : ids_or_exit(late, "--late")) bus.servo(id).fault = zavsim::Fault::late(late_ms);
    for (int id : ids_or_exit(short_reply, "--short")) bus.servo(id).fault = zavsim::Fault::short_reply();
    for (int id : ids_or_exit(wrong_first, "--wrong-first")) bus.servo(id).fault = zavsim::Fault::corrupt(0, 0x10);
    for (int id : ids_or_exit(wrong_echo, "--wrong-echo"))
        bus.servo(id).fault = zavsim::Fault::corrupt(2).only_command(6);

    // Prints every packet and reply as the model decodes them.
    struct Printer final : zavsim::TraceSink {
        double origin = zavsim::monotonic_ms();
        void trace(const zavsim::TraceEvent &event) override {
            std::printf("%s\n", zavsim::format_trace(event, origin).c_str());
            std::fflush(stdout);
        }
    } printer;
    if (trace) bus.trace = &printer;

    // Signals are taken by this thread alone, with sigwait.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    zavsim::PtyLink link;
    if (!link.ok()) {
        std::perror("zavsim: cannot create a pseudo-terminal");
        return 1;
    }
    if (!link_path.empty()) {
        unlink(link_path.c_str());
        if (symlink(link.slave_path().c_str(), link_path.c_str()) != 0) {
            std::perror(("zavsim: cannot make the link " + link_path).c_str());
            return 1;
        }
    }
    std::unique_ptr<zavsim::BusCapture> capture;
    std::unique_ptr<zavsim::CapturingLink> captured_link;
    if (!capture_path.empty()) {
        capture = std::make_unique<zavsim::BusCapture>(capture_path, true);
        if (!capture->ok()) {
            std::perror(("zavsim: cannot write " + capture_path).c_str());
            return 1;
        }
        capture->set_baud(baud);
        captured_link = std::make_unique<zavsim::CapturingLink>(link, *capture);
    }
    zavsim::BusRunner runner(bus, captured_link ? static_cast<zavsim::LinkIo &>(*captured_link) : link);
    std::printf("zavsim: servos %s on %s%s%s\n", ids_text.c_str(), link.slave_path().c_str(),
                link_path.empty() ? "" : " (link ", link_path.empty() ? "" : (link_path + ")").c_str());
    std::fflush(stdout);

    std::atomic<bool> done{false};
    std::thread reader;
    if (commands) reader = std::thread([&] {
        std::string pending;
        char buffer[256];
        while (!done) {
            pollfd input{STDIN_FILENO, POLLIN, 0};
            if (poll(&input, 1, 100) <= 0) continue;
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) break; // end of input: the bus runs on
            pending.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                const std::string line = pending.substr(0, end);
                if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
                std::string reply;
                if (runner.with_bus([&](zavsim::ServoBus &b) { return zavsim::apply_bus_command(b, line, reply); })) {
                    std::printf("zavsim: %s\n", reply.c_str());
                    std::fflush(stdout);
                } else {
                    std::fprintf(stderr, "zavsim: %s\n", reply.c_str());
                }
            }
        }
    });

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    done = true;
    if (reader.joinable()) reader.join();
    runner.stop();
    if (!link_path.empty()) unlink(link_path.c_str());
    return 0;
}
