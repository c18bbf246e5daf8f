// Live delivery end to end: the real daemon watches its scratch root with its kernel event
// source, and streams of the client library receive what the test changes there. Covered:
// the path and flag forms of file-level, directory-level, device-relative and "/" clients;
// excluded and ignored directories; latency and no-defer; flush; stop (unregister); batch
// size and id order; mark-self and ignore-self.
//
// The daemon's scratch root shares /usr and /etc with the machine, so its event source also
// sees the machine's file system: a "/" client gets foreign changes, and every client may get
// a kernel-dropped notice when a foreign item vanished before its path was read. The checks
// leave those notices out and look at the scratch root's paths only.
//
// Changes are made back to back without waiting. The event table merges a change into a
// pending record of the same path, so every change here has a path of its own, and so does
// every directory-level record it produces; a test's outcome then does not depend on timing.
#include "tests/support/live_client.h"

#include "tests/support/scratch_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Where live_sync creates its files; no stream of a test watches it.
constexpr const char* LIVE_SYNC_DIR = "/tmp/sync";

// "path [flag|flag]": an event as the tests compare it.
std::string describe(const std::string& path, uint32_t flags) {
    char names[512];
    vantles_format_flags(flags, "|", names, sizeof names);
    return path + " [" + names + "]";
}

constexpr uint32_t FILE_CREATED = VANTLES_EVENT_CREATED | VANTLES_EVENT_FILE;
constexpr uint32_t FILE_REMOVED = VANTLES_EVENT_REMOVED | VANTLES_EVENT_FILE;
constexpr uint32_t DIR_CREATED =
    VANTLES_EVENT_DIR_CREATED | VANTLES_EVENT_DIR | VANTLES_EVENT_DIR_LEVEL;
constexpr uint32_t DIR_STAT_CHANGED =
    VANTLES_EVENT_STAT_CHANGED | VANTLES_EVENT_DIR | VANTLES_EVENT_DIR_LEVEL;
// What directory-level clients see of a file change, and of a directory change.
constexpr uint32_t IN_DIR_FILE = 0;
constexpr uint32_t IN_DIR_DIR = VANTLES_EVENT_DIR_LEVEL;

bool is_change(const live_event& e) {
    return !(e.flags & VANTLES_EVENT_KERNEL_DROPPED);
}

// The changes a sink received whose paths begin with prefix, in order of arrival.
std::vector<std::string> changes(live_sink* sink, const std::string& prefix = "") {
    std::vector<std::string> out;
    for (const live_event& e : live_sink_events(sink)) {
        if (is_change(e) && e.path.rfind(prefix, 0) == 0)
            out.push_back(describe(e.path, e.flags));
    }
    return out;
}

// Waits for the event; a client watching "/" may instead fall behind the machine's own
// changes and get an events-dropped notice, after which it cannot tell what it missed.
// True when the event came; false (with a note) when the notice came first; a test failure
// when neither did.
bool wait_unless_dropped(live_sink* sink, const std::string& path, uint32_t flags) {
    live_event got;
    auto match = [&](const live_event& e) {
        return (e.path == path && e.flags == flags) || (e.flags & VANTLES_EVENT_USER_DROPPED);
    };
    if (!live_wait_event(sink, match, LIVE_EVENT_TIMEOUT_MS, &got)) {
        ADD_FAILURE() << "no " << describe(path, flags) << " within " << LIVE_EVENT_TIMEOUT_MS
                      << " ms; received:\n"
                      << live_describe(live_sink_events(sink));
        return false;
    }
    if (got.flags & VANTLES_EVENT_USER_DROPPED) {
        printf("note: a \"/\" client fell behind the machine's changes; its list is not checked\n");
        return false;
    }
    return true;
}

::testing::AssertionResult received(live_sink* sink, const std::string& path, uint32_t flags) {
    if (live_wait_event(sink, live_event_is(path, flags), LIVE_EVENT_TIMEOUT_MS))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no " << describe(path, flags) << " within "
                                         << LIVE_EVENT_TIMEOUT_MS << " ms; received:\n"
                                         << live_describe(live_sink_events(sink));
}

