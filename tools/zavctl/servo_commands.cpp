// zavctl's servo commands: scan, ping, read, write, move, release and sync.
// Each acts on every servo it names, reports every servo that failed, and
// checks the library's image of the servo afterwards, so that a goal that was
// dropped is reported as such.
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "command.h"
#include "doctor.h"
#include "registers.h"
#include "session.h"

namespace zavctl {

namespace {

std::string servo_word(const std::vector<int> &ids) {
    return (ids.size() == 1 ? "servo " : "servos ") + id_list_text(ids);
}

// Torque and goal as the library's image holds them (no bus traffic).
struct Held {
    bool torque;
    int goal;
};
Held held(PortHandle port, int id) {
    uint8_t image[10] = {};
    peek_image(port, id, image);
    return {image[ZAV_REG_TORQUE_ENABLE] != 0, image[ZAV_REG_GOAL_POSITION] | image[ZAV_REG_GOAL_POSITION + 1] << 8};
}

// Prints that a goal was dropped by a released servo; returns kExitFailed.
int goal_not_taken(int id, long goal) {
    std::fprintf(stderr,
                 "zavctl: servo %d did not take goal %ld: it is released (torque off) as far as this session knows, and "
                 "a released servo drops goals (every zavctl run starts with the servos released). Take hold and move "
                 "in one step: zavctl move %d %ld\n",
                 id, goal, id, goal);
    return kExitFailed;
}

const Register *register_named(const std::string &text) {
    const Register *r = find_register(text);
    if (r == nullptr)
        throw CLI::ValidationError("unknown register '" + text +
                                   "': the registers are id, torque, goal, sc2, sc1, present, sc3 and sc4 (or "
                                   "torque_enable, goal_position, ..., or their addresses 0, 1, 2, 4, 5, 6, 8, 9)");
    return r;
}

// --- scan --------------------------------------------------------------------

struct ScanArgs {
    bool find_baud = false;
};

int run_scan(Session &s, const ScanArgs &a) {
    if (a.find_baud) return scan_all_rates(s.context());
    const std::vector<int> &found = s.scan();
    std::printf("%-6s %-8s %s\n", "servo", "torque", "present");
    for (int id : found) {
        uint8_t image[10] = {};
        peek_image(s.port(), id, image);
        std::printf("%-6d %-8s %d\n", id, image[1] ? "on" : "off", image[6] | image[7] << 8);
    }
    if (found.empty()) {
        std::fprintf(stderr, "zavctl: no servo answered on ids %s (check the baud rate and the wiring, or try "
                             "scan --find-baud)\n", range_text(kIdRange).c_str());
        return kExitFailed;
    }
    std::printf("found %zu servo%s: %s\n", found.size(), found.size() == 1 ? "" : "s", id_list_text(found).c_str());
    return kExitOk;
}

const CommandRegistration kScan{{"scan", Group::kServos, "ping ids " + range_text(kIdRange) + " and list the servos that answer",
                                 "zavctl --port /dev/ttyUSB0 scan --find-baud", [](CLI::App &app) -> Run {
                                     auto a = state<ScanArgs>();
                                     app.add_flag("--find-baud", a->find_baud,
                                                  "try the usual rates and the servos' rates, and say where servos answer");
                                     return [a](Session &s) { return run_scan(s, *a); };
                                 }}};

// --- ping --------------------------------------------------------------------

int run_ping(Session &s, const IdSelection &selection) {
    const std::vector<int> ids = s.resolve(selection);
    if (ids.empty()) return kExitFailed;
    int result = kExitOk;
    for (int id : ids) {
        StatusWord status = 0;
        if (!ZAV_Ping(s.port(), static_cast<uint8_t>(id), &status)) {
            result = s.fail("ping of servo " + std::to_string(id), status, id);
            continue;
        }
        uint8_t image[10] = {};
        peek_image(s.port(), id, image);
        std::printf("servo %d answered: present position %d\n", id, image[6] | image[7] << 8);
    }
    return result;
}

const CommandRegistration kPing{{"ping", Group::kServos, "ask servos for their position: do they answer?",
                                 "zavctl --sim ping 1,3 ping 4", [](CLI::App &app) -> Run {
                                     auto ids = state<IdSelection>();
                                     add_ids(app, "IDS", *ids, "servos to ping")->required();
                                     return [ids](Session &s) { return run_ping(s, *ids); };
                                 }}};

// --- read --------------------------------------------------------------------

struct ReadArgs {
    IdSelection ids;
    std::vector<const Register *> registers;
};

int run_read(Session &s, const ReadArgs &a) {
    const std::vector<int> ids = s.resolve(a.ids);
    if (ids.empty()) return kExitFailed;
    const uint8_t first = static_cast<uint8_t>(a.registers.front()->address);
    const uint8_t last = static_cast<uint8_t>(a.registers.back()->address + a.registers.back()->width);
    int result = kExitOk;
    for (int id : ids) {
        uint8_t image[10] = {};
        StatusWord status = 0;
        if (!ZAV_ReadBlockData(s.port(), static_cast<uint8_t>(id), first, image + first, last - first, &status)) {
            result = s.fail("read of servo " + std::to_string(id), status, id);
            continue;
        }
        if (ids.size() > 1) std::printf("servo %d\n", id);
        std::printf("%-8s %-18s %s\n", "address", "register", "value");
        for (const Register *r : a.registers) std::printf("%-8d %-18s %ld\n", r->address, r->name, decode(*r, image));
    }
    return result;
}

const CommandRegistration kRead{
    {"read", Group::kServos, "read registers: all ten, or one by name or address",
     "zavctl --sim read 1,2 present read all goal", [](CLI::App &app) -> Run {
         auto a = state<ReadArgs>();
         add_ids(app, "IDS", a->ids, "servos to read")->required();
         app.add_option_function<std::string>(
             "REGISTER",
             [a](const std::string &text) {
                 a->registers.clear();
                 if (text != "all") a->registers.push_back(register_named(text));
             },
             "id, torque, goal, sc2, sc1, present, sc3 or sc4 (or the full name or the address); default: all");
         app.callback([a] {
             if (a->registers.empty()) {
                 for (const Register &r : kRegisters) a->registers.push_back(&r);
             }
         });
         return [a](Session &s) { return run_read(s, *a); };
     }}};

// --- write -------------------------------------------------------------------

struct WriteArgs {
    IdSelection ids;
    const Register *target = nullptr;
    long value = 0;
};

int run_write(Session &s, const WriteArgs &a) {
    const std::vector<int> ids = s.resolve(a.ids);
    if (ids.empty()) return kExitFailed;
    const Register &r = *a.target;
    const bool goal = r.address == ZAV_REG_GOAL_POSITION;
    int result = kExitOk;
    for (int id : ids) {
        StatusWord status = 0;
        const uint8_t target = static_cast<uint8_t>(id);
        const bool ok = r.width == 2 ? ZAV_WriteWordData(s.port(), target, static_cast<uint8_t>(r.address),
                                                         static_cast<uint16_t>(a.value), &status)
                                     : ZAV_WriteByteData(s.port(), target, static_cast<uint8_t>(r.address),
                                                         static_cast<uint8_t>(a.value), &status);
        if (!ok || status != 0) {
            result = s.fail("write of " + std::string(r.name) + " to servo " + std::to_string(id), status, id, r.name);
            continue;
        }
        // The library reports a goal for a released servo as written: it is
        // dropped, and only the image tells.
        if (goal && !held(s.port(), id).torque) {
            result = goal_not_taken(id, a.value);
            continue;
        }
        std::printf("wrote %s = %ld to servo %d\n", r.name, a.value, id);
    }
    return result;
}

const CommandRegistration kWrite{
    {"write", Group::kServos,
     "write a register: torque (0 or 1), goal (" + range_text(kGoalRange) + "), sc2 or sc1 (" + range_text(kParamRange) + ")",
     "zavctl --sim write 1-3 torque 1 write 1-3 goal 9000", [](CLI::App &app) -> Run {
         auto a = state<WriteArgs>();
         add_ids(app, "IDS", a->ids, "servos to write")->required();
         app.add_option_function<std::string>(
                "REGISTER",
                [a](const std::string &text) {
                    a->target = register_named(text);
                    if (!a->target->writable)
                        throw CLI::ValidationError(std::string(a->target->name) +
                                                   " is read-only: the servo reports it. The writable registers are "
                                                   "torque, goal, sc2 and sc1");
                },
                "torque, goal, sc2 or sc1 (or the full name or the address)")
             ->required();
         app.add_option("VALUE", a->value, "the value, in the register's range")->required();
         app.callback([a] {
             const Register &r = *a->target;
             if (!contains(*r.writable, a->value))
                 throw CLI::ValidationError(std::string(r.name) + " takes " + range_text(*r.writable) + ", not " +
                                            std::to_string(a->value));
         });
         return [a](Session &s) { return run_write(s, *a); };
     }}};

// --- move --------------------------------------------------------------------

struct MoveArgs {
    IdSelection ids;
    long goal = 0;
};

int run_move(Session &s, const MoveArgs &a) {
    const std::vector<int> ids = s.resolve(a.ids);
    if (ids.empty()) return kExitFailed;
    int result = kExitOk;
    for (int id : ids) {
        StatusWord status = 0;
        if (!hold_and_move(s.port(), id, static_cast<int>(a.goal), &status) || status != 0) {
            result = s.fail("move of servo " + std::to_string(id), status, id, "goal_position");
            continue;
        }
        std::printf("servo %d holds torque and moves to %ld\n", id, a.goal);
    }
    return result;
}

const CommandRegistration kMove{
    {"move", Group::kServos, "take hold (torque on) and send a goal position",
     "zavctl --sim move 1,2 4000 watch 1,2 --until-arrived", [](CLI::App &app) -> Run {
         auto a = state<MoveArgs>();
         add_ids(app, "IDS", a->ids, "servos to move")->required();
         app.add_option("GOAL", a->goal, "goal position")
             ->required()
             ->check(whole_number(kGoalMin, kGoalMax, "a goal position"));
         return [a](Session &s) { return run_move(s, *a); };
     }}};

// --- release -----------------------------------------------------------------

int run_release(Session &s, const IdSelection &selection) {
    const std::vector<int> ids = s.resolve(selection);
    if (ids.empty()) return kExitFailed;
    int result = kExitOk;
    for (int id : ids) {
        StatusWord status = 0;
        if (!ZAV_WriteByteData(s.port(), static_cast<uint8_t>(id), ZAV_REG_TORQUE_ENABLE, 0, &status) || status != 0) {
            result = s.fail("release of servo " + std::to_string(id), status, id, "torque_enable");
            continue;
        }
        std::printf("servo %d released\n", id);
    }
    return result;
}

const CommandRegistration kRelease{{"release", Group::kServos, "turn servos' torque off",
                                    "zavctl --sim move 1 4000 release all", [](CLI::App &app) -> Run {
                                        auto ids = state<IdSelection>();
                                        add_ids(app, "IDS", *ids, "servos to release")->required();
                                        return [ids](Session &s) { return run_release(s, *ids); };
                                    }}};

// --- sync --------------------------------------------------------------------

struct SyncArgs {
    std::vector<std::pair<IdSelection, long>> pairs;
};

int run_sync(Session &s, const SyncArgs &a) {
    // Servos named by their own id take their own goal; "all" fills in the rest.
    std::map<int, long> goals;
    for (const auto &[selection, goal] : a.pairs) {
        if (selection.all) continue;
        for (int id : selection.ids) goals[id] = goal;
    }
    for (const auto &[selection, goal] : a.pairs) {
        if (!selection.all) continue;
        const std::vector<int> found = s.resolve(selection);
        if (found.empty()) return kExitFailed;
        for (int id : found) goals.emplace(id, goal);
    }
    std::vector<std::pair<int, int>> all(goals.begin(), goals.end());
    // One sync write holds at most kSyncMaxServos records: larger sets take several.
    for (std::size_t at = 0; at < all.size(); at += kSyncMaxServos) {
        const std::vector<std::pair<int, int>> part(all.begin() + static_cast<std::ptrdiff_t>(at),
                                                    all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), at + kSyncMaxServos)));
        StatusWord status = 0;
        if (!hold_and_move_all(s.port(), part, &status)) return s.fail("sync write", status, BROADCAST_ID);
        // The library stops at a servo whose write fails, but goes on past a
        // released one that did not answer (its goal is dropped, not failed);
        // the status word has the flags, not the servo. The images say which
        // servos hold their new goal.
        std::vector<int> missed;
        for (const auto &[id, goal] : part) {
            const Held h = held(s.port(), id);
            if (!h.torque || h.goal != goal) missed.push_back(id);
        }
        if (!missed.empty()) {
            if (status != 0) s.fail("sync write", status, BROADCAST_ID);
            std::fprintf(stderr, "zavctl: %s did not take %s goal%s (not answering, or released and dropping "
                                 "goals); the others did\n",
                         servo_word(missed).c_str(), missed.size() == 1 ? "its" : "their", missed.size() == 1 ? "" : "s");
            return kExitFailed;
        }
        if (status != 0) return s.fail("sync write", status, BROADCAST_ID);
    }
    std::vector<int> ids;
    std::string list;
    for (const auto &[id, goal] : all) {
        ids.push_back(id);
        list += (list.empty() ? "" : " ") + std::to_string(id) + "=" + std::to_string(goal);
    }
    std::printf("sync write done: %s hold torque and move (%s)\n", servo_word(ids).c_str(), list.c_str());
    return kExitOk;
}

