// Live delivery to an unprivileged attacker: changes under a directory it cannot read, to files
// it cannot read, in a directory closed after it registered, renamed between a readable and a
// closed directory, made through hard links, in a closed tree removed before delivery, and
// behind symbolic links it registers, never reach it; a root client on the same tree gets them
// all, so it is the filter that hides them.
#include "attacker.h"

#include "vantles/client.h"
#include "vantles/stream.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

class LiveFilter : public SecurityTest {};

// The attacker watches a tree at file and directory level, and the whole volume ("/"), while
// root changes it. Nothing in or below the closed directories, nothing of the 0600 file or its
// hard link, and nothing of the files renamed into the closed directory reaches any of the
// attacker's streams; the readable names do. The "bait" stream also watches a directory of the
// attacker's own whose path occurs inside a closed tree that is removed before its latency
// runs out: the removed names must not be let through by that directory.
TEST_F(LiveFilter, ClosedPathsNeverReachAnUnprivilegedClient) {
    start_daemon();
    const std::string t = "/tmp/t";
    make_dir(t, 0755);
    for (const char* d : {"pub", "later", "zz-end-dir"})
        make_dir(t + "/" + d, 0755);
    make_dir(t + "/closed", 0700);
    make_file(t + "/secret", 0600);
    make_file(t + "/closed/orig", 0644);
    make_file(t + "/pub/moving", 0644);
    ASSERT_EQ(0, link(host(t + "/closed/orig").c_str(), host(t + "/pub/alias").c_str()));
    ASSERT_EQ(0, link(host(t + "/secret").c_str(), host(t + "/pub/secret-link").c_str()));
    make_dir("/tmp/bait", 0755);
    ASSERT_EQ(0, chown(host("/tmp/bait").c_str(), SECURITY_NOBODY, SECURITY_NOBODY));
    ASSERT_EQ(0, live_sync(daemon_, t));

    const std::string end = t + "/zz-end";
    watch_plan bait = watch("bait", {"/tmp/bait", t}, VANTLES_FLAG_FILE_EVENTS, end);
    bait.options.latency_us = 1000000;
    attacker spy;
    start_watching(&spy, {watch("files", {t}, VANTLES_FLAG_FILE_EVENTS, end),
                          watch("dirs", {t}, 0, t + "/zz-end-dir/"),
                          watch("volume", {"/"}, VANTLES_FLAG_FILE_EVENTS, end), bait});
    live_stream root;
    ASSERT_EQ(0, live_stream_start(&root, live_options(daemon_, {t}, VANTLES_FLAG_FILE_EVENTS)));

    // A directory closed after the attacker registered, then written into.
    ASSERT_EQ(0, chmod(host(t + "/later").c_str(), 0700));
    make_file(t + "/later/inner", 0644);
    append(t + "/later/inner", "l");
    // Writes through each name of two hard links.
    append(t + "/closed/orig", "o");
    append(t + "/pub/alias", "a");
    append(t + "/secret", "s");
    append(t + "/pub/secret-link", "s");
    // Into the closed directory and out again under another name.
    ASSERT_EQ(0, rename(host(t + "/pub/moving").c_str(), host(t + "/closed/moving").c_str()));
    ASSERT_EQ(0, rename(host(t + "/closed/moving").c_str(), host(t + "/pub/back").c_str()));
    // Work inside the closed directory.
    ASSERT_EQ(0, rename(host(t + "/closed/orig").c_str(), host(t + "/closed/orig2").c_str()));
    make_dir(t + "/closed/sub", 0755);
    make_file(t + "/closed/sub/deep", 0644);
    make_file(t + "/closed/doomed", 0644);
    ASSERT_EQ(0, unlink(host(t + "/closed/doomed").c_str()));
    // A closed tree whose path holds the attacker's directory's path, gone before delivery.
    make_dir(t + "/gone", 0700);
    make_dir(t + "/gone/tmp", 0755);
    make_dir(t + "/gone/tmp/bait-x", 0755);
    make_file(t + "/gone/tmp/bait-x/leaked-name", 0644);
    // Removed once the daemon has named the file (root's stream has it), and before the
    // attacker's latency runs out.
    ASSERT_TRUE(live_wait_event(&root.sink, live_path_is(t + "/gone/tmp/bait-x/leaked-name"),
                                SECURITY_WAIT_MS));
    std::filesystem::remove_all(host(t + "/gone"));
    // End markers: a stream gets its events in id order.
    make_file(t + "/zz-end-dir/x", 0644);
    make_file(end, 0644);

    std::vector<seen_event> seen = finish_watching(&spy);
    SCOPED_TRACE("the attacker received:\n" + describe_seen(seen));
    // The removed tree: once it is gone, a change right inside it is judged by the readable
    // directory that held it (its name and its removal were visible there), so a
    // directory-level "/tmp/t/gone/" may arrive when delivery comes after the removal. No
    // name inside it may.
    for (const char* dir : {"/tmp/t/closed", "/tmp/t/later", "/tmp/t/gone/tmp"})
        EXPECT_EQ(std::vector<std::string>{}, paths_under(seen, dir)) << dir;
    for (const char* path : {"/tmp/t/closed", "/tmp/t/later", "/tmp/t/secret",
                             "/tmp/t/pub/secret-link", "/tmp/t/gone/tmp"})
        EXPECT_FALSE(has_path(seen, path)) << path;
    // What the attacker may read does arrive: a write through the readable name of a hard
    // link, the rename's readable side in both directions, the end markers.
    for (const char* label : {"files", "volume", "bait"}) {
        std::vector<seen_event> mine = seen_by(seen, label);
        for (const char* path : {"/tmp/t/pub/alias", "/tmp/t/pub/moving", "/tmp/t/pub/back"})
            EXPECT_TRUE(has_path(mine, path)) << label << " lacks " << path;
    }
    EXPECT_TRUE(has_path(seen_by(seen, "dirs"), "/tmp/t/pub/"));

    // Root's stream got what the attacker's did not.
    ASSERT_TRUE(live_wait_event(&root.sink, live_path_is(end), SECURITY_WAIT_MS));
    std::vector<live_event> all = live_sink_events(&root.sink);
    for (const char* path :
         {"/tmp/t/later/inner", "/tmp/t/closed/orig", "/tmp/t/closed/moving", "/tmp/t/secret",
          "/tmp/t/pub/secret-link", "/tmp/t/closed/sub/deep", "/tmp/t/gone/tmp/bait-x/leaked-name"})
        EXPECT_TRUE(live_wait_event(&root.sink, live_path_is(path), 0))
            << path << " missing for root:\n"
            << live_describe(all);
}

