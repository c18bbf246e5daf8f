// The checks every request passes before its handler runs, driven over the wire: bad sizes and
// bits (-304), unknown ids (-303), bad descriptors and counts (-300), register argument errors
// (-22, inline and through a memfd) and the privilege check of purge (5). A refused register
// request must give back the callback right it carried.
//
// A request without sender credentials (the -309 check) cannot be made here: the daemon's
// sockets pass credentials, so the kernel attaches them to every datagram. The server's own
// tests cover that check.
#include "tests/support/test_daemon.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

class RequestChecks : public DaemonTest {
protected:
    // Sends req with a fresh callback right and expects the 36-byte error reply with code;
    // the daemon must then have released the callback right and every descriptor it made.
    void expect_register_refused(int conn, const raw_register& req, int32_t code) {
        int base = proc_fd_count(daemon_.pid);
        unique_fd events, callback;
        ASSERT_EQ(0, raw_socketpair(&events, &callback));
        ASSERT_EQ(0, raw_register_send(conn, req, std::vector<int>{callback.get()}));
        callback.reset();
        raw_datagram reply;
        ASSERT_EQ(0, raw_receive(conn, BLACKBOX_REPLY_TIMEOUT_MS, &reply));
        EXPECT_TRUE(is_reply(reply, VANTLES_MSG_REGISTER, 36, req.msg.head.msgh_bits, code));
        EXPECT_TRUE(wait_hangup(events.get(), BLACKBOX_SETTLE_TIMEOUT_MS))
            << "the callback right was kept";
        EXPECT_TRUE(fd_count_returns(daemon_.pid, base, BLACKBOX_SETTLE_TIMEOUT_MS));
    }

    static void build(raw_register* req, size_t num_paths = 1, size_t num_excludes = 0) {
        std::vector<std::string> paths, excludes;
        for (size_t i = 0; i < num_paths; i++)
            paths.push_back("/tmp/watched" + std::to_string(i));
        for (size_t i = 0; i < num_excludes; i++)
            excludes.push_back("/tmp/watched0/excluded" + std::to_string(i));
        raw_register_build(req, paths, excludes);
    }
};

// The six simple routines with their request sizes, in id order.
struct simple_routine {
    mach_msg_id_t id;
    uint32_t size;
};
constexpr simple_routine SIMPLE_ROUTINES[] = {
    {VANTLES_MSG_FLUSH, 24},
    {VANTLES_MSG_GET_VOLUME_UUID, 36},
    {VANTLES_MSG_GET_CURRENT_EVENT_ID, 24},
    {VANTLES_MSG_GET_EVENT_ID_FOR_TIME, 44},
    {VANTLES_MSG_PURGE_EVENTS, 44},
    {VANTLES_MSG_UNREGISTER, 24},
};

TEST_F(RequestChecks, SimpleRequestWithComplexBitIsBadArguments) {
    unique_fd conn = connect_raw();
    for (const simple_routine& r : SIMPLE_ROUTINES) {
        SCOPED_TRACE(r.id);
        // The 24-byte ones have no room for a descriptor count: the transport refuses them.
        uint32_t bits = MACH_MSGH_BITS_COMPLEX | 0x1500u | (r.id % 2 ? 0x13u : 0x12u);
        EXPECT_TRUE(is_reply(rpc(conn.get(), raw_simple_request(r.id, r.size, bits)), r.id, 36,
                             bits, MIG_BAD_ARGUMENTS));
    }
}

TEST_F(RequestChecks, SimpleRequestOfWrongSizeIsBadArguments) {
    unique_fd conn = connect_raw();
    for (const simple_routine& r : SIMPLE_ROUTINES) {
        for (uint32_t size : {r.size + 4, r.size + 1, r.size == 24 ? 36u : r.size - 4}) {
            SCOPED_TRACE(std::to_string(r.id) + " of " + std::to_string(size) + " bytes");
            uint32_t bits = 0x0000FF00u | (size % 32);
            EXPECT_TRUE(is_reply(rpc(conn.get(), raw_simple_request(r.id, size, bits)), r.id, 36,
                                 bits, MIG_BAD_ARGUMENTS));
        }
    }
}

