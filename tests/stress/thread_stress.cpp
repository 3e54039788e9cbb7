// Threads sharing one port, mixing every servo-level call with the three
// setters, while other threads open, use and close ports of their own; all
// on pseudo-terminals with the simulated bus at the far end. It is built to
// run under ThreadSanitizer, which reports any data race or lock-order
// inversion; a watchdog turns a deadlock into a failure that prints the
// stacks of all threads.
//
// Failures of single calls are expected (a rate change purges the line and
// fails the exchange in flight; echo cancellation switched off makes the
// echo read as the reply) and only counted. What fails the run: a status
// flag the library does not define, a failure with no flag, a success with
// a flag where none may be, a read of register 0 that does not return the
// id, a port of one's own that does not open or close, a port left unusable
// once the settings are restored, or a descriptor left open.
//
// The shared port is a pseudo-terminal, or with --port the device named there
// (e.g. sim:0-31, the in-process bus); the openers always use
// pseudo-terminals of their own.
//
// Usage: thread_stress [--seconds S] [--workers N] [--openers M] [--port NAME]
#include <dirent.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bus_runner.h"
#include "open_descriptors.h"
#include "pty_link.h"
#include "servo_bus.h"
#include "zavlib.h"

namespace {

enum Kind {
    kPing, kReadBlock, kReadWord, kReadByte, kWriteBlock, kWriteWord, kWriteByte, kBroadcast, kSyncWrite,
    kSetBaudrate, kSetTimeOutOffset, kSetEchoCancel, kActive,
    kOwnOpenClose, kOwnPing, kKinds
};
const char *const kKindNames[kKinds] = {
    "ZAV_Ping", "ZAV_ReadBlockData", "ZAV_ReadWordData", "ZAV_ReadByteData", "ZAV_WriteBlockData",
    "ZAV_WriteWordData", "ZAV_WriteByteData", "broadcast write", "ZAV_WriteSyncData", "ZAV_SetBaudrate",
    "ZAV_SetTimeOutOffset", "ZAV_SetEchoCancel", "ZAV_Active", "own port open, close", "own port ping"};

struct Flag {
    StatusWord bit;
    const char *name;
};
constexpr Flag kFlags[] = {{ERR_WRITE, "ERR_WRITE"},     {ERR_TIMEOUT, "ERR_TIMEOUT"}, {ERR_PORT, "ERR_PORT"},
                           {ERR_REPLY, "ERR_REPLY"},     {ERR_ADDRESS, "ERR_ADDRESS"}, {ERR_ID, "ERR_ID"},
                           {ERR_HANDLE, "ERR_HANDLE"}};
constexpr unsigned kAllFlags = ERR_WRITE | ERR_TIMEOUT | ERR_PORT | ERR_REPLY | ERR_ADDRESS | ERR_ID | ERR_HANDLE;

using Clock = std::chrono::steady_clock;

// What one thread counted; merged at the end.
struct Tally {
    uint64_t calls[kKinds] = {};
    uint64_t failures[kKinds] = {};
    uint64_t flags[std::size(kFlags)] = {};
    double slowest_ms[kKinds] = {};
    std::vector<std::string> violations;

    void add(const Tally &other) {
        for (int k = 0; k < kKinds; ++k) {
            calls[k] += other.calls[k];
            failures[k] += other.failures[k];
            slowest_ms[k] = std::max(slowest_ms[k], other.slowest_ms[k]);
        }
        for (size_t f = 0; f < std::size(kFlags); ++f) flags[f] += other.flags[f];
        violations.insert(violations.end(), other.violations.begin(), other.violations.end());
    }
};

// Where each thread is, for the watchdog's report.
std::atomic<int> g_current[64];

class Recorder {
public:
    Recorder(Tally &tally, int thread) : tally_(tally), thread_(thread) {}

    // Runs one call that reports through a status word, times it and checks
    // the word. must_clear: a success leaves it 0 (ping and reads).
    template <class Call> bool run(Kind kind, bool must_clear, Call call) {
        StatusWord status = 0xFFFF;
        const bool ok = timed(kind, [&] { return call(&status); });
        if ((status & ~kAllFlags) != 0) violation(kind, "undefined status bits", status);
        if (!ok) {
            if (status == 0) violation(kind, "failure without a flag", status);
            for (size_t f = 0; f < std::size(kFlags); ++f)
                if ((status & kFlags[f].bit) != 0) ++tally_.flags[f];
        } else if (must_clear && status != 0) {
            violation(kind, "success with a flag", status);
        }
        return ok;
    }

