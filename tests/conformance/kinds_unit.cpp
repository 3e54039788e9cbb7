// The unit tests' kinds: their test device and the sim: bus, both on the
// virtual clock.
#include <limits>

#include "device_kinds.h"
#include "memory_bus.h"
#include "servo_bus.h"

namespace {

// The test device on a bus of all 32 servos, hanging up as a write of its
// reaches it once armed.
class TestDeviceFarEnd : public FarEnd {
public:
    explicit TestDeviceFarEnd(const FarEndOptions &options) {
        membus::reset();
        bus_.options().echo = options.echo;
        bus_.options().latency_ms = options.latency_ms;
        for (int id : options.silent) bus_.servo(id).fault = zavsim::Fault::silent();
        device_ = &membus::add_device("COM1", &bus_);
        device_->far_end = [this](membus::Device &d, const uint8_t *data, uint32_t count) {
            const bool written = d.line->host_write(data, count);
            if (armed_) d.hang_up_at_ms = membus::now_ms();
            return written;
        };
    }
    ~TestDeviceFarEnd() override { membus::reset(); }

    std::string name() const override { return "COM1"; }
    bool hang_up_after_next_packet() override {
        armed_ = true;
        return true;
    }
    uint32_t line_baud() override { return device_->baud; }

private:
    zavsim::ServoBus bus_;
    membus::Device *device_ = nullptr;
    bool armed_ = false;
};

} // namespace

std::vector<DeviceKind> device_kinds() {
    return {
        {"TestDevice", [](const FarEndOptions &o) { return std::make_unique<TestDeviceFarEnd>(o); }, true},
        {"Sim", [](const FarEndOptions &o) { return std::make_unique<SimFarEnd>(o); }, true},
    };
}
