// The device kinds that the conformance suite (device_conformance_test.cpp)
// runs its cases against. Each build lists its own kinds, one row each
// (kinds_unit.cpp, kinds_linux.cpp, kinds_windows.cpp); a new kind is one
// FarEnd class and one row there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// What a case asks of the bus behind the device.
struct FarEndOptions {
    bool echo = false;          // the line hands packets back
    double latency_ms = 0;      // every echo and reply held back this long
    std::vector<int> silent;    // servos that never answer (all 32 ids are there)
};

// The far end of one device, for one case.
class FarEnd {
public:
    virtual ~FarEnd() = default;
    // The name to give ZAV_OpenPort.
    virtual std::string name() const = 0;
    // Called before each open of name() (an emulated port may need it).
    virtual void ready_for_open() {}
    // Arms a hang-up: the far end goes away once it has received the next
    // packet, before it answers. False where the kind has no far end that can
    // go away (an in-process bus).
    virtual bool hang_up_after_next_packet() { return false; }
    // The rate the far end sees the line at; 0 where the kind cannot tell.
    virtual uint32_t line_baud() { return 0; }
};

struct DeviceKind {
    std::string label; // a test name part: letters and digits
    std::function<std::unique_ptr<FarEnd>(const FarEndOptions &)> make;
    bool virtual_clock = false; // time is the unit tests' virtual clock: timings are exact
};

// The kinds of this build.
std::vector<DeviceKind> device_kinds();

// How a failed case names its kind.
inline void PrintTo(const DeviceKind &kind, std::ostream *out) { *out << kind.label; }

// The library's in-process bus, which every build has: sim:0-31 with options.
std::string sim_name(const FarEndOptions &options);

class SimFarEnd : public FarEnd {
public:
    explicit SimFarEnd(const FarEndOptions &options) : name_(sim_name(options)) {}
    std::string name() const override { return name_; }

private:
    std::string name_;
};