    // Runs one call without a status word (setters, open and close).
    template <class Call> bool timed(Kind kind, Call call) {
        g_current[thread_].store(kind, std::memory_order_relaxed);
        const auto start = Clock::now();
        const bool ok = call();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        g_current[thread_].store(-1, std::memory_order_relaxed);
        ++tally_.calls[kind];
        if (!ok) ++tally_.failures[kind];
        tally_.slowest_ms[kind] = std::max(tally_.slowest_ms[kind], ms);
        return ok;
    }

    void violation(Kind kind, const char *what, unsigned status) {
        char text[160];
        std::snprintf(text, sizeof text, "%s: %s (status 0x%04X)", kKindNames[kind], what, status);
        if (tally_.violations.size() < 20) tally_.violations.push_back(text);
    }

private:
    Tally &tally_;
    int thread_;
};

// The stacks of every thread, by attaching a debugger; without one, what the
// kernel tells about each thread.
void print_all_stacks() {
    std::fflush(stdout);
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    const std::string pid = std::to_string(getpid());
    const pid_t child = fork();
    if (child == 0) {
        dup2(2, 1);
        execlp("timeout", "timeout", "120", "gdb", "-p", pid.c_str(), "-batch", "-nx", "-ex", "set pagination off",
               "-ex", "thread apply all bt", static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = -1;
    if (child > 0) waitpid(child, &status, 0);
    if (child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
    std::fprintf(stderr, "watchdog: no debugger (install gdb); kernel view of each thread:\n");
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            for (const char *file : {"comm", "wchan", "stack"}) {
                const std::string path = std::string("/proc/self/task/") + entry->d_name + "/" + file;
                if (FILE *f = std::fopen(path.c_str(), "r")) {
                    char line[256];
                    std::fprintf(stderr, "thread %s %s:", entry->d_name, file);
                    while (std::fgets(line, sizeof line, f)) std::fprintf(stderr, " %s", line);
                    std::fprintf(stderr, "\n");
                    std::fclose(f);
                }
            }
        }
        closedir(dir);
    }
}

// Fails the run with every thread's stack unless disarmed in time.
class Watchdog {
public:
    Watchdog(double seconds, int threads) : threads_(threads) {
        thread_ = std::thread([this, seconds] {
            std::unique_lock<std::mutex> hold(mutex_);
            if (done_.wait_for(hold, std::chrono::duration<double>(seconds), [this] { return disarmed_; })) return;
            std::fprintf(stderr, "\nwatchdog: no end after %.0f s, a deadlock; calls in progress:\n", seconds);
            for (int t = 0; t < threads_; ++t) {
                const int kind = g_current[t].load();
                std::fprintf(stderr, "  thread %d: %s\n", t, kind < 0 ? "between calls" : kKindNames[kind]);
            }
            print_all_stacks();
            std::fprintf(stderr, "thread_stress: FAILED (deadlock)\n");
            _exit(2);
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            disarmed_ = true;
        }
        done_.notify_all();
        thread_.join();
    }

private:
    int threads_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool disarmed_ = false;
    std::thread thread_;
};

struct Config {
    double seconds = 20;
    int workers = 8;
    int openers = 2;
    std::string port; // empty: a pseudo-terminal with the simulated bus behind it
};

// One thread on the shared port: a random mix of every servo-level call and,
// now and then, a setter.
void worker(PortHandle port, int index, Clock::time_point end, Tally &tally) {
    Recorder r(tally, index);
    std::mt19937 rng(1234u + static_cast<unsigned>(index));
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto id = [&] { return static_cast<uint8_t>(pick(0, 7)); };
    auto goal = [&] { return static_cast<uint16_t>(pick(3000, 12000)); };
    while (Clock::now() < end) {
        const int roll = pick(0, 999);
        if (roll < 150) {
            r.run(kPing, true, [&](StatusWord *s) { return ZAV_Ping(port, id(), s); });
        } else if (roll < 300) {
            uint8_t bytes[ZAV_REGISTER_COUNT];
            const uint8_t address = static_cast<uint8_t>(pick(0, 9));
            const uint32_t length = static_cast<uint32_t>(pick(1, ZAV_REGISTER_COUNT - address));
            r.run(kReadBlock, true, [&](StatusWord *s) { return ZAV_ReadBlockData(port, id(), address, bytes, length, s); });
        } else if (roll < 400) {
            uint16_t value = 0;
            r.run(kReadWord, true, [&](StatusWord *s) { return ZAV_ReadWordData(port, id(), ZAV_REG_PRESENT_POSITION, &value, s); });
        } else if (roll < 500) {
            const uint8_t servo = id();
            uint8_t value = 0xEE;
            if (r.run(kReadByte, true, [&](StatusWord *s) { return ZAV_ReadByteData(port, servo, ZAV_REG_ID, &value, s); }) &&
                value != servo)
                r.violation(kReadByte, "register 0 is not the id", value);
        } else if (roll < 600) {
            const uint16_t g = goal();
            const uint8_t block[5] = {static_cast<uint8_t>(pick(0, 1)), static_cast<uint8_t>(g & 0xFF),
                                      static_cast<uint8_t>(g >> 8), static_cast<uint8_t>(pick(1, 127)),
                                      static_cast<uint8_t>(pick(1, 127))};
            r.run(kWriteBlock, false, [&](StatusWord *s) { return ZAV_WriteBlockData(port, id(), 1, block, 5, s); });
        } else if (roll < 700) {
            r.run(kWriteWord, false, [&](StatusWord *s) { return ZAV_WriteWordData(port, id(), ZAV_REG_GOAL_POSITION, goal(), s); });
        } else if (roll < 800) {
            const uint8_t reg = static_cast<uint8_t>(pick(0, 1) == 0 ? ZAV_REG_TORQUE_ENABLE : ZAV_REG_SC2_VALUE);
            r.run(kWriteByte, false, [&](StatusWord *s) { return ZAV_WriteByteData(port, id(), reg, static_cast<uint8_t>(pick(1, 127)), s); });
        } else if (roll < 820) {
            r.run(kBroadcast, false, [&](StatusWord *s) { return ZAV_WriteByteData(port, BROADCAST_ID, ZAV_REG_SC1_VALUE, static_cast<uint8_t>(pick(1, 127)), s); });
        } else if (roll < 950) {
            // Torque and goal for up to four servos.
            std::vector<uint8_t> block = {ZAV_REG_TORQUE_ENABLE, 3};
            for (int n = pick(1, 4); n > 0; --n) {
                const uint16_t g = goal();
                block.insert(block.end(), {id(), 1, static_cast<uint8_t>(g & 0xFF), static_cast<uint8_t>(g >> 8)});
            }
            r.run(kSyncWrite, false, [&](StatusWord *s) { return ZAV_WriteSyncData(port, block.data(), static_cast<uint32_t>(block.size()), s); });
        } else if (roll < 965) {
            static const int32_t kRates[] = {115200, 57600, 1000000, 250000};
            const int32_t rate = kRates[pick(0, 3)];
            r.timed(kSetBaudrate, [&] { return ZAV_SetBaudrate(port, rate) != 0; });
        } else if (roll < 980) {
            static const int32_t kOffsets[] = {20, 50, 100};
            const int32_t offset = kOffsets[pick(0, 2)];
            r.timed(kSetTimeOutOffset, [&] {
                ZAV_SetTimeOutOffset(port, offset);
                return true;
            });
        } else if (roll < 990) {
            // Mostly on: off makes the echo read as the reply.
            const uint32_t enable = pick(0, 5) == 0 ? 256 : 1;
            r.timed(kSetEchoCancel, [&] {
                ZAV_SetEchoCancel(enable);
                return true;
            });
        } else {
            r.timed(kActive, [&] { return ZAV_Active(port) != 0; });
        }
    }
}

// One thread with a bus of its own: open, ping, close, over and over.
void opener(int index, Clock::time_point end, Tally &tally) {
    Recorder r(tally, index);
    zavsim::ServoBus bus;
    zavsim::PtyLink link;
    zavsim::BusRunner runner(bus, link);
    if (!link.ok()) {
        r.violation(kOwnOpenClose, "no pseudo-terminal", 0);
        return;
    }
    const std::string name = link.slave_path();
    while (Clock::now() < end) {
        PortHandle port = nullptr;
        if (!r.timed(kOwnOpenClose, [&] { return (port = ZAV_OpenPort(name.c_str(), 115200)) != nullptr; })) {
            r.violation(kOwnOpenClose, "own port did not open", 0);
            continue;
        }
        ZAV_SetTimeOutOffset(port, 100);
        for (int i = 0; i < 3; ++i)
            r.run(kOwnPing, true, [&](StatusWord *s) { return ZAV_Ping(port, static_cast<uint8_t>(i), s); });
        if (!r.timed(kOwnOpenClose, [&] { return ZAV_ClosePort(port) != 0; }))
            r.violation(kOwnOpenClose, "own port did not close", 0);
    }
}

bool parse(int argc, char **argv, Config &config) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (option == "--port") config.port = argv[i + 1];
        else if (option == "--seconds") config.seconds = value;
        else if (option == "--workers") config.workers = static_cast<int>(value);
        else if (option == "--openers") config.openers = static_cast<int>(value);
        else return false;
    }
    return argc % 2 == 1 && config.seconds > 0 && config.workers >= 1 && config.openers >= 0 &&
           config.workers + config.openers <= 60;
}

} // namespace

