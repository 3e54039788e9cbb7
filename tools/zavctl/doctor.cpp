#include "doctor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "facts.h"
#include "line_info.h"
#include "session.h"
#include "status_text.h"

namespace zavctl {

namespace {

constexpr double kBitsPerByte = 11.0;        // start, 8 data, parity, stop
constexpr uint32_t kProbeBytes = 5;          // a parameter read: 2 bytes out, 3 back
constexpr uint32_t kEchoWaitMs = 300;        // longest an adapter holds bytes back
constexpr uint32_t kLateWindowMs = 200;      // how long a late reply is waited for
constexpr double kLatencyTimerExcessMs = 2.0;
constexpr double kUsbFrameExcessMs = 0.5;

// The usual PC rates and the rates the servos run at.
constexpr uint32_t kRates[] = {9600,   19200,  38400,  57600,  115200, 230400,  250000,
                               460800, 500000, 625000, 921600, 1000000, 1250000};

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::string id_list(const std::vector<int> &ids) {
    std::string out;
    for (int id : ids) out += (out.empty() ? "" : ",") + std::to_string(id);
    return out.empty() ? "none" : out;
}

std::string fixed(double value, int decimals = 3) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string json_ids(const std::vector<int> &ids) {
    std::string out = "[";
    for (std::size_t i = 0; i < ids.size(); ++i) out += (i ? "," : "") + std::to_string(ids[i]);
    return out + "]";
}

// One parameter read (sub-code 1) through the library: one exchange that
// changes nothing on the servo, unlike a position exchange.
bool read_parameter(PortHandle port, int id, StatusWord *status) {
    uint8_t value = 0;
    return ZAV_ReadByteData(port, static_cast<uint8_t>(id), ZAV_REG_SC1_VALUE, &value, status) != 0;
}

enum class Severity { kOk, kNote, kProblem };

// "tcp" or "rfc2217" for a network bridge's name, else empty.
std::string network_scheme(const std::string &device) {
    for (const char *scheme : {"tcp", "rfc2217"}) {
        const std::string prefix = std::string(scheme) + "://";
        if (device.size() > prefix.size() &&
            std::equal(prefix.begin(), prefix.end(), device.begin(),
                       [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); }))
            return scheme;
    }
    return {};
}

struct Finding {
    Severity severity;
    std::string code;
    std::string advice;
};

const char *severity_name(Severity s) {
    return s == Severity::kOk ? "ok" : s == Severity::kNote ? "note" : "problem";
}

struct Timing {
    int attempted = 0;
    int failed = 0;
    StatusWord failure_flags = 0;
    std::vector<double> ms; // successful exchanges, sorted
    double wire_ms = 0.0;
    double quantile(double q) const {
        if (ms.empty()) return 0.0;
        const double rank = std::ceil(q * static_cast<double>(ms.size()));
        const std::size_t at = rank < 1.0 ? 0 : static_cast<std::size_t>(rank) - 1;
        return ms[std::min(at, ms.size() - 1)];
    }
};

struct LateServo {
    int id;
    double ms;
};

class Doctor {
public:
    Doctor(const PortContext &context, const DoctorOptions &options) : c_(context), o_(options) {}

    int run() {
        network_ = network_scheme(c_.device);
        if (network_.empty()) line_ = read_line_info(c_.device);
        check_line();
        check_echo();
        find_servos();
        if (!answering_.empty()) time_exchanges();
        if (o_.find_baud) check_rates();
        ZAV_SetEchoCancel(c_.no_echo ? 0 : 1);
        if (o_.json)
            print_json();
        else
            print_report();
        const bool problem = std::any_of(findings_.begin(), findings_.end(),
                                         [](const Finding &f) { return f.severity == Severity::kProblem; });
        return problem ? kExitFailed : kExitOk;
    }

private:
    void add(Severity severity, const std::string &code, const std::string &advice) {
        findings_.push_back({severity, code, advice});
    }

    std::vector<int> ids_to_look_at() const {
        if (!o_.ids.empty()) return o_.ids;
        std::vector<int> all;
        for (int id = 0; id <= kIdMax; ++id) all.push_back(id);
        return all;
    }

