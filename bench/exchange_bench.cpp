// The cost of one exchange on a pseudo-terminal, with the simulated bus
// answering from a thread on the other side: the system-call floor (a bare
// write of the request, then wait-and-read of the echo and of the reply) against
// the library's ping, full read and sync write; and, with the bus keeping wire
// time at 1 000 000 baud, a sync write of 30 goals and a full read of 18 servos
// against what the wire needs; a ping on the library's in-process bus (sim:,
// no wire time), which makes no system call at all; and a ping through
// Debian's ser2net on loopback, over tcp:// and rfc2217://. Ends with a table
// of ratios (medians of the repetitions, which run interleaved so that a busy
// moment hits all alike).
//
// The ratios come from a paired measurement after the benchmarks (--pairs=N
// rounds, 300 by default).
//
//   build/exchange_bench                       # about a minute
//   build/exchange_bench --benchmark_repetitions=1 --benchmark_min_time=0.01 --pairs=10   # brief
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bus_runner.h"
#include "pty_link.h"
#include "ser2net_bridge.h"
#include "servo_bus.h"
#include "zavlib.h"

namespace {

constexpr double kBitsPerByte = 11.0;
constexpr int kWarmUp = 50; // exchanges before timing, so that no thread starts cold

struct Bus {
    explicit Bus(zavsim::BusOptions options = {}) : model(options) {}
    zavsim::ServoBus model;
    zavsim::PtyLink link;
    zavsim::BusRunner runner{model, link};
};

struct LibraryBus : Bus {
    explicit LibraryBus(zavsim::BusOptions options = {})
        : Bus(options), port(ZAV_OpenPort(link.slave_path().c_str(), static_cast<int32_t>(options.baud))) {}
    ~LibraryBus() { ZAV_ClosePort(port); }
    PortHandle port;
};

// Reads exactly n bytes, waiting (poll) whenever none are queued; with
// wait_first the first call is the wait.
bool read_exactly(int fd, uint8_t *buffer, std::size_t n, bool wait_first) {
    std::size_t done = 0;
    while (done < n) {
        if (wait_first) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, 1000) <= 0) return false;
        }
        const ssize_t got = ::read(fd, buffer + done, n - done);
        if (got > 0) done += static_cast<std::size_t>(got);
        wait_first = true;
    }
    return true;
}

