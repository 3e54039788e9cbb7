#include "servo_bus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zavsim {

namespace {

constexpr int kPosition = CMD_POSITION;
constexpr int kReadParam = CMD_READ_PARAM;
constexpr int kWriteParam = CMD_WRITE_PARAM;
constexpr std::size_t kTraceText = 96;

int command_of(uint8_t command_byte) { return command_byte >> ZAV_COMMAND_SHIFT; }
int id_of(uint8_t command_byte) { return command_byte & ((1 << ZAV_COMMAND_SHIFT) - 1); }

bool fault_applies(Fault &fault, int command, int subcode) {
    if (fault.kind == FaultKind::kNone || fault.remaining == 0) return false;
    if (fault.command >= 0 && fault.command != command) return false;
    if (fault.subcode >= 0 && fault.subcode != subcode) return false;
    if (fault.remaining > 0) --fault.remaining;
    return true;
}

// A decimal id at text[*at], moved past it; -1 when there is none or it is above 31.
int read_id(const char *text, std::size_t length, std::size_t *at) {
    std::size_t i = *at;
    int value = 0;
    while (i < length && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<int>(ZAV_ID_MAX)) return -1;
        ++i;
    }
    if (i == *at) return -1;
    *at = i;
    return value;
}

} // namespace

bool ScriptedReplies::push_back(const uint8_t *bytes, std::size_t n) {
    if (count_ == kCapacity || n > kLongest) return false;
    Reply &slot = replies_[(first_ + count_) % kCapacity];
    if (n > 0) std::memcpy(slot.bytes, bytes, n);
    slot.size = n;
    ++count_;
    return true;
}

bool ScriptedReplies::pop_front(Reply &out) {
    if (count_ == 0) return false;
    out = replies_[first_];
    first_ = (first_ + 1) % kCapacity;
    --count_;
    return true;
}

int request_data_length(uint8_t command_byte) {
    switch (command_of(command_byte)) {
    case kPosition: return 2;
    case kReadParam: return 1;
    case kWriteParam: return 2;
    default: return -1;
    }
}

uint8_t encode_sc3(int value) {
    const int magnitude = std::min<int>(ZAV_SC3_MAGNITUDE_MASK, std::abs(value));
    return static_cast<uint8_t>(magnitude | (value < 0 ? ZAV_SC3_SIGN_BIT : 0u));
}

uint8_t encode_sc4(int value) {
    // The servo sends the v whose conversion (the header's) comes closest.
    int best = 0;
    double best_error = 1e9;
    for (int v = 0; v < 256; ++v) {
        const double decoded =
            std::trunc(static_cast<double>((ZAV_SC4_ORIGIN - v) * ZAV_SC4_SCALE_NUM) / ZAV_SC4_SCALE_DEN + ZAV_SC4_OFFSET);
        const double error = std::fabs(decoded - value);
        if (error < best_error) {
            best = v;
            best_error = error;
        }
    }
    return static_cast<uint8_t>(best);
}

void describe_request(const uint8_t *bytes, std::size_t n, char *text, std::size_t size) {
    if (n == 0) {
        std::snprintf(text, size, "empty");
        return;
    }
    const int id = id_of(bytes[0]);
    const int length = request_data_length(bytes[0]);
    if (length < 0 || n != static_cast<std::size_t>(length) + 1) {
        std::snprintf(text, size, "command %d id %d (%zu bytes, not understood)", command_of(bytes[0]), id, n);
    } else if (command_of(bytes[0]) == kPosition) {
        const int position = (bytes[1] & 0x7F) << 7 | (bytes[2] & 0x7F);
        if (position == 0)
            std::snprintf(text, size, "position id %d release", id);
        else
            std::snprintf(text, size, "position id %d goal %d", id, position);
    } else if (command_of(bytes[0]) == kReadParam) {
        std::snprintf(text, size, "read-param id %d sub-code %d", id, bytes[1]);
    } else {
        std::snprintf(text, size, "write-param id %d sub-code %d value %d", id, bytes[1], bytes[2]);
    }
}

