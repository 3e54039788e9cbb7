// Debian's ser2net in front of a serial device (a pseudo-terminal whose far end
// is the simulated bus), on two loopback ports picked here: raw TCP and Telnet
// with the COM-PORT-OPTION. Started by the constructor, stopped by the
// destructor; kill() takes it away as a crash or a pulled cable would.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "bus_harness.h"

class Ser2netBridge {
public:
    // An empty error() when ser2net is up and accepting on both ports.
    Ser2netBridge(const std::string &ser2net_path, const std::string &device);
    ~Ser2netBridge();
    Ser2netBridge(const Ser2netBridge &) = delete;
    Ser2netBridge &operator=(const Ser2netBridge &) = delete;

    const std::string &error() const { return error_; }
    std::string tcp_url() const { return "tcp://127.0.0.1:" + std::to_string(raw_port_); }
    std::string rfc2217_url() const { return "rfc2217://127.0.0.1:" + std::to_string(telnet_port_); }
    int raw_port() const { return raw_port_; }
    int telnet_port() const { return telnet_port_; }
    // SIGKILL: the kernel closes its connections.
    void kill();

private:
    bool start(const std::string &ser2net_path, const std::string &device);
    void stop(int signal);

    std::string error_;
    std::string dir_;
    pid_t pid_ = -1;
    int raw_port_ = 0;
    int telnet_port_ = 0;
};

// A loopback port that was free a moment ago (bound and released).
int free_loopback_port();

// The simulated bus on a pseudo-terminal behind ser2net: port_name() is the
// bridge's tcp:// or rfc2217:// name.
enum class BridgeScheme { kTcp, kRfc2217 };
std::unique_ptr<BusHarness> make_bridged_harness(BridgeScheme scheme, const zavsim::BusOptions &options = {});
Ser2netBridge *bridge_of(BusHarness &harness);

#ifndef ZAV_SER2NET_PATH
#define ZAV_SER2NET_PATH "/usr/sbin/ser2net"
#endif
