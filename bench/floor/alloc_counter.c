/* An allocation counter to preload (LD_PRELOAD): every malloc, calloc, realloc and aligned
 * allocation of the process is counted, with the bytes asked for, before glibc serves it. The
 * bench reads the counts through ctypes (alloc_counter_read) before and after each cycle. */
#define _GNU_SOURCE
#include <stddef.h>
#include <stdint.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);
extern void __libc_free(void*);

static uint64_t counted_calls, counted_bytes;

static void count(size_t bytes) {
    __atomic_fetch_add(&counted_calls, 1, __ATOMIC_RELAXED);
    __atomic_fetch_add(&counted_bytes, bytes, __ATOMIC_RELAXED);
}

__attribute__((visibility("default"))) void* malloc(size_t n) { count(n); return __libc_malloc(n); }
__attribute__((visibility("default"))) void* calloc(size_t k, size_t n) { count(k * n); return __libc_calloc(k, n); }
__attribute__((visibility("default"))) void* realloc(void* p, size_t n) { count(n); return __libc_realloc(p, n); }
__attribute__((visibility("default"))) void free(void* p) { __libc_free(p); }
__attribute__((visibility("default"))) void* memalign(size_t a, size_t n) { count(n); return __libc_memalign(a, n); }
__attribute__((visibility("default"))) void* aligned_alloc(size_t a, size_t n) { count(n); return __libc_memalign(a, n); }
__attribute__((visibility("default"))) int posix_memalign(void** out, size_t a, size_t n) {
    count(n);
    void* p = __libc_memalign(a, n);
    if (!p) return 12; /* ENOMEM */
    *out = p;
    return 0;
}

/* The calls and bytes counted so far. */
__attribute__((visibility("default"))) void alloc_counter_read(uint64_t* calls, uint64_t* bytes) {
    *calls = __atomic_load_n(&counted_calls, __ATOMIC_RELAXED);
    *bytes = __atomic_load_n(&counted_bytes, __ATOMIC_RELAXED);
}
