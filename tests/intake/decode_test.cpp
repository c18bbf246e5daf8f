// Decoder tests: how records become events (ids, flags, path fix-ups, document ids, dropped
// records, the id wrap) and that no malformed stretch makes it read outside its bytes. Every
// stretch is decoded from a heap copy of exactly its length, so ASan catches any overrun.
#include "intake/decode.h"
#include "intake/event_ids.h"
#include "record_builder.h"

#include "common/log.h"
#include "volumes/dev_info.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdlib>

namespace {

constexpr uint32_t MODE_FILE = 0x81a4;
constexpr uint32_t MODE_DIR = 0x41ed;
constexpr uint64_t START_ID = 1000;

class Decode : public ::testing::Test {
protected:
    void SetUp() override {
        log_open("intake_tests", LOG_PERROR);
        publish_event_id(START_ID);
        kernel_extended_info = 0;
        sunk.clear();
    }

    // Decodes a copy of exactly the stream's bytes; returns what the decoder left in them.
    std::vector<uint8_t> decode(const std::vector<uint8_t>& stream) {
        auto* copy = static_cast<uint8_t*>(malloc(stream.empty() ? 1 : stream.size()));
        if (!stream.empty())
            memcpy(copy, stream.data(), stream.size());
        EXPECT_EQ(decode_kernel_records(copy, uint32_t(stream.size()), nullptr, record_sink), 1);
        std::vector<uint8_t> after(copy, copy + stream.size());
        free(copy);
        return after;
    }

