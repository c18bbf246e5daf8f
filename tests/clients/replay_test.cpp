// History replay into a client: path forms and filters of process_disk_event_buf, buffer
// corruptions, batches and their failures, read_disk_log over gzip files (and what it must
// refuse without blocking). What other users may read, and their share of the reader slots, is
// checked over the wire by tests/security.
#include "clients/replay.h"
#include "clients_fixture.h"
#include "platform/mach_msg.h"
#include "tests/history/log_buffer_util.h"
#include "volumes/dev_info.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

namespace {

using history_test::build_buffer;
using history_test::bytes;
using history_test::record;

constexpr uint32_t F1 = 0x00000800;           // kept by the directory mask
constexpr uint32_t F2 = 0x00001000;           // kept by the directory mask
constexpr uint32_t F_FILE_ONLY = 0x00000100;  // dropped by the directory mask

class Replay : public ClientsTest {
protected:
    dev_info root_volume{};
    dev_info var_volume{};
    std::string dir;

    void SetUp() override {
        ClientsTest::SetUp();
        root_volume.dev = 1;
        root_volume.mount_point = const_cast<char*>("/");
        var_volume.dev = 5;
        var_volume.mount_point = const_cast<char*>("/private/var");
        char templ[] = "/tmp/replay_test.XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        ClientsTest::TearDown();
    }

    client_info* client(strings paths, uint32_t flags = CLIENT_FILE_EVENTS, uint32_t device = 0,
                        strings excluded = {}) {
        client_options o;
        o.paths = std::move(paths);
        o.flags = flags;
        o.device = device;
        o.excluded = std::move(excluded);
        return make(o);
    }

    // Replays one buffer (verified unless told) and checks it was consumed whole.
    int replay(dev_info* v, client_info* c, bytes b, uint64_t since = 0) {
        uint32_t consumed = 0;
        int r = process_disk_event_buf(v, c, b.data(), (uint32_t)b.size(), 1, since, &consumed,
                                       nullptr);
        EXPECT_EQ(consumed, b.size());
        return r;
    }

    std::string write_log(const std::string& name, std::initializer_list<bytes> buffers) {
        std::string path = dir + "/" + name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        EXPECT_GE(fd, 0);
        for (const bytes& b : buffers) {
            EXPECT_EQ(log_buffer_write_member(fd, b.data(), (uint32_t)b.size()), 0);
        }
        close(fd);
        return path;
    }

