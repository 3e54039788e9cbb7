// The Windows kinds: a COM port with the servo model on the far end (the
// device suite's harness: a joined pair of ports), and the DLL's sim: bus.
#include "bus_harness.h"
#include "device_kinds.h"

namespace {

class ComFarEnd : public FarEnd {
public:
    explicit ComFarEnd(const FarEndOptions &options) {
        zavsim::BusOptions bus;
        bus.echo = options.echo;
        bus.latency_ms = options.latency_ms;
        harness_ = make_harness(bus);
        if (harness_) {
            harness_->with_bus([&](zavsim::ServoBus &b) {
                for (int id : options.silent) b.servo(id).fault = zavsim::Fault::silent();
            });
        }
    }
    std::string name() const override { return harness_ ? harness_->port_name() : "COM250"; }
    void ready_for_open() override {
        if (harness_) harness_->ready_for_open();
    }

private:
    std::unique_ptr<BusHarness> harness_;
};

} // namespace

std::vector<DeviceKind> device_kinds() {
    return {
        {"Com", [](const FarEndOptions &o) { return std::make_unique<ComFarEnd>(o); }},
        {"Sim", [](const FarEndOptions &o) { return std::make_unique<SimFarEnd>(o); }},
    };
}
