// History replay into a client: record filters and path forms of process_disk_event_buf, the
// delivery batches and their failures, and read_disk_log over gzip files in a scratch
// directory under /tmp.
#include "clients/replay.h"

#include "clients_fixture.h"
#include "platform/mach_msg.h"
#include "tests/history/log_buffer_util.h"
#include "tests/support/scratch_root.h"
#include "volumes/dev_info.h"

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <filesystem>
#include <thread>

namespace {

using history_test::build_buffer;
using history_test::bytes;
using history_test::record;

constexpr uint32_t F1 = 0x00000800;           // kept by the directory mask
constexpr uint32_t F2 = 0x00001000;           // kept by the directory mask
constexpr uint32_t F_FILE_ONLY = 0x00000100;  // dropped by the directory mask

class ReplayTest : public ClientsTest {
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

    client_info* client(std::vector<std::string> paths, uint32_t flags = CLIENT_FILE_EVENTS,
                        uint32_t device = 0, std::vector<std::string> excluded = {}) {
        client_options o;
        o.paths = std::move(paths);
        o.flags = flags;
        o.device = device;
        o.excluded = std::move(excluded);
        return make(o);
    }

    // Replays one (verified) buffer; returns the result and checks it was consumed.
    int replay(dev_info* v, client_info* c, bytes b, uint64_t since, uint32_t* kind = nullptr) {
        uint32_t consumed = 0;
        int r =
            process_disk_event_buf(v, c, b.data(), (uint32_t)b.size(), 1, since, &consumed, kind);
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

    std::vector<std::string> paths_of(const std::vector<recorded_event>& events) {
        std::vector<std::string> out;
        for (auto& e : events) {
            out.push_back(e.path);
        }
        return out;
    }
};

using strings = std::vector<std::string>;

TEST_F(ReplayTest, SinceAndRootVolumePathForms) {
    client_info* c = client({"/"});
    bytes b = build_buffer({{"a/b", 10, F1},
                            {"a/c", 11, F2},
                            {".docid/7/55", 12, F1},
                            {".docid/1/56", 13, F1},
                            {"/abs/x", 14, F1}});
    uint32_t kind = 99;
    EXPECT_EQ(replay(&root_volume, c, b, 10, &kind), 0);
    EXPECT_EQ(kind, REPLAY_CHECKSUM_REGULAR);
    auto got = sink.all();
    // The id equal to since is left out; an absolute stored path is delivered as stored;
    // document ids take the volume's current device number.
    EXPECT_EQ(paths_of(got), (strings{"/a/c", "/.docid/1/55", "/.docid/1/56", "/abs/x"}));
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].id, 11u);
    EXPECT_EQ(got[0].flags, F2);
    EXPECT_EQ(c->history_done_id.load(), 14u);
}

TEST_F(ReplayTest, NonRootVolumeAbsoluteAndDeviceRelativeClients) {
    client_info* abs_client = client({"/elsewhere", "/private/var/db"});
    bytes b = build_buffer({{"db/x", 3, F1},
                            {"dbx/y", 4, F1},
                            {"other/z", 5, F1},
                            {"/db/abs", 6, F1},
                            {"db", 7, F1},
                            {"", 8, F1}});
    EXPECT_EQ(replay(&var_volume, abs_client, b, 0), 0);
    EXPECT_EQ(paths_of(sink.all()), (strings{"/private/var/db/x", "/private/var/db"}));

    forget(abs_client);
    sink.batches.clear();
    client_info* dev_client = client({"db"}, CLIENT_FILE_EVENTS, 5);
    EXPECT_EQ(replay(&var_volume, dev_client, b, 0), 0);
    // Stored form as it is; absolute stored paths never reach a device-relative client.
    EXPECT_EQ(paths_of(sink.all()), (strings{"db/x", "db"}));

    // A client watching "/" covers every relative record of another volume, too.
    forget(dev_client);
    sink.batches.clear();
    client_info* slash = client({"/"});
    EXPECT_EQ(replay(&var_volume, slash, b, 0), 0);
    EXPECT_EQ(paths_of(sink.all()),
              (strings{"/private/var/db/x", "/private/var/dbx/y", "/private/var/other/z", "/db/abs",
                       "/private/var/db", "/private/var/"}));
}

