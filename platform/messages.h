// Request, reply and event message layouts of the daemon's IPC interface: routine ids, sizes
// and packed structs shared byte for byte by the daemon, the client library and test clients.
// Offsets in the comments are from the start of the message.
#pragma once

#include "platform/mach_msg.h"

#include <cstddef>

constexpr mach_msg_id_t VANTLES_MSG_REGISTER = 66000;
constexpr mach_msg_id_t VANTLES_MSG_FLUSH = 66001;
constexpr mach_msg_id_t VANTLES_MSG_GET_VOLUME_UUID = 66002;
constexpr mach_msg_id_t VANTLES_MSG_GET_CURRENT_EVENT_ID = 66003;
constexpr mach_msg_id_t VANTLES_MSG_GET_EVENT_ID_FOR_TIME = 66004;
constexpr mach_msg_id_t VANTLES_MSG_PURGE_EVENTS = 66005;
constexpr mach_msg_id_t VANTLES_MSG_UNREGISTER = 66006;
constexpr mach_msg_id_t VANTLES_MSG_SYNC_VOLUME = 66007;
constexpr mach_msg_id_t VANTLES_MSG_GET_VOLUME_WATCH = 66008;
constexpr mach_msg_id_t VANTLES_MSG_FIRST = 66000;
constexpr mach_msg_id_t VANTLES_MSG_END = 66009;  // one past the last routine
constexpr mach_msg_id_t VANTLES_MSG_REPLY_OFFSET = 100;
constexpr mach_msg_id_t VANTLES_MSG_EVENTS = 67000;  // daemon -> client, no reply

constexpr mach_msg_size_t VANTLES_MAX_REPLY_SIZE = 104;
constexpr mach_msg_size_t VANTLES_MAX_REQUEST_SIZE = 4096;  // server receive limit

// "Now": a since-when without history.
constexpr uint64_t VANTLES_SINCE_NOW = 0xFFFFFFFFFFFFFFFFull;

// Results of register besides the kern codes.
constexpr kern_return_t VANTLES_REGISTER_NO_MEMORY = -20;
constexpr kern_return_t VANTLES_REGISTER_NO_CLIENT = -21;
constexpr kern_return_t VANTLES_REGISTER_BAD_ARGS = -22;
// A since-when above the current event id: an id this daemon never gave out (a resume that
// would hide every change up to it).
constexpr kern_return_t VANTLES_REGISTER_FUTURE_ID = -23;

// Result of sync-volume when the daemon could not make sure in time that it has read every
// change made before the request (the kernel's queue never ran dry under a storm), or has too
// many syncs of the sender waiting.
constexpr kern_return_t VANTLES_SYNC_TIMED_OUT = 49;
constexpr kern_return_t VANTLES_SYNC_BUSY = 6;

// Result of purge when the daemon is not ready or the volume keeps no history.
constexpr uint32_t VANTLES_PURGE_NO_HISTORY = 0xFFFFFFFFu;

// Create flags of register.
constexpr uint32_t VANTLES_CREATE_NO_DEFER = 0x02;
constexpr uint32_t VANTLES_CREATE_IGNORE_SELF = 0x08;
constexpr uint32_t VANTLES_CREATE_FILE_EVENTS = 0x10;
constexpr uint32_t VANTLES_CREATE_MARK_SELF = 0x20;

// Text of a volume uuid reply: 36 characters, no terminator when a uuid fills it.
constexpr size_t VANTLES_UUID_TEXT_SIZE = 36;

#pragma pack(push, 4)

// 66000, complex, msgh_size 160.
struct register_request_t {
    mach_msg_header_t head;                     // 0
    mach_msg_body_t body;                       // 24: descriptor count 5
    mach_msg_port_descriptor_t callback;        // 28: MOVE_SEND of the client's event port
    mach_msg_ool_descriptor_t path_offsets;     // 40: one u32 per watched path
    mach_msg_ool_descriptor_t paths;            // 56: NUL-terminated watched paths
    mach_msg_ool_descriptor_t exclude_offsets;  // 72
    mach_msg_ool_descriptor_t excludes;         // 88
    NDR_record_t NDR;                           // 104
    uint32_t device;                            // 112: 0 = absolute paths
    uint32_t num_paths;                         // 116
    uint32_t path_offset_count;                 // 120: = region 1 size / 4
    uint32_t paths_blob_size;                   // 124: = region 2 size
    uint32_t num_excludes;                      // 128
    uint32_t exclude_offset_count;              // 132: = region 3 size / 4
    uint32_t exclude_blob_size;                 // 136: = region 4 size
    uint64_t latency;                           // 140: microseconds
    uint32_t create_flags;                      // 148
    uint64_t since_when;                        // 152
};
static_assert(sizeof(register_request_t) == 160);
static_assert(offsetof(register_request_t, NDR) == 104);
static_assert(offsetof(register_request_t, since_when) == 152);

