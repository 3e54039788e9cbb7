// A simulated servo bus on the far end of a real serial device, for tests that
// run the library's real backend. On Linux the device is a pseudo-terminal; on
// Windows (under Wine) it is a COM port joined to a second one that the
// simulator holds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bus_runner.h"
#include "servo_bus.h"

class BusHarness {
public:
    virtual ~BusHarness() = default;
    // The device name to give ZAV_OpenPort.
    virtual std::string port_name() const = 0;
    virtual zavsim::BusRunner &runner() = 0;
    // Call before each open of port_name(): puts the line in a state the next
    // open can configure (needed where the port is an emulated one).
    virtual void ready_for_open() {}

    template <class F> auto with_bus(F f) { return runner().with_bus(f); }
};

// Empty when no bus can be set up here (the reason goes to standard error).
std::unique_ptr<BusHarness> make_harness(const zavsim::BusOptions &options = {});

// A loaded machine can hold the simulator's thread back for tens of
// milliseconds: past the library's fixed 50 ms echo limit (a late echo is then
// read as the reply) and past the default 20 ms reply offset. Tests whose
// subject is not that timing run a steady line: a bus without echo, echo
// cancellation off (ZAV_SetEchoCancel(0)) and a generous reply offset.
inline zavsim::BusOptions steady_bus() {
    zavsim::BusOptions options;
    options.echo = false;
    return options;
}
constexpr int32_t kSteadyReplyOffsetMs = 1000;
