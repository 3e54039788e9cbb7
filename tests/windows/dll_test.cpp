// What only the Windows build has: a DLL loaded and unloaded at run time.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "bus_harness.h"
#include "zavlib.h"

TEST(WindowsDll, UnloadClosesOpenPortsAndReleasesTheDevice) {
    auto harness = make_harness(steady_bus());
    ASSERT_TRUE(harness);
    // A private copy, so that FreeLibrary really unloads it.
    char module_path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(GetModuleHandleA("zavlib_x64.dll"), module_path, MAX_PATH), 0u);
    char temp_dir[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp_dir), 0u);
    const std::string copy = std::string(temp_dir) + "zavlib_unload_copy.dll";
    ASSERT_TRUE(CopyFileA(module_path, copy.c_str(), FALSE));
    HMODULE library = LoadLibraryA(copy.c_str());
    ASSERT_NE(library, nullptr);
    using Open = PortHandle (*)(const char *, int32_t);
    using Ping = ZavBool (*)(PortHandle, uint8_t, StatusWord *);
    using SetEchoCancel = void (*)(uint32_t);
    using SetTimeOutOffset = void (*)(PortHandle, int32_t);
    auto symbol = [library](const char *name) { return reinterpret_cast<void *>(GetProcAddress(library, name)); };
    auto open_port = reinterpret_cast<Open>(symbol("ZAV_OpenPort"));
    auto ping = reinterpret_cast<Ping>(symbol("ZAV_Ping"));
    auto set_echo_cancel = reinterpret_cast<SetEchoCancel>(symbol("ZAV_SetEchoCancel"));
    auto set_offset = reinterpret_cast<SetTimeOutOffset>(symbol("ZAV_SetTimeOutOffset"));
    ASSERT_TRUE(open_port && ping && set_echo_cancel && set_offset);
    harness->ready_for_open();
    PortHandle port = open_port(harness->port_name().c_str(), 115200);
    ASSERT_NE(port, nullptr);
    set_echo_cancel(0); // a steady line (bus_harness.h), in the copy's own settings
    set_offset(port, kSteadyReplyOffsetMs);
    EXPECT_TRUE(ping(port, 1, nullptr));
    ASSERT_TRUE(FreeLibrary(library));
    DeleteFileA(copy.c_str());
    // The unloaded copy's port is closed; the device serves a new open.
    harness->ready_for_open();
    PortHandle again = ZAV_OpenPort(harness->port_name().c_str(), 115200);
    ASSERT_NE(again, nullptr);
    ZAV_SetEchoCancel(0);
    ZAV_SetTimeOutOffset(again, kSteadyReplyOffsetMs);
    EXPECT_TRUE(ZAV_Ping(again, 1, nullptr));
    ZAV_ClosePort(again);
    ZAV_SetEchoCancel(1);
}

TEST(WindowsDll, ClockAdvancesInMilliseconds) {
    const double start = GetQueryPerformanceCounter();
    Sleep(30);
    const double elapsed = GetQueryPerformanceCounter() - start;
    EXPECT_GE(elapsed, 25.0);
    EXPECT_LT(elapsed, 2000.0);
}
