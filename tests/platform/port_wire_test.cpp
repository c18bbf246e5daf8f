// The receiver's drop rules for malformed datagrams, and its timeout and dead-peer results.
// Well-formed messages (trailer, rights, inline and memfd regions) travel in every black-box
// request and reply.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>

#include "platform/port.h"
#include "platform/port_wire.h"
#include "port_test_util.h"

namespace {

struct PortWire : ::testing::Test {
    mach_port_t rcv = 0, snd = 0;
    receive_buffer buf;
    void SetUp() override { ASSERT_EQ(port_make_pair(&rcv, &snd), 0); }
    void TearDown() override {
        close(static_cast<int>(rcv));
        close(static_cast<int>(snd));
    }
    // A header-only message still gets through after whatever came before.
    void expect_good_message_arrives(const char* after) {
        mach_msg_header_t good = {0, sizeof good, snd, 0, 0, 555};
        ASSERT_EQ(mach_msg_send(&good, 0), KERN_SUCCESS) << after;
        ASSERT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), KERN_SUCCESS) << after;
        EXPECT_EQ(buf.head()->msgh_id, 555) << after;
        EXPECT_EQ(buf.head()->msgh_size, sizeof good) << after;
    }
};

// One malformed datagram per row, carrying one end of a fresh socketpair per right: the
// receiver must refuse it, close what it carried (the kept end sees the hang-up), and still
// deliver the next good message.
TEST_F(PortWire, MalformedDatagramsAreDroppedWithTheirRights) {
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

    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        int rights;
        kern_return_t expected;
    } cases[] = {
        {"shorter than a header", std::vector<uint8_t>(23, 0), 0, MACH_RCV_INVALID_DATA},
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
    for (const auto& c : cases) {
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
        expect_good_message_arrives(c.name);
    }

    // A large region's memfd must be sealed against writes and shrinking and hold the region.
    constexpr uint32_t size = 70000;
    std::vector<uint8_t> ool = with_ool(size, 0);
    const struct {
        const char* name;
        int seals;
        uint32_t file_size;
    } memfds[] = {
        {"unsealed memfd", 0, size},
        {"writable memfd", F_SEAL_SHRINK | F_SEAL_GROW, size},
        {"sealed but short memfd", F_SEAL_SHRINK | F_SEAL_WRITE, size - 1},
    };
    std::vector<uint8_t> bytes(size, 0x5a);
    for (const auto& m : memfds) {
        int memfd = memfd_create("test", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        ASSERT_EQ(write(memfd, bytes.data(), m.file_size), static_cast<ssize_t>(m.file_size));
        if (m.seals) {
            ASSERT_EQ(fcntl(memfd, F_ADD_SEALS, m.seals), 0);
        }
        ASSERT_EQ(raw_send(static_cast<int>(snd), ool.data(), ool.size(), {memfd}),
                  static_cast<ssize_t>(ool.size()));
        close(memfd);
        EXPECT_EQ(mach_msg_receive(rcv, buf.head(), sizeof buf.bytes, 1000), MACH_RCV_INVALID_DATA)
            << m.name;
        expect_good_message_arrives(m.name);
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
