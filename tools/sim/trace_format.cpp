#include "trace_format.h"

#include <algorithm>
#include <cstdio>

namespace zavsim {

std::string format_trace(const TraceEvent &event, double origin_ms) {
    char head[48];
    std::snprintf(head, sizeof head, "%10.3f ms  %s  ", event.at_ms - origin_ms,
                  event.to_host ? "bus -> host" : "host -> bus");
    std::string line = head;
    std::string hex;
    for (std::size_t i = 0; i < event.size; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02X ", event.bytes[i]);
        hex += byte;
    }
    hex.resize(std::max<std::size_t>(hex.size(), 12), ' ');
    return line + hex + " " + event.what;
}

} // namespace zavsim
