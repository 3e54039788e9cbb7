// TCP connections for the network devices: a connect bounded in time, and
// sends and waits bounded by deadlines. socket_posix.cpp implements it with
// POSIX sockets, socket_win.cpp with Winsock loaded on first use (so that the
// DLLs import nothing beyond KERNEL32 and the C runtime).
#pragma once

#include <cstddef>
#include <cstdint>

namespace netio {

using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;

// A monotonic clock in microseconds; every deadline below is on it.
std::int64_t now_us();

// Resolves host (a name, a dotted IPv4 address or an IPv6 address without
// brackets) and connects to its addresses in turn until one answers, within
// timeout_ms in all. The connection is non-blocking, with TCP_NODELAY and
// keep-alive probes. kNoSocket when no address answered in time.
// Name resolution is the system resolver's and follows its own time-outs.
Socket connect_tcp(const char *host, const char *port, std::uint32_t timeout_ms);

enum class Sent { kAll, kTimeout, kClosed };
// Sends all count bytes, waiting for room no later than the deadline.
Sent send_all(Socket socket, const std::uint8_t *data, std::size_t count, std::int64_t deadline_us);

// Waits until bytes (or the end of the connection) can be read, no later than
// the deadline; a deadline already passed still looks once. False on time-out.
bool wait_readable(Socket socket, std::int64_t deadline_us);

// Takes what has arrived without waiting: the byte count (> 0), 0 when
// nothing is there, -1 when the connection has ended or failed.
long receive_now(Socket socket, std::uint8_t *buffer, std::size_t capacity);

// True when the far end has closed or reset the connection. Reads nothing, so
// it may run beside a receive on another thread.
bool peer_closed(Socket socket);

void close_socket(Socket socket);

} // namespace netio
