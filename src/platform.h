// The narrow interface between the library core and one operating system.
// Each backend (platform_posix.cpp, platform_win.cpp, and the in-memory bus of
// the unit tests) implements exactly these operations; the core includes no
// operating-system header.
#pragma once

#include <cstdint>

namespace platform {

// An open serial device. kInvalidDevice (all bits set) means "none".
using Device = std::intptr_t;
constexpr Device kInvalidDevice = -1;

// Open a serial device by name for exclusive read/write use.
// Returns kInvalidDevice when it cannot be opened (or is held by someone).
Device open_device(const char *name);

// Put a freshly opened device into the bus's line settings: all time-outs 0,
// no event notifications, 8 data bits, even parity, one stop bit, no flow
// control, DTR on, RTS off, at baud. Every setting is attempted; the result
// is true only if all of them were accepted.
bool configure(Device device, std::uint32_t baud);

// Read the current line settings, replace the baud rate and write them back.
// False (and nothing written) when the current settings cannot be read.
bool change_baud(Device device, std::uint32_t baud);

// True when the device's current line settings can be read.
bool query(Device device);

enum class Purge {
    kReceive,  // drop the receive queue
    kBoth,     // drop both queues
    kAbortAll, // abort pending operations and drop both queues
};
void purge(Device device, Purge what);

// Clear any pending line-error state (the flags are read and ignored).
void clear_line_errors(Device device);

// Write all count bytes in one call. False when the write failed.
bool write(Device device, const std::uint8_t *data, std::uint32_t count);

// Read count bytes, returning as soon as they are all in and never waiting past
// timeout_ms (a total time-out, no inter-byte time-out). *got receives the
// number read. False only when the read itself failed; a short read that ran
// into the time-out is a success with *got < count.
bool read(Device device, std::uint8_t *buffer, std::uint32_t count, std::uint32_t *got,
          std::uint32_t timeout_ms);

void close_device(Device device);

// Recursive lock, stored inside the port record.
struct Lock {
    alignas(16) unsigned char storage[64];
};
void lock_init(Lock *lock);
void lock_enter(Lock *lock);
void lock_leave(Lock *lock);
void lock_destroy(Lock *lock);

// High-resolution monotonic counter and its ticks per second.
std::int64_t counter_frequency();
std::int64_t counter_now();

} // namespace platform

// Each backend calls the core's load and unload hooks (zavlib_internal.h) when
// the library is loaded into and unloaded from the process.
#include "zavlib_internal.h"
