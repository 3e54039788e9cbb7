// Counts heap allocations made on the calling thread, by interposing the C
// allocator for the whole program (the library's calls included).
#pragma once

long allocations_on_this_thread();