    void check_line() {
        if (!line_.known) return;
        if (line_.baud != 0 && line_.baud != static_cast<uint32_t>(c_.baud))
            add(Severity::kProblem, "baud-not-applied",
                "the device runs at " + std::to_string(line_.baud) + " baud, not the " + std::to_string(c_.baud) +
                    " asked for: the adapter does not support that rate");
        const bool frame_ok = line_.data_bits == 8 && line_.stop_bits == 1 && (line_.parity == 'E' || line_.pseudo_terminal);
        if (!frame_ok || line_.hardware_flow || line_.software_flow)
            add(Severity::kProblem, "line-settings",
                "the device is not at 8 data bits, even parity, 1 stop bit, no flow control: another program may "
                "have changed it, or the driver ignores part of the settings");
        if (line_.low_latency == 0 && line_.usb)
            add(Severity::kProblem, "low-latency-off",
                "the driver did not take low-latency mode; try: setserial " + line_.device + " low_latency");
    }

    // Sends one parameter read with echo cancellation off: the request's own
    // bytes coming back first means the line echoes.
    void check_echo() {
        probe_id_ = o_.ids.empty() ? 1 : o_.ids.front();
        ZAV_SetEchoCancel(0);
        const uint8_t subcode = ZAV_SUBCODE_SC1;
        const uint8_t request[2] = {static_cast<uint8_t>((CMD_READ_PARAM << ZAV_COMMAND_SHIFT) + probe_id_), subcode};
        StatusWord status = 0;
        if (!ZAV_TxPacket(c_.port, static_cast<uint32_t>(probe_id_), CMD_READ_PARAM, &subcode, 1, &status)) {
            add(Severity::kProblem, "write-failed", "the port could not be written to [" + flag_names(status) + "]");
            echo_ = false;
            return;
        }
        uint8_t first[2] = {};
        uint32_t got = 0;
        ZAV_RxPacket(c_.port, first, 2, &got, kEchoWaitMs, nullptr);
        echo_ = got == 2 && first[0] == request[0] && first[1] == request[1];
        uint8_t rest[3] = {};
        ZAV_RxPacket(c_.port, rest, echo_ ? 3 : 1, &got, echo_ ? kEchoWaitMs : 50, nullptr);

        if (echo_ && c_.no_echo)
            add(Severity::kProblem, "drop-no-echo",
                "the line echoes every byte sent, but --no-echo is set: the echo is taken for the reply and every "
                "exchange fails; leave --no-echo out (ZAV_SetEchoCancel(1))");
        else if (!echo_ && !c_.no_echo)
            add(Severity::kProblem, "use-no-echo",
                "the line does not echo the bytes sent: use --no-echo (ZAV_SetEchoCancel(0)); with echo "
                "cancellation on, every exchange first waits 50 ms for an echo that never comes");
        else
            add(Severity::kOk, echo_ ? "echo-present" : "echo-absent",
                echo_ ? "the line echoes the bytes sent and echo cancellation is on, as it should be"
                      : "the line does not echo and --no-echo is set, as it should be");
        // The rest of the checks run with the setting that fits the line.
        ZAV_SetEchoCancel(echo_ ? 1 : 0);
    }

    void find_servos() {
        const std::vector<int> ids = ids_to_look_at();
        // Listed servos that do not answer in time are waited for longer, to
        // tell a late servo from a silent one; when none is listed and none
        // answers, every id is.
        std::vector<int> missing;
        for (int id : ids) look_for(id, !o_.ids.empty(), missing);
        if (o_.ids.empty() && answering_.empty()) {
            missing.clear();
            for (int id : ids) look_for(id, true, missing);
        }
        if (!o_.ids.empty()) silent_ = missing;

        if (!answering_.empty())
            add(Severity::kOk, "servos-answer", "servos " + id_list(answering_) + " answer");
        for (const LateServo &late : late_) {
            const int offset = static_cast<int>(std::ceil(late.ms)) + 10;
            add(Severity::kProblem, "late-servo",
                "servo " + std::to_string(late.id) + " answers after " + fixed(late.ms, 1) +
                    " ms, later than the reply time-out of " + std::to_string(c_.reply_timeout_ms) +
                    " ms: use --timeout-offset " + std::to_string(offset) + " (ZAV_SetTimeOutOffset)");
        }
        if (!silent_.empty())
            add(Severity::kProblem, "silent-servo",
                "servo" + std::string(silent_.size() > 1 ? "s " : " ") + id_list(silent_) + " did not answer within " +
                    std::to_string(kLateWindowMs) + " ms: check its id, power and wiring, and the baud rate");
        if (answering_.empty() && late_.empty() && o_.ids.empty())
            add(Severity::kProblem, "no-servo",
                "no servo answered on ids " + range_text(kIdRange) + " at " + std::to_string(c_.baud) +
                    " baud: check power and wiring, and the baud rate (zavctl doctor --find-baud)");
    }

