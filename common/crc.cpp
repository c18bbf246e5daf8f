// The MSB-first CRC-32 behind path hashes and log checksums, and its table.
#include "common/crc.h"

#include <cstring>

namespace {

// slice[k][i]: the CRC of byte i followed by k zero bytes, so eight bytes can be folded in one
// step (log checksums run over whole 256 KiB buffers on every history read).
struct crc_slice_table {
    uint32_t slice[8][256];
};

constexpr crc_slice_table make_crc_slices() {
    crc_slice_table t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; bit++)
            c = (c & 0x80000000u) ? (c << 1) ^ CRC_POLYNOMIAL : c << 1;
        t.slice[0][i] = c;
    }
    for (int k = 1; k < 8; k++)
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t prev = t.slice[k - 1][i];
            t.slice[k][i] = (prev << 8) ^ t.slice[0][prev >> 24];
        }
    return t;
}

constexpr crc_slice_table CRC_SLICES = make_crc_slices();

}  // namespace

const uint32_t (&crc_table)[256] = CRC_SLICES.slice[0];

// A length of 0 selects the string form: the bytes up to the first NUL.
static uint32_t effective_length(const void* bytes, uint32_t length) {
    return length ? length : static_cast<uint32_t>(strlen(static_cast<const char*>(bytes)));
}

uint32_t log_checksum(const void* bytes, uint32_t length) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    uint32_t n = effective_length(bytes, length);
    uint32_t crc = 0;
    const auto& t = CRC_SLICES.slice;
    for (; n >= 8; p += 8, n -= 8) {
        uint32_t hi =
            crc ^ (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]);
        crc = t[7][hi >> 24] ^ t[6][(hi >> 16) & 0xff] ^ t[5][(hi >> 8) & 0xff] ^ t[4][hi & 0xff] ^
              t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
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
