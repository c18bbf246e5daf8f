// Hostile and careless clients: truncated, oversized, inconsistent and garbage datagrams,
// descriptors that do not match, broken memfds, a client that leaves before its reply and one
// that never reads its replies. A datagram that is no request is answered with -304 when it
// has a whole header and closes its connection when it has not, never left unanswered; the
// daemon must release every descriptor it carried and keep answering others.
#include "tests/support/test_daemon.h"

#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace {

class BadInput : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (HasFatalFailure())
            return;
        conn_ = connect_raw();
        base_fds_ = proc_fd_count(daemon_.pid);
    }

    // Sends bytes (with fds) on the test's connection: answered with -304 when they hold a
    // whole header, else the connection is closed.
    void expect_refused(const std::vector<uint8_t>& bytes, std::vector<int> fds = {}) {
        refusal_outcome out = send_refused(conn_.get(), bytes, std::move(fds));
        if (bytes.size() < sizeof(mach_msg_header_t)) {
            EXPECT_EQ(refusal::closed, out.kind);
        } else {
            mach_msg_header_t head;
            memcpy(&head, bytes.data(), sizeof head);
            EXPECT_TRUE(is_reply(out.reply, head.msgh_id, 36, head.msgh_bits, MIG_BAD_ARGUMENTS));
        }
        if (out.kind == refusal::closed)
            conn_ = connect_raw();
    }

    // Sends a register request with num_port_fds callback rights, which must be answered with
    // -304 and give back every descriptor it carried.
    void expect_register_refused(const raw_register& req, int num_port_fds = 1, bool seal = true) {
        std::vector<unique_fd> ours(num_port_fds), theirs(num_port_fds);
        std::vector<int> fds;
        for (int i = 0; i < num_port_fds; i++) {
            EXPECT_EQ(0, raw_socketpair(&ours[i], &theirs[i]));
            fds.push_back(theirs[i].get());
        }
        std::vector<uint8_t> bytes;
        unique_fd memfd;
        EXPECT_EQ(0, raw_register_encode(req, &bytes, &memfd));
        if (memfd.valid() && !seal) {
            // The same regions in a memfd that stays writable.
            std::vector<uint8_t> regions;
            for (const auto& region : req.regions)
                regions.insert(regions.end(), region.begin(), region.end());
            EXPECT_EQ(0, raw_memfd(regions, false, &memfd));
        }
        if (memfd.valid())
            fds.push_back(memfd.get());
        refusal_outcome out = send_refused(conn_.get(), bytes, fds);
        EXPECT_TRUE(is_reply(out.reply, VANTLES_MSG_REGISTER, 36, req.msg.head.msgh_bits,
                             MIG_BAD_ARGUMENTS));
        theirs.clear();
        memfd.reset();
        for (unique_fd& end : ours)
            EXPECT_TRUE(wait_hangup(end.get(), BLACKBOX_SETTLE_TIMEOUT_MS))
                << "a passed descriptor was kept";
        if (out.kind == refusal::closed)
            conn_ = connect_raw();
    }

    void TearDown() override {
        EXPECT_TRUE(answers_probe());
        EXPECT_TRUE(fd_count_returns(daemon_.pid, base_fds_, BLACKBOX_SETTLE_TIMEOUT_MS));
        DaemonTest::TearDown();
    }

    unique_fd conn_;
    int base_fds_ = 0;
};

std::vector<uint8_t> header_with_size(mach_msg_id_t id, uint32_t datagram, uint32_t msgh_size) {
    std::vector<uint8_t> bytes = raw_simple_request(id, datagram, BLACKBOX_BITS);
    if (datagram >= 8)
        memcpy(bytes.data() + 4, &msgh_size, 4);
    return bytes;
}

TEST_F(BadInput, TruncatedDatagramsCloseTheConnection) {
    expect_refused({});
    for (uint32_t size : {1u, 4u, 12u, 20u, 23u}) {
        SCOPED_TRACE(size);
        expect_refused(header_with_size(VANTLES_MSG_FLUSH, size, 24));
    }
}

