#include "capture_relay.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "pty_baud.h"

namespace zavctl {

namespace {

// Raw terminal settings; with bus_settings, 8E1 at baud as the library sets them.
bool apply(int fd, uint32_t baud, bool bus_settings) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_iflag = 0;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (bus_settings) {
        tio.c_cflag = CS8 | PARENB | CREAD | CLOCAL | HUPCL | BOTHER;
        tio.c_ispeed = baud;
        tio.c_ospeed = baud;
    } else {
        tio.c_cflag = (tio.c_cflag & ~(CSIZE | PARENB)) | CS8 | CREAD | CLOCAL;
    }
    return ioctl(fd, TCSETS2, &tio) == 0;
}

bool write_all(int fd, const uint8_t *data, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, data + done, n - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd pfd{fd, POLLOUT, 0};
            if (poll(&pfd, 1, 1000) <= 0) return false;
        } else {
            return false;
        }
    }
    return true;
}

class PtyRelay : public CaptureRelay {
public:
    PtyRelay(int device, int master, std::string slave, zavsim::BusCapture &capture)
        : device_(device), master_(master), slave_(std::move(slave)), capture_(capture) {
        if (pipe2(stop_pipe_, O_CLOEXEC) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
        thread_ = std::thread([this] { run(); });
    }

    ~PtyRelay() override {
        stopping_ = true;
        if (stop_pipe_[1] >= 0) {
            const char wake = 1;
            (void)!::write(stop_pipe_[1], &wake, 1);
        }
        thread_.join();
        for (int fd : stop_pipe_)
            if (fd >= 0) close(fd);
        close(master_);
        ioctl(device_, TIOCNXCL);
        close(device_);
    }

    const std::string &library_device() const override { return slave_; }
    int device_fd() const override { return device_; }

private:
    // Before bytes go out: the rate the library set on its side, if it changed.
    void follow_baud() {
        const uint32_t baud = zavsim::pty_output_baud(master_);
        if (baud == 0 || baud == applied_baud_) return;
        if (apply(device_, baud, true)) {
            applied_baud_ = baud;
            capture_.set_baud(baud);
        }
    }

    void run() {
        uint8_t buffer[4096];
        while (!stopping_) {
            pollfd fds[3] = {{master_, POLLIN, 0}, {device_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
            const int r = poll(fds, stop_pipe_[0] >= 0 ? 3 : 2, stop_pipe_[0] >= 0 ? -1 : 50);
            if (r < 0 && errno != EINTR) return;
            if (fds[0].revents & POLLIN) {
                const ssize_t n = ::read(master_, buffer, sizeof buffer);
                if (n > 0) {
                    follow_baud();
                    capture_.record(capture::Direction::kHostToBus, buffer, static_cast<std::size_t>(n));
                    write_all(device_, buffer, static_cast<std::size_t>(n));
                }
            } else if (fds[0].revents & POLLHUP) {
                // The library has not opened its side yet, or closed it.
                poll(nullptr, 0, 1);
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t n = ::read(device_, buffer, sizeof buffer);
                if (n > 0) {
                    capture_.record(capture::Direction::kBusToHost, buffer, static_cast<std::size_t>(n));
                    write_all(master_, buffer, static_cast<std::size_t>(n));
                }
            } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                poll(nullptr, 0, 1); // the device went away; the library sees its writes fail
            }
        }
    }

    int device_;
    int master_;
    std::string slave_;
    zavsim::BusCapture &capture_;
    uint32_t applied_baud_ = 0;
    int stop_pipe_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace

std::unique_ptr<CaptureRelay> start_capture_relay(const std::string &device, zavsim::BusCapture &capture,
                                                  std::string *error) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno == ENOENT ? "no such device" : std::strerror(errno);
        return nullptr;
    }
    // Held exclusively, as the library holds a port it opens.
    termios2 probe{};
    if (ioctl(fd, TCGETS2, &probe) != 0) {
        close(fd);
        *error = "it is not a serial device";
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        *error = "the port is held by another program";
        return nullptr;
    }
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial);
    }
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &dtr);
    ioctl(fd, TIOCMBIC, &rts);

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        if (master >= 0) close(master);
        ioctl(fd, TIOCNXCL);
        close(fd);
        *error = "cannot create the pseudo-terminal for the capture";
        return nullptr;
    }
    apply(master, 0, false);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return std::make_unique<PtyRelay>(fd, master, name, capture);
}

} // namespace zavctl
