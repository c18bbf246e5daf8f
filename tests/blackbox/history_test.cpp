// The history across daemon processes: a machine directory shown at "/var" in each daemon's
// scratch root is the volume whose history outlives one daemon. Under a service manager (a
// stand-in notify socket) the kernel's queue itself is kept across a restart.
#include "tests/support/live_client.h"
#include "tests/support/notify_standin.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace {

constexpr int WAIT_MS = 30000;

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
                test_daemon_print_log_tail(*d);
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
        replay_result out;
        EXPECT_EQ(0, live_replay(d, s, std::move(paths), since, WAIT_MS))
            << live_describe(live_sink_events(&s->sink));
        for (const live_event& e : live_sink_events(&s->sink)) {
            if (live_history_done(e))
                return out.done = e, out;
            out.replayed.push_back(e);
        }
        return out;
    }

    std::string log_dir() const { return var_ + "/.vantlesd"; }

    std::string var_, shared_;
    std::vector<std::string> env_;
    test_daemon first_, second_;
};

// Readiness, status, the event source stored for a restart, stopping at SIGTERM; the next
// daemon, handed the stored source, files the changes made while none ran in the same history
// (not one file made all along the restart is missing); one started without it owns the gap.
TEST_F(History, RestartsKeepTheHistory) {
    notify_standin standin;
    ASSERT_EQ(0, standin.open_at(shared_ + "/notify.sock"));
    env_ = {"NOTIFY_SOCKET=" + shared_ + "/notify.sock"};
    start(&first_);
    EXPECT_GE(standin.wait_for("READY=1"), 0);
    int stored = standin.wait_for("FDSTORE=1");
    ASSERT_GE(stored, 0);
    ASSERT_NE(std::string::npos, standin.received[stored].first.find("FDNAME=fanotify"));
    ASSERT_EQ(1u, standin.received[stored].second.size());
    ASSERT_EQ(0, live_make_dir(first_, "/var/s"));
    ASSERT_EQ(0, live_sync(first_, "/var/s"));
    EXPECT_GE(standin.wait_for("STATUS=event id"), 0);
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
    EXPECT_GE(standin.wait_for("STOPPING=1"), 0);
    bool exited = test_daemon_wait_exit(&first_, WAIT_MS);
    second_.pass_fd = standin.received[stored].second[0].get();
    second_.pass_fd_name = "fanotify";
    start(&second_);
    int before_second = made.load();  // files made after the second daemon answers too
    wait_until([&] { return made.load() >= before_second + 20; }, WAIT_MS);
    writing.store(false);
    writer.join();
    ASSERT_TRUE(exited);
    ASSERT_TRUE(WIFEXITED(first_.status) && WEXITSTATUS(first_.status) == 0);
    EXPECT_EQ(std::string::npos, test_daemon_log(first_).find("failed"))
        << "an ordinary run logged a failure:\n" << test_daemon_log(first_);
    EXPECT_EQ(uuid, read_text(log_dir() + "/vantlesd-uuid")) << "the history was thrown away";

    // A replay asked for at once holds every file: those of the backlog that the next daemon
    // is still reading from the kernel's queue, or filing through the disk logger, too.
    std::string missing;
    bool kernel_dropped = false;
    live_stream replayed;
    std::set<std::string> seen;
    for (const live_event& e : replay(second_, &replayed, {"/var/s"}, marker.id).replayed) {
        kernel_dropped |= (e.flags & VANTLES_EVENT_KERNEL_DROPPED) != 0;
        EXPECT_FALSE(e.flags & VANTLES_EVENT_USER_DROPPED) << "the daemon lost " << e.path;
        seen.insert(e.path);
    }
    for (int i = 0; i < made.load(); i++)
        if (!seen.count("/var/s/w" + std::to_string(i)))
            missing += " w" + std::to_string(i);
    ASSERT_EQ(0, live_stream_stop(&replayed));
    // A change made just before a replay is asked for is in it, not only live after it.
    for (int i = 0; i < 10; i++) {
        std::string name = "/var/s/just" + std::to_string(i);
        ASSERT_EQ(0, live_create_file(second_, name));
        live_stream s;
        std::string got = live_describe(replay(second_, &s, {"/var/s"}, marker.id).replayed);
        EXPECT_NE(std::string::npos, got.find(name + "\n")) << got;
    }

    // Started without the stored source, a daemon cannot know what changed while none ran: a
    // replay shows one dropped record for the volume after every filed change, its
    // history-done notice carries the highest id, and live changes follow with newer ids.
    second_.pass_fd = -1;
    ASSERT_EQ(0, test_daemon_restart(&second_, {"-d"}, WAIT_MS));
    live_stream later;
    replay_result r = replay(second_, &later, {"/var/s"}, marker.id);
    std::string got = live_describe(r.replayed);
    uint64_t filed = 0, highest = 0;
    int gaps = 0;
    for (const live_event& e : r.replayed) {
        highest = std::max(highest, e.id);
        if ((e.flags & VANTLES_EVENT_USER_DROPPED) && e.path == "/var/") {
            gaps++;
            EXPECT_GT(e.id, filed) << got;
        } else if (!(e.flags & VANTLES_EVENT_KERNEL_DROPPED)) {
            filed = std::max(filed, e.id);
        }
    }
    EXPECT_EQ(1, gaps) << got;
    EXPECT_TRUE(r.done.id == highest && r.done.path == "/var/s") << live_describe({r.done});
    ASSERT_EQ(0, live_create_file(second_, "/var/s/live"));
    live_event e;
    ASSERT_TRUE(live_wait_event(&later.sink, live_path_is("/var/s/live"), WAIT_MS, &e));
    EXPECT_GT(e.id, r.done.id);
    EXPECT_EQ(uuid, read_text(log_dir() + "/vantlesd-uuid")) << "a new history";

    // Other work on the machine's file system fills the stored queue too; if it overflowed
    // while no daemon ran, the daemon could only report the loss, which it did.
    if (!missing.empty() && kernel_dropped)
        GTEST_SKIP() << "the kernel reported lost changes while no daemon ran";
    EXPECT_EQ("", missing) << "of " << made.load() << " files made across the restart";
}

// Socket activation: the daemon serves on the listening socket the service manager passed it
// and binds none of its own at the path.
TEST(ServiceManager, ServesOnTheListenerItIsPassed) {
    char dir[] = "/tmp/vantles-activated.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    std::string path = std::string(dir) + "/vantlesd.sock";
    unique_fd listener(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr = {AF_UNIX, {}};
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(0, bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, listen(listener.get(), 16));
    struct stat before, after;
    ASSERT_EQ(0, stat(path.c_str(), &before));
    test_daemon d;
    d.pass_fd = listener.get();
    d.pass_fd_name = "vantlesd.socket";
    EXPECT_EQ(0, test_daemon_start(&d, {}, path));  // it answered there
    listener.reset();
    EXPECT_TRUE(stat(path.c_str(), &after) == 0 && after.st_ino == before.st_ino);
    test_daemon_stop(&d);
    std::filesystem::remove_all(dir);
}

}  // namespace
