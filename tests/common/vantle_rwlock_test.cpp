// The counted read lock: nested holds take the underlying lock once, releases balance, and an
// unbalanced unlock stops the process.
#include "common/log.h"
#include "volumes/vantle_rwlock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

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

TEST(VantleRwlock, NestedHoldsTakeTheUnderlyingLockOnce) {
    vantle_rwlock lock;
    ASSERT_EQ(vantle_rwlock_init(&lock), 0);
    EXPECT_FALSE(underlying_held(&lock));
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(vantle_rwlock_rdlock(&lock), 0);
    EXPECT_TRUE(underlying_held(&lock));
    ASSERT_EQ(vantle_rwlock_unlock(&lock), 0);
    ASSERT_EQ(vantle_rwlock_unlock(&lock), 0);
    EXPECT_TRUE(underlying_held(&lock));
    ASSERT_EQ(vantle_rwlock_unlock(&lock), 0);
    EXPECT_FALSE(underlying_held(&lock));
}

TEST(VantleRwlock, ThreadsHoldTogetherAndCountsArePerThread) {
    vantle_rwlock lock;
    ASSERT_EQ(vantle_rwlock_init(&lock), 0);
    ASSERT_EQ(vantle_rwlock_rdlock(&lock), 0);
    std::atomic<int> entered{0};
    std::thread a([&] {
        ASSERT_EQ(vantle_rwlock_rdlock(&lock), 0);
        entered++;
        ASSERT_EQ(vantle_rwlock_unlock(&lock), 0);
    });
    a.join();
    EXPECT_EQ(entered, 1);
    // The other thread's release left this thread's hold in place.
    EXPECT_TRUE(underlying_held(&lock));
    ASSERT_EQ(vantle_rwlock_unlock(&lock), 0);
    // A fresh thread starts again at zero and balances on its own.
    std::thread b([&] {
        ASSERT_EQ(vantle_rwlock_rdlock(&lock), 0);
        ASSERT_EQ(vantle_rwlock_unlock(&lock), 0);
    });
    b.join();
    EXPECT_FALSE(underlying_held(&lock));
}

TEST(VantleRwlockDeathTest, UnlockWithoutAHoldStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    vantle_rwlock lock;
    ASSERT_EQ(vantle_rwlock_init(&lock), 0);
    EXPECT_DEATH(
        {
            log_open("vantle_rwlock_test", LOG_OPTIONS_STDERR);
            vantle_rwlock_unlock(&lock);
        },
        "vantle_rwlock_unlock: failed assertion '\\*pLockCount != 0'");
}

}  // namespace
