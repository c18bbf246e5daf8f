// The port transport below the daemon: how rights move with a send, what a send refuses, the
// sealing a region's memfd needs, service check-in, and the per-user connection count. The
// receiver's other drop rules are checked by the black-box requests.
#include "platform/port.h"
#include "platform/port_space.h"
#include "platform/port_wire.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

namespace {

// True when every copy of the other end of fd's socket is closed.
bool peer_closed(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

bool fd_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// A message to dest carrying one port descriptor.
struct port_msg {
    uint32_t words[10];
    mach_msg_header_t* head() { return reinterpret_cast<mach_msg_header_t*>(words); }
};
port_msg make_port_msg(mach_port_t dest, int name, uint32_t disposition) {
    return {{MACH_MSGH_BITS_COMPLEX | 0x13, 40, dest, 0, 0, 1, 1, static_cast<uint32_t>(name), 0,
             disposition << 16 | uint32_t{MACH_MSG_PORT_DESCRIPTOR} << 24}};
}

struct Port : ::testing::Test {
    mach_port_t rcv = 0, snd = 0;
    std::vector<uint8_t> buf = std::vector<uint8_t>(PORT_MAX_DATAGRAM + 128);
    int sv[2] = {-1, -1};
    std::string dir, path;  // a scratch directory, and the service socket below it
    mach_msg_header_t* head() { return reinterpret_cast<mach_msg_header_t*>(buf.data()); }
    kern_return_t receive() { return mach_msg_receive(rcv, head(), buf.size(), 1000); }
    void SetUp() override {
        signal(SIGPIPE, SIG_DFL);  // a stray SIGPIPE must kill the test
        ASSERT_EQ(port_make_pair(&rcv, &snd), 0);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
        char templ[] = "/tmp/vantles-port-XXXXXX";
        dir = mkdtemp(templ);
        path = dir + "/run/vantlesd.sock";  // the parent does not exist yet
        setenv("VANTLESD_SOCKET", path.c_str(), 1);
    }
    void TearDown() override {
        for (int fd : {static_cast<int>(rcv), static_cast<int>(snd), sv[0], sv[1]})
            close(fd);
        unsetenv("VANTLESD_SOCKET");
        EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
    }
};

// MOVE_SEND closes the sender's descriptor only once the send succeeded, COPY_SEND keeps it;
// bad rights and sizes are refused with nothing moved; the inline limit is inclusive.
TEST_F(Port, RightsMoveOnlyWithASuccessfulSend) {
    port_msg copy = make_port_msg(snd, sv[0], MACH_MSG_TYPE_COPY_SEND);
    ASSERT_EQ(mach_msg_send(copy.head(), 0), KERN_SUCCESS);
    EXPECT_TRUE(fd_open(sv[0]));
    ASSERT_EQ(receive(), KERN_SUCCESS);
    mach_msg_destroy(head());
    port_msg move = make_port_msg(snd, sv[0], MACH_MSG_TYPE_MOVE_SEND);
    ASSERT_EQ(mach_msg_send(move.head(), 0), KERN_SUCCESS);
    EXPECT_FALSE(fd_open(sv[0]));
    ASSERT_EQ(receive(), KERN_SUCCESS);
    EXPECT_FALSE(peer_closed(sv[1])) << "the right must live on in the receiver";
    mach_msg_destroy(head());
    EXPECT_TRUE(peer_closed(sv[1]));
    close(sv[1]);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);

    int closed_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(closed_fd);
    for (auto [right, disposition] : {std::pair<int, uint32_t>{closed_fd, MACH_MSG_TYPE_MOVE_SEND},
                                      {0, MACH_MSG_TYPE_COPY_SEND},
                                      {sv[0], MACH_MSG_TYPE_MAKE_SEND},  // not a receive right
                                      {sv[0], 99}})
        EXPECT_EQ(mach_msg_send(make_port_msg(snd, right, disposition).head(), 0),
                  MACH_SEND_INVALID_RIGHT)
            << disposition;
    mach_msg_header_t small = {0, 20, snd, 0, 0, 1}, no_dest = {0, 24, 0, 0, 0, 1};
    EXPECT_EQ(mach_msg_send(&small, 0), MACH_SEND_MSG_TOO_SMALL);
    EXPECT_EQ(mach_msg_send(&no_dest, 0), MACH_SEND_INVALID_DEST);
    std::vector<uint8_t> big(PORT_MAX_DATAGRAM + 8, 0x5a);
    auto* msg = reinterpret_cast<mach_msg_header_t*>(big.data());
    *msg = {0, static_cast<mach_msg_size_t>(PORT_MAX_DATAGRAM), snd, 0, 0, 77};
    ASSERT_EQ(mach_msg_send(msg, 0), KERN_SUCCESS);
    ASSERT_EQ(receive(), KERN_SUCCESS);
    EXPECT_EQ(head()->msgh_size, PORT_MAX_DATAGRAM);
    EXPECT_EQ(buf[PORT_MAX_DATAGRAM - 1], 0x5a);
    msg->msgh_size += 4;
    EXPECT_EQ(mach_msg_send(msg, 0), MACH_SEND_TOO_LARGE);

    // A region's memfd sealed against growing and shrinking but not writes is refused.
    uint32_t words[11] = {MACH_MSGH_BITS_COMPLEX, 44, 0, 0, 0, 1, 1};  // one 70000-byte region
    words[9] = uint32_t{MACH_MSG_OOL_DESCRIPTOR} << 24, words[10] = 70000;
    int memfd = memfd_create("region", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ASSERT_TRUE(ftruncate(memfd, 70000) == 0 &&
                !fcntl(memfd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW));
    char control[CMSG_SPACE(sizeof memfd)] = {};
    iovec iov = {words, sizeof words};
    msghdr mh = {nullptr, 0, &iov, 1, control, sizeof control, 0};
    *CMSG_FIRSTHDR(&mh) = {CMSG_LEN(sizeof memfd), SOL_SOCKET, SCM_RIGHTS};
    std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&mh)), &memfd, sizeof memfd);
    ASSERT_EQ(sendmsg(static_cast<int>(snd), &mh, 0), 44);
    close(memfd);
    EXPECT_EQ(receive(), MACH_RCV_INVALID_DATA);

    // To a dead peer: refused without SIGPIPE, and the right stays with the sender.
    close(static_cast<int>(rcv));
    rcv = static_cast<mach_port_t>(-1);  // TearDown's close does nothing
    move = make_port_msg(snd, sv[0], MACH_MSG_TYPE_MOVE_SEND);
    EXPECT_EQ(mach_msg_send(move.head(), 100), MACH_SEND_INVALID_DEST);
    EXPECT_TRUE(fd_open(sv[0]));
}

