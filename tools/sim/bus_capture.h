// Records the bytes on a servo line in a pcap file that Wireshark opens with
// tools/wireshark/zavbus.lua.
//
// File: classic pcap, nanosecond time stamps (magic a1b23c4d), link type
// 147 (USER0). Each record is one chunk of bytes as it was written or read,
// behind an 8-byte header of our own:
//
//   offset 0  version       1
//   offset 1  direction     0: host to bus (sent by the host), 1: bus to host
//   offset 2  flags         bit 0: recorded on the simulator's side of the line
//   offset 3  reserved      0
//   offset 4  baud rate     unsigned 32-bit, big-endian (0: unknown)
//   offset 8  the bytes
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "bus_runner.h"

namespace zavsim {

enum class Direction : uint8_t { kHostToBus = 0, kBusToHost = 1 };

class BusCapture {
public:
    static constexpr uint32_t kLinkType = 147; // USER0
    static constexpr std::size_t kHeaderSize = 8;
    static constexpr uint8_t kFlagSimulatorSide = 0x01;

    // Creates the file and writes its header; ok() tells whether that worked.
    BusCapture(const std::string &path, bool simulator_side);
    ~BusCapture();
    BusCapture(const BusCapture &) = delete;
    BusCapture &operator=(const BusCapture &) = delete;

    bool ok() const { return file_ != nullptr && !failed_; }
    // Rate written into the records that follow.
    void set_baud(uint32_t baud);
    // One record, time-stamped now; safe from several threads.
    void record(Direction direction, const uint8_t *bytes, std::size_t n);
    uint64_t records() const;

private:
    mutable std::mutex mutex_;
    std::FILE *file_ = nullptr;
    bool failed_ = false;
    uint8_t flags_ = 0;
    uint32_t baud_ = 0;
    uint64_t records_ = 0;
};

// A link whose traffic is recorded on the simulator's side: what the bus reads
// went from host to bus, what it writes goes from bus to host.
class CapturingLink : public LinkIo {
public:
    CapturingLink(LinkIo &link, BusCapture &capture) : link_(link), capture_(capture) {}
    std::size_t read_some(uint8_t *buffer, std::size_t max, double timeout_ms) override;
    bool write_all(const uint8_t *data, std::size_t n) override;
    uint32_t line_baud() override { return link_.line_baud(); }

private:
    LinkIo &link_;
    BusCapture &capture_;
};

} // namespace zavsim
