// The daemon under a service manager, played by the test: a datagram socket named by
// NOTIFY_SOCKET takes its notices (readiness, status, stopping) and the event source it
// stores, and the next daemon is handed that source back as a passed descriptor. Changes
// made while no daemon runs wait in the stored source's kernel queue, so the restarted
// daemon files them in the same history.
#include "tests/support/live_client.h"
#include "tests/support/test_daemon.h"
#include "tests/support/scratch_root.h"
#include "vantles/stream.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int SERVICE_WAIT_MS = 30000;

struct notice {
    std::string text;
    std::vector<int> fds;  // owned by the stand-in
};

// The service manager's notify socket.
class notify_standin {
public:
    ~notify_standin() {
        for (notice& n : received_)
            for (int fd : n.fds)
                close(fd);
        if (fd_ >= 0)
            close(fd_);
    }

    int open_at(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return errno;
        return chmod(path.c_str(), 0666) == 0 ? 0 : errno;
    }

    // Waits until a notice containing text has arrived; returns it (text empty on time-out).
    notice wait_for(const std::string& text, int timeout_ms = SERVICE_WAIT_MS) {
        int64_t deadline = live_now_ms() + timeout_ms;
        for (;;) {
            for (const notice& n : received_)
                if (n.text.find(text) != std::string::npos)
                    return n;
            int left = static_cast<int>(std::max<int64_t>(deadline - live_now_ms(), 0));
            pollfd p = {fd_, POLLIN, 0};
            if (left == 0 || poll(&p, 1, left) != 1)
                return {};
            receive_one();
        }
    }

    std::string texts() const {
        std::string out;
        for (const notice& n : received_)
            out += "[" + n.text + "] ";
        return out;
    }

private:
    void receive_one() {
        char data[4096];
        alignas(cmsghdr) char control[CMSG_SPACE(16 * sizeof(int))];
        iovec iov = {data, sizeof data - 1};
        msghdr msg = {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0)
            return;
        notice got;
        got.text.assign(data, static_cast<size_t>(n));
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                const int* fds = reinterpret_cast<const int*>(CMSG_DATA(c));
                got.fds.assign(fds, fds + count);
            }
        }
        received_.push_back(std::move(got));
    }

    int fd_ = -1;
    std::vector<notice> received_;
};

class ServiceManager : public ::testing::Test {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
        for (std::string* dir : {&var_, &shared_}) {
            char tmpl[] = "/tmp/vantles-service.XXXXXX";
            ASSERT_NE(nullptr, mkdtemp(tmpl));
            *dir = tmpl;
            chmod(tmpl, 0755);
        }
        ASSERT_EQ(0, standin_.open_at(shared_ + "/notify.sock"));
    }

    void TearDown() override {
        std::error_code ignored;
        for (const std::string& dir : {var_, shared_})
            if (!dir.empty())
                std::filesystem::remove_all(dir, ignored);
        if (HasFailure())
            for (test_daemon* d : {&first_, &second_})
                if (!d->log_path.empty())
                    printf("---- daemon log ----\n%s---- end ----\n", test_daemon_log(*d).c_str());
    }

    ::testing::AssertionResult start(test_daemon* d) {
        d->binds = {{var_, false, "/var"}};
        d->env = {"NOTIFY_SOCKET=" + shared_ + "/notify.sock"};
        int err = test_daemon_start(d, {"-d"}, shared_ + "/vantlesd.sock");
        if (err != 0)
            return ::testing::AssertionFailure() << "daemon start: " << strerror(err);
        return ::testing::AssertionSuccess();
    }

    std::string var_, shared_;
    notify_standin standin_;
    test_daemon first_, second_;
};

