// Message round trips over a port pair, the memfd form of large regions, and the decoder's
// drop rules for malformed datagrams.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>

#include "platform/port.h"
#include "platform/port_wire.h"
#include "port_test_util.h"

namespace {

#pragma pack(push, 4)
struct complex_msg {
    mach_msg_header_t head;
    mach_msg_body_t body;
    mach_msg_port_descriptor_t port;
    mach_msg_ool_descriptor_t data;
    mach_msg_ool_descriptor_t empty;
    NDR_record_t ndr;
    uint32_t tail;
};
struct ool_msg {
    mach_msg_header_t head;
    mach_msg_body_t body;
    mach_msg_ool_descriptor_t data;
};
#pragma pack(pop)

struct pair_fixture : ::testing::Test {
    mach_port_t rcv = 0, snd = 0;
    receive_buffer buf;
    void SetUp() override { ASSERT_EQ(port_make_pair(&rcv, &snd), 0); }
    void TearDown() override {
        close(static_cast<int>(rcv));
        close(static_cast<int>(snd));
    }
};

using PortWire = pair_fixture;

TEST_F(PortWire, SimpleMessageArrivesWithCredentialTrailer) {
    struct {
        mach_msg_header_t head;
        uint32_t payload[2];
    } msg = {};
    msg.head = {0x13, sizeof msg, snd, 0, 0, 1234};
    msg.payload[0] = 0xdeadbeef;
    msg.payload[1] = 7;
    ASSERT_EQ(mach_msg_send(&msg.head, 0), KERN_SUCCESS);
    ASSERT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), KERN_SUCCESS);

    EXPECT_EQ(buf.head()->msgh_size, sizeof msg);
    EXPECT_EQ(buf.head()->msgh_id, 1234);
    EXPECT_EQ(buf.head()->msgh_local_port, rcv);
    EXPECT_EQ(buf.head()->msgh_remote_port, 0u);
    EXPECT_EQ(std::memcmp(buf.bytes + 24, msg.payload, sizeof msg.payload), 0);

    const mach_msg_audit_trailer_t* t = buf.trailer();
    EXPECT_EQ(t->msgh_trailer_type, MACH_MSG_TRAILER_FORMAT_0);
    EXPECT_EQ(t->msgh_trailer_size, MACH_MSG_TRAILER_AUDIT_SIZE);
    EXPECT_EQ(t->msgh_sender.val[0], getuid());
    EXPECT_EQ(t->msgh_sender.val[1], getgid());
    uint32_t euid, egid;
    int32_t pid;
    audit_token_to_au32(t->msgh_audit, nullptr, &euid, &egid, nullptr, nullptr, &pid, nullptr,
                        nullptr);
    EXPECT_EQ(euid, getuid());
    EXPECT_EQ(egid, getgid());
    EXPECT_EQ(pid, getpid());
}

TEST_F(PortWire, ComplexMessageCarriesRightAndRegions) {
    int other[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, other), 0);
    char region[100];
    for (size_t i = 0; i < sizeof region; ++i)
        region[i] = static_cast<char>(i * 7);

    complex_msg msg = {};
    msg.head = {0x80000013, sizeof msg, snd, 0, 0, 42};
    msg.body.msgh_descriptor_count = 3;
    msg.port = {static_cast<mach_port_t>(other[0]), 0, 0, MACH_MSG_TYPE_COPY_SEND,
                MACH_MSG_PORT_DESCRIPTOR};
    msg.data = {reinterpret_cast<uint64_t>(region),
                0,
                MACH_MSG_VIRTUAL_COPY,
                0,
                MACH_MSG_OOL_DESCRIPTOR,
                sizeof region};
    msg.empty = {0, 0, MACH_MSG_VIRTUAL_COPY, 0, MACH_MSG_OOL_DESCRIPTOR, 0};
    msg.ndr = NDR_record;
    msg.tail = 99;
    ASSERT_EQ(mach_msg_send(&msg.head, 0), KERN_SUCCESS);
    ASSERT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), KERN_SUCCESS);

    auto* got = reinterpret_cast<complex_msg*>(buf.bytes);
    // The disposition travels as sent; the name is the receiver's own new descriptor.
    EXPECT_EQ(got->port.disposition, MACH_MSG_TYPE_COPY_SEND);
    const int received = static_cast<int>(got->port.name);
    ASSERT_GT(received, 0);
    EXPECT_NE(received, other[0]);
    ASSERT_EQ(write(received, "x", 1), 1);
    char c = 0;
    EXPECT_EQ(read(other[1], &c, 1), 1);
    EXPECT_EQ(c, 'x');

    ASSERT_NE(got->data.address, 0u);
    EXPECT_NE(got->data.address, reinterpret_cast<uint64_t>(region));
    EXPECT_EQ(std::memcmp(reinterpret_cast<void*>(got->data.address), region, sizeof region), 0);
    EXPECT_EQ(got->empty.address, 0u);
    EXPECT_EQ(got->tail, 99u);

    mach_msg_destroy(buf.head());
    EXPECT_EQ(got->port.name, 0u);
    EXPECT_EQ(got->data.address, 0u);
    EXPECT_EQ(fcntl(received, F_GETFD), -1);  // the message's right was closed
    close(other[0]);
    close(other[1]);
}

