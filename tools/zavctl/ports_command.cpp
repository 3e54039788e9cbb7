// zavctl ports: this machine's serial ports (ports.h). It opens no port, so
// it runs without --port and anywhere in a chain.
#include "command.h"
#include "ports.h"

namespace zavctl {

namespace {

const CommandRegistration kPorts{
    {"ports", Group::kLine,
     "list this machine's serial ports: the name to give --port, what each is, whether it is in use; the simulated "
     "bus last",
     "zavctl ports --json",
     [](CLI::App &app) -> Run {
         auto options = state<PortsOptions>();
         app.add_flag("--json", options->json, "print the list as one JSON object");
         app.add_flag("--all", options->all, "also list pseudo-terminals, with the program holding each one's far end");
         return [options](Session &) { return run_ports(*options); };
     },
     false}};

} // namespace

} // namespace zavctl