// The service socket is bound at a fresh path (its parent made), never over a file that is not
// a socket (a stale socket is replaced at each restart of tests/faults' kill storm). A listener
// handed over by socket activation is taken as descriptor 3, made non-blocking and
// close-on-exec, and its variables are consumed.
TEST_F(Port, CheckInBindsAFreshPathOrTakesTheActivatedListener) {
    mach_port_t service = 0, client = 0;
    ASSERT_EQ(bootstrap_check_in(VANTLESD_SERVICE_NAME, &service), KERN_SUCCESS);
    EXPECT_EQ(port_connect(nullptr, &client), 0);
    close(static_cast<int>(client));
    EXPECT_EQ(mach_port_mod_refs(service, MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
    unlink(path.c_str());
    int file = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    EXPECT_TRUE(write(file, "keep", 4) == 4 && close(file) == 0);
    EXPECT_EQ(bootstrap_check_in(VANTLESD_SERVICE_NAME, &service), EADDRINUSE);
    struct stat st;
    EXPECT_TRUE(stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 4);

    pid_t child = fork();  // activated, it must not even look at the configured path
    ASSERT_GE(child, 0);
    if (child == 0) {
        sockaddr_un addr = {AF_UNIX, {}};
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s/activated.sock", dir.c_str());
        int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener, 4) != 0 || dup2(listener, 3) != 3)
            _exit(2);
        setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        setenv("LISTEN_FDS", "1", 1);
        bool taken = bootstrap_check_in(VANTLESD_SERVICE_NAME, &service) == 0 && service == 3;
        _exit(taken && !getenv("LISTEN_PID") && !getenv("LISTEN_FDS") &&
                      (fcntl(3, F_GETFL) & O_NONBLOCK) && (fcntl(3, F_GETFD) & FD_CLOEXEC)
                  ? 0
                  : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A non-root user's connections are counted down as they go: one after another, far past its
// cap, each is still admitted (a count that never went down refused the fourth).
TEST_F(Port, ClosedConnectionsGiveBackTheirUsersShare) {
    mach_port_t service = 0;
    ASSERT_EQ(bootstrap_check_in(VANTLESD_SERVICE_NAME, &service), KERN_SUCCESS);
    port_set_connection_limits({3, 100, 0});
    for (int i = 0; i < 20; i++) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        EXPECT_EQ(port_space_add_connection(port_space_find(service), unique_fd(pair[0]), 65534, 0),
                  0)
            << "connection " << i;
        mach_port_deallocate(static_cast<mach_port_t>(pair[0]));
        close(pair[1]);
    }
    port_set_connection_limits(
        {PORT_CONNECTIONS_PER_USER_DEFAULT, UINT32_MAX, PORT_IDLE_TIMEOUT_MS_DEFAULT});
    EXPECT_EQ(mach_port_mod_refs(service, MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
}

}  // namespace
