// mach_msg_send: how rights move (or do not) with a send, a dead peer, refused rights and
// sizes. A full socket's send timeout is covered against the daemon (a client that never reads).
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>

#include "platform/port.h"
#include "port_test_util.h"

namespace {

#pragma pack(push, 4)
struct port_msg {
    mach_msg_header_t head;
    mach_msg_body_t body;
    mach_msg_port_descriptor_t port;
};
#pragma pack(pop)

port_msg make_port_msg(mach_port_t dest, mach_port_t name, uint8_t disposition) {
    port_msg msg = {};
    msg.head = {MACH_MSGH_BITS_COMPLEX | 0x13, sizeof msg, dest, 0, 0, 1};
    msg.body.msgh_descriptor_count = 1;
    msg.port = {name, 0, 0, disposition, MACH_MSG_PORT_DESCRIPTOR};
    return msg;
}

bool fd_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

struct PortSend : ::testing::Test {
    mach_port_t rcv = 0, snd = 0;
    receive_buffer buf;
    int sv[2] = {-1, -1};
    void SetUp() override {
        signal(SIGPIPE, SIG_DFL);  // a stray SIGPIPE must kill the test
        ASSERT_EQ(port_make_pair(&rcv, &snd), 0);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    }
    void TearDown() override {
        for (int fd : {static_cast<int>(rcv), static_cast<int>(snd), sv[0], sv[1]})
            close(fd);
    }
    void kill_receiver() {
        close(static_cast<int>(rcv));
        rcv = static_cast<mach_port_t>(open("/dev/null", O_RDONLY | O_CLOEXEC));
    }
};

// MOVE_SEND closes the sender's descriptor only once the send succeeded; COPY_SEND keeps it.
TEST_F(PortSend, MoveSendClosesOnlyAfterASuccessfulSend) {
    port_msg copy = make_port_msg(snd, static_cast<mach_port_t>(sv[0]), MACH_MSG_TYPE_COPY_SEND);
    ASSERT_EQ(mach_msg_send(&copy.head, 0), KERN_SUCCESS);
    EXPECT_TRUE(fd_open(sv[0]));
    ASSERT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), KERN_SUCCESS);
    mach_msg_destroy(buf.head());

    port_msg move = make_port_msg(snd, static_cast<mach_port_t>(sv[0]), MACH_MSG_TYPE_MOVE_SEND);
    ASSERT_EQ(mach_msg_send(&move.head, 0), KERN_SUCCESS);
    EXPECT_FALSE(fd_open(sv[0]));
    ASSERT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), KERN_SUCCESS);
    EXPECT_FALSE(peer_closed(sv[1])) << "the right must live on in the receiver";
    mach_msg_destroy(buf.head());
    EXPECT_TRUE(peer_closed(sv[1]));

    // To a dead peer: refused without SIGPIPE, and the right stays with the sender.
    close(sv[1]);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    kill_receiver();
    move = make_port_msg(snd, static_cast<mach_port_t>(sv[0]), MACH_MSG_TYPE_MOVE_SEND);
    EXPECT_EQ(mach_msg_send(&move.head, 0), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(mach_msg_send(&move.head, 100), MACH_SEND_INVALID_DEST);
    EXPECT_TRUE(fd_open(sv[0]));
}

TEST_F(PortSend, BadRightsAndSizesAreRefused) {
    int closed_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(closed_fd);
    const struct {
        const char* name;
        mach_port_t right;
        uint8_t disposition;
    } rights[] = {
        {"closed descriptor", static_cast<mach_port_t>(closed_fd), MACH_MSG_TYPE_MOVE_SEND},
        {"null right", 0, MACH_MSG_TYPE_COPY_SEND},
        {"make-send of no receive right", static_cast<mach_port_t>(sv[0]), MACH_MSG_TYPE_MAKE_SEND},
        {"unknown disposition", static_cast<mach_port_t>(sv[0]), 99},
    };
    for (const auto& r : rights) {
        port_msg bad = make_port_msg(snd, r.right, r.disposition);
        EXPECT_EQ(mach_msg_send(&bad.head, 0), MACH_SEND_INVALID_RIGHT) << r.name;
    }
    EXPECT_TRUE(fd_open(sv[0]));
    mach_msg_header_t small = {0, 20, snd, 0, 0, 1};
    EXPECT_EQ(mach_msg_send(&small, 0), MACH_SEND_MSG_TOO_SMALL);
    mach_msg_header_t no_dest = {0, sizeof no_dest, 0, 0, 0, 1};
    EXPECT_EQ(mach_msg_send(&no_dest, 0), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 10), MACH_RCV_TIMED_OUT);
}

}  // namespace
