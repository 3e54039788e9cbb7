// Serial devices on Windows: any name without a registered scheme ("COM3",
// "COM3:", "\\.\COM12", "\\?\..."), through the kernel32
// serial-communications calls. Options: none of its own (capture= applies to
// every device). A rate change is a change of the line's rate.
#include <windows.h>

#include <cstring>
#include <new>

#include "device.h"

namespace device {

namespace {

// What the backend keeps per open device: its handle and the read time-out in
// force, so that a read with the same time-out as the last one (no echo, or a
// host reading a reply in parts) skips SetCommTimeouts.
struct SerialPort {
    Head head;
    HANDLE handle;
    bool read_timeout_known;
    DWORD read_timeout_ms;
};

SerialPort *port_of(Device device) { return reinterpret_cast<SerialPort *>(device); }
HANDLE handle_of(Device device) { return port_of(device)->handle; }

bool set_read_timeout(SerialPort *port, DWORD total_ms) {
    if (port->read_timeout_known && port->read_timeout_ms == total_ms) return true;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = total_ms;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    port->read_timeout_known = SetCommTimeouts(port->handle, &timeouts) != 0;
    port->read_timeout_ms = total_ms;
    return port->read_timeout_known;
}

extern const Methods kSerialMethods;

Device open_serial(const char *name, const Options &) {
    // "COM12" and up only open through the device namespace; names that are
    // already device paths are used as given.
    char path[MAX_PATH + 8];
    const bool is_device_path = std::strncmp(name, "\\\\.\\", 4) == 0 || std::strncmp(name, "\\\\?\\", 4) == 0;
    if (is_device_path || std::strlen(name) > MAX_PATH) {
        std::strncpy(path, name, sizeof path - 1);
        path[sizeof path - 1] = '\0';
    } else {
        std::strcpy(path, "\\\\.\\");
        std::strcat(path, name);
    }
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return kInvalidDevice;
    auto *port = new (std::nothrow) SerialPort{{&kSerialMethods}, handle, false, 0};
    if (port == nullptr) {
        CloseHandle(handle);
        return kInvalidDevice;
    }
    return reinterpret_cast<Device>(port);
}

bool configure_line(Device device, uint32_t baud) {
    SerialPort *port = port_of(device);
    HANDLE handle = port->handle;
    COMMTIMEOUTS timeouts{};
    const bool timeouts_ok = SetCommTimeouts(handle, &timeouts) != 0;
    port->read_timeout_known = timeouts_ok;
    port->read_timeout_ms = 0;
    const bool mask_ok = SetCommMask(handle, 0) != 0;

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb); // DCBlength deliberately left 0
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.XonLim = 512;
    dcb.XoffLim = 512;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EofChar = 0x03;
    dcb.ErrorChar = 0;
    dcb.EvtChar = 0;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    const bool state_ok = SetCommState(handle, &dcb) != 0;
    return timeouts_ok && mask_ok && state_ok;
}

bool change_rate(Device device, uint32_t baud) {
    HANDLE handle = handle_of(device);
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) return false;
    dcb.BaudRate = baud;
    return SetCommState(handle, &dcb) != 0;
}

bool query_line(Device device) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return GetCommState(handle_of(device), &dcb) != 0;
}

void purge_line(Device device, Purge what) {
    DWORD flags = PURGE_RXCLEAR;
    if (what == Purge::kBoth) flags = PURGE_TXCLEAR | PURGE_RXCLEAR;
    if (what == Purge::kAbortAll) flags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    PurgeComm(handle_of(device), flags);
}

void clear_errors(Device device) {
    DWORD errors = 0;
    COMSTAT stat;
    ClearCommError(handle_of(device), &errors, &stat);
}

bool write_line(Device device, const uint8_t *data, uint32_t count) {
    DWORD written = 0;
    return WriteFile(handle_of(device), data, count, &written, nullptr) != 0;
}

bool read_line(Device device, uint8_t *buffer, uint32_t count, uint32_t *got, uint32_t timeout_ms) {
    SerialPort *port = port_of(device);
    set_read_timeout(port, timeout_ms);
    DWORD received = 0;
    const bool ok = ReadFile(port->handle, buffer, count, &received, nullptr) != 0;
    *got = received;
    return ok;
}

void close_line(Device device) {
    SerialPort *port = port_of(device);
    CloseHandle(port->handle);
    delete port;
}

const Methods kSerialMethods = {configure_line, change_rate,  query_line, purge_line,
                                clear_errors,   write_line,   read_line,  close_line};

} // namespace

extern const Backend serial_backend = {nullptr, nullptr, open_serial};

} // namespace device
