// Log buffers: the builder's layout and limits, and the header, byte-order and record checks
// on damaged buffers (whole files go through them in last_event_id_test).
#include "log_buffer_util.h"

#include "common/limits.h"

#include <cerrno>

namespace history_test {
namespace {

class log_buffer : public ::testing::Test {
protected:
    void SetUp() override { crc_table_init(); }
};

// The on-disk layout: packed records, native words, checksum over the buffer with the field 0.
TEST_F(log_buffer, builder_packs_records_and_stops_one_byte_short_of_the_area) {
    bytes b = build_buffer({{"a/b", 0x1122334455667788ull, 0x80000001u}, {"", 7, 2}});
    ASSERT_EQ(b.size(), 12u + (4 + 12) + (1 + 12));
    EXPECT_EQ(word_at(b, 0), DISK_LOG_MAGIC);
    EXPECT_EQ(word_at(b, 8), b.size());
    EXPECT_EQ(memcmp(b.data() + 12, "a/b\0\x88\x77\x66\x55\x44\x33\x22\x11\x01\0\0\x80", 16), 0);
    uint32_t stored = word_at(b, 4);
    set_word(&b, 4, 0);
    EXPECT_EQ(stored, log_checksum(b.data(), static_cast<uint32_t>(b.size())));

    uint8_t area[100];
    log_buffer_builder builder;
    log_buffer_start(&builder, area, sizeof area);
    EXPECT_EQ(log_buffer_append(&builder, std::string(75, 'x'), 1, 0), ENOSPC);  // would end at 100
    EXPECT_EQ(log_buffer_append(&builder, std::string(74, 'x'), 1, 0), 0);       // ends at 99
    EXPECT_EQ(log_buffer_finish(&builder), 99u);

    bytes big(DISK_LOG_BUFFER_SIZE);
    log_buffer_start(&builder, big.data());
    EXPECT_EQ(log_buffer_append(&builder, std::string(PATH_MAX_LENGTH, 'p'), 1, 0), 0);
    EXPECT_EQ(log_buffer_append(&builder, std::string(PATH_BUFFER_SIZE, 'p'), 1, 0), EINVAL);
    EXPECT_EQ(log_buffer_append(&builder, std::string_view("a\0b", 3), 1, 0), EINVAL);
}

TEST_F(log_buffer, header_check_sorts_magic_and_length) {
    const uint32_t FOREIGN = 0x12345678;
    struct {
        uint32_t magic, stored_length;
        int rc;
        log_buffer_order order;
        uint32_t length;
    } cases[] = {
        {DISK_LOG_MAGIC, 12, 0, LOG_ORDER_NATIVE, 12},
        {DISK_LOG_MAGIC, 262144, 0, LOG_ORDER_NATIVE, 262144},
        {DISK_LOG_MAGIC, 262145, EFBIG, LOG_ORDER_NATIVE, 262145},
        {DISK_LOG_MAGIC, 0, EINVAL, LOG_ORDER_NATIVE, 0},
        {DISK_LOG_MAGIC, 11, EINVAL, LOG_ORDER_NATIVE, 11},
        {DISK_LOG_MAGIC_SWAPPED, 0x28000000, 0, LOG_ORDER_SWAPPED, 40},
        {DISK_LOG_MAGIC_SWAPPED, 40, EFBIG, LOG_ORDER_SWAPPED, 0x28000000},
        {DISK_LOG_MAGIC_SWAPPED, 0x0B000000, EINVAL, LOG_ORDER_SWAPPED, 11},
        {FOREIGN, 262144, 0, LOG_ORDER_FOREIGN, 262144},
        {FOREIGN, 262145, EINVAL, LOG_ORDER_FOREIGN, 262145},
        {FOREIGN, 11, EINVAL, LOG_ORDER_FOREIGN, 11},
    };
    for (const auto& c : cases) {
        bytes b(12);
        set_word(&b, 0, c.magic);
        set_word(&b, 8, c.stored_length);
        log_buffer_header h;
        EXPECT_EQ(log_buffer_check_header(b.data(), &h), c.rc) << c.magic << " " << c.stored_length;
        EXPECT_EQ(h.order, c.order);
        EXPECT_EQ(h.length, c.length);
    }
}

// The conversion never touches paths, nor a record cut by the length, nor any record when the
// swapped length is out of range.
TEST_F(log_buffer, swap_converts_whole_records_within_the_length_only) {
    bytes native = build_buffer({{"a", 0x0102030405060708ull, 0xA0B0C0D0u}, {"b", 2, 2}});
    bytes b = to_other_order(native);
    swap_log_buffer(b.data(), static_cast<uint32_t>(b.size()));
    EXPECT_EQ(memcmp(b.data() + 8, native.data() + 8, b.size() - 8), 0);

    b = to_other_order(native);
    set_word(&b, 8, __builtin_bswap32(static_cast<uint32_t>(b.size()) - 5));
    bytes before = b;
    swap_log_buffer(b.data(), static_cast<uint32_t>(b.size()));
    EXPECT_EQ(memcmp(b.data() + 12, native.data() + 12, 14), 0);  // first record converted
    EXPECT_EQ(memcmp(b.data() + 26, before.data() + 26, 14), 0);  // the cut one is not

    uint32_t size = static_cast<uint32_t>(native.size());
    for (uint32_t length : {0u, 12u, size + 1, 262145u, 0xFFFFFFFFu}) {
        b = to_other_order(native);
        set_word(&b, 8, __builtin_bswap32(length));
        before = b;
        swap_log_buffer(b.data(), size);
        EXPECT_EQ(word_at(b, 8), length);
        EXPECT_EQ(memcmp(b.data() + 12, before.data() + 12, b.size() - 12), 0) << length;
    }
}

// A record whose path or id and flags run past the length ends the walk for good.
TEST_F(log_buffer, walk_stops_for_good_at_a_record_past_the_length) {
    bytes b = build_buffer({{"", 1, 10}, {"q", 2, 20}});
    log_record r;
    for (uint32_t length : {12u + 1 + 11, 12u + 13 + 1}) {  // id one byte short; path without NUL
        log_record_walk w = log_record_walk_start(b.data(), length);
        if (length > 25) {
            ASSERT_EQ(log_record_next(&w, &r), 0);
        }
        ASSERT_EQ(log_record_next(&w, &r), ERANGE) << length;
        EXPECT_EQ(r.id_offset, length == 24 ? 13u : length + 1);
        EXPECT_EQ(log_record_next(&w, &r), ENOENT);
    }
}

}  // namespace
}  // namespace history_test
