// The history end to end: the daemon keeps every change of its logged volumes, in memory and
// then in log files, and a client asking for events since an id gets them back, across daemon
// processes too. A machine directory shown at "/var" in each daemon's scratch root is the
// volume whose history outlives one daemon process. Under a service manager (a stand-in
// notify socket) the kernel's queue itself is kept across a restart.
#include "tests/support/live_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace {

constexpr int WAIT_MS = 30000;
constexpr int FLUSH_NAMES = 5000;  // distinct names that make the disk logger write a file

bool is_done(const live_event& e) {
    return (e.flags & VANTLES_EVENT_HISTORY_DONE) != 0;
}

// The events of a replaying stream before its history-done notice, and the notice.
struct replay_result {
    std::vector<live_event> replayed;
    live_event done;
};

class History : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
        for (std::string* dir : {&var_, &shared_}) {
            char tmpl[] = "/tmp/vantles-history.XXXXXX";
            ASSERT_NE(nullptr, mkdtemp(tmpl));
            *dir = tmpl;
            chmod(tmpl, 0755);
        }
    }
    void TearDown() override {
        for (test_daemon* d : {&first_, &second_})
            if (HasFailure() && !d->log_path.empty())
                printf("---- daemon log ----\n%s\n", test_daemon_log(*d).c_str());
        std::error_code ignored;
        for (const std::string& dir : {var_, shared_})
            if (!dir.empty())
                std::filesystem::remove_all(dir, ignored);
    }

    void start(test_daemon* d) {
        d->binds = {{var_, false, "/var"}};
        d->env = env_;
        ASSERT_EQ(0, test_daemon_start(d, {"-d"}, shared_ + "/vantlesd.sock"))
            << test_daemon_log(*d);
    }

    // Registers s on paths since the id and waits for its history-done notice.
    replay_result replay(const test_daemon& d, live_stream* s, std::vector<std::string> paths,
                         uint64_t since) {
        vantles_stream_options options =
            live_options(d, std::move(paths), VANTLES_FLAG_FILE_EVENTS);
        options.since_when = since;
        replay_result out;
        EXPECT_EQ(0, live_stream_start(s, options));
        EXPECT_TRUE(live_wait_event(&s->sink, is_done, WAIT_MS, &out.done))
            << live_describe(live_sink_events(&s->sink));
        for (const live_event& e : live_sink_events(&s->sink)) {
            if (is_done(e))
                break;
            out.replayed.push_back(e);
        }
        return out;
    }

    std::string log_dir() const { return var_ + "/.vantlesd"; }

    std::string var_, shared_;
    std::vector<std::string> env_;
    test_daemon first_, second_;
};

