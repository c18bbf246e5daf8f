// The client library: requests laid out byte for byte and replies checked, against a scripted
// peer that queues each reply before the call it answers; then the library against the real
// daemon.
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

TEST_F(ClientLibrary, RegisterLaysOutItsRequestAndReleasesAllOnRefusal) {
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
    EXPECT_EQ(MACH_MSGH_BITS_COMPLEX, m.head.msgh_bits & MACH_MSGH_BITS_COMPLEX);
    EXPECT_EQ(160u, m.head.msgh_size);
    EXPECT_EQ(VANTLES_MSG_REGISTER, m.head.msgh_id);
    EXPECT_EQ(5u, m.body.msgh_descriptor_count);
    EXPECT_EQ(MACH_MSG_TYPE_MOVE_SEND, m.callback.disposition);
    EXPECT_EQ(MACH_MSG_PORT_DESCRIPTOR, m.callback.type);
    const mach_msg_ool_descriptor_t* regions[] = {&m.path_offsets, &m.paths, &m.exclude_offsets,
                                                  &m.excludes};
    const uint32_t sizes[] = {8, 7, 4, 3};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(MACH_MSG_OOL_DESCRIPTOR, regions[i]->type) << i;
        EXPECT_EQ(sizes[i], regions[i]->size) << i;
        EXPECT_EQ(0u, regions[i]->address) << i;
    }
    EXPECT_EQ(0, memcmp(&m.NDR, &NDR_record, sizeof m.NDR));
    EXPECT_EQ(9u, m.device);
    EXPECT_EQ(2u, m.num_paths);
    EXPECT_EQ(2u, m.path_offset_count);
    EXPECT_EQ(7u, m.paths_blob_size);
    EXPECT_EQ(1u, m.num_excludes);
    EXPECT_EQ(1u, m.exclude_offset_count);
    EXPECT_EQ(3u, m.exclude_blob_size);
    EXPECT_EQ(1234u, uint64_t{m.latency});
    EXPECT_EQ(0x30u, m.create_flags);
    EXPECT_EQ(77u, uint64_t{m.since_when});
    const uint8_t want_regions[] = {0,   0,   0,   0, 3, 0, 0, 0, '/', 'a', 0,
                                    '/', 'b', 'b', 0, 0, 0, 0, 0, '/', 'x', 0};
    EXPECT_EQ(0, memcmp(req.bytes.data() + 160, want_regions, sizeof want_regions));
    EXPECT_TRUE(wait_hangup(req.fds[0].get(), 1000)) << "the event port outlived the refusal";
}

TEST_F(ClientLibrary, RegisterTakesThePrivatePortOfTheReply) {
    unique_fd ours, theirs;
    ASSERT_EQ(0, raw_socketpair(&ours, &theirs));
    std::vector<uint8_t> reply(sizeof(register_reply_t), 0);
    register_reply_t r = {};
    r.head = {MACH_MSGH_BITS_COMPLEX | MACH_MSG_TYPE_COPY_SEND, sizeof r, 0, 0, 0,
              VANTLES_MSG_REGISTER + VANTLES_MSG_REPLY_OFFSET};
    r.body.msgh_descriptor_count = 1;
    r.private_port.disposition = MACH_MSG_TYPE_MAKE_SEND;
    r.private_port.type = MACH_MSG_PORT_DESCRIPTOR;
    put(&reply, 0, r);
    queue_reply(reply, {theirs.get()});
    theirs.reset();

    const char* paths[] = {"/tmp"};
    vantles_register_args args;
    args.paths = paths;
    conn_.timeout_ms = 4321;
    vantles_registration reg;
    ASSERT_EQ(0, vantles_register(&conn_, args, &reg));
    EXPECT_NE(0u, reg.private_port);
    EXPECT_NE(0u, reg.event_port);
    EXPECT_EQ(4321u, reg.timeout_ms);

    raw_datagram req = take_request();
    ASSERT_EQ(1u, req.fds.size());
    ASSERT_EQ(0, raw_send(req.fds[0].get(), "e", 1, {}, 1000));
    raw_datagram event;
    ASSERT_EQ(0, raw_receive(static_cast<int>(reg.event_port), 1000, &event));
    EXPECT_EQ(1u, event.bytes.size()) << "the callback right does not reach the event port";

    vantles_release(&reg);
    EXPECT_EQ(0u, reg.private_port);
    EXPECT_TRUE(wait_hangup(ours.get(), 1000)) << "the private port was not released";
    EXPECT_TRUE(wait_hangup(req.fds[0].get(), 1000)) << "the event port was not released";
}

