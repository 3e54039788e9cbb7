// The kinds of device by scheme, and the one reading of a name that every
// kind shares: scheme, address and options (device.h says the syntax).
#include "device.h"

#include <cstring>

namespace device {

// The kinds reached by a scheme. Each is one file, src/devices/NAME.cpp,
// defining `const device::Backend NAME_backend`; list it here, once.
#define ZAV_DEVICE_KINDS(KIND) KIND(sim) KIND(replay) KIND(tcp) KIND(rfc2217)

#define ZAV_DECLARE_KIND(name) extern const Backend name##_backend;
ZAV_DEVICE_KINDS(ZAV_DECLARE_KIND)
#undef ZAV_DECLARE_KIND

namespace {

#define ZAV_LIST_KIND(name) &name##_backend,
const Backend *const kKinds[] = {ZAV_DEVICE_KINDS(ZAV_LIST_KIND)};
#undef ZAV_LIST_KIND

// The option every kind takes.
constexpr char kCaptureOption[] = "capture";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The kind whose scheme begins name and is followed by ':', or null.
const Backend *kind_of(const char *name, std::size_t *scheme_length) {
    std::size_t n = 0;
    if (!is_alpha(name[0])) return nullptr;
    while (is_alpha(name[n]) || is_digit(name[n]) || name[n] == '+' || name[n] == '-' || name[n] == '.') ++n;
    if (name[n] != ':') return nullptr;
    for (const Backend *kind : kKinds) {
        const char *scheme = kind->scheme;
        if (std::strlen(scheme) != n) continue;
        std::size_t i = 0;
        while (i < n && lower(name[i]) == scheme[i]) ++i;
        if (i == n) {
            *scheme_length = n;
            return kind;
        }
    }
    return nullptr;
}

int hex_digit(char c) {
    if (is_digit(c)) return c - '0';
    const char l = lower(c);
    return l >= 'a' && l <= 'f' ? l - 'a' + 10 : -1;
}

// Decodes %XX in place; false on a '%' not followed by two hex digits, or
// one that stands for a zero byte.
bool percent_decode(char *text) {
    char *out = text;
    for (const char *in = text; *in != '\0'; ++in) {
        if (*in != '%') {
            *out++ = *in;
            continue;
        }
        const int high = hex_digit(in[1]);
        const int low = high < 0 ? -1 : hex_digit(in[2]);
        if (low < 0 || (high == 0 && low == 0)) return false;
        *out++ = static_cast<char>(high * 16 + low);
        in += 2;
    }
    *out = '\0';
    return true;
}

bool is_key_char(char c) { return is_alpha(c) || is_digit(c) || c == '_'; }

// Splits "k=v&k=v" (in place) into options.
bool parse_options(char *text, Options *options) {
    while (true) {
        char *end = std::strchr(text, '&');
        if (end != nullptr) *end = '\0';
        char *equals = std::strchr(text, '=');
        if (equals == nullptr || equals == text) return false;
        *equals = '\0';
        for (const char *k = text; *k != '\0'; ++k)
            if (!is_key_char(*k)) return false;
        if (!percent_decode(equals + 1) || !options->add(text, equals + 1)) return false;
        if (end == nullptr) return true;
        text = end + 1;
    }
}

bool takes(const Backend &kind, const char *key) {
    for (const char *const *k = kind.options; k != nullptr && *k != nullptr; ++k)
        if (std::strcmp(*k, key) == 0) return true;
    return false;
}

} // namespace

const char *Options::find(const char *key) const {
    for (int i = 0; i < count_; ++i)
        if (std::strcmp(keys_[i], key) == 0) return values_[i];
    return nullptr;
}

bool Options::flag(const char *key, bool *value) const {
    const char *text = find(key);
    if (text == nullptr) return true;
    if (std::strcmp(text, "0") != 0 && std::strcmp(text, "1") != 0) return false;
    *value = text[0] == '1';
    return true;
}

bool Options::number(const char *key, std::uint32_t max, std::uint32_t *value) const {
    const char *text = find(key);
    if (text == nullptr) return true;
    if (*text == '\0') return false;
    std::uint64_t n = 0;
    for (const char *c = text; *c != '\0'; ++c) {
        if (!is_digit(*c)) return false;
        n = n * 10 + static_cast<std::uint64_t>(*c - '0');
        if (n > max) return false;
    }
    *value = static_cast<std::uint32_t>(n);
    return true;
}

bool Options::add(const char *key, const char *value) {
    if (count_ == kMaxOptions || find(key) != nullptr) return false;
    keys_[count_] = key;
    values_[count_] = value;
    ++count_;
    return true;
}

bool parse_name(const char *name, ParsedName *parsed) {
    const std::size_t length = std::strlen(name);
    if (length > kMaxNameLength) return false;
    std::memcpy(parsed->text, name, length + 1);
    char *text = parsed->text;

    // A Windows device path may begin with "\\?\": that '?' opens no options.
    const std::size_t skip = std::strncmp(text, "\\\\?\\", 4) == 0 ? 4 : 0;
    char *question = std::strchr(text + skip, '?');
    if (question != nullptr) {
        *question = '\0';
        if (!parse_options(question + 1, &parsed->options)) return false;
    }

    std::size_t scheme_length = 0;
    parsed->backend = kind_of(text, &scheme_length);
    if (parsed->backend != nullptr) {
        parsed->address = text + scheme_length + 1;
    } else {
        parsed->backend = &serial_backend;
        parsed->address = text;
    }

    // Every option must be one the kind takes; capture is taken out here.
    Options kept;
    for (int i = 0; i < parsed->options.count(); ++i) {
        const char *key = parsed->options.key(i);
        const char *value = parsed->options.value(i);
        if (std::strcmp(key, kCaptureOption) == 0) {
            if (*value == '\0') return false;
            parsed->capture = value;
        } else if (!takes(*parsed->backend, key) || !kept.add(key, value)) {
            return false;
        }
    }
    parsed->options = kept;
    return true;
}

Device open(const char *name) {
    static_assert(sizeof(ParsedName) < 8192, "a parsed name lives on the stack");
    ParsedName parsed;
    if (!parse_name(name, &parsed)) return kInvalidDevice;
    const Device inner = parsed.backend->open(parsed.address, parsed.options);
    if (inner == kInvalidDevice || parsed.capture == nullptr) return inner;
    return capture_wrap(inner, parsed.capture);
}

} // namespace device
