#include "sim_line.h"

#include <algorithm>

namespace zavsim {

SimLine::SimLine(ServoBus *model) : model_(model) { platform::lock_init(&lock_); }

SimLine::~SimLine() { platform::lock_destroy(&lock_); }

bool SimLine::host_write(const uint8_t *data, std::size_t n) {
    Hold hold(lock_);
    const double now = now_ms();
    if (hung_up_locked(now)) return false;
    if (model_ != nullptr) model_->receive(data, n, now, *this);
    return true;
}

void SimLine::emit(double at_ms, const uint8_t *bytes, std::size_t n) {
    Hold hold(lock_);
    for (std::size_t b = 0; b < n && size_ < kCapacity; ++b) {
        // Keep arrival order: a later emission never overtakes an earlier one.
        std::size_t i = size_;
        while (i > 0 && at(i - 1).at_ms > at_ms) {
            at(i) = at(i - 1);
            --i;
        }
        at(i) = {at_ms, bytes[b]};
        ++size_;
    }
}

void SimLine::read(uint8_t *buffer, uint32_t count, uint32_t *got, uint32_t timeout_ms) {
    Hold hold(lock_);
    double now = now_ms();
    const double deadline = now + timeout_ms;
    uint32_t taken = 0;
    while (true) {
        if (hung_up_locked(now)) {
            size_ = 0; // what was not read is lost with the line
            break;
        }
        while (taken < count && size_ > 0 && at(0).at_ms <= now) {
            buffer[taken++] = at(0).byte;
            first_ = (first_ + 1) % kCapacity;
            --size_;
        }
        if (taken == count || now >= deadline) break;
        // Wait for the next byte due, the deadline or the hang-up, whichever comes first.
        double wake = std::min(deadline, hang_up_ms_);
        if (size_ > 0) wake = std::min(wake, at(0).at_ms);
        platform::lock_leave(&lock_);
        platform::sleep_until_ms(wake);
        platform::lock_enter(&lock_);
        now = now_ms();
    }
    *got = taken;
}

void SimLine::purge() {
    Hold hold(lock_);
    const double now = now_ms();
    while (size_ > 0 && at(0).at_ms <= now) {
        first_ = (first_ + 1) % kCapacity;
        --size_;
    }
}

void SimLine::clear() {
    Hold hold(lock_);
    size_ = 0;
}

void SimLine::set_baud(uint32_t baud) {
    Hold hold(lock_);
    if (model_ != nullptr) model_->options().baud = baud;
}

void SimLine::hang_up_at(double at_ms) {
    Hold hold(lock_);
    hang_up_ms_ = at_ms;
}

bool SimLine::hung_up() {
    Hold hold(lock_);
    return hung_up_locked(now_ms());
}

} // namespace zavsim