TEST_F(PortWire, LargeRegionTravelsInSealedMemfd) {
    std::vector<uint8_t> region(1 << 20);
    for (size_t i = 0; i < region.size(); ++i)
        region[i] = static_cast<uint8_t>(i * 31 + 5);
    ool_msg msg = {};
    msg.head = {0x80000013, sizeof msg, snd, 0, 0, 7};
    msg.body.msgh_descriptor_count = 1;
    msg.data = {reinterpret_cast<uint64_t>(region.data()),
                0,
                MACH_MSG_VIRTUAL_COPY,
                0,
                MACH_MSG_OOL_DESCRIPTOR,
                static_cast<uint32_t>(region.size())};

    // On the wire: the message bytes alone, plus one sealed descriptor.
    ASSERT_EQ(mach_msg_send(&msg.head, 0), KERN_SUCCESS);
    std::vector<uint8_t> staging(PORT_MAX_DATAGRAM);
    port_datagram dg;
    ASSERT_EQ(port_recv_datagram(static_cast<int>(rcv), staging.data(), staging.size(), &dg), 0);
    EXPECT_EQ(dg.length, sizeof msg);
    ASSERT_EQ(dg.right_count, 1u);
    EXPECT_EQ(fcntl(dg.rights[0].get(), F_GET_SEALS) & (F_SEAL_SHRINK | F_SEAL_WRITE),
              F_SEAL_SHRINK | F_SEAL_WRITE);

    ASSERT_EQ(mach_msg_send(&msg.head, 0), KERN_SUCCESS);
    ASSERT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), KERN_SUCCESS);
    auto* got = reinterpret_cast<ool_msg*>(buf.bytes);
    ASSERT_EQ(got->data.size, region.size());
    EXPECT_EQ(std::memcmp(reinterpret_cast<void*>(got->data.address), region.data(), region.size()),
              0);
    mig_deallocate(got->data.address, got->data.size);
}

TEST_F(PortWire, UnsealedOrMisfitMemfdIsRejected) {
    constexpr uint32_t size = 70000;
    std::vector<uint8_t> bytes(size, 0x5a);
    ool_msg msg = {};
    msg.head = {0x80000013, sizeof msg, 0, 0, 0, 7};
    msg.body.msgh_descriptor_count = 1;
    msg.data = {0, 0, MACH_MSG_VIRTUAL_COPY, 0, MACH_MSG_OOL_DESCRIPTOR, size};

    struct variant {
        const char* name;
        int seals;
        uint32_t file_size;
    } variants[] = {
        {"unsealed", 0, size},
        {"writable", F_SEAL_SHRINK | F_SEAL_GROW, size},
        {"sealed but short", F_SEAL_SHRINK | F_SEAL_WRITE, size - 1},
    };
    for (const variant& v : variants) {
        int memfd = memfd_create("test", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        ASSERT_EQ(write(memfd, bytes.data(), v.file_size), static_cast<ssize_t>(v.file_size));
        if (v.seals) {
            ASSERT_EQ(fcntl(memfd, F_ADD_SEALS, v.seals), 0);
        }
        ASSERT_EQ(raw_send(static_cast<int>(snd), &msg, sizeof msg, {memfd}),
                  static_cast<ssize_t>(sizeof msg));
        close(memfd);
        EXPECT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), MACH_RCV_INVALID_DATA)
            << v.name;
    }
}

