// Live delivery end to end: the real daemon watches its scratch root through its kernel event
// source, and streams of the client library receive what the test changes there.
//
// The scratch root shares /usr and /etc with the machine, so a "/" client also gets foreign
// changes and kernel-dropped notices: the checks leave those out. Every change has a path of
// its own (and so does every directory-level record it makes), since the event table merges
// changes of one path and the outcome would otherwise depend on timing.
#include "tests/support/live_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

namespace {

constexpr const char* SYNC_DIR = "/tmp/sync";  // live_sync's files; no stream watches it
constexpr int WAIT_MS = 30000;

constexpr uint32_t FILE_CREATED = VANTLES_EVENT_CREATED | VANTLES_EVENT_FILE;
constexpr uint32_t FILE_REMOVED = VANTLES_EVENT_REMOVED | VANTLES_EVENT_FILE;
constexpr uint32_t DIR_CREATED =
    VANTLES_EVENT_DIR_CREATED | VANTLES_EVENT_DIR | VANTLES_EVENT_DIR_LEVEL;
constexpr uint32_t DIR_STAT =
    VANTLES_EVENT_STAT_CHANGED | VANTLES_EVENT_DIR | VANTLES_EVENT_DIR_LEVEL;
// What directory-level clients see of a file change, and of a directory change.
constexpr uint32_t IN_DIR_FILE = 0;
constexpr uint32_t IN_DIR_DIR = VANTLES_EVENT_DIR_LEVEL;

std::string describe(const std::string& path, uint32_t flags) {
    char names[512];
    vantles_format_flags(flags, "|", names, sizeof names);
    return path + " [" + names + "]";
}

using want = std::vector<std::pair<std::string, uint32_t>>;

std::vector<std::string> described(const want& events) {
    std::vector<std::string> out;
    for (const auto& [path, flags] : events)
        out.push_back(describe(path, flags));
    return out;
}

// The changes a sink received (no kernel-dropped notices) that keep matches, in order.
std::vector<std::string> changes(live_sink* sink,
                                 const std::function<bool(const std::string&)>& keep = nullptr) {
    std::vector<std::string> out;
    for (const live_event& e : live_sink_events(sink))
        if (!(e.flags & VANTLES_EVENT_KERNEL_DROPPED) && (!keep || keep(e.path)))
            out.push_back(describe(e.path, e.flags));
    return out;
}

::testing::AssertionResult received(live_sink* sink, const std::string& path, uint32_t flags) {
    if (live_wait_event(sink, live_event_is(path, flags), LIVE_EVENT_TIMEOUT_MS))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no " << describe(path, flags) << "; received:\n"
                                         << live_describe(live_sink_events(sink));
}

// For a "/" client, which may fall behind the machine's own changes and get an events-dropped
// notice instead: false (its list is then not checked) when the notice came first.
bool received_unless_dropped(live_sink* sink, const std::string& path, uint32_t flags) {
    live_event got;
    auto match = [&](const live_event& e) {
        return (e.path == path && e.flags == flags) || (e.flags & VANTLES_EVENT_USER_DROPPED);
    };
    if (!live_wait_event(sink, match, LIVE_EVENT_TIMEOUT_MS, &got)) {
        ADD_FAILURE() << "no " << describe(path, flags);
        return false;
    }
    return !(got.flags & VANTLES_EVENT_USER_DROPPED);
}

class Live : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
        ASSERT_EQ(0, test_daemon_start(&daemon_, {"-d"})) << test_daemon_log(daemon_);
        ASSERT_EQ(0, live_make_dir(daemon_, SYNC_DIR));
    }
    void TearDown() override {
        if (IsSkipped())
            return;
        EXPECT_TRUE(test_daemon_running(&daemon_)) << "the daemon died";
        if (HasFailure())
            test_daemon_print_log_tail(daemon_);
    }

    std::string at(const std::string& path) const { return live_root_path(daemon_, path); }
    void make_dirs(const std::vector<std::string>& dirs) {
        for (const std::string& dir : dirs)
            ASSERT_EQ(0, live_make_dir(daemon_, dir)) << dir;
    }
    void create(const std::string& path) { ASSERT_EQ(0, live_create_file(daemon_, path)) << path; }
    // Every change made so far has been routed: streams started afterwards see none of it.
    void settle() { ASSERT_EQ(0, live_sync(daemon_, SYNC_DIR)); }
    void start(live_stream* s, std::vector<std::string> paths, uint32_t flags,
               uint64_t latency_us = 0, uint32_t device = 0,
               std::vector<std::string> excludes = {}) {
        vantles_stream_options o = live_options(daemon_, std::move(paths), flags, latency_us);
        o.device = device;
        o.excludes = std::move(excludes);
        ASSERT_EQ(0, live_stream_start(s, o));
    }

    test_daemon daemon_;
};

