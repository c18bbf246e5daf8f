// The event table: merging per path and pid class, normalisation, revival and freeing of released
// records, and growth up to its cap.
#include "clients/client_tables.h"
#include "clients/event_table.h"
#include "clients/marked_pids.h"
#include "common/crc.h"
#include "common/log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <vector>

namespace {

class EventTable : public ::testing::Test {
protected:
    event_table table{};

    void SetUp() override {
        log_open("intake_tests", LOG_PERROR);
        ASSERT_EQ(event_table_init(&table, EVENT_TABLE_INITIAL_BUCKETS), 0);
    }
    void TearDown() override { event_table_free(&table); }

    event_record* add(std::string path, int32_t pid = 10, uint32_t flags = EVENT_DELETE,
                      uint64_t id = 1, uint32_t dev = 1) {
        return add_event(&table, pid, dev, path.data(), flags, id);  // normalised in the copy
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
            for (event_record* r = *link; r; link = &r->next, r = r->next, records++)
                EXPECT_TRUE(bucket_of(r->path) == b && r->pprev == link) << r->path;
        }
        EXPECT_EQ(filled, table.filled);
        return records;
    }
};

// A merge ORs the flags and takes pid and id but keeps the first device; a marked process's
// records are its own; paths are normalised and cut; a released record revives with fresh flags.
TEST_F(EventTable, MergesPerPathAndPidClassAndRevivesReleasedRecords) {
    event_record* first = add("/a/f", 10, EVENT_CREATE_FILE, 5, 1);
    EXPECT_EQ(add("/a//f", 11, EVENT_CONTENT_MODIFIED, 6, 2), first);
    EXPECT_EQ(first->refcount.load(), 2);
    EXPECT_EQ(first->flags, EVENT_CREATE_FILE | EVENT_CONTENT_MODIFIED);
    EXPECT_TRUE(first->id == 6u && first->pid == 11u && first->dev == 1u);
    EXPECT_NE(add("/a"), first);  // a prefix is another path
    marked_pids_add(4242);
    event_record* marked = add("/a/f", 4242);
    EXPECT_NE(marked, first);
    EXPECT_EQ(add("/a/f", 4242), marked);
    marked_pids_remove(4242);
    EXPECT_EQ(check_table(), 3u);

    char doubled[] = "//b///c//";
    event_record* r = add_event(&table, 1, 1, doubled, EVENT_CREATE_FILE, 1);
    EXPECT_STREQ(doubled, "/b/c/");
    EXPECT_EQ(r->path_length, 6u);
    EXPECT_EQ(remove_event_ref(r), 0);
    EXPECT_EQ(add("/b/c/", 10, EVENT_DELETE, 2), r);
    EXPECT_TRUE(r->refcount.load() == 1 && r->flags == EVENT_DELETE && r->id == 2u);
    EXPECT_EQ(add("/" + std::string(1100, 'x'))->path_length, EVENT_TABLE_PATH_MAX + 1);
}

// Released records of other paths in the chain an add walks are freed on the way, held ones
// stay; a pass of sweeps (64 buckets each) frees the others, its cursor wrapping.
TEST_F(EventTable, ReleasedRecordsAreFreedOnTheWayAndByTheSweep) {
    std::vector<std::string> same;  // three paths that share a bucket
    for (int n = 0; same.size() < 3; n++)
        if (same.empty() || bucket_of("/p/" + std::to_string(n)) == bucket_of(same[0]))
            same.push_back("/p/" + std::to_string(n));
    remove_event_ref(add(same[0]));
    remove_event_ref(add(same[1]));
    event_record* kept = add(same[2]);
    EXPECT_EQ(check_table(), 1u);
    EXPECT_EQ(table.buckets[bucket_of(same[0])], kept);
    remove_event_ref(add("/s/1"));
    remove_event_ref(add("/s/2"));
    table.cursor = 0xFFFFFFC0u;
    for (int i = 0; i < 64; i++)
        sweep_event_table(&table);
    EXPECT_EQ(check_table(), 1u);
    EXPECT_EQ(clients.event_records_referenced.load(), 1);
}

// Records already released do not make the table grow: before doubling it frees them all, and
// it doubles only while half of its buckets stay in use.
TEST_F(EventTable, FreesReleasedRecordsInsteadOfGrowingForThem) {
    for (int n = 0; n < 100000; n++)
        remove_event_ref(add("/r/" + std::to_string(n)));
    EXPECT_EQ(table.mask, EVENT_TABLE_INITIAL_BUCKETS - 1);
    EXPECT_LT(check_table(), size_t(EVENT_TABLE_INITIAL_BUCKETS) * 2);
    std::vector<event_record*> held;
    for (int n = 0; n < 20000; n++)
        held.push_back(add("/h/" + std::to_string(n)));
    EXPECT_GT(table.mask, EVENT_TABLE_INITIAL_BUCKETS - 1);  // held records still make room
    EXPECT_EQ(check_table(), held.size());
}

// The table grows as paths come, keeping every record findable, up to its largest size, where it
// stops growing and says so once.
TEST_F(EventTable, GrowsKeepingEveryRecordUpToItsCap) {
    std::vector<event_record*> records;
    while (table.mask < 0x3FFFF || table.filled * 4 < table.mask * 3 + 3)
        records.push_back(add("/g/" + std::to_string(records.size())));
    EXPECT_EQ(check_table(), records.size());
    ::testing::internal::CaptureStderr();
    for (size_t n = 0; n < records.size(); n += 997)
        EXPECT_EQ(add("/g/" + std::to_string(n)), records[n]);
    add("/g/over");
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(table.mask, 0x3FFFFu);
    size_t at = log.find("event table has grown too large. (filled");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log.find("event table has grown too large.", at + 1), std::string::npos);
}

}  // namespace
