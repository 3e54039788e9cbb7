// Devices: what ZAV_OpenPort opens. The core reaches a device only through the
// thin wrappers at the end of this file, which call the table of methods that
// every open device carries (as SQLite's VFS does). Adding a kind of device is
// one file under src/devices/ and one line in the list in device_registry.cpp.
//
// Names. A name is SCHEME:ADDRESS for a registered scheme ("sim:0-5",
// "replay:bus.pcap"; schemes match without regard to case), or anything else,
// which goes whole to the serial backend exactly as a name always did
// ("/dev/ttyUSB0", "COM3", "COM3:", "\\.\COM12"). Either may end in options:
// "?KEY=VALUE&KEY=VALUE". The options begin at the first '?' (after a leading
// "\\?\" on a Windows device path); each is KEY=VALUE with a non-empty key,
// and %XX in a value stands for the byte XX ("%26" for '&', "%25" for '%').
// A name with a malformed option, an option its kind does not take, an option
// given twice, more than kMaxOptions options or more than kMaxNameLength
// characters does not open. One option belongs to every kind:
// capture=FILE records the device's traffic (src/devices/capture.cpp).
//
// The contract of every method, whatever the kind:
// - Time-outs: read waits at most its timeout_ms, in total (no gap time-out),
//   and returns as soon as count bytes are in. The core never asks for 0 ms.
//   write returns once the bytes are handed over; a kind that can stall (a
//   full output queue) bounds that wait itself and then fails.
// - Hang-up (the far end went away: an adapter pulled out, a peer closed):
//   a read in progress ends at once, returning what it had (true with *got
//   short, or false); later reads end at once the same way, writes and the
//   settings calls fail, query is false. close still releases everything.
// - query is what ZAV_Active reports: true while the device is usable (its
//   settings can be read and it has not hung up).
// - change_baud sets the rate for everything that follows; false when the
//   kind refuses the rate or cannot read its settings (then nothing changes).
//   Each kind's file says what a rate means there (on a serial line the rate
//   of the line; on an in-process bus the rate its servos run at).
// - purge drops the bytes that have arrived and not been read; bytes still
//   on their way (not yet received) arrive afterwards. kBoth also drops bytes
//   written and not yet sent; kAbortAll also ends calls in progress.
// - clear_line_errors clears sticky line-error state where a kind has any;
//   elsewhere it does nothing.
// - Threads: ZAV_SetBaudrate and ZAV_Active take no lock against exchanges,
//   so purge, change_baud and query may run while another thread is in read
//   or write on the same device; a kind makes that safe. The raw packet calls
//   take no lock at all, so even read and write may overlap. close never
//   overlaps any other call on the same device.
// - Memory: nothing but open and close may allocate. The exchange path
//   (configure aside: write, read, purge, clear_line_errors, query,
//   change_baud) uses no heap, whatever the kind.
#pragma once

#include <cstddef>
#include <cstdint>

