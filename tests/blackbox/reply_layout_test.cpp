// The reply of every routine, byte for byte, from a daemon whose event machinery has not
// started: flush and unregister on the public port answer at once; the queries, purge and a
// well-formed register wait for start-up (about 10 s) and then answer "not ready". Each slow
// case is a test of its own so that they run in parallel, each with its own daemon.
#include "tests/support/test_daemon.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using ReplyLayout = DaemonTest;

template <typename T>
std::vector<uint8_t> bytes_of(const T& request) {
    std::vector<uint8_t> bytes(sizeof request);
    memcpy(bytes.data(), &request, sizeof request);
    return bytes;
}

// The port named in the "=> NULL" line that function logged, or 0 when there is none.
unsigned long null_lookup_port(const std::string& log, const std::string& function) {
    std::string prefix = function + ": ERROR: get_client_with_matching_f2d_private_port(0x";
    size_t at = log.find(prefix);
    if (at == std::string::npos)
        return 0;
    char* end = nullptr;
    unsigned long port = strtoul(log.c_str() + at + prefix.size(), &end, 16);
    return std::string(end).rfind(") => NULL", 0) == 0 ? port : 0;
}

TEST_F(ReplyLayout, FlushAndUnregisterOnPublicPortFindNoRegistration) {
    unique_fd conn = connect_raw();
    raw_datagram flush = rpc(conn.get(), raw_simple_request(VANTLES_MSG_FLUSH, 24, 0x1513));
    EXPECT_TRUE(is_reply(flush, VANTLES_MSG_FLUSH, 44, 0x1513, KERN_SUCCESS));
    raw_datagram unregister = rpc(conn.get(), raw_simple_request(VANTLES_MSG_UNREGISTER, 24, 0x12));
    EXPECT_TRUE(is_reply(unregister, VANTLES_MSG_UNREGISTER, 36, 0x12, KERN_SUCCESS));

    ASSERT_TRUE(test_daemon_wait_log(daemon_, "implementation_unregister_rpc: ERROR",
                                     BLACKBOX_SETTLE_TIMEOUT_MS));
    std::string log = test_daemon_log(daemon_);
    unsigned long flush_port = null_lookup_port(log, "implementation_flush_rpc");
    unsigned long unregister_port = null_lookup_port(log, "implementation_unregister_rpc");
    EXPECT_NE(0u, flush_port) << log;
    EXPECT_EQ(flush_port, unregister_port) << "both must name the public port";
}

TEST_F(ReplyLayout, VolumeUuidBeforeStartupIsNoDevInfo) {
    unique_fd conn = connect_raw();
    get_volume_uuid_request_t req = {};
    req.head = {BLACKBOX_BITS, sizeof req, 0, 0, 0, VANTLES_MSG_GET_VOLUME_UUID};
    req.NDR = NDR_record;
    raw_datagram reply = rpc(conn.get(), bytes_of(req));
    ASSERT_TRUE(is_reply(reply, VANTLES_MSG_GET_VOLUME_UUID, 72, BLACKBOX_BITS, KERN_SUCCESS));
    std::string text(reinterpret_cast<const char*>(reply.bytes.data()) + 36, 36);
    EXPECT_EQ(std::string("NO-UUID-NO-DEV-INFO"), text.c_str());
    EXPECT_NE(std::string::npos, text.find('\0')) << "the text must be NUL-terminated";
}

TEST_F(ReplyLayout, CurrentEventIdBeforeStartupAnswersZeroCode) {
    unique_fd conn = connect_raw();
    raw_datagram reply =
        rpc(conn.get(), raw_simple_request(VANTLES_MSG_GET_CURRENT_EVENT_ID, 24, BLACKBOX_BITS));
    EXPECT_TRUE(is_reply(reply, VANTLES_MSG_GET_CURRENT_EVENT_ID, 44, BLACKBOX_BITS, KERN_SUCCESS));
}

TEST_F(ReplyLayout, EventIdForTimeBeforeStartupAnswersZeroCode) {
    unique_fd conn = connect_raw();
    get_event_id_for_time_request_t req = {};
    req.head = {BLACKBOX_BITS, sizeof req, 0, 0, 0, VANTLES_MSG_GET_EVENT_ID_FOR_TIME};
    req.NDR = NDR_record;
    req.time = time(nullptr);
    raw_datagram reply = rpc(conn.get(), bytes_of(req));
    EXPECT_TRUE(
        is_reply(reply, VANTLES_MSG_GET_EVENT_ID_FOR_TIME, 44, BLACKBOX_BITS, KERN_SUCCESS));
}

TEST_F(ReplyLayout, PurgeFromRootBeforeStartupFindsNoHistory) {
    unique_fd conn = connect_raw();
    purge_events_request_t req = {};
    req.head = {BLACKBOX_BITS, sizeof req, 0, 0, 0, VANTLES_MSG_PURGE_EVENTS};
    req.NDR = NDR_record;
    req.event_id = VANTLES_SINCE_NOW;
    raw_datagram reply = rpc(conn.get(), bytes_of(req));
    ASSERT_TRUE(is_reply(reply, VANTLES_MSG_PURGE_EVENTS, 40, BLACKBOX_BITS, KERN_SUCCESS));
    EXPECT_EQ(VANTLES_PURGE_NO_HISTORY, field_at<uint32_t>(reply, 36));
}

TEST_F(ReplyLayout, WellFormedRegisterBeforeStartupIsNoClientAndLeavesNothing) {
    unique_fd conn = connect_raw();
    int base = proc_fd_count(daemon_.pid);
    unique_fd events, callback;
    ASSERT_EQ(0, raw_socketpair(&events, &callback));
    std::vector<std::string> paths = {"/tmp", "/var/tmp"}, excludes = {"/tmp/x"};
    raw_register req;
    raw_register_build(&req, paths, excludes);
    req.msg.create_flags = VANTLES_CREATE_MARK_SELF | VANTLES_CREATE_FILE_EVENTS;
    ASSERT_EQ(0, raw_register_send(conn.get(), req, std::vector<int>{callback.get()}));
    callback.reset();

    raw_datagram reply;
    ASSERT_EQ(0, raw_receive(conn.get(), BLACKBOX_REPLY_TIMEOUT_MS, &reply));
    EXPECT_TRUE(is_reply(reply, VANTLES_MSG_REGISTER, 36, req.msg.head.msgh_bits,
                         VANTLES_REGISTER_NO_CLIENT));
    EXPECT_TRUE(test_daemon_wait_log(
        daemon_, "implementation_register_rpc: implementation_added_client() => 22",
        BLACKBOX_SETTLE_TIMEOUT_MS));
    EXPECT_TRUE(wait_hangup(events.get(), BLACKBOX_SETTLE_TIMEOUT_MS))
        << "the callback right was kept";
    EXPECT_TRUE(fd_count_returns(daemon_.pid, base, BLACKBOX_SETTLE_TIMEOUT_MS));
}

}  // namespace
