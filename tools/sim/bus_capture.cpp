#include "bus_capture.h"

#include <chrono>

namespace zavsim {

namespace {

int64_t wall_clock_ns() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
}

} // namespace

BusCapture::BusCapture(const std::string &path, bool simulator_side) {
    opened_ = writer_.open(path.c_str(), simulator_side ? capture::kFlagSimulatorSide : 0);
}

BusCapture::~BusCapture() { writer_.close(wall_clock_ns()); }

bool BusCapture::ok() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return opened_ && !writer_.failed();
}

void BusCapture::set_baud(uint32_t baud) {
    std::lock_guard<std::mutex> hold(mutex_);
    baud_ = baud;
}

void BusCapture::record(capture::Direction direction, const uint8_t *bytes, std::size_t n) {
    const int64_t ns = wall_clock_ns();
    std::lock_guard<std::mutex> hold(mutex_);
    writer_.record(ns, direction, baud_, bytes, n);
}

std::size_t CapturingLink::read_some(uint8_t *buffer, std::size_t max, double timeout_ms) {
    const std::size_t n = link_.read_some(buffer, max, timeout_ms);
    capture_.record(capture::Direction::kHostToBus, buffer, n);
    return n;
}

bool CapturingLink::write_all(const uint8_t *data, std::size_t n) {
    capture_.record(capture::Direction::kBusToHost, data, n);
    return link_.write_all(data, n);
}

} // namespace zavsim
