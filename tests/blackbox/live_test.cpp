// Live delivery end to end: client library streams get what the test changes in the daemon's
// scratch root. Every change has a path of its own: the event table merges changes of a path.
#include "tests/support/scratch_daemon.h"

namespace {

constexpr const char* SYNC_DIR = "/tmp/sync";  // live_sync's files; no stream watches it
constexpr uint32_t FILE_CREATED = VANTLES_EVENT_CREATED | VANTLES_EVENT_FILE;
constexpr uint32_t FILE_REMOVED = VANTLES_EVENT_REMOVED | VANTLES_EVENT_FILE;
constexpr uint32_t DIR_CREATED =
    VANTLES_EVENT_DIR_CREATED | VANTLES_EVENT_DIR | VANTLES_EVENT_DIR_LEVEL;
constexpr uint32_t DIR_STAT =
    VANTLES_EVENT_STAT_CHANGED | VANTLES_EVENT_DIR | VANTLES_EVENT_DIR_LEVEL;
// What directory-level clients see of a file change, and of a directory change.
constexpr uint32_t IN_DIR_FILE = 0, IN_DIR_DIR = VANTLES_EVENT_DIR_LEVEL;

std::string describe(const std::string& path, uint32_t flags) {
    char names[512];
    vantles_format_flags(flags, "|", names, sizeof names);
    return path + " [" + names + "]";
}

using want = std::vector<std::pair<std::string, uint32_t>>;

// The changes a sink received (no kernel-dropped notices) whose paths keep matches, in order.
std::vector<std::string> changes(live_sink* sink,
                                 const std::function<bool(const std::string&)>& keep = nullptr) {
    std::vector<std::string> out;
    for (const live_event& e : live_sink_events(sink))
        if (!(e.flags & VANTLES_EVENT_KERNEL_DROPPED) && (!keep || keep(e.path)))
            out.push_back(describe(e.path, e.flags));
    return out;
}

::testing::AssertionResult received(live_sink* sink, const std::string& path, uint32_t flags) {
    auto is = [&](const live_event& e) { return e.path == path && e.flags == flags; };
    if (live_wait_event(sink, is, LIVE_EVENT_TIMEOUT_MS))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no " << describe(path, flags) << "; received:\n"
                                         << live_describe(live_sink_events(sink));
}

class Live : public ScratchDaemonTest {
protected:
    void prepare() override {
        ASSERT_TRUE(ScratchDaemonTest::start({}, {}, true));
        ASSERT_EQ(0, live_make_dir(daemon_, SYNC_DIR));
    }
    void make_dirs(const std::vector<std::string>& dirs) {
        for (const std::string& dir : dirs)
            ASSERT_EQ(0, live_make_dir(daemon_, dir)) << dir;
        ASSERT_EQ(0, live_sync(daemon_, SYNC_DIR));  // streams started afterwards see none
    }
    void create(const std::string& path) { ASSERT_EQ(0, live_create_file(daemon_, path)) << path; }
    void start(live_stream* s, std::vector<std::string> paths, uint32_t flags,
               uint64_t latency_us = 0, uint32_t device = 0,
               std::vector<std::string> excludes = {}) {
        vantles_stream_options o = live_options(daemon_, std::move(paths), flags, latency_us);
        o.device = device;
        o.excludes = std::move(excludes);
        ASSERT_EQ(0, live_stream_start(s, o));
    }
};

// The path and flag forms of file-level, directory-level, device-relative and "/" clients,
// exclusions (per client, the excluded directory itself still reported), ignored names, and a
// change on another file system bound into the root, which keeps its path there.
TEST_F(Live, EachClientGetsItsOwnFormOfTheSameChanges) {
    make_dirs({"/tmp/lv", "/tmp/lv/d1", "/tmp/lv/d2", "/tmp/lv/d3", "/tmp/lv/skip",
               "/tmp/lv/skip/deep", "/tmp/lv/skipper", "/tmp/ig"});
    create("/tmp/lv/d3/c");
    ASSERT_EQ(0, live_sync(daemon_, SYNC_DIR));
    uint32_t device = live_device_of(daemon_, "/");
    live_stream file, dir, rel, all;
    start(&file, {"/tmp/lv"}, VANTLES_FLAG_FILE_EVENTS, 0, 0, {"/tmp/lv/skip"});
    start(&dir, {"/tmp/lv/"}, 0, 0, 0, {"/tmp/lv/skip"});  // a trailing "/" watches the same tree
    start(&rel, {"tmp/lv"}, VANTLES_FLAG_FILE_EVENTS, 0, device, {"tmp/lv/skip/"});
    start(&all, {"/"}, VANTLES_FLAG_FILE_EVENTS);

    ASSERT_EQ(0, mkdir(host("/tmp/lv/d1/sub").c_str(), 0755));
    ASSERT_EQ(0, chmod(host("/tmp/lv").c_str(), 0700));  // the watched directory itself
    create("/tmp/lv/skip/f");
    create("/tmp/lv/skip/deep/g");
    create("/tmp/lv/skipper/h");  // shares the excluded name's prefix
    ASSERT_EQ(0, chmod(host("/tmp/lv/skip").c_str(), 0700));
    ASSERT_EQ(0, mkdir(host("/.Glimmer-V100").c_str(), 0755));  // ignored at the volume root
    create("/.Glimmer-V100/f");
    create("/Vaults.vaultdb");
    ASSERT_EQ(0, mkdir(host("/tmp/ig/.qsd").c_str(), 0755));  // ".qsd" ignored below it
    create("/tmp/ig/.qsd/f");
    create("/top");
    std::string other = daemon_.dir + "/other-volume";  // the same path inside and outside
    ASSERT_TRUE(unique_fd(open(other.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)).valid());
    ASSERT_EQ(0, unlink(host("/tmp/lv/d3/c").c_str()));
    create("/tmp/lv/d2/z");

    std::vector<std::string> absolute, relative;
    for (auto [path, flags] : want{{"lv/d1/sub", DIR_CREATED},
                                   {"lv", DIR_STAT},
                                   {"lv/skipper/h", FILE_CREATED},
                                   {"lv/skip", DIR_STAT},
                                   {"lv/d3/c", FILE_REMOVED},
                                   {"lv/d2/z", FILE_CREATED}}) {
        absolute.push_back(describe("/tmp/" + path, flags));
        relative.push_back(describe("tmp/" + path, flags));
    }
    ASSERT_TRUE(received(&file.sink, "/tmp/lv/d2/z", FILE_CREATED));
    EXPECT_EQ(absolute, changes(&file.sink));
    ASSERT_TRUE(received(&rel.sink, "tmp/lv/d2/z", FILE_CREATED));
    EXPECT_EQ(relative, changes(&rel.sink));

    // Directory level: the parent with its "/", flags masked; a change of the watched
    // directory itself is not reported (its parent is shorter than the watched path).
    ASSERT_TRUE(received(&dir.sink, "/tmp/lv/d2/", IN_DIR_FILE));
    EXPECT_EQ(
        (std::vector{describe("/tmp/lv/d1/", IN_DIR_DIR), describe("/tmp/lv/skipper/", IN_DIR_FILE),
                     describe("/tmp/lv/", IN_DIR_DIR), describe("/tmp/lv/d3/", IN_DIR_FILE),
                     describe("/tmp/lv/d2/", IN_DIR_FILE)}),
        changes(&dir.sink));
    // The "/" client may fall behind the machine's changes and get a dropped notice instead.
    auto end = [](const live_event& e) {
        return e.path == "/tmp/lv/d2/z" || (e.flags & VANTLES_EVENT_USER_DROPPED);
    };
    live_event last;
    ASSERT_TRUE(live_wait_event(&all.sink, end, SCRATCH_WAIT_MS, &last));
    if (!(last.flags & VANTLES_EVENT_USER_DROPPED)) {
        // Excluded for other clients only, and not ignored.
        for (std::string p : {"/tmp/lv/skip/f", "/tmp/lv/skip/deep/g", "/tmp/ig/.qsd", "/top"})
            EXPECT_TRUE(live_wait_event(&all.sink, live_path_is(p), 0)) << p;
        EXPECT_TRUE(live_wait_event(&all.sink, live_path_is(other), 0)) << "the other volume";
    }
    for (const live_event& e : live_sink_events(&all.sink))
        EXPECT_TRUE(e.path.rfind("/.Glimmer-V100", 0) != 0 && e.path != "/Vaults.vaultdb" &&
                    e.path.find("/.qsd/") == std::string::npos)
            << "ignored path delivered: " << e.path;
}

// A flush delivers at once and answers the highest id handed out; a stopped client is dropped.
// Mark-self and ignore-self over the wire; every termination signal ends the daemon with 0.
TEST_F(Live, FlushStopAndOwnChangesThenTheDaemonEndsCleanly) {
    make_dirs({"/tmp/un", "/tmp/own", "/tmp/own/d1", "/tmp/own/d2"});
    const int base = LIVE_INTERNAL_CLIENTS;
    live_stream held, prompt;
    start(&held, {"/tmp/un"}, VANTLES_FLAG_FILE_EVENTS, 30000000);  // 30 s latency
    start(&prompt, {"/tmp/un"}, VANTLES_FLAG_FILE_EVENTS);
    EXPECT_TRUE(live_state_becomes(&daemon_, base + 2, -1, LIVE_DUMP_TIMEOUT_MS));
    create("/tmp/un/f1");
    live_event f1, got;
    ASSERT_TRUE(live_wait_event(&prompt.sink, live_path_is("/tmp/un/f1"), SCRATCH_WAIT_MS, &f1));
    int64_t flushed = live_now_ms();
    uint64_t last_id = 0;
    EXPECT_EQ(0, vantles_stream_flush(held.stream, &last_id));
    ASSERT_TRUE(live_wait_event(&held.sink, live_path_is("/tmp/un/f1"), SCRATCH_WAIT_MS, &got));
    EXPECT_LT(got.received_ms - flushed, 15000) << "the flush did not deliver";
    EXPECT_EQ(f1.id, got.id);
    EXPECT_TRUE(vantles_stream_flush(held.stream, &last_id) == 0 && last_id >= f1.id);
    ASSERT_EQ(0, live_stream_stop(&held));
    create("/tmp/un/f2");  // for no one but prompt: nothing is held for the stopped client
    ASSERT_TRUE(received(&prompt.sink, "/tmp/un/f2", FILE_CREATED));
    EXPECT_TRUE(live_state_becomes(&daemon_, base + 1, 0, LIVE_DUMP_TIMEOUT_MS));
    ASSERT_EQ(0, live_stream_stop(&prompt));
    EXPECT_TRUE(live_state_becomes(&daemon_, base, 0, LIVE_DUMP_TIMEOUT_MS));

    live_stream marked, ignoring, marked_dirs;  // unmarked for a client not asking: clients_test
    start(&marked, {"/tmp/own"}, VANTLES_FLAG_FILE_EVENTS | VANTLES_FLAG_MARK_SELF);
    start(&ignoring, {"/tmp/own"}, VANTLES_FLAG_FILE_EVENTS | VANTLES_FLAG_IGNORE_SELF);
    start(&marked_dirs, {"/tmp/own"}, VANTLES_FLAG_MARK_SELF);
    auto foreign = [&](const std::string& path) {  // made by another process
        ASSERT_EQ(0, run_child(daemon_, [&] { return close(creat(path.c_str(), 0644)); })) << path;
    };
    create("/tmp/own/mine1");
    foreign("/tmp/own/theirs1");
    create("/tmp/own/d1/mine2");
    foreign("/tmp/own/d2/theirs2");
    constexpr uint32_t OWN = VANTLES_EVENT_OWN;
    const std::string end = "/tmp/own/d2/theirs2";
    ASSERT_TRUE(received(&marked.sink, end, FILE_CREATED));
    EXPECT_EQ((std::vector{describe("/tmp/own/mine1", FILE_CREATED | OWN),
                           describe("/tmp/own/theirs1", FILE_CREATED),
                           describe("/tmp/own/d1/mine2", FILE_CREATED | OWN),
                           describe(end, FILE_CREATED)}),
              changes(&marked.sink));
    ASSERT_TRUE(received(&ignoring.sink, end, FILE_CREATED));
    EXPECT_EQ(
        (std::vector{describe("/tmp/own/theirs1", FILE_CREATED), describe(end, FILE_CREATED)}),
        changes(&ignoring.sink));
    ASSERT_TRUE(received(&marked_dirs.sink, "/tmp/own/d2/", IN_DIR_FILE));
    EXPECT_EQ(
        (std::vector{describe("/tmp/own/", IN_DIR_FILE | OWN), describe("/tmp/own/", IN_DIR_FILE),
                     describe("/tmp/own/d1/", IN_DIR_FILE | OWN),
                     describe("/tmp/own/d2/", IN_DIR_FILE)}),
        changes(&marked_dirs.sink));

    for (int sig : {SIGINT, SIGHUP, SIGQUIT, SIGTERM}) {
        ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"}, SCRATCH_WAIT_MS, sig))
            << sigabbrev_np(sig);
        EXPECT_TRUE(WIFEXITED(daemon_.status) && WEXITSTATUS(daemon_.status) == 0)
            << sigabbrev_np(sig) << ": wait status 0x" << std::hex << daemon_.status;
    }
}

}  // namespace