class LiveDelivery : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
        ASSERT_EQ(0, test_daemon_start(&daemon_, {"-d"})) << test_daemon_log(daemon_);
        ASSERT_EQ(0, live_make_dir(daemon_, LIVE_SYNC_DIR));
    }

    void TearDown() override {
        if (IsSkipped())
            return;
        EXPECT_TRUE(test_daemon_running(&daemon_))
            << "the daemon died, wait status 0x" << std::hex << daemon_.status;
        if (HasFailure()) {
            std::string log = test_daemon_log(daemon_);
            if (log.size() > 6000)
                log = "...\n" + log.substr(log.size() - 6000);
            printf("---- daemon log ----\n%s---- end of log ----\n", log.c_str());
        }
    }

    std::string at(const std::string& path) const { return live_root_path(daemon_, path); }

    ::testing::AssertionResult make_dirs(const std::vector<std::string>& dirs) {
        for (const std::string& dir : dirs) {
            if (int err = live_make_dir(daemon_, dir); err != 0)
                return ::testing::AssertionFailure() << "mkdir " << dir << ": " << strerror(err);
        }
        return ::testing::AssertionSuccess();
    }

    // Every set-up change has been routed: streams started from now on see none of it.
    ::testing::AssertionResult settle() {
        if (int err = live_sync(daemon_, LIVE_SYNC_DIR); err != 0)
            return ::testing::AssertionFailure() << "live_sync: " << strerror(err);
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult start(live_stream* s, const vantles_stream_options& options) {
        if (int err = live_stream_start(s, options); err != 0)
            return ::testing::AssertionFailure() << "stream on " << options.paths[0] << ": " << err;
        return ::testing::AssertionSuccess();
    }

    vantles_stream_options options(std::vector<std::string> paths, uint32_t create_flags,
                                   uint64_t latency_us = 0) const {
        return live_options(daemon_, std::move(paths), create_flags, latency_us);
    }

    ::testing::AssertionResult create(const std::string& path) {
        if (int err = live_create_file(daemon_, path); err != 0)
            return ::testing::AssertionFailure() << "create " << path << ": " << strerror(err);
        return ::testing::AssertionSuccess();
    }

    test_daemon daemon_;
};

TEST_F(LiveDelivery, FileAndDirectoryLevelClientsGetTheirOwnFormsOfTheSameChanges) {
    ASSERT_TRUE(make_dirs({"/tmp/lv", "/tmp/lv/d1", "/tmp/lv/d2", "/tmp/lv/d3", "/tmp/lvx"}));
    ASSERT_TRUE(create("/tmp/lv/d3/c"));
    ASSERT_TRUE(settle());
    live_stream file, dir, all_files, all_dirs;
    ASSERT_TRUE(start(&file, options({"/tmp/lv"}, VANTLES_FLAG_FILE_EVENTS)));
    ASSERT_TRUE(start(&dir, options({"/tmp/lv/"}, 0)));  // a trailing "/" watches the same tree
    ASSERT_TRUE(start(&all_files, options({"/"}, VANTLES_FLAG_FILE_EVENTS)));
    ASSERT_TRUE(start(&all_dirs, options({"/"}, 0)));

    ASSERT_TRUE(create("/tmp/lv/a"));
    ASSERT_EQ(0, mkdir(at("/tmp/lv/d1/sub").c_str(), 0755));
    ASSERT_TRUE(create("/tmp/lv/d2/b"));
    ASSERT_EQ(0, chmod(at("/tmp/lv").c_str(), 0700));  // the watched directory itself
    ASSERT_TRUE(create("/tmp/lvx/f"));                 // a sibling sharing the name's prefix
    ASSERT_EQ(0, unlink(at("/tmp/lv/d3/c").c_str()));

    // File level: each path with its full flags.
    const std::vector<std::string> file_level = {
        describe("/tmp/lv/a", FILE_CREATED),    describe("/tmp/lv/d1/sub", DIR_CREATED),
        describe("/tmp/lv/d2/b", FILE_CREATED), describe("/tmp/lv", DIR_STAT_CHANGED),
        describe("/tmp/lv/d3/c", FILE_REMOVED),
    };
    ASSERT_TRUE(received(&file.sink, "/tmp/lv/d3/c", FILE_REMOVED));
    EXPECT_EQ(file_level, changes(&file.sink));

    // Directory level: the parent directory with its "/", flags masked. A change to the
    // watched directory itself is not reported: its parent is shorter than the watched path.
    ASSERT_TRUE(received(&dir.sink, "/tmp/lv/d3/", IN_DIR_FILE));
    EXPECT_EQ((std::vector<std::string>{
                  describe("/tmp/lv/", IN_DIR_FILE),
                  describe("/tmp/lv/d1/", IN_DIR_DIR),
                  describe("/tmp/lv/d2/", IN_DIR_FILE),
                  describe("/tmp/lv/d3/", IN_DIR_FILE),
              }),
              changes(&dir.sink));

    // "/" gets all of it, the sibling too, in the same forms.
    if (wait_unless_dropped(&all_files.sink, "/tmp/lv/d3/c", FILE_REMOVED)) {
        std::vector<std::string> everything = file_level;
        everything.insert(everything.begin() + 4, describe("/tmp/lvx/f", FILE_CREATED));
        EXPECT_EQ(everything, changes(&all_files.sink, "/tmp/"));
    }
    if (wait_unless_dropped(&all_dirs.sink, "/tmp/lv/d3/", IN_DIR_FILE)) {
        EXPECT_EQ((std::vector<std::string>{
                      describe("/tmp/lv/", IN_DIR_FILE),
                      describe("/tmp/lv/d1/", IN_DIR_DIR),
                      describe("/tmp/lv/d2/", IN_DIR_FILE),
                      describe("/tmp/", IN_DIR_DIR),
                      describe("/tmp/lvx/", IN_DIR_FILE),
                      describe("/tmp/lv/d3/", IN_DIR_FILE),
                  }),
                  changes(&all_dirs.sink, "/tmp/"));
    }
}

