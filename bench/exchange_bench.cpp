// Library time of whole exchanges on a pseudo-terminal, with the simulated bus
// answering from a thread on the other side (no wire time).
#include <benchmark/benchmark.h>

#include <vector>

#include "bus_runner.h"
#include "pty_link.h"
#include "servo_bus.h"
#include "zavlib.h"

namespace {

struct Bus {
    zavsim::ServoBus model;
    zavsim::PtyLink link;
    zavsim::BusRunner runner{model, link};
    PortHandle port = ZAV_OpenPort(link.slave_path().c_str(), 115200);
    ~Bus() { ZAV_ClosePort(port); }
};

void BM_Ping(benchmark::State &state) {
    Bus bus;
    for (auto _ : state) {
        if (!ZAV_Ping(bus.port, 3, nullptr)) state.SkipWithError("ping failed");
    }
}
BENCHMARK(BM_Ping)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ReadAllTenRegisters(benchmark::State &state) {
    Bus bus;
    uint8_t registers[10];
    for (auto _ : state) {
        if (!ZAV_ReadBlockData(bus.port, 3, 0, registers, 10, nullptr)) state.SkipWithError("read failed");
    }
}
BENCHMARK(BM_ReadAllTenRegisters)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SyncWriteThirtyGoals(benchmark::State &state) {
    Bus bus;
    std::vector<uint8_t> block = {2, 2};
    for (uint8_t id = 0; id < 30; ++id) {
        ZAV_WriteByteData(bus.port, id, 1, 1, nullptr);
        block.insert(block.end(), {id, 0x58, 0x1B}); // 7000
    }
    for (auto _ : state) {
        StatusWord status = 0;
        ZAV_WriteSyncData(bus.port, block.data(), static_cast<uint32_t>(block.size()), &status);
        if (status != 0) state.SkipWithError("sync write failed");
    }
}
BENCHMARK(BM_SyncWriteThirtyGoals)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
