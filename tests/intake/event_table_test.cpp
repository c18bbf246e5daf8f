// The event table: merging per path and pid class, path normalisation, revival, freeing of
// released records (on the way and by the sweep), growth and its cap, and the reference-count
// checks that stop the daemon.
#include "intake/event_table.h"

#include "common/crc.h"
#include "common/log.h"
#include "server/registry.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

namespace {

class EventTable : public ::testing::Test {
protected:
    event_table table{};
    int counter = 0;

    void SetUp() override {
        crc_table_init();
        log_open("intake_tests", LOG_PERROR);
        ASSERT_EQ(event_table_init(&table, EVENT_TABLE_INITIAL_BUCKETS), 0);
    }
    void TearDown() override { event_table_free(&table); }

    event_record* add(const std::string& path, int32_t pid = 10, uint32_t flags = EVENT_DELETE,
                      uint64_t id = 1, uint32_t dev = 1) {
        std::vector<char> buffer(path.begin(), path.end());
        buffer.push_back('\0');
        return add_event(&table, pid, dev, buffer.data(), flags, id);
    }
    uint32_t bucket_of(const std::string& p) { return path_hash(p.c_str()) & table.mask; }

    // Every record in the bucket of its hash with consistent links, filled = non-empty
    // buckets. Returns the number of records.
    size_t check_table() {
        size_t records = 0;
        uint32_t filled = 0;
        for (uint32_t b = 0; b <= table.mask; b++) {
            event_record** link = &table.buckets[b];
            filled += *link != nullptr;
            for (event_record* r = *link; r; link = &r->next, r = r->next, records++) {
                EXPECT_EQ(bucket_of(r->path), b);
                EXPECT_EQ(r->pprev, link);
            }
        }
        EXPECT_EQ(filled, table.filled);
        return records;
    }

