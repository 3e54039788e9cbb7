// A pseudo-terminal whose master side is the far end of a serial line: a host
// opens slave_path() as if it were a serial device.
#pragma once

#include <string>

#include "bus_runner.h"

namespace zavsim {

class PtyLink : public LinkIo {
public:
    PtyLink();
    ~PtyLink() override;
    PtyLink(const PtyLink &) = delete;
    PtyLink &operator=(const PtyLink &) = delete;

    bool ok() const { return master_ >= 0; }
    const std::string &slave_path() const { return slave_path_; }
    int master_fd() const { return master_; }
    // The far end goes away: the host sees a hang-up.
    void hang_up();

    std::size_t read_some(uint8_t *buffer, std::size_t max, double timeout_ms) override;
    bool write_all(const uint8_t *data, std::size_t n) override;
    uint32_t line_baud() override;

private:
    int master_ = -1;
    std::string slave_path_;
};

} // namespace zavsim
