// The decoder: how each record form becomes events (ids, flags, path fix-ups, document ids,
// dropped records, the id wrap), and bad input that must neither hang it nor make it read outside
// its bytes (each stream is decoded from a heap copy of exactly its length).
#include "intake/decode.h"
#include "intake/event_ids.h"
#include "intake/intake_state.h"
#include "record_builder.h"

#include "common/log.h"
#include "volumes/dev_info.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace {

constexpr uint32_t MODE_FILE = 0x81a4, MODE_DIR = 0x41ed, ANY = 0xFFFFFFFF;
constexpr uint64_t S = 1000, NEAR_WRAP = 0xFFFFFFFFFFFFFFFEull;  // S: the id before each row
constexpr int64_t ANY_PID = INT64_MIN;

// One emitted event; ANY fields are not checked. path_length is always checked.
struct want {
    std::string path;
    uint64_t id;
    uint32_t flags = ANY, dir_length = ANY, dev = ANY;
    int64_t pid = 42;
};

struct decode_case {
    const char* what;
    std::function<void(record_builder&)> build;
    std::vector<want> events;
    uint64_t last_id;  // the counter afterwards
    const char* logged = nullptr;
    uint64_t start = S;
    bool extended = false;  // kernel_extended_info
};

const std::string FORK = "/..namedfork/rsrc";
constexpr uint32_t MODIFIED = EVENT_CONTENT_MODIFIED | EVENT_IS_FILE;
constexpr uint32_t DROPPED = EVENT_KERNEL_DROPPED, WRAPPED = DROPPED | EVENT_IDS_WRAPPED;
void stat_dir_level(record_builder& b) {
    b.header(KREC_TYPE_STAT_CHANGED | KREC_FLAG_DIR_LEVEL).path("/e").dev(1).done();
}

