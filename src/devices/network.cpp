// Serial lines behind a network bridge.
//
//   tcp://HOST:PORT       the raw byte stream of a serial bridge (ser2net's raw
//                         mode, Wi-Fi serial bridges). The line settings live on
//                         the bridge: a rate change is kept by the library (it
//                         sets the reply time-outs) and not sent.
//   rfc2217://HOST:PORT   Telnet with the COM-PORT-OPTION: the open negotiates
//                         the option and sets the bus's line settings (the rate,
//                         8 data bits, even parity, one stop bit, no flow
//                         control, DTR on, RTS off); a rate change is sent and
//                         succeeds once the bridge confirms it; purges of both
//                         directions are sent as PURGE-DATA. 0xFF data bytes
//                         are doubled on the way out and undoubled on the way in.
//
// HOST is a name, an IPv4 address or an IPv6 address in brackets
// (`tcp://[::1]:2000`); PORT is 1 to 65535. Option (besides capture=FILE):
//   timeout_ms=N          bound of the open (connect, and for rfc2217 the
//                         negotiation and the line settings) and of a rate
//                         change's answer; default 2000, 1 to 60000.
//
// Meanings on a network line: line errors do not exist (clearing them does
// nothing); a purge drops what has arrived and not been read; the line is
// active while the connection is up. A connection that ends or fails makes
// every later read, write and rate change fail at once.
//
// Purges: the bytes that have arrived and not been read are dropped here.
// rfc2217 also sends the purges of both directions to the bridge as
// PURGE-DATA: the open's with the line settings, ZAV_SetBaudrate's with the
// new rate, each waiting for the bridge's answer, so that a PURGE-DATA never
// shares a segment with data (ser2net holds data that reaches it right behind
// a PURGE-DATA for some 40 ms). The receive purge before every packet stays
// local: the bytes it is meant to drop are those already arrived. The open
// and a rate change each take at most timeout_ms.
//
// Nothing here allocates after the open: the received bytes wait in a buffer
// inside the device, and what goes out is assembled on the stack. Calls on one
// device may come from several threads at once (the raw packet calls take no
// lock, a rate change may run beside an exchange), so the buffers and the
// Telnet state are under the device's lock; waits for the network happen
// outside it.
#include <atomic>
#include <cstring>
#include <new>

#include "device.h"
#include "platform.h"
#include "socket_io.h"
#include "telnet_codec.h"

namespace device {

namespace {

constexpr std::uint32_t kDefaultTimeoutMs = 2000;
constexpr std::uint32_t kMaxTimeoutMs = 60 * 1000; // a minute
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
};

bool parse_port(const char *text, Address *out) {
    const std::size_t length = std::strlen(text);
    if (length == 0 || length > 5) return false;
    std::uint32_t port = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        port = port * 10 + static_cast<std::uint32_t>(*p - '0');
    }
    if (port < 1 || port > 65535) return false;
    std::memcpy(out->port, text, length + 1);
    return true;
}

// //HOST:PORT or //[IPV6]:PORT (what follows the scheme's colon).
bool parse_address(const char *text, Address *out) {
    if (std::strncmp(text, "//", 2) != 0) return false;
    text += 2;
    const char *host = text;
    const char *host_end;
    const char *port;
    if (*text == '[') {
        host = text + 1;
        host_end = std::strchr(host, ']');
        if (host_end == nullptr || host_end[1] != ':') return false;
        port = host_end + 2;
    } else {
        host_end = std::strchr(text, ':');
        if (host_end == nullptr) return false;
        port = host_end + 1;
    }
    const std::size_t host_length = static_cast<std::size_t>(host_end - host);
    if (host_length == 0 || host_length > kMaxHostLength) return false;
    for (const char *p = host; p != host_end; ++p) {
        // No spaces, paths, user names or a second port in a host.
        if (*p <= ' ' || *p == '/' || *p == '@' || (*text != '[' && *p == ':')) return false;
    }
    std::memcpy(out->host, host, host_length);
    out->host[host_length] = '\0';
    return parse_port(port, out);
}

extern const Methods kNetworkMethods;

struct NetworkDevice {
    Head head{&kNetworkMethods};
    netio::Socket socket;
    bool telnet;
    std::uint32_t timeout_ms;
    std::int64_t open_deadline_us;
    std::atomic<bool> gone;
    bool purged_clean; // the bridge answered a purge, and nothing was written since
    platform::Lock lock;
    telnet::Client client;
    // Received bytes not yet taken: [start, end) of input.
    std::uint8_t input[2048];
    std::size_t start;
    std::size_t end;
};

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
            if (consumed > 0) std::memcpy(out, data + done, consumed);
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
        // A server that sends without end keeps the socket readable: the
        // deadline is checked here, not only by the wait.
        if (d->gone.load() || netio::now_us() >= deadline_us) return false;
        platform::lock_leave(&d->lock);
        const bool readable = netio::wait_readable(d->socket, deadline_us);
        platform::lock_enter(&d->lock);
        if (!readable || !receive_now(d)) {
            drop_input(d);
            return done();
        }
    }
}

