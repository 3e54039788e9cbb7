// One line of a bus trace: time, direction, bytes, meaning.
#pragma once

#include <string>

#include "servo_bus.h"

namespace zavsim {

std::string format_trace(const TraceEvent &event, double origin_ms);

} // namespace zavsim
