#include "telnet_codec.h"

#include <cstring>
#include <initializer_list>

namespace telnet {

namespace {

constexpr std::uint32_t bit(Setting setting) { return 1u << static_cast<unsigned>(setting); }
constexpr std::uint32_t kDataSettings =
    bit(Setting::kBaudrate) | bit(Setting::kDatasize) | bit(Setting::kParity) | bit(Setting::kStopsize);

// IAC SB COM-PORT-OPTION PURGE-DATA value IAC SE
constexpr std::size_t kPurgeCommandLength = 7;

std::uint32_t big_endian(const std::uint8_t *bytes) {
    return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
           static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

} // namespace

std::size_t escape(const std::uint8_t *data, std::size_t count, std::uint8_t *out, std::size_t capacity,
                   std::size_t *consumed) {
    std::size_t written = 0;
    std::size_t taken = 0;
    while (taken < count) {
        const std::size_t width = data[taken] == kIac ? 2 : 1;
        if (written + width > capacity) break;
        out[written++] = data[taken];
        if (width == 2) out[written++] = kIac;
        ++taken;
    }
    *consumed = taken;
    return written;
}

void Client::start() {
    for (const std::uint8_t option : {kBinary, kSuppressGoAhead, kComPortOption}) queue_verb(kWill, option);
    for (const std::uint8_t option : {kBinary, kSuppressGoAhead}) queue_verb(kDo, option);
    local_[kLocalBinary].requested = local_[kLocalSga].requested = local_[kLocalComPort].requested = true;
    remote_[kRemoteBinary].requested = remote_[kRemoteSga].requested = true;
}

void Client::request_line_settings(std::uint32_t baud) {
    request_baudrate(baud);
    queue_com_port(kSetDatasize, &kDataBits, 1);
    queue_com_port(kSetParity, &kParityEven, 1);
    queue_com_port(kSetStopsize, &kStopBitsOne, 1);
    for (const std::uint8_t control : {kControlNoFlowControl, kControlDtrOn, kControlRtsOff})
        queue_com_port(kSetControl, &control, 1);
    awaited_ = kDataSettings;
    answered_ = 0;
    refused_settings_ = 0;
}

void Client::request_baudrate(std::uint32_t baud) {
    const std::uint8_t value[4] = {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
                                   static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
    queue_com_port(kSetBaudrate, value, sizeof value);
    awaited_ |= bit(Setting::kBaudrate);
    answered_ &= ~bit(Setting::kBaudrate);
}

void Client::request_purge(std::uint8_t what) {
    pending_purge_ |= what;
    answered_ &= ~bit(Setting::kPurge);
}

bool Client::purge_acknowledged() const { return (answered_ & bit(Setting::kPurge)) != 0; }

bool Client::settings_acknowledged() const {
    return awaited_ != 0 && (answered_ & awaited_) == awaited_ && refused_settings_ == 0;
}

bool Client::rate_acknowledged(std::uint32_t *baud) const {
    if ((answered_ & bit(Setting::kBaudrate)) == 0) return false;
    *baud = answered_baud_;
    return true;
}

std::size_t Client::receive(const std::uint8_t *in, std::size_t count, std::uint8_t *data, std::size_t capacity,
                            std::size_t *data_count) {
    std::size_t used = 0;
    std::size_t written = 0;
    for (; used < count; ++used) {
        const std::uint8_t byte = in[used];
        switch (state_) {
        case State::kData:
            if (byte == kIac) {
                state_ = State::kAfterIac;
            } else {
                if (written == capacity) goto full;
                data[written++] = byte;
            }
            break;
        case State::kAfterIac:
            if (byte == kIac) {
                if (written == capacity) goto full;
                data[written++] = kIac;
                state_ = State::kData;
            } else {
                after_iac(byte);
            }
            break;
        case State::kOption:
            on_option(verb_, byte);
            state_ = State::kData;
            break;
        case State::kSub:
            if (byte == kIac) {
                state_ = State::kSubIac;
            } else if (sub_length_ < kMaxSubnegotiation) {
                sub_[sub_length_++] = byte;
            } else {
                sub_overlong_ = true;
            }
            break;
        case State::kSubIac:
            if (byte == kIac) {
                if (sub_length_ < kMaxSubnegotiation) {
                    sub_[sub_length_++] = kIac;
                } else {
                    sub_overlong_ = true;
                }
                state_ = State::kSub;
            } else if (byte == kSe) {
                if (!sub_overlong_) on_subnegotiation();
                state_ = State::kData;
            } else {
                // A command inside a subnegotiation ends it unheard.
                after_iac(byte);
            }
            break;
        }
    }
full:
    *data_count = written;
    return used;
}

std::size_t Client::output_size() const {
    return output_length_ + (pending_purge_ != 0 ? kPurgeCommandLength : 0);
}

std::size_t Client::take_output(std::uint8_t *out, std::size_t capacity) {
    std::size_t written = 0;
    if (pending_purge_ != 0 && capacity >= kPurgeCommandLength) {
        const std::uint8_t command[kPurgeCommandLength] = {kIac, kSb, kComPortOption, kPurgeData,
                                                           pending_purge_, kIac, kSe};
        std::memcpy(out, command, kPurgeCommandLength);
        written = kPurgeCommandLength;
        pending_purge_ = 0;
    }
    const std::size_t n = output_length_ < capacity - written ? output_length_ : capacity - written;
    if (n == 0) return written; // out may be null when capacity is 0
    std::memcpy(out + written, output_, n);
    std::memmove(output_, output_ + n, output_length_ - n);
    output_length_ -= n;
    return written + n;
}

void Client::queue(const std::uint8_t *bytes, std::size_t count) {
    // All or nothing: half a command would corrupt the stream.
    if (output_length_ + count > kOutputCapacity) {
        ++dropped_output_;
        return;
    }
    std::memcpy(output_ + output_length_, bytes, count);
    output_length_ += count;
}

void Client::queue_verb(std::uint8_t verb, std::uint8_t option) {
    const std::uint8_t command[3] = {kIac, verb, option};
    queue(command, sizeof command);
}

void Client::queue_com_port(std::uint8_t command, const std::uint8_t *value, std::size_t length) {
    // IAC SB option command, the value with its 0xFF bytes doubled, IAC SE.
    std::uint8_t bytes[4 + 2 * 4 + 2];
    std::size_t n = 0;
    bytes[n++] = kIac;
    bytes[n++] = kSb;
    bytes[n++] = kComPortOption;
    bytes[n++] = command;
    std::size_t consumed = 0;
    n += escape(value, length, bytes + n, 2 * 4, &consumed);
    bytes[n++] = kIac;
    bytes[n++] = kSe;
    queue(bytes, n);
}

void Client::after_iac(std::uint8_t command) {
    if (command >= kWill && command <= kDont) {
        verb_ = command;
        state_ = State::kOption;
    } else if (command == kSb) {
        sub_length_ = 0;
        sub_overlong_ = false;
        state_ = State::kSub;
    } else {
        state_ = State::kData; // NOP, go-ahead, a stray SE and the like carry nothing here
    }
}

void Client::on_option(std::uint8_t verb, std::uint8_t option) {
    if (verb == kDo || verb == kDont) {
        // About this side.
        int index = -1;
        if (option == kBinary) index = kLocalBinary;
        if (option == kSuppressGoAhead) index = kLocalSga;
        if (option == kComPortOption) index = kLocalComPort;
        if (index < 0) {
            if (verb == kDo) queue_verb(kWont, option);
            return;
        }
        OptionState &state = local_[index];
        if (verb == kDo) {
            if (!state.enabled && !state.requested) queue_verb(kWill, option);
            state.enabled = true;
            state.requested = false;
            if (index == kLocalComPort) refused_com_port_ = false;
        } else {
            if (state.enabled) queue_verb(kWont, option);
            if (index == kLocalComPort && (state.enabled || state.requested)) refused_com_port_ = true;
            state.enabled = false;
            state.requested = false;
        }
        return;
    }
    // WILL or WONT: about the server's side.
    int index = -1;
    if (option == kBinary) index = kRemoteBinary;
    if (option == kSuppressGoAhead) index = kRemoteSga;
    if (index < 0) {
        if (verb == kWill) queue_verb(kDont, option);
        return;
    }
    OptionState &state = remote_[index];
    if (verb == kWill) {
        if (!state.enabled && !state.requested) queue_verb(kDo, option);
        state.enabled = true;
    } else {
        if (state.enabled) queue_verb(kDont, option);
        state.enabled = false;
    }
    state.requested = false;
}

void Client::on_subnegotiation() {
    // Only the server's answers to COM-PORT-OPTION commands matter here.
    if (sub_length_ < 2 || sub_[0] != kComPortOption) return;
    const std::uint8_t command = static_cast<std::uint8_t>(sub_[1] - kServerOffset);
    const std::size_t value_length = sub_length_ - 2;
    const std::uint8_t *value = sub_ + 2;
    std::uint8_t wanted = 0;
    Setting setting;
    switch (command) {
    case kSetBaudrate:
        if (value_length != 4) return;
        answered_baud_ = big_endian(value);
        answered_ |= bit(Setting::kBaudrate);
        return;
    case kSetDatasize: setting = Setting::kDatasize, wanted = kDataBits; break;
    case kSetParity: setting = Setting::kParity, wanted = kParityEven; break;
    case kSetStopsize: setting = Setting::kStopsize, wanted = kStopBitsOne; break;
    case kPurgeData:
        answered_ |= bit(Setting::kPurge);
        return;
    default: return; // modem-line answers, notifications
    }
    if (value_length != 1) return;
    answered_ |= bit(setting);
    if (value[0] != wanted) refused_settings_ |= bit(setting);
}

} // namespace telnet
