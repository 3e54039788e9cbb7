// The open port that a chain of zavctl commands runs on: the global options,
// the simulated bus of --sim, the capture of --capture, and what the chain has
// learned about the bus (the servos its last scan found).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "doctor.h"
#include "facts.h"
#include "zavlib.h"

#if defined(__linux__)
#define ZAVCTL_HAS_SIM 1
namespace zavsim {
class BusCapture;
class CapturingLink;
class ServoBus;
class PtyLink;
class BusRunner;
} // namespace zavsim
#endif

namespace zavctl {

class CaptureRelay;

// The global options, valid before or after any command.
struct Options {
    std::string port;
    int32_t baud = kDefaultBaud;
    int32_t timeout_offset = kDefaultTimeoutOffsetMs;
    bool no_echo = false;
    bool sim = false;
    std::string sim_ids = "0-5";
    std::string capture;
};

class Session {
public:
    explicit Session(const Options &options);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Opens the port (starting the simulated bus first with --sim); prints why
    // not and returns the exit status otherwise (kExitOk when open).
    int open();

    PortHandle port() const { return port_; }
    const Options &options() const { return options_; }

    // The open port as zavctl doctor and scan --find-baud see it.
    PortContext context() const;

    // The reply time-out of a position exchange at the session's settings.
    uint32_t reply_timeout_ms() const;

    // Prints why a call failed ("zavctl: WHAT failed: sentence [FLAGS]");
    // returns kExitFailed. register_name names the register written, for
    // ERR_WRITE.
    int fail(const std::string &what, StatusWord status, int id, const char *register_name = nullptr) const;

    // The servos an id selection means: its ids, or for "all" the servos the
    // chain's last scan found (scanning every id first if none has run).
    // Empty, with a message printed, when "all" finds no servo.
    std::vector<int> resolve(const IdSelection &selection);

    // Pings every id and remembers the servos that answer.
    const std::vector<int> &scan();

private:
    int start_capture(); // an ExitCode
    static std::string why_open_failed(const std::string &device, int32_t baud);

    Options options_;
    std::string line_device_;
    bool scanned_ = false;
    std::vector<int> found_;
#ifdef ZAVCTL_HAS_SIM
    // Declared before the port so that they outlive it: the port closes first.
    std::unique_ptr<zavsim::BusCapture> capture_;
    std::unique_ptr<zavsim::CapturingLink> captured_link_;
    std::unique_ptr<CaptureRelay> relay_;
#endif
    PortHandle port_ = nullptr;
#ifdef ZAVCTL_HAS_SIM
    std::unique_ptr<zavsim::ServoBus> bus_;
    std::unique_ptr<zavsim::PtyLink> link_;
    std::unique_ptr<zavsim::BusRunner> runner_;
#endif
};

} // namespace zavctl