    // A new path whose bucket satisfies want.
    template <typename F>
    std::string path_in_bucket(F want) {
        for (;;) {
            std::string p = "/p/" + std::to_string(counter++);
            if (want(bucket_of(p)))
                return p;
        }
    }
};

TEST_F(EventTable, MergesPendingEventsPerPathAndPidClass) {
    event_record* first = add("/a/f", 10, EVENT_CREATE_FILE, 5, 1);
    EXPECT_EQ(add("/a/f", 11, EVENT_CONTENT_MODIFIED, 6, 2), first);
    EXPECT_EQ(first->refcount.load(), 2);
    EXPECT_EQ(first->flags, EVENT_CREATE_FILE | EVENT_CONTENT_MODIFIED);
    EXPECT_EQ(first->id, 6u);
    EXPECT_EQ(first->pid, 11u);
    EXPECT_EQ(first->dev, 1);     // the first device stays
    EXPECT_NE(add("/a"), first);  // a prefix is another path

    // A marked process's records are its own.
    constexpr int32_t MARKED = 4242;
    marked_pids_add(MARKED);
    event_record* marked = add("/a/f", MARKED);
    EXPECT_NE(marked, first);
    EXPECT_EQ(add("/a/f", MARKED), marked);
    marked_pids_remove(MARKED);
    EXPECT_FALSE(is_marked_pid(MARKED));
    EXPECT_EQ(check_table(), 3u);
}

TEST_F(EventTable, NormalisesInPlaceAndRevivesReleasedRecords) {
    char doubled[] = "//a///b//";
    event_record* r = add_event(&table, 1, 1, doubled, EVENT_CREATE_FILE, 1);
    EXPECT_STREQ(doubled, "/a/b/");
    EXPECT_EQ(r->path_length, 6u);
    EXPECT_EQ(remove_event_ref(r), 0);
    EXPECT_EQ(add("/a/b/", 10, EVENT_DELETE, 2), r);
    EXPECT_EQ(r->refcount.load(), 1);
    EXPECT_EQ(r->flags, EVENT_DELETE);  // fresh flags
    EXPECT_EQ(r->id, 2u);

    std::string longer = "/" + std::string(1100, 'x');
    std::vector<char> buffer(longer.begin(), longer.end());
    buffer.push_back('\0');
    event_record* cut = add_event(&table, 1, 1, buffer.data(), EVENT_DELETE, 1);
    EXPECT_EQ(strlen(buffer.data()), EVENT_TABLE_PATH_MAX);
    EXPECT_EQ(cut->path_length, EVENT_TABLE_PATH_MAX + 1);
}

// Released records of other paths in the chain an add walks are freed on the way, held ones
// stay; a bucket emptied by the walk and filled again is counted once.
TEST_F(EventTable, AddFreesReleasedRecordsItWalksPast) {
    std::string first = path_in_bucket([](uint32_t) { return true; });
    uint32_t bucket = bucket_of(first);
    auto same = [&](uint32_t b) { return b == bucket; };
    std::string second = path_in_bucket(same), held = path_in_bucket(same),
                last = path_in_bucket(same);
    event_record* a = add(first);
    event_record* b = add(second);
    remove_event_ref(a);
    remove_event_ref(b);
    event_record* kept = add(held);
    EXPECT_EQ(check_table(), 1u);
    EXPECT_EQ(table.buckets[bucket], kept);
    remove_event_ref(kept);
    event_record* fresh = add(last);
    EXPECT_EQ(check_table(), 1u);
    EXPECT_EQ(table.buckets[bucket], fresh);
    EXPECT_EQ(table.filled, 1u);
    EXPECT_EQ(event_records_referenced.load(), 1);
}

TEST_F(EventTable, SweepFreesReleasedRecords64BucketsAtATime) {
    std::string low = path_in_bucket([](uint32_t b) { return b < 64; });
    std::string high = path_in_bucket([](uint32_t b) { return b >= 64 && b < 128; });
    std::string held = path_in_bucket([](uint32_t b) { return b >= 128; });
    remove_event_ref(add(low));
    remove_event_ref(add(high));
    event_record* kept = add(held);
    sweep_event_table(&table);
    EXPECT_EQ(table.buckets[bucket_of(low)], nullptr);
    EXPECT_NE(table.buckets[bucket_of(high)], nullptr);  // beyond this sweep's 64 buckets
    EXPECT_EQ(table.filled, 2u);
    sweep_event_table(&table);
    EXPECT_EQ(table.buckets[bucket_of(high)], nullptr);
    EXPECT_EQ(check_table(), 1u);
    EXPECT_EQ(add(held), kept);
    table.cursor = 0xFFFFFFC0u;  // the cursor wraps
    sweep_event_table(&table);
    EXPECT_EQ(table.cursor, 0u);
}

// Growth at three quarters of the buckets in use (records sharing a bucket do not count).
TEST_F(EventTable, GrowsWhenThreeQuartersOfTheBucketsAreInUse) {
    std::vector<bool> used(table.mask + 1);
    size_t records = 0;
    auto add_in = [&](bool new_bucket) {
        std::string p = path_in_bucket([&](uint32_t b) { return used[b] != new_bucket; });
        used[bucket_of(p)] = true;
        records++;
        return add(p);
    };
    ASSERT_NE(add_in(true), nullptr);
    while (table.filled < 3071)
        ASSERT_NE(add_in(true), nullptr);
    for (int i = 0; i < 100; i++)
        ASSERT_NE(add_in(false), nullptr);
    ASSERT_NE(add_in(true), nullptr);
    table.cursor = 99;
    EXPECT_EQ(table.mask, 0xFFFu);
    ASSERT_NE(add("/the/next/one"), nullptr);
    EXPECT_EQ(table.mask, 0x1FFFu);
    EXPECT_EQ(table.cursor, 0u);
    EXPECT_EQ(check_table(), records + 1);
}

TEST_F(EventTable, StopsGrowingAtItsLargestSize) {
    int n = 0;
    while (table.mask < 0x3FFFF || table.filled * 4 < table.mask * 3 + 3)
        ASSERT_NE(add("/g/" + std::to_string(n++)), nullptr);
    ::testing::internal::CaptureStderr();
    add("/g/over");
    add("/g/over/again");
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(table.mask, 0x3FFFFu);
    size_t at = log.find("event table has grown too large. (filled");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log.find("event table has grown too large.", at + 1), std::string::npos);  // once
    EXPECT_EQ(check_table(), size_t(n) + 2);
}

using EventTableDeathTest = EventTable;

TEST_F(EventTableDeathTest, BogusReferenceCounts) {
    event_record* r = add("/bogus");
    EXPECT_EQ(remove_event_ref(r), 0);
    EXPECT_DEATH(remove_event_ref(r),
                 "remove_event_ref: event @ 0x[0-9a-f]+ had bogus refcount -1.*"
                 "remove_event_ref: path: /bogus.*"
                 "remove_event_ref: mask 0x2 dev 1 client_map 0x0 0x0");
    r->refcount = -2;
    EXPECT_DEATH(take_event_ref(r), "add_event_ref: event @ 0x[0-9a-f]+ had bogus refcount -1");
    r->refcount = -3;
    EXPECT_DEATH(add("/bogus"), "consumer thread: bad ref count -2 on entry");
    r->refcount = 1;
}

}  // namespace
