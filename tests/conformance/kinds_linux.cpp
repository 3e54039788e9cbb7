// The Linux kinds: a pseudo-terminal with the servo model on its far end, the
// same behind Debian's ser2net over tcp:// and rfc2217://, and the library's
// sim: bus, on real time.
#include <gtest/gtest.h>

#include <atomic>

#include "bus_runner.h"
#include "device_kinds.h"
#include "pty_link.h"
#include "ser2net_bridge.h"
#include "servo_bus.h"

namespace {

// How the host reaches the pseudo-terminal's far end.
enum class Path { kDirect, kTcp, kRfc2217 };

// The far end of a pseudo-terminal, which takes the line away in the runner's
// own thread once armed and a packet has come in: the request arrives, and the
// line is gone before any echo or reply goes back. What goes away is the host's
// end of the line: the pseudo-terminal itself, or the bridge in front of it.
class VanishingLink : public zavsim::LinkIo {
public:
    bool ok() const { return link_.ok(); }
    const std::string &slave_path() const { return link_.slave_path(); }
    void arm(Ser2netBridge *bridge) {
        bridge_ = bridge;
        armed_ = true;
    }
    uint32_t last_baud() const { return baud_; }

    std::size_t read_some(uint8_t *buffer, std::size_t max, double timeout_ms) override {
        const std::size_t n = link_.read_some(buffer, max, timeout_ms);
        baud_ = link_.line_baud();
        if (n > 0 && armed_.exchange(false)) {
            if (bridge_ != nullptr) {
                bridge_->kill();
            } else {
                link_.hang_up();
            }
        }
        return n;
    }
    bool write_all(const uint8_t *data, std::size_t n) override { return link_.write_all(data, n); }

private:
    zavsim::PtyLink link_;
    Ser2netBridge *bridge_ = nullptr; // set before armed_, read after it
    std::atomic<bool> armed_{false};
    std::atomic<uint32_t> baud_{0};
};

class PtyFarEnd : public FarEnd {
public:
    PtyFarEnd(const FarEndOptions &options, Path path) : path_(path) {
        bus_.options().echo = options.echo;
        bus_.options().latency_ms = options.latency_ms;
        for (int id : options.silent) bus_.servo(id).fault = zavsim::Fault::silent();
        if (!link_.ok()) return;
        runner_ = std::make_unique<zavsim::BusRunner>(bus_, link_);
        if (path_ != Path::kDirect) {
            bridge_ = std::make_unique<Ser2netBridge>(ZAV_SER2NET_PATH, link_.slave_path());
            if (!bridge_->error().empty()) {
                ADD_FAILURE() << "ser2net bridge: " << bridge_->error();
                bridge_.reset();
            }
        }
    }
    // The runner first: nothing then touches the bridge from its thread.
    ~PtyFarEnd() override {
        runner_.reset();
        bridge_.reset();
    }

    std::string name() const override {
        if (!link_.ok()) return "/dev/zavlib-no-pseudo-terminal";
        if (path_ == Path::kDirect) return link_.slave_path();
        if (!bridge_) return "tcp://127.0.0.1:1"; // nothing listens there: the open fails
        return path_ == Path::kTcp ? bridge_->tcp_url() : bridge_->rfc2217_url();
    }
    bool hang_up_after_next_packet() override {
        link_.arm(bridge_.get());
        return true;
    }
    // As the far end saw it at the last bytes it received. Over tcp:// the
    // bridge keeps its own rate (the library keeps the new one for its time-outs).
    uint32_t line_baud() override { return path_ == Path::kTcp ? 0 : link_.last_baud(); }

private:
    Path path_;
    zavsim::ServoBus bus_;
    VanishingLink link_;
    std::unique_ptr<zavsim::BusRunner> runner_;
    std::unique_ptr<Ser2netBridge> bridge_;
};

} // namespace

std::vector<DeviceKind> device_kinds() {
    return {
        {"Pty", [](const FarEndOptions &o) { return std::make_unique<PtyFarEnd>(o, Path::kDirect); }},
        {"Sim", [](const FarEndOptions &o) { return std::make_unique<SimFarEnd>(o); }},
        {"Tcp", [](const FarEndOptions &o) { return std::make_unique<PtyFarEnd>(o, Path::kTcp); }},
        {"Rfc2217", [](const FarEndOptions &o) { return std::make_unique<PtyFarEnd>(o, Path::kRfc2217); }},
    };
}
