#include "ports.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>

#include "exit_codes.h"
#include "line_info.h"
#include "status_text.h"

#ifdef _WIN32
#include <windows.h>
#include <devguid.h>
#include <setupapi.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#endif

namespace zavctl {

namespace {

// "ttyS10" after "ttyS2", "COM10" after "COM9": digits compare as numbers.
bool natural_less(const std::string &a, const std::string &b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            const unsigned long x = std::strtoul(a.substr(i, ie - i).c_str(), nullptr, 10);
            const unsigned long y = std::strtoul(b.substr(j, je - j).c_str(), nullptr, 10);
            if (x != y) return x < y;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

SerialPortInfo sim_example() {
    SerialPortInfo sim;
    sim.name = "sim:0-5";
    sim.kind = "sim";
    sim.description = "a simulated bus of servos 0 to 5 inside the library, no hardware needed";
    return sim;
}

std::string usb_ids(const SerialPortInfo &p) {
    std::string text = p.vendor_id + ":" + p.product_id;
    for (const std::string *part : {&p.manufacturer, &p.product})
        if (!part->empty()) text += " " + *part;
    if (!p.serial.empty()) text += ", serial " + p.serial;
    return text;
}

#ifndef _WIN32

std::string read_line(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

bool exists(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

bool all_digits(const std::string &text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Who holds what: the programs with a device open, and the programs holding
// the master side of each pseudo-terminal (by its number).
struct Holders {
    std::map<std::string, std::string> of_device;
    std::map<std::string, std::string> of_pty;
    bool complete = true; // every process's descriptors could be read
};

Holders find_holders(const PortRoots &roots) {
    Holders holders;
    for (const std::string &pid : entries(roots.proc)) {
        if (!all_digits(pid)) continue;
        const std::string base = roots.proc + "/" + pid;
        const std::vector<std::string> fds = entries(base + "/fd");
        if (fds.empty() && !exists(base + "/fd/.")) {
            holders.complete = false;
            continue;
        }
        const std::string who = read_line(base + "/comm") + " (pid " + pid + ")";
        for (const std::string &fd : fds) {
            char target[PATH_MAX];
            const ssize_t n = readlink((base + "/fd/" + fd).c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            const std::string path = target;
            if (path == "/dev/ptmx" || path == "/dev/pts/ptmx") {
                std::ifstream info(base + "/fdinfo/" + fd);
                std::string key, value;
                while (info >> key >> value)
                    if (key == "tty-index:") holders.of_pty.emplace(value, who);
            } else if (path.rfind("/dev/", 0) == 0) {
                holders.of_device.emplace(roots.dev + path.substr(4), who);
            }
        }
    }
    return holders;
}

void set_use(SerialPortInfo &port, const Holders &holders) {
    const auto holder = holders.of_device.find(port.name);
    if (holder != holders.of_device.end()) {
        port.in_use = 1;
        port.held_by = holder->second;
    } else {
        port.in_use = holders.complete ? 0 : -1;
    }
}

// The driver of a tty's device. Since Linux 6.5 a UART's tty hangs under the
// serial core's own "port" and "ctrl" devices: the driver that names the
// hardware is further up.
std::string driver_of(const std::string &device_dir) {
    std::string dir = real_path(device_dir);
    for (int level = 0; level < 3 && !dir.empty(); ++level) {
        const std::string driver = base_name(real_path(dir + "/driver"));
        if (!driver.empty() && driver != "port" && driver != "ctrl") return driver;
        dir = dir.substr(0, dir.rfind('/'));
    }
    return {};
}

// The USB device a tty hangs under: the nearest directory up from it that has
// an idVendor.
std::string usb_device_of(const std::string &device_dir, const std::string &sys_root) {
    const std::string root = real_path(sys_root);
    for (std::string dir = real_path(device_dir); dir.size() > root.size(); dir = dir.substr(0, dir.rfind('/'))) {
        if (exists(dir + "/idVendor")) return dir;
    }
    return {};
}

std::vector<SerialPortInfo> linux_ports(const PortsOptions &options, const PortRoots &roots) {
    const Holders holders = find_holders(roots);
    std::vector<SerialPortInfo> ports;
    const std::string tty_class = roots.sys + "/class/tty";
    for (const std::string &name : entries(tty_class)) {
        const std::string base = tty_class + "/" + name;
        const std::string device = base + "/device";
        // Virtual terminals, the console and ptmx have no device behind them.
        if (!exists(device) || !exists(roots.dev + "/" + name)) continue;
        SerialPortInfo port;
        port.name = roots.dev + "/" + name;
        port.driver = driver_of(device);
        const std::string usb = usb_device_of(device, roots.sys);
        if (!usb.empty()) {
            port.kind = name.rfind("ttyACM", 0) == 0 ? "acm" : "usb";
            port.vendor_id = read_line(usb + "/idVendor");
            port.product_id = read_line(usb + "/idProduct");
            port.manufacturer = read_line(usb + "/manufacturer");
            port.product = read_line(usb + "/product");
            port.serial = read_line(usb + "/serial");
            port.description = std::string(port.kind == "acm" ? "USB CDC-ACM device " : "USB adapter ") + usb_ids(port);
        } else {
            // The 8250 driver registers ports that have no UART behind them (type 0).
            if (name.rfind("ttyS", 0) == 0 && read_line(base + "/type") == "0") continue;
            port.kind = "uart";
            port.description = "built-in serial port";
        }
        const std::string timer = device + "/latency_timer";
        if (exists(timer)) {
            port.latency_timer_ms = std::atoi(read_line(timer).c_str());
            port.latency_timer_path = real_path(timer);
            if (port.latency_timer_ms > 1)
                port.hint = "the adapter holds replies up to " + std::to_string(port.latency_timer_ms) +
                            " ms; zavlib asks for low latency when it opens the port, and 'echo 1 | sudo tee " +
                            port.latency_timer_path + "' sets 1 ms until the adapter is plugged in again";
        }
        set_use(port, holders);
        ports.push_back(port);
    }
    // Stable names that udev makes for the same devices.
    for (const char *folder : {"/serial/by-id", "/serial/by-path"}) {
        const std::string dir = roots.dev + folder;
        for (const std::string &link : entries(dir)) {
            const std::string target = real_path(dir + "/" + link);
            for (SerialPortInfo &port : ports)
                if (!target.empty() && target == real_path(port.name)) port.aliases.push_back(dir + "/" + link);
        }
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo &a, const SerialPortInfo &b) {
        return natural_less(a.name, b.name);
    });
    if (options.all) {
        std::vector<std::string> numbers;
        for (const std::string &n : entries(roots.dev + "/pts"))
            if (all_digits(n)) numbers.push_back(n);
        std::sort(numbers.begin(), numbers.end(), natural_less);
        for (const std::string &n : numbers) {
            SerialPortInfo pty;
            pty.name = roots.dev + "/pts/" + n;
            pty.kind = "pty";
            pty.driver = "pty";
            const auto master = holders.of_pty.find(n);
            pty.description = "pseudo-terminal" +
                              (master != holders.of_pty.end() ? ", its far end held by " + master->second : std::string());
            set_use(pty, holders);
            ports.push_back(pty);
        }
    }
    return ports;
}

#else

std::string registry_string(HKEY key, const char *value) {
    char data[512];
    DWORD size = sizeof data - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE *>(data), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    data[size] = '\0';
    return data;
}

std::string device_property(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD property) {
    char data[512];
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, &type, reinterpret_cast<BYTE *>(data),
                                           sizeof data - 2, nullptr))
        return {};
    data[sizeof data - 2] = '\0';
    return data; // a REG_MULTI_SZ (hardware ids): its first string
}

// Four hex digits after key ("VID_", "PID_") in a hardware id.
std::string id_after(const std::string &text, const char *key) {
    const auto at = text.find(key);
    return at == std::string::npos ? std::string() : text.substr(at + 4, 4);
}

bool is_com_name(const std::string &name) {
    return name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
           std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<SerialPortInfo> windows_ports() {
    std::map<std::string, SerialPortInfo> by_name;
    auto port_named = [&by_name](const std::string &name) -> SerialPortInfo & {
        SerialPortInfo &port = by_name[name];
        if (port.name.empty()) {
            port.name = name;
            port.kind = "com";
            port.description = "serial port";
        }
        return port;
    };
    // The Ports class: friendly names, USB ids and drivers.
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
            HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
            if (key == INVALID_HANDLE_VALUE) continue;
            const std::string name = registry_string(key, "PortName");
            RegCloseKey(key);
            if (!is_com_name(name)) continue; // printer ports share the class
            SerialPortInfo &port = port_named(name);
            const std::string friendly = device_property(set, &device, SPDRP_FRIENDLYNAME);
            if (!friendly.empty()) port.description = friendly;
            port.driver = device_property(set, &device, SPDRP_SERVICE);
            port.manufacturer = device_property(set, &device, SPDRP_MFG);
            const std::string hardware = device_property(set, &device, SPDRP_HARDWAREID);
            port.vendor_id = id_after(hardware, "VID_");
            port.product_id = id_after(hardware, "PID_");
            if (!port.vendor_id.empty()) {
                port.kind = "usb";
                char instance[512];
                // USB\VID_0403&PID_6001\A50285BI: the last part is the adapter's serial number.
                if (SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr)) {
                    const std::string id = instance;
                    const auto slash = id.rfind('\\');
                    if (id.compare(0, 4, "USB\\") == 0 && slash != std::string::npos && id.find('&', slash) == std::string::npos)
                        port.serial = id.substr(slash + 1);
                }
            }
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    // The registry's list of serial ports, which also names ports without a
    // Ports-class entry.
    HKEY comm;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &comm) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            char value[256];
            char data[64];
            DWORD value_size = sizeof value;
            DWORD data_size = sizeof data - 1;
            DWORD type = 0;
            if (RegEnumValueA(comm, i, value, &value_size, nullptr, &type, reinterpret_cast<BYTE *>(data), &data_size) !=
                ERROR_SUCCESS)
                break;
            data[data_size] = '\0';
            if (type == REG_SZ && is_com_name(data)) {
                SerialPortInfo &port = port_named(data);
                if (port.driver.empty()) port.driver = value; // \Device\Serial0, \Device\VCP0
            }
        }
        RegCloseKey(comm);
    }
    // The DOS device names: every COMn the system maps, listed or not above.
    std::vector<char> names(65536);
    const DWORD length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    for (DWORD at = 0; at < length && names[at] != '\0'; at += static_cast<DWORD>(std::strlen(&names[at])) + 1) {
        if (is_com_name(&names[at])) port_named(&names[at]);
    }