TEST_F(BadInput, SizeFieldThatDisagreesWithTheDatagramIsBadArguments) {
    expect_refused(header_with_size(VANTLES_MSG_GET_VOLUME_UUID, 24, 36));
    expect_refused(header_with_size(VANTLES_MSG_PURGE_EVENTS, 44, 4000));
    expect_refused(header_with_size(VANTLES_MSG_FLUSH, 24, 0xFFFFFFF0u));
    expect_refused(header_with_size(VANTLES_MSG_UNREGISTER, 24, 8));
    expect_refused(raw_simple_request(VANTLES_MSG_FLUSH, 8192, BLACKBOX_BITS));  // over 4096
}

TEST_F(BadInput, DescriptorsOnSimpleMessageAreReleased) {
    unique_fd ours, theirs;
    ASSERT_EQ(0, raw_socketpair(&ours, &theirs));
    expect_refused(raw_simple_request(VANTLES_MSG_FLUSH, 24, BLACKBOX_BITS), {theirs.get()});
    theirs.reset();
    EXPECT_TRUE(wait_hangup(ours.get(), BLACKBOX_SETTLE_TIMEOUT_MS));
}

TEST_F(BadInput, PortDescriptorWithoutDescriptorIsBadArguments) {
    std::vector<std::string> paths = {"/tmp"};
    raw_register req;
    raw_register_build(&req, paths, {});
    std::vector<uint8_t> bytes;
    unique_fd memfd;
    ASSERT_EQ(0, raw_register_encode(req, &bytes, &memfd));
    expect_refused(bytes);
}

TEST_F(BadInput, MoreDescriptorsThanPortDescriptorsAreRefusedAndReleased) {
    std::vector<std::string> paths = {"/tmp"};
    raw_register req;
    raw_register_build(&req, paths, {});
    expect_register_refused(req, 3);
}

TEST_F(BadInput, InconsistentDescriptorsAreRefusedAndReleased) {
    std::vector<std::string> paths = {"/tmp"};
    raw_register req;
    {
        SCOPED_TRACE("descriptor count beyond the message");
        raw_register_build(&req, paths, {});
        req.msg.body.msgh_descriptor_count = 1000;
        expect_register_refused(req);
    }
    {
        SCOPED_TRACE("region size beyond the datagram");
        raw_register_build(&req, paths, {});
        req.msg.paths.size = 1000;
        req.msg.paths_blob_size = 1000;
        expect_register_refused(req);
    }
    {
        SCOPED_TRACE("region size of 2 GiB");
        raw_register_build(&req, paths, {});
        req.msg.paths.size = 0x80000000u;
        req.msg.paths_blob_size = 0x80000000u;
        expect_register_refused(req);
    }
    {
        SCOPED_TRACE("unknown descriptor type: the descriptors can not be walked");
        raw_register_build(&req, paths, {});
        req.msg.excludes.type = 7;
        expect_register_refused(req);
    }
}

TEST_F(BadInput, BrokenMemfdRegionsAreRefusedAndReleased) {
    std::vector<std::string> paths(100, std::string(1000, 'm'));
    raw_register req;
    {
        SCOPED_TRACE("memfd shorter than the regions");
        raw_register_build(&req, paths, {});
        req.msg.paths.size += 4096;
        req.msg.paths_blob_size += 4096;
        expect_register_refused(req);
    }
    {
        SCOPED_TRACE("unsealed memfd");
        raw_register_build(&req, paths, {});
        expect_register_refused(req, 1, false);
    }
    {
        SCOPED_TRACE("regions above the 64 MiB limit");
        raw_register_build(&req, paths, {});
        req.msg.paths.size = 65u << 20;
        req.msg.paths_blob_size = 65u << 20;
        req.regions[1].resize(65u << 20, 'z');
        expect_register_refused(req);
    }
}

