// Counts calls into the allocator while `counting` is set, for the programs
// that check real-time code allocates nothing. With the GNU C library
// outside sanitizer builds it replaces malloc, calloc and realloc (which
// every operator new ends in, the loaded modules' too); under the
// sanitizers, which replace them themselves, only what a program routes
// through counted() is seen. Include it in one source of a program.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>

#include "tests/kit/sanitizers.h"

#if defined(__GLIBC__) && !defined(KSTV_ASAN)
#define KSTV_COUNT_MALLOC 1
#endif

namespace kit {

inline std::atomic<bool> counting{false};
inline std::atomic<long> calls{0};

inline void counted() noexcept {
    if (counting.load(std::memory_order_relaxed)) calls.fetch_add(1, std::memory_order_relaxed);
}

// Allocator calls made by `work`.
template <class Work>
long allocationsDuring(Work&& work) {
    calls.store(0);
    counting.store(true);
    work();
    counting.store(false);
    return calls.load();
}

}  // namespace kit

#if defined(KSTV_COUNT_MALLOC)
// The C library's own entry points, so that an operator new counted by a
// program is not counted a second time as a malloc.
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);

extern "C" void* malloc(std::size_t n) {
    kit::counted();
    return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t count, std::size_t n) {
    kit::counted();
    return __libc_calloc(count, n);
}
extern "C" void* realloc(void* p, std::size_t n) {
    kit::counted();
    return __libc_realloc(p, n);
}
#define KSTV_RAW_MALLOC __libc_malloc
#else
#define KSTV_RAW_MALLOC std::malloc
#endif
