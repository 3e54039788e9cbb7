// Linux services: recursive pthread mutexes, the monotonic and wall clocks,
// and the load and unload hooks.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

#include "platform.h"

namespace platform {

namespace {

int64_t clock_ns(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

static_assert(sizeof(pthread_mutex_t) <= sizeof(Lock::storage), "lock storage too small");
static_assert(alignof(pthread_mutex_t) <= alignof(Lock), "lock storage not aligned enough");

void lock_init(Lock *lock) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (lock->storage) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

// Through void*: the storage is aligned for the mutex (above), which a direct
// cast from unsigned char* cannot know.
static pthread_mutex_t *mutex_of(Lock *lock) {
    return std::launder(static_cast<pthread_mutex_t *>(static_cast<void *>(lock->storage)));
}

void lock_enter(Lock *lock) { pthread_mutex_lock(mutex_of(lock)); }
void lock_leave(Lock *lock) { pthread_mutex_unlock(mutex_of(lock)); }
void lock_destroy(Lock *lock) { pthread_mutex_destroy(mutex_of(lock)); }

int64_t counter_frequency() { return 1000000000; }
int64_t counter_now() { return clock_ns(CLOCK_MONOTONIC); }

double monotonic_ms() { return static_cast<double>(clock_ns(CLOCK_MONOTONIC)) / 1e6; }

void sleep_until_ms(double deadline_ms) {
    const double ns = deadline_ms * 1e6;
    if (ns <= 0.0) return;
    // A deadline decades away (a time-out near 2^32 ms) is capped there.
    const double kLongest = 1e9 * 1e9;
    const int64_t target = static_cast<int64_t>(ns < kLongest ? ns : kLongest);
    const timespec until{static_cast<time_t>(target / 1000000000), static_cast<long>(target % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

int64_t wall_clock_ns() { return clock_ns(CLOCK_REALTIME); }

} // namespace platform

__attribute__((constructor)) static void zavlib_on_load() { zav_library_load(); }
__attribute__((destructor)) static void zavlib_on_unload() { zav_library_unload(); }
