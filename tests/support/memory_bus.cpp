#include "memory_bus.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "platform.h"

namespace membus {

namespace {

std::vector<std::unique_ptr<Device>> &devices() {
    static std::vector<std::unique_ptr<Device>> all;
    return all;
}

double clock_ms = 0.0;

Device *device_of(platform::Device handle) { return reinterpret_cast<Device *>(handle); }

void schedule(Device &device, const std::vector<uint8_t> &bytes, double at_ms) {
    for (uint8_t byte : bytes) {
        // Keep arrival order: a later emission never overtakes an earlier one.
        auto at = std::upper_bound(device.incoming.begin(), device.incoming.end(), at_ms,
                                   [](double t, const Device::Pending &p) { return t < p.at_ms; });
        device.incoming.insert(at, {at_ms, byte});
    }
}

} // namespace

void Device::deliver(const std::vector<uint8_t> &bytes, double delay_ms) {
    schedule(*this, bytes, clock_ms + delay_ms);
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

// The platform interface, served by the in-memory devices.
namespace platform {

using membus::Event;
using membus::Op;

platform::Device open_device(const char *name) {
    membus::Device *device = membus::find_device(name);
    if (device == nullptr || device->open) return kInvalidDevice; // missing, or held exclusively
    device->open = true;
    device->events.push_back({Op::kOpen, {}, 0, 0, 0});
    return reinterpret_cast<platform::Device>(device);
}

bool configure(platform::Device handle, uint32_t baud) {
    membus::Device *device = membus::device_of(handle);
    device->events.push_back({Op::kConfigure, {}, 0, 0, baud});
    if (device->fail_configure || device->hung_up()) return false;
    device->baud = baud;
    if (device->bus != nullptr) device->bus->options().baud = baud;
    return true;
}

bool change_baud(platform::Device handle, uint32_t baud) {
    membus::Device *device = membus::device_of(handle);
    if (device->fail_get_settings || device->hung_up()) return false;
    device->events.push_back({Op::kChangeBaud, {}, 0, 0, baud});
    if (device->fail_change_baud) return false;
    device->baud = baud;
    if (device->bus != nullptr) device->bus->options().baud = baud;
    return true;
}

bool query(platform::Device handle) {
    if (handle == kInvalidDevice) return false;
    membus::Device *device = membus::device_of(handle);
    device->events.push_back({Op::kQuery, {}, 0, 0, 0});
    return !device->fail_get_settings && !device->hung_up();
}

void purge(platform::Device handle, Purge what) {
    membus::Device *device = membus::device_of(handle);
    const Op op = what == Purge::kReceive ? Op::kPurgeReceive : what == Purge::kBoth ? Op::kPurgeBoth : Op::kPurgeAbortAll;
    device->events.push_back({op, {}, 0, 0, 0});
    // Bytes already in the queue go; bytes still on their way stay.
    while (!device->incoming.empty() && device->incoming.front().at_ms <= membus::clock_ms)
        device->incoming.pop_front();
}

void clear_line_errors(platform::Device handle) {
    membus::device_of(handle)->events.push_back({Op::kClearErrors, {}, 0, 0, 0});
}

bool write(platform::Device handle, const uint8_t *data, uint32_t count) {
    membus::Device *device = membus::device_of(handle);
    device->events.push_back({Op::kWrite, std::vector<uint8_t>(data, data + count), 0, 0, 0});
    if (device->fail_write || device->hung_up()) return false;
    if (device->far_end) return device->far_end(*device, data, count);
    if (device->bus != nullptr) {
        std::vector<zavsim::Emission> out;
        device->bus->receive(data, count, membus::clock_ms, out);
        for (const auto &e : out) membus::schedule(*device, e.bytes, e.at_ms);
    }
    return true;
}

bool read(platform::Device handle, uint8_t *buffer, uint32_t count, uint32_t *got, uint32_t timeout_ms) {
    membus::Device *device = membus::device_of(handle);
    Event event{Op::kRead, {}, count, timeout_ms, 0};
    if (device->fail_read) {
        *got = 0;
        device->events.push_back(event);
        return false;
    }
    // A hang-up ends the read early; the bytes still queued then are lost.
    if (device->hung_up()) device->incoming.clear();
    const double deadline = std::max(membus::clock_ms, std::min(membus::clock_ms + timeout_ms, device->hang_up_at_ms));
    double last_arrival = membus::clock_ms;
    uint32_t taken = 0;
    while (taken < count && !device->incoming.empty() && device->incoming.front().at_ms <= deadline &&
           device->incoming.front().at_ms < device->hang_up_at_ms) {
        last_arrival = std::max(last_arrival, device->incoming.front().at_ms);
        buffer[taken++] = device->incoming.front().byte;
        device->incoming.pop_front();
    }
    // The read returns the moment its bytes are in, or at its deadline.
    membus::clock_ms = taken == count ? last_arrival : deadline;
    if (device->hung_up()) device->incoming.clear();
    *got = taken;
    event.bytes.assign(buffer, buffer + taken);
    device->events.push_back(event);
    return true;
}

void close_device(platform::Device handle) {
    membus::Device *device = membus::device_of(handle);
    device->events.push_back({Op::kClose, {}, 0, 0, 0});
    device->open = false;
    device->incoming.clear();
}

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

} // namespace platform

__attribute__((constructor)) static void memory_bus_on_load() { zav_library_load(); }
