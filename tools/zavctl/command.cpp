#include "command.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "facts.h"

namespace zavctl {

namespace {

// Filled by the static CommandRegistration objects before main runs; a
// function-local static, so that the order of their files does not matter.
std::vector<CommandEntry> &table() {
    static std::vector<CommandEntry> entries;
    return entries;
}

const char *group_title(Group group) {
    switch (group) {
    case Group::kServos: return "Servos";
    case Group::kLine: return "The line";
    case Group::kMotion: return "Motion";
    case Group::kOther: return "Other";
    }
    return "Other";
}

// A whole decimal number; false for anything else ("010" is ten).
bool parse_long(const std::string &text, long &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && !std::isspace(static_cast<unsigned char>(text[0]));
}

} // namespace

CommandRegistration::CommandRegistration(CommandEntry entry) { table().push_back(std::move(entry)); }

std::vector<const CommandEntry *> commands() {
    std::vector<const CommandEntry *> out;
    for (const CommandEntry &c : table()) out.push_back(&c);
    std::sort(out.begin(), out.end(), [](const CommandEntry *a, const CommandEntry *b) {
        return a->group != b->group ? a->group < b->group : a->name < b->name;
    });
    return out;
}

const CommandEntry *find_command(const std::string &name) {
    for (const CommandEntry &c : table()) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

std::string command_list() {
    std::string out;
    bool first = true;
    Group group = Group::kOther;
    for (const CommandEntry *c : commands()) {
        if (first || c->group != group) {
            out += std::string(first ? "" : "\n") + group_title(c->group) + ":\n";
            group = c->group;
            first = false;
        }
        std::string line = "  " + std::string(c->name);
        line.resize(std::max<std::size_t>(line.size() + 1, 12), ' ');
        out += line + c->summary + "\n";
    }
    return out;
}

bool parse_ids(const std::string &text, IdSelection &selection) {
    selection = IdSelection{};
    if (text == "all") {
        selection.all = true;
        return true;
    }
    bool present[kIdMax + 1] = {};
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find(',', at);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(at, end - at);
        const std::size_t dash = part.find('-', 1);
        long first = 0;
        long last = 0;
        if (dash == std::string::npos) {
            if (!parse_long(part, first)) return false;
            last = first;
        } else if (!parse_long(part.substr(0, dash), first) || !parse_long(part.substr(dash + 1), last)) {
            return false;
        }
        if (!contains(kIdRange, first) || !contains(kIdRange, last) || first > last) return false;
        for (long id = first; id <= last; ++id) present[id] = true;
        at = end + 1;
    }
    for (int id = 0; id <= kIdMax; ++id) {
        if (present[id]) selection.ids.push_back(id);
    }
    return !selection.ids.empty();
}

std::string id_list_text(const std::vector<int> &ids) {
    std::string out;
    for (int id : ids) out += (out.empty() ? "" : ",") + std::to_string(id);
    return out;
}

CLI::Option *add_ids(CLI::App &app, const std::string &name, IdSelection &selection, const std::string &help) {
    return app
        .add_option_function<std::string>(
            name,
            [&selection](const std::string &text) {
                if (!parse_ids(text, selection))
                    throw CLI::ValidationError("'" + text + "' is not a servo id " + range_text(kIdRange) +
                                               ", a list such as 1,2 or 0-5, or 'all'");
            },
            help + " (e.g. 3, 1,2, 0-5 or all)")
        ->type_name("IDS");
}

CLI::Validator whole_number(long min, long max, const std::string &what) {
    return CLI::Validator(
        [min, max, what](std::string &text) -> std::string {
            long value = 0;
            if (!parse_long(text, value)) return "'" + text + "' is not a whole number";
            if (value < min || value > max)
                return what + " takes " + std::to_string(min) + " to " + std::to_string(max) + ", not " + text;
            return {};
        },
        std::to_string(min) + ".." + std::to_string(max));
}

} // namespace zavctl