// The path and flag forms of file-level, directory-level, device-relative and "/" clients,
// exclusions (per client, the excluded directory itself still reported), ignored names, and a
// change on another file system bound into the root, which keeps its path there.
TEST_F(Live, EachClientGetsItsOwnFormOfTheSameChanges) {
    make_dirs({"/tmp/lv", "/tmp/lv/d1", "/tmp/lv/d2", "/tmp/lv/d3", "/tmp/lv/skip",
               "/tmp/lv/skip/deep", "/tmp/lv/skipper", "/tmp/lvx", "/tmp/ig"});
    create("/tmp/lv/d3/c");
    settle();
    uint32_t device = live_device_of(daemon_, "/");
    ASSERT_NE(0u, device);
    live_stream file, dir, rel, rel_root_dirs, all;
    start(&file, {"/tmp/lv"}, VANTLES_FLAG_FILE_EVENTS, 0, 0, {"/tmp/lv/skip"});
    start(&dir, {"/tmp/lv/"}, 0, 0, 0, {"/tmp/lv/skip"});  // a trailing "/" watches the same tree
    start(&rel, {"tmp/lv"}, VANTLES_FLAG_FILE_EVENTS, 0, device, {"tmp/lv/skip/"});
    start(&rel_root_dirs, {""}, 0, 0, device);  // "": the volume root
    start(&all, {"/"}, VANTLES_FLAG_FILE_EVENTS);

    ASSERT_EQ(0, mkdir(at("/tmp/lv/d1/sub").c_str(), 0755));
    ASSERT_EQ(0, chmod(at("/tmp/lv").c_str(), 0700));  // the watched directory itself
    create("/tmp/lvx/f");                              // a sibling sharing the name's prefix
    create("/tmp/lv/skip/f");
    create("/tmp/lv/skip/deep/g");
    create("/tmp/lv/skipper/h");  // shares the excluded name's prefix
    ASSERT_EQ(0, chmod(at("/tmp/lv/skip").c_str(), 0700));
    ASSERT_EQ(0, mkdir(at("/.Glimmer-V100").c_str(), 0755));  // ignored at the volume root
    create("/.Glimmer-V100/f");
    create("/Vaults.vaultdb");
    ASSERT_EQ(0, mkdir(at("/tmp/ig/.qsd").c_str(), 0755));  // ".qsd" ignored below it
    create("/tmp/ig/.qsd/f");
    create("/top");
    std::string other = daemon_.dir + "/other-volume";  // the same path inside and outside
    ASSERT_TRUE(unique_fd(open(other.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)).valid());
    ASSERT_EQ(0, unlink(at("/tmp/lv/d3/c").c_str()));
    create("/tmp/lv/d2/z");

    const want in_lv = {{"lv/d1/sub", DIR_CREATED},     {"lv", DIR_STAT},
                        {"lv/skipper/h", FILE_CREATED}, {"lv/skip", DIR_STAT},
                        {"lv/d3/c", FILE_REMOVED},      {"lv/d2/z", FILE_CREATED}};
    want absolute, relative;
    for (const auto& [path, flags] : in_lv) {
        absolute.push_back({"/tmp/" + path, flags});
        relative.push_back({"tmp/" + path, flags});
    }
    ASSERT_TRUE(received(&file.sink, "/tmp/lv/d2/z", FILE_CREATED));
    EXPECT_EQ(described(absolute), changes(&file.sink));
    ASSERT_TRUE(received(&rel.sink, "tmp/lv/d2/z", FILE_CREATED));
    EXPECT_EQ(described(relative), changes(&rel.sink));

    // Directory level: the parent with its "/", flags masked; a change of the watched
    // directory itself is not reported (its parent is shorter than the watched path).
    ASSERT_TRUE(received(&dir.sink, "/tmp/lv/d2/", IN_DIR_FILE));
    EXPECT_EQ(described({{"/tmp/lv/d1/", IN_DIR_DIR},
                         {"/tmp/lv/skipper/", IN_DIR_FILE},
                         {"/tmp/lv/", IN_DIR_DIR},
                         {"/tmp/lv/d3/", IN_DIR_FILE},
                         {"/tmp/lv/d2/", IN_DIR_FILE}}),
              changes(&dir.sink));
    // The volume root's own changes come as the empty path; the other file system not at all.
    ASSERT_TRUE(received(&rel_root_dirs.sink, "tmp/lv/d2/", IN_DIR_FILE));
    EXPECT_EQ(described({{"tmp/lv/d1/", IN_DIR_DIR},
                         {"tmp/", IN_DIR_DIR},
                         {"tmp/lvx/", IN_DIR_FILE},
                         {"tmp/lv/skip/", IN_DIR_FILE},
                         {"tmp/lv/skip/deep/", IN_DIR_FILE},
                         {"tmp/lv/skipper/", IN_DIR_FILE},
                         {"tmp/lv/", IN_DIR_DIR},
                         {"tmp/ig/", IN_DIR_DIR},
                         {"", IN_DIR_FILE},
                         {"tmp/lv/d3/", IN_DIR_FILE},
                         {"tmp/lv/d2/", IN_DIR_FILE}}),
              changes(&rel_root_dirs.sink));

    if (received_unless_dropped(&all.sink, "/tmp/lv/d2/z", FILE_CREATED)) {
        EXPECT_EQ(described({{"/tmp/lv/d1/sub", DIR_CREATED},
                             {"/tmp/lv", DIR_STAT},
                             {"/tmp/lvx/f", FILE_CREATED},
                             {"/tmp/lv/skip/f", FILE_CREATED},
                             {"/tmp/lv/skip/deep/g", FILE_CREATED},
                             {"/tmp/lv/skipper/h", FILE_CREATED},
                             {"/tmp/lv/skip", DIR_STAT},
                             {"/tmp/ig/.qsd", DIR_CREATED},
                             {"/top", FILE_CREATED},
                             {"/tmp/lv/d3/c", FILE_REMOVED},
                             {"/tmp/lv/d2/z", FILE_CREATED}}),
                  changes(&all.sink, [](const std::string& p) {
                      return p.rfind("/tmp/l", 0) == 0 || p.rfind("/tmp/ig", 0) == 0 || p == "/top";
                  }));
        EXPECT_FALSE(changes(&all.sink, [&](const std::string& p) { return p == other; }).empty())
            << live_describe(live_sink_events(&all.sink));
    }
    for (const live_event& e : live_sink_events(&all.sink))
        EXPECT_TRUE(e.path.rfind("/.Glimmer-V100", 0) != 0 && e.path != "/Vaults.vaultdb" &&
                    e.path.find("/.qsd/") == std::string::npos)
            << "ignored path delivered: " << e.path;
}

