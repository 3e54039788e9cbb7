// Reading, checking and writing motion files. Every refusal is one sentence
// that names its place; the Python package (bindings/python/src/zavlib/_motion.py)
// words its refusals the same, and tests/data/motion/cases.json holds both to it.
#include <nlohmann/json.hpp>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "motion.h"
#include "zavlib.h"

namespace zavmotion {

namespace {

using json = nlohmann::json;

constexpr int kMaxDepth = 8;          // the format needs 4
constexpr double kWholeLimit = 2147483648.0; // whole numbers beyond this are refused as such

struct Refusal {
    std::string sentence;
};

[[noreturn]] void refuse(const std::string &sentence) { throw Refusal{sentence}; }

// A name as it appears in JSON, quotes and escapes included.
std::string json_quoted(const std::string &name) { return json(name).dump(); }

bool identifier(const std::string &name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    for (unsigned char c : name) {
        if (!std::isalnum(c) && c != '_') return false;
    }
    return true;
}

// A whole number as such, else the shortest %g text that reads back as the
// same number (as Python's format(value, ".Ng") gives it).
std::string number_text(double value) {
    char text[32];
    if (std::floor(value) == value && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value + 0.0); // -0 reads as 0
        return text;
    }
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

// A JSON number that is a whole number of moderate size.
bool whole(const json &value, long long &out) {
    if (value.is_number_unsigned()) {
        const auto u = value.get<uint64_t>();
        if (u > static_cast<uint64_t>(kWholeLimit)) return false;
        out = static_cast<long long>(u);
        return true;
    }
    if (value.is_number_integer()) {
        const auto i = value.get<int64_t>();
        if (i > static_cast<int64_t>(kWholeLimit) || i < -static_cast<int64_t>(kWholeLimit)) return false;
        out = i;
        return true;
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (!std::isfinite(d) || std::floor(d) != d || std::fabs(d) > kWholeLimit) return false;
        out = static_cast<long long>(d);
        return true;
    }
    return false;
}

// "0" to "31", written plainly.
bool servo_key(const std::string &key, int &id) {
    if (key.empty() || key.size() > 2 || (key.size() == 2 && key[0] == '0')) return false;
    for (char c : key) {
        if (c < '0' || c > '9') return false;
    }
    id = std::stoi(key);
    return id <= 31;
}

std::size_t characters(const std::string &utf8) {
    std::size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
    return n;
}

bool printable(const std::string &utf8) {
    for (unsigned char c : utf8) {
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

// Parses JSON, refusing what nlohmann would silently accept or keep only in
// part: a name twice in one object, and nesting deeper than the format has.
// Also notes the order of the poses, which the object loses.
class StrictParser {
public:
    json parse(const std::string &text, std::vector<std::string> &pose_order) {
        pose_order_ = &pose_order;
        try {
            return json::parse(text, [this](int depth, json::parse_event_t event, json &parsed) {
                return on_event(depth, event, parsed);
            });
        } catch (const json::out_of_range &) {
            refuse("not valid JSON (a number is too large)");
        } catch (const json::parse_error &e) {
            // "[json.exception.parse_error.101] parse error at line 3, column 14: syntax error ...;
            // last read: '...'": the text read may be anything, not even UTF-8, so it is left out.
            std::string what = e.what();
            const std::size_t last_read = what.find("; last read:");
            if (last_read != std::string::npos) what.resize(last_read);
            const std::string marker = "parse error at ";
            const std::size_t at = what.find(marker);
            if (at != std::string::npos) what = what.substr(at + marker.size());
            const std::size_t colon = what.find(": ");
            if (colon != std::string::npos) {
                refuse(what.substr(0, colon) + ": not valid JSON (" + what.substr(colon + 2) + ")");
            }
            refuse("not valid JSON (" + what + ")");
        }
    }

private:
    struct Frame {
        bool array = false;
        long index = -1;
        std::string key;
        std::set<std::string> keys;
    };

    std::string path() const {
        std::string text;
        for (std::size_t i = 0; i + 1 < frames_.size(); ++i) {
            const Frame &f = frames_[i];
            if (f.array) {
                text += "[" + std::to_string(f.index) + "]";
            } else if (identifier(f.key)) {
                text += (text.empty() ? "" : ".") + f.key;
            } else {
                text += "[" + json_quoted(f.key) + "]";
            }
        }
        return text.empty() ? "the top level" : text;
    }

    void element() {
        if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
    }

    bool on_event(int depth, json::parse_event_t event, json &parsed) {
        if (depth > kMaxDepth) refuse("the file nests objects and arrays deeper than a motion file does");
        switch (event) {
        case json::parse_event_t::object_start:
        case json::parse_event_t::array_start:
            element();
            frames_.emplace_back();
            frames_.back().array = event == json::parse_event_t::array_start;
            break;
        case json::parse_event_t::object_end:
        case json::parse_event_t::array_end:
            frames_.pop_back();
            break;
        case json::parse_event_t::key: {
            Frame &top = frames_.back();
            const std::string &key = parsed.get_ref<const std::string &>();
            if (!top.keys.insert(key).second) refuse(path() + ": the name " + json_quoted(key) + " appears twice");
            top.key = key;
            if (frames_.size() == 2 && frames_[0].key == "poses") pose_order_->push_back(key);
            break;
        }
        case json::parse_event_t::value:
            element();
            break;
        }
        return true;
    }

    std::vector<Frame> frames_;
    std::vector<std::string> *pose_order_ = nullptr;
};

std::string goal_range_text() {
    return std::to_string(ZAV_GOAL_MIN) + " to " + std::to_string(ZAV_GOAL_MAX);
}

// An object of servo ids and goals, at `place`.
Goals read_goals(const json &value, const std::string &place, const std::string &what) {
    if (!value.is_object() || value.empty())
        refuse(place + ": " + what + " must be an object of servo ids and goals, e.g. {\"1\": 4000}");
    Goals goals;
    for (const auto &item : value.items()) {
        int id = 0;
        if (!servo_key(item.key(), id)) refuse(place + ": " + json_quoted(item.key()) + " is not a servo id 0 to 31");
        long long goal = 0;
        if (!whole(item.value(), goal))
            refuse(place + ": the goal of servo " + item.key() + " must be a whole number from " + goal_range_text());
        if (goal < ZAV_GOAL_MIN || goal > ZAV_GOAL_MAX)
            refuse(place + ": servo " + item.key() + ": goal " + std::to_string(goal) + " is outside " + goal_range_text());
        goals[id] = static_cast<int>(goal);
    }
    return goals;
}

void check_limits(const Motion &motion, const Goals &goals, const std::string &place) {
    for (const auto &[id, goal] : goals) {
        const auto limit = motion.limits.find(id);
        if (limit == motion.limits.end()) continue;
        if (goal < limit->second.first || goal > limit->second.second) {
            refuse(place + ": servo " + std::to_string(id) + ": goal " + std::to_string(goal) + " is outside its limits " +
                   std::to_string(limit->second.first) + " to " + std::to_string(limit->second.second));
        }
    }
}

void read_limits(const json &value, Motion &motion) {
    if (!value.is_object()) refuse("\"limits\" must be an object of servo ids and [low, high], e.g. {\"1\": [3500, 11000]}");
    for (const auto &item : value.items()) {
        int id = 0;
        if (!servo_key(item.key(), id)) refuse("limits: " + json_quoted(item.key()) + " is not a servo id 0 to 31");
        long long low = 0, high = 0;
        const json &range = item.value();
        if (!range.is_array() || range.size() != 2 || !whole(range[0], low) || !whole(range[1], high) ||
            low < ZAV_GOAL_MIN || low > high || high > ZAV_GOAL_MAX) {
            refuse("limits of servo " + item.key() + " must be [low, high] with " + std::to_string(ZAV_GOAL_MIN) +
                   " <= low <= high <= " + std::to_string(ZAV_GOAL_MAX));
        }
        motion.limits[id] = {static_cast<int>(low), static_cast<int>(high)};
    }
}

void read_poses(const json &value, const std::vector<std::string> &order, Motion &motion) {
    if (!value.is_object()) refuse("\"poses\" must be an object of named poses, e.g. {\"wave_up\": {\"1\": 4000}}");
    // Checked in the order of their names, as the Python package checks them;
    // kept in the file's order.
    for (const auto &item : value.items()) {
        const std::string &name = item.key();
        const std::size_t length = characters(name);
        if (length == 0 || length > kMaxPoseNameBytes || !printable(name)) {
            refuse("pose name " + json_quoted(name) + " must be 1 to " + std::to_string(kMaxPoseNameBytes) +
                   " characters without control characters");
        }
        read_goals(item.value(), "pose " + json_quoted(name), "a pose");
    }
    for (const std::string &name : order) {
        motion.poses.emplace_back(name, read_goals(value.at(name), "pose " + json_quoted(name), "a pose"));
    }
}

void read_timeline(const json &value, Motion &motion) {
    if (!value.is_array()) refuse("\"timeline\" must be an array of keyframes");
    static const std::set<std::string> kNames = {"at", "pose", "goals", "ease"};
    double previous = -1.0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const json &entry = value[i];
        const std::string index = "timeline[" + std::to_string(i) + "]";
        if (!entry.is_object()) refuse(index + " must be an object such as {\"at\": 1.5, \"pose\": \"wave_up\"}");
        for (const auto &item : entry.items()) {
            if (kNames.count(item.key()) == 0)
                refuse(index + ": unknown name " + json_quoted(item.key()) + " (a keyframe has at, pose or goals, and ease)");
        }
        Keyframe keyframe;
        const auto at = entry.find("at");
        if (at == entry.end() || !at->is_number() || !std::isfinite(at->get<double>()) || at->get<double>() < 0.0 ||
            at->get<double>() > kMaxSeconds) {
            refuse(index + ": \"at\" must be a number of seconds from 0 to " + number_text(kMaxSeconds));
        }
        keyframe.at = at->get<double>();
        const std::string place = index + " (at " + number_text(keyframe.at) + " s)";
        if (keyframe.at <= previous)
            refuse(place + ": \"at\" must be later than the keyframe before it (at " + number_text(previous) + " s)");
        previous = keyframe.at;

        const bool has_pose = entry.contains("pose");
        const bool has_goals = entry.contains("goals");
        if (has_pose == has_goals)
            refuse(place + (has_pose ? " names both \"pose\" and \"goals\"" : " names neither \"pose\" nor \"goals\"") + ": give one");
        if (has_pose) {
            const json &pose = entry["pose"];
            if (!pose.is_string()) refuse(place + ": \"pose\" must be the name of a pose");
            keyframe.pose = pose.get<std::string>();
            const Goals *goals = motion.find_pose(keyframe.pose);
            if (goals == nullptr) refuse(place + ": there is no pose named " + json_quoted(keyframe.pose) + " in \"poses\"");
            check_limits(motion, *goals, index + " (at " + number_text(keyframe.at) + " s, pose " + json_quoted(keyframe.pose) + ")");
        } else {
            keyframe.goals = read_goals(entry["goals"], place, "\"goals\"");
            check_limits(motion, keyframe.goals, place);
        }
        if (entry.contains("ease")) {
            const json &ease = entry["ease"];
            const std::string name = ease.is_string() ? ease.get<std::string>() : "";
            if (name == "step") {
                keyframe.ease = Ease::kStep;
            } else if (name == "smooth") {
                keyframe.ease = Ease::kSmooth;
            } else if (name != "linear") {
                refuse(place + ": \"ease\" must be \"step\", \"linear\" or \"smooth\"");
            }
        }
        motion.timeline.push_back(std::move(keyframe));
    }
}

Motion read_motion(const std::string &text) {
    if (text.size() > kMaxFileBytes)
        refuse("the file is larger than " + std::to_string(kMaxFileBytes >> 20) + " MB, more than any motion needs");
    std::vector<std::string> pose_order;
    const json root = StrictParser().parse(text, pose_order);
    if (!root.is_object()) refuse("the file must hold one JSON object");

    const auto format = root.find("format");
    if (format == root.end())
        refuse("\"format\" is missing: a motion file starts with {\"format\": \"" + std::string(kFormatName) +
               "\", \"version\": " + std::to_string(kFormatVersion) + ", ...}");
    if (!format->is_string()) refuse("\"format\" must be the string \"" + std::string(kFormatName) + "\"");
    if (format->get<std::string>() != kFormatName)
        refuse("\"format\" is " + format->dump() + ", not \"" + kFormatName + "\": this is not a motion file");

    const auto version = root.find("version");
    if (version == root.end()) refuse("\"version\" is missing (this zavlib reads version " + std::to_string(kFormatVersion) + ")");
    long long number = 0;
    if (!whole(*version, number) || number < 1)
        refuse("\"version\" must be a whole number (" + std::to_string(kFormatVersion) + " for this zavlib)");
    if (number > kFormatVersion)
        refuse("version " + std::to_string(number) + " is newer than this zavlib reads (version " +
               std::to_string(kFormatVersion) + "): update zavlib to read it");

    static const std::set<std::string> kNames = {"format", "version", "limits", "poses", "timeline"};
    for (const auto &item : root.items()) {
        if (kNames.count(item.key()) == 0)
            refuse("unknown name " + json_quoted(item.key()) +
                   " at the top level (a motion file has format, version, limits, poses and timeline)");
    }

    Motion motion;
    if (root.contains("limits")) read_limits(root["limits"], motion);
    if (root.contains("poses")) read_poses(root["poses"], pose_order, motion);
    if (!root.contains("timeline"))
        refuse("\"timeline\" is missing: a motion file has a timeline of keyframes (it may be empty)");
    read_timeline(root["timeline"], motion);

    // Poses that no keyframe uses are bound by the limits too.
    for (const auto &[name, goals] : motion.poses) check_limits(motion, goals, "pose " + json_quoted(name));
    return motion;
}

// {"1": 4000, "2": 9000}: one line, spaced as people write it.
std::string goals_text(const Goals &goals) {
    std::string text;
    for (const auto &[id, goal] : goals) text += (text.empty() ? "{\"" : ", \"") + std::to_string(id) + "\": " + std::to_string(goal);
    return text + "}";
}

} // namespace

const char *ease_name(Ease ease) {
    switch (ease) {
    case Ease::kStep: return "step";
    case Ease::kSmooth: return "smooth";
    case Ease::kLinear: break;
    }
    return "linear";
}

const Goals *Motion::find_pose(const std::string &name) const {
    for (const auto &pose : poses) {
        if (pose.first == name) return &pose.second;
    }
    return nullptr;
}

const Goals &Motion::goals_of(const Keyframe &keyframe) const {
    if (keyframe.pose.empty()) return keyframe.goals;
    static const Goals kNone;
    const Goals *goals = find_pose(keyframe.pose);
    return goals != nullptr ? *goals : kNone;
}

std::vector<int> Motion::servos() const {
    std::set<int> ids;
    for (const Keyframe &k : timeline) {
        for (const auto &entry : goals_of(k)) ids.insert(entry.first);
    }
    return {ids.begin(), ids.end()};
}

double Motion::duration() const { return timeline.empty() ? 0.0 : timeline.back().at; }

bool parse_motion(const std::string &text, Motion &motion, std::string &error) {
    try {
        motion = read_motion(text);
        return true;
    } catch (const Refusal &r) {
        error = r.sentence;
    } catch (const std::exception &e) { // out of memory, and anything the parser did not foresee
        error = std::string("the file could not be read: ") + e.what();
    }
    return false;
}

std::string motion_to_json(const Motion &motion) {
    std::ostringstream out;
    out << "{\n  \"format\": \"" << kFormatName << "\",\n  \"version\": " << kFormatVersion;
    if (!motion.limits.empty()) {
        const char *separator = "{";
        out << ",\n  \"limits\": ";
        for (const auto &[id, range] : motion.limits) {
            out << separator << "\"" << id << "\": [" << range.first << ", " << range.second << "]";
            separator = ", ";
        }
        out << "}";
    }
    if (!motion.poses.empty()) {
        out << ",\n  \"poses\": {";
        for (std::size_t i = 0; i < motion.poses.size(); ++i) {
            out << (i == 0 ? "\n" : ",\n") << "    " << json_quoted(motion.poses[i].first) << ": "
                << goals_text(motion.poses[i].second);
        }
        out << "\n  }";
    }
    out << ",\n  \"timeline\": [";
    for (std::size_t i = 0; i < motion.timeline.size(); ++i) {
        const Keyframe &k = motion.timeline[i];
        out << (i == 0 ? "\n" : ",\n") << "    {\"at\": " << json(k.at).dump();
        if (k.pose.empty()) {
            out << ", \"goals\": " << goals_text(k.goals);
        } else {
            out << ", \"pose\": " << json_quoted(k.pose);
        }
        if (k.ease != Ease::kLinear) out << ", \"ease\": \"" << ease_name(k.ease) << "\"";
        out << "}";
    }
    out << (motion.timeline.empty() ? "]\n}\n" : "\n  ]\n}\n");
    return out.str();
}

bool validate_motion(const Motion &motion, std::string &error) {
    Motion checked;
    return parse_motion(motion_to_json(motion), checked, error);
}

bool load_motion(const std::string &path, Motion &motion, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be opened";
        return false;
    }
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxFileBytes) break; // refused by the parser, without reading the rest
    }
    if (in.bad()) {
        error = path + ": cannot be read";
        return false;
    }
    if (!parse_motion(text, motion, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool save_motion(const std::string &path, const Motion &motion, std::string &error) {
    if (!validate_motion(motion, error)) {
        error = path + " was not written: " + error;
        return false;
    }
    const std::string text = motion_to_json(motion);
    const std::string partial = path + ".part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::remove(partial.c_str());
            error = path + " could not be written (is the folder there, writable, and the disk not full?)";
            return false;
        }
    }
#ifdef _WIN32
    const bool placed = MoveFileExA(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    const bool placed = std::rename(partial.c_str(), path.c_str()) == 0;
#endif
    if (!placed) {
        std::remove(partial.c_str());
        error = path + " could not be written: the finished file could not be put in place";
        return false;
    }
    return true;
}

} // namespace zavmotion