TEST_F(RequestChecks, IdOutsideTheSubsystemIsBadId) {
    unique_fd conn = connect_raw();
    for (mach_msg_id_t id : {VANTLES_MSG_END, VANTLES_MSG_FIRST - 1, 0, -1, 67000, 0x7FFFFFFF}) {
        SCOPED_TRACE(id);
        EXPECT_TRUE(is_reply(rpc(conn.get(), raw_simple_request(id, 24, BLACKBOX_BITS)), id, 36,
                             BLACKBOX_BITS, MIG_BAD_ID));
    }
    raw_datagram reply = rpc(conn.get(), raw_simple_request(66007, 24, BLACKBOX_BITS));
    EXPECT_EQ(66107, field_at<mach_msg_header_t>(reply, 0).msgh_id);
}

TEST_F(RequestChecks, RegisterOfWrongSizeOrDescriptorCountIsBadArguments) {
    unique_fd conn = connect_raw();
    raw_register req;
    build(&req);
    req.msg.head.msgh_size = 164;
    expect_register_refused(conn.get(), req, MIG_BAD_ARGUMENTS);

    build(&req);
    req.msg.body.msgh_descriptor_count = 4;
    expect_register_refused(conn.get(), req, MIG_BAD_ARGUMENTS);
}

TEST_F(RequestChecks, RegisterWithoutComplexBitIsBadArguments) {
    unique_fd conn = connect_raw();
    raw_register req;
    build(&req);
    req.msg.head.msgh_bits &= ~MACH_MSGH_BITS_COMPLEX;
    // Without the complex bit nothing in it is a descriptor: it travels as 160 plain bytes.
    std::vector<uint8_t> bytes(sizeof req.msg);
    memcpy(bytes.data(), &req.msg, sizeof req.msg);
    EXPECT_TRUE(is_reply(rpc(conn.get(), bytes), VANTLES_MSG_REGISTER, 36, req.msg.head.msgh_bits,
                         MIG_BAD_ARGUMENTS));
}

TEST_F(RequestChecks, RegisterCountFieldMismatchIsTypeError) {
    unique_fd conn = connect_raw();
    uint32_t register_request_t::*counts[] = {
        &register_request_t::path_offset_count, &register_request_t::paths_blob_size,
        &register_request_t::exclude_offset_count, &register_request_t::exclude_blob_size};
    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        raw_register req;
        build(&req, 2, 1);
        req.msg.*counts[i] -= 1;
        expect_register_refused(conn.get(), req, MIG_TYPE_ERROR);
    }
}

TEST_F(RequestChecks, RegisterCallbackDispositionOtherThanMoveSendIsTypeError) {
    unique_fd conn = connect_raw();
    for (uint8_t disposition :
         {MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND, MACH_MSG_TYPE_MOVE_SEND_ONCE}) {
        SCOPED_TRACE(disposition);
        raw_register req;
        build(&req);
        req.msg.callback.disposition = disposition;
        expect_register_refused(conn.get(), req, MIG_TYPE_ERROR);
    }
}