TEST_F(ReplayTest, DirectoryLevelMergesConsecutiveRecordsOfOneDirectory) {
    client_info* c = client({"a"}, 0, 5);
    bytes b = build_buffer(
        {{"a/b/c", 20, F1 | F_FILE_ONLY}, {"a/b/d", 21, F2}, {"a/e", 22, F1}, {"a/b/f", 23, F2}});
    EXPECT_EQ(replay(&var_volume, c, b, 0), 0);
    auto got = sink.all();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].path, "a/b/");
    EXPECT_EQ(got[0].flags, (F1 | F2) & DIRECTORY_EVENT_MASK);
    EXPECT_EQ(got[0].id, 21u);
    EXPECT_EQ(got[1].path, "a/");
    EXPECT_EQ(got[2].path, "a/b/");  // not consecutive: a separate event
    EXPECT_EQ(got[2].id, 23u);

    // Absolute client: /a stays /a (its only slash is the first byte).
    sink.batches.clear();
    client_info* abs_client = client({"/"}, 0);
    EXPECT_EQ(replay(&root_volume, abs_client, build_buffer({{"a", 1, F1}, {"a/b/c", 2, F1}}), 0),
              0);
    EXPECT_EQ(paths_of(sink.all()), (strings{"/a", "/a/b/"}));
}

TEST_F(ReplayTest, ExclusionsOnFullAndStoredPaths) {
    client_info* c = client({"/tmp"}, CLIENT_FILE_EVENTS, 0, {"/tmp/x/"});
    bytes b = build_buffer({{"tmp/x/y", 1, F1}, {"tmp/xy", 2, F1}, {"tmp/x", 3, F1}});
    EXPECT_EQ(replay(&root_volume, c, b, 0), 0);
    EXPECT_EQ(paths_of(sink.all()), (strings{"/tmp/xy", "/tmp/x"}));

    sink.batches.clear();
    client_info* d = client({"tmp"}, CLIENT_FILE_EVENTS, 5, {"tmp/x/"});
    EXPECT_EQ(replay(&var_volume, d, b, 0), 0);
    EXPECT_EQ(paths_of(sink.all()), (strings{"tmp/xy", "tmp/x"}));
}

std::vector<record> numbered(int count) {
    std::vector<record> out;
    for (int i = 0; i < count; i++) {
        out.push_back({"d/f" + std::to_string(i), (uint64_t)(100 + i), F1});
    }
    return out;
}