NetworkDevice *net_of(Device device) { return record_of<NetworkDevice>(device); }

void close_net(Device device);

Device open_net(const char *address, const Options &options, bool telnet) {
    Address parsed{};
    std::uint32_t timeout_ms = kDefaultTimeoutMs;
    if (!parse_address(address, &parsed) || !options.number("timeout_ms", kMaxTimeoutMs, &timeout_ms) ||
        timeout_ms == 0)
        return kInvalidDevice;
    const std::int64_t deadline = netio::now_us() + static_cast<std::int64_t>(timeout_ms) * 1000;
    const netio::Socket socket = netio::connect_tcp(parsed.host, parsed.port, timeout_ms);
    if (socket == netio::kNoSocket) return kInvalidDevice;
    auto *d = new (std::nothrow) NetworkDevice;
    if (d == nullptr) {
        netio::close_socket(socket);
        return kInvalidDevice;
    }
    d->socket = socket;
    d->telnet = telnet;
    d->timeout_ms = timeout_ms;
    d->open_deadline_us = deadline;
    d->gone.store(false);
    d->purged_clean = false;
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
        close_net(as_device(d));
        return kInvalidDevice;
    }
    return as_device(d);
}

// rfc2217: the line settings and a purge of both directions, all answered
// within the open's bound.
bool configure_net(Device device, std::uint32_t baud) {
    NetworkDevice *d = net_of(device);
    if (!d->telnet) return !d->gone.load();
    Locked hold(d);
    d->client.request_purge(telnet::kPurgeBoth);
    d->client.request_line_settings(baud);
    std::uint32_t answered = 0;
    const bool done = await(d, d->open_deadline_us, [d] {
        return (d->client.settings_acknowledged() && d->client.purge_acknowledged()) || d->client.settings_refused();
    });
    d->purged_clean = done && d->client.purge_acknowledged();
    return done && d->client.settings_acknowledged() && d->client.rate_acknowledged(&answered) && answered == baud;
}

// rfc2217: the rate, after the purge that ZAV_SetBaudrate asked for just
// before, both answered within the time-out.
bool change_baud_net(Device device, std::uint32_t baud) {
    NetworkDevice *d = net_of(device);
    if (!d->telnet) return !d->gone.load();
    Locked hold(d);
    const bool purging = d->client.purge_pending();
    d->client.request_baudrate(baud);
    std::uint32_t answered = 0;
    const std::int64_t deadline = netio::now_us() + static_cast<std::int64_t>(d->timeout_ms) * 1000;
    const bool done = await(d, deadline, [d, purging, &answered] {
        return d->client.rate_acknowledged(&answered) && (!purging || d->client.purge_acknowledged());
    });
    if (done && purging) d->purged_clean = true;
    return done && answered == baud;
}

bool query_net(Device device) {
    NetworkDevice *d = net_of(device);
    return !d->gone.load() && !netio::peer_closed(d->socket);
}

void clear_errors_net(Device) {}

void purge_net(Device device, Purge what) {
    NetworkDevice *d = net_of(device);
    Locked hold(d);
    drop_input(d);
    for (int round = 0; round < kMaxPurgeRounds && !d->gone.load(); ++round) {
        const std::size_t before = d->end;
        if (!receive_now(d) || d->end == before) break;
        drop_input(d);
    }
    if (!d->telnet || what == Purge::kReceive) return;
    if (what == Purge::kAbortAll) {
        d->client.request_purge(telnet::kPurgeBoth);
        send_with_output(d, nullptr, 0, netio::now_us());
        return;
    }
    // Goes out with the rate change that follows it (ZAV_SetBaudrate), never
    // in one segment with data; nothing to purge when nothing was written
    // since the bridge's last purge (the open's).
    if (!d->purged_clean) d->client.request_purge(telnet::kPurgeBoth);
}

bool write_net(Device device, const std::uint8_t *data, std::uint32_t count) {
    NetworkDevice *d = net_of(device);
    Locked hold(d);
    d->purged_clean = false;
    return send_with_output(d, data, count, netio::now_us() + kWriteLimitUs);
}

bool read_net(Device device, std::uint8_t *buffer, std::uint32_t count, std::uint32_t *got, std::uint32_t timeout_ms) {
    NetworkDevice *d = net_of(device);
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
        if (netio::now_us() >= deadline) break; // a short read, however much Telnet keeps arriving
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

void close_net(Device device) {
    NetworkDevice *d = net_of(device);
    netio::close_socket(d->socket);
    platform::lock_destroy(&d->lock);
    delete d;
}

Device open_tcp(const char *address, const Options &options) { return open_net(address, options, false); }
Device open_rfc2217(const char *address, const Options &options) { return open_net(address, options, true); }

const Methods kNetworkMethods = {configure_net, change_baud_net, query_net, purge_net,
                                 clear_errors_net, write_net,     read_net,  close_net};

const char *const kNetworkOptions[] = {"timeout_ms", nullptr};

} // namespace

extern const Backend tcp_backend = {"tcp", kNetworkOptions, open_tcp};
extern const Backend rfc2217_backend = {"rfc2217", kNetworkOptions, open_rfc2217};

} // namespace device