TEST_F(RequestChecks, RegisterArgumentErrorsAreRefusedBeforeStartupWait) {
    unique_fd conn = connect_raw();
    raw_register req;
    {
        SCOPED_TRACE("4097 paths");
        build(&req, 4097);
        expect_register_refused(conn.get(), req, VANTLES_REGISTER_BAD_ARGS);
    }
    {
        SCOPED_TRACE("path offset beyond the blob");
        build(&req, 3);
        uint32_t beyond = static_cast<uint32_t>(req.regions[1].size()) + 1;
        memcpy(req.regions[0].data() + 8, &beyond, 4);
        expect_register_refused(conn.get(), req, VANTLES_REGISTER_BAD_ARGS);
    }
    {
        SCOPED_TRACE("number of paths differs from the offset count");
        build(&req, 2);
        req.msg.num_paths = 3;
        expect_register_refused(conn.get(), req, VANTLES_REGISTER_BAD_ARGS);
    }
    {
        SCOPED_TRACE("nine excluded paths");
        build(&req, 1, 9);
        expect_register_refused(conn.get(), req, VANTLES_REGISTER_BAD_ARGS);
    }
    {
        SCOPED_TRACE("excluded path of 1025 characters");
        std::vector<std::string> paths = {"/tmp"}, excludes = {"/" + std::string(1024, 'x')};
        raw_register_build(&req, paths, excludes);
        expect_register_refused(conn.get(), req, VANTLES_REGISTER_BAD_ARGS);
    }
}

// Regions past the inline limit travel in a memfd; the argument checks still see every byte.
TEST_F(RequestChecks, LargeRegisterRegionsReachTheArgumentChecks) {
    unique_fd conn = connect_raw();
    raw_register req;
    {
        SCOPED_TRACE("60 KiB inline, offset beyond the blob");
        build(&req, 2);
        req.regions[1].resize(60 << 10, 'a');
        raw_register_sync(&req);
        uint32_t beyond = req.msg.paths_blob_size + 1;
        memcpy(req.regions[0].data() + 4, &beyond, 4);
        expect_register_refused(conn.get(), req, VANTLES_REGISTER_BAD_ARGS);
    }
    {
        SCOPED_TRACE("1 MiB in a memfd, offset beyond the blob");
        std::vector<std::string> paths(1024, std::string(1023, 'p'));
        raw_register_build(&req, paths, {});
        ASSERT_EQ(1u << 20, req.regions[1].size());
        uint32_t beyond = req.msg.paths_blob_size + 1;
        memcpy(req.regions[0].data() + 4 * 1023, &beyond, 4);
        expect_register_refused(conn.get(), req, VANTLES_REGISTER_BAD_ARGS);
    }
    {
        SCOPED_TRACE("paths blob one byte over 4 MiB");
        build(&req, 1);
        req.regions[1].resize((4u << 20) + 1, 'q');
        raw_register_sync(&req);
        expect_register_refused(conn.get(), req, VANTLES_REGISTER_BAD_ARGS);
    }
}

TEST_F(RequestChecks, PurgeFromUnprivilegedUserIsRefused) {
    unique_fd conn = connect_raw();
    int pipe_fds[2];
    ASSERT_EQ(0, pipe2(pipe_fds, O_CLOEXEC));
    unique_fd from_child(pipe_fds[0]), to_parent(pipe_fds[1]);
    purge_events_request_t req = {};
    req.head = {BLACKBOX_BITS, sizeof req, 0, 0, 0, VANTLES_MSG_PURGE_EVENTS};
    req.NDR = NDR_record;
    req.event_id = VANTLES_SINCE_NOW;
    std::vector<uint8_t> bytes(sizeof req);
    memcpy(bytes.data(), &req, sizeof req);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The kernel takes the credentials at send time: drop to nobody first.
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        raw_datagram reply;
        if (raw_rpc(conn.get(), bytes, BLACKBOX_REPLY_TIMEOUT_MS, &reply) != 0)
            _exit(3);
        _exit(write(to_parent.get(), reply.bytes.data(), reply.bytes.size()) < 0 ? 4 : 0);
    }
    to_parent.reset();
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    raw_datagram reply;
    reply.bytes.resize(256);
    ssize_t n = read(from_child.get(), reply.bytes.data(), reply.bytes.size());
    reply.bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_TRUE(is_reply(reply, VANTLES_MSG_PURGE_EVENTS, 36, BLACKBOX_BITS, KERN_FAILURE));
}

}  // namespace
