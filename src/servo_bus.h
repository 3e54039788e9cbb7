// A model of up to 32 servos sharing one serial line: it takes the bytes a
// host sends, echoes them as a one-wire line does, and answers the position,
// parameter-read and parameter-write commands. The one model of the project:
// the library's sim: devices, the unit tests' device, zavsim and zavctl all
// run it. Feeding it bytes allocates nothing, and the text of a trace is made
// only while a trace sink is set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
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

// Replies a test scripts in place of the computed ones, first in first out.
class ScriptedReplies {
public:
    static constexpr std::size_t kCapacity = 8;
    static constexpr std::size_t kLongest = 8;

    struct Reply {
        uint8_t bytes[kLongest];
        std::size_t size;
    };

    // False (and nothing kept) when full or when the reply is too long.
    bool push_back(const uint8_t *bytes, std::size_t n);
    bool push_back(std::initializer_list<uint8_t> bytes) { return push_back(bytes.begin(), bytes.size()); }
    bool push_back(const std::vector<uint8_t> &bytes) { return push_back(bytes.data(), bytes.size()); }
    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }
    void clear() { count_ = 0; }
    // Takes the first reply into out; false when there is none.
    bool pop_front(Reply &out);

private:
    Reply replies_[kCapacity] = {};
    std::size_t first_ = 0;
    std::size_t count_ = 0;
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
    ScriptedReplies scripted_replies; // one per request (up to 8 bytes each)

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

// Where the line's answers (echo, replies) go, each due at a given time.
class LineSink {
public:
    virtual void emit(double at_ms, const uint8_t *bytes, std::size_t n) = 0;

protected:
    ~LineSink() = default;
};

// Bytes for the host, due at a given time (for the tools' queues).
struct Emission {
    double at_ms;
    std::vector<uint8_t> bytes;
};

// One packet or reply, decoded; the pointers live for the call only.
struct TraceEvent {
    double at_ms;
    bool to_host;
    const uint8_t *bytes;
    std::size_t size;
    const char *what; // e.g. "position id 3 goal 7500"
};

class TraceSink {
public:
    virtual void trace(const TraceEvent &event) = 0;

protected:
    ~TraceSink() = default;
};

// Decodes one packet or reply for a trace line, into text (at least 96 bytes).
void describe_request(const uint8_t *bytes, std::size_t n, char *text, std::size_t size);
void describe_reply(const uint8_t *request, const uint8_t *bytes, std::size_t n, char *text, std::size_t size);

// Sign-and-magnitude encoding that the library decodes for sub-code 3.
uint8_t encode_sc3(int value);
// A raw sub-code 4 byte whose decoded value is as close to value as possible.
uint8_t encode_sc4(int value);

class ServoBus {
public:
    explicit ServoBus(BusOptions options = {});

    // Feed bytes from the host that arrived at now_ms; what the line sends
    // back (echo, replies) goes to out.
    void receive(const uint8_t *data, std::size_t n, double now_ms, LineSink &out);
    // The same, appending to a list.
    void receive(const uint8_t *data, std::size_t n, double now_ms, std::vector<Emission> &out) {
        struct Appender final : LineSink {
            std::vector<Emission> &list;
            explicit Appender(std::vector<Emission> &l) : list(l) {}
            void emit(double at_ms, const uint8_t *bytes, std::size_t size) override {
                list.push_back({at_ms, std::vector<uint8_t>(bytes, bytes + size)});
            }
        } appender(out);
        receive(data, n, now_ms, appender);
    }
    // The rate the host's side of the line runs at (0: unknown). With
    // strict_baud, bytes sent at another rate than the servos' own reach them
    // garbled: the echo still comes back, but no servo answers.
    void set_line_baud(uint32_t baud) { line_baud_ = baud; }
    // Drop a partly received packet (the line went idle in the middle of it).
    void reset_parser() { pending_size_ = 0; }
    bool mid_packet() const { return pending_size_ != 0; }

    // Move every held servo toward its goal up to now_ms.
    void advance(double now_ms);

    Servo &servo(int id) { return servos_[static_cast<std::size_t>(id & 31)]; }
    const Servo &servo(int id) const { return servos_[static_cast<std::size_t>(id & 31)]; }
    // Only the ids whose bit is set (bit 0: id 0) answer.
    void set_present_mask(uint32_t ids);
    // Only the listed ids answer.
    void set_present(const std::vector<int> &ids) {
        uint32_t mask = 0;
        for (int id : ids) mask |= 1u << (id & 31);
        set_present_mask(mask);
    }

    BusOptions &options() { return options_; }
    // Receives every packet and reply, decoded, while set.
    TraceSink *trace = nullptr;

    // Counters a test can wait on.
    uint64_t packets_received() const { return packets_; }

private:
    void handle_packet(const uint8_t *packet, std::size_t size, double at_ms, LineSink &out);
    double byte_ms() const;

    BusOptions options_;
    Servo servos_[kServoCount];
    uint8_t pending_[3] = {};
    std::size_t pending_size_ = 0;
    double last_advance_ms_ = -1.0;
    uint64_t packets_ = 0;
    uint32_t line_baud_ = 0;
};

// Data bytes that follow a command byte, by command number; -1 for commands the
// servos do not know.
int request_data_length(uint8_t command_byte);

// Reads a list of ids such as "0-5,9" (length characters of text): calls
// visit for each range in turn (first <= last, both 0 to 31). False on an
// empty or malformed list, a range running backwards or an id above 31.
bool for_each_id_range(const char *text, std::size_t length, void (*visit)(void *context, int first, int last),
                       void *context);

// The list as a set of ids (bit 0: id 0).
bool parse_id_mask(const char *text, std::size_t length, uint32_t *ids);

// "0-5,9" -> {0,1,2,3,4,5,9}, in the order given.
inline bool parse_id_list(const std::string &text, std::vector<int> &ids) {
    ids.clear();
    const bool ok = for_each_id_range(
        text.data(), text.size(),
        [](void *context, int first, int last) {
            for (int id = first; id <= last; ++id) static_cast<std::vector<int> *>(context)->push_back(id);
        },
        &ids);
    if (!ok) ids.clear();
    return ok;
}

} // namespace zavsim