// Names still in memory are replayed in path order before any file is written. Filed by one
// daemon, changes come back to a client of the next: since an id in the middle, only the paths
// changed after it, each once, then a dropped record for the volume (what changed while no
// daemon ran is unknown), the notice with the highest replayed id, then live changes with
// newer ids. The history keeps its uuid, and ids go on above every id the first daemon gave,
// also those of its own writes, which no history holds.
TEST_F(History, NextDaemonReplaysFromTheMiddleThenGoesLive) {
    start(&first_);
    ASSERT_EQ(0, live_make_dir(first_, "/var/w"));
    ASSERT_EQ(0, live_sync(first_, "/var/w"));
    live_stream watch;
    ASSERT_EQ(
        0, live_stream_start(&watch, live_options(first_, {"/var/w"}, VANTLES_FLAG_FILE_EVENTS)));
    for (const char* name : {"b", "a"})
        ASSERT_EQ(0, live_create_file(first_, std::string("/var/w/") + name));
    ASSERT_TRUE(live_wait_event(&watch.sink, live_path_is("/var/w/a"), WAIT_MS));
    ASSERT_EQ(0, live_sync(first_, "/var/w"));
    uint64_t since = 0;
    for (const live_event& e : live_sink_events(&watch.sink))
        since = std::max(since, e.id);
    for (const char* name : {"d", "c"})
        ASSERT_EQ(0, live_create_file(first_, std::string("/var/w/") + name));
    ASSERT_EQ(0, unlink(live_root_path(first_, "/var/w/a").c_str()));
    ASSERT_TRUE(live_wait_event(
        &watch.sink, live_event_is("/var/w/a", VANTLES_EVENT_REMOVED | VANTLES_EVENT_FILE),
        WAIT_MS));
    ASSERT_EQ(0, live_sync(first_, "/var/w"));
    for (const live_event& e : live_sink_events(&watch.sink))
        EXPECT_FALSE(is_done(e)) << "a history-done notice without history";
    ASSERT_TRUE(log_files(log_dir()).empty()) << "the names are not only in memory";
    {
        live_stream memory;
        std::vector<std::string> names;
        for (const live_event& e : replay(first_, &memory, {"/var/w"}, 0).replayed)
            if (e.path.rfind("/var/w/", 0) == 0 && e.path.find("/.sync-") == std::string::npos)
                names.push_back(e.path);
        EXPECT_EQ((std::vector<std::string>{"/var/w/a", "/var/w/b", "/var/w/c", "/var/w/d"}),
                  names);
    }
    vantles_connection conn;
    ASSERT_EQ(0, vantles_connect(first_.socket_path.c_str(), &conn));
    uint64_t filed = 0, last_id = 0;
    ASSERT_EQ(0, vantles_get_current_event_id(&conn, &filed));
    for (int i = 0; i < 50; i++)
        ASSERT_EQ(0, live_create_file(first_, "/var/.vantlesd/unlogged-" + std::to_string(i)));
    EXPECT_TRUE(wait_until(
        [&] { return vantles_get_current_event_id(&conn, &last_id) == 0 && last_id >= filed + 50; },
        WAIT_MS));
    vantles_close(&conn);
    kill(first_.pid, SIGTERM);
    ASSERT_TRUE(test_daemon_wait_exit(&first_, WAIT_MS));
    ASSERT_TRUE(WIFEXITED(first_.status) && WEXITSTATUS(first_.status) == 0);
    ASSERT_FALSE(log_files(log_dir()).empty()) << "nothing written at shutdown";
    std::string uuid = read_text(log_dir() + "/vantlesd-uuid");
    ASSERT_EQ(36u, uuid.size());

    start(&second_);
    live_stream later;
    replay_result r = replay(second_, &later, {"/var/w"}, since);
    EXPECT_EQ(uuid, read_text(log_dir() + "/vantlesd-uuid")) << "a new history";
    std::string got = live_describe(r.replayed);
    std::vector<std::string> paths;
    uint64_t first_run_highest = 0, highest = 0;
    int gaps = 0;
    for (const live_event& e : r.replayed) {
        EXPECT_GT(e.id, since) << got;
        highest = std::max(highest, e.id);
        if ((e.flags & VANTLES_EVENT_USER_DROPPED) && e.path == "/var/") {
            gaps++;
            EXPECT_GT(e.id, first_run_highest) << got;
        } else if (!(e.flags & VANTLES_EVENT_KERNEL_DROPPED)) {
            first_run_highest = std::max(first_run_highest, e.id);
            if (e.path.rfind("/var/w/", 0) == 0 && e.path.find("/.sync-") == std::string::npos)
                paths.push_back(e.path);
        }
        if (e.path == "/var/w/a") {
            EXPECT_TRUE(e.flags & VANTLES_EVENT_REMOVED) << got;
        }
    }
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ((std::vector<std::string>{"/var/w/a", "/var/w/c", "/var/w/d"}), paths) << got;
    EXPECT_EQ(1, gaps) << got;
    EXPECT_EQ(highest, r.done.id);
    EXPECT_EQ("/var/w", r.done.path);

    ASSERT_EQ(0, live_create_file(second_, "/var/w/e"));
    live_event e;
    ASSERT_TRUE(live_wait_event(&later.sink, live_path_is("/var/w/e"), WAIT_MS, &e));
    EXPECT_GT(e.id, r.done.id);
    EXPECT_GT(e.id, last_id) << "ids went backwards across the restart";
}