TEST_F(LiveDelivery, DeviceRelativeClientsGetPathsRelativeToTheirVolume) {
    ASSERT_TRUE(make_dirs({"/tmp/dv", "/tmp/dv/s1", "/tmp/dv/s2", "/tmp/dvx"}));
    ASSERT_TRUE(settle());
    uint32_t device = live_device_of(daemon_, "/");
    ASSERT_NE(0u, device);
    live_stream file, dir, root_files, root_dirs;
    auto relative = [&](std::string path, uint32_t create_flags) {
        vantles_stream_options o = options({std::move(path)}, create_flags);
        o.device = device;
        return o;
    };
    ASSERT_TRUE(start(&file, relative("tmp/dv", VANTLES_FLAG_FILE_EVENTS)));
    ASSERT_TRUE(start(&dir, relative("tmp/dv", 0)));
    ASSERT_TRUE(
        start(&root_files, relative("/", VANTLES_FLAG_FILE_EVENTS)));  // "/": the volume root
    ASSERT_TRUE(start(&root_dirs, relative("", 0)));                   // and so is ""

    ASSERT_TRUE(create("/tmp/dv/a"));
    ASSERT_TRUE(create("/tmp/dv/s1/b"));
    ASSERT_EQ(0, chmod(at("/tmp/dv").c_str(), 0700));
    ASSERT_TRUE(create("/tmp/dvx/c"));
    ASSERT_TRUE(create("/top"));  // at the volume root
    // Another volume (the machine's file system, shown in the scratch root): not this device.
    unique_fd other(open((daemon_.dir + "/other-volume").c_str(), O_WRONLY | O_CREAT, 0644));
    ASSERT_TRUE(other.valid());
    ASSERT_TRUE(create("/tmp/dv/s2/z"));

    ASSERT_TRUE(received(&file.sink, "tmp/dv/s2/z", FILE_CREATED));
    EXPECT_EQ((std::vector<std::string>{
                  describe("tmp/dv/a", FILE_CREATED),
                  describe("tmp/dv/s1/b", FILE_CREATED),
                  describe("tmp/dv", DIR_STAT_CHANGED),
                  describe("tmp/dv/s2/z", FILE_CREATED),
              }),
              changes(&file.sink));

    ASSERT_TRUE(received(&dir.sink, "tmp/dv/s2/", IN_DIR_FILE));
    EXPECT_EQ((std::vector<std::string>{
                  describe("tmp/dv/", IN_DIR_FILE),
                  describe("tmp/dv/s1/", IN_DIR_FILE),
                  describe("tmp/dv/s2/", IN_DIR_FILE),
              }),
              changes(&dir.sink));

    ASSERT_TRUE(received(&root_files.sink, "tmp/dv/s2/z", FILE_CREATED));
    EXPECT_EQ((std::vector<std::string>{
                  describe("tmp/dv/a", FILE_CREATED),
                  describe("tmp/dv/s1/b", FILE_CREATED),
                  describe("tmp/dv", DIR_STAT_CHANGED),
                  describe("tmp/dvx/c", FILE_CREATED),
                  describe("top", FILE_CREATED),
                  describe("tmp/dv/s2/z", FILE_CREATED),
              }),
              changes(&root_files.sink));

    // A change at the volume root is reported as the root itself: the empty path.
    ASSERT_TRUE(received(&root_dirs.sink, "tmp/dv/s2/", IN_DIR_FILE));
    EXPECT_EQ((std::vector<std::string>{
                  describe("tmp/dv/", IN_DIR_FILE),
                  describe("tmp/dv/s1/", IN_DIR_FILE),
                  describe("tmp/", IN_DIR_DIR),
                  describe("tmp/dvx/", IN_DIR_FILE),
                  describe("", IN_DIR_FILE),
                  describe("tmp/dv/s2/", IN_DIR_FILE),
              }),
              changes(&root_dirs.sink));
}

