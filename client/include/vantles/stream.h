// Event streams: watch paths and receive the daemon's event batches.
//
// A stream is created with its options and a batch callback, then started (which connects and
// registers). Batches arrive on the stream's descriptor; either poll it in your own event loop
// and call vantles_stream_dispatch when it is readable, or let vantles_stream_start_thread run
// the callback on a library thread. A stream whose daemon goes away (restart, crash) ends with
// ECONNRESET; reconnecting is the caller's choice: stop it and start it again, usually with
// since_when set to the last id seen so that the history fills the gap.
//
// Example:
//     vantles_stream_options opt;
//     opt.paths = {"/home"};
//     opt.latency_us = 100000;
//     vantles_stream* s = nullptr;
//     vantles_stream_create(opt, on_batch, nullptr, &s);
//     if (vantles_stream_start(s) == 0)
//         while (vantles_stream_dispatch(s, -1) == 0) {}
//     vantles_stream_destroy(s);
#pragma once

#include "vantles/client.h"
#include "vantles/events.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One event of a batch. path is valid during the callback only.
struct vantles_event {
    uint64_t id;
    uint32_t flags;
    const char* path;
};

// Receives one batch, in id order, at most 32 events (the daemon's batch size).
typedef void (*vantles_batch_callback)(void* ctx, std::span<const vantles_event> events);

struct vantles_stream_options {
    const char* socket_path = nullptr;  // null: $VANTLESD_SOCKET, else the system's socket
    uint32_t device = 0;                // not 0: paths are relative to this volume
    std::vector<std::string> paths;     // at least one
    std::vector<std::string> excludes;  // at most 8, each a directory under a watched path
    uint64_t latency_us = 0;            // how long the daemon collects before delivering
    uint32_t create_flags = 0;          // VANTLES_FLAG_*
    uint64_t since_when = VANTLES_EVENT_ID_NOW;
    uint32_t timeout_ms = VANTLES_DEFAULT_TIMEOUT_MS;  // per request
};

struct vantles_stream;

// Makes a stream (not started). 0, EINVAL (no paths, no callback) or ENOMEM.
int vantles_stream_create(const vantles_stream_options& options, vantles_batch_callback callback,
                          void* ctx, vantles_stream** out);

// Connects and registers. 0, EALREADY when started, or a code of vantles_connect and
// vantles_register (ENOENT or ECONNREFUSED: the daemon is not running).
int vantles_stream_start(vantles_stream* stream);

// The same on a connection of the caller's (options.socket_path is then not used).
int vantles_stream_start_on(vantles_stream* stream, const vantles_connection* conn);

// Readable when batches are waiting; -1 when the stream is not started.
int vantles_stream_fd(const vantles_stream* stream);

// Waits up to timeout_ms (-1: for ever) for a batch, then hands every waiting batch to the
// callback. 0, ETIMEDOUT (nothing came), ECONNRESET (the daemon ended the stream), EBADF (not
// started), EPROTO (a message that is not a batch was dropped) or an errno value.
int vantles_stream_dispatch(vantles_stream* stream, int timeout_ms);

// Runs dispatch on a library thread until the stream is stopped or ends; the callback then
// runs on that thread. 0, EBADF (not started), EALREADY or an errno value.
int vantles_stream_start_thread(vantles_stream* stream);

// Why the library thread ended: 0 while it runs or after a stop, else the dispatch result
// that ended it (usually ECONNRESET).
int vantles_stream_thread_result(const vantles_stream* stream);

// Asks the daemon to deliver what it holds for the stream now; *last_id: the highest id handed
// to the stream so far.
int vantles_stream_flush(vantles_stream* stream, uint64_t* last_id);

// Stops the library thread (if any), unregisters and closes. The stream can be started again.
// Returns the unregister result (0 when not started).
int vantles_stream_stop(vantles_stream* stream);

// Stops the stream and frees it. Accepts null.
void vantles_stream_destroy(vantles_stream* stream);

// The name of one flag bit ("created", "removed", ...), null for an unknown bit.
const char* vantles_event_flag_name(uint32_t bit);

// Writes the names of every set bit of flags, joined by sep, into out (NUL-terminated,
// truncated to size). Unknown bits show as hex. Returns the length it needed.
size_t vantles_format_flags(uint32_t flags, const char* sep, char* out, size_t size);