// Readiness once the daemon serves, its status, the event source stored for a restart, and
// stopping at SIGTERM. The next daemon, handed the stored source, replays the changes made
// while none ran, in the same history.
TEST_F(ServiceManager, StoredEventSourceCarriesChangesAcrossARestart) {
    ASSERT_TRUE(start(&first_));
    EXPECT_FALSE(standin_.wait_for("READY=1").text.empty()) << standin_.texts();
    notice stored = standin_.wait_for("FDSTORE=1");
    ASSERT_NE(std::string::npos, stored.text.find("FDNAME=fanotify")) << standin_.texts();
    ASSERT_EQ(1u, stored.fds.size());

    ASSERT_EQ(0, live_make_dir(first_, "/var/s"));
    ASSERT_EQ(0, live_create_file(first_, "/var/s/before"));
    ASSERT_EQ(0, live_sync(first_, "/var/s"));
    EXPECT_FALSE(standin_.wait_for("STATUS=event id").text.empty()) << standin_.texts();
    std::string uuid_path = var_ + "/.vantlesd/vantlesd-uuid";
    std::string uuid = read_text(uuid_path);
    ASSERT_EQ(36u, uuid.size());

    live_stream watch;
    ASSERT_EQ(
        0, live_stream_start(&watch, live_options(first_, {"/var/s"}, VANTLES_FLAG_FILE_EVENTS)));
    ASSERT_EQ(0, live_create_file(first_, "/var/s/marker"));
    live_event marker;
    ASSERT_TRUE(
        live_wait_event(&watch.sink, live_path_is("/var/s/marker"), SERVICE_WAIT_MS, &marker));
    ASSERT_EQ(0, live_stream_stop(&watch));

    // Files keep being made while the daemon stops, while none runs and while the next one
    // starts: every one of them must reach the history or the next daemon's clients.
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
    EXPECT_FALSE(standin_.wait_for("STOPPING=1").text.empty()) << standin_.texts();
    bool exited = test_daemon_wait_exit(&first_, SERVICE_WAIT_MS);
    second_.pass_fd = stored.fds[0];
    second_.pass_fd_name = "fanotify";
    ::testing::AssertionResult started = start(&second_);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    writing.store(false);
    writer.join();
    ASSERT_TRUE(exited);
    ASSERT_TRUE(WIFEXITED(first_.status) && WEXITSTATUS(first_.status) == 0);
    ASSERT_TRUE(started);
    EXPECT_EQ(uuid, read_text(uuid_path)) << "the history was thrown away";

    // The next daemon files what it took from the stored queue through its disk logger, and a
    // replay only waits a moment for that logger to catch up: a replay asked for while it
    // still works through the backlog ends before the newest changes (they are in the next
    // replay). So replays are asked for until one holds every file, or the time is up.
    ASSERT_EQ(0, live_sync(second_, "/var/s"));
    int64_t deadline = live_now_ms() + SERVICE_WAIT_MS;
    int replays = 0, missing = 0;
    bool kernel_dropped = false;
    std::string ranges;
    do {
        if (replays > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        replays++;
        live_stream replay;
        vantles_stream_options options =
            live_options(second_, {"/var/s"}, VANTLES_FLAG_FILE_EVENTS);
        options.since_when = marker.id;
        ASSERT_EQ(0, live_stream_start(&replay, options));
        ASSERT_TRUE(live_wait_event(
            &replay.sink, [](const live_event& e) { return e.flags & VANTLES_EVENT_HISTORY_DONE; },
            SERVICE_WAIT_MS));
        std::set<std::string> seen;
        for (const live_event& e : live_sink_events(&replay.sink)) {
            if (e.flags & VANTLES_EVENT_KERNEL_DROPPED)
                kernel_dropped = true;
            EXPECT_FALSE(e.flags & VANTLES_EVENT_USER_DROPPED) << "the daemon lost " << e.path;
            seen.insert(e.path);
        }
        live_stream_stop(&replay);
        // Missing files as ranges of their numbers, to tell which phase of the restart lost
        // them.
        missing = 0;
        ranges.clear();
        for (int i = 0; i < made.load(); i++) {
            if (seen.count("/var/s/w" + std::to_string(i)) != 0)
                continue;
            int first = i;
            while (i + 1 < made.load() && seen.count("/var/s/w" + std::to_string(i + 1)) == 0)
                i++;
            missing += i - first + 1;
            ranges += " " + std::to_string(first) + (i > first ? "-" + std::to_string(i) : "");
        }
        if (missing != 0)
            printf("replay %d: %d of %d files missing:%s\n", replays, missing, made.load(),
                   ranges.c_str());
    } while (missing != 0 && live_now_ms() < deadline);
    // The daemon's file system is the machine's (the binds), so other work on the machine
    // fills the stored queue too. If it overflowed while no daemon ran, the kernel threw
    // changes away and the daemon could only report that, which it did.
    if (missing != 0 && kernel_dropped)
        GTEST_SKIP() << "the kernel reported lost changes (other work on the machine's file "
                        "system filled the stored queue while no daemon ran); "
                     << missing << " of " << made.load() << " files missing";
    EXPECT_EQ(0, missing) << "of " << made.load() << " files made across the restart, after "
                          << replays << " replays:" << ranges;
}

}  // namespace
