// The daemon's one CRC-32: most-significant-bit first, polynomial 0x04C11DB7, initial value 0,
// no reflection, no final XOR, and a result of 0 reported as 1 so a computed value is never 0.
// It hashes event paths and pending names and checksums log buffers.
#pragma once

#include <cstdint>

constexpr uint32_t CRC_POLYNOMIAL = 0x04C11DB7u;

// crc_table[i] is the CRC of the single byte i (computed at compile time).
extern const uint32_t (&crc_table)[256];

// CRC of the path's bytes up to its NUL (never 0).
uint32_t path_hash(const char* path);

// CRC of length bytes; a length of 0 means up to, not including, the first NUL (never 0).
uint32_t log_checksum(const void* bytes, uint32_t length);

// The alternate form accepted from old writers: crc = crc XOR T[b XOR (crc >> 24)], no shift.
uint32_t log_checksum_alt(const void* bytes, uint32_t length);