TEST_F(LiveDelivery, ExcludedAndIgnoredDirectoriesReachNobody) {
    ASSERT_TRUE(make_dirs({"/tmp/ex", "/tmp/ex/skip", "/tmp/ex/skip/deep", "/tmp/ex/skipper",
                           "/tmp/ex/keep", "/tmp/ig"}));
    ASSERT_TRUE(settle());
    uint32_t device = live_device_of(daemon_, "/");
    ASSERT_NE(0u, device);
    live_stream file, dir, relative, all_files, root_files;
    vantles_stream_options o = options({"/tmp/ex"}, VANTLES_FLAG_FILE_EVENTS);
    o.excludes = {"/tmp/ex/skip"};
    ASSERT_TRUE(start(&file, o));
    o.create_flags = 0;
    ASSERT_TRUE(start(&dir, o));
    o = options({"tmp/ex"}, VANTLES_FLAG_FILE_EVENTS);
    o.device = device;
    o.excludes = {"tmp/ex/skip/"};  // with its "/": the same exclusion
    ASSERT_TRUE(start(&relative, o));
    ASSERT_TRUE(start(&all_files, options({"/"}, VANTLES_FLAG_FILE_EVENTS)));
    o = options({"/"}, VANTLES_FLAG_FILE_EVENTS);
    o.device = device;
    ASSERT_TRUE(start(&root_files, o));

    ASSERT_TRUE(create("/tmp/ex/skip/f"));
    ASSERT_TRUE(create("/tmp/ex/skip/deep/g"));
    ASSERT_TRUE(create("/tmp/ex/skipper/h"));               // shares the prefix, not excluded
    ASSERT_EQ(0, chmod(at("/tmp/ex/skip").c_str(), 0700));  // the excluded directory itself
    // Ignored names at the volume root, and a ".qsd" component anywhere.
    ASSERT_EQ(0, mkdir(at("/.Glimmer-V100").c_str(), 0755));
    ASSERT_TRUE(create("/.Glimmer-V100/f"));
    ASSERT_TRUE(create("/Vaults.vaultdb"));
    ASSERT_EQ(0, mkdir(at("/tmp/ig/.qsd").c_str(), 0755));  // no "/.qsd/" in its own path
    ASSERT_TRUE(create("/tmp/ig/.qsd/f"));
    ASSERT_TRUE(create("/tmp/ex/keep/k"));

    ASSERT_TRUE(received(&file.sink, "/tmp/ex/keep/k", FILE_CREATED));
    EXPECT_EQ((std::vector<std::string>{
                  describe("/tmp/ex/skipper/h", FILE_CREATED),
                  describe("/tmp/ex/skip", DIR_STAT_CHANGED),
                  describe("/tmp/ex/keep/k", FILE_CREATED),
              }),
              changes(&file.sink));

    ASSERT_TRUE(received(&dir.sink, "/tmp/ex/keep/", IN_DIR_FILE));
    EXPECT_EQ((std::vector<std::string>{
                  describe("/tmp/ex/skipper/", IN_DIR_FILE),
                  describe("/tmp/ex/", IN_DIR_DIR),
                  describe("/tmp/ex/keep/", IN_DIR_FILE),
              }),
              changes(&dir.sink));

    ASSERT_TRUE(received(&relative.sink, "tmp/ex/keep/k", FILE_CREATED));
    EXPECT_EQ((std::vector<std::string>{
                  describe("tmp/ex/skipper/h", FILE_CREATED),
                  describe("tmp/ex/skip", DIR_STAT_CHANGED),
                  describe("tmp/ex/keep/k", FILE_CREATED),
              }),
              changes(&relative.sink));

    // Exclusions are per client: "/" gets the excluded tree, but no ignored directory.
    const std::vector<std::string> everything = {
        describe("tmp/ex/skip/f", FILE_CREATED),    describe("tmp/ex/skip/deep/g", FILE_CREATED),
        describe("tmp/ex/skipper/h", FILE_CREATED), describe("tmp/ex/skip", DIR_STAT_CHANGED),
        describe("tmp/ig/.qsd", DIR_CREATED),       describe("tmp/ex/keep/k", FILE_CREATED),
    };
    ASSERT_TRUE(received(&root_files.sink, "tmp/ex/keep/k", FILE_CREATED));
    EXPECT_EQ(everything, changes(&root_files.sink));
    if (wait_unless_dropped(&all_files.sink, "/tmp/ex/keep/k", FILE_CREATED)) {
        std::vector<std::string> absolute;
        for (const std::string& e : everything)
            absolute.push_back("/" + e);
        EXPECT_EQ(absolute, changes(&all_files.sink, "/tmp/"));
    }
    for (const live_event& e : live_sink_events(&all_files.sink)) {
        EXPECT_TRUE(e.path.rfind("/.Glimmer-V100", 0) != 0 && e.path != "/Vaults.vaultdb" &&
                    e.path.find("/.qsd/") == std::string::npos)
            << "ignored path delivered: " << describe(e.path, e.flags);
    }
}