// Registering a symbolic link that points into a closed directory (root's link, a relative
// link, one the attacker made itself, and the same as a device-relative path) gives no event
// from behind it, nor does registering the directory the link resolves to. Events name real
// paths, so a link's stream hears only of the link itself: root replacing the links is each
// stream's end marker. The stream on the resolved path also watches an open directory, where
// its end marker appears.
TEST_F(LiveFilter, SymbolicLinksIntoAClosedDirectoryGiveNothing) {
    start_daemon();
    const std::string s = "/tmp/s";
    make_dir(s, 0755);
    make_dir(s + "/closed", 0700);
    make_dir(s + "/open", 0755);
    make_file(s + "/closed/f", 0644);
    ASSERT_EQ(0, symlink("/tmp/s/closed", host(s + "/link").c_str()));
    ASSERT_EQ(0, symlink("closed", host(s + "/rel-link").c_str()));
    uint32_t device = live_device_of(daemon_, "/");
    ASSERT_NE(0u, device);
    ASSERT_EQ(0, live_sync(daemon_, s));

    std::vector<watch_plan> plans = {
        watch("link", {s + "/link"}, VANTLES_FLAG_FILE_EVENTS, s + "/link"),
        watch("rel-link", {s + "/rel-link"}, VANTLES_FLAG_FILE_EVENTS, s + "/rel-link"),
        watch("own-link", {"/tmp/own-link"}, VANTLES_FLAG_FILE_EVENTS, "/tmp/own-link"),
        watch("resolved", {"(resolved by the attacker)", s + "/open"}, VANTLES_FLAG_FILE_EVENTS,
              s + "/open/zz-end"),
    };
    watch_plan relative = watch("device", {"tmp/s/link"}, VANTLES_FLAG_FILE_EVENTS, "tmp/s/link");
    relative.options.device = device;
    plans.push_back(relative);

    attacker spy;
    attacker_options options;
    options.daemon = &daemon_;
    ASSERT_EQ(0, attacker_start(&spy, options, [&](attacker_out out) {
                  // The attacker's own link, and the path a tool would register for root's link.
                  if (symlink("/tmp/s/closed", "/tmp/own-link") != 0) {
                      attacker_say(out, "X symlink: " + std::string(strerror(errno)));
                      return 1;
                  }
                  char resolved[PATH_MAX];
                  if (!realpath("/tmp/s/link", resolved)) {
                      attacker_say(out, "X realpath: " + std::string(strerror(errno)));
                      return 1;
                  }
                  for (watch_plan& plan : plans)
                      if (plan.label == "resolved")
                          plan.options.paths[0] = resolved;
                  attacker_say(out, std::string("P ") + resolved);
                  return attacker_watch(out, plans);
              }));
    std::vector<std::string> lines = attacker_read(&spy, "R", SECURITY_WAIT_MS);
    ASSERT_FALSE(lines.empty());
    ASSERT_EQ("R", lines.back());
    EXPECT_EQ("P /tmp/s/closed", lines.front()) << "the link resolves elsewhere";

    live_stream root;
    ASSERT_EQ(0, live_stream_start(&root, live_options(daemon_, {s}, VANTLES_FLAG_FILE_EVENTS)));
    append(s + "/closed/f", "x");
    make_file(s + "/closed/new", 0644);
    make_dir(s + "/closed/sub", 0755);
    make_file(s + "/closed/sub/deep", 0644);
    ASSERT_EQ(0, unlink(host(s + "/closed/new").c_str()));
    // End markers: every link replaced (root may replace the attacker's in the sticky /tmp),
    // then a file in the open directory.
    for (const auto& [link, target] :
         {std::pair{"/tmp/s/link", "/tmp/s/closed"}, std::pair{"/tmp/s/rel-link", "closed"},
          std::pair{"/tmp/own-link", "/tmp/s/closed"}}) {
        ASSERT_EQ(0, unlink(host(link).c_str()));
        ASSERT_EQ(0, symlink(target, host(link).c_str()));
    }
    make_file(s + "/open/zz-end", 0644);

    std::vector<seen_event> seen = finish_watching(&spy);
    SCOPED_TRACE("the attacker received:\n" + describe_seen(seen));
    for (const seen_event& e : seen) {
        EXPECT_EQ(std::string::npos, e.path.find("closed")) << e.label << " " << e.path;
        EXPECT_EQ(std::string::npos, e.path.find("link/")) << e.label << " " << e.path;
    }
    EXPECT_TRUE(has_path(seen_by(seen, "resolved"), "/tmp/s/open/zz-end"));

    ASSERT_TRUE(live_wait_event(&root.sink, live_path_is(s + "/open/zz-end"), SECURITY_WAIT_MS));
    for (const char* path : {"/tmp/s/closed/f", "/tmp/s/closed/new", "/tmp/s/closed/sub/deep"})
        EXPECT_TRUE(live_wait_event(&root.sink, live_path_is(path), 0))
            << path << " missing for root:\n"
            << live_describe(live_sink_events(&root.sink));
}

}  // namespace
