// Log buffers for tests: built from records, in the other byte order, resealed after an edit.
#pragma once

#include "common/crc.h"
#include "history/log_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace history_test {

struct record {
    std::string path;
    uint64_t id;
    uint32_t flags;
};

using bytes = std::vector<uint8_t>;

inline void set_word(bytes* b, size_t offset, uint32_t v) {
    memcpy(b->data() + offset, &v, sizeof v);
}

// A native buffer; a capacity above DISK_LOG_BUFFER_SIZE allows one of exactly that size.
inline bytes build_buffer(const std::vector<record>& records,
                          uint32_t capacity = DISK_LOG_BUFFER_SIZE) {
    bytes area(capacity);
    log_buffer_builder b;
    log_buffer_start(&b, area.data(), capacity);
    for (const record& r : records)
        EXPECT_EQ(log_buffer_append(&b, r.path, r.id, r.flags), 0) << r.path.size();
    area.resize(log_buffer_finish(&b));
    return area;
}

// Stores the checksum of the buffer's stated length, native or in the other byte order.
inline void reseal(bytes* b, bool other_order = false) {
    uint32_t length, sum;
    memcpy(&length, b->data() + 8, sizeof length);
    set_word(b, 4, 0);
    sum = log_checksum(b->data(), other_order ? __builtin_bswap32(length) : length);
    set_word(b, 4, other_order ? __builtin_bswap32(sum) : sum);
}

// Header words, ids and flags swapped, paths as they are, checksum over the swapped bytes.
inline bytes to_other_order(bytes b) {
    log_record_walk w = log_record_walk_start(b.data(), uint32_t(b.size()));
    for (log_record r; log_record_next(&w, &r) == 0;) {
        uint64_t id = __builtin_bswap64(r.id);
        uint32_t flags = __builtin_bswap32(r.flags);
        memcpy(b.data() + r.id_offset, &id, sizeof id);
        memcpy(b.data() + r.id_offset + 8, &flags, sizeof flags);
    }
    set_word(&b, 0, DISK_LOG_MAGIC_SWAPPED);
    set_word(&b, 8, __builtin_bswap32(uint32_t(b.size())));
    reseal(&b, true);
    return b;
}

}  // namespace history_test
