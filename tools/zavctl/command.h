// zavctl's table of commands. Each command is one entry (its name, what it
// does, an example, its options and its run), registered from the file that
// implements it:
//
//     const zavctl::CommandRegistration kPing{{"ping", zavctl::Group::kServos,
//         "ping servos", "zavctl --sim ping 3", [](CLI::App &app) -> zavctl::Run { ... }}};
//
// main.cpp splits the command line into a chain of commands (any of them may
// repeat), parses every one of them before the port opens, then runs them in
// order on one open port.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "exit_codes.h"

namespace zavctl {

class Session;

// What a parsed command does once the port is open; returns an ExitCode.
using Run = std::function<int(Session &)>;

enum class Group { kServos, kLine, kMotion, kOther };

struct CommandEntry {
    std::string name;
    Group group;
    std::string summary; // one line, for the list of commands
    std::string example; // a whole command line, shown by COMMAND --help
    // Adds the command's arguments and options to app and returns its run,
    // which reads what the parse stored. Arguments are checked during the
    // parse (throw CLI::ValidationError), so that a mistake anywhere in a
    // chain stops it before anything is sent. A command's options must not
    // reuse a global option's name (--port, --baud, ...): those are global
    // wherever they are written.
    std::function<Run(CLI::App &)> define;
    bool opens_port = true; // false: runs without the port (the port is not opened for it)
};

// Adds a command to the table; one static instance per command.
struct CommandRegistration {
    explicit CommandRegistration(CommandEntry entry);
};

// The table, in the order zavctl lists it (by group, then by name).
std::vector<const CommandEntry *> commands();
const CommandEntry *find_command(const std::string &name);

// "Servos:\n  move      ...\n" for zavctl --help and for a missing or
// unknown command.
std::string command_list();

// --- Servo ids, as every command takes them -------------------------------

// "3", "1,2", "0-5", "1,4-6" or "all": every servo that answers a scan of all
// ids (the chain's earlier scan, or one made when first needed).
struct IdSelection {
    bool all = false;
    std::vector<int> ids; // ascending, without repeats, when not all
};

// Parses an id list; false for anything else (ids are those of kIdRange).
bool parse_ids(const std::string &text, IdSelection &selection);
// "1,2,5"
std::string id_list_text(const std::vector<int> &ids);

// Adds a positional IDS argument that is checked during the parse.
CLI::Option *add_ids(CLI::App &app, const std::string &name, IdSelection &selection, const std::string &help);

// A value checked during the parse: a whole number from min to max, with the
// range named in the message.
CLI::Validator whole_number(long min, long max, const std::string &what);

// For values that need the parse's results, as a run closure does.
template <class T> std::shared_ptr<T> state() { return std::make_shared<T>(); }

} // namespace zavctl
