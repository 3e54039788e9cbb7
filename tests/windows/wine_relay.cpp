// Joins two pseudo-terminals for the Windows tests under Wine: the DLL opens
// one as a COM port, the simulated bus in the test program holds the other.
//
// Wine configures a port with tcsetattr, which fails on a pseudo-terminal that
// still carries the parity-check flags of an earlier open (the kernel drops
// parity there). A third pseudo-terminal is a control line: each 'R' written
// to it clears those flags on the DLL's side and is answered with 'K', so the
// tests can make every open start from a clean line.
//
// Usage: wine_relay DIR   (makes DIR/dll, DIR/sim and DIR/ctl; runs until
// standard input closes)
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

int make_pty(const std::string &link) {
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) return -1;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    unlink(link.c_str());
    if (symlink(ptsname(fd), link.c_str()) != 0) return -1;
    return fd;
}

void write_all(int fd, const char *data, ssize_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, data, static_cast<size_t>(n));
        if (w > 0) {
            data += w;
            n -= w;
        } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
            return; // nobody on that side; the bytes are lost as on a dead line
        } else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 10);
        }
    }
}

// Termios calls on a master act on its slave's settings.
void clear_parity_flags(int master) {
    termios tio{};
    if (tcgetattr(master, &tio) != 0) return;
    tio.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNBRK | IGNPAR | PARMRK);
    tcsetattr(master, TCSANOW, &tio);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const int dll = make_pty(dir + "/dll");
    const int sim = make_pty(dir + "/sim");
    const int ctl = make_pty(dir + "/ctl");
    if (dll < 0 || sim < 0 || ctl < 0) {
        std::perror("wine_relay");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    char buffer[4096];
    for (;;) {
        pollfd fds[4] = {{dll, POLLIN, 0}, {sim, POLLIN, 0}, {ctl, POLLIN, 0}, {0, POLLIN, 0}};
        // A side with nobody on it reports a hang-up at once; look again shortly.
        if (poll(fds, 4, 100) < 0 && errno != EINTR) return 1;
        if (fds[3].revents != 0) {
            const ssize_t n = read(0, buffer, sizeof buffer);
            if (n <= 0) return 0;
        }
        bool idle = true;
        for (int i = 0; i < 3; ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) continue;
            idle = false;
            if (fds[i].fd == dll) write_all(sim, buffer, n);
            if (fds[i].fd == sim) write_all(dll, buffer, n);
            if (fds[i].fd == ctl) {
                for (ssize_t k = 0; k < n; ++k) {
                    if (buffer[k] != 'R') continue;
                    clear_parity_flags(dll);
                    write_all(ctl, "K", 1);
                }
            }
        }
        bool hung_up = false;
        for (const pollfd &p : fds) hung_up = hung_up || (p.revents & (POLLHUP | POLLERR)) != 0;
        if (idle && hung_up) poll(nullptr, 0, 1);
    }
}
