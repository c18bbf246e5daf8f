// The directory-path cache: entries in use survive generations, memory stays bounded, and
// erase and clear reach both generations.
#include "platform/dir_path_cache.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DirPathCache, EntriesInUseSurviveWhileTheCacheStaysBounded) {
    dir_path_cache cache{{}, {}, 8};
    for (int i = 0; i < 3; i++)
        dir_cache_insert(&cache, "k" + std::to_string(i), "/d" + std::to_string(i));
    // Three directories looked up again and again among a stream of new ones: they stay,
    // the new ones go two generations after their last use, and the size stays bounded.
    for (int round = 0; round < 10; round++) {
        for (int i = 0; i < 3; i++) {
            const std::string* path = dir_cache_find(&cache, "k" + std::to_string(i));
            ASSERT_NE(nullptr, path) << "round " << round << ", k" << i;
            EXPECT_EQ("/d" + std::to_string(i), *path);
        }
        for (int i = 0; i < 4; i++)
            dir_cache_insert(&cache, "r" + std::to_string(round * 10 + i), "/x");
        EXPECT_LE(dir_cache_size(&cache), 16u);
    }
    EXPECT_EQ(nullptr, dir_cache_find(&cache, "r0"));
    EXPECT_NE(nullptr, dir_cache_find(&cache, "r93"));
}

TEST(DirPathCache, EraseAndClearReachBothGenerations) {
    dir_path_cache cache{{}, {}, 2};
    dir_cache_insert(&cache, "old", "/old");
    dir_cache_insert(&cache, "a", "/a");
    dir_cache_insert(&cache, "b", "");  // a directory out of view is cached as ""
    dir_cache_erase(&cache, "old");     // in the previous generation
    EXPECT_EQ(nullptr, dir_cache_find(&cache, "old"));
    const std::string* hidden = dir_cache_find(&cache, "b");
    ASSERT_NE(nullptr, hidden);
    EXPECT_TRUE(hidden->empty());
    dir_cache_insert(&cache, "a", "/renamed");
    EXPECT_EQ("/renamed", *dir_cache_find(&cache, "a"));
    dir_cache_clear(&cache);
    EXPECT_EQ(0u, dir_cache_size(&cache));
    EXPECT_EQ(nullptr, dir_cache_find(&cache, "a"));
}

}  // namespace
