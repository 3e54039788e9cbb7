// The network far end of the fuzz target: the socket service (socket_io.h)
// replaced by bridges on the fuzz target's virtual clock, whose every move
// comes from the input. Port 1 is a raw bridge and port 2 a Telnet bridge with
// the COM-PORT-OPTION, each in front of its own simulated bus; any other port
// refuses. A bridge may answer as ser2net does, or cut its answers into pieces
// at any byte (a doubled 0xFF or an IAC sequence split across reads), slip in
// Telnet commands of its own, drop answers, hang up, or send without end.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

#include "servo_bus.h"

namespace fuzznet {

constexpr const char *kRawBridge = "tcp://bridge:1?timeout_ms=300";
constexpr const char *kTelnetBridge = "rfc2217://bridge:2?timeout_ms=300";
constexpr const char *kRefusingBridge = "rfc2217://bridge:3?timeout_ms=300";
constexpr double kBridgeTimeoutMs = 300.0;

// Starts a run: the input and the bus behind each bridge. Drops every connection.
void reset(FuzzedDataProvider *input, zavsim::ServoBus *raw_bus, zavsim::ServoBus *telnet_bus);
// Connections the library holds open now.
int open_connections();

} // namespace fuzznet