// A flush delivers what a client holds at once and answers the highest id handed to it; a
// stopped client is dropped with nothing held for it; started again it gets nothing of the
// time between.
TEST_F(Live, FlushDeliversAndStopEndsTheClient) {
    make_dirs({"/tmp/un"});
    settle();
    const int base = LIVE_INTERNAL_CLIENTS;
    ASSERT_TRUE(live_state_becomes(&daemon_, base, -1, LIVE_DUMP_TIMEOUT_MS));
    live_stream held, prompt;
    start(&held, {"/tmp/un"}, VANTLES_FLAG_FILE_EVENTS, 30000000);  // 30 s latency
    start(&prompt, {"/tmp/un"}, VANTLES_FLAG_FILE_EVENTS);
    EXPECT_TRUE(live_state_becomes(&daemon_, base + 2, -1, LIVE_DUMP_TIMEOUT_MS));

    create("/tmp/un/f1");
    live_event f1, got;
    ASSERT_TRUE(
        live_wait_event(&prompt.sink, live_path_is("/tmp/un/f1"), LIVE_EVENT_TIMEOUT_MS, &f1));
    int64_t flushed = live_now_ms();
    uint64_t last_id = 0;
    EXPECT_EQ(0, vantles_stream_flush(held.stream, &last_id));  // the highest id handed before it
    ASSERT_TRUE(
        live_wait_event(&held.sink, live_path_is("/tmp/un/f1"), LIVE_EVENT_TIMEOUT_MS, &got));
    EXPECT_LT(got.received_ms - flushed, 15000) << "the flush did not deliver";
    EXPECT_EQ(f1.id, got.id);
    EXPECT_EQ(0, vantles_stream_flush(held.stream, &last_id));
    EXPECT_GE(last_id, f1.id);

    ASSERT_EQ(0, live_stream_stop(&held));
    EXPECT_TRUE(live_state_becomes(&daemon_, base + 1, 0, LIVE_DUMP_TIMEOUT_MS));
    create("/tmp/un/f2");
    ASSERT_TRUE(received(&prompt.sink, "/tmp/un/f2", FILE_CREATED));
    EXPECT_TRUE(live_state_becomes(&daemon_, base + 1, 0, LIVE_DUMP_TIMEOUT_MS));

    ASSERT_EQ(0, live_stream_start(&held, vantles_stream_options{}));
    EXPECT_TRUE(live_state_becomes(&daemon_, base + 2, -1, LIVE_DUMP_TIMEOUT_MS));
    create("/tmp/un/f3");
    ASSERT_TRUE(received(&prompt.sink, "/tmp/un/f3", FILE_CREATED));
    EXPECT_EQ(0, vantles_stream_flush(held.stream, &last_id));
    ASSERT_TRUE(received(&held.sink, "/tmp/un/f3", FILE_CREATED));
    EXPECT_EQ(described({{"/tmp/un/f1", FILE_CREATED}, {"/tmp/un/f3", FILE_CREATED}}),
              changes(&held.sink));
    ASSERT_EQ(0, live_stream_stop(&held));
    ASSERT_EQ(0, live_stream_stop(&prompt));
    EXPECT_TRUE(live_state_becomes(&daemon_, base, 0, LIVE_DUMP_TIMEOUT_MS));
}

