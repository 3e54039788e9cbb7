// A simulated servo bus inside the library, on the calling thread.
//
//   sim:IDS[?echo=0|1&wire=0|1&latency_ms=N&silent=IDS]
//
// IDS lists the servos on the bus ("0-5", "1,3,9", "0-3,7"). Options:
//   echo=1        the line hands every packet back, as a one-wire line does
//                 (default); echo=0 for a line without echo
//   wire=0        echo and replies are there at once (default); wire=1 keeps
//                 their time on the wire at the port's rate (11 bits a byte),
//                 so that rates and time-outs behave as on a real line
//   latency_ms=N  hold every echo and reply back N ms (0 to 10000), as a USB
//                 adapter's latency timer does
//   silent=IDS    these servos never answer
//
// The servos are the model of servo_bus.h, with readings that follow their
// motion; each open makes a new bus with every servo at rest and released.
// A rate change is always accepted: the servos follow the port's rate (servo
// 0 answers 0x80 only at 115200, as real ones do), and with wire=1 the bytes
// take their time at it. The bus never hangs up, so query is always true;
// there are no line errors to clear, and nothing waits to be sent, so every
// purge drops the bytes that have arrived and keeps those still on their way.
#include <cstring>
#include <new>

#include "device.h"
#include "sim_line.h"

namespace device {

namespace {

extern const Methods kSimMethods;

struct SimBus {
    Head head{&kSimMethods};
    zavsim::ServoBus bus;
    zavsim::SimLine line{&bus};
};

SimBus *bus_of(Device device) { return record_of<SimBus>(device); }

constexpr uint32_t kLongestLatencyMs = 10000;

bool configure_bus(Device device, uint32_t baud) {
    bus_of(device)->line.set_baud(baud);
    return true;
}

bool query_bus(Device) { return true; }
void purge_bus(Device device, Purge) { bus_of(device)->line.purge(); }
void clear_errors(Device) {}

bool write_bus(Device device, const uint8_t *data, uint32_t count) {
    return bus_of(device)->line.host_write(data, count);
}

bool read_bus(Device device, uint8_t *buffer, uint32_t count, uint32_t *got, uint32_t timeout_ms) {
    bus_of(device)->line.read(buffer, count, got, timeout_ms);
    return true;
}

void close_bus(Device device) { delete bus_of(device); }

const Methods kSimMethods = {configure_bus, configure_bus, query_bus, purge_bus,
                             clear_errors,  write_bus,     read_bus,  close_bus};

Device open_bus(const char *address, const Options &options) {
    uint32_t present = 0;
    uint32_t silent = 0;
    bool echo = true;
    bool wire = false;
    uint32_t latency_ms = 0;
    const char *silent_list = options.find("silent");
    if (!zavsim::parse_id_mask(address, std::strlen(address), &present) ||
        (silent_list != nullptr && !zavsim::parse_id_mask(silent_list, std::strlen(silent_list), &silent)) ||
        !options.flag("echo", &echo) || !options.flag("wire", &wire) ||
        !options.number("latency_ms", kLongestLatencyMs, &latency_ms))
        return kInvalidDevice;

    auto *sim = new (std::nothrow) SimBus;
    if (sim == nullptr) return kInvalidDevice;
    zavsim::BusOptions &bus_options = sim->bus.options();
    bus_options.echo = echo;
    bus_options.wire_time = wire;
    bus_options.latency_ms = latency_ms;
    sim->bus.set_present_mask(present);
    for (int id = 0; id < zavsim::kServoCount; ++id) {
        zavsim::Servo &servo = sim->bus.servo(id);
        servo.dynamic_readings = true;
        if (((silent >> id) & 1u) != 0) servo.fault = zavsim::Fault::silent();
    }
    return as_device(sim);
}

const char *const kSimOptions[] = {"echo", "wire", "latency_ms", "silent", nullptr};

} // namespace

extern const Backend sim_backend = {"sim", kSimOptions, open_bus};

} // namespace device
