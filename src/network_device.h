// Serial lines behind a network bridge.
//
//   tcp://HOST:PORT       the raw byte stream of a serial bridge (ser2net's raw
//                         mode, Wi-Fi serial bridges). The line settings live on
//                         the bridge: a rate change is kept by the library (it
//                         sets the reply time-outs) and not sent.
//   rfc2217://HOST:PORT   Telnet with the COM-PORT-OPTION: the open negotiates
//                         the option and sets the bus's line settings (the rate,
//                         8 data bits, even parity, one stop bit, no flow
//                         control, DTR on, RTS off); a rate change is sent and
//                         succeeds once the bridge confirms it; purges are sent
//                         as PURGE-DATA. 0xFF data bytes are doubled on the way
//                         out and undoubled on the way in.
//
// HOST is a name, an IPv4 address or an IPv6 address in brackets
// (`tcp://[::1]:2000`); PORT is 1 to 65535. Option:
//   timeout_ms=N          bound of the open (connect, and for rfc2217 the
//                         negotiation and the line settings) and of a rate
//                         change's answer; default 2000, 1 to 60000.
//
// Meanings on a network line: line errors do not exist (clearing them does
// nothing); a purge drops what has arrived and not been read; the line is
// active while the connection is up. A connection that ends or fails makes
// every later read, write and rate change fail at once.
#pragma once

#include <cstdint>

namespace netdev {

enum class Kind { kTcp, kRfc2217 };

struct NetworkDevice;

// Connects (and for rfc2217 negotiates) within the name's bound; nullptr when
// the name is malformed, nothing answers in time, or the server refuses.
// address is what follows "tcp://" or "rfc2217://".
NetworkDevice *open(Kind kind, const char *address);
bool configure(NetworkDevice *device, std::uint32_t baud);
bool change_baud(NetworkDevice *device, std::uint32_t baud);
bool query(NetworkDevice *device);
enum class Purge { kReceive, kBoth, kAbortAll };
// Drops the bytes that have arrived and not been read. rfc2217 sends kBoth and
// kAbortAll on to the bridge as PURGE-DATA, and kBoth waits (up to the
// time-out) for the bridge's answer: ser2net holds data that reaches it right
// behind a PURGE-DATA for some 40 ms. So the receive purge before every packet
// stays local: the bytes it is meant to drop are those already arrived.
void purge(NetworkDevice *device, Purge what);
bool write(NetworkDevice *device, const std::uint8_t *data, std::uint32_t count);
bool read(NetworkDevice *device, std::uint8_t *buffer, std::uint32_t count, std::uint32_t *got,
          std::uint32_t timeout_ms);
void close(NetworkDevice *device);

} // namespace netdev
