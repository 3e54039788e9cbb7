// A model of up to 32 servos sharing one serial line: it takes the bytes a
// host sends, echoes them as a one-wire line does, and answers the position,
// parameter-read and parameter-write commands. The same model serves the unit
// tests (over the in-memory bus), the pseudo-terminal tests, zavsim and zavctl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "zavlib.h" // the bus's facts

namespace zavsim {

constexpr int kServoCount = ZAV_ID_MAX + 1;

// What a servo does wrong with its replies.
enum class FaultKind : uint8_t {
    kNone,
    kSilent,  // no reply at all
    kLate,    // the full reply, but late_ms after the request
    kShort,   // only the first two reply bytes
    kCorrupt, // reply[byte] ^= mask
};

struct Fault {
    FaultKind kind = FaultKind::kNone;
    int command = -1;  // only replies to this command number; -1: any
    int subcode = -1;  // only parameter replies with this sub-code; -1: any
    int byte = 0;      // kCorrupt: which reply byte (0, 1 or 2)
    uint8_t mask = 0x01;
    double late_ms = 100.0;
    int remaining = -1; // replies still to affect; -1: all

    static Fault silent() { return {FaultKind::kSilent}; }
    static Fault late(double ms) {
        Fault f{FaultKind::kLate};
        f.late_ms = ms;
        return f;
    }
    static Fault short_reply() { return {FaultKind::kShort}; }
    static Fault corrupt(int byte, uint8_t mask = 0x01) {
        Fault f{FaultKind::kCorrupt};
        f.byte = byte;
        f.mask = mask;
        return f;
    }
    Fault &only_command(int cmd) {
        command = cmd;
        return *this;
    }
    Fault &only_subcode(int sub) {
        subcode = sub;
        return *this;
    }
    Fault &times(int n) {
        remaining = n;
        return *this;
    }
};

struct Servo {
    bool present = true;
    bool torque = false;
    uint16_t goal = 0;
    double position = ZAV_GOAL_CENTER; // present position
    uint8_t sc1 = 10;         // writable parameter, sub-code 1
    uint8_t sc2 = 32;         // writable parameter, sub-code 2
    uint8_t sc3_raw = 0;      // reading, sub-code 3, as sent on the wire (sign and magnitude)
    uint8_t sc4_raw = 100;    // reading, sub-code 4, as sent on the wire
    bool dynamic_readings = false; // readings follow motion
    Fault fault;
    // Replies sent instead of the computed ones, one per request (any length).
    std::deque<std::vector<uint8_t>> scripted_replies;

    uint16_t present_position() const { return static_cast<uint16_t>(position + 0.5); }
};

struct BusOptions {
    bool echo = true;
    uint32_t baud = ZAV_DEFAULT_BAUD;
    bool wire_time = false;       // delay echo and reply by their time on the wire
    double speed = 3000.0;        // position units per second while torque is on
    double bits_per_byte = 11.0;  // start, 8 data, parity, stop
    double latency_ms = 0.0;      // the host's adapter holds every echo and reply this long
    bool strict_baud = false;     // servos hear hosts at other rates as noise and stay silent
};

// Bytes for the host, due at a given time.
struct Emission {
    double at_ms;
    std::vector<uint8_t> bytes;
};

struct TraceEvent {
    double at_ms;
    bool to_host;
    std::vector<uint8_t> bytes;
    std::string what; // decoded, e.g. "position id 3 goal 7500"
};

// Decodes one packet or reply for a trace line.
std::string describe_request(const uint8_t *bytes, std::size_t n);
std::string describe_reply(const uint8_t *request, const uint8_t *bytes, std::size_t n);

// Sign-and-magnitude encoding that the library decodes for sub-code 3.
uint8_t encode_sc3(int value);
// A raw sub-code 4 byte whose decoded value is as close to value as possible.
uint8_t encode_sc4(int value);

class ServoBus {
public:
    explicit ServoBus(BusOptions options = {});

    // Feed bytes from the host that arrived at now_ms; appends what the line
    // sends back (echo, replies) to out.
    void receive(const uint8_t *data, std::size_t n, double now_ms, std::vector<Emission> &out);
    // The rate the host's side of the line runs at (0: unknown). With
    // strict_baud, bytes sent at another rate than the servos' own reach them
    // garbled: the echo still comes back, but no servo answers.
    void set_line_baud(uint32_t baud) { line_baud_ = baud; }
    // Drop a partly received packet (the line went idle in the middle of it).
    void reset_parser() { pending_.clear(); }
    bool mid_packet() const { return !pending_.empty(); }

    // Move every held servo toward its goal up to now_ms.
    void advance(double now_ms);

    Servo &servo(int id) { return servos_[static_cast<std::size_t>(id & 31)]; }
    const Servo &servo(int id) const { return servos_[static_cast<std::size_t>(id & 31)]; }
    // Only the listed ids answer.
    void set_present(const std::vector<int> &ids);

    BusOptions &options() { return options_; }
    std::function<void(const TraceEvent &)> trace;

    // Counters a test can wait on.
    uint64_t packets_received() const { return packets_; }

private:
    void handle_packet(const std::vector<uint8_t> &packet, double at_ms, std::vector<Emission> &out);
    double byte_ms() const;

    BusOptions options_;
    Servo servos_[kServoCount];
    std::vector<uint8_t> pending_;
    double last_advance_ms_ = -1.0;
    uint64_t packets_ = 0;
    uint32_t line_baud_ = 0;
};

// Data bytes that follow a command byte, by command number; -1 for commands the
// servos do not know.
int request_data_length(uint8_t command_byte);

// "0-5,9" -> {0,1,2,3,4,5,9}; false on a malformed list or an id above 31.
bool parse_id_list(const std::string &text, std::vector<int> &ids);

} // namespace zavsim