const CommandRegistration kSync{
    {"sync", Group::kServos, "send several goals in one sync write (each servo takes hold)",
     "zavctl --sim sync 1=4000 2,3=9000 watch 1-3 --until-arrived", [](CLI::App &app) -> Run {
         auto a = state<SyncArgs>();
         app.add_option_function<std::vector<std::string>>(
                "GOALS",
                [a](const std::vector<std::string> &words) {
                    a->pairs.clear();
                    for (const std::string &word : words) {
                        const auto eq = word.find('=');
                        IdSelection ids;
                        if (eq == std::string::npos || !parse_ids(word.substr(0, eq), ids))
                            throw CLI::ValidationError("'" + word + "' is not IDS=GOAL, such as 1=4000 or 2-5=9000");
                        std::string goal_text = word.substr(eq + 1);
                        const std::string refused = whole_number(kGoalMin, kGoalMax, "a goal position")(goal_text);
                        if (!refused.empty()) throw CLI::ValidationError(word + ": " + refused);
                        a->pairs.emplace_back(ids, std::stol(goal_text));
                    }
                },
                "IDS=GOAL pairs, e.g. 1=4000 2,3=9000 or all=6000")
             ->required();
         return [a](Session &s) { return run_sync(s, *a); };
     }}};

} // namespace

} // namespace zavctl
