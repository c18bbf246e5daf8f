// Service check-in: a fresh path, the socket of a daemon that is gone, a file that is not
// ours, and the listener handed over by socket activation.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include "platform/port.h"
#include "port_test_util.h"

namespace {

struct PortCheckIn : ::testing::Test {
    scratch_dir dir;
    std::string path;
    sockaddr_un addr = {AF_UNIX, {}};
    void SetUp() override {
        path = dir.path + "/run/vantlesd.sock";  // the parent does not exist yet
        std::memcpy(addr.sun_path, path.c_str(), path.size());
        setenv("VANTLESD_SOCKET", path.c_str(), 1);
    }
    void TearDown() override { unsetenv("VANTLESD_SOCKET"); }
    void expect_serving(mach_port_t service) {
        mach_port_t client = 0;
        EXPECT_EQ(port_connect(nullptr, &client), 0);
        close(static_cast<int>(client));
        EXPECT_EQ(mach_port_mod_refs(service, MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
    }
};

TEST_F(PortCheckIn, CreatesParentAndOpenSocket) {
    mach_port_t service = 0;
    ASSERT_EQ(bootstrap_check_in(VANTLESD_SERVICE_NAME, &service), KERN_SUCCESS);
    struct stat st;
    ASSERT_EQ(stat((dir.path + "/run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u);  // unprivileged clients connect
    expect_serving(service);
}

TEST_F(PortCheckIn, ReplacesAStaleSocketButLeavesAForeignFileAlone) {
    ASSERT_EQ(mkdir((dir.path + "/run").c_str(), 0755), 0);
    int stale = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(stale);  // the file stays, nothing answers
    mach_port_t service = 0;
    ASSERT_EQ(bootstrap_check_in(VANTLESD_SERVICE_NAME, &service), KERN_SUCCESS);
    expect_serving(service);

    unlink(path.c_str());
    int file = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_EQ(write(file, "keep", 4), 4);
    close(file);
    EXPECT_EQ(bootstrap_check_in(VANTLESD_SERVICE_NAME, &service), EADDRINUSE);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_size == 4);
}

// The activated listener is descriptor 3, made non-blocking and close-on-exec; the variables
// are consumed and the configured path is not bound.
TEST_F(PortCheckIn, TakesTheActivatedListenerAsDescriptorThree) {
    ASSERT_EQ(mkdir((dir.path + "/run").c_str(), 0755), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener, 4) != 0 || dup2(listener, 3) != 3)
            _exit(2);
        setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        setenv("LISTEN_FDS", "1", 1);
        setenv("VANTLESD_SOCKET", (dir.path + "/unused.sock").c_str(), 1);
        mach_port_t service = 0;
        if (bootstrap_check_in(VANTLESD_SERVICE_NAME, &service) != KERN_SUCCESS || service != 3)
            _exit(3);
        if (getenv("LISTEN_PID") != nullptr || getenv("LISTEN_FDS") != nullptr)
            _exit(4);
        if ((fcntl(3, F_GETFL) & O_NONBLOCK) == 0 || (fcntl(3, F_GETFD) & FD_CLOEXEC) == 0)
            _exit(5);
        _exit(access((dir.path + "/unused.sock").c_str(), F_OK) == 0 ? 6 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
