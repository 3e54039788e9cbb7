#include "status_text.h"

#include <cstdio>

#include "registers.h"

namespace zavctl {

namespace {

struct Flag {
    StatusWord bit;
    const char *name;
};

constexpr Flag kFlags[] = {
    {ERR_HANDLE, "ERR_HANDLE"}, {ERR_ID, "ERR_ID"},       {ERR_ADDRESS, "ERR_ADDRESS"}, {ERR_PORT, "ERR_PORT"},
    {ERR_REPLY, "ERR_REPLY"},   {ERR_TIMEOUT, "ERR_TIMEOUT"}, {ERR_WRITE, "ERR_WRITE"},
};

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
    if (status & ERR_ID) add("servo ids are 0 to 31 (254 addresses all)");
    if (status & ERR_ADDRESS) add("the register range or the data is not valid (registers are 0 to 9)");
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
            add("the write was refused (goal positions take " + std::to_string(kGoalMin) + " to " +
                std::to_string(kGoalMax) + ", parameters " + std::to_string(kParamMin) + " to " +
                std::to_string(kParamMax) + ")");
        else if (r->writable && r->max > 1)
            add("the write was refused: " + std::string(r->name) + " takes " + std::to_string(r->min) + " to " +
                std::to_string(r->max));
        else
            add("the write of " + std::string(r->name) + " was refused");
    }
    if (out.empty()) add("the request did not succeed");
    return out;
}

} // namespace zavctl
