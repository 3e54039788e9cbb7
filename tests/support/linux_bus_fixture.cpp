#include <cstdio>

#include "bus_harness.h"
#include "pty_link.h"

namespace {

class PtyHarness : public BusHarness {
public:
    explicit PtyHarness(const zavsim::BusOptions &options) : bus_(options), runner_(bus_, link_) {}
    std::string port_name() const override { return link_.slave_path(); }
    zavsim::BusRunner &runner() override { return runner_; }
    bool ok() const { return link_.ok(); }

private:
    zavsim::ServoBus bus_;
    zavsim::PtyLink link_;
    zavsim::BusRunner runner_;
};

} // namespace

std::unique_ptr<BusHarness> make_harness(const zavsim::BusOptions &options) {
    auto harness = std::make_unique<PtyHarness>(options);
    if (!harness->ok()) {
        std::perror("pseudo-terminal");
        return nullptr;
    }
    return harness;
}