// clang-format off
const decode_case CASES[] = {
    {"create: the parent is the directory part, the path took an id",
     [](auto& b) {
         b.header(KREC_TYPE_CREATE_FILE, 77).path("/a/b").file_info(3, MODE_FILE).done();
     },
     {{"/a/b", S + 2, EVENT_CREATE_FILE | EVENT_IS_FILE, 4, 3, 77}}, S + 2},
    {"rename: four ids, three events; the device is known for the new path",
     [](auto& b) {
         b.header(KREC_TYPE_RENAME).path("/d/old").file_info(3, MODE_FILE);
         b.path("/d/new").file_info(3, MODE_DIR).done();
     },
     {{"/d/old", S + 2, EVENT_RENAME | EVENT_IS_FILE}, {"/d/new", S + 3},
      {"/d/new", S + 4, EVENT_RENAME | EVENT_IS_FILE | EVENT_IS_DIR}}, S + 4},
    {"file information cut after the mode still gives the device and the mode",
     [](auto& b) {
         const krec_file_info info{7, 3, MODE_DIR, 0, 0};
         b.header(KREC_TYPE_DELETE).path("/a/b").arg(KREC_ARG_FILE_INFO, &info, 16).done();
     },
     {{"/a/b", S + 2, EVENT_DELETE | EVENT_IS_DIR, 4, 3}}, S + 2},
    {"a path alone emits nothing but takes an id",
     [](auto& b) { b.header(KREC_TYPE_DELETE).path("/x").done(); }, {}, S + 1},
    {"a device emits the pending path; a mode only adds its bits",
     [](auto& b) {
         b.header(KREC_TYPE_DELETE).mode(0x4000 | KREC_MODE_HARDLINK).path("/x/y").dev(9).done();
     },
     {{"/x/y", S + 3, EVENT_DELETE | EVENT_IS_DIR | EVENT_HARDLINK, ANY, 9}}, S + 3},
    {"mode bit 29: the whole path is the directory, and carries over to the next record",
     [](auto& b) {
         b.header(KREC_TYPE_CONTENT_MODIFIED).path("/a/b").file_info(1, MODE_DIR | 1 << 29).done();
         b.header(KREC_TYPE_CHOWN).dev(1).path("/c/d").done();
     },
     {{"/a/b", S + 2, EVENT_CONTENT_MODIFIED | EVENT_IS_DIR | EVENT_DIR_LEVEL, 5},
      {"/c/d", S + 4, EVENT_CHOWN | EVENT_DIR_LEVEL, 5}}, S + 4},
    {"record flag 0x2000 without extended information", stat_dir_level,
     {{"/e", S + 2, EVENT_STAT_CHANGED}}, S + 2},
    {"record flag 0x2000 with extended information", stat_dir_level,
     {{"/e", S + 2, EVENT_STAT_CHANGED | EVENT_DIR_LEVEL}}, S + 2, nullptr, S, true},
    {"named forks: the item; for a name repeating its parent's, the parent; none before it",
     [](auto& b) {
         for (std::string p : {"/dir/f" + FORK, "/dir/x/x" + FORK, FORK})
             b.header(KREC_TYPE_CONTENT_MODIFIED).path(p).file_info(1, MODE_FILE).done();
     },
     {{"/dir/f", S + 2, MODIFIED | EVENT_XATTR_MODIFIED, 6},
      {"/dir/x", S + 4, MODIFIED | EVENT_XATTR_MODIFIED, 6}, {FORK, S + 6, MODIFIED, 14}}, S + 6},
    {"document ids: signed device, the first id counts, each 64-bit argument emits; other "
     "records ignore them",
     [](auto& b) {
         b.header(KREC_TYPE_DOCID_CREATED).dev(5).inode32(12).inode64(34).int64(99).done();
         b.header(KREC_TYPE_DOCID_CHANGED).dev(0xFFFFFFFE).inode64(1).inode64(2);
         b.int64(7).int64(8).done();
         b.header(KREC_TYPE_CREATE_FILE).inode32(1).inode32(2).int64(3).done();
     },
     {{"/.docid/5/created/99/src=12,dst=34", S + 4, EVENT_DOCID_CREATED, 22},
      {"/.docid/-2/changed/7/src=1,dst=2", S + 8},
      {"/.docid/-2/changed/7/src=1,dst=2", S + 9}}, S + 12},
    {"dropped records: one volume's (its mount point, the device from file information), then one "
     "without its terminator, for every volume",
     [](auto& b) {
         b.header(KREC_TYPE_DROPPED, -1).path("/mnt/v").file_info(9, MODE_DIR).done();
         b.header(KREC_TYPE_DROPPED, -1).header(KREC_TYPE_DELETE).path("/z").dev(1).done();
     },
     {{"/mnt/v", S + 1, DROPPED, 7, 9, EVENT_PID_DAEMON},
      {"/", S + 2, DROPPED, 2, 0, EVENT_PID_DAEMON}, {"/z", S + 4}},
     S + 4, "dropped event message is inconsistent."},
    {"relative and empty paths are reported as the root",
     [](auto& b) {
         b.header(KREC_TYPE_DELETE).path("relative/p").dev(1).done();
         b.header(KREC_TYPE_DELETE).arg(KREC_ARG_PATH, "", 0).dev(1).done();
     },
     {{"/", S + 2, ANY, 2}, {"/", S + 4, ANY, 2}}, S + 4,
     "consumer: DANGER! fname does not begin with a '/' (relative/p)"},
    {"the id wraps inside a record: a wrap notice, then the path's event",
     [](auto& b) { b.header(KREC_TYPE_CREATE_FILE).path("/w").file_info(1, MODE_FILE).done(); },
     {{"/", EVENT_ID_WRAP, WRAPPED, ANY, ANY, ANY_PID}, {"/w", 1}}, 1,
     "2: event id's wrapping to zero! (0xffffffffffffffff)", NEAR_WRAP},
    {"the id wraps on a dropped record; the next one is taken as dropped too",
     [](auto& b) { b.header(KREC_TYPE_DROPPED, -1).done().header(KREC_TYPE_CREATE_FILE).done(); },
     {{"/", EVENT_ID_WRAP, WRAPPED, ANY, ANY, ANY_PID}, {"/", 0, DROPPED, ANY, ANY, ANY_PID}}, 0,
     "1: event id's wrapping to zero! (0xffffffffffffffff)", NEAR_WRAP},
    // Bad input.
    {"an argument length past the end ends the stretch without an id for it",
     [](auto& b) {
         b.header(KREC_TYPE_DELETE).path("/p").dev(1).raw(uint16_t{KREC_ARG_PATH});
         b.raw(uint16_t{0xFFFF}).put("/q", 3);
     },
     {{"/p", S + 2}}, S + 2},
    {"paths without a NUL are cut at their last byte",
     [](auto& b) {
         b.header(KREC_TYPE_DELETE).arg(KREC_ARG_PATH, "/abc", 4).dev(1).done();
         b.header(KREC_TYPE_DELETE).arg(KREC_ARG_PATH, "x", 1).dev(1).done();
     },
     {{"/ab", S + 2}, {"/", S + 4}}, S + 4},
    {"unknown and short arguments are skipped by their length, each taking an id",
     [](auto& b) {
         b.header(KREC_TYPE_DELETE).arg(77, "zz", 2).arg(KREC_ARG_DEV, "\1", 1);
         b.arg(KREC_ARG_FILE_INFO, "0123456789", 10).arg(KREC_ARG_INODE, "12", 2);
         b.arg(KREC_ARG_MODE, "", 0).path("/o").done();
     },
     {}, S + 6},
    {"type word 4095: the flag is 1 << (4095 % 32), nothing indexed by the type",
     [](auto& b) { b.header(0xFFF).path("/t").dev(1).done(); },
     {{"/t", S + 2, 0x80000000u}}, S + 2},
};
// clang-format on

