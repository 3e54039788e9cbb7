// Commands that change a running simulated bus, one a line (zavsim --commands):
//   silent IDS   the servos stop answering, as if unplugged
//   answer IDS   they answer again (any fault is cleared)
//   turn IDS POSITION   a hand turns them there (a servo that holds torque
//                       goes back to its goal at its speed)
#pragma once

#include <string>

#include "servo_bus.h"

namespace zavsim {

// Applies one command line; true with a confirmation, or false with the reason.
bool apply_bus_command(ServoBus &bus, const std::string &line, std::string &reply);

} // namespace zavsim
