// The shared CRC in both forms, bounded path copies, bucket arrays, and the counted read lock.
#include "common/buckets.h"
#include "common/crc.h"
#include "common/limits.h"
#include "common/log.h"
#include "volumes/vantle_rwlock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace {

// Known values, the string form, 0 reported as 1, and the eight-byte folding agreeing with the
// plain bytewise definition at every length and alignment.
TEST(Crc, KnownValuesAndTheFoldedStepsMatchTheDefinition) {
    EXPECT_EQ(log_checksum("abc\0def", 0), 0x2C17398Cu);
    EXPECT_EQ(log_checksum_alt("abc\0def", 0), 0x4593E01Eu);
    EXPECT_EQ(path_hash("abc"), 0x2C17398Cu);
    unsigned char data[300] = {};
    EXPECT_TRUE(log_checksum(data, 16) == 1 && log_checksum_alt(data, 16) == 1);
    for (int i = 0; i < 300; i++)
        data[i] = static_cast<unsigned char>(i * 37 + 11);
    for (size_t start = 0; start < 8; start++)
        for (size_t len = 1; len + start <= sizeof data; len += 7) {
            uint32_t crc = 0;
            for (size_t i = start; i < start + len; i++)
                crc = crc_table[data[i] ^ (crc >> 24)] ^ (crc << 8);
            ASSERT_EQ(log_checksum(data + start, uint32_t(len)), crc ? crc : 1u)
                << start << " " << len;
        }
}

TEST(PathCopyAndBuckets, TruncateAndRoundDownAtTheirBounds) {
    char dst[8];
    EXPECT_EQ(path_copy(dst, "abcdefghij", sizeof dst), 10u);
    EXPECT_STREQ(dst, "abcdefg");
    for (auto [count, want] :
         {std::pair<int64_t, uint32_t>{1, 0}, {3, 1}, {4096, 4095}, {5000, 4095}}) {
        uint32_t mask = 0xDEAD;
        void** buckets = alloc_buckets(count, &mask);
        EXPECT_TRUE(buckets && mask == want && buckets[mask] == nullptr) << count;
        free(buckets);
    }
    EXPECT_EQ(alloc_buckets(0, nullptr), nullptr);  // refused before the mask is touched
    EXPECT_EQ(alloc_buckets(-5, nullptr), nullptr);
}

// True while some thread holds the underlying lock for reading.
bool underlying_held(vantle_rwlock* lock) {
    bool held = true;
    std::thread([&] {
        held =
            pthread_rwlock_trywrlock(&lock->lock) != 0 || pthread_rwlock_unlock(&lock->lock) != 0;
    }).join();
    return held;
}

// Nested holds take the underlying lock once and balance per thread; an unheld unlock is fatal.
TEST(VantleRwlockDeathTest, NestedHoldsBalancePerThreadAndAnUnheldUnlockStops) {
    vantle_rwlock lock;
    ASSERT_EQ(vantle_rwlock_init(&lock), 0);
    ASSERT_TRUE(vantle_rwlock_rdlock(&lock) == 0 && vantle_rwlock_rdlock(&lock) == 0);
    ASSERT_EQ(vantle_rwlock_unlock(&lock), 0);
    EXPECT_TRUE(underlying_held(&lock));
    std::thread([&] {
        EXPECT_TRUE(vantle_rwlock_rdlock(&lock) == 0 && vantle_rwlock_unlock(&lock) == 0);
    }).join();
    EXPECT_TRUE(underlying_held(&lock));
    ASSERT_EQ(vantle_rwlock_unlock(&lock), 0);
    EXPECT_FALSE(underlying_held(&lock));
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH((log_open("common_tests", LOG_OPTIONS_STDERR), vantle_rwlock_unlock(&lock)),
                 "vantle_rwlock_unlock: failed assertion '\\*pLockCount != 0'");
}

}  // namespace