    std::string decode_logged(const std::vector<uint8_t>& stream) {
        ::testing::internal::CaptureStderr();
        decode(stream);
        return ::testing::internal::GetCapturedStderr();
    }
};

TEST_F(Decode, CreateFileGivesOneEventWithParentAsDirectory) {
    record_builder b;
    b.header(KREC_TYPE_CREATE_FILE, 77).path("/a/b").file_info(3, MODE_FILE).done();
    decode(b.bytes);
    ASSERT_EQ(sunk.size(), 1u);
    EXPECT_EQ(sunk[0].path, "/a/b");
    EXPECT_EQ(sunk[0].flags, 0x800001u);
    EXPECT_EQ(sunk[0].path_length, 5u);
    EXPECT_EQ(sunk[0].dir_length, 4u);  // "/a/" and a terminator
    EXPECT_EQ(sunk[0].pid, 77);
    EXPECT_EQ(sunk[0].dev, 3u);
    EXPECT_EQ(sunk[0].id, START_ID + 2);  // the path took START_ID + 1
    EXPECT_EQ(current_event_id(), START_ID + 2);
}

TEST_F(Decode, RenameTakesFourIdsAndGivesThreeEvents) {
    record_builder b;
    b.header(KREC_TYPE_RENAME).path("/d/old").file_info(3, MODE_FILE);
    b.path("/d/new").file_info(3, MODE_DIR).done();
    decode(b.bytes);
    ASSERT_EQ(sunk.size(), 3u);
    EXPECT_EQ(sunk[0].path, "/d/old");
    EXPECT_EQ(sunk[0].id, START_ID + 2);
    EXPECT_EQ(sunk[0].flags, EVENT_RENAME | EVENT_IS_FILE);
    EXPECT_EQ(sunk[1].path, "/d/new");  // the device is already known
    EXPECT_EQ(sunk[1].id, START_ID + 3);
    EXPECT_EQ(sunk[2].path, "/d/new");
    EXPECT_EQ(sunk[2].id, START_ID + 4);
    EXPECT_EQ(sunk[2].flags, EVENT_RENAME | EVENT_IS_FILE | EVENT_IS_DIR);  // both modes
    EXPECT_EQ(current_event_id(), START_ID + 4);
}

TEST_F(Decode, DeviceAndModeArguments) {
    // A path alone emits nothing, but its argument still takes an id.
    record_builder alone;
    alone.header(KREC_TYPE_DELETE).path("/x").done();
    decode(alone.bytes);
    EXPECT_TRUE(sunk.empty());
    EXPECT_EQ(current_event_id(), START_ID + 1);

    // A device argument emits the pending path; a mode argument only adds its bits.
    record_builder b;
    b.header(KREC_TYPE_DELETE).mode(0x4000 | KREC_MODE_HARDLINK).path("/x/y").dev(9).done();
    decode(b.bytes);
    ASSERT_EQ(sunk.size(), 1u);
    EXPECT_EQ(sunk[0].flags, EVENT_DELETE | EVENT_IS_DIR | EVENT_HARDLINK);
    EXPECT_EQ(sunk[0].dev, 9u);
    EXPECT_EQ(sunk[0].id, START_ID + 4);
}

TEST_F(Decode, DirectoryLevelEvents) {
    // Mode bit 29: the whole path is the directory part.
    record_builder b;
    b.header(KREC_TYPE_CONTENT_MODIFIED).path("/a/b").file_info(1, MODE_DIR | 0x20000000).done();
    // The mode carries over to the next record, which has none of its own.
    b.header(KREC_TYPE_CHOWN).dev(1).path("/c/d").done();
    decode(b.bytes);
    ASSERT_EQ(sunk.size(), 2u);
    EXPECT_EQ(sunk[0].dir_length, sunk[0].path_length);
    EXPECT_TRUE(sunk[0].flags & EVENT_DIR_LEVEL);
    EXPECT_EQ(sunk[1].dir_length, 5u);
    EXPECT_TRUE(sunk[1].flags & EVENT_DIR_LEVEL);

    // Record flag 0x2000 counts only once the kernel gave extended information.
    record_builder x;
    x.header(KREC_TYPE_STAT_CHANGED | KREC_FLAG_DIR_LEVEL).path("/e").dev(1).done();
    sunk.clear();
    decode(x.bytes);
    kernel_extended_info = 1;
    decode(x.bytes);
    ASSERT_EQ(sunk.size(), 2u);
    EXPECT_EQ(sunk[0].flags, EVENT_STAT_CHANGED);
    EXPECT_EQ(sunk[1].flags, EVENT_STAT_CHANGED | EVENT_DIR_LEVEL);
}

TEST_F(Decode, NamedForksReportTheItem) {
    struct {
        const char* in;
        const char* out;
        uint32_t dir_length;
        bool fork;
    } cases[] = {
        {"/dir/f/..namedfork/rsrc", "/dir/f", 6, true},
        {"/dir/x/x/..namedfork/rsrc", "/dir/x", 6, true},       // a repeated name gives the parent
        {"/dir//..namedfork/rsrc", "/dir/", 6, true},           // a trailing slash is kept
        {"/..namedfork/rsrc", "/..namedfork/rsrc", 14, false},  // no item before the fork
        {"/dir/..namedforks/rsrc", "/dir/..namedforks/rsrc", 19, false},
    };
    for (const auto& c : cases) {
        sunk.clear();
        record_builder b;
        b.header(KREC_TYPE_CONTENT_MODIFIED).path(c.in).file_info(1, MODE_FILE).done();
        decode(b.bytes);
        ASSERT_EQ(sunk.size(), 1u) << c.in;
        EXPECT_EQ(sunk[0].path, c.out) << c.in;
        EXPECT_EQ(sunk[0].path_length, strlen(c.out) + 1) << c.in;
        EXPECT_EQ(sunk[0].dir_length, c.dir_length) << c.in;
        EXPECT_EQ((sunk[0].flags & EVENT_XATTR_MODIFIED) != 0, c.fork) << c.in;
    }
}

TEST_F(Decode, DocumentIdPaths) {
    record_builder b;
    b.header(KREC_TYPE_DOCID_CREATED).dev(5).inode32(12).inode64(34).int64(99).done();
    b.header(KREC_TYPE_DOCID_CHANGED)
        .dev(0xFFFFFFFE)
        .inode64(1)
        .inode64(2)
        .int64(7)
        .int64(8)
        .done();
    // Not a document-id record: its 64-bit argument is ignored.
    b.header(KREC_TYPE_CREATE_FILE).inode32(1).inode32(2).int64(3).done();
    decode(b.bytes);
    ASSERT_EQ(sunk.size(), 3u);
    EXPECT_EQ(sunk[0].path, "/.docid/5/created/99/src=12,dst=34");
    EXPECT_EQ(sunk[0].dir_length, strlen("/.docid/5/created/99/") + 1);
    EXPECT_EQ(sunk[0].path_length, sunk[0].path.size() + 1);
    EXPECT_EQ(sunk[0].flags, EVENT_DOCID_CREATED);
    EXPECT_EQ(sunk[0].id, START_ID + 4);
    // Signed device; the first document id counts, each 64-bit argument emits again.
    EXPECT_EQ(sunk[1].path, "/.docid/-2/changed/7/src=1,dst=2");
    EXPECT_EQ(sunk[2].path, "/.docid/-2/changed/7/src=1,dst=2");
    EXPECT_EQ(sunk[2].id, sunk[1].id + 1);
}

TEST_F(Decode, DroppedRecords) {
    record_builder b;
    b.dropped();
    b.header(KREC_TYPE_DROPPED, -1);  // no terminator: the next record starts at offset 8
    b.header(KREC_TYPE_DELETE).path("/z").dev(1).done();
    std::string log = decode_logged(b.bytes);
    ASSERT_EQ(sunk.size(), 3u);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(sunk[i].path, "/");
        EXPECT_EQ(sunk[i].flags, EVENT_KERNEL_DROPPED);
        EXPECT_EQ(sunk[i].pid, EVENT_PID_DAEMON);
        EXPECT_EQ(sunk[i].dev, 0u);
        EXPECT_EQ(sunk[i].path_length, 2u);
        EXPECT_EQ(sunk[i].dir_length, 2u);
        EXPECT_EQ(sunk[i].id, START_ID + 1 + i);
    }
    EXPECT_EQ(sunk[2].path, "/z");
    EXPECT_NE(log.find("dropped event message is inconsistent."), std::string::npos);
}

