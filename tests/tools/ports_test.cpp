// zavctl ports: the discovery against a sysfs, /dev and /proc tree laid out
// here as the kernel lays them out for a USB adapter, a USB modem, a UART, a
// UART slot with no chip and a pseudo-terminal. (zavctl ports on this
// machine itself is in tool_test.cpp.)
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ports.h"

#if __has_include(<nlohmann/json.hpp>)
#include <nlohmann/json.hpp>
#define ZAV_HAVE_JSON 1
#endif

namespace {

class FakeMachine {
public:
    FakeMachine() {
        char pattern[] = "/tmp/zav-ports-XXXXXX";
        root_ = mkdtemp(pattern);
        const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
        // An FTDI adapter: the tty under its usb-serial device, which has the latency timer.
        file(usb + "/1-2/idVendor", "0403");
        file(usb + "/1-2/idProduct", "6001");
        file(usb + "/1-2/manufacturer", "FTDI");
        file(usb + "/1-2/product", "FT232R USB UART");
        file(usb + "/1-2/serial", "A50285BI");
        file(usb + "/1-2/1-2:1.0/ttyUSB0/latency_timer", "16");
        link(usb + "/1-2/1-2:1.0/ttyUSB0/driver", "/sys/bus/usb-serial/drivers/ftdi_sio");
        file("/sys/bus/usb-serial/drivers/ftdi_sio/bind", "");
        link("/sys/class/tty/ttyUSB0/device", usb + "/1-2/1-2:1.0/ttyUSB0");
        // A USB modem (an Arduino): the tty under the interface.
        file(usb + "/1-3/idVendor", "2341");
        file(usb + "/1-3/idProduct", "0043");
        file(usb + "/1-3/product", "Arduino Uno");
        link(usb + "/1-3/1-3:1.0/driver", "/sys/bus/usb/drivers/cdc_acm");
        file("/sys/bus/usb/drivers/cdc_acm/bind", "");
        link("/sys/class/tty/ttyACM0/device", usb + "/1-3/1-3:1.0");
        // A UART behind the serial core's port device (Linux 6.5 on), and a slot without one.
        file("/sys/devices/pnp0/00:00/00:00:0/00:00:0.0/uevent", "");
        link("/sys/devices/pnp0/00:00/00:00:0/00:00:0.0/driver", "/sys/bus/serial-base/drivers/port");
        link("/sys/devices/pnp0/00:00/00:00:0/driver", "/sys/bus/serial-base/drivers/ctrl");
        link("/sys/devices/pnp0/00:00/driver", "/sys/bus/pnp/drivers/serial");
        for (const char *d : {"/sys/bus/serial-base/drivers/port", "/sys/bus/serial-base/drivers/ctrl",
                              "/sys/bus/pnp/drivers/serial", "/sys/bus/platform/drivers/serial8250"})
            file(std::string(d) + "/bind", "");
        link("/sys/class/tty/ttyS0/device", "/sys/devices/pnp0/00:00/00:00:0/00:00:0.0");
        file("/sys/class/tty/ttyS0/type", "4");
        file("/sys/devices/platform/serial8250/uevent", "");
        link("/sys/devices/platform/serial8250/driver", "/sys/bus/platform/drivers/serial8250");
        link("/sys/class/tty/ttyS1/device", "/sys/devices/platform/serial8250");
        file("/sys/class/tty/ttyS1/type", "0");
        file("/sys/class/tty/tty0/dev", "4:0"); // a virtual terminal: no device
        for (const char *node : {"/dev/ttyUSB0", "/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS1", "/dev/tty0", "/dev/pts/7"})
            file(node, "");
        mkdir((root_ + "/dev/serial").c_str(), 0700);
        mkdir((root_ + "/dev/serial/by-id").c_str(), 0700);
        symlink("../../ttyUSB0", (root_ + "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0").c_str());
        // A terminal program holding the modem, and a simulator holding pseudo-terminal 7's far end.
        file("/proc/4242/comm", "minicom");
        literal_link("/proc/4242/fd/3", "/dev/ttyACM0");
        file("/proc/555/comm", "zavsim");
        literal_link("/proc/555/fd/4", "/dev/ptmx");
        file("/proc/555/fdinfo/4", "pos:\t0\nflags:\t02\nmnt_id:\t1\ntty-index:\t7\n");
    }
    ~FakeMachine() { std::system(("rm -rf '" + root_ + "'").c_str()); }

