// Zeroed power-of-two bucket arrays for the hash tables (event table, pending-name table).
#pragma once

#include <cstddef>
#include <cstdint>

// Returns a zeroed array of the largest power of two not above count pointers, stores that
// power minus 1 in *mask, or returns null (mask untouched) when count < 1 or memory is short.
// The caller frees it with free().
void** alloc_buckets(int64_t count, uint32_t* mask);
