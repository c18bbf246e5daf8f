// Event table tests: merging per path and pid class, path normalisation, revival, the sweep,
// growth at three quarters of the buckets, and the reference-count checks that stop the
// daemon.
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

    void SetUp() override {
        crc_table_init();
        log_open("intake_tests", LOG_PERROR);
        ASSERT_EQ(event_table_init(&table, EVENT_TABLE_INITIAL_BUCKETS), 0);
        ASSERT_EQ(table.mask, 0xFFFu);
    }
    void TearDown() override { event_table_free(&table); }

    event_record* add(const std::string& path, int32_t pid = 10, uint32_t flags = EVENT_DELETE,
                      uint64_t id = 1, uint32_t dev = 1) {
        std::vector<char> buffer(path.begin(), path.end());
        buffer.push_back('\0');
        return add_event(&table, pid, dev, buffer.data(), flags, id);
    }

    // Checks the table's invariants: every record in the bucket of its hash, pprev links
    // consistent, filled = non-empty buckets. Returns the number of records.
    size_t check_table() {
        size_t records = 0;
        uint32_t filled = 0;
        for (uint32_t b = 0; b <= table.mask; b++) {
            event_record** link = &table.buckets[b];
            filled += *link != nullptr;
            for (event_record* r = *link; r; link = &r->next, r = r->next) {
                EXPECT_EQ(path_hash(r->path) & table.mask, b);
                EXPECT_EQ(r->pprev, link);
                records++;
            }
        }
        EXPECT_EQ(filled, table.filled);
        return records;
    }

    // A path, not yet in the table, whose bucket satisfies want.
    template <typename F>
    std::string path_in_bucket(F want, int* counter) {
        for (;;) {
            std::string p = "/p/" + std::to_string((*counter)++);
            if (want(path_hash(p.c_str()) & table.mask))
                return p;
        }
    }
};

TEST_F(EventTable, MergesPendingEventsForOnePath) {
    event_record* first = add("/a/f", 10, EVENT_CREATE_FILE, 5, 1);
    event_record* second = add("/a/f", 11, EVENT_CONTENT_MODIFIED, 6, 2);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->refcount.load(), 2);
    EXPECT_EQ(first->flags, EVENT_CREATE_FILE | EVENT_CONTENT_MODIFIED);
    EXPECT_EQ(first->id, 6u);
    EXPECT_EQ(first->pid, 11u);
    EXPECT_EQ(first->dev, 1);  // the first device stays
    EXPECT_NE(add("/a/f2"), first);
    EXPECT_NE(add("/a"), first);  // a prefix of the path is another path
    EXPECT_EQ(check_table(), 3u);
}

TEST_F(EventTable, MarkedProcessesKeepTheirOwnRecords) {
    constexpr int32_t MARKED = 4242;
    marked_pids_add(MARKED);
    event_record* plain = add("/m", 10);
    event_record* other_plain = add("/m", 11);
    event_record* marked = add("/m", MARKED);
    event_record* marked_again = add("/m", MARKED);
    marked_pids_remove(MARKED);
    EXPECT_EQ(plain, other_plain);
    EXPECT_NE(plain, marked);
    EXPECT_EQ(marked, marked_again);
    EXPECT_EQ(check_table(), 2u);
}

TEST_F(EventTable, NormalisesThePathInPlace) {
    char doubled[] = "//a///b//";
    event_record* r = add_event(&table, 1, 1, doubled, EVENT_DELETE, 1);
    EXPECT_STREQ(doubled, "/a/b/");
    EXPECT_STREQ(r->path, "/a/b/");
    EXPECT_EQ(r->path_length, 6u);
    EXPECT_EQ(add("/a/b/"), r);

    std::string longer = "/" + std::string(1100, 'x');
    std::vector<char> buffer(longer.begin(), longer.end());
    buffer.push_back('\0');
    event_record* cut = add_event(&table, 1, 1, buffer.data(), EVENT_DELETE, 1);
    EXPECT_EQ(strlen(buffer.data()), EVENT_TABLE_PATH_MAX);
    EXPECT_EQ(cut->path_length, EVENT_TABLE_PATH_MAX + 1);
}

TEST_F(EventTable, ReleasedRecordIsRevivedWithFreshFlags) {
    event_record* r = add("/r", 10, EVENT_CREATE_FILE, 1);
    EXPECT_EQ(remove_event_ref(r), 0);
    event_record* again = add("/r", 10, EVENT_DELETE, 2);
    EXPECT_EQ(again, r);
    EXPECT_EQ(r->refcount.load(), 1);
    EXPECT_EQ(r->flags, EVENT_DELETE);
    EXPECT_EQ(r->id, 2u);
}