// One malformed datagram per case. Each carries one end of a fresh socketpair when the case
// needs descriptors; the receiver must close it (the other end then sees the hang-up), and a
// good message sent afterwards must still arrive intact.
TEST_F(PortWire, MalformedDatagramsAreDroppedWithTheirRights) {
    struct bad_case {
        const char* name;
        std::vector<uint8_t> bytes;
        int rights;
        kern_return_t expected;
    };
    auto header = [](uint32_t bits, uint32_t size, size_t length) {
        std::vector<uint8_t> b(length, 0);
        port_store_u32(b.data(), bits);
        port_store_u32(b.data() + 4, size);
        return b;
    };
    auto with_port = [&](uint32_t size, uint8_t type) {
        auto b = header(MACH_MSGH_BITS_COMPLEX, size, size);
        port_store_u32(b.data() + 24, 1);
        b[28 + 10] = MACH_MSG_TYPE_MOVE_SEND;
        b[28 + 11] = type;
        return b;
    };
    auto with_ool = [&](uint32_t region, size_t tail) {
        auto b = header(MACH_MSGH_BITS_COMPLEX, 44, 44 + tail);
        port_store_u32(b.data() + 24, 1);
        b[28 + 11] = MACH_MSG_OOL_DESCRIPTOR;
        port_store_u32(b.data() + 28 + 12, region);
        return b;
    };
    auto two_ports_in_one = header(MACH_MSGH_BITS_COMPLEX, 40, 40);
    port_store_u32(two_ports_in_one.data() + 24, 2);

    const std::vector<bad_case> cases = {
        {"shorter than a header", std::vector<uint8_t>(20, 0), 0, MACH_RCV_INVALID_DATA},
        {"empty datagram", {}, 0, MACH_RCV_INVALID_DATA},
        {"msgh_size below header", header(0, 16, 24), 0, MACH_RCV_INVALID_DATA},
        {"msgh_size beyond datagram", header(0, 40, 24), 0, MACH_RCV_INVALID_DATA},
        {"simple message with a descriptor", header(0, 24, 24), 1, MACH_RCV_INVALID_DATA},
        {"port descriptor without descriptor", with_port(40, MACH_MSG_PORT_DESCRIPTOR), 0,
         MACH_RCV_INVALID_DATA},
        {"port descriptor with two", with_port(40, MACH_MSG_PORT_DESCRIPTOR), 2,
         MACH_RCV_INVALID_DATA},
        {"unknown descriptor type", with_port(40, 2), 1, MACH_RCV_INVALID_DATA},
        {"descriptors past msgh_size", two_ports_in_one, 2, MACH_RCV_INVALID_DATA},
        {"complex without body", header(MACH_MSGH_BITS_COMPLEX, 24, 24), 0, MACH_RCV_INVALID_DATA},
        {"region shorter than declared", with_ool(10, 5), 0, MACH_RCV_INVALID_DATA},
        {"region longer than declared", with_ool(10, 11), 0, MACH_RCV_INVALID_DATA},
        {"region total over limit", with_ool(static_cast<uint32_t>(PORT_MAX_OOL_TOTAL + 1), 0), 0,
         MACH_RCV_INVALID_DATA},
        {"larger than the buffer", header(0, 4096, 4096), 0, MACH_RCV_TOO_LARGE},
        {"datagram over the inline limit", header(0, 24, PORT_MAX_DATAGRAM + 8), 0,
         MACH_RCV_TOO_LARGE},
    };

    for (const bad_case& c : cases) {
        std::vector<int> passed, kept;
        for (int i = 0; i < c.rights; ++i) {
            int sv[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
            passed.push_back(sv[0]);
            kept.push_back(sv[1]);
        }
        ASSERT_EQ(raw_send(static_cast<int>(snd), c.bytes.data(), c.bytes.size(), passed),
                  static_cast<ssize_t>(c.bytes.size()))
            << c.name;
        for (int fd : passed)
            close(fd);

        EXPECT_EQ(mach_msg_receive(rcv, buf.head(), 4096, 1000), c.expected) << c.name;
        for (int fd : kept) {
            EXPECT_TRUE(peer_closed(fd)) << c.name << ": a received descriptor was kept";
            close(fd);
        }

        mach_msg_header_t good = {0, sizeof good, snd, 0, 0, 555};
        ASSERT_EQ(mach_msg_send(&good, 0), KERN_SUCCESS);
        ASSERT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), KERN_SUCCESS)
            << c.name;
        EXPECT_EQ(buf.head()->msgh_id, 555) << c.name;
    }
}

TEST_F(PortWire, ReceiveReportsTimeoutAndDeadPeer) {
    EXPECT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 20), MACH_RCV_TIMED_OUT);
    // Queued messages are still delivered after the sender is gone; then the port is dead.
    mach_msg_header_t msg = {0, sizeof msg, snd, 0, 0, 9};
    ASSERT_EQ(mach_msg_send(&msg, 0), KERN_SUCCESS);
    close(static_cast<int>(snd));
    snd = static_cast<mach_port_t>(open("/dev/null", O_RDONLY | O_CLOEXEC));  // for TearDown
    EXPECT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), KERN_SUCCESS);
    EXPECT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), MACH_RCV_PORT_DIED);
}

}  // namespace