TEST_F(Decode, MalformedPathsAreReportedAsRoot) {
    record_builder b;
    b.header(KREC_TYPE_DELETE).path("relative/p").dev(1).done();
    b.header(KREC_TYPE_DELETE).arg(KREC_ARG_PATH, "", 0).dev(1).done();
    std::string log = decode_logged(b.bytes);
    ASSERT_EQ(sunk.size(), 2u);
    for (const auto& e : sunk) {
        EXPECT_EQ(e.path, "/");
        EXPECT_EQ(e.path_length, 2u);
        EXPECT_EQ(e.dir_length, 2u);
    }
    EXPECT_NE(log.find("consumer: DANGER! fname does not begin with a '/' (relative/p)"),
              std::string::npos);
}

// A volume table of one logged and one unlogged volume, published while the object lives.
struct two_volumes {
    dev_info logged{};
    dev_info unlogged{};
    dev_info* entries[2] = {&logged, &unlogged};
    dev_table_t table{entries, 2};
    two_volumes() {
        static bool lock_ready = vantle_rwlock_init(&dev_lock) == 0;
        EXPECT_TRUE(lock_ready);
        unlogged.flags = DEV_NOT_LOGGED;
        dev_table.store(&table);
    }
    ~two_volumes() { dev_table.store(nullptr); }
};

TEST_F(Decode, WrapInsideRecord) {
    two_volumes volumes;
    publish_event_id(0xFFFFFFFFFFFFFFFEull);
    record_builder b;
    b.header(KREC_TYPE_CREATE_FILE).path("/w").file_info(1, MODE_FILE).done();
    std::string log = decode_logged(b.bytes);
    ASSERT_EQ(sunk.size(), 2u);
    EXPECT_EQ(sunk[0].path, "/");
    EXPECT_EQ(sunk[0].flags, EVENT_KERNEL_DROPPED | EVENT_IDS_WRAPPED);
    EXPECT_EQ(sunk[0].id, EVENT_ID_WRAP);
    EXPECT_EQ(sunk[1].path, "/w");
    EXPECT_EQ(sunk[1].id, 1u);  // the path took id 0
    EXPECT_NE(log.find("2: event id's wrapping to zero! (0xffffffffffffffff)"), std::string::npos);
    EXPECT_TRUE(volumes.logged.flags & DEV_IDS_WRAPPED);
    EXPECT_FALSE(volumes.unlogged.flags & DEV_IDS_WRAPPED);
}

