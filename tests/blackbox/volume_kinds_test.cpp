// Volumes fanotify cannot mark as a whole: overlays, watched through their upper layer, or
// directory by directory when it is out of view.
#include "tests/support/scratch_daemon.h"

#include <sys/mount.h>

#include <algorithm>

namespace {

constexpr uint32_t FILES = VANTLES_FLAG_FILE_EVENTS;
constexpr char OVERLAY_OPTIONS[] = "lowerdir=/var/lower,upperdir=/mnt/up/u,workdir=/mnt/up/w";

int write_file(const char* path, const char* text, int flags) {
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
    return fd >= 0 && write(fd, text, strlen(text)) >= 0 && close(fd) == 0 ? 0 : errno;
}

// In a child: the number of the first of the steps that failed, or 0. All of them run first.
int first_failed(std::initializer_list<bool> steps) {
    int step = 0;
    for (bool ok : steps)
        if (step++, !ok)
            return fprintf(stderr, "step %d: %s\n", step, strerror(errno)), step;
    return 0;
}

bool has(const std::vector<live_event>& got, const std::string& path, uint32_t flags) {
    return std::ranges::any_of(got, [&](const live_event& e) {
        return e.path == path && (e.flags & flags) == flags;
    });
}

class Overlay : public ScratchDaemonTest,
                public ::testing::WithParamInterface<std::tuple<const char*, bool>> {};

// Changes through the overlay, copy-ups and whiteouts included, are events of its own paths.
TEST_P(Overlay, ChangesThroughItAreItsEvents) {
    const auto [upper_fs, before] = GetParam();
    if (std::string(upper_fs) == "ext4" && !scratch_ext4_available())
        GTEST_SKIP() << "no ext4 scratch volumes";
    std::vector<scratch_volume> volumes = {{"/var"}, {"/mnt/up", upper_fs, false, "64m"}};
    if (before)
        volumes.push_back({"/mnt/ov", "overlay", false, "", OVERLAY_OPTIONS});
    ASSERT_TRUE(start(volumes));
    ASSERT_EQ(0, live_make_dir(daemon_, "/var/lower"));
    ASSERT_EQ(0, live_make_dir(daemon_, "/var/lower/d"));
    for (const char* f : {"/var/lower/d/old", "/var/lower/gone"})
        ASSERT_EQ(0, live_create_file(daemon_, f));
    if (!before) {
        ASSERT_EQ(0, run_child(daemon_, [] {
                      mkdir("/mnt/ov", 0755);
                      mkdir("/mnt/up/u", 0755);
                      mkdir("/mnt/up/w", 0755);
                      return mount("ov", "/mnt/ov", "overlay", 0, OVERLAY_OPTIONS) ? errno : 0;
                  }));
    }
    live_stream s;
    ASSERT_EQ(0, live_stream_start(&s, live_options(daemon_, {"/mnt/ov"}, FILES)));
    ASSERT_EQ(0, run_child(daemon_, [] {
                  return first_failed({write_file("/mnt/ov/new", "n", O_TRUNC) == 0,
                                       write_file("/mnt/ov/d/old", "more", O_APPEND) == 0,
                                       unlink("/mnt/ov/gone") == 0,
                                       rename("/mnt/ov/new", "/mnt/ov/new2") == 0,
                                       mkdir("/mnt/ov/made", 0755) == 0,
                                       rename("/mnt/ov/made", "/mnt/ov/made2") == 0,
                                       write_file("/mnt/ov/zz-end", "", 0) == 0});
              }));
    ASSERT_TRUE(live_wait_event(&s.sink, live_path_is("/mnt/ov/zz-end"), SCRATCH_WAIT_MS))
        << live_describe(live_sink_events(&s.sink));
    std::vector<live_event> got = live_sink_events(&s.sink);
    EXPECT_TRUE(has(got, "/mnt/ov/new", VANTLES_EVENT_CREATED)) << live_describe(got);
    EXPECT_TRUE(has(got, "/mnt/ov/d/old", VANTLES_EVENT_MODIFIED)) << live_describe(got);
    EXPECT_FALSE(has(got, "/mnt/ov/d/old", VANTLES_EVENT_CREATED)) << "a copy-up is no creation";
    EXPECT_TRUE(has(got, "/mnt/ov/gone", VANTLES_EVENT_REMOVED)) << live_describe(got);
    for (const char* p : {"/mnt/ov/new", "/mnt/ov/new2", "/mnt/ov/made", "/mnt/ov/made2"})
        EXPECT_TRUE(has(got, p, VANTLES_EVENT_RENAMED)) << p << "\n" << live_describe(got);
    EXPECT_TRUE(std::ranges::all_of(got, [](const live_event& e) {
        return e.path == "/mnt/ov" || e.path.starts_with("/mnt/ov/");
    })) << live_describe(got);
}

using RootOverlay = ScratchDaemonTest;

// "/" an overlay whose upper layer is out of view, as in a container: the daemon says so in the
// log and the status, and watches the registered directories one by one, and those made in them.
TEST_F(RootOverlay, IsWatchedInTheDirectoriesClientsRegister) {
    ASSERT_TRUE(start({{"/", "overlay"}}));
    ASSERT_EQ(0, live_make_dir(daemon_, "/data"));
    ASSERT_TRUE(test_daemon_wait_log(daemon_, "/ (overlay) cannot be watched as a whole",
                                     SCRATCH_WAIT_MS));
    live_stream s, all;
    ASSERT_EQ(0, live_stream_start(&s, live_options(daemon_, {"/data"}, FILES)));
    ASSERT_EQ(0, live_stream_start(&all, live_options(daemon_, {"/"}, FILES)));
    vantles_connection conn;
    uint32_t kind = 0;
    char reason[VANTLES_WATCH_REASON_LENGTH + 1] = {};
    ASSERT_EQ(0, vantles_connect(daemon_.socket_path.c_str(), &conn));
    auto by_dirs = [&] {
        int err = vantles_get_volume_watch(&conn, live_device_of(daemon_, "/"), &kind, reason);
        return err == 0 && kind == VANTLES_WATCH_DIRS;
    };
    ASSERT_TRUE(wait_until(by_dirs, SCRATCH_WAIT_MS)) << kind << " " << reason;
    EXPECT_STREQ("its upper layer is out of view here", reason);
    ASSERT_EQ(0, run_child(daemon_, [] { return mkdir("/data/sub", 0755) ? errno : 0; }));
    ASSERT_TRUE(live_wait_event(&s.sink, live_path_is("/data/sub"), SCRATCH_WAIT_MS));
    ASSERT_EQ(0, run_child(daemon_, [] {
                  return first_failed(
                      {write_file("/data/a", "a", 0) == 0, write_file("/data/sub/b", "b", 0) == 0,
                       rename("/data/a", "/data/sub/a") == 0, unlink("/data/sub/b") == 0,
                       write_file("/data/zz-end", "", 0) == 0});
              }));
    ASSERT_TRUE(live_wait_event(&s.sink, live_path_is("/data/zz-end"), SCRATCH_WAIT_MS))
        << live_describe(live_sink_events(&s.sink));
    EXPECT_TRUE(live_wait_event(&all.sink, live_path_is("/data/zz-end"), SCRATCH_WAIT_MS))
        << "a stream on \"/\" got nothing";
    std::vector<live_event> got = live_sink_events(&s.sink);
    EXPECT_TRUE(has(got, "/data/sub", VANTLES_EVENT_DIR_CREATED)) << live_describe(got);
    EXPECT_TRUE(has(got, "/data/sub/b", VANTLES_EVENT_CREATED)) << live_describe(got);
    EXPECT_TRUE(has(got, "/data/sub/b", VANTLES_EVENT_REMOVED)) << live_describe(got);
    for (const char* p : {"/data/a", "/data/sub/a"})
        EXPECT_TRUE(has(got, p, VANTLES_EVENT_RENAMED)) << p << "\n" << live_describe(got);
    EXPECT_FALSE(std::ranges::any_of(got, live_dropped)) << live_describe(got);
}

INSTANTIATE_TEST_SUITE_P(, Overlay,
                         ::testing::Combine(::testing::Values("tmpfs", "ext4"),
                                            ::testing::Bool()),
                         [](const auto& p) {
                             return std::string(std::get<0>(p.param)) +
                                    (std::get<1>(p.param) ? "MountedBefore" : "MountedAfter");
                         });

}  // namespace
