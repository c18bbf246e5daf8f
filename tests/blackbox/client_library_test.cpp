// The client library against a scripted peer that queues each reply before the call it
// answers: what it sends, and the replies it must reject, without leaking a port.
#include "tests/support/test_daemon.h"
#include "vantles/client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

template <typename T>
void put(std::vector<uint8_t>* bytes, size_t offset, const T& value) {
    memcpy(bytes->data() + offset, &value, sizeof value);
}

// A simple reply of size bytes: header with reply id, the NDR record and the code.
std::vector<uint8_t> reply_bytes(mach_msg_id_t request_id, uint32_t size, int32_t code) {
    std::vector<uint8_t> bytes =
        raw_simple_request(request_id + VANTLES_MSG_REPLY_OFFSET, size, MACH_MSG_TYPE_COPY_SEND);
    put(&bytes, 32, code);
    return bytes;
}

class ClientLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        char dir_template[] = "/tmp/vantles-client.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir_template));
        dir_ = dir_template;
        std::string path = dir_ + "/peer.sock";
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strcpy(addr.sun_path, path.c_str());
        unique_fd listener(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        ASSERT_EQ(0, bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        ASSERT_EQ(0, listen(listener.get(), 4));
        ASSERT_EQ(0, vantles_connect(path.c_str(), &conn_));
        peer_.reset(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_GE(peer_.get(), 0);
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void queue_reply(const std::vector<uint8_t>& bytes, std::vector<int> fds = {}) {
        ASSERT_EQ(0, raw_send(peer_.get(), bytes.data(), bytes.size(), fds, 1000));
    }

    raw_datagram take_request() {
        raw_datagram request;
        EXPECT_EQ(0, raw_receive(peer_.get(), 1000, &request));
        return request;
    }

    std::string dir_;
    unique_fd peer_;
    vantles_connection conn_;
};

// A register reply of size bytes carrying port as its private port.
std::vector<uint8_t> register_reply(uint32_t size) {
    std::vector<uint8_t> reply(size, 0);
    register_reply_t r = {};
    r.head = {MACH_MSGH_BITS_COMPLEX | MACH_MSG_TYPE_COPY_SEND, size, 0, 0, 0,
              VANTLES_MSG_REGISTER + VANTLES_MSG_REPLY_OFFSET};
    r.body.msgh_descriptor_count = 1;
    r.private_port.disposition = MACH_MSG_TYPE_MAKE_SEND;
    r.private_port.type = MACH_MSG_PORT_DESCRIPTOR;
    memcpy(reply.data(), &r, std::min<size_t>(size, sizeof r));
    return reply;
}

// The request's regions follow the message in the datagram; a refusal leaves no port behind.
TEST_F(ClientLibrary, RegisterSendsItsArgumentsAndReleasesAllOnRefusal) {
    queue_reply(reply_bytes(VANTLES_MSG_REGISTER, 36, VANTLES_ERR_BAD_ARGS));
    const char* paths[] = {"/a", "/bb"};
    const char* excludes[] = {"/x"};
    vantles_register_args args;
    args.device = 9;
    args.paths = paths;
    args.excludes = excludes;
    args.latency_us = 1234;
    args.create_flags = VANTLES_FLAG_MARK_SELF | VANTLES_FLAG_FILE_EVENTS;
    args.since_when = 77;
    vantles_registration reg;
    EXPECT_EQ(VANTLES_ERR_BAD_ARGS, vantles_register(&conn_, args, &reg));
    EXPECT_EQ(0u, reg.private_port);
    EXPECT_EQ(0u, reg.event_port);

    raw_datagram req = take_request();
    ASSERT_EQ(160u + 8 + 7 + 4 + 3, req.bytes.size());
    ASSERT_EQ(1u, req.fds.size());
    auto m = field_at<register_request_t>(req, 0);
    EXPECT_EQ(MACH_MSG_TYPE_MOVE_SEND, m.callback.disposition);
    EXPECT_EQ((std::vector<uint64_t>{9, 2, 1, 1234, 0x30, 77}),
              (std::vector<uint64_t>{m.device, m.num_paths, m.num_excludes, uint64_t{m.latency},
                                     m.create_flags, uint64_t{m.since_when}}));
    const uint8_t want_regions[] = {0,   0,   0,   0, 3, 0, 0, 0, '/', 'a', 0,
                                    '/', 'b', 'b', 0, 0, 0, 0, 0, '/', 'x', 0};
    EXPECT_EQ(0, memcmp(req.bytes.data() + 160, want_regions, sizeof want_regions));
    EXPECT_TRUE(wait_hangup(req.fds[0].get(), 1000)) << "the event port outlived the refusal";
}

// The callback right sent reaches the event port; release closes both ports.
TEST_F(ClientLibrary, RegisterTakesThePrivatePortOfTheReply) {
    unique_fd ours, theirs;
    ASSERT_EQ(0, raw_socketpair(&ours, &theirs));
    queue_reply(register_reply(sizeof(register_reply_t)), {theirs.get()});
    theirs.reset();
    const char* paths[] = {"/tmp"};
    vantles_register_args args;
    args.paths = paths;
    vantles_registration reg;
    ASSERT_EQ(0, vantles_register(&conn_, args, &reg));
    raw_datagram req = take_request();
    ASSERT_EQ(1u, req.fds.size());
    ASSERT_EQ(0, raw_send(req.fds[0].get(), "e", 1, {}, 1000));
    raw_datagram event;
    ASSERT_EQ(0, raw_receive(static_cast<int>(reg.event_port), 1000, &event));
    vantles_release(&reg);
    EXPECT_EQ(0u, reg.private_port);
    EXPECT_TRUE(wait_hangup(ours.get(), 1000)) << "the private port was not released";
    EXPECT_TRUE(wait_hangup(req.fds[0].get(), 1000)) << "the event port was not released";
}

// Unpacking of the query replies; an error reply carries no result.
TEST_F(ClientLibrary, QueriesUnpackTheirReplies) {
    std::vector<uint8_t> reply = reply_bytes(VANTLES_MSG_GET_VOLUME_UUID, 72, 0);
    const char uuid[] = "0123ABCD-4567-89EF-0123-456789ABCDEF";
    memcpy(reply.data() + 36, uuid, 36);
    queue_reply(reply);
    char text[VANTLES_UUID_TEXT_LENGTH + 1];
    ASSERT_EQ(0, vantles_get_volume_uuid(&conn_, 0x1234, text));
    EXPECT_STREQ(uuid, text);
    EXPECT_EQ(0x1234u, field_at<uint32_t>(take_request(), 32));

    reply = reply_bytes(VANTLES_MSG_GET_EVENT_ID_FOR_TIME, 44, 0);
    put(&reply, 36, uint64_t{0x0102030405060708});
    queue_reply(reply);
    uint64_t id = 0;
    ASSERT_EQ(0, vantles_get_event_id_for_time(&conn_, 5, -7, &id));
    EXPECT_EQ(0x0102030405060708u, id);
    raw_datagram req = take_request();
    EXPECT_EQ(5u, field_at<uint32_t>(req, 32));
    EXPECT_EQ(-7, field_at<int64_t>(req, 36));

    reply = reply_bytes(VANTLES_MSG_PURGE_EVENTS, 40, 0);
    put(&reply, 36, uint32_t{VANTLES_NO_HISTORY});
    queue_reply(reply);
    uint32_t result = 0;
    ASSERT_EQ(0, vantles_purge_events(&conn_, 3, 1000, &result));
    EXPECT_EQ(VANTLES_NO_HISTORY, result);
    queue_reply(reply_bytes(VANTLES_MSG_PURGE_EVENTS, 36, KERN_FAILURE));
    result = 17;
    EXPECT_EQ(KERN_FAILURE, vantles_purge_events(&conn_, 3, 1000, &result));
    EXPECT_EQ(17u, result);
}

TEST_F(ClientLibrary, FlushAndUnregisterGoToThePrivatePort) {
    unique_fd daemon_end, client_end;
    ASSERT_EQ(0, raw_socketpair(&daemon_end, &client_end));
    vantles_registration reg;
    reg.private_port = static_cast<uint32_t>(client_end.release());
    std::vector<uint8_t> reply = reply_bytes(VANTLES_MSG_FLUSH, 44, 0);
    put(&reply, 36, uint64_t{42});
    ASSERT_EQ(0, raw_send(daemon_end.get(), reply.data(), reply.size(), {}, 1000));
    uint64_t id = 0;
    ASSERT_EQ(0, vantles_flush(&reg, &id));
    EXPECT_EQ(42u, id);
    reply = reply_bytes(VANTLES_MSG_UNREGISTER, 36, 0);
    ASSERT_EQ(0, raw_send(daemon_end.get(), reply.data(), reply.size(), {}, 1000));
    EXPECT_EQ(0, vantles_unregister(&reg));
    raw_datagram req;
    for (mach_msg_id_t want : {VANTLES_MSG_FLUSH, VANTLES_MSG_UNREGISTER}) {
        ASSERT_EQ(0, raw_receive(daemon_end.get(), 1000, &req));
        EXPECT_EQ(want, field_at<mach_msg_header_t>(req, 0).msgh_id);
    }
    EXPECT_TRUE(wait_hangup(daemon_end.get(), 1000)) << "unregister kept the private port";
    EXPECT_EQ(EBADF, vantles_flush(&reg, &id));
}

// Wrong id, wrong size, an error reply without its code, a register reply of the wrong size
// (its port must not leak), silence, and bad handles and arguments.
TEST_F(ClientLibrary, BadRepliesSilenceAndBadHandlesAreRefused) {
    uint64_t id = 0;
    queue_reply(reply_bytes(VANTLES_MSG_GET_EVENT_ID_FOR_TIME, 44, 0));
    EXPECT_EQ(VANTLES_ERR_BAD_REPLY, vantles_get_current_event_id(&conn_, &id)) << "wrong id";
    queue_reply(reply_bytes(VANTLES_MSG_GET_CURRENT_EVENT_ID, 40, 0));
    EXPECT_EQ(VANTLES_ERR_BAD_REPLY, vantles_get_current_event_id(&conn_, &id)) << "wrong size";
    queue_reply(reply_bytes(VANTLES_MSG_GET_CURRENT_EVENT_ID, 36, 0));
    EXPECT_EQ(VANTLES_ERR_BAD_REPLY, vantles_get_current_event_id(&conn_, &id)) << "no code";
    unique_fd ours, theirs;
    ASSERT_EQ(0, raw_socketpair(&ours, &theirs));
    queue_reply(register_reply(44), {theirs.get()});
    theirs.reset();
    const char* paths[] = {"/tmp", nullptr};
    vantles_register_args args;
    args.paths = std::span(paths).first(1);
    vantles_registration reg;
    EXPECT_EQ(VANTLES_ERR_BAD_REPLY, vantles_register(&conn_, args, &reg));
    EXPECT_EQ(0u, reg.private_port);
    EXPECT_TRUE(wait_hangup(ours.get(), 1000)) << "the port of a rejected reply leaked";
    args.paths = paths;
    EXPECT_EQ(EINVAL, vantles_register(&conn_, args, &reg));

    conn_.timeout_ms = 200;
    EXPECT_EQ(MACH_RCV_TIMED_OUT, vantles_get_current_event_id(&conn_, &id));
    vantles_connection missing;
    EXPECT_NE(0, vantles_connect((dir_ + "/nothing.sock").c_str(), &missing));
    EXPECT_EQ(EBADF, vantles_get_current_event_id(&missing, &id));
    EXPECT_EQ(EBADF, vantles_flush(&reg, &id));
    EXPECT_EQ(EBADF, vantles_unregister(&reg));
}

}  // namespace
