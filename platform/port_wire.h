// The datagram form of a message, shared by the send path, the server loop and the client
// receive: descriptor walking, receiving one datagram with its rights and credentials, and
// decoding it into a caller's buffer. Internal to platform/.
#pragma once

#include "platform/mach_msg.h"
#include "platform/port.h"
#include "platform/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/types.h>

// Unaligned little-endian field access into message bytes (fields of the packed layouts may
// sit on any 4-byte boundary, and staging buffers are plain bytes).
inline uint32_t port_load_u32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline uint64_t port_load_u64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void port_store_u32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, sizeof v);
}
inline void port_store_u64(uint8_t* p, uint64_t v) {
    std::memcpy(p, &v, sizeof v);
}

// Where the descriptors start in a complex message, and their two sizes.
constexpr size_t PORT_BODY_OFFSET = sizeof(mach_msg_header_t);
constexpr size_t PORT_FIRST_DESCRIPTOR = PORT_BODY_OFFSET + sizeof(mach_msg_body_t);
constexpr size_t PORT_PORT_DESCRIPTOR_SIZE = sizeof(mach_msg_port_descriptor_t);
constexpr size_t PORT_OOL_DESCRIPTOR_SIZE = sizeof(mach_msg_ool_descriptor_t);
// The descriptor type byte sits at the same offset in both descriptor kinds.
constexpr size_t PORT_DESCRIPTOR_TYPE_OFFSET = 11;

// Offsets inside a descriptor.
constexpr size_t PORT_DESCRIPTOR_DISPOSITION_OFFSET = 10;
constexpr size_t PORT_OOL_SIZE_OFFSET = 12;

// Offset of the return code in a simple reply.
constexpr size_t PORT_REPLY_RETCODE_OFFSET = 32;

// What the descriptors of a message add up to.
struct port_layout {
    uint32_t descriptors = 0;
    uint32_t ports = 0;
    uint64_t ool_total = 0;
};

// Walks the descriptors of the size message bytes at msg (a simple message has none).
// 0, or EINVAL when the descriptors run past size or one has an unknown type.
int port_scan_layout(const uint8_t* msg, size_t size, port_layout* out);

// Calls visit(offset, type) for every descriptor of a message that port_scan_layout accepted.
template <typename F>
void port_for_each_descriptor(const uint8_t* msg, uint32_t count, F visit) {
    size_t offset = PORT_FIRST_DESCRIPTOR;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t type = msg[offset + PORT_DESCRIPTOR_TYPE_OFFSET];
        visit(offset, type);
        offset +=
            type == MACH_MSG_PORT_DESCRIPTOR ? PORT_PORT_DESCRIPTOR_SIZE : PORT_OOL_DESCRIPTOR_SIZE;
    }
}

// One datagram as recvmsg left it. Owns the descriptors that came with it.
struct port_datagram {
    size_t length = 0;
    int msg_flags = 0;
    bool rights_lost = false;  // a descriptor could not be kept (too many, or no free
                               // number); the ones that were kept are closed on drop
    unique_fd rights[PORT_MAX_RIGHTS];
    size_t right_count = 0;
    bool has_credentials = false;
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Receives one datagram from fd without waiting, into staging (staging_size bytes).
// 0 (a datagram, possibly empty, or end of stream: length 0 and no rights), or an errno value
// (EAGAIN when nothing is queued).
int port_recv_datagram(int fd, uint8_t* staging, size_t staging_size, port_datagram* dg);

// Lays out the datagram in staging as a received message in buffer (buffer_size bytes, trailer
// included), accepting at most max_size message bytes. On success the message owns the
// datagram's rights and region copies and the trailer follows it; on failure everything the
// datagram carried is released. 0, MACH_RCV_TOO_LARGE or MACH_RCV_INVALID_DATA.
kern_return_t port_decode(const uint8_t* staging, port_datagram* dg, mach_msg_header_t* buffer,
                          size_t buffer_size, size_t max_size);

// Writes the trailer of a message of size bytes that the system itself originated (the
// no-senders notice): format 0, full size, all-zero identity.
void port_write_system_trailer(mach_msg_header_t* msg);

// Sends msg on the socket fd. timeout_ms < 0 waits for room for ever, 0 not at all. Results
// and the moving of rights as mach_msg_send.
kern_return_t port_send_on(int fd, const mach_msg_header_t* msg, int timeout_ms);

// Receives one message from fd (named local in the received header) into buffer.
// timeout_ms < 0 waits for ever. Results as mach_msg_receive.
kern_return_t port_receive_on(int fd, mach_port_t local, mach_msg_header_t* buffer,
                              size_t buffer_size, int timeout_ms);

// Releases what an unsent message holds, as a failed send leaves it: MOVE_SEND rights are
// closed, a MAKE_SEND's end B is closed (so its port reports no senders), COPY_SEND rights
// and regions stay with their owner.
void port_destroy_unsent(mach_msg_header_t* msg);
