// Hostile requests over the wire to a daemon whose event machinery never starts: each refused
// one gives back every descriptor it carried.
#include "tests/support/live_client.h"

#include <sys/wait.h>

namespace {

constexpr int REPLY_MS = 30000, SETTLE_MS = 5000;

std::vector<uint8_t> simple(mach_msg_id_t id, uint32_t size = 24, uint32_t bits = BLACKBOX_BITS) {
    return raw_simple_request(id, size, bits);
}

::testing::AssertionResult is_reply(const raw_datagram& r, mach_msg_id_t id, uint32_t size,
                                    uint32_t bits, int32_t code) {
    auto head = field_at<mach_msg_header_t>(r, 0);
    auto ndr = field_at<NDR_record_t>(r, sizeof head);
    int32_t got = field_at<int32_t>(r, 32);
    if (r.bytes.size() == size && head.msgh_size == size &&
        uint32_t(head.msgh_id) == uint32_t(id) + VANTLES_MSG_REPLY_OFFSET &&
        head.msgh_bits == (bits & MACH_MSGH_BITS_REMOTE_MASK) && head.msgh_local_port == 0 &&
        head.msgh_voucher_port == 0 && memcmp(&ndr, &NDR_record, sizeof ndr) == 0 && got == code &&
        r.fds.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "reply of " << r.bytes.size() << " bytes (msgh_size " << head.msgh_size << "), id "
           << head.msgh_id << ", bits 0x" << std::hex << head.msgh_bits << std::dec << ", code "
           << got << ", " << r.fds.size() << " fds; want " << size << " bytes, code " << code;
}

void set_u32(std::vector<uint8_t>* region, size_t offset, uint32_t value) {
    memcpy(region->data() + offset, &value, 4);
}

// A refused register request: paths (count, length), exclusions, a change, its reply's code,
// the callback rights sent, whether its memfd is sealed; plain sends the 160 message bytes alone.
struct register_case {
    const char* name;
    size_t paths, excludes, length;
    void (*change)(raw_register*);
    int32_t code;
    int callbacks = 1;
    bool seal = true, plain = false;
};

using R = raw_register*;
// clang-format off
const register_case REGISTER_CASES[] = {
    {"descriptor count 4", 1, 0, 0, [](R r) { r->msg.body.msgh_descriptor_count = 4; }, MIG_BAD_ARGUMENTS},
    {"descriptor count 1000", 1, 0, 0, [](R r) { r->msg.body.msgh_descriptor_count = 1000; }, MIG_BAD_ARGUMENTS},
    {"no complex bit", 1, 0, 0, [](R r) { r->msg.head.msgh_bits &= ~MACH_MSGH_BITS_COMPLEX; }, MIG_BAD_ARGUMENTS, 0, true, true},
    {"port descriptor without a descriptor", 1, 0, 0, [](R) {}, MIG_BAD_ARGUMENTS, 0},
    {"three descriptors for one port", 1, 0, 0, [](R) {}, MIG_BAD_ARGUMENTS, 3},
    {"region beyond the datagram", 1, 0, 0, [](R r) { r->msg.paths.size = r->msg.paths_blob_size = 1000; }, MIG_BAD_ARGUMENTS},
    {"region of 2 GiB", 1, 0, 0, [](R r) { r->msg.paths.size = r->msg.paths_blob_size = 0x80000000u; }, MIG_BAD_ARGUMENTS},
    {"unknown descriptor type", 1, 0, 0, [](R r) { r->msg.excludes.type = 7; }, MIG_BAD_ARGUMENTS},
    {"memfd shorter than its regions", 100, 0, 1000, [](R r) { r->msg.paths.size = r->msg.paths_blob_size += 4096; }, MIG_BAD_ARGUMENTS},
    {"unsealed memfd", 100, 0, 1000, [](R) {}, MIG_BAD_ARGUMENTS, 1, false},
    {"regions above 64 MiB", 100, 0, 1000, [](R r) { r->msg.paths.size = r->msg.paths_blob_size = 65u << 20; r->regions[1].resize(65u << 20, 'z'); }, MIG_BAD_ARGUMENTS},
    {"path_offset_count - 1", 2, 1, 0, [](R r) { r->msg.path_offset_count--; }, MIG_TYPE_ERROR},
    {"paths_blob_size - 1", 2, 1, 0, [](R r) { r->msg.paths_blob_size--; }, MIG_TYPE_ERROR},
    {"exclude_offset_count - 1", 2, 1, 0, [](R r) { r->msg.exclude_offset_count--; }, MIG_TYPE_ERROR},
    {"exclude_blob_size - 1", 2, 1, 0, [](R r) { r->msg.exclude_blob_size--; }, MIG_TYPE_ERROR},
    {"callback MOVE_SEND_ONCE", 1, 0, 0, [](R r) { r->msg.callback.disposition = MACH_MSG_TYPE_MOVE_SEND_ONCE; }, MIG_TYPE_ERROR},
    // Argument errors, refused at once, before the wait for start-up.
    {"4097 paths", 4097, 0, 0, [](R) {}, VANTLES_REGISTER_BAD_ARGS},
    {"num_paths differs from the offset count", 2, 0, 0, [](R r) { r->msg.num_paths = 3; }, VANTLES_REGISTER_BAD_ARGS},
    {"nine excluded paths", 1, 9, 0, [](R) {}, VANTLES_REGISTER_BAD_ARGS},
    {"path of 65543 bytes (7 in 16 bits)", 1, 0, 65543, [](R) {}, VANTLES_REGISTER_BAD_ARGS},
    {"second path of 1024 bytes", 2, 0, 0, [](R r) { std::vector<std::string> p = {"/tmp", "/" + std::string(1023, 'x')}, x; raw_register_build(r, p, x); }, VANTLES_REGISTER_BAD_ARGS},
    {"excluded path of 1025 characters", 1, 0, 0, [](R r) { std::vector<std::string> p = {"/tmp"}, x = {"/" + std::string(1024, 'x')}; raw_register_build(r, p, x); }, VANTLES_REGISTER_BAD_ARGS},
    {"60 KiB inline, offset beyond the blob", 2, 0, 0, [](R r) { r->regions[1].resize(60 << 10, 'a'); raw_register_sync(r); set_u32(&r->regions[0], 4, r->msg.paths_blob_size + 1); }, VANTLES_REGISTER_BAD_ARGS},
    {"1 MiB in a memfd, offset beyond the blob", 1024, 0, 1023, [](R r) { set_u32(&r->regions[0], 4 * 1023, r->msg.paths_blob_size + 1); }, VANTLES_REGISTER_BAD_ARGS},
    {"paths blob one byte over 4 MiB", 1, 0, 0, [](R r) { r->regions[1].resize((4u << 20) + 1, 'q'); raw_register_sync(r); }, VANTLES_REGISTER_BAD_ARGS},
};
// clang-format on

// At its end the daemon still answers a new connection and holds no descriptor more.
class Requests : public ::testing::Test {
protected:
    void SetUp() override {
        daemon_.env = {BLACKBOX_NO_EVENT_SOURCE};
        ASSERT_EQ(0, test_daemon_start(&daemon_, {"-d"})) << test_daemon_log(daemon_);
        conn_ = connect_raw();
        base_fds_ = proc_fd_count(daemon_.pid);
    }
    void TearDown() override {
        connect_raw().reset();
        EXPECT_TRUE(fd_count_returns(daemon_.pid, base_fds_, SETTLE_MS));
        EXPECT_TRUE(test_daemon_running(&daemon_)) << "the daemon died";
        if (HasFailure())
            test_daemon_print_log_tail(daemon_);
    }

    // A connection whose probe was answered, so that the daemon holds it.
    unique_fd connect_raw() {
        unique_fd fd;
        raw_datagram reply;
        EXPECT_TRUE(raw_connect(daemon_.socket_path.c_str(), &fd) == 0 &&
                    raw_rpc(fd.get(), simple(BLACKBOX_PROBE_ID), REPLY_MS, &reply) == 0);
        EXPECT_TRUE(is_reply(reply, BLACKBOX_PROBE_ID, 36, BLACKBOX_BITS, MIG_BAD_ID));
        return fd;
    }

    // Sends bytes, then a probe: the reply to bytes (none if dropped); reconnects if closed.
    raw_datagram send_probed(const std::vector<uint8_t>& bytes, std::vector<int> fds = {},
                             bool* closed = nullptr) {
        raw_datagram first, probe_reply;
        std::vector<uint8_t> probe = simple(BLACKBOX_PROBE_ID);
        int err = raw_send(conn_.get(), bytes.data(), bytes.size(), fds, SETTLE_MS);
        err = err ? err : raw_send(conn_.get(), probe.data(), 24, {}, SETTLE_MS);
        err = err ? err : raw_receive(conn_.get(), REPLY_MS, &first);
        if (err == 0 && uint32_t(field_at<mach_msg_header_t>(first, 0).msgh_id) ==
                            BLACKBOX_PROBE_ID + VANTLES_MSG_REPLY_OFFSET)
            first = {};
        else if (err == 0)
            err = raw_receive(conn_.get(), REPLY_MS, &probe_reply);
        bool gone = err == EPIPE || err == ECONNRESET;
        EXPECT_TRUE(err == 0 || gone) << strerror(err);
        if (gone)
            conn_ = connect_raw();
        if (closed)
            *closed = gone;
        return first;
    }

    // A whole header is answered with code; a shorter datagram closes the connection.
    void expect_refused(const std::vector<uint8_t>& bytes, int32_t code,
                        std::vector<int> fds = {}) {
        bool closed = false;
        raw_datagram reply = send_probed(bytes, std::move(fds), &closed);
        auto head = field_at<mach_msg_header_t>({bytes, {}}, 0);
        if (bytes.size() < sizeof head)
            EXPECT_TRUE(closed);
        else
            EXPECT_TRUE(is_reply(reply, head.msgh_id, 36, head.msgh_bits, code));
    }

    void expect_register_refused(const register_case& c) {
        raw_register req;
        std::vector<std::string> paths, excludes;
        for (size_t i = 0; i < c.paths; i++)
            paths.push_back(c.length ? std::string(c.length, 'p') : "/tmp/w" + std::to_string(i));
        for (size_t i = 0; i < c.excludes; i++)
            excludes.push_back("/tmp/w0/x" + std::to_string(i));
        raw_register_build(&req, paths, excludes);
        c.change(&req);
        std::vector<uint8_t> bytes;
        unique_fd memfd;
        ASSERT_EQ(0, raw_register_encode(req, &bytes, &memfd));
        if (c.plain)
            bytes.resize(sizeof req.msg);
        if (memfd.valid() && !c.seal) {
            std::vector<uint8_t> regions;
            for (const auto& region : req.regions)
                regions.insert(regions.end(), region.begin(), region.end());
            ASSERT_EQ(0, raw_memfd(regions, false, &memfd));
        }
        std::vector<unique_fd> ours(c.callbacks), theirs(c.callbacks);
        std::vector<int> fds;
        for (int i = 0; i < c.callbacks; i++, fds.push_back(theirs[i - 1].get()))
            ASSERT_EQ(0, raw_socketpair(&ours[i], &theirs[i]));
        if (memfd.valid() && c.callbacks > 0)
            fds.push_back(memfd.get());
        raw_datagram reply = send_probed(bytes, fds);
        EXPECT_TRUE(is_reply(reply, VANTLES_MSG_REGISTER, 36, req.msg.head.msgh_bits, c.code));
        theirs.clear();
        for (unique_fd& end : ours)
            EXPECT_TRUE(wait_hangup(end.get(), SETTLE_MS)) << "a callback was kept";
    }

    test_daemon daemon_;
    unique_fd conn_;
    int base_fds_ = 0;
};

TEST_F(Requests, HostileRequestsAreRefusedAndTheDaemonServesOn) {
    for (const register_case& c : REGISTER_CASES) {
        SCOPED_TRACE(c.name);
        expect_register_refused(c);
    }
    for (auto [id, size] : {std::pair{VANTLES_MSG_FLUSH, 24u},
                            {VANTLES_MSG_GET_VOLUME_UUID, 36u},
                            {VANTLES_MSG_GET_CURRENT_EVENT_ID, 24u},
                            {VANTLES_MSG_GET_EVENT_ID_FOR_TIME, 44u},
                            {VANTLES_MSG_PURGE_EVENTS, 44u},
                            {VANTLES_MSG_UNREGISTER, 24u}}) {
        SCOPED_TRACE(id);
        // The 24-byte ones have no room for a descriptor count: the transport refuses them.
        uint32_t bits = MACH_MSGH_BITS_COMPLEX | 0x1500u | (id % 2 ? 0x13u : 0x12u);
        expect_refused(simple(id, size, bits), MIG_BAD_ARGUMENTS);
        for (uint32_t wrong : {size + 4, size + 1, size == 24 ? 36u : size - 4})
            expect_refused(simple(id, wrong, 0xFF00u | (wrong % 32)), MIG_BAD_ARGUMENTS);
    }
    for (mach_msg_id_t id : {VANTLES_MSG_END, VANTLES_MSG_FIRST - 1, 0, -1, 67000, 0x7FFFFFFF})
        expect_refused(simple(id), MIG_BAD_ID);
    // Datagrams whose size field disagrees with their length.
    auto sized = [](mach_msg_id_t id, uint32_t datagram, uint32_t msgh_size) {
        std::vector<uint8_t> bytes = simple(id, datagram);
        if (datagram >= 8)
            memcpy(bytes.data() + 4, &msgh_size, 4);
        return bytes;
    };
    for (uint32_t size : {0u, 1u, 4u, 12u, 20u, 23u})
        expect_refused(sized(VANTLES_MSG_FLUSH, size, 24), 0);
    expect_refused(sized(VANTLES_MSG_GET_VOLUME_UUID, 24, 36), MIG_BAD_ARGUMENTS);
    expect_refused(sized(VANTLES_MSG_PURGE_EVENTS, 44, 4000), MIG_BAD_ARGUMENTS);
    expect_refused(sized(VANTLES_MSG_FLUSH, 24, 0xFFFFFFF0u), MIG_BAD_ARGUMENTS);
    expect_refused(sized(VANTLES_MSG_UNREGISTER, 24, 8), MIG_BAD_ARGUMENTS);
    expect_refused(simple(VANTLES_MSG_FLUSH, 8192), MIG_BAD_ARGUMENTS);
    unique_fd ours, theirs;
    ASSERT_EQ(0, raw_socketpair(&ours, &theirs));
    expect_refused(simple(VANTLES_MSG_FLUSH), MIG_BAD_ARGUMENTS, {theirs.get()});
    theirs.reset();
    EXPECT_TRUE(wait_hangup(ours.get(), SETTLE_MS)) << "descriptor kept";
    // A forged no-senders notice on the public port gets no reply and removes nothing.
    EXPECT_TRUE(send_probed(simple(MACH_NOTIFY_NO_SENDERS, sizeof(mach_no_senders_notification_t)))
                    .bytes.empty());

    // A second daemon on the socket fails to check in.
    test_daemon second;
    ASSERT_EQ(0, test_daemon_start(&second, {"-d"}, daemon_.socket_path, false));
    ASSERT_TRUE(test_daemon_wait_exit(&second, 10000)) << "the second daemon kept running";
    EXPECT_TRUE(WIFEXITED(second.status) && WEXITSTATUS(second.status) == 1);
    EXPECT_TRUE(test_daemon_wait_log(second,
                                     "main: ERROR: bootstrap_check_in() => service already "
                                     "held by a running daemon (1103)",
                                     0))
        << test_daemon_log(second);
}

}  // namespace