TEST_F(Decode, WrapOnDroppedRecord) {
    two_volumes volumes;
    publish_event_id(0xFFFFFFFFFFFFFFFEull);
    record_builder b;
    b.dropped();
    // The counter now holds all ones: this record is taken as a dropped record too.
    b.header(KREC_TYPE_CREATE_FILE).done();
    std::string log = decode_logged(b.bytes);
    ASSERT_EQ(sunk.size(), 2u);
    EXPECT_EQ(sunk[0].flags, EVENT_KERNEL_DROPPED | EVENT_IDS_WRAPPED);
    EXPECT_EQ(sunk[0].id, EVENT_ID_WRAP);
    EXPECT_EQ(sunk[1].flags, EVENT_KERNEL_DROPPED);
    EXPECT_EQ(sunk[1].id, 0u);
    EXPECT_NE(log.find("1: event id's wrapping to zero! (0xffffffffffffffff)"), std::string::npos);
    EXPECT_TRUE(volumes.logged.flags & DEV_IDS_WRAPPED);
}

// Bad input: each case must decode without reading outside its bytes (ASan) and stop or go
// on as stated.
TEST_F(Decode, BadInputStaysInsideTheStretch) {
    record_builder valid;
    valid.header(KREC_TYPE_RENAME).path("/d/old").file_info(3, MODE_FILE);
    valid.path("/d/new").file_info(3, MODE_FILE).done();
    valid.dropped();
    valid.header(KREC_TYPE_DOCID_CREATED).dev(5).inode32(1).inode32(2).int64(3).done();
    // Every cut of a valid stream; a cut record emits nothing after the cut.
    for (size_t n = 0; n <= valid.bytes.size(); n++) {
        std::vector<uint8_t> cut(valid.bytes.begin(), valid.bytes.begin() + n);
        sunk.clear();
        decode(cut);
        EXPECT_LE(sunk.size(), 5u);
    }

    // An argument length past the end ends the stretch without an id for it.
    record_builder past;
    past.header(KREC_TYPE_DELETE).path("/p").dev(1);
    past.u16(KREC_ARG_PATH);
    past.u16(0xFFFF);
    past.put("/q", 3);
    sunk.clear();
    publish_event_id(START_ID);
    decode(past.bytes);
    EXPECT_EQ(sunk.size(), 1u);
    EXPECT_EQ(current_event_id(), START_ID + 2);

    // Paths without a NUL are cut at their last byte, in place.
    record_builder nonul;
    nonul.header(KREC_TYPE_DELETE).arg(KREC_ARG_PATH, "/abc", 4).dev(1).done();
    nonul.header(KREC_TYPE_DELETE).arg(KREC_ARG_PATH, "x", 1).dev(1).done();
    sunk.clear();
    decode_logged(nonul.bytes);
    ASSERT_EQ(sunk.size(), 2u);
    EXPECT_EQ(sunk[0].path, "/ab");
    EXPECT_EQ(sunk[1].path, "/");

    // Unknown and short arguments are skipped by their length, each taking an id.
    record_builder odd;
    odd.header(KREC_TYPE_DELETE).arg(77, "zz", 2).arg(KREC_ARG_DEV, "\1", 1);
    odd.arg(KREC_ARG_FILE_INFO, "0123456789", 10).arg(KREC_ARG_INODE, "12", 2);
    odd.arg(KREC_ARG_MODE, "", 0).path("/o").done();
    sunk.clear();
    publish_event_id(START_ID);
    decode(odd.bytes);
    EXPECT_TRUE(sunk.empty());
    EXPECT_EQ(current_event_id(), START_ID + 6);

    // 10,000 arguments in one record: one id each, one event per device argument.
    record_builder many;
    many.header(KREC_TYPE_DELETE).path("/m");
    for (int i = 0; i < 9999; i++)
        many.dev(uint32_t(i + 1));
    many.done();
    sunk.clear();
    publish_event_id(START_ID);
    decode(many.bytes);
    EXPECT_EQ(sunk.size(), 9999u);
    EXPECT_EQ(current_event_id(), START_ID + 10000);

    // A type word of 4095: the flag is 1 << (4095 % 32), nothing is indexed by the type.
    record_builder big;
    big.header(0xFFF).path("/t").dev(1).done();
    sunk.clear();
    decode(big.bytes);
    ASSERT_EQ(sunk.size(), 1u);
    EXPECT_EQ(sunk[0].flags, 0x80000000u);
}

}  // namespace
