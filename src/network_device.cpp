// tcp:// and rfc2217:// devices (network_device.h) over the socket service of
// socket_io.h. Nothing here allocates after the open: the received bytes wait
// in a buffer inside the device, and what goes out is assembled on the stack.
//
// Calls on one device may come from several threads at once (the raw packet
// calls take no lock, a rate change may run beside an exchange), so the
// buffers and the Telnet state are under the device's lock; waits for the
// network happen outside it.
#include "network_device.h"

#include <atomic>
#include <cstring>
#include <new>

#include "platform.h"
#include "socket_io.h"
#include "telnet_codec.h"

namespace netdev {

namespace {

constexpr std::uint32_t kDefaultTimeoutMs = 2000;
constexpr std::uint32_t kMaxTimeoutMs = 60000;
// A write waits this long at most for room in the socket's send buffer, as a
// write to a stalled serial line does.
constexpr std::int64_t kWriteLimitUs = 1000 * 1000;
// A purge drains at most this many buffers of bytes already arrived, so that a
// server sending without end cannot hold it.
constexpr int kMaxPurgeRounds = 8;
constexpr std::size_t kMaxHostLength = 255;

struct Address {
    char host[kMaxHostLength + 1];
    char port[6];
    std::uint32_t timeout_ms;
};

bool parse_number(const char *begin, const char *end, std::uint32_t low, std::uint32_t high, std::uint32_t *value) {
    if (begin == end || end - begin > 9) return false;
    std::uint32_t n = 0;
    for (const char *p = begin; p != end; ++p) {
        if (*p < '0' || *p > '9') return false;
        n = n * 10 + static_cast<std::uint32_t>(*p - '0');
    }
    if (n < low || n > high) return false;
    *value = n;
    return true;
}

// HOST:PORT or [IPV6]:PORT, then ?timeout_ms=N.
bool parse_address(const char *text, Address *out) {
    const char *host = text;
    const char *host_end;
    const char *rest;
    if (*text == '[') {
        host = text + 1;
        host_end = std::strchr(host, ']');
        if (host_end == nullptr || host_end[1] != ':') return false;
        rest = host_end + 2;
    } else {
        host_end = std::strchr(text, ':');
        if (host_end == nullptr) return false;
        rest = host_end + 1;
    }
    const std::size_t host_length = static_cast<std::size_t>(host_end - host);
    if (host_length == 0 || host_length > kMaxHostLength) return false;
    for (const char *p = host; p != host_end; ++p) {
        // No spaces, paths, options or a second port in a host.
        if (*p <= ' ' || *p == '/' || *p == '?' || *p == '&' || *p == '@' || (*text != '[' && *p == ':')) return false;
    }
    std::memcpy(out->host, host, host_length);
    out->host[host_length] = '\0';

    const char *port_end = std::strchr(rest, '?');
    if (port_end == nullptr) port_end = rest + std::strlen(rest);
    std::uint32_t port = 0;
    if (!parse_number(rest, port_end, 1, 65535, &port)) return false;
    std::memcpy(out->port, rest, static_cast<std::size_t>(port_end - rest));
    out->port[port_end - rest] = '\0';

    out->timeout_ms = kDefaultTimeoutMs;
    if (*port_end == '\0') return true;
    const char *option = port_end + 1;
    for (;;) {
        const char *end = std::strchr(option, '&');
        if (end == nullptr) end = option + std::strlen(option);
        static const char kTimeout[] = "timeout_ms=";
        const std::size_t key = sizeof kTimeout - 1;
        if (static_cast<std::size_t>(end - option) <= key || std::strncmp(option, kTimeout, key) != 0 ||
            !parse_number(option + key, end, 1, kMaxTimeoutMs, &out->timeout_ms))
            return false;
        if (*end == '\0') return true;
        option = end + 1;
    }
}

} // namespace

struct NetworkDevice {
    netio::Socket socket;
    bool telnet;
    std::uint32_t timeout_ms;
    std::int64_t open_deadline_us;
    std::atomic<bool> gone;
    platform::Lock lock;
    telnet::Client client;
    // Received bytes not yet taken: [start, end) of input.
    std::uint8_t input[2048];
    std::size_t start;
    std::size_t end;
};

namespace {

class Locked {
public:
    explicit Locked(NetworkDevice *device) : device_(device) { platform::lock_enter(&device_->lock); }
    ~Locked() { platform::lock_leave(&device_->lock); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    NetworkDevice *device_;
};

// Moves buffered bytes into out (decoding Telnet), returns the data bytes.
std::size_t take_input(NetworkDevice *d, std::uint8_t *out, std::size_t capacity) {
    std::size_t taken = 0;
    if (d->telnet) {
        d->start += d->client.receive(d->input + d->start, d->end - d->start, out, capacity, &taken);
    } else {
        taken = d->end - d->start < capacity ? d->end - d->start : capacity;
        std::memcpy(out, d->input + d->start, taken);
        d->start += taken;
    }
    if (d->start == d->end) d->start = d->end = 0;
    return taken;
}

// Decodes and drops every buffered byte: Telnet commands among them still count.
void drop_input(NetworkDevice *d) {
    std::uint8_t scratch[256];
    while (d->start != d->end) take_input(d, scratch, sizeof scratch);
}

// Takes what has arrived on the socket into the buffer, without waiting.
// False when the connection has ended.
bool receive_now(NetworkDevice *d) {
    if (d->end == sizeof d->input && d->start > 0) {
        std::memmove(d->input, d->input + d->start, d->end - d->start);
        d->end -= d->start;
        d->start = 0;
    }
    if (d->end == sizeof d->input) return true;
    const long n = netio::receive_now(d->socket, d->input + d->end, sizeof d->input - d->end);
    if (n < 0) {
        d->gone.store(true);
        return false;
    }
    d->end += static_cast<std::size_t>(n);
    return true;
}

// Sends the queued Telnet bytes, then count data bytes (doubling 0xFF for
// Telnet), assembled into as few sends as the stack buffer allows: Telnet
// answers and the packet that follows them leave in one segment.
bool send_with_output(NetworkDevice *d, const std::uint8_t *data, std::size_t count, std::int64_t deadline_us) {
    if (d->gone.load()) return false;
    std::uint8_t out[512];
    std::size_t done = 0;
    do {
        std::size_t length = d->telnet ? d->client.take_output(out, sizeof out) : 0;
        std::size_t consumed = 0;
        if (d->telnet) {
            length += telnet::escape(data + done, count - done, out + length, sizeof out - length, &consumed);
        } else {
            consumed = count - done < sizeof out ? count - done : sizeof out;
            std::memcpy(out, data + done, consumed);
            length = consumed;
        }
        done += consumed;
        if (length == 0) break;
        const netio::Sent sent = netio::send_all(d->socket, out, length, deadline_us);
        if (sent == netio::Sent::kClosed) d->gone.store(true);
        if (sent != netio::Sent::kAll) return false;
    } while (done < count || (d->telnet && d->client.output_size() > 0));
    return true;
}

// Under the lock: reads and decodes (dropping data bytes) until done() holds
// or the deadline passes; the lock is left while waiting for the network.
template <typename Done> bool await(NetworkDevice *d, std::int64_t deadline_us, Done done) {
    for (;;) {
        drop_input(d);
        if (d->client.output_size() > 0 && !send_with_output(d, nullptr, 0, deadline_us)) return false;
        if (done()) return true;
        if (d->gone.load()) return false;
        platform::lock_leave(&d->lock);
        const bool readable = netio::wait_readable(d->socket, deadline_us);
        platform::lock_enter(&d->lock);
        if (!readable || !receive_now(d)) {
            drop_input(d);
            return done();
        }
    }
}

} // namespace

NetworkDevice *open(Kind kind, const char *address) {
    Address parsed{};
    if (address == nullptr || !parse_address(address, &parsed)) return nullptr;
    const std::int64_t deadline = netio::now_us() + static_cast<std::int64_t>(parsed.timeout_ms) * 1000;
    const netio::Socket socket = netio::connect_tcp(parsed.host, parsed.port, parsed.timeout_ms);
    if (socket == netio::kNoSocket) return nullptr;
    auto *d = new (std::nothrow) NetworkDevice;
    if (d == nullptr) {
        netio::close_socket(socket);
        return nullptr;
    }
    d->socket = socket;
    d->telnet = kind == Kind::kRfc2217;
    d->timeout_ms = parsed.timeout_ms;
    d->open_deadline_us = deadline;
    d->gone.store(false);
    d->start = d->end = 0;
    platform::lock_init(&d->lock);
    if (d->telnet) {
        Locked hold(d);
        d->client.start();
        const bool accepted = await(d, deadline, [d] { return d->client.com_port_accepted() || d->client.com_port_refused(); });
        if (!accepted || !d->client.com_port_accepted()) {
            d->gone.store(true); // marks the open as failed for the check below
        }
    }
    if (d->gone.load()) {
        close(d);
        return nullptr;
    }
    return d;
}

bool configure(NetworkDevice *d, std::uint32_t baud) {
    if (!d->telnet) return !d->gone.load();
    Locked hold(d);
    d->client.request_line_settings(baud);
    std::uint32_t answered = 0;
    const bool done = await(d, d->open_deadline_us, [d] {
        return d->client.settings_acknowledged() || d->client.settings_refused();
    });
    return done && d->client.settings_acknowledged() && d->client.rate_acknowledged(&answered) && answered == baud;
}

bool change_baud(NetworkDevice *d, std::uint32_t baud) {
    if (!d->telnet) return !d->gone.load();
    Locked hold(d);
    d->client.request_baudrate(baud);
    std::uint32_t answered = 0;
    const std::int64_t deadline = netio::now_us() + static_cast<std::int64_t>(d->timeout_ms) * 1000;
    const bool done = await(d, deadline, [d, &answered] { return d->client.rate_acknowledged(&answered); });
    return done && answered == baud;
}

bool query(NetworkDevice *d) { return d != nullptr && !d->gone.load() && !netio::peer_closed(d->socket); }

void purge(NetworkDevice *d, Purge what) {
    Locked hold(d);
    drop_input(d);
    for (int round = 0; round < kMaxPurgeRounds && !d->gone.load(); ++round) {
        const std::size_t before = d->end;
        if (!receive_now(d) || d->end == before) break;
        drop_input(d);
    }
    if (!d->telnet || what == Purge::kReceive) return;
    d->client.request_purge(telnet::kPurgeBoth);
    if (what == Purge::kAbortAll) {
        send_with_output(d, nullptr, 0, netio::now_us());
        return;
    }
    const std::int64_t deadline = netio::now_us() + static_cast<std::int64_t>(d->timeout_ms) * 1000;
    await(d, deadline, [d] { return d->client.purge_acknowledged(); });
}

bool write(NetworkDevice *d, const std::uint8_t *data, std::uint32_t count) {
    Locked hold(d);
    return send_with_output(d, data, count, netio::now_us() + kWriteLimitUs);
}

bool read(NetworkDevice *d, std::uint8_t *buffer, std::uint32_t count, std::uint32_t *got, std::uint32_t timeout_ms) {
    const std::int64_t deadline = netio::now_us() + static_cast<std::int64_t>(timeout_ms) * 1000;
    Locked hold(d);
    std::uint32_t done = 0;
    bool ok = true;
    for (;;) {
        done += static_cast<std::uint32_t>(take_input(d, buffer + done, count - done));
        // Answers to the server's proposals go out as soon as they are known.
        if (d->telnet && d->client.output_size() > 0) send_with_output(d, nullptr, 0, deadline);
        if (done == count) break;
        if (d->gone.load()) {
            ok = false;
            break;
        }
        platform::lock_leave(&d->lock);
        const bool readable = netio::wait_readable(d->socket, deadline);
        platform::lock_enter(&d->lock);
        if (!readable) break; // the deadline: a short read
        if (!receive_now(d)) {
            done += static_cast<std::uint32_t>(take_input(d, buffer + done, count - done));
            ok = false;
            break;
        }
    }
    *got = done;
    return ok;
}

void close(NetworkDevice *d) {
    netio::close_socket(d->socket);
    platform::lock_destroy(&d->lock);
    delete d;
}

} // namespace netdev
