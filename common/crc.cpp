// The MSB-first CRC-32 behind path hashes and log checksums, and its table.
#include "common/crc.h"

#include <cstring>

uint32_t crc_table[256];

void crc_table_init() {
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; bit++)
            c = (c & 0x80000000u) ? (c << 1) ^ CRC_POLYNOMIAL : c << 1;
        crc_table[i] = c;
    }
}

// A length of 0 selects the string form: the bytes up to the first NUL.
static uint32_t effective_length(const void* bytes, uint32_t length) {
    return length ? length : static_cast<uint32_t>(strlen(static_cast<const char*>(bytes)));
}

uint32_t log_checksum(const void* bytes, uint32_t length) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    uint32_t n = effective_length(bytes, length);
    uint32_t crc = 0;
    for (uint32_t i = 0; i < n; i++)
        crc = crc_table[p[i] ^ (crc >> 24)] ^ (crc << 8);
    return crc ? crc : 1;
}

uint32_t log_checksum_alt(const void* bytes, uint32_t length) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    uint32_t n = effective_length(bytes, length);
    uint32_t crc = 0;
    for (uint32_t i = 0; i < n; i++)
        crc ^= crc_table[p[i] ^ (crc >> 24)];
    return crc ? crc : 1;
}

uint32_t path_hash(const char* path) {
    return log_checksum(path, 0);
}
