// Message format shared by every sender and receiver: the header, descriptors, NDR record and
// receive trailer, the port dispositions and the result codes of the messaging layer.
//
// Every message travels byte for byte in this layout over AF_UNIX sequenced-packet sockets
// (see port.h). Integers are little-endian and the structures are packed to 4 bytes, so a
// 64-bit field may sit on a 4-byte boundary. Constants and structs only; no code.
#pragma once

#include <cstdint>

using mach_port_t = uint32_t;   // a port name: a descriptor number in this process, 0 = none
using kern_return_t = int32_t;  // 0 or one of the codes below
using mach_msg_bits_t = uint32_t;
using mach_msg_size_t = uint32_t;
using mach_msg_id_t = int32_t;
using mach_msg_timeout_t = uint32_t;  // milliseconds

constexpr mach_port_t MACH_PORT_NULL = 0;

// Result codes.
constexpr kern_return_t KERN_SUCCESS = 0;
constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
constexpr kern_return_t KERN_FAILURE = 5;
constexpr kern_return_t KERN_RESOURCE_SHORTAGE = 6;
constexpr kern_return_t KERN_INVALID_NAME = 15;
constexpr kern_return_t KERN_INVALID_RIGHT = 17;
constexpr kern_return_t MACH_SEND_INVALID_DATA = 0x10000002;
constexpr kern_return_t MACH_SEND_INVALID_DEST = 0x10000003;
constexpr kern_return_t MACH_SEND_TIMED_OUT = 0x10000004;
constexpr kern_return_t MACH_SEND_MSG_TOO_SMALL = 0x10000008;
constexpr kern_return_t MACH_SEND_INVALID_RIGHT = 0x10000007;
constexpr kern_return_t MACH_SEND_NO_BUFFER = 0x1000000D;
constexpr kern_return_t MACH_SEND_TOO_LARGE = 0x1000000A;
constexpr kern_return_t MACH_RCV_TIMED_OUT = 0x10004003;
constexpr kern_return_t MACH_RCV_TOO_LARGE = 0x10004004;
constexpr kern_return_t MACH_RCV_PORT_DIED = 0x10004009;
constexpr kern_return_t MACH_RCV_INVALID_DATA = 0x10004008;
constexpr kern_return_t MACH_RCV_INVALID_NAME = 0x10004002;

// Check-in results (besides an errno value from the socket calls).
constexpr kern_return_t BOOTSTRAP_NOT_PRIVILEGED = 1100;
constexpr kern_return_t BOOTSTRAP_SERVICE_ACTIVE = 1103;

// Interface-generator codes answered by request stubs.
constexpr kern_return_t MIG_TYPE_ERROR = -300;
constexpr kern_return_t MIG_BAD_ID = -303;
constexpr kern_return_t MIG_BAD_ARGUMENTS = -304;
constexpr kern_return_t MIG_TRAILER_ERROR = -309;

// Header bits.
constexpr mach_msg_bits_t MACH_MSGH_BITS_COMPLEX = 0x80000000u;
constexpr mach_msg_bits_t MACH_MSGH_BITS_REMOTE_MASK = 0x1Fu;

// Port dispositions carried in descriptors and header bits.
constexpr uint8_t MACH_MSG_TYPE_MOVE_RECEIVE = 16;
constexpr uint8_t MACH_MSG_TYPE_MOVE_SEND = 17;
constexpr uint8_t MACH_MSG_TYPE_MOVE_SEND_ONCE = 18;
constexpr uint8_t MACH_MSG_TYPE_COPY_SEND = 19;
constexpr uint8_t MACH_MSG_TYPE_MAKE_SEND = 20;
constexpr uint8_t MACH_MSG_TYPE_MAKE_SEND_ONCE = 21;

// Descriptor types (the byte at offset 11 of every descriptor).
constexpr uint8_t MACH_MSG_PORT_DESCRIPTOR = 0;
constexpr uint8_t MACH_MSG_OOL_DESCRIPTOR = 1;

