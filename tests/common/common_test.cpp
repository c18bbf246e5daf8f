// The shared CRC in both forms, bounded path copies, bucket arrays, and the counted read lock.
#include "common/buckets.h"
#include "common/crc.h"
#include "common/limits.h"
#include "common/log.h"
#include "volumes/vantle_rwlock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace {

TEST(Crc, KnownValuesStringFormAndZeroAsOne) {
    crc_table_init();
    EXPECT_EQ(log_checksum("abc", 3), 0x2C17398Cu);
    EXPECT_EQ(log_checksum_alt("abc", 3), 0x4593E01Eu);
    const char bytes[] = "abc\0def";
    EXPECT_EQ(log_checksum(bytes, 0), 0x2C17398Cu);  // length 0: up to the first NUL
    EXPECT_EQ(log_checksum_alt(bytes, 0), 0x4593E01Eu);
    EXPECT_EQ(path_hash("abc"), 0x2C17398Cu);
    const unsigned char zeros[16] = {};
    EXPECT_EQ(log_checksum(zeros, sizeof zeros), 1u);
    EXPECT_EQ(log_checksum_alt(zeros, sizeof zeros), 1u);
}

// The eight-byte folding must agree with the plain definition at every length and alignment.
TEST(Crc, FoldedStepsMatchTheBytewiseDefinition) {
    crc_table_init();
    EXPECT_EQ(crc_table[0x80], 0x690CE0EEu);
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
    EXPECT_EQ(path_copy(dst, "abcdefg", sizeof dst), 7u);
    EXPECT_STREQ(dst, "abcdefg");
}

TEST(AllocBuckets, RoundsDownToAPowerOfTwoAndRefusesCountsBelowOne) {
    for (auto [count, want] :
         {std::pair<int64_t, uint32_t>{1, 0}, {3, 1}, {4096, 4095}, {5000, 4095}}) {
        uint32_t mask = 0xDEAD;
        void** buckets = alloc_buckets(count, &mask);
        ASSERT_NE(buckets, nullptr) << count;
        EXPECT_EQ(mask, want) << count;
        for (uint64_t i = 0; i <= mask; i++)
            ASSERT_EQ(buckets[i], nullptr);
        free(buckets);
    }
    uint32_t mask = 7;
    EXPECT_EQ(alloc_buckets(0, &mask), nullptr);
    EXPECT_EQ(alloc_buckets(-5, &mask), nullptr);
    EXPECT_EQ(mask, 7u);
}

// True while some thread holds the underlying lock for reading.
bool underlying_held(vantle_rwlock* lock) {
    bool held = true;
    std::thread probe([&] {
        if (pthread_rwlock_trywrlock(&lock->lock) == 0) {
            held = false;
            pthread_rwlock_unlock(&lock->lock);
        }
    });
    probe.join();
    return held;
}

// Nested holds take the underlying lock once and balance per thread.
TEST(VantleRwlock, NestedHoldsBalancePerThread) {
    vantle_rwlock lock;
    ASSERT_EQ(vantle_rwlock_init(&lock), 0);
    ASSERT_EQ(vantle_rwlock_rdlock(&lock), 0);
    ASSERT_EQ(vantle_rwlock_rdlock(&lock), 0);
    ASSERT_EQ(vantle_rwlock_unlock(&lock), 0);
    EXPECT_TRUE(underlying_held(&lock));
    std::thread other([&] {
        EXPECT_EQ(vantle_rwlock_rdlock(&lock), 0);
        EXPECT_EQ(vantle_rwlock_unlock(&lock), 0);
    });
    other.join();
    EXPECT_TRUE(underlying_held(&lock));
    ASSERT_EQ(vantle_rwlock_unlock(&lock), 0);
    EXPECT_FALSE(underlying_held(&lock));
}

TEST(VantleRwlockDeathTest, UnlockWithoutAHoldStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    vantle_rwlock lock;
    ASSERT_EQ(vantle_rwlock_init(&lock), 0);
    EXPECT_DEATH(
        {
            log_open("common_tests", LOG_OPTIONS_STDERR);
            vantle_rwlock_unlock(&lock);
        },
        "vantle_rwlock_unlock: failed assertion '\\*pLockCount != 0'");
}

}  // namespace
