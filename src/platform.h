// The per-process services the library takes from the operating system:
// recursive locks, the clocks and a wait, and the load and unload hooks.
// Each build links exactly one implementation (platform_posix.cpp,
// platform_win.cpp, or the unit tests' virtual clock in
// tests/support/memory_bus.cpp). Devices are not here: they are a runtime
// table (device.h).
#pragma once

#include <cstdint>

namespace platform {

// Recursive lock, stored inside the record that owns it.
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

// The same monotonic clock in milliseconds, for devices that keep time
// themselves (the in-process ones).
double monotonic_ms();
// Returns once monotonic_ms() has reached deadline_ms: at once when it has
// already, otherwise as close after it as the system's timer allows.
void sleep_until_ms(double deadline_ms);

// Wall-clock time in nanoseconds since 1970-01-01 UTC, for capture files.
std::int64_t wall_clock_ns();

} // namespace platform

// Each implementation calls the core's load and unload hooks (zavlib_internal.h)
// when the library is loaded into and unloaded from the process.
#include "zavlib_internal.h"
