// The generation map: entries in use survive generations while the size stays bounded, and
// erase, replace and clear reach both generations.
#include "platform/generation_map.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(GenerationMap, EntriesInUseSurviveWhileTheCacheStaysBounded) {
    generation_map<std::string> cache{{}, {}, 8};
    for (int i = 0; i < 3; i++)
        gen_insert(&cache, "k" + std::to_string(i), "/d" + std::to_string(i));
    for (int round = 0; round < 10; round++) {
        for (int i = 0; i < 3; i++) {
            const std::string* path = gen_find(&cache, "k" + std::to_string(i));
            ASSERT_NE(nullptr, path) << "round " << round << ", k" << i;
            EXPECT_EQ("/d" + std::to_string(i), *path);
        }
        for (int i = 0; i < 4; i++)
            gen_insert(&cache, "r" + std::to_string(round * 10 + i), "/x");
        EXPECT_LE(gen_size(&cache), 16u);
    }
    EXPECT_EQ(nullptr, gen_find(&cache, "r0"));
    EXPECT_NE(nullptr, gen_find(&cache, "r93"));
}

TEST(GenerationMap, EraseReplaceAndClearReachBothGenerations) {
    generation_map<std::string> cache{{}, {}, 2};
    gen_insert(&cache, "old", "/old");
    gen_insert(&cache, "a", "/a");
    gen_insert(&cache, "b", "");  // "old" and "a" now in the previous generation
    gen_erase(&cache, "old");
    EXPECT_EQ(nullptr, gen_find(&cache, "old"));
    ASSERT_NE(nullptr, gen_find(&cache, "b"));  // an empty value is still an entry
    gen_insert(&cache, "a", "/renamed");
    EXPECT_EQ("/renamed", *gen_find(&cache, "a"));
    gen_clear(&cache);
    EXPECT_EQ(0u, gen_size(&cache));
    EXPECT_EQ(nullptr, gen_find(&cache, "a"));
}

}  // namespace
