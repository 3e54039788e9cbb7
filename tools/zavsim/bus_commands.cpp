#include "bus_commands.h"

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace zavsim {

namespace {

// The largest position the reply's two 7-bit bytes carry.
constexpr long kLargestPosition = (1 << 14) - 1;

} // namespace

bool apply_bus_command(ServoBus &bus, const std::string &line, std::string &reply) {
    std::istringstream words(line);
    std::string verb, ids_text, value_text, extra;
    words >> verb >> ids_text >> value_text >> extra;
    const bool turn = verb == "turn";
    std::vector<int> ids;
    if ((verb != "silent" && verb != "answer" && !turn) || (turn ? value_text.empty() : !value_text.empty()) ||
        !extra.empty()) {
        reply = "unknown command '" + line + "' (silent IDS, answer IDS, turn IDS POSITION)";
        return false;
    }
    if (!parse_id_list(ids_text, ids)) {
        reply = "'" + ids_text + "' is not a list of ids 0 to " + std::to_string(ZAV_ID_MAX) + " such as 0-5,9";
        return false;
    }
    if (turn) {
        char *end = nullptr;
        const long position = std::strtol(value_text.c_str(), &end, 10);
        if (*end != '\0' || position < 0 || position > kLargestPosition) {
            reply = "'" + value_text + "' is not a position 0 to " + std::to_string(kLargestPosition);
            return false;
        }
        for (int id : ids) bus.servo(id).position = static_cast<double>(position);
        reply = "servos " + ids_text + " turned to " + value_text + " by hand";
        return true;
    }
    for (int id : ids) bus.servo(id).fault = verb == "silent" ? Fault::silent() : Fault{};
    reply = "servos " + ids_text + (verb == "silent" ? " are silent" : " answer again");
    return true;
}

} // namespace zavsim
