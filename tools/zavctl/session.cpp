#include "session.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "capture_check.h"
#include "registers.h"
#include "status_text.h"

namespace zavctl {

namespace {

// Where the options of a device name begin ('?'), or npos. A Windows device
// path may begin with "\\?\", whose '?' opens none.
std::size_t options_start(const std::string &name) {
    return name.find('?', name.rfind("\\\\?\\", 0) == 0 ? 4 : 0);
}

bool has_scheme(const std::string &name, const char *scheme) {
    const std::size_t n = std::char_traits<char>::length(scheme);
    if (name.size() <= n || name[n] != ':') return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != scheme[i]) return false;
    return true;
}

// An option value as a name carries it: '%' and '&' written as %XX.
std::string encoded(const std::string &value) {
    std::string out;
    for (char c : value) {
        if (c == '%') out += "%25";
        else if (c == '&') out += "%26";
        else out += c;
    }
    return out;
}

std::string decoded(const std::string &value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size() && std::isxdigit(static_cast<unsigned char>(value[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(value[i + 2]))) {
            out += static_cast<char>(std::strtol(value.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

std::string with_option(const std::string &name, const std::string &key, const std::string &value) {
    return name + (options_start(name) == std::string::npos ? "?" : "&") + key + "=" + encoded(value);
}

// The value of an option of name, decoded; empty when the name does not give it.
std::string option_of(const std::string &name, const std::string &key) {
    std::size_t at = options_start(name);
    while (at != std::string::npos) {
        const std::size_t end = name.find('&', at + 1);
        const std::string option = name.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        if (option.rfind(key + "=", 0) == 0) return decoded(option.substr(key.size() + 1));
        at = end;
    }
    return "";
}

// A new empty file for a capture of zavctl's own; empty when none can be made.
std::string temporary_file() {
#ifdef _WIN32
    char dir[MAX_PATH + 1];
    char path[MAX_PATH + 1];
    if (GetTempPathA(sizeof dir, dir) == 0 || GetTempFileNameA(dir, "zav", 0, path) == 0) return "";
    return path;
#else
    const char *dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/zavctl-replay-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) return "";
    ::close(fd);
    return pattern;
#endif
}

bool file_exists(const std::string &path) {
    if (std::FILE *f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
        return true;
    }
    return false;
}

} // namespace

Session::Session(const Options &options) : options_(options) {}

Session::~Session() { close(); }

int Session::open() {
    name_ = options_.port;
    if (options_.sim) {
        if (!name_.empty()) {
            std::fprintf(stderr, "zavctl: --sim is --port sim:%s; give one of the two\n", options_.sim_ids.c_str());
            return kExitUsage;
        }
        name_ = "sim:" + options_.sim_ids + (options_.no_echo ? "?echo=0" : "");
    }
    if (name_.empty()) {
        std::fprintf(stderr, "zavctl: name the device with --port (or try --sim)\n");
        return kExitUsage;
    }
    capture_ = option_of(name_, "capture");
    if (!options_.capture.empty()) {
        if (!capture_.empty()) {
            std::fprintf(stderr, "zavctl: --capture and the device's capture= option both name a capture; give one\n");
            return kExitUsage;
        }
        capture_ = options_.capture;
        name_ = with_option(name_, "capture", capture_);
    }
    const std::size_t options_at = options_start(name_);
    line_device_ = name_.substr(0, options_at);
    if (has_scheme(line_device_, "replay")) {
        replay_ = line_device_.substr(sizeof "replay:" - 1);
        // The session records itself, to be compared with the recording on close.
        if (capture_.empty()) {
            own_capture_ = temporary_file();
            if (!own_capture_.empty()) name_ = with_option(name_, "capture", own_capture_);
        }
    }

    port_ = ZAV_OpenPort(name_.c_str(), options_.baud);
    if (port_ == nullptr) {
        std::fprintf(stderr, "zavctl: cannot open %s: %s\n", name_.c_str(), why_open_failed().c_str());
        return kExitCannotOpen;
    }
    ZAV_SetTimeOutOffset(port_, options_.timeout_offset);
    ZAV_SetEchoCancel(options_.no_echo ? 0 : 1);
    return kExitOk;
}

int Session::close() {
    if (port_ == nullptr) {
        if (!own_capture_.empty()) std::remove(own_capture_.c_str());
        own_capture_.clear();
        return kExitOk;
    }
    ZAV_ClosePort(port_);
    port_ = nullptr;
    int status = kExitOk;
    std::string why;
    if (!capture_.empty() && !capture_is_whole(capture_, &why)) {
        std::fprintf(stderr, "zavctl: %s\n", why.c_str());
        status = kExitFailed;
    }
    if (!replay_.empty()) {
        const std::string session = capture_.empty() ? own_capture_ : capture_;
        if (session.empty()) {
            std::fprintf(stderr, "zavctl: replay of %s: no capture of the session could be made to compare\n",
                         replay_.c_str());
        } else {
            const ReplayReport report = compare_with_recording(replay_, session);
            std::fprintf(stderr, "zavctl: replay of %s: %s\n", replay_.c_str(), report.text.c_str());
            if (report.left) status = kExitFailed;
        }
    }
    if (!own_capture_.empty()) std::remove(own_capture_.c_str());
    own_capture_.clear();
    return status;
}

PortContext Session::context() const {
    PortContext c;
    c.port = port_;
    c.device = line_device_;
    c.baud = options_.baud;
    c.reply_timeout_ms = reply_timeout_ms();
    c.no_echo = options_.no_echo;
    c.simulated = has_scheme(line_device_, "sim") || has_scheme(line_device_, "replay");
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

std::string Session::why_open_failed() const {
    const int32_t baud = options_.baud;
    const std::string &device = line_device_;
    if (!capture_.empty()) {
        // The library creates the capture file after the device opens: see
        // whether the file is the trouble.
        const bool existed = file_exists(capture_);
        std::FILE *f = std::fopen(capture_.c_str(), "ab");
        if (f == nullptr) return "the capture file " + capture_ + " cannot be written";
        std::fclose(f);
        if (!existed) std::remove(capture_.c_str());
    }
    if (has_scheme(device, "sim"))
        return "a simulated bus is sim:IDS (ids 0 to 31, e.g. sim:0-5 or sim:1,3) with the options echo=0|1, "
               "wire=0|1, latency_ms=0..10000 and silent=IDS";
    if (has_scheme(device, "replay")) return "the recording " + replay_ + " cannot be read, or is not a capture file";
    if (options_start(name_) != std::string::npos)
        return "the device does not exist, is held, or does not take the options given (see the README's device names)";
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