// Mark-self flags this process's changes, ignore-self drops them; a marked process's changes
// are never merged with another's at directory level.
TEST_F(Live, MarkSelfAndIgnoreSelf) {
    make_dirs({"/tmp/own", "/tmp/own/d1", "/tmp/own/d2"});
    settle();
    live_stream plain, marked, ignoring, marked_dirs;
    start(&plain, {"/tmp/own"}, VANTLES_FLAG_FILE_EVENTS);
    start(&marked, {"/tmp/own"}, VANTLES_FLAG_FILE_EVENTS | VANTLES_FLAG_MARK_SELF);
    start(&ignoring, {"/tmp/own"}, VANTLES_FLAG_FILE_EVENTS | VANTLES_FLAG_IGNORE_SELF);
    start(&marked_dirs, {"/tmp/own"}, VANTLES_FLAG_MARK_SELF);
    auto foreign = [&](const std::string& path) {
        std::string target = at(path);
        ASSERT_EQ(0, live_in_child([&target] {
                      int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                      return fd < 0 ? 1 : close(fd);
                  }));
    };
    create("/tmp/own/mine1");
    foreign("/tmp/own/theirs1");
    create("/tmp/own/d1/mine2");
    foreign("/tmp/own/d2/theirs2");

    constexpr uint32_t OWN = VANTLES_EVENT_OWN;
    const std::string end = "/tmp/own/d2/theirs2";
    ASSERT_TRUE(received(&plain.sink, end, FILE_CREATED));
    EXPECT_EQ(described({{"/tmp/own/mine1", FILE_CREATED},
                         {"/tmp/own/theirs1", FILE_CREATED},
                         {"/tmp/own/d1/mine2", FILE_CREATED},
                         {end, FILE_CREATED}}),
              changes(&plain.sink));
    ASSERT_TRUE(received(&marked.sink, end, FILE_CREATED));
    EXPECT_EQ(described({{"/tmp/own/mine1", FILE_CREATED | OWN},
                         {"/tmp/own/theirs1", FILE_CREATED},
                         {"/tmp/own/d1/mine2", FILE_CREATED | OWN},
                         {end, FILE_CREATED}}),
              changes(&marked.sink));
    ASSERT_TRUE(received(&ignoring.sink, end, FILE_CREATED));
    EXPECT_EQ(described({{"/tmp/own/theirs1", FILE_CREATED}, {end, FILE_CREATED}}),
              changes(&ignoring.sink));
    ASSERT_TRUE(received(&marked_dirs.sink, "/tmp/own/d2/", IN_DIR_FILE));
    EXPECT_EQ(described({{"/tmp/own/", IN_DIR_FILE | OWN},
                         {"/tmp/own/", IN_DIR_FILE},
                         {"/tmp/own/d1/", IN_DIR_FILE | OWN},
                         {"/tmp/own/d2/", IN_DIR_FILE}}),
              changes(&marked_dirs.sink));
}

