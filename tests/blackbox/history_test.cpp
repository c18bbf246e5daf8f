// The history end to end: the real daemon in its scratch root keeps every change of its logged
// volumes on disk, and clients asking for events since an id get them back, across daemon
// processes, from the names still pending in memory, after a SIGKILL, on a full volume, and
// only where their user may read.
//
// A machine directory shown at "/var" in the scratch root is the volume whose history outlives
// one daemon process: the daemon logs the root volume and the volume holding "/var", and each
// daemon process gets a fresh scratch root but the same directory there.
#include "tests/support/live_client.h"
#include "tests/support/test_daemon.h"
#include "tests/support/scratch_root.h"
#include "vantles/client.h"
#include "vantles/stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int HISTORY_WAIT_MS = 30000;
constexpr const char* HISTORY_LOG_DIR = "/.vantlesd";
constexpr const char* HISTORY_UUID_FILE = "vantlesd-uuid";
constexpr uid_t HISTORY_NOBODY = 65534;
// Distinct names that make the disk logger write a log file.
constexpr int HISTORY_FLUSH_NAMES = 5000;

bool is_history_done(const live_event& e) {
    return (e.flags & VANTLES_EVENT_HISTORY_DONE) != 0;
}

// A directory of the machine, removed at the end.
struct temp_dir {
    std::string path;
    explicit temp_dir(mode_t mode = 0755) {
        char tmpl[] = "/tmp/vantles-history.XXXXXX";
        if (mkdtemp(tmpl)) {
            path = tmpl;
            chmod(tmpl, mode);
        }
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    ~temp_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

int make_file(const std::string& path, mode_t mode = 0644) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return errno;
    close(fd);
    return chmod(path.c_str(), mode) == 0 ? 0 : errno;
}

// The events of a stream asking for history, split at the history-done notice.
struct replay_result {
    std::vector<live_event> replayed;  // before the notice
    live_event done;                   // the notice (flags 0 when it never came)
};

replay_result split_at_done(live_sink* sink) {
    replay_result out;
    for (const live_event& e : live_sink_events(sink)) {
        if (is_history_done(e)) {
            out.done = e;
            break;
        }
        out.replayed.push_back(e);
    }
    return out;
}

uint64_t highest_id(const std::vector<live_event>& events) {
    uint64_t id = 0;
    for (const live_event& e : events)
        id = std::max(id, e.id);
    return id;
}

class History : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
        ASSERT_FALSE(var_.path.empty());
        ASSERT_FALSE(socket_dir_.path.empty());
    }

    void TearDown() override {
        if (IsSkipped() || !HasFailure())
            return;
        for (test_daemon* d : {&first_, &second_}) {
            if (d->pid > 0 || !d->log_path.empty()) {
                std::string log = test_daemon_log(*d);
                if (log.size() > 6000)
                    log = "...\n" + log.substr(log.size() - 6000);
                printf("---- daemon log ----\n%s---- end of log ----\n", log.c_str());
            }
        }
    }

    // Starts d with var_ shown at "/var" (unless volumes put a volume there) on the shared
    // socket, reachable by any user.
    ::testing::AssertionResult start(test_daemon* d, std::vector<scratch_volume> volumes = {}) {
        if (volumes.empty())
            d->binds = {{var_.path, false, "/var"}};
        d->volumes = std::move(volumes);
        int err = test_daemon_start(d, {"-d"}, socket_dir_.path + "/vantlesd.sock");
        if (err != 0)
            return ::testing::AssertionFailure() << "daemon start: " << strerror(err) << "\n"
                                                 << test_daemon_log(*d);
        return ::testing::AssertionSuccess();
    }

    // SIGTERM and a clean exit: the daemon writes what it holds before it goes.
    ::testing::AssertionResult stop_cleanly(test_daemon* d) {
        kill(d->pid, SIGTERM);
        if (!test_daemon_wait_exit(d, HISTORY_WAIT_MS))
            return ::testing::AssertionFailure() << "the daemon did not exit on SIGTERM";
        if (!WIFEXITED(d->status) || WEXITSTATUS(d->status) != 0)
            return ::testing::AssertionFailure() << "wait status 0x" << std::hex << d->status;
        return ::testing::AssertionSuccess();
    }

    // Registers a stream on paths since the id and waits for its history-done notice.
    ::testing::AssertionResult replay(const test_daemon& d, live_stream* s,
                                      std::vector<std::string> paths, uint64_t since,
                                      uint32_t flags = VANTLES_FLAG_FILE_EVENTS) {
        vantles_stream_options options = live_options(d, std::move(paths), flags);
        options.since_when = since;
        if (int err = live_stream_start(s, options); err != 0)
            return ::testing::AssertionFailure() << "stream: " << err;
        if (!live_wait_event(&s->sink, is_history_done, HISTORY_WAIT_MS))
            return ::testing::AssertionFailure() << "no history-done notice; received:\n"
                                                 << live_describe(live_sink_events(&s->sink));
        return ::testing::AssertionSuccess();
    }

    std::string var_log_dir() const { return var_.path + HISTORY_LOG_DIR; }

    temp_dir var_;
    temp_dir socket_dir_;
    test_daemon first_, second_;
};