// 10,000 names make the disk logger write files while the daemon runs; a file's records come
// back in path order, every name once. Replaying clients killed while the daemon is stuck
// sending them their history (more of them than there are reader slots) give their slots
// back: a replay afterwards runs to its end.
TEST_F(History, LogFilesAreReplayedAndKilledReplayersGiveBackTheirSlots) {
    start(&first_);
    ASSERT_EQ(0, live_make_dir(first_, "/var/r"));
    for (int i = 0; i < 2 * FLUSH_NAMES; i++)
        ASSERT_EQ(0, live_create_file(
                         first_, "/var/r/a-rather-long-name-to-fill-sockets-" + std::to_string(i)));
    ASSERT_EQ(0, live_sync(first_, "/var/r"));
    ASSERT_FALSE(log_files(log_dir()).empty());
    {
        live_stream all;
        replay_result r = replay(first_, &all, {"/var/r"}, 0);
        std::set<std::string> paths;
        for (const live_event& e : r.replayed)
            EXPECT_TRUE(paths.insert(e.path).second) << "twice: " << e.path;
        for (int i = 0; i < 2 * FLUSH_NAMES; i++)
            EXPECT_EQ(1u,
                      paths.count("/var/r/a-rather-long-name-to-fill-sockets-" + std::to_string(i)))
                << i;
        ASSERT_GE(r.replayed.size(), size_t{FLUSH_NAMES});
        for (size_t i = 1; i < FLUSH_NAMES; i++)
            ASSERT_LT(r.replayed[i - 1].path, r.replayed[i].path) << "record " << i;
    }

    constexpr int STUCK = 10;
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // registers, then never reads; tells once the daemon is sending to all
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::vector<pollfd> sockets;
        for (int i = 0; i < STUCK; i++) {
            vantles_stream* s = nullptr;
            vantles_stream_options options =
                live_options(first_, {"/var/r"}, VANTLES_FLAG_FILE_EVENTS);
            options.since_when = 0;
            if (vantles_stream_create(options, live_sink_collect, nullptr, &s) != 0 ||
                vantles_stream_start(s) != 0)
                _exit(1);
            sockets.push_back({vantles_stream_fd(s), POLLIN, 0});
        }
        wait_until(
            [&] {
                poll(sockets.data(), sockets.size(), 0);
                return std::all_of(sockets.begin(), sockets.end(),
                                   [](const pollfd& p) { return p.revents & POLLIN; });
            },
            10000);
        _exit(write(fds[1], "R", 1) == 1 ? (pause(), 0) : 1);
    }
    close(fds[1]);
    char ready = 0;
    EXPECT_EQ(1, read(fds[0], &ready, 1));
    close(fds[0]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    live_stream after;
    EXPECT_GE(replay(first_, &after, {"/var/r"}, 0).replayed.size(), size_t{2 * FLUSH_NAMES});
    ASSERT_EQ(0, live_stream_stop(&after));
    EXPECT_TRUE(live_state_becomes(&first_, LIVE_INTERNAL_CLIENTS, -1, WAIT_MS));
}

// The service manager's notify socket: collects notices and the descriptors they carry.
class notify_standin {
public:
    ~notify_standin() {
        for (auto& [text, fds] : received_)
            for (int fd : fds)
                close(fd);
    }
    int open_at(const std::string& path) {
        fd_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (!fd_.valid() || bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return errno;
        return chmod(path.c_str(), 0666) == 0 ? 0 : errno;
    }
    // The first notice containing text (empty on time-out), with its descriptors.
    std::pair<std::string, std::vector<int>> wait_for(const std::string& text) {
        int64_t deadline = live_now_ms() + WAIT_MS;
        for (;;) {
            for (const auto& n : received_)
                if (n.first.find(text) != std::string::npos)
                    return n;
            pollfd p = {fd_.get(), POLLIN, 0};
            int left = static_cast<int>(std::max<int64_t>(deadline - live_now_ms(), 0));
            if (left == 0 || poll(&p, 1, left) != 1)
                return {};
            char data[4096];
            alignas(cmsghdr) char control[CMSG_SPACE(16 * sizeof(int))];
            iovec iov = {data, sizeof data};
            msghdr msg = {};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            ssize_t n = recvmsg(fd_.get(), &msg, MSG_CMSG_CLOEXEC);
            if (n < 0)
                return {};
            std::vector<int> fds;
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                    const int* passed = reinterpret_cast<const int*>(CMSG_DATA(c));
                    fds.assign(passed, passed + (c->cmsg_len - CMSG_LEN(0)) / sizeof(int));
                }
            received_.push_back({std::string(data, size_t(n)), fds});
        }
    }

private:
    unique_fd fd_;
    std::vector<std::pair<std::string, std::vector<int>>> received_;
};