TEST_F(ClientLibrary, QueriesLayOutTheirRequestsAndUnpackTheirReplies) {
    std::vector<uint8_t> reply = reply_bytes(VANTLES_MSG_GET_VOLUME_UUID, 72, 0);
    const char uuid[] = "0123ABCD-4567-89EF-0123-456789ABCDEF";
    memcpy(reply.data() + 36, uuid, 36);
    queue_reply(reply);
    char text[VANTLES_UUID_TEXT_LENGTH + 1];
    ASSERT_EQ(0, vantles_get_volume_uuid(&conn_, 0x1234, text));
    EXPECT_STREQ(uuid, text);
    raw_datagram req = take_request();
    ASSERT_EQ(36u, req.bytes.size());
    EXPECT_EQ(VANTLES_MSG_GET_VOLUME_UUID, field_at<mach_msg_header_t>(req, 0).msgh_id);
    EXPECT_EQ(36u, field_at<mach_msg_header_t>(req, 0).msgh_size);
    EXPECT_EQ(0x1234u, field_at<uint32_t>(req, 32));

    reply = reply_bytes(VANTLES_MSG_GET_CURRENT_EVENT_ID, 44, 0);
    put(&reply, 36, uint64_t{0x0102030405060708});
    queue_reply(reply);
    uint64_t id = 0;
    ASSERT_EQ(0, vantles_get_current_event_id(&conn_, &id));
    EXPECT_EQ(0x0102030405060708u, id);
    req = take_request();
    EXPECT_EQ(24u, req.bytes.size());
    EXPECT_EQ(VANTLES_MSG_GET_CURRENT_EVENT_ID, field_at<mach_msg_header_t>(req, 0).msgh_id);

    reply = reply_bytes(VANTLES_MSG_GET_EVENT_ID_FOR_TIME, 44, 0);
    put(&reply, 36, uint64_t{99});
    queue_reply(reply);
    ASSERT_EQ(0, vantles_get_event_id_for_time(&conn_, 5, -7, &id));
    EXPECT_EQ(99u, id);
    req = take_request();
    ASSERT_EQ(44u, req.bytes.size());
    EXPECT_EQ(5u, field_at<uint32_t>(req, 32));
    EXPECT_EQ(-7, field_at<int64_t>(req, 36));

    reply = reply_bytes(VANTLES_MSG_PURGE_EVENTS, 40, 0);
    put(&reply, 36, uint32_t{VANTLES_NO_HISTORY});
    queue_reply(reply);
    uint32_t result = 0;
    ASSERT_EQ(0, vantles_purge_events(&conn_, 3, 1000, &result));
    EXPECT_EQ(VANTLES_NO_HISTORY, result);
    req = take_request();
    ASSERT_EQ(44u, req.bytes.size());
    EXPECT_EQ(3u, field_at<uint32_t>(req, 32));
    EXPECT_EQ(1000u, field_at<uint64_t>(req, 36));

    queue_reply(reply_bytes(VANTLES_MSG_PURGE_EVENTS, 36, KERN_FAILURE));
    result = 17;
    EXPECT_EQ(KERN_FAILURE, vantles_purge_events(&conn_, 3, 1000, &result));
    EXPECT_EQ(17u, result) << "an error reply carries no result";
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
    raw_datagram req;
    ASSERT_EQ(0, raw_receive(daemon_end.get(), 1000, &req));
    EXPECT_EQ(24u, req.bytes.size());
    EXPECT_EQ(VANTLES_MSG_FLUSH, field_at<mach_msg_header_t>(req, 0).msgh_id);

    reply = reply_bytes(VANTLES_MSG_UNREGISTER, 36, 0);
    ASSERT_EQ(0, raw_send(daemon_end.get(), reply.data(), reply.size(), {}, 1000));
    EXPECT_EQ(0, vantles_unregister(&reg));
    ASSERT_EQ(0, raw_receive(daemon_end.get(), 1000, &req));
    EXPECT_EQ(VANTLES_MSG_UNREGISTER, field_at<mach_msg_header_t>(req, 0).msgh_id);
    EXPECT_EQ(0u, reg.private_port);
    EXPECT_TRUE(wait_hangup(daemon_end.get(), 1000)) << "unregister kept the private port";
    EXPECT_EQ(EBADF, vantles_flush(&reg, &id));
}

