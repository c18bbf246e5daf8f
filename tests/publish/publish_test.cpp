// `vantles publish` from the daemon's scratch root into JetStream on nats-server children, all
// in a private network namespace: storms of changes reach the stream each once, in id order,
// through a killed publisher, a killed broker, daemon restarts and a cluster losing a server.
#include "tests/publish/nats_harness.h"
#include "tests/support/notify_standin.h"
#include "tests/support/scratch_daemon.h"

#include <algorithm>
#include <map>
#include <set>

namespace {

constexpr int PUBLISH_WAIT_MS = 30000;  // only a lost change or a stuck publisher runs into it
const std::string WATCHED = "/tmp/w", HOST = "testhost", SUBJECT = "vantles.test";

class Publish : public ScratchDaemonTest {
protected:
    void SetUp() override {
        if (nats_server_binary().empty())
            GTEST_SKIP() << "needs nats-server (Debian's package nats-server)";
        ScratchDaemonTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        int err = private_loopback();
        ASSERT_EQ(0, err) << strerror(err);
        daemon_.binds.push_back({std::filesystem::path(VANTLES_TOOL_PATH).parent_path(), true});
        // Under a stand-in service manager, which keeps the kernel's queue across a restart.
        ASSERT_EQ(0, notify_.open_at(socket_dir_ + "/notify.sock"));
        ASSERT_TRUE(start({}, {"NOTIFY_SOCKET=" + socket_dir_ + "/notify.sock"}));
        ASSERT_EQ(0, live_make_dir(daemon_, WATCHED));
        ASSERT_EQ(0, live_sync(daemon_, "/tmp"));
        uuid_ = uuid(live_device_of(daemon_, "/tmp"));
    }
    void TearDown() override {
        writer_.stop();
        stop_publisher(SIGKILL);
        if (HasFailure()) {
            printf("---- publisher ----\n%s\n", read_text(socket_dir_ + "/publish.err").c_str());
            for (nats_server& s : servers_) {
                std::string log = read_text(s.log);
                printf("---- %s ----\n%s\n", s.name.c_str(),
                       log.substr(log.size() - std::min<size_t>(log.size(), 3000)).c_str());
            }
        }
        reader_.close();
        servers_.clear();
        ScratchDaemonTest::TearDown();
    }

    // n servers (a cluster when more than one) on their stores, and the reader on all of them.
    void start_servers(int n) {
        servers_ = std::vector<nats_server>(n);
        std::vector<std::string> urls;
        for (int i = 0; i < n; i++) {
            nats_server& s = servers_[i];
            s.name = "n" + std::to_string(i);
            s.store = socket_dir_ + "/" + s.name;
            s.log = s.store + ".log";
            s.port = 4222 + i;
            for (int j = 0; n > 1 && j < n; j++)
                (j == i ? s.cluster_port : s.peers.emplace_back()) = 6222 + j;
            urls.push_back(s.url());
        }
        for (nats_server& s : servers_)
            ASSERT_EQ(0, s.start()) << s.name << ": " << read_text(s.log);
        ASSERT_EQ(NATS_OK, reader_.open(urls, "VANTLES"));
    }