void describe_reply(const uint8_t *request, const uint8_t *bytes, std::size_t n, char *text, std::size_t size) {
    if (n < ZAV_REPLY_LENGTH) {
        std::snprintf(text, size, "short reply (%zu bytes)", n);
        return;
    }
    switch (command_of(request[0])) {
    case kPosition:
        std::snprintf(text, size, "position reply present %d", bytes[1] * 128 + (bytes[2] & 0x7F));
        break;
    case kReadParam:
        std::snprintf(text, size, "read-param reply sub-code %d value %d", bytes[1], bytes[2]);
        break;
    default:
        std::snprintf(text, size, "write-param reply sub-code %d value %d", bytes[1], bytes[2]);
        break;
    }
}

bool for_each_id_range(const char *text, std::size_t length, void (*visit)(void *context, int first, int last),
                       void *context) {
    if (length == 0) return false;
    std::size_t at = 0;
    while (true) {
        const int first = read_id(text, length, &at);
        int last = first;
        if (first < 0) return false;
        if (at < length && text[at] == '-') {
            ++at;
            last = read_id(text, length, &at);
            if (last < first) return false;
        }
        visit(context, first, last);
        if (at == length) return true;
        if (text[at] != ',') return false;
        ++at;
    }
}

bool parse_id_mask(const char *text, std::size_t length, uint32_t *ids) {
    uint32_t mask = 0;
    const bool ok = for_each_id_range(
        text, length,
        [](void *context, int first, int last) {
            for (int id = first; id <= last; ++id) *static_cast<uint32_t *>(context) |= 1u << id;
        },
        &mask);
    if (ok) *ids = mask;
    return ok;
}

ServoBus::ServoBus(BusOptions options) : options_(options) {
    for (int id = 0; id < kServoCount; ++id) servos_[id].position = ZAV_GOAL_CENTER + 100.0 * (id % 8);
}

double ServoBus::byte_ms() const {
    if (!options_.wire_time || options_.baud == 0) return 0.0;
    return options_.bits_per_byte * 1000.0 / options_.baud;
}

void ServoBus::set_present_mask(uint32_t ids) {
    for (int id = 0; id < kServoCount; ++id) servos_[id].present = ((ids >> id) & 1u) != 0;
}

void ServoBus::advance(double now_ms) {
    if (last_advance_ms_ < 0.0 || now_ms < last_advance_ms_) {
        last_advance_ms_ = now_ms;
        return;
    }
    const double step = options_.speed * (now_ms - last_advance_ms_) / 1000.0;
    last_advance_ms_ = now_ms;
    for (Servo &s : servos_) {
        if (!s.torque) continue;
        const double distance = s.goal - s.position;
        const bool moving = std::fabs(distance) > 0.5;
        if (moving) s.position += std::clamp(distance, -step, step);
        if (s.dynamic_readings) {
            // Load follows the direction of travel; the temperature reading
            // creeps up while working.
            s.sc3_raw = encode_sc3(moving ? (distance > 0 ? 20 : -20) : 2);
            if (moving && s.sc4_raw > 60) --s.sc4_raw;
        }
    }
}

void ServoBus::receive(const uint8_t *data, std::size_t n, double now_ms, LineSink &out) {
    advance(now_ms);
    if (n == 0) return;
    if (options_.echo) out.emit(now_ms + byte_ms() * static_cast<double>(n) + options_.latency_ms, data, n);
    if (options_.strict_baud && line_baud_ != 0 && line_baud_ != options_.baud) {
        pending_size_ = 0;
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        // Position data bytes are 7-bit: a byte with bit 7 set ends the packet
        // it cuts short, and begins a new one if it is a command byte.
        if (pending_size_ != 0 && command_of(pending_[0]) == kPosition && (data[i] & 0x80) != 0) pending_size_ = 0;
        if (pending_size_ == 0 && request_data_length(data[i]) < 0) continue; // not a command byte
        pending_[pending_size_++] = data[i];
        if (pending_size_ == static_cast<std::size_t>(request_data_length(pending_[0])) + 1) {
            uint8_t packet[sizeof pending_];
            const std::size_t size = pending_size_;
            std::memcpy(packet, pending_, size);
            pending_size_ = 0;
            // The packet is complete once its last byte has crossed the line.
            handle_packet(packet, size, now_ms + byte_ms() * static_cast<double>(i + 1), out);
        }
    }
}

