// What only the Windows build has: a DLL loaded and unloaded at run time.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "bus_harness.h"
#include "zavlib.h"

TEST(WindowsDll, UnloadClosesOpenPortsAndReleasesTheDevice) {
    auto harness = make_harness();
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
    auto open_port = reinterpret_cast<Open>(reinterpret_cast<void *>(GetProcAddress(library, "ZAV_OpenPort")));
    auto ping = reinterpret_cast<Ping>(reinterpret_cast<void *>(GetProcAddress(library, "ZAV_Ping")));
    ASSERT_NE(open_port, nullptr);
    ASSERT_NE(ping, nullptr);
    harness->ready_for_open();
    PortHandle port = open_port(harness->port_name().c_str(), 115200);
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(ping(port, 1, nullptr));
    ASSERT_TRUE(FreeLibrary(library));
    DeleteFileA(copy.c_str());
    // The unloaded copy's port is closed; the device serves a new open.
    harness->ready_for_open();
    PortHandle again = ZAV_OpenPort(harness->port_name().c_str(), 115200);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(ZAV_Ping(again, 1, nullptr));
    ZAV_ClosePort(again);
}

TEST(WindowsDll, ClockAdvancesInMilliseconds) {
    const double start = GetQueryPerformanceCounter();
    Sleep(30);
    const double elapsed = GetQueryPerformanceCounter() - start;
    EXPECT_GE(elapsed, 25.0);
    EXPECT_LT(elapsed, 2000.0);
}