// Numbered files "f000123-xxx...": long names fill a client's socket after fewer batches.
std::string numbered(const std::string& dir, int index) {
    char name[16];
    snprintf(name, sizeof name, "/f%06d-", index);
    return dir + name + std::string(190, 'x');
}

int number_of(const std::string& dir, const std::string& path) {
    int n = -1;
    return path.rfind(dir + "/f", 0) == 0 && sscanf(path.c_str() + dir.size(), "/f%6d-", &n) == 1
               ? n
               : -1;
}

// A client process killed while changes keep coming is forgotten: its record, its
// descriptors and every event held for it; the daemon goes on serving others.
TEST_F(Live, KilledClientIsReclaimed) {
    make_dirs({"/tmp/dead"});
    settle();
    ASSERT_TRUE(live_state_becomes(&daemon_, LIVE_INTERNAL_CLIENTS, 0, WAIT_MS));
    int fds_before = proc_resting_fd_count(daemon_.pid);
    int report[2];
    ASSERT_EQ(0, pipe2(report, O_CLOEXEC));
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // a slow reader: 'e' after its first batch, then reads on slowly
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        vantles_stream_options o = live_options(daemon_, {"/tmp/dead"}, VANTLES_FLAG_FILE_EVENTS);
        vantles_stream* s = nullptr;
        auto slow = [](void* fd, std::span<const vantles_event>) {
            (void)!write(*static_cast<int*>(fd), "e", 1);
            usleep(20000);
        };
        if (vantles_stream_create(o, slow, &report[1], &s) != 0 || vantles_stream_start(s) != 0)
            _exit(2);
        for (;;)
            vantles_stream_dispatch(s, 1000);
    }
    close(report[1]);
    unique_fd from_child(report[0]);
    int made = 0;
    auto make = [&](int count) {
        for (int end = made + count; made < end; made++)
            ASSERT_EQ(0, live_create_file(daemon_, numbered("/tmp/dead", made)));
    };
    char got = 0;
    for (int64_t deadline = live_now_ms() + WAIT_MS; got != 'e' && live_now_ms() < deadline;) {
        make(5);
        pollfd p = {from_child.get(), POLLIN, 0};
        if (poll(&p, 1, 20) == 1) {
            ASSERT_EQ(1, read(from_child.get(), &got, 1));
        }
    }
    ASSERT_EQ('e', got) << "the child received nothing";
    make(300);
    kill(child, SIGKILL);
    make(100);
    waitpid(child, nullptr, 0);
    make(300);
    EXPECT_TRUE(live_state_becomes(&daemon_, LIVE_INTERNAL_CLIENTS, 0, WAIT_MS));
    EXPECT_TRUE(fd_count_returns(daemon_.pid, fds_before, WAIT_MS));
    live_stream next;
    start(&next, {"/tmp/dead"}, VANTLES_FLAG_FILE_EVENTS);
    create("/tmp/dead/after");
    EXPECT_TRUE(received(&next.sink, "/tmp/dead/after", FILE_CREATED));
}

