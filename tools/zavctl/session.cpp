#include "session.h"

#include <cstdio>
#include <string>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "registers.h"
#include "status_text.h"

#ifdef ZAVCTL_HAS_SIM
#include "bus_capture.h"
#include "bus_runner.h"
#include "capture_relay.h"
#include "pty_link.h"
#include "servo_bus.h"
#endif

namespace zavctl {

Session::Session(const Options &options) : options_(options) {}

Session::~Session() {
    if (port_ != nullptr) ZAV_ClosePort(port_);
}

int Session::open() {
    std::string device = options_.port;
    if (!options_.capture.empty()) {
        const int status = start_capture();
        if (status != kExitOk) return status;
    }
    if (options_.sim) {
#ifdef ZAVCTL_HAS_SIM
        IdSelection sim_ids;
        if (!parse_ids(options_.sim_ids, sim_ids) || sim_ids.all) {
            std::fprintf(stderr, "zavctl: --sim-ids: '%s' is not a list of ids such as 0-5,9\n", options_.sim_ids.c_str());
            return kExitUsage;
        }
        zavsim::BusOptions bus_options;
        bus_options.baud = static_cast<uint32_t>(options_.baud);
        bus_options.echo = !options_.no_echo;
        bus_ = std::make_unique<zavsim::ServoBus>(bus_options);
        bus_->set_present(sim_ids.ids);
        for (int id = 0; id < zavsim::kServoCount; ++id) bus_->servo(id).dynamic_readings = true;
        link_ = std::make_unique<zavsim::PtyLink>();
        if (!link_->ok()) {
            std::perror("zavctl: cannot create the simulated bus");
            return kExitCannotOpen;
        }
        if (capture_) captured_link_ = std::make_unique<zavsim::CapturingLink>(*link_, *capture_);
        runner_ = std::make_unique<zavsim::BusRunner>(*bus_, captured_link_ ? static_cast<zavsim::LinkIo &>(*captured_link_) : *link_);
        device = link_->slave_path();
#else
        std::fprintf(stderr, "zavctl: --sim is not available on this system; use --port\n");
        return kExitUnavailable;
#endif
    }
    if (device.empty()) {
        std::fprintf(stderr, "zavctl: name the serial device with --port (or try --sim)\n");
        return kExitUsage;
    }
    line_device_ = device;
#ifdef ZAVCTL_HAS_SIM
    if (capture_ && !options_.sim) {
        std::string error;
        relay_ = start_capture_relay(device, *capture_, &error);
        if (!relay_) {
            std::fprintf(stderr, "zavctl: cannot open %s: %s\n", device.c_str(), error.c_str());
            return kExitCannotOpen;
        }
        device = relay_->library_device();
    }
#endif
    port_ = ZAV_OpenPort(device.c_str(), options_.baud);
    if (port_ == nullptr) {
        std::fprintf(stderr, "zavctl: cannot open %s: %s\n", device.c_str(), why_open_failed(device, options_.baud).c_str());
        return kExitCannotOpen;
    }
    ZAV_SetTimeOutOffset(port_, options_.timeout_offset);
    ZAV_SetEchoCancel(options_.no_echo ? 0 : 1);
    return kExitOk;
}

PortContext Session::context() const {
    PortContext c;
    c.port = port_;
    c.device = line_device_;
    c.baud = options_.baud;
    c.reply_timeout_ms = reply_timeout_ms();
    c.no_echo = options_.no_echo;
    c.simulated = options_.sim;
#ifdef ZAVCTL_HAS_SIM
    c.line_fd = relay_ ? relay_->device_fd() : -1;
    c.relayed = relay_ != nullptr;
#endif
    return c;
}

uint32_t Session::reply_timeout_ms() const {
    return zavctl::reply_timeout_ms(options_.timeout_offset, options_.baud);
}

int Session::fail(const std::string &what, StatusWord status, int id, const char *register_name) const {
    std::fprintf(stderr, "zavctl: %s failed: %s [%s]\n", what.c_str(),
                 explain(status, id, reply_timeout_ms(), register_name).c_str(), flag_names(status).c_str());
    return kExitFailed;
}

const std::vector<int> &Session::scan() {
    found_.clear();
    for (int id = 0; id <= kIdMax; ++id) {
        if (ZAV_Ping(port_, static_cast<uint8_t>(id), nullptr)) found_.push_back(id);
    }
    scanned_ = true;
    return found_;
}

std::vector<int> Session::resolve(const IdSelection &selection) {
    if (!selection.all) return selection.ids;
    if (!scanned_) scan();
    if (found_.empty())
        std::fprintf(stderr, "zavctl: 'all' means the servos that answer, and no servo answered on ids %s "
                             "(check the baud rate and the wiring)\n", range_text(kIdRange).c_str());
    return found_;
}

// --capture: the simulated bus records on its side; a real device gets a
// recording relay (Linux only).
int Session::start_capture() {
#ifdef ZAVCTL_HAS_SIM
    capture_ = std::make_unique<zavsim::BusCapture>(options_.capture, options_.sim);
    if (!capture_->ok()) {
        std::perror(("zavctl: cannot write " + options_.capture).c_str());
        return kExitCannotOpen;
    }
    capture_->set_baud(static_cast<uint32_t>(options_.baud));
    return kExitOk;
#else
    std::fprintf(stderr, "zavctl: --capture is not available on this system: it needs a pseudo-terminal to relay "
                         "the line through; record on the simulator's side with zavsim --capture, or run zavctl on Linux\n");
    return kExitUnavailable;
#endif
}

std::string Session::why_open_failed(const std::string &device, int32_t baud) {
#ifdef _WIN32
    // Ask the system about the device itself: the library reports only that
    // the open failed.
    std::string path = device;
    if (!path.empty() && path.back() == ':') path.pop_back();
    if (path.rfind("\\\\.\\", 0) != 0) path = "\\\\.\\" + path;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            std::string ports;
            char target[512];
            for (int n = 1; n <= 256; ++n) {
                const std::string name = "COM" + std::to_string(n);
                if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) ports += (ports.empty() ? "" : ", ") + name;
            }
            return "there is no such port on this system (" +
                   (ports.empty() ? std::string("it has no COM ports") : "its COM ports: " + ports) + ")";
        }
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            return "another program holds the port (close it, or the other zavctl)";
        return "the system refused to open it (error " + std::to_string(error) + ")";
    }
    CloseHandle(handle);
    return "the port does not take " + std::to_string(baud) + " baud with the bus's line settings, or is not a serial port";
#else
    struct stat info {};
    if (stat(device.c_str(), &info) != 0) return "no such device";
    if (!S_ISCHR(info.st_mode)) return "it is not a serial device";
    return "the port is held by another program, does not take " + std::to_string(baud) +
           " baud, or is not a serial port";
#endif
}

} // namespace zavctl
