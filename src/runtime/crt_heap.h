// The C allocation functions of the library's image, on a heap of its own.
//
// The statically linked runtime (libstdc++, libgcc's unwinder and emulated
// TLS, winpthreads, the C start-up code) allocates with malloc and keeps some
// of it for the life of the process: the impls of its statically initialised
// mutexes, the records of its thread pool, the emergency exception pool.
// Nothing can name those blocks to free them. The library's link routes
// malloc, calloc, realloc and free of every object in the image here
// (--wrap), onto a private heap that is destroyed when the image's C
// start-up code has run its last exit procedure: whatever the runtime kept
// goes with it.
//
// Only the library's link uses this unit (programs that link the library's
// objects keep the plain C functions). The library's own code allocates
// through the memory-manager record, not here.
#pragma once

#include <cstddef>

extern "C" {
void* __wrap_malloc(std::size_t size);
void* __wrap_calloc(std::size_t count, std::size_t size);
void* __wrap_realloc(void* block, std::size_t size);
void __wrap_free(void* block);
}
