// Test entry point for Windows: a crash fails fast with a message instead of
// starting a debugger.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

static LONG WINAPI report_crash(EXCEPTION_POINTERS *info) {
    std::fprintf(stderr, "crash: exception 0x%08lx at %p\n", info->ExceptionRecord->ExceptionCode,
                 info->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    ExitProcess(3);
}

int main(int argc, char **argv) {
    SetUnhandledExceptionFilter(report_crash);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