namespace device {

// An open device, as the core holds it. kInvalidDevice (all bits set) means none.
using Device = std::intptr_t;
constexpr Device kInvalidDevice = -1;

enum class Purge {
    kReceive,  // drop the bytes received and not read
    kBoth,     // also drop the bytes written and not yet sent
    kAbortAll, // also end the calls in progress
};

struct Methods {
    // Puts a freshly opened device into the bus's line settings: 8 data bits,
    // even parity, one stop bit, no flow control, DTR on, RTS off, no
    // time-outs of its own, at baud. Every setting is attempted; true only if
    // all of them were accepted.
    bool (*configure)(Device device, std::uint32_t baud);
    // Replaces the rate and keeps every other setting (see above).
    bool (*change_baud)(Device device, std::uint32_t baud);
    bool (*query)(Device device);
    void (*purge)(Device device, Purge what);
    void (*clear_line_errors)(Device device);
    // Writes all count bytes; false when the write failed.
    bool (*write)(Device device, const std::uint8_t *data, std::uint32_t count);
    // Reads up to count bytes within timeout_ms; *got receives how many. False
    // only when the read itself failed: running into the time-out is a
    // success with *got < count.
    bool (*read)(Device device, std::uint8_t *buffer, std::uint32_t count, std::uint32_t *got,
                 std::uint32_t timeout_ms);
    // Releases the device and everything it holds.
    void (*close)(Device device);
};

// Every kind's record of an open device begins with this (its first member),
// so that the core finds the kind's methods from any device.
struct Head {
    const Methods *methods;
};

constexpr std::size_t kMaxNameLength = 4095;
constexpr int kMaxOptions = 16;

// The options of a name, decoded; they point into the name being opened and
// live for the duration of the open.
class Options {
public:
    int count() const { return count_; }
    const char *key(int i) const { return keys_[i]; }
    const char *value(int i) const { return values_[i]; }
    // The value given for key, or null when the name does not give it.
    const char *find(const char *key) const;
    // A 0/1 flag: false when given as anything else; *value untouched when absent.
    bool flag(const char *key, bool *value) const;
    // A decimal number 0 to max: false when given as anything else; *value
    // untouched when absent.
    bool number(const char *key, std::uint32_t max, std::uint32_t *value) const;

    // Adds one; false when full or when key is already there.
    bool add(const char *key, const char *value);

private:
    const char *keys_[kMaxOptions] = {};
    const char *values_[kMaxOptions] = {};
    int count_ = 0;
};

// One kind of device.
struct Backend {
    const char *scheme;         // lower case, without the ':'; null for the serial backend
    const char *const *options; // the option keys this kind takes, ending in null
    // Opens address (the name without its scheme and options) with the given
    // options, all of them among the keys above; kInvalidDevice when the
    // device cannot be opened or an option's value is wrong.
    Device (*open)(const char *address, const Options &options);
};

// The kind for names without a registered scheme; each build links one
// (devices/serial_posix.cpp, devices/serial_win.cpp, or the unit tests' device).
extern const Backend serial_backend;

// A name taken apart. Kept apart from open so that it can be tested alone.
struct ParsedName {
    char text[kMaxNameLength + 1]; // the name, cut into its parts in place
    const Backend *backend = nullptr;
    const char *address = nullptr;
    Options options;
    const char *capture = nullptr; // capture=FILE, taken out of options
};
// False when the name is malformed, too long, or gives an option its kind
// does not take (or one option twice).
bool parse_name(const char *name, ParsedName *parsed);

// Opens a device by name: routes it to its kind, then wraps it in a capture
// when the name asks for one. kInvalidDevice on any failure.
Device open(const char *name);

// Wraps inner so that everything written and read is recorded in a pcap
// file at path (src/devices/capture.cpp). When the file cannot be created,
// closes inner and returns kInvalidDevice.
Device capture_wrap(Device inner, const char *path);

// The wrappers through which the core calls a device.
inline const Methods &methods_of(Device device) { return *reinterpret_cast<const Head *>(device)->methods; }
inline bool configure(Device device, std::uint32_t baud) { return methods_of(device).configure(device, baud); }
inline bool change_baud(Device device, std::uint32_t baud) { return methods_of(device).change_baud(device, baud); }
inline bool query(Device device) { return device != kInvalidDevice && methods_of(device).query(device); }
inline void purge(Device device, Purge what) { methods_of(device).purge(device, what); }
inline void clear_line_errors(Device device) { methods_of(device).clear_line_errors(device); }
inline bool write(Device device, const std::uint8_t *data, std::uint32_t count) {
    return methods_of(device).write(device, data, count);
}
inline bool read(Device device, std::uint8_t *buffer, std::uint32_t count, std::uint32_t *got,
                 std::uint32_t timeout_ms) {
    return methods_of(device).read(device, buffer, count, got, timeout_ms);
}
inline void close(Device device) { methods_of(device).close(device); }

// A kind's record as a device, and back.
template <class Record> Device as_device(Record *record) { return reinterpret_cast<Device>(record); }
template <class Record> Record *record_of(Device device) { return reinterpret_cast<Record *>(device); }

} // namespace device
