// Bucket arrays: largest power of two not above the request, zeroed, with its mask.
#include "common/buckets.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(AllocBuckets, RoundsDownToAPowerOfTwo) {
    struct Case {
        int64_t count;
        uint32_t mask;
    };
    for (Case c : {Case{1, 0}, Case{2, 1}, Case{3, 1}, Case{4096, 4095}, Case{5000, 4095},
                   Case{0x80000, 0x7FFFF}}) {
        uint32_t mask = 0xDEAD;
        void** buckets = alloc_buckets(c.count, &mask);
        ASSERT_NE(buckets, nullptr) << c.count;
        EXPECT_EQ(mask, c.mask) << c.count;
        for (uint64_t i = 0; i <= mask; i++)
            ASSERT_EQ(buckets[i], nullptr);
        free(buckets);
    }
}

TEST(AllocBuckets, RefusesCountsBelowOne) {
    uint32_t mask = 7;
    EXPECT_EQ(alloc_buckets(0, &mask), nullptr);
    EXPECT_EQ(alloc_buckets(-5, &mask), nullptr);
    EXPECT_EQ(mask, 7u);
}

}  // namespace
