// What the operating system says about the serial line the library has open:
// the settings in force and, for USB adapters, the latency timer.
#pragma once

#include <cstdint>
#include <string>

namespace zavctl {

struct LineInfo {
    bool known = false;   // the settings were read from the device
    std::string device;   // the device behind the name, e.g. /dev/ttyUSB0
    std::string driver;   // e.g. ftdi_sio; empty when unknown
    bool pseudo_terminal = false;
    bool usb = false;
    uint32_t baud = 0;
    int data_bits = 0;
    char parity = '?';    // 'N', 'E' or 'O'
    int stop_bits = 0;
    bool hardware_flow = false;
    bool software_flow = false;
    int dtr = -1;         // 1 on, 0 off, -1 unknown (pseudo-terminals have no modem lines)
    int rts = -1;
    int low_latency = -1; // the driver's low-latency flag; -1: the driver has none
    int latency_timer_ms = -1;      // a USB adapter's latency timer; -1: none found
    std::string latency_timer_path; // where it is set
};

// Reads the line settings of device_name through the descriptor this process
// (the library) holds on that device. Not known on Windows.
LineInfo read_line_info(const std::string &device_name);

#ifdef __linux__
// The path with every link resolved; empty when it does not exist.
std::string real_path(const std::string &path);
// What follows the last '/'.
std::string base_name(const std::string &path);
#endif

} // namespace zavctl