constexpr uint8_t MACH_MSG_VIRTUAL_COPY = 1;

// Port rights named by mach_port_allocate and mach_port_mod_refs.
constexpr uint32_t MACH_PORT_RIGHT_SEND = 0;
constexpr uint32_t MACH_PORT_RIGHT_RECEIVE = 1;
constexpr uint32_t MACH_PORT_RIGHT_PORT_SET = 3;

// The kernel's notice that the last send right to a receive right is gone.
constexpr mach_msg_id_t MACH_NOTIFY_NO_SENDERS = 70;

// Receive options of the request server: format-0 trailer with the audit token.
constexpr uint32_t MACH_RCV_TRAILER_AUDIT_OPTIONS = 0x03000000u;
constexpr uint32_t MACH_MSG_TRAILER_FORMAT_0 = 0;

constexpr mach_msg_timeout_t MACH_MSG_TIMEOUT_NONE = 0;

#pragma pack(push, 4)

struct mach_msg_header_t {
    mach_msg_bits_t msgh_bits;
    mach_msg_size_t msgh_size;     // bytes of the message without trailer
    mach_port_t msgh_remote_port;  // request: reply token; reply: destination
    mach_port_t msgh_local_port;   // received request: the port it arrived on
    mach_port_t msgh_voucher_port;
    mach_msg_id_t msgh_id;
};
static_assert(sizeof(mach_msg_header_t) == 24);

struct mach_msg_body_t {
    uint32_t msgh_descriptor_count;
};

struct mach_msg_port_descriptor_t {
    mach_port_t name;
    uint32_t pad1;
    uint16_t pad2;
    uint8_t disposition;
    uint8_t type;  // MACH_MSG_PORT_DESCRIPTOR
};
static_assert(sizeof(mach_msg_port_descriptor_t) == 12);

struct mach_msg_ool_descriptor_t {
    uint64_t address;  // 0 on the wire; the receiver's copy once received
    uint8_t deallocate;
    uint8_t copy;
    uint8_t pad1;
    uint8_t type;  // MACH_MSG_OOL_DESCRIPTOR
    uint32_t size;
};
static_assert(sizeof(mach_msg_ool_descriptor_t) == 16);

struct NDR_record_t {
    uint8_t mig_vers, if_vers, reserved1, mig_encoding;
    uint8_t int_rep, char_rep, float_rep, reserved2;
};
static_assert(sizeof(NDR_record_t) == 8);

// Little-endian integers, ASCII, IEEE floats.
inline constexpr NDR_record_t NDR_record = {0, 0, 0, 0, 1, 0, 0, 0};

struct security_token_t {
    uint32_t val[2];  // effective uid, effective gid
};

struct audit_token_t {
    uint32_t val[8];  // auid, euid, egid, ruid, rgid, pid, asid, pidversion
};

// The receive trailer appended behind every received message.
struct mach_msg_audit_trailer_t {
    uint32_t msgh_trailer_type;  // MACH_MSG_TRAILER_FORMAT_0
    uint32_t msgh_trailer_size;  // 52 when credentials came with the datagram, else 0
    uint32_t msgh_seqno;
    security_token_t msgh_sender;
    audit_token_t msgh_audit;
};
static_assert(sizeof(mach_msg_audit_trailer_t) == 52);

// The no-senders notice (id 70) that the transport synthesises on hang-up of a private port.
struct mach_no_senders_notification_t {
    mach_msg_header_t not_header;
    NDR_record_t NDR;
    uint32_t not_count;
};
static_assert(sizeof(mach_no_senders_notification_t) == 36);

#pragma pack(pop)

constexpr mach_msg_size_t MACH_MSG_TRAILER_AUDIT_SIZE = sizeof(mach_msg_audit_trailer_t);

// Round a message size up to the 4-byte boundary where its trailer starts.
constexpr mach_msg_size_t mach_msg_round(mach_msg_size_t size) {
    return (size + 3u) & ~3u;
}