    std::vector<SerialPortInfo> ports;
    for (auto &entry : by_name) {
        SerialPortInfo &port = entry.second;
        if (port.kind == "usb" && port.description == "serial port") port.description = "USB adapter " + usb_ids(port);
        // Windows tells whether a port is held only by trying to open it.
        const std::string path = "\\\\.\\" + port.name;
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            port.in_use = 0;
        } else {
            port.in_use = GetLastError() == ERROR_ACCESS_DENIED ? 1 : -1;
        }
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo &a, const SerialPortInfo &b) {
        return natural_less(a.name, b.name);
    });
    return ports;
}

#endif

std::string use_text(const SerialPortInfo &port) {
    if (port.in_use == 1) return port.held_by.empty() ? "in use" : "in use by " + port.held_by;
    if (port.in_use == 0) return "free";
    return "";
}

} // namespace

std::vector<SerialPortInfo> list_serial_ports(const PortsOptions &options, const PortRoots &roots) {
#ifdef _WIN32
    (void)options;
    (void)roots;
    std::vector<SerialPortInfo> ports = windows_ports();
#else
    std::vector<SerialPortInfo> ports = linux_ports(options, roots);
#endif
    ports.push_back(sim_example());
    return ports;
}

std::string ports_text(const std::vector<SerialPortInfo> &ports) {
    std::size_t width = 0;
    for (const SerialPortInfo &p : ports) width = std::max(width, p.name.size());
    std::string out;
    for (const SerialPortInfo &p : ports) {
        std::string line = p.name + std::string(width + 2 - p.name.size(), ' ') + p.description;
        if (!p.driver.empty() && p.kind != "pty") line += " (" + p.driver + ")";
        if (p.latency_timer_ms >= 0) line += ", latency_timer " + std::to_string(p.latency_timer_ms) + " ms";
        const std::string use = use_text(p);
        if (!use.empty()) line += ", " + use;
        for (const std::string &alias : p.aliases) line += ", also " + alias;
        if (!p.hint.empty()) line += "; " + p.hint;
        out += line + "\n";
    }
    return out;
}

