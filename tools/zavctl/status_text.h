// Failure reports for people: the status-word flags by name and a sentence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zavlib.h"

namespace zavctl {

// The names of the flags set, e.g. {"ERR_TIMEOUT", "ERR_WRITE"}.
std::vector<std::string> flag_list(StatusWord status);

// "ERR_TIMEOUT | ERR_WRITE"; "none" for 0.
std::string flag_names(StatusWord status);

// What went wrong, for the servo id (BROADCAST_ID: any servo) and the reply
// time-out that applied; register_name names the register that a failed
// write addressed, so that ERR_WRITE names that register's range alone.
std::string explain(StatusWord status, int id, uint32_t reply_timeout_ms, const char *register_name = nullptr);

// text as a JSON string, quotes included (control characters become spaces).
std::string json_string(const std::string &text);

} // namespace zavctl
