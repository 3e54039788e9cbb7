// Bus capture on a real serial device (Linux): the library opens a
// pseudo-terminal, and a relay thread forwards its bytes to the device and the
// device's bytes back, recording both. The device gets the bus's line settings
// (8 data bits, even parity, one stop bit, no flow control, DTR on, RTS off,
// low latency) and, before any bytes go out, the baud rate the library set on
// the pseudo-terminal. A pseudo-terminal drops parity, so only the rate is
// copied from it.
#pragma once

#include <memory>
#include <string>

#include "bus_capture.h"

namespace zavctl {

class CaptureRelay {
public:
    virtual ~CaptureRelay() = default;
    // The name to give ZAV_OpenPort.
    virtual const std::string &library_device() const = 0;
    // The real device's descriptor, for reading its line settings.
    virtual int device_fd() const = 0;
};

// Opens device exclusively and starts relaying; null with *error set when the
// device cannot be opened.
std::unique_ptr<CaptureRelay> start_capture_relay(const std::string &device, zavsim::BusCapture &capture,
                                                  std::string *error);

} // namespace zavctl
