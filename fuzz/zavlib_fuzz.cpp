// Fuzz target: the input picks a sequence of calls to the public functions
// (which call, its arguments, null pointers, odd lengths, exact-size heap
// buffers) and also plays the far end of in-memory serial lines: for every
// packet written it decides whether the servo model answers, late, cut
// short, with bytes of its own, not at all, or whether the line hangs up or
// the write fails. Time is virtual, so time-outs cost nothing. It opens the
// library's own sim: bus among them, and plays the far end of tcp:// and
// rfc2217:// bridges too (network_far_end.h): hostile Telnet negotiation, IAC
// sequences split across reads, servers that send without end.
//
// Besides what AddressSanitizer and UndefinedBehaviorSanitizer catch, each
// call is checked for what a caller relies on: only known status flags, a
// failure always says why, a success leaves no flag where none may be, a
// failed read leaves the destination alone and a good one copies the image,
// no call outlasts the time-outs of the exchanges it may make, no device is
// left open that no port holds, and every servo image keeps its id.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "memory_bus.h"
#include "network_far_end.h"
#include "servo_bus.h"
#include "zavlib.h"
#include "zavlib_internal.h"

namespace {

#define REQUIRE(condition)                                                                                   \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "zavlib_fuzz: check failed at line %d: %s\n", __LINE__, #condition);      \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

constexpr unsigned kAllFlags = ERR_WRITE | ERR_TIMEOUT | ERR_PORT | ERR_REPLY | ERR_ADDRESS | ERR_ID | ERR_HANDLE;
constexpr int kMaxCalls = 160;
constexpr double kEchoLimitMs = ZAV_ECHO_TIMEOUT_MS;

// Longer than the 30 characters a port record keeps of a name.
const char kLongName[] = "COM1-a-name-longer-than-thirty-characters";
// Besides the in-memory lines: the library's in-process bus, whose servos hold
// their replies back 3 ms, and the network bridges.
const char *const kNames[] = {"COM1", "COM2", kLongName, "COM9" /* no such device */, nullptr,
                              "sim:0-31?latency_ms=3", fuzznet::kRawBridge, fuzznet::kTelnetBridge,
                              fuzznet::kRefusingBridge};

bool is_bridge(const std::string &name) { return name.find("://") != std::string::npos; }

struct Port {
    PortHandle handle;
    std::string name;
    // The settings as the port record keeps them, for the time bounds.
    uint32_t baud;
    uint32_t offset;
};

bool one_flag_of(unsigned status, unsigned allowed) {
    return status != 0 && (status & (status - 1)) == 0 && (status & allowed) == status;
}

class Session {
public:
    explicit Session(FuzzedDataProvider &in) : in_(in) {
        for (const char *name : {"COM1", "COM2", kLongName}) {
            auto bus = std::make_unique<zavsim::ServoBus>();
            const uint32_t present = in_.ConsumeIntegral<uint32_t>();
            for (int id = 0; id < zavsim::kServoCount; ++id) bus->servo(id).present = ((present >> id) & 1) == 0;
            bus->options().echo = !in_.ConsumeBool();
            membus::Device &device = membus::add_device(name);
            device.fail_configure = in_.ConsumeProbability<float>() < 0.05f;
            zavsim::ServoBus *model = bus.get();
            device.far_end = [this, model](membus::Device &d, const uint8_t *data, uint32_t count) {
                return answer(*model, d, data, count);
            };
            buses_.push_back(std::move(bus));
        }
        // The buses behind the raw and the Telnet bridge.
        for (int bridge = 0; bridge < 2; ++bridge) {
            auto bus = std::make_unique<zavsim::ServoBus>();
            bus->options().echo = !in_.ConsumeBool();
            buses_.push_back(std::move(bus));
        }
        fuzznet::reset(&in_, buses_[buses_.size() - 2].get(), buses_.back().get());
    }

