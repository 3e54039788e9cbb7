// The far end for the Windows build: the simulated bus runs in this test
// program on a second COM port, joined to the library's port outside (two
// pseudo-terminals and a relay under Wine, or a null-modem pair on Windows).
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "bus_harness.h"

namespace {

class ComLink : public zavsim::LinkIo {
public:
    explicit ComLink(const std::string &name) {
        const std::string path = "\\\\.\\" + name;
        handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    ~ComLink() override {
        if (ok()) CloseHandle(handle_);
    }
    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }

    std::size_t read_some(uint8_t *buffer, std::size_t max, double timeout_ms) override {
        // Return what is there at once, or wait up to the time-out for the first byte.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(std::max(1.0, std::ceil(timeout_ms)));
        SetCommTimeouts(handle_, &timeouts);
        DWORD got = 0;
        if (!ReadFile(handle_, buffer, static_cast<DWORD>(max), &got, nullptr)) return 0;
        return got;
    }

    bool write_all(const uint8_t *data, std::size_t n) override {
        DWORD written = 0;
        return WriteFile(handle_, data, static_cast<DWORD>(n), &written, nullptr) && written == n;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

std::string env(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The simulator's port stays open for the whole run.
ComLink *sim_link() {
    static ComLink *link = [] {
        const std::string name = env("ZAV_TEST_SIM_PORT");
        auto *l = new ComLink(name);
        if (!l->ok()) std::fprintf(stderr, "cannot open the simulator's port '%s'\n", name.c_str());
        return l;
    }();
    return link;
}

// The relay's control line, when there is one (under Wine).
ComLink *control_link() {
    static ComLink *link = [] {
        const std::string name = env("ZAV_TEST_CTL_PORT");
        return name.empty() ? nullptr : new ComLink(name);
    }();
    return link;
}

class ComHarness : public BusHarness {
public:
    ComHarness(const zavsim::BusOptions &options, ComLink &link, std::string port)
        : bus_(options), runner_(bus_, link), port_(std::move(port)) {}
    std::string port_name() const override { return port_; }
    zavsim::BusRunner &runner() override { return runner_; }

    void ready_for_open() override {
        ComLink *control = control_link();
        if (control == nullptr || !control->ok()) return;
        const uint8_t request = 'R';
        control->write_all(&request, 1);
        uint8_t answer = 0;
        const double deadline = zavsim::monotonic_ms() + 5000.0;
        while (answer != 'K' && zavsim::monotonic_ms() < deadline) control->read_some(&answer, 1, 100.0);
        if (answer != 'K') std::fprintf(stderr, "the relay did not answer on its control line\n");
    }

private:
    zavsim::ServoBus bus_;
    zavsim::BusRunner runner_;
    std::string port_;
};

} // namespace

std::unique_ptr<BusHarness> make_harness(const zavsim::BusOptions &options) {
    const std::string port = env("ZAV_TEST_PORT");
    if (port.empty()) {
        std::fprintf(stderr, "set ZAV_TEST_PORT and ZAV_TEST_SIM_PORT to a joined pair of COM ports\n");
        return nullptr;
    }
    ComLink *link = sim_link();
    if (!link->ok()) return nullptr;
    return std::make_unique<ComHarness>(options, *link, port);
}
