#include "bus_capture.h"

#include <chrono>

namespace zavsim {

namespace {

void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

} // namespace

BusCapture::BusCapture(const std::string &path, bool simulator_side)
    : flags_(simulator_side ? kFlagSimulatorSide : 0) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) return;
    uint8_t header[24];
    put_le32(header, 0xa1b23c4d); // nanosecond time stamps
    put_le16(header + 4, 2);
    put_le16(header + 6, 4);
    put_le32(header + 8, 0);  // time zone
    put_le32(header + 12, 0); // accuracy
    put_le32(header + 16, 65535);
    put_le32(header + 20, kLinkType);
    failed_ = std::fwrite(header, sizeof header, 1, file_) != 1 || std::fflush(file_) != 0;
}

BusCapture::~BusCapture() {
    if (file_ != nullptr) std::fclose(file_);
}

void BusCapture::set_baud(uint32_t baud) {
    std::lock_guard<std::mutex> hold(mutex_);
    baud_ = baud;
}

uint64_t BusCapture::records() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return records_;
}

void BusCapture::record(Direction direction, const uint8_t *bytes, std::size_t n) {
    if (n == 0) return;
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
    std::lock_guard<std::mutex> hold(mutex_);
    if (file_ == nullptr || failed_) return;
    const uint32_t length = static_cast<uint32_t>(kHeaderSize + n);
    uint8_t head[16 + kHeaderSize];
    put_le32(head, static_cast<uint32_t>(ns / 1000000000));
    put_le32(head + 4, static_cast<uint32_t>(ns % 1000000000));
    put_le32(head + 8, length);
    put_le32(head + 12, length);
    uint8_t *own = head + 16;
    own[0] = 1;
    own[1] = static_cast<uint8_t>(direction);
    own[2] = flags_;
    own[3] = 0;
    for (int i = 0; i < 4; ++i) own[4 + i] = static_cast<uint8_t>(baud_ >> (24 - 8 * i));
    // Flushed at once, so that the file is whole even if the program is killed.
    failed_ = std::fwrite(head, sizeof head, 1, file_) != 1 || std::fwrite(bytes, n, 1, file_) != 1 ||
              std::fflush(file_) != 0;
    ++records_;
}

std::size_t CapturingLink::read_some(uint8_t *buffer, std::size_t max, double timeout_ms) {
    const std::size_t n = link_.read_some(buffer, max, timeout_ms);
    capture_.record(Direction::kHostToBus, buffer, n);
    return n;
}

bool CapturingLink::write_all(const uint8_t *data, std::size_t n) {
    capture_.record(Direction::kBusToHost, data, n);
    return link_.write_all(data, n);
}

} // namespace zavsim
