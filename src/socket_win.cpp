// Winsock for the network devices (socket_io.h). ws2_32.dll is loaded on the
// first connect and its functions taken by name, so the DLLs keep importing
// only KERNEL32 and the C runtime (htons and friends are ws2_32 imports too:
// the port is handed over as text, and getaddrinfo builds the addresses).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include "socket_io.h"

namespace netio {

namespace {

struct Winsock {
    int(WSAAPI *WSAStartup)(WORD, LPWSADATA);
    int(WSAAPI *WSAGetLastError)();
    SOCKET(WSAAPI *socket)(int, int, int);
    int(WSAAPI *connect)(SOCKET, const sockaddr *, int);
    int(WSAAPI *send)(SOCKET, const char *, int, int);
    int(WSAAPI *recv)(SOCKET, char *, int, int);
    int(WSAAPI *closesocket)(SOCKET);
    int(WSAAPI *ioctlsocket)(SOCKET, long, u_long *);
    int(WSAAPI *setsockopt)(SOCKET, int, int, const char *, int);
    int(WSAAPI *getsockopt)(SOCKET, int, int, char *, int *);
    int(WSAAPI *WSAPoll)(LPWSAPOLLFD, ULONG, INT);
    int(WSAAPI *WSAIoctl)(SOCKET, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPWSAOVERLAPPED,
                          LPWSAOVERLAPPED_COMPLETION_ROUTINE);
    int(WSAAPI *getaddrinfo)(PCSTR, PCSTR, const ADDRINFOA *, PADDRINFOA *);
    void(WSAAPI *freeaddrinfo)(PADDRINFOA);
};

Winsock ws;
bool ws_ready = false;
INIT_ONCE ws_once = INIT_ONCE_STATIC_INIT;

template <typename F> bool take(HMODULE module, const char *name, F *target) {
    *target = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    return *target != nullptr;
}

BOOL CALLBACK load_winsock(PINIT_ONCE, PVOID, PVOID *) {
    // Kept loaded for the life of the process: sockets may outlive any one port.
    HMODULE module = LoadLibraryA("ws2_32.dll");
    if (module == nullptr) return TRUE;
    const bool all = take(module, "WSAStartup", &ws.WSAStartup) && take(module, "WSAGetLastError", &ws.WSAGetLastError) &&
                     take(module, "socket", &ws.socket) && take(module, "connect", &ws.connect) &&
                     take(module, "send", &ws.send) && take(module, "recv", &ws.recv) &&
                     take(module, "closesocket", &ws.closesocket) && take(module, "ioctlsocket", &ws.ioctlsocket) &&
                     take(module, "setsockopt", &ws.setsockopt) && take(module, "getsockopt", &ws.getsockopt) &&
                     take(module, "WSAPoll", &ws.WSAPoll) && take(module, "WSAIoctl", &ws.WSAIoctl) &&
                     take(module, "getaddrinfo", &ws.getaddrinfo) && take(module, "freeaddrinfo", &ws.freeaddrinfo);
    WSADATA data;
    ws_ready = all && ws.WSAStartup(MAKEWORD(2, 2), &data) == 0;
    return TRUE;
}

bool winsock() {
    InitOnceExecuteOnce(&ws_once, load_winsock, nullptr, nullptr);
    return ws_ready;
}

SOCKET sock_of(Socket socket) { return static_cast<SOCKET>(socket); }

// Waits for events until the deadline; returns the events seen, 0 on time-out.
short wait_for(SOCKET s, short events, std::int64_t deadline_us) {
    for (;;) {
        std::int64_t left_us = deadline_us - now_us();
        if (left_us < 0) left_us = 0;
        WSAPOLLFD pfd{};
        pfd.fd = s;
        pfd.events = events;
        // Whole milliseconds, rounded up: never wake before the deadline.
        const int r = ws.WSAPoll(&pfd, 1, static_cast<INT>((left_us + 999) / 1000));
        if (r > 0) return pfd.revents;
        if (r == 0) return 0;
        if (ws.WSAGetLastError() != WSAEINTR) return POLLERR;
    }
}

void set_options(SOCKET s) {
    const BOOL on = TRUE;
    ws.setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    // Keep-alive probes after 5 s of silence, every second (Windows sends ten).
    tcp_keepalive keepalive{};
    keepalive.onoff = 1;
    keepalive.keepalivetime = 5000;
    keepalive.keepaliveinterval = 1000;
    DWORD returned = 0;
    ws.WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &returned, nullptr, nullptr);
}

SOCKET connect_one(const ADDRINFOA *address, std::int64_t deadline_us) {
    SOCKET s = ws.socket(address->ai_family, SOCK_STREAM, address->ai_protocol);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    u_long non_blocking = 1;
    if (ws.ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
        ws.closesocket(s);
        return INVALID_SOCKET;
    }
    if (ws.connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
        if (ws.WSAGetLastError() != WSAEWOULDBLOCK) {
            ws.closesocket(s);
            return INVALID_SOCKET;
        }
        int error = 0;
        int length = sizeof error;
        const short ready = wait_for(s, POLLWRNORM, deadline_us);
        if (ready == 0 || ws.getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) != 0 ||
            error != 0 || (ready & POLLWRNORM) == 0) {
            ws.closesocket(s);
            return INVALID_SOCKET;
        }
    }
    set_options(s);
    return s;
}

} // namespace

