// The Linux kinds: a pseudo-terminal with the servo model on its far end,
// and the library's sim: bus, on real time.
#include <atomic>

#include "bus_runner.h"
#include "device_kinds.h"
#include "pty_link.h"
#include "servo_bus.h"

namespace {

// The far end of a pseudo-terminal, which goes away in the runner's own
// thread once armed and a packet has come in: the request arrives, and the
// line is gone before any echo or reply goes back.
class VanishingLink : public zavsim::LinkIo {
public:
    bool ok() const { return link_.ok(); }
    const std::string &slave_path() const { return link_.slave_path(); }
    void arm() { armed_ = true; }
    uint32_t last_baud() const { return baud_; }

    std::size_t read_some(uint8_t *buffer, std::size_t max, double timeout_ms) override {
        const std::size_t n = link_.read_some(buffer, max, timeout_ms);
        baud_ = link_.line_baud();
        if (n > 0 && armed_) link_.hang_up();
        return n;
    }
    bool write_all(const uint8_t *data, std::size_t n) override { return link_.write_all(data, n); }

private:
    zavsim::PtyLink link_;
    std::atomic<bool> armed_{false};
    std::atomic<uint32_t> baud_{0};
};

class PtyFarEnd : public FarEnd {
public:
    explicit PtyFarEnd(const FarEndOptions &options) {
        bus_.options().echo = options.echo;
        bus_.options().latency_ms = options.latency_ms;
        for (int id : options.silent) bus_.servo(id).fault = zavsim::Fault::silent();
        if (link_.ok()) runner_ = std::make_unique<zavsim::BusRunner>(bus_, link_);
    }
    ~PtyFarEnd() override { runner_.reset(); }

    std::string name() const override { return link_.ok() ? link_.slave_path() : "/dev/zavlib-no-pseudo-terminal"; }
    bool hang_up_after_next_packet() override {
        link_.arm();
        return true;
    }
    // As the far end saw it at the last bytes it received.
    uint32_t line_baud() override { return link_.last_baud(); }

private:
    zavsim::ServoBus bus_;
    VanishingLink link_;
    std::unique_ptr<zavsim::BusRunner> runner_;
};

} // namespace

std::vector<DeviceKind> device_kinds() {
    return {
        {"Pty", [](const FarEndOptions &o) { return std::make_unique<PtyFarEnd>(o); }},
        {"Sim", [](const FarEndOptions &o) { return std::make_unique<SimFarEnd>(o); }},
    };
}
