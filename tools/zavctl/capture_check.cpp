#include "capture_check.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "capture_file.h"
#include "servo_bus.h"

namespace zavctl {

namespace {

struct Request {
    const uint8_t *bytes;
    std::size_t size;
    bool operator==(const Request &other) const {
        return size == other.size && std::memcmp(bytes, other.bytes, size) == 0;
    }
};

std::vector<Request> requests_of(const capture::Reader &file) {
    std::vector<Request> out;
    for (std::size_t i = 0; i < file.size(); ++i)
        if (file[i].direction == capture::Direction::kHostToBus) out.push_back({file[i].bytes, file[i].size});
    return out;
}

// "82 00 00 (position id 2 release)"
std::string describe(const Request &r) {
    std::string hex;
    for (std::size_t i = 0; i < r.size && i < 16; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%s%02X", i ? " " : "", r.bytes[i]);
        hex += byte;
    }
    if (r.size > 16) hex += " ...";
    char meaning[96];
    zavsim::describe_request(r.bytes, r.size, meaning, sizeof meaning);
    return hex + " (" + meaning + ")";
}

} // namespace

bool capture_is_whole(const std::string &path, std::string *why) {
    capture::Reader file;
    if (!file.load(path.c_str())) {
        *why = "the capture " + path + " cannot be read back: it is missing, or no longer a capture file";
        return false;
    }
    if (file.ended()) return true;
    std::size_t chunks = 0;
    for (std::size_t i = 0; i < file.size(); ++i) chunks += file[i].direction != capture::Direction::kNote;
    *why = "the capture " + path + " stopped early, after " + std::to_string(chunks) +
           " records: a write to it failed (a full disk?), so it holds only the start of the session";
    return false;
}

ReplayReport compare_with_recording(const std::string &recording, const std::string &session) {
    ReplayReport report;
    capture::Reader recorded;
    capture::Reader sent;
    if (!recorded.load(recording.c_str()) || !sent.load(session.c_str())) {
        report.text = "cannot compare the session with the recording (a capture cannot be read)";
        return report;
    }
    const std::vector<Request> expected = requests_of(recorded);
    const std::vector<Request> made = requests_of(sent);
    const std::string total = std::to_string(expected.size());
    for (std::size_t i = 0; i < made.size(); ++i) {
        const std::string number = std::to_string(i + 1);
        if (i == expected.size()) {
            report.left = true;
            report.text = "the session went on past the end of the recording (" + total + " requests): its request " +
                          number + ", " + describe(made[i]) + ", is not in it";
            return report;
        }
        if (!(made[i] == expected[i])) {
            report.left = true;
            report.text = "the session left the recording at request " + number + " of " + total + ": it sent " +
                          describe(made[i]) + ", the recording has " + describe(expected[i]);
            return report;
        }
    }
    if (made.size() == expected.size())
        report.text = "the session followed the whole recording (" + total + " requests)";
    else
        report.text = "the session followed the recording through request " + std::to_string(made.size()) + " of " +
                      total + ", then ended";
    return report;
}

} // namespace zavctl
