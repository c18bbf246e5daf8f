// The byte format of kernel event records and of the event device's clone request: constants
// and packed structs only. Records are native byte order, packed, back to back in the stream:
//   header (type word, pid), arguments (type, length, data), 2-byte terminator KREC_ARG_DONE.
// A dropped-events record (KREC_TYPE_DROPPED) is a header and a bare terminator, 10 bytes; one
// for a single volume also carries the volume's device (a device or file-information argument).
#pragma once

#include <cstddef>
#include <cstdint>

// Type word: bits 0-11 the event type, bits 12-15 record flags.
constexpr uint32_t KREC_TYPE_MASK = 0x0fff;
constexpr uint32_t KREC_FLAG_MASK = 0xf000;
constexpr uint32_t KREC_FLAG_DIR_LEVEL = 0x2000;  // directory-level event (extended info only)

// Event types; the event flag for type t is 1 << t.
constexpr uint32_t KREC_TYPE_CREATE_FILE = 0;
constexpr uint32_t KREC_TYPE_DELETE = 1;
constexpr uint32_t KREC_TYPE_STAT_CHANGED = 2;
constexpr uint32_t KREC_TYPE_RENAME = 3;  // old path + info, then new path + info
constexpr uint32_t KREC_TYPE_CONTENT_MODIFIED = 4;
constexpr uint32_t KREC_TYPE_EXCHANGE = 5;
constexpr uint32_t KREC_TYPE_INFO_CHANGED = 6;
constexpr uint32_t KREC_TYPE_CREATE_DIR = 7;
constexpr uint32_t KREC_TYPE_CHOWN = 8;
constexpr uint32_t KREC_TYPE_XATTR_MODIFIED = 9;
constexpr uint32_t KREC_TYPE_XATTR_REMOVED = 10;
constexpr uint32_t KREC_TYPE_DOCID_CREATED = 11;
constexpr uint32_t KREC_TYPE_DOCID_CHANGED = 12;
constexpr int KREC_NUM_TYPES = 13;
constexpr uint32_t KREC_TYPE_DROPPED = 999;  // the device lost events (of one volume, or all)
// A sync marker of the source's own (header and terminator, the marker's number in the pid
// field): every event the kernel queued before the marker was made comes before it.
constexpr uint32_t KREC_TYPE_SYNC = 998;

// Argument type codes (2 bytes). Types not listed here are skipped by their length.
constexpr uint16_t KREC_ARG_PATH = 1;        // NUL-terminated absolute path
constexpr uint16_t KREC_ARG_PATH_ALT = 2;    // NUL-terminated absolute path
constexpr uint16_t KREC_ARG_INT64 = 5;       // 8-byte signed integer (document id)
constexpr uint16_t KREC_ARG_INODE = 7;       // 4- or 8-byte inode number, by length
constexpr uint16_t KREC_ARG_DEV = 9;         // 4-byte device number
constexpr uint16_t KREC_ARG_MODE = 10;       // 4-byte mode (file type, link bits)
constexpr uint16_t KREC_ARG_FILE_INFO = 12;  // krec_file_info
constexpr uint16_t KREC_ARG_DONE = 0xB33F;   // terminator: 2 bytes, no length field

// Data sizes of the fixed-size arguments.
constexpr uint16_t KREC_INT64_SIZE = 8;
constexpr uint16_t KREC_INODE32_SIZE = 4;
constexpr uint16_t KREC_INODE64_SIZE = 8;
constexpr uint16_t KREC_DEV_SIZE = 4;
constexpr uint16_t KREC_MODE_SIZE = 4;

// Bits of a mode word beyond the file type and permissions.
constexpr uint32_t KREC_MODE_TYPE_MASK = 0xF000;
constexpr uint32_t KREC_MODE_DIR = 0x4000;
constexpr uint32_t KREC_MODE_FILE = 0x8000;
constexpr uint32_t KREC_MODE_SYMLINK = 0xA000;
constexpr uint32_t KREC_MODE_DIR_LEVEL = 0x20000000;      // the whole path is the directory
constexpr uint32_t KREC_MODE_LAST_HARDLINK = 0x40000000;  // last link of a hard-linked item
constexpr uint32_t KREC_MODE_HARDLINK = 0x80000000;       // item has several links

#pragma pack(push, 1)

struct krec_header {
    uint32_t type;  // event type | record flags
    int32_t pid;    // process that caused the event
};

struct krec_arg_header {
    uint16_t type;  // KREC_ARG_*
    uint16_t len;   // data bytes that follow
};

// Data of a KREC_ARG_FILE_INFO argument. Readers use dev and mode only.
struct krec_file_info {
    uint64_t inode;
    uint32_t dev;   // 32-bit device number of the item's volume
    uint32_t mode;  // st_mode plus the KREC_MODE_* link bits
    uint32_t uid;
    uint32_t gid;
};

// Argument of the clone request, 24 bytes.
struct krec_clone_args {
    const int8_t* actions;  // one action per event type, types 0.. in order
    int32_t num_types;      // entries in actions
    int32_t queue_depth;    // events the device may hold for the clone (advisory on Linux)
    int32_t* fd_out;        // receives the cloned descriptor
};

#pragma pack(pop)

constexpr uint32_t KREC_HEADER_SIZE = sizeof(krec_header);          // 8
constexpr uint32_t KREC_ARG_HEADER_SIZE = sizeof(krec_arg_header);  // 4
constexpr uint32_t KREC_DONE_SIZE = 2;
constexpr uint32_t KREC_DROPPED_SIZE = KREC_HEADER_SIZE + KREC_DONE_SIZE;  // 10
constexpr uint16_t KREC_FILE_INFO_SIZE = sizeof(krec_file_info);           // 24
constexpr uint32_t KREC_FILE_INFO_DEV_OFFSET = 8;
constexpr uint32_t KREC_FILE_INFO_MODE_OFFSET = 12;

static_assert(sizeof(krec_header) == 8);
static_assert(sizeof(krec_arg_header) == 4);
static_assert(sizeof(krec_file_info) == 24);
static_assert(offsetof(krec_file_info, dev) == KREC_FILE_INFO_DEV_OFFSET);
static_assert(offsetof(krec_file_info, mode) == KREC_FILE_INFO_MODE_OFFSET);
static_assert(sizeof(krec_clone_args) == 24, "clone record layout is for 64-bit pointers");

// Clone actions and the daemon's request.
constexpr int8_t KREC_ACTION_IGNORE = 0;
constexpr int8_t KREC_ACTION_REPORT = 1;
constexpr int32_t KREC_DEFAULT_QUEUE_DEPTH = 8192;

// Control requests: clone (on the opened device, write direction, 24-byte argument, group 's'
// number 1), then on the clone, without argument: compact records (101), extended info (102).
constexpr unsigned long KREC_IOC_CLONE = 0x80187301;
constexpr unsigned long KREC_IOC_COMPACT = 0x20007365;
constexpr unsigned long KREC_IOC_EXTENDED_INFO = 0x20007366;
