// zavctl doctor: what the line does and what to change. It opens nothing of
// its own: it drives the open port through the library's public functions and
// reads the device's settings from the operating system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zavlib.h"

namespace zavctl {

// The open port and the settings the session applied to it.
struct PortContext {
    PortHandle port = nullptr;
    std::string device;     // the device name without its options (--sim: sim:IDS)
    int32_t baud = 115200;
    uint32_t reply_timeout_ms = 20; // of a position exchange, as the library computes it
    bool no_echo = false;
    bool simulated = false; // sim: or replay:, not a line
};

struct DoctorOptions {
    std::vector<int> ids;   // servos that should answer; empty: look for any
    int count = 300;        // timed exchanges
    bool find_baud = false;
    bool json = false;
};

// Runs the checks and prints the report; 0 when nothing needs attention.
int run_doctor(const PortContext &context, const DoctorOptions &options);

// Where servos answer: tries the usual rates and the servos' own, one short
// exchange per id, then puts the port back at context.baud.
struct RateResult {
    uint32_t baud = 0;
    bool accepted = true;   // the adapter took the rate
    std::vector<int> answering;
};
std::vector<RateResult> probe_rates(const PortContext &context, const std::vector<int> &ids);

// zavctl scan --find-baud: prints probe_rates as a table.
int scan_all_rates(const PortContext &context);

} // namespace zavctl
