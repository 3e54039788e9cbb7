// Serial devices on Linux: any name without a registered scheme, opened as a
// path ("/dev/ttyUSB0", "/dev/serial/by-id/...", a pseudo-terminal). Options:
// none of its own (capture= applies to every device).
//
// The line is set through termios2, which takes any rate; a rate change is a
// change of the line's rate. Reads poll to a deadline on the monotonic clock;
// the device is held exclusively (flock and TIOCEXCL).
//
// <asm/termbits.h> (termios2, BOTHER) clashes with <termios.h>, so this file
// speaks to the tty driver with ioctl alone. Where the kernel or an emulator
// does not know termios2 (qemu's user mode), the classic calls with the
// kernel's own struct termios set the standard rates.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "device.h"

#ifndef __linux__
#error "serial_posix.cpp needs Linux (termios2); add a backend for this system"
#endif

namespace device {

namespace {

// What the backend keeps per open device: its descriptor, and whether it
// was written since it was last read (the read path's hint, see read()).
// Kept with the device rather than in thread-local storage, which a library
// loaded with dlopen (as the language bindings load it) allocates from the
// heap at each thread's first exchange. The hint is atomic because the raw
// packet calls take no lock: a host that sends and receives from two threads
// at once costs itself a system call, not a data race.
struct SerialPort {
    Head head;
    int fd;
    std::atomic<bool> written_since_read;
};

SerialPort *port_of(Device device) { return reinterpret_cast<SerialPort *>(device); }
int fd_of(Device device) { return port_of(device)->fd; }

int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Waits until fd is ready for events or the deadline passes.
// Returns the revents seen (0 on time-out).
// A deadline already passed still looks once, so that bytes queued by then are taken.
short wait_ready(int fd, short events, int64_t deadline_ns) {
    for (;;) {
        int64_t left = deadline_ns - monotonic_ns();
        if (left < 0) left = 0;
        pollfd pfd{fd, events, 0};
        timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        const int r = ppoll(&pfd, 1, &wait, nullptr);
        if (r > 0) return pfd.revents;
        if (r == 0) return 0;
        if (errno != EINTR) return POLLERR;
    }
}

// The rates the classic line settings can express, with their codes.
struct StandardRate {
    uint32_t baud;
    tcflag_t code;
};
constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

// The classic code for baud, or 0 (B0, a hang-up) when it has none.
tcflag_t standard_rate_code(uint32_t baud) {
    for (const StandardRate &rate : kStandardRates) {
        if (rate.baud == baud) return rate.code;
    }
    return 0;
}

// How a kernel or emulator answers a request it does not know: qemu's user
// mode says ENOSYS, the tty layer ENOTTY, some older paths EINVAL.
bool unknown_request(int error) { return error == ENOSYS || error == ENOTTY || error == EINVAL; }

// True when fd is a terminal that the classic calls reach but termios2 does
// not. A device that is no terminal at all fails the classic call as well, so
// its error is never taken for a missing termios2.
bool lacks_termios2(int fd) {
    termios2 probe{};
    if (ioctl(fd, TCGETS2, &probe) == 0 || !unknown_request(errno)) return false;
    termios classic{};
    return ioctl(fd, TCGETS, &classic) == 0;
}

// Writes classic settings and reads the rate back: a driver reports the rate
// it really set, and an emulator may drop a rate code it does not carry.
bool write_classic(int fd, const termios &tio) {
    termios now{};
    return ioctl(fd, TCSETS, &tio) == 0 && ioctl(fd, TCGETS, &now) == 0 &&
           (now.c_cflag & CBAUD) == (tio.c_cflag & CBAUD);
}

// Applies settings through the classic call; refused when the rate has no
// classic code.
bool set_classic(int fd, const termios2 &wanted) {
    const tcflag_t code = standard_rate_code(wanted.c_ospeed);
    if (code == 0) return false;
    termios tio{};
    tio.c_iflag = wanted.c_iflag;
    tio.c_oflag = wanted.c_oflag;
    // The input rate follows the output rate (CIBAUD 0).
    tio.c_cflag = (wanted.c_cflag & ~(CBAUD | CIBAUD)) | code;
    tio.c_lflag = wanted.c_lflag;
    tio.c_line = wanted.c_line;
    static_assert(sizeof tio.c_cc == sizeof wanted.c_cc, "control characters differ");
    for (size_t i = 0; i < sizeof tio.c_cc; ++i) tio.c_cc[i] = wanted.c_cc[i];
    return write_classic(fd, tio);
}

// Changes the rate through the classic calls, keeping every other setting;
// a rate the line did not take leaves the line as it was.
bool change_classic_baud(int fd, uint32_t baud) {
    const tcflag_t code = standard_rate_code(baud);
    termios before{};
    if (code == 0 || ioctl(fd, TCGETS, &before) != 0) return false;
    termios tio = before;
    tio.c_cflag = (tio.c_cflag & ~(CBAUD | CIBAUD)) | code;
    if (write_classic(fd, tio)) return true;
    ioctl(fd, TCSETS, &before);
    return false;
}

void set_low_latency(int fd) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial); // best effort: not every driver has it
    }
}

