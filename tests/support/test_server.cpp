#include "test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

TestServer::TestServer(Behaviour behaviour, bool ipv6) : behaviour_(behaviour), ipv6_(ipv6) {
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_storage storage{};
    socklen_t length;
    if (ipv6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        length = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&storage);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *a;
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&storage), length) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &length) != 0) {
        close(fd);
        return;
    }
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port
                       : reinterpret_cast<sockaddr_in *>(&storage)->sin_port);
    listener_ = fd;
    thread_ = std::thread([this] { run(); });
}

TestServer::~TestServer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
}

std::string TestServer::address() const {
    return (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
}

void TestServer::run() {
    while (!stopping_) {
        pollfd pfd{listener_, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) continue;
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++accepted_;
        serve(fd);
        close(fd);
    }
}

void TestServer::serve(int fd) {
    std::vector<uint8_t> out;
    if (behaviour_ == Behaviour::kEndlessData) {
        for (int i = 0; i < 4096; ++i) out.push_back(static_cast<uint8_t>(i * 37 % 256)); // 0xFF included
    } else if (behaviour_ == Behaviour::kEndlessProposals) {
        for (int option = 0; option < 256; ++option) {
            for (uint8_t verb : {uint8_t{253}, uint8_t{251}}) out.insert(out.end(), {255, verb, static_cast<uint8_t>(option)});
        }
    }
    uint8_t in[4096];
    while (!stopping_) {
        const short events = out.empty() ? POLLIN : POLLIN | POLLOUT;
        pollfd pfd{fd, events, 0};
        if (poll(&pfd, 1, 20) <= 0) continue;
        if ((pfd.revents & POLLIN) != 0) {
            const ssize_t n = recv(fd, in, sizeof in, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return; // the client left
            if (n > 0 && behaviour_ == Behaviour::kEcho) send(fd, in, static_cast<size_t>(n), MSG_NOSIGNAL);
        }
        if ((pfd.revents & POLLOUT) != 0 && send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
            errno != EAGAIN)
            return;
        if ((pfd.revents & (POLLHUP | POLLERR)) != 0) return;
    }
}
