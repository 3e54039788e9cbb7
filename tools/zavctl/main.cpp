// zavctl: scan, read, write and move servos from the command line, through the
// library's public functions. The commands live in the table of command.h,
// each registered by the file that implements it; this file reads the command
// line into a chain of them, checks the whole chain, opens the port once and
// runs the chain in order.
#include <CLI/CLI.hpp>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "facts.h"
#include "session.h"

namespace {

using namespace zavctl;

const char kExitStatusText[] =
    "Exit status:\n"
    "  0  every command did what it was asked\n"
    "  1  the servos or the line did not: a call failed (its flags are named), a goal\n"
    "     was not taken, no servo answered, servos did not arrive in time; doctor:\n"
    "     a finding needs attention; the capture stopped early (a write to it\n"
    "     failed); a session on replay:FILE left the recording\n"
    "  2  the command line is wrong or incomplete; nothing was sent\n"
    "  3  a port could not be opened: the serial port, serve's HTTP port, or the\n"
    "     --capture file\n"
    "  4  not available in this build or on this system\n";

std::string chain_text() {
    return "Commands run in the order given, on one open port, and stop at the first that\n"
           "fails; any command may repeat. The whole line is checked before anything is\n"
           "sent. Global options may come before or after any command.\n\n"
           "Servo ids: 3, 1,2, 0-5, 1,4-6, or all: every servo that answers a scan of ids\n" +
           range_text(kIdRange) + " (the chain's last scan, or one made when all is first used).\n";
}

// The overview's usage line, followed by the list of commands.
class OverviewFormatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App *, std::string) const override {
        return "Usage: zavctl [OPTIONS] COMMAND [ARGS]... [COMMAND [ARGS]...]...\n\n" + chain_text() + "\n" +
               command_list();
    }
};

// The global options, checked as they are parsed.
void add_global_options(CLI::App &app, Options &options) {
    app.add_option_function<std::string>(
           "--port",
           [&options](const std::string &text) {
               if (text.empty()) throw CLI::ValidationError("--port: name the serial device, e.g. /dev/ttyUSB0 or COM3");
               options.port = text;
           },
           "device: a serial port (/dev/ttyUSB0, COM3), sim:IDS (a simulated bus in the library, e.g.\n"
           "sim:0-5?latency_ms=16), replay:FILE (answers from a capture), tcp://HOST:PORT or\n"
           "rfc2217://HOST:PORT (a network serial bridge); options after '?' (README)")
        ->type_name("DEVICE");
    app.add_option_function<std::string>(
           "--baud",
           [&options](const std::string &text) {
               if (text == "auto")
                   throw CLI::ValidationError("--baud auto is spelled --find-baud: zavctl --port DEVICE scan --find-baud "
                                              "(or doctor --find-baud) tries the usual rates and the servos' rates");
               char *end = nullptr;
               const long long rate = std::strtoll(text.c_str(), &end, 10);
               if (text.empty() || *end != '\0' || rate <= 0 || rate > INT32_MAX)
                   throw CLI::ValidationError("--baud " + text + ": a baud rate is a positive whole number of bits per "
                                              "second, such as 115200 or 1000000");
               options.baud = static_cast<int32_t>(rate);
           },
           "baud rate (default " + std::to_string(kDefaultBaud) + ")")
        ->type_name("RATE");
    app.add_option("--timeout-offset", options.timeout_offset, "ms added to every reply time-out")
        ->capture_default_str()
        ->check(whole_number(0, INT32_MAX, "--timeout-offset"));
    app.add_flag("--no-echo", options.no_echo, "the line does not echo sent bytes back");
    app.add_flag("--sim", options.sim, "the simulated bus in the library: --port sim:IDS (IDS from --sim-ids)");
    app.add_option("--sim-ids", options.sim_ids, "servos on the simulated bus of --sim")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](std::string &text) {
                IdSelection ids;
                return parse_ids(text, ids) && !ids.all ? std::string() : "'" + text + "' is not a list of ids such as 0-5,9";
            },
            "IDS"));
    app.add_option("--capture", options.capture,
                   "record every byte sent and received to this pcap file, on any device (the capture= option;\n"
                   "open it with tools/wireshark/zavbus.lua, play it back with --port replay:FILE)")
        ->type_name("FILE");
}

// The option of app that a word names (--name or --name=value), if any.
const CLI::Option *option_named(const CLI::App &app, const std::string &word) {
    if (word.size() < 2 || word[0] != '-') return nullptr;
    return app.get_option_no_throw(word.substr(0, word.find('=')));
}

bool takes_value(const CLI::Option *option, const std::string &word) {
    return option->get_items_expected_max() > 0 && word.find('=') == std::string::npos;
}