    void run() {
        for (int call = 0; call < kMaxCalls && in_.remaining_bytes() > 0; ++call) {
            const double start = membus::now_ms();
            const double bound = one_call();
            // A nanosecond for rounding: the clock is a double and moves in
            // steps that are not binary fractions (483.085 + 53 ms is a hair
            // more than 53 ms after 483.085).
            REQUIRE(membus::now_ms() - start <= bound + 1e-6);
            check_devices_and_images();
        }
    }

private:
    // The far end's answer to one written packet; false fails the write.
    bool answer(zavsim::ServoBus &model, membus::Device &device, const uint8_t *data, uint32_t count) {
        const uint8_t plan = in_.ConsumeIntegral<uint8_t>();
        const double delay = (plan & 0x80) != 0 ? in_.ConsumeIntegralInRange<int>(0, 130) : 0.0;
        const double now = membus::now_ms();
        std::vector<zavsim::Emission> out;
        switch (plan & 7) {
        case 0:
        case 1:
        case 2: // the model answers, every byte delay ms late
            model.receive(data, count, now, out);
            for (const auto &e : out) device.deliver(e.bytes, e.at_ms - now + delay);
            break;
        case 3: { // the model answers, each emission cut to a few bytes
            model.receive(data, count, now, out);
            const size_t keep = in_.ConsumeIntegralInRange<size_t>(0, 3);
            for (auto &e : out) {
                if (e.bytes.size() > keep) e.bytes.resize(keep);
                device.deliver(e.bytes, e.at_ms - now + delay);
            }
            break;
        }
        case 4: // the echo, then bytes of the input's choosing
            if (model.options().echo) device.deliver(std::vector<uint8_t>(data, data + count));
            device.deliver(in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(0, 7)), delay);
            break;
        case 5: // silence
            break;
        case 6: // the far end goes away, possibly while the reply is due
            if (model.options().echo) device.deliver(std::vector<uint8_t>(data, data + count));
            device.hang_up_at_ms = now + delay;
            break;
        default: // the write itself fails
            return false;
        }
        return true;
    }

    PortHandle pick_handle() {
        const size_t i = in_.ConsumeIntegralInRange<size_t>(0, ports_.size());
        return i < ports_.size() ? ports_[i].handle : nullptr;
    }

    Port *tracked(PortHandle handle) {
        for (Port &p : ports_)
            if (p.handle == handle) return &p;
        return nullptr;
    }

    void forget(PortHandle handle) {
        for (size_t i = 0; i < ports_.size(); ++i) {
            if (ports_[i].handle == handle) {
                ports_.erase(ports_.begin() + static_cast<std::ptrdiff_t>(i));
                return;
            }
        }
    }

    // Mostly the small lengths that matter, sometimes any 32-bit value.
    uint32_t pick_length(uint32_t small) {
        return in_.ConsumeBool() ? in_.ConsumeIntegralInRange<uint32_t>(0, small) : in_.ConsumeIntegral<uint32_t>();
    }

    // A heap block of exactly n bytes from the input (n at most cap), or null.
    std::unique_ptr<uint8_t[]> pick_block(uint32_t n, uint32_t cap) {
        if (n > cap || in_.ConsumeProbability<float>() < 0.05f) return nullptr;
        std::unique_ptr<uint8_t[]> block(new uint8_t[n]);
        const std::vector<uint8_t> bytes = in_.ConsumeBytes<uint8_t>(n);
        for (uint32_t i = 0; i < n; ++i) block[i] = i < bytes.size() ? bytes[i] : static_cast<uint8_t>(i);
        return block;
    }

    // The longest one exchange may take on this port: echo read-back and reply.
    double exchange_ms(PortHandle handle) const {
        for (const Port &p : ports_) {
            if (p.handle == handle)
                return (echo_ ? kEchoLimitMs : 0.0) +
                       std::floor(p.offset + static_cast<double>(ZAV_REPLY_K_LONG) / p.baud) + 1.0;
        }
        return 0.0; // null handle: no exchange
    }

