// The last event id lookup over real log files: one table row per form of damage, and per
// kind of file it must refuse without blocking.
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

// n records with scattered names and ids first_id, first_id + 1, ...: large enough buffers
// make the lookup's reads cross buffer ends.
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

bytes with_word(bytes b, size_t offset, uint32_t v, bool seal) {
    set_word(&b, offset, v);
    if (seal)
        reseal(&b);
    return b;
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
        file = dir + "/0000000000000100";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Replaces the log file with one gzip member per element.
    void write_members(const std::vector<bytes>& members) {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        for (const bytes& m : members)
            ASSERT_EQ(log_buffer_write_member(fd, m.data(), static_cast<uint32_t>(m.size())), 0);
        close(fd);
    }
    int lookup() {
        ::testing::internal::CaptureStderr();
        int rc = get_last_event_id(&state, FILE_ID, &out);
        log = ::testing::internal::GetCapturedStderr();
        return rc;
    }

    std::string dir, file, log;
    dls state{};
    uint64_t out = 99;
};

// What is done to the file written from the members. A FIFO must not block the open (a reader
// may hold one of the few reader slots), nor a link be followed.
enum damage { NONE, FLIP_MIDDLE_BYTE, CUT_LAST_MEMBER, PLAIN_TEXT, MISSING, FIFO, SYMLINK };

