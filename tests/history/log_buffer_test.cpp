// Log buffers: the builder's packing and limits, each reader check on good and damaged
// headers, checksums and records, the byte-order conversion, and the gzip member writer.
#include "log_buffer_util.h"

#include "common/limits.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>

namespace history_test {
namespace {

class log_buffer : public ::testing::Test {
protected:
    void SetUp() override { crc_table_init(); }
};

TEST_F(log_buffer, builder_packs_records_unaligned_and_seals_the_header) {
    bytes b = build_buffer({{"a/b", 0x1122334455667788ull, 0x80000001u}, {"", 7, 2}});
    ASSERT_EQ(b.size(), 12u + (4 + 12) + (1 + 12));
    EXPECT_EQ(word_at(b, 0), DISK_LOG_MAGIC);
    EXPECT_EQ(word_at(b, 8), b.size());
    EXPECT_EQ(memcmp(b.data() + 12, "a/b\0\x88\x77\x66\x55\x44\x33\x22\x11\x01\0\0\x80", 16), 0);
    EXPECT_EQ(b[28], 0);  // the empty path is a lone NUL
    uint32_t stored = word_at(b, 4);
    set_word(&b, 4, 0);
    EXPECT_EQ(stored, log_checksum(b.data(), static_cast<uint32_t>(b.size())));
}

TEST_F(log_buffer, append_stops_one_record_short_of_the_area_end) {
    uint8_t area[100];
    log_buffer_builder b;
    log_buffer_start(&b, area, sizeof area);
    EXPECT_EQ(log_buffer_append(&b, std::string(75, 'x'), 1, 0), ENOSPC);  // would end at 100
    EXPECT_EQ(b.fill, 12u);
    EXPECT_EQ(log_buffer_append(&b, std::string(74, 'x'), 1, 0), 0);  // ends at 99
    EXPECT_EQ(log_buffer_append(&b, "", 2, 0), ENOSPC);
    EXPECT_EQ(log_buffer_finish(&b), 99u);

    bytes big(DISK_LOG_BUFFER_SIZE);
    log_buffer_start(&b, big.data());
    std::string longest(PATH_MAX_LENGTH, 'p');
    EXPECT_EQ(log_buffer_append(&b, longest, 1, 0), 0);
    EXPECT_EQ(b.fill, 12u + 1036u);  // a 1023-byte path is stored whole
    EXPECT_EQ(log_buffer_append(&b, longest + "p", 1, 0), EINVAL);
    EXPECT_EQ(log_buffer_append(&b, std::string_view("a\0b", 3), 1, 0), EINVAL);
    int records = 1;
    while (log_buffer_append(&b, longest, 1, 0) == 0)
        records++;
    EXPECT_EQ(records, 253);  // 12 + 253 * 1036 = 262120: one more would pass the area end
}

TEST_F(log_buffer, header_check_sorts_magic_and_length) {
    struct header_case {
        uint32_t magic, stored_length;
        int rc;
        log_buffer_order order;
        uint32_t length;
    } cases[] = {
        {DISK_LOG_MAGIC, 12, 0, LOG_ORDER_NATIVE, 12},
        {DISK_LOG_MAGIC, 13, 0, LOG_ORDER_NATIVE, 13},
        {DISK_LOG_MAGIC, 262144, 0, LOG_ORDER_NATIVE, 262144},
        {DISK_LOG_MAGIC, 262145, EFBIG, LOG_ORDER_NATIVE, 262145},
        {DISK_LOG_MAGIC, 0xFFFFFFFF, EFBIG, LOG_ORDER_NATIVE, 0xFFFFFFFF},
        {DISK_LOG_MAGIC, 0, EINVAL, LOG_ORDER_NATIVE, 0},
        {DISK_LOG_MAGIC, 11, EINVAL, LOG_ORDER_NATIVE, 11},
        {DISK_LOG_MAGIC_SWAPPED, 0x28000000, 0, LOG_ORDER_SWAPPED, 40},
        {DISK_LOG_MAGIC_SWAPPED, 40, EFBIG, LOG_ORDER_SWAPPED, 0x28000000},
        {DISK_LOG_MAGIC_SWAPPED, 0x0B000000, EINVAL, LOG_ORDER_SWAPPED, 11},
        {0x12345678, 262144, 0, LOG_ORDER_FOREIGN, 262144},
        {0x12345678, 262145, EINVAL, LOG_ORDER_FOREIGN, 262145},
        {0x12345678, 0xFFFFFFFF, EINVAL, LOG_ORDER_FOREIGN, 0xFFFFFFFF},
        {0x12345678, 11, EINVAL, LOG_ORDER_FOREIGN, 11},
    };
    for (const header_case& c : cases) {
        bytes b(12);
        set_word(&b, 0, c.magic);
        set_word(&b, 8, c.stored_length);
        log_buffer_header h;
        EXPECT_EQ(log_buffer_check_header(b.data(), &h), c.rc) << c.magic << " " << c.stored_length;
        EXPECT_EQ(h.magic, c.magic);
        EXPECT_EQ(h.order, c.order);
        EXPECT_EQ(h.length, c.length);
    }
}

TEST_F(log_buffer, checksum_accepts_regular_swapped_and_alternate_and_zeroes_the_field) {
    bytes good = build_buffer({{"x", 5, 1}, {"y/z", 9, 2}});
    uint32_t len = static_cast<uint32_t>(good.size());
    log_buffer_checksum sum;
    bytes b = good;
    EXPECT_EQ(log_buffer_check_checksum(b.data(), len, false, &sum), 0);
    EXPECT_FALSE(sum.alternate);
    EXPECT_EQ(sum.stored, word_at(good, 4));
    EXPECT_EQ(word_at(b, 4), 0u);

    b = to_other_order(good);
    EXPECT_EQ(log_buffer_check_checksum(b.data(), len, true, &sum), 0);
    EXPECT_FALSE(sum.alternate);

    b = good;
    set_word(&b, 4, 0);
    uint32_t alt = log_checksum_alt(b.data(), len);
    set_word(&b, 4, alt);
    EXPECT_EQ(log_buffer_check_checksum(b.data(), len, false, &sum), 0);
    EXPECT_TRUE(sum.alternate);

    b = good;
    b[13] ^= 0x20;  // one damaged path byte
    set_word(&b, 4, 0);
    uint32_t damaged_alt = log_checksum_alt(b.data(), len);
    set_word(&b, 4, word_at(good, 4));
    EXPECT_EQ(log_buffer_check_checksum(b.data(), len, false, &sum), EINVAL);
    EXPECT_EQ(sum.stored, word_at(good, 4));
    EXPECT_EQ(sum.calculated, damaged_alt);  // the last value computed
    EXPECT_EQ(word_at(b, 4), 0u);

    EXPECT_EQ(log_buffer_check_checksum(b.data(), 11, false, &sum), EINVAL);
}

TEST_F(log_buffer, swap_restores_ids_and_flags_and_leaves_paths) {
    bytes native = build_buffer({{"b", 0x0102030405060708ull, 0xA0B0C0D0u}, {"", 3, 4}});
    bytes b = to_other_order(native);
    swap_log_buffer(b.data(), static_cast<uint32_t>(b.size()));
    EXPECT_EQ(memcmp(b.data(), native.data(), 4), 0);
    EXPECT_EQ(memcmp(b.data() + 8, native.data() + 8, b.size() - 8), 0);

    // Records stay untouched when the length runs past the limit.
    b = to_other_order(native);
    bytes before = b;
    swap_log_buffer(b.data(), static_cast<uint32_t>(b.size()) - 1);
    EXPECT_EQ(word_at(b, 8), b.size());
    EXPECT_EQ(memcmp(b.data() + 12, before.data() + 12, b.size() - 12), 0);
}

TEST_F(log_buffer, swap_stops_at_a_record_cut_by_the_length) {
    bytes native = build_buffer({{"a", 1, 1}, {"b", 2, 2}});
    bytes b = to_other_order(native);
    set_word(&b, 8, __builtin_bswap32(static_cast<uint32_t>(b.size()) - 5));
    bytes before = b;
    swap_log_buffer(b.data(), static_cast<uint32_t>(b.size()));
    EXPECT_EQ(memcmp(b.data() + 12, native.data() + 12, 14), 0);  // first record converted
    EXPECT_EQ(memcmp(b.data() + 26, before.data() + 26, 14), 0);  // the cut one is not

    for (uint32_t length : {0u, 11u, 12u, 262145u, 0xFFFFFFFFu}) {
        b = to_other_order(native);
        set_word(&b, 8, __builtin_bswap32(length));
        before = b;
        swap_log_buffer(b.data(), static_cast<uint32_t>(b.size()));
        EXPECT_EQ(word_at(b, 8), length);
        EXPECT_EQ(memcmp(b.data() + 12, before.data() + 12, b.size() - 12), 0) << length;
    }
}

TEST_F(log_buffer, walk_reads_records_and_stops_at_the_first_out_of_bounds) {
    std::string longest(PATH_MAX_LENGTH, 'q');
    bytes b = build_buffer({{"", 1, 10}, {longest, 2, 20}});
    log_record_walk w = log_record_walk_start(b.data(), static_cast<uint32_t>(b.size()));
    log_record r;
    ASSERT_EQ(log_record_next(&w, &r), 0);
    EXPECT_EQ(r.path_length, 0u);
    EXPECT_EQ(r.id, 1u);
    ASSERT_EQ(log_record_next(&w, &r), 0);
    EXPECT_EQ(std::string(r.path), longest);
    EXPECT_EQ(r.flags, 20u);
    EXPECT_EQ(log_record_next(&w, &r), ENOENT);
    EXPECT_EQ(w.pos, b.size());
    EXPECT_EQ(log_record_next(&w, &r), ENOENT);  // and stays ended

    // Id and flags one byte short: the walk ends there, and for good.
    w = log_record_walk_start(b.data(), 12 + 1 + 11);
    ASSERT_EQ(log_record_next(&w, &r), ERANGE);
    EXPECT_EQ(r.id_offset, 13u);
    EXPECT_EQ(w.pos, 13u);
    EXPECT_EQ(log_record_next(&w, &r), ENOENT);
    w = log_record_walk_start(b.data(), 12);
    EXPECT_EQ(log_record_next(&w, &r), ENOENT);
}

// Inflates one gzip member held in memory.
bytes inflate_member(const bytes& member) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 16 + MAX_WBITS), Z_OK);
    bytes out(DISK_LOG_BUFFER_SIZE);
    z.next_in = const_cast<uint8_t*>(member.data());
    z.avail_in = static_cast<uInt>(member.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u);
    out.resize(z.total_out);
    inflateEnd(&z);
    return out;
}