std::int64_t now_us() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    const std::int64_t f = frequency.QuadPart;
    return now.QuadPart / f * 1000000 + now.QuadPart % f * 1000000 / f;
}

Socket connect_tcp(const char *host, const char *port, std::uint32_t timeout_ms) {
    if (!winsock()) return kNoSocket;
    const std::int64_t deadline = now_us() + static_cast<std::int64_t>(timeout_ms) * 1000;
    ADDRINFOA hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    PADDRINFOA addresses = nullptr;
    if (ws.getaddrinfo(host, port, &hints, &addresses) != 0) return kNoSocket;
    int count = 0;
    for (const ADDRINFOA *a = addresses; a != nullptr; a = a->ai_next) ++count;
    SOCKET s = INVALID_SOCKET;
    for (const ADDRINFOA *a = addresses; a != nullptr && s == INVALID_SOCKET; a = a->ai_next, --count) {
        // An equal share of the time left for each address left.
        const std::int64_t left = deadline - now_us();
        if (left <= 0) break;
        s = connect_one(a, now_us() + left / count);
    }
    ws.freeaddrinfo(addresses);
    return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

Sent send_all(Socket socket, const std::uint8_t *data, std::size_t count, std::int64_t deadline_us) {
    const SOCKET s = sock_of(socket);
    std::size_t done = 0;
    while (done < count) {
        const std::size_t chunk = count - done < 65536 ? count - done : 65536;
        const int n = ws.send(s, reinterpret_cast<const char *>(data + done), static_cast<int>(chunk), 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n == SOCKET_ERROR && ws.WSAGetLastError() != WSAEWOULDBLOCK) return Sent::kClosed;
        const short ready = wait_for(s, POLLWRNORM, deadline_us);
        if (ready == 0) return Sent::kTimeout;
        if ((ready & POLLWRNORM) == 0) return Sent::kClosed;
    }
    return Sent::kAll;
}

bool wait_readable(Socket socket, std::int64_t deadline_us) {
    return wait_for(sock_of(socket), POLLRDNORM, deadline_us) != 0;
}

long receive_now(Socket socket, std::uint8_t *buffer, std::size_t capacity) {
    const int chunk = capacity < 65536 ? static_cast<int>(capacity) : 65536;
    const int n = ws.recv(sock_of(socket), reinterpret_cast<char *>(buffer), chunk, 0);
    if (n > 0) return n;
    if (n == 0) return -1; // the far end closed
    return ws.WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

bool peer_closed(Socket socket) {
    const SOCKET s = sock_of(socket);
    const short ready = wait_for(s, POLLRDNORM, 0);
    if ((ready & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
    if ((ready & POLLRDNORM) == 0) return false;
    // Readable: either data, or the end of the stream, which a peek tells apart.
    char byte;
    const int n = ws.recv(s, &byte, 1, MSG_PEEK);
    return n == 0 || (n == SOCKET_ERROR && ws.WSAGetLastError() != WSAEWOULDBLOCK);
}

void close_socket(Socket socket) { ws.closesocket(sock_of(socket)); }

} // namespace netio
