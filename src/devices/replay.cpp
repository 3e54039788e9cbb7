// A far end that answers from a capture file (capture_file.h).
//
//   replay:FILE
//
// No options of its own. The recording's host-to-bus bytes are the requests
// it expects, in order, and its bus-to-host bytes the answers: each request
// that matches the next recorded one gets what the bus sent after it in the
// recording (echo and reply), each chunk as long after the request as it
// came then. A request that does not match gets nothing (so the call fails
// with ERR_TIMEOUT, as with a silent servo), and the recording waits for the
// request it expects. So does every request past the recording's end. Bytes
// the bus sent before the first request are not replayed.
//
// A rate change is accepted and changes nothing: the answers come as they
// were recorded. The recording never hangs up; every purge drops the bytes
// that have arrived and keeps those still due. A file that is not a capture
// of this bus does not open.
#include <cstdlib>
#include <cstring>
#include <new>

#include "capture_file.h"
#include "device.h"
#include "platform.h"
#include "sim_line.h"

namespace device {

namespace {

// Bytes the bus sent in the recording, after the host had sent `position`
// bytes of its stream, `delay_ms` after the host's chunk that ended there.
struct Answer {
    std::size_t position;
    double delay_ms;
    const uint8_t *bytes;
    std::size_t size;
};

extern const Methods kReplayMethods;

struct Replay {
    Head head{&kReplayMethods};
    capture::Reader recording;
    uint8_t *requests = nullptr; // the host's bytes, end to end
    std::size_t request_bytes = 0;
    Answer *answers = nullptr;
    std::size_t answer_count = 0;
    platform::Lock lock; // over the two positions below
    std::size_t matched = 0;     // of the host's bytes
    std::size_t next_answer = 0; // the first answer not yet given
    zavsim::SimLine line;

    Replay() { platform::lock_init(&lock); }
    ~Replay() {
        platform::lock_destroy(&lock);
        std::free(requests);
        std::free(answers);
    }
};

Replay *replay_of(Device device) { return record_of<Replay>(device); }

bool accept_rate(Device, uint32_t) { return true; }
bool query_replay(Device) { return true; }
void purge_replay(Device device, Purge) { replay_of(device)->line.purge(); }
void clear_errors(Device) {}

bool write_replay(Device device, const uint8_t *data, uint32_t count) {
    Replay *r = replay_of(device);
    const double now = zavsim::SimLine::now_ms();
    platform::lock_enter(&r->lock);
    if (count <= r->request_bytes - r->matched && std::memcmp(r->requests + r->matched, data, count) == 0) {
        r->matched += count;
        for (; r->next_answer < r->answer_count && r->answers[r->next_answer].position <= r->matched; ++r->next_answer) {
            const Answer &a = r->answers[r->next_answer];
            r->line.emit(now + a.delay_ms, a.bytes, a.size);
        }
    }
    platform::lock_leave(&r->lock);
    return true;
}

bool read_replay(Device device, uint8_t *buffer, uint32_t count, uint32_t *got, uint32_t timeout_ms) {
    replay_of(device)->line.read(buffer, count, got, timeout_ms);
    return true;
}

void close_replay(Device device) { delete replay_of(device); }

const Methods kReplayMethods = {accept_rate,  accept_rate,  query_replay, purge_replay,
                                clear_errors, write_replay, read_replay,  close_replay};

// Lays the recording out as requests and answers.
bool prepare(Replay *r) {
    const capture::Reader &rec = r->recording;
    std::size_t answers = 0;
    for (std::size_t i = 0; i < rec.size(); ++i) {
        if (rec[i].direction == capture::Direction::kHostToBus) r->request_bytes += rec[i].size;
        if (rec[i].direction == capture::Direction::kBusToHost) ++answers;
    }
    r->requests = static_cast<uint8_t *>(std::malloc(r->request_bytes > 0 ? r->request_bytes : 1));
    r->answers = static_cast<Answer *>(std::malloc((answers > 0 ? answers : 1) * sizeof(Answer)));
    if (r->requests == nullptr || r->answers == nullptr) return false;
    std::size_t position = 0;
    int64_t request_ns = 0;
    for (std::size_t i = 0; i < rec.size(); ++i) {
        const capture::Record &record = rec[i];
        if (record.direction == capture::Direction::kHostToBus) {
            std::memcpy(r->requests + position, record.bytes, record.size);
            position += record.size;
            request_ns = record.time_ns;
        } else if (record.direction == capture::Direction::kBusToHost && position > 0) {
            const double delay = static_cast<double>(record.time_ns - request_ns) / 1e6;
            r->answers[r->answer_count++] = {position, delay > 0.0 ? delay : 0.0, record.bytes, record.size};
        }
    }
    return true;
}

Device open_replay(const char *path, const Options &) {
    auto *r = new (std::nothrow) Replay;
    if (r == nullptr) return kInvalidDevice;
    if (!r->recording.load(path) || !prepare(r)) {
        delete r;
        return kInvalidDevice;
    }
    return as_device(r);
}

} // namespace

extern const Backend replay_backend = {"replay", nullptr, open_replay};

} // namespace device