// One client stops reading while thousands of files appear: its socket fills, its delivery
// thread waits in a send until that times out (10 s), its ring (468) overflows. Meanwhile
// another client gets every change promptly. Read again, the stuck client gets exactly one
// events-dropped notice with the first lost id, nothing lost in silence, nothing twice, then
// the rest in id order.
TEST_F(Live, StuckClientOwesOneDroppedNoticeAndHoldsUpNoOne) {
    make_dirs({"/tmp/slow", "/tmp/fast"});
    settle();
    live_stream slow, fast;
    vantles_stream_options o = live_options(daemon_, {"/tmp/slow"}, VANTLES_FLAG_FILE_EVENTS);
    ASSERT_EQ(0, vantles_stream_create(o, live_sink_collect, &slow.sink, &slow.stream));
    ASSERT_EQ(0, vantles_stream_start(slow.stream));  // registered, its thread not started
    start(&fast, {"/tmp/slow", "/tmp/fast"}, VANTLES_FLAG_FILE_EVENTS, 100000);
    constexpr int MADE = 4000;
    for (int i = 0; i < MADE; i++)
        ASSERT_EQ(0, live_create_file(daemon_, numbered("/tmp/slow", i)));
    int64_t stuck_since = live_now_ms();
    for (int m = 0; live_now_ms() - stuck_since < 11500; m++) {
        std::string path = "/tmp/fast/m" + std::to_string(m);
        create(path);
        ASSERT_TRUE(live_wait_event(&fast.sink, live_path_is(path), 5000)) << path << " held up";
        std::this_thread::sleep_for(std::chrono::milliseconds(250));  // pacing, not a wait
    }
    ASSERT_EQ(0, vantles_stream_start_thread(slow.stream));
    EXPECT_TRUE(live_state_becomes(&daemon_, 2 + LIVE_INTERNAL_CLIENTS, 0, WAIT_MS))
        << "events still held";
    create("/tmp/slow/end");
    ASSERT_TRUE(received(&slow.sink, "/tmp/slow/end", FILE_CREATED));
    ASSERT_EQ(0, live_stream_stop(&slow));

    std::vector<live_event> events = live_sink_events(&slow.sink);
    std::vector<size_t> notices;
    for (size_t i = 0; i < events.size(); i++)
        if (events[i].flags & VANTLES_EVENT_USER_DROPPED)
            notices.push_back(i);
    ASSERT_EQ(1u, notices.size()) << live_describe(events);
    const size_t at = notices[0];
    const uint64_t lost = events[at].id;
    EXPECT_EQ(describe("/tmp/slow", VANTLES_EVENT_USER_DROPPED),
              describe(events[at].path, events[at].flags));
    std::set<int> delivered;
    int highest_below = -1, last_before = -1, first_after = -1;
    for (size_t i = 0; i < events.size(); i++) {
        if (i != at) {
            EXPECT_NE(lost, events[i].id) << "the lost id was delivered";
            if (i < at) {
                EXPECT_LT(events[i].id, lost);
            } else if (i > at + 1) {
                EXPECT_GT(events[i].id, events[i - 1].id) << "out of order at " << i;
            }
        }
        int k = number_of("/tmp/slow", events[i].path);
        if (k < 0)
            continue;
        EXPECT_TRUE(delivered.insert(k).second) << "file " << k << " twice";
        if (events[i].id < lost)
            highest_below = std::max(highest_below, k);
        if (i < at)
            last_before = std::max(last_before, k);
        else if (first_after < 0)
            first_after = k;
    }
    for (int k = 0; k <= highest_below; k++)
        EXPECT_TRUE(delivered.count(k)) << "file " << k << " lost without a notice";
    EXPECT_GT(delivered.size(), 468u) << "fewer files than the ring alone holds";
    EXPECT_LT(delivered.size(), size_t{MADE});
    // The notice names the first event of the batch whose send timed out: that batch is lost.
    EXPECT_GE(first_after - last_before - 1, 1) << "no batch was lost";
    EXPECT_LE(first_after - last_before - 1, 32);
    EXPECT_EQ("/tmp/slow/end", events.back().path);
}

// Every termination signal ends the daemon with status 0 (and each next one starts on the
// history the last left).
TEST_F(Live, TerminationSignalsEndTheDaemonCleanly) {
    for (int sig : {SIGINT, SIGHUP, SIGQUIT, SIGTERM}) {
        ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"}, WAIT_MS, sig)) << sigabbrev_np(sig);
        EXPECT_TRUE(WIFEXITED(daemon_.status) && WEXITSTATUS(daemon_.status) == 0)
            << sigabbrev_np(sig) << ": wait status 0x" << std::hex << daemon_.status;
    }
}

}  // namespace
