#include "pty_link.h"

#include "pty_baud.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace zavsim {

PtyLink::PtyLink() {
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    char name[128];
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
        close(fd);
        return;
    }
    // Raw until a host configures the line: no echo, no line editing.
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    master_ = fd;
    slave_path_ = name;
}

PtyLink::~PtyLink() { hang_up(); }

void PtyLink::hang_up() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

std::size_t PtyLink::read_some(uint8_t *buffer, std::size_t max, double timeout_ms) {
    const int wait = static_cast<int>(std::ceil(timeout_ms));
    if (master_ < 0) {
        poll(nullptr, 0, wait);
        return 0;
    }
    // To the microsecond: emissions at high rates are due well within a millisecond.
    const long wait_ns = static_cast<long>(std::max(0.0, timeout_ms) * 1e6);
    const timespec until{wait_ns / 1000000000L, wait_ns % 1000000000L};
    pollfd pfd{master_, POLLIN, 0};
    const int r = ppoll(&pfd, 1, &until, nullptr);
    if (r > 0 && (pfd.revents & POLLIN) != 0) {
        const ssize_t n = read(master_, buffer, max);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    // With no host on the slave side the master reports a hang-up at once;
    // pause briefly instead of spinning.
    if (r > 0) poll(nullptr, 0, std::min(wait, 1));
    return 0;
}

bool PtyLink::write_all(const uint8_t *data, std::size_t n) {
    std::size_t done = 0;
    while (done < n && master_ >= 0) {
        const ssize_t w = write(master_, data + done, n - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd pfd{master_, POLLOUT, 0};
            if (poll(&pfd, 1, 100) <= 0) return false;
        } else {
            return false;
        }
    }
    return done == n;
}

uint32_t PtyLink::line_baud() { return master_ >= 0 ? pty_output_baud(master_) : 0; }

} // namespace zavsim