// Readiness, status, the event source stored for a restart, stopping at SIGTERM; the next
// daemon, handed the stored source, files the changes made while none ran in the same
// history: not one of the files made all along the restart is missing.
TEST_F(History, StoredEventSourceCarriesChangesAcrossARestart) {
    notify_standin standin;
    ASSERT_EQ(0, standin.open_at(shared_ + "/notify.sock"));
    env_ = {"NOTIFY_SOCKET=" + shared_ + "/notify.sock"};
    start(&first_);
    EXPECT_FALSE(standin.wait_for("READY=1").first.empty());
    auto stored = standin.wait_for("FDSTORE=1");
    ASSERT_NE(std::string::npos, stored.first.find("FDNAME=fanotify")) << stored.first;
    ASSERT_EQ(1u, stored.second.size());
    ASSERT_EQ(0, live_make_dir(first_, "/var/s"));
    ASSERT_EQ(0, live_sync(first_, "/var/s"));
    EXPECT_FALSE(standin.wait_for("STATUS=event id").first.empty());
    std::string uuid = read_text(log_dir() + "/vantlesd-uuid");
    ASSERT_EQ(36u, uuid.size());
    live_stream watch;
    ASSERT_EQ(
        0, live_stream_start(&watch, live_options(first_, {"/var/s"}, VANTLES_FLAG_FILE_EVENTS)));
    ASSERT_EQ(0, live_create_file(first_, "/var/s/marker"));
    live_event marker;
    ASSERT_TRUE(live_wait_event(&watch.sink, live_path_is("/var/s/marker"), WAIT_MS, &marker));
    ASSERT_EQ(0, live_stream_stop(&watch));

    std::atomic<bool> writing{true};
    std::atomic<int> made{0};
    std::thread writer([&] {
        while (writing.load() || made.load() < 20) {
            std::ofstream(var_ + "/s/w" + std::to_string(made.load())) << "x";
            made.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    kill(first_.pid, SIGTERM);
    EXPECT_FALSE(standin.wait_for("STOPPING=1").first.empty());
    bool exited = test_daemon_wait_exit(&first_, WAIT_MS);
    second_.pass_fd = stored.second[0];
    second_.pass_fd_name = "fanotify";
    start(&second_);
    int before_second = made.load();  // files made after the second daemon answers too
    wait_until([&] { return made.load() >= before_second + 20; }, WAIT_MS);
    writing.store(false);
    writer.join();
    ASSERT_TRUE(exited);
    ASSERT_TRUE(WIFEXITED(first_.status) && WEXITSTATUS(first_.status) == 0);
    EXPECT_EQ(uuid, read_text(log_dir() + "/vantlesd-uuid")) << "the history was thrown away";

    // The next daemon files its backlog through the disk logger, and a replay waits only a
    // moment for it: replays are asked for until one holds every file.
    ASSERT_EQ(0, live_sync(second_, "/var/s"));
    std::string missing;
    bool kernel_dropped = false;
    wait_until(
        [&] {
            live_stream replayed;
            std::set<std::string> seen;
            for (const live_event& e : replay(second_, &replayed, {"/var/s"}, marker.id).replayed) {
                kernel_dropped |= (e.flags & VANTLES_EVENT_KERNEL_DROPPED) != 0;
                EXPECT_FALSE(e.flags & VANTLES_EVENT_USER_DROPPED) << "the daemon lost " << e.path;
                seen.insert(e.path);
            }
            missing.clear();
            for (int i = 0; i < made.load(); i++)
                if (!seen.count("/var/s/w" + std::to_string(i)))
                    missing += " w" + std::to_string(i);
            return missing.empty();
        },
        WAIT_MS);
    // Other work on the machine's file system fills the stored queue too; if it overflowed
    // while no daemon ran, the daemon could only report the loss, which it did.
    if (!missing.empty() && kernel_dropped)
        GTEST_SKIP() << "the kernel reported lost changes while no daemon ran";
    EXPECT_EQ("", missing) << "of " << made.load() << " files made across the restart";
}

}  // namespace
