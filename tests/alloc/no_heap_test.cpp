// The exchange path uses no heap: pings, reads, writes and sync writes on a
// pseudo-terminal and on the in-process sim: bus (with and without a capture)
// allocate nothing on the calling thread, and cost the expected number of
// exchanges; nor does a thread's first exchange when the library was loaded
// with dlopen, as the language bindings load it.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bus_harness.h"
#include "heap_counter.h"
#include "zavlib.h"

class NoHeapTest : public ::testing::Test {
protected:
    std::unique_ptr<BusHarness> harness = make_harness(steady_bus());
    PortHandle port = nullptr;

    void SetUp() override {
        ASSERT_TRUE(harness);
        const long before = allocations_on_this_thread();
        port = ZAV_OpenPort(harness->port_name().c_str(), 115200);
        ASSERT_NE(port, nullptr);
        // The counter sees the library's own allocations (the port record).
        ASSERT_GE(allocations_on_this_thread() - before, 1);
        ZAV_SetEchoCancel(0);
        ZAV_SetTimeOutOffset(port, kSteadyReplyOffsetMs);
    }
    void TearDown() override {
        ZAV_ClosePort(port);
        ZAV_SetEchoCancel(1);
    }

    uint64_t packets() {
        return harness->with_bus([](zavsim::ServoBus &bus) { return bus.packets_received(); });
    }
};

struct Step {
    const char *what;
    uint64_t exchanges;
    bool (*run)(PortHandle, const std::vector<uint8_t> &, uint8_t *, StatusWord *);
};

const Step kSteps[] = {
    {"ping", 1, [](PortHandle p, const std::vector<uint8_t> &, uint8_t *, StatusWord *s) { return ZAV_Ping(p, 3, s) != 0; }},
    {"read all ten registers", 6,
     [](PortHandle p, const std::vector<uint8_t> &, uint8_t *r, StatusWord *s) { return ZAV_ReadBlockData(p, 3, 0, r, 10, s) != 0; }},
    {"write a parameter", 1,
     [](PortHandle p, const std::vector<uint8_t> &, uint8_t *, StatusWord *s) { return ZAV_WriteByteData(p, 3, 4, 50, s) != 0; }},
    {"sync write of 30 goals", 30,
     [](PortHandle p, const std::vector<uint8_t> &b, uint8_t *, StatusWord *s) {
         return ZAV_WriteSyncData(p, b.data(), static_cast<uint32_t>(b.size()), s) != 0;
     }},
};

// Holds servos 0 to 29 and returns a sync write of a goal for each.
std::vector<uint8_t> hold_and_make_sync_block(PortHandle port) {
    std::vector<uint8_t> sync = {2, 2};
    for (uint8_t id = 0; id < 30; ++id) {
        EXPECT_TRUE(ZAV_WriteByteData(port, id, 1, 1, nullptr)); // hold torque
        sync.insert(sync.end(), {id, static_cast<uint8_t>(7000 & 0xFF), static_cast<uint8_t>(7000 >> 8)});
    }
    return sync;
}

TEST_F(NoHeapTest, PingReadWriteAndSyncWrite) {
    const std::vector<uint8_t> sync = hold_and_make_sync_block(port);
    ASSERT_EQ(sync.size(), 92u);
    uint8_t registers[10];
    StatusWord status = 0;
    for (const Step &step : kSteps) {
        const uint64_t packets_before = packets();
        const long before = allocations_on_this_thread();
        const bool ok = step.run(port, sync, registers, &status);
        const long allocated = allocations_on_this_thread() - before;
        EXPECT_TRUE(ok) << step.what;
        EXPECT_EQ(status, 0) << step.what;
        EXPECT_EQ(allocated, 0) << step.what;
        ASSERT_TRUE(harness->runner().wait_for_packets(packets_before + step.exchanges, 5000)) << step.what;
        EXPECT_EQ(packets(), packets_before + step.exchanges) << step.what;
    }
}

// The same calls on the in-process bus: the model, its line and a capture
// file take no heap either once the port is open.
TEST(NoHeapInProcess, SimBusWithAndWithoutCapture) {
    char dir[] = "/tmp/zavlib-noheap-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string capture = std::string(dir) + "/bus.pcap";
    for (const std::string &name : {std::string("sim:0-31?wire=1&latency_ms=1"), "sim:0-31?capture=" + capture}) {
        const long before_open = allocations_on_this_thread();
        PortHandle port = ZAV_OpenPort(name.c_str(), 1000000);
        ASSERT_NE(port, nullptr) << name;
        ASSERT_GE(allocations_on_this_thread() - before_open, 2) << "the counter sees the record and the bus";
        const std::vector<uint8_t> sync = hold_and_make_sync_block(port);
        uint8_t registers[10];
        for (const Step &step : kSteps) {
            StatusWord status = 0;
            const long before = allocations_on_this_thread();
            const bool ok = step.run(port, sync, registers, &status);
            const long allocated = allocations_on_this_thread() - before;
            EXPECT_TRUE(ok) << name << ": " << step.what;
            EXPECT_EQ(status, 0) << name << ": " << step.what;
            EXPECT_EQ(allocated, 0) << name << ": " << step.what;
        }
        EXPECT_TRUE(ZAV_ClosePort(port));
    }
    std::remove(capture.c_str());
    rmdir(dir);
}

// A library loaded with dlopen gets any thread-local storage from the heap at
// each thread's first use of it. A copy of the library, so that dlopen loads
// it anew beside the one this program links.
TEST_F(NoHeapTest, FirstExchangeOnAThreadOfALibraryLoadedWithDlopen) {
    Dl_info linked{};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&ZAV_OpenPort), &linked), 0);
    char copy[] = "/tmp/zavlib-copy-XXXXXX";
    const int fd = mkstemp(copy);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(copy, std::ios::binary) << std::ifstream(linked.dli_fname, std::ios::binary).rdbuf();
    void *library = dlopen(copy, RTLD_NOW | RTLD_LOCAL);
    unlink(copy);
    ASSERT_NE(library, nullptr) << dlerror();
    auto symbol = [library](const char *name) { return dlsym(library, name); };
    auto open_port = reinterpret_cast<decltype(&ZAV_OpenPort)>(symbol("ZAV_OpenPort"));
    auto close_port = reinterpret_cast<decltype(&ZAV_ClosePort)>(symbol("ZAV_ClosePort"));
    auto set_echo_cancel = reinterpret_cast<decltype(&ZAV_SetEchoCancel)>(symbol("ZAV_SetEchoCancel"));
    auto set_offset = reinterpret_cast<decltype(&ZAV_SetTimeOutOffset)>(symbol("ZAV_SetTimeOutOffset"));
    auto ping = reinterpret_cast<decltype(&ZAV_Ping)>(symbol("ZAV_Ping"));
    ASSERT_TRUE(open_port && close_port && set_echo_cancel && set_offset && ping);

    // The device is the copy's now.
    ZAV_ClosePort(port);
    port = nullptr;
    harness->ready_for_open();
    PortHandle copy_port = open_port(harness->port_name().c_str(), 115200);
    ASSERT_NE(copy_port, nullptr);
    set_echo_cancel(0); // a steady line (bus_harness.h), in the copy's own settings
    set_offset(copy_port, kSteadyReplyOffsetMs);
    bool answered = false;
    long allocated = -1;
    std::thread([&] {
        const long before = allocations_on_this_thread();
        answered = ping(copy_port, 3, nullptr) != 0;
        allocated = allocations_on_this_thread() - before;
    }).join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(allocated, 0);
    EXPECT_TRUE(close_port(copy_port));
    dlclose(library);
}