TEST_F(ReplayTest, BatchesOfAtMost32AndDeliveryFailures) {
    client_info* c = client({"/d"});
    EXPECT_EQ(replay(&root_volume, c, build_buffer(numbered(70)), 0), 0);
    ASSERT_EQ(sink.batches.size(), 3u);
    EXPECT_EQ(sink.batches[0].size(), 32u);
    EXPECT_EQ(sink.batches[1].size(), 32u);
    EXPECT_EQ(sink.batches[2].size(), 6u);
    EXPECT_EQ(sink.batches[2].back().id, 169u);
    EXPECT_EQ(c->flags.load() & CLIENT_EVENTS_DROPPED, 0u);

    // A time-out drops the batch and goes on.
    sink.batches.clear();
    sink.result = MACH_SEND_TIMED_OUT;
    EXPECT_EQ(replay(&root_volume, c, build_buffer(numbered(70)), 0), 0);
    EXPECT_EQ(sink.batches.size(), 3u);
    EXPECT_NE(c->flags.load() & CLIENT_EVENTS_DROPPED, 0u);
    EXPECT_EQ(c->dropped_id.load(), 100u);

    // Another error ends the buffer after the failed batch.
    sink.batches.clear();
    c->flags.fetch_and(~CLIENT_EVENTS_DROPPED);
    c->dropped_id.store(0);
    sink.result = EIO;
    EXPECT_EQ(replay(&root_volume, c, build_buffer(numbered(70)), 0), EIO);
    EXPECT_EQ(sink.batches.size(), 1u);
    EXPECT_NE(c->flags.load() & CLIENT_EVENTS_DROPPED, 0u);

    // A dead port: the client goes away, nothing more is delivered and no drop is noted.
    sink.batches.clear();
    c->flags.fetch_and(~CLIENT_EVENTS_DROPPED);
    sink.result = MACH_SEND_INVALID_DEST;
    EXPECT_EQ(replay(&root_volume, c, build_buffer(numbered(70)), 0), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(sink.batches.size(), 1u);
    EXPECT_NE(c->flags.load() & CLIENT_GOING_AWAY, 0u);
    EXPECT_EQ(c->flags.load() & CLIENT_EVENTS_DROPPED, 0u);
    sink.batches.clear();
    EXPECT_EQ(replay(&root_volume, c, build_buffer(numbered(3)), 0), 0);
    EXPECT_TRUE(sink.batches.empty());
}

TEST_F(ReplayTest, BufferChecksAndOrder) {
    client_info* c = client({"/"});
    // The other byte order is converted and replayed.
    bytes swapped = history_test::to_other_order(build_buffer({{"s/t", 0x1122334455ull, F2}}));
    uint32_t kind = 0;
    EXPECT_EQ(replay(&root_volume, c, swapped, 0, &kind), 0);
    EXPECT_EQ(kind, REPLAY_CHECKSUM_REGULAR);
    auto got = sink.all();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].path, "/s/t");
    EXPECT_EQ(got[0].id, 0x1122334455ull);
    EXPECT_EQ(got[0].flags, F2);

    // Checksum mismatch and an incomplete buffer: nothing consumed, nothing delivered.
    sink.batches.clear();
    bytes bad = build_buffer({{"u", 1, F1}});
    bad[4] ^= 0xff;
    uint32_t consumed = 7;
    capture_log();
    EXPECT_EQ(process_disk_event_buf(&root_volume, c, bad.data(), (uint32_t)bad.size(), 1, 0,
                                     &consumed, &kind),
              EINVAL);
    std::string log = captured_log();
    EXPECT_NE(log.find("process_disk_event_buf: checksum mis-match: file 0x"), std::string::npos)
        << log;
    EXPECT_EQ(consumed, 0u);
    EXPECT_EQ(kind, 0u);
    bytes good = build_buffer({{"u", 1, F1}});
    EXPECT_EQ(process_disk_event_buf(&root_volume, c, good.data(), (uint32_t)good.size() - 1, 1, 0,
                                     &consumed, &kind),
              EINVAL);
    EXPECT_EQ(consumed, 0u);

    // A foreign magic with an impossible length.
    bytes foreign = build_buffer({{"u", 1, F1}});
    history_test::set_word(&foreign, 0, 0x12345678);
    history_test::set_word(&foreign, 8, DISK_LOG_BUFFER_SIZE + 1);
    capture_log();
    EXPECT_EQ(process_disk_event_buf(&root_volume, c, foreign.data(), (uint32_t)foreign.size(), 1,
                                     0, &consumed, &kind),
              EINVAL);
    log = captured_log();
    EXPECT_NE(log.find("process_disk_event_buf: magic is wrong (0x12345678 != 0x444c5331)"),
              std::string::npos)
        << log;

    // An out-of-bounds record: the records before it are delivered, the buffer is consumed.
    bytes cut = build_buffer({{"v/1", 1, F1}, {"v/2", 2, F1}});
    cut.resize(cut.size() - 4);
    history_test::set_word(&cut, 8, (uint32_t)cut.size());
    history_test::reseal(&cut);
    capture_log();
    EXPECT_EQ(replay(&root_volume, c, cut, 0), EINVAL);
    log = captured_log();
    EXPECT_NE(log.find("process_disk_event_buf: ptr out-of-bounds"), std::string::npos) << log;
    EXPECT_EQ(paths_of(sink.all()), (strings{"/v/1"}));

    // The unverified in-memory form: the checksum is not looked at.
    sink.batches.clear();
    EXPECT_EQ(process_disk_event_buf(&root_volume, c, bad.data(), (uint32_t)bad.size(), 0, 0,
                                     &consumed, nullptr),
              0);
    EXPECT_EQ(consumed, bad.size());
    EXPECT_EQ(paths_of(sink.all()), (strings{"/u"}));
}

TEST_F(ReplayTest, ReadDiskLogFiles) {
    client_info* c = client({"/"});
    // Good buffers, also in the other byte order, across several gzip members.
    std::string path =
        write_log("0000000000000001", {build_buffer({{"a", 1, F1}}),
                                       history_test::to_other_order(build_buffer({{"b", 2, F1}})),
                                       build_buffer(numbered(40))});
    capture_log();
    EXPECT_EQ(read_disk_log(&root_volume, c, path.c_str(), 0), 0);
    std::string log = captured_log();
    EXPECT_EQ(log.find("read_disk_log"), std::string::npos) << log;
    auto got = sink.all();
    ASSERT_EQ(got.size(), 42u);
    EXPECT_EQ(got[0].path, "/a");
    EXPECT_EQ(got[1].path, "/b");
    EXPECT_EQ(got[41].id, 139u);

    // A corrupted second buffer: the first one only, the mismatch reported each time it is
    // offered again, and the file still counts as read.
    sink.batches.clear();
    bytes bad = build_buffer({{"c", 4, F1}});
    bad[4] ^= 0xff;
    path = write_log("0000000000000002",
                     {build_buffer({{"b", 3, F1}}), bad, build_buffer({{"d", 5, F1}})});
    capture_log();
    EXPECT_EQ(read_disk_log(&root_volume, c, path.c_str(), 0), 0);
    log = captured_log();
    EXPECT_EQ(paths_of(sink.all()), (strings{"/b"}));
    EXPECT_NE(log.find("process_disk_event_buf: checksum mis-match"), std::string::npos) << log;
    EXPECT_EQ(log.find("read_disk_log: error processing"), std::string::npos) << log;

    // No buffer of the file succeeded.
    path = write_log("0000000000000003", {bad});
    capture_log();
    EXPECT_EQ(read_disk_log(&root_volume, c, path.c_str(), 0), 0);
    log = captured_log();
    EXPECT_NE(log.find("read_disk_log: error processing log file " + path + " (total_read " +
                       std::to_string(bad.size()) + ", size 0)"),
              std::string::npos)
        << log;

    // Empty file: nothing read, nothing said.
    path = dir + "/0000000000000004";
    close(open(path.c_str(), O_WRONLY | O_CREAT, 0600));
    capture_log();
    EXPECT_EQ(read_disk_log(&root_volume, c, path.c_str(), 0), 0);
    EXPECT_EQ(captured_log(), "");

    // Missing file, a symbolic link, a directory and a FIFO (which must not block the open):
    // refused, and reported unless the volume's log is disabled.
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
    root_volume.flags |= DEV_LOG_DISABLED;
    capture_log();
    EXPECT_EQ(read_disk_log(&root_volume, c, missing.c_str(), 0), EINVAL);
    EXPECT_EQ(captured_log().find("problems with history file"), std::string::npos);
}

