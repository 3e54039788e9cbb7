// Linux sockets for the network devices (socket_io.h).
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "socket_io.h"

namespace netio {

namespace {

// Keep-alive probes after 5 s of silence, every second, three unanswered end
// the connection; sent bytes left unacknowledged for 5 s end it as well. A
// bridge whose network is gone is then reported within seconds, not hours.
constexpr int kKeepAliveIdleS = 5;
constexpr int kKeepAliveIntervalS = 1;
constexpr int kKeepAliveProbes = 3;
constexpr unsigned kUnacknowledgedLimitMs = 5000;

int fd_of(Socket socket) { return static_cast<int>(socket); }

// Waits for events on fd until the deadline; returns the events seen, 0 on time-out.
short wait_for(int fd, short events, std::int64_t deadline_us) {
    for (;;) {
        std::int64_t left = deadline_us - now_us();
        if (left < 0) left = 0;
        pollfd pfd{fd, events, 0};
        const timespec wait{static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
        const int r = ppoll(&pfd, 1, &wait, nullptr);
        if (r > 0) return pfd.revents;
        if (r == 0) return 0;
        if (errno != EINTR) return POLLERR;
    }
}

void set_options(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleS, sizeof kKeepAliveIdleS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalS, sizeof kKeepAliveIntervalS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUnacknowledgedLimitMs, sizeof kUnacknowledgedLimitMs);
}

// One address: a non-blocking connect that must complete by the deadline.
int connect_one(const addrinfo *address, std::int64_t deadline_us) {
    const int fd = ::socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0) return -1;
    if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            ::close(fd);
            return -1;
        }
        int error = 0;
        socklen_t length = sizeof error;
        const short ready = wait_for(fd, POLLOUT, deadline_us);
        if (ready == 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            ::close(fd);
            return -1;
        }
    }
    set_options(fd);
    return fd;
}

} // namespace

std::int64_t now_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

Socket connect_tcp(const char *host, const char *port, std::uint32_t timeout_ms) {
    const std::int64_t deadline = now_us() + static_cast<std::int64_t>(timeout_ms) * 1000;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *addresses = nullptr;
    if (getaddrinfo(host, port, &hints, &addresses) != 0) return kNoSocket;
    int count = 0;
    for (const addrinfo *a = addresses; a != nullptr; a = a->ai_next) ++count;
    int fd = -1;
    for (const addrinfo *a = addresses; a != nullptr && fd < 0; a = a->ai_next, --count) {
        // Each address left gets an equal share of the time left, so that
        // one that never answers cannot take it all.
        const std::int64_t left = deadline - now_us();
        if (left <= 0) break;
        fd = connect_one(a, now_us() + left / count);
    }
    freeaddrinfo(addresses);
    return fd < 0 ? kNoSocket : static_cast<Socket>(fd);
}

Sent send_all(Socket socket, const std::uint8_t *data, std::size_t count, std::int64_t deadline_us) {
    const int fd = fd_of(socket);
    std::size_t done = 0;
    while (done < count) {
        // MSG_NOSIGNAL: a closed connection is an error here, not a SIGPIPE.
        const ssize_t n = ::send(fd, data + done, count - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Sent::kClosed;
        const short ready = wait_for(fd, POLLOUT, deadline_us);
        if (ready == 0) return Sent::kTimeout;
        if ((ready & POLLOUT) == 0) return Sent::kClosed;
    }
    return Sent::kAll;
}

bool wait_readable(Socket socket, std::int64_t deadline_us) {
    return wait_for(fd_of(socket), POLLIN, deadline_us) != 0;
}

long receive_now(Socket socket, std::uint8_t *buffer, std::size_t capacity) {
    for (;;) {
        const ssize_t n = ::recv(fd_of(socket), buffer, capacity, MSG_DONTWAIT);
        if (n > 0) return static_cast<long>(n);
        if (n == 0) return -1; // the far end closed
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

bool peer_closed(Socket socket) {
    pollfd pfd{fd_of(socket), POLLRDHUP, 0};
    return poll(&pfd, 1, 0) < 0 || (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void close_socket(Socket socket) { ::close(fd_of(socket)); }

} // namespace netio