TEST_F(BadInput, GarbageDatagramsLeaveTheDaemonServing) {
    std::mt19937 random(20240611);
    for (uint32_t size : {7u, 24u, 36u, 64u, 160u, 200u, 4096u}) {
        for (int round = 0; round < 20; round++) {
            std::vector<uint8_t> bytes(size);
            for (uint8_t& b : bytes)
                b = static_cast<uint8_t>(random());
            if (round % 2 == 0 && size >= 8)
                memcpy(bytes.data() + 4, &size, 4);  // a plausible size field
            refusal_outcome out = send_refused(conn_.get(), bytes);
            if (out.kind == refusal::closed)
                conn_ = connect_raw();
        }
    }
    EXPECT_TRUE(answers_probe());
}

TEST_F(BadInput, ForgedNoSendersNoticeOnPublicPortIsHarmless) {
    mach_no_senders_notification_t notice = {};
    notice.not_header = {BLACKBOX_BITS, sizeof notice, 0, 0, 0, MACH_NOTIFY_NO_SENDERS};
    notice.NDR = NDR_record;
    std::vector<uint8_t> bytes(sizeof notice);
    memcpy(bytes.data(), &notice, sizeof notice);
    refusal_outcome out = send_refused(conn_.get(), bytes);
    if (out.kind == refusal::answered)
        ADD_FAILURE() << "a reply of " << out.reply.bytes.size() << " bytes, id "
                      << field_at<mach_msg_header_t>(out.reply, 0).msgh_id;
}

TEST_F(BadInput, ClientLeavingBeforeItsSlowReplyIsForgotten) {
    {
        unique_fd slow = connect_raw();
        std::vector<uint8_t> req =
            raw_simple_request(VANTLES_MSG_GET_CURRENT_EVENT_ID, 24, BLACKBOX_BITS);
        ASSERT_EQ(0, raw_send(slow.get(), req.data(), req.size(), {}, BLACKBOX_SETTLE_TIMEOUT_MS));
    }
    // Served once the slow request is done with.
    raw_datagram reply = rpc(conn_.get(), raw_simple_request(VANTLES_MSG_FLUSH, 24, BLACKBOX_BITS));
    EXPECT_TRUE(is_reply(reply, VANTLES_MSG_FLUSH, 44, BLACKBOX_BITS, KERN_SUCCESS));
}

TEST_F(BadInput, ClientThatNeverReadsDoesNotBlockOthers) {
    constexpr int FLOOD_REQUESTS = 3000;
    unique_fd flood = connect_raw();
    std::atomic<int> sent{0};
    std::atomic<int> send_error{0};
    std::thread flooder([&] {
        std::vector<uint8_t> req = raw_simple_request(BLACKBOX_PROBE_ID, 24, BLACKBOX_BITS);
        while (sent < FLOOD_REQUESTS) {
            int err = raw_send(flood.get(), req.data(), req.size(), {}, 10000);
            if (err != 0) {
                send_error = err;
                return;
            }
            sent++;
        }
    });
    int probes = 0;
    while (sent < FLOOD_REQUESTS && send_error == 0) {
        raw_datagram reply;
        int err = raw_rpc(conn_.get(), raw_simple_request(BLACKBOX_PROBE_ID, 24, BLACKBOX_BITS),
                          10000, &reply);
        if (err != 0) {
            ADD_FAILURE() << "probe " << probes << " during the flood: " << strerror(err);
            break;
        }
        EXPECT_TRUE(is_reply(reply, BLACKBOX_PROBE_ID, 36, BLACKBOX_BITS, MIG_BAD_ID));
        probes++;
    }
    flooder.join();
    EXPECT_EQ(0, send_error.load()) << "the daemon stopped reading the flooding client";
    EXPECT_EQ(FLOOD_REQUESTS, sent.load());
    EXPECT_GT(probes, 0);
}

}  // namespace
