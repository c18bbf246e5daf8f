// The last event id lookup over real log files: one short case per kind of damage (write with
// the builder and the member writer, damage one thing, read, check the result and the log).
#include "log_buffer_util.h"

#include "common/limits.h"
#include "common/log.h"
#include "history/dls.h"
#include "history/last_event_id.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace history_test {
namespace {

constexpr uint64_t FILE_ID = 0x100;

// n records of 39 bytes with scattered names and ids first_id, first_id + 1, ... (the
// lookup does not care about the order of paths).
bytes scattered_buffer(int n, uint64_t first_id, uint32_t seed) {
    std::vector<record> records;
    for (int i = 0; i < n; i++) {
        seed = seed * 1664525u + 1013904223u;
        char name[40];
        snprintf(name, sizeof name, "usr/share/%08x%08x", seed, seed * 2654435761u);
        records.push_back({name, first_id + i, seed});
    }
    return build_buffer(records);
}

class last_event_id : public ::testing::Test {
protected:
    void SetUp() override {
        crc_table_init();
        log_open("history_tests", LOG_OPTIONS_STDERR);
        char dir_template[] = "/tmp/last_event_id_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir = dir_template;
        snprintf(state.log_dir, sizeof state.log_dir, "%s", dir_template);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string file(uint64_t id = FILE_ID) const {
        char name[32];
        snprintf(name, sizeof name, "/%.16llx", static_cast<unsigned long long>(id));
        return dir + name;
    }

    // Appends one gzip member per element to the log file.
    void write_members(const std::vector<bytes>& members) {
        int fd = open(file().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        for (const bytes& m : members)
            ASSERT_EQ(log_buffer_write_member(fd, m.data(), static_cast<uint32_t>(m.size())), 0);
        close(fd);
    }

    void write_raw(const std::string& content) {
        int fd = open(file().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
        close(fd);
    }

    // The lookup of FILE_ID with its log captured in `log`.
    int lookup(uint64_t* out) {
        ::testing::internal::CaptureStderr();
        int rc = get_last_event_id(&state, FILE_ID, out);
        log = ::testing::internal::GetCapturedStderr();
        return rc;
    }
    bool logged(const std::string& text) const { return log.find(text) != std::string::npos; }
    std::string in_file() const { return " in file " + file(); }

    std::string dir;
    dls state{};
    std::string log;
    uint64_t out = 99;
};

TEST_F(last_event_id, single_record_gives_its_id_plus_one) {
    write_members({build_buffer({{"a", 0x10, 1}})});
    EXPECT_EQ(lookup(&out), 0);
    EXPECT_EQ(out, 0x11u);
    EXPECT_EQ(log, "");
}

TEST_F(last_event_id, highest_id_of_every_buffer_counts_across_members) {
    // Large buffers make the reads cross buffer ends; the highest id sits in the second,
    // shorter buffer, which shares a member with the first.
    bytes first = scattered_buffer(6000, 1000, 1);
    bytes second = build_buffer({{"a", 50000, 0}, {"z", 3, 0}});
    bytes third = scattered_buffer(5000, 20000, 2);
    write_members({concat({first, second}), third, build_buffer({})});
    EXPECT_EQ(lookup(&out), 0);
    EXPECT_EQ(out, 50001u);
    EXPECT_EQ(log, "");
}

TEST_F(last_event_id, a_longest_path_record_is_read_whole) {
    write_members({build_buffer({{std::string(PATH_MAX_LENGTH, 'p'), 7, 0}, {"q", 2, 0}})});
    EXPECT_EQ(lookup(&out), 0);
    EXPECT_EQ(out, 8u);
}

TEST_F(last_event_id, other_byte_order_reads_like_native) {
    bytes native = scattered_buffer(3000, 0x123456789Aull, 3);
    write_members({to_other_order(native), native, to_other_order(build_buffer({{"b", 5, 0}}))});
    EXPECT_EQ(lookup(&out), 0);
    EXPECT_EQ(out, 0x123456789Aull + 3000);
    EXPECT_EQ(log, "");
}

TEST_F(last_event_id, buffer_without_records_logs_no_ids) {
    write_members({build_buffer({})});
    EXPECT_EQ(lookup(&out), EINVAL);
    EXPECT_EQ(out, 0u);
    EXPECT_TRUE(logged("did not find any event id's in 0000000000000100 (ptr 0x")) << log;
    EXPECT_TRUE(logged(" / iptr[2] 12 / iptr[3] 0\n")) << log;
}

TEST_F(last_event_id, unusable_files_are_refused) {
    EXPECT_EQ(lookup(&out), EINVAL);  // missing
    EXPECT_TRUE(
        logged("get_last_event_id: problems with history file: " + file() + " (2 ; is_reg 0)"))
        << log;

    ASSERT_EQ(mkfifo(file().c_str(), 0600), 0);  // must not block in open
    EXPECT_EQ(lookup(&out), EINVAL);
    EXPECT_TRUE(logged(file() + " (0 ; is_reg 0)")) << log;
    unlink(file().c_str());

    write_members({build_buffer({{"a", 5, 0}})});
    ASSERT_EQ(rename(file().c_str(), file(1).c_str()), 0);
    ASSERT_EQ(symlink(file(1).c_str(), file().c_str()), 0);
    EXPECT_EQ(lookup(&out), EINVAL);
    EXPECT_TRUE(logged(file() + " (40 ; is_reg 0)")) << log;
    unlink(file().c_str());

    write_raw("");
    EXPECT_EQ(lookup(&out), EINVAL);
    EXPECT_EQ(log, "");
}

TEST_F(last_event_id, plain_bytes_fail_the_magic_check) {
    write_raw("hello world, this is not gzip\n");  // read as it is: "hell" ... length "orld"
    EXPECT_EQ(lookup(&out), EINVAL);
    EXPECT_TRUE(logged("get_last_event_id: magic is wrong (0x6c6c6568 != 0x444c5331; cur_pos 0)" +
                       in_file()))
        << log;
}

TEST_F(last_event_id, gzip_without_data_logs_the_first_read) {
    write_members({bytes{}});
    EXPECT_EQ(lookup(&out), EINVAL);
    EXPECT_TRUE(logged("did not find any event id's in 0000000000000100 (ptr (nil) buff 0x"))
        << log;
    EXPECT_TRUE(logged(" / iptr[2] -123 / iptr[3] -123\n")) << log;
}

TEST_F(last_event_id, file_cut_inside_a_buffer_keeps_the_complete_ones) {
    bytes last = scattered_buffer(4000, 900, 4);
    bytes partial(last.begin(), last.begin() + last.size() / 2);
    write_members({build_buffer({{"a", 20, 0}}), partial});
    EXPECT_EQ(lookup(&out), 0);
    EXPECT_EQ(out, 21u);
    EXPECT_EQ(log, "");

    // Cut inside the next header, and inside the compressed stream of the last member.
    ASSERT_EQ(unlink(file().c_str()), 0);
    write_members({build_buffer({{"a", 20, 0}}), bytes(last.begin(), last.begin() + 5)});
    EXPECT_EQ(lookup(&out), 0);
    EXPECT_EQ(out, 21u);
    ASSERT_EQ(unlink(file().c_str()), 0);
    write_members({build_buffer({{"a", 20, 0}})});
    off_t first_end = std::filesystem::file_size(file());
    write_members({last});
    off_t end = std::filesystem::file_size(file());
    ASSERT_EQ(truncate(file().c_str(), first_end + (end - first_end) / 2), 0);
    EXPECT_EQ(lookup(&out), 0);
    EXPECT_EQ(out, 21u);
}

TEST_F(last_event_id, corrupted_compressed_byte_fails) {
    write_members({scattered_buffer(4000, 900, 5)});
    int fd = open(file().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    off_t middle = lseek(fd, 0, SEEK_END) / 2;
    uint8_t byte;
    ASSERT_EQ(pread(fd, &byte, 1, middle), 1);
    byte ^= 0x10;
    ASSERT_EQ(pwrite(fd, &byte, 1, middle), 1);
    close(fd);
    EXPECT_EQ(lookup(&out), EINVAL);
    EXPECT_EQ(out, 0u);
}

TEST_F(last_event_id, checksum_mismatch_fails_despite_earlier_ids) {
    bytes damaged = build_buffer({{"x/y", 40, 0}});
    damaged[13] ^= 1;
    bytes zeroed = damaged;
    set_word(&zeroed, 4, 0);
    char expected[128];
    snprintf(expected, sizeof expected,
             "get_last_event_id: checksum mis-match: file 0x%.8x, calculated 0x%.8x",
             word_at(damaged, 4), log_checksum_alt(zeroed.data(), uint32_t(zeroed.size())));
    write_members({build_buffer({{"a", 30, 0}}), damaged});
    EXPECT_EQ(lookup(&out), EINVAL);
    EXPECT_EQ(out, 0u);
    EXPECT_TRUE(logged(expected + in_file())) << log;
}

TEST_F(last_event_id, checksum_of_zero_is_stored_as_one) {
    bytes b = build_buffer({{"zero", 6, 0}});
    uint32_t len = uint32_t(b.size());
    set_word(&b, 4, 0);
    set_word(&b, len - 4, __builtin_bswap32(log_checksum(b.data(), len - 4)));
    reseal(&b);
    ASSERT_EQ(word_at(b, 4), 1u);
    write_members({b});
    EXPECT_EQ(lookup(&out), 0);
    EXPECT_EQ(out, 7u);
}

TEST_F(last_event_id, alternate_checksum_is_accepted_and_drops_what_was_read_after_it) {
    bytes alt = build_buffer({{"a", 5, 0}});
    set_word(&alt, 4, 0);
    set_word(&alt, 4, log_checksum_alt(alt.data(), uint32_t(alt.size())));
    write_members({alt});
    EXPECT_EQ(lookup(&out), 0);
    EXPECT_EQ(out, 6u);

    // The next buffer was already in the area, so it goes with the carry.
    write_members({build_buffer({{"b", 9, 0}})});
    EXPECT_EQ(lookup(&out), 0);
    EXPECT_EQ(out, 6u);
    EXPECT_EQ(log, "");
}

TEST_F(last_event_id, foreign_magic_is_taken_up_to_the_area_size) {
    bytes foreign = build_buffer({{"f", 70, 0}});
    set_word(&foreign, 0, 0x12345678);
    reseal(&foreign);
    bytes good = build_buffer({{"a", 3, 0}});
    write_members({foreign, good});
    EXPECT_EQ(lookup(&out), 0);
    EXPECT_EQ(out, 71u);

    bytes too_long = foreign;
    set_word(&too_long, 8, DISK_LOG_BUFFER_SIZE + 1);
    write_members({too_long});
    EXPECT_EQ(lookup(&out), EINVAL);
    EXPECT_EQ(out, 0u);
    std::string cur_pos = std::to_string(foreign.size() + good.size());
    EXPECT_TRUE(logged("get_last_event_id: magic is wrong (0x12345678 != 0x444c5331; cur_pos " +
                       cur_pos + ")" + in_file()))
        << log;
}

TEST_F(last_event_id, lengths_below_the_header_fail_the_magic_check) {
    for (uint32_t length : {0u, 11u}) {
        bytes b = build_buffer({{"a", 5, 0}});
        set_word(&b, 8, length);
        write_raw("");
        write_members({b});
        EXPECT_EQ(lookup(&out), EINVAL) << length;
        EXPECT_TRUE(logged("magic is wrong (0x444c5331 != 0x444c5331; cur_pos 0)")) << log;
    }
}

TEST_F(last_event_id, lone_nul_in_a_13_byte_buffer_is_out_of_bounds) {
    bytes b = build_buffer({});
    b.push_back(0);
    set_word(&b, 8, 13);
    reseal(&b);
    write_members({b});
    EXPECT_EQ(lookup(&out), EINVAL);
    EXPECT_TRUE(
        logged("get_last_event_id: ptr out-of-bounds (13 > 13)" + in_file() + " (counter 0)"))
        << log;
    EXPECT_TRUE(logged("get_last_event_id: path was: <>")) << log;
    EXPECT_TRUE(logged("did not find any event id's in 0000000000000100")) << log;
}

TEST_F(last_event_id, path_without_nul_ends_only_its_buffer) {
    bytes b = concat({build_buffer({{"a", 0x30, 0}}), bytes{'a', 'b', 'c'}});
    set_word(&b, 8, uint32_t(b.size()));  // 29: the missing id would start at 30
    reseal(&b);
    write_members({build_buffer({{"z", 1, 0}}), concat({b, build_buffer({{"b", 0x40, 0}})})});
    EXPECT_EQ(lookup(&out), 0);
    EXPECT_EQ(out, 0x41u);
    EXPECT_TRUE(
        logged("get_last_event_id: ptr out-of-bounds (30 > 29)" + in_file() + " (counter 1)"))
        << log;
    EXPECT_TRUE(logged("get_last_event_id: path was: <abc>")) << log;
}

TEST_F(last_event_id, full_area_length_is_read_and_longer_native_ends_the_file) {
    std::vector<record> records(253, {std::string(PATH_MAX_LENGTH, 'r'), 4, 0});
    records.push_back({"last-record", 0x500, 0});  // 12 + 253 * 1036 + 24 = 262144
    bytes full = build_buffer(records, DISK_LOG_BUFFER_SIZE + 1);
    ASSERT_EQ(full.size(), DISK_LOG_BUFFER_SIZE);
    bytes endless = build_buffer({{"b", 0x900, 0}});
    set_word(&endless, 8, 0xFFFFFFFF);
    write_members({full, endless});
    EXPECT_EQ(lookup(&out), 0);
    EXPECT_EQ(out, 0x501u);
    EXPECT_EQ(log, "");
}

}  // namespace
}  // namespace history_test