// The floor: the fewest system calls any program needs for one request, its
// echo and its reply, on a descriptor of its own; with flush_first also the flush of the receive
// queue that keeps a late reply to an earlier request from being read as this
// one's (the library does it).
struct RawLine {
    explicit RawLine(const std::string &path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    ~RawLine() { ::close(fd); }
    bool exchange(bool flush_first) {
        static const uint8_t request[3] = {4 * 32 + 3, 0, 0}; // position exchange with servo 3
        uint8_t echo[3];
        uint8_t reply[3];
        if (flush_first) tcflush(fd, TCIFLUSH);
        // The fewest calls: the echo is waited for; the reply, which the bus
        // sends right behind it, is read at once and waited for only if it is not in yet.
        return ::write(fd, request, sizeof request) == 3 && read_exactly(fd, echo, 3, true) &&
               read_exactly(fd, reply, 3, false);
    }
    int fd;
};

void floor_loop(benchmark::State &state, bool flush_first) {
    Bus bus;
    RawLine line(bus.link.slave_path());
    for (int i = 0; i < kWarmUp; ++i) line.exchange(flush_first);
    for (auto _ : state) {
        if (!line.exchange(flush_first)) state.SkipWithError("the floor exchange failed");
    }
}

void BM_Floor(benchmark::State &state) { floor_loop(state, false); }
void BM_FloorFlush(benchmark::State &state) { floor_loop(state, true); }

void BM_Ping(benchmark::State &state) {
    LibraryBus bus;
    for (int i = 0; i < kWarmUp; ++i) ZAV_Ping(bus.port, 3, nullptr);
    for (auto _ : state) {
        if (!ZAV_Ping(bus.port, 3, nullptr)) state.SkipWithError("ping failed");
    }
}

// The in-process bus: the same ping with the echo, in the library alone.
constexpr char kSimBus[] = "sim:0-31";

void BM_PingSim(benchmark::State &state) {
    PortHandle port = ZAV_OpenPort(kSimBus, 115200);
    for (int i = 0; i < kWarmUp; ++i) ZAV_Ping(port, 3, nullptr);
    for (auto _ : state) {
        if (!ZAV_Ping(port, 3, nullptr)) state.SkipWithError("ping on sim: failed");
    }
    ZAV_ClosePort(port);
}

// All ten registers of one servo: six exchanges.
void BM_FullRead(benchmark::State &state) {
    LibraryBus bus;
    uint8_t registers[10];
    for (int i = 0; i < kWarmUp; ++i) ZAV_ReadBlockData(bus.port, 3, 0, registers, 10, nullptr);
    for (auto _ : state) {
        if (!ZAV_ReadBlockData(bus.port, 3, 0, registers, 10, nullptr)) state.SkipWithError("read failed");
    }
    state.counters["exchanges"] = 6;
}

// Goal records for servos 0 to 29, each holding torque: thirty exchanges.
std::vector<uint8_t> hold_and_make_sync_block(PortHandle port) {
    std::vector<uint8_t> block = {ZAV_REG_GOAL_POSITION, 2};
    for (uint8_t id = 0; id < 30; ++id) {
        ZAV_WriteByteData(port, id, ZAV_REG_TORQUE_ENABLE, 1, nullptr);
        block.insert(block.end(), {id, 7000 & 0xFF, 7000 >> 8});
    }
    return block;
}

void sync_write_loop(benchmark::State &state, PortHandle port) {
    const std::vector<uint8_t> block = hold_and_make_sync_block(port);
    for (int i = 0; i < kWarmUp / 10; ++i) ZAV_WriteSyncData(port, block.data(), static_cast<uint32_t>(block.size()), nullptr);
    for (auto _ : state) {
        StatusWord status = 0;
        ZAV_WriteSyncData(port, block.data(), static_cast<uint32_t>(block.size()), &status);
        if (status != 0) state.SkipWithError("sync write failed");
    }
    state.counters["exchanges"] = 30;
}

void BM_SyncWrite30(benchmark::State &state) {
    LibraryBus bus;
    sync_write_loop(state, bus.port);
}

zavsim::BusOptions wire_time_at_1m() {
    zavsim::BusOptions options;
    options.baud = 1000000;
    options.wire_time = true;
    return options;
}

// A position exchange is 3 bytes out and 3 back; a parameter read 2 and 3.
// The echo is the request's own bits on a one-wire line and costs no extra time.
double wire_us(int position_exchanges, int read_exchanges, double baud) {
    return (position_exchanges * 6 + read_exchanges * 5) * kBitsPerByte * 1e6 / baud;
}

void BM_SyncWrite30_Wire1M(benchmark::State &state) {
    LibraryBus bus(wire_time_at_1m());
    sync_write_loop(state, bus.port);
    state.counters["wire_us"] = wire_us(30, 0, 1e6);
}

void BM_FullRead18_Wire1M(benchmark::State &state) {
    LibraryBus bus(wire_time_at_1m());
    uint8_t registers[10];
    for (int i = 0; i < kWarmUp; ++i) ZAV_ReadBlockData(bus.port, 0, 0, registers, 10, nullptr);
    for (auto _ : state) {
        for (uint8_t id = 0; id < 18; ++id) {
            if (!ZAV_ReadBlockData(bus.port, id, 0, registers, 10, nullptr)) state.SkipWithError("read failed");
        }
    }
    state.counters["wire_us"] = wire_us(18 * 2, 18 * 4, 1e6);
}

// A ping through Debian's ser2net on loopback: what a network bridge adds.
void network_ping_loop(benchmark::State &state, BridgeScheme scheme) {
    auto harness = make_bridged_harness(scheme);
    PortHandle port = harness ? ZAV_OpenPort(harness->port_name().c_str(), 115200) : nullptr;
    if (port == nullptr) {
        state.SkipWithError("no ser2net bridge (Debian: ser2net)");
        return;
    }
    ZAV_SetTimeOutOffset(port, 1000); // a loaded machine must not fail a ping; a good one takes no longer for it
    for (int i = 0; i < kWarmUp; ++i) ZAV_Ping(port, 3, nullptr);
    for (auto _ : state) {
        if (!ZAV_Ping(port, 3, nullptr)) state.SkipWithError("ping failed");
    }
    ZAV_ClosePort(port);
}

void BM_PingTcp(benchmark::State &state) { network_ping_loop(state, BridgeScheme::kTcp); }
void BM_PingRfc2217(benchmark::State &state) { network_ping_loop(state, BridgeScheme::kRfc2217); }

BENCHMARK(BM_Floor)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FloorFlush)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Ping)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_PingSim)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FullRead)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SyncWrite30)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SyncWrite30_Wire1M)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FullRead18_Wire1M)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_PingTcp)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_PingRfc2217)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Keeps the median of every benchmark and prints the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(bool color) : ConsoleReporter(color ? OO_ColorTabular : OO_Tabular) {}

    struct Median {
        double real_us = 0;
        double cpu_us = 0;
        double wire_us = 0;
    };

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (!single && run.aggregate_name != "median") continue;
            Median &m = medians_[run.run_name.function_name];
            m.real_us = run.GetAdjustedRealTime();
            m.cpu_us = run.GetAdjustedCPUTime();
            const auto wire = run.counters.find("wire_us");
            if (wire != run.counters.end()) m.wire_us = wire->second.value;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        auto has = [&](const char *name) { return medians_.count(name) != 0; };
        if (!has("BM_Floor") || !has("BM_Ping")) return;
        const Median floor = medians_["BM_Floor"];
        const Median ping = medians_["BM_Ping"];
        std::printf("\nOne exchange on a pseudo-terminal (medians of the repetitions above):\n");
        std::printf("  floor (write; wait, read echo; read reply)             %7.2f us wall  %6.2f us cpu\n", floor.real_us, floor.cpu_us);
        if (has("BM_FloorFlush"))
            std::printf("  the same after a flush of the receive queue             %7.2f us wall  %6.2f us cpu\n",
                        medians_["BM_FloorFlush"].real_us, medians_["BM_FloorFlush"].cpu_us);
        std::printf("  ZAV_Ping                                                %7.2f us wall  %6.2f us cpu\n", ping.real_us, ping.cpu_us);
        if (has("BM_PingSim"))
            std::printf("  ZAV_Ping on sim: (in-process, no wire time)             %7.2f us wall  %6.2f us cpu\n",
                        medians_["BM_PingSim"].real_us, medians_["BM_PingSim"].cpu_us);
        auto per_exchange = [&](const char *name, const char *what, double exchanges) {
            if (!has(name)) return;
            std::printf("  %-54s  %7.2f us wall  %6.2f us cpu\n", what, medians_[name].real_us / exchanges,
                        medians_[name].cpu_us / exchanges);
        };
        per_exchange("BM_FullRead", "full read, per exchange (6)", 6);
        per_exchange("BM_SyncWrite30", "sync write of 30 goals, per exchange (30)", 30);
        std::printf("\nAt 1 000 000 baud with the bus keeping wire time (11 bits a byte):\n");
        auto wire = [&](const char *name, const char *what) {
            if (!has(name)) return;
            const Median &m = medians_[name];
            std::printf("  %-34s %7.3f ms, the wire needs %.3f ms (%.2f x)\n", what, m.real_us / 1000, m.wire_us / 1000,
                        m.real_us / m.wire_us);
        };
        wire("BM_SyncWrite30_Wire1M", "sync write of 30 goal records");
        wire("BM_FullRead18_Wire1M", "full read of 18 servos");
        std::printf("\nA ping through ser2net on loopback (its own turnaround included):\n");
        auto bridged = [&](const char *name, const char *what) {
            if (!has(name)) return;
            std::printf("  %-34s %7.3f ms, %.0f x the pseudo-terminal floor\n", what, medians_[name].real_us / 1000,
                        medians_[name].real_us / floor.real_us);
        };
        bridged("BM_PingTcp", "ZAV_Ping over tcp://");
        bridged("BM_PingRfc2217", "ZAV_Ping over rfc2217://");
    }