// Latency of the deferring client, and half of it the bound for a client that does not defer.
// Long enough that the bounds hold on a loaded machine under a sanitizer.
constexpr int64_t LIVE_LATENCY_MS = 2000;

// Whether a client got anything else (a kernel-dropped notice, caused by the machine's own
// changes) within one latency before the change that ev reports, made at changed: such a
// delivery opened a latency window, so ev was not the first change after a quiet spell.
bool window_was_open(const std::vector<live_event>& events, const live_event& ev, int64_t changed) {
    return std::any_of(events.begin(), events.end(), [&](const live_event& e) {
        return e.id < ev.id && e.received_ms >= changed - LIVE_LATENCY_MS;
    });
}

// "+ms path [flags] (batch n)" lines: what a client received and when, from origin.
std::string timeline(live_sink* sink, int64_t origin) {
    std::string out;
    for (const live_event& e : live_sink_events(sink)) {
        out += "+" + std::to_string(e.received_ms - origin) + " ms " + describe(e.path, e.flags) +
               " (batch " + std::to_string(e.batch) + ")\n";
    }
    return out;
}

TEST_F(LiveDelivery, LatencyDefersTheFirstChangeUnlessTheClientAsksNotTo) {
    ASSERT_TRUE(make_dirs({"/tmp/lat"}));
    ASSERT_TRUE(settle());
    live_stream deferred, prompt;
    ASSERT_TRUE(
        start(&prompt, options({"/tmp/lat"}, VANTLES_FLAG_FILE_EVENTS | VANTLES_FLAG_NO_DEFER,
                               LIVE_LATENCY_MS * 1000)));
    // The deferring client's window opens at the first look after it registered: a change
    // made right away reaches it one latency after the registration, at the earliest.
    int64_t registered = live_now_ms();
    ASSERT_TRUE(
        start(&deferred, options({"/tmp/lat"}, VANTLES_FLAG_FILE_EVENTS, LIVE_LATENCY_MS * 1000)));
    int64_t first_changed = live_now_ms();
    ASSERT_TRUE(create("/tmp/lat/c1"));

    // The no-defer client gets its first change at once, unless the machine's changes
    // reached it first (then its window was open, which the next checks cover).
    int measured = 0;
    live_event first;
    ASSERT_TRUE(
        live_wait_event(&prompt.sink, live_path_is("/tmp/lat/c1"), LIVE_EVENT_TIMEOUT_MS, &first));
    if (!window_was_open(live_sink_events(&prompt.sink), first, first_changed)) {
        EXPECT_LT(first.received_ms - first_changed, LIVE_LATENCY_MS / 2)
            << "the no-defer client waited for its first change";
        measured++;
    }

    // Within its window the no-defer client does collect: the next change waits until one
    // latency after the wake-up that delivered the first, which came after the first change.
    ASSERT_TRUE(create("/tmp/lat/c2"));
    live_event second;
    ASSERT_TRUE(
        live_wait_event(&prompt.sink, live_path_is("/tmp/lat/c2"), LIVE_EVENT_TIMEOUT_MS, &second));
    EXPECT_GE(second.received_ms - first_changed, LIVE_LATENCY_MS - 100)
        << "since the first change:\n"
        << timeline(&prompt.sink, first_changed);

    live_event late;
    ASSERT_TRUE(
        live_wait_event(&deferred.sink, live_path_is("/tmp/lat/c1"), LIVE_EVENT_TIMEOUT_MS, &late));
    EXPECT_GE(late.received_ms - registered, LIVE_LATENCY_MS - 100)
        << "the deferring client got its first change before its latency; since it registered:\n"
        << timeline(&deferred.sink, registered);
    EXPECT_EQ(FILE_CREATED, late.flags);

    // After a quiet spell of more than one latency, no waiting again. A round that foreign
    // notices disturbed is made again, a few times.
    for (int round = 0; round < 4; round++) {
        std::vector<live_event> before = live_sink_events(&prompt.sink);
        int64_t quiet_until = before.back().received_ms + LIVE_LATENCY_MS + 300;
        if (live_now_ms() < quiet_until)
            std::this_thread::sleep_for(std::chrono::milliseconds(quiet_until - live_now_ms()));
        std::string path = "/tmp/lat/quiet-" + std::to_string(round);
        int64_t changed = live_now_ms();
        ASSERT_TRUE(create(path));
        live_event ev;
        ASSERT_TRUE(live_wait_event(&prompt.sink, live_path_is(path), LIVE_EVENT_TIMEOUT_MS, &ev));
        if (!window_was_open(live_sink_events(&prompt.sink), ev, changed)) {
            EXPECT_LT(ev.received_ms - changed, LIVE_LATENCY_MS / 2)
                << "the no-defer client waited after a quiet spell";
            measured++;
            break;
        }
    }
    if (measured == 0)
        GTEST_SKIP() << "the machine's own changes never left the client a quiet spell";
}