    // One parameter read through the library; when it fails and wait_late is
    // set, the same request's reply is waited for up to kLateWindowMs after it
    // was sent (a second request would be confused with the first one's late reply).
    void look_for(int id, bool wait_late, std::vector<int> &missing) {
        const double start = now_ms();
        StatusWord status = 0;
        if (read_parameter(c_.port, id, &status)) {
            answering_.push_back(id);
            return;
        }
        if (wait_late && status == ERR_TIMEOUT) {
            const double left = kLateWindowMs - (now_ms() - start);
            uint8_t reply[ZAV_REPLY_LENGTH] = {};
            uint32_t got = 0;
            if (left > 0 && ZAV_RxPacket(c_.port, reply, ZAV_REPLY_LENGTH, &got, static_cast<uint32_t>(left), nullptr) &&
                reply[0] == ZAV_READ_REPLY_BASE + static_cast<unsigned>(id) && reply[1] == ZAV_SUBCODE_SC1) {
                late_.push_back({id, now_ms() - start});
                return;
            }
        }
        missing.push_back(id);
    }

    void time_exchanges() {
        target_ = answering_.front();
        timing_.wire_ms = kProbeBytes * kBitsPerByte * 1000.0 / static_cast<uint32_t>(c_.baud);
        for (int i = 0; i < o_.count; ++i) {
            StatusWord status = 0;
            const double start = now_ms();
            const bool ok = read_parameter(c_.port, target_, &status);
            const double took = now_ms() - start;
            ++timing_.attempted;
            if (ok) {
                timing_.ms.push_back(took);
            } else {
                ++timing_.failed;
                timing_.failure_flags = static_cast<StatusWord>(timing_.failure_flags | status);
            }
        }
        std::sort(timing_.ms.begin(), timing_.ms.end());
        if (timing_.failed > 0)
            add(Severity::kProblem, "exchange-failures",
                std::to_string(timing_.failed) + " of " + std::to_string(timing_.attempted) + " exchanges with servo " +
                    std::to_string(target_) + " failed [" + flag_names(timing_.failure_flags) +
                    "]: noise on the line, a loose contact, or a servo that answers late now and then");
        if (timing_.ms.empty()) return;

        const double median = timing_.quantile(0.5);
        const double excess = median - timing_.wire_ms;
        if (!network_.empty()) {
            check_network_round_trip();
        } else if (excess >= kLatencyTimerExcessMs) {
            std::string advice = "the median round trip is " + fixed(median, 2) + " ms, " + fixed(excess, 2) +
                                 " ms beyond the " + fixed(timing_.wire_ms, 3) + " ms the bytes need on the wire";
            if (std::fabs(median - 16.0) < 3.0) advice += " (near 16 ms: a USB adapter's default latency timer)";
            advice += ": the adapter holds replies back. " + latency_fix();
            add(Severity::kProblem, "latency-timer", advice);
        } else if (excess >= kUsbFrameExcessMs && line_.usb) {
            add(Severity::kNote, "usb-frame-time",
                "replies take about " + fixed(excess, 2) + " ms beyond the wire time: a USB adapter's latency timer at "
                "its 1 ms minimum; a faster round trip needs an adapter on a native serial port");
        } else {
            add(Severity::kOk, "round-trip-ok",
                "the median round trip is " + fixed(median, 3) + " ms, " + fixed(std::max(0.0, excess), 3) +
                    " ms beyond the wire time");
        }
        const double p99 = timing_.quantile(0.99);
        if (p99 > median + std::max(2.0, median))
            add(Severity::kNote, "jitter",
                "1 in 100 exchanges takes " + fixed(p99, 2) + " ms or more against a median of " + fixed(median, 2) +
                    " ms: a loaded machine or another program on the adapter's USB hub");
    }