    // `vantles publish` on every server, its standard error appended to publish.err.
    void start_publisher(const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = {
            VANTLES_TOOL_PATH, "publish", "--socket", daemon_.socket_path, "--subject", SUBJECT,
            "--host",          HOST,      "--files",  "--latency",         "0.02"};
        for (nats_server& s : servers_)
            args.insert(args.end(), {"--server", s.url()});
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(WATCHED);
        std::vector<char*> argv = c_strings(args);
        int err = open((socket_dir_ + "/publish.err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if ((publisher_ = fork_in_namespace(daemon_)) == 0) {
            dup2(err, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(err);
        ASSERT_GT(publisher_, 0);
    }
    int stop_publisher(int sig) {  // its wait status
        int status = -1;
        if (publisher_ > 0) {
            kill(publisher_, sig);
            EXPECT_TRUE(
                wait_until([&] { return waitpid(publisher_, &status, WNOHANG) != 0; }, 10000));
        }
        publisher_ = -1;
        return status;
    }
    ::testing::AssertionResult registered() {
        return live_state_becomes(&daemon_, 1 + LIVE_INTERNAL_CLIENTS, -1, PUBLISH_WAIT_MS);
    }

    // Waits for a message of each file "<prefix><i>", i below count, the writer makes.
    ::testing::AssertionResult arrive(char prefix, unsigned count) {
        std::set<std::string> missing;
        for (unsigned i = 0; i < count; i++)
            missing.insert(WATCHED + "/" + prefix + std::to_string(i));
        std::string why;
        size_t seen = 0;
        auto all_there = [&] {
            bool answered = reader_.poll(&why);
            for (; seen < reader_.messages.size(); seen++)
                missing.erase(reader_.messages[seen].path);
            return answered && missing.empty();
        };
        if (wait_until(all_there, PUBLISH_WAIT_MS))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << missing.size() << " of " << count << " never published, the first "
               << *missing.begin() << "; " << reader_.messages.size() << " messages; " << why;
    }

    // What every message of the stream must hold: its subject, host, uuid and the matching
    // message id; a path in the watched directory (a rescan names the directory); an id above
    // those of every earlier message of its volume, so that no change is there twice, or for a
    // rescan not below them, as the last message is where a publisher goes on from. And exactly
    // rescans rescan messages.
    ::testing::AssertionResult each_once(size_t rescans) {
        std::map<std::string, uint64_t> highest;  // per uuid
        std::string rescans_seen;
        size_t rescan_count = 0;
        for (const published& m : reader_.messages) {
            auto fail = [&] {
                return ::testing::AssertionFailure() << "message " << m.seq << " (" << m.msg_id
                                                     << " " << m.flags << " " << m.path << "): ";
            };
            std::string id = HOST + "/" + m.uuid + "/" + std::to_string(m.id);
            if (m.subject != SUBJECT + ".events" || m.host != HOST || m.uuid != uuid_)
                return fail() << "subject " << m.subject << ", host " << m.host << ", uuid "
                              << m.uuid;
            if (m.rescan() ? !m.msg_id.starts_with(id + "/rescan/") : m.msg_id != id)
                return fail() << "message id is not " << id;
            if (m.rescan() ? m.path != WATCHED : !m.path.starts_with(WATCHED + "/"))
                return fail() << "path not in " << WATCHED << ":\n" << around(m.seq);
            uint64_t& high = highest[m.uuid];
            if (m.rescan() ? m.id < high : m.id <= high)
                return fail() << "after id " << high << ":\n" << around(m.seq);
            high = m.id;
            if (m.rescan() && ++rescan_count)
                rescans_seen += "\n" + around(m.seq);
        }
        if (rescan_count != rescans)
            return ::testing::AssertionFailure() << rescan_count << " rescan messages of "
                                                 << reader_.messages.size() << ":" << rescans_seen;
        return ::testing::AssertionSuccess();
    }

    // The messages from three before sequence number seq to three after it, one a line.
    std::string around(uint64_t seq) {
        std::string out;
        for (const published& m : reader_.messages)
            if (m.seq + 3 >= seq && m.seq <= seq + 3)
                out += std::to_string(m.seq) + " " + m.msg_id + " " + m.flags + " " + m.path + "\n";
        return out;
    }

    notify_standin notify_;
    std::vector<nats_server> servers_;
    stream_reader reader_;
    file_storm writer_;
    pid_t publisher_ = -1;
    std::string uuid_;
};

// One server: a storm of 10,000 changes; another during which the publisher is stopped
// (SIGSTOP: the daemon drops what it cannot hold for it) and then goes on; another in which it
// is killed and started again; another in which the broker is killed and started again on its
// store. Every change is in the stream once, in id order, with no rescan: a publisher that fell
// behind finds what it missed in the history. SIGTERM ends the publisher with status 0.
TEST_F(Publish, EveryChangeOnceThroughPublisherAndBrokerFaults) {
    ASSERT_NO_FATAL_FAILURE(start_servers(1));
    start_publisher();
    ASSERT_TRUE(registered());
    ASSERT_EQ(0, writer_.start(daemon_, WATCHED, 5000, 'a', 10000));
    ASSERT_TRUE(arrive('a', 10000));
    ASSERT_TRUE(each_once(0));
    EXPECT_EQ("vantles.> file 1 age 0s bytes -1 msgs -1", reader_.config());
    EXPECT_NE(std::string::npos, read_text(socket_dir_ + "/publish.err")
                                      .find("publish: publishing the changes under " + WATCHED))
        << read_text(socket_dir_ + "/publish.err");

    kill(publisher_, SIGSTOP);
    ASSERT_EQ(0, writer_.start(daemon_, WATCHED, 1000, 'b', 8000));
    ASSERT_TRUE(writer_.wait_made(8000));
    kill(publisher_, SIGCONT);
    ASSERT_TRUE(arrive('b', 8000));
    ASSERT_TRUE(each_once(0));

    ASSERT_EQ(0, writer_.start(daemon_, WATCHED, 1000, 'c', 6000));
    ASSERT_TRUE(writer_.wait_made(2000));
    stop_publisher(SIGKILL);
    start_publisher();
    ASSERT_TRUE(arrive('c', 6000));
    ASSERT_TRUE(each_once(0));

    ASSERT_EQ(0, writer_.start(daemon_, WATCHED, 1000, 'd', 6000));
    ASSERT_TRUE(writer_.wait_made(2000));
    servers_[0].stop(SIGKILL);
    ASSERT_EQ(0, servers_[0].start()) << read_text(servers_[0].log);
    ASSERT_TRUE(arrive('d', 6000));
    ASSERT_TRUE(each_once(0));
    EXPECT_EQ(0, stop_publisher(SIGTERM));
}

// The publisher killed mid-storm while the daemon restarts: with the kernel's queue kept (the
// storm going on through the restart) every change is there once; after a plain restart, which
// cannot know what changed meanwhile, one rescan of the watched path stands for those changes.
TEST_F(Publish, DaemonRestartsKeepEveryChangeOrAskForARescan) {
    ASSERT_NO_FATAL_FAILURE(start_servers(1));
    start_publisher();
    ASSERT_TRUE(registered());
    ASSERT_EQ(0, writer_.start(daemon_, WATCHED, 40000, 'a', 4000));
    ASSERT_TRUE(writer_.wait_made(1000));
    stop_publisher(SIGKILL);
    int stored = notify_.wait_for("FDSTORE=1");
    ASSERT_GE(stored, 0);
    daemon_.pass_fd = notify_.received[stored].second[0].get();
    daemon_.pass_fd_name = "fanotify";
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"})) << test_daemon_log(daemon_);
    start_publisher();
    ASSERT_TRUE(arrive('a', 4000));
    ASSERT_TRUE(each_once(0));

    EXPECT_EQ(0, stop_publisher(SIGTERM));
    ASSERT_EQ(0, live_create_file(daemon_, WATCHED + "/unknown"));
    daemon_.pass_fd = -1;
    ASSERT_EQ(0, test_daemon_restart(&daemon_, {"-d"})) << test_daemon_log(daemon_);
    start_publisher();
    ASSERT_EQ(0, writer_.start(daemon_, WATCHED, 40000, 'b', 2000));
    ASSERT_TRUE(arrive('b', 2000));
    ASSERT_TRUE(each_once(1));
}

// Three servers, the stream made with three replicas; its leader killed during a storm: the
// others go on with every change once.
TEST_F(Publish, ClusterOfThreeLosesNoChangeWithItsLeader) {
    ASSERT_NO_FATAL_FAILURE(start_servers(3));
    start_publisher({"--replicas", "3", "--max-age", "86400", "--max-bytes", "1000000000",
                     "--max-msgs", "5000000"});
    ASSERT_TRUE(registered());
    ASSERT_EQ(0, writer_.start(daemon_, WATCHED, 1000, 'a', 6000));
    ASSERT_TRUE(writer_.wait_made(2000));
    std::string leader;
    ASSERT_TRUE(wait_until([&] { return !(leader = reader_.leader()).empty(); }, PUBLISH_WAIT_MS));
    EXPECT_EQ("vantles.> file 3 age 86400s bytes 1000000000 msgs 5000000", reader_.config());
    for (nats_server& s : servers_)
        if (s.name == leader)
            s.stop(SIGKILL);
    ASSERT_TRUE(arrive('a', 6000));
    ASSERT_TRUE(each_once(0));
}

}  // namespace
