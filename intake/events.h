// Events as the intake hands them on: the event flag word, the pending-event record shared by
// every client ring that holds it, and the shape of the sink that receives decoded events.
//
// Bits 0x1 to 0x1000 are the 13 kernel event types (flag = 1 << type, types as in
// platform/kernel_records.h); the rest describe the item and the notices the daemon makes.
#pragma once

#include "platform/kernel_records.h"

#include <atomic>
#include <cstdint>

// Kernel event types.
constexpr uint32_t EVENT_CREATE_FILE = 0x1;        // a file was created
constexpr uint32_t EVENT_DELETE = 0x2;             // an item was removed
constexpr uint32_t EVENT_STAT_CHANGED = 0x4;       // status information changed
constexpr uint32_t EVENT_RENAME = 0x8;             // renamed (old and new path)
constexpr uint32_t EVENT_CONTENT_MODIFIED = 0x10;  // a file's contents changed
constexpr uint32_t EVENT_EXCHANGE = 0x20;          // two files exchanged contents
constexpr uint32_t EVENT_INFO_CHANGED = 0x40;      // file information block changed
constexpr uint32_t EVENT_CREATE_DIR = 0x80;        // a directory was created
constexpr uint32_t EVENT_CHOWN = 0x100;            // ownership changed
constexpr uint32_t EVENT_XATTR_MODIFIED = 0x200;   // extended attribute or named fork changed
constexpr uint32_t EVENT_XATTR_REMOVED = 0x400;    // extended attribute removed
constexpr uint32_t EVENT_DOCID_CREATED = 0x800;    // a document id was created
constexpr uint32_t EVENT_DOCID_CHANGED = 0x1000;   // a document id moved
constexpr uint32_t EVENT_TYPE_FLAGS = 0x1FFF;      // all 13 type flags
// Item kind and links, from the mode.
constexpr uint32_t EVENT_LAST_HARDLINK = 0x80000;  // mode bit 30
constexpr uint32_t EVENT_HARDLINK = 0x100000;      // mode bit 31
constexpr uint32_t EVENT_OWN_EVENT = 0x200000;     // caused by the receiving client itself
constexpr uint32_t EVENT_IS_SYMLINK = 0x400000;    // mode type 0xA000
constexpr uint32_t EVENT_IS_FILE = 0x800000;       // mode type 0x8000
constexpr uint32_t EVENT_IS_DIR = 0x1000000;       // mode type 0x4000
// Notices.
constexpr uint32_t HISTORY_DONE = 0x8000000;           // end of a history replay
constexpr uint32_t EVENT_IDS_WRAPPED = 0x10000000;     // the id counter wrapped (with 0x80000000)
constexpr uint32_t EVENT_DIR_LEVEL = 0x20000000;       // the whole path is the directory
constexpr uint32_t EVENT_USER_DROPPED = 0x40000000;    // the daemon dropped events for a client
constexpr uint32_t EVENT_KERNEL_DROPPED = 0x80000000;  // the kernel dropped events

// What directory-level clients receive of an event's flags.
constexpr uint32_t DIRECTORY_EVENT_MASK = 0xFE27F800;

// The pid of events the daemon makes itself (dropped and wrap notices).
constexpr int32_t EVENT_PID_DAEMON = -1;
// The id that marks a wrap of the counter; also "now" in a since-when.
constexpr uint64_t EVENT_ID_WRAP = 0xFFFFFFFFFFFFFFFFull;

static_assert(EVENT_CREATE_FILE == 1u << KREC_TYPE_CREATE_FILE);
static_assert(EVENT_RENAME == 1u << KREC_TYPE_RENAME);
static_assert(EVENT_XATTR_MODIFIED == 1u << KREC_TYPE_XATTR_MODIFIED);
static_assert(EVENT_DOCID_CHANGED == 1u << KREC_TYPE_DOCID_CHANGED);
static_assert(EVENT_TYPE_FLAGS == (1u << KREC_NUM_TYPES) - 1);

// client_map: one bit per slot of the client table.
constexpr uint32_t EVENT_CLIENT_SLOTS = 512;
constexpr uint32_t EVENT_CLIENT_MAP_BYTES = EVENT_CLIENT_SLOTS / 8;

// One pending event, linked in the event table and shared by every ring that holds it.
// Allocated with room for exactly its path. Chain links change only on the event thread;
// refcount and client_map change atomically from any thread. A merge rewrites flags, pid and
// id on the event thread while delivery threads holding the record read them, so those three
// are accessed through the event_* accessors below once the record is in a ring.
struct event_record {
    event_record* next;             // next in the bucket chain
    event_record** pprev;           // the link pointing here, for constant-time unlinking
    std::atomic<int32_t> refcount;  // router + one per ring holding it; 0 = released
    uint32_t flags;                 // EVENT_* flags, ORed over merged events
    uint32_t pid;                   // process of the latest merged event; all ones = daemon
    int32_t dev;                    // device of the first event (merges keep it)
    uint64_t id;                    // id of the latest merged event
    uint16_t path_length;           // bytes of path with its NUL
    // Bit of slot i: 0x80 >> (i % 8) of byte i / 8; set while the record is in that ring.
    std::atomic<uint8_t> client_map[EVENT_CLIENT_MAP_BYTES];
    char path[];  // normalised, NUL-terminated
};

// Relaxed atomic access to the fields a merge may change under a reader. A reader sees
// either the flags before or after a merge; either is a true account of the path's changes.
inline uint32_t event_flags(event_record* e) {
    return std::atomic_ref<uint32_t>(e->flags).load(std::memory_order_relaxed);
}
inline uint32_t event_pid(event_record* e) {
    return std::atomic_ref<uint32_t>(e->pid).load(std::memory_order_relaxed);
}
inline uint64_t event_id(event_record* e) {
    return std::atomic_ref<uint64_t>(e->id).load(std::memory_order_relaxed);
}

struct event_table;

// Receives every decoded event: (table, pid, dev, path, path length with NUL, directory
// length, flags, id). The directory length counts the leading bytes up to and including the
// last '/', plus one for a terminator. The path is writable and may be changed in place
// (normalised, or cut and restored) while the call runs. The daemon's sink is the router.
typedef void (*event_sink)(event_table* table, int32_t pid, uint32_t dev, char* path,
                           uint32_t path_length, uint32_t dir_length, uint32_t flags, uint64_t id);
