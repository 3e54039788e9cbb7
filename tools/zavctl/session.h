// The open port that a chain of zavctl commands runs on: the global options
// made into one device name (--sim is sim:IDS, --capture the capture= option
// of any device), and what the chain has learned about the bus (the servos
// its last scan found). On close it checks that a capture is whole and says
// where a session on replay:FILE left the recording.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "doctor.h"
#include "facts.h"
#include "zavlib.h"

namespace zavctl {

// The global options, valid before or after any command.
struct Options {
    std::string port;
    int32_t baud = kDefaultBaud;
    int32_t timeout_offset = kDefaultTimeoutOffsetMs;
    bool no_echo = false;
    bool sim = false; // --port sim:IDS (with ?echo=0 for --no-echo)
    std::string sim_ids = "0-5";
    std::string capture; // capture=FILE on the device
};

class Session {
public:
    explicit Session(const Options &options);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Opens the port; prints why not and returns the exit status otherwise
    // (kExitOk when open).
    int open();
    // Closes the port, then checks what its name asked for: a capture that
    // stopped early is an error (kExitFailed), and a session on replay:FILE
    // is compared with the recording. Returns kExitOk otherwise.
    int close();
    // The device name the library was given.
    const std::string &device_name() const { return name_; }

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
    std::string why_open_failed() const;

    Options options_;
    std::string name_;         // as given to the library
    std::string line_device_;  // the serial device, or the name without its options
    std::string capture_;      // the capture= file of the name, if any
    std::string replay_;       // the recording of a replay: name, if any
    std::string own_capture_;  // a temporary capture of a replay session, removed on close
    bool scanned_ = false;
    std::vector<int> found_;
    PortHandle port_ = nullptr;
};

} // namespace zavctl
