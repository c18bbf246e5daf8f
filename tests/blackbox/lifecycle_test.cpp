// The daemon as a process: thousands of short-lived clients leave its descriptors and memory
// flat, a second daemon on a live socket fails its check-in and exits, a daemon that cannot
// start its event thread exits, and log lines reach standard error only with "-d".
#include "tests/support/test_daemon.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define BLACKBOX_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BLACKBOX_ADDRESS_SANITIZER 1
#endif
#endif

namespace {

using Lifecycle = DaemonTest;

// Memory a daemon may gain over the cycles without being suspected of a leak.
constexpr long LIFECYCLE_RSS_TOLERANCE_KIB = 1024;

// One client: connect, one request, its reply, disconnect. Every tenth sends a register
// request refused for its arguments (with a callback right and regions to release), every
// fiftieth an unregister (a handler that logs), the rest an unknown id, which is answered at
// once and logs nothing: without a system logger each logged line goes to the console too,
// which costs milliseconds.
void one_client(const std::string& socket_path, int i) {
    unique_fd conn;
    ASSERT_EQ(0, raw_connect(socket_path.c_str(), &conn));
    if (i % 10 == 0) {
        std::vector<std::string> paths = {"/tmp/a", "/tmp/b"};
        raw_register req;
        raw_register_build(&req, paths, {});
        uint32_t beyond = req.msg.paths_blob_size + 1;
        memcpy(req.regions[0].data() + 4, &beyond, 4);
        unique_fd events, callback;
        ASSERT_EQ(0, raw_socketpair(&events, &callback));
        ASSERT_EQ(0, raw_register_send(conn.get(), req, std::vector<int>{callback.get()}));
        raw_datagram reply;
        ASSERT_EQ(0, raw_receive(conn.get(), BLACKBOX_REPLY_TIMEOUT_MS, &reply));
        ASSERT_TRUE(is_reply(reply, VANTLES_MSG_REGISTER, 36, req.msg.head.msgh_bits,
                             VANTLES_REGISTER_BAD_ARGS));
        return;
    }
    mach_msg_id_t id = i % 50 == 1 ? VANTLES_MSG_UNREGISTER : BLACKBOX_PROBE_ID;
    raw_datagram reply;
    ASSERT_EQ(0, raw_rpc(conn.get(), raw_simple_request(id, 24, BLACKBOX_BITS),
                         BLACKBOX_REPLY_TIMEOUT_MS, &reply));
    ASSERT_TRUE(is_reply(reply, id, 36, BLACKBOX_BITS,
                         id == VANTLES_MSG_UNREGISTER ? KERN_SUCCESS : MIG_BAD_ID));
}

TEST_F(Lifecycle, TenThousandShortClientsLeaveDescriptorsAndMemoryFlat) {
    int base_fds = proc_fd_count(daemon_.pid);
    for (int i = 0; i < 500 && !HasFailure(); i++)
        one_client(daemon_.socket_path, i);
    ASSERT_FALSE(HasFailure());
    long base_rss = proc_rss_kib(daemon_.pid);
    ASSERT_GT(base_fds, 0);
    ASSERT_GT(base_rss, 0);

    for (int i = 0; i < 10000 && !HasFailure(); i++)
        one_client(daemon_.socket_path, i);
    ASSERT_FALSE(HasFailure());

    EXPECT_TRUE(fd_count_returns(daemon_.pid, base_fds, BLACKBOX_SETTLE_TIMEOUT_MS));
#ifndef BLACKBOX_ADDRESS_SANITIZER
    long rss = proc_rss_kib(daemon_.pid);
    EXPECT_LE(rss, base_rss + LIFECYCLE_RSS_TOLERANCE_KIB)
        << "resident memory grew from " << base_rss << " KiB to " << rss << " KiB";
#endif
}

TEST_F(Lifecycle, SecondDaemonOnLiveSocketFailsCheckIn) {
    test_daemon second;
    ASSERT_EQ(0, test_daemon_start(&second, {"-d"}, daemon_.socket_path, false));
    ASSERT_TRUE(test_daemon_wait_exit(&second, 10000)) << "the second daemon kept running";
    EXPECT_TRUE(WIFEXITED(second.status) && WEXITSTATUS(second.status) == 1)
        << "wait status 0x" << std::hex << second.status;
    std::string log = test_daemon_log(second);
    EXPECT_NE(std::string::npos, log.find("main: ERROR: bootstrap_check_in() => ")) << log;
    EXPECT_NE(std::string::npos, log.find("already held")) << log;
    EXPECT_NE(std::string::npos, log.find("(1103)")) << log;
    EXPECT_TRUE(answers_probe()) << "the first daemon lost its socket";
}

// Runs the daemon as an unprivileged user that may not start another thread: check-in
// succeeds on a socket in a directory of its own, then creating the event thread fails.
TEST(DaemonStartup, ThreadCreationFailureIsLoggedAndExitsOne) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to an unprivileged user";
    constexpr uid_t UNPRIVILEGED = 64123;
    char dir_template[] = "/tmp/vantles-startup.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir_template));
    std::string dir = dir_template;
    ASSERT_EQ(0, chown(dir.c_str(), UNPRIVILEGED, UNPRIVILEGED));
    std::string log_path = dir + "/stderr.log";
    std::string socket_env = "VANTLESD_SOCKET=" + dir + "/vantlesd.sock";

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        rlimit one_process = {1, 1};
        if (log < 0 || dup2(log, 2) < 0 || setgroups(0, nullptr) != 0 ||
            setgid(UNPRIVILEGED) != 0 || setuid(UNPRIVILEGED) != 0 ||
            setrlimit(RLIMIT_NPROC, &one_process) != 0)
            _exit(126);
        char* argv[] = {const_cast<char*>(VANTLESD_PATH), const_cast<char*>("-d"), nullptr};
        char* envp[] = {socket_env.data(), nullptr};
        execve(VANTLESD_PATH, argv, envp);
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    std::ifstream in(log_path);
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove_all(dir);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status;
    EXPECT_NE(std::string::npos, log.find("main: ERROR: pthread_create() => 11")) << log;
}

// Sends an unregister to the public port, which logs its "=> NULL" line before it answers.
std::string log_after_unregister(const std::vector<std::string>& args) {
    test_daemon d;
    int err = test_daemon_start(&d, args);
    EXPECT_EQ(0, err) << strerror(err);
    unique_fd conn;
    EXPECT_EQ(0, raw_connect(d.socket_path.c_str(), &conn));
    raw_datagram reply;
    EXPECT_EQ(0, raw_rpc(conn.get(), raw_simple_request(VANTLES_MSG_UNREGISTER, 24, BLACKBOX_BITS),
                         BLACKBOX_REPLY_TIMEOUT_MS, &reply));
    EXPECT_TRUE(is_reply(reply, VANTLES_MSG_UNREGISTER, 36, BLACKBOX_BITS, KERN_SUCCESS));
    EXPECT_TRUE(test_daemon_running(&d));
    return test_daemon_log(d);
}

TEST(DaemonLogging, LogReachesStandardErrorOnlyWithDashD) {
    const std::string line = "implementation_unregister_rpc: ERROR: ";
    EXPECT_NE(std::string::npos, log_after_unregister({"-d"}).find(line));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"-x"}, {"-d", "-d"}, {"-dd"}}) {
        SCOPED_TRACE(args.empty() ? "no argument"
                                  : args[0] + " (" + std::to_string(args.size()) + ")");
        EXPECT_EQ(std::string::npos, log_after_unregister(args).find(line));
    }
}

}  // namespace
