// Helpers of the suites that watch a real daemon deliver events: a sink that collects a
// stream's batches and lets the test wait, with a deadline, for an event it expects; an owning
// stream that delivers into its sink on the library's thread; the paths and device number of
// the daemon's scratch root as this process reaches them; changes made by another process;
// and the client count and held events of the daemon's state dump.
//
// Negative checks ("this event never arrives") should not sleep: make the unwanted change,
// then a change the stream does receive (a sentinel), wait for the sentinel, and look at what
// came before it. A stream gets its events in id order, so an unwanted event that had been
// queued would have arrived no later than the sentinel.
#pragma once

#include "tests/support/test_daemon.h"
#include "vantles/stream.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// How long a test waits for an event it expects: far beyond any latency the suites use, so
// that only a lost event runs into it, even on a loaded machine under a sanitizer.
constexpr int LIVE_EVENT_TIMEOUT_MS = 10000;

// Waits for a state dump to be written.
constexpr int LIVE_DUMP_TIMEOUT_MS = 10000;

// One received event, copied out of its batch.
struct live_event {
    uint64_t id = 0;
    uint32_t flags = 0;
    std::string path;
    int64_t received_ms = 0;  // monotonic clock (live_now_ms) when its batch arrived
    size_t batch = 0;         // index of its batch in live_sink::batch_sizes
};

// Everything a stream received, in order of arrival. lock guards events and batch_sizes;
// changed is notified after every batch.
struct live_sink {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<live_event> events;
    std::vector<size_t> batch_sizes;
};

using live_match = std::function<bool(const live_event&)>;

// Monotonic milliseconds.
int64_t live_now_ms();

// The batch callback of a stream whose ctx is a live_sink: appends the batch, wakes waiters.
void live_sink_collect(void* ctx, std::span<const vantles_event> events);

// Copies of what has arrived so far.
std::vector<live_event> live_sink_events(live_sink* sink);
std::vector<size_t> live_sink_batches(live_sink* sink);

// Waits up to timeout_ms for an event that matches (events that arrived earlier count too).
// True and the first match in *out (when not null); false on time-out.
bool live_wait_event(live_sink* sink, const live_match& match, int timeout_ms,
                     live_event* out = nullptr);

// Waits up to timeout_ms until at least count events match; true when they did.
bool live_wait_count(live_sink* sink, const live_match& match, size_t count, int timeout_ms);

// Matches an event with exactly this path (and, for the second, exactly these flags).
live_match live_path_is(const std::string& path);
live_match live_event_is(const std::string& path, uint32_t flags);

// "id flags path" lines of events, for failure messages.
std::string live_describe(const std::vector<live_event>& events);

// A stream that delivers into its own sink on the library's thread. The destructor stops it
// (unregistering it) and frees it.
struct live_stream {
    vantles_stream* stream = nullptr;
    live_sink sink;

    live_stream() = default;
    live_stream(const live_stream&) = delete;
    live_stream& operator=(const live_stream&) = delete;
    ~live_stream();
};

// Options for a stream of the daemon d: its socket, paths, create flags (VANTLES_FLAG_*) and
// latency; device 0 (absolute paths) unless the caller sets one.
vantles_stream_options live_options(const test_daemon& d, std::vector<std::string> paths,
                                    uint32_t create_flags = 0, uint64_t latency_us = 0);

// Creates the stream, registers it and starts the library thread. 0, or the result of the
// call that failed (the stream is then left stopped). A stream that was made before (and
// stopped) is started again with the options it was made with; options is then not used.
int live_stream_start(live_stream* s, const vantles_stream_options& options);

// Stops the library thread and unregisters; the sink keeps what arrived. The result of
// vantles_stream_stop (0 when it was not started).
int live_stream_stop(live_stream* s);

// The path through which this process reaches path as the daemon sees it ("/tmp/x" in the
// daemon's scratch root is "/proc/PID/root/tmp/x" here).
std::string live_root_path(const test_daemon& d, const std::string& path);

// The daemon's 32-bit number of the device holding path as the daemon sees it:
// (major << 8) | (minor & 0xff) | ((minor & ~0xff) << 12). 0 when it cannot be read.
uint32_t live_device_of(const test_daemon& d, const std::string& path);

// File changes in the daemon's scratch root, made by this process; path as the daemon sees
// it. 0 or an errno value.
int live_create_file(const test_daemon& d, const std::string& path);  // new, or truncated
int live_make_dir(const test_daemon& d, const std::string& path);     // existing is fine

// Returns once the daemon has routed every change made before the call and the disk logger
// has filed them: creates a new file ".sync-N" in dir (as the daemon sees it), waits for a
// file-level stream watching dir to receive it, then nudges the disk logger. Streams registered
// afterwards therefore see none of the earlier changes (the set-up of their directories, say). Its
// stream is stopped before the call returns, but the daemon ends that client on its own thread: a
// state dump may count it for a moment longer. 0, ETIMEDOUT or an errno value.
int live_sync(const test_daemon& d, const std::string& dir);

// Runs op in a forked child, so that the change it makes comes from a process other than
// this one, and waits for the child. op must make system calls only (the child of a
// threaded process may not take locks). 0 when op returned 0; otherwise op's result, or
// ECHILD when the child did not exit normally.
int live_in_child(const std::function<int()>& op);

// Clients the daemon counts of its own: the disk logger.
constexpr int LIVE_INTERNAL_CLIENTS = 1;

// Makes the disk logger take everything its ring holds (it otherwise waits up to 30 s): a
// client that asks for history pushes it before the replay. 0 or an errno value.
int live_nudge_disk_logger(const test_daemon& d);

// The daemon's view of its clients, from a state dump.
struct live_state {
    int num_clients = -1;
    int pending_events = -1;  // event records still held for clients
};

// Asks for a state dump (SIGUSR1) and reads the header and the held-events line of the new
// dump from the log. 0, ETIMEDOUT when no new complete dump appeared, or an errno value.
int live_read_state(test_daemon* d, live_state* out, int timeout_ms = LIVE_DUMP_TIMEOUT_MS);

// Asks for dumps until one shows num_clients = expected (the disk logger included) and, when
// pending_events is not -1, that many held events (nudging the disk logger between dumps),
// up to timeout_ms.
::testing::AssertionResult live_state_becomes(test_daemon* d, int num_clients, int pending_events,
                                              int timeout_ms);

// The log files (16 hex digits) in a history directory, ascending.
std::vector<std::string> log_files(const std::string& dir);

// A whole file as text (empty when unreadable).
std::string read_text(const std::string& path);
