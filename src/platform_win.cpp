// Windows services: critical sections, the performance counter and the
// system time, and the load and unload hooks (DllMain).
#include <windows.h>

#include <new>

#include "platform.h"

namespace platform {

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(Lock::storage), "lock storage too small");

static CRITICAL_SECTION *section_of(Lock *lock) {
    return std::launder(static_cast<CRITICAL_SECTION *>(static_cast<void *>(lock->storage)));
}

void lock_init(Lock *lock) { InitializeCriticalSection(new (lock->storage) CRITICAL_SECTION); }
void lock_enter(Lock *lock) { EnterCriticalSection(section_of(lock)); }
void lock_leave(Lock *lock) { LeaveCriticalSection(section_of(lock)); }
void lock_destroy(Lock *lock) { DeleteCriticalSection(section_of(lock)); }

int64_t counter_frequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

int64_t counter_now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double monotonic_ms() {
    static const double ticks_per_ms = static_cast<double>(counter_frequency()) / 1000.0;
    return static_cast<double>(counter_now()) / ticks_per_ms;
}

// Sleep() ends on the system's timer tick; the last stretch before the
// deadline is waited out by yielding, so that bytes due within a millisecond
// (wire time at high rates) are not held back a whole tick.
void sleep_until_ms(double deadline_ms) {
    for (;;) {
        const double left = deadline_ms - monotonic_ms();
        if (left <= 0.0) return;
        if (left >= 2.0) {
            Sleep(left >= 4294967294.0 ? 4294967294u : static_cast<DWORD>(left) - 1);
        } else {
            Sleep(0);
        }
    }
}

int64_t wall_clock_ns() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    constexpr int64_t kUnixEpochTicks = 116444736000000000LL; // 1970-01-01 in 100 ns ticks since 1601
    return (ticks - kUnixEpochTicks) * 100;
}

} // namespace platform

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) zav_library_load();
    if (reason == DLL_PROCESS_DETACH) zav_library_unload();
    return TRUE;
}
