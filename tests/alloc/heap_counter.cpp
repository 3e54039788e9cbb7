#include "heap_counter.h"

#include <cerrno>
#include <cstddef>

extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void *__libc_memalign(std::size_t, std::size_t);
void __libc_free(void *);
}

namespace {
thread_local long allocations = 0;
}

long allocations_on_this_thread() { return allocations; }

extern "C" void *malloc(std::size_t n) {
    ++allocations;
    return __libc_malloc(n);
}

extern "C" void *calloc(std::size_t count, std::size_t n) {
    ++allocations;
    return __libc_calloc(count, n);
}

extern "C" void *realloc(void *p, std::size_t n) {
    ++allocations;
    return __libc_realloc(p, n);
}

// Over-aligned types come through these (on 32-bit ARM a 16-byte alignment
// is already over-aligned for operator new).
extern "C" void *memalign(std::size_t alignment, std::size_t n) {
    ++allocations;
    return __libc_memalign(alignment, n);
}

extern "C" void *aligned_alloc(std::size_t alignment, std::size_t n) { return memalign(alignment, n); }

extern "C" int posix_memalign(void **out, std::size_t alignment, std::size_t n) {
    if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    void *p = memalign(alignment, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}

extern "C" void free(void *p) { __libc_free(p); }