TEST_F(last_event_id, answers_one_above_the_highest_complete_id_or_refuses_the_file) {
    const bytes a20 = build_buffer({{"a", 20, 0}});
    const bytes big = scattered_buffer(4000, 900, 4);
    bytes damaged = build_buffer({{"x/y", 40, 0}});
    damaged[13] ^= 1;
    bytes alt = build_buffer({{"a", 5, 0}});
    set_word(&alt, 4, 0);
    set_word(&alt, 4, log_checksum_alt(alt.data(), uint32_t(alt.size())));
    const bytes foreign = with_word(build_buffer({{"f", 70, 0}}), 0, 0x12345678, true);
    bytes no_nul = concat({build_buffer({{"a", 0x30, 0}}), bytes{'a', 'b', 'c'}});
    no_nul = with_word(no_nul, 8, uint32_t(no_nul.size()), true);  // 29: the id would start at 30
    bytes lone_nul = build_buffer({});
    lone_nul.push_back(0);
    lone_nul = with_word(lone_nul, 8, 13, true);
    std::vector<record> longest(253, {std::string(PATH_MAX_LENGTH, 'r'), 4, 0});
    longest.push_back({"last-record", 0x500, 0});  // 12 + 253 * 1036 + 24 = 262144
    const bytes full = build_buffer(longest, DISK_LOG_BUFFER_SIZE + 1);
    const std::string in_file = " in file " + file;
    const std::string problems = "get_last_event_id: problems with history file: " + file;

    struct {
        const char* what;
        std::vector<bytes> members;
        damage harm;
        int rc;
        uint64_t out;
        std::string logged;  // "": nothing may be logged
    } cases[] = {
        // clang-format off
        {"one record", {build_buffer({{"a", 0x10, 1}})}, NONE, 0, 0x11, ""},
        {"no file", {}, MISSING, EINVAL, 0, problems + " (2 ; is_reg 0)"},
        {"a FIFO", {}, FIFO, EINVAL, 0, problems + " (0 ; is_reg 0)"},
        {"a link to a good file", {a20}, SYMLINK, EINVAL, 0, problems + " (40 ; is_reg 0)"},
        {"an empty file", {}, NONE, EINVAL, 0, ""},
        {"highest id in a short buffer sharing a member, every buffer counts",
         {concat({scattered_buffer(6000, 1000, 1), build_buffer({{"a", 50000, 0}, {"z", 3, 0}})}),
          scattered_buffer(5000, 20000, 2), build_buffer({})}, NONE, 0, 50001, ""},
        {"other byte order",
         {to_other_order(scattered_buffer(3000, 0x123456789A, 3)), build_buffer({{"b", 5, 0}})},
         NONE, 0, 0x123456789Aull + 3000, ""},
        {"a full area of longest paths, then a native length no area holds",
         {full, with_word(build_buffer({{"b", 0x900, 0}}), 8, 0xFFFFFFFF, false)}, NONE, 0, 0x501,
         ""},
        {"cut inside a buffer", {a20, bytes(big.begin(), big.begin() + big.size() / 2)}, NONE, 0,
         21, ""},
        {"cut inside a header", {a20, bytes(big.begin(), big.begin() + 5)}, NONE, 0, 21, ""},
        {"cut inside the compressed stream", {a20, big}, CUT_LAST_MEMBER, 0, 21, ""},
        {"a damaged compressed byte", {big}, FLIP_MIDDLE_BYTE, EINVAL, 0,
         "did not find any event id's in 0000000000000100"},
        {"no records", {build_buffer({})}, NONE, EINVAL, 0,
         "did not find any event id's in 0000000000000100 (ptr 0x"},
        {"gzip without data", {bytes{}}, NONE, EINVAL, 0, " / iptr[2] -123 / iptr[3] -123\n"},
        {"plain bytes", {}, PLAIN_TEXT, EINVAL, 0,
         "get_last_event_id: magic is wrong (0x6c6c6568 != 0x444c5331; cur_pos 0)" + in_file},
        {"a checksum mismatch after good ids", {a20, damaged}, NONE, EINVAL, 0,
         "get_last_event_id: checksum mis-match: file 0x"},
        {"alternate checksum", {alt}, NONE, 0, 6, ""},
        {"alternate checksum drops what was read after it", {alt, build_buffer({{"b", 9, 0}})},
         NONE, 0, 6, ""},
        {"foreign magic with a plausible length", {foreign, a20}, NONE, 0, 71, ""},
        {"foreign magic past the area",
         {a20, with_word(foreign, 8, DISK_LOG_BUFFER_SIZE + 1, false)}, NONE, EINVAL, 0,
         "magic is wrong (0x12345678 != 0x444c5331; cur_pos " + std::to_string(a20.size()) + ")"},
        {"length 0", {with_word(a20, 8, 0, false)}, NONE, EINVAL, 0, "magic is wrong (0x444c5331"},
        {"length 11", {with_word(a20, 8, 11, false)}, NONE, EINVAL, 0, "magic is wrong (0x444c5331"},
        {"a lone NUL in a 13-byte buffer", {lone_nul}, NONE, EINVAL, 0,
         "get_last_event_id: ptr out-of-bounds (13 > 13)" + in_file + " (counter 0)"},
        {"a path without NUL ends only its buffer",
         {build_buffer({{"z", 1, 0}}), concat({no_nul, build_buffer({{"b", 0x40, 0}})})}, NONE, 0,
         0x41, "ptr out-of-bounds (30 > 29)" + in_file + " (counter 1)"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(file);
        std::filesystem::remove(dir + "/0000000000000001");
        if (c.harm == PLAIN_TEXT) {
            int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0600);
            ASSERT_EQ(write(fd, "hello world, not gzip\n", 22), 22);  // "hell", length "orld"
            close(fd);
        } else if (c.harm == FIFO) {
            ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
        } else if (c.harm != MISSING) {
            write_members(c.members);
        }
        off_t size = c.harm < MISSING ? std::filesystem::file_size(file) : 0;
        if (c.harm == SYMLINK) {
            ASSERT_EQ(rename(file.c_str(), (dir + "/0000000000000001").c_str()), 0);
            ASSERT_EQ(symlink("0000000000000001", file.c_str()), 0);
        } else if (c.harm == CUT_LAST_MEMBER) {
            write_members(std::vector<bytes>(c.members.begin(), c.members.end() - 1));
            off_t first_end = std::filesystem::file_size(file);
            write_members(c.members);
            ASSERT_EQ(truncate(file.c_str(), first_end + (size - first_end) / 2), 0);
        } else if (c.harm == FLIP_MIDDLE_BYTE) {
            int fd = open(file.c_str(), O_RDWR);
            uint8_t byte;
            ASSERT_EQ(pread(fd, &byte, 1, size / 2), 1);
            byte ^= 0x10;
            ASSERT_EQ(pwrite(fd, &byte, 1, size / 2), 1);
            close(fd);
        }
        EXPECT_EQ(lookup(), c.rc);
        EXPECT_EQ(out, c.out);
        if (c.logged.empty())
            EXPECT_EQ(log, "");
        else
            EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    }
}

}  // namespace
}  // namespace history_test
