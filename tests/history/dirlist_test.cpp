// Listing a log directory: which names count as log files, the list's growth, the descriptor
// it consumes, and the order of event ids.
#include "history/dls.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct dirlist_dir : ::testing::Test {
    std::string dir;

    void SetUp() override {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/dirlist.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }

    void touch(const std::string& name) {
        int fd = open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0) << name;
        close(fd);
    }

    struct listing {
        int result;
        int32_t count, capacity;
        uint64_t* ids;
        uint64_t smallest, largest;
        std::vector<uint64_t> sorted() const {
            std::vector<uint64_t> v(ids, ids + count);
            std::sort(v.begin(), v.end());
            return v;
        }
    };
    listing list() {
        listing l{};
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        l.result =
            get_dirlist(fd, &l.count, &l.capacity, &l.ids, is_hex_name, &l.smallest, &l.largest);
        return l;
    }
};

TEST_F(dirlist_dir, lists_hex_names_except_zero_and_all_ones) {
    touch("0000000000000010");
    touch("0000000000000020");
    touch("0000000000000000");  // the value 0
    touch("000000000000001g");  // not hexadecimal
    touch("ffffffffffffffff");  // the wrap marker
    touch("ABC");               // any length, either case
    touch("vantlesd-uuid");
    ASSERT_EQ(mkdir((dir + "/00000000000000ff").c_str(), 0700), 0);  // names decide, not types

    listing l = list();
    ASSERT_EQ(l.result, 0);
    EXPECT_EQ(l.sorted(), (std::vector<uint64_t>{0x10, 0x20, 0xff, 0xabc}));
    EXPECT_EQ(l.capacity, 100);
    EXPECT_EQ(l.smallest, 0x10u);
    EXPECT_EQ(l.largest, 0xabcu);
    free(l.ids);
}

TEST_F(dirlist_dir, grows_by_a_hundred_and_keeps_every_id) {
    std::vector<uint64_t> expected;
    for (uint64_t id = 1; id <= 250; ++id) {
        char name[32];
        snprintf(name, sizeof name, "%.16llx", static_cast<unsigned long long>(id << 32));
        touch(name);
        expected.push_back(id << 32);
    }
    listing l = list();
    ASSERT_EQ(l.result, 0);
    EXPECT_EQ(l.capacity, 300);
    EXPECT_EQ(l.sorted(), expected);
    EXPECT_EQ(l.smallest, 1ull << 32);
    EXPECT_EQ(l.largest, 250ull << 32);
    free(l.ids);
}

bool is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

TEST_F(dirlist_dir, consumes_the_descriptor_on_success_and_failure) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    int32_t count, capacity;
    uint64_t* ids;
    uint64_t smallest, largest;
    EXPECT_EQ(get_dirlist(fd, &count, &capacity, &ids, is_hex_name, &smallest, &largest), 0);
    EXPECT_FALSE(is_open(fd));

    touch("plain");
    fd = open((dir + "/plain").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(get_dirlist(fd, &count, &capacity, &ids, is_hex_name, &smallest, &largest), ENOTDIR);
    EXPECT_FALSE(is_open(fd));
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(count, 0);
}

TEST(is_hex_name, accepts_only_hexadecimal_digits) {
    EXPECT_TRUE(is_hex_name("0123456789abcdefABCDEF"));
    EXPECT_FALSE(is_hex_name("0x10"));
    EXPECT_FALSE(is_hex_name("."));
    EXPECT_FALSE(is_hex_name(".."));
    EXPECT_FALSE(is_hex_name("00000000000000G0"));
    EXPECT_FALSE(is_hex_name("10 "));
    EXPECT_FALSE(is_hex_name("\xe0\xb1\xa6"));  // digit-like characters above 0x7f
}

TEST(compare_event_ids, orders_unsigned_64_bit_ids) {
    // Values that a signed or truncated comparison would misplace.
    std::vector<uint64_t> ids{~0ull, 0, 1ull << 63, 5, 0x100000000ull, (1ull << 63) - 1};
    qsort(ids.data(), ids.size(), sizeof(uint64_t), compare_event_ids);
    EXPECT_EQ(ids,
              (std::vector<uint64_t>{0, 5, 0x100000000ull, (1ull << 63) - 1, 1ull << 63, ~0ull}));
    uint64_t a = 7, b = 7;
    EXPECT_EQ(compare_event_ids(&a, &b), 0);
}

}  // namespace
