// The daemon with its event machinery running on the scratch root it sees: the current event
// id follows real file changes, SIGUSR1 writes a state dump and leaves it running, and every
// termination signal ends it with status 0.
#include "tests/support/test_daemon.h"

#include "tests/support/scratch_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

namespace {

// The current event id from 66003; 0 with a test failure when there is no proper answer.
uint64_t current_event_id(const test_daemon& d) {
    unique_fd conn;
    if (raw_connect(d.socket_path.c_str(), &conn) != 0) {
        ADD_FAILURE() << "cannot connect";
        return 0;
    }
    raw_datagram reply;
    int err =
        raw_rpc(conn.get(), raw_simple_request(VANTLES_MSG_GET_CURRENT_EVENT_ID, 24, BLACKBOX_BITS),
                BLACKBOX_REPLY_TIMEOUT_MS, &reply);
    if (err != 0) {
        ADD_FAILURE() << "no reply: " << strerror(err);
        return 0;
    }
    EXPECT_TRUE(is_reply(reply, VANTLES_MSG_GET_CURRENT_EVENT_ID, 44, BLACKBOX_BITS, KERN_SUCCESS));
    return field_at<uint64_t>(reply, 36);
}

// A few changes inside the daemon's own root, reached through /proc/PID/root: the daemon's
// root is a scratch tmpfs of its own, which its event source watches.
bool change_files(const test_daemon& d, int round) {
    std::string dir = "/proc/" + std::to_string(d.pid) + "/root/tmp";
    std::string path = dir + "/changed-" + std::to_string(round);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, "x", 1) == 1;
    close(fd);
    return ok && chmod(path.c_str(), 0600) == 0 && unlink(path.c_str()) == 0;
}

// Waits for the current event id to reach target; returns the last id read.
uint64_t wait_id_reaching(const test_daemon& d, uint64_t target, int timeout_ms) {
    uint64_t id = 0;
    for (int waited = 0; waited <= timeout_ms; waited += 50) {
        id = current_event_id(d);
        if (id >= target || ::testing::Test::HasFailure())
            break;
        usleep(50000);
    }
    return id;
}

class EventThread : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        if (!scratch_root_available())
            GTEST_SKIP() << "needs root and mount namespaces";
        ASSERT_EQ(0, test_daemon_start(&daemon_, {"-d"})) << test_daemon_log(daemon_);
    }
    void TearDown() override {
        if (HasFailure())
            printf("---- daemon log ----\n%s---- end of log ----\n",
                   test_daemon_log(daemon_).c_str());
    }
    test_daemon daemon_;
};

TEST_P(EventThread, CountsChangesDumpsOnUsr1AndExitsZero) {
    uint64_t first = current_event_id(daemon_);
    ASSERT_FALSE(HasFailure());

    uint64_t last = first;
    for (int round = 0; round < 3; round++) {
        ASSERT_TRUE(change_files(daemon_, round)) << strerror(errno);
        // Create, write, chmod and delete: at least four more ids each round.
        uint64_t id = wait_id_reaching(daemon_, last + 4, 10000);
        ASSERT_GE(id, last + 4) << "round " << round;
        last = id;
    }

    // The disk logger is the one client.
    ASSERT_EQ(0, kill(daemon_.pid, SIGUSR1));
    EXPECT_TRUE(test_daemon_wait_log(daemon_, "vantlesd internal state [num_clients: 1",
                                     BLACKBOX_SETTLE_TIMEOUT_MS));
    EXPECT_TRUE(test_daemon_running(&daemon_)) << "SIGUSR1 must not stop the daemon";
    EXPECT_GE(current_event_id(daemon_), last);

    ASSERT_EQ(0, kill(daemon_.pid, GetParam()));
    ASSERT_TRUE(test_daemon_wait_exit(&daemon_, 10000)) << "still running after the signal";
    EXPECT_TRUE(WIFEXITED(daemon_.status) && WEXITSTATUS(daemon_.status) == 0)
        << "wait status 0x" << std::hex << daemon_.status;
}

INSTANTIATE_TEST_SUITE_P(TerminationSignals, EventThread,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP, SIGQUIT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

}  // namespace
