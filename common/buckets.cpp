// Power-of-two bucket arrays for the daemon's hash tables.
#include "common/buckets.h"

#include <cstdlib>

void** alloc_buckets(int64_t count, uint32_t* mask) {
    if (count < 1)
        return nullptr;
    uint64_t size = 1;
    while (size <= static_cast<uint64_t>(count) / 2)
        size <<= 1;
    if (size > (1ull << 31))
        return nullptr;
    auto** buckets = static_cast<void**>(calloc(size, sizeof(void*)));
    if (!buckets)
        return nullptr;
    *mask = static_cast<uint32_t>(size - 1);
    return buckets;
}