private:
    std::map<std::string, Median> medians_;
};

// Ratios from paired batches: the floor, ping, full read and sync write take
// turns in short batches against one bus thread, and each round's ratios
// compare batches measured within milliseconds of each other, so that a busy
// machine's slow and fast moments cancel out. Medians over the rounds.
double wall_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

double thread_cpu_us() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

struct Batch {
    double wall = 0; // per exchange, us
    double cpu = 0;
};

template <class F> Batch time_batch(int calls, double exchanges_per_call, F call) {
    const double wall0 = wall_us();
    const double cpu0 = thread_cpu_us();
    for (int i = 0; i < calls; ++i) call();
    const double n = calls * exchanges_per_call;
    return {(wall_us() - wall0) / n, (thread_cpu_us() - cpu0) / n};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// Several pseudo-terminals served by one bus thread, so that the floor and
// the library calls meet the same thread, scheduled alike.
class SharedLinks : public zavsim::LinkIo {
public:
    explicit SharedLinks(int count) {
        for (int i = 0; i < count; ++i) links_.push_back(std::make_unique<zavsim::PtyLink>());
    }
    const std::string &path(int i) const { return links_[static_cast<std::size_t>(i)]->slave_path(); }

    std::size_t read_some(uint8_t *buffer, std::size_t max, double timeout_ms) override {
        std::vector<pollfd> fds;
        for (const auto &link : links_) fds.push_back({link->master_fd(), POLLIN, 0});
        const long ns = static_cast<long>(timeout_ms * 1e6);
        const timespec wait{ns / 1000000000L, ns % 1000000000L};
        if (ppoll(fds.data(), fds.size(), &wait, nullptr) <= 0) return 0;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            last_ = i;
            return links_[i]->read_some(buffer, max, 0.0);
        }
        poll(nullptr, 0, 1); // only hang-ups: a side not opened yet
        return 0;
    }
    bool write_all(const uint8_t *data, std::size_t n) override { return links_[last_]->write_all(data, n); }

private:
    std::vector<std::unique_ptr<zavsim::PtyLink>> links_;
    std::size_t last_ = 0;
};