// Reply to 66000 on success: complex, 40 bytes, the private port as MAKE_SEND.
struct register_reply_t {
    mach_msg_header_t head;
    mach_msg_body_t body;                     // 24: 1
    mach_msg_port_descriptor_t private_port;  // 28
};
static_assert(sizeof(register_reply_t) == 40);

// 66001, 66003, 66006: header only.
struct simple_request_t {
    mach_msg_header_t head;
};

// 66002, msgh_size 36.
struct get_volume_uuid_request_t {
    mach_msg_header_t head;
    NDR_record_t NDR;
    uint32_t device;  // 32
};
static_assert(sizeof(get_volume_uuid_request_t) == 36);

// 66007 (sync volume) and 66008 (volume watch): the layout of 66002, msgh_size 36.
using sync_volume_request_t = get_volume_uuid_request_t;
using get_volume_watch_request_t = get_volume_uuid_request_t;

// Text of a volume watch reply's reason: at most 63 characters and a NUL.
constexpr size_t VANTLES_WATCH_REASON_SIZE = 64;

// 66004, msgh_size 44.
struct get_event_id_for_time_request_t {
    mach_msg_header_t head;
    NDR_record_t NDR;
    uint32_t device;  // 32
    int64_t time;     // 36: seconds since the epoch
};
static_assert(sizeof(get_event_id_for_time_request_t) == 44);

// 66005, msgh_size 44.
struct purge_events_request_t {
    mach_msg_header_t head;
    NDR_record_t NDR;
    uint32_t device;    // 32
    uint64_t event_id;  // 36: all ones = no bound
};
static_assert(sizeof(purge_events_request_t) == 44);

// Every refused or failed request, and 66006 on success: 36 bytes.
struct error_reply_t {
    mach_msg_header_t head;
    NDR_record_t NDR;        // 24
    kern_return_t ret_code;  // 32
};
static_assert(sizeof(error_reply_t) == 36);

// 66001, 66003, 66004: 44 bytes.
struct event_id_reply_t {
    mach_msg_header_t head;
    NDR_record_t NDR;
    kern_return_t ret_code;
    uint64_t event_id;  // 36
};
static_assert(sizeof(event_id_reply_t) == 44);

// 66002: 72 bytes.
struct volume_uuid_reply_t {
    mach_msg_header_t head;
    NDR_record_t NDR;
    kern_return_t ret_code;
    char uuid[VANTLES_UUID_TEXT_SIZE];  // 36
};
static_assert(sizeof(volume_uuid_reply_t) == 72);

// 66007: 80 bytes. event_id: the current event id once every change made before the request
// has been read and routed; uuid: the history uuid of the request's volume, as for 66002.
struct sync_volume_reply_t {
    mach_msg_header_t head;
    NDR_record_t NDR;
    kern_return_t ret_code;
    uint64_t event_id;                  // 36
    char uuid[VANTLES_UUID_TEXT_SIZE];  // 44
};
static_assert(sizeof(sync_volume_reply_t) == 80);

// 66008: 104 bytes. kind: how the daemon watches the volume (1 whole, 2 through its upper
// layer, 3 not at all, 0 unknown); reason: why not, NUL-terminated.
struct volume_watch_reply_t {
    mach_msg_header_t head;
    NDR_record_t NDR;
    kern_return_t ret_code;
    uint32_t kind;                           // 36
    char reason[VANTLES_WATCH_REASON_SIZE];  // 40
};
static_assert(sizeof(volume_watch_reply_t) == 104);

// 66005: 40 bytes.
struct purge_events_reply_t {
    mach_msg_header_t head;
    NDR_record_t NDR;
    kern_return_t ret_code;
    uint32_t result;  // 36
};
static_assert(sizeof(purge_events_reply_t) == 40);

// 67000, complex, 120 bytes: a batch of events as four parallel out-of-line arrays.
struct events_message_t {
    mach_msg_header_t head;                  // bits 0x80000013
    mach_msg_body_t body;                    // 24: 4
    mach_msg_ool_descriptor_t path_offsets;  // 28: u32 offset per event into paths
    mach_msg_ool_descriptor_t flags;         // 44: u32 per event
    mach_msg_ool_descriptor_t ids;           // 60: u64 per event
    mach_msg_ool_descriptor_t paths;         // 76: NUL-terminated paths back to back
    NDR_record_t NDR;                        // 92
    uint32_t num_events;                     // 100
    uint32_t offset_count;                   // 104
    uint32_t flag_count;                     // 108
    uint32_t id_count;                       // 112
    uint32_t paths_blob_size;                // 116
};
static_assert(sizeof(events_message_t) == 120);

#pragma pack(pop)

// Request sizes of the simple routines 66001..66008, indexed by id - 66001.
inline constexpr mach_msg_size_t VANTLES_SIMPLE_REQUEST_SIZES[8] = {24, 36, 24, 44, 44, 24, 36, 36};