    // Over a network the bridge and the network add their time to every
    // exchange: the reply time-out must cover the slowest round trip seen,
    // with room to spare for a busier network.
    void check_network_round_trip() {
        const double slowest = timing_.ms.back();
        const double wire_reply_ms = static_cast<double>(ZAV_REPLY_K_LONG) / static_cast<uint32_t>(c_.baud);
        suggested_offset_ = std::max(static_cast<int>(kDefaultTimeoutOffsetMs), static_cast<int>(std::ceil(2.0 * slowest + 5.0 - wire_reply_ms)));
        const std::string trip = "the round trip over the network is " + fixed(timing_.quantile(0.5), 2) + " ms (median; p99 " +
                                 fixed(timing_.quantile(0.99), 2) + ", max " + fixed(slowest, 2) + " ms), " +
                                 fixed(timing_.quantile(0.5) - timing_.wire_ms, 2) +
                                 " ms beyond the wire time: the bridge and the network add it";
        if (c_.reply_timeout_ms >= 2.0 * slowest + 5.0)
            add(Severity::kOk, "network-round-trip",
                trip + "; the reply time-out of " + std::to_string(c_.reply_timeout_ms) + " ms covers it");
        else
            add(Severity::kProblem, "network-round-trip",
                trip + ", close to or past the reply time-out of " + std::to_string(c_.reply_timeout_ms) +
                    " ms: use --timeout-offset " + std::to_string(suggested_offset_) + " (ZAV_SetTimeOutOffset)");
    }

    std::string latency_fix() const {
#ifdef _WIN32
        return "Set the port's latency timer to 1 ms: Device Manager, Ports, the adapter's Properties, Port "
               "Settings, Advanced, Latency Timer (msec).";
#else
        if (line_.pseudo_terminal) return "The line is a pseudo-terminal: the program on its other end holds the bytes.";
        if (!line_.latency_timer_path.empty())
            return "Its latency timer is " + std::to_string(line_.latency_timer_ms) + " ms: set it to 1 with: echo 1 | "
                   "sudo tee " + line_.latency_timer_path + " (or setserial " + line_.device + " low_latency).";
        return "Set the adapter's latency timer to 1 ms (setserial " + line_.device +
               " low_latency, or the driver's latency_timer in sysfs).";
#endif
    }

    void check_rates() {
        rates_ = probe_rates(c_, o_.ids);
        rates_checked_ = true;
        std::vector<uint32_t> where;
        bool here = false;
        for (const RateResult &r : rates_) {
            if (r.answering.empty()) continue;
            where.push_back(r.baud);
            if (r.baud == static_cast<uint32_t>(c_.baud)) here = true;
        }
        if (where.empty()) {
            add(Severity::kProblem, "baud-not-found",
                "no servo answered at any of the usual rates: check power and wiring (and the ids)");
        } else if (!here) {
            std::string list;
            for (uint32_t b : where) list += (list.empty() ? "" : ", ") + std::to_string(b);
            add(Severity::kProblem, "wrong-baud",
                "servos answer at " + list + " baud, not at " + std::to_string(c_.baud) + ": use --baud " +
                    std::to_string(where.front()));
        } else {
            add(Severity::kOk, "baud-ok", "servos answer at the rate in use");
        }
    }

