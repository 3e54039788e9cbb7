#include "bus_runner.h"

#include <algorithm>
#include <chrono>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace zavsim {

double monotonic_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

BusRunner::BusRunner(ServoBus &bus, LinkIo &io) : bus_(bus), io_(io) {
    thread_ = std::thread([this] { run(); });
}

BusRunner::~BusRunner() { stop(); }

void BusRunner::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

bool BusRunner::wait_for_packets(uint64_t n, double timeout_ms) {
    std::unique_lock<std::mutex> hold(mutex_);
    return progress_.wait_for(hold, std::chrono::duration<double, std::milli>(timeout_ms),
                              [&] { return bus_.packets_received() >= n; });
}

void BusRunner::run() {
#ifdef __linux__
    // Replies are due tens of microseconds apart at high rates; the default
    // 50 us timer slack would make every one of them late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    constexpr double kIdlePollMs = 5.0;
    constexpr double kSpinBelowMs = 0.2;
    uint8_t buffer[512];
    double last_byte_ms = monotonic_ms();
    while (!stopping_) {
        double wait = kIdlePollMs;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            const double now = monotonic_ms();
            for (const Emission &e : queue_) wait = std::min(wait, std::max(0.0, e.at_ms - now));
        }
        // An emission due within a fraction of a millisecond is waited for by
        // checking without sleeping: a sleeping thread wakes tens of
        // microseconds late, longer than a byte takes at high rates.
        const std::size_t n = io_.read_some(buffer, sizeof buffer, wait < kSpinBelowMs ? 0.0 : wait);

        std::vector<Emission> due;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            const double now = monotonic_ms();
            if (n > 0) {
                if (bus_.options().strict_baud) bus_.set_line_baud(io_.line_baud());
                bus_.receive(buffer, n, now, queue_);
                last_byte_ms = now;
            } else if (bus_.mid_packet() && now - last_byte_ms > idle_reset_ms) {
                bus_.reset_parser();
            }
            // Emissions leave in time order; equal times keep their order.
            std::stable_sort(queue_.begin(), queue_.end(),
                             [](const Emission &a, const Emission &b) { return a.at_ms < b.at_ms; });
            auto first_later = std::find_if(queue_.begin(), queue_.end(),
                                            [now](const Emission &e) { return e.at_ms > now; });
            due.assign(queue_.begin(), first_later);
            queue_.erase(queue_.begin(), first_later);
        }
        for (const Emission &e : due) io_.write_all(e.bytes.data(), e.bytes.size());
        if (n > 0) progress_.notify_all();
    }
}

} // namespace zavsim
