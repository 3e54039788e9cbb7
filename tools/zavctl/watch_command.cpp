// zavctl watch: a live table of positions and readings.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "command.h"
#include "session.h"

namespace zavctl {

namespace {

struct WatchArgs {
    IdSelection ids;
    int interval_ms = 200;
    int count = 0;
    bool until_arrived = false;
    double seconds = 30.0;
    int tolerance = 10;
};

int run_watch(Session &s, const WatchArgs &w) {
    const std::vector<int> ids = s.resolve(w.ids);
    if (ids.empty()) return kExitFailed;
    const bool terminal = isatty(fileno(stdout)) != 0;
    const auto start = std::chrono::steady_clock::now();
    int printed_lines = 0;
    for (int round = 1;; ++round) {
        std::vector<std::string> lines;
        char line[160];
        std::snprintf(line, sizeof line, "%-6s %-7s %-6s %-8s %-5s %-5s", "servo", "torque", "goal", "present", "sc3", "sc4");
        lines.push_back(line);
        bool all_arrived = true;
        for (int id : ids) {
            uint8_t image[10] = {};
            StatusWord status = 0;
            const uint8_t target = static_cast<uint8_t>(id);
            if (!ZAV_ReadBlockData(s.port(), target, 6, image + 6, 4, &status) ||
                !ZAV_ReadBlockData(s.port(), target, 1, image + 1, 3, &status)) {
                return s.fail("watch of servo " + std::to_string(id), status, id);
            }
            const int goal = image[2] | image[3] << 8;
            const int present = image[6] | image[7] << 8;
            if (image[1] && std::abs(goal - present) > w.tolerance) all_arrived = false;
            std::snprintf(line, sizeof line, "%-6d %-7s %-6d %-8d %-5d %-5d", id, image[1] ? "on" : "off", goal, present,
                          static_cast<int8_t>(image[8]), static_cast<int8_t>(image[9]));
            lines.push_back(line);
        }
        if (terminal && printed_lines > 0) std::printf("\x1b[%dA", printed_lines); // back over the last table
        for (const std::string &l : lines) std::printf("%s%s\n", l.c_str(), terminal ? "\x1b[K" : "");
        if (!terminal) std::printf("\n");
        printed_lines = static_cast<int>(lines.size());
        std::fflush(stdout);

        if (w.until_arrived && all_arrived) {
            std::printf("all servos have arrived\n");
            return kExitOk;
        }
        if (w.count > 0 && round >= w.count) return kExitOk;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed >= w.seconds) {
            if (!w.until_arrived) return kExitOk;
            std::fprintf(stderr, "zavctl: the servos did not arrive within %.0f s\n", w.seconds);
            return kExitFailed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(w.interval_ms));
    }
}

const CommandRegistration kWatch{
    {"watch", Group::kServos, "live table of positions and readings",
     "zavctl --sim move 1 4000 watch 0-2 --until-arrived --seconds 10", [](CLI::App &app) -> Run {
         auto w = state<WatchArgs>();
         add_ids(app, "IDS", w->ids, "servos to watch")->required();
         app.add_option("--interval", w->interval_ms, "ms between refreshes")
             ->capture_default_str()
             ->check(whole_number(1, 3600000, "--interval"));
         app.add_option("--count", w->count, "stop after this many refreshes")->check(whole_number(1, 1000000000, "--count"));
         app.add_flag("--until-arrived", w->until_arrived,
                      "stop when every servo that holds torque is within 10 of its goal (exit 1 if not within --seconds)");
         app.add_option("--seconds", w->seconds, "stop after this long")->capture_default_str()->check(CLI::PositiveNumber);
         return [w](Session &s) { return run_watch(s, *w); };
     }}};

} // namespace

} // namespace zavctl