// Closes a descriptor that open_device made exclusive. A pseudo-terminal
// keeps its exclusive flag after the last close while the other side stays
// open; clear it so that the device can be opened again.
void release_fd(int fd) {
    ioctl(fd, TIOCNXCL);
    ::close(fd);
}

extern const Methods kSerialMethods;

Device open_serial(const char *name, const Options &) {
    // Never wait for carrier, never become the controlling terminal.
    const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return kInvalidDevice;
    // Exclusive like a Windows serial open: flock refuses a second open even by
    // root or within this process; TIOCEXCL also keeps out programs that do not flock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        return kInvalidDevice;
    }
    set_low_latency(fd);
    auto *port = new (std::nothrow) SerialPort{{&kSerialMethods}, fd, false};
    if (port == nullptr) {
        release_fd(fd);
        return kInvalidDevice;
    }
    return reinterpret_cast<Device>(port);
}

bool configure_line(Device device, uint32_t baud) {
    const int fd = fd_of(device);
    termios2 tio{};
    // Raw 8 data bits, even parity generated, one stop bit, no flow control.
    // INPCK stays off: bytes arrive as received, as a line with a parity error
    // still delivers its byte.
    tio.c_cflag = CS8 | PARENB | CREAD | CLOCAL | HUPCL | BOTHER;
    tio.c_iflag = 0;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    bool ok = ioctl(fd, TCSETS2, &tio) == 0;
    if (!ok && unknown_request(errno) && lacks_termios2(fd)) ok = set_classic(fd, tio);
    // DTR on, RTS off; a pseudo-terminal has no modem lines, so this is best effort.
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &dtr);
    ioctl(fd, TIOCMBIC, &rts);
    return ok;
}

bool change_rate(Device device, uint32_t baud) {
    const int fd = fd_of(device);
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return lacks_termios2(fd) && change_classic_baud(fd, baud);
    tio.c_cflag = (tio.c_cflag & ~CBAUD) | BOTHER;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

bool query_line(Device device) {
    termios2 tio{};
    const int fd = fd_of(device);
    if (ioctl(fd, TCGETS2, &tio) != 0 && !lacks_termios2(fd)) return false;
    // A line whose far end has gone reports a hang-up to poll at once; its
    // settings stop answering only a moment later (a pseudo-terminal's master
    // side wakes the reader before it hangs the line up).
    pollfd pfd{fd, 0, 0};
    return poll(&pfd, 1, 0) >= 0 && (pfd.revents & (POLLHUP | POLLNVAL)) == 0;
}

void purge_line(Device device, Purge what) {
    ioctl(fd_of(device), TCFLSH, what == Purge::kReceive ? TCIFLUSH : TCIOFLUSH);
}

void clear_errors(Device) {
    // Linux keeps no sticky line-error state that blocks further reads.
}

bool write_line(Device device, const uint8_t *data, uint32_t count) {
    SerialPort *port = port_of(device);
    const int fd = port->fd;
    // The descriptor is non-blocking; a full output queue is waited out, but
    // never for longer than this.
    constexpr int64_t kWriteLimitNs = 1000LL * 1000000;
    const int64_t deadline = monotonic_ns() + kWriteLimitNs;
    port->written_since_read.store(true, std::memory_order_relaxed);
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, data + done, count - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        const short ready = wait_ready(fd, POLLOUT, deadline);
        if ((ready & POLLOUT) == 0) return false;
    }
    return true;
}

// The first read after a write waits before reading: the echo or the reply
// cannot be back yet, and a read that finds nothing would be a system call for
// nothing. A read that follows a read reads first: a reply that came in with
// the echo (as USB adapters deliver them) is queued already, and a wait would
// be the call for nothing. Either way the same bytes are read within the same
// deadline.
bool read_line(Device device, uint8_t *buffer, uint32_t count, uint32_t *got, uint32_t timeout_ms) {
    SerialPort *port = port_of(device);
    const int fd = port->fd;
    const int64_t deadline = monotonic_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    bool wait_first = port->written_since_read.load(std::memory_order_relaxed);
    if (wait_first) port->written_since_read.store(false, std::memory_order_relaxed);
    uint32_t done = 0;
    bool ok = true;
    while (done < count) {
        if (wait_first && wait_ready(fd, POLLIN, deadline) == 0) break; // deadline
        const ssize_t n = ::read(fd, buffer + done, count - done);
        if (n > 0) {
            // The rest of a reply arrives a byte time or more later.
            done += static_cast<uint32_t>(n);
            wait_first = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if ((n < 0 && errno == EAGAIN) || !wait_first) {
            wait_first = true; // nothing queued yet (or a hang-up, which the wait reports)
            continue;
        }
        // Ready but nothing to read: with VMIN = VTIME = 0 that is a hang-up
        // (once whatever was queued has been drained); end instead of spinning.
        ok = n >= 0;
        break;
    }
    *got = done;
    return ok;
}

void close_line(Device device) {
    SerialPort *port = port_of(device);
    release_fd(port->fd);
    delete port;
}

const Methods kSerialMethods = {configure_line, change_rate,  query_line, purge_line,
                                clear_errors,   write_line,   read_line,  close_line};

} // namespace

extern const Backend serial_backend = {nullptr, nullptr, open_serial};

} // namespace device
