#include "bus_commands.h"

#include <sstream>
#include <string>
#include <vector>

namespace zavsim {

bool apply_bus_command(ServoBus &bus, const std::string &line, std::string &reply) {
    std::istringstream words(line);
    std::string verb, ids_text, extra;
    words >> verb >> ids_text >> extra;
    std::vector<int> ids;
    if ((verb != "silent" && verb != "answer") || !extra.empty()) {
        reply = "unknown command '" + line + "' (silent IDS, answer IDS)";
        return false;
    }
    if (!parse_id_list(ids_text, ids)) {
        reply = "'" + ids_text + "' is not a list of ids 0 to " + std::to_string(ZAV_ID_MAX) + " such as 0-5,9";
        return false;
    }
    for (int id : ids) bus.servo(id).fault = verb == "silent" ? Fault::silent() : Fault{};
    reply = "servos " + ids_text + (verb == "silent" ? " are silent" : " answer again");
    return true;
}

} // namespace zavsim