// Changes filed by one daemon process come back to a client of the next one: since an id in
// the middle, only the paths changed after it, in absolute form, each once with its latest id,
// then the notice with the highest replayed id, then live changes with newer ids. The history
// keeps its uuid across the restart.
TEST_F(History, NextDaemonReplaysFromTheMiddleThenGoesLive) {
    ASSERT_TRUE(start(&first_));
    ASSERT_EQ(0, live_make_dir(first_, "/var/w"));
    ASSERT_EQ(0, live_sync(first_, "/var/w"));
    live_stream watch;
    ASSERT_EQ(
        0, live_stream_start(&watch, live_options(first_, {"/var/w"}, VANTLES_FLAG_FILE_EVENTS)));
    for (const char* name : {"a", "b"})
        ASSERT_EQ(0, live_create_file(first_, std::string("/var/w/") + name));
    ASSERT_TRUE(live_wait_event(&watch.sink, live_path_is("/var/w/b"), HISTORY_WAIT_MS));
    ASSERT_EQ(0, live_sync(first_, "/var/w"));
    uint64_t since = highest_id(live_sink_events(&watch.sink));
    for (const char* name : {"c", "d"})
        ASSERT_EQ(0, live_create_file(first_, std::string("/var/w/") + name));
    ASSERT_EQ(0, unlink(live_root_path(first_, "/var/w/a").c_str()));
    // Changes still in the kernel's queue when the daemon stops are not its to keep.
    ASSERT_TRUE(live_wait_event(
        &watch.sink,
        [](const live_event& e) {
            return e.path == "/var/w/a" && (e.flags & VANTLES_EVENT_REMOVED) != 0;
        },
        HISTORY_WAIT_MS));
    ASSERT_EQ(0, live_stream_stop(&watch));
    // Changes in the log directory take ids that no history holds (the daemon's own writes
    // there do too); the next daemon must still go on above them.
    ASSERT_EQ(0, live_sync(first_, "/var/w"));
    uint64_t last_id = 0;
    {
        vantles_connection conn;
        ASSERT_EQ(0, vantles_connect(first_.socket_path.c_str(), &conn));
        uint64_t filed = 0;
        ASSERT_EQ(0, vantles_get_current_event_id(&conn, &filed));
        for (int i = 0; i < 50; i++)
            ASSERT_EQ(0, live_create_file(first_, "/var/.vantlesd/unlogged-" + std::to_string(i)));
        int64_t deadline = live_now_ms() + HISTORY_WAIT_MS;
        while (vantles_get_current_event_id(&conn, &last_id) == 0 && last_id < filed + 50 &&
               live_now_ms() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        vantles_close(&conn);
        ASSERT_GE(last_id, filed + 50) << "the changes in the log directory took no ids";
    }
    ASSERT_TRUE(stop_cleanly(&first_));

    ASSERT_FALSE(log_files(var_log_dir()).empty()) << "nothing written at shutdown";
    std::string uuid = read_text(var_log_dir() + "/" + HISTORY_UUID_FILE);
    ASSERT_EQ(36u, uuid.size());

    ASSERT_TRUE(start(&second_));
    live_stream later;
    ASSERT_TRUE(replay(second_, &later, {"/var/w"}, since));
    EXPECT_EQ(uuid, read_text(var_log_dir() + "/" + HISTORY_UUID_FILE)) << "a new history";
    replay_result r = split_at_done(&later.sink);
    std::set<std::string> paths;
    for (const live_event& e : r.replayed) {
        EXPECT_GT(e.id, since) << e.path;
        EXPECT_TRUE(paths.insert(e.path).second) << "twice: " << e.path;
    }
    std::string got = live_describe(r.replayed);
    EXPECT_EQ(1u, paths.count("/var/w/c")) << got;
    EXPECT_EQ(1u, paths.count("/var/w/d")) << got;
    EXPECT_EQ(1u, paths.count("/var/w/a")) << "the removal of a is newer than the id: " << got;
    EXPECT_EQ(0u, paths.count("/var/w/b")) << got;
    // No service manager kept the kernel's queue across the restart, so the history says that
    // what changed meanwhile is unknown: a dropped record for the volume, after the first
    // daemon's records, reaches a client whose paths lie below it.
    uint64_t first_run_highest = 0;
    int gaps = 0;
    for (const live_event& e : r.replayed) {
        if (e.path == "/var/w/a") {
            EXPECT_TRUE(e.flags & VANTLES_EVENT_REMOVED) << got;
        }
        if ((e.flags & VANTLES_EVENT_USER_DROPPED) && e.path == "/var/") {
            gaps++;
            EXPECT_GT(e.id, first_run_highest) << got;
        } else if (!(e.flags & VANTLES_EVENT_KERNEL_DROPPED)) {
            first_run_highest = std::max(first_run_highest, e.id);
        }
    }
    EXPECT_EQ(1, gaps) << got;
    EXPECT_EQ(highest_id(r.replayed), r.done.id);
    EXPECT_EQ("/var/w", r.done.path);

    // Live events follow, newer than anything the first daemon logged.
    ASSERT_EQ(0, live_create_file(second_, "/var/w/e"));
    live_event e;
    ASSERT_TRUE(live_wait_event(&later.sink, live_path_is("/var/w/e"), HISTORY_WAIT_MS, &e));
    EXPECT_GT(e.id, r.done.id);
    EXPECT_GT(e.id, last_id) << "ids went backwards across the restart";
}

// Names the disk logger holds in memory are replayed before they reach a file, after the files
// and in ascending order; a since-when of all ones gets neither history nor notice.
TEST_F(History, PendingNamesAreReplayedBeforeTheyAreWritten) {
    ASSERT_TRUE(start(&first_));
    ASSERT_EQ(0, live_make_dir(first_, "/tmp/p"));
    for (const char* name : {"zeta", "alpha", "mid"})
        ASSERT_EQ(0, live_create_file(first_, std::string("/tmp/p/") + name));
    ASSERT_EQ(0, live_sync(first_, "/tmp/p"));
    EXPECT_TRUE(log_files(live_root_path(first_, HISTORY_LOG_DIR)).empty())
        << "a log file already: the names are not only in memory";

    live_stream from_start;
    ASSERT_TRUE(replay(first_, &from_start, {"/tmp/p"}, 0));
    replay_result r = split_at_done(&from_start.sink);
    std::vector<std::string> names;
    for (const live_event& e : r.replayed)
        if (e.path.rfind("/tmp/p/", 0) == 0 && e.path.find("/.sync-") == std::string::npos)
            names.push_back(e.path);
    EXPECT_EQ((std::vector<std::string>{"/tmp/p/alpha", "/tmp/p/mid", "/tmp/p/zeta"}), names)
        << live_describe(r.replayed);

    live_stream now;
    ASSERT_EQ(0,
              live_stream_start(&now, live_options(first_, {"/tmp/p"}, VANTLES_FLAG_FILE_EVENTS)));
    ASSERT_EQ(0, live_create_file(first_, "/tmp/p/after"));
    ASSERT_TRUE(live_wait_event(&now.sink, live_path_is("/tmp/p/after"), HISTORY_WAIT_MS));
    for (const live_event& e : live_sink_events(&now.sink))
        EXPECT_FALSE(is_history_done(e)) << "a notice without history";
}

// 5000 distinct names make the disk logger write a file while the daemon runs; the file's
// records come back in path order and the names after them from memory.
TEST_F(History, FiveThousandNamesAreWrittenToAFile) {
    ASSERT_TRUE(start(&first_));
    ASSERT_EQ(0, live_make_dir(first_, "/var/many"));
    ASSERT_EQ(0, live_sync(first_, "/var/many"));
    std::string host = live_root_path(first_, "/var/many");
    for (int i = 0; i < HISTORY_FLUSH_NAMES + 100; i++)
        ASSERT_EQ(0, make_file(host + "/f" + std::to_string(i)));
    ASSERT_EQ(0, live_sync(first_, "/var/many"));
    std::vector<std::string> files = log_files(var_log_dir());
    ASSERT_EQ(1u, files.size());

    live_stream all;
    ASSERT_TRUE(replay(first_, &all, {"/var/many"}, 0));
    replay_result r = split_at_done(&all.sink);
    std::set<std::string> paths;
    for (const live_event& e : r.replayed)
        paths.insert(e.path);
    for (int i = 0; i < HISTORY_FLUSH_NAMES + 100; i++)
        EXPECT_EQ(1u, paths.count("/var/many/f" + std::to_string(i))) << i;
    // The file holds the first 5000 names filed, sorted.
    ASSERT_GE(r.replayed.size(), static_cast<size_t>(HISTORY_FLUSH_NAMES));
    for (size_t i = 1; i < HISTORY_FLUSH_NAMES; i++)
        ASSERT_LT(r.replayed[i - 1].path, r.replayed[i].path) << "record " << i;
}

// A daemon killed while it writes leaves a history the next one reads back: every replayed
// path is one that was changed, none twice, and the id counter starts above all of them.
TEST_F(History, SigkillLeavesAReadableHistoryAndIdsGoOn) {
    ASSERT_TRUE(start(&first_));
    ASSERT_EQ(0, live_make_dir(first_, "/var/k"));
    ASSERT_EQ(0, live_sync(first_, "/var/k"));
    std::string host = live_root_path(first_, "/var/k");
    constexpr int MADE = 3 * HISTORY_FLUSH_NAMES;
    int made = 0;
    for (; made < HISTORY_FLUSH_NAMES + 10; made++)
        ASSERT_EQ(0, make_file(host + "/f" + std::to_string(made)));
    ASSERT_EQ(0, live_sync(first_, "/var/k"));
    ASSERT_FALSE(log_files(var_log_dir()).empty());
    // More flushes under way when the kill comes.
    for (; made < MADE; made++)
        ASSERT_EQ(0, make_file(host + "/f" + std::to_string(made)));
    kill(first_.pid, SIGKILL);
    ASSERT_TRUE(test_daemon_wait_exit(&first_, HISTORY_WAIT_MS));

    ASSERT_TRUE(start(&second_));
    live_stream all;
    ASSERT_TRUE(replay(second_, &all, {"/var/k"}, 0));
    replay_result r = split_at_done(&all.sink);
    std::set<std::string> paths;
    int gaps = 0;
    for (const live_event& e : r.replayed) {
        EXPECT_TRUE(paths.insert(e.path).second) << "twice: " << e.path;
        if (e.flags & (VANTLES_EVENT_USER_DROPPED | VANTLES_EVENT_KERNEL_DROPPED)) {
            // The changes the killed daemon had not filed, and those made before the next
            // started, are unknown: the history says so for the volume.
            gaps += (e.flags & VANTLES_EVENT_USER_DROPPED) && e.path == "/var/";
            continue;
        }
        if (e.path == "/var/k" || e.path.find("/.sync-") != std::string::npos)
            continue;
        int n = -1;
        ASSERT_EQ(1, sscanf(e.path.c_str(), "/var/k/f%d", &n)) << e.path;
        EXPECT_TRUE(n >= 0 && n < MADE) << e.path;
    }
    EXPECT_GE(paths.size(), static_cast<size_t>(HISTORY_FLUSH_NAMES));
    EXPECT_EQ(1, gaps);
    ASSERT_EQ(0, live_create_file(second_, "/var/k/after"));
    live_event e;
    ASSERT_TRUE(live_wait_event(&all.sink, live_path_is("/var/k/after"), HISTORY_WAIT_MS, &e));
    EXPECT_GT(e.id, highest_id(r.replayed));
}

// A logged volume that fills up loses its history, which starts again under a new uuid; the
// daemon keeps delivering live events all along.
TEST_F(History, FullVolumeRestartsTheHistoryAndDeliveryGoesOn) {
    ASSERT_TRUE(start(&first_, {{"/var", "tmpfs", false, "384k"}}));
    ASSERT_EQ(0, live_make_dir(first_, "/var/full"));
    ASSERT_EQ(0, live_sync(first_, "/var/full"));
    std::string uuid_path = live_root_path(first_, "/var/.vantlesd/vantlesd-uuid");
    std::string uuid = read_text(uuid_path);
    ASSERT_EQ(36u, uuid.size());

    // Long names of random letters: they compress poorly, so three flushes need more room
    // than the volume has, while the empty files themselves take none.
    std::string host = live_root_path(first_, "/var/full");
    srand(7);
    for (int i = 0; i < 3 * HISTORY_FLUSH_NAMES; i++) {
        std::string name = std::to_string(i) + "-";
        while (name.size() < 120)
            name += static_cast<char>('a' + rand() % 26);
        ASSERT_EQ(0, make_file(host + "/" + name)) << i;
    }
    ASSERT_EQ(0, live_sync(first_, "/var/full"));
    EXPECT_TRUE(test_daemon_wait_log(first_, "removing all old log files in /var/.vantlesd",
                                     HISTORY_WAIT_MS));
    EXPECT_NE(uuid, read_text(uuid_path)) << "the history kept its uuid";

    live_stream live;
    ASSERT_EQ(0,
              live_stream_start(&live, live_options(first_, {"/tmp"}, VANTLES_FLAG_FILE_EVENTS)));
    ASSERT_EQ(0, live_create_file(first_, "/tmp/still-here"));
    EXPECT_TRUE(live_wait_event(&live.sink, live_path_is("/tmp/still-here"), HISTORY_WAIT_MS));
    EXPECT_TRUE(test_daemon_running(&first_));
}

// Child: becomes uid and gid 65534, replays dir since 0 and writes one line per replayed path,
// then "END" (or "X reason").
[[noreturn]] void replay_unprivileged(const test_daemon& d, const std::string& dir, int out) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    auto say = [out](const std::string& line) {
        std::string text = line + "\n";
        if (write(out, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            _exit(5);
    };
    if (setgroups(0, nullptr) != 0 || setgid(HISTORY_NOBODY) != 0 || setuid(HISTORY_NOBODY) != 0 ||
        setuid(0) == 0) {
        say("X cannot drop privileges");
        _exit(1);
    }
    for (uint32_t flags : {VANTLES_FLAG_FILE_EVENTS, 0u}) {
        live_stream s;
        vantles_stream_options options = live_options(d, {dir}, flags);
        options.since_when = 0;
        if (live_stream_start(&s, options) != 0) {
            say("X registration failed");
            _exit(1);
        }
        if (!live_wait_event(&s.sink, is_history_done, HISTORY_WAIT_MS)) {
            say("X no history-done notice");
            _exit(1);
        }
        for (const live_event& e : split_at_done(&s.sink).replayed)
            say(e.path);
    }
    say("END");
    _exit(0);
}

// An unprivileged client replaying the history, from a file and from memory, never gets the
// path of a file it may not read, nor anything inside a directory closed to it.
TEST_F(History, UnprivilegedReplayShowsOnlyWhatItMayRead) {
    ASSERT_TRUE(start(&first_));
    for (const char* dir : {"/var/perm", "/var/perm/private"})
        ASSERT_EQ(0, live_make_dir(first_, dir));
    auto host = [&](test_daemon& d, const std::string& name) {
        return live_root_path(d, "/var/perm/" + name);
    };
    ASSERT_EQ(0, chmod(host(first_, "private").c_str(), 0700));
    ASSERT_EQ(0, make_file(host(first_, "secret-on-disk"), 0600));
    ASSERT_EQ(0, make_file(host(first_, "public-on-disk"), 0644));
    ASSERT_EQ(0, make_file(host(first_, "private/inner-on-disk"), 0644));
    ASSERT_EQ(0, live_sync(first_, "/var/perm"));
    ASSERT_TRUE(stop_cleanly(&first_));
    ASSERT_FALSE(log_files(var_log_dir()).empty());

    ASSERT_TRUE(start(&second_));
    ASSERT_EQ(0, make_file(host(second_, "secret-in-memory"), 0600));
    ASSERT_EQ(0, make_file(host(second_, "public-in-memory"), 0644));
    ASSERT_EQ(0, make_file(host(second_, "private/inner-in-memory"), 0644));
    ASSERT_EQ(0, live_sync(second_, "/var/perm"));

    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        replay_unprivileged(second_, "/var/perm", fds[1]);
    close(fds[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_NE(std::string::npos, text.find("END\n")) << text;
    EXPECT_NE(std::string::npos, text.find("/var/perm/public-on-disk\n")) << text;
    EXPECT_NE(std::string::npos, text.find("/var/perm/public-in-memory\n")) << text;
    for (const char* hidden : {"secret", "inner", "/var/perm/private\n", "/var/perm/private/"})
        EXPECT_EQ(std::string::npos, text.find(hidden)) << hidden << " in:\n" << text;
}

// Replaying clients whose process dies while the daemon is stuck sending them their history
// give their reader slots back: more of them than there are slots die halfway, and a replay
// afterwards still runs to its end.
TEST_F(History, ClientsKilledMidReplayGiveBackTheirReaderSlots) {
    ASSERT_TRUE(start(&first_));
    ASSERT_EQ(0, live_make_dir(first_, "/var/r"));
    std::string host = live_root_path(first_, "/var/r");
    for (int i = 0; i < 2 * HISTORY_FLUSH_NAMES; i++)
        ASSERT_EQ(0, make_file(host + "/a-rather-long-name-to-fill-sockets-" + std::to_string(i)));
    ASSERT_EQ(0, live_sync(first_, "/var/r"));
    ASSERT_FALSE(log_files(var_log_dir()).empty());

    // A child registers more replaying streams than there are reader slots and never reads.
    constexpr int STUCK = 10;
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::vector<vantles_stream*> streams(STUCK);
        for (vantles_stream*& s : streams) {
            vantles_stream_options options =
                live_options(first_, {"/var/r"}, VANTLES_FLAG_FILE_EVENTS);
            options.since_when = 0;
            if (vantles_stream_create(options, live_sink_collect, nullptr, &s) != 0 ||
                vantles_stream_start(s) != 0)
                _exit(1);
        }
        if (write(fds[1], "R", 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    close(fds[1]);
    char ready = 0;
    ASSERT_EQ(1, read(fds[0], &ready, 1));
    close(fds[0]);
    // Long enough for the daemon to fill their sockets and wait in its sends.
    usleep(1000000);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    live_stream after;
    ASSERT_TRUE(replay(first_, &after, {"/var/r"}, 0));
    EXPECT_GE(split_at_done(&after.sink).replayed.size(),
              static_cast<size_t>(2 * HISTORY_FLUSH_NAMES));
    ASSERT_EQ(0, live_stream_stop(&after));
    EXPECT_TRUE(live_state_becomes(&first_, LIVE_INTERNAL_CLIENTS, -1, HISTORY_WAIT_MS));
}

}  // namespace
