#include "memory_bus.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "device.h"
#include "platform.h"

namespace membus {

namespace {

std::vector<std::unique_ptr<Device>> &devices() {
    static std::vector<std::unique_ptr<Device>> all;
    return all;
}

double clock_ms = 0.0;

} // namespace

void Device::deliver(const std::vector<uint8_t> &bytes, double delay_ms) {
    line->emit(clock_ms + delay_ms, bytes.data(), bytes.size());
}

bool Device::hung_up() const { return clock_ms >= hang_up_at_ms; }

std::vector<std::vector<uint8_t>> Device::writes() const {
    std::vector<std::vector<uint8_t>> out;
    for (const Event &e : events)
        if (e.op == Op::kWrite) out.push_back(e.bytes);
    return out;
}

std::vector<Event> Device::reads() const {
    std::vector<Event> out;
    for (const Event &e : events)
        if (e.op == Op::kRead) out.push_back(e);
    return out;
}

size_t Device::count(Op op) const {
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [op](const Event &e) { return e.op == op; }));
}

void reset() {
    devices().clear();
    clock_ms = 0.0;
}

Device &add_device(const std::string &name, zavsim::ServoBus *bus) {
    devices().push_back(std::make_unique<Device>());
    Device &device = *devices().back();
    device.name = name;
    device.bus = bus;
    device.line = std::make_unique<zavsim::SimLine>(bus);
    return device;
}

Device *find_device(const std::string &name) {
    for (auto &d : devices())
        if (d->name == name) return d.get();
    return nullptr;
}

double now_ms() { return clock_ms; }
void advance_ms(double ms) { clock_ms += ms; }

} // namespace membus

// The test device as the serial backend of the unit tests' build.
namespace device {

namespace {

using membus::Event;
using membus::Op;

struct MemoryPort {
    Head head;
    membus::Device *device;
};

membus::Device &device_of(Device handle) { return *record_of<MemoryPort>(handle)->device; }

// The line learns of a hang-up a test set on the device.
zavsim::SimLine &line_of(membus::Device &device) {
    device.line->hang_up_at(device.hang_up_at_ms);
    return *device.line;
}

void set_rate(membus::Device &device, uint32_t baud) {
    device.baud = baud;
    line_of(device).set_baud(baud);
}

bool configure_memory(Device handle, uint32_t baud) {
    membus::Device &device = device_of(handle);
    device.events.push_back({Op::kConfigure, {}, 0, 0, baud});
    if (device.fail_configure || device.hung_up()) return false;
    set_rate(device, baud);
    return true;
}

bool change_memory_baud(Device handle, uint32_t baud) {
    membus::Device &device = device_of(handle);
    if (device.fail_get_settings || device.hung_up()) return false;
    device.events.push_back({Op::kChangeBaud, {}, 0, 0, baud});
    if (device.fail_change_baud) return false;
    set_rate(device, baud);
    return true;
}

bool query_memory(Device handle) {
    membus::Device &device = device_of(handle);
    device.events.push_back({Op::kQuery, {}, 0, 0, 0});
    return !device.fail_get_settings && !device.hung_up();
}

void purge_memory(Device handle, Purge what) {
    membus::Device &device = device_of(handle);
    const Op op = what == Purge::kReceive ? Op::kPurgeReceive : what == Purge::kBoth ? Op::kPurgeBoth : Op::kPurgeAbortAll;
    device.events.push_back({op, {}, 0, 0, 0});
    line_of(device).purge();
}

void clear_memory_errors(Device handle) { device_of(handle).events.push_back({Op::kClearErrors, {}, 0, 0, 0}); }

bool write_memory(Device handle, const uint8_t *data, uint32_t count) {
    membus::Device &device = device_of(handle);
    device.events.push_back({Op::kWrite, std::vector<uint8_t>(data, data + count), 0, 0, 0});
    if (device.fail_write || device.hung_up()) return false;
    if (device.far_end) return device.far_end(device, data, count);
    return line_of(device).host_write(data, count);
}

bool read_memory(Device handle, uint8_t *buffer, uint32_t count, uint32_t *got, uint32_t timeout_ms) {
    membus::Device &device = device_of(handle);
    Event event{Op::kRead, {}, count, timeout_ms, 0};
    bool ok = true;
    if (device.fail_read) {
        *got = 0;
        ok = false;
    } else {
        line_of(device).read(buffer, count, got, timeout_ms);
        event.bytes.assign(buffer, buffer + *got);
    }
    device.events.push_back(event);
    return ok;
}

void close_memory(Device handle) {
    membus::Device &device = device_of(handle);
    device.events.push_back({Op::kClose, {}, 0, 0, 0});
    device.open = false;
    device.line->clear();
    delete record_of<MemoryPort>(handle);
}

const Methods kMemoryMethods = {configure_memory,    change_memory_baud, query_memory, purge_memory,
                                clear_memory_errors, write_memory,       read_memory,  close_memory};

Device open_memory(const char *name, const Options &) {
    membus::Device *device = membus::find_device(name);
    if (device == nullptr || device->open) return kInvalidDevice; // missing, or held exclusively
    auto *port = new (std::nothrow) MemoryPort{{&kMemoryMethods}, device};
    if (port == nullptr) return kInvalidDevice;
    device->open = true;
    device->events.push_back({Op::kOpen, {}, 0, 0, 0});
    return as_device(port);
}

} // namespace

extern const Backend serial_backend = {nullptr, nullptr, open_memory};

} // namespace device

// The process's services on the virtual clock.
namespace platform {

static_assert(sizeof(std::recursive_mutex) <= sizeof(Lock::storage), "lock storage too small");
static_assert(alignof(std::recursive_mutex) <= alignof(Lock), "lock storage not aligned enough");

// Through void*: the storage is aligned for the mutex (above), which a direct
// cast from unsigned char* cannot know.
static std::recursive_mutex *mutex_of(Lock *lock) {
    return std::launder(static_cast<std::recursive_mutex *>(static_cast<void *>(lock->storage)));
}

void lock_init(Lock *lock) { new (lock->storage) std::recursive_mutex; }
void lock_enter(Lock *lock) { mutex_of(lock)->lock(); }
void lock_leave(Lock *lock) { mutex_of(lock)->unlock(); }
void lock_destroy(Lock *lock) { mutex_of(lock)->~recursive_mutex(); }

int64_t counter_frequency() { return membus::kCounterFrequency; }
int64_t counter_now() { return static_cast<int64_t>(membus::clock_ms * (membus::kCounterFrequency / 1000)); }

double monotonic_ms() { return membus::clock_ms; }
// Waiting is moving the clock: a read to its deadline costs no real time.
void sleep_until_ms(double deadline_ms) { membus::clock_ms = std::max(membus::clock_ms, deadline_ms); }
int64_t wall_clock_ns() { return membus::kWallClockOriginNs + static_cast<int64_t>(membus::clock_ms * 1e6); }

} // namespace platform

__attribute__((constructor)) static void memory_bus_on_load() { zav_library_load(); }