TEST_F(LiveDelivery, BurstArrivesInIdOrderInBatchesOfAtMost32) {
    ASSERT_TRUE(make_dirs({"/tmp/burst"}));
    ASSERT_TRUE(settle());
    live_stream s;
    // A short latency collects the burst into few wake-ups, each larger than one batch.
    ASSERT_TRUE(start(&s, options({"/tmp/burst"}, VANTLES_FLAG_FILE_EVENTS, 500000)));
    constexpr int COUNT = 200;
    for (int i = 0; i < COUNT; i++)
        ASSERT_TRUE(create("/tmp/burst/f" + std::to_string(i)));

    auto mine = [](const live_event& e) { return e.path.rfind("/tmp/burst/f", 0) == 0; };
    ASSERT_TRUE(live_wait_count(&s.sink, mine, COUNT, LIVE_EVENT_TIMEOUT_MS))
        << live_sink_events(&s.sink).size() << " events came";
    std::vector<size_t> batches = live_sink_batches(&s.sink);
    std::vector<live_event> events = live_sink_events(&s.sink);
    size_t largest = 0;
    for (size_t size : batches) {
        EXPECT_LE(size, 32u);
        largest = std::max(largest, size);
    }
    EXPECT_EQ(32u, largest) << "the burst never filled a batch";

    std::vector<std::string> paths;
    const live_event* previous = nullptr;
    for (const live_event& e : events) {
        EXPECT_FALSE(e.flags & VANTLES_EVENT_USER_DROPPED) << "events were dropped";
        if (!mine(e))
            continue;
        EXPECT_EQ(FILE_CREATED, e.flags) << e.path;
        if (previous) {
            EXPECT_GT(e.id, previous->id) << previous->path << " then " << e.path << " (batches "
                                          << previous->batch << ", " << e.batch << ")";
        }
        previous = &e;
        paths.push_back(e.path);
    }
    // Created one after the other: their ids, and so their order, are those of the creation.
    std::vector<std::string> expected;
    for (int i = 0; i < COUNT; i++)
        expected.push_back("/tmp/burst/f" + std::to_string(i));
    EXPECT_EQ(expected, paths);
}

