// The last event id lookup over real log files: one table of the answers it gives, one of the
// damaged files and the kinds of file it must refuse without blocking.
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

// n records of scattered names and ids from first_id: large enough to cross the reads' ends.
bytes scattered(int n, uint64_t first_id, uint32_t seed) {
    std::vector<record> records;
    for (int i = 0; i < n; i++, seed = seed * 1664525u + 1013904223u)
        records.push_back({"usr/" + std::to_string(seed * 2654435761ull), first_id + i, seed});
    return build_buffer(records);
}

bytes with_word(bytes b, size_t offset, uint32_t v, bool seal = false) {
    set_word(&b, offset, v);
    if (seal)
        reseal(&b);
    return b;
}

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A FIFO must not block the open (the caller may hold one of the few reader slots), nor a
// link be followed; CUT drops the file's last 1000 bytes.
enum damage { NONE, MISSING, FIFO, SYMLINK, PLAIN_TEXT, CUT };

struct row {
    const char* what;
    std::vector<bytes> members;  // one gzip member each
    int rc;
    uint64_t out;
    std::string logged;  // "": nothing may be logged
    damage harm = NONE;
};

const std::string dir = "/tmp/last_event_id_test." + std::to_string(getpid()),
                  file = dir + "/0000000000000100";

bool make_file(const row& c) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);
    if (c.harm == FIFO || c.harm == MISSING)
        return c.harm == MISSING || mkfifo(file.c_str(), 0600) == 0;
    std::string target = c.harm == SYMLINK ? dir + "/0000000000000001" : file;
    int fd = open(target.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    // Plain text: magic "hell", length "orld".
    bool ok = c.harm != PLAIN_TEXT || write(fd, "hello world, not gzip\n", 22) == 22;
    for (const bytes& m : c.members)
        ok &= log_buffer_write_member(fd, m.data(), uint32_t(m.size())) == 0;
    if (c.harm == CUT)
        ok &= ftruncate(fd, lseek(fd, 0, SEEK_END) - 1000) == 0;
    close(fd);
    return ok && (c.harm != SYMLINK || symlink("0000000000000001", file.c_str()) == 0);
}

void check(const std::vector<row>& rows) {
    log_open("history_tests", LOG_OPTIONS_STDERR);
    dls state{};
    snprintf(state.log_dir, sizeof state.log_dir, "%s", dir.c_str());
    for (const row& c : rows) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(make_file(c));
        uint64_t out = 99;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(get_last_event_id(&state, 0x100, &out), c.rc);
        std::string log = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(out, c.out);
        EXPECT_TRUE(c.logged.empty() ? log.empty() : log.find(c.logged) != std::string::npos)
            << log;
    }
    std::filesystem::remove_all(dir);
}

// Every record of every buffer counts (they are sorted by path, not id), in either byte order
// and checksum form, up to a full area. A file cut short keeps the ids of its whole buffers; a
// bad header or checksum anywhere refuses it; a record past its buffer ends only that buffer.
TEST(last_event_id, answers_one_above_the_highest_id_or_refuses_a_damaged_file) {
    const bytes a20 = build_buffer({{"a", 20, 0}}), big = scattered(4000, 900, 4);
    const bytes foreign = with_word(a20, 0, 0x12345678, true);
    bytes alt = build_buffer({{"a", 5, 0}});
    set_word(&alt, 4, 0);
    set_word(&alt, 4, log_checksum_alt(alt.data(), uint32_t(alt.size())));
    std::vector<record> longest(253, {std::string(PATH_MAX_LENGTH, 'r'), 4, 0});
    longest.push_back({"last-record", 0x500, 0});  // 12 + 253 * 1036 + 24 = 262144
    const bytes full = build_buffer(longest, DISK_LOG_BUFFER_SIZE + 1);
    // clang-format off
    check({
        {"no records", {build_buffer({})}, EINVAL, 0, "did not find any event id's"},
        {"highest id in a short buffer sharing a member",
         {scattered(6000, 1000, 1) + build_buffer({{"a", 50000, 0}, {"z", 3, 0}}),
          scattered(5000, 20000, 2), build_buffer({})}, 0, 50001, ""},
        {"other byte order, then native",
         {to_other_order(scattered(3000, 1ull << 40, 3)), build_buffer({{"b", 5, 0}})}, 0,
         (1ull << 40) + 3000, ""},
        {"a full area, then a native length no area holds",
         {full, with_word(build_buffer({{"b", 0x900, 0}}), 8, 0xFFFFFFFF)}, 0, 0x501, ""},
        {"alternate checksum drops what was read after it", {alt, build_buffer({{"b", 9, 0}})}, 0,
         6, ""},
        {"foreign magic, a plausible length", {foreign, build_buffer({{"a", 1, 0}})}, 0, 21, ""},
    });
    // clang-format on

    bytes damaged = build_buffer({{"x/y", 40, 0}});
    damaged[13] ^= 1;
    bytes no_nul = build_buffer({{"a", 0x30, 0}}) + bytes{'a', 'b', 'c'};
    no_nul = with_word(no_nul, 8, uint32_t(no_nul.size()), true);  // 29: the id would start at 30
    const bytes lone_nul = with_word(build_buffer({}) + bytes{0}, 8, 13, true);
    const std::string in_file = " in file " + file;
    const std::string problems = "get_last_event_id: problems with history file: " + file;
    // clang-format off
    check({
        {"no file", {}, EINVAL, 0, problems + " (2 ; is_reg 0)", MISSING},
        {"a FIFO", {}, EINVAL, 0, problems + " (0 ; is_reg 0)", FIFO},
        {"a link to a good file", {a20}, EINVAL, 0, problems + " (40 ; is_reg 0)", SYMLINK},
        {"plain bytes", {}, EINVAL, 0,
         "magic is wrong (0x6c6c6568 != 0x444c5331; cur_pos 0)" + in_file, PLAIN_TEXT},
        {"cut inside the compressed stream", {a20, big}, 0, 21, "", CUT},
        {"a checksum mismatch after good ids", {a20, damaged}, EINVAL, 0, "checksum mis-match"},
        {"foreign magic past the area", {a20, with_word(foreign, 8, DISK_LOG_BUFFER_SIZE + 1)},
         EINVAL, 0, "magic is wrong (0x12345678 != 0x444c5331; cur_pos 26)"},
        {"length 11", {with_word(a20, 8, 11)}, EINVAL, 0, "magic is wrong (0x444c5331"},
        {"a lone NUL in a 13-byte buffer", {lone_nul}, EINVAL, 0,
         "ptr out-of-bounds (13 > 13)" + in_file + " (counter 0)"},
        {"a path without NUL ends only its buffer",
         {build_buffer({{"z", 1, 0}}), no_nul + build_buffer({{"b", 0x40, 0}})}, 0, 0x41,
         "ptr out-of-bounds (30 > 29)" + in_file + " (counter 1)"},
    });
    // clang-format on
}

}  // namespace
}  // namespace history_test
