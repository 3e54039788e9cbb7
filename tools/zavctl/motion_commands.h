// `zavctl play` and `zavctl record`: motions from the command line, through
// the motion engine (tools/motion).
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <utility>
#include <vector>

#include "doctor.h"

namespace zavctl {

using PortAction = std::function<int(const PortContext &)>;

// Adds the subcommands to app, each with what it runs once the port is open.
void add_motion_commands(CLI::App &app, std::vector<std::pair<const CLI::App *, PortAction>> &actions);

} // namespace zavctl