TEST_F(LiveDelivery, FlushDeliversAndReportsAndStopEndsTheClient) {
    ASSERT_TRUE(make_dirs({"/tmp/un"}));
    ASSERT_TRUE(settle());
    // The daemon's own client is the disk logger; live_sync's streams may take a moment to go.
    int base = LIVE_INTERNAL_CLIENTS;
    ASSERT_TRUE(live_state_becomes(&daemon_, base, -1, LIVE_DUMP_TIMEOUT_MS));

    live_stream held, prompt;
    // held would keep its events for 30 s: only the flush delivers them sooner.
    constexpr int64_t HELD_LATENCY_MS = 30000;
    ASSERT_TRUE(
        start(&held, options({"/tmp/un"}, VANTLES_FLAG_FILE_EVENTS, HELD_LATENCY_MS * 1000)));
    ASSERT_TRUE(start(&prompt, options({"/tmp/un"}, VANTLES_FLAG_FILE_EVENTS)));
    EXPECT_TRUE(live_state_becomes(&daemon_, base + 2, -1, LIVE_DUMP_TIMEOUT_MS));

    // A flush answers with the highest id handed to the stream before it: every event seen
    // before the call is at or below it, and an event with that id does arrive.
    // (Events before index first came to an earlier registration.)
    auto check_flush = [&](live_stream* s, size_t first = 0) {
        uint64_t seen = 0;
        std::vector<live_event> events = live_sink_events(&s->sink);
        for (size_t i = first; i < events.size(); i++)
            seen = std::max(seen, events[i].id);
        uint64_t last_id = 0;
        EXPECT_EQ(0, vantles_stream_flush(s->stream, &last_id));
        EXPECT_GE(last_id, seen);
        if (last_id != 0) {
            auto handed = [&](const live_event& e) { return e.id == last_id; };
            EXPECT_TRUE(live_wait_event(&s->sink, handed, LIVE_EVENT_TIMEOUT_MS))
                << "flush answered " << last_id;
        }
        return last_id;
    };

    ASSERT_TRUE(create("/tmp/un/f1"));
    live_event f1;
    ASSERT_TRUE(
        live_wait_event(&prompt.sink, live_path_is("/tmp/un/f1"), LIVE_EVENT_TIMEOUT_MS, &f1));
    int64_t flushed = live_now_ms();
    check_flush(&held);
    live_event got;
    ASSERT_TRUE(
        live_wait_event(&held.sink, live_path_is("/tmp/un/f1"), LIVE_EVENT_TIMEOUT_MS, &got));
    EXPECT_LT(got.received_ms - flushed, HELD_LATENCY_MS / 2) << "the flush did not deliver";
    EXPECT_EQ(f1.id, got.id);
    EXPECT_GE(check_flush(&held), f1.id);

    // Stopped: the daemon drops the client and keeps nothing for it.
    ASSERT_EQ(0, live_stream_stop(&held));
    EXPECT_TRUE(live_state_becomes(&daemon_, base + 1, 0, LIVE_DUMP_TIMEOUT_MS));
    ASSERT_TRUE(create("/tmp/un/f2"));
    ASSERT_TRUE(received(&prompt.sink, "/tmp/un/f2", FILE_CREATED));
    EXPECT_TRUE(live_state_becomes(&daemon_, base + 1, 0, LIVE_DUMP_TIMEOUT_MS));

    // Started again, it gets what happens from then on, and nothing of the time between.
    size_t restarted = live_sink_events(&held.sink).size();
    ASSERT_EQ(0, live_stream_start(&held, vantles_stream_options{}));
    EXPECT_TRUE(live_state_becomes(&daemon_, base + 2, -1, LIVE_DUMP_TIMEOUT_MS));
    ASSERT_TRUE(create("/tmp/un/f3"));
    ASSERT_TRUE(received(&prompt.sink, "/tmp/un/f3", FILE_CREATED));
    check_flush(&held, restarted);
    ASSERT_TRUE(received(&held.sink, "/tmp/un/f3", FILE_CREATED));
    EXPECT_EQ((std::vector<std::string>{describe("/tmp/un/f1", FILE_CREATED),
                                        describe("/tmp/un/f3", FILE_CREATED)}),
              changes(&held.sink));

    ASSERT_EQ(0, live_stream_stop(&held));
    ASSERT_EQ(0, live_stream_stop(&prompt));
    EXPECT_TRUE(live_state_becomes(&daemon_, base, 0, LIVE_DUMP_TIMEOUT_MS));
}