    void print_report() const {
        std::printf("zavctl doctor: %s%s\n", c_.device.c_str(), c_.simulated ? " (simulated bus)" : "");
        if (network_ == "tcp") {
            std::printf("line      a network bridge's raw byte stream: the line settings are the bridge's own (set it to "
                        "%d baud, 8E1, no flow control)\n", c_.baud);
        } else if (network_ == "rfc2217") {
            std::printf("line      a network bridge (RFC 2217): %d baud, 8E1, no flow control, set through the bridge\n",
                        c_.baud);
        } else if (line_.known) {
            std::printf("line      %u baud, %d%c%d, %s flow control", line_.baud, line_.data_bits, line_.parity,
                        line_.stop_bits, line_.hardware_flow ? "hardware" : line_.software_flow ? "software" : "no");
            if (line_.dtr >= 0) std::printf(", DTR %s, RTS %s", line_.dtr ? "on" : "off", line_.rts ? "on" : "off");
            std::printf("%s\n", line_.pseudo_terminal ? " (a pseudo-terminal: no parity, no modem lines)" : "");
            std::printf("adapter   %s%s", line_.driver.empty() ? "unknown driver" : line_.driver.c_str(), line_.usb ? " (USB)" : "");
            if (line_.latency_timer_ms >= 0) std::printf(", latency timer %d ms (%s)", line_.latency_timer_ms, line_.latency_timer_path.c_str());
            if (line_.low_latency >= 0) std::printf(", low-latency mode %s", line_.low_latency ? "on" : "off");
            std::printf("\n");
        } else {
            std::printf("line      %d baud asked for, 8E1 (the device's settings cannot be read here)\n", c_.baud);
        }
        std::printf("echo      %s\n", echo_ ? "present (sent bytes come back)" : "absent");
        std::printf("servos    answering: %s", id_list(answering_).c_str());
        for (const LateServo &l : late_) std::printf(", late: %d (%.1f ms)", l.id, l.ms);
        if (!silent_.empty()) std::printf(", silent: %s", id_list(silent_).c_str());
        std::printf("\n");
        if (!timing_.ms.empty()) {
            std::printf("timing    servo %d, %d exchanges of %u bytes; the wire needs %.3f ms at %d baud\n", target_,
                        timing_.attempted, kProbeBytes, timing_.wire_ms, c_.baud);
            std::printf("          min %.3f  median %.3f  p99 %.3f  max %.3f ms\n", timing_.quantile(0), timing_.quantile(0.5),
                        timing_.quantile(0.99), timing_.ms.back());
        }
        if (rates_checked_) {
            std::printf("rates    ");
            for (const RateResult &r : rates_)
                if (!r.answering.empty()) std::printf(" %u: %s", r.baud, id_list(r.answering).c_str());
            std::printf("%s\n", std::none_of(rates_.begin(), rates_.end(), [](const RateResult &r) { return !r.answering.empty(); })
                                    ? " no servo at any rate"
                                    : "");
        }
        std::printf("\n");
        std::string codes;
        for (const Finding &f : findings_) {
            std::printf("[%s] %s: %s\n", severity_name(f.severity), f.code.c_str(), f.advice.c_str());
            codes += (codes.empty() ? "" : " ") + f.code;
        }
        std::printf("findings: %s\n", codes.c_str());
    }

    void print_json() const {
        std::string out = "{\"device\":" + json_string(c_.device) + ",\"baud\":" + std::to_string(c_.baud);
        out += ",\"line\":{\"known\":" + std::string(line_.known ? "true" : "false");
        if (line_.known) {
            out += ",\"baud\":" + std::to_string(line_.baud) + ",\"frame\":" +
                   json_string(std::to_string(line_.data_bits) + line_.parity + std::to_string(line_.stop_bits)) +
                   ",\"driver\":" + json_string(line_.driver) + ",\"usb\":" + (line_.usb ? "true" : "false") +
                   ",\"latency_timer_ms\":" + std::to_string(line_.latency_timer_ms) +
                   ",\"low_latency\":" + std::to_string(line_.low_latency);
        }
        out += "}";
        if (!network_.empty()) {
            out += ",\"network\":{\"scheme\":" + json_string(network_);
            if (suggested_offset_ > 0) out += ",\"suggested_timeout_offset_ms\":" + std::to_string(suggested_offset_);
            out += "}";
        }
        out += ",\"echo\":" + std::string(echo_ ? "true" : "false");
        out += ",\"servos\":{\"answering\":" + json_ids(answering_) + ",\"silent\":" + json_ids(silent_) + ",\"late\":[";
        for (std::size_t i = 0; i < late_.size(); ++i)
            out += std::string(i ? "," : "") + "{\"id\":" + std::to_string(late_[i].id) + ",\"ms\":" + fixed(late_[i].ms) + "}";
        out += "]}";
        if (!timing_.ms.empty()) {
            out += ",\"round_trip_ms\":{\"servo\":" + std::to_string(target_) + ",\"count\":" + std::to_string(timing_.attempted) +
                   ",\"failed\":" + std::to_string(timing_.failed) + ",\"wire\":" + fixed(timing_.wire_ms) +
                   ",\"min\":" + fixed(timing_.quantile(0)) + ",\"median\":" + fixed(timing_.quantile(0.5)) +
                   ",\"p99\":" + fixed(timing_.quantile(0.99)) + ",\"max\":" + fixed(timing_.ms.back()) + "}";
        }
        if (rates_checked_) {
            out += ",\"rates\":[";
            bool first = true;
            for (const RateResult &r : rates_) {
                if (r.answering.empty()) continue;
                out += std::string(first ? "" : ",") + "{\"baud\":" + std::to_string(r.baud) + ",\"servos\":" + json_ids(r.answering) + "}";
                first = false;
            }
            out += "]";
        }
        out += ",\"findings\":[";
        for (std::size_t i = 0; i < findings_.size(); ++i)
            out += std::string(i ? "," : "") + "{\"code\":" + json_string(findings_[i].code) + ",\"severity\":\"" +
                   severity_name(findings_[i].severity) + "\",\"advice\":" + json_string(findings_[i].advice) + "}";
        out += "]}";
        std::printf("%s\n", out.c_str());
    }

