#include "network_far_end.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "memory_bus.h"
#include "socket_io.h"

namespace fuzznet {

namespace {

constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr int kMaxConnections = 8;

struct Chunk {
    double at_ms;
    std::vector<uint8_t> bytes;
};

struct Connection {
    bool open = false;
    bool telnet = false;
    bool hung_up = false;
    zavsim::ServoBus *bus = nullptr;
    std::deque<Chunk> pending;
    // Sending without end: the next chunk is due at flood_next_ms; the gaps
    // grow, so a long wait sees a bounded number of them.
    bool flooding = false;
    double flood_next_ms = 0.0;
    double flood_gap_ms = 0.5;
    // The server's reading of what the client sends.
    enum class State { kData, kIac, kOption, kSub, kSubIac } state = State::kData;
    uint8_t verb = 0;
    std::vector<uint8_t> sub;
};

FuzzedDataProvider *in = nullptr;
zavsim::ServoBus *buses[2] = {};
Connection connections[kMaxConnections];

Connection *connection_of(netio::Socket socket) {
    return socket >= 0 && socket < kMaxConnections && connections[socket].open ? &connections[socket] : nullptr;
}

// Queues bytes for the client, delay_ms from now, cut into pieces at points
// the input picks.
void deliver(Connection &c, std::vector<uint8_t> bytes, double delay_ms) {
    double at = membus::now_ms() + delay_ms;
    while (!bytes.empty()) {
        const size_t cut = in->ConsumeBool() ? bytes.size() : in->ConsumeIntegralInRange<size_t>(1, bytes.size());
        c.pending.push_back({at, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut))});
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        at += in->ConsumeIntegralInRange<int>(0, 3);
    }
}

std::vector<uint8_t> escaped(const std::vector<uint8_t> &data) {
    std::vector<uint8_t> out;
    for (uint8_t b : data) {
        out.push_back(b);
        if (b == IAC) out.push_back(IAC);
    }
    return out;
}

// What a Telnet bridge answers to one command of the client, or hostile bytes.
void answer_command(Connection &c, const std::vector<uint8_t> &command) {
    switch (in->ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return; // no answer
    case 1: deliver(c, in->ConsumeBytes<uint8_t>(in->ConsumeIntegralInRange<size_t>(0, 12)), 0.0); return;
    default: break;
    }
    if (command[1] == SB && command.size() >= 6 && command[2] == 44) {
        std::vector<uint8_t> reply = {IAC, SB, 44, static_cast<uint8_t>(command[3] + 100)};
        const std::vector<uint8_t> value(command.begin() + 4, command.end() - 2);
        const std::vector<uint8_t> sent = escaped(value);
        reply.insert(reply.end(), sent.begin(), sent.end());
        reply.insert(reply.end(), {IAC, SE});
        // ser2net leaves the modem-line commands unanswered on a pseudo-terminal.
        if (command[3] != 5 || in->ConsumeBool()) deliver(c, reply, in->ConsumeIntegralInRange<int>(0, 20));
    } else if (command[1] == WILL || command[1] == DO) {
        const bool agree = command[2] == 0 || command[2] == 3 || command[2] == 44 || in->ConsumeBool();
        const uint8_t verb = command[1] == WILL ? (agree ? DO : DONT) : (agree ? WILL : WONT);
        deliver(c, {IAC, verb, command[2]}, in->ConsumeIntegralInRange<int>(0, 5));
    }
}

// The bus behind the bridge takes data bytes and answers through the bridge.
void to_bus(Connection &c, const std::vector<uint8_t> &data) {
    if (data.empty()) return;
    const uint8_t plan = in->ConsumeIntegral<uint8_t>();
    const double delay = (plan & 0x80) != 0 ? in->ConsumeIntegralInRange<int>(0, 130) : 0.0;
    const double now = membus::now_ms();
    std::vector<zavsim::Emission> out;
    switch (plan & 7) {
    case 0:
    case 1:
    case 2:
    case 3: // the bus answers through the bridge
        c.bus->receive(data.data(), data.size(), now, out);
        for (const auto &e : out) deliver(c, c.telnet ? escaped(e.bytes) : e.bytes, e.at_ms - now + delay);
        break;
    case 4: { // the answer with Telnet commands slipped in, or bytes of the input's choosing
        c.bus->receive(data.data(), data.size(), now, out);
        for (const auto &e : out) {
            std::vector<uint8_t> bytes = c.telnet ? escaped(e.bytes) : e.bytes;
            const std::vector<uint8_t> extra = in->ConsumeBytes<uint8_t>(in->ConsumeIntegralInRange<size_t>(0, 9));
            bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(in->ConsumeIntegralInRange<size_t>(0, bytes.size())),
                         extra.begin(), extra.end());
            deliver(c, bytes, e.at_ms - now + delay);
        }
        break;
    }
    case 5: break; // silence
    case 6: // the bridge goes away
        c.hung_up = true;
        break;
    default: // it starts sending without end
        c.flooding = true;
        c.flood_next_ms = now;
        break;
    }
}