TEST_F(ClientLibrary, RepliesThatDoNotBelongToTheRequestAreRejected) {
    uint64_t id = 0;
    queue_reply(reply_bytes(VANTLES_MSG_GET_EVENT_ID_FOR_TIME, 44, 0));
    EXPECT_EQ(VANTLES_ERR_BAD_REPLY, vantles_get_current_event_id(&conn_, &id)) << "wrong id";
    queue_reply(reply_bytes(VANTLES_MSG_GET_CURRENT_EVENT_ID, 40, 0));
    EXPECT_EQ(VANTLES_ERR_BAD_REPLY, vantles_get_current_event_id(&conn_, &id)) << "wrong size";
    queue_reply(reply_bytes(VANTLES_MSG_GET_CURRENT_EVENT_ID, 36, 0));
    EXPECT_EQ(VANTLES_ERR_BAD_REPLY, vantles_get_current_event_id(&conn_, &id))
        << "error reply without a code";

    // A register reply with a port but the wrong size: the port must not leak.
    unique_fd ours, theirs;
    ASSERT_EQ(0, raw_socketpair(&ours, &theirs));
    std::vector<uint8_t> reply(44, 0);
    register_reply_t r = {};
    r.head = {MACH_MSGH_BITS_COMPLEX | MACH_MSG_TYPE_COPY_SEND, 44, 0, 0, 0,
              VANTLES_MSG_REGISTER + VANTLES_MSG_REPLY_OFFSET};
    r.body.msgh_descriptor_count = 1;
    r.private_port.disposition = MACH_MSG_TYPE_MAKE_SEND;
    r.private_port.type = MACH_MSG_PORT_DESCRIPTOR;
    put(&reply, 0, r);
    queue_reply(reply, {theirs.get()});
    theirs.reset();
    const char* paths[] = {"/tmp"};
    vantles_register_args args;
    args.paths = paths;
    vantles_registration reg;
    EXPECT_EQ(VANTLES_ERR_BAD_REPLY, vantles_register(&conn_, args, &reg));
    EXPECT_EQ(0u, reg.private_port);
    EXPECT_TRUE(wait_hangup(ours.get(), 1000)) << "the port of a rejected reply leaked";
}

TEST_F(ClientLibrary, SilentPeerTimesOut) {
    conn_.timeout_ms = 200;
    uint64_t id = 0;
    EXPECT_EQ(MACH_RCV_TIMED_OUT, vantles_get_current_event_id(&conn_, &id));
}

TEST_F(ClientLibrary, BadHandlesAndArgumentsAreRefused) {
    vantles_connection missing;
    EXPECT_NE(0, vantles_connect((dir_ + "/nothing.sock").c_str(), &missing));
    EXPECT_EQ(0u, missing.port);
    uint64_t id = 0;
    EXPECT_EQ(EBADF, vantles_get_current_event_id(&missing, &id));
    vantles_registration reg;
    EXPECT_EQ(EBADF, vantles_flush(&reg, &id));
    EXPECT_EQ(EBADF, vantles_unregister(&reg));

    const char* paths[] = {"/tmp", nullptr};
    vantles_register_args args;
    args.paths = paths;
    EXPECT_EQ(EINVAL, vantles_register(&conn_, args, &reg));
}

using ClientLibraryWithDaemon = DaemonTest;

