// The unit tests' device: the in-process line of the sim: devices
// (sim_line.h) with the servo model answering, wrapped so that a test sees
// every operation (bytes written, time-outs asked for, purges) and can make
// any of them fail, all on a virtual clock that only the tests and the
// line's waits move. It takes the serial backend's place in the unit tests'
// build: every name without a registered scheme ("COM1") opens one of the
// devices added here, and the registered schemes (sim:, replay:, capture=)
// work as in the library, on the same virtual clock.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "servo_bus.h"
#include "sim_line.h"

namespace membus {

enum class Op { kOpen, kConfigure, kChangeBaud, kQuery, kPurgeReceive, kPurgeBoth, kPurgeAbortAll, kClearErrors, kWrite, kRead, kClose };

struct Event {
    Op op;
    std::vector<uint8_t> bytes; // kWrite: bytes written; kRead: bytes delivered
    uint32_t requested = 0;     // kRead
    uint32_t timeout_ms = 0;    // kRead
    uint32_t baud = 0;          // kConfigure, kChangeBaud
};

struct Device {
    std::string name;
    bool open = false;
    uint32_t baud = 0; // as last accepted

    // Failures a test can inject.
    bool fail_configure = false;
    bool fail_change_baud = false;
    bool fail_get_settings = false; // settings cannot be read (query and change_baud)
    bool fail_write = false;
    bool fail_read = false;

    std::vector<Event> events;
    zavsim::ServoBus *bus = nullptr; // answers what is written, when set
    // Answers what is written instead of bus, when set: it may deliver() bytes
    // or set hang_up_at_ms, and returns false to make the write fail.
    std::function<bool(Device &, const uint8_t *data, uint32_t count)> far_end;

    // From this virtual time on the far end is gone, as a pseudo-terminal
    // whose other side closed or an adapter pulled out: bytes not yet read are
    // lost, a read ends at once, writes and settings calls fail.
    double hang_up_at_ms = std::numeric_limits<double>::infinity();
    bool hung_up() const;

    // Bytes for the host, arriving after delay_ms.
    void deliver(const std::vector<uint8_t> &bytes, double delay_ms = 0.0);
    // Packets written, in order.
    std::vector<std::vector<uint8_t>> writes() const;
    // Read requests (echo read-backs and replies), in order.
    std::vector<Event> reads() const;
    size_t count(Op op) const;
    void clear_log() { events.clear(); }

    // The line the host reads from, with bus on its far end.
    std::unique_ptr<zavsim::SimLine> line;
};

// Forget every device and set the clock to 0.
void reset();
Device &add_device(const std::string &name, zavsim::ServoBus *bus = nullptr);
Device *find_device(const std::string &name);

double now_ms();
void advance_ms(double ms);

constexpr int64_t kCounterFrequency = 10000000; // ticks per second of the virtual counter
// The virtual wall clock, for capture files: this many ns at virtual time 0.
constexpr int64_t kWallClockOriginNs = 1700000000LL * 1000000000;

} // namespace membus