    const PortContext &c_;
    const DoctorOptions &o_;
    std::string network_; // the bridge's scheme, for a network name
    int suggested_offset_ = 0;
    LineInfo line_;
    std::vector<Finding> findings_;
    int probe_id_ = 1;
    bool echo_ = false;
    std::vector<int> answering_;
    std::vector<LateServo> late_;
    std::vector<int> silent_;
    int target_ = -1;
    Timing timing_;
    bool rates_checked_ = false;
    std::vector<RateResult> rates_;
};

} // namespace

int run_doctor(const PortContext &context, const DoctorOptions &options) {
    return Doctor(context, options).run();
}

std::vector<RateResult> probe_rates(const PortContext &context, const std::vector<int> &ids) {
    std::vector<int> all;
    for (int id = 0; id <= kIdMax; ++id) all.push_back(id);
    const std::vector<int> &look_at = ids.empty() ? all : ids;
    std::vector<RateResult> results;
    for (uint32_t baud : kRates) {
        RateResult result;
        result.baud = baud;
        result.accepted = ZAV_SetBaudrate(context.port, static_cast<int32_t>(baud)) != 0;
        if (result.accepted) {
            for (int id : look_at)
                if (read_parameter(context.port, id, nullptr)) result.answering.push_back(id);
        }
        results.push_back(result);
    }
    ZAV_SetBaudrate(context.port, context.baud);
    return results;
}

int scan_all_rates(const PortContext &context) {
    std::printf("%-9s %s\n", "baud", "servos");
    const std::vector<RateResult> results = probe_rates(context, {});
    std::vector<uint32_t> where;
    for (const RateResult &r : results) {
        std::printf("%-9u %s\n", r.baud, !r.accepted ? "(the adapter refused this rate)" : id_list(r.answering).c_str());
        if (!r.answering.empty()) where.push_back(r.baud);
    }
    if (where.empty()) {
        std::fprintf(stderr, "zavctl: no servo answered at any of these rates (check power and wiring)\n");
        return 1;
    }
    std::string list;
    for (uint32_t b : where) list += (list.empty() ? "" : ", ") + std::to_string(b);
    if (std::find(where.begin(), where.end(), static_cast<uint32_t>(context.baud)) != where.end())
        std::printf("servos answer at %s baud, among them the rate in use (%d)\n", list.c_str(), context.baud);
    else
        std::printf("servos answer at %s baud: use --baud %u\n", list.c_str(), where.front());
    return 0;
}

namespace {

const CommandRegistration kDoctor{
    {"doctor", Group::kLine, "check the line: settings, echo, round trip, late or silent servos, baud rate",
     "zavctl --port /dev/ttyUSB0 doctor --ids 1-6 --find-baud", [](CLI::App &app) -> Run {
         auto options = state<DoctorOptions>();
         auto ids = state<IdSelection>();
         app.description("check the line: settings, echo, round trip against the wire time, late or silent servos,\n"
                         "baud rate; says what to change (exit 1 when something needs attention)");
         app.add_option_function<std::string>(
                "--ids",
                [ids](const std::string &text) {
                    if (!parse_ids(text, *ids))
                        throw CLI::ValidationError("--ids: '" + text + "' is not a list of servo ids such as 1-6");
                },
                "servos that should answer (default, or all: look for any)")
             ->type_name("IDS");
         app.add_option("--count", options->count, "exchanges to time")->capture_default_str()->check(CLI::Range(1, 100000));
         app.add_flag("--find-baud", options->find_baud, "also try the usual rates and the servos' rates");
         app.add_flag("--json", options->json, "print the report as one JSON object");
         return [options, ids](Session &s) {
             options->ids = ids->all ? std::vector<int>{} : ids->ids;
             return run_doctor(s.context(), *options);
         };
     }}};

} // namespace

} // namespace zavctl