void ServoBus::handle_packet(const uint8_t *packet, std::size_t size, double at_ms, LineSink &out) {
    ++packets_;
    const int command = command_of(packet[0]);
    const int id = id_of(packet[0]);
    Servo &s = servo(id);
    if (trace != nullptr) {
        char what[kTraceText];
        describe_request(packet, size, what, sizeof what);
        trace->trace({at_ms, false, packet, size, what});
    }
    if (!s.present) return;

    uint8_t reply[ScriptedReplies::kLongest] = {};
    std::size_t reply_size = ZAV_REPLY_LENGTH;
    int subcode = -1;
    if (command == kPosition) {
        const int position = (packet[1] & 0x7F) << 7 | (packet[2] & 0x7F);
        if (position == 0) {
            s.torque = false;
        } else {
            s.torque = true;
            s.goal = static_cast<uint16_t>(position);
        }
        const uint16_t present = s.present_position();
        reply[0] = static_cast<uint8_t>(id == 0 && options_.baud == ZAV_ID0_ALT_REPLY_BAUD ? ZAV_ID0_ALT_REPLY
                                                                                         : static_cast<unsigned>(id));
        reply[1] = static_cast<uint8_t>((present >> 7) & 0x7F);
        reply[2] = static_cast<uint8_t>(present & 0x7F);
    } else if (command == kReadParam) {
        subcode = packet[1];
        uint8_t value = 0;
        if (subcode == ZAV_SUBCODE_SC1) value = s.sc1;
        if (subcode == ZAV_SUBCODE_SC2) value = s.sc2;
        if (subcode == ZAV_SUBCODE_SC3) value = s.sc3_raw;
        if (subcode == ZAV_SUBCODE_SC4) value = s.sc4_raw;
        reply[0] = static_cast<uint8_t>(ZAV_READ_REPLY_BASE + id);
        reply[1] = packet[1];
        reply[2] = value;
    } else {
        subcode = packet[1];
        if (subcode == ZAV_SUBCODE_SC1) s.sc1 = packet[2];
        if (subcode == ZAV_SUBCODE_SC2) s.sc2 = packet[2];
        reply[0] = static_cast<uint8_t>(ZAV_WRITE_REPLY_BASE + id);
        reply[1] = packet[1];
        reply[2] = packet[2];
    }

    double reply_at = at_ms;
    ScriptedReplies::Reply scripted;
    if (s.scripted_replies.pop_front(scripted)) {
        std::memcpy(reply, scripted.bytes, scripted.size);
        reply_size = scripted.size;
    } else if (fault_applies(s.fault, command, subcode)) {
        switch (s.fault.kind) {
        case FaultKind::kSilent: return;
        case FaultKind::kLate: reply_at += s.fault.late_ms; break;
        case FaultKind::kShort: reply_size = 2; break;
        case FaultKind::kCorrupt: reply[static_cast<std::size_t>(s.fault.byte % static_cast<int>(ZAV_REPLY_LENGTH))] ^= s.fault.mask; break;
        case FaultKind::kNone: break;
        }
    }
    reply_at += byte_ms() * static_cast<double>(reply_size);
    if (trace != nullptr) {
        char what[kTraceText];
        describe_reply(packet, reply, reply_size, what, sizeof what);
        trace->trace({reply_at, true, reply, reply_size, what});
    }
    out.emit(reply_at + options_.latency_ms, reply, reply_size);
}

} // namespace zavsim