int main(int argc, char **argv) {
    Config config;
    if (!parse(argc, argv, config)) {
        std::fprintf(stderr, "usage: thread_stress [--seconds S] [--workers N] [--openers M] [--port NAME]\n");
        return 2;
    }
    for (auto &c : g_current) c.store(-1);
    const int descriptors_before = open_descriptors();
    Tally total;
    bool usable_after = true;
    {
        // The far end keeps all 32 servos; the workers use ids 0 to 7.
        zavsim::ServoBus bus;
        zavsim::PtyLink link;
        zavsim::BusRunner runner(bus, link);
        const std::string name = config.port.empty() ? link.slave_path() : config.port;
        PortHandle port = link.ok() ? ZAV_OpenPort(name.c_str(), 115200) : nullptr;
        if (port == nullptr) {
            std::fprintf(stderr, "thread_stress: cannot open the shared port %s\n", name.c_str());
            return 1;
        }
        const int threads = config.workers + config.openers;
        // Every call ends within its time-outs; a run that does not end long
        // after its deadline is stuck.
        Watchdog watchdog(config.seconds + 120.0, threads);
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(config.seconds));
        std::vector<Tally> tallies(static_cast<size_t>(threads));
        std::vector<std::thread> pool;
        for (int t = 0; t < config.workers; ++t) pool.emplace_back(worker, port, t, end, std::ref(tallies[t]));
        for (int t = config.workers; t < threads; ++t) pool.emplace_back(opener, t, end, std::ref(tallies[t]));
        for (std::thread &t : pool) t.join();
        for (const Tally &t : tallies) total.add(t);

        // Settings restored, the port must work as before the storm. Without
        // echo, whose 50 ms limit a loaded machine may miss; the reply gets a
        // second. An in-process bus hands its echo back at once.
        runner.with_bus([](zavsim::ServoBus &b) { b.options().echo = false; });
        ZAV_SetEchoCancel(config.port.empty() ? 0 : 1);
        ZAV_SetBaudrate(port, 115200);
        ZAV_SetTimeOutOffset(port, 1000);
        for (uint8_t id = 0; id < 8; ++id) {
            StatusWord status = 0;
            if (!ZAV_Ping(port, id, &status)) {
                std::fprintf(stderr, "thread_stress: after the run, ping of servo %u failed (0x%04X)\n", id, status);
                usable_after = false;
            }
        }
        if (!ZAV_ClosePort(port)) usable_after = false;
        ZAV_SetEchoCancel(1);
    }
    const int descriptors_after = open_descriptors();

    uint64_t calls = 0;
    uint64_t failures = 0;
    std::printf("%-22s %10s %10s %12s\n", "call", "made", "failed", "slowest ms");
    for (int k = 0; k < kKinds; ++k) {
        std::printf("%-22s %10llu %10llu %12.1f\n", kKindNames[k], static_cast<unsigned long long>(total.calls[k]),
                    static_cast<unsigned long long>(total.failures[k]), total.slowest_ms[k]);
        calls += total.calls[k];
        failures += total.failures[k];
    }
    std::printf("%-22s %10llu %10llu\n", "all", static_cast<unsigned long long>(calls), static_cast<unsigned long long>(failures));
    std::printf("failures by flag:");
    for (size_t f = 0; f < std::size(kFlags); ++f)
        std::printf(" %s %llu", kFlags[f].name, static_cast<unsigned long long>(total.flags[f]));
    std::printf("\ndescriptors: %d before, %d after\n", descriptors_before, descriptors_after);
    for (const std::string &v : total.violations) std::printf("VIOLATION %s\n", v.c_str());

    const bool passed = total.violations.empty() && usable_after && descriptors_after == descriptors_before &&
                        total.calls[kPing] > 0 && total.calls[kOwnOpenClose] + (config.openers == 0) > 0;
    std::printf("thread_stress: %s\n", passed ? "passed" : "FAILED");
    return passed ? 0 : 1;
}
