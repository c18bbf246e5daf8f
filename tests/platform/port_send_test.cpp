// mach_msg_send results (full socket, dead peer, bad rights) and how rights move with a send.
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
    void SetUp() override {
        signal(SIGPIPE, SIG_DFL);  // a stray SIGPIPE must kill the test
        ASSERT_EQ(port_make_pair(&rcv, &snd), 0);
    }
    void TearDown() override {
        close(static_cast<int>(rcv));
        close(static_cast<int>(snd));
    }
};

TEST_F(PortSend, FullSocketTimesOutAfterTheTimeout) {
    mach_msg_header_t msg = {0, sizeof msg, snd, 0, 0, 1};
    int queued = 0;
    while (mach_msg_send(&msg, 0) == KERN_SUCCESS) {
        ASSERT_LT(++queued, 1000000);
    }
    EXPECT_EQ(mach_msg_send(&msg, 0), MACH_SEND_TIMED_OUT);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mach_msg_send(&msg, 200), MACH_SEND_TIMED_OUT);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(190));
    EXPECT_LT(waited, std::chrono::seconds(5));

    // Room again once the receiver reads.
    ASSERT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), KERN_SUCCESS);
    EXPECT_EQ(mach_msg_send(&msg, 200), KERN_SUCCESS);
}

TEST_F(PortSend, DeadPeerIsInvalidDestWithoutSigpipe) {
    close(static_cast<int>(rcv));
    rcv = static_cast<mach_port_t>(open("/dev/null", O_RDONLY | O_CLOEXEC));
    mach_msg_header_t msg = {0, sizeof msg, snd, 0, 0, 1};
    EXPECT_EQ(mach_msg_send(&msg, 0), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(mach_msg_send(&msg, 100), MACH_SEND_INVALID_DEST);
}

TEST_F(PortSend, MoveSendClosesAndCopySendKeeps) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);

    port_msg copy = make_port_msg(snd, static_cast<mach_port_t>(sv[0]), MACH_MSG_TYPE_COPY_SEND);
    ASSERT_EQ(mach_msg_send(&copy.head, 0), KERN_SUCCESS);
    EXPECT_TRUE(fd_open(sv[0]));
    ASSERT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), KERN_SUCCESS);
    mach_msg_destroy(buf.head());

    port_msg move = make_port_msg(snd, static_cast<mach_port_t>(sv[0]), MACH_MSG_TYPE_MOVE_SEND);
    ASSERT_EQ(mach_msg_send(&move.head, 0), KERN_SUCCESS);
    EXPECT_FALSE(fd_open(sv[0]));
    // The right lives on in the receiver only.
    ASSERT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), KERN_SUCCESS);
    EXPECT_FALSE(peer_closed(sv[1]));
    mach_msg_destroy(buf.head());
    EXPECT_TRUE(peer_closed(sv[1]));
    close(sv[1]);
}

TEST_F(PortSend, FailedSendMovesNothing) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    close(static_cast<int>(rcv));
    rcv = static_cast<mach_port_t>(open("/dev/null", O_RDONLY | O_CLOEXEC));

    port_msg move = make_port_msg(snd, static_cast<mach_port_t>(sv[0]), MACH_MSG_TYPE_MOVE_SEND);
    EXPECT_EQ(mach_msg_send(&move.head, 0), MACH_SEND_INVALID_DEST);
    EXPECT_TRUE(fd_open(sv[0]));
    close(sv[0]);
    close(sv[1]);
}

TEST_F(PortSend, BadRightsAndSizesAreRefused) {
    int closed_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(closed_fd);
    port_msg bad = make_port_msg(snd, static_cast<mach_port_t>(closed_fd), MACH_MSG_TYPE_MOVE_SEND);
    EXPECT_EQ(mach_msg_send(&bad.head, 0), MACH_SEND_INVALID_RIGHT);
    bad = make_port_msg(snd, 0, MACH_MSG_TYPE_COPY_SEND);
    EXPECT_EQ(mach_msg_send(&bad.head, 0), MACH_SEND_INVALID_RIGHT);

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    bad = make_port_msg(snd, static_cast<mach_port_t>(sv[0]), MACH_MSG_TYPE_MAKE_SEND);
    EXPECT_EQ(mach_msg_send(&bad.head, 0), MACH_SEND_INVALID_RIGHT);  // not a receive right
    close(sv[0]);
    close(sv[1]);

    mach_msg_header_t small = {0, 20, snd, 0, 0, 1};
    EXPECT_EQ(mach_msg_send(&small, 0), MACH_SEND_MSG_TOO_SMALL);
    mach_msg_header_t no_dest = {0, sizeof no_dest, 0, 0, 0, 1};
    EXPECT_EQ(mach_msg_send(&no_dest, 0), MACH_SEND_INVALID_DEST);
    // Nothing reached the receiver.
    EXPECT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 10), MACH_RCV_TIMED_OUT);
}

TEST_F(PortSend, MakeSendHandsOutTheReceiveRightOnce) {
    mach_port_t port = 0;
    ASSERT_EQ(mach_port_allocate(MACH_PORT_RIGHT_RECEIVE, &port), KERN_SUCCESS);
    port_msg make = make_port_msg(snd, port, MACH_MSG_TYPE_MAKE_SEND);
    ASSERT_EQ(mach_msg_send(&make.head, 0), KERN_SUCCESS);
    EXPECT_EQ(mach_msg_send(&make.head, 0), MACH_SEND_INVALID_RIGHT);

    ASSERT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), KERN_SUCCESS);
    const mach_port_t send_right = reinterpret_cast<port_msg*>(buf.bytes)->port.name;
    mach_msg_header_t hello = {0, sizeof hello, send_right, 0, 0, 77};
    ASSERT_EQ(mach_msg_send(&hello, 0), KERN_SUCCESS);
    ASSERT_EQ(mach_msg_receive(port, buf.head(), sizeof buf.bytes, 1000), KERN_SUCCESS);
    EXPECT_EQ(buf.head()->msgh_id, 77);
    EXPECT_EQ(buf.head()->msgh_local_port, port);

    EXPECT_EQ(mach_port_deallocate(port),
              KERN_INVALID_RIGHT);  // a receive right is not a send right
    EXPECT_EQ(mach_port_mod_refs(port, MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
    EXPECT_EQ(mach_port_mod_refs(port, MACH_PORT_RIGHT_RECEIVE, -1), KERN_INVALID_NAME);
    // The sender's right is dead once the receive right is dropped.
    EXPECT_EQ(mach_msg_send(&hello, 0), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(mach_port_deallocate(send_right), KERN_SUCCESS);
}

}  // namespace
