#include "heap_counter.h"

#include <cstddef>

extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
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

extern "C" void free(void *p) { __libc_free(p); }
