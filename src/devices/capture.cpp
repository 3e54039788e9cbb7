// capture=FILE, on any device: a layer around the device that records every
// chunk written and read, with its time and the rate in force, in a capture
// file (capture_file.h) that tools/wireshark/zavbus.lua decodes.
//
//   COM3?capture=bus.pcap   /dev/ttyUSB0?capture=bus.pcap   sim:0-5?capture=bus.pcap
//
// The file is created (or emptied) at open; when it cannot be, the open
// fails. A write to it that fails later (a full disk) stops the recording and
// nothing else: the device goes on, and the file then lacks the note that
// ends a whole capture (capture_file.h), which is how a program tells. The
// record shows what the host's calls saw: bytes that a purge drops before
// they are read are not in it.
#include <new>

#include "capture_file.h"
#include "device.h"
#include "platform.h"

namespace device {

namespace {

extern const Methods kCaptureMethods;

struct Capture {
    Head head{&kCaptureMethods};
    Device inner = kInvalidDevice;
    capture::Writer file;
    platform::Lock lock;
    uint32_t baud = 0;
    // The wall clock read once at open, and the monotonic clock after it.
    int64_t origin_wall_ns = 0;
    double origin_ms = 0.0;
};

Capture *capture_of(Device device) { return record_of<Capture>(device); }

void note(Capture *c, capture::Direction direction, const uint8_t *bytes, uint32_t n) {
    if (n == 0) return;
    const int64_t wall = c->origin_wall_ns + static_cast<int64_t>((platform::monotonic_ms() - c->origin_ms) * 1e6);
    platform::lock_enter(&c->lock);
    c->file.record(wall, direction, c->baud, bytes, n);
    platform::lock_leave(&c->lock);
}

bool set_rate(Capture *c, bool accepted, uint32_t baud) {
    if (accepted) {
        platform::lock_enter(&c->lock);
        c->baud = baud;
        platform::lock_leave(&c->lock);
    }
    return accepted;
}

bool configure_inner(Device device, uint32_t baud) {
    Capture *c = capture_of(device);
    return set_rate(c, configure(c->inner, baud), baud);
}

bool change_inner_baud(Device device, uint32_t baud) {
    Capture *c = capture_of(device);
    return set_rate(c, change_baud(c->inner, baud), baud);
}

bool query_inner(Device device) { return query(capture_of(device)->inner); }
void purge_inner(Device device, Purge what) { purge(capture_of(device)->inner, what); }
void clear_inner_errors(Device device) { clear_line_errors(capture_of(device)->inner); }

bool write_inner(Device device, const uint8_t *data, uint32_t count) {
    Capture *c = capture_of(device);
    const bool ok = write(c->inner, data, count);
    if (ok) note(c, capture::Direction::kHostToBus, data, count);
    return ok;
}

bool read_inner(Device device, uint8_t *buffer, uint32_t count, uint32_t *got, uint32_t timeout_ms) {
    Capture *c = capture_of(device);
    const bool ok = read(c->inner, buffer, count, got, timeout_ms);
    note(c, capture::Direction::kBusToHost, buffer, *got);
    return ok;
}

void close_capture(Device device) {
    Capture *c = capture_of(device);
    close(c->inner);
    c->file.close(c->origin_wall_ns + static_cast<int64_t>((platform::monotonic_ms() - c->origin_ms) * 1e6));
    platform::lock_destroy(&c->lock);
    delete c;
}

const Methods kCaptureMethods = {configure_inner,    change_inner_baud, query_inner, purge_inner,
                                 clear_inner_errors, write_inner,       read_inner,  close_capture};

} // namespace

Device capture_wrap(Device inner, const char *path) {
    auto *c = new (std::nothrow) Capture;
    if (c == nullptr || !c->file.open(path, 0)) {
        delete c;
        close(inner);
        return kInvalidDevice;
    }
    c->inner = inner;
    c->origin_wall_ns = platform::wall_clock_ns();
    c->origin_ms = platform::monotonic_ms();
    platform::lock_init(&c->lock);
    return as_device(c);
}

} // namespace device
