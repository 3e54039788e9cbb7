// Capture files: the bytes on a servo line in a pcap file that Wireshark
// opens with tools/wireshark/zavbus.lua. The library writes them for
// capture= and reads them for replay:; zavsim and zavctl use the same code.
//
// File: classic pcap, nanosecond time stamps (magic a1b23c4d), link type
// 147 (USER0). Each record is one chunk of bytes as it was written or read,
// behind an 8-byte header of our own:
//
//   offset 0  version       1
//   offset 1  direction     0: host to bus (sent by the host), 1: bus to host,
//                           2: a note about the capture itself (text)
//   offset 2  flags         bit 0: recorded on the simulator's side
//   offset 3  reserved      0
//   offset 4  baud rate     unsigned 32-bit, big-endian (0: unknown)
//   offset 8  the bytes
//
// A capture that ends normally ends in a note that begins with kEndNote;
// a file without it stopped early (a write to it failed, or the program
// recording it was killed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace capture {

constexpr uint32_t kLinkType = 147; // USER0
constexpr std::size_t kHeaderSize = 8;
constexpr uint8_t kFlagSimulatorSide = 0x01;
constexpr char kEndNote[] = "end of capture";

enum class Direction : uint8_t { kHostToBus = 0, kBusToHost = 1, kNote = 2 };

// Writes a capture file: every record is flushed at once, so that the file
// is whole up to its last record if the program is killed. Records are not
// safe from several threads at once: the caller holds a lock. Allocates only
// in open.
class Writer {
public:
    Writer() = default;
    ~Writer() { close(); }
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Creates (or empties) the file and writes its header; false when that fails.
    bool open(const char *path, uint8_t flags);
    // One record at wall-clock time wall_ns (since 1970). A record that cannot
    // be written stops the capture: failed() then tells, and nothing more is written.
    void record(int64_t wall_ns, Direction direction, uint32_t baud, const uint8_t *bytes, std::size_t n);
    // Ends with the end note (unless the capture failed) and closes the file;
    // the note's time is wall_ns, or that of the last record when 0.
    void close(int64_t wall_ns = 0);

    bool failed() const { return failed_; }
    uint64_t records() const { return records_; }

private:
    std::FILE *file_ = nullptr;
    char *buffer_ = nullptr; // the file's buffer, so that writing allocates nothing
    bool failed_ = false;
    uint8_t flags_ = 0;
    uint64_t records_ = 0;
    int64_t last_ns_ = 0;
};

struct Record {
    int64_t time_ns; // wall clock, since 1970
    Direction direction;
    uint8_t flags;
    uint32_t baud;
    const uint8_t *bytes;
    std::size_t size;
};

// A whole capture file in memory.
class Reader {
public:
    // Files larger than this are refused.
    static constexpr long kLargestFile = 256L * 1024 * 1024;

    Reader() = default;
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // Reads path; false when it cannot be read or is not a capture of this
    // link type. A last record cut short is left out (truncated() says so);
    // records whose own header is not ours are skipped.
    bool load(const char *path);
    std::size_t size() const { return count_; }
    const Record &operator[](std::size_t i) const { return records_[i]; }
    bool truncated() const { return truncated_; }
    // True when the last record is the end note.
    bool ended() const;

private:
    uint8_t *data_ = nullptr;
    Record *records_ = nullptr;
    std::size_t count_ = 0;
    bool truncated_ = false;
};

} // namespace capture