// Released records of other paths in the chain an add walks are freed on the way; held ones
// stay, and a bucket the walk empties before the new record goes in is counted once.
TEST_F(EventTable, AddFreesReleasedRecordsItWalksPast) {
    int n = 0;
    std::string first = path_in_bucket([](uint32_t) { return true; }, &n);
    uint32_t bucket = path_hash(first.c_str()) & table.mask;
    auto same_bucket = [&](uint32_t b) { return b == bucket; };
    std::string second = path_in_bucket(same_bucket, &n);
    std::string held = path_in_bucket(same_bucket, &n);
    std::string last = path_in_bucket(same_bucket, &n);

    event_record* a = add(first);
    event_record* b = add(second);  // walks past first, held: kept
    EXPECT_EQ(check_table(), 2u);
    remove_event_ref(a);
    remove_event_ref(b);
    event_record* kept = add(held);  // frees both released records
    EXPECT_EQ(check_table(), 1u);
    EXPECT_EQ(table.buckets[bucket], kept);
    EXPECT_EQ(table.filled, 1u);

    remove_event_ref(kept);
    event_record* fresh = add(last);  // empties the bucket, then fills it again
    EXPECT_EQ(check_table(), 1u);
    EXPECT_EQ(table.buckets[bucket], fresh);
    EXPECT_EQ(table.filled, 1u);
    EXPECT_EQ(event_records_referenced.load(), 1);
}

TEST_F(EventTable, SweepFreesReleasedRecords64BucketsAtATime) {
    int n = 0;
    std::string low = path_in_bucket([](uint32_t b) { return b < 64; }, &n);
    std::string high = path_in_bucket([](uint32_t b) { return b >= 64 && b < 128; }, &n);
    std::string held = path_in_bucket([](uint32_t b) { return b >= 128; }, &n);
    uint32_t low_bucket = path_hash(low.c_str()) & table.mask;
    uint32_t high_bucket = path_hash(high.c_str()) & table.mask;
    remove_event_ref(add(low));
    remove_event_ref(add(high));
    event_record* kept = add(held);
    EXPECT_EQ(table.filled, 3u);

    sweep_event_table(&table);
    EXPECT_EQ(table.cursor, 64u);
    EXPECT_EQ(table.buckets[low_bucket], nullptr);
    EXPECT_NE(table.buckets[high_bucket], nullptr);  // beyond this sweep's 64 buckets
    EXPECT_EQ(table.filled, 2u);
    sweep_event_table(&table);
    EXPECT_EQ(table.buckets[high_bucket], nullptr);
    EXPECT_EQ(table.filled, 1u);
    EXPECT_EQ(check_table(), 1u);
    EXPECT_EQ(add(held), kept);

    // The cursor wraps: a sweep at the top of the range visits buckets as usual.
    table.cursor = 0xFFFFFFC0u;
    sweep_event_table(&table);
    EXPECT_EQ(table.cursor, 0u);
}

TEST_F(EventTable, GrowsWhenThreeQuartersOfTheBucketsAreInUse) {
    int n = 0;
    std::vector<bool> used(table.mask + 1);
    size_t records = 0;
    auto add_in_new_bucket = [&] {
        std::string p = path_in_bucket([&](uint32_t b) { return !used[b]; }, &n);
        used[path_hash(p.c_str()) & table.mask] = true;
        records++;
        return add(p);
    };
    while (table.filled < 3071)
        ASSERT_NE(add_in_new_bucket(), nullptr);
    // Extra records in used buckets do not count towards the load.
    for (int i = 0; i < 100; i++) {
        ASSERT_NE(add(path_in_bucket([&](uint32_t b) { return used[b]; }, &n)), nullptr);
        records++;
    }
    ASSERT_NE(add_in_new_bucket(), nullptr);  // the 3072nd bucket in use
    table.cursor = 99;
    EXPECT_EQ(table.mask, 0xFFFu);
    EXPECT_EQ(table.filled, 3072u);
    ASSERT_NE(add("/the/next/one"), nullptr);
    records++;
    EXPECT_EQ(table.mask, 0x1FFFu);
    EXPECT_EQ(table.cursor, 0u);
    EXPECT_EQ(check_table(), records);
}

TEST_F(EventTable, StopsGrowingAtItsLargestSize) {
    int n = 0;
    while (table.mask < 0x3FFFF || table.filled * 4 < table.mask * 3 + 3)
        ASSERT_NE(add("/g/" + std::to_string(n++)), nullptr);
    EXPECT_EQ(table.too_large, 0u);
    ::testing::internal::CaptureStderr();
    add("/g/over");
    add("/g/over/again");
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(table.mask, 0x3FFFFu);
    EXPECT_EQ(table.too_large, 1u);
    size_t at = log.find("event table has grown too large. (filled");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log.find("event table has grown too large.", at + 1), std::string::npos);
    EXPECT_EQ(check_table(), size_t(n) + 2);
}

TEST_F(EventTable, ClientMapBits) {
    event_record* r = add("/c");
    EXPECT_FALSE(client_map_set(r, 0));
    EXPECT_TRUE(client_map_set(r, 0));
    EXPECT_FALSE(client_map_set(r, 9));
    EXPECT_FALSE(client_map_set(r, 511));
    EXPECT_EQ(r->client_map[0].load(), 0x80);
    EXPECT_EQ(r->client_map[1].load(), 0x40);
    EXPECT_EQ(r->client_map[63].load(), 0x01);
    client_map_clear(r, 9);
    EXPECT_FALSE(client_map_test(r, 9));
    EXPECT_TRUE(client_map_test(r, 0));
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