// Clients of other users get only what their user may read, judged with their credentials on
// the replaying thread; the log file itself is opened with the daemon's rights, and the thread
// gets them back afterwards. Runs in a scratch root (root only): the files live on its tmpfs.
TEST_F(ReplayTest, ReadPermissionOfTheClientsUser) {
    if (!scratch_root_available()) {
        GTEST_SKIP() << "needs root and mount namespaces";
    }
    auto body = [this]() -> int {
        SCRATCH_CHECK(make_permission_tree());
        SCRATCH_CHECK(mkdir("/tmp/log", 0700) == 0);
        int fd = open("/tmp/log/0000000000000001", O_WRONLY | O_CREAT | O_APPEND, 0600);
        SCRATCH_CHECK(fd >= 0);
        bytes b = build_buffer({{"tmp/p/open", 1, F1},
                                {"tmp/p/secret", 2, F1},
                                {"tmp/p/gone", 3, F1},
                                {"tmp/p/locked/x", 4, F1},
                                {"tmp/q/sub/gone", 5, F1}});
        SCRATCH_CHECK(log_buffer_write_member(fd, b.data(), (uint32_t)b.size()) == 0);
        close(fd);

        auto replay_as = [this](uint32_t uid, bool* restored) {
            client_options o;
            o.paths = {"/tmp/p", "/tmp/q"};
            o.uid = uid;
            client_info* c = make(o);
            std::thread t([this, c, restored] {
                read_disk_log(&root_volume, c, "/tmp/log/0000000000000001", 0);
                int check = open("/tmp/p/secret", O_RDONLY | O_CLOEXEC);
                *restored = check >= 0;
                if (check >= 0) {
                    close(check);
                }
            });
            t.join();
            std::vector<std::string> out = paths_of(active_sink->all());
            active_sink->batches.clear();
            return out;
        };
        bool restored = false;
        strings seen = replay_as(1000, &restored);
        // Readable, gone from a readable directory, gone below its own watched directory.
        SCRATCH_CHECK((seen == strings{"/tmp/p/open", "/tmp/p/gone", "/tmp/q/sub/gone"}));
        SCRATCH_CHECK(restored);
        seen = replay_as(1001, &restored);
        SCRATCH_CHECK((seen == strings{"/tmp/p/open", "/tmp/p/gone"}));
        SCRATCH_CHECK(restored);
        seen = replay_as(0, &restored);
        SCRATCH_CHECK(seen.size() == 5);
        return 0;
    };
    EXPECT_EQ(run_in_scratch_root({}, body), 0);
}

}  // namespace

// One user's replays share REPLAY_READERS_PER_USER of the reader slots; other users and root
// take the rest, and a waiting reader goes on as soon as its user's share has room.
TEST(ReplayReaders, OneUserHoldsItsShareOnly) {
    std::vector<disk_log_image> held(REPLAY_MAX_READERS - 1);
    for (size_t i = 0; i < held.size(); i++) {
        held[i].uid = i < REPLAY_READERS_PER_USER ? 1000 : 2000 + static_cast<uint32_t>(i);
        take_reader_slot(&held[i]);
    }
    disk_log_image third;
    third.uid = 1000;
    std::atomic<bool> taken{false};
    std::thread waiter([&] {
        take_reader_slot(&third);
        taken = true;
    });
    disk_log_image root;
    take_reader_slot(&root);  // the last slot: root is not held back by user 1000's waiter
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(taken);
    give_back_reader_slot(&root);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(taken) << "a free slot, but user 1000 holds its share";
    give_back_reader_slot(&held[0]);
    waiter.join();
    EXPECT_TRUE(taken);
    give_back_reader_slot(&third);
    for (disk_log_image& image : held)
        give_back_reader_slot(&image);
}
