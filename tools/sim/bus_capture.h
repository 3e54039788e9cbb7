// The bytes on a servo line recorded by a tool in a capture file
// (src/capture_file.h says the format): zavsim --capture on the simulator's
// side of the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "bus_runner.h"
#include "capture_file.h"

namespace zavsim {

class BusCapture {
public:
    // Creates the file and writes its header; ok() tells whether that worked.
    BusCapture(const std::string &path, bool simulator_side);
    // Ends the file with its end note.
    ~BusCapture();
    BusCapture(const BusCapture &) = delete;
    BusCapture &operator=(const BusCapture &) = delete;

    bool ok() const;
    // Rate written into the records that follow.
    void set_baud(uint32_t baud);
    // One record, time-stamped now; safe from several threads.
    void record(capture::Direction direction, const uint8_t *bytes, std::size_t n);

private:
    mutable std::mutex mutex_;
    capture::Writer writer_;
    bool opened_ = false;
    uint32_t baud_ = 0;
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