    strings delivered() {
        strings out;
        for (auto& e : sink.all()) {
            out.push_back(e.path + ":" + std::to_string(e.id));
        }
        sink.clear();
        return out;
    }
};

struct replay_case {
    const char* what;
    bool var;  // the /private/var volume (dev 5), else the root volume
    strings paths;
    uint32_t flags, device;
    strings excluded;
    std::vector<record> records;
    uint64_t since;
    strings expected;          // "path:id"
    uint32_t first_flags = 0;  // checked when not 0
};

const std::vector<record> VAR_RECORDS = {{"db/x", 3, F1},    {"dbx/y", 4, F1}, {"other/z", 5, F1},
                                         {"/db/abs", 6, F1}, {"db", 7, F1},    {"", 8, F1}};
const std::vector<record> TMP_RECORDS = {{"tmp/x/y", 1, F1}, {"tmp/xy", 2, F1}, {"tmp/x", 3, F1}};
constexpr uint32_t FILE_LEVEL = CLIENT_FILE_EVENTS;

// clang-format off
const replay_case REPLAYS[] = {
    // The id equal to since is left out; absolute stored paths are delivered as stored; document
    // ids take the volume's current device number.
    {"since and root volume forms", false, {"/"}, FILE_LEVEL, 0, {},
     {{"a/b", 10, F1}, {"a/c", 11, F2}, {".docid/7/55", 12, F1}, {".docid/1/56", 13, F1},
      {"/abs/x", 14, F1}},
     10, {"/a/c:11", "/.docid/1/55:12", "/.docid/1/56:13", "/abs/x:14"}, F2},
    {"absolute client of another volume", true, {"/elsewhere", "/private/var/db"}, FILE_LEVEL, 0,
     {}, VAR_RECORDS, 0, {"/private/var/db/x:3", "/private/var/db:7"}},
    // Stored form as it is; absolute stored paths never reach a device-relative client.
    {"device-relative client", true, {"db"}, FILE_LEVEL, 5, {}, VAR_RECORDS, 0, {"db/x:3", "db:7"}},
    {"\"/\" covers every record of another volume", true, {"/"}, FILE_LEVEL, 0, {}, VAR_RECORDS, 0,
     {"/private/var/db/x:3", "/private/var/dbx/y:4", "/private/var/other/z:5", "/db/abs:6",
      "/private/var/db:7", "/private/var/:8"}},
    // Consecutive records of one directory merge into one event; the mask applies.
    {"directory level", true, {"a"}, 0, 5, {},
     {{"a/b/c", 20, F1 | F_FILE_ONLY}, {"a/b/d", 21, F2}, {"a/e", 22, F1}, {"a/b/f", 23, F2}}, 0,
     {"a/b/:21", "a/:22", "a/b/:23"}, (F1 | F2) & DIRECTORY_EVENT_MASK},
    {"directory level, absolute: /a stays /a", false, {"/"}, 0, 0, {},
     {{"a", 1, F1}, {"a/b/c", 2, F1}}, 0, {"/a:1", "/a/b/:2"}},
    {"exclusion on full paths", false, {"/tmp"}, FILE_LEVEL, 0, {"/tmp/x/"}, TMP_RECORDS, 0,
     {"/tmp/xy:2", "/tmp/x:3"}},
    {"exclusion on stored paths", true, {"tmp"}, FILE_LEVEL, 5, {"tmp/x/"}, TMP_RECORDS, 0,
     {"tmp/xy:2", "tmp/x:3"}},
};
// clang-format on

TEST_F(Replay, PathFormsAndFilters) {
    for (const replay_case& r : REPLAYS) {
        SCOPED_TRACE(r.what);
        client_info* c = client(r.paths, r.flags, r.device, r.excluded);
        EXPECT_EQ(replay(r.var ? &var_volume : &root_volume, c, build_buffer(r.records), r.since),
                  0);
        if (r.first_flags != 0) {
            EXPECT_EQ(sink.all().at(0).flags, r.first_flags);
        }
        EXPECT_EQ(delivered(), r.expected);
        forget(c);
    }
}

// A checksum mismatch consumes and delivers nothing; a record out of bounds ends the buffer
// after the records before it; the unverified in-memory form skips the checksum. (The reader's
// own checks are tested in tests/history.)
TEST_F(Replay, DamagedBuffers) {
    client_info* c = client({"/"});
    bytes bad = build_buffer({{"u", 1, F1}});
    bad[4] ^= 0xff;
    bytes cut = build_buffer({{"v/1", 1, F1}, {"v/2", 2, F1}});
    cut.resize(cut.size() - 4);
    history_test::set_word(&cut, 8, (uint32_t)cut.size());
    history_test::reseal(&cut);
    uint32_t consumed = 7;
    EXPECT_EQ(process_disk_event_buf(&root_volume, c, bad.data(), (uint32_t)bad.size(), 1, 0,
                                     &consumed, nullptr),
              EINVAL);
    EXPECT_EQ(consumed, 0u);
    EXPECT_EQ(delivered(), strings{});
    EXPECT_EQ(replay(&root_volume, c, cut), EINVAL);
    EXPECT_EQ(delivered(), strings{"/v/1:1"});
    EXPECT_EQ(process_disk_event_buf(&root_volume, c, bad.data(), (uint32_t)bad.size(), 0, 0,
                                     &consumed, nullptr),
              0);
    EXPECT_EQ(delivered(), strings{"/u:1"});
}

std::vector<record> numbered(int count) {
    std::vector<record> out;
    for (int i = 0; i < count; i++) {
        out.push_back({"d/f" + std::to_string(i), (uint64_t)(100 + i), F1});
    }
    return out;
}

// Batches of at most 32; a time-out drops the batch (first lost id noted) and goes on; another
// error ends the buffer; a dead port ends the client, with no drop noted and nothing more sent.
TEST_F(Replay, BatchesAndDeliveryFailures) {
    client_info* c = client({"/d"});
    auto batch_sizes = [&] {
        std::vector<size_t> out;
        for (auto& b : sink.batches) {
            out.push_back(b.size());
        }
        sink.clear();
        return out;
    };
    using sizes = std::vector<size_t>;
    EXPECT_EQ(replay(&root_volume, c, build_buffer(numbered(70))), 0);
    EXPECT_EQ(sink.batches.back().back().id, 169u);
    EXPECT_EQ(batch_sizes(), (sizes{32, 32, 6}));
    EXPECT_FALSE(c->flags.load() & CLIENT_EVENTS_DROPPED);

    sink.result = MACH_SEND_TIMED_OUT;
    EXPECT_EQ(replay(&root_volume, c, build_buffer(numbered(70))), 0);
    EXPECT_EQ(batch_sizes(), (sizes{32, 32, 6}));
    EXPECT_EQ(c->dropped_id.load(), 100u);

    c->flags.fetch_and(~CLIENT_EVENTS_DROPPED);
    sink.result = EIO;
    EXPECT_EQ(replay(&root_volume, c, build_buffer(numbered(70))), EIO);
    EXPECT_EQ(batch_sizes(), (sizes{32}));
    EXPECT_TRUE(c->flags.load() & CLIENT_EVENTS_DROPPED);

    c->flags.fetch_and(~CLIENT_EVENTS_DROPPED);
    sink.result = MACH_SEND_INVALID_DEST;
    EXPECT_EQ(replay(&root_volume, c, build_buffer(numbered(70))), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(batch_sizes(), (sizes{32}));
    EXPECT_TRUE(c->flags.load() & CLIENT_GOING_AWAY);
    EXPECT_FALSE(c->flags.load() & CLIENT_EVENTS_DROPPED);
    EXPECT_EQ(replay(&root_volume, c, build_buffer(numbered(3))), 0);
    EXPECT_TRUE(sink.batches.empty());
}

TEST_F(Replay, ReadDiskLogFiles) {
    client_info* c = client({"/"});
    // Several gzip members, one in the other byte order.
    std::string path =
        write_log("0000000000000001", {build_buffer({{"a", 1, F1}}),
                                       history_test::to_other_order(build_buffer({{"b", 2, F1}})),
                                       build_buffer(numbered(40))});
    EXPECT_EQ(read_disk_log(&root_volume, c, path.c_str(), 0), 0);
    auto got = sink.all();
    ASSERT_EQ(got.size(), 42u);
    EXPECT_EQ(got[0].path, "/a");
    EXPECT_EQ(got[1].path, "/b");
    EXPECT_EQ(got[41].id, 139u);
    sink.clear();

    // A corrupted second buffer: the first only, and the file still counts as read.
    bytes bad = build_buffer({{"c", 4, F1}});
    bad[4] ^= 0xff;
    path = write_log("0000000000000002",
                     {build_buffer({{"b", 3, F1}}), bad, build_buffer({{"d", 5, F1}})});
    capture_log();
    EXPECT_EQ(read_disk_log(&root_volume, c, path.c_str(), 0), 0);
    std::string log = captured_log();
    EXPECT_EQ(delivered(), (strings{"/b:3"}));
    EXPECT_EQ(log.find("read_disk_log: error processing"), std::string::npos) << log;

    path = write_log("0000000000000003", {bad});  // no buffer succeeded
    capture_log();
    EXPECT_EQ(read_disk_log(&root_volume, c, path.c_str(), 0), 0);
    log = captured_log();
    EXPECT_NE(log.find("read_disk_log: error processing log file " + path), std::string::npos)
        << log;

    path = dir + "/0000000000000004";  // empty: nothing read, nothing said
    close(open(path.c_str(), O_WRONLY | O_CREAT, 0600));
    capture_log();
    EXPECT_EQ(read_disk_log(&root_volume, c, path.c_str(), 0), 0);
    EXPECT_EQ(captured_log(), "");

    // A missing file, a symbolic link, a directory and a FIFO (whose open must not block): refused
    // and reported, silently when the volume's log is disabled.
    std::string missing = dir + "/0000000000000005";
    std::string link = dir + "/link";
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(symlink((dir + "/0000000000000001").c_str(), link.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& p : {missing, link, dir, fifo}) {
        capture_log();
        EXPECT_EQ(read_disk_log(&root_volume, c, p.c_str(), 0), EINVAL);
        log = captured_log();
        EXPECT_NE(log.find("read_disk_log: problems with history file: " + p + " (fd "),
                  std::string::npos)
            << log;
    }
    EXPECT_TRUE(sink.batches.empty());
    root_volume.flags |= DEV_LOG_DISABLED;
    capture_log();
    EXPECT_EQ(read_disk_log(&root_volume, c, missing.c_str(), 0), EINVAL);
    EXPECT_EQ(captured_log(), "");
}

}  // namespace
