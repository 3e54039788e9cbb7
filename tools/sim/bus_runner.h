// Runs a ServoBus on the far end of a serial link in a thread of its own:
// reads what the host sends, feeds the model and writes echo and replies back
// when they are due.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "servo_bus.h"

namespace zavsim {

// The far end of a serial link, as the runner needs it.
class LinkIo {
public:
    virtual ~LinkIo() = default;
    // Waits up to timeout_ms for bytes; returns how many were read (0: none).
    virtual std::size_t read_some(uint8_t *buffer, std::size_t max, double timeout_ms) = 0;
    virtual bool write_all(const uint8_t *data, std::size_t n) = 0;
    // The rate the host set on its side of the link; 0 when it cannot be told.
    virtual uint32_t line_baud() { return 0; }
};

double monotonic_ms();

class BusRunner {
public:
    BusRunner(ServoBus &bus, LinkIo &io);
    ~BusRunner();
    BusRunner(const BusRunner &) = delete;
    BusRunner &operator=(const BusRunner &) = delete;

    void stop();

    // Runs f with the model locked against the runner thread.
    template <class F> auto with_bus(F f) {
        std::lock_guard<std::mutex> hold(mutex_);
        return f(bus_);
    }

    // Waits until the model has received at least n packets in all.
    bool wait_for_packets(uint64_t n, double timeout_ms);

    // A partial packet is dropped when the line stays quiet this long.
    double idle_reset_ms = 10.0;

private:
    void run();

    ServoBus &bus_;
    LinkIo &io_;
    std::mutex mutex_;
    std::condition_variable progress_;
    std::vector<Emission> queue_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace zavsim