// One command of the chain: its parser, the words given to it and its run.
struct Step {
    const CommandEntry *entry = nullptr;
    std::unique_ptr<CLI::App> app;
    std::vector<std::string> words;
    Run run;
};

Step make_step(const CommandEntry &entry) {
    Step step;
    step.entry = &entry;
    step.app = std::make_unique<CLI::App>(entry.summary, "zavctl " + entry.name);
    step.app->footer("Example:\n  " + entry.example +
                     "\n\nGlobal options (--port, --baud, --sim, ...) may come before or after the command; "
                     "zavctl --help lists them and the exit status.\n");
    step.run = entry.define(*step.app);
    return step;
}

int usage(const std::string &message) {
    std::fprintf(stderr, "zavctl: %s\n", message.c_str());
    return kExitUsage;
}

// CLI11 parses a vector given last word first.
void parse(CLI::App &app, std::vector<std::string> words) {
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    app.parse(reversed);
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    CLI::App app{"zavctl: drive serial-bus servos through zavlib.", "zavctl"};
    app.formatter(std::make_shared<OverviewFormatter>());
    app.set_version_flag("--version", "zavctl " ZAV_VERSION);
    app.footer(std::string(kExitStatusText) +
               "\nExamples:\n"
               "  zavctl --sim scan\n\n"
               "  zavctl --port /dev/ttyUSB0 move 1,2 4000 watch 1,2 --until-arrived read 1 present\n\n"
               "  zavctl --sim sync 1=4000 2=9000 ping 1 ping 2\n"
               "\nzavctl COMMAND --help shows a command's arguments and an example.");
    add_global_options(app, options);

    if (argc < 2) {
        std::fprintf(stderr, "zavctl: name a command.\n\n%s\nzavctl --help says more.\n", command_list().c_str());
        return kExitUsage;
    }

    // Split the words into the global options and the chain of commands. A
    // word that names a command starts the next one, unless it is the value
    // of the option before it.
    std::vector<std::string> global_words;
    std::vector<Step> chain;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const bool help = word == "--help" || word == "-h";
        if (help && !chain.empty()) {
            chain.back().words.push_back(word);
            continue;
        }
        if (const CLI::Option *global = option_named(app, word); global != nullptr || help) {
            global_words.push_back(word);
            if (global != nullptr && takes_value(global, word) && i + 1 < argc) global_words.emplace_back(argv[++i]);
            continue;
        }
        if (const CommandEntry *entry = find_command(word)) {
            chain.push_back(make_step(*entry));
            continue;
        }
        if (chain.empty()) {
            std::fprintf(stderr, "zavctl: '%s' is not %s.\n\n%s\nzavctl --help says more.\n", word.c_str(),
                         word[0] == '-' ? "a global option" : "a command", command_list().c_str());
            return kExitUsage;
        }
        Step &step = chain.back();
        step.words.push_back(word);
        if (const CLI::Option *own = option_named(*step.app, word); own != nullptr && takes_value(own, word) && i + 1 < argc)
            step.words.emplace_back(argv[++i]);
    }

    try {
        parse(app, global_words);
    } catch (const CLI::CallForVersion &e) {
        std::printf("%s\n", e.what());
        return kExitOk;
    } catch (const CLI::Success &) {
        std::printf("%s", app.help().c_str());
        return kExitOk;
    } catch (const CLI::ParseError &e) {
        return usage(std::string(e.what()) + " (zavctl --help lists the global options)");
    }
    if (chain.empty()) {
        std::fprintf(stderr, "zavctl: name a command.\n\n%s\nzavctl --help says more.\n", command_list().c_str());
        return kExitUsage;
    }

    bool needs_port = false;
    for (Step &step : chain) {
        try {
            parse(*step.app, step.words);
        } catch (const CLI::Success &) {
            std::printf("%s", step.app->help().c_str());
            return kExitOk;
        } catch (const CLI::ParseError &e) {
            std::fprintf(stderr, "zavctl %s: %s\nzavctl %s --help shows its arguments and an example.\n",
                         step.entry->name.c_str(), e.what(), step.entry->name.c_str());
            return kExitUsage;
        }
        needs_port = needs_port || step.entry->opens_port;
    }

    Session session(options);
    if (needs_port) {
        if (const int status = session.open(); status != kExitOk) return status;
    }
    int status = kExitOk;
    for (Step &step : chain) {
        status = step.run(session);
        if (status != kExitOk) break;
    }
    // Closing checks the capture and reports on a replay, also after a failure.
    const int closed = session.close();
    return status != kExitOk ? status : closed;
}
