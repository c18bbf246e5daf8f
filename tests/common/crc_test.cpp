// The shared CRC: known values, the 0-to-1 rule, the string form and the alternate form.
#include "common/crc.h"
#include "common/limits.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class CrcTest : public ::testing::Test {
protected:
    void SetUp() override { crc_table_init(); }
};

TEST_F(CrcTest, TableIsMsbFirstOverThePolynomial) {
    EXPECT_EQ(crc_table[0], 0u);
    EXPECT_EQ(crc_table[1], 0x04C11DB7u);
    EXPECT_EQ(crc_table[0x80], 0x690CE0EEu);
    EXPECT_EQ(crc_table[255], 0xB1F740B4u);
}

TEST_F(CrcTest, KnownValuesOfAbc) {
    EXPECT_EQ(log_checksum("abc", 3), 0x2C17398Cu);
    EXPECT_EQ(log_checksum_alt("abc", 3), 0x4593E01Eu);
}

TEST_F(CrcTest, LengthZeroHashesUpToTheFirstNul) {
    const char bytes[] = "abc\0def";
    EXPECT_EQ(log_checksum(bytes, 0), 0x2C17398Cu);
    EXPECT_EQ(log_checksum_alt(bytes, 0), 0x4593E01Eu);
    EXPECT_EQ(path_hash("abc"), 0x2C17398Cu);
    EXPECT_NE(log_checksum(bytes, 7), log_checksum(bytes, 0));
}

TEST_F(CrcTest, ZeroIsReportedAsOne) {
    const unsigned char zeros[16] = {};
    EXPECT_EQ(log_checksum(zeros, sizeof zeros), 1u);
    EXPECT_EQ(log_checksum_alt(zeros, sizeof zeros), 1u);
    EXPECT_EQ(path_hash(""), 1u);
}

TEST_F(CrcTest, EveryByteAndPositionMatters) {
    std::string a(1024, 'x');
    uint32_t base = log_checksum(a.data(), 1024);
    for (size_t pos : {size_t{0}, size_t{511}, size_t{1023}}) {
        std::string b = a;
        b[pos] ^= 1;
        EXPECT_NE(log_checksum(b.data(), 1024), base) << pos;
    }
}

// The eight-byte folding must agree with the plain byte-at-a-time definition at every length
// and alignment.
TEST_F(CrcTest, FoldedStepsMatchTheBytewiseDefinition) {
    std::string data;
    for (int i = 0; i < 300; i++)
        data.push_back(static_cast<char>(i * 37 + 11));
    for (size_t start = 0; start < 8; start++)
        for (size_t len = 1; len + start <= data.size(); len += 7) {
            const auto* p = reinterpret_cast<const unsigned char*>(data.data() + start);
            uint32_t crc = 0;
            for (size_t i = 0; i < len; i++)
                crc = crc_table[p[i] ^ (crc >> 24)] ^ (crc << 8);
            ASSERT_EQ(log_checksum(p, static_cast<uint32_t>(len)), crc ? crc : 1u)
                << start << " " << len;
        }
}

TEST(PathCopy, TruncatesAndReportsTheSourceLength) {
    char dst[8];
    EXPECT_EQ(path_copy(dst, "abcdefghij", sizeof dst), 10u);
    EXPECT_STREQ(dst, "abcdefg");
    EXPECT_EQ(path_copy(dst, "ab", sizeof dst), 2u);
    EXPECT_STREQ(dst, "ab");
    std::string full(PATH_MAX_LENGTH, 'p');
    char path[PATH_BUFFER_SIZE];
    EXPECT_EQ(path_copy(path, full.c_str(), sizeof path), PATH_MAX_LENGTH);
    EXPECT_EQ(strlen(path), PATH_MAX_LENGTH);
}

}  // namespace