TEST_F(log_buffer, each_write_is_one_complete_gzip_member_appended) {
    char path[] = "/tmp/log_buffer_test.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    ASSERT_EQ(fcntl(fd, F_SETFL, O_APPEND), 0);
    bytes one = build_buffer({{"first", 1, 1}});
    bytes two = build_buffer({{"second", 2, 2}, {"third", 3, 3}});
    ASSERT_EQ(log_buffer_write_member(fd, one.data(), static_cast<uint32_t>(one.size())), 0);
    off_t first_end = lseek(fd, 0, SEEK_END);
    ASSERT_EQ(log_buffer_write_member(fd, two.data(), static_cast<uint32_t>(two.size())), 0);
    off_t end = lseek(fd, 0, SEEK_END);

    bytes file(end);
    ASSERT_EQ(pread(fd, file.data(), file.size(), 0), end);
    EXPECT_EQ(inflate_member(bytes(file.begin(), file.begin() + first_end)), one);
    EXPECT_EQ(inflate_member(bytes(file.begin() + first_end, file.end())), two);
    EXPECT_NE(fcntl(fd, F_GETFD), -1);  // the caller's descriptor stays open
    close(fd);

    EXPECT_EQ(log_buffer_write_member(fd, one.data(), 12), EBADF);
}

}  // namespace
}  // namespace history_test
