// The cost of one exchange on a pseudo-terminal, with the simulated bus
// answering from a thread on the other side: the system-call floor (a bare
// write of the request, then wait-and-read of the echo and of the reply) against
// the library's ping, full read and sync write; and, with the bus keeping wire
// time at 1 000 000 baud, a sync write of 30 goals and a full read of 18 servos
// against what the wire needs. Ends with a table of ratios (medians of the
// repetitions, which run interleaved so that a busy moment hits all alike).
//
//   build/exchange_bench                       # about a minute
//   build/exchange_bench --benchmark_repetitions=3 --benchmark_min_time=0.05   # brief
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bus_runner.h"
#include "pty_link.h"
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

// Waits for and reads exactly n bytes: one poll and one read per arrival.
bool wait_and_read(int fd, uint8_t *buffer, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 1000) <= 0) return false;
        const ssize_t got = ::read(fd, buffer + done, n - done);
        if (got > 0) done += static_cast<std::size_t>(got);
    }
    return true;
}

// The floor: what any program needs for one request, its echo and its reply;
// with flush_first also the flush of the receive queue that keeps a late reply
// to an earlier request from being read as this one's (the library does it).
void floor_loop(benchmark::State &state, bool flush_first) {
    Bus bus;
    const int fd = ::open(bus.link.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    const uint8_t request[3] = {4 * 32 + 3, 0, 0}; // position exchange with servo 3
    uint8_t echo[3];
    uint8_t reply[3];
    for (int i = 0; i < kWarmUp; ++i)
        if (::write(fd, request, sizeof request) != 3 || !wait_and_read(fd, echo, 3) || !wait_and_read(fd, reply, 3)) break;
    for (auto _ : state) {
        if (flush_first) tcflush(fd, TCIFLUSH);
        if (::write(fd, request, sizeof request) != 3 || !wait_and_read(fd, echo, 3) || !wait_and_read(fd, reply, 3))
            state.SkipWithError("the floor exchange failed");
    }
    ::close(fd);
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

BENCHMARK(BM_Floor)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FloorFlush)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Ping)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FullRead)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SyncWrite30)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SyncWrite30_Wire1M)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FullRead18_Wire1M)->Unit(benchmark::kMicrosecond)->UseRealTime();

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
        std::printf("\nOne exchange on a pseudo-terminal (medians):\n");
        std::printf("  floor (write; wait and read echo; wait and read reply)  %7.2f us wall  %6.2f us cpu\n", floor.real_us, floor.cpu_us);
        if (has("BM_FloorFlush"))
            std::printf("  the same after a flush of the receive queue             %7.2f us wall  %6.2f us cpu\n",
                        medians_["BM_FloorFlush"].real_us, medians_["BM_FloorFlush"].cpu_us);
        std::printf("  ZAV_Ping                                                %7.2f us wall  %6.2f us cpu\n", ping.real_us, ping.cpu_us);
        std::printf("  ping / floor: %.3f wall (target <= 1.10), %.3f cpu on the calling thread (target <= 1.25)\n",
                    ping.real_us / floor.real_us, ping.cpu_us / floor.cpu_us);
        auto per_exchange = [&](const char *name, const char *what, double exchanges) {
            if (!has(name)) return;
            const double each = medians_[name].real_us / exchanges;
            std::printf("  %-28s %7.2f us per exchange, %.3f x a ping (target <= 1.10)\n", what, each, each / ping.real_us);
        };
        per_exchange("BM_FullRead", "full read (6 exchanges)", 6);
        per_exchange("BM_SyncWrite30", "sync write of 30 goals", 30);
        std::printf("\nAt 1 000 000 baud with the bus keeping wire time (11 bits a byte):\n");
        auto wire = [&](const char *name, const char *what) {
            if (!has(name)) return;
            const Median &m = medians_[name];
            std::printf("  %-34s %7.3f ms, the wire needs %.3f ms (%.2f x)\n", what, m.real_us / 1000, m.wire_us / 1000,
                        m.real_us / m.wire_us);
        };
        wire("BM_SyncWrite30_Wire1M", "sync write of 30 goal records");
        wire("BM_FullRead18_Wire1M", "full read of 18 servos");
    }

private:
    std::map<std::string, Median> medians_;
};

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
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    RatioReporter reporter(isatty(STDOUT_FILENO) != 0);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