TEST_F(LiveDelivery, MarkSelfFlagsAndIgnoreSelfDropsTheClientsOwnChanges) {
    ASSERT_TRUE(make_dirs({"/tmp/own", "/tmp/own/d1", "/tmp/own/d2"}));
    ASSERT_TRUE(settle());
    live_stream plain, marked, ignoring, marked_dirs;
    ASSERT_TRUE(start(&plain, options({"/tmp/own"}, VANTLES_FLAG_FILE_EVENTS)));
    ASSERT_TRUE(
        start(&marked, options({"/tmp/own"}, VANTLES_FLAG_FILE_EVENTS | VANTLES_FLAG_MARK_SELF)));
    ASSERT_TRUE(start(&ignoring,
                      options({"/tmp/own"}, VANTLES_FLAG_FILE_EVENTS | VANTLES_FLAG_IGNORE_SELF)));
    ASSERT_TRUE(start(&marked_dirs, options({"/tmp/own"}, VANTLES_FLAG_MARK_SELF)));

    // Changes of another process: a child made after the streams registered (this process
    // registered them, so its own changes are theirs). The child only makes system calls.
    auto foreign = [&](const std::string& path) {
        std::string target = at(path);
        int err = live_in_child([&target] {
            int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            return fd < 0 ? 1 : close(fd);
        });
        ASSERT_EQ(0, err) << path;
    };
    ASSERT_TRUE(create("/tmp/own/mine1"));
    foreign("/tmp/own/theirs1");
    ASSERT_TRUE(create("/tmp/own/d1/mine2"));
    foreign("/tmp/own/d2/theirs2");

    constexpr uint32_t OWN = VANTLES_EVENT_OWN;
    ASSERT_TRUE(received(&plain.sink, "/tmp/own/d2/theirs2", FILE_CREATED));
    EXPECT_EQ((std::vector<std::string>{
                  describe("/tmp/own/mine1", FILE_CREATED),
                  describe("/tmp/own/theirs1", FILE_CREATED),
                  describe("/tmp/own/d1/mine2", FILE_CREATED),
                  describe("/tmp/own/d2/theirs2", FILE_CREATED),
              }),
              changes(&plain.sink));

    ASSERT_TRUE(received(&marked.sink, "/tmp/own/d2/theirs2", FILE_CREATED));
    EXPECT_EQ((std::vector<std::string>{
                  describe("/tmp/own/mine1", FILE_CREATED | OWN),
                  describe("/tmp/own/theirs1", FILE_CREATED),
                  describe("/tmp/own/d1/mine2", FILE_CREATED | OWN),
                  describe("/tmp/own/d2/theirs2", FILE_CREATED),
              }),
              changes(&marked.sink));

    ASSERT_TRUE(received(&ignoring.sink, "/tmp/own/d2/theirs2", FILE_CREATED));
    EXPECT_EQ((std::vector<std::string>{
                  describe("/tmp/own/theirs1", FILE_CREATED),
                  describe("/tmp/own/d2/theirs2", FILE_CREATED),
              }),
              changes(&ignoring.sink));

    // Directory level keeps the mark. A marked process's changes are never merged with
    // another's, so "/tmp/own/" comes twice: once for each process.
    ASSERT_TRUE(received(&marked_dirs.sink, "/tmp/own/d2/", IN_DIR_FILE));
    EXPECT_EQ((std::vector<std::string>{
                  describe("/tmp/own/", IN_DIR_FILE | OWN),
                  describe("/tmp/own/", IN_DIR_FILE),
                  describe("/tmp/own/d1/", IN_DIR_FILE | OWN),
                  describe("/tmp/own/d2/", IN_DIR_FILE),
              }),
              changes(&marked_dirs.sink));
}

// A file system mounted more than once, or by a subdirectory (the scratch root shows the
// machine's /usr, /etc and the test's own directory that way): a change under one of its
// mounts comes out with its path there, whichever mount was found first.
TEST_F(LiveDelivery, ChangesOnABindMountedDirectoryKeepTheirPath) {
    ASSERT_TRUE(settle());
    live_stream all_files;
    ASSERT_TRUE(start(&all_files, options({"/"}, VANTLES_FLAG_FILE_EVENTS)));
    std::string path = daemon_.dir + "/other-volume";  // the same path inside and outside
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd.valid());
    ASSERT_TRUE(create("/tmp/sync/after"));  // arrives after it
    ASSERT_TRUE(received(&all_files.sink, "/tmp/sync/after", FILE_CREATED));
    std::vector<std::string> got = changes(&all_files.sink);
    EXPECT_TRUE(std::find(got.begin(), got.end(), describe(path, FILE_CREATED)) != got.end())
        << "no " << path << "; received:\n"
        << live_describe(live_sink_events(&all_files.sink));
}

}  // namespace