// Decodes a copy of exactly the stream's bytes, the counter at start.
void decode(const std::vector<uint8_t>& stream, uint64_t start = S) {
    publish_event_id(start);
    sunk.clear();
    auto* copy = static_cast<uint8_t*>(malloc(stream.empty() ? 1 : stream.size()));
    std::copy(stream.begin(), stream.end(), copy);
    EXPECT_EQ(decode_kernel_records(copy, uint32_t(stream.size()), nullptr, record_sink), 1);
    free(copy);
}

TEST(Decode, RecordForms) {
    log_open("intake_tests", LOG_PERROR);
    dev_info logged{}, unlogged{};  // a wrap marks the logged volumes only
    unlogged.flags = DEV_NOT_LOGGED;
    dev_info* entries[2] = {&logged, &unlogged};
    dev_table_t devs{entries, 2};
    ASSERT_EQ(vantle_rwlock_init(&volumes.dev_lock), 0);
    volumes.dev_table.store(&devs);
    for (const decode_case& c : CASES) {
        SCOPED_TRACE(c.what);
        record_builder b;
        c.build(b);
        intake.kernel_extended_info = c.extended;
        ::testing::internal::CaptureStderr();
        decode(b.bytes, c.start);
        std::string log = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(current_event_id(), c.last_id);
        EXPECT_EQ(sunk.size(), c.events.size());
        for (size_t i = 0; i < std::min(sunk.size(), c.events.size()); i++) {
            const sunk_event& got = sunk[i];
            const want& w = c.events[i];
            EXPECT_TRUE(got.path == w.path && got.path_length == w.path.size() + 1 &&
                        got.id == w.id && (w.flags == ANY || got.flags == w.flags) &&
                        (w.dir_length == ANY || got.dir_length == w.dir_length) &&
                        (w.dev == ANY || got.dev == w.dev) &&
                        (w.pid == ANY_PID || got.pid == w.pid))
                << "event " << i << ": " << got.path << " id " << got.id << " flags 0x" << std::hex
                << got.flags << std::dec << " dir " << got.dir_length << " dev " << got.dev
                << " pid " << got.pid;
        }
        EXPECT_TRUE(!c.logged || log.find(c.logged) != std::string::npos) << log;
        // Every cut of the stream is decoded inside its bytes, without hanging.
        ::testing::internal::CaptureStderr();
        for (size_t n = 0; n < b.bytes.size(); n++)
            decode(std::vector<uint8_t>(b.bytes.begin(), b.bytes.begin() + long(n)), c.start);
        ::testing::internal::GetCapturedStderr();
    }
    intake.kernel_extended_info = 0;
    volumes.dev_table.store(nullptr);
    EXPECT_TRUE((logged.flags & DEV_IDS_WRAPPED) && !(unlogged.flags & DEV_IDS_WRAPPED));
}

}  // namespace