TEST_F(ClientLibraryWithDaemon, RequestsPassTheDaemonsChecks) {
    int base = proc_fd_count(daemon_.pid);
    vantles_connection conn;
    ASSERT_EQ(0, vantles_connect(daemon_.socket_path.c_str(), &conn));

    std::vector<std::string> path_strings, exclude_strings;
    for (int i = 0; i < 4097; i++)
        path_strings.push_back("/tmp/p" + std::to_string(i));
    for (int i = 0; i < 9; i++)
        exclude_strings.push_back("/tmp/p0/x" + std::to_string(i));
    std::vector<const char*> paths, excludes;
    for (const std::string& s : path_strings)
        paths.push_back(s.c_str());
    for (const std::string& s : exclude_strings)
        excludes.push_back(s.c_str());

    vantles_register_args args;
    args.paths = std::span(paths).first(1);
    args.excludes = excludes;
    vantles_registration reg;
    EXPECT_EQ(VANTLES_ERR_BAD_ARGS, vantles_register(&conn, args, &reg)) << "nine excludes";
    args.paths = paths;
    args.excludes = {};
    EXPECT_EQ(VANTLES_ERR_BAD_ARGS, vantles_register(&conn, args, &reg)) << "4097 paths";

    // Flush and unregister on the public port reach their handlers, which find no stream.
    unique_fd public_conn = connect_raw();
    reg.private_port = static_cast<uint32_t>(public_conn.release());
    uint64_t id = 0;
    EXPECT_EQ(0, vantles_flush(&reg, &id));
    EXPECT_EQ(0, vantles_unregister(&reg));
    EXPECT_TRUE(test_daemon_wait_log(daemon_, "implementation_unregister_rpc: ERROR",
                                     BLACKBOX_SETTLE_TIMEOUT_MS));
    vantles_close(&conn);
    EXPECT_TRUE(fd_count_returns(daemon_.pid, base, BLACKBOX_SETTLE_TIMEOUT_MS));
}

TEST_F(ClientLibraryWithDaemon, RegisterBeforeStartupIsNoClient) {
    int base = proc_fd_count(daemon_.pid);
    vantles_connection conn;
    ASSERT_EQ(0, vantles_connect(daemon_.socket_path.c_str(), &conn));
    const char* paths[] = {"/tmp"};
    vantles_register_args args;
    args.paths = paths;
    args.latency_us = 500000;
    vantles_registration reg;
    EXPECT_EQ(VANTLES_ERR_NO_CLIENT, vantles_register(&conn, args, &reg));
    EXPECT_EQ(0u, reg.private_port);
    EXPECT_EQ(0u, reg.event_port);
    vantles_close(&conn);
    EXPECT_TRUE(fd_count_returns(daemon_.pid, base, BLACKBOX_SETTLE_TIMEOUT_MS));
}

// The daemon closes connections left idle; the library's calls connect again on their own, and
// the daemon answers the repeated request.
TEST_F(ClientLibraryWithDaemon, CallsOnAConnectionClosedForIdlingConnectAgain) {
    test_daemon_stop(&daemon_);
    daemon_.env.push_back("VANTLESD_IDLE_TIMEOUT=1");
    ASSERT_EQ(0, test_daemon_start(&daemon_, {"-d"})) << test_daemon_log(daemon_);
    vantles_connection conn;
    ASSERT_EQ(0, vantles_connect(daemon_.socket_path.c_str(), &conn));
    const char* paths[] = {"/tmp"};
    const char* excludes[] = {"/tmp/a", "/tmp/b", "/tmp/c", "/tmp/d", "/tmp/e",
                              "/tmp/f", "/tmp/g", "/tmp/h", "/tmp/i"};
    vantles_register_args args;
    args.paths = paths;
    args.excludes = excludes;
    vantles_registration reg;
    for (int round = 0; round < 2; round++) {
        const uint32_t before = conn.port;
        pollfd p = {static_cast<int>(before), POLLIN, 0};
        ASSERT_EQ(1, poll(&p, 1, BLACKBOX_SETTLE_TIMEOUT_MS)) << "the daemon kept it open";
        EXPECT_EQ(VANTLES_ERR_BAD_ARGS, vantles_register(&conn, args, &reg)) << round;
        EXPECT_NE(0u, conn.port);
    }
}

}  // namespace
