// zavctl ports: the serial ports of this machine, one line each, with the
// name to give --port, what the port is and whether it is in use.
// Linux reads sysfs and /proc; Windows asks the SetupAPI for the Ports class,
// the registry's SERIALCOMM list and the DOS device names.
#pragma once

#include <string>
#include <vector>

namespace zavctl {

struct SerialPortInfo {
    std::string name;        // what --port takes: /dev/ttyUSB0, COM3
    std::string kind;        // "usb", "acm", "uart", "pty", "com", "sim"
    std::string description; // a sentence for people
    std::string driver;      // ftdi_sio, cdc_acm, serial8250, usbser, ...
    std::string vendor_id;   // USB, four hex digits
    std::string product_id;
    std::string manufacturer;
    std::string product;
    std::string serial;
    std::vector<std::string> aliases; // stable names, e.g. /dev/serial/by-id/...
    int latency_timer_ms = -1;        // USB adapters on Linux; -1: none
    std::string latency_timer_path;
    int in_use = -1;                  // 1 in use, 0 free, -1 unknown
    std::string held_by;              // "zavsim (pid 4242)"
    std::string hint;                 // what to change, when something should be
};

// Where the Linux discovery looks; tests point it at a tree of their own.
struct PortRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";
};

struct PortsOptions {
    bool json = false;
    bool all = false; // also pseudo-terminals
};

// The ports found, hardware first (by name), the sim: example last.
std::vector<SerialPortInfo> list_serial_ports(const PortsOptions &options, const PortRoots &roots = {});
std::string ports_json(const std::vector<SerialPortInfo> &ports);
std::string ports_text(const std::vector<SerialPortInfo> &ports);
// Prints the list; the exit status (0).
int run_ports(const PortsOptions &options);

} // namespace zavctl
