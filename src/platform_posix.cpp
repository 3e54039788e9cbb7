// Linux backend: serial devices through termios2 (any baud rate), reads that
// poll to a deadline on the monotonic clock, recursive pthread mutexes.
//
// <asm/termbits.h> (termios2, BOTHER) clashes with <termios.h>, so this file
// speaks to the tty driver with ioctl alone.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "platform.h"

#ifndef __linux__
#error "platform_posix.cpp needs Linux (termios2); add a backend for this system"
#endif

namespace platform {

namespace {

int fd_of(Device device) { return static_cast<int>(device); }

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

void set_low_latency(int fd) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial); // best effort: not every driver has it
    }
}

} // namespace

Device open_device(const char *name) {
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
    return fd;
}

bool configure(Device device, uint32_t baud) {
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
    const bool ok = ioctl(fd, TCSETS2, &tio) == 0;
    // DTR on, RTS off; a pseudo-terminal has no modem lines, so this is best effort.
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &dtr);
    ioctl(fd, TIOCMBIC, &rts);
    return ok;
}

bool change_baud(Device device, uint32_t baud) {
    const int fd = fd_of(device);
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag = (tio.c_cflag & ~CBAUD) | BOTHER;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

bool query(Device device) {
    termios2 tio{};
    return device != kInvalidDevice && ioctl(fd_of(device), TCGETS2, &tio) == 0;
}

void purge(Device device, Purge what) {
    ioctl(fd_of(device), TCFLSH, what == Purge::kReceive ? TCIFLUSH : TCIOFLUSH);
}

void clear_line_errors(Device) {
    // Linux keeps no sticky line-error state that blocks further reads.
}

// The device this thread last wrote to, until it reads from it. The first
// read after a write waits before reading: the echo or the reply cannot be
// back yet, and a read that finds nothing would be a system call for nothing.
// A read that follows a read reads first: a reply that came in with the echo
// (as USB adapters deliver them) is queued already, and a wait would be the
// call for nothing. Either way the same bytes are read within the same deadline.
thread_local int just_written = -1;

bool write(Device device, const uint8_t *data, uint32_t count) {
    const int fd = fd_of(device);
    // The descriptor is non-blocking; a full output queue is waited out, but
    // never for longer than this.
    constexpr int64_t kWriteLimitNs = 1000LL * 1000000;
    const int64_t deadline = monotonic_ns() + kWriteLimitNs;
    just_written = fd;
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

bool read(Device device, uint8_t *buffer, uint32_t count, uint32_t *got, uint32_t timeout_ms) {
    const int fd = fd_of(device);
    const int64_t deadline = monotonic_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    bool wait_first = just_written == fd;
    just_written = -1;
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

void close_device(Device device) {
    const int fd = fd_of(device);
    // A pseudo-terminal keeps its exclusive flag after the last close while the
    // other side stays open; clear it so that the device can be opened again.
    ioctl(fd, TIOCNXCL);
    ::close(fd);
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(Lock::storage), "lock storage too small");

void lock_init(Lock *lock) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (lock->storage) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

static pthread_mutex_t *mutex_of(Lock *lock) {
    return std::launder(reinterpret_cast<pthread_mutex_t *>(lock->storage));
}

void lock_enter(Lock *lock) { pthread_mutex_lock(mutex_of(lock)); }
void lock_leave(Lock *lock) { pthread_mutex_unlock(mutex_of(lock)); }
void lock_destroy(Lock *lock) { pthread_mutex_destroy(mutex_of(lock)); }

int64_t counter_frequency() { return 1000000000; }
int64_t counter_now() { return monotonic_ns(); }

} // namespace platform

__attribute__((constructor)) static void zavlib_on_load() { zav_library_load(); }
__attribute__((destructor)) static void zavlib_on_unload() { zav_library_unload(); }
