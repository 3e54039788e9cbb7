#include "line_info.h"

#ifdef __linux__
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dirent.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>

namespace zavctl {

std::string real_path(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string base_name(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// The descriptor of this process that is open on device (the library's own).
int find_descriptor(const std::string &device) {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int found = -1;
    while (dirent *entry = readdir(dir)) {
        char target[PATH_MAX];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (device == target) found = std::atoi(entry->d_name);
    }
    closedir(dir);
    return found;
}

} // namespace

LineInfo read_line_info(const std::string &device_name) {
    LineInfo info;
    info.device = real_path(device_name);
    if (info.device.empty()) return info;
    const int fd = find_descriptor(info.device);
    if (fd < 0) return info;

    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return info;
    info.known = true;
    info.baud = tio.c_ospeed;
    const unsigned size = tio.c_cflag & CSIZE;
    info.data_bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    info.parity = (tio.c_cflag & PARENB) == 0 ? 'N' : (tio.c_cflag & PARODD) != 0 ? 'O' : 'E';
    info.stop_bits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 1;
    info.hardware_flow = (tio.c_cflag & CRTSCTS) != 0;
    info.software_flow = (tio.c_iflag & (IXON | IXOFF)) != 0;
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) == 0) {
        info.dtr = (lines & TIOCM_DTR) != 0;
        info.rts = (lines & TIOCM_RTS) != 0;
    }
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) info.low_latency = (serial.flags & ASYNC_LOW_LATENCY) != 0;

    info.pseudo_terminal = info.device.rfind("/dev/pts/", 0) == 0;
    if (info.pseudo_terminal) {
        info.driver = "pseudo-terminal";
        return info;
    }
    const std::string sys = "/sys/class/tty/" + base_name(info.device) + "/device";
    info.driver = base_name(real_path(sys + "/driver"));
    info.usb = real_path(sys).find("/usb") != std::string::npos;
    std::ifstream timer(sys + "/latency_timer");
    int ms = -1;
    if (timer >> ms) {
        info.latency_timer_ms = ms;
        info.latency_timer_path = real_path(sys + "/latency_timer");
    }
    return info;
}

} // namespace zavctl

#else

namespace zavctl {

LineInfo read_line_info(const std::string &device_name) {
    LineInfo info;
    info.device = device_name;
    return info;
}

} // namespace zavctl

#endif
