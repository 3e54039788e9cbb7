#include "status_text.h"

#include <cstdio>

#include "facts.h"
#include "registers.h"

namespace zavctl {

namespace {

std::string servo_name(int id) {
    return id == static_cast<int>(BROADCAST_ID) ? std::string("one of the servos") : "servo " + std::to_string(id);
}

} // namespace

std::vector<std::string> flag_list(StatusWord status) {
    std::vector<std::string> out;
    for (const Flag &f : kFlags) {
        if (status & f.bit) out.emplace_back(f.name);
    }
    return out;
}

std::string flag_names(StatusWord status) {
    std::string out;
    for (const std::string &name : flag_list(status)) out += (out.empty() ? "" : " | ") + name;
    return out.empty() ? "none" : out;
}

std::string explain(StatusWord status, int id, uint32_t reply_timeout_ms, const char *register_name) {
    std::string out;
    auto add = [&out](const std::string &sentence) { out += (out.empty() ? "" : "; ") + sentence; };
    if (status & ERR_HANDLE) add("the port is not open");
    if (status & ERR_ID)
        add("servo ids are " + range_text(kIdRange) + " (" + std::to_string(BROADCAST_ID) + " addresses all)");
    if (status & ERR_ADDRESS)
        add("the register range or the data is not valid (registers are 0 to " +
            std::to_string(ZAV_REGISTER_COUNT - 1) + ")");
    if (status & ERR_PORT) add("the port could not be written to (is the adapter still connected?)");
    if (status & ERR_TIMEOUT)
        add("no reply from " + servo_name(id) + " within " + std::to_string(reply_timeout_ms) + " ms");
    if (status & ERR_REPLY)
        add(servo_name(id) + " answered, but the reply did not match the request (wrong baud rate, or another device on the line?)");
    if (status & ERR_WRITE) {
        // Alone, the flag means the library refused the value; with a transport
        // or reply flag, a servo did not confirm the write.
        const Register *r = register_name != nullptr ? find_register(register_name) : nullptr;
        if (status & (ERR_TIMEOUT | ERR_REPLY | ERR_PORT))
            add("so the write was not carried out");
        else if (r == nullptr)
            add("the write was refused (" + std::string(kGoalRange.what) + " take " + range_text(kGoalRange) + ", " +
                kParamRange.what + " " + range_text(kParamRange) + ")");
        else if (r->writable != nullptr && r->writable != &kTorqueRange)
            add("the write was refused: " + std::string(r->name) + " takes " + range_text(*r->writable));
        else
            add("the write of " + std::string(r->name) + " was refused");
    }
    if (out.empty()) add("the request did not succeed");
    return out;
}

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            out += ' ';
            continue;
        }
        out += c;
    }
    return out + "\"";
}

} // namespace zavctl