// The server side of Telnet: splits what the client sent into data and commands.
void from_client(Connection &c, const uint8_t *bytes, size_t count) {
    std::vector<uint8_t> data;
    using State = Connection::State;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        if (!c.telnet) {
            data.push_back(b);
            continue;
        }
        switch (c.state) {
        case State::kData:
            if (b == IAC) c.state = State::kIac;
            else data.push_back(b);
            break;
        case State::kIac:
            if (b == IAC) {
                data.push_back(IAC);
                c.state = State::kData;
            } else if (b >= WILL && b <= DONT) {
                c.verb = b;
                c.state = State::kOption;
            } else if (b == SB) {
                c.sub.clear();
                c.state = State::kSub;
            } else {
                c.state = State::kData;
            }
            break;
        case State::kOption:
            answer_command(c, {IAC, c.verb, b});
            c.state = State::kData;
            break;
        case State::kSub:
            if (b == IAC) c.state = State::kSubIac;
            else if (c.sub.size() < 16) c.sub.push_back(b);
            break;
        case State::kSubIac:
            if (b == IAC) {
                c.sub.push_back(IAC);
                c.state = State::kSub;
            } else {
                std::vector<uint8_t> command = {IAC, SB};
                command.insert(command.end(), c.sub.begin(), c.sub.end());
                command.insert(command.end(), {IAC, SE});
                if (b == SE) answer_command(c, command);
                c.state = State::kData;
            }
            break;
        }
    }
    to_bus(c, data);
}

// The earliest time something arrives for the client, or a negative number.
double next_arrival(Connection &c) {
    double next = c.pending.empty() ? -1.0 : c.pending.front().at_ms;
    if (c.flooding && (next < 0 || c.flood_next_ms < next)) next = c.flood_next_ms;
    return next;
}

} // namespace

void reset(FuzzedDataProvider *input, zavsim::ServoBus *raw_bus, zavsim::ServoBus *telnet_bus) {
    in = input;
    buses[0] = raw_bus;
    buses[1] = telnet_bus;
    for (Connection &c : connections) c = Connection{};
}

int open_connections() {
    return static_cast<int>(std::count_if(std::begin(connections), std::end(connections),
                                          [](const Connection &c) { return c.open; }));
}

} // namespace fuzznet

namespace netio {

using namespace fuzznet;

std::int64_t now_us() { return static_cast<std::int64_t>(membus::now_ms() * 1000.0); }

Socket connect_tcp(const char *host, const char *port, std::uint32_t timeout_ms) {
    const bool known = std::strcmp(host, "bridge") == 0 && (std::strcmp(port, "1") == 0 || std::strcmp(port, "2") == 0);
    // The connect takes its time: sometimes past the bound, which must fail it.
    const double took = in->ConsumeIntegralInRange<uint32_t>(0, timeout_ms + 50);
    membus::advance_ms(std::min<double>(took, timeout_ms));
    if (!known || took > timeout_ms || in->ConsumeProbability<float>() < 0.05f) return kNoSocket;
    for (int i = 0; i < kMaxConnections; ++i) {
        Connection &c = connections[i];
        if (c.open) continue;
        c = Connection{};
        c.open = true;
        c.telnet = port[0] == '2';
        c.bus = buses[c.telnet ? 1 : 0];
        // ser2net opens with its own proposals.
        if (c.telnet && in->ConsumeBool())
            deliver(c, {IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 1, IAC, DONT, 1, IAC, DO, 0, IAC, WILL, 0, IAC, DO, 44},
                    in->ConsumeIntegralInRange<int>(0, 10));
        return i;
    }
    return kNoSocket;
}

Sent send_all(Socket socket, const std::uint8_t *data, std::size_t count, std::int64_t) {
    Connection *c = connection_of(socket);
    if (c == nullptr || c->hung_up) return Sent::kClosed;
    from_client(*c, data, count);
    return Sent::kAll;
}

bool wait_readable(Socket socket, std::int64_t deadline_us) {
    Connection *c = connection_of(socket);
    const double deadline = static_cast<double>(deadline_us) / 1000.0;
    if (c == nullptr || c->hung_up) return true; // the end of the connection is readable at once
    const double next = next_arrival(*c);
    if (next >= 0 && next <= deadline) {
        if (next > membus::now_ms()) membus::advance_ms(next - membus::now_ms());
        return true;
    }
    if (deadline > membus::now_ms()) membus::advance_ms(deadline - membus::now_ms());
    return false;
}

long receive_now(Socket socket, std::uint8_t *buffer, std::size_t capacity) {
    Connection *c = connection_of(socket);
    if (c == nullptr || c->hung_up) return -1;
    const double now = membus::now_ms();
    if (c->flooding && c->flood_next_ms <= now) {
        std::vector<uint8_t> flood = in->ConsumeBytes<uint8_t>(in->ConsumeIntegralInRange<size_t>(1, 64));
        if (flood.empty()) flood.assign(64, IAC);
        c->pending.push_front({now, flood});
        c->flood_next_ms = now + c->flood_gap_ms;
        c->flood_gap_ms *= 1.5;
    }
    if (c->pending.empty() || c->pending.front().at_ms > now) return 0;
    Chunk &chunk = c->pending.front();
    const size_t n = std::min(capacity, chunk.bytes.size());
    std::memcpy(buffer, chunk.bytes.data(), n);
    chunk.bytes.erase(chunk.bytes.begin(), chunk.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    if (chunk.bytes.empty()) c->pending.pop_front();
    return static_cast<long>(n);
}

bool peer_closed(Socket socket) {
    const Connection *c = connection_of(socket);
    return c == nullptr || c->hung_up;
}

void close_socket(Socket socket) {
    if (Connection *c = connection_of(socket)) c->open = false;
}

} // namespace netio