    zavctl::PortRoots roots() const { return {root_ + "/sys", root_ + "/dev", root_ + "/proc"}; }
    std::string dev(const std::string &name) const { return root_ + "/dev/" + name; }

private:
    void dirs_for(const std::string &path) {
        for (size_t at = root_.size() + 1; (at = path.find('/', at)) != std::string::npos; ++at)
            mkdir(path.substr(0, at).c_str(), 0700);
    }
    void file(const std::string &path, const std::string &text) {
        dirs_for(root_ + path);
        std::ofstream(root_ + path) << text << (text.empty() ? "" : "\n");
    }
    // A link inside the tree, as sysfs links are.
    void link(const std::string &path, const std::string &target) {
        dirs_for(root_ + path);
        dirs_for(root_ + target + "/x");
        symlink((root_ + target).c_str(), (root_ + path).c_str());
    }
    // A link whose text is a path of the real machine, as /proc/PID/fd links are.
    void literal_link(const std::string &path, const std::string &target) {
        dirs_for(root_ + path);
        symlink(target.c_str(), (root_ + path).c_str());
    }
    std::string root_;
};

TEST(Ports, ReadsEachKindOfPortFromSysfsAndProc) {
    FakeMachine machine;
    zavctl::PortsOptions options;
    options.all = true;
    const std::vector<zavctl::SerialPortInfo> ports = zavctl::list_serial_ports(options, machine.roots());
    struct Expected {
        std::string name, kind, driver, description, held_by;
        int in_use, latency_ms;
        bool hint;
    };
    const Expected expected[] = {
        {machine.dev("ttyACM0"), "acm", "cdc_acm", "USB CDC-ACM device 2341:0043 Arduino Uno", "minicom (pid 4242)", 1, -1, false},
        {machine.dev("ttyS0"), "uart", "serial", "built-in serial port", "", 0, -1, false},
        {machine.dev("ttyUSB0"), "usb", "ftdi_sio", "USB adapter 0403:6001 FTDI FT232R USB UART, serial A50285BI", "", 0, 16, true},
        {machine.dev("pts/7"), "pty", "pty", "pseudo-terminal, its far end held by zavsim (pid 555)", "", 0, -1, false},
        {"sim:0-5", "sim", "", "a simulated bus of servos 0 to 5 inside the library, no hardware needed", "", -1, -1, false},
    };
    ASSERT_EQ(ports.size(), std::size(expected)) << zavctl::ports_text(ports);
    for (size_t i = 0; i < ports.size(); ++i) {
        const zavctl::SerialPortInfo &p = ports[i];
        const Expected &e = expected[i];
        EXPECT_EQ(p.name, e.name);
        EXPECT_EQ(p.kind, e.kind) << p.name;
        EXPECT_EQ(p.driver, e.driver) << p.name;
        EXPECT_EQ(p.description, e.description) << p.name;
        EXPECT_EQ(p.in_use, e.in_use) << p.name;
        EXPECT_EQ(p.held_by, e.held_by) << p.name;
        EXPECT_EQ(p.latency_timer_ms, e.latency_ms) << p.name;
        EXPECT_EQ(!p.hint.empty(), e.hint) << p.name;
    }
    EXPECT_EQ(ports[2].aliases,
              std::vector<std::string>{machine.dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0")});
    EXPECT_NE(ports[2].hint.find("'echo 1 | sudo tee "), std::string::npos) << ports[2].hint;

    // Without --all, no pseudo-terminals; the text has one line per port.
    const auto hardware = zavctl::list_serial_ports({}, machine.roots());
    EXPECT_EQ(hardware.size(), 4u);
    const std::string text = zavctl::ports_text(hardware);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
    EXPECT_NE(text.find("in use by minicom (pid 4242)"), std::string::npos) << text;
    EXPECT_NE(text.find("latency_timer 16 ms"), std::string::npos) << text;
#ifdef ZAV_HAVE_JSON
    const auto json = nlohmann::json::parse(zavctl::ports_json(ports));
    ASSERT_EQ(json["ports"].size(), ports.size());
    EXPECT_EQ(json["ports"][2]["usb"]["vendor_id"], "0403");
    EXPECT_EQ(json["ports"][2]["latency_timer_ms"], 16);
    EXPECT_EQ(json["ports"][0]["in_use"], true);
    EXPECT_TRUE(json["ports"][4]["in_use"].is_null());
#endif
}

} // namespace
