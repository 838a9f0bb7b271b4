#include "AllocationCounter.h"

#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

// Static TLS of the executable: reading it never allocates.
__attribute__((tls_model("initial-exec"))) thread_local bool counting = false;
__attribute__((tls_model("initial-exec"))) thread_local long counted = 0;

inline void note() {
    if (counting) ++counted;
}

} // namespace

extern "C" {

void* malloc(size_t size) {
    note();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    note();
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) {
    note();
    return __libc_realloc(pointer, size);
}

void free(void* pointer) { __libc_free(pointer); }

void* memalign(size_t alignment, size_t size) {
    note();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    note();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) {
    note();
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* pointer = __libc_memalign(alignment, size);
    if (!pointer) return ENOMEM;
    *result = pointer;
    return 0;
}

} // extern "C"

namespace effecttest {

void beginCountingAllocations() {
    counted = 0;
    counting = true;
}

long endCountingAllocations() {
    counting = false;
    return counted;
}

} // namespace effecttest
