// Events as the intake hands them on: the event flag word (the clients' flags of
// vantles/events.h, under the daemon's names), the pending-event record shared by every client
// backlog that holds it, and the shape of the sink that receives decoded events.
//
// Bits 0x1 to 0x1000 are the 13 kernel event types (flag = 1 << type, types as in
// platform/kernel_records.h); the rest describe the item and the notices the daemon makes.
#pragma once

#include "platform/kernel_records.h"
#include "vantles/events.h"

#include <atomic>
#include <cstdint>

// Kernel event types.
constexpr uint32_t EVENT_CREATE_FILE = VANTLES_EVENT_CREATED;             // a file was created
constexpr uint32_t EVENT_DELETE = VANTLES_EVENT_REMOVED;                  // an item was removed
constexpr uint32_t EVENT_STAT_CHANGED = VANTLES_EVENT_STAT_CHANGED;       // status changed
constexpr uint32_t EVENT_RENAME = VANTLES_EVENT_RENAMED;                  // old and new path
constexpr uint32_t EVENT_CONTENT_MODIFIED = VANTLES_EVENT_MODIFIED;       // contents changed
constexpr uint32_t EVENT_EXCHANGE = VANTLES_EVENT_EXCHANGED;              // contents exchanged
constexpr uint32_t EVENT_INFO_CHANGED = VANTLES_EVENT_INFO_CHANGED;       // info block changed
constexpr uint32_t EVENT_CREATE_DIR = VANTLES_EVENT_DIR_CREATED;          // a directory created
constexpr uint32_t EVENT_CHOWN = VANTLES_EVENT_OWNER_CHANGED;             // ownership changed
constexpr uint32_t EVENT_XATTR_MODIFIED = VANTLES_EVENT_XATTR_MODIFIED;   // attribute changed
constexpr uint32_t EVENT_XATTR_REMOVED = VANTLES_EVENT_XATTR_REMOVED;     // attribute removed
constexpr uint32_t EVENT_DOCID_CREATED = VANTLES_EVENT_DOCID_CREATED;     // document id made
constexpr uint32_t EVENT_DOCID_CHANGED = VANTLES_EVENT_DOCID_CHANGED;     // document id moved
constexpr uint32_t EVENT_TYPE_FLAGS = 0x1FFF;                             // all 13 type flags
// Item kind and links, from the mode.
constexpr uint32_t EVENT_LAST_HARDLINK = VANTLES_EVENT_LAST_HARDLINK;  // mode bit 30
constexpr uint32_t EVENT_HARDLINK = VANTLES_EVENT_HARDLINK;            // mode bit 31
constexpr uint32_t EVENT_OWN_EVENT = VANTLES_EVENT_OWN;                // the client's own change
constexpr uint32_t EVENT_IS_SYMLINK = VANTLES_EVENT_SYMLINK;           // mode type 0xA000
constexpr uint32_t EVENT_IS_FILE = VANTLES_EVENT_FILE;                 // mode type 0x8000
constexpr uint32_t EVENT_IS_DIR = VANTLES_EVENT_DIR;                   // mode type 0x4000
// Notices.
constexpr uint32_t HISTORY_DONE = VANTLES_EVENT_HISTORY_DONE;            // end of a replay
constexpr uint32_t EVENT_IDS_WRAPPED = VANTLES_EVENT_IDS_WRAPPED;        // the id counter wrapped
constexpr uint32_t EVENT_DIR_LEVEL = VANTLES_EVENT_DIR_LEVEL;            // the path is the directory
constexpr uint32_t EVENT_USER_DROPPED = VANTLES_EVENT_USER_DROPPED;      // dropped for a client
constexpr uint32_t EVENT_KERNEL_DROPPED = VANTLES_EVENT_KERNEL_DROPPED;  // the kernel dropped events

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

// One pending event, linked in the event table and shared by every backlog that holds it.
// Allocated with room for exactly its path. Chain links change only on the event thread;
// refcount and client_map change atomically from any thread. A merge rewrites flags, pid and
// id on the event thread while delivery threads holding the record read them, so those three
// are accessed through the event_* accessors below once the record is in a backlog.
struct event_record {
    event_record* next;             // next in the bucket chain
    event_record** pprev;           // the link pointing here, for constant-time unlinking
    std::atomic<int32_t> refcount;  // router + one per backlog holding it; 0 = released
    uint32_t flags;                 // EVENT_* flags, ORed over merged events
    uint32_t pid;                   // process of the latest merged event; all ones = daemon
    int32_t dev;                    // device of the first event (merges keep it)
    uint64_t id;                    // id of the latest merged event
    uint16_t path_length;           // bytes of path with its NUL
    // Bit of slot i: 0x80 >> (i % 8) of byte i / 8; set while the record is in that backlog.
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