    // Makes one call; returns the longest it may take in virtual ms.
    double one_call() {
        const unsigned which = in_.ConsumeIntegralInRange<unsigned>(0, 18);
        if (trace_) std::fprintf(stderr, "call %u at %.1f ms, %zu ports\n", which, membus::now_ms(), ports_.size());
        const bool with_status = in_.ConsumeProbability<float>() >= 0.1f;
        const auto before = in_.ConsumeIntegral<StatusWord>();
        StatusWord status = before;
        StatusWord *status_ptr = with_status ? &status : nullptr;
        // Servo-level calls always store or clear the word.
        auto check_flags = [&](bool ok) {
            if (!with_status) return;
            REQUIRE((status & ~kAllFlags) == 0);
            if (!ok) REQUIRE(status != 0);
        };

        switch (which) {
        case 0: { // open
            const char *name = kNames[in_.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1)];
            const int32_t baud = in_.ConsumeBool() ? 115200 : in_.ConsumeIntegral<int32_t>();
            // Opening a name already open closes the earlier handle first
            // (a rate of 0 is refused before that).
            if (name != nullptr && baud != 0 && std::strlen(name) <= 30) {
                for (const Port &p : ports_)
                    if (p.name == name) {
                        forget(p.handle);
                        break;
                    }
            }
            PortHandle handle = ZAV_OpenPort(name, baud);
            if (trace_) std::fprintf(stderr, "  open %s at %d: %p\n", name ? name : "(null)", baud, static_cast<void *>(handle));
            if (name == nullptr || baud == 0 || std::strcmp(name, "COM9") == 0 ||
                std::strcmp(name, fuzznet::kRefusingBridge) == 0)
                REQUIRE(handle == nullptr);
            if (handle != nullptr) {
                REQUIRE(tracked(handle) == nullptr);
                ports_.push_back({handle, name, static_cast<uint32_t>(baud), 20});
            }
            // A bridge's open: connect, negotiation and line settings, within its bound.
            return name != nullptr && is_bridge(name) ? fuzznet::kBridgeTimeoutMs + 1.0 : 0.0;
        }
        case 1: { // close
            PortHandle handle = pick_handle();
            REQUIRE(ZAV_ClosePort(handle) == (handle != nullptr));
            forget(handle);
            return 0.0;
        }
        case 2: {
            PortHandle handle = pick_handle();
            const bool active = ZAV_Active(handle);
            if (handle == nullptr) REQUIRE(!active);
            return 0.0;
        }
        case 3: { // rate change
            PortHandle handle = pick_handle();
            const int32_t baud = in_.ConsumeBool() ? 9600 : in_.ConsumeIntegral<int32_t>();
            ZAV_SetBaudrate(handle, baud);
            Port *p = tracked(handle);
            if (p != nullptr && baud != 0) p->baud = static_cast<uint32_t>(baud);
            // rfc2217 waits for the bridge's answers, within the name's bound.
            return p != nullptr && is_bridge(p->name) ? fuzznet::kBridgeTimeoutMs + 1.0 : 0.0;
        }
        case 4: { // time-out offset, mostly small
            PortHandle handle = pick_handle();
            const int32_t offset = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<int32_t>(0, 100) : in_.ConsumeIntegral<int32_t>();
            ZAV_SetTimeOutOffset(handle, offset);
            if (Port *p = tracked(handle)) p->offset = static_cast<uint32_t>(offset);
            return 0.0;
        }
        case 5: {
            const uint32_t enable = in_.ConsumeIntegral<uint32_t>();
            ZAV_SetEchoCancel(enable);
            echo_ = (enable & 0xFF) != 0;
            return 0.0;
        }
        case 6:
            REQUIRE(std::fabs(GetQueryPerformanceCounter() - membus::now_ms()) < 1.0);
            return 0.0;
        case 7: { // raw packet out
            PortHandle handle = pick_handle();
            const uint32_t id = in_.ConsumeIntegral<uint32_t>();
            const int32_t command = in_.ConsumeIntegral<int32_t>();
            const uint32_t length = pick_length(110);
            auto data = pick_block(length, 128);
            const bool ok = ZAV_TxPacket(handle, id, command, data.get(), length, status_ptr);
            // The raw calls leave the word alone on success.
            if (with_status) REQUIRE(ok ? status == before : one_flag_of(status, ERR_HANDLE | ERR_PORT | ERR_ID | ERR_ADDRESS));
            return echo_ ? kEchoLimitMs : 0.0;
        }
        case 8: { // raw reply in
            PortHandle handle = pick_handle();
            const uint32_t count = pick_length(12);
            const uint32_t timeout = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<uint32_t>(0, 100) : in_.ConsumeIntegral<uint32_t>();
            auto buffer = pick_block(count, 64);
            uint32_t got = 0xDEADBEEF;
            const bool with_got = in_.ConsumeBool();
            const bool ok = ZAV_RxPacket(handle, buffer.get(), count, with_got ? &got : nullptr, timeout, status_ptr);
            if (with_status) REQUIRE(ok ? status == before : one_flag_of(status, ERR_HANDLE | ERR_PORT | ERR_REPLY | ERR_TIMEOUT));
            if (with_got && got != 0xDEADBEEF) REQUIRE(got <= count && (ok == (got == count)));
            return timeout == 0 ? 1.0 : timeout;
        }
        case 9: { // ping
            PortHandle handle = pick_handle();
            const bool ok = ZAV_Ping(handle, in_.ConsumeIntegral<uint8_t>(), status_ptr);
            check_flags(ok);
            if (ok && with_status) REQUIRE(status == 0);
            return exchange_ms(handle);
        }
        case 10:
        case 11:
        case 12: { // block, word and byte reads
            PortHandle handle = pick_handle();
            const uint8_t id = in_.ConsumeIntegral<uint8_t>();
            const uint8_t address = in_.ConsumeIntegralInRange<uint8_t>(0, 12) + (in_.ConsumeBool() ? 0 : 240);
            const uint32_t length = which == 10 ? pick_length(12) : which == 11 ? 2 : 1;
            // The destination is exactly as long as the call says (or null).
            const uint32_t size = length <= 16 ? length : 16;
            const bool null_data = in_.ConsumeProbability<float>() < 0.05f;
            std::unique_ptr<uint8_t[]> data(new uint8_t[size]);
            std::memset(data.get(), 0xA5, size);
            uint8_t *destination = null_data ? nullptr : data.get();
            bool ok = false;
            if (which == 10) ok = ZAV_ReadBlockData(handle, id, address, destination, length, status_ptr);
            if (which == 11)
                ok = ZAV_ReadWordData(handle, id, address, reinterpret_cast<uint16_t *>(destination), status_ptr);
            if (which == 12) ok = ZAV_ReadByteData(handle, id, address, destination, status_ptr);
            check_flags(ok);
            if (ok) {
                if (with_status) REQUIRE(status == 0);
                REQUIRE(destination != nullptr && id <= 31 && address + length <= ZAV_REGISTER_COUNT);
                uint8_t image[ZAV_REGISTER_COUNT];
                REQUIRE(zav_peek_image(handle, id, image));
                REQUIRE(std::memcmp(destination, image + address, length) == 0);
            } else {
                for (uint32_t i = 0; i < size; ++i) REQUIRE(data[i] == 0xA5);
            }
            return 6 * exchange_ms(handle);
        }
        case 13:
        case 14:
        case 15: { // block, word and byte writes
            PortHandle handle = pick_handle();
            const uint8_t id = in_.ConsumeBool() ? BROADCAST_ID : in_.ConsumeIntegral<uint8_t>();
            const uint8_t address = in_.ConsumeIntegralInRange<uint8_t>(0, 12) + (in_.ConsumeBool() ? 0 : 240);
            bool ok = false;
            if (which == 13) {
                const uint32_t length = pick_length(12);
                auto data = pick_block(length, 16);
                ok = ZAV_WriteBlockData(handle, id, address, data.get(), length, status_ptr);
            }
            if (which == 14) ok = ZAV_WriteWordData(handle, id, address, in_.ConsumeIntegral<uint16_t>(), status_ptr);
            if (which == 15) ok = ZAV_WriteByteData(handle, id, address, in_.ConsumeIntegral<uint8_t>(), status_ptr);
            check_flags(ok);
            return 31 * 5 * exchange_ms(handle);
        }
        case 16: { // sync write
            PortHandle handle = pick_handle();
            const uint32_t length = pick_length(96);
            auto data = pick_block(length, 128);
            const bool ok = ZAV_WriteSyncData(handle, data.get(), length, status_ptr);
            check_flags(ok);
            if (!ok && with_status) REQUIRE(one_flag_of(status, ERR_HANDLE | ERR_PORT | ERR_ADDRESS));
            return (length <= 93 ? length : 0) * 31 * 5 * exchange_ms(handle);
        }
        case 17: // time passes between calls
            membus::advance_ms(in_.ConsumeIntegralInRange<int>(0, 200));
            return 1e9;
        default: { // a device starts or stops failing
            membus::Device *device = membus::find_device(kNames[in_.ConsumeIntegralInRange<size_t>(0, 2)]);
            switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: device->fail_read = !device->fail_read; break;
            case 1: device->fail_write = !device->fail_write; break;
            case 2: device->fail_get_settings = !device->fail_get_settings; break;
            default: device->fail_change_baud = !device->fail_change_baud; break;
            }
            return 0.0;
        }
        }
    }

    // A device is open exactly while a port holds it; images keep their ids.
    void check_devices_and_images() {
        for (const char *name : {"COM1", "COM2", kLongName}) {
            bool held = false;
            for (const Port &p : ports_) held = held || p.name == name;
            REQUIRE(membus::find_device(name)->open == held);
        }
        int bridged = 0;
        for (const Port &p : ports_) bridged += is_bridge(p.name) ? 1 : 0;
        REQUIRE(fuzznet::open_connections() == bridged);
        for (const Port &p : ports_) {
            for (uint8_t id = 0; id <= 31; ++id) {
                uint8_t image[ZAV_REGISTER_COUNT];
                REQUIRE(zav_peek_image(p.handle, id, image));
                REQUIRE(image[ZAV_REG_ID] == id && image[ZAV_REG_TORQUE_ENABLE] <= 1);
            }
        }
    }

    FuzzedDataProvider &in_;
    std::vector<std::unique_ptr<zavsim::ServoBus>> buses_;
    std::vector<Port> ports_;
    bool echo_ = true;
    // ZAVLIB_FUZZ_TRACE=1 lists the calls, to read a reproducer.
    const bool trace_ = std::getenv("ZAVLIB_FUZZ_TRACE") != nullptr;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    membus::reset();
    ZAV_SetEchoCancel(1);
    {
        Session session(in);
        session.run();
        // Unloading closes every port left open: no device may stay open.
        zav_library_unload();
        for (const char *name : {"COM1", "COM2", kLongName}) REQUIRE(!membus::find_device(name)->open);
        REQUIRE(fuzznet::open_connections() == 0);
        zav_library_load();
    }
    membus::reset();
    return 0;
}
