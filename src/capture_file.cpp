#include "capture_file.h"

#include <cstdlib>
#include <cstring>

namespace capture {

namespace {

constexpr uint32_t kMagicNanoseconds = 0xa1b23c4d;
constexpr uint32_t kMagicMicroseconds = 0xa1b2c3d4;
constexpr std::size_t kFileHeaderSize = 24;
constexpr std::size_t kRecordHeaderSize = 16;
constexpr uint32_t kSnapLength = 65535;
constexpr std::size_t kFileBuffer = 4096;
constexpr uint8_t kVersion = 1;

void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

uint32_t get32(const uint8_t *p, bool big_endian) {
    if (big_endian) return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

} // namespace

bool Writer::open(const char *path, uint8_t flags) {
    close();
    failed_ = false;
    records_ = 0;
    flags_ = flags;
    buffer_ = static_cast<char *>(std::malloc(kFileBuffer));
    file_ = buffer_ != nullptr ? std::fopen(path, "wb") : nullptr;
    if (file_ == nullptr || std::setvbuf(file_, buffer_, _IOFBF, kFileBuffer) != 0) {
        close();
        return false;
    }
    uint8_t header[kFileHeaderSize];
    put_le32(header, kMagicNanoseconds);
    put_le16(header + 4, 2);
    put_le16(header + 6, 4);
    put_le32(header + 8, 0);  // time zone
    put_le32(header + 12, 0); // accuracy
    put_le32(header + 16, kSnapLength);
    put_le32(header + 20, kLinkType);
    if (std::fwrite(header, sizeof header, 1, file_) != 1 || std::fflush(file_) != 0) {
        failed_ = true;
        close();
        return false;
    }
    return true;
}

void Writer::record(int64_t wall_ns, Direction direction, uint32_t baud, const uint8_t *bytes, std::size_t n) {
    if (file_ == nullptr || failed_ || n == 0) return;
    last_ns_ = wall_ns;
    // A chunk longer than a record holds goes in several.
    constexpr std::size_t kMostPerRecord = kSnapLength - kHeaderSize;
    for (std::size_t done = 0; done < n && !failed_;) {
        const std::size_t part = n - done < kMostPerRecord ? n - done : kMostPerRecord;
        const uint32_t length = static_cast<uint32_t>(kHeaderSize + part);
        uint8_t head[kRecordHeaderSize + kHeaderSize];
        const int64_t seconds = wall_ns / 1000000000;
        put_le32(head, static_cast<uint32_t>(seconds));
        put_le32(head + 4, static_cast<uint32_t>(wall_ns - seconds * 1000000000));
        put_le32(head + 8, length);
        put_le32(head + 12, length);
        uint8_t *own = head + kRecordHeaderSize;
        own[0] = kVersion;
        own[1] = static_cast<uint8_t>(direction);
        own[2] = flags_;
        own[3] = 0;
        for (int i = 0; i < 4; ++i) own[4 + i] = static_cast<uint8_t>(baud >> (24 - 8 * i));
        failed_ = std::fwrite(head, sizeof head, 1, file_) != 1 || std::fwrite(bytes + done, part, 1, file_) != 1 ||
                  std::fflush(file_) != 0;
        done += part;
    }
    if (!failed_) ++records_;
}

void Writer::close(int64_t wall_ns) {
    if (file_ != nullptr) {
        if (!failed_) {
            char note[64];
            const int n = std::snprintf(note, sizeof note, "%s: %llu records", kEndNote,
                                        static_cast<unsigned long long>(records_));
            record(wall_ns != 0 ? wall_ns : last_ns_, Direction::kNote, 0, reinterpret_cast<const uint8_t *>(note),
                   static_cast<std::size_t>(n));
        }
        if (std::fclose(file_) != 0) failed_ = true;
        file_ = nullptr;
    }
    std::free(buffer_);
    buffer_ = nullptr;
}

Reader::~Reader() {
    std::free(records_);
    std::free(data_);
}

bool Reader::load(const char *path) {
    std::free(records_);
    std::free(data_);
    records_ = nullptr;
    data_ = nullptr;
    count_ = 0;
    truncated_ = false;

    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    bool ok = size >= static_cast<long>(kFileHeaderSize) && size <= kLargestFile && std::fseek(file, 0, SEEK_SET) == 0;
    if (ok) data_ = static_cast<uint8_t *>(std::malloc(static_cast<std::size_t>(size)));
    ok = ok && data_ != nullptr && std::fread(data_, static_cast<std::size_t>(size), 1, file) == 1;
    std::fclose(file);
    if (!ok) return false;
    const std::size_t length = static_cast<std::size_t>(size);

    const uint32_t magic = get32(data_, false);
    bool big_endian = false;
    bool nanoseconds = false;
    if (magic == kMagicNanoseconds || magic == kMagicMicroseconds) {
        nanoseconds = magic == kMagicNanoseconds;
    } else {
        const uint32_t swapped = get32(data_, true);
        if (swapped != kMagicNanoseconds && swapped != kMagicMicroseconds) return false;
        big_endian = true;
        nanoseconds = swapped == kMagicNanoseconds;
    }
    if (get32(data_ + 20, big_endian) != kLinkType) return false;

    // Twice over the records: count them, then note them.
    for (int pass = 0; pass < 2; ++pass) {
        std::size_t at = kFileHeaderSize;
        std::size_t found = 0;
        while (at < length) {
            if (length - at < kRecordHeaderSize) {
                truncated_ = true;
                break;
            }
            const uint8_t *head = data_ + at;
            const uint32_t included = get32(head + 8, big_endian);
            if (included > length - at - kRecordHeaderSize) {
                truncated_ = true;
                break;
            }
            const uint8_t *own = head + kRecordHeaderSize;
            if (included >= kHeaderSize && own[0] == kVersion && own[1] <= static_cast<uint8_t>(Direction::kNote)) {
                if (pass == 1) {
                    const uint32_t fraction = get32(head + 4, big_endian);
                    Record &r = records_[found];
                    r.time_ns = static_cast<int64_t>(get32(head, big_endian)) * 1000000000 +
                                (nanoseconds ? fraction : static_cast<int64_t>(fraction) * 1000);
                    r.direction = static_cast<Direction>(own[1]);
                    r.flags = own[2];
                    r.baud = uint32_t{own[4]} << 24 | uint32_t{own[5]} << 16 | uint32_t{own[6]} << 8 | own[7];
                    r.bytes = own + kHeaderSize;
                    r.size = included - kHeaderSize;
                }
                ++found;
            }
            at += kRecordHeaderSize + included;
        }
        if (pass == 0) {
            count_ = found;
            records_ = static_cast<Record *>(std::malloc((found > 0 ? found : 1) * sizeof(Record)));
            if (records_ == nullptr) {
                count_ = 0;
                return false;
            }
        }
    }
    return true;
}

bool Reader::ended() const {
    if (count_ == 0) return false;
    const Record &last = records_[count_ - 1];
    const std::size_t n = sizeof kEndNote - 1;
    return last.direction == Direction::kNote && last.size >= n && std::memcmp(last.bytes, kEndNote, n) == 0;
}

} // namespace capture
