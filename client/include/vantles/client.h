// The client library's public interface: a connection to the daemon, and one call per request
// (register, flush, volume uuid, current event id, event id for a time, purge, unregister,
// sync).
//
// Every call sends one request and waits for its reply, up to the handle's timeout_ms. Results
// are 0, an errno value (connecting, a null path, EBADF for a closed handle), a messaging code
// (the 0x1000xxxx send and receive results, for example 0x10004003 when the reply did not come
// in time), a code the daemon answered (VANTLES_ERR_*, -300, -304, -309, 5), or
// VANTLES_ERR_BAD_REPLY when the reply does not belong to the request. After a reply time-out
// the connection is out of step (a late reply may still arrive on it): close it and connect
// again.
//
// Handles own their ports and release them when they go out of scope; they can be moved, not
// copied. A handle may be used by one thread at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// Default reply time-out. The daemon may take some 10 seconds to answer while it starts up.
constexpr uint32_t VANTLES_DEFAULT_TIMEOUT_MS = 30000;

// Since-when of a registration that wants no history, only events from now on.
constexpr uint64_t VANTLES_EVENT_ID_NOW = 0xFFFFFFFFFFFFFFFFull;
// Purge bound that removes a volume's whole history.
constexpr uint64_t VANTLES_EVENT_ID_ALL = 0xFFFFFFFFFFFFFFFFull;

// Create flags of a registration.
constexpr uint32_t VANTLES_FLAG_NO_DEFER = 0x02;     // deliver as soon as the latency allows
constexpr uint32_t VANTLES_FLAG_IGNORE_SELF = 0x08;  // no events caused by this process
constexpr uint32_t VANTLES_FLAG_FILE_EVENTS = 0x10;  // file-level events, not only directories
constexpr uint32_t VANTLES_FLAG_MARK_SELF = 0x20;    // flag events caused by this process

// Codes the daemon answers to a registration, besides the messaging codes.
constexpr int32_t VANTLES_ERR_NO_MEMORY = -20;  // the daemon could not allocate the record
constexpr int32_t VANTLES_ERR_NO_CLIENT = -21;  // the daemon could not start delivery
constexpr int32_t VANTLES_ERR_BAD_ARGS = -22;   // paths, exclusions or their sizes refused
constexpr int32_t VANTLES_ERR_FUTURE_ID = -23;  // since_when above the current event id
// A purge asked for by a user other than root.
constexpr int32_t VANTLES_ERR_REFUSED = 5;
// A sync the daemon could not complete in time (the kernel's queue never ran dry), or one of
// too many waiting.
constexpr int32_t VANTLES_ERR_SYNC_TIMED_OUT = 49;
constexpr int32_t VANTLES_ERR_SYNC_BUSY = 6;
// The reply's id, size or layout does not match the request.
constexpr int32_t VANTLES_ERR_BAD_REPLY = -301;

// Result of a purge when the daemon is not ready or the volume keeps no history.
constexpr uint32_t VANTLES_NO_HISTORY = 0xFFFFFFFFu;

// Characters of a volume's history uuid; vantles_get_volume_uuid adds a NUL.
constexpr uint32_t VANTLES_UUID_TEXT_LENGTH = 36;

// A connection to the daemon's service port. The daemon closes a connection left without a
// request for a while (a minute by default): a call that finds its connection closed connects
// again to the same path, once, and repeats the request, which the daemon never saw. That is
// why the port may change under a const handle.
struct vantles_connection {
    mutable uint32_t port = 0;                         // send right; 0 when closed
    uint32_t timeout_ms = VANTLES_DEFAULT_TIMEOUT_MS;  // reply time-out of every call
    std::string path;                                  // as connected; empty: the default

    vantles_connection() = default;
    vantles_connection(const vantles_connection&) = delete;
    vantles_connection& operator=(const vantles_connection&) = delete;
    vantles_connection(vantles_connection&& other) noexcept;
    vantles_connection& operator=(vantles_connection&& other) noexcept;
    ~vantles_connection();
};

// A registered stream: the send right to its private port on the daemon (flush, unregister)
// and the port on which the daemon sends its event messages.
struct vantles_registration {
    uint32_t private_port = 0;  // send right; 0 when released
    uint32_t event_port = 0;    // receive end of event messages
    uint32_t timeout_ms = VANTLES_DEFAULT_TIMEOUT_MS;