void paired_ratios(int rounds) {
    zavsim::ServoBus model;
    SharedLinks links(4);
    zavsim::BusRunner runner(model, links);
    RawLine line(links.path(0));
    PortHandle ping_port = ZAV_OpenPort(links.path(1).c_str(), 115200);
    PortHandle read_port = ZAV_OpenPort(links.path(2).c_str(), 115200);
    PortHandle sync_port = ZAV_OpenPort(links.path(3).c_str(), 115200);
    PortHandle sim_port = ZAV_OpenPort(kSimBus, 115200);
    struct Closer {
        PortHandle ports[4];
        ~Closer() {
            for (PortHandle p : ports) ZAV_ClosePort(p);
        }
    } closer{{ping_port, read_port, sync_port, sim_port}};
    const std::vector<uint8_t> block = hold_and_make_sync_block(sync_port);
    uint8_t registers[10];
    const std::function<Batch()> batches[6] = {
        [&] { return time_batch(24, 1, [&] { line.exchange(false); }); },
        [&] { return time_batch(24, 1, [&] { ZAV_Ping(ping_port, 3, nullptr); }); },
        [&] { return time_batch(4, 6, [&] { ZAV_ReadBlockData(read_port, 3, 0, registers, 10, nullptr); }); },
        [&] { return time_batch(1, 30, [&] { ZAV_WriteSyncData(sync_port, block.data(), static_cast<uint32_t>(block.size()), nullptr); }); },
        [&] { return time_batch(24, 1, [&] { line.exchange(true); }); },
        [&] { return time_batch(24, 1, [&] { ZAV_Ping(sim_port, 3, nullptr); }); },
    };
    for (int i = 0; i < 3; ++i)
        for (const auto &batch : batches) batch(); // warm up
    std::vector<double> floor_wall, floor_cpu, ping_wall, ping_cpu, wall_ratio, cpu_ratio, read_ratio, sync_ratio,
        flush_wall_ratio, flush_cpu_ratio, sim_ratio;
    for (int round = 0; round < rounds; ++round) {
        Batch b[6];
        for (int k = 0; k < 6; ++k) {
            const int which = (k + round) % 6; // each takes every place in turn
            b[which] = batches[which]();
        }
        sim_ratio.push_back(b[5].wall / b[0].wall);
        flush_wall_ratio.push_back(b[1].wall / b[4].wall);
        flush_cpu_ratio.push_back(b[1].cpu / b[4].cpu);
        floor_wall.push_back(b[0].wall);
        floor_cpu.push_back(b[0].cpu);
        ping_wall.push_back(b[1].wall);
        ping_cpu.push_back(b[1].cpu);
        wall_ratio.push_back(b[1].wall / b[0].wall);
        cpu_ratio.push_back(b[1].cpu / b[0].cpu);
        read_ratio.push_back(b[2].wall / b[1].wall);
        sync_ratio.push_back(b[3].wall / b[1].wall);
    }
    std::printf("\nRatios from %d rounds of paired batches (medians of the per-round ratios):\n", rounds);
    std::printf("  floor %.2f us wall, %.2f us cpu; ping %.2f us wall, %.2f us cpu per exchange\n", median(floor_wall),
                median(floor_cpu), median(ping_wall), median(ping_cpu));
    std::printf("  ping / floor:               %.3f wall (target <= 1.10), %.3f cpu on the calling thread (target <= 1.25)\n",
                median(wall_ratio), median(cpu_ratio));
    std::printf("  ping / floor with a flush:  %.3f wall, %.3f cpu\n", median(flush_wall_ratio), median(flush_cpu_ratio));
    std::printf("  full read / ping:           %.3f per exchange (target <= 1.10)\n", median(read_ratio));
    std::printf("  sync write of 30 / ping:    %.3f per exchange (target <= 1.10)\n", median(sync_ratio));
    std::printf("  ping on sim: / floor:       %.3f wall (target <= 0.2: in-process, no system calls)\n", median(sim_ratio));
}

} // namespace

int main(int argc, char **argv) {
    // Defaults first, so that the command line can override them.
    std::vector<char *> args = {argv[0]};
    std::string repetitions = "--benchmark_repetitions=7";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string aggregates = "--benchmark_report_aggregates_only=true";
    args.push_back(repetitions.data());
    args.push_back(interleave.data());
    args.push_back(aggregates.data());
    int rounds = 300;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--pairs=", 8) == 0)
            rounds = std::max(1, std::atoi(argv[i] + 8));
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    RatioReporter reporter(isatty(STDOUT_FILENO) != 0);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    paired_ratios(rounds);
    return 0;
}
