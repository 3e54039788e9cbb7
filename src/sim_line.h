// An in-process serial line: the bytes on their way to the host, each due at
// a time on the process's monotonic clock (platform.h), and the host's reads
// to a deadline on that clock. What answers the host is a ServoBus (the sim:
// devices, the unit tests' device) or a recording (replay:). The line never
// allocates after it is made: its queue holds kCapacity bytes, and bytes
// beyond that are lost as a full receive buffer loses them.
//
// Every call is safe from several threads at once; a read waiting for its
// bytes does not hold the line against the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "platform.h"
#include "servo_bus.h"

namespace zavsim {

class SimLine final : public LineSink {
public:
    static constexpr std::size_t kCapacity = 4096;

    // With a model, everything the host writes goes to it; the model stays the caller's.
    explicit SimLine(ServoBus *model = nullptr);
    ~SimLine();
    SimLine(const SimLine &) = delete;
    SimLine &operator=(const SimLine &) = delete;

    static double now_ms() { return platform::monotonic_ms(); }

    // The host writes: the model hears the bytes now. False once hung up.
    bool host_write(const uint8_t *data, std::size_t n);
    // Bytes for the host, arriving at at_ms.
    void emit(double at_ms, const uint8_t *bytes, std::size_t n) override;
    // Reads as a serial device does (device.h): returns when count bytes are
    // in, at the deadline, or at a hang-up.
    void read(uint8_t *buffer, uint32_t count, uint32_t *got, uint32_t timeout_ms);
    // Drops the bytes that have arrived; bytes still on their way stay.
    void purge();
    // Drops every byte, arrived or not.
    void clear();
    // The rate the line runs at; the model's servos follow it.
    void set_baud(uint32_t baud);

    // From at_ms on, the far end is gone: bytes not yet read are lost, reads
    // end at once and writes fail.
    void hang_up_at(double at_ms);
    bool hung_up();

private:
    struct Hold {
        explicit Hold(platform::Lock &lock) : lock_(lock) { platform::lock_enter(&lock_); }
        ~Hold() { platform::lock_leave(&lock_); }
        platform::Lock &lock_;
    };
    struct Pending {
        double at_ms;
        uint8_t byte;
    };
    Pending &at(std::size_t i) { return queue_[(first_ + i) % kCapacity]; }
    bool hung_up_locked(double now) const { return now >= hang_up_ms_; }

    ServoBus *model_;
    platform::Lock lock_;
    Pending queue_[kCapacity];
    std::size_t first_ = 0;
    std::size_t size_ = 0;
    double hang_up_ms_ = std::numeric_limits<double>::infinity();
};

} // namespace zavsim