    vantles_registration() = default;
    vantles_registration(const vantles_registration&) = delete;
    vantles_registration& operator=(const vantles_registration&) = delete;
    vantles_registration(vantles_registration&& other) noexcept;
    vantles_registration& operator=(vantles_registration&& other) noexcept;
    ~vantles_registration();
};

// What to watch. Paths are absolute, or relative to the volume `device` when it is not 0.
struct vantles_register_args {
    uint32_t device = 0;
    std::span<const char* const> paths;
    std::span<const char* const> excludes;  // at most 8
    uint64_t latency_us = 0;
    uint32_t create_flags = 0;  // VANTLES_FLAG_*
    uint64_t since_when = VANTLES_EVENT_ID_NOW;
};

// Connects to the daemon at path; null means $VANTLESD_SOCKET, else the system's socket.
// Closes whatever *out held first. 0 or an errno value.
int vantles_connect(const char* path, vantles_connection* out);
void vantles_close(vantles_connection* conn);

// Registers a stream. On success *out holds the new private port and event port (whatever it
// held before is released) and the connection's timeout; otherwise *out is left empty.
int vantles_register(const vantles_connection* conn, const vantles_register_args& args,
                     vantles_registration* out);

// Wakes the stream's delivery and reports the highest event id handed to it so far.
int vantles_flush(const vantles_registration* reg, uint64_t* event_id);

// Ends the stream on the daemon, then releases both ports whatever the answer.
int vantles_unregister(vantles_registration* reg);

// Releases both ports without asking the daemon; it notices the lost stream by itself.
void vantles_release(vantles_registration* reg);

// The history uuid of a volume as text, NUL-terminated (text holds 37 bytes), or one of the
// daemon's "NO-UUID-..." texts.
int vantles_get_volume_uuid(const vantles_connection* conn, uint32_t device,
                            char text[VANTLES_UUID_TEXT_LENGTH + 1]);

// The latest event id assigned.
int vantles_get_current_event_id(const vantles_connection* conn, uint64_t* event_id);

// How the daemon watches a volume (vantles_get_volume_watch).
constexpr uint32_t VANTLES_WATCH_UNKNOWN = 0;  // not a volume it saw (or it reads a record stream)
constexpr uint32_t VANTLES_WATCH_WHOLE = 1;    // every change of the file system
constexpr uint32_t VANTLES_WATCH_UPPER = 2;    // an overlay: every change made through it
constexpr uint32_t VANTLES_WATCH_NONE = 3;     // no change on it is seen (reason says why)
// fanotify cannot watch it (reason says why): only the directories clients registered on it
// are, one by one, and only changes made through this machine's mounts are seen
constexpr uint32_t VANTLES_WATCH_DIRS = 4;
constexpr uint32_t VANTLES_WATCH_REASON_LENGTH = 63;

// How the daemon watches the volume `device`: *kind (VANTLES_WATCH_*), and reason, why not
// (NUL-terminated; empty when it does).
int vantles_get_volume_watch(const vantles_connection* conn, uint32_t device, uint32_t* kind,
                             char reason[VANTLES_WATCH_REASON_LENGTH + 1]);

// Read-your-writes: once the daemon has read and routed every change made before the call,
// *event_id: the latest event id assigned (every such change has an id at or below it), and
// text: the uuid of the history that keeps the events of the volume `device` (its own, or the
// root volume's for a volume without one), or a "NO-UUID-..." text when none does.
int vantles_sync_volume(const vantles_connection* conn, uint32_t device, uint64_t* event_id,
                        char text[VANTLES_UUID_TEXT_LENGTH + 1]);

// The last event id recorded on a volume before `time` (seconds since the epoch); 0 if none.
int vantles_get_event_id_for_time(const vantles_connection* conn, uint32_t device, int64_t time,
                                  uint64_t* event_id);

// Removes a volume's history below event_id (needs user id 0). *result: 0 when the history was
// examined, VANTLES_NO_HISTORY when there is none or the daemon is not ready.
int vantles_purge_events(const vantles_connection* conn, uint32_t device, uint64_t event_id,
                         uint32_t* result);