std::string ports_json(const std::vector<SerialPortInfo> &ports) {
    std::string out = "{\"ports\":[";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const SerialPortInfo &p = ports[i];
        out += std::string(i ? "," : "") + "{\"name\":" + json_string(p.name) + ",\"kind\":" + json_string(p.kind) +
               ",\"description\":" + json_string(p.description) + ",\"driver\":" + json_string(p.driver);
        if (!p.vendor_id.empty())
            out += ",\"usb\":{\"vendor_id\":" + json_string(p.vendor_id) + ",\"product_id\":" + json_string(p.product_id) +
                   ",\"manufacturer\":" + json_string(p.manufacturer) + ",\"product\":" + json_string(p.product) +
                   ",\"serial\":" + json_string(p.serial) + "}";
        if (p.latency_timer_ms >= 0)
            out += ",\"latency_timer_ms\":" + std::to_string(p.latency_timer_ms) +
                   ",\"latency_timer_path\":" + json_string(p.latency_timer_path);
        out += std::string(",\"in_use\":") + (p.in_use < 0 ? "null" : p.in_use ? "true" : "false");
        if (!p.held_by.empty()) out += ",\"held_by\":" + json_string(p.held_by);
        out += ",\"aliases\":[";
        for (std::size_t a = 0; a < p.aliases.size(); ++a) out += (a ? "," : "") + json_string(p.aliases[a]);
        out += "]";
        if (!p.hint.empty()) out += ",\"hint\":" + json_string(p.hint);
        out += "}";
    }
    return out + "]}";
}

int run_ports(const PortsOptions &options) {
    const std::vector<SerialPortInfo> ports = list_serial_ports(options);
    const std::string text = options.json ? ports_json(ports) + "\n" : ports_text(ports);
    std::fputs(text.c_str(), stdout);
    return kExitOk;
}

} // namespace zavctl
